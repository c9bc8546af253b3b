// 3964R link procedure: moves whole messages over a byte channel, framed with
// STX / DLE / DLE ETX / block check, acknowledged, timed out and repeated.
//
// The module knows no port, clock or window: it reaches them only through the
// callbacks given at initialisation. It holds one outbound and one inbound
// message slot and is driven by polling (Co3964_poll). One thread drives a
// record; all callbacks run on that thread inside Co3964_poll.
//
// All state lives in the record between two passes of the state machine, and
// the wait hook (cb_time_sleep_ms) is the last thing a pass does. A driver may
// therefore leave a poll from inside the wait hook (the test kit does, with a
// C++ exception; the poll holds no resources) and resume with the next call.
#pragma once

#include <cstdint>

// Control characters on the line.
constexpr int32_t CO3964_STX = 0x02;
constexpr int32_t CO3964_ETX = 0x03;
constexpr int32_t CO3964_DLE = 0x10;
constexpr int32_t CO3964_NAK = 0x15;
// No byte has arrived; also the result of a block that went out completely.
constexpr int32_t CO3964_NO_BYTE = INT32_MIN;
// What a receive callback may give instead of another negative value when the
// line has gone for good (the port reported a hard error): no byte either, and
// from then on every wait of the link ends at once.
constexpr int32_t CO3964_LINE_LOST = -2;

// States of the machine (the `state` field): receiving 0 to 13, sending 20 to 28.
enum {
    CO3964_ST_IDLE = 0,
    CO3964_ST_RX_START = 1,       // start request received
    CO3964_ST_RX_BUSY = 2,        // inbound slot busy
    CO3964_ST_RX_ACCEPT = 3,      // answer DLE
    CO3964_ST_RX_NEXT = 4,        // arm the character delay
    CO3964_ST_RX_DATA = 5,        // wait: data byte
    CO3964_ST_RX_AFTER_DLE = 6,   // wait: byte after DLE
    CO3964_ST_RX_BCC = 7,         // wait: block check character
    CO3964_ST_RX_COMPLETE = 8,    // frame complete
    CO3964_ST_RX_REFUSE = 9,      // refuse frame with NAK
    CO3964_ST_RX_OVER = 11,       // reception over
    CO3964_ST_RX_UNEXPECTED = 13, // wait: bytes outside a frame, NAK once quiet
    CO3964_ST_TX_ATTEMPT = 20,    // start of a block attempt
    CO3964_ST_TX_STX = 21,        // send start request
    CO3964_ST_TX_ARM_ACK = 22,    // arm the acknowledgement delay
    CO3964_ST_TX_WAIT_ACK = 23,   // wait: DLE after STX
    CO3964_ST_TX_BLOCK = 24,      // send block
    CO3964_ST_TX_WAIT_FINAL = 25, // wait: final DLE
    CO3964_ST_TX_FAILED = 26,     // block failed
    CO3964_ST_TX_REPEAT_BLOCK = 27,
    CO3964_ST_TX_REPEAT_STX = 28,
    CO3964_ST_TX_WAIT_QUIET = 29, // wait: a quiet line before the start request is repeated
};

// Current time as a wrapping 32-bit count.
typedef int32_t (*tyCo3964_cb_time_get_t_now)(void* p_time);
// The time t_ms milliseconds after t. A deadline has passed when
// (int32_t)(deadline - now) < 0.
typedef int32_t (*tyCo3964_cb_time_plus_ms)(void* p_time, int32_t t, int32_t t_ms);
// Wait hook, called with 1 on each pass in which a waiting state finds no byte
// before its deadline. May return at once; the result is ignored.
typedef int32_t (*tyCo3964_cb_time_sleep_ms)(void* p_time, int32_t t_ms);
// A received byte 0..255, or any negative value when none is there
// (CO3964_LINE_LOST when none will come); must not wait. A value above 255
// counts as a framing error.
typedef int32_t (*tyCo3964_cb_uart_receive_byte_nw)(void* p_uart);
// Sends one byte; the result is ignored.
typedef int32_t (*tyCo3964_cb_uart_send_byte)(void* p_uart, int32_t ch);
// Sends n bytes with every DLE doubled; CO3964_NO_BYTE when all went out, any
// other result is a failed block.
typedef int32_t (*tyCo3964_cb_uart_send_with_dle)(void* p_uart, int32_t n, const uint8_t* p_bytes);
// Gets a received frame whose block check was good: nonzero accepts it, zero
// refuses it with NAK.
typedef int32_t (*tyCo3964_cb_ib_check)(void* p_ib_check, int32_t n, const uint8_t* p_bytes);

