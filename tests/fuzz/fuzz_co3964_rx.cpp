// Fuzz target: the 3964R link under any inbound byte stream with any time
// steps. The input is a script of two-byte steps read while the link waits:
//   kind 0..3  the next received byte is the value (kind 3 with bit 3 set:
//              256 + value, a framing error; with bit 4 set: the line lost)
//   kind 4..5  time moves by value (kind 5: times 16) milliseconds
//   kind 6     the host takes the inbound message, if one waits
//   kind 7     the host hands an outbound message of value bytes
// The first byte sets block check, priority, slot sizes and whether blocks
// go out through the block-send callback. When the script ends, time moves
// 100 ms a wait until the link is idle (its time-outs bound that).
#include "co3964.h"
#include "fuzz_quiet.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

struct Script {
    const uint8_t* p;
    size_t n;
    size_t i;
    int32_t t_now;
    int32_t pending; // the byte the link reads next, or -1
    Co3964* co;
    std::vector<uint8_t> ib_take;
    std::vector<uint8_t> ob_msg;
    int32_t fail_block; // the block-send callback fails every n-th block
    int32_t n_blocks;
    size_t n_waits;
    size_t n_spins; // clock reads since the last wait
};

Script* g;

// Time moves only in the wait hook: a link that keeps reading the clock
// without ever waiting would spin here for ever (and, on the real line, keep
// the window from repainting).
int32_t t_now(void*) {
    if (++g->n_spins > 1000000) {
        std::fprintf(stderr,
                     "link spins without waiting: state %d ob_state %d t_timeout %d now %d\n",
                     g->co->state, g->co->ob_state, g->co->t_timeout, g->t_now);
        std::abort();
    }
    return g->t_now;
}
int32_t plus_ms(void*, int32_t t, int32_t ms) {
    return (int32_t)((uint32_t)t + (uint32_t)ms);
}
int32_t receive_nw(void*) {
    int32_t b = g->pending;
    g->pending = -1;
    return b;
}
int32_t send_byte(void*, int32_t) {
    return 0;
}
int32_t send_with_dle(void*, int32_t n, const uint8_t* p_bytes) {
    if (n < 0 || (n > 0 && !p_bytes)) std::abort();
    volatile uint8_t sum = 0;
    for (int32_t i = 0; i < n; i++)
        sum = (uint8_t)(sum + p_bytes[i]); // every byte must be readable
    g->n_blocks++;
    if (g->fail_block && g->n_blocks % g->fail_block == 0) return CO3964_NAK;
    return CO3964_NO_BYTE;
}

void check(const Co3964* co) {
    if (co->ib_n_msg > co->ib_m_msg || co->ib_n_rx > co->ib_m_msg) std::abort();
    if (co->ob_n_msg > co->ob_m_msg) std::abort();
}

// One step of the script; false when it has ended.
bool step(void) {
    if (g->i + 2 > g->n) return false;
    uint8_t op = g->p[g->i], v = g->p[g->i + 1];
    g->i += 2;
    switch (op & 7) {
    case 0:
    case 1:
    case 2:
        g->pending = v;
        break;
    case 3:
        g->pending = (op & 8) ? 256 + v : (op & 16) ? CO3964_LINE_LOST : v;
        break;
    case 4:
        g->t_now = plus_ms(nullptr, g->t_now, v);
        break;
    case 5:
        g->t_now = plus_ms(nullptr, g->t_now, v * 16);
        break;
    case 6:
        Co3964_ib_get_msg(g->co, (int32_t)g->ib_take.size(), g->ib_take.data());
        break;
    case 7: {
        int32_t n = v % (int32_t)(g->ob_msg.size() + 1);
        Co3964_ob_set_msg(g->co, n, g->ob_msg.data());
        break;
    }
    }
    return true;
}

int32_t sleep_ms(void*, int32_t) {
    check(g->co);
    g->n_waits++;
    g->n_spins = 0;
    if (!step()) g->t_now = plus_ms(nullptr, g->t_now, 100);
    return 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz_quiet();
    if (size < 1) return 0;
    uint8_t cfg = data[0];
    int32_t m_ib = (cfg & 0x10) ? 8 : 384;
    int32_t m_ob = (cfg & 0x20) ? 8 : 384;
    std::vector<uint8_t> ib((size_t)m_ib), ob((size_t)m_ob);
    Script s{};
    s.p = data + 1;
    s.n = size - 1;
    s.pending = -1;
    s.t_now = (cfg & 0x40) ? -1000 : 0; // also across the wrap of the clock
    s.ib_take.resize((cfg & 0x80) ? 4 : 384);
    s.ob_msg.resize(300);
    for (size_t k = 0; k < s.ob_msg.size(); k++)
        s.ob_msg[k] = (uint8_t)(k * 13); // holds DLE bytes
    s.fail_block = (cfg >> 2) & 3;
    g = &s;
    Co3964 co;
    s.co = Co3964_init(&co, nullptr, t_now, plus_ms, sleep_ms, nullptr, receive_nw, send_byte,
                       (cfg & 2) ? send_with_dle : nullptr, m_ib, ib.data(), m_ob, ob.data(),
                       cfg & 1, (cfg >> 1) & 1);
    if (!s.co) std::abort();
    // Steps that arrive while the link is idle are taken between polls.
    while (s.i + 2 <= s.n) {
        Co3964_poll(&co);
        check(&co);
        step();
    }
    Co3964_poll(&co);
    check(&co);
    g = nullptr;
    return 0;
}
