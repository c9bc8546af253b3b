#!/usr/bin/env bash
# Installs the build into a temporary DESTDIR and uses what was installed as a user would:
# the programs' versions, the man pages, the window's desktop entry and icons, and one full
# download by the installed orvo-loader-cli into the installed orvo-devsim.
#   install_test.sh CMAKE BUILD_DIR SOURCE_DIR VERSION WINDOW(0|1)
set -euo pipefail
CMAKE=$1 BUILD=$2 SRC=$3 VERSION=$4 WINDOW=$5

fail() {
    echo "install test: FAILED: $*" >&2
    exit 1
}

tmp=$(mktemp -d /tmp/orvo-install-XXXXXX)
trap 'rm -rf "$tmp"' EXIT
root=$tmp/root
DESTDIR=$root "$CMAKE" --install "$BUILD" --prefix /usr >"$tmp/install.log" ||
    fail "cmake --install: $(cat "$tmp/install.log")"
bin=$root/usr/bin
share=$root/usr/share

for program in orvo-loader-cli orvo-devsim; do
    [ -x "$bin/$program" ] || fail "$program is not installed in /usr/bin"
    version=$("$bin/$program" --version) || fail "$program --version failed"
    [ "$version" = "$program $VERSION" ] ||
        fail "$program --version printed '$version', not '$program $VERSION'"
    page=$share/man/man1/$program.1.gz
    [ -f "$page" ] || fail "no man page $page (is help2man installed? ./run setup)"
    # The header carries the name and the version that help2man got from the program.
    header=$(zcat "$page" | grep -m1 '^\.TH') || fail "$page is no man page"
    case $header in
        *"\"$program $VERSION\""*) ;;
        *) fail "$page has the header '$header'" ;;
    esac
done

if [ "$WINDOW" = 1 ]; then
    [ -x "$bin/orvo-loader" ] || fail "the window orvo-loader is not installed in /usr/bin"
    entry=$share/applications/orvo-loader.desktop
    desktop-file-validate "$entry" || fail "$entry is not a valid desktop entry"
    exec_name=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$entry")
    [ -x "$bin/$exec_name" ] || fail "$entry starts '$exec_name', which is not installed"
    icon=$(sed -n 's/^Icon=//p' "$entry")
    for size in 16 32 48; do
        png=$share/icons/hicolor/${size}x${size}/apps/$icon.png
        file -b "$png" | grep -q "^PNG image data, $size x $size," ||
            fail "$png is not a $size-pixel PNG: $(file -b "$png" 2>&1)"
    done
fi

# The demo's download, with the installed programs; it checks the device's flash afterwards.
ORVO_CLI=$bin/orvo-loader-cli ORVO_DEVSIM=$bin/orvo-devsim bash "$SRC/tools/demo.sh" "$tmp"
echo "install test: OK"
