// 3964R link procedure: initialisation, the two message slots and the polled
// state machine.
#include "co3964.h"

#include "con.h"

#include <cstring>

Co3964* Co3964_init_ex(Co3964* p, void* p_time, tyCo3964_cb_time_get_t_now cb_time_get_t_now,
                       tyCo3964_cb_time_plus_ms cb_time_plus_ms,
                       tyCo3964_cb_time_sleep_ms cb_time_sleep_ms, void* p_uart,
                       tyCo3964_cb_uart_receive_byte_nw cb_uart_receive_byte_nw,
                       tyCo3964_cb_uart_send_byte cb_uart_send_byte,
                       tyCo3964_cb_uart_send_with_dle cb_uart_send_with_dle, void* p_ib_check,
                       tyCo3964_cb_ib_check cb_ib_check, int32_t ib_m_msg, uint8_t* ib_p_msg,
                       int32_t ob_m_msg, uint8_t* ob_p_msg, int32_t with_bcc,
                       int32_t is_high_prio) {
    if (p == nullptr) return nullptr;
    p->p_time = p_time;
    p->cb_time_get_t_now = cb_time_get_t_now;
    p->cb_time_plus_ms = cb_time_plus_ms;
    p->cb_time_sleep_ms = cb_time_sleep_ms;
    p->p_uart = p_uart;
    p->cb_uart_receive_byte_nw = cb_uart_receive_byte_nw;
    p->cb_uart_send_byte = cb_uart_send_byte;
    p->cb_uart_send_with_dle = cb_uart_send_with_dle;
    p->p_ib_check = p_ib_check;
    p->cb_ib_check = cb_ib_check;
    p->ob_m_msg = ob_m_msg;
    p->ob_n_msg = 0;
    p->ob_p_msg = ob_p_msg;
    p->ob_state = 0;
    p->ib_m_msg = ib_m_msg;
    p->ib_n_msg = -1;
    p->ib_p_msg = ib_p_msg;
    p->ib_n_rx = 0;
    p->with_bcc = with_bcc;
    p->is_high_prio = is_high_prio;
    p->state = CO3964_ST_IDLE;
    p->t_timeout = 0;
    p->t_char_delay_ms = 220;
    p->t_ack_delay_ms = 2000;
    p->t_ib_busy_ms = 2000;
    p->n_tx_try = 1;
    p->n_connect_try = 1;
    p->m_tx_try = 6;
    p->m_connect_try = 6;
    p->rx_error = 0;
    p->tx_pending = 0;
    p->is_line_lost = 0;

    int ok = 1;
    if (cb_time_get_t_now == nullptr) {
        CON_LOG("error", "p -> cb_time_get_t_now = cb_time_get_t_now)\n");
        ok = 0;
    }
    if (cb_time_plus_ms == nullptr) {
        CON_LOG("error", "p -> cb_time_plus_ms = cb_time_plus_ms)\n");
        ok = 0;
    }
    if (cb_uart_receive_byte_nw == nullptr) {
        CON_LOG("error", "p -> cb_uart_receive_byte_nw = cb_uart_receive_byte_nw)\n");
        ok = 0;
    }
    if (cb_uart_send_byte == nullptr) {
        CON_LOG("error", "p -> cb_uart_send_byte = cb_uart_send_byte)\n");
        ok = 0;
    }
    if (ob_p_msg == nullptr) {
        CON_LOG("error", "p -> ob_p_msg = ob_p_msg)\n");
        ok = 0;
    }
    if (ib_p_msg == nullptr) {
        CON_LOG("error", "p -> ib_p_msg = ib_p_msg)\n");
        ok = 0;
    }
    return ok ? p : nullptr;
}

