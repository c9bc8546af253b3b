// String helpers over zero-terminated 8-bit texts.
#include "strx.h"

#include "con.h"
#include "memx.h"

#include <cctype>
#include <cstdlib>

static const char BLANK = ' ';

static uint8_t* bytes(char* p) {
    return reinterpret_cast<uint8_t*>(p);
}
static const uint8_t* bytes(const char* p) {
    return reinterpret_cast<const uint8_t*>(p);
}

int strx_len(const char* p_src) {
    if (!p_src) return 0;
    int n = 0;
    while (p_src[n])
        n++;
    return n;
}

int strx_len_trim(const char* p_src) {
    int n = strx_len(p_src);
    while (n > 0 && p_src[n - 1] == BLANK)
        n--;
    return n;
}

char* strx_dup(const char* p_src) {
    if (!p_src) return nullptr;
    int n = strx_len(p_src) + 1;
    char* p_dst = static_cast<char*>(std::malloc((size_t)n));
    if (!p_dst) return nullptr;
    memx_copy_u8(bytes(p_dst), bytes(p_src), n);
    return p_dst;
}

int strx_free(char* p_src) {
    std::free(p_src);
    return 1;
}

char* strx_cpy(char* p_dst, const char* p_src) {
    if (!p_dst) CON_LOG("error", "p_dst == NULL\n");
    if (!p_src) CON_LOG("error", "p_src == NULL\n");
    if (!p_dst || !p_src) return p_dst;
    memx_copy_u8(bytes(p_dst), bytes(p_src), strx_len(p_src) + 1);
    return p_dst;
}

char* strx_cpy_n(int n_dst, char* p_dst, const char* p_src) {
    if (!p_dst || !p_src || n_dst <= 0) return p_dst;
    // The bound leaves one character of the buffer unused; existing callers
    // rely on exactly this many characters.
    int n = 0;
    while (n < n_dst - 2 && p_src[n])
        n++;
    memx_copy_u8(bytes(p_dst), bytes(p_src), n);
    p_dst[n] = 0;
    return p_dst;
}

char* strx_cat(char* p_dst, const char* p_src) {
    return strx_cat_n(p_dst, p_src, strx_len(p_src));
}

char* strx_cat_n(char* p_dst, const char* p_src, int n) {
    if (!p_dst) CON_LOG("error", "p_dst == NULL\n");
    if (!p_src) CON_LOG("error", "p_src == NULL\n");
    if (!p_dst || !p_src) return p_dst;
    int n_copy = 0;
    while (n_copy < n && p_src[n_copy])
        n_copy++;
    char* p_end = p_dst + strx_len(p_dst);
    memx_copy_u8(bytes(p_end), bytes(p_src), n_copy);
    p_end[n_copy] = 0;
    return p_dst;
}

int strx_equal(const char* p_a, const char* p_b) {
    if (!p_a || !p_b) return 0;
    return strx_equal_n(p_a, p_b, -1);
}

// The comparison loop shared by the plain and the case-blind forms; conv maps
// each character before it is compared.
template <class Conv> static int equal_n(const char* p_a, const char* p_b, int n, Conv conv) {
    if (!p_a || !p_b) return 0;
    if (n < 0) {
        int n_a = strx_len(p_a), n_b = strx_len(p_b);
        n = n_a > n_b ? n_a : n_b;
    }
    for (int i = 0; i < n; i++) {
        char a = conv(p_a[i]), b = conv(p_b[i]);
        if (a != b) return 0;
        if (a == 0) return 1;
    }
    return 1;
}

int strx_equal_n(const char* p_a, const char* p_b, int n) {
    return equal_n(p_a, p_b, n, [](char c) { return c; });
}

int strx_equal_n_nocase(const char* p_a, const char* p_b, int n) {
    return equal_n(p_a, p_b, n, [](char c) { return (char)std::tolower((unsigned char)c); });
}

int strx_equal_trim(const char* p_a, const char* p_b) {
    if (!p_a || !p_b) return 0;
    int n = strx_len_trim(p_a);
    if (n != strx_len_trim(p_b)) return 0;
    return strx_equal_n(p_a, p_b, n);
}

int strx_equal_trim_nocase(const char* p_a, const char* p_b) {
    if (!p_a || !p_b) return 0;
    int n = strx_len_trim(p_a);
    if (n != strx_len_trim(p_b)) return 0;
    return strx_equal_n_nocase(p_a, p_b, n);
}

char* strx_cpy_trim_right(char* p_dst, const char* p_src) {
    if (!p_dst || !p_src) return p_dst;
    int n = strx_len_trim(p_src);
    // A forward byte loop rather than the block copy, so that trimming in
    // place (destination at or before the source) is safe.
    for (int i = 0; i < n; i++)
        p_dst[i] = p_src[i];
    p_dst[n] = 0;
    return p_dst;
}

char* strx_cpy_trim(char* p_dst, const char* p_src) {
    if (!p_dst || !p_src) return p_dst;
    return strx_cpy_trim_right(p_dst, p_src + strx_skip_blanks(p_src));
}

int strx_skip_blanks(const char* p_src) {
    if (!p_src) return 0;
    int i = 0;
    while (p_src[i] == BLANK)
        i++;
    return p_src[i] ? i : 0;
}
