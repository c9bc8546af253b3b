// RMC transaction layer: initialisation, signatures, exception and stale
// replies, time-outs in virtual time, link refusals, result logging.
#include "rmc_pair.h"

#include "csp.h"

#include <algorithm>
#include <cstring>

namespace {

// --- initialisation ---

struct RmcInit : ::testing::Test {
    std::vector<std::string> lines;
    static int sink(void* p, const char* text) {
        static_cast<RmcInit*>(p)->lines.emplace_back(text);
        return 0;
    }
    void SetUp() override { Con_set_cb_output(sink, this); }
    void TearDown() override { Con_set_cb_output(nullptr, nullptr); }
};

TEST_F(RmcInit, MasterStoresItsFieldsAndNeutralSlaveValues) {
    Rmc r;
    std::memset(&r, 0x5A, sizeof r);
    uint8_t buf[384];
    Co3964 co{};
    ASSERT_EQ(Rmc_init_as_master(&r, 384, buf, &co), &r);
    EXPECT_EQ(r.m_msg_buffer, 384);
    EXPECT_EQ(r.n_msg, 0);
    EXPECT_EQ(r.p_msg_buffer, buf);
    EXPECT_EQ(r.p_co, &co);
    EXPECT_EQ(r.send_timeout_ms, 5000);
    EXPECT_EQ(r.reply_timeout_ms, 5000);
    for (int32_t v : r.slave_par)
        EXPECT_EQ(v, -1);
    EXPECT_EQ(r.slave_state[0], 0);
    EXPECT_EQ(r.slave_state[1], 1);
    for (int32_t v : r.slave_table)
        EXPECT_EQ(v, 0);
    EXPECT_TRUE(lines.empty());
}

TEST_F(RmcInit, SlaveStoresItsParametersAndTableInOrder) {
    Rmc r;
    uint8_t buf[16];
    Co3964 co{};
    ASSERT_EQ(Rmc_init_as_slave(&r, 16, buf, &co, 1, 2, 3, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20,
                                21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32, 33),
              &r);
    EXPECT_EQ(r.slave_par[0], 1);
    EXPECT_EQ(r.slave_par[2], 3);
    for (int i = 0; i < 23; ++i)
        EXPECT_EQ(r.slave_table[i], 11 + i);
}

TEST_F(RmcInit, EachFailedCheckLogsItsLineAndTheResultIsNull) {
    Rmc r;
    uint8_t buf[4];
    Co3964 co{};
    EXPECT_EQ(Rmc_init_as_master(nullptr, 384, buf, &co), nullptr);
    EXPECT_TRUE(lines.empty());
    EXPECT_EQ(Rmc_init_as_master(&r, 0, nullptr, nullptr), nullptr);
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "error-src/rmc/rmc.cpp-Rmc_init_as_slave: p -> m_msg_buffer = "
                         "m_msg_buffer)\n",
                         "error-src/rmc/rmc.cpp-Rmc_init_as_slave: p -> p_msg_buffer = "
                         "p_msg_buffer)\n",
                         "error-src/rmc/rmc.cpp-Rmc_init_as_slave: p -> p_co = p_co)\n"}));
    // Every field is stored before the checks.
    EXPECT_EQ(r.reply_timeout_ms, 5000);
    lines.clear();
    EXPECT_EQ(Rmc_init_as_master(&r, -1, buf, &co), nullptr);
    EXPECT_EQ(lines.size(), 1u);
}

// --- message helpers and names ---

TEST(RmcMessage, WordsAreLittleEndianAndBuildStopsAtNineArguments) {
    uint8_t b[64];
    std::memset(b, 0xCC, sizeof b);
    EXPECT_EQ(put_u32_le(b, 0x11223344), b + 4);
    EXPECT_EQ(Bytes(b, b + 4), (Bytes{0x44, 0x33, 0x22, 0x11}));
    EXPECT_EQ(get_u32_le(b), 0x11223344u);
    EXPECT_EQ(put_u8(b + 4, 0x99), b + 5);
    EXPECT_EQ(get_u8(b + 4), 0x99);

    Rmc r{};
    Co3964 co{};
    Rmc_init_as_master(&r, 64, b, &co);
    std::memset(b, 0xCC, sizeof b);
    EXPECT_EQ(build_message(&r, 10, 0x33, 1u, 2u, 3u, 4u, 5u, 6u, 7u, 8u, 9u, 10u), 1);
    EXPECT_EQ(r.n_msg, 41);
    EXPECT_EQ(b[0], 0x33);
    EXPECT_EQ(get_u32_le(b + 33), 9u);
    EXPECT_EQ(b[37], 0xCC) << "a tenth argument is not written";
}

