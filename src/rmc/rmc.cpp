// RMC master: transactions over the 3964R link and the command set.
#include "rmc.h"
#include "rmc_internal.h"

#include "co3964.h"
#include "con.h"
#include "csp.h"

#include <cstdarg>
#include <cstring>
#include <initializer_list>

// At most nine arguments fill a request; the link's slot states and answers.
enum { RMC_MAX_ARGS = 9, CO_PENDING = 2, CO_ACCEPTED = 2 };

static const char* const s_result_names[] = {
    nullptr,
    "RMC_RES_ILL_FC      ",
    "RMC_RES_ILL_DATA_ADR",
    "RMC_RES_ILL_DATA_VAL",
    "RMC_RES_DEV_FAIL    ",
    "RMC_RES_ACK         ",
    "RMC_RES_BUSY        ",
    "RMC_RES_NAK         ",
    "RMC_RES_ERR_SEND    ",
    "RMC_RES_ERR_REC     ",
    "RMC_RES_ERR_ELSE    ",
};

const char* Rmc_get_result_name(int code) {
    if (code < RMC_RES_ILL_FC || code > RMC_RES_ERR_ELSE) return nullptr;
    return s_result_names[code];
}

// --- record

Rmc* Rmc_init_as_slave(Rmc* p, int32_t m_msg_buffer, uint8_t* p_msg_buffer, Co3964* p_co,
                       int32_t par_1, int32_t par_2, int32_t par_3, int32_t tab_1, int32_t tab_2,
                       int32_t tab_3, int32_t tab_4, int32_t tab_5, int32_t tab_6, int32_t tab_7,
                       int32_t tab_8, int32_t tab_9, int32_t tab_10, int32_t tab_11, int32_t tab_12,
                       int32_t tab_13, int32_t tab_14, int32_t tab_15, int32_t tab_16,
                       int32_t tab_17, int32_t tab_18, int32_t tab_19, int32_t tab_20,
                       int32_t tab_21, int32_t tab_22, int32_t tab_23) {
    if (!p) return nullptr;
    p->m_msg_buffer = m_msg_buffer;
    p->n_msg = 0;
    p->p_msg_buffer = p_msg_buffer;
    p->p_co = p_co;
    p->send_timeout_ms = 5000;
    p->reply_timeout_ms = 5000;
    const int32_t par[] = {par_1, par_2, par_3};
    std::memcpy(p->slave_par, par, sizeof p->slave_par);
    p->slave_state[0] = 0;
    p->slave_state[1] = 1;
    const int32_t tab[] = {tab_1,  tab_2,  tab_3,  tab_4,  tab_5,  tab_6,  tab_7,  tab_8,
                           tab_9,  tab_10, tab_11, tab_12, tab_13, tab_14, tab_15, tab_16,
                           tab_17, tab_18, tab_19, tab_20, tab_21, tab_22, tab_23};
    std::memcpy(p->slave_table, tab, sizeof p->slave_table);

    int ok = 1;
    if (m_msg_buffer <= 0) {
        CON_LOG("error", "p -> m_msg_buffer = m_msg_buffer)\n");
        ok = 0;
    }
    if (!p_msg_buffer) {
        CON_LOG("error", "p -> p_msg_buffer = p_msg_buffer)\n");
        ok = 0;
    }
    if (!p_co) {
        CON_LOG("error", "p -> p_co = p_co)\n");
        ok = 0;
    }
    return ok ? p : nullptr;
}

Rmc* Rmc_init_as_master(Rmc* p, int32_t m_msg_buffer, uint8_t* p_msg_buffer, Co3964* p_co) {
    return Rmc_init_as_slave(p, m_msg_buffer, p_msg_buffer, p_co, -1, -1, -1, 0, 0, 0, 0, 0, 0, 0,
                             0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0);
}

// --- messages

uint8_t* put_u8(uint8_t* position, uint8_t value) {
    *position = value;
    return position + 1;
}

uint8_t* put_u32_le(uint8_t* position, uint32_t value) {
    for (int i = 0; i < 4; ++i)
        position = put_u8(position, (uint8_t)(value >> (8 * i)));
    return position;
}

uint8_t get_u8(const uint8_t* position) {
    return *position;
}

uint32_t get_u32_le(const uint8_t* position) {
    uint32_t value = 0;
    for (int i = 3; i >= 0; --i)
        value = (value << 8) | get_u8(position + i);
    return value;
}

