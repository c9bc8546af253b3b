// Console channel: output and input callbacks behind recursive locks.
#include "con.h"

#include "csp.h"

#include <cstdarg>
#include <cstdio>

enum { CON_BUF_SIZE = 8192 };

static tyCon_cb_output s_cb_output;
static void* s_p_output;
static tyCon_cb_input s_cb_input;
static void* s_p_input;

// A lock is created at its first use. Its creation is tried once: the failure
// line comes back through Con_print while the creation runs and must not
// start another one, and output then goes on without a lock.
struct LazyLock {
    CspMutex* p_mutex;
    bool tried;
};
static LazyLock s_output_lock;
static LazyLock s_input_lock;
static char s_format_buffer[CON_BUF_SIZE];

static CspMutex* lazy_lock(LazyLock* l) {
    if (!l->tried) {
        l->tried = true;
        l->p_mutex = CspMutex_alloc();
    }
    if (l->p_mutex) CspMutex_lock(l->p_mutex, -1);
    return l->p_mutex;
}

int Con_set_cb_output(tyCon_cb_output cb_output, void* p_output) {
    s_cb_output = cb_output;
    s_p_output = p_output;
    return 1;
}
tyCon_cb_output Con_get_cb_output(void) { return s_cb_output; }
void* Con_get_p_output(void) { return s_p_output; }

int Con_set_cb_input(tyCon_cb_input cb_input, void* p_input) {
    s_cb_input = cb_input;
    s_p_input = p_input;
    return 1;
}
tyCon_cb_input Con_get_cb_input(void) { return s_cb_input; }
void* Con_get_p_input(void) { return s_p_input; }

int Con_print(const char* text) {
    if (!s_cb_output || !text) return -1;
    CspMutex* m = lazy_lock(&s_output_lock);
    int result = s_cb_output(s_p_output, text);
    CspMutex_unlock(m);
    return result;
}

int Con_printf(const char* format, ...) {
    if (!s_cb_output) return -1;
    CspMutex* m = lazy_lock(&s_output_lock);
    va_list args;
    va_start(args, format);
    // vsnprintf stops at the buffer and always terminates: a longer text is cut.
    std::vsnprintf(s_format_buffer, sizeof s_format_buffer, format, args);
    va_end(args);
    int result = Con_print(s_format_buffer);
    CspMutex_unlock(m);
    return result;
}

int Con_read_nw(void) {
    if (!s_cb_input) return -1;
    CspMutex* m = lazy_lock(&s_input_lock);
    int result = s_cb_input(s_p_input);
    CspMutex_unlock(m);
    return result;
}

int Con_read(void) {
    if (!s_cb_input) return -1;
    int result;
    do {
        result = Con_read_nw();
    } while (result < 0);
    return result;
}
