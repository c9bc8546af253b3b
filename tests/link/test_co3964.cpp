// 3964R link procedure: line bytes, reception, time-outs, repetitions,
// initiation conflicts, the slots and bad arguments, over the link-pair kit.
#include "co3964.h"
#include "con.h"
#include "linkpair.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<int32_t>;

// Cases print as their names in test listings.
template <class Case>
auto operator<<(std::ostream& os, const Case& c) -> decltype(c.name, os) {
    return os << c.name;
}

constexpr int32_t STX = CO3964_STX, ETX = CO3964_ETX, DLE = CO3964_DLE, NAK = CO3964_NAK;

Bytes cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes repeat(const Bytes& b, int n) {
    Bytes r;
    for (int i = 0; i < n; i++) r = cat(r, b);
    return r;
}

// A link on side 0 played against a raw end on side 1, which the test drives.
struct Co3964Raw : ::testing::Test {
    LinkPair* lp = nullptr;
    Co3964* co = nullptr;

    void make(LinkPairSideCfg side0) {
        LinkPairCfg cfg = LinkPair_default_cfg();
        cfg.side[0] = side0;
        cfg.side[1].is_raw = 1;
        cfg.t_start = 0xFFFFF000u; // every test also crosses the wrap of the clock
        lp = LinkPair_alloc(&cfg);
        co = LinkPair_get_co(lp, 0);
    }
    void SetUp() override { make(LinkPair_default_cfg().side[0]); }
    void TearDown() override { LinkPair_free(lp); }

    Bytes sent() const {
        const int32_t* b = LinkPair_get_p_sent(lp, 0);
        return Bytes(b, b + LinkPair_get_n_sent(lp, 0));
    }
    Bytes take_sent() {
        Bytes b = sent();
        LinkPair_clear_sent(lp, 0);
        return b;
    }
    void put(const Bytes& b) {
        for (int32_t v : b) LinkPair_put(lp, 1, v);
    }
    int set_msg(const std::string& s) {
        return Co3964_ob_set_msg(co, static_cast<int32_t>(s.size()),
                                 reinterpret_cast<const uint8_t*>(s.data()));
    }
    std::string slot() const {
        if (co->ib_n_msg < 0) return "<empty>";
        return std::string(reinterpret_cast<const char*>(co->ib_p_msg), co->ib_n_msg);
    }
    // Lets the peer's bytes in and runs the link until it is idle.
    void run_idle(int32_t max_ms = 100000) {
        ASSERT_EQ(LinkPair_run_until(
                      lp,
                      [](void*, LinkPair* p) -> int {
                          return LinkPair_get_n_queued(p, 0) == 0 &&
                                 LinkPair_get_co(p, 0)->state == CO3964_ST_IDLE &&
                                 LinkPair_get_co(p, 0)->ob_state != 2;
                      },
                      nullptr, max_ms),
                  1);
    }
    // The peer opens a frame and the link accepts it with DLE.
    void open_frame() {
        put({STX});
        ASSERT_EQ(LinkPair_pump(lp, 0), 0);
        ASSERT_EQ(take_sent(), Bytes{DLE});
    }
};

// --- line bytes of a send ---

struct FrameCase {
    const char* name;
    std::string msg;
    int32_t with_bcc;
    Bytes line; // after the partner's DLE
};

const FrameCase kFrames[] = {
    {"abc", "abc", 1, {0x61, 0x62, 0x63, DLE, ETX, 0x73}},
    {"one_dle", "\x10", 1, {DLE, DLE, DLE, ETX, 0x13}},
    {"empty", "", 1, {DLE, ETX, 0x13}},
    {"dle_run_and_stx", std::string("\x10\x10\x02", 3), 1, {DLE, DLE, DLE, DLE, STX, DLE, ETX, 0x11}},
    {"abc_without_bcc", "abc", 0, {0x61, 0x62, 0x63, DLE, ETX}},
};

struct SendFrame : Co3964Raw, ::testing::WithParamInterface<std::tuple<FrameCase, int>> {};

TEST_P(SendFrame, GoesOutExactlyAndIsDeliveredByTheFinalDle) {
    const auto& [c, with_dle] = GetParam();
    LinkPairSideCfg side = LinkPair_default_cfg().side[0];
    side.with_bcc = c.with_bcc;
    side.with_send_with_dle = with_dle;
    LinkPair_free(lp);
    make(side);

    EXPECT_EQ(set_msg(c.msg), 2);
    EXPECT_EQ(LinkPair_pump(lp, 0), 0);
    EXPECT_EQ(take_sent(), Bytes{STX});
    put({DLE});
    EXPECT_EQ(LinkPair_pump(lp, 0), 0); // waits for the final DLE
    EXPECT_EQ(take_sent(), c.line);
    EXPECT_EQ(Co3964_ob_get_state(co), 2);
    put({DLE});
    EXPECT_EQ(LinkPair_pump(lp, 0), 1);
    EXPECT_EQ(Co3964_ob_get_state(co), 0);
    EXPECT_EQ(take_sent(), Bytes{});
    EXPECT_EQ(LinkPair_get_n_send_with_dle(lp, 0), with_dle);
}

INSTANTIATE_TEST_SUITE_P(Co3964, SendFrame,
                         ::testing::Combine(::testing::ValuesIn(kFrames), ::testing::Values(0, 1)),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).name) +
                                    (std::get<1>(info.param) ? "_send_with_dle" : "_bytewise");
                         });