int build_message(Rmc* p, int n_args, int fc, ...) {
    if (!p) return 1;
    int n_put = n_args < RMC_MAX_ARGS ? n_args : RMC_MAX_ARGS;
    if (n_put < 0) n_put = 0;
    p->n_msg = 1 + 4 * n_args;
    if (!p->p_msg_buffer || 1 + 4 * n_put > p->m_msg_buffer) return 1;
    va_list args;
    va_start(args, fc);
    uint8_t* position = put_u8(p->p_msg_buffer, (uint8_t)fc);
    for (int i = 0; i < n_put; ++i)
        position = put_u32_le(position, va_arg(args, uint32_t));
    va_end(args);
    return 1;
}

// --- transaction

// Ticks left until deadline; the signed difference survives the wrap of the
// tick count.
static int32_t ms_left(uint32_t deadline) {
    return (int32_t)(deadline - Csp_get_tick_count());
}

// A message waiting in the link's inbound slot while the request is still pending
// came before the request left: it answers nothing of this transaction. Taking it
// at once frees the slot for a start request that may be waiting behind it.
static void drop_stale_message(Rmc* p) {
    if (Co3964_ib_get_n_msg(p->p_co) < 0) return;
    int n = Co3964_ib_get_msg(p->p_co, p->m_msg_buffer, p->p_msg_buffer);
    if (n >= 0) p->n_msg = n;
}

int wait_message_sent(Rmc* p) {
    if (!p) return 0;
    uint32_t deadline = Csp_get_tick_count() + (uint32_t)p->send_timeout_ms;
    for (;;) {
        // The state comes first: a request that has left counts as sent even
        // when the deadline has passed meanwhile.
        if (Co3964_ob_get_state(p->p_co) != CO_PENDING) return 1;
        drop_stale_message(p);
        if (ms_left(deadline) <= 0) return 0;
        Co3964_poll(p->p_co);
        // The poll that finished the wait goes on at once: an idle hook
        // behind the yield would hold up the next frame for nothing.
        if (Co3964_ob_get_state(p->p_co) != CO_PENDING) return 1;
        // A device that has gone will not take the request: no use waiting.
        if (Co3964_is_line_lost(p->p_co)) return 0;
        Csp_sleep_ms(0);
    }
}

int send_message(Rmc* p, int n, const uint8_t* buffer) {
    if (!p) return 0;
    int result = Co3964_ob_set_msg(p->p_co, n, buffer);
    if (result == CO_ACCEPTED) return wait_message_sent(p);
    CON_LOG("error", "unexpected result %d\n", result);
    return 0;
}

int wait_message_received(Rmc* p) {
    if (!p) return 0;
    uint32_t deadline = Csp_get_tick_count() + (uint32_t)p->reply_timeout_ms;
    for (;;) {
        if (Co3964_ib_get_n_msg(p->p_co) >= 0) return 1;
        // Past the deadline one last poll still runs: a host held off that long may find
        // the reply already on the port.
        const bool is_late = ms_left(deadline) <= 0;
        Co3964_poll(p->p_co);
        if (Co3964_ib_get_n_msg(p->p_co) >= 0) return 1;
        // Nor will it answer: the reply wait ends with the line.
        if (is_late || Co3964_is_line_lost(p->p_co)) return 0;
        Csp_sleep_ms(0);
    }
}

int receive_message(Rmc* p, int m, uint8_t* buffer) {
    if (!p || !wait_message_received(p)) return -1;
    int n = Co3964_ib_get_n_msg(p->p_co);
    // The link drops a message that does not fit, so it cannot be read later.
    if (Co3964_ib_get_msg(p->p_co, m, buffer) < 0) return -1;
    return n;
}

int signa_is_ok(int n_signa, const uint8_t* p_signa_a, const uint8_t* p_signa_b) {
    if (!p_signa_a) {
        CON_LOG("error", "p_signa_a == NULL\n");
        return 0;
    }
    if (!p_signa_b) {
        CON_LOG("error", "p_signa_b == NULL\n");
        return 0;
    }
    if (n_signa <= 0) return 0;
    for (int i = 0; i < n_signa; ++i)
        if (p_signa_a[i] != p_signa_b[i]) return 0;
    return 1;
}

// A 2-byte reply of the request's code with bit 7 set and a slave code 1..7.
static int is_exception_reply(const Rmc* p, int n, uint8_t fc) {
    const uint8_t* msg = p->p_msg_buffer;
    return n == 2 && (msg[0] & 0x80) && (msg[0] & 0x7F) == fc && msg[1] >= RMC_RES_ILL_FC &&
           msg[1] <= RMC_RES_NAK;
}

