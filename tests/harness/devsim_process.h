// The simulated device as a separate process for end-to-end tests: starts
// orvo-devsim on a fresh pty, and collects its dumps and report at exit.
#pragma once

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

class DevSimProcess {
  public:
    // Starts orvo-devsim with args plus --dump-flash/--dump-ram/--report into
    // a fresh temp dir; waits up to 5 s for the PORT line. ok() tells whether
    // it started.
    explicit DevSimProcess(const std::vector<std::string>& args = {});
    // Stops it (SIGTERM) if still running and removes the temp dir.
    ~DevSimProcess();
    DevSimProcess(const DevSimProcess&) = delete;
    DevSimProcess& operator=(const DevSimProcess&) = delete;

    bool ok() const { return !port_.empty() && pid_ > 0; }
    // The pty slave path from the PORT line.
    const std::string& port() const { return port_; }
    // SIGTERM, waits up to 5 s; the exit status, -1 on failure (killed
    // after the bound, or a signal death).
    int stop();
    // Waits up to t_ms for a self-ending run (--once, --idle-exit-ms); the
    // exit status, or -1 when it is still running or died by a signal.
    int wait_exit(int t_ms);

    // The flash dump, the RAM dump and the report text; empty before exit.
    std::vector<uint8_t> flash() const;
    std::vector<uint8_t> ram() const;
    std::string report() const;
    std::string dir() const { return dir_; }
    pid_t pid() const { return pid_; }

  private:
    int reap(int t_ms);

    pid_t pid_ = -1;
    int status_ = -1;
    bool reaped_ = false;
    int fd_out_ = -1;
    std::string port_;
    std::string dir_;
};

// Path of a built program, e.g. orvo_program_path("tools/devsim/orvo-devsim").
std::string orvo_program_path(const char* rel);

// The value of "key" in the simulator's report, as written: up to the next
// comma, brace or line end ("" when the key is missing).
std::string devsim_report_value(const std::string& report, const std::string& key);

// The device's flash 0x80000..0xF4000 as a full download of the built-in
// application leaves it.
std::vector<uint8_t> devsim_expected_flash();

// Runs the program argv[0] with stdin and stdout on /dev/null and stderr into
// the file err_path; in_child(p_user), when given, runs in the new process
// just before the program starts. The exit status, 128 + signal for a signal
// death, -1 when it was killed after t_limit_ms, -2 when no process could be
// made.
int run_program(const std::vector<std::string>& argv, const std::string& err_path, int t_limit_ms,
                void (*in_child)(void* p_user) = nullptr, void* p_user = nullptr);
