// Device model: modes, memories and the answer to each command.
#include "devmodel.h"

#include "images.h"
#include "rmc.h"
#include "rmc_slave.h"

#include <algorithm>
#include <cstring>

namespace {

bool range_inside(uint32_t a, uint32_t n, uint32_t a_region, uint32_t n_region) {
    return a >= a_region && (uint64_t)a + n <= (uint64_t)a_region + n_region;
}

uint32_t get_u32(const uint8_t* p) {
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

void put_u32(std::vector<uint8_t>& v, uint32_t w) {
    for (int k = 0; k < 4; k++)
        v.push_back((uint8_t)(w >> (8 * k)));
}

// The request length a command must have; the data commands are checked
// against their own length word instead (-1 here).
int request_length(int fc) {
    switch (fc) {
    case RMC_FC_JUMP:
    case RMC_FC_GET_PAIR_67:
    case RMC_FC_GET_INDEXED_WORDS_81:
    case RMC_FC_GET_INDEXED_WORDS_83:
        return 5;
    case RMC_FC_READ_MEM:
        return 9;
    case RMC_FC_SET_PAIR_68:
    case RMC_FC_FRAM_READ:
        return 13;
    case RMC_FC_SET_WORDS_87:
        return 25;
    case RMC_FC_SET_WORDS_70:
        return 33;
    case RMC_FC_SET_TEXT_72:
        return 1 + RMC_N_TEXT;
    case RMC_FC_WRITE_XBRAM:
    case RMC_FC_WRITE_FLASH:
    case RMC_FC_WRITE_BLOCK_66:
    case RMC_FC_FRAM_WRITE:
        return -1;
    default:
        return 1;
    }
}

bool is_generic(int fc) {
    switch (fc) {
    case RMC_FC_GET_WORDS_5:
    case RMC_FC_GET_WORDS_6:
    case RMC_FC_EXEC_64:
    case RMC_FC_EXEC_65:
    case RMC_FC_WRITE_BLOCK_66:
    case RMC_FC_GET_PAIR_67:
    case RMC_FC_SET_PAIR_68:
    case RMC_FC_GET_WORDS_69:
    case RMC_FC_SET_WORDS_70:
    case RMC_FC_GET_TEXT_71:
    case RMC_FC_SET_TEXT_72:
    case RMC_FC_GET_WORDS_80:
    case RMC_FC_GET_INDEXED_WORDS_81:
    case RMC_FC_GET_WORDS_82:
    case RMC_FC_GET_INDEXED_WORDS_83:
    case RMC_FC_FRAM_READ:
    case RMC_FC_FRAM_WRITE:
    case RMC_FC_GET_WORDS_86:
    case RMC_FC_SET_WORDS_87:
        return true;
    default:
        return false;
    }
}

// Whether the running code knows the command at all.
bool valid_in_mode(DevMode mode, int fc) {
    switch (fc) {
    case RMC_FC_ACTIVATE_BOOTLOADER:
    case RMC_FC_READ_MEM:
        return true;
    case RMC_FC_WRITE_XBRAM:
    case RMC_FC_JUMP:
        return mode == DEV_MODE_BOOTLOADER;
    case RMC_FC_ERASE_APPL:
    case RMC_FC_BLANK_CHECK_APPL:
    case RMC_FC_WRITE_FLASH:
    case RMC_FC_START_APPL:
        return mode == DEV_MODE_FLASH_LOADER;
    default:
        return is_generic(fc) && (mode == DEV_MODE_POWER_ON || mode == DEV_MODE_APPLICATION);
    }
}

// The normal reply: the request's signature, then the values.
std::vector<uint8_t> reply_head(const uint8_t* p_req, int n) {
    int n_signa = RmcSlave_get_n_signa(p_req[0]);
    if (n_signa < 1) n_signa = 1;
    std::vector<uint8_t> v(p_req, p_req + std::min(n, n_signa));
    v.resize(n_signa, 0);
    return v;
}

struct Answer {
    int code = RMC_RES_OK;
    std::vector<uint8_t> values; // behind the signature
    int t_busy_ms = 0;
    bool then_silent = false;
};

Answer fail(int code) {
    Answer a;
    a.code = code;
    return a;
}

Answer answer_words(std::initializer_list<uint32_t> words) {
    Answer a;
    for (uint32_t w : words)
        put_u32(a.values, w);
    return a;
}

Answer read_region(const std::vector<uint8_t>& mem, uint32_t a_mem, uint32_t a_region,
                   uint32_t n_region, uint32_t n, int n_head) {
    if (n > (uint32_t)(DEV_M_REPLY - n_head)) return fail(RMC_RES_ILL_DATA_VAL);
    if (!range_inside(a_mem, n, a_region, n_region)) return fail(RMC_RES_ILL_DATA_ADR);
    Answer a;
    a.values.assign(mem.begin() + (a_mem - a_region), mem.begin() + (a_mem - a_region + n));
    return a;
}

Answer write_flash(DevModel* p, uint32_t a_mem, const uint8_t* data, uint32_t n) {
    if (!range_inside(a_mem, n, DEV_A_FLASH, DEV_N_FLASH)) return fail(RMC_RES_ILL_DATA_ADR);
    uint8_t* cell = p->flash.data() + (a_mem - DEV_A_FLASH);
    // Programming only clears bits; a cell that would need a 1 back is refused whole.
    for (uint32_t i = 0; i < n; i++)
        if ((cell[i] & data[i]) != data[i]) return fail(RMC_RES_ILL_DATA_VAL);
    uint32_t a_weak = p->cfg.a_weak_flash;
    bool is_weak = a_weak != 0 && range_inside(a_weak, 1, a_mem, n);
    uint8_t weak_value = is_weak ? cell[a_weak - a_mem] : 0;
    for (uint32_t i = 0; i < n; i++)
        cell[i] &= data[i];
    if (is_weak) cell[a_weak - a_mem] = weak_value;
    if (n > 0) {
        bool is_sig_alone = a_mem == DEV_A_SIGNATURE && n == 1;
        if (!is_sig_alone && range_inside(DEV_A_SIGNATURE, 1, a_mem, n) &&
            data[DEV_A_SIGNATURE - a_mem] != 0xFF)
            p->sig_early = true;
        p->sig_last = is_sig_alone;
    }
    Answer a;
    a.t_busy_ms = p->cfg.write_ms;
    return a;
}

Answer run(DevModel* p, const uint8_t* r, int n) {
    const int fc = r[0];
    if (RmcSlave_get_n_signa(fc) < 0 || !valid_in_mode(p->mode, fc)) return fail(RMC_RES_ILL_FC);
    const int n_fixed = request_length(fc);
    if (n_fixed > 0 && n != n_fixed) return fail(RMC_RES_ILL_DATA_VAL);
    const int n_head = fc == RMC_FC_FRAM_WRITE ? 13 : 9;
    if (n_fixed < 0 && (n < n_head || (uint32_t)(n - n_head) != get_u32(r + n_head - 4)))
        return fail(RMC_RES_ILL_DATA_VAL);
    const uint32_t w1 = n >= 5 ? get_u32(r + 1) : 0;
    const uint32_t w2 = n >= 9 ? get_u32(r + 5) : 0;
    const uint32_t w3 = n >= 13 ? get_u32(r + 9) : 0;

    switch (fc) {
    case RMC_FC_ACTIVATE_BOOTLOADER:
        p->mode = DEV_MODE_BOOTLOADER;
        return Answer();
    case RMC_FC_READ_MEM:
        if (range_inside(w1, 0, DEV_A_FLASH, DEV_N_FLASH) && w1 < DEV_A_FLASH + DEV_N_FLASH)
            return read_region(p->flash, w1, DEV_A_FLASH, DEV_N_FLASH, w2, 9);
        return read_region(p->ram, w1, DEV_A_RAM, DEV_N_RAM, w2, 9);
    case RMC_FC_WRITE_XBRAM: {
        if (!range_inside(w1, w2, DEV_A_RAM, DEV_N_RAM)) return fail(RMC_RES_ILL_DATA_ADR);
        uint8_t* cell = p->ram.data() + (w1 - DEV_A_RAM);
        std::memcpy(cell, r + 9, w2);
        p->n_ram_writes++;
        if (p->n_ram_writes == p->cfg.corrupt_ram_write && w2 > 0)
            cell[Dev_next_rand(&p->rng) % w2] ^= 0xFF;
        return Answer();
    }
    case RMC_FC_JUMP: {
        // The reply leaves before the jump; anything but the flash loader
        // leaves a device that answers nothing more.
        p->loader_ok_jump = DevModel_loader_in_ram(p);
        Answer a;
        if (w1 == DEV_A_RAM && p->loader_ok_jump) {
            p->mode = DEV_MODE_FLASH_LOADER;
            p->ever_started_loader = true;
        } else {
            p->mode = DEV_MODE_CRASHED;
            a.then_silent = true;
        }
        return a;
    }
    case RMC_FC_ERASE_APPL: {
        std::fill(p->flash.begin(), p->flash.end(), 0xFF);
        p->sig_last = p->sig_early = false;
        Answer a;
        a.t_busy_ms = p->cfg.erase_ms;
        return a;
    }
    case RMC_FC_BLANK_CHECK_APPL:
        return std::all_of(p->flash.begin(), p->flash.end(), [](uint8_t b) { return b == 0xFF; })
                   ? Answer()
                   : fail(RMC_RES_DEV_FAIL);
    case RMC_FC_WRITE_FLASH:
        return write_flash(p, w1, r + 9, w2);
    case RMC_FC_START_APPL:
        if (p->flash[DEV_A_SIGNATURE - DEV_A_FLASH] != DEV_SIGNATURE) return fail(RMC_RES_DEV_FAIL);
        p->mode = DEV_MODE_APPLICATION;
        p->app_started = true;
        return Answer();

    // Generic commands of the running firmware.
    case RMC_FC_GET_WORDS_5: // identification: device type, hardware revision, serial number
        return answer_words({0x4B52, 3, 0x00012345});
    case RMC_FC_GET_WORDS_6: // state: mode, requests served, settings taken
        return answer_words({(uint32_t)p->mode, (uint32_t)p->n_requests, p->n_sets});
    case RMC_FC_EXEC_64:
    case RMC_FC_EXEC_65:
        p->n_sets++;
        return Answer();
    case RMC_FC_WRITE_BLOCK_66:
        if (!range_inside(w1, w2, 0, DEV_N_DATA_MEM)) return fail(RMC_RES_ILL_DATA_ADR);
        std::memcpy(p->data_mem.data() + w1, r + 9, w2);
        return Answer();
    case RMC_FC_GET_PAIR_67:
        if (w1 >= DEV_N_PAIRS) return fail(RMC_RES_ILL_DATA_ADR);
        return answer_words({p->pairs[w1][0], p->pairs[w1][1]});
    case RMC_FC_SET_PAIR_68:
        if (w1 >= DEV_N_PAIRS) return fail(RMC_RES_ILL_DATA_ADR);
        p->pairs[w1][0] = w2;
        p->pairs[w1][1] = w3;
        p->n_sets++;
        return Answer();
    case RMC_FC_GET_WORDS_69: {
        const uint32_t* w = p->words70;
        return answer_words({w[0], w[1], w[2], w[3], w[4], w[5], w[6], w[7], p->n_sets});
    }
    case RMC_FC_SET_WORDS_70:
        for (int i = 0; i < 8; i++)
            p->words70[i] = get_u32(r + 1 + 4 * i);
        p->n_sets++;
        return Answer();
    case RMC_FC_GET_TEXT_71: {
        Answer a;
        a.values.assign(p->text, p->text + RMC_N_TEXT);
        return a;
    }
    case RMC_FC_SET_TEXT_72:
        std::memcpy(p->text, r + 1, RMC_N_TEXT);
        p->text[RMC_N_TEXT - 1] = '\0';
        p->n_sets++;
        return Answer();
    case RMC_FC_GET_WORDS_80: // firmware version: major, minor, build
        return answer_words({1, 13, 2026});
    case RMC_FC_GET_WORDS_82: // counters: RAM writes, exceptions, settings
        return answer_words({(uint32_t)p->n_ram_writes, (uint32_t)p->n_exceptions, p->n_sets});
    case RMC_FC_GET_INDEXED_WORDS_81: // channel: number, raw value, scaled value
        if (w1 >= DEV_N_INDEXED) return fail(RMC_RES_ILL_DATA_ADR);
        return answer_words({w1, 1000 + 37 * w1, (1000 + 37 * w1) * 10});
    case RMC_FC_GET_INDEXED_WORDS_83: // channel limits: number, low, high
        if (w1 >= DEV_N_INDEXED) return fail(RMC_RES_ILL_DATA_ADR);
        return answer_words({w1, 100 * w1, 100 * w1 + 5000});
    case RMC_FC_FRAM_READ:
        if (w1 >= DEV_N_FRAM) return fail(RMC_RES_ILL_DATA_ADR);
        return read_region(p->fram[w1], w2, 0, (uint32_t)p->fram[w1].size(), w3, 13);
    case RMC_FC_FRAM_WRITE:
        if (w1 >= DEV_N_FRAM || !range_inside(w2, w3, 0, (uint32_t)p->fram[w1].size()))
            return fail(RMC_RES_ILL_DATA_ADR);
        std::memcpy(p->fram[w1].data() + w2, r + 13, w3);
        return Answer();
    case RMC_FC_GET_WORDS_86: {
        const uint32_t* w = p->words87;
        return answer_words({w[0], w[1], w[2], w[3], w[4], w[5]});
    }
    case RMC_FC_SET_WORDS_87:
        for (int i = 0; i < 6; i++)
            p->words87[i] = get_u32(r + 1 + 4 * i);
        p->n_sets++;
        return Answer();
    default:
        return fail(RMC_RES_ILL_FC);
    }
}

} // namespace

uint32_t Dev_next_rand(uint32_t* p_state) {
    uint32_t x = *p_state;
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    *p_state = x;
    return x;
}

DevModel* DevModel_init(DevModel* p, const DevModelCfg* p_cfg) {
    p->cfg = *p_cfg;
    p->mode = DEV_MODE_POWER_ON;
    p->ram.assign(DEV_N_RAM, 0);
    // What an interrupted earlier download leaves: 32 KiB of code-like bytes that
    // must be erased before programming, the rest erased, and no valid signature.
    p->flash.assign(DEV_N_FLASH, 0xFF);
    uint32_t old = 0x0DF1A5u;
    for (int i = 0; i < 0x8000; i++)
        p->flash[i] = (uint8_t)Dev_next_rand(&old);
    p->flash[DEV_A_SIGNATURE - DEV_A_FLASH] = 0xFF;
    p->data_mem.assign(DEV_N_DATA_MEM, 0);
    p->fram[0].assign(0x2000, 0xFF);
    p->fram[1].assign(0x8000, 0xFF);
    for (int i = 0; i < DEV_N_PAIRS; i++) {
        p->pairs[i][0] = (uint32_t)i;
        p->pairs[i][1] = 0;
    }
    std::memset(p->words70, 0, sizeof p->words70);
    std::memset(p->words87, 0, sizeof p->words87);
    p->n_sets = 0;
    std::memset(p->text, 0, sizeof p->text);
    std::strncpy(p->text, "K52 simulated device", sizeof p->text - 1);
    p->rng = p_cfg->seed ^ 0x9E3779B9u;
    if (p->rng == 0) p->rng = 1;
    p->runs.clear();
    p->n_requests = 0;
    p->n_exceptions = 0;
    p->n_ram_writes = 0;
    p->app_started = false;
    p->ever_started_loader = false;
    p->sig_last = false;
    p->sig_early = false;
    p->loader_ok_jump = false;
    return p;
}

void DevModel_note(DevModel* p, int fc) {
    p->n_requests++;
    if (!p->runs.empty() && p->runs.back().fc == fc)
        p->runs.back().count++;
    else
        p->runs.push_back({fc, 1});
}

std::vector<uint8_t> DevModel_exception(int fc, int code) {
    return {(uint8_t)(fc | 0x80), (uint8_t)code};
}

DevAnswer DevModel_execute(DevModel* p, const uint8_t* p_req, int n) {
    DevAnswer out{};
    if (n < 1 || !p_req) return out;
    Answer a = run(p, p_req, n);
    if (a.code != RMC_RES_OK) {
        p->n_exceptions++;
        out.reply = DevModel_exception(p_req[0], a.code);
        return out;
    }
    out.reply = reply_head(p_req, n);
    out.reply.insert(out.reply.end(), a.values.begin(), a.values.end());
    out.t_busy_ms = a.t_busy_ms;
    out.then_silent = a.then_silent;
    return out;
}

bool DevModel_loader_in_ram(const DevModel* p) {
    int32_t n_set = fld_02_get_n_set();
    if (n_set <= 0) return false;
    for (int32_t k = 0; k < n_set; k++) {
        uint32_t a = fld_02_get_p_set_a_bytes()[k];
        uint32_t n = fld_02_get_p_set_n_bytes()[k];
        if (!range_inside(a, n, DEV_A_RAM, DEV_N_RAM)) return false;
        const uint8_t* src = fld_02_get_p_set_p_bytes()[k];
        if (!std::equal(src, src + n, p->ram.begin() + (a - DEV_A_RAM))) return false;
    }
    return true;
}

const char* DevModel_mode_name(DevMode mode) {
    switch (mode) {
    case DEV_MODE_POWER_ON:
        return "power_on";
    case DEV_MODE_BOOTLOADER:
        return "bootloader";
    case DEV_MODE_FLASH_LOADER:
        return "flash_loader";
    case DEV_MODE_APPLICATION:
        return "application";
    case DEV_MODE_CRASHED:
        return "crashed";
    }
    return "?";
}

const char* DevModel_fc_name(int fc) {
    switch (fc) {
    case RMC_FC_GET_WORDS_5:
        return "get_words_5";
    case RMC_FC_GET_WORDS_6:
        return "get_words_6";
    case RMC_FC_ACTIVATE_BOOTLOADER:
        return "activate_bootloader";
    case RMC_FC_START_APPL:
        return "start_appl";
    case RMC_FC_READ_MEM:
        return "read_mem";
    case RMC_FC_JUMP:
        return "jump";
    case RMC_FC_WRITE_XBRAM:
        return "write_xbram";
    case RMC_FC_ERASE_APPL:
        return "erase_appl";
    case RMC_FC_BLANK_CHECK_APPL:
        return "blank_check_appl";
    case RMC_FC_WRITE_FLASH:
        return "write_flash";
    case RMC_FC_EXEC_64:
        return "exec_64";
    case RMC_FC_EXEC_65:
        return "exec_65";
    case RMC_FC_WRITE_BLOCK_66:
        return "write_block_66";
    case RMC_FC_GET_PAIR_67:
        return "get_pair_67";
    case RMC_FC_SET_PAIR_68:
        return "set_pair_68";
    case RMC_FC_GET_WORDS_69:
        return "get_words_69";
    case RMC_FC_SET_WORDS_70:
        return "set_words_70";
    case RMC_FC_GET_TEXT_71:
        return "get_text_71";
    case RMC_FC_SET_TEXT_72:
        return "set_text_72";
    case RMC_FC_GET_WORDS_80:
        return "get_words_80";
    case RMC_FC_GET_INDEXED_WORDS_81:
        return "get_indexed_words_81";
    case RMC_FC_GET_WORDS_82:
        return "get_words_82";
    case RMC_FC_GET_INDEXED_WORDS_83:
        return "get_indexed_words_83";
    case RMC_FC_FRAM_READ:
        return "fram_read";
    case RMC_FC_FRAM_WRITE:
        return "fram_write";
    case RMC_FC_GET_WORDS_86:
        return "get_words_86";
    case RMC_FC_SET_WORDS_87:
        return "set_words_87";
    default:
        return "?";
    }
}