// --- reception ---

struct RxCase {
    const char* name;
    int32_t with_bcc;
    Bytes frame;        // after STX and the link's DLE
    int32_t answer;     // DLE or NAK
    std::string stored; // slot afterwards
};

const RxCase kRx[] = {
    {"abc", 1, {'a', 'b', 'c', DLE, ETX, 0x73}, DLE, "abc"},
    {"wrong_bcc", 1, {'a', 'b', 'c', DLE, ETX, 0x74}, NAK, "<empty>"},
    {"doubled_dle_stored_once", 1, {DLE, DLE, DLE, ETX, 0x13}, DLE, "\x10"},
    {"empty", 1, {DLE, ETX, 0x13}, DLE, ""},
    // DLE before a byte other than DLE or ETX: read to the end, then refused
    // (the BCC is right for the stored "ab").
    {"dle_then_other", 1, {'a', DLE, 'x', 'b', DLE, ETX, 'a' ^ 'b' ^ 0x13}, NAK, "<empty>"},
    {"data_above_255", 1, {'a', 0x100, 'b', DLE, ETX, 'a' ^ 'b' ^ 0x13}, NAK, "<empty>"},
    {"after_dle_above_255", 1, {'a', DLE, 0x110, 'b', DLE, ETX, 'a' ^ 'b' ^ 0x13}, NAK, "<empty>"},
    {"bcc_above_255", 1, {'a', DLE, ETX, 0x100 | ('a' ^ 0x13)}, NAK, "<empty>"},
    {"without_bcc", 0, {'a', 'b', 'c', DLE, ETX}, DLE, "abc"},
};

struct Receive : Co3964Raw, ::testing::WithParamInterface<RxCase> {};

TEST_P(Receive, FrameIsAnsweredAndStored) {
    const RxCase& c = GetParam();
    LinkPairSideCfg side = LinkPair_default_cfg().side[0];
    side.with_bcc = c.with_bcc;
    LinkPair_free(lp);
    make(side);

    open_frame();
    put(c.frame);
    run_idle();
    EXPECT_EQ(take_sent(), Bytes{c.answer});
    EXPECT_EQ(slot(), c.stored);
}

INSTANTIATE_TEST_SUITE_P(Co3964, Receive, ::testing::ValuesIn(kRx),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Co3964Raw, FrameLongerThanTheBufferDropsTheExcessAndChecksTheStoredBytes) {
    // Point the inbound slot at 8 bytes of a larger guarded area.
    uint8_t area[16];
    memset(area, 0xEE, sizeof area);
    co->ib_p_msg = area;
    co->ib_m_msg = 8;
    const std::string msg = "0123456789ABCDEFGHIJ";
    int32_t bcc_stored = 0x13;
    for (int i = 0; i < 8; i++) bcc_stored ^= msg[i];

    open_frame();
    for (char ch : msg) LinkPair_put(lp, 1, ch);
    put({DLE, ETX, bcc_stored});
    run_idle();
    EXPECT_EQ(take_sent(), Bytes{DLE});
    EXPECT_EQ(slot(), "01234567");
    for (int i = 8; i < 16; i++) EXPECT_EQ(area[i], 0xEE) << i;

    // The BCC of the whole frame does not match what was kept.
    int32_t bcc_all = 0x13;
    for (char ch : msg) bcc_all ^= ch;
    uint8_t out[8];
    EXPECT_EQ(Co3964_ib_get_msg(co, 8, out), 8);
    open_frame();
    for (char ch : msg) LinkPair_put(lp, 1, ch);
    put({DLE, ETX, bcc_all});
    run_idle();
    EXPECT_EQ(take_sent(), Bytes{NAK});
    EXPECT_EQ(slot(), "<empty>");
}

TEST_F(Co3964Raw, IdleDropsNakAndAnswersOtherBytesWithNak) {
    put({NAK});
    run_idle();
    EXPECT_EQ(take_sent(), Bytes{});
    for (int32_t v : Bytes{DLE, ETX, 'x', 0x1FF}) {
        put({v});
        run_idle();
        EXPECT_EQ(take_sent(), Bytes{NAK}) << v;
    }
}

// A burst of bytes outside a frame gets one NAK, once the line has been quiet for the
// character delay after its last byte; a start request within the burst is served instead.
TEST_F(Co3964Raw, BytesOutsideAFrameGetOneNakWhenTheLineIsQuiet) {
    const uint32_t t0 = LinkPair_get_t_now(lp);
    put({'x', DLE, 'y'});
    LinkPair_inject(lp, 0, 'z', 100);
    run_idle();
    EXPECT_EQ(take_sent(), Bytes{NAK});
    const uint32_t t_nak = LinkPair_get_t_now(lp) - t0;
    EXPECT_GE(t_nak, 100u + 220u);
    EXPECT_LE(t_nak, 100u + 223u);

    put({'x', 'y', STX});
    EXPECT_EQ(LinkPair_pump(lp, 0), 0);
    EXPECT_EQ(take_sent(), Bytes{DLE});
    put({'a', DLE, ETX, 'a' ^ 0x13});
    run_idle();
    EXPECT_EQ(take_sent(), Bytes{DLE});
    EXPECT_EQ(slot(), "a");
}

