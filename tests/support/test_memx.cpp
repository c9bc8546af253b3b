// Memory helpers: fills, copies and every look-up variant, with the skip
// rules, the index arrays and the count bounds.
#include "memx.h"

#include <gtest/gtest.h>

#include <functional>
#include <vector>

namespace {

const uint8_t E8 = 0xEE;     // what a destination byte holds before the call
const uint16_t E16 = 0xEEEE; // and a 16-bit destination element
const uint8_t KEY8 = 0xAA;   // the value key of the 8-bit tables
const int N = 5;             // elements per case; the destination has one more

const uint8_t src8[N] = {1, 5, 9, 5, 200};
const uint16_t src16[N] = {1, 5, 300, 5, 0x105};
const int32_t idx[N] = {4, 3, 2, 1, 0};

// lut8: 8-bit source to 8-bit values, 9 maps to the key.
// lut8_16: 16-bit source to 8-bit values, 300 maps to the key.
// lut16: 8-bit source to 16-bit values; 9 maps to 0x00AA (the 8-bit key
// widened) and 200 to 0x01AA (equal to the key only if truncated).
// lut16_16: 16-bit source to 16-bit values.
struct Tables {
    uint8_t lut8[256];
    uint8_t lut8_16[512];
    uint16_t lut16[256];
    uint16_t lut16_16[512];
    Tables() {
        for (int v = 0; v < 256; v++)
            lut8[v] = (uint8_t)(v ^ 0x40);
        lut8[9] = KEY8;
        for (int v = 0; v < 512; v++)
            lut8_16[v] = (uint8_t)((v & 0xFF) ^ 0x40);
        lut8_16[300] = KEY8;
        for (int v = 0; v < 256; v++)
            lut16[v] = (uint16_t)(v + 0x1000);
        lut16[9] = 0x00AA;
        lut16[200] = 0x01AA;
        for (int v = 0; v < 512; v++)
            lut16_16[v] = (uint16_t)(v + 0x1000);
    }
};
const Tables t;

const uint8_t mask[N] = {0, 1, 2, 0, 255};

template <class T> struct Case {
    const char* name;
    std::function<T*(T* dst, int32_t n)> run;
    std::vector<T> expected;
};

// Runs each case with n = 5 (the destination element behind must stay), and
// with n = 0 and n = -1 (nothing may change); each must return its destination.
template <class T> void check(const std::vector<Case<T>>& cases, T before) {
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<T> dst(N + 1, before);
        EXPECT_EQ(c.run(dst.data(), N), dst.data());
        std::vector<T> expected = c.expected;
        expected.push_back(before);
        EXPECT_EQ(dst, expected);
        for (int32_t n : {0, -1}) {
            std::vector<T> untouched(N + 1, before);
            c.run(untouched.data(), n);
            EXPECT_EQ(untouched, std::vector<T>(N + 1, before)) << "n=" << n;
        }
    }
}

TEST(Memx, EightBitDestinations) {
    const uint8_t E = E8;
    const std::vector<Case<uint8_t>> cases = {
        {"fill_u8", [](uint8_t* d, int32_t n) { return memx_fill_u8(d, n, 7); }, {7, 7, 7, 7, 7}},
        {"copy_u8",
         [](uint8_t* d, int32_t n) { return memx_copy_u8(d, src8, n); },
         {1, 5, 9, 5, 200}},
        {"copy",
         [](uint8_t* d, int32_t n) { return (uint8_t*)memx_copy(d, src8, n); },
         {1, 5, 9, 5, 200}},
        {"lut_u8_u8",
         [](uint8_t* d, int32_t n) { return memx_lut_u8_u8(d, src8, n, t.lut8); },
         {0x41, 0x45, 0xAA, 0x45, 0x88}},
        {"lut_u8_u8_skip_src",
         [](uint8_t* d, int32_t n) { return memx_lut_u8_u8_skip_src(d, src8, n, 5, t.lut8); },
         {0x41, E, 0xAA, E, 0x88}},
        {"lut_u8_u8_skip_val",
         [](uint8_t* d, int32_t n) { return memx_lut_u8_u8_skip_val(d, src8, n, t.lut8, KEY8); },
         {0x41, 0x45, E, 0x45, 0x88}},
        {"gather_u8",
         [](uint8_t* d, int32_t n) { return memx_gather_u8(d, src8, n, idx); },
         {200, 5, 9, 5, 1}},
        {"lut_u8_u8_idx",
         [](uint8_t* d, int32_t n) { return memx_lut_u8_u8_idx(d, src8, n, idx, t.lut8); },
         {0x88, 0x45, 0xAA, 0x45, 0x41}},
        {"lut_u8_u8_idx_skip_src",
         [](uint8_t* d, int32_t n) {
             return memx_lut_u8_u8_idx_skip_src(d, src8, n, idx, 5, t.lut8);
         },
         {0x88, E, 0xAA, E, 0x41}},
        {"lut_u8_u8_idx_skip_val",
         [](uint8_t* d, int32_t n) {
             return memx_lut_u8_u8_idx_skip_val(d, src8, n, idx, t.lut8, KEY8);
         },
         {0x88, 0x45, E, 0x45, 0x41}},
        {"lut_u8_u16",
         [](uint8_t* d, int32_t n) { return memx_lut_u8_u16(d, src16, n, t.lut8_16); },
         {0x41, 0x45, 0xAA, 0x45, 0x45}},
        // 0x105 is not the key 5: the source is compared with 16 bits.
        {"lut_u8_u16_skip_src",
         [](uint8_t* d, int32_t n) { return memx_lut_u8_u16_skip_src(d, src16, n, 5, t.lut8_16); },
         {0x41, E, 0xAA, E, 0x45}},
        {"lut_u8_u16_skip_val",
         [](uint8_t* d, int32_t n) {
             return memx_lut_u8_u16_skip_val(d, src16, n, t.lut8_16, KEY8);
         },
         {0x41, 0x45, E, 0x45, 0x45}},
        {"lut_u8_u16_idx",
         [](uint8_t* d, int32_t n) { return memx_lut_u8_u16_idx(d, src16, n, idx, t.lut8_16); },
         {0x45, 0x45, 0xAA, 0x45, 0x41}},
        {"lut_u8_u16_idx_skip_src",
         [](uint8_t* d, int32_t n) {
             return memx_lut_u8_u16_idx_skip_src(d, src16, n, idx, 5, t.lut8_16);
         },
         {0x45, E, 0xAA, E, 0x41}},
        {"lut_u8_u16_idx_skip_val",
         [](uint8_t* d, int32_t n) {
             return memx_lut_u8_u16_idx_skip_val(d, src16, n, idx, t.lut8_16, KEY8);
         },
         {0x45, 0x45, E, 0x45, 0x41}},
    };
    check(cases, E8);
}

