// Growable element array: paging, ownership through the callbacks, range
// copies that fail part-way, null arrays and sorting with any comparator.
#include "con.h"
#include "us.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace {

// Elements carry an id; a copy gets id + 1000. Every release is recorded.
struct Elem {
    int id;
};

std::vector<int> g_freed;
int g_copies_left = -1; // copies cb_copy still makes; -1 without limit

void* elem_copy(void* po) {
    if (po == nullptr || g_copies_left == 0) return nullptr;
    if (g_copies_left > 0) g_copies_left--;
    Elem* e = static_cast<Elem*>(malloc(sizeof(Elem)));
    e->id = static_cast<Elem*>(po)->id + 1000;
    return e;
}

void elem_free(void* po) {
    g_freed.push_back(static_cast<Elem*>(po)->id);
    free(po);
}

Elem* elem_new(int id) {
    Elem* e = static_cast<Elem*>(malloc(sizeof(Elem)));
    e->id = id;
    return e;
}

int32_t elem_compare(void* a, void* b) {
    return static_cast<Elem*>(a)->id - static_cast<Elem*>(b)->id;
}

int log_output(void* p, const char* text) {
    static_cast<std::vector<std::string>*>(p)->emplace_back(text);
    return 0;
}

std::string frame(const char* level, const char* func, const std::string& text) {
    return std::string(level) + "-src/support/us.cpp-" + func + ": " + text;
}

struct UsTest : ::testing::Test {
    std::vector<std::string> log;
    Us* p = nullptr;
    void SetUp() override {
        g_freed.clear();
        g_copies_left = -1;
        Con_set_cb_output(log_output, &log);
        p = Us_alloc(elem_copy, elem_free, nullptr, nullptr, elem_compare);
        ASSERT_NE(p, nullptr);
    }
    void TearDown() override {
        Us_free(p);
        Con_set_cb_output(nullptr, nullptr);
    }
    void fill(int n) {
        for (int i = 0; i < n; i++)
            ASSERT_EQ(Us_postfix_ptr(p, elem_new(i)), i);
    }
    std::vector<int> ids(Us* a) {
        std::vector<int> r;
        for (int i = 0; i < Us_get_n_elem(a); i++)
            r.push_back(static_cast<Elem*>(Us_idx_to_ptr(a, i))->id);
        return r;
    }
};

std::vector<int> iota_ids(int from, int n) {
    std::vector<int> r;
    for (int i = 0; i < n; i++)
        r.push_back(from + i);
    return r;
}

TEST_F(UsTest, CarrierGrowsByOnePageWhenThe17thAnd33rdElementArrive) {
    EXPECT_EQ(p->m_tab, 0);
    EXPECT_EQ(p->p_tab, nullptr);
    for (int n = 1; n <= 49; n++) {
        Us_postfix_ptr(p, elem_new(n));
        int want = n <= 16 ? 16 : n <= 32 ? 32 : n <= 48 ? 48 : 64;
        ASSERT_EQ(p->m_tab, want) << "after " << n << " appends";
    }
    EXPECT_TRUE(log.empty());
}

TEST_F(UsTest, CarrierShrinksOnlyWhenTwoPagesAreSpare) {
    fill(33);
    ASSERT_EQ(p->m_tab, 48);
    for (int n = 32; n >= 0; n--) {
        ASSERT_EQ(Us_del_idx(p, n), 1);
        int want = n >= 17 ? 48 : n >= 1 ? 32 : 16;
        ASSERT_EQ(p->m_tab, want) << "at " << n << " elements";
    }
    EXPECT_EQ(g_freed,
              std::vector<int>({32, 31, 30, 29, 28, 27, 26, 25, 24, 23, 22, 21, 20, 19, 18, 17, 16,
                                15, 14, 13, 12, 11, 10, 9,  8,  7,  6,  5,  4,  3,  2,  1,  0}));
    // The carrier stays until the array is released; it grows again in place.
    EXPECT_NE(p->p_tab, nullptr);
    fill(1);
    EXPECT_EQ(p->m_tab, 16);
}

