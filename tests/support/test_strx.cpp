// String helpers: lengths, bounded and unbounded copies, comparisons, trimming
// and the null handling of each.
#include "strx.h"

#include "con.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

int capture(void* p_log, const char* text) {
    *static_cast<std::string*>(p_log) += text;
    return 1;
}

struct StrxLog : ::testing::Test {
    std::string log;
    void SetUp() override { Con_set_cb_output(capture, &log); }
    void TearDown() override { Con_set_cb_output(nullptr, nullptr); }
};

struct LengthCase {
    const char* text;
    int len, len_trim, skip_blanks;
};

TEST(Strx, LengthsAndBlankSkipping) {
    const LengthCase cases[] = {
        {"ab  ", 4, 2, 0}, {"   ", 3, 0, 0}, {"", 0, 0, 0},      {"  a b  ", 7, 5, 2},
        {"\tx ", 3, 2, 0}, {" \t", 2, 2, 1}, {nullptr, 0, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text ? std::string("\"") + c.text + "\"" : "null");
        EXPECT_EQ(strx_len(c.text), c.len);
        EXPECT_EQ(strx_len_trim(c.text), c.len_trim);
        EXPECT_EQ(strx_skip_blanks(c.text), c.skip_blanks);
    }
}

struct CpyNCase {
    int n_dst;
    const char* src;
    const char* expected; // what the destination holds afterwards
};

TEST(Strx, CpyNKeepsTwoCharactersOfTheBufferBack) {
    const CpyNCase cases[] = {
        {5, "abcdef", "abc"},  {4, "abc", "ab"},       {5, "abc", "abc"},
        {10, "abc", "abc"},    {2, "abc", ""},         {1, "abc", ""},
        {0, "abc", "XXXXXXX"}, {-3, "abc", "XXXXXXX"}, {5, nullptr, "XXXXXXX"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.n_dst);
        char dst[8] = "XXXXXXX";
        EXPECT_EQ(strx_cpy_n(c.n_dst, dst, c.src), dst);
        EXPECT_STREQ(dst, c.expected);
    }
    EXPECT_EQ(strx_cpy_n(5, nullptr, "abc"), nullptr);
}

struct EqualCase {
    const char *a, *b;
    int equal, equal_trim, equal_trim_nocase;
};

TEST(Strx, EqualityWithAndWithoutTrailingBlanksAndCase) {
    const EqualCase cases[] = {
        {"abc", "abcd", 0, 0, 0},   {"abc", "abc", 1, 1, 1},     {"abc  ", "abc", 0, 1, 1},
        {"ABC", "abc ", 0, 0, 1},   {"   ", "", 0, 1, 1},        {"a\t", "a", 0, 0, 0},
        {"ab c", "ab  c", 0, 0, 0}, {" abc", "abc", 0, 0, 0},    {nullptr, "abc", 0, 0, 0},
        {"abc", nullptr, 0, 0, 0},  {nullptr, nullptr, 0, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.a ? c.a : "null") + "|" + (c.b ? c.b : "null"));
        EXPECT_EQ(strx_equal(c.a, c.b), c.equal);
        EXPECT_EQ(strx_equal_trim(c.a, c.b), c.equal_trim);
        EXPECT_EQ(strx_equal_trim_nocase(c.a, c.b), c.equal_trim_nocase);
    }
}

struct EqualNCase {
    const char *a, *b;
    int n, equal_n, equal_n_nocase;
};

TEST(Strx, EqualNComparesTheFirstNCharactersOrUpToACommonEnd) {
    const EqualNCase cases[] = {
        {"abcd", "abce", 3, 1, 1}, {"abcd", "abce", 4, 0, 0}, {"abc", "abd", -1, 0, 0},
        {"ab", "ab", 10, 1, 1},    {"ab", "abc", 2, 1, 1},    {"ab", "abc", 3, 0, 0},
        {"ab", "abc", -1, 0, 0},   {"x", "y", 0, 1, 1},       {"AbCd", "aBcE", 3, 0, 1},
        {"AbC", "aBc", -1, 0, 1},  {"", "", -1, 1, 1},        {nullptr, "a", 1, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.a ? c.a : "null") + "|" + c.b + "|" + std::to_string(c.n));
        EXPECT_EQ(strx_equal_n(c.a, c.b, c.n), c.equal_n);
        EXPECT_EQ(strx_equal_n_nocase(c.a, c.b, c.n), c.equal_n_nocase);
    }
}