Co3964* Co3964_init(Co3964* p, void* p_time, tyCo3964_cb_time_get_t_now cb_time_get_t_now,
                    tyCo3964_cb_time_plus_ms cb_time_plus_ms,
                    tyCo3964_cb_time_sleep_ms cb_time_sleep_ms, void* p_uart,
                    tyCo3964_cb_uart_receive_byte_nw cb_uart_receive_byte_nw,
                    tyCo3964_cb_uart_send_byte cb_uart_send_byte,
                    tyCo3964_cb_uart_send_with_dle cb_uart_send_with_dle, int32_t ib_m_msg,
                    uint8_t* ib_p_msg, int32_t ob_m_msg, uint8_t* ob_p_msg, int32_t with_bcc,
                    int32_t is_high_prio) {
    return Co3964_init_ex(p, p_time, cb_time_get_t_now, cb_time_plus_ms, cb_time_sleep_ms, p_uart,
                          cb_uart_receive_byte_nw, cb_uart_send_byte, cb_uart_send_with_dle,
                          nullptr, nullptr, ib_m_msg, ib_p_msg, ob_m_msg, ob_p_msg, with_bcc,
                          is_high_prio);
}

// XOR of the message bytes with every DLE taken twice (so DLEs cancel), then
// of DLE and ETX: the XOR of everything sent after the acknowledgement up to ETX.
static uint8_t bcc_of(int32_t n, const uint8_t* p_bytes) {
    if (p_bytes == nullptr) return 0;
    uint8_t x = 0;
    for (int32_t i = 0; i < n; i++)
        if (p_bytes[i] != CO3964_DLE) x ^= p_bytes[i];
    return static_cast<uint8_t>(x ^ CO3964_DLE ^ CO3964_ETX);
}

static inline int32_t receive(Co3964* p) {
    int32_t ch = p->cb_uart_receive_byte_nw(p->p_uart);
    p->is_line_lost = ch == CO3964_LINE_LOST;
    return ch;
}
static inline void send(Co3964* p, int32_t ch) { p->cb_uart_send_byte(p->p_uart, ch); }
static inline void arm(Co3964* p, int32_t now, int32_t t_ms) {
    p->t_timeout = p->cb_time_plus_ms(p->p_time, now, t_ms);
}
// On a lost line no deadline is worth waiting for.
static inline bool passed(const Co3964* p, int32_t now) {
    if (p->is_line_lost) return true;
    return static_cast<int32_t>(static_cast<uint32_t>(p->t_timeout) - static_cast<uint32_t>(now)) <
           0;
}
static inline void wait_hook(Co3964* p) {
    if (p->cb_time_sleep_ms) p->cb_time_sleep_ms(p->p_time, 1);
}

// Stores a received byte when there is room; the excess of a long frame is dropped.
static inline void store(Co3964* p, int32_t ch) {
    if (p->ib_n_rx < p->ib_m_msg) p->ib_p_msg[p->ib_n_rx++] = static_cast<uint8_t>(ch);
}

// Sends the message bytes with DLE doubled. CO3964_NO_BYTE when all went out;
// otherwise the byte by which the partner broke in (consumed), or the failed
// result of cb_uart_send_with_dle.
static int32_t send_block(Co3964* p) {
    if (p->cb_uart_send_with_dle) return p->cb_uart_send_with_dle(p->p_uart, p->ob_n_msg, p->ob_p_msg);
    const uint8_t* b = p->ob_p_msg;
    for (int32_t i = 0, n = p->ob_n_msg; i < n; i++) {
        int32_t ch = receive(p);
        if (ch >= 0) return ch;
        send(p, b[i]);
        if (b[i] == CO3964_DLE) {
            ch = receive(p);
            if (ch >= 0) return ch;
            send(p, CO3964_DLE);
        }
    }
    return CO3964_NO_BYTE;
}

