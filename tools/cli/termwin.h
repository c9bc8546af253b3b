// Terminal window of the command-line loader: the download procedure's window interface for a
// terminal and for scripts. On stderr one line for each finished step with its time, a bar for
// the block loops with bytes, rate and remaining time (plain lines when stderr is no terminal),
// and message boxes as "caption: text"; or one JSON event a line on stdout. Signals interrupt
// the download at the next block boundary; Ctrl-C on a terminal asks the cancel handler's
// question.
#pragma once

#include "download.h"
#include "imgcmd.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// How progress is shown.
enum TermProgress {
    TERM_PROGRESS_BAR = 0, // a redrawn bar on a terminal, plain lines when stderr is none
    TERM_PROGRESS_PLAIN,   // lines on stderr: each step, each tenth of a block loop, its end
    TERM_PROGRESS_JSON,    // one JSON event a line on stdout
    TERM_PROGRESS_NONE,    // nothing but the message boxes and hints
};

// The signals that end a run, with their POSIX numbers (the exit status is 128 + the number).
enum {
    TERM_SIG_HUP = 1,
    TERM_SIG_INT = 2,
    TERM_SIG_TERM = 15,
};

struct TermWin;

// A terminal window showing progress the given way, whose port choice gives p_port (kept as a
// pointer: it must outlive the window). Answers to questions are read from stdin (a terminal,
// a pipe or a file; its end answers Cancel). Null when out of memory.
TermWin* TermWin_alloc(int32_t progress, const char* p_port);
// Ends a drawn bar line and releases the window. Nothing for null.
void TermWin_free(TermWin* p);

// The interface to hand to on_download; p_user is the window. Null for a null p.
DlWindow* TermWin_get_p_win(TermWin* p);
// The way progress is really shown (a bar off a terminal became plain).
int32_t TermWin_get_progress(const TermWin* p);

// The start of a run: the port and the images (the JSON start event; on stderr one line an
// image unless quiet). Nothing for null.
void TermWin_start(TermWin* p, const std::vector<ImageInfo>& images);

// Makes cb_opened run once the procedure has opened the port (before its first step), with
// p_user; null for none. Nothing for a null p.
void TermWin_set_cb_opened(TermWin* p, void (*cb_opened)(void* p_user), void* p_user);

// A step of the program's own (outside the download procedure): its id and text, then the
// bytes done of its total, shown as the procedure's steps are. Nothing for null.
void TermWin_begin_step(TermWin* p, const char* p_id, const char* p_text);
void TermWin_bytes_done(TermWin* p, int32_t n_done, int32_t n_total);

// Shows a message box the way the procedure's boxes appear ("caption: text" on stderr, a box
// event in JSON; a yes/no/cancel box then reads the answer). The button pressed (DL_ID_...).
// 0 for a null p.
int32_t TermWin_message_box(TermWin* p, const char* p_text, const char* p_caption, uint32_t type);

// A line of the program's own (hint, warning, the device's state) on stderr, without breaking
// the bar, and in the log file. Nothing for null.
void TermWin_note(TermWin* p, const char* p_line);

// Echoes log text (--verbose) without breaking the bar: whole lines only, on stderr, or as log
// events in JSON. Nothing for null.
void TermWin_echo_log(TermWin* p, const char* p_text);

// The end of a run: closes a step still shown, writes the result event (always the last line
// on stdout in JSON) and the log file's result line. failed_step is the id of the step that
// failed or null; exit_status the program's exit status. Nothing for null.
void TermWin_result(TermWin* p, const char* p_failed_step, int32_t exit_status);

// The id of the step running or shown last; null before the first.
const char* TermWin_get_step(const TermWin* p);

// Makes p the window that SIGINT, SIGTERM and SIGHUP (Ctrl-C and Ctrl-Break on Windows) talk
// to and installs the handler; with null they end the program at once (exit status 128 + the
// signal's number), as Ctrl-C on a terminal does while no download runs.
// SIGTERM, SIGHUP, and SIGINT while stdin is not a terminal, interrupt at the next block
// boundary without a question; a second such signal quits (TermWin_poll). SIGINT on a terminal
// asks the cancel handler's question at the next block boundary (a second Ctrl-C answers Yes,
// a third quits).
void TermWin_catch_interrupt(TermWin* p);

// "SIGHUP", "SIGTERM" or "SIGINT" (for any other value).
const char* TermWin_signal_name(int32_t sig);

// The first signal that asked to stop without a question (TERM_SIG_...), 0 for none.
int32_t TermWin_get_pending_signal(void);

// The signal that interrupted the download (TERM_SIG_...), 0 for none.
int32_t TermWin_get_signal(const TermWin* p);

// Called while the link waits, is_input telling whether the port has input: notes a signal
// that waits for the next block, shows how long the device has kept silent once that passes
// 2 s. The signal to quit with at once (TERM_SIG_...), 0 to go on.
int32_t TermWin_poll(TermWin* p, int32_t is_input);
