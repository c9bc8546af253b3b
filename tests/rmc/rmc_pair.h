// Test fixture: an RMC master on side 0 of a link pair in virtual time, and a
// scripted slave on side 1 built on RmcSlave.
#pragma once

#include "con.h"
#include "linkpair.h"
#include "rmc.h"
#include "rmc_internal.h"
#include "rmc_slave.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

// A message: the function code, 32-bit little-endian words, then raw bytes.
inline Bytes msg(uint8_t fc, std::initializer_list<uint32_t> words = {}, const Bytes& data = {}) {
    Bytes b{fc};
    for (uint32_t w : words)
        for (int i = 0; i < 4; ++i)
            b.push_back(static_cast<uint8_t>(w >> (8 * i)));
    b.insert(b.end(), data.begin(), data.end());
    return b;
}

// n bytes counting up from first (wrapping), so that DLE (0x10) shows up.
inline Bytes ramp(size_t n, uint8_t first = 0) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = static_cast<uint8_t>(first + i);
    return b;
}

struct RmcPair : ::testing::Test {
    // What the slave sends, and when (virtual ms after the request arrived).
    struct Out {
        int32_t t_after_ms;
        Bytes bytes;
    };

    LinkPair* lp = nullptr;
    Rmc rmc{};
    // The master's buffer, with room behind m_msg_buffer to catch overruns.
    std::vector<uint8_t> buf = std::vector<uint8_t>(1024, 0xA5);
    RmcSlave slave{};
    std::vector<Bytes> requests;    // as the slave received them
    std::vector<std::string> lines; // log output
    // Called for every request; the default sends the scripted replies.
    std::function<void(RmcPair&)> on_request;
    std::vector<Out> script; // the answer to the next request
    std::deque<std::pair<uint32_t, Bytes>> outbox;

    // m_msg: the master's buffer capacity; cfg: the pair's (null: default).
    void start(int32_t m_msg = 384, const LinkPairCfg* cfg = nullptr) {
        lp = LinkPair_alloc(cfg);
        ASSERT_EQ(Rmc_init_as_master(&rmc, m_msg, buf.data(), LinkPair_get_co(lp, 0)), &rmc);
        ASSERT_EQ(RmcSlave_init(&slave, LinkPair_get_co(lp, 1)), &slave);
        LinkPair_set_peer(lp, peer, this);
        LinkPair_install_csp(lp, 0);
        Con_set_cb_output(sink, this);
    }
    void SetUp() override { start(); }
    void TearDown() override {
        Con_set_cb_output(nullptr, nullptr);
        LinkPair_free(lp);
    }
    // Restarts with another buffer capacity or pair configuration.
    void restart(int32_t m_msg, const LinkPairCfg* cfg = nullptr) {
        LinkPair_free(lp);
        start(m_msg, cfg);
    }

    static int sink(void* p, const char* text) {
        static_cast<RmcPair*>(p)->lines.emplace_back(text);
        return 0;
    }

    static void peer(void* p_user, LinkPair* p, int) {
        auto* t = static_cast<RmcPair*>(p_user);
        if (RmcSlave_take_request(&t->slave) >= 0) {
            t->requests.emplace_back(t->slave.req, t->slave.req + t->slave.n_req);
            if (t->on_request) {
                t->on_request(*t);
            } else {
                for (const Out& o : t->script)
                    t->outbox.emplace_back(LinkPair_get_t_now(p) + o.t_after_ms, o.bytes);
                t->script.clear();
            }
        }
        if (t->outbox.empty() || RmcSlave_is_sending(&t->slave)) return;
        if (static_cast<int32_t>(t->outbox.front().first - LinkPair_get_t_now(p)) > 0) return;
        const Bytes& b = t->outbox.front().second;
        EXPECT_EQ(RmcSlave_send_raw(&t->slave, static_cast<int>(b.size()), b.data()), 2);
        t->outbox.pop_front();
    }

    // The answer to the next request: these messages, in order.
    void answer(std::vector<Out> outs) { script = std::move(outs); }
    void answer(const Bytes& reply) { script = {{0, reply}}; }

    uint32_t now() const { return LinkPair_get_t_now(lp); }
    // Lets the slave finish its last acknowledgement.
    void settle() { ASSERT_EQ(LinkPair_settle(lp, 20000), 1); }
    // The log line of log_result for a failing code.
    static std::string result_line(int code, const char* name) {
        return "error-src/rmc/rmc.cpp-: send_and_receive returned " + std::to_string(code) + " (" +
               name + ")\n";
    }
};
