// Fuzz target: any reply to each RMC command. The first byte picks the
// command, the second how many messages the device sends after the request
// (0 to 3: none gives the reply time-out, more than one a stale or extra
// reply); then each message is a length byte and that many bytes (a length
// byte of 255 takes all the rest of the input).
#include "fuzz_quiet.h"
#include "linkpair.h"
#include "rmc.h"
#include "rmc_slave.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <vector>

namespace {

struct Peer {
    RmcSlave slave;
    std::deque<std::vector<uint8_t>> replies;
    bool got_request;
};

void peer(void* p_user, LinkPair*, int) {
    Peer* t = static_cast<Peer*>(p_user);
    if (RmcSlave_take_request(&t->slave) >= 0) t->got_request = true;
    if (!t->got_request || t->replies.empty() || RmcSlave_is_sending(&t->slave)) return;
    const std::vector<uint8_t>& b = t->replies.front();
    RmcSlave_send_raw(&t->slave, (int)b.size(), b.data());
    t->replies.pop_front();
}

// Guard bytes behind every output show writes past what a command may fill.
struct Out {
    uint8_t bytes[512 + 16];
    uint32_t w[9];
    RmcRec6 rec;
    char text[RMC_N_TEXT + 8];
};

void run_command(Rmc* p, int which, Out* o) {
    static const uint8_t s_data[300] = {0x10, 0x02, 0x03};
    uint32_t* w = o->w;
    switch (which % 30) {
    case 0:
        Rmc_do_get_words_5(p, &w[0], &w[1], &w[2]);
        break;
    case 1:
        Rmc_do_get_words_6(p, &w[0], &w[1], &w[2]);
        break;
    case 2:
        Rmc_do_get_words_80(p, &w[0], &w[1], &w[2]);
        break;
    case 3:
        Rmc_do_get_words_82(p, &w[0], &w[1], &w[2]);
        break;
    case 4:
        Rmc_do_activate_bootloader(p);
        break;
    case 5:
        Rmc_do_start_appl(p);
        break;
    case 6:
        Rmc_do_erase_appl(p);
        break;
    case 7:
        Rmc_do_blank_check_appl(p);
        break;
    case 8:
        Rmc_do_exec_64(p);
        break;
    case 9:
        Rmc_do_exec_65(p);
        break;
    case 10:
        Rmc_do_read_mem(p, 0x400000, o->bytes, 256);
        break;
    case 11:
        Rmc_do_read_mem(p, 0x400000, o->bytes, 7);
        break;
    case 12:
        Rmc_do_jump(p, 0x400000);
        break;
    case 13:
        Rmc_do_write_xbram(p, 0x400000, s_data, 256);
        break;
    case 14:
        Rmc_do_write_flash(p, 0x80000, s_data, 256);
        break;
    case 15:
        Rmc_do_write_block_66(p, 0x100, s_data, 17);
        break;
    case 16:
        Rmc_do_get_pair_67(p, 3, &w[0], &w[1]);
        break;
    case 17:
        Rmc_do_set_pair_68(p, 3, 1, 2);
        break;
    case 18:
        Rmc_do_get_words_69(p, &w[0], &w[1], &o->rec, &w[2]);
        break;
    case 19:
        Rmc_do_set_words_70(p, 1, 2, 3, 4, 5, 6, 7, 8);
        break;
    case 20:
        Rmc_do_get_text_71(p, o->text);
        break;
    case 21:
        Rmc_do_set_text_72(p, "0123456789012345678901234567890123456789");
        break;
    case 22:
        Rmc_do_get_indexed_words_81(p, 2, &w[0], &w[1], &w[2]);
        break;
    case 23:
        Rmc_do_get_indexed_words_83(p, 2, &w[0], &w[1], &w[2]);
        break;
    case 24:
        Rmc_do_fram_read(p, 1, 0x20, 64, o->bytes);
        break;
    case 25:
        Rmc_do_fram_write(p, 1, 0x20, 64, s_data);
        break;
    case 26:
        Rmc_do_get_words_86(p, &w[0], &w[1], &w[2], &w[3], &w[4], &w[5]);
        break;
    case 27:
        Rmc_do_set_words_87(p, 1, 2, 3, 4, 5, 6);
        break;
    case 28:
        Rmc_do_fram_read(p, 0, 0, 300, o->bytes);
        break;
    case 29:
        Rmc_do_read_mem(p, 0, o->bytes, 0);
        break;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz_quiet();
    if (size < 2) return 0;
    Peer t{};
    size_t i = 2;
    for (int k = 0; k < (data[1] & 3) && i < size; k++) {
        size_t n = data[i++];
        if (n == 255 || n > size - i) n = size - i;
        t.replies.emplace_back(data + i, data + i + n);
        i += n;
    }
    LinkPair* lp = LinkPair_alloc(nullptr);
    Rmc rmc{};
    std::vector<uint8_t> buf(384);
    if (!Rmc_init_as_master(&rmc, (int32_t)buf.size(), buf.data(), LinkPair_get_co(lp, 0)))
        std::abort();
    RmcSlave_init(&t.slave, LinkPair_get_co(lp, 1));
    LinkPair_set_peer(lp, peer, &t);
    LinkPair_install_csp(lp, 0);
    // A shorter reply wait keeps a run short; the logic is the same.
    rmc.reply_timeout_ms = 300;
    Out o;
    std::memset(&o, 0x5A, sizeof o);
    run_command(&rmc, data[0], &o);
    // The text output is always terminated within its 40 bytes.
    if (data[0] % 30 == 20 && std::memchr(o.text, 0, RMC_N_TEXT) == nullptr) std::abort();
    size_t n_fill = data[0] % 30 == 28 ? 300 : 256;
    for (size_t k = n_fill; k < sizeof o.bytes; k++)
        if (o.bytes[k] != 0x5A) std::abort();
    LinkPair_settle(lp, 20000);
    LinkPair_free(lp);
    return 0;
}
