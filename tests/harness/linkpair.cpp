// Link pair: two 3964R ends over in-memory byte queues, a shared virtual
// clock and a wire with programmable faults.
#include "linkpair.h"

#include "csp.h"

#include <deque>
#include <random>
#include <vector>

namespace {

// Thrown from a pumped side's wait hook to leave its poll; caught by LinkPair_pump.
struct PumpYield {};

struct Queued {
    int32_t value;
    uint32_t t_due;
};

struct Rule {
    int32_t i_byte;
    int32_t action;
    int32_t value;
};

struct Wire {
    std::vector<Rule> rules;
    std::mt19937 rng;
    double flip_chance = 0;
    int32_t n_flips = 0;
    int32_t n_flip_gap = 0;
    int64_t i_last_flip = INT32_MIN;
    int32_t n_bytes = 0;
    tyLinkPair_cb_wire cb_wire = nullptr;
    void* p_wire = nullptr;
};

struct Side {
    LinkPair* p_pair;
    int i_side;
    LinkPairSideCfg cfg;
    Co3964 co;
    std::vector<uint8_t> ib_buf, ob_buf;
    std::deque<Queued> inbound; // bytes on their way to this side
    std::vector<int32_t> sent;
    int32_t n_send_with_dle = 0;
    int32_t n_fail_with_dle = 0;
    int32_t fail_result = CO3964_NAK;
    bool running = false;  // this side's code is on the stack: never pump it
    bool yielding = false; // inside LinkPair_pump: its wait hook leaves the poll
};

} // namespace

struct LinkPair {
    uint32_t t_now;
    int32_t t_latency_ms[2];
    Side side[2];
    Wire wire[2];
    tyLinkPair_cb_peer cb_peer = nullptr;
    void* p_peer = nullptr;
    int i_csp_side = -1;
};

static bool is_due(uint32_t t_due, uint32_t now) { return static_cast<int32_t>(t_due - now) <= 0; }

static void enqueue(LinkPair* p, int i_to, int32_t value, int32_t t_delay_ms) {
    std::deque<Queued>& q = p->side[i_to].inbound;
    uint32_t t_due = p->t_now + static_cast<uint32_t>(t_delay_ms);
    // Keep the line in order: nothing overtakes a byte that is held back.
    if (!q.empty() && static_cast<int32_t>(t_due - q.back().t_due) < 0) t_due = q.back().t_due;
    q.push_back({value, t_due});
}

// Moves one byte sent by side i_dir through that direction's wire.
static void transmit(LinkPair* p, int i_dir, int32_t value) {
    Wire& w = p->wire[i_dir];
    const int i_to = 1 - i_dir;
    const int32_t i_byte = w.n_bytes++;
    int32_t delay = p->t_latency_ms[i_dir];
    bool dropped = false;
    std::vector<int32_t> after;
    for (const Rule& r : w.rules) {
        if (r.i_byte != -1 && r.i_byte != i_byte) continue;
        switch (r.action) {
        case LINKWIRE_DROP: dropped = true; break;
        case LINKWIRE_SET: value = r.value; break;
        case LINKWIRE_XOR: value ^= r.value; break;
        case LINKWIRE_DELAY: delay += r.value; break;
        case LINKWIRE_INSERT_BEFORE: enqueue(p, i_to, r.value, delay); break;
        case LINKWIRE_INSERT_AFTER: after.push_back(r.value); break;
        }
    }
    // The generator's own output (fixed by the standard), so a seed means the same everywhere.
    if (!dropped && w.flip_chance > 0 && int64_t{i_byte} - w.i_last_flip >= w.n_flip_gap &&
        (w.rng() >> 8) * (1.0 / 16777216.0) < w.flip_chance) {
        value ^= 1 << (w.rng() % 8);
        w.n_flips++;
        w.i_last_flip = i_byte;
    }
    if (!dropped && w.cb_wire) dropped = (value = w.cb_wire(w.p_wire, p, i_dir, i_byte, value)) ==
                                         LINKWIRE_DROPPED;
    if (!dropped) enqueue(p, i_to, value, delay);
    for (int32_t v : after) enqueue(p, i_to, v, delay);
}

static void side_send(Side* s, int32_t value) {
    s->sent.push_back(value);
    transmit(s->p_pair, s->i_side, value);
}

static bool can_pump(const Side& s) {
    return !s.cfg.is_raw && !s.running && !s.cfg.without_wait_hook;
}

// A wait of side i_side: the other side works, the peer acts, time passes.
static void wait(LinkPair* p, int i_side, int32_t t_ms) {
    Side& me = p->side[i_side];
    const bool was_running = me.running;
    me.running = true;
    if (can_pump(p->side[1 - i_side])) LinkPair_pump(p, 1 - i_side);
    if (p->cb_peer) p->cb_peer(p->p_peer, p, i_side);
    p->t_now += static_cast<uint32_t>(t_ms);
    me.running = was_running;
}

