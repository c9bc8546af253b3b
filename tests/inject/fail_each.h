// Runs one operation once for every allocation it makes, with that allocation
// failing, and collects what each run gave: result, log, blocks left behind.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct InjectTrial {
    int64_t n;       // the allocation that failed (1-based)
    bool ok;         // what the operation reported
    bool hit;        // whether the n-th allocation happened at all
    int64_t live;    // blocks obtained in the run and still held after teardown
    std::string log; // console output of the run
};

struct InjectRuns {
    int64_t n_alloc; // allocations of the undisturbed run
    bool ok_clean;   // result of the undisturbed run
    int64_t live_clean;
    std::vector<InjectTrial> trials;

    // Whether any run logged text containing the given piece.
    bool logged(const std::string& piece) const;
};

// setup and teardown run around every act; only act is disturbed. Blocks are
// tracked from act through teardown, so teardown must release what act made.
// A first run without tracking lets one-time statics settle.
InjectRuns inject_fail_each(const std::function<void()>& setup, const std::function<bool()>& act,
                            const std::function<void()>& teardown);

// What every disturbed run must show: the failure reached the result, nothing
// was left behind, and (unless the site may be silent) the log says what failed.
void expect_clean_failures(const InjectRuns& runs, bool may_be_silent = false);
// Each piece was logged by at least one run.
void expect_lines(const InjectRuns& runs, const std::vector<std::string>& lines);

// The console output goes into a fixed buffer (capturing must not allocate).
void inject_capture_on(void);
