// Fault soak: full downloads with orvo-loader-cli against orvo-devsim through
// a faulty line, many runs at several fault rates, each with its own seed, and
// each seed twice: once as the window runs the download (no repetitions), once
// with the CLI's --retries 2 (failed RAM and flash writes sent again).
//
// The line is a relay between two pseudo-terminals: the loader opens one end,
// the relay copies every byte to the simulator's port and back, and corrupts
// (any other value) or drops each byte with the run's rate. On top, each run
// picks a period for one of the simulator's own faults (bad block checks, lost
// final DLEs, a repeated earlier reply, stray bytes while the loader waits).
// Every run must end either in success with the flash equal to the image, or
// in the failing step's message and exit status without the signature byte in
// a flash that differs from the image. Anything else is a bad outcome; its
// files are kept.
//
// usage: orvo-soak RUNS [--rates R1,R2,..] [--jobs N] [--seed S] [--keep DIR]
// RUNS seeds at each rate, each run without and with --retries 2 (default 100:
// 1000 runs at the five default rates). The rate is per byte and direction. ORVO_SOAK_VERBOSE=1
// prints every run and keeps its files; ORVO_SOAK_SIM_VERBOSE=1 lets the simulator log every
// request.
#include "devsim_process.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <poll.h>
#include <random>
#include <string>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t k_n_flash = 0x74000;
constexpr uint32_t k_signature = 0x10; // offset of 0x80010
constexpr int k_run_limit_s = 900;     // a run still going then is a bad outcome (a hang)
constexpr int k_retries = 2;           // the repetitions of the second run of each seed

// One pseudo-terminal master and the path of its slave, raw.
bool open_pty(int* p_fd, std::string* p_path) {
    int fd = ::open("/dev/ptmx", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0 || grantpt(fd) != 0 || unlockpt(fd) != 0) return false;
    char name[128];
    if (ptsname_r(fd, name, sizeof name) != 0) return false;
    *p_fd = fd;
    *p_path = name;
    return true;
}

bool make_raw(int fd) {
    termios t{};
    if (tcgetattr(fd, &t) != 0) return false;
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    return tcsetattr(fd, TCSANOW, &t) == 0;
}

// Copies bytes both ways between a and b until told to stop; each byte is
// corrupted or dropped with probability rate.
struct Relay {
    int fd_a = -1, fd_b = -1;
    double rate = 0;
    std::mt19937_64 rng;
    std::atomic<bool> stop{false};
    long n_bytes = 0, n_corrupt = 0, n_lost = 0;
    FILE* fp_trace = nullptr; // each fault: direction, byte count, old and new value

    void run() {
        std::uniform_real_distribution<double> u(0, 1);
        std::uniform_int_distribution<int> flip(1, 255);
        uint8_t buf[4096], out[4096];
        while (!stop) {
            pollfd pf[2] = {{fd_a, POLLIN, 0}, {fd_b, POLLIN, 0}};
            int r = poll(pf, 2, 20);
            if (r < 0 && errno != EINTR) break;
            for (int i = 0; i < 2; i++) {
                if (!(pf[i].revents & POLLIN)) continue;
                ssize_t n = ::read(pf[i].fd, buf, sizeof buf);
                if (n <= 0) continue; // the loader's side closed: wait for stop
                size_t m = 0;
                for (ssize_t k = 0; k < n; k++) {
                    n_bytes++;
                    if (rate > 0 && u(rng) < rate) {
                        if (rng() & 1) {
                            n_lost++;
                            if (fp_trace)
                                std::fprintf(fp_trace, "%s %ld lost %02x\n",
                                             i ? "dev>host" : "host>dev", n_bytes, buf[k]);
                            continue;
                        }
                        n_corrupt++;
                        out[m] = (uint8_t)(buf[k] ^ flip(rng));
                        if (fp_trace)
                            std::fprintf(fp_trace, "%s %ld corrupt %02x -> %02x\n",
                                         i ? "dev>host" : "host>dev", n_bytes, buf[k], out[m]);
                        m++;
                        continue;
                    }
                    out[m++] = buf[k];
                }
                int to = i == 0 ? fd_b : fd_a;
                for (size_t w = 0; w < m;) {
                    ssize_t k = ::write(to, out + w, m - w);
                    if (k < 0 && errno == EINTR) continue;
                    if (k < 0 && errno == EAGAIN) {
                        usleep(1000);
                        continue;
                    }
                    if (k <= 0) break;
                    w += (size_t)k;
                }
            }
        }
    }
};

