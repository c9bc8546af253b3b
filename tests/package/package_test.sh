#!/usr/bin/env bash
# Makes the Debian package from the build with CPack, lists its contents, and checks that it
# holds exactly the installed programs and their files, with name, version and dependencies.
#   package_test.sh CPACK BUILD_DIR VERSION WINDOW(0|1)
set -euo pipefail
CPACK=$1 BUILD=$2 VERSION=$3 WINDOW=$4

fail() {
    echo "package test: FAILED: $*" >&2
    exit 1
}

tmp=$(mktemp -d /tmp/orvo-package-XXXXXX)
trap 'rm -rf "$tmp"' EXIT
"$CPACK" -G DEB --config "$BUILD/CPackConfig.cmake" -B "$tmp" >"$tmp/cpack.log" 2>&1 ||
    fail "cpack: $(cat "$tmp/cpack.log")"
deb=$tmp/orvo-loader_${VERSION}_$(dpkg --print-architecture).deb
[ -f "$deb" ] || fail "cpack wrote no $(basename "$deb"): $(ls "$tmp")"

dpkg-deb -c "$deb" | tee "$tmp/contents"
expected=(
    ./usr/bin/orvo-devsim
    ./usr/bin/orvo-loader-cli
    ./usr/share/man/man1/orvo-devsim.1.gz
    ./usr/share/man/man1/orvo-loader-cli.1.gz
)
if [ "$WINDOW" = 1 ]; then
    expected+=(
        ./usr/bin/orvo-loader
        ./usr/share/applications/orvo-loader.desktop
        ./usr/share/icons/hicolor/16x16/apps/orvo-loader.png
        ./usr/share/icons/hicolor/32x32/apps/orvo-loader.png
        ./usr/share/icons/hicolor/48x48/apps/orvo-loader.png
    )
fi
# Files only (directories come with them), nothing missing and nothing more.
awk '$1 !~ /^d/ { print $6 }' "$tmp/contents" | sort >"$tmp/files"
printf '%s\n' "${expected[@]}" | sort >"$tmp/expected"
diff -u "$tmp/expected" "$tmp/files" || fail "the package's files differ from the list above"

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = orvo-loader ] || fail "package name '$(field Package)'"
[ "$(field Version)" = "$VERSION" ] || fail "version '$(field Version)', not $VERSION"
[ -n "$(field Description)" ] || fail "no description"
depends=$(field Depends)
echo "Depends: $depends"
needed=(libc6 libstdc++6)
if [ "$WINDOW" = 1 ]; then needed+=(libqt6widgets6); fi
for lib in "${needed[@]}"; do
    case ", $depends" in
        *", $lib "* | *", $lib,"*) ;;
        *) fail "Depends lacks $lib: $depends" ;;
    esac
done
echo "package test: OK, $(stat -c %s "$deb") bytes"
