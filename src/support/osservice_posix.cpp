// Operating-system services on POSIX: the program's own path stands in for the
// Win32 command line, and a lexical full-path resolver for GetFullPathNameA.
#include "osservice.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <unistd.h>
#include <vector>
#ifdef __APPLE__
#include <climits>
#include <mach-o/dyld.h>
#endif

// argv[0] is whatever the starter passed; the kernel's record of the program
// file is right however the program was started (relative path, symlink).
static std::string own_path(void) {
#ifdef __APPLE__
    uint32_t size = 0;
    _NSGetExecutablePath(nullptr, &size);
    std::string raw(size, '\0');
    if (_NSGetExecutablePath(raw.data(), &size) != 0) return std::string();
    char resolved[PATH_MAX];
    if (!realpath(raw.c_str(), resolved)) return std::string();
    return std::string(resolved);
#else
    std::string path(256, '\0');
    for (;;) {
        ssize_t n = readlink("/proc/self/exe", path.data(), path.size());
        if (n < 0) return std::string();
        if ((size_t)n < path.size()) {
            path.resize((size_t)n);
            return path;
        }
        path.resize(path.size() * 2);
    }
#endif
}

// Kept once found; when memory ran out it is looked for again next time.
const char* Oss_get_cmd_line(void) {
    static std::string s_cmd_line;
    if (s_cmd_line.empty()) {
        try {
            s_cmd_line = own_path();
        } catch (const std::bad_alloc&) {
            s_cmd_line.clear();
        }
    }
    return s_cmd_line.empty() ? nullptr : s_cmd_line.c_str();
}

// The line is the path itself: blanks and double quotes belong to it.
int Oss_get_cmd_line_token(const char* p_cmd_line, int* p_i_start, int* p_n_len) {
    int n = p_cmd_line ? (int)std::strlen(p_cmd_line) : 0;
    if (p_i_start) *p_i_start = n > 0 ? 0 : -1;
    if (p_n_len) *p_n_len = n;
    return n > 0 ? 1 : -1;
}

// Joins the working directory and a relative path, drops empty and "."
// components and lets ".." remove the one before it (never above the root).
// Symbolic links are left as they are, as GetFullPathNameA does.
static bool full_path(const char* p_path, std::string* p_full) {
    std::string joined;
    if (p_path[0] != '/') {
        char* p_cwd = getcwd(nullptr, 0);
        if (!p_cwd) return false;
        joined = p_cwd;
        std::free(p_cwd);
        joined += '/';
    }
    joined += p_path;

    std::vector<std::string> parts;
    size_t i = 0;
    while (i < joined.size()) {
        size_t j = joined.find('/', i);
        if (j == std::string::npos) j = joined.size();
        std::string part = joined.substr(i, j - i);
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        i = j + 1;
    }
    std::string full;
    for (const std::string& part : parts)
        full += '/' + part;
    // A path that ends in a separator names a directory and keeps it.
    if (full.empty() || joined.back() == '/') full += '/';
    *p_full = full;
    return true;
}

int Oss_get_full_path_name(const char* p_path, int n_dst, char* p_dst, int* p_i_filename) {
    if (p_i_filename) *p_i_filename = -1;
    if (!p_path || !p_path[0]) {
        errno = ENOENT;
        return 0;
    }
    std::string full;
    try {
        if (!full_path(p_path, &full)) return 0;
    } catch (const std::bad_alloc&) {
        // Failures are returned, never thrown: out of memory fails the call.
        errno = ENOMEM;
        return 0;
    }
    int n_full = (int)full.size();
    if (!p_dst || n_full >= n_dst) return n_full + 1;
    std::memcpy(p_dst, full.c_str(), full.size() + 1);
    if (full.back() != '/' && p_i_filename) *p_i_filename = (int)full.rfind('/') + 1;
    return n_full;
}

uint32_t Oss_get_last_error(void) {
    return (uint32_t)errno;
}