// Many pages up and down, with insertions and deletions anywhere: the
// elements keep their order and m_tab follows the page rule at every step
// however the carrier's block is sized underneath (a sanitizer build also
// catches a slot written outside it).
TEST_F(UsTest, CarrierKeepsOrderAndPageRuleOverManyPages) {
    std::vector<int> model;
    int32_t m_model = 0;
    auto pages = [](int32_t k) { return (k + 15) / 16; };
    auto adjust = [&](int32_t size_new) {
        int32_t k_old = pages(m_model), k_new = pages(size_new);
        if (k_old < k_new) {
            m_model = 16 * k_new;
        } else if (k_old > k_new + 1) {
            m_model = 16 * (k_new + 1);
        }
    };
    std::mt19937 rng(7);
    int next_id = 0;
    // Grow to 3000, shrink to 10, grow to 1500: several block sizes each way.
    for (int target : {3000, 10, 1500}) {
        while ((int)model.size() != target) {
            if ((int)model.size() < target) {
                int idx = (int)(rng() % (model.size() + 1));
                adjust((int32_t)model.size() + 1);
                ASSERT_EQ(Us_infix_ptr(p, elem_new(next_id), idx), idx);
                model.insert(model.begin() + idx, next_id++);
            } else {
                int idx = (int)(rng() % model.size());
                ASSERT_EQ(Us_del_idx(p, idx), 1);
                model.erase(model.begin() + idx);
                adjust((int32_t)model.size());
            }
            ASSERT_EQ(p->m_tab, m_model) << "at " << model.size() << " elements";
        }
        ASSERT_EQ(ids(p), model);
    }
    EXPECT_TRUE(log.empty());
}

TEST_F(UsTest, DelAllReleasesInIndexOrderAndKeepsOnePage) {
    fill(40);
    EXPECT_EQ(Us_del_all(p), p);
    EXPECT_EQ(p->n_tab, 0);
    EXPECT_EQ(p->m_tab, 16);
    EXPECT_EQ(g_freed, iota_ids(0, 40));
    EXPECT_TRUE(Us_is_empty(p));
}

TEST_F(UsTest, FreeReleasesEachElementOnceInIndexOrder) {
    // Built out of order, so index order differs from insertion order.
    Us_postfix_ptr(p, elem_new(2));
    Us_prefix_ptr(p, elem_new(0));
    Us_infix_ptr(p, elem_new(1), 1);
    Us_postfix_ptr(p, elem_new(3));
    EXPECT_EQ(ids(p), iota_ids(0, 4));
    Us_free(p);
    p = nullptr;
    EXPECT_EQ(g_freed, iota_ids(0, 4));
}

TEST_F(UsTest, DelIdxMovesTheUpperSlotsDownAndReleasesOnlyThatElement) {
    fill(5);
    EXPECT_EQ(Us_del_idx(p, 1), 1);
    EXPECT_EQ(ids(p), std::vector<int>({0, 2, 3, 4}));
    EXPECT_EQ(g_freed, std::vector<int>({1}));
}

TEST_F(UsTest, InsertionRefusalsChangeNothing) {
    fill(4);
    Elem* e = elem_new(99);
    struct Case {
        Us* a;
        void* po;
        int32_t idx;
        std::string line;
    } cases[] = {
        {p, e, 5, frame("error", "Us_infix_ptr", "idx=5 out of range, valid range is [0..4]\n")},
        {p, e, -1, frame("error", "Us_infix_ptr", "idx=-1 out of range, valid range is [0..4]\n")},
        {p, nullptr, 0, frame("error", "Us_infix_ptr", "po == NULL\n")},
        {nullptr, e, 0, frame("error", "Us_infix_ptr", "p == NULL\n")},
    };
    for (const Case& c : cases) {
        log.clear();
        EXPECT_EQ(Us_infix_ptr(c.a, c.po, c.idx), -1);
        ASSERT_EQ(log.size(), 1u);
        EXPECT_EQ(log[0], c.line);
    }
    EXPECT_EQ(ids(p), iota_ids(0, 4));
    EXPECT_EQ(Us_infix_ptr(p, e, 4), 4);
    EXPECT_EQ(Us_idx_to_ptr(p, 4), e);
    EXPECT_TRUE(g_freed.empty());
}

TEST_F(UsTest, DelIdxOnEmptyArrayNamesTheUpperBoundMinusOne) {
    EXPECT_EQ(Us_del_idx(p, 0), 0);
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0], frame("error", "Us_del_idx", "idx=0 out of range, valid range is [0..-1]\n"));
    EXPECT_EQ(p->m_tab, 0);
}