// --- character delay ---

struct GapCase {
    const char* name;
    int i_gap; // index in the frame of the byte that comes late (the one before it is 150 ms late)
    int32_t t_gap_ms;
    bool accepted;
};

const GapCase kGaps[] = {
    {"data_220", 1, 220, true},  {"data_230", 1, 230, false},
    {"after_dle_220", 4, 220, true}, {"after_dle_230", 4, 230, false},
    {"bcc_220", 5, 220, true},   {"bcc_230", 5, 230, false},
};

struct Gap : Co3964Raw, ::testing::WithParamInterface<GapCase> {};

TEST_P(Gap, MoreThanTheCharacterDelayRefusesTheFrame) {
    const GapCase& c = GetParam();
    open_frame();
    // Each byte starts the delay afresh: the byte before the late one is late too.
    const int32_t i0 = LinkPair_get_n_wire(lp, 1);
    LinkPair_add_rule(lp, 1, i0 + c.i_gap - 1, LINKWIRE_DELAY, 150);
    LinkPair_add_rule(lp, 1, i0 + c.i_gap, LINKWIRE_DELAY, 150 + c.t_gap_ms);
    put({'a', 'b', 'c', DLE, ETX, 0x73});
    run_idle();
    if (c.accepted) {
        EXPECT_EQ(take_sent(), Bytes{DLE});
        EXPECT_EQ(slot(), "abc");
    } else {
        // NAK for the refused frame; the late bytes that follow are outside a
        // frame and get one more NAK once the line is quiet.
        EXPECT_EQ(take_sent(), (Bytes{NAK, NAK}));
        EXPECT_EQ(slot(), "<empty>");
    }
}

INSTANTIATE_TEST_SUITE_P(Co3964, Gap, ::testing::ValuesIn(kGaps),
                         [](const auto& info) { return std::string(info.param.name); });

// --- start requests and block repetitions ---

// A raw end that answers each STX of the link with `ack` (none when < 0) and
// each completed block with `final` (none when < 0).
struct Answerer {
    int32_t ack;
    int32_t final;
    size_t n_seen = 0;
};

void answer(void* p_user, LinkPair* p, int) {
    auto* a = static_cast<Answerer*>(p_user);
    const int32_t* s = LinkPair_get_p_sent(p, 0);
    const size_t n = static_cast<size_t>(LinkPair_get_n_sent(p, 0));
    for (; a->n_seen < n; a->n_seen++) {
        const size_t i = a->n_seen;
        if (s[i] == STX && a->ack >= 0) LinkPair_put(p, 1, a->ack);
        // "DLE ETX x" ends a block with BCC (no data here holds DLE ETX).
        if (i >= 2 && s[i - 2] == DLE && s[i - 1] == ETX && a->final >= 0)
            LinkPair_put(p, 1, a->final);
    }
}

struct StxCase {
    const char* name;
    int32_t ack;
    int32_t without_wait_hook;
};

const StxCase kStx[] = {
    {"silence", -1, 0},
    {"silence_without_wait_hook", -1, 1},
    {"answered_with_nak", NAK, 0},
    {"answered_with_other_byte", 'x', 0},
};

struct StartRequests : Co3964Raw, ::testing::WithParamInterface<StxCase> {};

TEST_P(StartRequests, SixStxThenFailedAndOneNak) {
    const StxCase& c = GetParam();
    LinkPairSideCfg side = LinkPair_default_cfg().side[0];
    side.without_wait_hook = c.without_wait_hook;
    LinkPair_free(lp);
    make(side);
    Answerer a{c.ack, -1};
    LinkPair_set_peer(lp, answer, &a);

    const uint32_t t0 = LinkPair_get_t_now(lp);
    ASSERT_EQ(set_msg("abc"), 2);
    if (c.without_wait_hook) {
        EXPECT_EQ(Co3964_poll(co), 1);
    } else {
        run_idle();
    }
    EXPECT_EQ(Co3964_ob_get_state(co), 1);
    EXPECT_EQ(sent(), cat(repeat({STX}, 6), {NAK}));
    if (c.ack < 0) {
        EXPECT_GE(LinkPair_get_t_now(lp) - t0, 6u * 2000u);
    }
}

INSTANTIATE_TEST_SUITE_P(Co3964, StartRequests, ::testing::ValuesIn(kStx),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Co3964Raw, AcknowledgementDelayIs2000ms) {
    ASSERT_EQ(set_msg("abc"), 2);
    EXPECT_EQ(LinkPair_pump(lp, 0), 0);
    LinkPair_advance_ms(lp, 2000);
    EXPECT_EQ(LinkPair_pump(lp, 0), 0);
    EXPECT_EQ(take_sent(), Bytes{STX});
    LinkPair_advance_ms(lp, 1);
    EXPECT_EQ(LinkPair_pump(lp, 0), 0);
    EXPECT_EQ(take_sent(), Bytes{STX});
}

const Bytes kAbcBlock = {STX, 'a', 'b', 'c', DLE, ETX, 0x73};

struct FinalCase {
    const char* name;
    int32_t final;
};

const FinalCase kFinals[] = {{"lost", -1}, {"nak", NAK}, {"other_byte", 'x'}};

struct FinalDle : Co3964Raw, ::testing::WithParamInterface<FinalCase> {};

