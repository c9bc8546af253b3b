// Link pair: two ends of a 3964R line joined in memory, with a virtual clock
// and a programmable wire, for tests of the link and of the layers above it.
//
// Sides 0 and 1. Each side is either a Co3964 link (buffers, callbacks and
// record owned by the pair) or a raw end that the test plays byte by byte.
// Direction i_dir carries the bytes sent by side i_dir to side 1 - i_dir; each
// direction has its own wire faults and byte counter. Bytes queue in order:
// a delayed byte also holds back the bytes behind it, as on a real line.
//
// Virtual time: one clock, shared by both sides, that moves only when a side
// waits or when the test moves it. A wait happens when
//   - a link calls its wait hook (cb_time_sleep_ms, 1 ms per waiting pass),
//   - code under test calls Csp_sleep_ms while the pair's Csp hooks are
//     installed (LinkPair_install_csp; 0 ms counts as 1 ms),
//   - the test calls LinkPair_step / LinkPair_run_until / LinkPair_settle.
// Each wait of side i first pumps the other side (runs its Co3964_poll until
// that side waits or is idle; a side already running is skipped), then calls
// the peer callback, and then moves the clock. So whichever side the code
// under test is blocked on, the other side keeps working and time passes.
//
// Pumping leaves a poll from inside its wait hook by a C++ exception that the
// pair catches; Co3964 keeps all its state in the record, and the next poll
// resumes where the last one stopped.
//
// Driving recipes
//
// 1. Scripted peer, step by step (side 1 raw):
//        LinkPairCfg cfg = LinkPair_default_cfg(); cfg.side[1].is_raw = 1;
//        LinkPair* lp = LinkPair_alloc(&cfg);
//        Co3964_ob_set_msg(LinkPair_get_co(lp, 0), 3, (const uint8_t*)"abc");
//        LinkPair_pump(lp, 0);              // sends STX, stops waiting for DLE
//        LinkPair_put(lp, 1, CO3964_DLE);   // the raw end answers
//        LinkPair_pump(lp, 0);              // sends the block, waits for the final DLE
//        LinkPair_advance_ms(lp, 2001);     // let the acknowledgement time out
//        ... compare LinkPair_get_p_sent(lp, 0) / LinkPair_get_n_sent(lp, 0)
//
// 2. Two links: hand messages to the slots, then LinkPair_settle(lp, max_ms);
//    or call Co3964_poll on one side directly: its waits pump the other side.
//
// 3. RMC master on side 0, a responder on side 1:
//        LinkPair_install_csp(lp, 0);       // Csp tick = virtual clock; Csp_sleep_ms = a wait of side 0
//        LinkPair_set_peer(lp, responder, &ctx);
//        result = Rmc_do_...(&rmc_over_side_0, ...);
//    where responder(p_user, lp, i_waiting) takes a request from
//    Co3964_ib_get_msg(LinkPair_get_co(lp, 1), ...) when one waits and hands
//    the reply to Co3964_ob_set_msg on side 1. Each RMC poll and each
//    Csp_sleep_ms(0) costs one virtual millisecond, so a 100000 ms reply
//    time-out runs in a fraction of a second. Call LinkPair_settle after the
//    transaction to let side 1 finish its final acknowledgement.
//
// The peer callback must not block: it must not call Co3964_poll, LinkPair_pump,
// _step, _run_until or _settle, nor Csp_sleep_ms. It may use the non-waiting
// Co3964 operations, LinkPair_put / _inject / _receive_nw, and the wire setters.
#pragma once

#include "co3964.h"

#include <cstdint>

struct LinkPair; // opaque

struct LinkPairSideCfg {
    int32_t is_raw;             // nonzero: no link on this side; the test plays it
    int32_t with_bcc;           // passed to Co3964_init
    int32_t is_high_prio;       // passed to Co3964_init
    int32_t m_msg;              // capacity of the inbound and the outbound buffer; 384 when 0
    int32_t with_send_with_dle; // nonzero: the link gets cb_uart_send_with_dle, else blocks go bytewise
    // Nonzero: the link gets no wait hook. The clock then moves 1 ms at each of
    // this side's time-now calls, and the side cannot be pumped (only use it
    // with a raw peer whose bytes are queued in advance).
    int32_t without_wait_hook;
};

struct LinkPairCfg {
    LinkPairSideCfg side[2];
    uint32_t t_start;        // virtual clock at the start (near 2^32 to test the wrap)
    int32_t t_latency_ms[2]; // travel time of every byte of direction i
};

// Side 0 as the host wires it (high priority, block check, 384-byte slots,
// blocks through cb_uart_send_with_dle), side 1 as a device (low priority,
// block check, 384-byte slots, blocks byte by byte); clock at 0, no latency.
LinkPairCfg LinkPair_default_cfg(void);

// Builds a pair (null p_cfg: the default). Never null.
LinkPair* LinkPair_alloc(const LinkPairCfg* p_cfg);
// Frees the pair; removes its Csp hooks if they are installed. Null is ignored.
void LinkPair_free(LinkPair* p);

// The link of side i_side; null for a raw side.
Co3964* LinkPair_get_co(LinkPair* p, int i_side);

// --- time and driving ---