TEST_F(UsTest, LookupsOutsideTheArrayAreSilent) {
    fill(2);
    EXPECT_EQ(Us_idx_to_ptr(p, -1), nullptr);
    EXPECT_EQ(Us_idx_to_ptr(p, 2), nullptr);
    Elem other{7};
    EXPECT_EQ(Us_ptr_to_idx(p, &other), -1);
    EXPECT_TRUE(log.empty());
}

TEST_F(UsTest, PtrToIdxFindsTheFirstSlotOfAPointer) {
    // The same element twice: the array must not own it, so no cb_free.
    Us* a = Us_alloc(elem_copy, nullptr, nullptr, nullptr, nullptr);
    Elem e[3] = {{0}, {1}, {2}};
    Us_postfix_ptr(a, &e[0]);
    Us_postfix_ptr(a, &e[1]);
    Us_postfix_ptr(a, &e[2]);
    Us_postfix_ptr(a, &e[1]);
    EXPECT_EQ(Us_ptr_to_idx(a, &e[1]), 1);
    Us_free(a);
}

TEST_F(UsTest, CopyInsertionStoresACopyAndLeavesTheOriginal) {
    Elem orig{5};
    EXPECT_EQ(Us_postfix_copy(p, &orig), 0);
    EXPECT_EQ(Us_prefix_copy(p, &orig), 0);
    EXPECT_EQ(ids(p), std::vector<int>({1005, 1005}));
    EXPECT_NE(Us_idx_to_ptr(p, 0), &orig);
    EXPECT_EQ(orig.id, 5);
}

TEST_F(UsTest, CopyInsertionFailures) {
    fill(2);
    Elem orig{5};
    g_copies_left = 0;
    EXPECT_EQ(Us_infix_copy(p, &orig, 0), -1);
    EXPECT_EQ(log, std::vector<std::string>({frame("error", "Us_infix_copy", "po_new == NULL\n")}));

    // The copy is made, the index is refused: the copy is released again.
    g_copies_left = -1;
    log.clear();
    EXPECT_EQ(Us_infix_copy(p, &orig, 3), -1);
    EXPECT_EQ(log,
              std::vector<std::string>(
                  {frame("error", "Us_infix_ptr", "idx=3 out of range, valid range is [0..2]\n"),
                   frame("error", "Us_infix_copy", "Us_infix_ptr failed\n")}));
    EXPECT_EQ(g_freed, std::vector<int>({1005}));
    EXPECT_EQ(ids(p), iota_ids(0, 2));
}

TEST_F(UsTest, RangeCopyPastTheEndReleasesTheCopiesMade) {
    fill(4);
    EXPECT_EQ(Us_copy_n_elem_from_idx(p, 2, 3), nullptr);
    EXPECT_EQ(log, std::vector<std::string>(
                       {frame("error", "Us_copy_n_elem_from_idx", "p_src == NULL\n")}));
    EXPECT_EQ(g_freed, std::vector<int>({1002, 1003}));
    EXPECT_EQ(ids(p), iota_ids(0, 4));
}

TEST_F(UsTest, RangeCopyWithAFailingCopyReleasesTheCopiesMade) {
    fill(4);
    g_copies_left = 2;
    EXPECT_EQ(Us_copy_n_elem_from_idx(p, 0, -1), nullptr);
    EXPECT_EQ(log, std::vector<std::string>(
                       {frame("error", "Us_infix_copy", "po_new == NULL\n"),
                        frame("error", "Us_copy_n_elem_from_idx", "Us_postfix_copy failed\n")}));
    EXPECT_EQ(g_freed, std::vector<int>({1000, 1001}));
}

TEST_F(UsTest, RangeCopySucceedsWithTheSameCallbacks) {
    fill(5);
    Us* c = Us_copy_n_elem_from_idx(p, 1, 3);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(ids(c), std::vector<int>({1001, 1002, 1003}));
    EXPECT_EQ(c->cb_compare, p->cb_compare);
    Us* all = Us_copy(p);
    EXPECT_EQ(ids(all), iota_ids(1000, 5));
    Us_free(c);
    Us_free(all);
    EXPECT_TRUE(log.empty());
}