TEST(RmcMessage, ARequestLongerThanTheBufferIsNotWritten) {
    uint8_t b[40];
    std::memset(b, 0xCC, sizeof b);
    Rmc r{};
    Co3964 co{};
    Rmc_init_as_master(&r, 8, b, &co);
    build_message(&r, 2, 9, 1u, 2u);
    EXPECT_EQ(r.n_msg, 9);
    EXPECT_EQ(b[0], 0xCC);
    EXPECT_EQ(b[8], 0xCC);
}

TEST(RmcNames, TwentyCharacterNamesForTheFailingCodes) {
    const char* expected[] = {"RMC_RES_ILL_FC      ", "RMC_RES_ILL_DATA_ADR",
                              "RMC_RES_ILL_DATA_VAL", "RMC_RES_DEV_FAIL    ",
                              "RMC_RES_ACK         ", "RMC_RES_BUSY        ",
                              "RMC_RES_NAK         ", "RMC_RES_ERR_SEND    ",
                              "RMC_RES_ERR_REC     ", "RMC_RES_ERR_ELSE    "};
    for (int code = 1; code <= 10; ++code) {
        ASSERT_NE(Rmc_get_result_name(code), nullptr);
        EXPECT_STREQ(Rmc_get_result_name(code), expected[code - 1]);
        EXPECT_EQ(std::strlen(Rmc_get_result_name(code)), 20u);
    }
    EXPECT_EQ(Rmc_get_result_name(0), nullptr);
    EXPECT_EQ(Rmc_get_result_name(11), nullptr);
    EXPECT_EQ(Rmc_get_result_name(-1), nullptr);
}

TEST_F(RmcInit, LogResultLinesHaveAnEmptyFunctionPart) {
    struct {
        int code;
        const char* line;
    } rows[] = {
        {1, "error-src/rmc/rmc.cpp-: send_and_receive returned 1 (RMC_RES_ILL_FC      )\n"},
        {6, "error-src/rmc/rmc.cpp-: send_and_receive returned 6 (RMC_RES_BUSY        )\n"},
        {10, "error-src/rmc/rmc.cpp-: send_and_receive returned 10 (RMC_RES_ERR_ELSE    )\n"},
        {11, "error-src/rmc/rmc.cpp-: send_and_receive returned 11 (?]\n"},
        {-1, "error-src/rmc/rmc.cpp-: send_and_receive returned -1 (?]\n"},
    };
    EXPECT_EQ(log_result(0), 0);
    EXPECT_TRUE(lines.empty());
    for (const auto& row : rows) {
        lines.clear();
        EXPECT_EQ(log_result(row.code), row.code);
        EXPECT_EQ(lines, std::vector<std::string>{row.line});
    }
}

TEST_F(RmcInit, SignaCompareRefusesNullsAndEmptySignatures) {
    const uint8_t a[3] = {1, 2, 3}, b[3] = {1, 2, 4};
    EXPECT_EQ(signa_is_ok(2, a, b), 1);
    EXPECT_EQ(signa_is_ok(3, a, b), 0);
    EXPECT_EQ(signa_is_ok(0, a, a), 0);
    EXPECT_TRUE(lines.empty());
    EXPECT_EQ(signa_is_ok(1, nullptr, a), 0);
    EXPECT_EQ(signa_is_ok(1, a, nullptr), 0);
    EXPECT_EQ(lines,
              (std::vector<std::string>{"error-src/rmc/rmc.cpp-signa_is_ok: p_signa_a == NULL\n",
                                        "error-src/rmc/rmc.cpp-signa_is_ok: p_signa_b == NULL\n"}));
}

// --- transactions over the link pair ---

