// orvo-devsim: a simulated device on a pseudo-terminal, for trying and testing
// the loader without hardware. Prints "PORT <path>" first, then serves the
// device until a signal, --once or --idle-exit-ms ends it.
#include "con.h"
#include "devmodel.h"
#include "devwire.h"
#include "images.h"
#include "rmc.h"
#include "rmc_slave.h"
#include "sha256.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <map>
#include <string>
#include <sys/stat.h>
#if defined(__linux__)
#include <sys/prctl.h>
#endif
#include <unistd.h>
#include <vector>

namespace {

const char k_usage[] =
    "usage: orvo-devsim [options]\n"
    "\n"
    "Plays the device on a new pseudo-terminal: bootloader, flash loader, flash,\n"
    "RAM and the generic commands, over 3964R (low priority, block check).\n"
    "The first line on stdout is \"PORT <slave path>\"; open that path as the\n"
    "serial port. The device keeps serving when the other side closes the port.\n"
    "\n"
    "Line and exit:\n"
    "  --link PATH               also create the symlink PATH to the slave (removed at exit)\n"
    "  --pace-baud B             bytes cross the line at B baud, 10 bits a byte, both ways\n"
    "  --once                    exit after the application has been started\n"
    "  --idle-exit-ms N          exit after N ms without any byte on the line\n"
    "Device time (milliseconds, default 0):\n"
    "  --erase-ms N              an erase of the application sectors takes N ms\n"
    "  --write-ms N              each flash write takes N ms\n"
    "  --reply-delay-ms N        every reply leaves N ms after its request\n"
    "  --gap-ms N                a message that follows the previous one with no request\n"
    "                            between (a stale or repeated reply and the reply, the\n"
    "                            replies to a request and to its repetition) waits N ms\n"
    "                            after the previous one was delivered\n"
    "Faults:\n"
    "  --nak-first N             refuse the first N inbound frames with NAK\n"
    "  --bad-bcc-every K         every K-th outbound frame carries a wrong block check\n"
    "  --lose-final-dle-every K  every K-th inbound frame gets no final DLE\n"
    "  --busy-every K            every K-th request is answered with the busy exception\n"
    "  --stale-reply-every K     every K-th reply is preceded by a stale reply of an\n"
    "                            earlier request\n"
    "  --duplicate-reply-every K every K-th reply is preceded by the previous reply again\n"
    "  --stray-byte-every K      a stray byte goes to the host while it waits for every\n"
    "                            K-th reply\n"
    "  --silent-after N          after N requests answer nothing more (bytes are read\n"
    "                            and ignored)\n"
    "  --weak-flash-byte ADR     a worn flash cell at ADR (0x-hexadecimal or decimal): flash\n"
    "                            writes are acknowledged but it keeps its value\n"
    "  --corrupt-ram-write N     flip one data byte of the N-th RAM write (1-based): the\n"
    "                            flash loader in RAM is then corrupt and the jump crashes\n"
    "  --seed S                  seed of the fault choices (default 1)\n"
    "Results, written at every clean exit:\n"
    "  --dump-flash FILE         raw flash 0x80000..0xF4000 (0x74000 bytes)\n"
    "  --dump-ram FILE           raw RAM 0x400000..0x500000 (0x100000 bytes)\n"
    "  --report FILE             JSON: mode reached, commands in order with counts,\n"
    "                            retries and NAKs each way, what became of the device's\n"
    "                            start requests, signature_last, app_started,\n"
    "                            sha256 of flash and of the RAM segments\n"
    "Other:\n"
    "  --verbose                 log every request and reply on stderr\n"
    "  --help                    this text\n"
    "  --version                 the program's name and version\n"
    "\n"
    "Exit status: 0 on a clean exit (SIGINT, SIGTERM, --once, --idle-exit-ms),\n"
    "1 when the pseudo-terminal cannot be made, 2 for a bad command line.\n";

struct Options {
    std::string link, dump_flash, dump_ram, report, trace;
    int erase_ms = 0, write_ms = 0, reply_delay_ms = 0, gap_ms = 0;
    int pace_baud = 0;
    int nak_first = 0, bad_bcc_every = 0, lose_final_dle_every = 0;
    int busy_every = 0, stale_reply_every = 0, duplicate_reply_every = 0, stray_byte_every = 0;
    int silent_after = -1;
    int corrupt_ram_write = 0;
    uint32_t weak_flash_byte = 0;
    uint32_t seed = 1;
    bool once = false;
    int idle_exit_ms = 0;
    bool verbose = false;
};

volatile sig_atomic_t g_stop = 0;
int g_fd_wake_w = -1;

void on_signal(int) {
    g_stop = 1;
    if (g_fd_wake_w >= 0) {
        char c = 1;
        ssize_t r = write(g_fd_wake_w, &c, 1);
        (void)r;
    }
}

int log_to_stderr(void*, const char* text) {
    return std::fputs(text, stderr) < 0 ? -1 : 1;
}

bool parse_count(const char* s, long max, long* p_out) {
    if (!s || !*s) return false;
    errno = 0;
    char* end = nullptr;
    long v = std::strtol(s, &end, 10);
    if (errno || *end || v < 0 || v > max) return false;
    *p_out = v;
    return true;
}

// 0 to run, 1 for --help or --version shown, 2 for a bad command line (reported).
int parse_options(int argc, char** argv, Options* o) {
    struct IntOpt {
        const char* name;
        int* p;
        long max;
    };
    const IntOpt ints[] = {
        {"--erase-ms", &o->erase_ms, 3600000},
        {"--write-ms", &o->write_ms, 3600000},
        {"--reply-delay-ms", &o->reply_delay_ms, 3600000},
        {"--gap-ms", &o->gap_ms, 3600000},
        {"--pace-baud", &o->pace_baud, 100000000},
        {"--nak-first", &o->nak_first, INT_MAX},
        {"--bad-bcc-every", &o->bad_bcc_every, INT_MAX},
        {"--lose-final-dle-every", &o->lose_final_dle_every, INT_MAX},
        {"--busy-every", &o->busy_every, INT_MAX},
        {"--stale-reply-every", &o->stale_reply_every, INT_MAX},
        {"--duplicate-reply-every", &o->duplicate_reply_every, INT_MAX},
        {"--stray-byte-every", &o->stray_byte_every, INT_MAX},
        {"--silent-after", &o->silent_after, INT_MAX},
        {"--corrupt-ram-write", &o->corrupt_ram_write, INT_MAX},
        {"--idle-exit-ms", &o->idle_exit_ms, INT_MAX},
    };
    const struct {
        const char* name;
        std::string* p;
    } strs[] = {{"--link", &o->link},
                {"--dump-flash", &o->dump_flash},
                {"--dump-ram", &o->dump_ram},
                {"--report", &o->report},
                {"--trace", &o->trace}};
    for (int i = 1; i < argc; i++) {
        const char* a = argv[i];
        if (!std::strcmp(a, "--help") || !std::strcmp(a, "-h")) {
            std::fputs(k_usage, stdout);
            return 1;
        }
        if (!std::strcmp(a, "--version")) {
            std::printf("orvo-devsim %s\n", ORVO_VERSION);
            return 1;
        }
        if (!std::strcmp(a, "--once")) {
            o->once = true;
            continue;
        }
        if (!std::strcmp(a, "--verbose")) {
            o->verbose = true;
            continue;
        }
        if (!std::strcmp(a, "--weak-flash-byte")) {
            const char* v = i + 1 < argc ? argv[++i] : "";
            char* end = nullptr;
            errno = 0;
            unsigned long adr = std::strtoul(v, &end, 0);
            if (!*v || *end || errno || adr < DEV_A_FLASH || adr >= DEV_A_FLASH + DEV_N_FLASH) {
                std::fprintf(stderr,
                             "orvo-devsim: --weak-flash-byte needs a flash address "
                             "0x80000..0xF3FFF, not '%s'\n",
                             v);
                return 2;
            }
            o->weak_flash_byte = (uint32_t)adr;
            continue;
        }
        bool done = false;
        const char* v = i + 1 < argc ? argv[i + 1] : nullptr;
        for (const IntOpt& io : ints) {
            if (std::strcmp(a, io.name)) continue;
            long n;
            if (!parse_count(v, io.max, &n)) {
                std::fprintf(stderr, "orvo-devsim: %s needs a number from 0 to %ld, not '%s'\n", a,
                             io.max, v ? v : "");
                return 2;
            }
            *io.p = (int)n;
            i++;
            done = true;
        }
        for (const auto& so : strs) {
            if (std::strcmp(a, so.name)) continue;
            if (!v || !*v) {
                std::fprintf(stderr, "orvo-devsim: %s needs a path\n", a);
                return 2;
            }
            *so.p = v;
            i++;
            done = true;
        }
        if (!std::strcmp(a, "--seed")) {
            long n;
            if (!parse_count(v, 0xFFFFFFFFL, &n)) {
                std::fprintf(stderr, "orvo-devsim: --seed needs a number, not '%s'\n", v ? v : "");
                return 2;
            }
            o->seed = (uint32_t)n;
            i++;
            done = true;
        }
        if (!done) {
            std::fprintf(stderr, "orvo-devsim: unknown option '%s' (try --help)\n", a);
            return 2;
        }
    }
    return 0;
}

// A reply of an earlier request that the current request cannot take for its
// own: its signature differs, and it is no exception reply to the same code.
std::vector<uint8_t> pick_stale(const std::deque<std::vector<uint8_t>>& history,
                                const std::vector<uint8_t>& req) {
    const int fc = req[0];
    int n_signa = RmcSlave_get_n_signa(fc);
    if (n_signa < 1) n_signa = 1;
    auto fits_current = [&](const std::vector<uint8_t>& m) {
        if (m.size() == 2 && (m[0] & 0x80) && (m[0] & 0x7F) == fc) return true;
        if (m.size() < (size_t)n_signa) return false;
        for (int i = 0; i < n_signa; i++) {
            uint8_t b = i < (int)req.size() ? req[i] : 0;
            if (m[i] != b) return false;
        }
        return true;
    };
    for (auto it = history.rbegin(); it != history.rend(); ++it)
        if (!it->empty() && !fits_current(*it)) return *it;
    // Nothing earlier that differs: the identification reply of the power-on firmware.
    uint8_t code = fc == RMC_FC_GET_WORDS_5 ? RMC_FC_GET_WORDS_6 : RMC_FC_GET_WORDS_5;
    std::vector<uint8_t> m(13, 0);
    m[0] = code;
    return m;
}

bool write_file(const std::string& path, const void* p, size_t n) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) {
        CON_LOG("error", "cannot write %s: %s\n", path.c_str(), std::strerror(errno));
        return false;
    }
    bool ok = std::fwrite(p, 1, n, f) == n;
    ok = std::fclose(f) == 0 && ok;
    if (!ok) CON_LOG("error", "cannot write %s: %s\n", path.c_str(), std::strerror(errno));
    return ok;
}

