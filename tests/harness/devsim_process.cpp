// The simulated device as a separate process: fork/exec, the PORT line read
// with a bound, SIGTERM and a bounded wait at the end.
#include "devsim_process.h"

#include "images.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#ifndef ORVO_BINARY_DIR
#define ORVO_BINARY_DIR "."
#endif

namespace {

using Clock = std::chrono::steady_clock;

std::vector<uint8_t> read_all(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    if (!f) return {};
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(f),
                                std::istreambuf_iterator<char>());
}

int left_ms(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() < 0 ? 0 : (int)left.count();
}

} // namespace

std::string orvo_program_path(const char* rel) {
    return std::string(ORVO_BINARY_DIR) + "/" + rel;
}

DevSimProcess::DevSimProcess(const std::vector<std::string>& args) {
    char tmpl[] = "/tmp/orvo-devsim-XXXXXX";
    if (!mkdtemp(tmpl)) return;
    dir_ = tmpl;

    std::vector<std::string> argv_s;
    argv_s.push_back(orvo_program_path("tools/devsim/orvo-devsim"));
    argv_s.insert(argv_s.end(), args.begin(), args.end());
    for (const char* opt :
         {"--dump-flash", "flash.bin", "--dump-ram", "ram.bin", "--report", "report.json"}) {
        if (opt[0] == '-')
            argv_s.push_back(opt);
        else
            argv_s.push_back(dir_ + "/" + opt);
    }
    // Every byte on the line with its time, kept after the test, when a failure needs it.
    if (const char* p_trace = getenv("ORVO_TEST_DEVSIM_TRACE_DIR"))
        argv_s.insert(argv_s.end(), {"--trace", std::string(p_trace) + "/" +
                                                    dir_.substr(dir_.rfind('/') + 1) + ".txt"});
    std::vector<char*> argv;
    for (auto& s : argv_s)
        argv.push_back(s.data());
    argv.push_back(nullptr);

    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return;
    pid_t pid = fork();
    if (pid < 0) {
        ::close(fds[0]);
        ::close(fds[1]);
        return;
    }
    if (pid == 0) {
        dup2(fds[1], STDOUT_FILENO); // dup2 clears close-on-exec on the copy
        // A device has a processor of its own: the machine's other work (a parallel test
        // run, a loaded CI machine) must not hold the simulator off past the host's
        // character delay or reply time-out. Where the system allows, it runs ahead of
        // ordinary processes; the programs under test keep the ordinary priority.
        setpriority(PRIO_PROCESS, 0, -10);
        execv(argv[0], argv.data());
        _exit(127);
    }
    ::close(fds[1]);
    pid_ = pid;
    fd_out_ = fds[0];

    // The first line is "PORT <path>"; anything else, or nothing in 5 s, is a failed start.
    std::string line;
    auto deadline = Clock::now() + std::chrono::seconds(5);
    while (line.find('\n') == std::string::npos) {
        int t = left_ms(deadline);
        if (t <= 0) break;
        pollfd pf{fd_out_, POLLIN, 0};
        int r = poll(&pf, 1, t);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        char buf[256];
        ssize_t k = ::read(fd_out_, buf, sizeof buf);
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0) break;
        line.append(buf, (size_t)k);
    }
    // The simulator writes nothing else to stdout that anyone needs.
    ::close(fd_out_);
    fd_out_ = -1;
    size_t nl = line.find('\n');
    if (nl != std::string::npos && line.compare(0, 5, "PORT ") == 0) port_ = line.substr(5, nl - 5);
    if (port_.empty()) stop();
}

DevSimProcess::~DevSimProcess() {
    if (pid_ > 0 && !reaped_) stop();
    if (!dir_.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
}

int DevSimProcess::reap(int t_ms) {
    if (pid_ <= 0) return -1;
    if (!reaped_) {
        auto deadline = Clock::now() + std::chrono::milliseconds(t_ms);
        for (;;) {
            int st = 0;
            pid_t r = waitpid(pid_, &st, WNOHANG);
            if (r == pid_) {
                reaped_ = true;
                status_ = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
                break;
            }
            if (r < 0 && errno != EINTR) return -1;
            if (left_ms(deadline) <= 0) return -1;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    return status_;
}

int DevSimProcess::stop() {
    if (pid_ <= 0) return -1;
    if (reaped_) return status_;
    kill(pid_, SIGTERM);
    int st = reap(5000);
    if (!reaped_) {
        // It did not end in time: take it down so that no test leaves it behind.
        kill(pid_, SIGKILL);
        reap(5000);
        return -1;
    }
    return st;
}

int DevSimProcess::wait_exit(int t_ms) {
    return reap(t_ms);
}

std::vector<uint8_t> DevSimProcess::flash() const {
    return read_all(dir_ + "/flash.bin");
}

std::vector<uint8_t> DevSimProcess::ram() const {
    return read_all(dir_ + "/ram.bin");
}

std::string DevSimProcess::report() const {
    std::vector<uint8_t> b = read_all(dir_ + "/report.json");
    return std::string(b.begin(), b.end());
}

std::string devsim_report_value(const std::string& report, const std::string& key) {
    size_t i = report.find("\"" + key + "\"");
    if (i == std::string::npos) return "";
    i = report.find(':', i);
    if (i == std::string::npos) return "";
    i = report.find_first_not_of(" \t\r\n", i + 1);
    if (i == std::string::npos) return "";
    size_t e = report.find_first_of(",}\r\n", i);
    return report.substr(i, e == std::string::npos ? std::string::npos : e - i);
}

std::vector<uint8_t> devsim_expected_flash() {
    const uint32_t a_flash = 0x80000, n_flash = 0x74000;
    std::vector<uint8_t> f(n_flash, 0xFF);
    for (int32_t k = 0; k < orvo_get_n_set(); k++) {
        uint32_t a = orvo_get_p_set_a_bytes()[k], n = orvo_get_p_set_n_bytes()[k];
        if (a < a_flash || a - a_flash + (uint64_t)n > n_flash) continue;
        std::memcpy(&f[a - a_flash], orvo_get_p_set_p_bytes()[k], n);
    }
    return f;
}

int run_program(const std::vector<std::string>& argv, const std::string& err_path, int t_limit_ms,
                void (*in_child)(void* p_user), void* p_user) {
    std::vector<std::string> args = argv;
    std::vector<char*> p_args;
    for (auto& a : args)
        p_args.push_back(a.data());
    p_args.push_back(nullptr);
    pid_t pid = fork();
    if (pid < 0) return -2;
    if (pid == 0) {
        int fd = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int nul = ::open("/dev/null", O_RDWR);
        if (fd >= 0) dup2(fd, STDERR_FILENO);
        if (nul >= 0) {
            dup2(nul, STDIN_FILENO);
            dup2(nul, STDOUT_FILENO);
        }
        if (in_child) in_child(p_user);
        execv(p_args[0], p_args.data());
        _exit(127);
    }
    auto deadline = Clock::now() + std::chrono::milliseconds(t_limit_ms);
    for (;;) {
        int st = 0;
        pid_t r = waitpid(pid, &st, WNOHANG);
        if (r == pid) return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        if (Clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &st, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}
