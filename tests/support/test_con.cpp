// Console channel: registration, formatting, the buffer cut and the locks.
#include "con.h"
#include "csp.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct Sink {
    std::vector<std::string> lines;
    int result = 7;
};

int sink_output(void* p, const char* text) {
    auto* s = static_cast<Sink*>(p);
    s->lines.emplace_back(text);
    return s->result;
}

struct ConTest : ::testing::Test {
    Sink sink;
    void TearDown() override {
        Con_set_cb_output(nullptr, nullptr);
        Con_set_cb_input(nullptr, nullptr);
    }
};

TEST_F(ConTest, OutputBeforeRegistrationIsDropped) {
    EXPECT_EQ(Con_print("lost\n"), -1);
    EXPECT_EQ(Con_printf("lost %d\n", 1), -1);
    Con_set_cb_output(sink_output, &sink);
    EXPECT_TRUE(sink.lines.empty());
}

TEST_F(ConTest, NullTextIsRefusedWithACallback) {
    Con_set_cb_output(sink_output, &sink);
    EXPECT_EQ(Con_print(nullptr), -1);
    EXPECT_TRUE(sink.lines.empty());
}

TEST_F(ConTest, PrintfFormatsAndReturnsTheCallbackResult) {
    Con_set_cb_output(sink_output, &sink);
    EXPECT_EQ(Con_get_cb_output(), &sink_output);
    EXPECT_EQ(Con_get_p_output(), &sink);
    EXPECT_EQ(Con_printf("S%d", 1), 7);
    ASSERT_EQ(sink.lines.size(), 1u);
    EXPECT_EQ(sink.lines[0], "S1");
}

TEST_F(ConTest, NullCallbackSwitchesOutputOff) {
    Con_set_cb_output(sink_output, &sink);
    Con_set_cb_output(nullptr, nullptr);
    EXPECT_EQ(Con_print("x"), -1);
    EXPECT_TRUE(sink.lines.empty());
}

TEST_F(ConTest, LongTextIsCutAt8191Characters) {
    Con_set_cb_output(sink_output, &sink);
    std::string big(20000, 'a');
    Con_printf("%s", big.c_str());
    ASSERT_EQ(sink.lines.size(), 1u);
    EXPECT_EQ(sink.lines[0], std::string(8191, 'a'));
}

TEST_F(ConTest, FrameNamesLevelPathAndFunction) {
    Con_set_cb_output(sink_output, &sink);
    CON_LOG("error", "p == NULL\n");
    ASSERT_EQ(sink.lines.size(), 1u);
    EXPECT_EQ(sink.lines[0],
              "error-tests/support/test_con.cpp-TestBody: p == NULL\n");
}

// The callback logs again while the output lock is held: the lock is
// recursive, so this returns instead of blocking.
int nested_output(void* p, const char* text) {
    auto* s = static_cast<Sink*>(p);
    s->lines.emplace_back(text);
    if (s->lines.size() == 1) Con_printf("nested %d", 2);
    return 1;
}

TEST_F(ConTest, CallbackMayPrintAgain) {
    Con_set_cb_output(nested_output, &sink);
    EXPECT_EQ(Con_printf("outer %d", 1), 1);
    ASSERT_EQ(sink.lines.size(), 2u);
    EXPECT_EQ(sink.lines[1], "nested 2");
}

// Logs through a failing lock creation; exits 0 when the output went on.
[[noreturn]] void log_without_lock(Sink* p_sink) {
    Csp_test_fail_mutex_creations(1000);
    Con_set_cb_output(sink_output, p_sink);
    bool ok = Con_print("first\n") == 7 && Con_print("second\n") == 7;
    Csp_test_fail_mutex_creations(0);
    // One failure line from the one creation attempt, then the texts.
    std::vector<std::string> want = {"error-src/support/csp.cpp-CspMutex_init: "
                                     "p -> h_mutex = CreateMutex (NULL, FALSE, NULL))\n",
                                     "first\n", "second\n"};
    std::exit(ok && p_sink->lines == want ? 0 : 1);
}

// The lock is created once a process, so the case runs in a fresh process
// (the threadsafe death-test style starts the test program anew).
TEST_F(ConTest, OutputGoesOnWhenTheLockCannotBeCreated) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(log_without_lock(&sink), ::testing::ExitedWithCode(0), "");
}

struct Input {
    std::vector<int> values;
    size_t i = 0;
};
int next_input(void* p) {
    auto* in = static_cast<Input*>(p);
    return in->i < in->values.size() ? in->values[in->i++] : 0;
}

TEST_F(ConTest, ReadWaitsForAValueOfZeroOrMore) {
    EXPECT_EQ(Con_read_nw(), -1);
    EXPECT_EQ(Con_read(), -1);
    Input in{{-1, -5, -1, 42}};
    Con_set_cb_input(next_input, &in);
    EXPECT_EQ(Con_read_nw(), -1);
    EXPECT_EQ(Con_read(), 42);
    EXPECT_EQ(in.i, 4u);
}

} // namespace
