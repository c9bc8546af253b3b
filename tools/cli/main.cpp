// orvo-loader-cli: the firmware download, the file download into device RAM, the serial ports
// and the embedded images, from the command line.
#include "con.h"
#include "csp.h"
#include "dbterm.h"
#include "download.h"
#include "fileimg.h"
#include "gang.h"
#include "fsv.h"
#include "imgcmd.h"
#include "msrlin.h"
#include "msrload.h"
#include "ports.h"
#include "rmc.h"
#include "root.h"
#include "runlog.h"
#include "termwin.h"
#include "uart.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <memory>
#include <thread>
#include <vector>

namespace {

// Exit statuses besides the download's failing step (DlFail + 2) and 128 + a signal.
enum {
    EXIT_OK = 0,
    EXIT_FAILED = 1, // the program could not start, or another command failed
    EXIT_USAGE = 2,
    EXIT_PORT = 3,
};

const char k_exit_statuses[] =
    "Exit status: 0 success, 1 other failure, 2 usage error, 3 port cannot be opened,\n"
    "4 activation, 5 flash-loader download, 6 flash-loader start, 7 erase, 8 blank check,\n"
    "9 programming, 10 signature, 11 application start, 12 verification failed; 130\n"
    "interrupted by SIGINT (Ctrl-C), 143 by SIGTERM, 129 by SIGHUP.\n";

// The options of one command line.
struct Opts {
    std::string port, log, progress = "bar", jump, export_dir, file, app, loader, address;
    std::vector<std::string> ports; // download: every --port, then the ports file's
    std::string ports_file, report;
    int retries = 0;
    uint32_t length = 0;
    bool is_verbose = false, is_quiet = false, is_activate = false, is_verify = false;
};

// The largest read of read-mem: far above any memory of the device.
const uint32_t k_m_read_mem = 16 * 1024 * 1024;

// What the console output, the message pump and the sleep hook share.
struct Cli {
    DbTerm* p_db_term = nullptr;
    bool is_verbose = false;
    TermWin* p_term = nullptr;
    Uart* p_uart = nullptr;
    const char* p_port = nullptr; // the port of the download
    std::string last_error_line;  // the latest "error-..." log line
    std::string line;             // the log line being assembled
    // Test aid: once the line has been quiet for k_quiet_ms, the clock runs speedup times as
    // fast, so a device that stopped answering reaches the time-outs in a fraction of their
    // time while every exchange with a live device sees the real clock.
    int speedup = 1;
    uint32_t t_offset = 0;
    bool is_quiet = false;
    uint32_t t_quiet_start = 0;
};

// Longer than every wait of a live link (the 2000 ms acknowledgement delay, the 220 ms quiet
// line after stray bytes), so that no recovery runs on the fast clock.
const uint32_t k_quiet_ms = 2500;

std::string hex(uint32_t v) {
    char s[16];
    snprintf(s, sizeof s, "0x%08x", v);
    return s;
}

// ADDR in decimal or 0x-hexadecimal, within 32 bits.
bool parse_address(const std::string& s, uint32_t* p_adr) {
    if (s.empty() || s[0] == '-' || s[0] == '+' || s[0] == ' ') return false;
    errno = 0;
    char* end = nullptr;
    bool is_hex = s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X');
    unsigned long long v = strtoull(s.c_str(), &end, is_hex ? 16 : 10);
    if (errno != 0 || *end != '\0' || end == s.c_str() || v > 0xFFFFFFFFull) return false;
    if (is_hex && s.size() == 2) return false;
    *p_adr = static_cast<uint32_t>(v);
    return true;
}

// The console output: the root's debug terminal, the log file, and with --verbose stderr or
// the JSON log events.
int cli_output(void* p_user, const char* p_text) {
    Cli* p = static_cast<Cli*>(p_user);
    int r = DbTerm_print(p->p_db_term, p_text);
    RunLog_write(p_text);
    if (p->is_verbose) {
        if (p->p_term) {
            TermWin_echo_log(p->p_term, p_text);
        } else {
            fputs(p_text, stderr);
            fflush(stderr);
        }
    }
    for (const char* c = p_text; *c; c++) {
        if (*c != '\n') {
            p->line += *c;
            continue;
        }
        if (p->line.compare(0, 6, "error-") == 0) p->last_error_line = p->line;
        p->line.clear();
    }
    return r;
}

uint32_t real_ms() {
    auto t = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(t).count());
}