TEST_P(FinalDle, MissingRepeatsTheWholeBlockSixTimesAtMost) {
    Answerer a{DLE, GetParam().final};
    LinkPair_set_peer(lp, answer, &a);
    ASSERT_EQ(set_msg("abc"), 2);
    run_idle();
    EXPECT_EQ(Co3964_ob_get_state(co), 1);
    EXPECT_EQ(sent(), cat(repeat(kAbcBlock, 6), {NAK}));
}

INSTANTIATE_TEST_SUITE_P(Co3964, FinalDle, ::testing::ValuesIn(kFinals),
                         [](const auto& info) { return std::string(info.param.name); });

// The partner breaks into a block: NAK, and the block starts again with STX.
struct BreakIn : Co3964Raw, ::testing::WithParamInterface<int> {};

int32_t break_in_after_b(void*, LinkPair* p, int, int32_t i_byte, int32_t value) {
    if (i_byte == 2) LinkPair_inject(p, 0, 'z', 0); // 'b' of the first block
    return value;
}

TEST_P(BreakIn, FailedBlockSendIsAnsweredWithNakAndRepeated) {
    const int with_dle = GetParam();
    LinkPairSideCfg side = LinkPair_default_cfg().side[0];
    side.with_send_with_dle = with_dle;
    LinkPair_free(lp);
    make(side);
    Answerer a{DLE, DLE};
    LinkPair_set_peer(lp, answer, &a);
    if (with_dle) LinkPair_fail_send_with_dle(lp, 0, 1, NAK);
    else LinkPair_set_wire(lp, 0, break_in_after_b, nullptr);

    ASSERT_EQ(set_msg("abc"), 2);
    run_idle();
    EXPECT_EQ(Co3964_ob_get_state(co), 0);
    const Bytes first = with_dle ? Bytes{STX, NAK} : Bytes{STX, 'a', 'b', NAK};
    EXPECT_EQ(sent(), cat(first, kAbcBlock));
    EXPECT_EQ(co->n_tx_try, 2);
}

INSTANTIATE_TEST_SUITE_P(Co3964, BreakIn, ::testing::Values(0, 1), [](const auto& info) {
    return std::string(info.param ? "send_with_dle_fails" : "bytewise_break_in");
});

// --- initiation conflict ---

TEST_F(Co3964Raw, HighPriorityIgnoresThePartnersStxAndWaitsAFresh2000ms) {
    ASSERT_EQ(set_msg("abc"), 2);
    EXPECT_EQ(LinkPair_pump(lp, 0), 0);
    LinkPair_advance_ms(lp, 1500);
    put({STX});
    EXPECT_EQ(LinkPair_pump(lp, 0), 0);
    LinkPair_advance_ms(lp, 2000);
    EXPECT_EQ(LinkPair_pump(lp, 0), 0);
    EXPECT_EQ(take_sent(), Bytes{STX});
    LinkPair_advance_ms(lp, 1);
    EXPECT_EQ(LinkPair_pump(lp, 0), 0);
    EXPECT_EQ(take_sent(), Bytes{STX});
    EXPECT_EQ(co->n_connect_try, 2);
}

// A put-off send whose partner frame meets a full slot starts later from the
// idle state; after it, a reception must not send the message once more.
TEST_F(Co3964Raw, PutOffSendStartedFromIdleIsNotRepeatedAfterTheNextReception) {
    LinkPairSideCfg side = LinkPair_default_cfg().side[1]; // low priority
    LinkPair_free(lp);
    make(side);
    open_frame();
    put({'a', DLE, ETX, 'a' ^ 0x13});
    run_idle();
    ASSERT_EQ(take_sent(), Bytes{DLE}); // the slot stays full

    ASSERT_EQ(set_msg("abc"), 2);
    EXPECT_EQ(LinkPair_pump(lp, 0), 0);
    put({STX}); // conflict: put off, but the slot is full
    EXPECT_EQ(LinkPair_pump(lp, 0), 1); // the poll leaves with the request waiting
    EXPECT_EQ(co->state, CO3964_ST_RX_BUSY);
    LinkPair_advance_ms(lp, 2001);
    EXPECT_EQ(LinkPair_pump(lp, 0), 0); // NAK, then the own send from idle
    EXPECT_EQ(take_sent(), (Bytes{STX, NAK, STX}));
    put({DLE});
    EXPECT_EQ(LinkPair_pump(lp, 0), 0);
    put({DLE});
    EXPECT_EQ(LinkPair_pump(lp, 0), 1);
    EXPECT_EQ(Co3964_ob_get_state(co), 0);
    take_sent();

    uint8_t out[4];
    EXPECT_EQ(Co3964_ib_get_msg(co, 4, out), 1);
    open_frame();
    put({'b', DLE, ETX, 'b' ^ 0x13});
    EXPECT_EQ(LinkPair_pump(lp, 0), 1);
    EXPECT_EQ(take_sent(), Bytes{DLE});
    EXPECT_EQ(slot(), "b");
}

