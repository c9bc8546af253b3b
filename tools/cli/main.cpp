// orvo-loader-cli: the firmware download, the file download into device RAM, the serial ports
// and the embedded images, from the command line.
#include "con.h"
#include "csp.h"
#include "dbterm.h"
#include "download.h"
#include "fsv.h"
#include "imgcmd.h"
#include "msrload.h"
#include "ports.h"
#include "rmc.h"
#include "root.h"
#include "termwin.h"
#include "uart.h"

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

// Exit statuses besides the download's failing step (DlFail + 2).
enum {
    EXIT_OK = 0,
    EXIT_FAILED = 1, // the program could not start, or another command failed
    EXIT_USAGE = 2,
    EXIT_PORT = 3,
    EXIT_INTERRUPTED = 130,
};

const char k_usage[] =
    "usage: orvo-loader-cli <command> [options]\n"
    "\n"
    "commands:\n"
    "  download --port PORT [--retries N] [--log FILE] [--progress bar|plain|json|none]\n"
    "           [--verbose]\n"
    "      puts the built-in flash loader into the device's RAM, starts it, erases and\n"
    "      programs the application into flash and starts it\n"
    "  send-file --port PORT FILE [--jump ADDR] [--activate] [--log FILE] [--verbose]\n"
    "      writes the S-record file FILE into device RAM; --jump then starts the code at\n"
    "      ADDR (decimal or 0x-hexadecimal); --activate first activates the bootloader\n"
    "  ports\n"
    "      lists the serial ports of this machine and where COM1..COM8 point\n"
    "  images [--export DIR]\n"
    "      shows the built-in images; --export writes them into DIR as S-record files\n"
    "  verify-dump FILE\n"
    "      compares a binary dump of the device's flash from 0x80000 on with the built-in\n"
    "      application image\n"
    "  help\n"
    "      this text\n"
    "\n";

// After the port names.
const char k_usage_tail[] =
    "--retries N sends a RAM or flash write that failed again, up to N times (default 0).\n"
    "--log FILE keeps every log line of the run; --verbose also shows them on stderr.\n"
    "--progress: a bar on a terminal, plain lines otherwise (the default 'bar'); 'json'\n"
    "writes one object a line on stdout: {\"step\":..,\"detail\":..,\"percent\":..}.\n"
    "Ctrl-C during a download asks whether to interrupt it (y = yes; a second Ctrl-C = yes).\n"
    "\n"
    "exit status: 0 success, 1 other failure, 2 usage error, 3 port cannot be opened,\n"
    "  4 activation, 5 flash-loader download, 6 flash-loader start, 7 erase, 8 blank check,\n"
    "  9 programming, 10 signature, 11 application start failed, 130 interrupted\n";

// What a usage error shows below its reason.
const char k_synopsis[] =
    "usage: orvo-loader-cli download --port PORT [--retries N] [--log FILE]"
    " [--progress bar|plain|json|none] [--verbose]\n"
    "       orvo-loader-cli send-file --port PORT FILE [--jump ADDR] [--activate] [--log FILE]"
    " [--verbose]\n"
    "       orvo-loader-cli ports\n"
    "       orvo-loader-cli images [--export DIR]\n"
    "       orvo-loader-cli verify-dump FILE\n";

// The options of one command line.
struct Opts {
    std::string command;
    std::string port, log, progress = "bar", jump, export_dir, retries = "0";
    bool is_port = false, is_log = false, is_jump = false, is_export = false;
    bool is_verbose = false, is_activate = false, is_progress = false;
    std::vector<std::string> args; // operands
};

// What the console output, the message pump and the sleep hook share.
struct Cli {
    DbTerm* p_db_term = nullptr;
    FILE* fp_log = nullptr;
    bool is_verbose = false;
    TermWin* p_term = nullptr;
    Uart* p_uart = nullptr;
    std::string last_error_line; // the latest "error-..." log line
    std::string line;            // the log line being assembled
    // Test aid: once the line has been quiet for k_quiet_ms, the clock runs speedup times as
    // fast, so a device that stopped answering reaches the time-outs in a fraction of their
    // time while every exchange with a live device sees the real clock.
    int speedup = 1;
    uint32_t t_offset = 0;
    bool is_quiet = false;
    uint32_t t_quiet_start = 0;
};

const uint32_t k_quiet_ms = 200;

int usage_error(const char* p_format, const char* p_arg) {
    fputs("orvo-loader-cli: ", stderr);
    fprintf(stderr, p_format, p_arg);
    fputs("\n", stderr);
    fputs(k_synopsis, stderr);
    fputs("'orvo-loader-cli help' tells more.\n", stderr);
    return EXIT_USAGE;
}