TEST_F(UsTest, CopyOfAnEmptyArrayIsEmptyWithTheSameCallbacks) {
    Us* c = Us_copy(p);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->n_tab, 0);
    EXPECT_EQ(c->m_tab, 0);
    EXPECT_EQ(c->cb_copy, p->cb_copy);
    EXPECT_EQ(c->cb_free, p->cb_free);
    EXPECT_EQ(c->cb_spare_1, p->cb_spare_1);
    EXPECT_EQ(c->cb_spare_2, p->cb_spare_2);
    EXPECT_EQ(c->cb_compare, p->cb_compare);
    Us_free(c);
}

TEST_F(UsTest, AppendRangePastTheEndKeepsTheCopiesAppended) {
    fill(4);
    Us* dst = Us_alloc_inherit(p);
    Us_postfix_ptr(dst, elem_new(50));
    EXPECT_EQ(Us_postfix_n_elem_from_idx(dst, p, 2, 3), 0);
    EXPECT_EQ(log, std::vector<std::string>(
                       {frame("error", "Us_postfix_n_elem_from_idx", "p_el == NULL\n")}));
    EXPECT_EQ(ids(dst), std::vector<int>({50, 1002, 1003}));
    EXPECT_TRUE(g_freed.empty());
    Us_free(dst);
}

TEST_F(UsTest, AppendRangeWithAFailingCopyKeepsTheCopiesAppended) {
    fill(4);
    Us* dst = Us_alloc_inherit(p);
    g_copies_left = 1;
    EXPECT_EQ(Us_postfix_n_elem_from_idx(dst, p, 0, -1), 0);
    EXPECT_EQ(log.back(), frame("error", "Us_postfix_n_elem_from_idx", "Us_postfix_copy failed\n"));
    EXPECT_EQ(ids(dst), std::vector<int>({1000}));
    Us_free(dst);
}

TEST_F(UsTest, AppendRangeWholeSource) {
    fill(3);
    Us* dst = Us_alloc_inherit(p);
    EXPECT_EQ(Us_postfix_n_elem_from_idx(dst, p, 0, -1), 1);
    EXPECT_EQ(Us_postfix_n_elem_from_idx(dst, p, 1, 0), 1);
    EXPECT_EQ(ids(dst), iota_ids(1000, 3));
    Us_free(dst);
}

TEST_F(UsTest, DefaultCallbacksAreStoredAndInherited) {
    Us* a = Us_alloc(elem_copy, elem_free, nullptr, nullptr, nullptr);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(a->cb_spare_1, nullptr);
    ASSERT_NE(a->cb_spare_2, nullptr);
    ASSERT_NE(a->cb_compare, nullptr);
    EXPECT_EQ(a->cb_spare_1(), -1);
    EXPECT_EQ(a->cb_spare_2(), 0);
    Elem x{1}, y{2};
    EXPECT_EQ(a->cb_compare(&x, &y), -1);
    EXPECT_EQ(a->cb_compare(&y, &x), -1);
    Us* b = Us_alloc_inherit(a);
    EXPECT_EQ(b->cb_spare_1, a->cb_spare_1);
    EXPECT_EQ(b->cb_spare_2, a->cb_spare_2);
    EXPECT_EQ(b->cb_compare, a->cb_compare);
    Us_free(b);
    Us_free(a);
}

