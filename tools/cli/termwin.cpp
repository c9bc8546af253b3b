// Terminal window of the command-line loader: step lines, the bar, JSON events, message boxes,
// the interruption by signals and by the cancel handler's question.
#include "termwin.h"

#include "csp.h"
#include "runlog.h"
#include "termwin_platform.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <csignal>
#include <cstring>
#include <new>

using Json = nlohmann::ordered_json;

struct TermWin {
    DlWindow win;
    int32_t progress;   // TermProgress in use
    const char* p_port; // what the port choice gives
    // The running step: id, the window's text, when it began; a step event waits for the text.
    std::string step_id, step_text;
    bool is_step_open = false, is_step_event_due = false;
    double t_step = 0;
    // Its block loop: bytes done of total (total 0: none), the percent shown last.
    int32_t n_done = 0, n_total = 0, percent_shown = -1;
    double t_drawn = -1; // when the bar was drawn last
    // Bytes and time of the programming loop, for the closing summary.
    int32_t n_programmed = 0;
    double t_programmed = 0;
    // The bar's line: its text, and whether it still waits for its newline.
    std::string bar_text;
    bool is_line_open = false;
    // The device's silence: since when (tick count), the second shown last.
    uint32_t t_input = 0;
    int32_t wait_shown_s = 0;
    std::string echo_buf; // a log line not yet complete
    bool is_answer_lost = false;
    int n_interrupt_asked = 0; // the Ctrl-C count the last question took up
    bool is_interrupt_seen = false, is_note_shown = false;
    uint32_t t_interrupt_seen = 0;
    int32_t sig_taken = 0; // the signal that set m_bAbort
    void (*cb_opened)(void* p_user) = nullptr;
    void* p_user_opened = nullptr;
};

// Ctrl-C presses on a terminal since the last answer; the signal that asks to stop without a
// question and how many such came; the window they talk to; whether stdin is a terminal.
static volatile sig_atomic_t s_n_interrupt;
static volatile sig_atomic_t s_sig_stop, s_n_stop;
static TermWin* volatile s_p_active;
static volatile sig_atomic_t s_is_typed;

static const int32_t k_wait_note_ms = 2000;

const char* TermWin_signal_name(int32_t sig) {
    switch (sig) {
    case TERM_SIG_HUP:
        return "SIGHUP";
    case TERM_SIG_TERM:
        return "SIGTERM";
    default:
        return "SIGINT";
    }
}

// Runs at every signal, in a signal handler or a thread of its own: flags and raw output only.
static void on_signal(int sig) {
    TermWin* p = s_p_active;
    if (!p) TermWin_platform_exit_now(128 + sig);
    if (sig == TERM_SIG_INT && s_is_typed) {
        // Nothing runs that could be left half done: end at once.
        if (!p->win.m_bBusy) {
            if (p->is_line_open) TermWin_platform_write_raw("\n", 1);
            TermWin_platform_exit_now(128 + sig);
        }
        s_n_interrupt = s_n_interrupt + 1;
        return;
    }
    if (!s_sig_stop) s_sig_stop = sig;
    s_n_stop = s_n_stop + 1;
}

static int terminal_columns(void) {
    int columns = TermWin_platform_columns();
    return columns >= 20 ? columns : 80;
}

static void end_line(TermWin* p) {
    if (!p->is_line_open) return;
    fputc('\n', stderr);
    fflush(stderr);
    p->is_line_open = false;
}

static bool is_text_mode(const TermWin* p) {
    return p->progress == TERM_PROGRESS_BAR || p->progress == TERM_PROGRESS_PLAIN;
}

// Seconds rounded to milliseconds, as the events carry them.
static double ms_round(double t) {
    return std::round(t * 1000) / 1000;
}