// The link record, in caller storage. Buffers belong to the caller.
struct Co3964 {
    void* p_time;
    tyCo3964_cb_time_get_t_now cb_time_get_t_now;
    tyCo3964_cb_time_plus_ms cb_time_plus_ms;
    tyCo3964_cb_time_sleep_ms cb_time_sleep_ms; // optional
    void* p_uart;
    tyCo3964_cb_uart_receive_byte_nw cb_uart_receive_byte_nw;
    tyCo3964_cb_uart_send_byte cb_uart_send_byte;
    tyCo3964_cb_uart_send_with_dle cb_uart_send_with_dle; // optional
    void* p_ib_check;
    tyCo3964_cb_ib_check cb_ib_check; // optional
    int32_t ob_m_msg;
    int32_t ob_n_msg;
    uint8_t* ob_p_msg;
    int32_t ob_state; // 0 delivered or empty, 1 failed, 2 pending
    int32_t ib_m_msg;
    int32_t ib_n_msg; // -1 while the inbound slot is empty
    uint8_t* ib_p_msg;
    int32_t ib_n_rx; // bytes stored of the frame being received
    int32_t with_bcc;
    int32_t is_high_prio;
    int32_t state;
    int32_t t_timeout;
    int32_t t_char_delay_ms; // 220
    int32_t t_ack_delay_ms;  // 2000
    int32_t t_ib_busy_ms;    // 2000
    int32_t n_tx_try;
    int32_t n_connect_try;
    int32_t m_tx_try;      // 6 block attempts per message
    int32_t m_connect_try; // 6 start requests per block attempt
    int32_t rx_error;
    int32_t tx_pending;   // own send put off by an initiation conflict
    int32_t is_line_lost; // the latest receive gave CO3964_LINE_LOST
};

// Fills every field of p and returns p. Null when p is null (no log), or when
// a required item (cb_time_get_t_now, cb_time_plus_ms, cb_uart_receive_byte_nw,
// cb_uart_send_byte, ob_p_msg, ib_p_msg) is missing: each missing one is
// logged, in that order. Capacities are not checked.
Co3964* Co3964_init_ex(Co3964* p, void* p_time, tyCo3964_cb_time_get_t_now cb_time_get_t_now,
                       tyCo3964_cb_time_plus_ms cb_time_plus_ms,
                       tyCo3964_cb_time_sleep_ms cb_time_sleep_ms, void* p_uart,
                       tyCo3964_cb_uart_receive_byte_nw cb_uart_receive_byte_nw,
                       tyCo3964_cb_uart_send_byte cb_uart_send_byte,
                       tyCo3964_cb_uart_send_with_dle cb_uart_send_with_dle, void* p_ib_check,
                       tyCo3964_cb_ib_check cb_ib_check, int32_t ib_m_msg, uint8_t* ib_p_msg,
                       int32_t ob_m_msg, uint8_t* ob_p_msg, int32_t with_bcc,
                       int32_t is_high_prio);
// Co3964_init_ex without a frame check hook.
Co3964* Co3964_init(Co3964* p, void* p_time, tyCo3964_cb_time_get_t_now cb_time_get_t_now,
                    tyCo3964_cb_time_plus_ms cb_time_plus_ms,
                    tyCo3964_cb_time_sleep_ms cb_time_sleep_ms, void* p_uart,
                    tyCo3964_cb_uart_receive_byte_nw cb_uart_receive_byte_nw,
                    tyCo3964_cb_uart_send_byte cb_uart_send_byte,
                    tyCo3964_cb_uart_send_with_dle cb_uart_send_with_dle, int32_t ib_m_msg,
                    uint8_t* ib_p_msg, int32_t ob_m_msg, uint8_t* ob_p_msg, int32_t with_bcc,
                    int32_t is_high_prio);

// Runs the state machine until the link is idle (no byte, nothing to send) and
// returns 1; may last a whole transmission with its repetitions. It also returns 1
// while a start request waits for the full inbound slot, so that the caller can
// take the message there; the next call answers the request once the slot is
// empty, or with NAK once t_ib_busy_ms has passed since the request came. 0 for
// a null p.
int32_t Co3964_poll(Co3964* p);

// Hands over an outbound message (copied). 2 accepted (ob_state becomes 2);
// 1 refused: bad argument (logged) or a message still pending; 3 longer than
// ob_m_msg (not logged). A length of 0 is accepted.
int32_t Co3964_ob_set_msg(Co3964* p, int32_t n_msg, const uint8_t* p_msg);
// ob_state: 0 delivered or empty, 1 failed, 2 pending; 1 for a null p.
int32_t Co3964_ob_get_state(const Co3964* p);

// 1 while the receive callback reports the line lost (its latest result was
// CO3964_LINE_LOST); 0 otherwise and for a null p.
int32_t Co3964_is_line_lost(const Co3964* p);

// Length of the message waiting in the inbound slot; -1 when none or null p.
int32_t Co3964_ib_get_n_msg(const Co3964* p);
// Takes the inbound message into p_msg of capacity n_msg and empties the slot:
// its length. -1 for a bad argument (logged) or when no message waits; -2 when
// it does not fit, and the message is then discarded, nothing copied.
int32_t Co3964_ib_get_msg(Co3964* p, int32_t n_msg, uint8_t* p_msg);

// Sets the frame check hook. 1; 0 for a null p.
int32_t Co3964_set_ib_check(Co3964* p, void* p_ib_check, tyCo3964_cb_ib_check cb_ib_check);
// Stores the hook's context and function through whichever out-pointer is not
// null. 1; 0 for a null p.
int32_t Co3964_get_ib_check(const Co3964* p, void** out_p_ib_check,
                            tyCo3964_cb_ib_check* out_cb_ib_check);
// The frame check hook; null for a null p.
tyCo3964_cb_ib_check Co3964_get_cb_ib_check(const Co3964* p);
