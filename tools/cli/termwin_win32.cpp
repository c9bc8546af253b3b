// Terminal window on Win32: the console's size and mode, answers read from stdin by a thread of
// their own (a pipe cannot be waited on), Ctrl-C through the console control handler.
#include "termwin_platform.h"

#include <windows.h>

#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif

namespace {

void (*volatile s_cb_signal)(int sig);

BOOL WINAPI on_console_ctrl(DWORD type) {
    if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT) return FALSE;
    if (s_cb_signal) s_cb_signal(2); // as SIGINT
    return TRUE;
}

bool is_console(HANDLE h) {
    DWORD mode;
    return h != NULL && h != INVALID_HANDLE_VALUE && GetConsoleMode(h, &mode);
}

// The answer input: one byte at a time handed from the reader thread to the asker. The
// thread reads the next byte only once the last one was taken, so it never reads ahead
// more than one byte.
struct Answer {
    HANDLE h_have = NULL;  // set: c (or the end) waits to be taken
    HANDLE h_taken = NULL; // set: the thread may read the next byte
    char c = 0;
    bool is_end = false; // the input ended or failed: stays so (read after h_have only)
    bool is_started = false, is_failed = false;
};
Answer s_answer;

DWORD WINAPI read_answers(LPVOID) {
    HANDLE h_in = GetStdHandle(STD_INPUT_HANDLE);
    bool is_typed = is_console(h_in);
    for (;;) {
        char c;
        DWORD n = 0;
        BOOL is_ok = ReadFile(h_in, &c, 1, &n, NULL);
        // Ctrl-C ends a console read with nothing read: the console has not ended.
        if (is_typed && (!is_ok || n != 1)) {
            Sleep(50);
            continue;
        }
        if (!is_ok || n != 1) {
            s_answer.is_end = true;
            SetEvent(s_answer.h_have);
            return 0;
        }
        s_answer.c = c;
        SetEvent(s_answer.h_have);
        WaitForSingleObject(s_answer.h_taken, INFINITE);
    }
}

bool start_answers(void) {
    if (s_answer.is_started) return !s_answer.is_failed;
    s_answer.is_started = true;
    s_answer.h_have = CreateEventA(NULL, FALSE, FALSE, NULL);
    s_answer.h_taken = CreateEventA(NULL, FALSE, FALSE, NULL);
    HANDLE h_thread = NULL;
    if (s_answer.h_have && s_answer.h_taken)
        h_thread = CreateThread(NULL, 0, read_answers, NULL, 0, NULL);
    if (!h_thread) {
        s_answer.is_failed = true;
        return false;
    }
    CloseHandle(h_thread);
    return true;
}

} // namespace

int TermWin_platform_is_bar_terminal(void) {
    HANDLE h = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode;
    if (!h || h == INVALID_HANDLE_VALUE || !GetConsoleMode(h, &mode)) return 0;
    if (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) return 1;
    // A console older than Windows 10 does not take the erase-line sequence: plain lines then.
    return SetConsoleMode(h, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) ? 1 : 0;
}

int TermWin_platform_columns(void) {
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info)) return 0;
    return info.srWindow.Right - info.srWindow.Left + 1;
}

int TermWin_platform_is_answer_typed(void) {
    return is_console(GetStdHandle(STD_INPUT_HANDLE)) ? 1 : 0;
}

int TermWin_platform_read_answer_byte(char* p_c, int t_ms) {
    if (!start_answers()) return -2;
    DWORD r = WaitForSingleObject(s_answer.h_have, t_ms < 0 ? 0 : (DWORD)t_ms);
    if (r == WAIT_TIMEOUT) return 0;
    if (r != WAIT_OBJECT_0) return -2;
    if (s_answer.is_end) {
        SetEvent(s_answer.h_have); // the end stays seen by later waits
        return -1;
    }
    *p_c = s_answer.c;
    SetEvent(s_answer.h_taken);
    return 1;
}

void TermWin_platform_write_raw(const char* s, size_t n) {
    HANDLE h = GetStdHandle(STD_ERROR_HANDLE);
    while (n > 0) {
        DWORD k = 0;
        if (!WriteFile(h, s, (DWORD)n, &k, NULL) || k == 0) return;
        s += k;
        n -= k;
    }
}

void TermWin_platform_exit_now(int status) {
    // Not ExitProcess: the main thread may hold the C library's locks, which the exit would
    // wait for.
    TerminateProcess(GetCurrentProcess(), (UINT)status);
    for (;;)
        Sleep(INFINITE);
}

void TermWin_platform_catch_interrupt(void (*cb_signal)(int sig)) {
    static bool s_is_installed = false;
    s_cb_signal = cb_signal;
    if (!s_is_installed) s_is_installed = SetConsoleCtrlHandler(on_console_ctrl, TRUE) != 0;
}
