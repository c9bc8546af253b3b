// Operating-system services on Win32: GetCommandLineA, GetFullPathNameA and
// GetLastError.
#include "osservice.h"

#include <windows.h>

const char* Oss_get_cmd_line(void) {
    return GetCommandLineA();
}

int Oss_get_cmd_line_token(const char* p_cmd_line, int* p_i_start, int* p_n_len) {
    return parse_cmd_line(p_cmd_line, p_i_start, p_n_len);
}

int Oss_get_full_path_name(const char* p_path, int n_dst, char* p_dst, int* p_i_filename) {
    DWORD m_dst = (DWORD)(n_dst < 0 ? 0 : n_dst);
    LPSTR p_filename = NULL;
    DWORD n_full = GetFullPathNameA(p_path, m_dst, p_dst, &p_filename);
    // The file-name part is valid only when the full path fitted; a path that
    // ends in a backslash has none.
    int i_filename = -1;
    if (n_full > 0 && n_full < m_dst && p_filename != NULL) i_filename = (int)(p_filename - p_dst);
    if (p_i_filename) *p_i_filename = i_filename;
    return (int)n_full;
}

uint32_t Oss_get_last_error(void) {
    return (uint32_t)GetLastError();
}