enum Outcome { SUCCESS, CLEAN_FAILURE, BAD };

struct RunResult {
    Outcome outcome;
    std::string why;
    double seconds;
    bool is_stopped_from_outside; // the loader ended on a signal that the soak never sends
};

// The loader's exit statuses for SIGHUP, SIGINT and SIGTERM. The soak sends none of them, so
// such a run was stopped by someone else on a shared machine: it is run again.
bool is_signal_status(int status) {
    return status == 129 || status == 130 || status == 143;
}
constexpr int k_m_outside_repeats = 5;

std::string read_text(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

// Runs the loader with its log and stderr into files; its exit status, -1 when it had
// to be killed after the limit.
int run_cli(const std::string& port, const std::string& dir, int retries) {
    std::vector<std::string> args = {orvo_program_path("tools/cli/orvo-loader-cli"),
                                     "download",
                                     "--port",
                                     port,
                                     "--progress",
                                     "none",
                                     "--log",
                                     dir + "/cli.log"};
    if (retries > 0) {
        args.push_back("--retries");
        args.push_back(std::to_string(retries));
    }
    return run_program(args, dir + "/cli.err", k_run_limit_s * 1000);
}

RunResult one_run(double rate, uint64_t seed, int retries, const std::vector<uint8_t>& image,
                  const std::string& keep_dir) {
    auto t0 = Clock::now();
    std::mt19937_64 rng(seed);
    std::vector<std::string> sim_args = {"--seed", std::to_string(seed % 1000000007)};
    // A simulator fault period only on some runs, in the range of the line's rate.
    if (rate > 0 && rng() % 2) {
        static const char* const faults[] = {"--bad-bcc-every", "--lose-final-dle-every",
                                             "--duplicate-reply-every", "--stray-byte-every"};
        long period = (long)(1.0 / (rate * 300)) + 1 + (long)(rng() % 50);
        sim_args.push_back(faults[rng() % 4]);
        sim_args.push_back(std::to_string(period));
    }
    if (std::getenv("ORVO_SOAK_SIM_VERBOSE")) sim_args.push_back("--verbose");
    DevSimProcess sim(sim_args);
    RunResult res{BAD, "", 0, false};
    if (!sim.ok()) {
        res.why = "simulator did not start";
        return res;
    }
    int fd_master = -1;
    std::string host_port;
    int fd_dev = ::open(sim.port().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd_dev < 0 || !make_raw(fd_dev) || !open_pty(&fd_master, &host_port)) {
        res.why = "line could not be set up";
        if (fd_dev >= 0) ::close(fd_dev);
        return res;
    }
    fcntl(fd_master, F_SETFL, O_NONBLOCK);
    Relay relay;
    relay.fd_a = fd_master;
    relay.fd_b = fd_dev;
    relay.rate = rate;
    relay.rng.seed(seed ^ 0x9E3779B97F4A7C15ull);
    // The slave stays open here too, so that the relay never reads a hang-up
    // before the loader has opened it.
    int fd_keep = ::open(host_port.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd_keep >= 0) make_raw(fd_keep);
    if (std::getenv("ORVO_SOAK_VERBOSE"))
        relay.fp_trace = std::fopen((sim.dir() + "/faults.txt").c_str(), "w");
    std::thread th([&] { relay.run(); });

    std::string dir = sim.dir();
    int status = run_cli(host_port, dir, retries);
    relay.stop = true;
    th.join();
    if (relay.fp_trace) std::fclose(relay.fp_trace);
    ::close(fd_master);
    ::close(fd_dev);
    if (fd_keep >= 0) ::close(fd_keep);
    int st_sim = sim.stop();
    std::vector<uint8_t> flash = sim.flash();
    std::string err = read_text(dir + "/cli.err");
    res.seconds = std::chrono::duration<double>(Clock::now() - t0).count();

    char info[200];
    std::snprintf(info, sizeof info, "status %d, %ld bytes, %ld corrupted, %ld lost, sim %d",
                  status, relay.n_bytes, relay.n_corrupt, relay.n_lost, st_sim);
    bool same = flash == image;
    bool signed_flash = flash.size() == k_n_flash && flash[k_signature] == image[k_signature];
    if (flash.size() != k_n_flash) {
        res.why = std::string("no flash dump; ") + info;
    } else if (status == 0) {
        res.outcome = same ? SUCCESS : BAD;
        if (!same) res.why = std::string("success reported, flash differs; ") + info;
    } else if (status >= 4 && status <= 11) {
        bool said = err.find("failed !") != std::string::npos;
        if (signed_flash && !same) {
            res.why = std::string("signature in a flash that differs; ") + info;
        } else if (!said) {
            res.why = std::string("failure without the step's message; ") + info;
        } else {
            res.outcome = CLEAN_FAILURE;
            res.why = info;
        }
    } else {
        res.why = std::string("unexpected exit; ") + info;
        res.is_stopped_from_outside = is_signal_status(status);
    }
    if (signed_flash && !same && res.outcome != BAD) {
        res.outcome = BAD;
        res.why = std::string("signature in a flash that differs; ") + info;
    }
    if (res.outcome == SUCCESS) res.why = info;
    if (std::getenv("ORVO_SOAK_VERBOSE")) {
        std::string tail = err.size() > 300 ? err.substr(err.size() - 300) : err;
        std::fprintf(stderr, "seed %llu rate %g retries %d: %s\n%s\n", (unsigned long long)seed,
                     rate, retries, res.why.c_str(), tail.c_str());
    }
    if ((res.outcome == BAD || std::getenv("ORVO_SOAK_VERBOSE")) && !keep_dir.empty()) {
        std::string to =
            keep_dir + "/run-" + std::to_string(seed) + "-retries-" + std::to_string(retries);
        std::error_code ec;
        std::filesystem::create_directories(to, ec);
        for (const char* f : {"cli.log", "cli.err", "flash.bin", "report.json", "faults.txt"})
            std::filesystem::copy_file(dir + "/" + f, to + "/" + f,
                                       std::filesystem::copy_options::overwrite_existing, ec);
    }
    return res;
}

// The runs of one rate and one retry count.
struct Row {
    int runs = 0, successes = 0, clean = 0, bad = 0;
    double seconds = 0;
};

std::string success_rate(const Row& r) {
    char b[64];
    std::snprintf(b, sizeof b, "%d/%d %5.1f %%", r.successes, r.runs,
                  r.runs ? 100.0 * r.successes / r.runs : 0.0);
    return b;
}

} // namespace

