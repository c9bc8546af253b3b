// Benchmark toolkit: figures, clocks, child processes and temporary directories.
#include "bench.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <ftw.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char** environ;

void bench_add(BenchFigures* p, const std::string& group, const std::string& name, double value,
               const std::string& unit, double target, const std::string& note) {
    p->push_back(BenchFigure{group, name, value, unit, target, note});
}

double bench_now_s(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec * 1e-9;
}

static double tv_s(const struct timeval& tv) {
    return (double)tv.tv_sec + (double)tv.tv_usec * 1e-6;
}

double bench_self_cpu_s(void) {
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return tv_s(ru.ru_utime) + tv_s(ru.ru_stime);
}

BenchChild bench_spawn(const std::vector<std::string>& argv, const std::string& out_path,
                       const std::vector<std::string>& extra_env) {
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<std::string> env_text;
    for (char** e = environ; *e != nullptr; e++)
        env_text.push_back(*e);
    for (const std::string& e : extra_env)
        env_text.push_back(e);
    std::vector<char*> env;
    for (std::string& e : env_text)
        env.push_back(const_cast<char*>(e.c_str()));
    env.push_back(nullptr);
    std::string out = out_path.empty() ? "/dev/null" : out_path;

    BenchChild child = {-1, bench_now_s()};
    fflush(stdout);
    pid_t pid = fork();
    if (pid < 0) return child;
    if (pid == 0) {
        int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int fd_in = open("/dev/null", O_RDONLY);
        if (fd >= 0) {
            dup2(fd, 1);
            dup2(fd, 2);
        }
        if (fd_in >= 0) dup2(fd_in, 0);
        execve(args[0], args.data(), env.data());
        _exit(127);
    }
    child.pid = pid;
    return child;
}

BenchRun bench_wait(BenchChild child) {
    BenchRun r = {-1, 0, 0};
    if (child.pid < 0) return r;
    int status = 0;
    struct rusage ru;
    pid_t got;
    do {
        got = wait4(child.pid, &status, 0, &ru);
    } while (got < 0 && errno == EINTR);
    r.wall_s = bench_now_s() - child.t_start;
    if (got != child.pid) return r;
    r.cpu_s = tv_s(ru.ru_utime) + tv_s(ru.ru_stime);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return r;
}

BenchRun bench_run(const std::vector<std::string>& argv, const std::string& out_path,
                   const std::vector<std::string>& extra_env) {
    return bench_wait(bench_spawn(argv, out_path, extra_env));
}

std::string bench_temp_dir(void) {
    const char* base = getenv("TMPDIR");
    std::string t = std::string(base && base[0] ? base : "/tmp") + "/orvo-bench-XXXXXX";
    std::vector<char> buf(t.begin(), t.end());
    buf.push_back(0);
    if (mkdtemp(buf.data()) == nullptr) return "";
    return buf.data();
}

static int remove_entry(const char* path, const struct stat*, int, struct FTW*) {
    return remove(path);
}

void bench_remove_tree(const std::string& dir) {
    if (!dir.empty()) nftw(dir.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}