uint32_t cli_tick(void* p_user) {
    return real_ms() + static_cast<Cli*>(p_user)->t_offset;
}

// What an ended download leaves in the device, by the step it stopped in.
const char* device_state(const char* p_step) {
    std::string step = p_step ? p_step : "";
    if (step == "erase" || step == "blank_check" || step == "program")
        return "device: the application in flash is erased or incomplete and has no valid "
               "signature, so the device will not start it; run the download again";
    if (step == "verify")
        return "device: the application in flash has no valid signature, so the device will not "
               "start it; run the download again";
    if (step == "signature")
        return "device: the application is programmed but its signature byte may be missing, "
               "so the device may not start it; run the download again";
    if (step == "start_appl")
        return "device: the application is programmed and signed but was not started; restart "
               "the device or run the download again";
    return "device: the application in flash has not been touched; run the download again";
}

// A second signal while the download waits for the next block: the port is closed and the
// run ends here with its result.
[[noreturn]] void quit_now(Cli* p, int32_t sig) {
    TermWin_note(p->p_term, "interrupted again: quitting at once");
    Uart_close(p->p_uart);
    const char* p_step = TermWin_get_step(p->p_term);
    TermWin_note(p->p_term, device_state(p_step));
    TermWin_result(p->p_term, p_step, 128 + sig);
    RunLog_close();
    fflush(stdout);
    fflush(stderr);
    _Exit(128 + sig);
}

// Waits at most 1 ms for a byte on the port (a closed port waits the 1 ms too).
void wait_for_port(Cli* p) {
    int r = Uart_wait_readable(p->p_uart, 1);
    if (p->p_term) {
        int32_t sig = TermWin_poll(p->p_term, r == 1);
        if (sig) quit_now(p, sig);
    }
    if (p->speedup <= 1) return;
    uint32_t now = real_ms();
    if (r != 0) {
        p->is_quiet = false;
    } else if (!p->is_quiet) {
        p->is_quiet = true;
        p->t_quiet_start = now;
    } else if (now - p->t_quiet_start >= k_quiet_ms) {
        p->t_offset += static_cast<uint32_t>(p->speedup - 1);
    }
}

// The message pump of the terminal: the waiting link gives up the processor until the port
// has a byte or 1 ms has passed, instead of spinning.
int32_t cli_pump(void* p_user) {
    wait_for_port(static_cast<Cli*>(p_user));
    return 0;
}

// The sleep of the time service: real pauses sleep their whole time; the yields of the
// waiting transaction layer (0 or 1 ms) wait at most 1 ms for a byte on the port.
int cli_sleep(void* p_user, int t_ms) {
    Cli* p = static_cast<Cli*>(p_user);
    if (t_ms > 1) {
        p->is_quiet = false;
        std::this_thread::sleep_for(std::chrono::milliseconds(t_ms));
        return 1;
    }
    wait_for_port(p);
    return 1;
}