int send_and_receive(Rmc* p, int n_signa, int n_expected) {
    int result = RMC_RES_ERR_ELSE;
    if (!p) {
        CON_LOG("error", "p == NULL\n");
        return result;
    }
    if (n_signa < 0) {
        CON_LOG("error", "n_signa < 0\n");
        return result;
    }
    if (n_signa > N_SIGNA) {
        CON_LOG("error", "n_signa > N_SIGNA\n");
        return result;
    }
    // A request that was built longer than the buffer was never written whole.
    if (p->n_msg < 0 || p->n_msg > p->m_msg_buffer) {
        CON_LOG("error", "n_msg > m_msg_buffer\n");
        p->n_msg = 0;
        return RMC_RES_ERR_SEND;
    }
    // The reply overwrites the request, so keep its signature apart.
    // The function code is kept also for a signature of 0 bytes, for the test
    // of exception replies.
    uint8_t signa[N_SIGNA] = {};
    int n_keep = n_signa > 1 ? n_signa : 1;
    std::memcpy(signa, p->p_msg_buffer, n_keep < p->m_msg_buffer ? n_keep : p->m_msg_buffer);

    if (!send_message(p, p->n_msg, p->p_msg_buffer)) return RMC_RES_ERR_SEND;
    for (;;) {
        int n = receive_message(p, p->m_msg_buffer, p->p_msg_buffer);
        if (n < 0) return RMC_RES_ERR_REC;
        p->n_msg = n;
        if (n == 0) continue;
        if (is_exception_reply(p, n, signa[0])) return p->p_msg_buffer[1];
        if (n >= n_signa && signa_is_ok(n_signa, signa, p->p_msg_buffer))
            return n == n_expected ? RMC_RES_OK : RMC_RES_ERR_REC;
        // Anything else answers nothing that is awaited (a late reply to an
        // earlier request): drop it and wait afresh.
    }
}

int log_result(int code) {
    if (code == RMC_RES_OK) return code;
    // The lines carry an empty function part.
    const char* name = Rmc_get_result_name(code);
    if (name)
        Con_printf("%s-%s-%s: send_and_receive returned %d (%s)\n", "error", __FILE__, "", code,
                   name);
    else
        Con_printf("%s-%s-%s: send_and_receive returned %d (?]\n", "error", __FILE__, "", code);
    return code;
}

// --- steps shared by the commands

// Lengths of requests and replies with data, kept within int.
static int msg_len(uint32_t n_head, uint32_t n_data) {
    uint64_t n = (uint64_t)n_head + n_data;
    return n > INT32_MAX ? INT32_MAX : (int)n;
}

// Appends n data bytes behind the request built so far. Bytes that would not
// fit are not written; the length still grows, so the request is refused.
static void put_data(Rmc* p, const uint8_t* p_data, uint32_t n) {
    int n_msg = msg_len((uint32_t)p->n_msg, n);
    if (n_msg <= p->m_msg_buffer) {
        uint8_t* position = p->p_msg_buffer + p->n_msg;
        for (uint32_t i = 0; i < n; ++i)
            position = put_u8(position, p_data[i]);
    }
    p->n_msg = n_msg;
}

// One transaction for the request now built, logged when it fails.
static int run(Rmc* p, int n_signa, int n_expected) {
    return log_result(send_and_receive(p, n_signa, n_expected));
}

// Copies n bytes of the buffer from offset into p_out; bytes the buffer does
// not own come out as 0.
static void copy_bytes(const Rmc* p, int offset, uint8_t* p_out, uint32_t n) {
    uint32_t n_own = p->m_msg_buffer > offset ? (uint32_t)(p->m_msg_buffer - offset) : 0;
    if (n_own > n) n_own = n;
    if (n_own) std::memcpy(p_out, p->p_msg_buffer + offset, n_own);
    if (n > n_own) std::memset(p_out + n_own, 0, n - n_own);
}

// Reads consecutive reply words from offset into the outputs that are not null.
static void copy_words(const Rmc* p, int offset, std::initializer_list<uint32_t*> outs) {
    for (uint32_t* p_out : outs) {
        uint8_t word[4];
        if (p_out) {
            copy_bytes(p, offset, word, 4);
            *p_out = get_u32_le(word);
        }
        offset += 4;
    }
}

// The code alone, repeated alone.
static int do_code_only(Rmc* p, int fc) {
    if (!p) return RMC_RES_ERR_ELSE;
    build_message(p, 0, fc);
    return run(p, 1, 1);
}

// The code and n_item (0 or 1) item words, repeated; the words of outs come
// back behind them.
static int do_get(Rmc* p, int fc, int n_item, uint32_t item,
                  std::initializer_list<uint32_t*> outs) {
    if (!p) return RMC_RES_ERR_ELSE;
    build_message(p, n_item, fc, item);
    int n_signa = 1 + 4 * n_item;
    int result = run(p, n_signa, n_signa + 4 * (int)outs.size());
    copy_words(p, n_signa, outs);
    return result;
}