int main(int argc, char** argv) {
    int runs_per_rate = argc > 1 ? std::atoi(argv[1]) : 100;
    std::vector<double> rates = {0.000003, 0.00001, 0.00003, 0.0001, 0.001};
    int jobs = 3;
    uint64_t seed0 = 1;
    std::string keep_dir = "soak-bad";
    for (int i = 2; i + 1 < argc; i += 2) {
        std::string a = argv[i], v = argv[i + 1];
        if (a == "--rates") {
            rates.clear();
            for (size_t p = 0; p < v.size();) {
                size_t q = v.find(',', p);
                if (q == std::string::npos) q = v.size();
                rates.push_back(std::atof(v.substr(p, q - p).c_str()));
                p = q + 1;
            }
        } else if (a == "--jobs") {
            jobs = std::max(1, std::atoi(v.c_str()));
        } else if (a == "--seed") {
            seed0 = std::strtoull(v.c_str(), nullptr, 10);
        } else if (a == "--keep") {
            keep_dir = v;
        } else {
            std::fprintf(stderr, "orvo-soak: unknown option %s\n", a.c_str());
            return 2;
        }
    }
    if (runs_per_rate < 1) {
        std::fprintf(stderr, "usage: orvo-soak RUNS [--rates R,..] [--jobs N] "
                             "[--seed S] [--keep DIR]\n");
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    const std::vector<uint8_t> image = devsim_expected_flash();

    // Each seed runs without and with repetitions, so that the two columns meet the same
    // line faults until their runs part.
    struct Job {
        size_t i_rate;
        uint64_t seed;
        int i_mode; // 0 without repetitions, 1 with --retries k_retries
    };
    std::vector<Job> work;
    uint64_t seed = seed0;
    for (int k = 0; k < runs_per_rate; k++)
        for (size_t r = 0; r < rates.size(); r++, seed++)
            for (int mode = 0; mode < 2; mode++)
                work.push_back({r, seed, mode});
    std::vector<Row> rows[2] = {std::vector<Row>(rates.size()), std::vector<Row>(rates.size())};
    std::mutex mu;
    std::atomic<size_t> next{0};
    size_t n_done = 0; // under mu
    std::atomic<int> n_outside{0};
    auto worker = [&] {
        for (;;) {
            size_t i = next++;
            if (i >= work.size()) return;
            const Job& j = work[i];
            int retries = j.i_mode ? k_retries : 0;
            RunResult res = one_run(rates[j.i_rate], j.seed, retries, image, keep_dir);
            for (int k = 0; res.is_stopped_from_outside && k < k_m_outside_repeats; k++) {
                n_outside++;
                res = one_run(rates[j.i_rate], j.seed, retries, image, keep_dir);
            }
            std::lock_guard<std::mutex> lock(mu);
            Row& row = rows[j.i_mode][j.i_rate];
            row.runs++;
            row.seconds += res.seconds;
            if (res.outcome == SUCCESS) row.successes++;
            if (res.outcome == CLEAN_FAILURE) row.clean++;
            if (res.outcome == BAD) {
                row.bad++;
                std::printf("BAD run seed %llu rate %g retries %d: %s\n",
                            (unsigned long long)j.seed, rates[j.i_rate], retries, res.why.c_str());
            }
            std::fprintf(stderr, "\r%zu/%zu runs", ++n_done, work.size());
        }
    };
    std::vector<std::thread> pool;
    for (int k = 0; k < jobs; k++)
        pool.emplace_back(worker);
    for (auto& t : pool)
        t.join();
    std::fprintf(stderr, "\n");

    int total_bad = 0, total_runs = 0;
    std::printf("%-10s %6s %20s %20s %16s %13s %12s\n", "rate", "seeds", "ok, no retries",
                "ok, --retries 2", "clean failures", "bad outcomes", "mean s/run");
    for (size_t r = 0; r < rates.size(); r++) {
        const Row& a = rows[0][r];
        const Row& b = rows[1][r];
        int runs = a.runs + b.runs;
        std::printf("%-10g %6d %20s %20s %16d %13d %12.1f\n", rates[r], a.runs,
                    success_rate(a).c_str(), success_rate(b).c_str(), a.clean + b.clean,
                    a.bad + b.bad, runs ? (a.seconds + b.seconds) / runs : 0.0);
        total_bad += a.bad + b.bad;
        total_runs += runs;
    }
    std::printf("%d runs, %d bad outcomes\n", total_runs, total_bad);
    if (n_outside > 0)
        std::printf("%d runs stopped by a signal from outside the soak were run again\n",
                    n_outside.load());
    return total_bad == 0 ? 0 : 1;
}
