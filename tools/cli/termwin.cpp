// Terminal window of the command-line loader: status drawing, message boxes, the interruption
// question on Ctrl-C.
#include "termwin.h"

#include "csp.h"
#include "termwin_platform.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

struct TermWin {
    DlWindow win;
    int32_t progress;   // TermProgress in use
    const char* p_port; // what the port choice gives
    // What the window shows now; is_dirty until it has been drawn.
    std::string step = "ready", detail = "ready";
    int32_t percent = 0;
    bool is_dirty = false;
    // Bar: the text of the line drawn last and whether it still waits for its newline.
    std::string bar_text, bar_step;
    bool is_line_open = false;
    // Plain: what the last printed line showed.
    bool is_plain_any = false;
    std::string plain_step, plain_detail;
    int32_t plain_percent = -1;
    std::string echo_buf;        // a log line not yet complete
    bool is_answer_lost = false; // the last question found no input to read
    int n_interrupt_asked = 0;   // the Ctrl-C count the last question took up
    // A noted Ctrl-C that the question has not taken up yet.
    bool is_interrupt_seen = false, is_note_shown = false;
    uint32_t t_interrupt_seen = 0;
};

// Ctrl-C presses since the last answer; the window they talk to.
static volatile sig_atomic_t s_n_interrupt;
static TermWin* volatile s_p_active;

// Runs at every Ctrl-C, in a signal handler or a thread of its own: flags and raw output only.
static void on_interrupt(void) {
    TermWin* p = s_p_active;
    if (!p || !p->win.m_bBusy) {
        if (p && p->is_line_open) TermWin_platform_write_raw("\n", 1);
        TermWin_platform_exit_now(130);
    }
    s_n_interrupt = s_n_interrupt + 1;
    if (s_n_interrupt >= 3) {
        static const char k_msg[] = "\ninterrupted: quitting at once\n";
        TermWin_platform_write_raw(k_msg, sizeof k_msg - 1);
        TermWin_platform_exit_now(130);
    }
}

static int terminal_columns(void) {
    int columns = TermWin_platform_columns();
    return columns >= 20 ? columns : 80;
}

static bool is_progress_text(const std::string& s) {
    int a, b, c;
    return sscanf(s.c_str(), "%d of %d (%d %%)", &a, &b, &c) == 3;
}

static bool is_ready(const TermWin* p) {
    return p->step == "ready" && p->detail == "ready";
}

static void end_line(TermWin* p) {
    if (!p->is_line_open) return;
    fputc('\n', stderr);
    fflush(stderr);
    p->is_line_open = false;
}