// Opens the log file of --log (replaced), makes the root and hooks the console output, the
// pump and the sleep into p. Null (the reason shown) when either failed.
Root* start(Cli* p, const Opts& o) {
    p->is_verbose = o.is_verbose;
    if (!o.log.empty() && !RunLog_open(o.log.c_str())) {
        fprintf(stderr, "orvo-loader-cli: cannot write the log file %s: %s\n", o.log.c_str(),
                strerror(errno));
        return nullptr;
    }
    Root* p_root = Root_alloc();
    if (!p_root) {
        fputs("Error...: Starting application failed !\nRoot_alloc() returned NULL\n", stderr);
        RunLog_close();
        return nullptr;
    }
    set_p_root(p_root);
    p->p_db_term = Root_get_p_db_term(p_root);
    p->p_uart = Root_get_p_uart(p_root);
    // The root's first line went to the terminal before the log was hooked in.
    if (RunLog_is_open() && DbTerm_to_string(p->p_db_term, -1) >= 0) {
        std::string screen = DbTerm_get_p_str(p->p_db_term);
        while (!screen.empty() && screen.back() == '\n')
            screen.pop_back();
        RunLog_write((screen + "\n").c_str());
    }
    Con_set_cb_output(cli_output, p);
    Root_set_cb_pump(p_root, cli_pump, p);
    Csp_set_sleep_hook(cli_sleep, p);
    const char* p_speedup = getenv("ORVO_CLI_SILENCE_SPEEDUP");
    int speedup = p_speedup ? atoi(p_speedup) : 1;
    if (speedup > 1 && speedup <= 1000) {
        p->speedup = speedup;
        Csp_set_tick_source(cli_tick, p);
    }
    return p_root;
}

void finish(Cli* p, Root* p_root) {
    Csp_set_sleep_hook(nullptr, nullptr);
    Csp_set_tick_source(nullptr, nullptr);
    Root_set_cb_pump(p_root, nullptr, nullptr);
    Con_set_cb_output(DbTerm_print, p->p_db_term);
    Root_free(p_root);
    RunLog_close();
}

int32_t progress_of(const Opts& o) {
    if (o.is_quiet || o.progress == "none") return TERM_PROGRESS_NONE;
    if (o.progress == "plain") return TERM_PROGRESS_PLAIN;
    if (o.progress == "json") return TERM_PROGRESS_JSON;
    return TERM_PROGRESS_BAR;
}

// After a failed or interrupted download: why the port failed, a hint for a device that never
// answered, what the device is left with.
void explain_failure(TermWin* p_term, Root* p_root, const std::string& port, const DlReport& r) {
    if (r.fail == DL_FAIL_PORT) {
        Ports_print_open_hint(stderr, port.c_str(), Root_get_p_uart(p_root)->last_error);
        return;
    }
    if (r.fail == DL_FAIL_ACTIVATE &&
        (r.l_result == RMC_RES_ERR_SEND || r.l_result == RMC_RES_ERR_REC)) {
        std::string hint = "hint: no answer from the device: check its power, the cable, and "
                           "that " +
                           port + " is its port";
        TermWin_note(p_term, hint.c_str());
    }
    TermWin_note(p_term, device_state(dl_step_id(r.fail)));
}

// Once the procedure has opened the port: what could spoil the download on it.
void warn_about_port(void* p_user) {
    Cli* p = static_cast<Cli*>(p_user);
    for (const std::string& line : Ports_open_warnings(p->p_port))
        TermWin_note(p->p_term, line.c_str());
}

// The segment sets of --loader and --app, released at the end of the run.
struct FileSets {
    MsrLin* p_loader = nullptr;
    MsrLin* p_appl = nullptr;
    ~FileSets() {
        MsrLin_free(p_loader);
        MsrLin_free(p_appl);
    }
};

// Reads the files of --loader and --app into p_sets and makes the root use them. false with
// the reason shown, naming the file (the S-record reader's own line when it failed).
bool use_files(Cli* p, Root* p_root, const Opts& o, FileSets* p_sets) {
    struct {
        const std::string& path;
        int32_t kind;
        const char* p_what;
        MsrLin** pp_set;
    } files[] = {{o.loader, FILEIMG_LOADER, "flash-loader", &p_sets->p_loader},
                 {o.app, FILEIMG_APPL, "application", &p_sets->p_appl}};
    for (const auto& f : files) {
        if (f.path.empty()) continue;
        std::string why;
        p->last_error_line.clear();
        *f.pp_set = FileImg_load(f.path.c_str(), f.kind, &why);
        if (*f.pp_set) continue;
        if (why.empty())
            why = p->last_error_line.empty() ? "not an S-record file" : p->last_error_line;
        fprintf(stderr, "orvo-loader-cli: %s file %s: %s\n", f.p_what, f.path.c_str(), why.c_str());
        return false;
    }
    if (!Root_set_images(p_root, p_sets->p_loader, p_sets->p_appl)) {
        fprintf(stderr, "orvo-loader-cli: the images could not be built: %s\n",
                p->last_error_line.c_str());
        return false;
    }
    return true;
}

