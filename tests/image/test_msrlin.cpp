// Segment sets: allocation with its failure lines, release, construction over caller data,
// accessors.
#include "con.h"
#include "msrlin.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

int collect(void* p, const char* text) {
    static_cast<std::vector<std::string>*>(p)->emplace_back(text);
    return 0;
}

struct MsrLinTest : ::testing::Test {
    std::vector<std::string> log;
    void SetUp() override { Con_set_cb_output(collect, &log); }
    void TearDown() override { Con_set_cb_output(nullptr, nullptr); }
};

const char* const k_frame = "error-src/image/msrlin.cpp-MsrLin_alloc: ";

std::string line_of(const char* table) {
    return std::string(k_frame) + "p -> " + table + " = __ALLOC (" +
           (std::string(table) == "p_heap" ? "n_heap" : "n_set") + " * sizeof (* p -> " + table +
           ")))\n";
}

TEST_F(MsrLinTest, AllocGivesRoomForTablesAndHeap) {
    MsrLin* p = MsrLin_alloc(3, 45397);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(MsrLin_get_n_set(p), 3);
    EXPECT_EQ(MsrLin_get_n_heap(p), 45397);
    ASSERT_NE(p->p_set_a_bytes, nullptr);
    ASSERT_NE(p->p_set_n_bytes, nullptr);
    ASSERT_NE(p->p_set_i_bytes, nullptr);
    ASSERT_NE(p->p_set_p_bytes, nullptr);
    ASSERT_NE(p->p_heap, nullptr);
    // Every slot and every heap byte is usable (the sanitizer build checks the bounds).
    for (int k = 0; k < 3; k++) {
        p->p_set_a_bytes[k] = 0x400000u + k;
        p->p_set_n_bytes[k] = 1;
        p->p_set_i_bytes[k] = k;
        p->p_set_p_bytes[k] = p->p_heap + k;
    }
    p->p_heap[0] = 1;
    p->p_heap[45396] = 2;
    EXPECT_EQ(MsrLin_get_p_set_p_bytes(p)[2], MsrLin_get_p_heap(p) + 2);
    EXPECT_EQ(MsrLin_free(p), 1);
    EXPECT_TRUE(log.empty());
}

// An empty set (a record set without data records) is a set, not a failure.
TEST_F(MsrLinTest, AllocOfAnEmptySetSucceeds) {
    MsrLin* p = MsrLin_alloc(0, 0);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(MsrLin_get_n_set(p), 0);
    EXPECT_EQ(MsrLin_get_n_heap(p), 0);
    EXPECT_EQ(MsrLin_free(p), 1);
    EXPECT_TRUE(log.empty());
}

// Every allocation is tried and logs its own line; the half-built set is released.
TEST_F(MsrLinTest, AllocFailureLogsEachFailedTableAndReturnsNull) {
    struct Case {
        int32_t n_set, n_heap;
        std::vector<std::string> lines;
    };
    const std::vector<Case> cases = {
        {-1,
         10,
         {line_of("p_set_a_bytes"), line_of("p_set_n_bytes"), line_of("p_set_i_bytes"),
          line_of("p_set_p_bytes")}},
        {2, -1, {line_of("p_heap")}},
        {-1,
         -1,
         {line_of("p_set_a_bytes"), line_of("p_set_n_bytes"), line_of("p_set_i_bytes"),
          line_of("p_set_p_bytes"), line_of("p_heap")}},
    };
    for (const Case& c : cases) {
        log.clear();
        EXPECT_EQ(MsrLin_alloc(c.n_set, c.n_heap), nullptr) << c.n_set << " " << c.n_heap;
        EXPECT_EQ(log, c.lines) << c.n_set << " " << c.n_heap;
    }
}

TEST_F(MsrLinTest, FreeOfNullReturnsOne) {
    EXPECT_EQ(MsrLin_free(nullptr), 1);
}

// init_val stores exactly what it is given: no checks, no copies.
TEST_F(MsrLinTest, InitValPointsAtTheCallersTables) {
    static const uint32_t a[2] = {0x80000, 0x90000};
    static const uint32_t n[2] = {3, 2};
    static const int32_t i[2] = {0, 3};
    static const uint8_t heap[5] = {1, 2, 3, 4, 5};
    static const uint8_t* const p_bytes[2] = {heap, heap + 3};
    MsrLin set;
    EXPECT_EQ(MsrLin_init_val(&set, 2, a, n, i, p_bytes, 5, heap), &set);
    EXPECT_EQ(MsrLin_get_n_set(&set), 2);
    EXPECT_EQ(MsrLin_get_p_set_a_bytes(&set), a);
    EXPECT_EQ(MsrLin_get_p_set_n_bytes(&set), n);
    EXPECT_EQ(MsrLin_get_p_set_i_bytes(&set), i);
    EXPECT_EQ(MsrLin_get_p_set_p_bytes(&set), p_bytes);
    EXPECT_EQ(MsrLin_get_n_heap(&set), 5);
    EXPECT_EQ(MsrLin_get_p_heap(&set), heap);

    // Without the offset table, as the root builds the embedded images; and
    // inconsistent values are stored unchecked.
    EXPECT_EQ(MsrLin_init_val(&set, -4, nullptr, nullptr, nullptr, nullptr, -1, nullptr), &set);
    EXPECT_EQ(MsrLin_get_n_set(&set), -4);
    EXPECT_EQ(MsrLin_get_p_set_i_bytes(&set), nullptr);
    EXPECT_EQ(MsrLin_get_n_heap(&set), -1);

    EXPECT_EQ(MsrLin_init_val(nullptr, 2, a, n, i, p_bytes, 5, heap), nullptr);
    EXPECT_TRUE(log.empty());
}

// A reader of a missing set sees an empty one.
TEST_F(MsrLinTest, AccessorsOfANullSetAreZero) {
    EXPECT_EQ(MsrLin_get_n_set(nullptr), 0);
    EXPECT_EQ(MsrLin_get_p_set_a_bytes(nullptr), nullptr);
    EXPECT_EQ(MsrLin_get_p_set_n_bytes(nullptr), nullptr);
    EXPECT_EQ(MsrLin_get_p_set_i_bytes(nullptr), nullptr);
    EXPECT_EQ(MsrLin_get_p_set_p_bytes(nullptr), nullptr);
    EXPECT_EQ(MsrLin_get_n_heap(nullptr), 0);
    EXPECT_EQ(MsrLin_get_p_heap(nullptr), nullptr);
}

} // namespace