static std::string json_string(const std::string& s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20) {
            char u[8];
            snprintf(u, sizeof u, "\\u%04x", c);
            out += u;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

// The state as one JSON object; a message box adds its caption and text.
static void write_json(TermWin* p, const char* p_caption, const char* p_text) {
    std::string line = "{\"step\":" + json_string(p->step) +
                       ",\"detail\":" + json_string(p->detail) +
                       ",\"percent\":" + std::to_string(p->percent);
    if (p_caption)
        line += ",\"caption\":" + json_string(p_caption) + ",\"text\":" + json_string(p_text);
    line += "}\n";
    fputs(line.c_str(), stdout);
    fflush(stdout);
}

// One status line: the step padded to its longest text, the bar, the percentage, the detail.
static std::string bar_line(const TermWin* p) {
    if (is_ready(p)) return "ready";
    int columns = terminal_columns();
    int n_bar = columns >= 100 ? 30 : 20;
    int n_fill = p->percent < 0 ? 0 : (p->percent > 100 ? n_bar : p->percent * n_bar / 100);
    std::string bar(static_cast<size_t>(n_fill), '#');
    bar.append(static_cast<size_t>(n_bar - n_fill), '.');
    char head[160];
    snprintf(head, sizeof head, "%-38s [%s] %3d %%", p->step.c_str(), bar.c_str(), p->percent);
    std::string line = head;
    if (!p->detail.empty()) line += "  " + p->detail;
    if (static_cast<int>(line.size()) > columns - 1) line.resize(static_cast<size_t>(columns - 1));
    return line;
}

static void draw_bar(TermWin* p) {
    if (p->is_line_open && p->bar_step != p->step) end_line(p);
    p->bar_text = bar_line(p);
    p->bar_step = p->step;
    fputs("\r\033[K", stderr);
    fputs(p->bar_text.c_str(), stderr);
    fflush(stderr);
    p->is_line_open = true;
}

// A line when the step changed, the percentage entered another tenth or reached 100, or the
// detail changed to something other than a block count (counts change with every block; the
// percentage paces them). A log file or a CI transcript gets about a dozen lines a step.
static void draw_plain(TermWin* p) {
    bool is_new = !p->is_plain_any || p->step != p->plain_step ||
                  p->percent / 10 != p->plain_percent / 10 ||
                  (p->percent == 100 && p->plain_percent != 100) ||
                  (p->detail != p->plain_detail && !is_progress_text(p->detail));
    if (!is_new) return;
    p->is_plain_any = true;
    p->plain_step = p->step;
    p->plain_detail = p->detail;
    p->plain_percent = p->percent;
    if (is_ready(p)) {
        fputs("ready\n", stderr);
    } else if (p->detail.empty()) {
        fprintf(stderr, "[%3d %%] %s\n", p->percent, p->step.c_str());
    } else {
        fprintf(stderr, "[%3d %%] %s  %s\n", p->percent, p->step.c_str(), p->detail.c_str());
    }
    fflush(stderr);
}

static void flush_status(TermWin* p) {
    if (!p->is_dirty) return;
    p->is_dirty = false;
    switch (p->progress) {
    case TERM_PROGRESS_BAR:
        draw_bar(p);
        break;
    case TERM_PROGRESS_PLAIN:
        draw_plain(p);
        break;
    case TERM_PROGRESS_JSON:
        write_json(p, nullptr, nullptr);
        break;
    default:
        break;
    }
}

// The procedure sets step, detail and bar in this order, the bar last in every update, so an
// update is drawn once, when its percentage comes.
static void cb_set_step(void* p_user, const char* p_text) {
    TermWin* p = static_cast<TermWin*>(p_user);
    p->step = p_text;
    p->is_dirty = true;
}

static void cb_set_detail(void* p_user, const char* p_text) {
    TermWin* p = static_cast<TermWin*>(p_user);
    p->detail = p_text;
    p->is_dirty = true;
}

static void cb_set_progress(void* p_user, int32_t percent) {
    TermWin* p = static_cast<TermWin*>(p_user);
    p->percent = percent;
    p->is_dirty = true;
    flush_status(p);
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
    bool is_typed = TermWin_platform_is_answer_typed() != 0;
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
    if (!is_typed) fprintf(stderr, "%s\n", p->is_answer_lost ? "(no input: c)" : line.c_str());
    size_t i = line.find_first_not_of(" \t\r");
    char c = i == std::string::npos ? 'c' : line[i];
    if (c == 'y' || c == 'Y') return DL_ID_YES;
    if (c == 'n' || c == 'N') return DL_ID_NO;
    return DL_ID_CANCEL;
}

int32_t TermWin_message_box(TermWin* p, const char* p_text, const char* p_caption, uint32_t type) {
    if (!p) return 0;
    if (!p_text) p_text = "";
    if (!p_caption) p_caption = "";
    flush_status(p);
    end_line(p);
    if (p->progress == TERM_PROGRESS_JSON) write_json(p, p_caption, p_text);
    size_t n = strlen(p_text);
    fprintf(stderr, "%s: %s%s", p_caption, p_text, n > 0 && p_text[n - 1] == '\n' ? "" : "\n");
    fflush(stderr);
    if ((type & 0xF) == 0x3) return read_answer(p); // Yes, No, Cancel
    return DL_ID_OK;
}

static int32_t cb_message_box(void* p_user, const char* p_text, const char* p_caption,
                              uint32_t type) {
    return TermWin_message_box(static_cast<TermWin*>(p_user), p_text, p_caption, type);
}

// The block loops' abort test: a new Ctrl-C becomes the cancel handler's question here,
// between two blocks, where waiting for the user holds up no transfer (the device's reply
// time-out does not run while nothing has been sent).
static void cb_check_abort(void* p_user) {
    TermWin* p = static_cast<TermWin*>(p_user);
    int n_interrupt = s_n_interrupt;
    if (n_interrupt <= p->n_interrupt_asked || !p->win.m_bBusy || p->win.m_bAbort) return;
    p->n_interrupt_asked = n_interrupt;
    on_cancel(&p->win);
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
    p->win.cb_set_detail = cb_set_detail;
    p->win.cb_set_progress = cb_set_progress;
    p->win.cb_message_box = cb_message_box;
    p->win.cb_get_port = cb_get_port;
    p->win.cb_check_abort = cb_check_abort;
    return p;
}

void TermWin_free(TermWin* p) {
    if (!p) return;
    if (s_p_active == p) s_p_active = nullptr;
    flush_status(p);
    end_line(p);
    delete p;
}

DlWindow* TermWin_get_p_win(TermWin* p) {
    return p ? &p->win : nullptr;
}

int32_t TermWin_get_progress(const TermWin* p) {
    return p ? p->progress : TERM_PROGRESS_NONE;
}

void TermWin_echo_log(TermWin* p, const char* p_text) {
    if (!p || !p_text) return;
    p->echo_buf += p_text;
    size_t i_end = p->echo_buf.rfind('\n');
    if (i_end == std::string::npos) return;
    std::string lines = p->echo_buf.substr(0, i_end + 1);
    p->echo_buf.erase(0, i_end + 1);
    if (p->is_line_open) {
        fputs("\r\033[K", stderr);
        fputs(lines.c_str(), stderr);
        fputs(p->bar_text.c_str(), stderr);
    } else {
        fputs(lines.c_str(), stderr);
    }
    fflush(stderr);
}

void TermWin_catch_interrupt(TermWin* p) {
    s_p_active = p;
    s_n_interrupt = 0;
    TermWin_platform_catch_interrupt(on_interrupt);
}

void TermWin_poll_interrupt(TermWin* p) {
    if (!p || s_n_interrupt <= p->n_interrupt_asked || p->win.m_bAbort || p->is_note_shown) return;
    uint32_t now = Csp_get_tick_count();
    if (!p->is_interrupt_seen) {
        p->is_interrupt_seen = true;
        p->t_interrupt_seen = now;
        return;
    }
    if (now - p->t_interrupt_seen < 1000) return;
    p->is_note_shown = true;
    end_line(p);
    fputs("Ctrl-C noted: the question comes after the next block is written"
          " (a third Ctrl-C quits at once)\n",
          stderr);
    fflush(stderr);
    if (p->progress == TERM_PROGRESS_BAR) {
        p->is_dirty = true;
        flush_status(p);
    }
}