struct Counters {
    int n_busy = 0;
    int n_stale = 0;
    int n_duplicate = 0;
    int n_replies = 0;
    int n_replies_failed = 0; // replies the host never acknowledged
};

std::string hex32(uint32_t v) {
    char b[16];
    std::snprintf(b, sizeof b, "0x%08x", v);
    return b;
}

std::string make_report(const DevModel& m, const DevWire& w, const Counters& c) {
    std::string s = "{\n";
    auto add = [&](const std::string& line) { s += "  " + line + ",\n"; };
    add(std::string("\"mode\": \"") + DevModel_mode_name(m.mode) + "\"");
    add("\"requests\": " + std::to_string(m.n_requests));
    std::string runs = "\"commands\": [";
    for (size_t i = 0; i < m.runs.size(); i++) {
        const DevRun& r = m.runs[i];
        runs += std::string(i ? ",\n    " : "\n    ") + "{\"fc\": " + std::to_string(r.fc) +
                ", \"name\": \"" + DevModel_fc_name(r.fc) +
                "\", \"count\": " + std::to_string(r.count) + "}";
    }
    runs += m.runs.empty() ? "]" : "\n  ]";
    add(runs);
    std::map<int, int> totals;
    for (const DevRun& r : m.runs)
        totals[r.fc] += r.count;
    std::string tot = "\"totals\": {";
    bool first = true;
    for (auto& [fc, n] : totals) {
        tot +=
            std::string(first ? "" : ", ") + "\"" + std::to_string(fc) + "\": " + std::to_string(n);
        first = false;
    }
    add(tot + "}");
    add("\"exceptions\": " + std::to_string(m.n_exceptions));
    add("\"busy_replies\": " + std::to_string(c.n_busy));
    add("\"stale_replies\": " + std::to_string(c.n_stale));
    add("\"duplicate_replies\": " + std::to_string(c.n_duplicate));
    add("\"stray_bytes\": " + std::to_string(w.n_stray));
    add("\"start_requests\": {\"sent\": " + std::to_string(w.n_starts) +
        ", \"accepted\": " + std::to_string(w.n_starts_accepted) +
        ", \"refused\": " + std::to_string(w.n_starts_refused) +
        ", \"unanswered\": " + std::to_string(w.n_starts_unanswered) +
        ", \"yielded\": " + std::to_string(w.n_starts_yielded) +
        ", \"disturbed\": " + std::to_string(w.n_starts_disturbed) + "}");
    add("\"replies_not_delivered\": " + std::to_string(c.n_replies_failed));
    add("\"retries\": {\"host_to_device\": " + std::to_string(w.n_retries_host) +
        ", \"device_to_host\": " + std::to_string(w.n_retries_dev) + "}");
    add("\"naks\": {\"host_to_device\": " + std::to_string(w.n_naks_received) +
        ", \"device_to_host\": " + std::to_string(w.n_naks_sent) + "}");
    add("\"final_dle_lost\": " + std::to_string(w.n_final_dle_lost));
    add("\"bad_bcc_sent\": " + std::to_string(w.n_bad_bcc));
    bool sig_last =
        m.sig_last && !m.sig_early && m.flash[DEV_A_SIGNATURE - DEV_A_FLASH] == DEV_SIGNATURE;
    add(std::string("\"signature_last\": ") + (sig_last ? "true" : "false"));
    add(std::string("\"app_started\": ") + (m.app_started ? "true" : "false"));
    add(std::string("\"flash_loader_in_ram\": ") + (DevModel_loader_in_ram(&m) ? "true" : "false"));
    add("\"sha256_flash\": \"" + Sha256_hex(m.flash.data(), m.flash.size()) + "\"");
    std::string segs = "\"ram_segments\": [";
    for (int32_t k = 0; k < fld_02_get_n_set(); k++) {
        uint32_t a = fld_02_get_p_set_a_bytes()[k];
        uint32_t n = fld_02_get_p_set_n_bytes()[k];
        std::string sha = "";
        if (a >= DEV_A_RAM && (uint64_t)a + n <= (uint64_t)DEV_A_RAM + DEV_N_RAM)
            sha = Sha256_hex(m.ram.data() + (a - DEV_A_RAM), n);
        segs += std::string(k ? ",\n    " : "\n    ") + "{\"address\": \"" + hex32(a) +
                "\", \"length\": " + std::to_string(n) + ", \"sha256\": \"" + sha + "\"}";
    }
    segs += "\n  ]";
    s += "  " + segs + "\n}\n";
    return s;
}

