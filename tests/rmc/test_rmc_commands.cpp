// RMC command set: every command's request on the link, its reply, outputs
// and result, over a link pair with a scripted slave.
#include "rmc_pair.h"

#include <algorithm>
#include <cstring>
#include <random>

namespace {

// Every output a command can have; the calls below map them into w[] in the
// order of the reply.
struct Outs {
    uint32_t w[9];
    uint8_t bytes[300];
    char text[RMC_N_TEXT + 8];
};

struct CmdCase {
    const char* name;
    std::function<int(Rmc*, Outs&)> call;
    Bytes request;               // exactly as the slave receives it
    Bytes reply;                 // a good reply
    std::vector<uint32_t> words; // expected in w[0..]
    Bytes bytes;                 // expected in bytes[0..] (or text[0..])
    bool is_text = false;
};

const uint32_t W1 = 0x04030201, W2 = 0x10101010, W3 = 0xFFEEDD10, W4 = 0x80000000, W5 = 0x00000001,
               W6 = 0x7F10027F, W7 = 0x12345678, W8 = 0xCAFEF00D, W9 = 0x03021003;

Bytes text40(const char* s) {
    Bytes b(40, 0);
    std::memcpy(b.data(), s, std::strlen(s));
    return b;
}

std::vector<CmdCase> cases() {
    const Bytes d256 = ramp(256, 0xF0);
    Bytes t72(48, 'x');
    std::memcpy(t72.data(), "hi\0there", 8); // bytes past the terminator go out too
    Bytes t72_sent(t72.begin(), t72.begin() + 39);
    t72_sent.push_back(0);
    Bytes no_zero(40, 'A');
    no_zero[38] = 'Y';
    no_zero[39] = 'Z';
    Bytes no_zero_out(no_zero.begin(), no_zero.begin() + 39);
    no_zero_out.push_back(0);
    return {
        {"get_words_5",
         [](Rmc* p, Outs& o) { return Rmc_do_get_words_5(p, &o.w[0], &o.w[1], &o.w[2]); },
         msg(5),
         msg(5, {W1, W2, W3}),
         {W1, W2, W3},
         {}},
        {"get_words_6",
         [](Rmc* p, Outs& o) { return Rmc_do_get_words_6(p, &o.w[0], &o.w[1], &o.w[2]); },
         msg(6),
         msg(6, {W3, W2, W1}),
         {W3, W2, W1},
         {}},
        {"activate_bootloader",
         [](Rmc* p, Outs&) { return Rmc_do_activate_bootloader(p); },
         msg(7),
         msg(7),
         {},
         {}},
        {"start_appl", [](Rmc* p, Outs&) { return Rmc_do_start_appl(p); }, msg(8), msg(8), {}, {}},
        {"read_mem",
         [](Rmc* p, Outs& o) { return Rmc_do_read_mem(p, 0x80010, o.bytes, 5); },
         msg(9, {0x80010, 5}),
         msg(9, {0x80010, 5}, {1, 0x10, 3, 0, 0xFF}),
         {},
         {1, 0x10, 3, 0, 0xFF}},
        {"read_mem_0",
         [](Rmc* p, Outs& o) { return Rmc_do_read_mem(p, 0x400000, o.bytes, 0); },
         msg(9, {0x400000, 0}),
         msg(9, {0x400000, 0}),
         {},
         {}},
        {"jump",
         [](Rmc* p, Outs&) { return Rmc_do_jump(p, 0x400000); },
         {0x12, 0x00, 0x00, 0x40, 0x00},
         {0x12, 0x00, 0x00, 0x40, 0x00},
         {},
         {}},
        {"write_xbram",
         [d256](Rmc* p, Outs&) { return Rmc_do_write_xbram(p, 0x400100, d256.data(), 256); },
         msg(19, {0x400100, 256}, d256),
         msg(19, {0x400100, 256}),
         {},
         {}},
        {"erase_appl",
         [](Rmc* p, Outs&) { return Rmc_do_erase_appl(p); },
         msg(35),
         msg(35),
         {},
         {}},
        {"blank_check_appl",
         [](Rmc* p, Outs&) { return Rmc_do_blank_check_appl(p); },
         msg(36),
         msg(36),
         {},
         {}},
        {"write_flash_1",
         [](Rmc* p, Outs&) {
             const uint8_t sig = 0x47;
             return Rmc_do_write_flash(p, 0x80010, &sig, 1);
         },
         {0x25, 0x10, 0x00, 0x08, 0x00, 0x01, 0x00, 0x00, 0x00, 0x47},
         msg(37, {0x80010, 1}),
         {},
         {}},
        {"write_flash_256",
         [d256](Rmc* p, Outs&) { return Rmc_do_write_flash(p, 0x80100, d256.data(), 256); },
         msg(37, {0x80100, 256}, d256),
         msg(37, {0x80100, 256}),
         {},
         {}},
        {"exec_64", [](Rmc* p, Outs&) { return Rmc_do_exec_64(p); }, msg(64), msg(64), {}, {}},
        {"exec_65", [](Rmc* p, Outs&) { return Rmc_do_exec_65(p); }, msg(65), msg(65), {}, {}},
        {"write_block_66",
         [](Rmc* p, Outs&) {
             const uint8_t d[3] = {0x10, 0x02, 0x03};
             return Rmc_do_write_block_66(p, 0x1234, d, 3);
         },
         msg(66, {0x1234, 3}, {0x10, 0x02, 0x03}),
         msg(66, {0x1234, 3}),
         {},
         {}},
        {"get_pair_67",
         [](Rmc* p, Outs& o) { return Rmc_do_get_pair_67(p, 7, &o.w[0], &o.w[1]); },
         msg(67, {7}),
         msg(67, {7, W4, W5}),
         {W4, W5},
         {}},
        {"set_pair_68",
         [](Rmc* p, Outs&) { return Rmc_do_set_pair_68(p, 3, W6, W7); },
         msg(68, {3, W6, W7}),
         msg(68, {3}),
         {},
         {}},
        {"get_words_69",
         [](Rmc* p, Outs& o) {
             RmcRec6 rec{};
             int r = Rmc_do_get_words_69(p, &o.w[0], &o.w[1], &rec, &o.w[8]);
             std::memcpy(&o.w[2], rec.w, sizeof rec.w);
             return r;
         },
         msg(69),
         msg(69, {W1, W2, W3, W4, W5, W6, W7, W8, W9}),
         {W1, W2, W3, W4, W5, W6, W7, W8, W9},
         {}},
        {"set_words_70",
         [](Rmc* p, Outs&) { return Rmc_do_set_words_70(p, W1, W2, W3, W4, W5, W6, W7, W8); },
         msg(70, {W1, W2, W3, W4, W5, W6, W7, W8}),
         msg(70),
         {},
         {}},
        {"get_text_71",
         [](Rmc* p, Outs& o) { return Rmc_do_get_text_71(p, o.text); },
         msg(71),
         msg(71, {}, text40("device text")),
         {},
         text40("device text"),
         true},
        {"get_text_71_unterminated",
         [](Rmc* p, Outs& o) { return Rmc_do_get_text_71(p, o.text); },
         msg(71),
         msg(71, {}, no_zero),
         {},
         no_zero_out,
         true},
        {"set_text_72",
         [t72](Rmc* p, Outs&) { return Rmc_do_set_text_72(p, (const char*)t72.data()); },
         msg(72, {}, t72_sent),
         msg(72),
         {},
         {}},
        {"get_words_80",
         [](Rmc* p, Outs& o) { return Rmc_do_get_words_80(p, &o.w[0], &o.w[1], &o.w[2]); },
         msg(80),
         msg(80, {W7, W8, W9}),
         {W7, W8, W9},
         {}},
        {"get_indexed_words_81",
         [](Rmc* p, Outs& o) {
             return Rmc_do_get_indexed_words_81(p, 0x10, &o.w[0], &o.w[1], &o.w[2]);
         },
         msg(81, {0x10}),
         msg(81, {0x10, W1, W5, W9}),
         {W1, W5, W9},
         {}},
        {"get_words_82",
         [](Rmc* p, Outs& o) { return Rmc_do_get_words_82(p, &o.w[0], &o.w[1], &o.w[2]); },
         msg(82),
         msg(82, {W4, W4, W1}),
         {W4, W4, W1},
         {}},
        {"get_indexed_words_83",
         [](Rmc* p, Outs& o) {
             return Rmc_do_get_indexed_words_83(p, 0xFFFFFFFF, &o.w[0], &o.w[1], &o.w[2]);
         },
         msg(83, {0xFFFFFFFF}),
         msg(83, {0xFFFFFFFF, W2, W3, W4}),
         {W2, W3, W4},
         {}},
        {"fram_read",
         [](Rmc* p, Outs& o) { return Rmc_do_fram_read(p, 2, 0x100, 4, o.bytes); },
         msg(84, {2, 0x100, 4}),
         msg(84, {2, 0x100, 4}, {9, 8, 0x10, 6}),
         {},
         {9, 8, 0x10, 6}},
        {"fram_write",
         [](Rmc* p, Outs&) {
             const uint8_t d[2] = {0xAB, 0x10};
             return Rmc_do_fram_write(p, 1, 0x20, 2, d);
         },
         msg(85, {1, 0x20, 2}, {0xAB, 0x10}),
         msg(85, {1, 0x20, 2}),
         {},
         {}},
        {"get_words_86",
         [](Rmc* p, Outs& o) {
             return Rmc_do_get_words_86(p, &o.w[0], &o.w[1], &o.w[2], &o.w[3], &o.w[4], &o.w[5]);
         },
         msg(86),
         msg(86, {W9, W8, W7, W6, W5, W4}),
         {W9, W8, W7, W6, W5, W4},
         {}},
        {"set_words_87",
         [](Rmc* p, Outs&) { return Rmc_do_set_words_87(p, W1, W2, W3, W4, W5, W6); },
         msg(87, {W1, W2, W3, W4, W5, W6}),
         msg(87),
         {},
         {}},
    };
}

struct RmcCommands : RmcPair {
    Outs outs;
    // Runs c once with reply as the slave's answer; returns the result.
    int run(const CmdCase& c, const Bytes& reply) {
        std::memset(&outs, 0xEE, sizeof outs);
        requests.clear();
        lines.clear();
        answer(reply);
        int result = c.call(&rmc, outs);
        settle();
        return result;
    }
};

TEST_F(RmcCommands, EveryCommandSendsItsRequestAndCopiesItsReply) {
    for (const CmdCase& c : cases()) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(run(c, c.reply), RMC_RES_OK);
        ASSERT_EQ(requests.size(), 1u);
        EXPECT_EQ(requests[0], c.request);
        for (size_t i = 0; i < c.words.size(); ++i)
            EXPECT_EQ(outs.w[i], c.words[i]) << i;
        EXPECT_EQ(outs.w[c.words.size()], 0xEEEEEEEEu) << "word written past the outputs";
        const uint8_t* got = c.is_text ? (const uint8_t*)outs.text : outs.bytes;
        EXPECT_EQ(Bytes(got, got + c.bytes.size()), c.bytes);
        EXPECT_EQ(got[c.bytes.size()], 0xEE) << "byte written past the output";
        EXPECT_TRUE(lines.empty());
        // The slave side knows the same signature the master checks.
        const int n_signa = RmcSlave_get_n_signa(c.request[0]);
        ASSERT_GT(n_signa, 0);
        EXPECT_EQ(Bytes(c.reply.begin(), c.reply.begin() + n_signa),
                  Bytes(c.request.begin(), c.request.begin() + n_signa));
    }
}