uint32_t LinkPair_get_t_now(const LinkPair* p);
// Moves the clock by t_ms; nothing else runs.
void LinkPair_advance_ms(LinkPair* p, int32_t t_ms);
// Runs Co3964_poll of side i_side until it waits (0) or is idle and returns
// (1). Does not move the clock or pump the other side. -1 for a raw side,
// a side already running, or a side without wait hook.
int LinkPair_pump(LinkPair* p, int i_side);
// One virtual millisecond: pumps both links, calls the peer callback with -1,
// moves the clock by 1 ms.
void LinkPair_step(LinkPair* p);

typedef int (*tyLinkPair_cb_done)(void* p_user, LinkPair* p);
// Steps until cb_done returns nonzero (tested before each step): 1; 0 when
// max_ms virtual milliseconds passed first.
int LinkPair_run_until(LinkPair* p, tyLinkPair_cb_done cb_done, void* p_user, int32_t max_ms);
// Nonzero when every link is idle (state 0, nothing pending) and no byte is
// on its way in either direction.
int LinkPair_is_quiet(const LinkPair* p);
// Steps until the pair is quiet: 1; 0 after max_ms.
int LinkPair_settle(LinkPair* p, int32_t max_ms);

// Called at every wait (i_waiting: the waiting side, or -1 from a step),
// after the other side was pumped and before the clock moves.
typedef void (*tyLinkPair_cb_peer)(void* p_user, LinkPair* p, int i_waiting);
void LinkPair_set_peer(LinkPair* p, tyLinkPair_cb_peer cb_peer, void* p_user);

// Installs the clock as the Csp tick source and Csp_sleep_ms(t) as a wait of
// side i_side lasting max(t, 1) ms. One pair at a time.
void LinkPair_install_csp(LinkPair* p, int i_side);
// Removes the Csp hooks again.
void LinkPair_remove_csp(LinkPair* p);

// --- bytes ---

// Side i_side sends value (any int, also above 255) through the wire of
// direction i_side, as a link's send would. Logged as sent.
void LinkPair_put(LinkPair* p, int i_side, int32_t value);
// Queues value for side i_side to receive t_delay_ms from now, past the wire.
void LinkPair_inject(LinkPair* p, int i_side, int32_t value, int32_t t_delay_ms);
// The next byte due for side i_side, or -1 (what a link's receive callback
// gives). A raw side reads what reaches it with this.
int32_t LinkPair_receive_nw(LinkPair* p, int i_side);
// Bytes queued for side i_side, due or not.
int32_t LinkPair_get_n_queued(const LinkPair* p, int i_side);

// Everything side i_side has sent (before the wire), in order. The pointer is
// valid until the next send or clear.
const int32_t* LinkPair_get_p_sent(const LinkPair* p, int i_side);
int32_t LinkPair_get_n_sent(const LinkPair* p, int i_side);
void LinkPair_clear_sent(LinkPair* p, int i_side);
// Calls of side i_side's cb_uart_send_with_dle so far.
int32_t LinkPair_get_n_send_with_dle(const LinkPair* p, int i_side);
// The next n_calls calls of side i_side's cb_uart_send_with_dle send nothing
// and return result (e.g. CO3964_NAK, as a port whose write failed).
void LinkPair_fail_send_with_dle(LinkPair* p, int i_side, int32_t n_calls, int32_t result);

// --- the wire ---

enum {
    LINKWIRE_DROP,          // the byte is lost
    LINKWIRE_SET,           // the byte becomes value
    LINKWIRE_XOR,           // the byte is XORed with value
    LINKWIRE_DELAY,         // the byte (and so all behind it) arrives value ms later
    LINKWIRE_INSERT_BEFORE, // value arrives before the byte
    LINKWIRE_INSERT_AFTER,  // value arrives after the byte
};
// Sentinel a wire callback returns to drop the byte.
constexpr int32_t LINKWIRE_DROPPED = INT32_MIN;

// Number of bytes that entered direction i_dir so far: the index the next
// byte gets. Indices count from 0 at LinkPair_alloc and never restart.
int32_t LinkPair_get_n_wire(const LinkPair* p, int i_dir);
// Adds a rule for the byte with index i_byte of direction i_dir (-1: every
// byte). Rules of one byte apply in the order added.
void LinkPair_add_rule(LinkPair* p, int i_dir, int32_t i_byte, int32_t action, int32_t value);
void LinkPair_clear_rules(LinkPair* p, int i_dir);
// Flips one random bit of each byte of direction i_dir with probability
// chance (0 switches off), drawn from a generator seeded with seed.
void LinkPair_set_flips(LinkPair* p, int i_dir, uint32_t seed, double chance);
// Keeps flips of direction i_dir at least n_gap bytes apart (0: no limit).
// With n_gap above the longest frame, every frame has at most one bad bit:
// the error class the block check is made for.
void LinkPair_set_flip_gap(LinkPair* p, int i_dir, int32_t n_gap);
// Bits flipped so far in direction i_dir.
int32_t LinkPair_get_n_flips(const LinkPair* p, int i_dir);

// Last stage of the wire of direction i_dir, after rules and flips: returns
// the value to deliver or LINKWIRE_DROPPED; may queue extra bytes with
// LinkPair_inject (they arrive before this one).
typedef int32_t (*tyLinkPair_cb_wire)(void* p_user, LinkPair* p, int i_dir, int32_t i_byte,
                                      int32_t value);
void LinkPair_set_wire(LinkPair* p, int i_dir, tyLinkPair_cb_wire cb_wire, void* p_user);
