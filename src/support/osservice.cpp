// Operating-system services: the program directory from the command line,
// shared by every platform.
#include "osservice.h"

#include "con.h"
#include "memx.h"

static tyOss_cb_cmd_line s_cb_cmd_line;
static void* s_p_cmd_line;

void Oss_test_set_cmd_line_source(tyOss_cb_cmd_line cb_cmd_line, void* p_user) {
    s_cb_cmd_line = cb_cmd_line;
    s_p_cmd_line = p_user;
}

static const char* command_line(void) {
    return s_cb_cmd_line ? s_cb_cmd_line(s_p_cmd_line) : Oss_get_cmd_line();
}

int parse_cmd_line(const char* p_cmd_line, int* p_i_start, int* p_n_len) {
    enum { SKIPPING, QUOTED, PLAIN } state = SKIPPING;
    int i_start = -1, n_len = 0, result = -1;
    bool done = p_cmd_line == nullptr;
    for (int i = 0; !done; i++) {
        char c = p_cmd_line[i];
        switch (state) {
        case SKIPPING:
            if (c == 0) {
                done = true;
            } else if (c == '"') {
                i_start = i + 1;
                state = QUOTED;
            } else if (c != ' ') {
                i_start = i;
                n_len = 1;
                state = PLAIN;
            }
            break;
        case QUOTED:
            if (c == 0) {
                done = true;
            } else if (c == '"') {
                result = 1;
                done = true;
            } else {
                n_len++;
            }
            break;
        case PLAIN:
            if (c == 0 || c == ' ') {
                result = 1;
                done = true;
            } else {
                n_len++;
            }
            break;
        }
    }
    if (p_i_start) *p_i_start = i_start;
    if (p_n_len) *p_n_len = n_len;
    return result;
}

int Oss_get_path_program(int n_dst, char* p_dst) {
    if (!p_dst) {
        CON_LOG("error", "p_dst == NULL\n");
        return -1;
    }
    const char* p_cmd_line = command_line();
    if (!p_cmd_line) {
        CON_LOG("error", "p_cmd_line == NULL\n");
        return -1;
    }
    int i_start, n_path;
    int found = s_cb_cmd_line ? parse_cmd_line(p_cmd_line, &i_start, &n_path)
                              : Oss_get_cmd_line_token(p_cmd_line, &i_start, &n_path);
    if (found < 0) {
        CON_LOG("error", "parse_cmd_line failed\n");
        return -1;
    }
    if (n_path >= n_dst) {
        CON_LOG("error", "n_path >= n_dst (n_path=%d, n_dst=%d)\n", n_path, n_dst);
        return -1;
    }
    memx_copy_u8(reinterpret_cast<uint8_t*>(p_dst),
                 reinterpret_cast<const uint8_t*>(p_cmd_line + i_start), n_path);
    p_dst[n_path] = 0;
    int i_filename = -1;
    if (Oss_get_full_path_name(p_dst, n_dst, p_dst, &i_filename) == 0) {
        uint32_t last_error = Oss_get_last_error();
        CON_LOG("error", "GetFullPathName failed (last_error=%08x,%d\n", (unsigned)last_error,
                (int)last_error);
        return -1;
    }
    // No file-name part is reported when the full path did not fit.
    if (i_filename <= 0) {
        CON_LOG("error", "i_filename <= 0\n");
        return -1;
    }
    p_dst[i_filename - 1] = 0;
    return i_filename - 1;
}