TEST_F(RmcCommands, EveryCommandReturnsTheSlavesExceptionCode) {
    int code = 1;
    for (const CmdCase& c : cases()) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(run(c, {(uint8_t)(c.request[0] | 0x80), (uint8_t)code}), code);
        EXPECT_EQ(requests.size(), 1u);
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.back(), result_line(code, Rmc_get_result_name(code)));
        EXPECT_EQ(lines.size(), c.request[0] == RMC_FC_FRAM_READ ? 2u : 1u);
        code = code % 7 + 1;
    }
}

TEST_F(RmcCommands, EveryCommandRefusesAReplyOneByteTooLongOrTooShort) {
    for (const CmdCase& c : cases()) {
        SCOPED_TRACE(c.name);
        Bytes longer = c.reply;
        longer.push_back(0x55);
        EXPECT_EQ(run(c, longer), RMC_RES_ERR_REC);
        EXPECT_EQ(lines.back(), result_line(9, "RMC_RES_ERR_REC     "));
        // One byte short still repeats the signature when data follows it.
        if (c.reply.size() > (size_t)RmcSlave_get_n_signa(c.request[0])) {
            Bytes shorter(c.reply.begin(), c.reply.end() - 1);
            uint32_t t0 = now();
            EXPECT_EQ(run(c, shorter), RMC_RES_ERR_REC);
            EXPECT_LT(now() - t0, 1000u) << "answered at once";
        }
    }
}