TEST_F(Co3964Raw, LowPriorityReceivesFirstThenSendsInTheSamePoll) {
    LinkPairSideCfg side = LinkPair_default_cfg().side[1]; // low priority
    LinkPair_free(lp);
    make(side);
    ASSERT_EQ(set_msg("abc"), 2);
    EXPECT_EQ(LinkPair_pump(lp, 0), 0);
    put({DLE});
    EXPECT_EQ(LinkPair_pump(lp, 0), 0);
    put({NAK}); // first block refused: the second attempt starts
    EXPECT_EQ(LinkPair_pump(lp, 0), 0);
    EXPECT_EQ(take_sent(), cat(kAbcBlock, {STX}));
    EXPECT_EQ(co->n_tx_try, 2);
    put({STX});
    EXPECT_EQ(LinkPair_pump(lp, 0), 0);
    EXPECT_EQ(take_sent(), Bytes{DLE});
    EXPECT_EQ(co->tx_pending, 1);
    put({'x', 'y', DLE, ETX, 'x' ^ 'y' ^ 0x13});
    EXPECT_EQ(LinkPair_pump(lp, 0), 0);
    EXPECT_EQ(take_sent(), (Bytes{DLE, STX}));
    EXPECT_EQ(slot(), "xy");
    EXPECT_EQ(co->tx_pending, 0);
    EXPECT_EQ(co->n_tx_try, 2); // the conflict did not count, nor restart the count
}

// Two links that start at the same moment: each sees the other's STX while
// waiting for DLE. The low side (1) gives way, receives, and then sends its
// own message within the one Co3964_poll call.
TEST(Co3964Pair, InitiationConflictIsResolvedByPriority) {
    LinkPairCfg cfg = LinkPair_default_cfg();
    cfg.t_latency_ms[0] = cfg.t_latency_ms[1] = 5;
    LinkPair* lp = LinkPair_alloc(&cfg);
    Co3964* hi = LinkPair_get_co(lp, 0);
    Co3964* lo = LinkPair_get_co(lp, 1);
    ASSERT_EQ(Co3964_ob_set_msg(hi, 2, reinterpret_cast<const uint8_t*>("HI")), 2);
    ASSERT_EQ(Co3964_ob_set_msg(lo, 2, reinterpret_cast<const uint8_t*>("lo")), 2);
    EXPECT_EQ(LinkPair_pump(lp, 0), 0); // the high side's STX is on its way
    EXPECT_EQ(Co3964_poll(lo), 1);      // its waits run the high side
    EXPECT_EQ(Co3964_ob_get_state(lo), 0);
    EXPECT_EQ(Co3964_ob_get_state(hi), 0);
    ASSERT_EQ(Co3964_ib_get_n_msg(lo), 2);
    ASSERT_EQ(Co3964_ib_get_n_msg(hi), 2);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(lo->ib_p_msg), 2), "HI");
    EXPECT_EQ(std::string(reinterpret_cast<char*>(hi->ib_p_msg), 2), "lo");
    const int32_t* s = LinkPair_get_p_sent(lp, 1);
    EXPECT_EQ(Bytes(s, s + 3), (Bytes{STX, DLE, DLE})); // own STX, then the receiver's answers
    EXPECT_EQ(hi->n_tx_try, 1);
    EXPECT_EQ(lo->n_tx_try, 1);
    LinkPair_free(lp);
}

// Takes each message as soon as it waits in either side's inbound slot, as the layer above
// does; got[i] holds what side i received, in order.
struct Inbox {
    std::vector<std::string> got[2];
    explicit Inbox(LinkPair* lp) { LinkPair_set_peer(lp, take, this); }
    static void take(void* p_user, LinkPair* p, int) {
        auto* self = static_cast<Inbox*>(p_user);
        for (int i = 0; i < 2; i++) {
            uint8_t buf[384];
            const int32_t n = Co3964_ib_get_msg(LinkPair_get_co(p, i), sizeof buf, buf);
            if (n >= 0) self->got[i].emplace_back(reinterpret_cast<char*>(buf), n);
        }
    }
};

// A lost final DLE between two links: the block comes again and the
// receiver, whose slot was emptied meanwhile, takes it a second time.
TEST(Co3964Pair, LostFinalDleRepeatsTheBlock) {
    LinkPair* lp = LinkPair_alloc(nullptr);
    Inbox inbox(lp);
    const std::vector<std::string>& got = inbox.got[1];
    LinkPair_add_rule(lp, 1, 1, LINKWIRE_DROP, 0); // side 1's final DLE
    ASSERT_EQ(Co3964_ob_set_msg(LinkPair_get_co(lp, 0), 3, reinterpret_cast<const uint8_t*>("abc")),
              2);
    EXPECT_EQ(LinkPair_settle(lp, 10000), 1);
    EXPECT_EQ(Co3964_ob_get_state(LinkPair_get_co(lp, 0)), 0);
    EXPECT_EQ(got, (std::vector<std::string>{"abc", "abc"}));
    const int32_t* s = LinkPair_get_p_sent(lp, 0);
    EXPECT_EQ(Bytes(s, s + LinkPair_get_n_sent(lp, 0)), repeat(kAbcBlock, 2));
    LinkPair_free(lp);
}

