// The driver that fails each allocation of an operation in turn, and the
// console capture it reads the log lines from.
#include "fail_each.h"

#include "alloc_inject.h"
#include "con.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

char s_log[1 << 16];
size_t s_n_log;

int capture(void*, const char* text) {
    size_t n = std::strlen(text);
    if (n > sizeof s_log - 1 - s_n_log) n = sizeof s_log - 1 - s_n_log;
    std::memcpy(s_log + s_n_log, text, n);
    s_n_log += n;
    s_log[s_n_log] = 0;
    return (int)n;
}

// With ORVO_INJECT_SITES=FILE the run ends by writing the failed callers
// there ("module:offset" lines, for addr2line).
class SitesReport : public ::testing::Environment {
  public:
    void TearDown() override {
        const char* p_path = std::getenv("ORVO_INJECT_SITES");
        if (!p_path) return;
        if (FILE* fp = std::fopen(p_path, "w")) {
            std::fputs(inject_failed_sites().c_str(), fp);
            std::fclose(fp);
        }
    }
};
::testing::Environment* const s_sites_report = ::testing::AddGlobalTestEnvironment(new SitesReport);

} // namespace

void inject_capture_on(void) {
    Con_set_cb_output(capture, nullptr);
    // The channel makes its lock at the first line; that one-time block is
    // not a leak of whichever run logs first.
    Con_print("");
}

bool InjectRuns::logged(const std::string& piece) const {
    for (const InjectTrial& t : trials)
        if (t.log.find(piece) != std::string::npos) return true;
    return false;
}

InjectRuns inject_fail_each(const std::function<void()>& setup, const std::function<bool()>& act,
                            const std::function<void()>& teardown) {
    InjectRuns runs{};
    setup();
    act();
    teardown();

    s_n_log = 0;
    setup();
    inject_arm(0);
    runs.ok_clean = act();
    runs.n_alloc = inject_count();
    teardown();
    runs.live_clean = inject_live();
    inject_stop();

    for (int64_t n = 1; n <= runs.n_alloc; n++) {
        setup();
        s_n_log = 0;
        s_log[0] = 0;
        inject_arm(n);
        bool ok = act();
        inject_disarm();
        bool hit = inject_hit();
        teardown();
        int64_t live = inject_live();
        inject_stop();
        runs.trials.push_back({n, ok, hit, live, std::string(s_log, s_n_log)});
    }
    std::printf("%lld allocations, distinct failed callers so far: %d\n", (long long)runs.n_alloc,
                inject_n_failed_sites());
    return runs;
}

void expect_clean_failures(const InjectRuns& runs, bool may_be_silent) {
    EXPECT_TRUE(runs.ok_clean);
    EXPECT_EQ(runs.live_clean, 0);
    ASSERT_GT(runs.n_alloc, 0);
    for (const InjectTrial& t : runs.trials) {
        SCOPED_TRACE("allocation " + std::to_string(t.n) + " failed; log:\n" + t.log);
        EXPECT_TRUE(t.hit);
        EXPECT_FALSE(t.ok);
        EXPECT_EQ(t.live, 0) << "blocks or files left behind";
        if (!may_be_silent) {
            EXPECT_NE(t.log.find("error-"), std::string::npos) << "failure without a line";
        }
    }
}

void expect_lines(const InjectRuns& runs, const std::vector<std::string>& lines) {
    for (const std::string& line : lines)
        EXPECT_TRUE(runs.logged(line)) << "never logged: " << line;
}
