// Gang programming on POSIX: a child process of this program for each port, its stdout (JSON
// events) and stderr read through pipes, and the signals passed on to all children.
#include "gang_internal.h"

#include "termwin.h"
#include "termwin_platform.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

struct Child {
    pid_t pid = -1;
    int fd[2] = {-1, -1};   // stdout, stderr; -1 once at their end
    std::string partial[2]; // a line not yet complete
    bool is_reaped = false;
};

volatile sig_atomic_t s_n_int = 0;
volatile sig_atomic_t s_sig_stop = 0; // SIGTERM or SIGHUP, to pass on

void on_signal(int sig) {
    if (sig == SIGINT) {
        s_n_int = s_n_int + 1;
    } else {
        s_sig_stop = sig;
    }
}

void catch_signals(void) {
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        sigaction(sig, &sa, nullptr);
}

// Starts this program with args, stdin from /dev/null, stdout and stderr into pipes. The child
// has a process group of its own, so that Ctrl-C on the terminal reaches only the parent, which
// asks once for all; and it ends when the parent dies.
bool spawn(const std::vector<std::string>& args, Child* c, std::string* p_error) {
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
        *p_error = strerror(errno);
        return false;
    }
    if (pipe2(err, O_CLOEXEC) != 0) {
        *p_error = strerror(errno);
        close(out[0]);
        close(out[1]);
        return false;
    }
    std::vector<char*> argv;
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const pid_t parent = getpid();
    pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent) _exit(128 + SIGTERM);
        int fd_null = open("/dev/null", O_RDONLY);
        if (fd_null >= 0) dup2(fd_null, 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        signal(SIGINT, SIG_DFL);
        signal(SIGTERM, SIG_DFL);
        signal(SIGHUP, SIG_DFL);
        execv("/proc/self/exe", argv.data());
        _exit(127);
    }
    int e = errno;
    close(out[1]);
    close(err[1]);
    if (pid < 0) {
        close(out[0]);
        close(err[0]);
        *p_error = strerror(e);
        return false;
    }
    c->pid = pid;
    c->fd[0] = out[0];
    c->fd[1] = err[0];
    for (int fd : c->fd)
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    return true;
}

// Reads what one pipe holds and hands on each complete line; closes it at its end.
void drain(GangRun* p, size_t i, Child* c, int k) {
    char buf[4096];
    for (;;) {
        ssize_t n = read(c->fd[k], buf, sizeof buf);
        if (n > 0) {
            c->partial[k].append(buf, static_cast<size_t>(n));
            size_t nl;
            while ((nl = c->partial[k].find('\n')) != std::string::npos) {
                std::string line = c->partial[k].substr(0, nl);
                c->partial[k].erase(0, nl + 1);
                Gang_on_line(p, i, line, k == 1);
            }
            continue;
        }
        if (n < 0 && (errno == EINTR)) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        if (!c->partial[k].empty()) Gang_on_line(p, i, c->partial[k], k == 1);
        c->partial[k].clear();
        close(c->fd[k]);
        c->fd[k] = -1;
        return;
    }
}

void signal_all(std::vector<Child>& children, int sig) {
    for (Child& c : children)
        if (c.pid > 0 && !c.is_reaped) kill(c.pid, sig);
}

int exit_status_of(int wstatus) {
    if (WIFEXITED(wstatus)) return WEXITSTATUS(wstatus);
    if (WIFSIGNALED(wstatus)) return 128 + WTERMSIG(wstatus);
    return 1;
}

} // namespace

int Gang_run(const GangCfg& cfg) {
    GangRun run;
    Gang_begin(&run, cfg);
    catch_signals();
    std::vector<Child> children(cfg.ports.size());
    for (size_t i = 0; i < cfg.ports.size(); i++) {
        std::vector<std::string> args = {"orvo-loader-cli"};
        args.insert(args.end(), cfg.child_args.begin(), cfg.child_args.end());
        args.insert(args.end(), {"--port", cfg.ports[i], "--progress", "json"});
        if (!cfg.log.empty())
            args.insert(args.end(), {"--log", Gang_log_name(cfg.log, cfg.ports[i])});
        std::string error;
        if (!spawn(args, &children[i], &error)) {
            Gang_on_line(&run, i, "cannot start the download: " + error, true);
            children[i].is_reaped = true;
            Gang_on_exit(&run, i, 1);
        }
    }
    const bool is_asking_possible = TermWin_platform_is_answer_typed() != 0;
    bool is_asking = false;
    int n_int_seen = 0;
    for (;;) {
        std::vector<pollfd> fds;
        std::vector<std::pair<size_t, int>> who;
        bool is_any_running = false;
        for (size_t i = 0; i < children.size(); i++) {
            Child& c = children[i];
            if (c.is_reaped) continue;
            is_any_running = true;
            for (int k = 0; k < 2; k++) {
                if (c.fd[k] < 0) continue;
                fds.push_back({c.fd[k], POLLIN, 0});
                who.emplace_back(i, k);
            }
        }
        if (!is_any_running) break;
        if (is_asking) fds.push_back({0, POLLIN, 0});
        poll(fds.data(), fds.size(), 100);
        for (size_t j = 0; j < who.size(); j++)
            if (fds[j].revents) drain(&run, who[j].first, &children[who[j].first], who[j].second);
        for (size_t i = 0; i < children.size(); i++) {
            Child& c = children[i];
            if (c.is_reaped || c.fd[0] >= 0 || c.fd[1] >= 0) continue;
            int wstatus = 0;
            pid_t r = waitpid(c.pid, &wstatus, WNOHANG);
            if (r == c.pid || (r < 0 && errno == ECHILD)) {
                c.is_reaped = true;
                Gang_on_exit(&run, i, r == c.pid ? exit_status_of(wstatus) : 1);
            }
        }
        if (is_asking && !fds.empty() && fds.back().fd == 0 && fds.back().revents) {
            char ch = 0;
            ssize_t n = read(0, &ch, 1);
            if (n <= 0 || (ch != '\r' && ch != ' ')) {
                is_asking = false;
                Gang_answered(&run);
                if (ch == 'y' || ch == 'Y') {
                    Gang_note(&run, "interrupting all downloads after their next block");
                    signal_all(children, SIGINT);
                } else {
                    Gang_note(&run, "the downloads go on");
                }
                // The rest of the typed line is no answer to anything.
                while (n == 1 && ch != '\n' && read(0, &ch, 1) == 1) {
                }
            }
        }
        if (s_n_int > n_int_seen) {
            n_int_seen = s_n_int;
            if (is_asking || !is_asking_possible) {
                // A second Ctrl-C answers yes, and off a terminal there is nobody to ask.
                if (is_asking) Gang_answered(&run);
                is_asking = false;
                signal_all(children, SIGINT);
            } else {
                is_asking = true;
                Gang_ask(&run, "Programming of the flash memory has not yet completed. Do you "
                               "want to interrupt programming on all ports ? (y/n)");
            }
        }
        if (s_sig_stop) {
            signal_all(children, s_sig_stop);
            s_sig_stop = 0;
        }
        Gang_draw(&run, false);
    }
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    signal(SIGHUP, SIG_DFL);
    return Gang_finish(&run);
}