TEST_F(RmcCommands, NullRecordIsRefusedWithoutTransactionOrLogLine) {
    for (const CmdCase& c : cases()) {
        SCOPED_TRACE(c.name);
        Outs o;
        std::memset(&o, 0xEE, sizeof o);
        EXPECT_EQ(c.call(nullptr, o), RMC_RES_ERR_ELSE);
        EXPECT_EQ(o.w[0], 0xEEEEEEEEu);
    }
    settle();
    EXPECT_TRUE(requests.empty());
    EXPECT_EQ(LinkPair_get_n_sent(lp, 0), 0);
    EXPECT_TRUE(lines.empty());
}

TEST_F(RmcCommands, NullTextAndDataPointersAreRefusedWithoutTransaction) {
    EXPECT_EQ(Rmc_do_get_text_71(&rmc, nullptr), RMC_RES_ERR_ELSE);
    EXPECT_EQ(Rmc_do_set_text_72(&rmc, nullptr), RMC_RES_ERR_ELSE);
    EXPECT_EQ(Rmc_do_read_mem(&rmc, 0, nullptr, 4), RMC_RES_ERR_ELSE);
    EXPECT_EQ(Rmc_do_write_flash(&rmc, 0x80000, nullptr, 4), RMC_RES_ERR_ELSE);
    EXPECT_EQ(Rmc_do_write_xbram(&rmc, 0x400000, nullptr, 1), RMC_RES_ERR_ELSE);
    EXPECT_EQ(Rmc_do_write_block_66(&rmc, 0, nullptr, 1), RMC_RES_ERR_ELSE);
    EXPECT_EQ(Rmc_do_fram_read(&rmc, 0, 0, 1, nullptr), RMC_RES_ERR_ELSE);
    EXPECT_EQ(Rmc_do_fram_write(&rmc, 0, 0, 1, nullptr), RMC_RES_ERR_ELSE);
    settle();
    EXPECT_TRUE(requests.empty());
    EXPECT_EQ(LinkPair_get_n_sent(lp, 0), 0);
    EXPECT_TRUE(lines.empty());
}