// The images a run uses, with their sources.
std::vector<ImageInfo> images_of(Root* p_root, const Opts& o) {
    return Images_info(p_root, o.loader.empty() ? "built-in" : o.loader.c_str(),
                       o.app.empty() ? "built-in" : o.app.c_str());
}

int cmd_download(const Opts& o) {
    Cli cli;
    Root* p_root = start(&cli, o);
    if (!p_root) return EXIT_FAILED;
    // Checked before the port is opened: a wrong file never reaches the device.
    FileSets sets;
    if (!use_files(&cli, p_root, o, &sets)) {
        finish(&cli, p_root);
        return EXIT_FAILED;
    }
    std::string port = Ports_normalize_name(o.port);
    // Built before the window takes the log lines, so that the start event comes first.
    std::vector<ImageInfo> images = images_of(p_root, o);
    TermWin* p_term = TermWin_alloc(progress_of(o), port.c_str());
    if (!p_term) {
        fputs("orvo-loader-cli: out of memory\n", stderr);
        finish(&cli, p_root);
        return EXIT_FAILED;
    }
    cli.p_term = p_term;
    cli.p_port = port.c_str();
    TermWin_set_cb_opened(p_term, warn_about_port, &cli);
    DlWindow* p_win = TermWin_get_p_win(p_term);
    p_win->n_retries = o.retries;
    p_win->is_verify = o.is_verify ? 1 : 0;
    TermWin_catch_interrupt(p_term);
    TermWin_start(p_term, images);
    DlReport report{DL_OK, 0, 0};
    int status = EXIT_OK;
    int32_t sig = TermWin_get_pending_signal();
    if (sig) {
        // Stopped before anything reached the device.
        status = 128 + sig;
    } else {
        on_download(p_win, p_root, &report);
        if (report.is_aborted) {
            sig = TermWin_get_signal(p_term);
            status = 128 + (sig ? sig : TERM_SIG_INT);
        } else {
            status = report.fail == DL_OK ? EXIT_OK : report.fail + 2;
        }
        if (status != EXIT_OK) explain_failure(p_term, p_root, port, report);
        sig = TermWin_get_pending_signal();
        if (status == EXIT_OK && sig) {
            std::string line = std::string(TermWin_signal_name(sig)) +
                               " came after the last block: the download was completed";
            TermWin_note(p_term, line.c_str());
        }
    }
    TermWin_result(p_term, dl_step_id(report.fail), status);
    TermWin_catch_interrupt(nullptr);
    cli.p_term = nullptr;
    TermWin_free(p_term);
    finish(&cli, p_root);
    return status;
}

// The download's bootloader activation, its pause after it and its reply time-out; the RMC
// result.
int activate(Rmc* p_rmc) {
    Con_print("Activating bootloader\n");
    p_rmc->reply_timeout_ms = DL_TIMEOUT_BOOTLOADER_MS;
    int l_result = log_l_result(Rmc_do_activate_bootloader(p_rmc));
    if (l_result == RMC_RES_OK) Csp_sleep_ms(DL_SETTLE_MS);
    return l_result == RMC_RES_OK;
}

// The options each port's download gets in a gang: everything of the download but the port,
// the progress (the children talk JSON to the parent) and the log (one file a port).
std::vector<std::string> child_args_of(const Opts& o) {
    std::vector<std::string> args = {"download", "--retries", std::to_string(o.retries)};
    if (!o.app.empty()) args.insert(args.end(), {"--app", o.app});
    if (!o.loader.empty()) args.insert(args.end(), {"--loader", o.loader});
    if (o.is_verify) args.push_back("--verify");
    return args;
}

// Several ports: one download each, at once. Bad port lists end here with exit status 2 before
// anything starts.
int cmd_gang(const Opts& o) {
    GangCfg cfg;
    std::string error;
    if (!Gang_check_ports(o.ports, &cfg.ports, &error)) {
        fprintf(stderr, "orvo-loader-cli: download: %s\n", error.c_str());
        return EXIT_USAGE;
    }
    cfg.child_args = child_args_of(o);
    cfg.log = o.log;
    cfg.report = o.report;
    cfg.progress = progress_of(o);
    return Gang_run(cfg);
}