// Options each command takes; a value option is followed by its value (or written
// --opt=value).
struct OptSpec {
    const char* p_command;
    const char* p_name;
    bool is_value;
};
const OptSpec k_opts[] = {
    {"download", "--port", true},       {"download", "--log", true},
    {"download", "--progress", true},   {"download", "--verbose", false},
    {"download", "--retries", true},
    {"send-file", "--port", true},      {"send-file", "--jump", true},
    {"send-file", "--activate", false}, {"send-file", "--log", true},
    {"send-file", "--verbose", false},  {"images", "--export", true},
};

void set_opt(Opts* p, const std::string& name, const std::string& value) {
    if (name == "--port") {
        p->port = value;
        p->is_port = true;
    } else if (name == "--log") {
        p->log = value;
        p->is_log = true;
    } else if (name == "--progress") {
        p->progress = value;
        p->is_progress = true;
    } else if (name == "--retries") {
        p->retries = value;
    } else if (name == "--verbose") {
        p->is_verbose = true;
    } else if (name == "--jump") {
        p->jump = value;
        p->is_jump = true;
    } else if (name == "--activate") {
        p->is_activate = true;
    } else if (name == "--export") {
        p->export_dir = value;
        p->is_export = true;
    }
}

// Parses the command line into p. EXIT_OK, or the usage error's status (message printed).
int parse(int argc, char** argv, Opts* p) {
    if (argc < 2) return usage_error("%s", "a command is missing");
    p->command = argv[1];
    static const char* const k_commands[] = {"download", "send-file", "ports", "images",
                                             "verify-dump"};
    bool is_known = false;
    for (const char* c : k_commands)
        is_known = is_known || p->command == c;
    if (!is_known) return usage_error("unknown command '%s'", p->command.c_str());
    bool is_operands_only = false;
    for (int i = 2; i < argc; i++) {
        std::string a = argv[i];
        if (is_operands_only || a.size() < 2 || a[0] != '-') {
            p->args.push_back(a);
            continue;
        }
        if (a == "--") {
            is_operands_only = true;
            continue;
        }
        std::string name = a, value;
        bool is_inline = false;
        size_t eq = a.find('=');
        if (a.compare(0, 2, "--") == 0 && eq != std::string::npos) {
            name = a.substr(0, eq);
            value = a.substr(eq + 1);
            is_inline = true;
        }
        const OptSpec* p_spec = nullptr;
        for (const OptSpec& s : k_opts)
            if (p->command == s.p_command && name == s.p_name) p_spec = &s;
        if (!p_spec) {
            std::string text = "unknown option '" + name + "' for '" + p->command + "'";
            return usage_error("%s", text.c_str());
        }
        if (p_spec->is_value && !is_inline) {
            if (i + 1 >= argc) return usage_error("option '%s' needs a value", name.c_str());
            value = argv[++i];
        } else if (!p_spec->is_value && is_inline) {
            return usage_error("option '%s' takes no value", name.c_str());
        }
        if (p_spec->is_value && value.empty())
            return usage_error("option '%s' needs a value", name.c_str());
        set_opt(p, name, value);
    }
    return EXIT_OK;
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

// The console output: the root's debug terminal, the log file, and stderr with --verbose.
int cli_output(void* p_user, const char* p_text) {
    Cli* p = static_cast<Cli*>(p_user);
    int r = DbTerm_print(p->p_db_term, p_text);
    if (p->fp_log) {
        fputs(p_text, p->fp_log);
        // Every line on disk at once: nothing lost when the program is ended hard.
        fflush(p->fp_log);
    }
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

// Waits at most 1 ms for a byte on the port (a closed port waits the 1 ms too).
void wait_for_port(Cli* p) {
    if (p->p_term) TermWin_poll_interrupt(p->p_term);
    int r = Uart_wait_readable(p->p_uart, 1);
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

// Goes on after an interrupted sleep until the whole time has passed.
void sleep_full_ms(int t_ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(t_ms));
}

// The sleep of the time service: real pauses sleep their whole time; the yields of the
// waiting transaction layer (0 or 1 ms) wait at most 1 ms for a byte on the port.
int cli_sleep(void* p_user, int t_ms) {
    Cli* p = static_cast<Cli*>(p_user);
    if (t_ms > 1) {
        p->is_quiet = false;
        sleep_full_ms(t_ms);
        return 1;
    }
    wait_for_port(p);
    return 1;
}

// Makes the root and hooks the console output, the pump and the sleep into p. Null (the
// shell's start-up error shown) when the root could not be made.
Root* start(Cli* p) {
    Root* p_root = Root_alloc();
    if (!p_root) {
        fputs("Error...: Starting application failed !\nRoot_alloc() returned NULL\n", stderr);
        return nullptr;
    }
    set_p_root(p_root);
    p->p_db_term = Root_get_p_db_term(p_root);
    p->p_uart = Root_get_p_uart(p_root);
    // The root's first line went to the terminal before the log was hooked in.
    if (p->fp_log && DbTerm_to_string(p->p_db_term, -1) >= 0) {
        std::string screen = DbTerm_get_p_str(p->p_db_term);
        while (!screen.empty() && screen.back() == '\n')
            screen.pop_back();
        fprintf(p->fp_log, "%s\n", screen.c_str());
        fflush(p->fp_log);
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
    if (p->fp_log) fclose(p->fp_log);
    p->fp_log = nullptr;
}

// Opens the log file of --log (replaced). false with the reason printed.
bool open_log(Cli* p, const Opts& o) {
    p->is_verbose = o.is_verbose;
    if (!o.is_log) return true;
    p->fp_log = fopen(o.log.c_str(), "w");
    if (!p->fp_log) {
        fprintf(stderr, "orvo-loader-cli: cannot write the log file %s: %s\n", o.log.c_str(),
                strerror(errno));
        return false;
    }
    return true;
}

int exit_status_of(const DlReport& r) {
    if (r.is_aborted) return EXIT_INTERRUPTED;
    return r.fail == DL_OK ? EXIT_OK : r.fail + 2;
}

int cmd_download(const Opts& o) {
    if (!o.args.empty()) return usage_error("unexpected operand '%s'", o.args[0].c_str());
    if (!o.is_port) return usage_error("%s", "download needs --port PORT");
    int32_t progress;
    if (o.progress == "bar") {
        progress = TERM_PROGRESS_BAR;
    } else if (o.progress == "plain") {
        progress = TERM_PROGRESS_PLAIN;
    } else if (o.progress == "json") {
        progress = TERM_PROGRESS_JSON;
    } else if (o.progress == "none") {
        progress = TERM_PROGRESS_NONE;
    } else {
        return usage_error("--progress takes bar, plain, json or none, not '%s'",
                           o.progress.c_str());
    }
    char* p_end = nullptr;
    long n_retries = strtol(o.retries.c_str(), &p_end, 10);
    if (*p_end || o.retries.empty() || !isdigit(static_cast<unsigned char>(o.retries[0])) ||
        n_retries > 100)
        return usage_error("--retries takes a count from 0 to 100, not '%s'", o.retries.c_str());
    Cli cli;
    if (!open_log(&cli, o)) return EXIT_FAILED;
    Root* p_root = start(&cli);
    if (!p_root) {
        if (cli.fp_log) fclose(cli.fp_log);
        return EXIT_FAILED;
    }
    TermWin* p_term = TermWin_alloc(progress, o.port.c_str());
    if (!p_term) {
        fputs("orvo-loader-cli: out of memory\n", stderr);
        finish(&cli, p_root);
        return EXIT_FAILED;
    }
    cli.p_term = p_term;
    TermWin_get_p_win(p_term)->n_retries = static_cast<int32_t>(n_retries);
    TermWin_catch_interrupt(p_term);
    DlReport report{};
    on_download(TermWin_get_p_win(p_term), p_root, &report);
    if (report.fail == DL_FAIL_PORT)
        Ports_print_open_hint(stderr, o.port.c_str(), Root_get_p_uart(p_root)->last_error);
    TermWin_catch_interrupt(nullptr);
    cli.p_term = nullptr;
    TermWin_free(p_term);
    finish(&cli, p_root);
    return exit_status_of(report);
}

int cmd_send_file(const Opts& o) {
    if (!o.is_port) return usage_error("%s", "send-file needs --port PORT");
    if (o.args.empty()) return usage_error("%s", "send-file needs the S-record FILE");
    if (o.args.size() > 1) return usage_error("unexpected operand '%s'", o.args[1].c_str());
    uint32_t adr_jump = 0;
    if (o.is_jump && !parse_address(o.jump, &adr_jump))
        return usage_error("--jump takes a decimal or 0x-hexadecimal address, not '%s'",
                           o.jump.c_str());
    const std::string& file = o.args[0];
    // Refused before the port is touched, so the device sees nothing of a typo.
    FILE* fp_file = fopen(file.c_str(), "rb");
    if (!fp_file) {
        fprintf(stderr, "orvo-loader-cli: cannot read %s: %s\n", file.c_str(), strerror(errno));
        return EXIT_FAILED;
    }
    fclose(fp_file);
    Cli cli;
    if (!open_log(&cli, o)) return EXIT_FAILED;
    Root* p_root = start(&cli);
    if (!p_root) {
        if (cli.fp_log) fclose(cli.fp_log);
        return EXIT_FAILED;
    }
    TermWin_catch_interrupt(nullptr); // nothing to confirm: Ctrl-C ends at once with 130
    Uart* p_uart = Root_get_p_uart(p_root);
    Rmc* p_rmc = Root_get_p_rmc(p_root);
    int status = EXIT_OK;
    if (!Uart_open(p_uart, o.port.c_str(), DL_BAUDRATE, 8, 0, 0)) {
        fputs("Error...: Error opening COM-Port !\n", stderr);
        Ports_print_open_hint(stderr, o.port.c_str(), p_uart->last_error);
        status = EXIT_PORT;
    } else {
        int is_ok = 1;
        if (o.is_activate) {
            fputs("Activating bootloader...\n", stderr);
            Con_print("Activating bootloader\n");
            p_rmc->reply_timeout_ms = DL_TIMEOUT_BOOTLOADER_MS;
            is_ok = log_l_result(Rmc_do_activate_bootloader(p_rmc)) == RMC_RES_OK;
            if (is_ok) Csp_sleep_ms(DL_SETTLE_MS);
            if (!is_ok) fputs("Error...: Activating bootloader failed !\n", stderr);
        }
        if (is_ok) {
            fprintf(stderr, "Sending %s...\n", file.c_str());
            is_ok = MsrLoad_send_file_and_jump(p_rmc, file.c_str(), adr_jump);
            if (!is_ok) {
                fprintf(stderr, "Error...: Sending %s failed !\n", file.c_str());
            } else if (adr_jump != 0) {
                fprintf(stderr, "Ok: %s sent, started at 0x%08x\n", file.c_str(), adr_jump);
            } else {
                fprintf(stderr, "Ok: %s sent\n", file.c_str());
            }
        }
        if (!is_ok && !cli.last_error_line.empty() && !o.is_verbose)
            fprintf(stderr, "  (last log line: %s)\n", cli.last_error_line.c_str());
        if (!is_ok) status = EXIT_FAILED;
    }
    Uart_close(p_uart);
    finish(&cli, p_root);
    return status;
}

int cmd_ports(const Opts& o) {
    if (!o.args.empty()) return usage_error("unexpected operand '%s'", o.args[0].c_str());
    Ports_print(stdout);
    return EXIT_OK;
}

int cmd_images(const Opts& o) {
    if (!o.args.empty()) return usage_error("unexpected operand '%s'", o.args[0].c_str());
    Cli cli;
    Root* p_root = start(&cli);
    if (!p_root) return EXIT_FAILED;
    int32_t is_ok = o.is_export ? Images_export(stdout, p_root, o.export_dir.c_str())
                                : Images_print(stdout, p_root);
    finish(&cli, p_root);
    return is_ok ? EXIT_OK : EXIT_FAILED;
}

int cmd_verify_dump(const Opts& o) {
    if (o.args.size() != 1) return usage_error("%s", "verify-dump needs one FILE");
    Cli cli;
    Root* p_root = start(&cli);
    if (!p_root) return EXIT_FAILED;
    int32_t is_ok = Images_verify_dump(stdout, p_root, o.args[0].c_str());
    finish(&cli, p_root);
    return is_ok ? EXIT_OK : EXIT_FAILED;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 2 && !strcmp(argv[1], "--version")) {
        printf("orvo-loader-cli %s\n", ORVO_VERSION);
        return EXIT_OK;
    }
    if (argc >= 2 &&
        (!strcmp(argv[1], "help") || !strcmp(argv[1], "--help") || !strcmp(argv[1], "-h"))) {
        fputs(k_usage, stdout);
        fputs(Ports_get_p_name_help(), stdout);
        fputs(k_usage_tail, stdout);
        return EXIT_OK;
    }
    Opts o;
    int status = parse(argc, argv, &o);
    if (status != EXIT_OK) return status;
    Fsv_set_default(Fsv_alloc_native());
    if (o.command == "download") return cmd_download(o);
    if (o.command == "send-file") return cmd_send_file(o);
    if (o.command == "ports") return cmd_ports(o);
    if (o.command == "images") return cmd_images(o);
    return cmd_verify_dump(o);
}
