// Full downloads with orvo-loader-cli against orvo-devsim through every recoverable line
// fault the device can make at once, the device answering without any pause, and both
// programs on one core: the device runs while the loader waits for the core, so the replies
// arrive in bursts, a stale message often right before the real one.
//
// The loader runs at the ordinary priority. A loader at nice 19 shows the same bursts on a quiet machine,
// but beside other work on its core it can be held off for seconds, and then the device's own
// character and acknowledgement delays (220 ms, 2000 ms) rightly refuse its frames: that
// measures the machine, not the link (./run faulty-line runs it that way).
#include "devsim_process.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sched.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// One download may take this long before it counts as hanging (a quiet machine needs about
// two seconds).
constexpr int k_t_download_limit_ms = 600000;

std::string tail_of(const std::string& path, size_t n) {
    std::ifstream f(path, std::ios::binary);
    std::string s((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    return s.size() > n ? s.substr(s.size() - n) : s;
}

// The first processor this test may run on: both programs share it.
bool one_core(cpu_set_t* p_set) {
    cpu_set_t allowed;
    if (sched_getaffinity(0, sizeof allowed, &allowed) != 0) return false;
    CPU_ZERO(p_set);
    for (int i = 0; i < CPU_SETSIZE; i++) {
        if (CPU_ISSET(i, &allowed)) {
            CPU_SET(i, p_set);
            return true;
        }
    }
    return false;
}

// In the loader's process before it starts: the shared core, and a clock that hurries once the
// line has been quiet for 200 ms, so that the wait for a lost reply takes about a second.
void on_core(void* p_set) {
    if (sched_setaffinity(0, sizeof(cpu_set_t), static_cast<cpu_set_t*>(p_set)) != 0) _exit(125);
    setenv("ORVO_CLI_SILENCE_SPEEDUP", "100", 1);
}

int count_of(const std::string& text, const std::string& part) {
    int n = 0;
    for (size_t i = text.find(part); i != std::string::npos; i = text.find(part, i + 1))
        n++;
    return n;
}

bool programs_are_built() {
    return access(orvo_program_path("tools/devsim/orvo-devsim").c_str(), X_OK) == 0 &&
           access(orvo_program_path("tools/cli/orvo-loader-cli").c_str(), X_OK) == 0;
}

TEST(FaultyLine, TwentyDownloadsOnOneCoreAreExactAndNoStartRequestIsRefused) {
    if (!programs_are_built()) GTEST_SKIP() << "orvo-devsim or orvo-loader-cli is not built";
    cpu_set_t core;
    ASSERT_TRUE(one_core(&core)) << std::strerror(errno);
    const std::vector<uint8_t> image = devsim_expected_flash();
    int n_repeats = 0;
    for (int seed = 1; seed <= 20; seed++) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        DevSimProcess sim({"--duplicate-reply-every", "7", "--stray-byte-every", "11",
                           "--bad-bcc-every", "13", "--lose-final-dle-every", "17", "--nak-first",
                           "2", "--seed", std::to_string(seed)});
        ASSERT_TRUE(sim.ok());
        ASSERT_EQ(sched_setaffinity(sim.pid(), sizeof core, &core), 0) << std::strerror(errno);
        std::string err = sim.dir() + "/cli.err", log = sim.dir() + "/cli.log";
        // A stray byte can make the device's repeated start request the first data byte of
        // its reply, and when that frame also carries a wrong block check that happens to
        // cancel the extra byte (about one download in forty at these rates), the XOR check
        // cannot see it: the reply is lost, and only a repeated write recovers.
        int status = run_program({orvo_program_path("tools/cli/orvo-loader-cli"), "download",
                                  "--port", sim.port(), "--progress", "none", "--log", log,
                                  "--retries", "2"},
                                 err, k_t_download_limit_ms, on_core, &core);
        ASSERT_EQ(sim.stop(), 0);
        EXPECT_EQ(status, 0) << tail_of(err, 600) << tail_of(log, 1500);
        EXPECT_TRUE(sim.flash() == image);
        std::string rep = sim.report();
        EXPECT_EQ(devsim_report_value(rep, "signature_last"), "true") << rep;
        EXPECT_EQ(devsim_report_value(rep, "refused"), "0") << rep;
        EXPECT_EQ(devsim_report_value(rep, "unanswered"), "0") << rep;
        n_repeats += count_of(tail_of(log, 1 << 24), "repeating the write");
        if (HasFailure()) break;
    }
    std::printf("writes repeated in all: %d\n", n_repeats);
}

} // namespace