int cmd_send_file(const Opts& o) {
    uint32_t adr_jump = 0;
    if (!o.jump.empty()) parse_address(o.jump, &adr_jump); // checked by the parser
    // Refused before the port is touched, so the device sees nothing of a typo.
    FILE* fp_file = fopen(o.file.c_str(), "rb");
    if (!fp_file) {
        fprintf(stderr, "orvo-loader-cli: cannot read %s: %s\n", o.file.c_str(), strerror(errno));
        return EXIT_FAILED;
    }
    fclose(fp_file);
    Cli cli;
    Root* p_root = start(&cli, o);
    if (!p_root) return EXIT_FAILED;
    TermWin_catch_interrupt(nullptr); // nothing to confirm: a signal ends at once
    std::string port = Ports_normalize_name(o.port);
    Uart* p_uart = Root_get_p_uart(p_root);
    Rmc* p_rmc = Root_get_p_rmc(p_root);
    int status = EXIT_OK;
    if (!Uart_open(p_uart, port.c_str(), DL_BAUDRATE, 8, 0, 0)) {
        fputs("Error...: Error opening COM-Port !\n", stderr);
        Ports_print_open_hint(stderr, port.c_str(), p_uart->last_error);
        status = EXIT_PORT;
    } else {
        fputs(o.is_activate ? "Activating bootloader...\n" : "", stderr);
        int is_ok = !o.is_activate || activate(p_rmc);
        if (!is_ok) fputs("Error...: Activating bootloader failed !\n", stderr);
        if (is_ok) {
            fprintf(stderr, "Sending %s...\n", o.file.c_str());
            is_ok = MsrLoad_send_file_and_jump(p_rmc, o.file.c_str(), adr_jump);
            if (!is_ok) {
                fprintf(stderr, "Error...: Sending %s failed !\n", o.file.c_str());
            } else if (adr_jump != 0) {
                fprintf(stderr, "Ok: %s sent, started at 0x%08x\n", o.file.c_str(), adr_jump);
            } else {
                fprintf(stderr, "Ok: %s sent\n", o.file.c_str());
            }
        }
        if (!is_ok && !cli.last_error_line.empty() && !o.is_verbose)
            fprintf(stderr, "  (last log line: %s)\n", cli.last_error_line.c_str());
        if (!is_ok) status = EXIT_FAILED;
    }
    Uart_close(p_uart);
    RunLog_result(status, nullptr);
    finish(&cli, p_root);
    return status;
}

// Reads n bytes of device memory at a_mem in pieces of 256 bytes into p_bytes, with progress.
// The RMC result; the failing piece's address in *p_adr_fail. A stop signal ends it with 10.
int32_t read_mem(TermWin* p_term, Rmc* p_rmc, uint32_t a_mem, uint32_t n, uint8_t* p_bytes,
                 uint32_t* p_adr_fail) {
    const uint32_t k_m_piece = 256;
    for (uint32_t n_done = 0; n_done < n;) {
        uint32_t l_piece = std::min(k_m_piece, n - n_done);
        int32_t l_result = Rmc_do_read_mem(p_rmc, a_mem + n_done, p_bytes + n_done, l_piece);
        if (l_result != RMC_RES_OK || TermWin_get_pending_signal()) {
            *p_adr_fail = a_mem + n_done;
            return l_result != RMC_RES_OK ? l_result : RMC_RES_ERR_ELSE;
        }
        n_done += l_piece;
        TermWin_bytes_done(p_term, static_cast<int32_t>(n_done), static_cast<int32_t>(n));
    }
    return RMC_RES_OK;
}

// The result code's name without its padding.
std::string result_name(int32_t l_result) {
    const char* p_name = Rmc_get_result_name(l_result);
    std::string name = p_name ? p_name : "?";
    while (!name.empty() && name.back() == ' ')
        name.pop_back();
    return name;
}