static void emit(const TermWin* p, Json event) {
    if (p->progress != TERM_PROGRESS_JSON) return;
    Json line = {{"event", event["event"]}, {"t", ms_round(RunLog_seconds())}};
    for (auto& [key, value] : event.items())
        if (key != "event") line[key] = value;
    fputs((line.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n").c_str(), stdout);
    fflush(stdout);
}

// A line of stderr below the bar, also into the log.
static void put_line(TermWin* p, const std::string& line) {
    end_line(p);
    fprintf(stderr, "%s\n", line.c_str());
    fflush(stderr);
    RunLog_write((line + "\n").c_str());
}

static std::string rate_text(int32_t n_bytes, double t) {
    char s[64];
    snprintf(s, sizeof s, "%.1f kB/s", t > 0 ? n_bytes / t / 1000 : 0.0);
    return s;
}

static std::string step_name(const TermWin* p) {
    char s[64];
    snprintf(s, sizeof s, "%-38s", p->step_text.c_str());
    return s;
}

// The live line of the running step.
static std::string bar_line(const TermWin* p) {
    double t = RunLog_seconds() - p->t_step;
    std::string line = step_name(p);
    char s[160];
    if (p->n_total > 0) {
        int n_bar = terminal_columns() >= 110 ? 30 : 20;
        int percent = static_cast<int>(static_cast<int64_t>(p->n_done) * 100 / p->n_total);
        int n_fill = percent * n_bar / 100;
        std::string bar(static_cast<size_t>(n_fill), '#');
        bar.append(static_cast<size_t>(n_bar - n_fill), '.');
        snprintf(s, sizeof s, " [%s] %3d %%  %d/%d bytes", bar.c_str(), percent, p->n_done,
                 p->n_total);
        line += s;
        if (t > 0.5 && p->n_done > 0) {
            double left = (p->n_total - p->n_done) * t / p->n_done;
            snprintf(s, sizeof s, "  %s  %d:%02d left", rate_text(p->n_done, t).c_str(),
                     static_cast<int>(left) / 60, static_cast<int>(left) % 60);
            line += s;
        }
    } else {
        snprintf(s, sizeof s, " %.1f s", t);
        line += s;
    }
    if (p->wait_shown_s > 0) {
        snprintf(s, sizeof s, "  (no answer for %d s)", p->wait_shown_s);
        line += s;
    }
    int columns = terminal_columns();
    if (static_cast<int>(line.size()) > columns - 1) line.resize(static_cast<size_t>(columns - 1));
    return line;
}

static void draw_bar(TermWin* p) {
    if (p->progress != TERM_PROGRESS_BAR || !p->is_step_open) return;
    p->bar_text = bar_line(p);
    p->t_drawn = RunLog_seconds();
    fputs("\r\033[K", stderr);
    fputs(p->bar_text.c_str(), stderr);
    fflush(stderr);
    p->is_line_open = true;
}

// Ends the running step with its line: "ok" and its time (and bytes and rate for a block
// loop), or "failed".
static void close_step(TermWin* p, bool is_ok) {
    if (!p->is_step_open) return;
    p->is_step_open = false;
    double t = RunLog_seconds() - p->t_step;
    if (p->step_id == "program" && is_ok) {
        p->n_programmed = p->n_done;
        p->t_programmed = t;
    }
    if (!is_text_mode(p)) return;
    char s[200];
    if (!is_ok) {
        snprintf(s, sizeof s, "%s failed after %.1f s", step_name(p).c_str(), t);
    } else if (p->n_total > 0) {
        snprintf(s, sizeof s, "%s ok %6.1f s  %d bytes, %s", step_name(p).c_str(), t, p->n_done,
                 rate_text(p->n_done, t).c_str());
    } else {
        snprintf(s, sizeof s, "%s ok %6.1f s", step_name(p).c_str(), t);
    }
    if (p->is_line_open) fputs("\r\033[K", stderr);
    p->is_line_open = false;
    fprintf(stderr, "%s\n", s);
    fflush(stderr);
}

static void cb_step_begin(void* p_user, const char* p_id) {
    TermWin* p = static_cast<TermWin*>(p_user);
    if (p->step_id.empty() && p->cb_opened) p->cb_opened(p->p_user_opened);
    close_step(p, true);
    p->step_id = p_id ? p_id : "";
    p->is_step_open = true;
    p->is_step_event_due = true;
    p->t_step = RunLog_seconds();
    p->n_done = p->n_total = 0;
    p->percent_shown = -1;
    p->t_input = Csp_get_tick_count();
    p->wait_shown_s = 0;
}

// The step's text comes with its first display, right after its begin.
static void cb_set_step(void* p_user, const char* p_text) {
    TermWin* p = static_cast<TermWin*>(p_user);
    if (!p->is_step_event_due) return;
    p->is_step_event_due = false;
    p->step_text = p_text;
    emit(p, {{"event", "step"}, {"step", p->step_id}, {"text", p->step_text}});
    if (p->progress == TERM_PROGRESS_PLAIN) put_line(p, p->step_text);
    draw_bar(p);
}

static void cb_bytes_done(void* p_user, int32_t n_done, int32_t n_total) {
    TermWin* p = static_cast<TermWin*>(p_user);
    p->n_done = n_done;
    p->n_total = n_total;
    p->t_input = Csp_get_tick_count();
    p->wait_shown_s = 0;
    int32_t percent =
        n_total > 0 ? static_cast<int32_t>(static_cast<int64_t>(n_done) * 100 / n_total) : 0;
    bool is_new_percent = percent != p->percent_shown;
    if (p->progress == TERM_PROGRESS_JSON && is_new_percent) {
        emit(p, {{"event", "progress"},
                 {"step", p->step_id},
                 {"done", n_done},
                 {"total", n_total},
                 {"percent", percent}});
    } else if (p->progress == TERM_PROGRESS_PLAIN &&
               (percent / 10 != p->percent_shown / 10 || (percent == 100 && is_new_percent))) {
        double t = RunLog_seconds() - p->t_step;
        double left = n_done > 0 ? (n_total - n_done) * t / n_done : 0;
        char s[160];
        snprintf(s, sizeof s, "  [%3d %%] %d of %d bytes, %s, %d:%02d left", percent, n_done,
                 n_total, rate_text(n_done, t).c_str(), static_cast<int>(left) / 60,
                 static_cast<int>(left) % 60);
        put_line(p, s);
    } else if (p->progress == TERM_PROGRESS_BAR &&
               (is_new_percent || RunLog_seconds() - p->t_drawn >= 0.2)) {
        draw_bar(p);
    }
    p->percent_shown = percent;
}

static const char* cb_get_port(void* p_user) {
    return static_cast<TermWin*>(p_user)->p_port;
}

// Reads one answer line; Yes, No, or Cancel (the default button) for anything else and an
// empty line. The end of input also answers Cancel but leaves the press counted, so that a
// second Ctrl-C still answers Yes. A second Ctrl-C while waiting answers Yes.
static int32_t read_answer(TermWin* p) {
    fputs("y(es) / n(o) / c(ancel) [c]? ", stderr);
    fflush(stderr);
    std::string line;
    p->is_answer_lost = false;
    for (;;) {
        if (s_n_interrupt >= 2) {
            fputs("y (Ctrl-C)\n", stderr);
            return DL_ID_YES;
        }
        char c;
        int r = TermWin_platform_read_answer_byte(&c, 100);
        if (r == -2) {
            p->is_answer_lost = true;
            break;
        }
        if (r == 0) continue;
        if (r < 0) {
            p->is_answer_lost = line.empty();
            break;
        }
        if (c == '\n') break;
        line += c;
    }
    // An answer from a pipe is shown, so the transcript reads as typed.
    if (!s_is_typed) fprintf(stderr, "%s\n", p->is_answer_lost ? "(no input: c)" : line.c_str());
    size_t i = line.find_first_not_of(" \t\r");
    char c = i == std::string::npos ? 'c' : line[i];
    if (c == 'y' || c == 'Y') return DL_ID_YES;
    if (c == 'n' || c == 'N') return DL_ID_NO;
    return DL_ID_CANCEL;
}

static void print_summary(TermWin* p) {
    if (!is_text_mode(p) || p->n_programmed <= 0) return;
    char s[160];
    snprintf(s, sizeof s, "%d bytes programmed in %.1f s, %s", p->n_programmed, p->t_programmed,
             rate_text(p->n_programmed, p->t_programmed).c_str());
    put_line(p, s);
}

void TermWin_begin_step(TermWin* p, const char* p_id, const char* p_text) {
    if (!p) return;
    cb_step_begin(p, p_id);
    cb_set_step(p, p_text);
}

void TermWin_bytes_done(TermWin* p, int32_t n_done, int32_t n_total) {
    if (p) cb_bytes_done(p, n_done, n_total);
}

void TermWin_set_cb_opened(TermWin* p, void (*cb_opened)(void* p_user), void* p_user) {
    if (!p) return;
    p->cb_opened = cb_opened;
    p->p_user_opened = p_user;
}

int32_t TermWin_message_box(TermWin* p, const char* p_text, const char* p_caption, uint32_t type) {
    if (!p) return 0;
    if (!p_text) p_text = "";
    if (!p_caption) p_caption = "";
    bool is_question = (type & 0xF) == 0x3; // Yes, No, Cancel
    if (!is_question) {
        bool is_ok = strcmp(p_caption, "Ok") == 0;
        close_step(p, is_ok);
        if (is_ok) print_summary(p);
    }
    end_line(p);
    emit(p, {{"event", "box"}, {"caption", p_caption}, {"text", p_text}});
    size_t n = strlen(p_text);
    std::string line = std::string(p_caption) + ": " + p_text;
    if (n == 0 || p_text[n - 1] != '\n') line += "\n";
    fputs(line.c_str(), stderr);
    fflush(stderr);
    RunLog_write(line.c_str());
    if (is_question) return read_answer(p);
    return DL_ID_OK;
}

static int32_t cb_message_box(void* p_user, const char* p_text, const char* p_caption,
                              uint32_t type) {
    return TermWin_message_box(static_cast<TermWin*>(p_user), p_text, p_caption, type);
}

// The block loops' abort test: a stop signal sets the flag here, between two blocks; a new
// Ctrl-C on a terminal becomes the cancel handler's question here, where waiting for the user
// holds up no transfer (the device's reply time-out does not run while nothing has been sent).
static void cb_check_abort(void* p_user) {
    TermWin* p = static_cast<TermWin*>(p_user);
    if (!p->win.m_bBusy || p->win.m_bAbort) return;
    if (s_sig_stop) {
        p->win.m_bAbort = 1;
        p->sig_taken = s_sig_stop;
        return;
    }
    int n_interrupt = s_n_interrupt;
    if (n_interrupt <= p->n_interrupt_asked) return;
    p->n_interrupt_asked = n_interrupt;
    on_cancel(&p->win);
    if (p->win.m_bAbort) p->sig_taken = TERM_SIG_INT;
    if (!p->win.m_bAbort && !p->is_answer_lost) {
        s_n_interrupt = 0;
        p->n_interrupt_asked = 0;
    }
    p->is_interrupt_seen = false;
    p->is_note_shown = false;
}

TermWin* TermWin_alloc(int32_t progress, const char* p_port) {
    TermWin* p = new (std::nothrow) TermWin;
    if (!p) return nullptr;
    p->progress = progress;
    if (progress == TERM_PROGRESS_BAR && !TermWin_platform_is_bar_terminal())
        p->progress = TERM_PROGRESS_PLAIN;
    p->p_port = p_port;
    p->win = DlWindow{};
    p->win.p_user = p;
    p->win.cb_set_step = cb_set_step;
    p->win.cb_message_box = cb_message_box;
    p->win.cb_get_port = cb_get_port;
    p->win.cb_check_abort = cb_check_abort;
    p->win.cb_step_begin = cb_step_begin;
    p->win.cb_bytes_done = cb_bytes_done;
    return p;
}

void TermWin_free(TermWin* p) {
    if (!p) return;
    if (s_p_active == p) s_p_active = nullptr;
    end_line(p);
    delete p;
}

DlWindow* TermWin_get_p_win(TermWin* p) {
    return p ? &p->win : nullptr;
}

int32_t TermWin_get_progress(const TermWin* p) {
    return p ? p->progress : TERM_PROGRESS_NONE;
}

void TermWin_start(TermWin* p, const std::vector<ImageInfo>& images) {
    if (!p) return;
    Json list = Json::array();
    for (const ImageInfo& im : images) {
        char crc[16];
        snprintf(crc, sizeof crc, "%08x", im.crc32);
        list.push_back({{"name", im.name},
                        {"source", im.source},
                        {"size", im.size},
                        {"blocks", im.blocks},
                        {"crc32", crc}});
        if (is_text_mode(p)) {
            char s[512];
            snprintf(s, sizeof s, "%-13s %s, %u bytes, %u blocks, CRC-32 %s", im.name.c_str(),
                     im.source.c_str(), im.size, im.blocks, crc);
            put_line(p, s);
        }
    }
    emit(p, {{"event", "start"}, {"port", p->p_port ? p->p_port : ""}, {"images", list}});
}

void TermWin_note(TermWin* p, const char* p_line) {
    if (!p || !p_line) return;
    put_line(p, p_line);
    if (p->progress == TERM_PROGRESS_BAR && p->is_step_open) draw_bar(p);
}

void TermWin_echo_log(TermWin* p, const char* p_text) {
    if (!p || !p_text) return;
    p->echo_buf += p_text;
    size_t i_end = p->echo_buf.rfind('\n');
    if (i_end == std::string::npos) return;
    std::string lines = p->echo_buf.substr(0, i_end + 1);
    p->echo_buf.erase(0, i_end + 1);
    if (p->progress == TERM_PROGRESS_JSON) {
        for (size_t b = 0, e; (e = lines.find('\n', b)) != std::string::npos; b = e + 1)
            emit(p, {{"event", "log"}, {"text", lines.substr(b, e - b)}});
        return;
    }
    if (p->is_line_open) {
        fputs("\r\033[K", stderr);
        fputs(lines.c_str(), stderr);
        fputs(p->bar_text.c_str(), stderr);
    } else {
        fputs(lines.c_str(), stderr);
    }
    fflush(stderr);
}

void TermWin_result(TermWin* p, const char* p_failed_step, int32_t exit_status) {
    if (!p) return;
    close_step(p, p_failed_step == nullptr);
    end_line(p);
    double t = RunLog_seconds();
    Json failed = p_failed_step ? Json(p_failed_step) : Json(nullptr);
    emit(p, {{"event", "result"},
             {"ok", exit_status == 0},
             {"exit", exit_status},
             {"seconds", ms_round(t)},
             {"failed_step", failed}});
    RunLog_result(exit_status, p_failed_step);
}

const char* TermWin_get_step(const TermWin* p) {
    return p && !p->step_id.empty() ? p->step_id.c_str() : nullptr;
}

void TermWin_catch_interrupt(TermWin* p) {
    s_p_active = p;
    s_n_interrupt = 0;
    s_sig_stop = 0;
    s_n_stop = 0;
    s_is_typed = TermWin_platform_is_answer_typed();
    TermWin_platform_catch_interrupt(on_signal);
}

int32_t TermWin_get_pending_signal(void) {
    return s_sig_stop;
}

int32_t TermWin_get_signal(const TermWin* p) {
    return p ? p->sig_taken : 0;
}

// Once a second: tells the user, once, that a signal waits for the next block.
static void note_pending_signal(TermWin* p) {
    bool is_pending = s_sig_stop || s_n_interrupt > p->n_interrupt_asked;
    if (!is_pending || p->win.m_bAbort || p->is_note_shown) return;
    uint32_t now = Csp_get_tick_count();
    if (s_sig_stop) {
        p->is_note_shown = true;
        std::string line = std::string(TermWin_signal_name(s_sig_stop)) +
                           ": the download stops after the next block is written (another signal "
                           "quits at once)";
        TermWin_note(p, line.c_str());
        return;
    }
    if (!p->is_interrupt_seen) {
        p->is_interrupt_seen = true;
        p->t_interrupt_seen = now;
        return;
    }
    if (now - p->t_interrupt_seen < 1000) return;
    p->is_note_shown = true;
    TermWin_note(p, "Ctrl-C noted: the question comes after the next block is written"
                    " (a third Ctrl-C quits at once)");
}

// Shows how long the device has not answered, once that passes 2 s: on the bar, or a plain
// line at 2 s and every 10 s after.
static void note_wait(TermWin* p, int32_t is_input) {
    uint32_t now = Csp_get_tick_count();
    if (p->progress == TERM_PROGRESS_BAR && RunLog_seconds() - p->t_drawn >= 0.2) draw_bar(p);
    if (is_input || !p->is_step_open) {
        p->t_input = now;
        if (p->wait_shown_s > 0) {
            p->wait_shown_s = 0;
            draw_bar(p);
        }
        return;
    }
    uint32_t t_wait = now - p->t_input;
    if (t_wait < static_cast<uint32_t>(k_wait_note_ms)) return;
    int32_t s = static_cast<int32_t>(t_wait / 1000);
    if (s == p->wait_shown_s) return;
    bool is_plain_due = p->wait_shown_s == 0 || s >= p->wait_shown_s + 10;
    if (p->progress == TERM_PROGRESS_PLAIN && !is_plain_due) return;
    p->wait_shown_s = s;
    if (p->progress == TERM_PROGRESS_BAR) {
        draw_bar(p);
    } else if (p->progress == TERM_PROGRESS_PLAIN) {
        char line[96];
        snprintf(line, sizeof line, "  no answer from the device for %d s", s);
        put_line(p, line);
    }
}

int32_t TermWin_poll(TermWin* p, int32_t is_input) {
    if (!p) return 0;
    if (s_n_stop >= 2) return s_sig_stop;
    if (s_n_interrupt >= 3) return TERM_SIG_INT;
    note_pending_signal(p);
    note_wait(p, is_input);
    return 0;
}