struct TrimCase {
    const char* src;
    const char* trim_right;
    const char* trim;
};

TEST(Strx, TrimmingCopies) {
    const TrimCase cases[] = {
        {"  a b  ", "  a b", "a b"},     {"   ", "", ""}, {"", "", ""}, {"x", "x", "x"},
        {"\tx \t ", "\tx \t", "\tx \t"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.src);
        char dst[16] = "XXXXXXXXXXXXXXX";
        EXPECT_EQ(strx_cpy_trim_right(dst, c.src), dst);
        EXPECT_STREQ(dst, c.trim_right);
        EXPECT_EQ(strx_cpy_trim(dst, c.src), dst);
        EXPECT_STREQ(dst, c.trim);
    }
}

TEST(Strx, TrimmingInPlace) {
    char text[] = "   a b  ";
    strx_cpy_trim(text, text);
    EXPECT_STREQ(text, "a b");
}

TEST(Strx, TrimmingWithANullArgumentLeavesTheDestination) {
    char dst[4] = "xyz";
    EXPECT_EQ(strx_cpy_trim(dst, nullptr), dst);
    EXPECT_EQ(strx_cpy_trim_right(dst, nullptr), dst);
    EXPECT_STREQ(dst, "xyz");
    EXPECT_EQ(strx_cpy_trim(nullptr, "a"), nullptr);
}

struct CatCase {
    const char* src;
    int n;
    const char* expected;
};

TEST(Strx, CatNAppendsAtMostTheWholeSource) {
    const CatCase cases[] = {
        {"cdef", 2, "abcd"}, {"cd", 10, "abcd"}, {"cd", 0, "ab"}, {"cd", -1, "ab"}, {"", 3, "ab"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.n);
        char dst[16] = "ab";
        EXPECT_EQ(strx_cat_n(dst, c.src, c.n), dst);
        EXPECT_STREQ(dst, c.expected);
    }
    char dst[16] = "ab";
    EXPECT_EQ(strx_cat(dst, "cde"), dst);
    EXPECT_STREQ(dst, "abcde");
}

TEST(Strx, CpyCopiesWithTheTerminator) {
    char dst[8] = "XXXXXXX";
    EXPECT_EQ(strx_cpy(dst, "ab"), dst);
    EXPECT_EQ(std::memcmp(dst, "ab\0XXXX", 8), 0);
}

TEST_F(StrxLog, CpyAndCatLogANullArgumentAndCopyNothing) {
    char dst[8] = "ab";
    EXPECT_EQ(strx_cpy(dst, nullptr), dst);
    EXPECT_EQ(strx_cpy(nullptr, "x"), nullptr);
    EXPECT_EQ(strx_cat(dst, nullptr), dst);
    EXPECT_EQ(strx_cat_n(nullptr, "x", 1), nullptr);
    EXPECT_STREQ(dst, "ab");
    EXPECT_EQ(log, "error-src/support/strx.cpp-strx_cpy: p_src == NULL\n"
                   "error-src/support/strx.cpp-strx_cpy: p_dst == NULL\n"
                   "error-src/support/strx.cpp-strx_cat_n: p_src == NULL\n"
                   "error-src/support/strx.cpp-strx_cat_n: p_dst == NULL\n");
}

TEST_F(StrxLog, OnlyCpyAndCatNLog) {
    char dst[4] = "ab";
    strx_cpy_n(4, nullptr, nullptr);
    strx_cpy_trim(nullptr, nullptr);
    strx_equal(nullptr, nullptr);
    strx_len(nullptr);
    strx_dup(nullptr);
    strx_cpy_trim_right(dst, nullptr);
    EXPECT_EQ(log, "");
}

TEST(Strx, DupMakesAnOwnCopy) {
    char src[] = "orvo";
    char* copy = strx_dup(src);
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy, src);
    src[0] = 'X';
    EXPECT_STREQ(copy, "orvo");
    EXPECT_EQ(strx_free(copy), 1);
    EXPECT_EQ(strx_dup(nullptr), nullptr);
    EXPECT_EQ(strx_free(nullptr), 1);
    char* empty = strx_dup("");
    ASSERT_NE(empty, nullptr);
    EXPECT_STREQ(empty, "");
    strx_free(empty);
}

} // namespace