// --- callbacks given to the links ---

static int32_t cb_get_t_now(void* p_time) {
    Side* s = static_cast<Side*>(p_time);
    LinkPair* p = s->p_pair;
    return s->cfg.without_wait_hook ? static_cast<int32_t>(p->t_now++)
                                    : static_cast<int32_t>(p->t_now);
}

static int32_t cb_plus_ms(void*, int32_t t, int32_t t_ms) {
    return static_cast<int32_t>(static_cast<uint32_t>(t) + static_cast<uint32_t>(t_ms));
}

static int32_t cb_sleep_ms(void* p_time, int32_t t_ms) {
    Side* s = static_cast<Side*>(p_time);
    if (s->yielding) throw PumpYield{};
    wait(s->p_pair, s->i_side, t_ms);
    return 1;
}

static int32_t cb_receive_nw(void* p_uart) {
    Side* s = static_cast<Side*>(p_uart);
    return LinkPair_receive_nw(s->p_pair, s->i_side);
}

static int32_t cb_send_byte(void* p_uart, int32_t ch) {
    side_send(static_cast<Side*>(p_uart), ch);
    return ch;
}

static int32_t cb_send_with_dle(void* p_uart, int32_t n, const uint8_t* p_bytes) {
    Side* s = static_cast<Side*>(p_uart);
    s->n_send_with_dle++;
    if (s->n_fail_with_dle > 0) {
        s->n_fail_with_dle--;
        return s->fail_result;
    }
    for (int32_t i = 0; i < n; i++) {
        side_send(s, p_bytes[i]);
        if (p_bytes[i] == CO3964_DLE) side_send(s, CO3964_DLE);
    }
    return CO3964_NO_BYTE;
}

// --- Csp hooks ---

static LinkPair* s_csp_pair;

static uint32_t csp_tick(void* p_user) { return static_cast<LinkPair*>(p_user)->t_now; }

static int csp_sleep(void* p_user, int t_ms) {
    LinkPair* p = static_cast<LinkPair*>(p_user);
    wait(p, p->i_csp_side, t_ms > 0 ? t_ms : 1);
    return 1;
}

// --- public ---

LinkPairCfg LinkPair_default_cfg(void) {
    LinkPairCfg c{};
    c.side[0] = {0, 1, 1, 384, 1, 0};
    c.side[1] = {0, 1, 0, 384, 0, 0};
    return c;
}

LinkPair* LinkPair_alloc(const LinkPairCfg* p_cfg) {
    const LinkPairCfg cfg = p_cfg ? *p_cfg : LinkPair_default_cfg();
    LinkPair* p = new LinkPair();
    p->t_now = cfg.t_start;
    for (int i = 0; i < 2; i++) {
        p->t_latency_ms[i] = cfg.t_latency_ms[i];
        Side& s = p->side[i];
        s.p_pair = p;
        s.i_side = i;
        s.cfg = cfg.side[i];
        if (s.cfg.is_raw) continue;
        const int32_t m = s.cfg.m_msg > 0 ? s.cfg.m_msg : 384;
        s.ib_buf.assign(static_cast<size_t>(m), 0);
        s.ob_buf.assign(static_cast<size_t>(m), 0);
        Co3964_init(&s.co, &s, cb_get_t_now, cb_plus_ms,
                    s.cfg.without_wait_hook ? nullptr : cb_sleep_ms, &s, cb_receive_nw,
                    cb_send_byte, s.cfg.with_send_with_dle ? cb_send_with_dle : nullptr, m,
                    s.ib_buf.data(), m, s.ob_buf.data(), s.cfg.with_bcc, s.cfg.is_high_prio);
    }
    return p;
}

void LinkPair_free(LinkPair* p) {
    if (p == nullptr) return;
    if (s_csp_pair == p) LinkPair_remove_csp(p);
    delete p;
}

Co3964* LinkPair_get_co(LinkPair* p, int i_side) {
    return p->side[i_side].cfg.is_raw ? nullptr : &p->side[i_side].co;
}

uint32_t LinkPair_get_t_now(const LinkPair* p) { return p->t_now; }

void LinkPair_advance_ms(LinkPair* p, int32_t t_ms) { p->t_now += static_cast<uint32_t>(t_ms); }

int LinkPair_pump(LinkPair* p, int i_side) {
    Side& s = p->side[i_side];
    if (!can_pump(s)) return -1;
    s.running = true;
    s.yielding = true;
    int r;
    try {
        Co3964_poll(&s.co);
        r = 1;
    } catch (const PumpYield&) {
        r = 0;
    }
    s.yielding = false;
    s.running = false;
    return r;
}