int32_t Co3964_poll(Co3964* p) {
    if (p == nullptr) return 0;
    for (;;) {
        const int32_t now = p->cb_time_get_t_now(p->p_time);
        int32_t ch;
        switch (p->state) {
        case CO3964_ST_IDLE:
            ch = receive(p);
            if (ch < 0) {
                if (p->ob_state != 2) return 1;
                p->n_tx_try = 1;
                // The put-off send starts now; a later reception must not start it again.
                p->tx_pending = 0;
                p->state = CO3964_ST_TX_ATTEMPT;
            } else if (ch == CO3964_STX) {
                p->state = CO3964_ST_RX_START;
            } else if (ch != CO3964_NAK) {
                arm(p, now, p->t_char_delay_ms);
                p->state = CO3964_ST_RX_UNEXPECTED;
            }
            break;
        case CO3964_ST_RX_START:
            p->rx_error = 0;
            if (p->ib_n_msg < 0) {
                p->state = CO3964_ST_RX_ACCEPT;
            } else {
                arm(p, now, p->t_ib_busy_ms);
                p->state = CO3964_ST_RX_BUSY;
            }
            break;
        case CO3964_ST_RX_BUSY:
            if (p->ib_n_msg < 0) {
                p->state = CO3964_ST_RX_ACCEPT;
            } else if (passed(p, now)) {
                send(p, CO3964_NAK);
                p->state = CO3964_ST_IDLE;
            } else {
                // Only the caller can empty the slot, and it cannot while the poll
                // runs: leave with the start request waiting here. The next poll goes
                // on in this state, and the deadline runs on across calls.
                return 1;
            }
            break;
        case CO3964_ST_RX_ACCEPT:
            p->ib_n_rx = 0;
            send(p, CO3964_DLE);
            p->state = CO3964_ST_RX_NEXT;
            break;
        case CO3964_ST_RX_NEXT:
            arm(p, now, p->t_char_delay_ms);
            p->state = CO3964_ST_RX_DATA;
            break;
        case CO3964_ST_RX_DATA:
            ch = receive(p);
            if (ch < 0) {
                if (passed(p, now)) p->state = CO3964_ST_RX_REFUSE;
                else wait_hook(p);
            } else if (ch > 255) {
                p->rx_error = 1;
                p->state = CO3964_ST_RX_NEXT;
            } else if (ch == CO3964_DLE) {
                arm(p, now, p->t_char_delay_ms);
                p->state = CO3964_ST_RX_AFTER_DLE;
            } else {
                store(p, ch);
                p->state = CO3964_ST_RX_NEXT;
            }
            break;
        case CO3964_ST_RX_AFTER_DLE:
            ch = receive(p);
            if (ch < 0) {
                if (passed(p, now)) p->state = CO3964_ST_RX_REFUSE;
                else wait_hook(p);
            } else if (ch == CO3964_DLE) {
                store(p, ch);
                p->state = CO3964_ST_RX_NEXT;
            } else if (ch == CO3964_ETX) {
                if (p->with_bcc) {
                    arm(p, now, p->t_char_delay_ms);
                    p->state = CO3964_ST_RX_BCC;
                } else {
                    p->state = CO3964_ST_RX_COMPLETE;
                }
            } else {
                p->rx_error = 1;
                p->state = CO3964_ST_RX_NEXT;
            }
            break;
        case CO3964_ST_RX_BCC:
            ch = receive(p);
            if (ch < 0) {
                if (passed(p, now)) p->state = CO3964_ST_RX_REFUSE;
                else wait_hook(p);
            } else if (ch > 255 || ch != bcc_of(p->ib_n_rx, p->ib_p_msg)) {
                p->state = CO3964_ST_RX_REFUSE;
            } else if (p->cb_ib_check) {
                p->state = p->cb_ib_check(p->p_ib_check, p->ib_n_rx, p->ib_p_msg)
                               ? CO3964_ST_RX_COMPLETE
                               : CO3964_ST_RX_REFUSE;
            } else {
                p->state = CO3964_ST_RX_COMPLETE;
            }
            break;
        case CO3964_ST_RX_COMPLETE:
            if (p->rx_error) {
                p->state = CO3964_ST_RX_REFUSE;
            } else {
                send(p, CO3964_DLE);
                p->ib_n_msg = p->ib_n_rx;
                p->state = CO3964_ST_RX_OVER;
            }
            break;
        case CO3964_ST_RX_REFUSE:
        case CO3964_ST_RX_OVER:
            if (p->state == CO3964_ST_RX_REFUSE) send(p, CO3964_NAK);
            if (p->tx_pending) {
                p->tx_pending = 0;
                p->state = CO3964_ST_TX_ATTEMPT;
            } else {
                p->state = CO3964_ST_IDLE;
            }
            break;
        case CO3964_ST_RX_UNEXPECTED:
            // Bytes outside a frame (the tail of a frame refused as too slow, noise) get one
            // NAK once the line has been quiet for the character delay. A NAK for each byte
            // would meet the partner's next start requests and refuse them all. A start
            // request ends the wait and is served.
            ch = receive(p);
            if (ch < 0) {
                if (passed(p, now)) {
                    send(p, CO3964_NAK);
                    p->state = CO3964_ST_IDLE;
                } else {
                    wait_hook(p);
                }
            } else if (ch == CO3964_STX) {
                p->state = CO3964_ST_RX_START;
            } else {
                arm(p, now, p->t_char_delay_ms);
            }
            break;
        case CO3964_ST_TX_ATTEMPT:
            p->n_connect_try = 1;
            p->state = CO3964_ST_TX_STX;
            break;
        case CO3964_ST_TX_STX:
            send(p, CO3964_STX);
            p->state = CO3964_ST_TX_ARM_ACK;
            break;
        case CO3964_ST_TX_ARM_ACK:
            arm(p, now, p->t_ack_delay_ms);
            p->state = CO3964_ST_TX_WAIT_ACK;
            break;
        case CO3964_ST_TX_WAIT_ACK:
            ch = receive(p);
            if (ch < 0) {
                if (passed(p, now)) {
                    p->n_connect_try++;
                    p->state = CO3964_ST_TX_REPEAT_STX;
                } else {
                    wait_hook(p);
                }
            } else if (ch == CO3964_DLE) {
                p->state = CO3964_ST_TX_BLOCK;
            } else if (ch == CO3964_STX) {
                if (p->is_high_prio) {
                    p->state = CO3964_ST_TX_ARM_ACK;
                } else {
                    p->tx_pending = 1;
                    p->state = CO3964_ST_RX_START;
                }
            } else if (ch == CO3964_NAK) {
                p->n_connect_try++;
                p->state = CO3964_ST_TX_REPEAT_STX;
            } else {
                arm(p, now, p->t_char_delay_ms);
                p->state = CO3964_ST_TX_WAIT_QUIET;
            }
            break;
        case CO3964_ST_TX_WAIT_QUIET:
            // Another byte instead of the answer: the partner is still sending (the tail of
            // a frame of its own that came too late). A start request repeated into it at
            // once would meet the next byte, and the next, and use up every attempt; it goes
            // out when the line has been quiet for the character delay. A partner's start
            // request is a conflict as in state 23.
            ch = receive(p);
            if (ch < 0) {
                if (passed(p, now)) {
                    p->n_connect_try++;
                    p->state = CO3964_ST_TX_REPEAT_STX;
                } else {
                    wait_hook(p);
                }
            } else if (ch == CO3964_STX && !p->is_high_prio) {
                p->tx_pending = 1;
                p->state = CO3964_ST_RX_START;
            } else {
                arm(p, now, p->t_char_delay_ms);
            }
            break;
        case CO3964_ST_TX_BLOCK:
            if (send_block(p) == CO3964_NO_BYTE) {
                send(p, CO3964_DLE);
                send(p, CO3964_ETX);
                if (p->with_bcc) send(p, bcc_of(p->ob_n_msg, p->ob_p_msg));
                arm(p, now, p->t_ack_delay_ms);
                p->state = CO3964_ST_TX_WAIT_FINAL;
            } else {
                send(p, CO3964_NAK);
                p->state = CO3964_ST_TX_FAILED;
            }
            break;
        case CO3964_ST_TX_WAIT_FINAL:
            ch = receive(p);
            if (ch < 0) {
                if (passed(p, now)) p->state = CO3964_ST_TX_FAILED;
                else wait_hook(p);
            } else if (ch == CO3964_DLE) {
                p->ob_state = 0;
                p->state = CO3964_ST_IDLE;
            } else {
                p->state = CO3964_ST_TX_FAILED;
            }
            break;
        case CO3964_ST_TX_FAILED:
            p->n_tx_try++;
            p->state = CO3964_ST_TX_REPEAT_BLOCK;
            break;
        case CO3964_ST_TX_REPEAT_BLOCK:
            if (p->n_tx_try > p->m_tx_try) {
                p->ob_state = 1;
                send(p, CO3964_NAK);
                p->state = CO3964_ST_IDLE;
            } else {
                p->state = CO3964_ST_TX_ATTEMPT;
            }
            break;
        case CO3964_ST_TX_REPEAT_STX:
            if (p->n_connect_try > p->m_connect_try) {
                p->ob_state = 1;
                send(p, CO3964_NAK);
                p->state = CO3964_ST_IDLE;
            } else {
                p->state = CO3964_ST_TX_STX;
            }
            break;
        default:
            p->state = CO3964_ST_IDLE;
            break;
        }
    }
}