int cmd_read_mem(const Opts& o) {
    uint32_t a_mem = 0;
    parse_address(o.address, &a_mem); // checked by the parser
    if (static_cast<uint64_t>(a_mem) + o.length > 0x100000000ull) {
        fprintf(stderr,
                "orvo-loader-cli: read-mem: %u bytes from 0x%08x pass the end of the "
                "address space\n",
                o.length, a_mem);
        return EXIT_USAGE;
    }
    Cli cli;
    Root* p_root = start(&cli, o);
    if (!p_root) return EXIT_FAILED;
    std::string port = Ports_normalize_name(o.port);
    TermWin* p_term = TermWin_alloc(progress_of(o), port.c_str());
    std::vector<uint8_t> bytes(o.length);
    if (!p_term) {
        fputs("orvo-loader-cli: out of memory\n", stderr);
        finish(&cli, p_root);
        return EXIT_FAILED;
    }
    cli.p_term = p_term;
    TermWin_catch_interrupt(p_term);
    Uart* p_uart = Root_get_p_uart(p_root);
    Rmc* p_rmc = Root_get_p_rmc(p_root);
    int status = EXIT_OK;
    const char* p_failed = nullptr;
    if (!Uart_open(p_uart, port.c_str(), DL_BAUDRATE, 8, 0, 0)) {
        TermWin_message_box(p_term, "Error opening COM-Port !", "Error...", DL_MB_OK_EXCLAMATION);
        Ports_print_open_hint(stderr, port.c_str(), p_uart->last_error);
        status = EXIT_PORT;
        p_failed = "port";
    } else {
        if (o.is_activate) TermWin_begin_step(p_term, "activate", "Activating bootloader...");
        if (o.is_activate && !activate(p_rmc)) {
            TermWin_message_box(p_term, "Activating bootloader failed !", "Error...",
                                DL_MB_OK_EXCLAMATION);
            status = EXIT_FAILED;
            p_failed = "activate";
        } else {
            TermWin_begin_step(p_term, "read_mem", "Reading memory...");
            p_rmc->reply_timeout_ms = DL_TIMEOUT_BOOTLOADER_MS;
            uint32_t a_fail = 0;
            int32_t l_result = read_mem(p_term, p_rmc, a_mem, o.length, bytes.data(), &a_fail);
            log_l_result(l_result);
            int32_t sig = TermWin_get_pending_signal();
            std::string text;
            if (l_result == RMC_RES_OK) {
                FILE* fp = fopen(o.file.c_str(), "wb");
                bool is_written = fp && fwrite(bytes.data(), 1, bytes.size(), fp) == bytes.size();
                is_written = fp && fclose(fp) == 0 && is_written;
                text = is_written ? std::to_string(o.length) + " bytes from " + hex(a_mem) +
                                        " written to " + o.file
                                  : "cannot write " + o.file + ": " + strerror(errno);
                status = is_written ? EXIT_OK : EXIT_FAILED;
            } else if (sig) {
                text = std::string("Reading memory interrupted at address ") + hex(a_fail);
                status = 128 + sig;
            } else {
                text = "Reading memory at address " + hex(a_fail) +
                       " failed: " + result_name(l_result);
                status = EXIT_FAILED;
            }
            TermWin_message_box(p_term, text.c_str(), status == EXIT_OK ? "Ok" : "Error...",
                                DL_MB_OK_EXCLAMATION);
            if (status != EXIT_OK) p_failed = "read_mem";
        }
    }
    Uart_close(p_uart);
    TermWin_result(p_term, p_failed, status);
    TermWin_catch_interrupt(nullptr);
    cli.p_term = nullptr;
    TermWin_free(p_term);
    finish(&cli, p_root);
    return status;
}