using RmcTransaction = RmcPair;

TEST_F(RmcTransaction, ExceptionReplyEndsAtOnceWithoutRepetition) {
    answer(Bytes{0x87, RMC_RES_BUSY});
    uint32_t t0 = now();
    EXPECT_EQ(Rmc_do_activate_bootloader(&rmc), RMC_RES_BUSY);
    EXPECT_LT(now() - t0, 200u);
    settle();
    EXPECT_EQ(requests.size(), 1u);
    EXPECT_EQ(lines, std::vector<std::string>{result_line(6, "RMC_RES_BUSY        ")});
}

TEST_F(RmcTransaction, TwoByteRepliesThatAreNoExceptionAreDropped) {
    // Code OR 0x80 with 0 or 8, or another code's exception: the wait goes on.
    rmc.reply_timeout_ms = 1000;
    for (Bytes reply : {Bytes{0x87, 0}, Bytes{0x87, 8}, Bytes{0x88, 6}}) {
        SCOPED_TRACE(reply[1]);
        answer(reply);
        uint32_t t0 = now();
        EXPECT_EQ(Rmc_do_activate_bootloader(&rmc), RMC_RES_ERR_REC);
        EXPECT_GE(now() - t0, 1000u);
        settle();
    }
    // The borders of the exception range are taken.
    for (uint8_t code : {1, 7}) {
        answer(Bytes{0x87, code});
        EXPECT_EQ(Rmc_do_activate_bootloader(&rmc), code);
        settle();
    }
}

TEST_F(RmcTransaction, StaleRepliesAreDroppedAndEachRestartsTheFullWait) {
    rmc.reply_timeout_ms = 1000;
    // A late reply to another code, then one to another address, each 800 ms
    // apart: the right reply comes 2400 ms after the request, well after the
    // first deadline, and is still taken.
    answer({{800, msg(7)}, {1600, msg(18, {0x400100})}, {2400, msg(18, {0x400000})}});
    uint32_t t0 = now();
    EXPECT_EQ(Rmc_do_jump(&rmc, 0x400000), RMC_RES_OK);
    EXPECT_GE(now() - t0, 2400u);
    EXPECT_TRUE(lines.empty());
    settle();
    // Without the right reply the last stale one starts the final full wait.
    answer({{800, msg(7)}});
    t0 = now();
    EXPECT_EQ(Rmc_do_jump(&rmc, 0x400000), RMC_RES_ERR_REC);
    EXPECT_GE(now() - t0, 1800u);
    EXPECT_LT(now() - t0, 2000u);
}

TEST_F(RmcTransaction, EmptyMessagesAreIgnored) {
    answer({{0, {}}, {10, {}}, {20, msg(36)}});
    EXPECT_EQ(Rmc_do_blank_check_appl(&rmc), RMC_RES_OK);
    EXPECT_EQ(rmc.n_msg, 1);
}

TEST_F(RmcTransaction, WrongLengthWithTheRightSignatureIsAnErrorAtOnce) {
    for (Bytes reply : {msg(5, {1, 2}, {3, 0, 0}), msg(5, {1, 2, 3}, {4})}) {
        answer(reply);
        uint32_t t0 = now();
        EXPECT_EQ(Rmc_do_get_words_5(&rmc, nullptr, nullptr, nullptr), RMC_RES_ERR_REC);
        EXPECT_LT(now() - t0, 200u);
        EXPECT_EQ(rmc.n_msg, (int)reply.size());
        settle();
    }
}

TEST_F(RmcTransaction, LongReplyTimeOutRunsInVirtualTime) {
    rmc.reply_timeout_ms = 100000;
    answer({{99000, msg(35)}});
    uint32_t t0 = now();
    EXPECT_EQ(Rmc_do_erase_appl(&rmc), RMC_RES_OK);
    EXPECT_GE(now() - t0, 99000u);
    settle();
    t0 = now();
    EXPECT_EQ(Rmc_do_erase_appl(&rmc), RMC_RES_ERR_REC);
    EXPECT_GE(now() - t0, 100000u);
    EXPECT_LT(now() - t0, 100100u);
    // A changed time-out holds for the next wait.
    rmc.reply_timeout_ms = 1000;
    t0 = now();
    EXPECT_EQ(Rmc_do_erase_appl(&rmc), RMC_RES_ERR_REC);
    EXPECT_LT(now() - t0, 1100u);
}

