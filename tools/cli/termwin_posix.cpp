// Terminal window on POSIX: the terminal's size from ioctl, answers by poll and read on stdin,
// SIGINT, SIGTERM and SIGHUP caught.
#include "termwin_platform.h"

#include <cerrno>
#include <csignal>
#include <initializer_list>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

static void (*volatile s_cb_signal)(int sig);

static void on_signal(int sig) {
    int saved = errno;
    if (s_cb_signal) s_cb_signal(sig);
    errno = saved;
}

int TermWin_platform_is_bar_terminal(void) {
    return isatty(2) ? 1 : 0;
}

int TermWin_platform_columns(void) {
    winsize ws{};
    if (ioctl(2, TIOCGWINSZ, &ws) == 0) return ws.ws_col;
    return 0;
}

int TermWin_platform_is_answer_typed(void) {
    return isatty(0) ? 1 : 0;
}

int TermWin_platform_read_answer_byte(char* p_c, int t_ms) {
    pollfd pfd{0, POLLIN, 0};
    int r = poll(&pfd, 1, t_ms);
    if (r < 0) return errno == EINTR ? 0 : -2;
    if (r == 0) return 0;
    ssize_t n = read(0, p_c, 1);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return 0;
    return n == 1 ? 1 : -1;
}

void TermWin_platform_write_raw(const char* s, size_t n) {
    while (n > 0) {
        ssize_t k = write(2, s, n);
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0) return;
        s += k;
        n -= static_cast<size_t>(k);
    }
}

void TermWin_platform_exit_now(int status) {
    _exit(status);
}

void TermWin_platform_catch_interrupt(void (*cb_signal)(int sig)) {
    s_cb_signal = cb_signal;
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    // Interrupted reads and writes go on; the waits are polls, which return
    // early anyway, and the counters are looked at after each.
    sa.sa_flags = SA_RESTART;
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        sigaction(sig, &sa, nullptr);
}