// Code, address, length and data; the reply repeats the three.
static int do_write(Rmc* p, int fc, uint32_t a_mem, const uint8_t* p_bytes, uint32_t n_bytes) {
    if (!p || (!p_bytes && n_bytes)) return RMC_RES_ERR_ELSE;
    build_message(p, 2, fc, a_mem, n_bytes);
    put_data(p, p_bytes, n_bytes);
    return run(p, 9, 9);
}

// --- commands

int Rmc_do_get_words_5(Rmc* p, uint32_t* p_w1, uint32_t* p_w2, uint32_t* p_w3) {
    return do_get(p, RMC_FC_GET_WORDS_5, 0, 0, {p_w1, p_w2, p_w3});
}

int Rmc_do_get_words_6(Rmc* p, uint32_t* p_w1, uint32_t* p_w2, uint32_t* p_w3) {
    return do_get(p, RMC_FC_GET_WORDS_6, 0, 0, {p_w1, p_w2, p_w3});
}

int Rmc_do_activate_bootloader(Rmc* p) {
    return do_code_only(p, RMC_FC_ACTIVATE_BOOTLOADER);
}

int Rmc_do_start_appl(Rmc* p) {
    return do_code_only(p, RMC_FC_START_APPL);
}

int Rmc_do_read_mem(Rmc* p, uint32_t a_mem, uint8_t* p_bytes, uint32_t n_bytes) {
    if (!p || (!p_bytes && n_bytes)) return RMC_RES_ERR_ELSE;
    build_message(p, 2, RMC_FC_READ_MEM, a_mem, n_bytes);
    int result = run(p, 9, msg_len(9, n_bytes));
    copy_bytes(p, 9, p_bytes, n_bytes);
    return result;
}

int Rmc_do_jump(Rmc* p, uint32_t a_mem) {
    if (!p) return RMC_RES_ERR_ELSE;
    build_message(p, 1, RMC_FC_JUMP, a_mem);
    return run(p, 5, 5);
}

int Rmc_do_write_xbram(Rmc* p, uint32_t a_mem, const uint8_t* p_bytes, uint32_t n_bytes) {
    return do_write(p, RMC_FC_WRITE_XBRAM, a_mem, p_bytes, n_bytes);
}

int Rmc_do_erase_appl(Rmc* p) {
    return do_code_only(p, RMC_FC_ERASE_APPL);
}

int Rmc_do_blank_check_appl(Rmc* p) {
    return do_code_only(p, RMC_FC_BLANK_CHECK_APPL);
}

int Rmc_do_write_flash(Rmc* p, uint32_t a_mem, const uint8_t* p_bytes, uint32_t n_bytes) {
    return do_write(p, RMC_FC_WRITE_FLASH, a_mem, p_bytes, n_bytes);
}

int Rmc_do_exec_64(Rmc* p) {
    return do_code_only(p, RMC_FC_EXEC_64);
}

int Rmc_do_exec_65(Rmc* p) {
    return do_code_only(p, RMC_FC_EXEC_65);
}

int Rmc_do_write_block_66(Rmc* p, uint32_t a_mem, const uint8_t* p_bytes, uint32_t n_bytes) {
    return do_write(p, RMC_FC_WRITE_BLOCK_66, a_mem, p_bytes, n_bytes);
}

int Rmc_do_get_pair_67(Rmc* p, uint32_t item, uint32_t* p_w1, uint32_t* p_w2) {
    return do_get(p, RMC_FC_GET_PAIR_67, 1, item, {p_w1, p_w2});
}

int Rmc_do_set_pair_68(Rmc* p, uint32_t item, uint32_t w1, uint32_t w2) {
    if (!p) return RMC_RES_ERR_ELSE;
    build_message(p, 3, RMC_FC_SET_PAIR_68, item, w1, w2);
    return run(p, 5, 5);
}

// Output word i of the record, skipped with the record.
static uint32_t* rec_word(RmcRec6* p_rec, int i) {
    return p_rec ? &p_rec->w[i] : nullptr;
}

int Rmc_do_get_words_69(Rmc* p, uint32_t* p_w1, uint32_t* p_w2, RmcRec6* p_rec, uint32_t* p_w9) {
    return do_get(p, RMC_FC_GET_WORDS_69, 0, 0,
                  {p_w1, p_w2, rec_word(p_rec, 0), rec_word(p_rec, 1), rec_word(p_rec, 2),
                   rec_word(p_rec, 3), rec_word(p_rec, 4), rec_word(p_rec, 5), p_w9});
}