void log_request(const std::vector<uint8_t>& req, const std::vector<uint8_t>& rep) {
    Con_printf("devsim: request %d (%s), %d bytes -> reply %d bytes%s\n", req[0],
               DevModel_fc_name(req[0]), (int)req.size(), (int)rep.size(),
               rep.size() == 2 && (rep[0] & 0x80) ? " (exception)" : "");
}

} // namespace

int main(int argc, char** argv) {
    Options o;
    int r = parse_options(argc, argv, &o);
    if (r == 1) return 0;
    if (r == 2) return 2;
    Con_set_cb_output(log_to_stderr, nullptr);

    int wake[2];
    if (pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        std::fprintf(stderr, "orvo-devsim: cannot make a pipe: %s\n", std::strerror(errno));
        return 1;
    }
    g_fd_wake_w = wake[1];
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

#if defined(__linux__)
    // Paced bytes are due every few tens of microseconds; the default timer
    // slack (50 us) would add to every turnaround of the line.
    prctl(PR_SET_TIMERSLACK, 1000UL, 0, 0, 0);
#endif
    static DevWire w; // large buffers: not on the stack
    std::string path, err;
    if (!DevWire_open(&w, &path, &err)) {
        std::fprintf(stderr, "orvo-devsim: %s\n", err.c_str());
        return 1;
    }
    w.fd_wake = wake[0];
    w.p_stop = &g_stop;
    w.byte_us = o.pace_baud > 0 ? (10000000LL + o.pace_baud - 1) / o.pace_baud : 0;
    w.idle_exit_us = (int64_t)o.idle_exit_ms * 1000;
    w.faults = {o.nak_first, o.bad_bcc_every, o.lose_final_dle_every, o.seed};
    DevWire_init_link(&w);
    if (!o.trace.empty() && !(w.p_trace = std::fopen(o.trace.c_str(), "w"))) {
        std::fprintf(stderr, "orvo-devsim: cannot write %s: %s\n", o.trace.c_str(),
                     std::strerror(errno));
        DevWire_close(&w);
        return 1;
    }
    w.mute_when_idle = o.silent_after == 0;

    bool linked = false;
    if (!o.link.empty()) {
        struct stat st;
        if (lstat(o.link.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) unlink(o.link.c_str());
        if (symlink(path.c_str(), o.link.c_str()) != 0) {
            std::fprintf(stderr, "orvo-devsim: cannot create the link %s: %s\n", o.link.c_str(),
                         std::strerror(errno));
            DevWire_close(&w);
            return 1;
        }
        linked = true;
    }

    std::printf("PORT %s\n", path.c_str());
    std::fflush(stdout);

    static DevModel m;
    DevModelCfg cfg{o.erase_ms, o.write_ms, o.corrupt_ram_write, o.seed, o.weak_flash_byte};
    DevModel_init(&m, &cfg);

    struct Outgoing {
        std::vector<uint8_t> bytes;
        int64_t t_due_us;
        int64_t t_req_rx_us; // when the request it answers arrived
        bool is_follower;    // second message of one answer (behind a stale reply)
    };
    std::deque<Outgoing> outq;
    std::deque<std::vector<uint8_t>> history; // replies sent, newest last
    Counters c;
    bool sending = false;
    bool silent = false;
    int n_taken = 0;

    for (;;) {
        if (g_stop) break;
        int64_t now = DevWire_now_us();
        if (w.idle_exit_us > 0 && now - w.t_line_us >= w.idle_exit_us) break;
        if (silent) {
            DevWire_discard_input(&w);
            int64_t until = now + 1000000;
            if (w.idle_exit_us > 0) until = std::min(until, w.t_line_us + w.idle_exit_us);
            DevWire_wait(&w, until, false);
            continue;
        }
        try {
            Co3964_poll(&w.co);
        } catch (const DevStop&) {
            break;
        }
        DevWire_take_requests(&w);
        now = DevWire_now_us();
        if (sending && Co3964_ob_get_state(&w.co) != 2) {
            if (Co3964_ob_get_state(&w.co) == 1) c.n_replies_failed++;
            sending = false;
        }
        if (w.muted) {
            silent = true;
            continue;
        }
        if (sending) continue;
        if (!outq.empty()) {
            // A message that follows the last one with no request between goes out
            // as soon as it can, unless a gap is asked for.
            Outgoing& next = outq.front();
            if (o.gap_ms > 0 && (next.is_follower || next.t_req_rx_us < w.t_delivered_us))
                next.t_due_us =
                    std::max(next.t_due_us, w.t_delivered_us + (int64_t)o.gap_ms * 1000);
            if (outq.front().t_due_us <= now) {
                const auto& b = outq.front().bytes;
                RmcSlave_send_raw(&w.slave, (int)b.size(), b.data());
                outq.pop_front();
                w.replies_pending = (int)outq.size();
                sending = true;
                continue;
            }
        } else {
            if (w.mute_when_idle) {
                w.muted = silent = true;
                continue;
            }
            if (o.once && m.app_started) break;
            if (!w.requests.empty()) {
                std::vector<uint8_t> req = std::move(w.requests.front().bytes);
                int64_t t_rx = w.requests.front().t_rx_us;
                w.requests.pop_front();
                n_taken++;
                DevModel_note(&m, req[0]);
                DevAnswer a;
                if (o.busy_every > 0 && n_taken % o.busy_every == 0) {
                    a.reply = DevModel_exception(req[0], RMC_RES_BUSY);
                    a.t_busy_ms = 0;
                    a.then_silent = false;
                    c.n_busy++;
                } else {
                    a = DevModel_execute(&m, req.data(), (int)req.size());
                }
                c.n_replies++;
                int64_t due = now + ((int64_t)a.t_busy_ms + o.reply_delay_ms) * 1000;
                auto every = [&](int k) { return k > 0 && c.n_replies % k == 0; };
                // The host waits for this reply from now on.
                if (every(o.stray_byte_every)) DevWire_send_stray(&w);
                bool with_stale = every(o.stale_reply_every);
                if (with_stale) {
                    outq.push_back({pick_stale(history, req), due, t_rx, false});
                    c.n_stale++;
                }
                bool with_duplicate = every(o.duplicate_reply_every) && !history.empty();
                if (with_duplicate) {
                    outq.push_back({history.back(), due, t_rx, with_stale});
                    c.n_duplicate++;
                }
                outq.push_back({a.reply, due, t_rx, with_stale || with_duplicate});
                w.replies_pending = (int)outq.size();
                history.push_back(a.reply);
                if (history.size() > 8) history.pop_front();
                if (a.then_silent || (o.silent_after >= 0 && n_taken >= o.silent_after))
                    w.mute_when_idle = true;
                if (o.verbose) log_request(req, a.reply);
                continue;
            }
        }
        int64_t until = now + 1000000;
        if (!outq.empty()) until = std::min(until, outq.front().t_due_us);
        if (w.idle_exit_us > 0) until = std::min(until, w.t_line_us + w.idle_exit_us);
        DevWire_wait(&w, until, true);
    }

    DevWire_drain(&w, 200);
    bool ok = true;
    if (!o.dump_flash.empty()) ok = write_file(o.dump_flash, m.flash.data(), m.flash.size()) && ok;
    if (!o.dump_ram.empty()) ok = write_file(o.dump_ram, m.ram.data(), m.ram.size()) && ok;
    if (w.p_trace && std::fclose(w.p_trace) != 0) ok = false;
    if (!o.report.empty()) {
        std::string rep = make_report(m, w, c);
        ok = write_file(o.report, rep.data(), rep.size()) && ok;
    }
    if (linked) unlink(o.link.c_str());
    DevWire_close(&w);
    return ok ? 0 : 1;
}