TEST_F(RmcTransaction, DeadlinesSurviveTheTickCountWrap) {
    LinkPairCfg cfg = LinkPair_default_cfg();
    cfg.t_start = 0xFFFFFFFFu - 300;
    restart(384, &cfg);
    rmc.reply_timeout_ms = 1000;
    answer({{600, msg(8)}});
    EXPECT_EQ(Rmc_do_start_appl(&rmc), RMC_RES_OK);
    EXPECT_LT(now(), 0x10000u) << "the clock wrapped meanwhile";
    uint32_t t0 = now();
    EXPECT_EQ(Rmc_do_start_appl(&rmc), RMC_RES_ERR_REC);
    EXPECT_GE(now() - t0, 1000u);
}

TEST_F(RmcTransaction, ARequestTheLinkGaveUpEndsAsRecErrorAfterTheReplyTimeOut) {
    LinkPair_add_rule(lp, 0, -1, LINKWIRE_DROP, 0); // nothing reaches the slave
    rmc.reply_timeout_ms = 3000;
    uint32_t t0 = now();
    EXPECT_EQ(Rmc_do_exec_64(&rmc), RMC_RES_ERR_REC);
    EXPECT_EQ(Co3964_ob_get_state(LinkPair_get_co(lp, 0)), 1);
    // Six start requests of 2000 ms each, then the full reply wait.
    EXPECT_GE(now() - t0, 6 * 2000u + 3000u);
    EXPECT_TRUE(requests.empty());
    EXPECT_EQ(lines, std::vector<std::string>{result_line(9, "RMC_RES_ERR_REC     ")});
}

TEST_F(RmcTransaction, APendingRequestRefusesTheHandOver) {
    LinkPair_add_rule(lp, 0, -1, LINKWIRE_DROP, 0);
    const uint8_t other[1] = {64};
    ASSERT_EQ(Co3964_ob_set_msg(LinkPair_get_co(lp, 0), 1, other), 2);
    EXPECT_EQ(Rmc_do_exec_65(&rmc), RMC_RES_ERR_SEND);
    EXPECT_EQ(lines,
              (std::vector<std::string>{"error-src/rmc/rmc.cpp-send_message: unexpected result 1\n",
                                        result_line(8, "RMC_RES_ERR_SEND    ")}));
}

TEST_F(RmcTransaction, ARequestLongerThanTheLinksBufferRefusesTheHandOver) {
    restart(600);
    Bytes data = ramp(380);
    EXPECT_EQ(Rmc_do_write_flash(&rmc, 0x80000, data.data(), 380), RMC_RES_ERR_SEND);
    EXPECT_EQ(lines,
              (std::vector<std::string>{"error-src/rmc/rmc.cpp-send_message: unexpected result 3\n",
                                        result_line(8, "RMC_RES_ERR_SEND    ")}));
    // One byte less fits the link exactly.
    lines.clear();
    answer(msg(37, {0x80000, 375}));
    EXPECT_EQ(Rmc_do_write_flash(&rmc, 0x80000, data.data(), 375), RMC_RES_OK);
    EXPECT_EQ(requests.back().size(), 384u);
}

TEST_F(RmcTransaction, ARequestThatDoesNotLeaveInTimeIsASendError) {
    rmc.send_timeout_ms = 0;
    EXPECT_EQ(Rmc_do_exec_64(&rmc), RMC_RES_ERR_SEND);
    EXPECT_EQ(lines, std::vector<std::string>{result_line(8, "RMC_RES_ERR_SEND    ")});
}

