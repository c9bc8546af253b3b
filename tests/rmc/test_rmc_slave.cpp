// RMC slave side: taking requests, building normal and exception replies that
// the master accepts, and the limits of the reply buffer.
#include "rmc_pair.h"

namespace {

// A small device model: memory reads echo addresses, pairs come from the
// item, everything else is an illegal function code.
void device(RmcPair& t) {
    RmcSlave* s = &t.slave;
    switch (s->req[0]) {
    case RMC_FC_READ_MEM: {
        ASSERT_EQ(RmcSlave_reply_begin(s, -1), 1);
        for (uint32_t i = 0; i < RmcSlave_get_arg(s, 1); ++i) {
            const uint8_t b = (uint8_t)(RmcSlave_get_arg(s, 0) + i);
            ASSERT_EQ(RmcSlave_reply_put_bytes(s, &b, 1), 1);
        }
        break;
    }
    case RMC_FC_GET_PAIR_67:
        ASSERT_EQ(RmcSlave_reply_begin(s, -1), 1);
        RmcSlave_reply_put_u32(s, RmcSlave_get_arg(s, 0) * 2);
        RmcSlave_reply_put_u32(s, RmcSlave_get_arg(s, 0) * 3);
        break;
    default:
        EXPECT_EQ(RmcSlave_send_exception(s, RMC_RES_ILL_FC), 2);
        return;
    }
    EXPECT_EQ(RmcSlave_reply_send(s), 2);
}

using RmcSlaveTest = RmcPair;

TEST_F(RmcSlaveTest, RepliesBuiltByTheSlaveAreAcceptedByTheMaster) {
    on_request = device;
    uint8_t bytes[6] = {};
    EXPECT_EQ(Rmc_do_read_mem(&rmc, 0x400010, bytes, 5), RMC_RES_OK);
    EXPECT_EQ(Bytes(bytes, bytes + 6), (Bytes{0x10, 0x11, 0x12, 0x13, 0x14, 0}));
    settle();
    uint32_t w1 = 0, w2 = 0;
    EXPECT_EQ(Rmc_do_get_pair_67(&rmc, 21, &w1, &w2), RMC_RES_OK);
    EXPECT_EQ(w1, 42u);
    EXPECT_EQ(w2, 63u);
    settle();
    EXPECT_EQ(Rmc_do_exec_65(&rmc), RMC_RES_ILL_FC);
    EXPECT_EQ(requests.size(), 3u);
}

TEST(RmcSlave, PollRequestRunsTheLinkAndTakesTheRequest) {
    LinkPair* lp = LinkPair_alloc(nullptr);
    RmcSlave s;
    ASSERT_EQ(RmcSlave_init(&s, LinkPair_get_co(lp, 1)), &s);
    EXPECT_EQ(RmcSlave_poll_request(&s), -1);
    const Bytes req = msg(RMC_FC_JUMP, {0x400000});
    ASSERT_EQ(Co3964_ob_set_msg(LinkPair_get_co(lp, 0), (int)req.size(), req.data()), 2);
    int fc = -1;
    // The host's STX goes out when its link is pumped; the slave's poll does
    // the rest of the frame.
    for (int i = 0; i < 1000 && fc < 0; ++i) {
        LinkPair_pump(lp, 0);
        fc = RmcSlave_poll_request(&s);
        LinkPair_advance_ms(lp, 1);
    }
    EXPECT_EQ(fc, RMC_FC_JUMP);
    EXPECT_EQ(Bytes(s.req, s.req + s.n_req), req);
    EXPECT_EQ(RmcSlave_get_arg(&s, 0), 0x400000u);
    EXPECT_EQ(RmcSlave_get_arg(&s, 1), 0u) << "past the request";
    EXPECT_EQ(RmcSlave_get_arg(&s, -1), 0u);

    // A signature longer than the request is padded with zeros.
    ASSERT_EQ(RmcSlave_reply_begin(&s, 9), 1);
    EXPECT_EQ(Bytes(s.rep, s.rep + s.n_rep), (Bytes{0x12, 0, 0, 0x40, 0, 0, 0, 0, 0}));
    ASSERT_EQ(RmcSlave_reply_begin(&s, -1), 1);
    EXPECT_EQ(s.n_rep, 5);
    EXPECT_EQ(RmcSlave_reply_send(&s), 2);
    EXPECT_EQ(RmcSlave_is_sending(&s), 1);
    EXPECT_EQ(RmcSlave_poll_request(&s), -1);
    EXPECT_EQ(RmcSlave_is_sending(&s), 0);
    ASSERT_EQ(LinkPair_settle(lp, 10000), 1);
    uint8_t got[16];
    EXPECT_EQ(Co3964_ib_get_msg(LinkPair_get_co(lp, 0), 16, got), 5);
    EXPECT_EQ(Bytes(got, got + 5), req);
    LinkPair_free(lp);
}

TEST(RmcSlave, ReplyBufferLimitsAndNullRecords) {
    Co3964 co{};
    RmcSlave s;
    ASSERT_EQ(RmcSlave_init(&s, &co), &s);
    EXPECT_EQ(RmcSlave_reply_begin(&s, RMC_SLAVE_M_MSG + 1), 0);
    ASSERT_EQ(RmcSlave_reply_begin(&s, RMC_SLAVE_M_MSG - 4), 1);
    EXPECT_EQ(RmcSlave_reply_put_u32(&s, 1), 1);
    EXPECT_EQ(RmcSlave_reply_put_u32(&s, 2), 0);
    const uint8_t b = 0;
    EXPECT_EQ(RmcSlave_reply_put_bytes(&s, &b, 1), 0);
    EXPECT_EQ(RmcSlave_reply_put_bytes(&s, &b, -1), 0);
    EXPECT_EQ(RmcSlave_reply_put_bytes(&s, nullptr, 1), 0);
    EXPECT_EQ(s.n_rep, RMC_SLAVE_M_MSG);

    EXPECT_EQ(RmcSlave_init(nullptr, &co), nullptr);
    RmcSlave other;
    EXPECT_EQ(RmcSlave_init(&other, nullptr), nullptr);
    EXPECT_EQ(RmcSlave_take_request(nullptr), -1);
    EXPECT_EQ(RmcSlave_poll_request(nullptr), -1);
    EXPECT_EQ(RmcSlave_reply_begin(nullptr, 1), 0);
    EXPECT_EQ(RmcSlave_reply_send(nullptr), 1);
    EXPECT_EQ(RmcSlave_send_exception(nullptr, 1), 1);
    EXPECT_EQ(RmcSlave_is_sending(nullptr), 0);
    EXPECT_EQ(RmcSlave_get_n_signa(1), -1);
    EXPECT_EQ(RmcSlave_get_n_signa(RMC_FC_FRAM_WRITE), 13);
}

} // namespace