TEST_F(UsTest, NullArrayGetsNeutralAnswers) {
    EXPECT_EQ(Us_get_n_elem(nullptr), 0);
    EXPECT_EQ(Us_is_empty(nullptr), 1);
    EXPECT_EQ(Us_free(nullptr), 1);
    EXPECT_EQ(Us_del_all(nullptr), nullptr);
    EXPECT_EQ(Us_sort(nullptr), 1);
    EXPECT_TRUE(log.empty());

    Elem e{1};
    struct Case {
        bool ok;
        std::vector<std::string> lines;
    } cases[] = {
        {Us_idx_to_ptr(nullptr, 0) == nullptr, {frame("error", "Us_idx_to_ptr", "p == NULL\n")}},
        {Us_ptr_to_idx(nullptr, &e) == -1, {frame("error", "Us_ptr_to_idx", "p == NULL\n")}},
        {Us_del_idx(nullptr, 0) == 0, {frame("error", "Us_del_idx", "p == NULL\n")}},
        {Us_postfix_copy(nullptr, &e) == -1, {frame("error", "Us_infix_copy", "p == NULL\n")}},
        {Us_postfix_n_elem_from_idx(nullptr, p, 0, -1) == 0,
         {frame("error", "Us_postfix_n_elem_from_idx", "p == NULL\n")}},
        {Us_postfix_n_elem_from_idx(p, nullptr, 0, -1) == 0,
         {frame("error", "Us_postfix_n_elem_from_idx", "p_src == NULL\n")}},
        {Us_alloc_inherit(nullptr) == nullptr,
         {frame("error", "Us_alloc_inherit", "p_base == NULL\n")}},
        {Us_copy(nullptr) == nullptr,
         {frame("error", "Us_alloc_inherit", "p_base == NULL\n"),
          frame("error", "Us_copy_n_elem_from_idx", "pUs_new == NULL\n")}},
    };
    // Each case ran in order above; its lines follow one another in the log.
    size_t at = 0;
    for (const Case& c : cases) {
        EXPECT_TRUE(c.ok) << c.lines[0];
        for (const std::string& line : c.lines) {
            ASSERT_LT(at, log.size());
            EXPECT_EQ(log[at++], line);
        }
    }
    EXPECT_EQ(at, log.size());
}

TEST_F(UsTest, SortOrdersAscending) {
    std::vector<int> order = iota_ids(0, 300);
    std::mt19937 rng(1);
    std::shuffle(order.begin(), order.end(), rng);
    for (int id : order)
        Us_postfix_ptr(p, elem_new(id % 100)); // with ties
    EXPECT_EQ(Us_sort(p), 1);
    std::vector<int> got = ids(p);
    EXPECT_TRUE(std::is_sorted(got.begin(), got.end()));
    EXPECT_EQ(got.size(), 300u);
}

// A comparator that checks every argument is one of the array's elements, so
// a sort that reads outside the array is caught, and counts its calls.
struct Hostile {
    std::set<void*> members;
    long calls = 0;
    int32_t (*answer)(long call);
};
Hostile* g_hostile;

int32_t hostile_compare(void* a, void* b) {
    EXPECT_TRUE(g_hostile->members.count(a) && g_hostile->members.count(b));
    return g_hostile->answer(g_hostile->calls++);
}

TEST_F(UsTest, SortEndsAndStaysInsideForAnyComparator) {
    static std::mt19937 rng(7);
    struct Case {
        const char* name;
        int32_t (*answer)(long);
    } cases[] = {
        {"always negative", [](long) -> int32_t { return -1; }},
        {"always positive", [](long) -> int32_t { return 1; }},
        {"always equal", [](long) -> int32_t { return 0; }},
        {"random", [](long) -> int32_t { return static_cast<int32_t>(rng()); }},
        {"alternating", [](long c) -> int32_t { return c % 2 ? INT32_MIN : INT32_MAX; }},
    };
    for (const Case& c : cases) {
        for (int n : {0, 1, 2, 3, 17, 257}) {
            Us* a = Us_alloc(elem_copy, elem_free, nullptr, nullptr, hostile_compare);
            Hostile h;
            h.answer = c.answer;
            g_hostile = &h;
            for (int i = 0; i < n; i++) {
                Elem* e = elem_new(i);
                h.members.insert(e);
                Us_postfix_ptr(a, e);
            }
            EXPECT_EQ(Us_sort(a), 1);
            // Still a permutation of the same elements.
            std::set<void*> after;
            for (int i = 0; i < n; i++)
                after.insert(Us_idx_to_ptr(a, i));
            EXPECT_EQ(after, h.members) << c.name << " n=" << n;
            EXPECT_LE(h.calls, 4L * n * 10 + 4) << c.name << " n=" << n;
            Us_free(a);
        }
    }
}

TEST_F(UsTest, SortWithTheDefaultComparatorEnds) {
    Us* a = Us_alloc(elem_copy, elem_free, nullptr, nullptr, nullptr);
    for (int i = 0; i < 1000; i++)
        Us_postfix_ptr(a, elem_new(i));
    EXPECT_EQ(Us_sort(a), 1);
    EXPECT_EQ(Us_get_n_elem(a), 1000);
    std::vector<int> got = ids(a);
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, iota_ids(0, 1000));
    Us_free(a);
}

} // namespace