int cmd_images(const Opts& o) {
    Cli cli;
    Root* p_root = start(&cli, Opts{});
    if (!p_root) return EXIT_FAILED;
    FileSets sets;
    if (!use_files(&cli, p_root, o, &sets)) {
        finish(&cli, p_root);
        return EXIT_FAILED;
    }
    for (const ImageInfo& im : images_of(p_root, o))
        printf("%s: %s, %u bytes, %u blocks to write, CRC-32 %08x\n", im.name.c_str(),
               im.source.c_str(), im.size, im.blocks, im.crc32);
    int32_t is_ok = !o.export_dir.empty() ? Images_export(stdout, p_root, o.export_dir.c_str())
                                          : Images_print(stdout, p_root);
    finish(&cli, p_root);
    return is_ok ? EXIT_OK : EXIT_FAILED;
}

int cmd_verify_dump(const Opts& o) {
    Cli cli;
    Root* p_root = start(&cli, Opts{});
    if (!p_root) return EXIT_FAILED;
    int32_t is_ok = Images_verify_dump(stdout, p_root, o.file.c_str());
    finish(&cli, p_root);
    return is_ok ? EXIT_OK : EXIT_FAILED;
}

// The options every command that talks to a device takes.
void add_port_options(CLI::App* p_cmd, Opts* p) {
    if (p_cmd->get_name() == "download") {
        p_cmd
            ->add_option("-p,--port", p->ports,
                         "the serial port (see below); several --port run one download each, "
                         "at once")
            ->type_name("PORT");
        p_cmd->add_option("--ports-file", p->ports_file, "the ports, one a line, as more --port")
            ->type_name("FILE");
        p_cmd
            ->add_option("--report", p->report,
                         "with several ports: write a JSON record of each port's result to FILE")
            ->type_name("FILE");
    } else {
        p_cmd->add_option("-p,--port", p->port, "the serial port (see below)")
            ->required()
            ->type_name("PORT");
    }
    p_cmd
        ->add_option("--log", p->log,
                     p_cmd->get_name() == "download"
                         ? "write every log line, with its time, to FILE (replaced); with "
                           "several ports each port's to FILE.PORT (FILE.ttyUSB0)"
                         : "write every log line, with its time, to FILE (replaced)")
        ->type_name("FILE");
    p_cmd->add_flag("-v,--verbose", p->is_verbose, "also show the log lines");
}

// --progress and -q.
void add_progress_options(CLI::App* p_cmd, Opts* p) {
    CLI::Option* p_progress =
        p_cmd
            ->add_option("--progress", p->progress,
                         "bar: a bar on a terminal, plain lines otherwise (default); plain; "
                         "json: one event a line on stdout; none")
            ->check(CLI::IsMember({"bar", "plain", "json", "none"}));
    p_cmd->add_flag("-q,--quiet", p->is_quiet, "no progress: only messages and hints")
        ->excludes(p_progress);
}

const CLI::Validator k_address(
    [](std::string& s) {
        uint32_t adr;
        return parse_address(s, &adr) ? std::string()
                                      : "not a decimal or 0x-hexadecimal address: " + s;
    },
    "ADDR");

