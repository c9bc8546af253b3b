// The link-pair kit itself: wire faults, byte order, the virtual clock and the
// Csp hooks that later suites rely on.
#include "co3964.h"
#include "csp.h"
#include "linkpair.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<int32_t>;

template <class Case>
auto operator<<(std::ostream& os, const Case& c) -> decltype(c.name, os) {
    return os << c.name;
}

LinkPair* raw_pair() {
    LinkPairCfg cfg = LinkPair_default_cfg();
    cfg.side[0].is_raw = cfg.side[1].is_raw = 1;
    return LinkPair_alloc(&cfg);
}

Bytes drain(LinkPair* lp, int i_side) {
    Bytes b;
    for (int32_t v; (v = LinkPair_receive_nw(lp, i_side)) >= 0;) b.push_back(v);
    return b;
}

struct WireCase {
    const char* name;
    int32_t action;
    int32_t value;
    Bytes arrives;
};

const WireCase kWire[] = {
    {"drop", LINKWIRE_DROP, 0, {1, 3}},
    {"set", LINKWIRE_SET, 0x1FF, {1, 0x1FF, 3}},
    {"xor", LINKWIRE_XOR, 0x80, {1, 0x82, 3}},
    {"insert_before", LINKWIRE_INSERT_BEFORE, 9, {1, 9, 2, 3}},
    {"insert_after", LINKWIRE_INSERT_AFTER, 9, {1, 2, 9, 3}},
};

struct Wire : ::testing::TestWithParam<WireCase> {};

TEST_P(Wire, RuleActsOnTheByteWithItsIndexOnly) {
    const WireCase& c = GetParam();
    LinkPair* lp = raw_pair();
    LinkPair_add_rule(lp, 0, 1, c.action, c.value);
    for (int32_t v : {1, 2, 3}) LinkPair_put(lp, 0, v);
    EXPECT_EQ(drain(lp, 1), c.arrives);
    EXPECT_EQ(drain(lp, 0), Bytes{}); // the other direction is untouched
    EXPECT_EQ(LinkPair_get_n_wire(lp, 0), 3);
    LinkPair_free(lp);
}

INSTANTIATE_TEST_SUITE_P(LinkPair, Wire, ::testing::ValuesIn(kWire),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(LinkPair, DelayedByteHoldsBackTheBytesBehindIt) {
    LinkPair* lp = raw_pair();
    LinkPair_add_rule(lp, 0, 1, LINKWIRE_DELAY, 50);
    for (int32_t v : {1, 2, 3}) LinkPair_put(lp, 0, v);
    EXPECT_EQ(drain(lp, 1), Bytes{1});
    LinkPair_advance_ms(lp, 49);
    EXPECT_EQ(drain(lp, 1), Bytes{});
    LinkPair_advance_ms(lp, 1);
    EXPECT_EQ(drain(lp, 1), (Bytes{2, 3}));
    LinkPair_free(lp);
}

int32_t drop_twos(void* p_user, LinkPair*, int, int32_t i_byte, int32_t value) {
    static_cast<Bytes*>(p_user)->push_back(i_byte);
    return value == 2 ? LINKWIRE_DROPPED : value + 10;
}

TEST(LinkPair, WireCallbackSeesEveryByteAfterTheRules) {
    LinkPair* lp = raw_pair();
    Bytes seen;
    LinkPair_add_rule(lp, 0, 0, LINKWIRE_SET, 2);
    LinkPair_set_wire(lp, 0, drop_twos, &seen);
    for (int32_t v : {1, 2, 3}) LinkPair_put(lp, 0, v);
    EXPECT_EQ(drain(lp, 1), (Bytes{13}));
    EXPECT_EQ(seen, (Bytes{0, 1, 2}));
    LinkPair_free(lp);
}

TEST(LinkPair, FlipsAreSeededSingleBitsKeptApart) {
    auto run = [](uint32_t seed, int32_t gap) {
        LinkPair* lp = raw_pair();
        LinkPair_set_flips(lp, 0, seed, 0.5);
        LinkPair_set_flip_gap(lp, 0, gap);
        for (int i = 0; i < 1000; i++) LinkPair_put(lp, 0, 0);
        Bytes b = drain(lp, 1);
        EXPECT_EQ(static_cast<int32_t>(b.size()) - std::count(b.begin(), b.end(), 0),
                  LinkPair_get_n_flips(lp, 0));
        LinkPair_free(lp);
        return b;
    };
    const Bytes a = run(7, 10);
    EXPECT_EQ(a, run(7, 10));
    EXPECT_NE(a, run(8, 10));
    int last = -100;
    for (int i = 0; i < 1000; i++) {
        if (a[i] == 0) continue;
        EXPECT_EQ(__builtin_popcount(a[i]), 1);
        EXPECT_GE(i - last, 10);
        last = i;
    }
}

// What the RMC layer does: poll the link and Csp_sleep_ms(0) between polls
// until a reply waits or its tick-count deadline passes.
int32_t rmc_like_wait(Co3964* co, uint32_t t_timeout_ms) {
    const uint32_t deadline = Csp_get_tick_count() + t_timeout_ms;
    for (;;) {
        if (Co3964_ib_get_n_msg(co) >= 0) return 1;
        if (static_cast<int32_t>(deadline - Csp_get_tick_count()) <= 0) return 0;
        Co3964_poll(co);
        Csp_sleep_ms(0);
    }
}

// Answers each request on side 1 with the request reversed.
void echo_reversed(void* p_user, LinkPair* p, int) {
    if (!*static_cast<bool*>(p_user)) return;
    Co3964* co = LinkPair_get_co(p, 1);
    uint8_t buf[384];
    const int32_t n = Co3964_ib_get_msg(co, sizeof buf, buf);
    if (n < 0) return;
    std::reverse(buf, buf + n);
    Co3964_ob_set_msg(co, n, buf);
}

TEST(LinkPair, CspHooksRunAMasterAgainstAResponderInVirtualTime) {
    LinkPairCfg cfg = LinkPair_default_cfg();
    cfg.t_start = 0xFFFF0000u;
    LinkPair* lp = LinkPair_alloc(&cfg);
    bool answering = true;
    LinkPair_set_peer(lp, echo_reversed, &answering);
    LinkPair_install_csp(lp, 0);
    EXPECT_EQ(Csp_get_tick_count(), 0xFFFF0000u);
    Co3964* master = LinkPair_get_co(lp, 0);

    ASSERT_EQ(Co3964_ob_set_msg(master, 3, reinterpret_cast<const uint8_t*>("abc")), 2);
    ASSERT_EQ(rmc_like_wait(master, 100000), 1);
    uint8_t reply[8];
    ASSERT_EQ(Co3964_ib_get_msg(master, sizeof reply, reply), 3);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(reply), 3), "cba");
    EXPECT_EQ(LinkPair_settle(lp, 10000), 1);

    // A silent slave: the full 100000 ms pass on the virtual clock only.
    answering = false;
    ASSERT_EQ(Co3964_ob_set_msg(master, 1, reinterpret_cast<const uint8_t*>("x")), 2);
    const uint32_t t0 = Csp_get_tick_count();
    EXPECT_EQ(rmc_like_wait(master, 100000), 0);
    EXPECT_EQ(Csp_get_tick_count() - t0, 100000u);
    EXPECT_EQ(Co3964_ob_get_state(master), 0); // the request itself went out

    LinkPair_free(lp); // also removes the hooks: this sleep must not reach the freed pair
    EXPECT_EQ(Csp_sleep_ms(0), 1);
}

} // namespace