// A sender held up in the middle of its block: the receiver refuses the frame after the
// character delay, the rest arrives late and then the repeated start request. The
// repetition gets through: the late bytes cost one NAK, not one each, which would refuse
// every start request of the sender.
TEST(Co3964Pair, AFrameWhoseTailComesLateGetsThroughOnTheRepetition) {
    LinkPair* lp = LinkPair_alloc(nullptr);
    Inbox inbox(lp);
    const std::vector<std::string>& got = inbox.got[1];
    const std::string msg = "a block whose tail is late";
    LinkPair_add_rule(lp, 0, 1 + 5, LINKWIRE_DELAY, 300); // the sender stalls after 5 bytes
    Co3964* co = LinkPair_get_co(lp, 0);
    ASSERT_EQ(Co3964_ob_set_msg(co, (int32_t)msg.size(), reinterpret_cast<const uint8_t*>(msg.data())),
              2);
    EXPECT_EQ(LinkPair_settle(lp, 20000), 1);
    EXPECT_EQ(Co3964_ob_get_state(co), 0);
    EXPECT_EQ(co->n_tx_try, 2);
    EXPECT_EQ(got, std::vector<std::string>{msg});
    const int32_t* s = LinkPair_get_p_sent(lp, 1);
    EXPECT_EQ(Bytes(s, s + LinkPair_get_n_sent(lp, 1)), (Bytes{DLE, NAK, DLE, DLE}));
    LinkPair_free(lp);
}

// Both sides have a message; the high-priority side stalls in the middle of its block, so
// the other side refuses it and starts its own send while the late tail is still coming.
// That tail is no answer to the start request: the start request is repeated once the line
// is quiet, not at each byte, and both messages get through.
TEST(Co3964Pair, AStartRequestMetByTheTailOfALateFrameWaitsForAQuietLine) {
    LinkPair* lp = LinkPair_alloc(nullptr);
    Inbox inbox(lp);
    const auto& got = inbox.got;
    const std::string msg[2] = {"the host's request, held up", "the device's reply"};
    LinkPair_add_rule(lp, 0, 1 + 5, LINKWIRE_DELAY, 300);
    for (int i = 0; i < 2; i++)
        ASSERT_EQ(Co3964_ob_set_msg(LinkPair_get_co(lp, i), (int32_t)msg[i].size(),
                                    reinterpret_cast<const uint8_t*>(msg[i].data())),
                  2);
    EXPECT_EQ(LinkPair_settle(lp, 30000), 1);
    for (int i = 0; i < 2; i++) {
        EXPECT_EQ(Co3964_ob_get_state(LinkPair_get_co(lp, i)), 0) << i;
        EXPECT_EQ(got[1 - i], std::vector<std::string>{msg[i]}) << i;
    }
    LinkPair_free(lp);
}

// The partner answers the start request with bytes that are no answer: the start request is
// repeated 220 ms after the last of them. A NAK is an answer: repeated at once.
TEST_F(Co3964Raw, StartRequestIsRepeatedWhenTheLineIsQuietAfterOtherBytes) {
    ASSERT_EQ(set_msg("abc"), 2);
    EXPECT_EQ(LinkPair_pump(lp, 0), 0);
    EXPECT_EQ(take_sent(), Bytes{STX});
    const uint32_t t0 = LinkPair_get_t_now(lp);
    put({'x', 'y'});
    LinkPair_inject(lp, 0, 'z', 50);
    ASSERT_EQ(LinkPair_run_until(
                  lp, [](void*, LinkPair* p) -> int { return LinkPair_get_n_sent(p, 0) > 0; },
                  nullptr, 5000),
              1);
    EXPECT_EQ(take_sent(), Bytes{STX});
    const uint32_t t_stx = LinkPair_get_t_now(lp) - t0;
    EXPECT_GE(t_stx, 50u + 220u);
    EXPECT_LE(t_stx, 50u + 223u);
    EXPECT_EQ(co->n_connect_try, 2);

    put({NAK});
    EXPECT_EQ(LinkPair_pump(lp, 0), 0);
    EXPECT_EQ(take_sent(), Bytes{STX});
    EXPECT_EQ(LinkPair_get_t_now(lp) - t0, t_stx);
    EXPECT_EQ(co->n_connect_try, 3);
}

// --- the inbound slot ---

struct BusyCase {
    const char* name;
    int32_t t_take_ms; // when the slot is emptied; -1 never
    int32_t answer;
};

const BusyCase kBusy[] = {{"stays_full", -1, NAK}, {"emptied_in_time", 1999, DLE}};

struct BusySlot : Co3964Raw, ::testing::WithParamInterface<BusyCase> {};

TEST_P(BusySlot, StartRequestWaitsUpTo2000msForTheSlot) {
    const BusyCase& c = GetParam();
    open_frame();
    put({'a', DLE, ETX, 'a' ^ 0x13});
    run_idle();
    ASSERT_EQ(take_sent(), Bytes{DLE});

    put({STX});
    // The poll leaves with the request waiting, so that its caller can empty the
    // slot; each later poll finds it still waiting until the deadline.
    EXPECT_EQ(LinkPair_pump(lp, 0), 1);
    EXPECT_EQ(co->state, CO3964_ST_RX_BUSY);
    EXPECT_EQ(take_sent(), Bytes{});
    LinkPair_advance_ms(lp, 1000);
    EXPECT_EQ(LinkPair_pump(lp, 0), 1);
    if (c.t_take_ms >= 0) {
        LinkPair_advance_ms(lp, c.t_take_ms - 1000);
        uint8_t out[4];
        EXPECT_EQ(Co3964_ib_get_msg(co, 4, out), 1);
    } else {
        LinkPair_advance_ms(lp, 1000);
    }
    // Answered at once when emptied (then it waits for data); still waiting at 2000 ms.
    EXPECT_EQ(LinkPair_pump(lp, 0), c.t_take_ms >= 0 ? 0 : 1);
    if (c.t_take_ms < 0) {
        EXPECT_EQ(take_sent(), Bytes{});
        LinkPair_advance_ms(lp, 1);
        EXPECT_EQ(LinkPair_pump(lp, 0), 1);
    }
    EXPECT_EQ(take_sent(), Bytes{c.answer});
}