TEST_F(RmcTransaction, SignatureOfSixteenIsCheckedAndSeventeenRefused) {
    build_message(&rmc, 4, 0x50, 0x11111111u, 0x22222222u, 0x33333333u, 0x44444444u);
    Bytes good = msg(0x50, {0x11111111, 0x22222222, 0x33333333, 0x44444444});
    Bytes bad_16th = good;
    bad_16th[15] ^= 1;
    answer({{0, bad_16th}, {10, good}});
    EXPECT_EQ(send_and_receive(&rmc, 16, 17), RMC_RES_OK);
    EXPECT_EQ(rmc.n_msg, 17);
    settle();
    requests.clear();

    build_message(&rmc, 4, 0x50, 0u, 0u, 0u, 0u);
    EXPECT_EQ(send_and_receive(&rmc, 17, 17), RMC_RES_ERR_ELSE);
    EXPECT_EQ(send_and_receive(&rmc, -1, 17), RMC_RES_ERR_ELSE);
    EXPECT_EQ(send_and_receive(nullptr, 1, 1), RMC_RES_ERR_ELSE);
    settle();
    EXPECT_TRUE(requests.empty());
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "error-src/rmc/rmc.cpp-send_and_receive: n_signa > N_SIGNA\n",
                         "error-src/rmc/rmc.cpp-send_and_receive: n_signa < 0\n",
                         "error-src/rmc/rmc.cpp-send_and_receive: p == NULL\n"}));
}

TEST_F(RmcTransaction, ReplyLongerThanTheBufferIsARecErrorAtOnce) {
    restart(16);
    answer(msg(5, {1, 2, 3, 4}));
    uint32_t t0 = now();
    EXPECT_EQ(Rmc_do_get_words_5(&rmc, nullptr, nullptr, nullptr), RMC_RES_ERR_REC);
    EXPECT_LT(now() - t0, 200u);
    EXPECT_EQ(buf[16], 0xA5);
}

} // namespace

// --- a device that sends back to back ---

// A raw device on side 1 that answers the master's bytes as they leave the
// master, with no gap: the byte with index i (counted from the test's start)
// makes the device send on_byte[i] at once. So a start request can reach the
// master while the poll that took the previous frame is still running, as on a
// loaded host whose process was descheduled after its final DLE.
struct BackToBack : ::testing::Test {
    LinkPair* lp = nullptr;
    Rmc rmc{};
    std::vector<uint8_t> buf = std::vector<uint8_t>(384);
    std::vector<int32_t> from_master;
    std::vector<Bytes> on_byte;

    void SetUp() override {
        LinkPairCfg cfg = LinkPair_default_cfg();
        cfg.side[1].is_raw = 1;
        lp = LinkPair_alloc(&cfg);
        ASSERT_EQ(Rmc_init_as_master(&rmc, 384, buf.data(), LinkPair_get_co(lp, 0)), &rmc);
        LinkPair_install_csp(lp, 0);
        LinkPair_set_wire(lp, 0, wire, this);
        rmc.reply_timeout_ms = 1000;
    }
    void TearDown() override { LinkPair_free(lp); }

    static int32_t wire(void* p_user, LinkPair* p, int, int32_t, int32_t value) {
        auto* t = static_cast<BackToBack*>(p_user);
        size_t i = t->from_master.size();
        t->from_master.push_back(value);
        if (i < t->on_byte.size())
            for (uint8_t b : t->on_byte[i])
                LinkPair_put(p, 1, b);
        return value;
    }
    // A message as a sender puts it on the line after the partner's DLE.
    static Bytes frame(const Bytes& m) {
        Bytes out;
        uint8_t bcc = CO3964_DLE ^ CO3964_ETX;
        for (uint8_t b : m) {
            out.push_back(b);
            if (b == CO3964_DLE) out.push_back(b);
            else bcc ^= b;
        }
        out.insert(out.end(), {CO3964_DLE, CO3964_ETX, bcc});
        return out;
    }
    static Bytes cat(Bytes a, const Bytes& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    }
    int n_naks() const {
        return static_cast<int>(std::count(from_master.begin(), from_master.end(), CO3964_NAK));
    }
};

const Bytes kStx{CO3964_STX};
const Bytes kDle{CO3964_DLE};