TEST(Memx, SixteenBitDestinations) {
    const uint16_t E = E16;
    const std::vector<Case<uint16_t>> cases = {
        {"fill_u16",
         [](uint16_t* d, int32_t n) { return memx_fill_u16(d, n, 0x1234); },
         {0x1234, 0x1234, 0x1234, 0x1234, 0x1234}},
        {"copy_u16",
         [](uint16_t* d, int32_t n) { return memx_copy_u16(d, src16, n); },
         {1, 5, 300, 5, 0x105}},
        {"lut_u16_u8",
         [](uint16_t* d, int32_t n) { return memx_lut_u16_u8(d, src8, n, t.lut16); },
         {0x1001, 0x1005, 0x00AA, 0x1005, 0x01AA}},
        {"lut_u16_u8_skip_src",
         [](uint16_t* d, int32_t n) { return memx_lut_u16_u8_skip_src(d, src8, n, 5, t.lut16); },
         {0x1001, E, 0x00AA, E, 0x01AA}},
        {"lut_u16_u8_skip_val",
         [](uint16_t* d, int32_t n) {
             return memx_lut_u16_u8_skip_val(d, src8, n, t.lut16, 0x01AA);
         },
         {0x1001, 0x1005, 0x00AA, 0x1005, E}},
        {"lut_u16_u8_idx",
         [](uint16_t* d, int32_t n) { return memx_lut_u16_u8_idx(d, src8, n, idx, t.lut16); },
         {0x01AA, 0x1005, 0x00AA, 0x1005, 0x1001}},
        {"lut_u16_u8_idx_skip_src",
         [](uint16_t* d, int32_t n) {
             return memx_lut_u16_u8_idx_skip_src(d, src8, n, idx, 5, t.lut16);
         },
         {0x01AA, E, 0x00AA, E, 0x1001}},
        // The 8-bit key meets 0x00AA but not 0x01AA.
        {"lut_u16_u8_idx_skip_val",
         [](uint16_t* d, int32_t n) {
             return memx_lut_u16_u8_idx_skip_val(d, src8, n, idx, t.lut16, KEY8);
         },
         {0x01AA, 0x1005, E, 0x1005, 0x1001}},
        {"copy_u16_skip",
         [](uint16_t* d, int32_t n) { return memx_copy_u16_skip(d, src16, n, 5); },
         {1, E, 300, E, 0x105}},
        {"copy_u16_mask",
         [](uint16_t* d, int32_t n) { return memx_copy_u16_mask(d, src16, mask, n); },
         {E, 5, 300, E, 0x105}},
        {"fill_u16_mask",
         [](uint16_t* d, int32_t n) { return memx_fill_u16_mask(d, mask, n, 0x1234); },
         {E, 0x1234, 0x1234, E, 0x1234}},
        {"lut_u16_u16",
         [](uint16_t* d, int32_t n) { return memx_lut_u16_u16(d, src16, n, t.lut16_16); },
         {0x1001, 0x1005, 0x112C, 0x1005, 0x1105}},
        {"gather_u16",
         [](uint16_t* d, int32_t n) { return memx_gather_u16(d, src16, n, idx); },
         {0x105, 5, 300, 5, 1}},
        {"lut_u16_u16_idx",
         [](uint16_t* d, int32_t n) { return memx_lut_u16_u16_idx(d, src16, n, idx, t.lut16_16); },
         {0x1105, 0x1005, 0x112C, 0x1005, 0x1001}},
    };
    check(cases, E16);
}

TEST(Memx, ThirtyTwoBitFillAndCopyCountElements) {
    const uint32_t src[3] = {0x11223344u, 0x55667788u, 0x99AABBCCu};
    uint32_t dst[4] = {0, 0, 0, 0};
    EXPECT_EQ(memx_copy_u32(dst, src, 3), dst);
    EXPECT_EQ(dst[2], 0x99AABBCCu);
    EXPECT_EQ(dst[3], 0u);
    EXPECT_EQ(memx_fill_u32(dst, 2, 0xDEADBEEFu), dst);
    EXPECT_EQ(dst[1], 0xDEADBEEFu);
    EXPECT_EQ(dst[2], 0x99AABBCCu);
    memx_fill_u32(dst, -1, 0);
    memx_copy_u32(dst, src, 0);
    EXPECT_EQ(dst[0], 0xDEADBEEFu);
}

} // namespace