INSTANTIATE_TEST_SUITE_P(Co3964, BusySlot, ::testing::ValuesIn(kBusy),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Co3964Raw, TakingTheMessageCopiesOrDropsIt) {
    uint8_t out[8] = {0};
    EXPECT_EQ(Co3964_ib_get_msg(co, 8, out), -1); // nothing waits
    open_frame();
    put({'a', 'b', 'c', DLE, ETX, 0x73});
    run_idle();
    EXPECT_EQ(take_sent(), Bytes{DLE});
    EXPECT_EQ(Co3964_ib_get_n_msg(co), 3);
    EXPECT_EQ(Co3964_ib_get_msg(co, 2, out), -2);
    EXPECT_EQ(out[0], 0);
    EXPECT_EQ(Co3964_ib_get_n_msg(co), -1);

    open_frame();
    put({'a', 'b', 'c', DLE, ETX, 0x73});
    run_idle();
    EXPECT_EQ(Co3964_ib_get_msg(co, 3, out), 3);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out), 3), "abc");
    EXPECT_EQ(Co3964_ib_get_n_msg(co), -1);
}

TEST_F(Co3964Raw, OutboundSlotResults) {
    EXPECT_EQ(set_msg(std::string(385, 'x')), 3);
    EXPECT_EQ(Co3964_ob_get_state(co), 0);
    EXPECT_EQ(set_msg(std::string(384, 'x')), 2);
    EXPECT_EQ(set_msg("a"), 1); // still pending
    EXPECT_EQ(co->ob_n_msg, 384);
}

// --- frame check hook ---

struct Check {
    int32_t verdict;
    std::string seen;
};

int32_t check(void* p_user, int32_t n, const uint8_t* p_bytes) {
    auto* c = static_cast<Check*>(p_user);
    c->seen.assign(reinterpret_cast<const char*>(p_bytes), n);
    return c->verdict;
}

TEST_F(Co3964Raw, FrameCheckHookDecidesOnFramesWithAGoodBcc) {
    for (int32_t verdict : {1, 0}) {
        Check c{verdict, ""};
        EXPECT_EQ(Co3964_set_ib_check(co, &c, check), 1);
        open_frame();
        put({'a', 'b', 'c', DLE, ETX, 0x73});
        run_idle();
        EXPECT_EQ(c.seen, "abc");
        EXPECT_EQ(take_sent(), Bytes{verdict ? DLE : NAK});
        EXPECT_EQ(slot(), verdict ? "abc" : "<empty>");
        uint8_t out[8];
        Co3964_ib_get_msg(co, sizeof out, out); // empty the slot

        c.seen = "-";
        open_frame();
        put({'a', 'b', 'c', DLE, ETX, 0x74}); // bad BCC: the hook is not asked
        run_idle();
        EXPECT_EQ(c.seen, "-");
        EXPECT_EQ(take_sent(), Bytes{NAK});
    }
    void* p_ctx = nullptr;
    tyCo3964_cb_ib_check cb = nullptr;
    EXPECT_EQ(Co3964_get_ib_check(co, &p_ctx, nullptr), 1);
    EXPECT_EQ(Co3964_get_ib_check(co, nullptr, &cb), 1);
    EXPECT_EQ(cb, &check);
    EXPECT_NE(p_ctx, nullptr);
    EXPECT_EQ(Co3964_get_cb_ib_check(co), &check);
}

// --- initialisation and bad arguments ---

struct Co3964Log : ::testing::Test {
    std::vector<std::string> lines;
    void SetUp() override {
        Con_set_cb_output(
            [](void* p, const char* text) {
                static_cast<std::vector<std::string>*>(p)->emplace_back(text);
                return 0;
            },
            &lines);
    }
    void TearDown() override { Con_set_cb_output(nullptr, nullptr); }
};

int32_t t_now(void*) { return 0; }
int32_t plus(void*, int32_t t, int32_t ms) { return t + ms; }
int32_t rx(void*) { return -1; }
int32_t tx(void*, int32_t) { return 0; }