int32_t Co3964_ob_set_msg(Co3964* p, int32_t n_msg, const uint8_t* p_msg) {
    if (p == nullptr) {
        CON_LOG("error", "p == NULL\n");
        return 1;
    }
    if (n_msg < 0) {
        CON_LOG("error", "n_msg < 0\n");
        return 1;
    }
    if (p_msg == nullptr) {
        CON_LOG("error", "p_msg == NULL\n");
        return 1;
    }
    if (p->ob_state == 2) return 1;
    if (n_msg > p->ob_m_msg) return 3;
    if (n_msg > 0) memcpy(p->ob_p_msg, p_msg, static_cast<size_t>(n_msg));
    p->ob_n_msg = n_msg;
    p->ob_state = 2;
    return 2;
}

int32_t Co3964_ob_get_state(const Co3964* p) { return p ? p->ob_state : 1; }

int32_t Co3964_is_line_lost(const Co3964* p) { return p && p->is_line_lost ? 1 : 0; }

int32_t Co3964_ib_get_n_msg(const Co3964* p) { return p ? p->ib_n_msg : -1; }

int32_t Co3964_ib_get_msg(Co3964* p, int32_t n_msg, uint8_t* p_msg) {
    if (p == nullptr) {
        CON_LOG("error", "p == NULL\n");
        return -1;
    }
    if (n_msg < 0) {
        CON_LOG("error", "n_msg < 0\n");
        return -1;
    }
    if (p_msg == nullptr) {
        CON_LOG("error", "p_msg == NULL\n");
        return -1;
    }
    const int32_t n = p->ib_n_msg;
    if (n < 0) return -1;
    p->ib_n_msg = -1;
    if (n > n_msg) return -2;
    if (n > 0) memcpy(p_msg, p->ib_p_msg, static_cast<size_t>(n));
    return n;
}

int32_t Co3964_set_ib_check(Co3964* p, void* p_ib_check, tyCo3964_cb_ib_check cb_ib_check) {
    if (p == nullptr) return 0;
    p->p_ib_check = p_ib_check;
    p->cb_ib_check = cb_ib_check;
    return 1;
}

int32_t Co3964_get_ib_check(const Co3964* p, void** out_p_ib_check,
                            tyCo3964_cb_ib_check* out_cb_ib_check) {
    if (p == nullptr) return 0;
    if (out_p_ib_check) *out_p_ib_check = p->p_ib_check;
    if (out_cb_ib_check) *out_cb_ib_check = p->cb_ib_check;
    return 1;
}

tyCo3964_cb_ib_check Co3964_get_cb_ib_check(const Co3964* p) {
    return p ? p->cb_ib_check : nullptr;
}