TEST_F(RmcCommands, NullWordOutputsAreSkipped) {
    answer(msg(69, {W1, W2, W3, W4, W5, W6, W7, W8, W9}));
    uint32_t w9 = 0;
    EXPECT_EQ(Rmc_do_get_words_69(&rmc, nullptr, nullptr, nullptr, &w9), RMC_RES_OK);
    EXPECT_EQ(w9, W9);
    settle();
    answer(msg(81, {5, W1, W2, W3}));
    uint32_t w2 = 0;
    EXPECT_EQ(Rmc_do_get_indexed_words_81(&rmc, 5, nullptr, &w2, nullptr), RMC_RES_OK);
    EXPECT_EQ(w2, W2);
}

TEST_F(RmcCommands, FramReadFailureLogsItsArgumentsBeforeTheResult) {
    answer(Bytes{0xD4, 2});
    uint8_t out[4];
    EXPECT_EQ(Rmc_do_fram_read(&rmc, 3, 0x40, 4, out), RMC_RES_ILL_DATA_ADR);
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "error-src/rmc/rmc.cpp-Rmc_do_fram_read: i_fram=3 a_fram=64 n_data=4\n",
                         result_line(2, "RMC_RES_ILL_DATA_ADR")}));
}

TEST_F(RmcCommands, FlashWriteReplyForAnotherAddressIsDroppedUntilTheTimeOut) {
    rmc.reply_timeout_ms = 3000;
    answer(msg(37, {0x80100, 1}));
    const uint8_t b = 0;
    uint32_t t0 = now();
    EXPECT_EQ(Rmc_do_write_flash(&rmc, 0x80000, &b, 1), RMC_RES_ERR_REC);
    EXPECT_GE(now() - t0, 3000u);
}

