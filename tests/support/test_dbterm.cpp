// Debug terminal: scrolling ring, right-margin cut, newline handling, the
// screen text and change count, null records, allocation failure and the
// recursive lock.
#include "dbterm.h"

#include "con.h"
#include "csp.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <thread>

namespace {

int capture(void* p_log, const char* text) {
    *static_cast<std::string*>(p_log) += text;
    return 1;
}

// The row shown as row i, by the ring addressing a viewer uses.
std::string shown_row(DbTerm* p, int i) {
    return std::string(p->p_scr + ((p->i_top + i) % p->ny_scr) * p->l_row);
}

struct DbTermScreen : ::testing::Test {
    std::string log;
    DbTerm* p = nullptr;
    void SetUp() override {
        Con_set_cb_output(capture, &log);
        p = DbTerm_alloc(160, 200);
        ASSERT_NE(p, nullptr);
    }
    void TearDown() override {
        Con_set_cb_output(nullptr, nullptr);
        DbTerm_free(p);
    }
};

TEST_F(DbTermScreen, TwoHundredLinesScrollTheFirstOut) {
    for (int i = 0; i < 200; i++)
        DbTerm_printf(p, "line %d\n", i);
    EXPECT_EQ(shown_row(p, 0), "line 1");
    EXPECT_EQ(shown_row(p, 198), "line 199");
    EXPECT_EQ(shown_row(p, 199), "");
    EXPECT_EQ(p->y_cur, 199);
    EXPECT_EQ(p->x_cur, 0);
}

TEST_F(DbTermScreen, TheRingKeepsTheNewestRowsAfterManyTurns) {
    for (int i = 0; i < 1000; i++)
        DbTerm_printf(p, "%d\n", i);
    DbTerm_print(p, "tail");
    EXPECT_EQ(shown_row(p, 0), "801");
    EXPECT_EQ(shown_row(p, 198), "999");
    EXPECT_EQ(shown_row(p, 199), "tail");
}

TEST_F(DbTermScreen, LongLineIsCutAtTheRightMarginWithoutWrap) {
    DbTerm_print(p, (std::string(160, 'x') + std::string(40, 'y') + "\nz").c_str());
    EXPECT_EQ(shown_row(p, 0), std::string(160, 'x'));
    EXPECT_EQ(shown_row(p, 1), "z");
    EXPECT_EQ(p->x_cur, 1);
    EXPECT_EQ(p->y_cur, 1);
}

TEST_F(DbTermScreen, CarriageReturnAndTabAreStoredAsCharacters) {
    DbTerm_print(p, "a\rb\tc\n");
    EXPECT_EQ(shown_row(p, 0), "a\rb\tc");
    EXPECT_EQ(shown_row(p, 1), "");
}

TEST_F(DbTermScreen, TextWithoutNewlineIsContinuedByTheNextPrint) {
    DbTerm_print(p, "ab");
    DbTerm_print(p, "cd\nef");
    EXPECT_EQ(shown_row(p, 0), "abcd");
    EXPECT_EQ(shown_row(p, 1), "ef");
}

TEST_F(DbTermScreen, NewlineEmptiesTheRowItEnters) {
    DbTerm* small = DbTerm_alloc(4, 2);
    ASSERT_NE(small, nullptr);
    DbTerm_print(small, "old1\nold2\nn");
    EXPECT_EQ(shown_row(small, 0), "old2");
    EXPECT_EQ(shown_row(small, 1), "n");
    DbTerm_free(small);
}

TEST_F(DbTermScreen, ToStringGivesEveryRowAndThenMinusOneUntilAChange) {
    DbTerm_clear(p);
    DbTerm_print(p, "a\nb");
    int n = DbTerm_to_string(p, -1);
    EXPECT_GE(n, 0);
    EXPECT_EQ(std::string(DbTerm_get_p_str(p)), "a\nb" + std::string(198, '\n'));
    EXPECT_EQ(DbTerm_to_string(p, n), -1);
    EXPECT_EQ(DbTerm_to_string(p, -1), n); // -1 always copies
    DbTerm_print(p, "");
    int n2 = DbTerm_to_string(p, n);
    EXPECT_NE(n2, -1);
    EXPECT_NE(n2, n);
    EXPECT_EQ(DbTerm_to_string(p, n2), -1);
}

TEST_F(DbTermScreen, FullScreenTextFitsTheStringBuffer) {
    for (int i = 0; i < 200; i++)
        DbTerm_print(p, (std::string(170, 'a' + i % 26) + "\n").c_str());
    DbTerm_print(p, std::string(170, '#').c_str());
    EXPECT_EQ(DbTerm_get_n_str(p), 161 * 200);
    ASSERT_GE(DbTerm_to_string(p, -1), 0);
    std::string text = DbTerm_get_p_str(p);
    EXPECT_EQ(text.size(), 161u * 200 - 1);
    EXPECT_EQ(text.substr(0, 161), std::string(160, 'b') + "\n");
    EXPECT_EQ(text.substr(text.size() - 160), std::string(160, '#'));
}

TEST_F(DbTermScreen, ChangeCountStartsAtOneAndWrapsToZero) {
    EXPECT_EQ(DbTerm_to_string(p, -1), 1);
    p->n_change = INT_MAX;
    DbTerm_print(p, "x");
    EXPECT_EQ(p->n_change, 0);
    DbTerm_clear(p);
    EXPECT_EQ(p->n_change, 1);
}

TEST_F(DbTermScreen, ClearEmptiesEverything) {
    for (int i = 0; i < 250; i++)
        DbTerm_print(p, "row\n");
    DbTerm_to_string(p, -1);
    EXPECT_EQ(DbTerm_clear(p), 1);
    EXPECT_EQ(p->i_top, 0);
    EXPECT_EQ(p->x_cur, 0);
    EXPECT_EQ(p->y_cur, 0);
    EXPECT_STREQ(DbTerm_get_p_str(p), "");
    for (int i = 0; i < 200; i++)
        EXPECT_EQ(shown_row(p, i), "");
}

TEST_F(DbTermScreen, PrintfKeepsAtMost4095Characters) {
    DbTerm* wide = DbTerm_alloc(5000, 2);
    ASSERT_NE(wide, nullptr);
    EXPECT_EQ(DbTerm_printf(wide, "%s", std::string(5000, 'w').c_str()), 1);
    EXPECT_EQ(shown_row(wide, 0), std::string(4095, 'w'));
    DbTerm_free(wide);
}

TEST_F(DbTermScreen, NullArguments) {
    const std::string f = "error-src/support/dbterm.cpp-";
    EXPECT_EQ(DbTerm_clear(nullptr), 0);
    EXPECT_EQ(log, f + "DbTerm_enter: p == NULL\n" + f + "DbTerm_clear: p == NULL\n" + f +
                       "DbTerm_exit: p == NULL\n");
    log.clear();
    EXPECT_EQ(DbTerm_print(nullptr, "x"), 0);
    EXPECT_EQ(log, f + "DbTerm_enter: p == NULL\n" + f + "DbTerm_print: p == NULL\n" + f +
                       "DbTerm_exit: p == NULL\n");
    log.clear();
    int n = p->n_change;
    EXPECT_EQ(DbTerm_print(p, nullptr), 0);
    EXPECT_EQ(p->n_change, n);
    EXPECT_EQ(log, f + "DbTerm_print: p_src == NULL\n");
    log.clear();
    EXPECT_EQ(DbTerm_printf(p, nullptr), 0);
    EXPECT_EQ(log, f + "DbTerm_printf: p_format == NULL\n");
    log.clear();
    EXPECT_EQ(DbTerm_to_string(nullptr, -1), -1);
    EXPECT_EQ(log, f + "DbTerm_to_string: p == NULL\n");
    log.clear();
    EXPECT_EQ(DbTerm_enter(nullptr), 0);
    EXPECT_EQ(DbTerm_exit(nullptr), 0);
    EXPECT_EQ(log, f + "DbTerm_enter: p == NULL\n" + f + "DbTerm_exit: p == NULL\n");
    log.clear();
    EXPECT_EQ(DbTerm_get_n_str(nullptr), 0);
    EXPECT_EQ(DbTerm_get_p_str(nullptr), nullptr);
    EXPECT_EQ(DbTerm_free(nullptr), 0);
    EXPECT_EQ(log, "");
}

TEST_F(DbTermScreen, FailedLockCreationFailsTheAllocation) {
    log.clear();
    Csp_test_fail_mutex_creations(1);
    EXPECT_EQ(DbTerm_alloc(160, 200), nullptr);
    EXPECT_NE(log.find("error-src/support/dbterm.cpp-DbTerm_alloc: __XALLOC failed "
                       "(p -> p_mutex=CspMutex_alloc ())\n"),
              std::string::npos);
}

TEST_F(DbTermScreen, InvalidSizesAreRefused) {
    log.clear();
    EXPECT_EQ(DbTerm_alloc(-1, 10), nullptr);
    EXPECT_EQ(DbTerm_alloc(10, 0), nullptr);
    EXPECT_EQ(DbTerm_alloc(INT_MAX, 2), nullptr);
    EXPECT_EQ(log,
              "error-src/support/dbterm.cpp-DbTerm_alloc: invalid size (nx_scr=-1, ny_scr=10)\n"
              "error-src/support/dbterm.cpp-DbTerm_alloc: invalid size (nx_scr=10, ny_scr=0)\n"
              "error-src/support/dbterm.cpp-DbTerm_alloc: invalid size (nx_scr=2147483647, "
              "ny_scr=2)\n");
}

// A viewer inside DbTerm_enter logs: the print on its own thread goes through,
// and the terminal stays locked for other threads until the viewer leaves.
TEST_F(DbTermScreen, PrintInsideEnterOnTheSameThreadDoesNotBlock) {
    ASSERT_EQ(DbTerm_enter(p), 1);
    EXPECT_EQ(DbTerm_print(p, "inside\n"), 1);
    int other = -1;
    std::thread([&] { other = CspMutex_try_lock(p->p_mutex); }).join();
    EXPECT_EQ(other, 0);
    EXPECT_EQ(DbTerm_exit(p), 1);
    std::thread([&] {
        other = CspMutex_try_lock(p->p_mutex);
        if (other == 1) CspMutex_unlock(p->p_mutex);
    }).join();
    EXPECT_EQ(other, 1);
    EXPECT_EQ(shown_row(p, 0), "inside");
}

// As the console output target, the terminal receives every log line.
TEST_F(DbTermScreen, ConsoleOutputGoesIntoTheTerminal) {
    Con_set_cb_output(DbTerm_print, p);
    CON_LOG("info", "stdout is now connected to this virtual screen\n");
    Con_printf("sending partition to adr=%08x n_bytes=%d\n", 0x400000, 256);
    EXPECT_EQ(shown_row(p, 0), "info-tests/support/test_dbterm.cpp-TestBody: stdout is now "
                               "connected to this virtual screen");
    EXPECT_EQ(shown_row(p, 1), "sending partition to adr=00400000 n_bytes=256");
}

} // namespace
