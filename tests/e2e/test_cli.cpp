// End-to-end tests of orvo-loader-cli: the real program against the real simulated device on a
// pseudo-terminal, judged by exit status, terminal output, log file and the device's dumps.
#include "devsim_process.h"
#include "images.h"
#include "pty.h"
#include "rmc.h"
#include "root.h"
#include "uart.h"
#include "uvmem.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <iterator>
#include <memory>
#include <map>
#include <poll.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using Json = nlohmann::json;

std::string cli_path() {
    return std::string(ORVO_BINARY_DIR) + "/tools/cli/orvo-loader-cli";
}

bool devsim_is_built() {
    return access((std::string(ORVO_BINARY_DIR) + "/tools/devsim/orvo-devsim").c_str(), X_OK) == 0;
}

std::string read_text(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

void write_bytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream f(path, std::ios::binary);
    f.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

int count_of(const std::string& text, const std::string& part) {
    int n = 0;
    for (size_t i = text.find(part); i != std::string::npos; i = text.find(part, i + 1))
        n++;
    return n;
}

std::string last_line(const std::string& text) {
    std::string s = text;
    while (!s.empty() && s.back() == '\n')
        s.pop_back();
    size_t i = s.rfind('\n');
    return i == std::string::npos ? s : s.substr(i + 1);
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    size_t b = 0;
    for (size_t e = text.find('\n'); e != std::string::npos; b = e + 1, e = text.find('\n', b))
        lines.push_back(text.substr(b, e - b));
    if (b < text.size()) lines.push_back(text.substr(b));
    return lines;
}

// The value after "key": in the report, up to the next comma, brace or line end.
std::string json_value(const std::string& json, const std::string& key) {
    size_t i = json.find("\"" + key + "\"");
    if (i == std::string::npos) return "";
    i = json.find(':', i);
    if (i == std::string::npos) return "";
    i = json.find_first_not_of(" \t\r\n", i + 1);
    if (i == std::string::npos) return "";
    size_t e = json.find_first_of(",}\r\n", i);
    std::string v = json.substr(i, e == std::string::npos ? std::string::npos : e - i);
    while (!v.empty() && v.back() == ' ')
        v.pop_back();
    return v;
}

// The application memory image and the flash loader as the library builds them: what the
// device must hold after a download.
struct Expected {
    std::vector<uint8_t> flash; // 0x80000..0xF4000
    int n_blocks = 0;           // non-blank blocks of 256 bytes: the flash writes
    struct Seg {
        uint32_t a;
        std::vector<uint8_t> bytes;
    };
    std::vector<Seg> loader;
};

const Expected& expected() {
    static Expected e = [] {
        Expected x;
        Root* p_root = Root_alloc();
        UvMem* p_vm = Root_get_p_vm(p_root);
        if (p_vm) {
            const uint8_t* p = UvMem_get_p_vmem(p_vm);
            x.flash.assign(p, p + UvMem_get_n_vmem(p_vm));
            x.n_blocks = Root_get_n_bytes_appl(p_root) / ROOT_N_BLOCK;
        }
        Root_free(p_root);
        for (int32_t i = 0; i < fld_02_get_n_set(); i++) {
            const uint8_t* b = fld_02_get_p_set_p_bytes()[i];
            x.loader.push_back({fld_02_get_p_set_a_bytes()[i],
                                std::vector<uint8_t>(b, b + fld_02_get_p_set_n_bytes()[i])});
        }
        return x;
    }();
    return e;
}

// The program under test as a child process with its three standard streams on pipes.
class CliProcess {
  public:
    // uid >= 0 runs it as that user (the test then runs as root).
    // env adds NAME=VALUE entries to the program's environment.
    // is_stdin_terminal puts stdin on a pseudo-terminal, as a person at a terminal has it.
    explicit CliProcess(const std::vector<std::string>& args, int uid = -1,
                        const std::vector<std::string>& env = {}, bool is_stdin_terminal = false) {
        std::vector<std::string> argv_s{cli_path()};
        argv_s.insert(argv_s.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& s : argv_s)
            argv.push_back(s.data());
        argv.push_back(nullptr);
        int in[2], out[2], err[2];
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
            return;
        if (is_stdin_terminal) {
            ::close(in[0]);
            ::close(in[1]);
            in[1] = pty_.master_fd();
            in[0] = pty_.open_slave();
            if (in[0] < 0) return;
            fcntl(in[0], F_SETFL, fcntl(in[0], F_GETFL) & ~O_NONBLOCK);
        }
        pid_ = fork();
        if (pid_ == 0) {
            dup2(in[0], 0);
            dup2(out[1], 1);
            dup2(err[1], 2);
            for (const std::string& e : env)
                putenv(const_cast<char*>(e.c_str()));
            // The program file is opened while still root and started through that
            // descriptor: the other user need not be able to enter the folders of the
            // build (a checkout in a home folder of mode 0700, or in a mktemp -d folder).
            int fd_program = uid >= 0 ? ::open(argv[0], O_RDONLY | O_CLOEXEC) : -1;
            if (uid >= 0 &&
                (fd_program < 0 || setgroups(0, nullptr) != 0 ||
                 setgid(static_cast<gid_t>(uid)) != 0 || setuid(static_cast<uid_t>(uid)) != 0))
                _exit(126);
            if (fd_program >= 0)
                fexecve(fd_program, argv.data(), environ);
            else
                execv(argv[0], argv.data());
            _exit(127);
        }
        ::close(in[0]);
        ::close(out[1]);
        ::close(err[1]);
        fd_in_ = is_stdin_terminal ? -1 : in[1];
        is_stdin_terminal_ = is_stdin_terminal;
        fd_out_ = out[0];
        fd_err_ = err[0];
    }
    ~CliProcess() {
        if (pid_ > 0 && !is_reaped_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        for (int fd : {fd_in_, fd_out_, fd_err_})
            if (fd >= 0) ::close(fd);
    }

    bool ok() const { return pid_ > 0; }
    const std::string& out() const { return out_; }
    const std::string& err() const { return err_; }
    void signal(int sig) { kill(pid_, sig); }
    void write_stdin(const std::string& s) {
        if (is_stdin_terminal_) {
            pty_.write(s.data(), s.size());
        } else if (fd_in_ >= 0 && ::write(fd_in_, s.data(), s.size()) < 0) {
            close_stdin();
        }
    }
    void close_stdin() {
        if (is_stdin_terminal_) pty_.close_master();
        if (fd_in_ >= 0) ::close(fd_in_);
        fd_in_ = -1;
    }

    // Reads output until stderr holds text or t_ms passed. Whether it came.
    bool wait_for_err(const std::string& text, int t_ms) {
        auto deadline = Clock::now() + std::chrono::milliseconds(t_ms);
        while (err_.find(text) == std::string::npos) {
            if (Clock::now() >= deadline || !read_some(10))
                return err_.find(text) != std::string::npos;
        }
        return true;
    }

    // Reads output until stdout holds text or t_ms passed. Whether it came.
    bool wait_for_out(const std::string& text, int t_ms) {
        auto deadline = Clock::now() + std::chrono::milliseconds(t_ms);
        while (out_.find(text) == std::string::npos) {
            if (Clock::now() >= deadline || !read_some(10))
                return out_.find(text) != std::string::npos;
        }
        return true;
    }

    // Reads all output and waits for the end, at most t_ms: the exit status, 128 + signal for
    // a signal death, -1 when it did not end in time (then killed).
    int wait(int t_ms) {
        auto deadline = Clock::now() + std::chrono::milliseconds(t_ms);
        while (fd_out_ >= 0 || fd_err_ >= 0) {
            if (Clock::now() >= deadline) break;
            read_some(20);
        }
        for (;;) {
            int st = 0;
            pid_t r = waitpid(pid_, &st, WNOHANG);
            if (r == pid_) {
                is_reaped_ = true;
                return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            }
            if (Clock::now() >= deadline) {
                kill(pid_, SIGKILL);
                waitpid(pid_, nullptr, 0);
                is_reaped_ = true;
                return -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }

  private:
    // One poll of both output pipes; false once both have ended.
    bool read_some(int t_ms) {
        pollfd pf[2] = {{fd_out_, POLLIN, 0}, {fd_err_, POLLIN, 0}};
        if (fd_out_ < 0 && fd_err_ < 0) return false;
        int r = poll(pf, 2, t_ms);
        if (r <= 0) return true;
        for (int i = 0; i < 2; i++) {
            if (!(pf[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            int& fd = i == 0 ? fd_out_ : fd_err_;
            char buf[4096];
            ssize_t k = ::read(fd, buf, sizeof buf);
            if (k > 0) {
                (i == 0 ? out_ : err_).append(buf, static_cast<size_t>(k));
            } else if (k == 0 || errno != EINTR) {
                ::close(fd);
                fd = -1;
            }
        }
        return true;
    }

    PtyPair pty_; // the terminal of stdin, when asked for
    bool is_stdin_terminal_ = false;
    pid_t pid_ = -1;
    bool is_reaped_ = false;
    int fd_in_ = -1, fd_out_ = -1, fd_err_ = -1;
    std::string out_, err_;
};

struct CliRun {
    int status;
    std::string out, err;
};

CliRun run_cli(const std::vector<std::string>& args, int t_ms = 30000, int uid = -1,
               const std::vector<std::string>& env = {}) {
    CliProcess p(args, uid, env);
    p.close_stdin();
    int status = p.wait(t_ms);
    return {status, p.out(), p.err()};
}

// A scratch directory, removed at the end.
struct TempDir {
    std::string path;
    TempDir() {
        char tmpl[] = "/tmp/orvo-cli-test-XXXXXX";
        if (mkdtemp(tmpl)) path = tmpl;
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    std::string operator/(const std::string& name) const { return path + "/" + name; }
};

// The step texts in the order the download shows them.
const char* const k_steps[] = {
    "Activating bootloader...",
    "Downloading flash loader...",
    "Starting flash loader...",
    "Erasing application sectors...",
    "Blank checking application sectors...",
    "Programming application...",
    "Updating application signature...",
    "Starting application...",
};

// The ids of the steps, as the JSON events and the log's result line name them.
const char* const k_step_ids[] = {"activate",    "load_loader", "start_loader", "erase",
                                  "blank_check", "program",     "signature",    "start_appl"};

// The cases of a parameterized test print as, and name their test by, their p_name.
template <class Case, class = decltype(Case::p_name)>
std::ostream& operator<<(std::ostream& os, const Case& c) {
    return os << c.p_name;
}

template <class Case> std::string case_name(const ::testing::TestParamInfo<Case>& info) {
    return info.param.p_name;
}

class CliE2e : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!devsim_is_built()) GTEST_SKIP() << "orvo-devsim is not built";
        ASSERT_FALSE(expected().flash.empty());
    }
};

TEST_F(CliE2e, FullDownloadPutsTheApplicationIntoFlashSignatureLast) {
    TempDir tmp;
    DevSimProcess sim;
    ASSERT_TRUE(sim.ok());
    std::string log = tmp / "run.log";
    CliRun r = run_cli({"download", "--port", sim.port(), "--progress", "plain", "--log", log});
    ASSERT_EQ(sim.stop(), 0);

    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("Ok: Application successfully downloaded !\n"), std::string::npos)
        << r.err;
    EXPECT_EQ(r.err.find("Error..."), std::string::npos) << r.err;
    // Every step was shown, in order.
    size_t at = 0;
    for (const char* step : k_steps) {
        size_t i = r.err.find(step, at);
        EXPECT_NE(i, std::string::npos) << step;
        if (i != std::string::npos) at = i;
    }
    // The block loops end at 100 %, each step has its line with its time, and the summary
    // comes before the box.
    EXPECT_NE(r.err.find("  [100 %] 45397 of 45397 bytes, "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("  [100 %] " + std::to_string(expected().n_blocks * 256) + " of "),
              std::string::npos)
        << r.err;
    for (const char* step : k_steps) {
        char done[64];
        snprintf(done, sizeof done, "%-38s ok ", step);
        EXPECT_NE(r.err.find(done), std::string::npos) << step;
    }
    EXPECT_NE(r.err.find(std::to_string(expected().n_blocks * 256) + " bytes programmed in "),
              std::string::npos)
        << r.err;

    std::vector<uint8_t> flash = sim.flash();
    ASSERT_EQ(flash.size(), expected().flash.size());
    EXPECT_EQ(flash[0x10], 0x47);
    EXPECT_TRUE(flash == expected().flash);
    std::vector<uint8_t> ram = sim.ram();
    ASSERT_EQ(ram.size(), 0x100000u);
    for (const auto& seg : expected().loader) {
        std::vector<uint8_t> got(ram.begin() + (seg.a - 0x400000),
                                 ram.begin() + (seg.a - 0x400000) + seg.bytes.size());
        EXPECT_TRUE(got == seg.bytes) << std::hex << seg.a;
    }
    std::string report = sim.report();
    EXPECT_EQ(json_value(report, "signature_last"), "true") << report;
    EXPECT_EQ(json_value(report, "app_started"), "true") << report;

    // The log file keeps the whole run, far more than the terminal's 200 lines, every line
    // with its time since the start, the result last.
    std::string text = read_text(log);
    std::vector<std::string> lines = lines_of(text);
    ASSERT_FALSE(lines.empty());
    long t_before = 0;
    for (const std::string& l : lines) {
        long t_ms = -1;
        int n = 0;
        ASSERT_EQ(sscanf(l.c_str(), "%ld ms  %n", &t_ms, &n), 1) << l;
        ASSERT_EQ(l.compare(static_cast<size_t>(n) - 2, 2, "  "), 0) << l;
        EXPECT_GE(t_ms, t_before) << l;
        t_before = t_ms;
    }
    EXPECT_NE(lines.front().find("ms  stdout is now connected to this virtual screen"),
              std::string::npos);
    EXPECT_NE(lines.back().find("ms  result: ok, exit status 0, "), std::string::npos)
        << lines.back();
    EXPECT_NE(text.find("ms  Ok: Application successfully downloaded !\n"), std::string::npos);
    EXPECT_EQ(count_of(text, "writing 256 bytes to address "), expected().n_blocks);
    EXPECT_NE(text.find("download took "), std::string::npos);
    EXPECT_EQ(text.find("l_result"), std::string::npos);

    // The dump check of the demo agrees, and notices a changed byte.
    std::string dump = tmp / "flash.bin";
    write_bytes(dump, flash);
    CliRun ok = run_cli({"verify-dump", dump});
    EXPECT_EQ(ok.status, 0) << ok.out << ok.err;
    flash[0x10] = 0xFF;
    write_bytes(dump, flash);
    CliRun bad = run_cli({"verify-dump", dump});
    EXPECT_EQ(bad.status, 1);
    EXPECT_NE(bad.out.find("0x00080010"), std::string::npos) << bad.out;
}

// Each JSON line is one event object with "event" and "t"; the steps come in order with their
// ids and texts, progress in bytes, and the result last.
TEST_F(CliE2e, JsonEventsFollowTheirSchemaWithTheResultLast) {
    DevSimProcess sim;
    ASSERT_TRUE(sim.ok());
    CliRun r = run_cli({"download", "--port", sim.port(), "--progress", "json", "--verbose"});
    sim.stop();
    EXPECT_EQ(r.status, 0) << r.err;
    std::vector<Json> events;
    for (const std::string& l : lines_of(r.out)) {
        Json e = Json::parse(l, nullptr, false);
        ASSERT_TRUE(e.is_object()) << l;
        ASSERT_TRUE(e["event"].is_string()) << l;
        ASSERT_TRUE(e["t"].is_number()) << l;
        events.push_back(e);
    }
    ASSERT_GT(events.size(), 10u);
    EXPECT_EQ(events.front()["event"], "start");
    EXPECT_EQ(events.front()["port"], sim.port());
    ASSERT_EQ(events.front()["images"].size(), 2u);
    for (const Json& im : events.front()["images"]) {
        EXPECT_EQ(im["source"], "built-in");
        EXPECT_TRUE(im["size"].is_number_integer() && im["blocks"].is_number_integer());
        EXPECT_EQ(im["crc32"].get<std::string>().size(), 8u);
    }
    EXPECT_EQ(events.front()["images"][0]["size"], 45397);
    EXPECT_EQ(events.front()["images"][1]["blocks"], expected().n_blocks);

    std::vector<std::string> ids;
    std::map<std::string, Json> last_progress;
    int n_log = 0;
    double t_before = 0;
    for (const Json& e : events) {
        EXPECT_GE(e["t"].get<double>(), t_before);
        t_before = e["t"].get<double>();
        if (e["event"] == "step") {
            ids.push_back(e["step"]);
            EXPECT_EQ(e["text"], k_steps[ids.size() - 1]);
        } else if (e["event"] == "progress") {
            EXPECT_EQ(e["step"], ids.back());
            EXPECT_TRUE(e["done"].is_number_integer() && e["total"].is_number_integer());
            EXPECT_EQ(e["percent"], e["done"].get<int64_t>() * 100 / e["total"].get<int64_t>());
            last_progress[e["step"]] = e;
        } else if (e["event"] == "log") {
            EXPECT_TRUE(e["text"].is_string());
            n_log++;
        }
    }
    EXPECT_EQ(ids, (std::vector<std::string>{"activate", "load_loader", "start_loader", "erase",
                                             "blank_check", "program", "signature", "start_appl"}));
    ASSERT_EQ(last_progress.size(), 2u);
    EXPECT_EQ(last_progress["load_loader"]["done"], 45397);
    EXPECT_EQ(last_progress["program"]["done"], expected().n_blocks * 256);
    EXPECT_EQ(last_progress["program"]["percent"], 100);
    EXPECT_GT(n_log, expected().n_blocks); // --verbose: every log line
    const Json& box = events[events.size() - 2];
    EXPECT_EQ(box["event"], "box");
    EXPECT_EQ(box["caption"], "Ok");
    EXPECT_EQ(box["text"], "Application successfully downloaded !");
    const Json& result = events.back();
    EXPECT_EQ(result["event"], "result");
    EXPECT_EQ(result["ok"], true);
    EXPECT_EQ(result["exit"], 0);
    EXPECT_TRUE(result["seconds"].is_number());
    EXPECT_TRUE(result["failed_step"].is_null());
}

// One way to make a step fail: the simulator's fault, the step and what it must show.
struct StepFault {
    const char* p_name;
    std::vector<std::string> sim_args;
    int i_step; // into k_steps
    const char* p_box;
    int l_result; // the code in the "l_result" log line
    int status;
};

// Requests in the order of a download: activation, the flash loader's RAM writes, the jump,
// erase, blank check, the flash writes, the signature, the application start.
const int k_n_loader_writes = 1 + 4 + 174;
const int k_i_erase = 1 + k_n_loader_writes + 2;
const int k_i_program = k_i_erase + 2;

std::vector<StepFault> step_faults() {
    auto busy = [](int i_request) {
        return std::vector<std::string>{"--busy-every", std::to_string(i_request)};
    };
    const int n = expected().n_blocks;
    return {
        {"ActivationBusy", busy(1), 0, "Activating bootloader failed !", RMC_RES_BUSY, 4},
        {"LoaderDownloadBusy", busy(2), 1, "Download of Flashloader failed !", RMC_RES_BUSY, 5},
        {"LoaderStartBusy", busy(1 + k_n_loader_writes + 1), 2, "Starting Flashloader failed !",
         RMC_RES_BUSY, 6},
        {"EraseBusy", busy(k_i_erase), 3, "Erasing application sectors failed !", RMC_RES_BUSY, 7},
        {"BlankCheckBusy", busy(k_i_erase + 1), 4, "Blank checking application sectors failed !",
         RMC_RES_BUSY, 8},
        {"ProgramBusy", busy(k_i_program), 5, "Programming application failed !", RMC_RES_BUSY, 9},
        {"SignatureBusy", busy(k_i_program + n), 6, "Updating application signature !",
         RMC_RES_BUSY, 10},
        {"ApplStartBusy", busy(k_i_program + n + 1), 7, "Starting application failed !",
         RMC_RES_BUSY, 11},
        // A device that stops answering: the link gives up, no reply comes.
        {"ActivationSilent",
         {"--silent-after", "0"},
         0,
         "Activating bootloader failed !",
         RMC_RES_ERR_REC,
         4},
        {"LoaderDownloadSilent",
         {"--silent-after", "50"},
         1,
         "Download of Flashloader failed !",
         RMC_RES_ERR_REC,
         5},
        {"ProgramSilent",
         {"--silent-after", std::to_string(k_i_program + 100)},
         5,
         "Programming application failed !",
         RMC_RES_ERR_REC,
         9},
        // A damaged flash loader takes the jump and then runs off: erasing gets no answer.
        {"CorruptFlashLoader",
         {"--corrupt-ram-write", "7"},
         3,
         "Erasing application sectors failed !",
         RMC_RES_ERR_REC,
         7},
    };
}

class CliStepFault : public CliE2e, public ::testing::WithParamInterface<StepFault> {};

// The failing step's box and log lines, nothing of the steps after it, "ready" at the end and
// the step's exit status; the device gets a valid signature only from the signature step.
TEST_P(CliStepFault, FailingStepGivesItsBoxLogAndExitStatus) {
    const StepFault& c = GetParam();
    TempDir tmp;
    DevSimProcess sim(c.sim_args);
    ASSERT_TRUE(sim.ok());
    std::string log = tmp / "run.log";
    // A silent device reaches the link's and the reply's time-outs (up to 112 s) on a clock
    // that runs fast once the line has been quiet for a while.
    CliRun r = run_cli({"download", "--port", sim.port(), "--progress", "plain", "--log", log},
                       30000, -1, {"ORVO_CLI_SILENCE_SPEEDUP=200"});
    sim.stop();
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_EQ(count_of(r.err, "Error..."), 1) << r.err;
    EXPECT_NE(r.err.find(std::string("Error...: ") + c.p_box + "\n"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(k_steps[c.i_step]), std::string::npos) << r.err;
    for (size_t k = c.i_step + 1; k < std::size(k_steps); k++)
        EXPECT_EQ(r.err.find(k_steps[k]), std::string::npos) << k_steps[k] << "\n" << r.err;
    EXPECT_EQ(r.err.find("Ok:"), std::string::npos);
    EXPECT_NE(r.err.find(std::string(k_steps[c.i_step]) + " "), std::string::npos);
    EXPECT_NE(r.err.find(" failed after "), std::string::npos) << r.err;
    // What the device is left with comes last.
    EXPECT_EQ(last_line(r.err).rfind("device: ", 0), 0u) << r.err;
    EXPECT_EQ(last_line(r.err).find("flash has not been touched") != std::string::npos,
              c.i_step <= 2)
        << r.err;
    // A device that never answered gets the hint to check power, cable and port.
    bool is_silent_at_start = c.i_step == 0 && c.l_result == RMC_RES_ERR_REC;
    EXPECT_EQ(r.err.find("hint: no answer from the device: check its power, the cable, and that " +
                         sim.port() + " is its port\n") != std::string::npos,
              is_silent_at_start)
        << r.err;
    // A silent device is shown waiting.
    if (c.l_result == RMC_RES_ERR_REC) {
        EXPECT_NE(r.err.find("  no answer from the device for "), std::string::npos) << r.err;
    }

    char l_result[64];
    snprintf(l_result, sizeof l_result, "l_result =  %d (%s)\n", c.l_result,
             Rmc_get_result_name(c.l_result));
    std::string text = read_text(log);
    EXPECT_EQ(count_of(text, "l_result =  "), 1) << text;
    EXPECT_EQ(count_of(text, l_result), 1) << l_result;
    if (c.i_step == 5) {
        EXPECT_NE(text.find("writing to address "), std::string::npos);
    }
    EXPECT_NE(
        last_line(text).find("ms  result: failed, exit status " + std::to_string(c.status) + ", "),
        std::string::npos)
        << last_line(text);
    EXPECT_NE(last_line(text).find(std::string(", step ") + k_step_ids[c.i_step]),
              std::string::npos)
        << last_line(text);

    std::vector<uint8_t> flash = sim.flash();
    ASSERT_EQ(flash.size(), expected().flash.size());
    EXPECT_EQ(flash[0x10], c.i_step == 7 ? 0x47 : 0xFF);
    EXPECT_EQ(json_value(sim.report(), "app_started"), "false");
}

INSTANTIATE_TEST_SUITE_P(Steps, CliStepFault, ::testing::ValuesIn(step_faults()),
                         case_name<StepFault>);

// Ctrl-C on a terminal during programming, then the answer: y stops after the block being
// written, n goes on, a second Ctrl-C means yes.
struct Interruption {
    const char* p_name;
    const char* p_answer; // written to stdin after Ctrl-C; null: stdin ends instead
    bool is_second_ctrl_c;
    int status;
};

class CliInterruption : public CliE2e, public ::testing::WithParamInterface<Interruption> {};

TEST_P(CliInterruption, CtrlCDuringProgrammingAsksAndActsOnTheAnswer) {
    const Interruption& c = GetParam();
    TempDir tmp;
    // A little device time per block leaves room to press Ctrl-C mid-programming.
    DevSimProcess sim({"--write-ms", "1"});
    ASSERT_TRUE(sim.ok());
    std::string log = tmp / "run.log";
    // --verbose puts the log lines among the terminal's, so the blocks written after the
    // question show.
    CliProcess p(
        {"download", "--port", sim.port(), "--progress", "plain", "--log", log, "--verbose"}, -1,
        {}, true);
    ASSERT_TRUE(p.ok());
    ASSERT_TRUE(p.wait_for_err("Programming application...", 20000)) << p.err();
    p.signal(SIGINT);
    if (c.is_second_ctrl_c) {
        ASSERT_TRUE(p.wait_for_err("[c]? ", 5000)) << p.err();
        p.signal(SIGINT);
    } else {
        if (c.p_answer)
            p.write_stdin(c.p_answer);
        else
            p.close_stdin();
    }
    int status = p.wait(30000);
    sim.stop();
    EXPECT_EQ(status, c.status) << p.err();
    EXPECT_NE(p.err().find("Warning: Programming of the flash memory has not yet completed "
                           "!\n\nDo you want to interrupt programming ?\n"),
              std::string::npos)
        << p.err();
    // The success box comes last; after an interruption what the device is left with.
    EXPECT_EQ(last_line(p.err()),
              c.status == 0 ? "Ok: Application successfully downloaded !"
                            : "device: the application in flash is erased or incomplete and has "
                              "no valid signature, so the device will not start it; run the "
                              "download again")
        << p.err();
    std::string text = read_text(log);
    size_t i_prompt = p.err().find("[c]? ");
    ASSERT_NE(i_prompt, std::string::npos);
    int n_after = count_of(p.err().substr(i_prompt), "writing 256 bytes to address ");
    EXPECT_GT(count_of(p.err().substr(0, i_prompt), "writing 256 bytes to address "), 0);
    if (c.status == 130) {
        // The question comes after a block has been written; yes stops right there.
        EXPECT_EQ(n_after, 0) << p.err().substr(i_prompt);
        EXPECT_NE(p.err().find("Error...: Programming application failed !\n"), std::string::npos)
            << p.err();
        EXPECT_EQ(p.err().find("Updating application signature..."), std::string::npos);
        EXPECT_EQ(count_of(text, "l_result =  10 (RMC_RES_ERR_ELSE    )\n"), 1);
        EXPECT_EQ(sim.flash()[0x10], 0xFF);
        EXPECT_EQ(json_value(sim.report(), "app_started"), "false");
    } else {
        EXPECT_GT(n_after, 0);
        EXPECT_NE(p.err().find("Ok: Application successfully downloaded !"), std::string::npos);
        EXPECT_TRUE(sim.flash() == expected().flash);
    }
}

INSTANTIATE_TEST_SUITE_P(Answers, CliInterruption,
                         ::testing::Values(Interruption{"Yes", "y\n", false, 130},
                                           Interruption{"No", "n\n", false, 0},
                                           Interruption{"SecondCtrlC", "", true, 130},
                                           // No input to answer from: Cancel, the default.
                                           Interruption{"EndOfInput", nullptr, false, 0}),
                         case_name<Interruption>);

// Signals as scripts send them, stdin not a terminal: the download stops at the next block
// boundary without a question, closes the port and ends with the result event; a second signal
// while the device keeps silent quits at once, still with the result last.
struct SignalCase {
    const char* p_name;
    int sig;
    const char* p_sig_name;
    std::vector<std::string> sim_args;
    int n_signals;
};

class CliSignal : public CliE2e, public ::testing::WithParamInterface<SignalCase> {};

TEST_P(CliSignal, SignalStopsAtABlockBoundaryWithTheResultLast) {
    const SignalCase& c = GetParam();
    TempDir tmp;
    DevSimProcess sim(c.sim_args);
    ASSERT_TRUE(sim.ok());
    std::string log = tmp / "run.log";
    CliProcess p({"download", "--port", sim.port(), "--progress", "json", "--log", log});
    ASSERT_TRUE(p.ok());
    ASSERT_TRUE(p.wait_for_out("\"step\":\"program\"", 20000)) << p.err();
    p.signal(c.sig);
    if (c.n_signals == 2) {
        ASSERT_TRUE(p.wait_for_err("the download stops after the next block", 5000)) << p.err();
        p.signal(c.sig);
    }
    int status = p.wait(30000);
    sim.stop();
    EXPECT_EQ(status, 128 + c.sig) << p.err();
    EXPECT_EQ(p.err().find("[c]? "), std::string::npos) << p.err();
    EXPECT_NE(p.err().find(std::string(c.p_sig_name) +
                           ": the download stops after the next block is written"),
              std::string::npos)
        << p.err();
    Json result = Json::parse(last_line(p.out()), nullptr, false);
    EXPECT_EQ(result["event"], "result") << p.out();
    EXPECT_EQ(result["ok"], false);
    EXPECT_EQ(result["exit"], 128 + c.sig);
    EXPECT_EQ(result["failed_step"], "program");
    if (c.n_signals == 1) {
        EXPECT_NE(p.out().find("\"caption\":\"Error...\",\"text\":\"Programming application "
                               "failed !\""),
                  std::string::npos);
    }
    EXPECT_NE(last_line(read_text(log))
                  .find("result: failed, exit status " + std::to_string(128 + c.sig)),
              std::string::npos);
    EXPECT_NE(p.err().find("device: the application in flash is erased or incomplete"),
              std::string::npos)
        << p.err();
    EXPECT_EQ(sim.flash()[0x10], 0xFF);
    EXPECT_EQ(json_value(sim.report(), "app_started"), "false");
}

INSTANTIATE_TEST_SUITE_P(
    Signals, CliSignal,
    ::testing::Values(SignalCase{"Sigint", SIGINT, "SIGINT", {"--write-ms", "1"}, 1},
                      SignalCase{"Sigterm", SIGTERM, "SIGTERM", {"--write-ms", "1"}, 1},
                      SignalCase{"Sighup", SIGHUP, "SIGHUP", {"--write-ms", "1"}, 1},
                      // The device stops answering at the first flash write: the next block
                      // boundary is a reply time-out away, the second signal does not wait.
                      SignalCase{"SecondSigtermWhileSilent",
                                 SIGTERM,
                                 "SIGTERM",
                                 {"--silent-after", std::to_string(k_i_program - 1)},
                                 2}),
    case_name<SignalCase>);

TEST_F(CliE2e, SendFileWritesAnExportedImageIntoRamAndStartsIt) {
    TempDir tmp;
    CliRun ex = run_cli({"images", "--export", tmp.path});
    ASSERT_EQ(ex.status, 0) << ex.out << ex.err;
    DevSimProcess sim;
    ASSERT_TRUE(sim.ok());
    CliRun r = run_cli({"send-file", "--port", sim.port(), "--activate", tmp / "fld_02.s37",
                        "--jump", "0x400000"});
    sim.stop();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("Ok: "), std::string::npos) << r.err;
    std::vector<uint8_t> ram = sim.ram();
    ASSERT_EQ(ram.size(), 0x100000u);
    for (const auto& seg : expected().loader) {
        std::vector<uint8_t> got(ram.begin() + (seg.a - 0x400000),
                                 ram.begin() + (seg.a - 0x400000) + seg.bytes.size());
        EXPECT_TRUE(got == seg.bytes) << std::hex << seg.a;
    }
}

// The port cannot be opened: the box, a hint that fits the reason, exit status 3.
TEST(CliPort, PortThatCannotBeOpenedGivesBoxHintAndStatus3) {
    TempDir tmp;
    CliRun missing = run_cli({"download", "--port", tmp / "no-such-tty", "--progress", "plain"});
    EXPECT_EQ(missing.status, 3);
    EXPECT_NE(missing.err.find("Error...: Error opening COM-Port !\n"), std::string::npos)
        << missing.err;
    EXPECT_NE(missing.err.find("does not exist"), std::string::npos) << missing.err;
    EXPECT_EQ(missing.err.find("Activating bootloader..."), std::string::npos);

    CliRun file = run_cli({"send-file", "--port", tmp / "no-such-tty", "/dev/null"});
    EXPECT_EQ(file.status, 3) << file.err;
    EXPECT_NE(file.err.find("Error...: Error opening COM-Port !\n"), std::string::npos);

    // A device this user may not open; root bypasses the mode, so then the program runs as
    // nobody, wherever the build lies.
    std::string locked = tmp / "locked";
    { std::ofstream(locked) << ""; }
    chmod(tmp.path.c_str(), 0755);
    chmod(locked.c_str(), 0);
    CliRun denied = run_cli({"download", "--port", locked}, 30000, geteuid() == 0 ? 65534 : -1);
    EXPECT_EQ(denied.status, 3) << denied.err;
    EXPECT_NE(denied.err.find("permission denied on " + locked), std::string::npos) << denied.err;
    EXPECT_NE(denied.err.find("group '"), std::string::npos) << denied.err;
}

// A port another program holds: locked, the open fails and the hint names the process; not
// locked, the download goes on with a warning that names it.
TEST(CliPort, ProgramHoldingThePortIsNamed) {
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    Uart holder;
    Uart_init(&holder);
    ASSERT_TRUE(Uart_open(&holder, pty.slave_path().c_str(), 115200, 8, 0, 0));
    CliRun r = run_cli({"download", "--port", pty.slave_path(), "--progress", "plain"});
    Uart_close(&holder);
    EXPECT_EQ(r.status, 3) << r.err;
    EXPECT_NE(r.err.find("Error...: Error opening COM-Port !\n"), std::string::npos);
    EXPECT_NE(r.err.find("hint: " + pty.slave_path() + " is busy: process " +
                         std::to_string(getpid()) + " ("),
              std::string::npos)
        << r.err;

    // A program that opened the port without a lock: sleep with the port as its stdin.
    pid_t sleeper = fork();
    if (sleeper == 0) {
        int fd = pty.open_slave();
        if (fd < 0 || dup2(fd, 0) < 0) _exit(126);
        execlp("sleep", "sleep", "30", static_cast<char*>(nullptr));
        _exit(127);
    }
    ASSERT_GT(sleeper, 0);
    // Until the child runs sleep, it is the test program under another name.
    std::string comm = "/proc/" + std::to_string(sleeper) + "/comm";
    for (int i = 0; i < 500 && read_text(comm) != "sleep\n"; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    // Nobody answers behind the pty: the activation fails, fast on the quickened clock.
    CliRun shared = run_cli({"download", "--port", pty.slave_path(), "--progress", "plain"}, 30000,
                            -1, {"ORVO_CLI_SILENCE_SPEEDUP=200"});
    kill(sleeper, SIGKILL);
    waitpid(sleeper, nullptr, 0);
    EXPECT_EQ(shared.status, 4) << shared.err;
    EXPECT_NE(shared.err.find("warning: " + pty.slave_path() + " is also open in process " +
                              std::to_string(sleeper) +
                              " (sleep), which may take the device's "
                              "replies\n"),
              std::string::npos)
        << shared.err;
}

// The forms of PORT: -p, COM names in any case, a bare device name.
TEST_F(CliE2e, PortNameForms) {
    DevSimProcess sim;
    ASSERT_TRUE(sim.ok());
    CliRun lower =
        run_cli({"download", "-p", "com3", "-q"}, 30000, -1, {"ORVO_COM3=" + sim.port()});
    sim.stop();
    EXPECT_EQ(lower.status, 0) << lower.err;
    EXPECT_NE(lower.err.find("Ok: Application successfully downloaded !"), std::string::npos);
    EXPECT_EQ(lower.err.find("Programming application..."), std::string::npos) << lower.err;

    CliRun bare = run_cli({"download", "-p", "ttyNOSUCH7", "-q"});
    EXPECT_EQ(bare.status, 3);
    EXPECT_NE(bare.err.find("hint: /dev/ttyNOSUCH7 does not exist"), std::string::npos) << bare.err;
    CliRun com =
        run_cli({"download", "-p", "Com4", "-q"}, 30000, -1, {"ORVO_COM4=/dev/ttyNOSUCH4"});
    EXPECT_EQ(com.status, 3);
    EXPECT_NE(com.err.find("hint: /dev/ttyNOSUCH4 does not exist"), std::string::npos) << com.err;
}

// A fake sysfs tree: a USB adapter with a latency timer, one without, a built-in UART.
struct FakeSysfs {
    TempDir tmp;
    void file(const std::string& rel, const std::string& text) {
        std::filesystem::create_directories(std::filesystem::path(tmp / rel).parent_path());
        std::ofstream(tmp / rel) << text << "\n";
    }
    // class/tty/NAME/device -> the interface folder below the USB device DEV.
    void usb_tty(const std::string& name, const std::string& dev,
                 const std::vector<std::pair<std::string, std::string>>& ids) {
        std::string iface = "devices/pci0000:00/usb1/" + dev + "/" + dev + ":1.0/" + name;
        std::filesystem::create_directories(tmp / iface);
        for (const auto& [key, value] : ids)
            file("devices/pci0000:00/usb1/" + dev + "/" + key, value);
        std::filesystem::create_directories(tmp / ("class/tty/" + name));
        std::filesystem::create_symlink(tmp / iface, tmp / ("class/tty/" + name + "/device"));
    }
};

TEST(CliPorts, PortsListsUsbAdaptersFromSysfs) {
    FakeSysfs sys;
    sys.usb_tty("ttyUSB0", "1-1",
                {{"idVendor", "0403"},
                 {"idProduct", "6001"},
                 {"manufacturer", "FTDI"},
                 {"product", "FT232R USB UART"},
                 {"serial", "A10K1234"}});
    sys.file("class/tty/ttyUSB0/device/latency_timer", "16");
    sys.usb_tty("ttyACM0", "1-2",
                {{"idVendor", "2341"}, {"idProduct", "0043"}, {"product", "Arduino Uno"}});
    sys.file("class/tty/ttyS0/type", "4");
    sys.file("class/tty/ttyS0/port", "0x3F8");
    sys.file("class/tty/ttyS0/irq", "4");
    sys.file("class/tty/tty1/type", "0"); // not a serial port
    CliRun r = run_cli({"ports"}, 30000, -1, {"ORVO_SYSFS_ROOT=" + sys.tmp.path});
    EXPECT_EQ(r.status, 0) << r.err;
    const std::vector<std::string> lines = lines_of(r.out);
    auto line_of = [&](const std::string& path) {
        for (const std::string& l : lines)
            if (l.rfind("  " + path + " ", 0) == 0) return l;
        return std::string();
    };
    EXPECT_NE(line_of("/dev/ttyUSB0").find("USB 0403:6001 FTDI FT232R USB UART (serial A10K1234)"),
              std::string::npos)
        << r.out;
    EXPECT_NE(line_of("/dev/ttyUSB0").find("latency timer 16 ms"), std::string::npos) << r.out;
    EXPECT_NE(line_of("/dev/ttyACM0").find("USB 2341:0043 Arduino Uno"), std::string::npos)
        << r.out;
    EXPECT_EQ(line_of("/dev/ttyACM0").find("latency"), std::string::npos) << r.out;
    EXPECT_NE(line_of("/dev/ttyS0").find("serial port at 0x3F8, irq 4"), std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.find("tty1"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("note: /dev/ttyUSB0 holds received bytes up to 16 ms"), std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.find("note: /dev/ttyACM0"), std::string::npos) << r.out;
}

// A latency timer that stays above 1 ms after the port was opened gets a warning in the
// download (the fake tree gives the simulator's pty one).
TEST_F(CliE2e, DownloadWarnsOfALatencyTimerAbove1Ms) {
    DevSimProcess sim;
    ASSERT_TRUE(sim.ok());
    FakeSysfs sys;
    std::string name = std::filesystem::canonical(sim.port()).filename();
    sys.file("class/tty/" + name + "/device/latency_timer", "16");
    CliRun r = run_cli({"download", "-p", sim.port(), "-q"}, 30000, -1,
                       {"ORVO_SYSFS_ROOT=" + sys.tmp.path});
    sim.stop();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("warning: the latency timer of " + sim.port() + " stayed at 16 ms"),
              std::string::npos)
        << r.err;
}

TEST(CliUsage, HelpOnEveryCommandAndVersion) {
    for (std::string command :
         {"", "download", "send-file", "read-mem", "ports", "images", "verify-dump"}) {
        SCOPED_TRACE(command);
        std::vector<std::string> args;
        if (!command.empty()) args.push_back(command);
        args.push_back("--help");
        CliRun r = run_cli(args);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.out.find("Usage: orvo-loader-cli" + (command.empty() ? "" : " " + command)),
                  std::string::npos)
            << r.out;
        EXPECT_TRUE(r.err.empty()) << r.err;
    }
    CliRun help = run_cli({"help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("Exit status"), std::string::npos) << help.out;
    CliRun version = run_cli({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, std::string("orvo-loader-cli ") + ORVO_VERSION + "\n");
}

// Bad command lines: one line on stderr, exit status 2, and nothing reaches the device.
TEST_F(CliE2e, BadCommandLinesExitWithStatus2) {
    DevSimProcess sim;
    ASSERT_TRUE(sim.ok());
    const std::string port = sim.port();
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"flash"},
        {"download"},
        {"download", "--port"},
        {"download", "--port", port, "--bogus"},
        {"download", "--port", port, "--progress", "fancy"},
        {"download", "--port", port, "extra"},
        {"download", "--port", port, "-q", "--progress", "plain"},
        {"download", "--port", port, "--retries", "-1"},
        {"download", "--port", port, "--retries", "101"},
        {"download", "--port", port, "--retries", "two"},
        {"download", "-p", port, "-x"},
        {"send-file", "--port", port},
        {"send-file", "--port", port, "a.s37", "b.s37"},
        {"send-file", "--port", port, "a.s37", "--jump", "0x"},
        {"send-file", "--port", port, "a.s37", "--jump", "12z"},
        {"send-file", "--port", port, "a.s37", "--jump", "0x100000000"},
        {"send-file", "--port", port, "a.s37", "--jump", "-1"},
        {"read-mem", "-p", port, "--length", "16", "out.bin"},
        {"read-mem", "-p", port, "--address", "0x80000", "out.bin"},
        {"read-mem", "-p", port, "--address", "0x80000", "--length", "0", "out.bin"},
        {"read-mem", "-p", port, "--address", "0x80000", "--length", "16777217", "out.bin"},
        {"read-mem", "-p", port, "--address", "0x1g", "--length", "16", "out.bin"},
        {"read-mem", "-p", port, "--address", "0x80000", "--length", "16"},
        {"read-mem", "-p", port, "--address", "0xFFFFFFF0", "--length", "32", "out.bin"},
        {"download", "-p", port, "--app"},
        {"images", "--export"},
        {"ports", "now"},
        {"verify-dump"},
    };
    for (const auto& args : cases) {
        std::string joined;
        for (const auto& a : args)
            joined += a + " ";
        SCOPED_TRACE(joined);
        CliRun r = run_cli(args);
        EXPECT_EQ(r.status, 2) << r.err;
        EXPECT_EQ(r.err.rfind("orvo-loader-cli: ", 0), 0u) << r.err;
        EXPECT_EQ(count_of(r.err, "\n"), 1) << r.err;
    }
    sim.stop();
    EXPECT_EQ(json_value(sim.report(), "requests"), "0") << sim.report();
}

// One S3 record line (checksum included), or with type 7 the end line.
std::string srec_line(int type, uint32_t adr, const std::vector<uint8_t>& data = {}) {
    std::vector<uint8_t> v = {static_cast<uint8_t>(4 + data.size() + 1),
                              static_cast<uint8_t>(adr >> 24), static_cast<uint8_t>(adr >> 16),
                              static_cast<uint8_t>(adr >> 8), static_cast<uint8_t>(adr)};
    v.insert(v.end(), data.begin(), data.end());
    unsigned sum = 0;
    for (uint8_t b : v)
        sum += b;
    v.push_back(static_cast<uint8_t>(~sum));
    std::string line = "S" + std::to_string(type);
    for (uint8_t b : v) {
        char h[3];
        snprintf(h, sizeof h, "%02X", b);
        line += h;
    }
    return line + "\n";
}

// A file of S3 records (address, bytes) and the end line.
std::string srec_file(const std::vector<std::pair<uint32_t, std::vector<uint8_t>>>& recs) {
    std::string text;
    for (const auto& [adr, data] : recs)
        text += srec_line(3, adr, data);
    return text + srec_line(7, 0);
}

// 16 bytes with the application signature 0x47 at offset 0x10 of the record at 0x80010.
std::vector<uint8_t> signature_bytes() {
    std::vector<uint8_t> b(16, 0x5A);
    b[0] = 0x47;
    return b;
}

std::vector<uint8_t> random_bytes(size_t n, uint32_t seed) {
    std::vector<uint8_t> b(n);
    for (uint8_t& x : b) {
        seed = seed * 1103515245u + 12345u;
        x = static_cast<uint8_t>(seed >> 16);
    }
    return b;
}

// An application file chosen at run time, made by srec_cat from random bytes with blank
// blocks inside, is programmed byte-exact; a flash-loader file (the exported one) is taken
// too; the start event and `images` name the files.
TEST_F(CliE2e, ApplicationFileFromSrecCatIsProgrammedByteExact) {
    TempDir tmp;
    std::vector<uint8_t> app = random_bytes(0x30000, 7);
    app[0x10] = 0x47;
    std::fill(app.begin() + 0x8000, app.begin() + 0xA000, 0xFF); // 32 blank blocks
    std::fill(app.begin() + 0x12345, app.begin() + 0x12345 + 300, 0xFF);
    write_bytes(tmp / "app.bin", app);
    std::string s37 = tmp / "app.s37";
    ASSERT_EQ(system(("srec_cat " + tmp / "app.bin" + " -binary -offset 0x80000 -o " + s37 +
                      " -Motorola -address-length=4 -execution-start-address=0x80000")
                         .c_str()),
              0);
    // What srec_cat makes of the file again, from 0x80000 on.
    ASSERT_EQ(system(("srec_cat " + s37 + " -Motorola -offset -0x80000 -o " + tmp / "back.bin" +
                      " -binary")
                         .c_str()),
              0);
    std::string back = read_text(tmp / "back.bin");
    ASSERT_EQ(back.size(), app.size());
    CliRun ex = run_cli({"images", "--export", tmp.path});
    ASSERT_EQ(ex.status, 0) << ex.err;
    std::string loader = tmp / "fld_02.s37";

    CliRun info = run_cli({"images", "--app", s37, "--loader", loader});
    EXPECT_EQ(info.status, 0) << info.err;
    EXPECT_NE(info.out.find("application: " + s37 + ", " + std::to_string(app.size()) + " bytes, "),
              std::string::npos)
        << info.out;
    EXPECT_NE(info.out.find("flash loader: " + loader + ", 45397 bytes, 179 blocks to write"),
              std::string::npos)
        << info.out;

    DevSimProcess sim;
    ASSERT_TRUE(sim.ok());
    CliRun r = run_cli(
        {"download", "-p", sim.port(), "--app", s37, "--loader", loader, "--progress", "json"});
    sim.stop();
    EXPECT_EQ(r.status, 0) << r.err;
    Json start = Json::parse(lines_of(r.out).front(), nullptr, false);
    EXPECT_EQ(start["images"][0]["source"], loader);
    EXPECT_EQ(start["images"][1]["source"], s37);
    EXPECT_EQ(start["images"][1]["size"], app.size());
    std::vector<uint8_t> flash = sim.flash();
    ASSERT_EQ(flash.size(), 0x74000u);
    EXPECT_TRUE(std::equal(back.begin(), back.end(), flash.begin(),
                           [](char a, uint8_t b) { return static_cast<uint8_t>(a) == b; }));
    EXPECT_TRUE(
        std::all_of(flash.begin() + app.size(), flash.end(), [](uint8_t b) { return b == 0xFF; }));
    EXPECT_EQ(json_value(sim.report(), "signature_last"), "true");
    EXPECT_EQ(json_value(sim.report(), "app_started"), "true");
}

// A file that cannot be the image: one line naming the file and why, exit status 1, and
// nothing reaches the device.
struct BadFile {
    const char* p_name;
    const char* p_option; // --app or --loader
    std::string text;     // the file's contents; empty: the file is missing
    const char* p_why;
};

TEST_F(CliE2e, RefusedFirmwareFilesNeverReachTheDevice) {
    TempDir tmp;
    const std::vector<uint8_t> data(64, 0x11);
    const std::string sig = srec_line(3, 0x80010, signature_bytes());
    const std::vector<BadFile> cases = {
        {"AppBelowArea", "--app", srec_file({{0x7FFF0, data}}),
         "lies outside the application's flash"},
        {"AppAboveArea", "--app", sig + srec_file({{0xF3FF0, data}}),
         "0x000f3ff0..0x000f4030 lies outside"},
        {"AppNoSignature", "--app", srec_file({{0x80000, data}}),
         "holds 0x11 at 0x00080010, not the application signature 0x47"},
        {"AppSignatureMissing", "--app", srec_file({{0x80100, data}}),
         "holds no byte at 0x00080010"},
        {"AppOverlap", "--app", sig + srec_file({{0x80400, data}, {0x80420, data}}),
         "records overlap at address 0x00080420"},
        {"LoaderNotAtStart", "--loader", srec_file({{0x400100, data}}),
         "its lowest address is 0x00400100, not the flash loader's start 0x00400000"},
        {"LoaderOutside", "--loader", srec_file({{0x400000, data}, {0x4FFFF0, data}}),
         "lies outside the flash loader's RAM"},
        {"BadChecksum", "--app", "S30900080010470000001E\n" + srec_line(7, 0),
         "error-src/image/msrecin.cpp"},
        {"NoEndLine", "--app", sig, "error-src/image/msrecin.cpp"},
        {"NotSrecords", "--app", "hello world\n", "error-src/image/msrecin.cpp"},
        {"Empty", "--app", "\x01", ""}, // replaced by an empty file below
        {"Missing", "--loader", "", "No such file or directory"},
        {"Huge", "--app", "", "more than a firmware file can be (16 MiB)"},
    };
    DevSimProcess sim;
    ASSERT_TRUE(sim.ok());
    for (const BadFile& c : cases) {
        SCOPED_TRACE(c.p_name);
        std::string path = tmp / (std::string(c.p_name) + ".s37");
        if (std::string(c.p_name) == "Empty") {
            std::ofstream f(path);
        } else if (std::string(c.p_name) == "Huge") {
            std::ofstream(path) << sig;
            std::filesystem::resize_file(path, 17 * 1024 * 1024);
        } else if (!c.text.empty()) {
            std::ofstream(path) << c.text;
        }
        CliRun r = run_cli({"download", "-p", sim.port(), c.p_option, path});
        EXPECT_EQ(r.status, 1) << r.err;
        std::string kind = std::string(c.p_option) == "--app" ? "application" : "flash-loader";
        EXPECT_EQ(r.err.rfind("orvo-loader-cli: " + kind + " file " + path + ": ", 0), 0u) << r.err;
        std::string why = std::string(c.p_name) == "Empty" ? "is empty" : c.p_why;
        EXPECT_NE(r.err.find(why), std::string::npos) << r.err;
        EXPECT_EQ(count_of(r.err, "\n"), 1) << r.err;
    }
    sim.stop();
    EXPECT_EQ(json_value(sim.report(), "requests"), "0") << sim.report();
}

// --verify reads back every block written before the signature: a sound flash passes, and
// read-mem then gives the flash back; a worn byte stops the download with exit status 12
// and no signature.
struct VerifyCase {
    const char* p_name;
    std::vector<std::string> sim_args;
    int status;
};

class CliVerify : public CliE2e, public ::testing::WithParamInterface<VerifyCase> {};

TEST_P(CliVerify, VerifyBeforeTheSignature) {
    const VerifyCase& c = GetParam();
    TempDir tmp;
    DevSimProcess sim(c.sim_args);
    ASSERT_TRUE(sim.ok());
    std::string log = tmp / "run.log";
    CliRun r =
        run_cli({"download", "-p", sim.port(), "--verify", "--progress", "json", "--log", log});
    EXPECT_EQ(r.status, c.status) << r.err;
    std::vector<std::string> ids;
    for (const std::string& l : lines_of(r.out)) {
        Json e = Json::parse(l, nullptr, false);
        if (e["event"] == "step") ids.push_back(e["step"]);
    }
    Json result = Json::parse(last_line(r.out), nullptr, false);
    EXPECT_EQ(result["exit"], c.status);
    std::string text = read_text(log);
    EXPECT_NE(text.find("ms  Verifying application\n"), std::string::npos);
    if (c.status == 0) {
        EXPECT_EQ(ids, (std::vector<std::string>{"activate", "load_loader", "start_loader", "erase",
                                                 "blank_check", "program", "verify", "signature",
                                                 "start_appl"}));
        EXPECT_TRUE(result["failed_step"].is_null());
        // The device's flash read back whole, in pieces of 256 bytes.
        std::string dump = tmp / "flash.bin";
        CliRun rm = run_cli({"read-mem", "-p", sim.port(), "--address", "0x80000", "--length",
                             std::to_string(0x74000), dump, "--progress", "plain"});
        EXPECT_EQ(rm.status, 0) << rm.err;
        EXPECT_NE(rm.err.find("Ok: 475136 bytes from 0x00080000 written to " + dump),
                  std::string::npos)
            << rm.err;
        std::string got = read_text(dump);
        EXPECT_TRUE(got.size() == expected().flash.size() &&
                    std::equal(got.begin(), got.end(), expected().flash.begin(),
                               [](char a, uint8_t b) { return static_cast<uint8_t>(a) == b; }));
        // A length the device refuses ends with its result's message, and no file.
        std::string past = tmp / "past.bin";
        CliRun refused = run_cli(
            {"read-mem", "-p", sim.port(), "--address", "0xF3F00", "--length", "512", past, "-q"});
        EXPECT_EQ(refused.status, 1);
        EXPECT_NE(
            refused.err.find(
                "Error...: Reading memory at address 0x000f4000 failed: RMC_RES_ILL_DATA_ADR"),
            std::string::npos)
            << refused.err;
        EXPECT_FALSE(std::filesystem::exists(past));
        sim.stop();
        EXPECT_TRUE(sim.flash() == expected().flash);
    } else {
        EXPECT_EQ(ids.back(), "verify");
        EXPECT_EQ(result["failed_step"], "verify");
        EXPECT_NE(r.err.find("Error...: Verifying application failed at address 00080123 !\n"),
                  std::string::npos)
            << r.err;
        EXPECT_NE(text.find("the device holds "), std::string::npos);
        sim.stop();
        EXPECT_EQ(sim.flash()[0x10], 0xFF);
        EXPECT_EQ(json_value(sim.report(), "app_started"), "false");
    }
}

INSTANTIATE_TEST_SUITE_P(Flash, CliVerify,
                         ::testing::Values(VerifyCase{"Sound", {}, 0},
                                           VerifyCase{
                                               "WornByte", {"--weak-flash-byte", "0x80123"}, 12}),
                         case_name<VerifyCase>);

// --- several ports in one command ---

// Up to eight downloads at once with a simulator each: the test program runs these alone, with
// a wider bound for a hang, so that no other test's processes share the machine with them.
class CliGang : public CliE2e {};

// k simulated devices, each with its own arguments.
struct Gang {
    std::vector<std::unique_ptr<DevSimProcess>> sims;
    explicit Gang(const std::vector<std::vector<std::string>>& args) {
        for (const auto& a : args)
            sims.push_back(std::make_unique<DevSimProcess>(a));
    }
    bool ok() const {
        for (const auto& s : sims)
            if (!s->ok()) return false;
        return true;
    }
    std::vector<std::string> port_args() const {
        std::vector<std::string> out;
        for (const auto& s : sims)
            out.insert(out.end(), {"--port", s->port()});
        return out;
    }
};

std::vector<std::string> cat(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// The table line of a port: its columns after the port's name.
std::string table_row(const std::string& out, const std::string& port) {
    size_t i = out.find("\n" + port + " ");
    if (i == std::string::npos) return "";
    size_t e = out.find('\n', i + 1);
    std::string row = out.substr(i + 1 + port.size(), e - i - 1 - port.size());
    size_t b = row.find_first_not_of(' ');
    return b == std::string::npos ? "" : row.substr(b);
}

TEST_F(CliGang, FourAndEightDevicesProgrammedByOneCommand) {
    // Several downloads at once on a loaded machine hold bytes in the pseudo-terminals for
    // seconds, past the link's waits (the 1 s reply time-out while the flash loader is written):
    // a failed write is repeated, as production runs of many ports do, and the eight program a
    // short application file. The procedure without repetitions is tested on one port.
    TempDir files;
    std::vector<uint8_t> short_app = random_bytes(0x2000, 8);
    short_app[0x10] = 0x47;
    std::vector<std::pair<uint32_t, std::vector<uint8_t>>> recs;
    for (size_t i = 0; i < short_app.size(); i += 32)
        recs.push_back({static_cast<uint32_t>(0x80000 + i),
                        std::vector<uint8_t>(short_app.begin() + i, short_app.begin() + i + 32)});
    std::string short_file = files / "short.s37";
    std::ofstream(short_file) << srec_file(recs);
    std::vector<uint8_t> short_flash(expected().flash.size(), 0xFF);
    std::copy(short_app.begin(), short_app.end(), short_flash.begin());

    for (size_t k : {4u, 8u}) {
        SCOPED_TRACE(k);
        const bool is_short = k == 8;
        TempDir tmp;
        Gang gang{std::vector<std::vector<std::string>>(k)};
        ASSERT_TRUE(gang.ok());
        std::string report = tmp / "report.json";
        std::string log = tmp / "run.log";
        std::vector<std::string> args = {"download", "--progress", "plain", "--report", report,
                                         "--log", log, "--retries", "2"};
        if (is_short) args.insert(args.end(), {"--app", short_file});
        CliRun r = run_cli(cat(args, gang.port_args()), 180000);
        EXPECT_EQ(r.status, 0) << r.err;
        for (auto& sim : gang.sims) {
            // Each port logs into a file of its own; a failed port shows its log.
            std::string port_log = read_text(log + ".pts-" + sim->port().substr(9));
            EXPECT_EQ(table_row(r.out, sim->port()).rfind("ok ", 0), 0u) << r.out << port_log;
            EXPECT_NE(port_log.find("Programming application"), std::string::npos);
            ASSERT_EQ(sim->stop(), 0);
            EXPECT_TRUE(sim->flash() == (is_short ? short_flash : expected().flash))
                << sim->port();
            EXPECT_EQ(json_value(sim->report(), "signature_last"), "true");
        }
        EXPECT_NE(r.out.find(std::to_string(k) + " of " + std::to_string(k) + " ports programmed"),
                  std::string::npos)
            << r.out;
        std::string text = read_text(report);
        EXPECT_EQ(count_of(text, "\"ok\": true"), static_cast<int>(k) + 1) << text;
        EXPECT_EQ(count_of(text, "\"crc32\""), 2 * static_cast<int>(k)) << text;
    }
}

TEST_F(CliGang, OneFailingDeviceOfFourLeavesTheOthersProgrammed) {
    // The third device answers its 200th request, a flash write, with the busy exception;
    // the fourth port is a file, which exists but is no serial port.
    TempDir tmp;
    std::string not_a_port = tmp / "not-a-port";
    write_bytes(not_a_port, {0});
    Gang gang({{}, {}, {"--busy-every", "200"}});
    ASSERT_TRUE(gang.ok());
    CliRun r =
        run_cli(cat(cat({"download", "-q"}, gang.port_args()), {"--port", not_a_port}), 120000);
    EXPECT_EQ(r.status, 9) << r.out << r.err; // the first failing port in the order given
    EXPECT_EQ(table_row(r.out, gang.sims[2]->port()).rfind("failed ", 0), 0u) << r.out;
    EXPECT_NE(table_row(r.out, gang.sims[2]->port()).find("program (exit 9)"), std::string::npos)
        << r.out;
    EXPECT_NE(table_row(r.out, not_a_port).find("(exit 3)"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("2 of 4 ports programmed"), std::string::npos) << r.out;
    // The hints of the failed ports follow the table.
    EXPECT_NE(r.err.find(not_a_port + ": "), std::string::npos) << r.err;
    for (int i : {0, 1}) {
        ASSERT_EQ(gang.sims[i]->stop(), 0);
        EXPECT_TRUE(gang.sims[i]->flash() == expected().flash);
    }
    ASSERT_EQ(gang.sims[2]->stop(), 0);
    EXPECT_EQ(gang.sims[2]->flash()[0x10], 0xFF) << "no signature after a failed programming";
}

// An application file and --verify reach every port's download: both take the file, and the
// device with a worn byte fails its verification.
TEST_F(CliGang, GangGivesTheFileAndVerifyToEveryPort) {
    TempDir tmp;
    CliRun ex = run_cli({"images", "--export", tmp.path});
    ASSERT_EQ(ex.status, 0) << ex.err;
    std::string app = tmp / "orvo.s37";
    Gang gang{{{}, {"--weak-flash-byte", "0x80123"}}};
    ASSERT_TRUE(gang.ok());
    std::string report = tmp / "report.json";
    CliRun r = run_cli(
        cat({"download", "--progress", "plain", "--verify", "--app", app, "--report", report},
            gang.port_args()),
        180000); // a bound for a hang: two downloads and a read-back take over 60 s on a loaded machine
    EXPECT_EQ(r.status, 12) << r.out << r.err;
    EXPECT_EQ(table_row(r.out, gang.sims[0]->port()).rfind("ok ", 0), 0u) << r.out;
    EXPECT_NE(table_row(r.out, gang.sims[1]->port()).find("verify (exit 12)"), std::string::npos)
        << r.out;
    EXPECT_EQ(count_of(read_text(report), "\"source\": \"" + app + "\""), 2) << read_text(report);
    gang.sims[0]->stop();
    EXPECT_TRUE(gang.sims[0]->flash() == expected().flash);
    gang.sims[1]->stop();
    EXPECT_EQ(gang.sims[1]->flash()[0x10], 0xFF);
}

TEST_F(CliGang, GangJsonEventsNameThePortAndSigtermStopsAll) {
    // Slow flash writes, so that the signal comes while every device is programming.
    Gang gang({{"--write-ms", "20"}, {"--write-ms", "20"}, {"--write-ms", "20"}});
    ASSERT_TRUE(gang.ok());
    CliProcess p(cat({"download", "--progress", "json"}, gang.port_args()));
    p.close_stdin();
    auto deadline = Clock::now() + std::chrono::seconds(60);
    while (count_of(p.out(), "\"step\":\"program\"") < 3 && Clock::now() < deadline)
        p.wait_for_err("never", 50);
    p.signal(SIGTERM);
    int status = p.wait(60000);
    EXPECT_EQ(status, 143) << p.err();
    std::vector<std::string> lines;
    std::string out = p.out();
    for (size_t b = 0, e; (e = out.find('\n', b)) != std::string::npos; b = e + 1)
        lines.push_back(out.substr(b, e - b));
    ASSERT_FALSE(lines.empty());
    // Every event but the last names its port; the last sums up.
    for (size_t i = 0; i + 1 < lines.size(); i++)
        ASSERT_NE(lines[i].find("\"port\":\"/"), std::string::npos) << lines[i];
    EXPECT_NE(lines.back().find("\"event\":\"result\""), std::string::npos) << lines.back();
    EXPECT_NE(lines.back().find("\"exit\":143"), std::string::npos) << lines.back();
    EXPECT_EQ(count_of(out, "\"event\":\"result\""), 4);
    EXPECT_EQ(count_of(out, "\"exit\":143"), 4);
    for (auto& sim : gang.sims) {
        ASSERT_EQ(sim->stop(), 0);
        EXPECT_EQ(sim->flash()[0x10], 0xFF);
    }
}

// Bad port lists end before anything starts: one line, exit status 2, no byte to a device.
TEST_F(CliE2e, BadPortListsExitWithStatus2BeforeAnythingStarts) {
    TempDir tmp;
    Gang gang({{}, {}});
    ASSERT_TRUE(gang.ok());
    const std::string a = gang.sims[0]->port(), b = gang.sims[1]->port();
    std::string empty_file = tmp / "empty", list = tmp / "list";
    write_bytes(empty_file, {});
    std::ofstream(list) << "# line 3\n" << a << "\n\n  " << a << "  \n";
    struct Case {
        std::vector<std::string> args;
        std::string says;
    };
    const std::vector<Case> cases = {
        {{"--port", a, "--port", b, "--port", a}, "is given twice"},
        {{"--port", "COM1", "--port", a}, "is given twice"}, // COM1 points to a
        {{"--port", a, "--port", "/dev/orvo-no-such-port"}, "does not exist"},
        {{"--ports-file", empty_file}, "no port in"},
        {{"--ports-file", tmp / "missing"}, "cannot read the ports file"},
        {{"--ports-file", list}, "is given twice"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.says);
        CliRun r = run_cli(cat({"download"}, c.args), 30000, -1, {"ORVO_COM1=" + a});
        EXPECT_EQ(r.status, 2) << r.err;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
        EXPECT_EQ(count_of(r.err, "\n"), 1) << r.err;
    }
    for (auto& sim : gang.sims) {
        sim->stop();
        EXPECT_EQ(json_value(sim->report(), "requests"), "0") << sim->report();
    }
}

} // namespace
