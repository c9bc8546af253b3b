// 3964R link procedure under random single-bit errors: a message either
// arrives byte-identical or the send ends failed; a corrupted message is
// never accepted.
#include "co3964.h"
#include "linkpair.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

using Msg = std::vector<uint8_t>;

// Random message of 0 to 300 bytes, a third of them DLE.
Msg random_msg(std::mt19937& rng) {
    Msg m(rng() % 301);
    for (uint8_t& b : m) b = rng() % 3 == 0 ? CO3964_DLE : static_cast<uint8_t>(rng());
    return m;
}

// Everything each side accepts, taken from its slot at every step.
struct Inboxes {
    std::vector<Msg> got[2];
};

void collect(void* p_user, LinkPair* p, int) {
    auto* in = static_cast<Inboxes*>(p_user);
    for (int i = 0; i < 2; i++) {
        Co3964* co = LinkPair_get_co(p, i);
        const int32_t n = Co3964_ib_get_n_msg(co);
        if (n < 0) continue;
        Msg m(static_cast<size_t>(n));
        ASSERT_EQ(Co3964_ib_get_msg(co, n, m.data()), n);
        in->got[i].push_back(m);
    }
}

int not_pending(void*, LinkPair* p) {
    return Co3964_ob_get_state(LinkPair_get_co(p, 0)) != 2 &&
           Co3964_ob_get_state(LinkPair_get_co(p, 1)) != 2;
}

// Longer than any frame (300 bytes, all doubled, plus framing), so every
// frame carries at most one flipped bit.
constexpr int32_t kFlipGap = 700;

struct Property : ::testing::TestWithParam<uint32_t> {
    LinkPair* lp = LinkPair_alloc(nullptr);
    Inboxes in;
    std::mt19937 rng{GetParam()};
    void SetUp() override { LinkPair_set_peer(lp, collect, &in); }
    void TearDown() override { LinkPair_free(lp); }
    int send(int i_side, const Msg& m) {
        return Co3964_ob_set_msg(LinkPair_get_co(lp, i_side), static_cast<int32_t>(m.size()),
                                 m.data());
    }
};

// One message at a time, alternating the sender. Data frames get sparse
// single-bit errors; the acknowledgements coming back get many, so some
// sends run out of attempts.
TEST_P(Property, OneWayMessagesArriveIdenticalOrTheSendFails) {
    int n_delivered = 0, n_failed = 0;
    for (int round = 0; round < 150; round++) {
        const int tx = round % 2, rx = 1 - tx;
        LinkPair_set_flips(lp, tx, rng(), 0.003);
        LinkPair_set_flip_gap(lp, tx, kFlipGap);
        LinkPair_set_flips(lp, rx, rng(), 0.4);
        LinkPair_set_flip_gap(lp, rx, 0);
        const Msg m = random_msg(rng);
        ASSERT_EQ(send(tx, m), 2);
        ASSERT_EQ(LinkPair_run_until(lp, not_pending, nullptr, 200000), 1) << round;
        ASSERT_EQ(LinkPair_settle(lp, 100000), 1) << round;

        for (const Msg& g : in.got[rx]) ASSERT_EQ(g, m) << "round " << round;
        EXPECT_TRUE(in.got[tx].empty()) << round;
        const int32_t state = Co3964_ob_get_state(LinkPair_get_co(lp, tx));
        if (state == 0) {
            EXPECT_FALSE(in.got[rx].empty()) << "delivered but never accepted, round " << round;
            n_delivered++;
        } else {
            ASSERT_EQ(state, 1);
            n_failed++;
        }
        in.got[0].clear();
        in.got[1].clear();
    }
    EXPECT_GT(LinkPair_get_n_flips(lp, 0) + LinkPair_get_n_flips(lp, 1), 100);
    EXPECT_GT(n_delivered, 100);
    EXPECT_GT(n_failed, 0);
}

// Both sides send at the same moment (initiation conflicts), with sparse
// single-bit errors in both directions: each side accepts only the other's
// message, unchanged, and every delivered message was accepted.
TEST_P(Property, ConflictingMessagesArriveIdenticalOrTheSendFails) {
    for (int i = 0; i < 2; i++) {
        LinkPair_set_flips(lp, i, rng(), 0.003);
        LinkPair_set_flip_gap(lp, i, kFlipGap);
        LinkPair_add_rule(lp, i, -1, LINKWIRE_DELAY, 2); // both STX cross on the line
    }
    int n_delivered = 0;
    for (int round = 0; round < 100; round++) {
        const Msg m[2] = {random_msg(rng), random_msg(rng)};
        ASSERT_EQ(send(0, m[0]), 2);
        ASSERT_EQ(send(1, m[1]), 2);
        ASSERT_EQ(LinkPair_run_until(lp, not_pending, nullptr, 400000), 1) << round;
        ASSERT_EQ(LinkPair_settle(lp, 100000), 1) << round;
        for (int i = 0; i < 2; i++) {
            for (const Msg& g : in.got[i]) ASSERT_EQ(g, m[1 - i]) << "round " << round;
            if (Co3964_ob_get_state(LinkPair_get_co(lp, 1 - i)) == 0) {
                EXPECT_FALSE(in.got[i].empty()) << round;
                n_delivered++;
            }
            in.got[i].clear();
        }
    }
    EXPECT_GT(n_delivered, 150);
}

INSTANTIATE_TEST_SUITE_P(Co3964, Property, ::testing::Values(1u, 2u, 3u));

} // namespace
