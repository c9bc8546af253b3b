// Download benchmarks: the CLI against paced simulated devices, the line's minimum, CPU cost,
// parallel downloads.
#include "bench.h"
#include "bench_wire.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const int kBaud = 115200;
const double kPauses_s = 2 * 0.5; // the procedure's two settle pauses

std::string program(const char* rel) {
    return std::string(ORVO_BINARY_DIR) + "/" + rel;
}

bool exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// A running simulator: its pid and the port it serves.
struct Sim {
    int pid = -1;
    int fd_out = -1; // its stdout, kept open so later prints never meet a closed pipe
    std::string port;
};

// The report a simulator started with err_path writes beside it.
std::string report_path(const std::string& err_path) {
    return err_path.substr(0, err_path.size() - 4) + ".report.json";
}

// Starts orvo-devsim with the arguments and reads its PORT line (5 s at most);
// its stderr goes to err_path (ending in ".err"), its report beside it.
Sim sim_start(const std::vector<std::string>& args_given, const std::string& err_path) {
    Sim s;
    std::vector<std::string> args = args_given;
    if (std::find(args.begin(), args.end(), "--report") == args.end()) {
        args.push_back("--report");
        args.push_back(report_path(err_path));
    }
    int fds[2];
    if (pipe(fds) != 0) return s;
    std::vector<std::string> argv = {program("tools/devsim/orvo-devsim")};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> cargv;
    for (std::string& a : argv)
        cargv.push_back(a.data());
    cargv.push_back(nullptr);
    fflush(stdout);
    pid_t pid = fork();
    if (pid < 0) {
        close(fds[0]);
        close(fds[1]);
        return s;
    }
    if (pid == 0) {
        // ORVO_BENCH_SIM_SLACK_NS sets the simulator's timer slack, to see
        // what the precision of its paced waits costs.
        const char* slack = getenv("ORVO_BENCH_SIM_SLACK_NS");
        if (slack != nullptr && slack[0] != 0)
            prctl(PR_SET_TIMERSLACK, strtoul(slack, nullptr, 10));
        dup2(fds[1], 1);
        int fd = open(err_path.empty() ? "/dev/null" : err_path.c_str(),
                      O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd >= 0) dup2(fd, 2);
        close(fds[0]);
        execv(cargv[0], cargv.data());
        _exit(127);
    }
    close(fds[1]);
    s.pid = pid;
    std::string line;
    double t_end = bench_now_s() + 5;
    while (bench_now_s() < t_end) {
        struct pollfd pfd = {fds[0], POLLIN, 0};
        if (poll(&pfd, 1, 100) <= 0) continue;
        char c;
        ssize_t k = read(fds[0], &c, 1);
        if (k <= 0) break;
        if (c == '\n') break;
        line.push_back(c);
    }
    s.fd_out = fds[0];
    if (line.rfind("PORT ", 0) == 0) s.port = line.substr(5);
    return s;
}