TEST_F(BackToBack, StaleMessageRightBeforeTheReplyDoesNotHoldTheReplyUp) {
    // Master: STX, 07 DLE ETX BCC (the activation); then DLE for each start
    // request and each frame of the device.
    const Bytes stale = msg(18, {0x400000}), reply = msg(7);
    on_byte = {kDle, {}, {}, {}, cat(kDle, kStx),  // request in, stale message starts
               frame(stale), kStx,                 // its final DLE: the reply starts at once
               frame(reply)};
    const uint32_t t0 = LinkPair_get_t_now(lp);
    EXPECT_EQ(Rmc_do_activate_bootloader(&rmc), RMC_RES_OK);
    EXPECT_LT(LinkPair_get_t_now(lp) - t0, 50u);
    EXPECT_EQ(n_naks(), 0);
    EXPECT_EQ(from_master.size(), 9u); // the last one is the reply's final DLE
    EXPECT_EQ(from_master.back(), CO3964_DLE);
}

TEST_F(BackToBack, MessagesArrivingWhileTheRequestWaitsAreDropped) {
    // Two stale messages back to back before the master's request got out; the
    // master receives first (a received byte goes before a send), then sends.
    const Bytes stale_a = msg(37, {0x80000, 1}), stale_b = msg(36), reply = msg(8);
    on_byte = {frame(stale_a), kStx, frame(stale_b), {}, // stale B's final DLE
               kDle, {}, {}, {}, cat(kDle, kStx), frame(reply)};
    LinkPair_put(lp, 1, CO3964_STX);
    const uint32_t t0 = LinkPair_get_t_now(lp);
    EXPECT_EQ(Rmc_do_start_appl(&rmc), RMC_RES_OK);
    EXPECT_LT(LinkPair_get_t_now(lp) - t0, 50u);
    EXPECT_EQ(n_naks(), 0);
    EXPECT_EQ(rmc.n_msg, 1);
    EXPECT_EQ(buf[0], 8);
}

TEST_F(BackToBack, ASlotNobodyEmptiesStillRefusesTheStartRequestAfter2000ms) {
    // Nobody takes the first message: the next start request waits for the
    // slot, polls leave with it waiting, and after 2000 ms it is refused.
    Co3964* co = LinkPair_get_co(lp, 0);
    on_byte = {frame(msg(7)), kStx};
    LinkPair_put(lp, 1, CO3964_STX);
    EXPECT_EQ(LinkPair_pump(lp, 0), 1);
    EXPECT_EQ(co->state, CO3964_ST_RX_BUSY);
    const uint32_t t0 = LinkPair_get_t_now(lp);
    while (n_naks() == 0 && LinkPair_get_t_now(lp) - t0 < 5000) {
        EXPECT_EQ(LinkPair_pump(lp, 0), 1);
        LinkPair_advance_ms(lp, 1);
    }
    EXPECT_EQ(n_naks(), 1);
    EXPECT_GE(LinkPair_get_t_now(lp) - t0, 2000u);
    EXPECT_LE(LinkPair_get_t_now(lp) - t0, 2002u);
    EXPECT_EQ(Co3964_ib_get_n_msg(co), 1);
}

TEST_F(BackToBack, AReplyOnThePortWhenTheDeadlinePassedIsTaken) {
    // The host is held off for 50 ms in its pause between two polls; meanwhile the reply's
    // start request arrives and the reply deadline (10 ms) passes. One last poll takes it.
    rmc.reply_timeout_ms = 10;
    Csp_set_sleep_hook(
        [](void* p_lp, int) {
            LinkPair_advance_ms(static_cast<LinkPair*>(p_lp), 50);
            return 1;
        },
        lp);
    on_byte = {kDle, {}, {}, {}, kDle, frame(msg(7))}; // the request's final DLE, then the reply
    struct Late {
        static int32_t wire(void* p_user, LinkPair* p, int i_dir, int32_t i_byte, int32_t value) {
            const bool is_bcc = static_cast<BackToBack*>(p_user)->from_master.size() == 4;
            int32_t out = BackToBack::wire(p_user, p, i_dir, i_byte, value);
            if (is_bcc) LinkPair_inject(p, 0, CO3964_STX, 20); // behind the final DLE
            return out;
        }
    };
    LinkPair_set_wire(lp, 0, Late::wire, this);
    EXPECT_EQ(Rmc_do_activate_bootloader(&rmc), RMC_RES_OK);
    EXPECT_EQ(n_naks(), 0);
    Csp_set_sleep_hook(nullptr, nullptr);
}