void LinkPair_step(LinkPair* p) {
    for (int i = 0; i < 2; i++)
        if (can_pump(p->side[i])) LinkPair_pump(p, i);
    if (p->cb_peer) p->cb_peer(p->p_peer, p, -1);
    p->t_now++;
}

int LinkPair_run_until(LinkPair* p, tyLinkPair_cb_done cb_done, void* p_user, int32_t max_ms) {
    const uint32_t t_end = p->t_now + static_cast<uint32_t>(max_ms);
    while (!cb_done(p_user, p)) {
        if (is_due(t_end, p->t_now)) return 0;
        LinkPair_step(p);
    }
    return 1;
}

int LinkPair_is_quiet(const LinkPair* p) {
    for (const Side& s : p->side) {
        if (!s.inbound.empty()) return 0;
        if (!s.cfg.is_raw && (s.co.state != CO3964_ST_IDLE || s.co.ob_state == 2)) return 0;
    }
    return 1;
}

int LinkPair_settle(LinkPair* p, int32_t max_ms) {
    return LinkPair_run_until(
        p, [](void*, LinkPair* q) { return LinkPair_is_quiet(q); }, nullptr, max_ms);
}

void LinkPair_set_peer(LinkPair* p, tyLinkPair_cb_peer cb_peer, void* p_user) {
    p->cb_peer = cb_peer;
    p->p_peer = p_user;
}

void LinkPair_install_csp(LinkPair* p, int i_side) {
    s_csp_pair = p;
    p->i_csp_side = i_side;
    Csp_set_tick_source(csp_tick, p);
    Csp_set_sleep_hook(csp_sleep, p);
}

void LinkPair_remove_csp(LinkPair* p) {
    if (s_csp_pair != p) return;
    Csp_set_tick_source(nullptr, nullptr);
    Csp_set_sleep_hook(nullptr, nullptr);
    s_csp_pair = nullptr;
    p->i_csp_side = -1;
}

void LinkPair_put(LinkPair* p, int i_side, int32_t value) { side_send(&p->side[i_side], value); }

void LinkPair_inject(LinkPair* p, int i_side, int32_t value, int32_t t_delay_ms) {
    enqueue(p, i_side, value, t_delay_ms);
}

int32_t LinkPair_receive_nw(LinkPair* p, int i_side) {
    std::deque<Queued>& q = p->side[i_side].inbound;
    if (q.empty() || !is_due(q.front().t_due, p->t_now)) return -1;
    const int32_t v = q.front().value;
    q.pop_front();
    return v;
}

int32_t LinkPair_get_n_queued(const LinkPair* p, int i_side) {
    return static_cast<int32_t>(p->side[i_side].inbound.size());
}

const int32_t* LinkPair_get_p_sent(const LinkPair* p, int i_side) {
    return p->side[i_side].sent.data();
}

int32_t LinkPair_get_n_sent(const LinkPair* p, int i_side) {
    return static_cast<int32_t>(p->side[i_side].sent.size());
}

void LinkPair_clear_sent(LinkPair* p, int i_side) { p->side[i_side].sent.clear(); }

int32_t LinkPair_get_n_send_with_dle(const LinkPair* p, int i_side) {
    return p->side[i_side].n_send_with_dle;
}

void LinkPair_fail_send_with_dle(LinkPair* p, int i_side, int32_t n_calls, int32_t result) {
    p->side[i_side].n_fail_with_dle = n_calls;
    p->side[i_side].fail_result = result;
}

int32_t LinkPair_get_n_wire(const LinkPair* p, int i_dir) { return p->wire[i_dir].n_bytes; }

void LinkPair_add_rule(LinkPair* p, int i_dir, int32_t i_byte, int32_t action, int32_t value) {
    p->wire[i_dir].rules.push_back({i_byte, action, value});
}

void LinkPair_clear_rules(LinkPair* p, int i_dir) { p->wire[i_dir].rules.clear(); }

void LinkPair_set_flips(LinkPair* p, int i_dir, uint32_t seed, double chance) {
    p->wire[i_dir].rng.seed(seed);
    p->wire[i_dir].flip_chance = chance;
}

void LinkPair_set_flip_gap(LinkPair* p, int i_dir, int32_t n_gap) {
    p->wire[i_dir].n_flip_gap = n_gap;
}

int32_t LinkPair_get_n_flips(const LinkPair* p, int i_dir) { return p->wire[i_dir].n_flips; }

void LinkPair_set_wire(LinkPair* p, int i_dir, tyLinkPair_cb_wire cb_wire, void* p_user) {
    p->wire[i_dir].cb_wire = cb_wire;
    p->wire[i_dir].p_wire = p_user;
}
