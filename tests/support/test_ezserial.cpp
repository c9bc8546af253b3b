// Serialization buffer: little-endian layout, the sticky overflow, measuring
// without a buffer and the null and negative edge cases.
#include "ezserial.h"

#include "con.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

int capture(void* p_log, const char* text) {
    *static_cast<std::string*>(p_log) += text;
    return 1;
}

TEST(EzSerial, OverflowIsStickyAndWritesNothingOfTheValue) {
    uint8_t buf[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    EzSerial s;
    ASSERT_EQ(EzSerial_init_write(&s, 4, buf), &s);
    EXPECT_EQ(EzSerial_put_u16(&s, 258), 1);
    EXPECT_EQ(buf[0], 0x02);
    EXPECT_EQ(buf[1], 0x01);
    EXPECT_EQ(EzSerial_get_i_buffer(&s), 2);
    EXPECT_EQ(EzSerial_put_u32(&s, 0x11223344u), 0);
    EXPECT_EQ(EzSerial_get_flags(&s), EZSERIAL_FLAG_OVERFLOW);
    EXPECT_EQ(buf[2], 0xEE);
    EXPECT_EQ(buf[3], 0xEE);
    EXPECT_EQ(EzSerial_get_i_buffer(&s), 4);
    EXPECT_EQ(EzSerial_put_u8(&s, 1), 0);
    EXPECT_EQ(EzSerial_put_bytes(&s, 0, buf), 0); // even an empty put fails now
    EXPECT_EQ(EzSerial_get_i_buffer(&s), 4);
    EXPECT_EQ(buf[2], 0xEE);
    // Initialising again ends the overflow.
    EzSerial_init_write(&s, 4, buf);
    EXPECT_EQ(EzSerial_get_flags(&s), 0);
    EXPECT_EQ(EzSerial_put_u32(&s, 0x11223344u), 1);
    EXPECT_EQ(std::vector<uint8_t>(buf, buf + 4), (std::vector<uint8_t>{0x44, 0x33, 0x22, 0x11}));
}

TEST(EzSerial, WriteWithoutABufferMeasures) {
    EzSerial s;
    ASSERT_EQ(EzSerial_init_write(&s, 1023, nullptr), &s);
    for (int i = 0; i < 5; i++)
        EXPECT_EQ(EzSerial_put_u8(&s, (uint8_t)i), 1);
    EXPECT_EQ(EzSerial_get_i_buffer(&s), 5);
    uint8_t src[1000] = {};
    EXPECT_EQ(EzSerial_put_bytes(&s, 1000, src), 1);
    // Nothing is copied, so no source is needed either.
    EXPECT_EQ(EzSerial_put_bytes(&s, 18, nullptr), 1);
    EXPECT_EQ(EzSerial_get_i_buffer(&s), 1023);
    EXPECT_EQ(EzSerial_get_flags(&s), 0);
    EXPECT_EQ(EzSerial_put_s16(&s, -1), 0);
    EXPECT_EQ(EzSerial_get_flags(&s), EZSERIAL_FLAG_OVERFLOW);
}

TEST(EzSerial, PutBytesOfExactlyTheRestFits) {
    uint8_t buf[6] = {};
    const uint8_t src[5] = {1, 2, 3, 4, 5};
    EzSerial s;
    EzSerial_init_write(&s, 6, buf);
    EzSerial_put_u8(&s, 9);
    EXPECT_EQ(EzSerial_put_bytes(&s, 5, src), 1);
    EXPECT_EQ(EzSerial_get_i_buffer(&s), 6);
    EXPECT_EQ(EzSerial_get_flags(&s), 0);
    EXPECT_EQ(std::vector<uint8_t>(buf, buf + 6), (std::vector<uint8_t>{9, 1, 2, 3, 4, 5}));
}

struct LayoutCase {
    const char* name;
    int (*put)(EzSerial*);
    std::vector<uint8_t> bytes;
};

TEST(EzSerial, LittleEndianTwoComplementLayout) {
    const LayoutCase cases[] = {
        {"u8", [](EzSerial* s) { return EzSerial_put_u8(s, 0xA5); }, {0xA5}},
        {"u16", [](EzSerial* s) { return EzSerial_put_u16(s, 0x1234); }, {0x34, 0x12}},
        {"u32", [](EzSerial* s) { return EzSerial_put_u32(s, 0x01020304u); }, {4, 3, 2, 1}},
        {"s8", [](EzSerial* s) { return EzSerial_put_s8(s, -2); }, {0xFE}},
        {"s16", [](EzSerial* s) { return EzSerial_put_s16(s, -32768); }, {0x00, 0x80}},
        {"s32", [](EzSerial* s) { return EzSerial_put_s32(s, -2); }, {0xFE, 0xFF, 0xFF, 0xFF}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        uint8_t buf[8];
        std::memset(buf, 0xEE, sizeof buf);
        EzSerial s;
        EzSerial_init_write(&s, 8, buf);
        EXPECT_EQ(c.put(&s), 1);
        EXPECT_EQ(EzSerial_get_i_buffer(&s), (int)c.bytes.size());
        EXPECT_EQ(std::vector<uint8_t>(buf, buf + c.bytes.size()), c.bytes);
        EXPECT_EQ(buf[c.bytes.size()], 0xEE);
    }
}

TEST(EzSerial, GetsReadWhatThePutsWrote) {
    uint8_t buf[32];
    EzSerial w;
    EzSerial_init_write(&w, sizeof buf, buf);
    EzSerial_put_u8(&w, 0xFF);
    EzSerial_put_u16(&w, 0xBEEF);
    EzSerial_put_u32(&w, 0xDEADBEEFu);
    EzSerial_put_s8(&w, -128);
    EzSerial_put_s16(&w, -300);
    EzSerial_put_s32(&w, INT32_MIN);
    EzSerial_put_bytes(&w, 3, (const uint8_t*)"abc");
    ASSERT_EQ(EzSerial_get_flags(&w), 0);

    EzSerial r;
    ASSERT_EQ(EzSerial_init_read(&r, EzSerial_get_i_buffer(&w), buf), &r);
    EXPECT_EQ(EzSerial_get_u8(&r), 0xFF);
    EXPECT_EQ(EzSerial_get_u16(&r), 0xBEEF);
    EXPECT_EQ(EzSerial_get_u32(&r), 0xDEADBEEFu);
    EXPECT_EQ(EzSerial_get_s8(&r), -128);
    EXPECT_EQ(EzSerial_get_s16(&r), -300);
    EXPECT_EQ(EzSerial_get_s32(&r), INT32_MIN);
    char text[4] = {};
    EXPECT_EQ(EzSerial_get_bytes(&r, 3, (uint8_t*)text), 1);
    EXPECT_STREQ(text, "abc");
    EXPECT_EQ(EzSerial_get_flags(&r), 0);
}

TEST(EzSerial, GetU32ReadsTheFirstByteAsTheLeastSignificant) {
    uint8_t buf[4] = {0x04, 0x03, 0x02, 0x01};
    EzSerial r;
    EzSerial_init_read(&r, 4, buf);
    EXPECT_EQ(EzSerial_get_u32(&r), 0x01020304u);
}

TEST(EzSerial, GetPastTheEndGivesZeroAndOverflows) {
    uint8_t buf[3] = {7, 8, 9};
    EzSerial r;
    EzSerial_init_read(&r, 3, buf);
    EXPECT_EQ(EzSerial_get_u16(&r), 0x0807);
    EXPECT_EQ(EzSerial_get_u16(&r), 0); // one byte left: not enough
    EXPECT_EQ(EzSerial_get_flags(&r), EZSERIAL_FLAG_OVERFLOW);
    EXPECT_EQ(EzSerial_get_i_buffer(&r), 3);

    EzSerial_init_read(&r, 3, buf);
    uint8_t dst[3] = {};
    EXPECT_EQ(EzSerial_get_bytes(&r, 3, dst), 1);
    EXPECT_EQ(EzSerial_get_u8(&r), 0);
    EXPECT_EQ(EzSerial_get_flags(&r), EZSERIAL_FLAG_OVERFLOW);

    EzSerial_init_read(&r, 3, buf);
    uint8_t untouched[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    EXPECT_EQ(EzSerial_get_bytes(&r, 4, untouched), 0);
    EXPECT_EQ(untouched[0], 0xEE);
    EXPECT_EQ(untouched[3], 0xEE);
}

TEST(EzSerial, NegativeCountsAndCapacities) {
    uint8_t buf[4] = {};
    EzSerial s;
    EzSerial_init_write(&s, 4, buf);
    EzSerial_put_u8(&s, 1);
    EXPECT_EQ(EzSerial_put_bytes(&s, -1, buf), 0);
    EXPECT_EQ(EzSerial_get_i_buffer(&s), 4);
    EXPECT_EQ(EzSerial_get_flags(&s), EZSERIAL_FLAG_OVERFLOW);

    EzSerial_init_write(&s, -5, buf);
    EXPECT_EQ(EzSerial_put_u8(&s, 1), 0);
    EXPECT_EQ(EzSerial_get_i_buffer(&s), 0);
}

struct EzSerialLog : ::testing::Test {
    std::string log;
    void SetUp() override { Con_set_cb_output(capture, &log); }
    void TearDown() override { Con_set_cb_output(nullptr, nullptr); }
};

TEST_F(EzSerialLog, NullRecordsAndBuffers) {
    uint8_t buf[4] = {};
    EXPECT_EQ(EzSerial_init_read(nullptr, 4, buf), nullptr);
    EXPECT_EQ(EzSerial_init_write(nullptr, 4, buf), nullptr);
    EXPECT_EQ(EzSerial_get_flags(nullptr), -1);
    EXPECT_EQ(EzSerial_get_i_buffer(nullptr), -1);
    EXPECT_EQ(EzSerial_put_u32(nullptr, 1), 0);
    EXPECT_EQ(EzSerial_put_bytes(nullptr, 1, buf), 0);
    EXPECT_EQ(EzSerial_get_u16(nullptr), 0);
    EXPECT_EQ(EzSerial_get_bytes(nullptr, 1, buf), 0);
    EXPECT_EQ(log, "");

    EzSerial s;
    EXPECT_EQ(EzSerial_init_read(&s, 4, nullptr), nullptr);
    EXPECT_EQ(log,
              "error-src/support/ezserial.cpp-EzSerial_init_read: p -> p_buffer = p_buffer)\n");
    log.clear();

    EzSerial_init_write(&s, 4, buf);
    EXPECT_EQ(EzSerial_put_bytes(&s, 2, nullptr), 0);
    EXPECT_EQ(EzSerial_get_i_buffer(&s), 0);
    EzSerial_init_read(&s, 4, buf);
    EXPECT_EQ(EzSerial_get_bytes(&s, 2, nullptr), 0);
    EXPECT_EQ(EzSerial_get_i_buffer(&s), 0);
    EXPECT_EQ(log, "error-src/support/ezserial.cpp-EzSerial_put_bytes: p_src == NULL\n"
                   "error-src/support/ezserial.cpp-EzSerial_get_bytes: p_dst == NULL\n");
}

} // namespace