int sim_stop(Sim* s) {
    if (s->pid < 0) return -1;
    kill(s->pid, SIGTERM);
    int status = 0;
    waitpid(s->pid, &status, 0);
    s->pid = -1;
    if (s->fd_out >= 0) close(s->fd_out);
    s->fd_out = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::vector<std::string> cli_download(const std::string& port, const std::string& log) {
    return {program("tools/cli/orvo-loader-cli"),
            "download",
            "--port",
            port,
            "--progress",
            "none",
            "--log",
            log};
}

int g_n_slow = 0; // downloads that took far longer than they should

// A download far slower than its reference has met trouble on the line (or
// a stalled host): says so with the device's view of the line, and counts it
// so that the files are kept.
void note_slow(const std::string& what, double t, double t_ref, const std::string& err_path) {
    if (t_ref <= 0 || t <= 1.3 * t_ref) return;
    g_n_slow++;
    fprintf(stderr, "bench: %s took %.1f s (reference %.1f s); the device saw:\n", what.c_str(), t,
            t_ref);
    FILE* fp = fopen(report_path(err_path).c_str(), "r");
    char line[512];
    while (fp != nullptr && fgets(line, sizeof(line), fp) != nullptr) {
        if (strstr(line, "\"retries\"") || strstr(line, "\"naks\"") ||
            strstr(line, "\"final_dle_lost\"") || strstr(line, "\"replies_not_delivered\""))
            fprintf(stderr, "  %s", line);
    }
    if (fp != nullptr) fclose(fp);
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

} // namespace

int bench_download_slow_runs(void) {
    return g_n_slow;
}

int bench_download_available(void) {
    return exists(program("tools/devsim/orvo-devsim")) &&
           exists(program("tools/cli/orvo-loader-cli"));
}

// The exact bytes of one download, seen through the tap on an unpaced line.
int bench_wire_minimum(BenchFigures* p_fig, const std::string& dir, double* p_t0) {
    // ORVO_BENCH_TAP_PACED=1 taps a paced line instead, to see what pacing adds.
    const char* env_paced = getenv("ORVO_BENCH_TAP_PACED");
    std::vector<std::string> sim_args;
    if (env_paced != nullptr && atoi(env_paced) != 0)
        sim_args = {"--pace-baud", std::to_string(kBaud)};
    std::string report = dir + "/tap-report.json";
    sim_args.push_back("--report");
    sim_args.push_back(report);
    Sim sim = sim_start(sim_args, dir + "/tap-sim.err");
    if (sim.port.empty()) return 0;
    WireTap tap;
    int ok = WireTap_start(&tap, sim.port);
    BenchRun r = {-1, 0, 0};
    if (ok) r = bench_run(cli_download(tap.slave_path, dir + "/tap-cli.log"));
    // Let the last final DLE through before the relay stops.
    usleep(100 * 1000);
    WireTap_stop(&tap);
    sim_stop(&sim);
    if (!ok || r.status != 0) {
        fprintf(stderr, "bench: the download through the tap failed (exit %d)\n", r.status);
        return 0;
    }
    WireCount c = Wire_count(tap.bytes);
    // The device's own count of requests must match the frames seen.
    long n_requests = -1;
    FILE* fp_rep = fopen(report.c_str(), "r");
    char line[256];
    while (fp_rep != nullptr && fgets(line, sizeof(line), fp_rep) != nullptr)
        if (sscanf(line, " \"requests\": %ld", &n_requests) == 1) break;
    if (fp_rep != nullptr) fclose(fp_rep);
    if (n_requests != c.n_frames[0] || c.n_frames[1] != c.n_frames[0]) {
        fprintf(stderr,
                "bench: the tap saw %lld request and %lld reply frames, the device %ld requests\n",
                (long long)c.n_frames[0], (long long)c.n_frames[1], n_requests);
        return 0;
    }
    const char* dump = getenv("ORVO_BENCH_TAP_DUMP");
    if (dump != nullptr && dump[0] != 0) {
        FILE* fp = fopen(dump, "w");
        for (size_t i = 0; fp != nullptr && i < tap.bytes.size(); i++)
            fprintf(fp, "%lld %s %02x\n", (long long)tap.bytes[i].t_us,
                    tap.bytes[i].dir ? "D" : "H", tap.bytes[i].b);
        if (fp != nullptr) fclose(fp);
    }
    double t0 = (double)c.n_frame_bytes * 10.0 / kBaud + kPauses_s;
    *p_t0 = t0;
    const std::string g = "wire";
    bench_add(p_fig, g, "request_frames", (double)c.n_frames[0], "frames", 0, "host to device");
    bench_add(p_fig, g, "reply_frames", (double)c.n_frames[1], "frames", 0, "device to host");
    bench_add(p_fig, g, "request_payload", (double)c.n_payload[0], "bytes", 0,
              "message bytes before DLE doubling");
    bench_add(p_fig, g, "reply_payload", (double)c.n_payload[1], "bytes");
    bench_add(p_fig, g, "dle_doubled", (double)(c.n_doubled[0] + c.n_doubled[1]), "bytes", 0,
              "DLEs added by doubling, both ways");
    bench_add(p_fig, g, "frame_bytes", (double)c.n_frame_bytes, "bytes", 0,
              "STX, DLE, data, DLE ETX, BCC, DLE of every frame, both ways");
    bench_add(p_fig, g, "extra_bytes", (double)c.n_extra_bytes, "bytes", 0,
              "outside complete frames (NAKs, refused or repeated attempts)");
    bench_add(p_fig, g, "T0", t0, "s", 0,
              "frame bytes x 10 bits / 115200 baud + 2 x 500 ms pauses");
    return c.n_frames[0] > 0;
}

// Eight paced simulators programmed by one command (a child process a port): the whole
// command against one download alone, and the CPU of the command with its children.
static int bench_gang(BenchFigures* p_fig, const std::string& dir, double t_single) {
    const int k = 8;
    std::vector<Sim> sims((size_t)k);
    std::vector<std::string> argv = {program("tools/cli/orvo-loader-cli"), "download", "-q",
                                     "--log", dir + "/gang.log"};
    for (int i = 0; i < k; i++) {
        sims[(size_t)i] = sim_start({"--pace-baud", std::to_string(kBaud), "--verbose"},
                                    dir + "/gang-" + std::to_string(i) + ".err");
        argv.insert(argv.end(), {"--port", sims[(size_t)i].port});
    }
    BenchRun r = bench_run(argv, dir + "/gang.out");
    for (Sim& s : sims)
        sim_stop(&s);
    if (r.status != 0) {
        fprintf(stderr, "bench: 8 ports in one command ended with %d after %.1f s (see %s)\n",
                r.status, r.wall_s, (dir + "/gang.out").c_str());
        return 0;
    }
    bench_add(p_fig, "parallel", "gang_of_8", r.wall_s, "s", 0,
              "one command, 8 paced downloads");
    if (t_single > 0)
        bench_add(p_fig, "parallel", "gang_of_8_over_single", r.wall_s / t_single, "ratio", 1.02,
                  "the whole command against one download alone");
    bench_add(p_fig, "parallel", "gang_of_8_cpu_over_wall", r.cpu_s / r.wall_s, "ratio", 0,
              "user + system of the command and its 8 children / wall time");
    return 1;
}

// k loaders against k paced simulators at once, for k = 1, 2, 4, 8: the
// slowest against the one alone. A run far slower than t0 is reported with
// the device's view of the line; the simulators log every request.
static int bench_parallel(BenchFigures* p_fig, const std::string& dir, double t0) {
    int ok = 1;
    const std::string pace = std::to_string(kBaud);
    double t_single = 0;
    for (int k : {1, 2, 4, 8}) {
        std::vector<Sim> sims((size_t)k);
        std::vector<std::string> base((size_t)k);
        for (int i = 0; i < k; i++) {
            base[(size_t)i] = dir + "/par" + std::to_string(k) + "-" + std::to_string(i);
            sims[(size_t)i] =
                sim_start({"--pace-baud", pace, "--verbose"}, base[(size_t)i] + ".err");
        }
        std::vector<BenchChild> children;
        for (int i = 0; i < k; i++)
            children.push_back(
                bench_spawn(cli_download(sims[(size_t)i].port, base[(size_t)i] + ".log")));
        double slowest = 0;
        for (int i = 0; i < k; i++) {
            BenchRun r = bench_wait(children[(size_t)i]);
            if (r.status != 0) {
                fprintf(stderr, "bench: %d at once: download %d ended with %d after %.1f s\n", k, i,
                        r.status, r.wall_s);
                ok = 0;
            }
            slowest = std::max(slowest, r.wall_s);
            note_slow(std::to_string(k) + " at once, download " + std::to_string(i), r.wall_s, t0,
                      base[(size_t)i] + ".err");
        }
        for (Sim& s : sims)
            sim_stop(&s);
        if (k == 1) t_single = slowest;
        std::string name = "slowest_of_" + std::to_string(k);
        bench_add(p_fig, "parallel", name, slowest, "s");
        if (k > 1)
            bench_add(p_fig, "parallel", name + "_over_single", slowest / t_single, "ratio",
                      k == 8 ? 1.10 : 0, std::to_string(k) + " paced downloads at once");
    }
    return bench_gang(p_fig, dir, t_single) && ok;
}

int bench_download(BenchFigures* p_fig, const std::string& dir, int parts) {
    int ok = 1;
    const std::string pace = std::to_string(kBaud);
    double t0 = 0;
    if (!bench_wire_minimum(p_fig, dir, &t0)) return 0;
    if (parts & BENCH_DL_PARALLEL) ok = bench_parallel(p_fig, dir, t0) && ok;
    if (!(parts & (BENCH_DL_PACED | BENCH_DL_GUI))) return ok;

    // Paced, one at a time; CPU of the loader process from wait4.
    std::vector<double> t_paced, cpu_paced;
    const char* env_repeat = getenv("ORVO_BENCH_REPEAT");
    int n_repeat = env_repeat ? std::max(1, atoi(env_repeat)) : 1;
    for (int i = 0; i < n_repeat; i++) {
        Sim sim = sim_start({"--pace-baud", pace, "--verbose"}, dir + "/paced-sim.err");
        BenchRun r = bench_run(cli_download(sim.port, dir + "/paced-cli.log"));
        sim_stop(&sim);
        if (r.status != 0) ok = 0;
        note_slow("the paced download", r.wall_s, t0, dir + "/paced-sim.err");
        t_paced.push_back(r.wall_s);
        cpu_paced.push_back(r.cpu_s / r.wall_s);
    }
    double t = median(t_paced);
    bench_add(p_fig, "paced", "T_cli", t, "s", 0, "CLI download, simulator paced at 115200 baud");
    bench_add(p_fig, "paced", "T_cli_over_T0", t / t0, "ratio", 1.03, "the line's limit is 1");
    bench_add(p_fig, "cpu", "cli_paced_cpu_over_wall", median(cpu_paced), "ratio", 0.10,
              "user + system of the loader / its wall time");

    // Unpaced: the host's own cost.
    {
        Sim sim = sim_start({}, dir + "/fast-sim.err");
        BenchRun r = bench_run(cli_download(sim.port, dir + "/fast-cli.log"));
        sim_stop(&sim);
        if (r.status != 0) ok = 0;
        bench_add(p_fig, "cpu", "cli_unpaced_wall", r.wall_s, "s", 0,
                  "CLI download, unpaced pty (includes the 1 s of pauses)");
        bench_add(p_fig, "cpu", "cli_unpaced_cpu", r.cpu_s, "s");
        bench_add(p_fig, "cpu", "cli_unpaced_cpu_over_wall", r.cpu_s / r.wall_s, "ratio");
    }

    // Through the window: paced and unpaced, its own times of the download.
    std::string gui = program("bench/orvo-bench-gui");
    if (!(parts & BENCH_DL_GUI)) {
    } else if (exists(gui)) {
        for (int paced = 1; paced >= 0; paced--) {
            std::vector<std::string> args;
            if (paced) args = {"--pace-baud", pace};
            Sim sim = sim_start(args, dir + "/gui-sim.err");
            std::string out = dir + "/gui.out";
            BenchRun r = bench_run({gui, sim.port}, out, {"QT_QPA_PLATFORM=offscreen"});
            sim_stop(&sim);
            double t_gui = 0, cpu_gui = 0;
            FILE* fp = fopen(out.c_str(), "r");
            char line[512];
            while (fp != nullptr && fgets(line, sizeof(line), fp) != nullptr)
                if (sscanf(line, "T %lf CPU %lf", &t_gui, &cpu_gui) == 2) break;
            if (fp != nullptr) fclose(fp);
            if (r.status != 0 || t_gui <= 0) {
                fprintf(stderr, "bench: the download through the window failed (exit %d)\n",
                        r.status);
                ok = 0;
                continue;
            }
            if (paced)
                note_slow("the paced download through the window", t_gui, t0, dir + "/gui-sim.err");
            const char* mode = paced ? "paced" : "unpaced";
            bench_add(p_fig, "gui", std::string("T_gui_") + mode, t_gui, "s", 0,
                      "click on Download to the closing box, offscreen");
            if (paced)
                bench_add(p_fig, "gui", "T_gui_over_T_cli", t_gui / t, "ratio", 0,
                          "same paced line");
            bench_add(p_fig, "cpu", std::string("gui_") + mode + "_cpu_over_wall", cpu_gui / t_gui,
                      "ratio", 0, "the window's process during the download");
        }
    } else {
        fprintf(stderr, "bench: orvo-bench-gui not built (no Qt): no figures of the window\n");
    }

    return ok;
}