TEST_F(Co3964Log, InitLogsEveryMissingItemInOrderAndFillsTheRecord) {
    Co3964 co;
    memset(&co, 0x5A, sizeof co);
    int check_ctx = 0;
    EXPECT_EQ(Co3964_init_ex(&co, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                             nullptr, &check_ctx, check, 10, nullptr, 20, nullptr, 1, 1),
              nullptr);
    const std::string f = "error-src/link/co3964.cpp-Co3964_init_ex: ";
    EXPECT_EQ(lines, (std::vector<std::string>{
                         f + "p -> cb_time_get_t_now = cb_time_get_t_now)\n",
                         f + "p -> cb_time_plus_ms = cb_time_plus_ms)\n",
                         f + "p -> cb_uart_receive_byte_nw = cb_uart_receive_byte_nw)\n",
                         f + "p -> cb_uart_send_byte = cb_uart_send_byte)\n",
                         f + "p -> ob_p_msg = ob_p_msg)\n",
                         f + "p -> ib_p_msg = ib_p_msg)\n",
                     }));
    EXPECT_EQ(co.ib_m_msg, 10);
    EXPECT_EQ(co.ob_m_msg, 20);
    EXPECT_EQ(co.p_ib_check, &check_ctx);
    EXPECT_EQ(co.ib_n_msg, -1);

    lines.clear();
    uint8_t ib[4], ob[4];
    EXPECT_EQ(Co3964_init(&co, nullptr, t_now, plus, nullptr, nullptr, rx, nullptr, nullptr, 4, ib,
                          4, ob, 1, 0),
              nullptr);
    EXPECT_EQ(lines, std::vector<std::string>{f + "p -> cb_uart_send_byte = cb_uart_send_byte)\n"});
}

TEST_F(Co3964Log, InitGivesTheStartingValues) {
    Co3964 co;
    memset(&co, 0x5A, sizeof co);
    uint8_t ib[4], ob[8];
    int ctx = 0;
    ASSERT_EQ(Co3964_init(&co, &ctx, t_now, plus, nullptr, &ctx, rx, tx, nullptr, 4, ib, 8, ob, 1, 0),
              &co);
    EXPECT_TRUE(lines.empty());
    EXPECT_EQ(co.p_ib_check, nullptr);
    EXPECT_EQ(co.cb_ib_check, nullptr);
    EXPECT_EQ(co.ib_p_msg, ib);
    EXPECT_EQ(co.ob_p_msg, ob);
    const int32_t got[] = {co.ob_n_msg,      co.ob_state,       co.ib_n_msg,      co.ib_n_rx,
                           co.state,         co.t_timeout,      co.t_char_delay_ms,
                           co.t_ack_delay_ms, co.t_ib_busy_ms,  co.n_tx_try,      co.n_connect_try,
                           co.m_tx_try,      co.m_connect_try,  co.rx_error,      co.tx_pending,
                           co.with_bcc,      co.is_high_prio,   co.ib_m_msg,      co.ob_m_msg};
    const int32_t want[] = {0, 0, -1, 0, 0, 0, 220, 2000, 2000, 1, 1, 6, 6, 0, 0, 1, 0, 4, 8};
    EXPECT_EQ(std::vector<int32_t>(std::begin(got), std::end(got)),
              std::vector<int32_t>(std::begin(want), std::end(want)));
    EXPECT_EQ(Co3964_poll(&co), 1); // idle and silent: returns at once
}

TEST_F(Co3964Log, NullRecordsGiveNeutralResults) {
    EXPECT_EQ(Co3964_init_ex(nullptr, nullptr, t_now, plus, nullptr, nullptr, rx, tx, nullptr,
                             nullptr, nullptr, 0, nullptr, 0, nullptr, 0, 0),
              nullptr);
    EXPECT_TRUE(lines.empty());
    EXPECT_EQ(Co3964_poll(nullptr), 0);
    EXPECT_EQ(Co3964_ob_get_state(nullptr), 1);
    EXPECT_EQ(Co3964_ib_get_n_msg(nullptr), -1);
    EXPECT_EQ(Co3964_set_ib_check(nullptr, nullptr, check), 0);
    void* p_ctx = &lines;
    EXPECT_EQ(Co3964_get_ib_check(nullptr, &p_ctx, nullptr), 0);
    EXPECT_EQ(p_ctx, &lines);
    EXPECT_EQ(Co3964_get_cb_ib_check(nullptr), nullptr);
}

struct BadArgCase {
    const char* name;
    bool null_p;
    int32_t n;
    bool null_buf;
    const char* text;
};

const BadArgCase kBadArgs[] = {
    {"null_p", true, 1, false, "p == NULL\n"},
    {"negative_n", false, -1, false, "n_msg < 0\n"},
    {"null_buffer", false, 1, true, "p_msg == NULL\n"},
    {"first_failing_test_only", true, -1, true, "p == NULL\n"},
};

struct BadArgs : Co3964Log, ::testing::WithParamInterface<BadArgCase> {};

TEST_P(BadArgs, SlotOperationsLogTheFirstFailedTest) {
    const BadArgCase& c = GetParam();
    LinkPair* lp = LinkPair_alloc(nullptr);
    Co3964* co = c.null_p ? nullptr : LinkPair_get_co(lp, 0);
    uint8_t buf[4] = {1, 2, 3, 4};
    uint8_t* b = c.null_buf ? nullptr : buf;
    EXPECT_EQ(Co3964_ob_set_msg(co, c.n, b), 1);
    EXPECT_EQ(Co3964_ib_get_msg(co, c.n, b), -1);
    EXPECT_EQ(lines, (std::vector<std::string>{
                         std::string("error-src/link/co3964.cpp-Co3964_ob_set_msg: ") + c.text,
                         std::string("error-src/link/co3964.cpp-Co3964_ib_get_msg: ") + c.text}));
    if (!c.null_p) {
        EXPECT_EQ(Co3964_ob_get_state(co), 0);
    }
    LinkPair_free(lp);
}

INSTANTIATE_TEST_SUITE_P(Co3964, BadArgs, ::testing::ValuesIn(kBadArgs),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