int Rmc_do_set_words_70(Rmc* p, uint32_t w1, uint32_t w2, uint32_t w3, uint32_t w4, uint32_t w5,
                        uint32_t w6, uint32_t w7, uint32_t w8) {
    if (!p) return RMC_RES_ERR_ELSE;
    build_message(p, 8, RMC_FC_SET_WORDS_70, w1, w2, w3, w4, w5, w6, w7, w8);
    return run(p, 1, 1);
}

int Rmc_do_get_text_71(Rmc* p, char* p_text) {
    if (!p || !p_text) return RMC_RES_ERR_ELSE;
    build_message(p, 0, RMC_FC_GET_TEXT_71);
    int result = run(p, 1, 1 + RMC_N_TEXT);
    // Reply bytes 1 to 39; the 40th output byte is always the terminator.
    copy_bytes(p, 1, (uint8_t*)p_text, RMC_N_TEXT - 1);
    p_text[RMC_N_TEXT - 1] = 0;
    return result;
}

int Rmc_do_set_text_72(Rmc* p, const char* p_text) {
    if (!p || !p_text) return RMC_RES_ERR_ELSE;
    build_message(p, 0, RMC_FC_SET_TEXT_72);
    // 39 bytes as they are, also past a terminator, then a terminator of our own.
    uint8_t text[RMC_N_TEXT] = {};
    std::memcpy(text, p_text, RMC_N_TEXT - 1);
    put_data(p, text, RMC_N_TEXT);
    return run(p, 1, 1);
}

int Rmc_do_get_words_80(Rmc* p, uint32_t* p_w1, uint32_t* p_w2, uint32_t* p_w3) {
    return do_get(p, RMC_FC_GET_WORDS_80, 0, 0, {p_w1, p_w2, p_w3});
}

int Rmc_do_get_indexed_words_81(Rmc* p, uint32_t item, uint32_t* p_w1, uint32_t* p_w2,
                                uint32_t* p_w3) {
    return do_get(p, RMC_FC_GET_INDEXED_WORDS_81, 1, item, {p_w1, p_w2, p_w3});
}

int Rmc_do_get_words_82(Rmc* p, uint32_t* p_w1, uint32_t* p_w2, uint32_t* p_w3) {
    return do_get(p, RMC_FC_GET_WORDS_82, 0, 0, {p_w1, p_w2, p_w3});
}

int Rmc_do_get_indexed_words_83(Rmc* p, uint32_t item, uint32_t* p_w1, uint32_t* p_w2,
                                uint32_t* p_w3) {
    return do_get(p, RMC_FC_GET_INDEXED_WORDS_83, 1, item, {p_w1, p_w2, p_w3});
}

int Rmc_do_fram_read(Rmc* p, uint32_t i_fram, uint32_t a_fram, uint32_t n_data, uint8_t* p_data) {
    if (!p || (!p_data && n_data)) return RMC_RES_ERR_ELSE;
    build_message(p, 3, RMC_FC_FRAM_READ, i_fram, a_fram, n_data);
    int result = send_and_receive(p, 13, msg_len(13, n_data));
    if (result != RMC_RES_OK)
        CON_LOG("error", "i_fram=%d a_fram=%d n_data=%d\n", (int)i_fram, (int)a_fram, (int)n_data);
    copy_bytes(p, 13, p_data, n_data);
    return log_result(result);
}

int Rmc_do_fram_write(Rmc* p, uint32_t i_fram, uint32_t a_fram, uint32_t n_data,
                      const uint8_t* p_data) {
    if (!p || (!p_data && n_data)) return RMC_RES_ERR_ELSE;
    build_message(p, 3, RMC_FC_FRAM_WRITE, i_fram, a_fram, n_data);
    put_data(p, p_data, n_data);
    return run(p, 13, 13);
}

int Rmc_do_get_words_86(Rmc* p, uint32_t* p_w1, uint32_t* p_w2, uint32_t* p_w3, uint32_t* p_w4,
                        uint32_t* p_w5, uint32_t* p_w6) {
    return do_get(p, RMC_FC_GET_WORDS_86, 0, 0, {p_w1, p_w2, p_w3, p_w4, p_w5, p_w6});
}

int Rmc_do_set_words_87(Rmc* p, uint32_t w1, uint32_t w2, uint32_t w3, uint32_t w4, uint32_t w5,
                        uint32_t w6) {
    if (!p) return RMC_RES_ERR_ELSE;
    build_message(p, 6, RMC_FC_SET_WORDS_87, w1, w2, w3, w4, w5, w6);
    return run(p, 1, 1);
}
