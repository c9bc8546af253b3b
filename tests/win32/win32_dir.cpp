// A fresh folder under the system's temporary folder for one test.
#include "win32_dir.h"

#include <filesystem>
#include <system_error>
#include <windows.h>

Win32TempDir::Win32TempDir() {
    char base[MAX_PATH + 1];
    DWORD n = GetTempPathA(sizeof base, base);
    if (n == 0 || n > MAX_PATH) return;
    static unsigned s_count;
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string dir = std::string(base) + "orvo-" + std::to_string(GetCurrentProcessId()) +
                          "-" + std::to_string(++s_count);
        if (CreateDirectoryA(dir.c_str(), NULL)) {
            path_ = dir;
            return;
        }
    }
}

Win32TempDir::~Win32TempDir() {
    if (path_.empty()) return;
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}