// The command line's syntax; the command chosen is the app's parsed subcommand.
void build_parser(CLI::App* p_app, Opts* p) {
    p_app->set_version_flag("--version", std::string("orvo-loader-cli ") + ORVO_VERSION);
    p_app->require_subcommand(1);
    p_app->footer(std::string(Ports_get_p_name_help()) + "\n" + k_exit_statuses);

    CLI::App* p_dl = p_app->add_subcommand(
        "download", "put the built-in flash loader into the device's RAM, start it, erase and "
                    "program the application into flash and start it");
    add_port_options(p_dl, p);
    add_progress_options(p_dl, p);
    p_dl->add_option("--app", p->app, "program the application of this S-record file")
        ->type_name("FILE");
    p_dl->add_option("--loader", p->loader, "use the flash loader of this S-record file")
        ->type_name("FILE");
    p_dl->add_flag("--verify", p->is_verify,
                   "read back what was programmed before the signature is written");
    p_dl->add_option("--retries", p->retries,
                     "send a RAM or flash write that failed again, up to N times (default 0)")
        ->check(CLI::Range(0, 100))
        ->type_name("N");
    p_dl->footer(std::string("Signals: SIGTERM and SIGHUP, and SIGINT when stdin is not a "
                             "terminal, stop the download after the block being written; Ctrl-C "
                             "on a terminal asks first.\n") +
                 k_exit_statuses);

    CLI::App* p_send = p_app->add_subcommand("send-file", "write an S-record file into device RAM");
    add_port_options(p_send, p);
    p_send->add_option("FILE", p->file, "the S-record file")->required();
    p_send->add_option("--jump", p->jump, "then start the code at ADDR (decimal or 0x-hexadecimal)")
        ->type_name("ADDR")
        ->check(k_address);
    p_send->add_flag("--activate", p->is_activate, "first activate the bootloader");

    CLI::App* p_read = p_app->add_subcommand("read-mem", "read device memory into a file");
    add_port_options(p_read, p);
    p_read->add_option("--address", p->address, "the first address (decimal or 0x-hexadecimal)")
        ->required()
        ->type_name("ADR")
        ->check(k_address);
    p_read->add_option("--length", p->length, "the number of bytes")
        ->required()
        ->type_name("N")
        ->check(CLI::Range(1u, k_m_read_mem));
    p_read->add_flag("--activate", p->is_activate, "first activate the bootloader");
    add_progress_options(p_read, p);
    p_read->add_option("FILE", p->file, "the file the bytes are written to")->required();

    p_app->add_subcommand("ports", "list the serial ports and where COM1..COM8 point");
    CLI::App* p_images =
        p_app->add_subcommand("images", "show the images a download writes, built in or files");
    p_images->add_option("--export", p->export_dir, "write them into DIR as S-record files")
        ->type_name("DIR");
    p_images->add_option("--app", p->app, "the application of this S-record file")
        ->type_name("FILE");
    p_images->add_option("--loader", p->loader, "the flash loader of this S-record file")
        ->type_name("FILE");
    CLI::App* p_verify = p_app->add_subcommand(
        "verify-dump", "compare a flash dump (binary, from 0x80000 on) with the application");
    p_verify->add_option("FILE", p->file, "the flash dump")->required();
    p_app->add_subcommand("help", "show this text");
}

} // namespace

int main(int argc, char** argv) {
    RunLog_start();
    CLI::App app{"Orvo-Loader: downloads firmware into the device over a serial line.",
                 "orvo-loader-cli"};
    Opts o;
    build_parser(&app, &o);
    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& e) {
        return app.exit(e); // --help, --version
    } catch (const CLI::ParseError& e) {
        std::string where;
        for (const CLI::App* p_cmd : app.get_subcommands())
            where = p_cmd->get_name() + ": ";
        fprintf(stderr, "orvo-loader-cli: %s%s (see 'orvo-loader-cli %s--help')\n", where.c_str(),
                e.what(), where.empty() ? "" : (where.substr(0, where.size() - 2) + " ").c_str());
        return EXIT_USAGE;
    }
    std::string command = app.get_subcommands().front()->get_name();
    if (command == "help") {
        fputs(app.help().c_str(), stdout);
        return EXIT_OK;
    }
    Fsv_set_default(Fsv_alloc_native());
    if (command == "download") {
        std::string error;
        if (!o.ports_file.empty() && !Gang_read_ports_file(o.ports_file, &o.ports, &error)) {
            fprintf(stderr, "orvo-loader-cli: download: %s\n", error.c_str());
            return EXIT_USAGE;
        }
        if (o.ports.empty()) {
            fprintf(stderr, "orvo-loader-cli: download: %s\n",
                    o.ports_file.empty() ? "--port is required (see 'orvo-loader-cli download "
                                           "--help')"
                                         : ("no port in " + o.ports_file).c_str());
            return EXIT_USAGE;
        }
        if (o.ports.size() > 1 || !o.report.empty()) return cmd_gang(o);
        o.port = o.ports[0];
        return cmd_download(o);
    }
    if (command == "send-file") return cmd_send_file(o);
    if (command == "ports") return Ports_print(stdout) >= 0 ? EXIT_OK : EXIT_FAILED;
    if (command == "images") return cmd_images(o);
    if (command == "read-mem") return cmd_read_mem(o);
    return cmd_verify_dump(o);
}