TEST_F(RmcCommands, ReadMemWithTooFewDataBytesIsARecError) {
    answer(msg(9, {0x1000, 4}, {1, 2, 3}));
    uint8_t out[4];
    EXPECT_EQ(Rmc_do_read_mem(&rmc, 0x1000, out, 4), RMC_RES_ERR_REC);
}

TEST_F(RmcCommands, OutputsAreCopiedWhateverTheResult) {
    // An exception reply leaves its code in byte 1; the outputs take what the
    // buffer holds and the caller must not use them.
    answer(Bytes{0x85, 6});
    uint32_t w1 = 0;
    EXPECT_EQ(Rmc_do_get_words_5(&rmc, &w1, nullptr, nullptr), RMC_RES_BUSY);
    EXPECT_EQ(w1 & 0xFF, 6u);
}

// Bad input: replies of any length and content, with a master buffer smaller
// than many of them, never write past the outputs or the buffer.
TEST_F(RmcCommands, RandomRepliesStayInsideOutputsAndBuffer) {
    const int32_t m = 40;
    restart(m);
    rmc.reply_timeout_ms = 50;
    std::mt19937 rng(3964);
    for (const CmdCase& c : cases()) {
        SCOPED_TRACE(c.name);
        for (int round = 0; round < 12; ++round) {
            Bytes reply(rng() % 2 ? rng() % 48 : rng() % 385);
            for (uint8_t& b : reply)
                b = (uint8_t)rng();
            // Most replies repeat the signature, so that the outputs are filled.
            size_t n_signa = (size_t)RmcSlave_get_n_signa(c.request[0]);
            if (round % 3 && reply.size() >= n_signa)
                std::copy(c.request.begin(), c.request.begin() + n_signa, reply.begin());
            int result = run(c, reply);
            EXPECT_GE(result, RMC_RES_OK);
            EXPECT_LE(result, RMC_RES_ERR_ELSE);
            EXPECT_LE(rmc.n_msg, m);
            for (size_t i = m; i < buf.size(); ++i)
                ASSERT_EQ(buf[i], 0xA5) << i;
            EXPECT_EQ(outs.w[c.words.size()], 0xEEEEEEEEu);
            const uint8_t* got = c.is_text ? (const uint8_t*)outs.text : outs.bytes;
            EXPECT_EQ(got[c.bytes.size()], 0xEE);
        }
    }
}

TEST_F(RmcCommands, RequestsAndRepliesLargerThanTheBufferAreRefused) {
    restart(40);
    rmc.reply_timeout_ms = 50;
    Bytes data = ramp(256);
    EXPECT_EQ(Rmc_do_write_flash(&rmc, 0x80000, data.data(), 256), RMC_RES_ERR_SEND);
    EXPECT_EQ(Rmc_do_fram_write(&rmc, 0, 0, 0xFFFFFFFFu, data.data()), RMC_RES_ERR_SEND);
    settle();
    EXPECT_TRUE(requests.empty());
    EXPECT_EQ(lines[0], "error-src/rmc/rmc.cpp-send_and_receive: n_msg > m_msg_buffer\n");
    EXPECT_EQ(lines[1], result_line(8, "RMC_RES_ERR_SEND    "));
    for (size_t i = 40; i < buf.size(); ++i)
        ASSERT_EQ(buf[i], 0xA5) << i;

    // Reading 100 bytes through a 40-byte buffer: the bytes the buffer holds
    // are copied, the rest of the output is 0, nothing past it is touched.
    Bytes out(101, 0xEE);
    answer(msg(9, {0x1000, 100}, ramp(31, 1)));
    EXPECT_EQ(Rmc_do_read_mem(&rmc, 0x1000, out.data(), 100), RMC_RES_ERR_REC);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 31), ramp(31, 1));
    EXPECT_EQ(Bytes(out.begin() + 31, out.begin() + 100), Bytes(69, 0));
    EXPECT_EQ(out[100], 0xEE);
}

} // namespace
