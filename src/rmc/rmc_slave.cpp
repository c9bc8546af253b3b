// RMC slave side: requests in, normal and exception replies out.
#include "rmc_slave.h"

#include "co3964.h"
#include "con.h"
#include "rmc.h"

#include <cstring>

RmcSlave* RmcSlave_init(RmcSlave* p, Co3964* p_co) {
    if (!p) return nullptr;
    p->p_co = p_co;
    p->n_req = 0;
    p->req[0] = 0;
    p->n_rep = 0;
    if (!p_co) {
        CON_LOG("error", "p -> p_co = p_co)\n");
        return nullptr;
    }
    return p;
}

int RmcSlave_take_request(RmcSlave* p) {
    if (!p || Co3964_ib_get_n_msg(p->p_co) < 0) return -1;
    // A message that does not fit is discarded by the link.
    int n = Co3964_ib_get_msg(p->p_co, RMC_SLAVE_M_MSG, p->req);
    if (n <= 0) return -1;
    p->n_req = n;
    return p->req[0];
}

int RmcSlave_poll_request(RmcSlave* p) {
    if (!p) return -1;
    Co3964_poll(p->p_co);
    return RmcSlave_take_request(p);
}

uint32_t RmcSlave_get_arg(const RmcSlave* p, int i) {
    if (!p || i < 0 || 1 + 4 * (int64_t)i + 4 > p->n_req) return 0;
    const uint8_t* b = p->req + 1 + 4 * i;
    return (uint32_t)b[0] | (uint32_t)b[1] << 8 | (uint32_t)b[2] << 16 | (uint32_t)b[3] << 24;
}

int RmcSlave_get_n_signa(int fc) {
    switch (fc) {
    case RMC_FC_GET_WORDS_5:
    case RMC_FC_GET_WORDS_6:
    case RMC_FC_ACTIVATE_BOOTLOADER:
    case RMC_FC_START_APPL:
    case RMC_FC_ERASE_APPL:
    case RMC_FC_BLANK_CHECK_APPL:
    case RMC_FC_EXEC_64:
    case RMC_FC_EXEC_65:
    case RMC_FC_GET_WORDS_69:
    case RMC_FC_SET_WORDS_70:
    case RMC_FC_GET_TEXT_71:
    case RMC_FC_SET_TEXT_72:
    case RMC_FC_GET_WORDS_80:
    case RMC_FC_GET_WORDS_82:
    case RMC_FC_GET_WORDS_86:
    case RMC_FC_SET_WORDS_87:
        return 1;
    case RMC_FC_JUMP:
    case RMC_FC_GET_PAIR_67:
    case RMC_FC_SET_PAIR_68:
    case RMC_FC_GET_INDEXED_WORDS_81:
    case RMC_FC_GET_INDEXED_WORDS_83:
        return 5;
    case RMC_FC_READ_MEM:
    case RMC_FC_WRITE_XBRAM:
    case RMC_FC_WRITE_FLASH:
    case RMC_FC_WRITE_BLOCK_66:
        return 9;
    case RMC_FC_FRAM_READ:
    case RMC_FC_FRAM_WRITE:
        return 13;
    default:
        return -1;
    }
}

int RmcSlave_reply_begin(RmcSlave* p, int n_signa) {
    if (!p) return 0;
    if (n_signa < 0) {
        n_signa = p->n_req > 0 ? RmcSlave_get_n_signa(p->req[0]) : 1;
        if (n_signa < 0) n_signa = 1;
    }
    if (n_signa > RMC_SLAVE_M_MSG) return 0;
    int n_have = n_signa < p->n_req ? n_signa : p->n_req;
    std::memcpy(p->rep, p->req, n_have);
    std::memset(p->rep + n_have, 0, n_signa - n_have);
    p->n_rep = n_signa;
    return 1;
}

int RmcSlave_reply_put_bytes(RmcSlave* p, const uint8_t* p_bytes, int n) {
    if (!p || n < 0 || (!p_bytes && n) || n > RMC_SLAVE_M_MSG - p->n_rep) return 0;
    if (n) std::memcpy(p->rep + p->n_rep, p_bytes, n);
    p->n_rep += n;
    return 1;
}

int RmcSlave_reply_put_u32(RmcSlave* p, uint32_t value) {
    const uint8_t b[4] = {(uint8_t)value, (uint8_t)(value >> 8), (uint8_t)(value >> 16),
                          (uint8_t)(value >> 24)};
    return RmcSlave_reply_put_bytes(p, b, 4);
}

int RmcSlave_reply_send(RmcSlave* p) {
    if (!p) return 1;
    return Co3964_ob_set_msg(p->p_co, p->n_rep, p->rep);
}

int RmcSlave_send_exception(RmcSlave* p, int code) {
    if (!p) return 1;
    const uint8_t msg[2] = {(uint8_t)(p->req[0] | 0x80), (uint8_t)code};
    return Co3964_ob_set_msg(p->p_co, 2, msg);
}

int RmcSlave_send_raw(RmcSlave* p, int n, const uint8_t* p_bytes) {
    if (!p) return 1;
    // The link wants a buffer also for an empty message.
    static const uint8_t none = 0;
    return Co3964_ob_set_msg(p->p_co, n, p_bytes || n ? p_bytes : &none);
}

int RmcSlave_is_sending(const RmcSlave* p) {
    return p && Co3964_ob_get_state(p->p_co) == 2 ? 1 : 0;
}
