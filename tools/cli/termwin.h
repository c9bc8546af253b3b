// Terminal window of the command-line loader: the download procedure's window interface for a
// terminal. Status lines with a progress bar (or plain lines) on stderr, or one JSON object a
// line on stdout; message boxes as "caption: text" on stderr; Ctrl-C asks the interruption
// question of the cancel handler.
#pragma once

#include "download.h"

#include <cstdint>
#include <cstdio>

// How progress is shown.
enum TermProgress {
    TERM_PROGRESS_BAR = 0, // a redrawn bar on a terminal, plain lines when stderr is none
    TERM_PROGRESS_PLAIN,   // one line on stderr per visible change
    TERM_PROGRESS_JSON,    // {"step":..,"detail":..,"percent":..} lines on stdout
    TERM_PROGRESS_NONE,    // nothing but the message boxes
};

struct TermWin;

// A terminal window over stderr and stdout showing progress the given way, whose port choice
// gives p_port (kept as a pointer: it must outlive the window). Answers to questions are read
// from stdin (a terminal, a pipe or a file; its end answers Cancel). Null when out of memory.
TermWin* TermWin_alloc(int32_t progress, const char* p_port);
// Ends a drawn bar line and releases the window (and the answer terminal). Nothing for null.
void TermWin_free(TermWin* p);

// The interface to hand to on_download; p_user is the window. Null for a null p.
DlWindow* TermWin_get_p_win(TermWin* p);
// The way progress is really shown (a bar off a terminal became plain).
int32_t TermWin_get_progress(const TermWin* p);

// Shows a message box the way the procedure's boxes appear ("caption: text"; a yes/no/cancel
// box then reads the answer). The button pressed (DL_ID_...). 0 for a null p.
int32_t TermWin_message_box(TermWin* p, const char* p_text, const char* p_caption, uint32_t type);

// Echoes log text on stderr without breaking the bar: whole lines only, the bar redrawn after
// them. Nothing for null.
void TermWin_echo_log(TermWin* p, const char* p_text);

// Makes p the window that Ctrl-C (SIGINT, or the console's Ctrl-C on Windows) talks to and installs
// the handler. While no download runs (m_bBusy 0) Ctrl-C ends the program with status 130. While
// one runs it is noted; the block loops' abort check then asks the cancel handler's question (a
// second Ctrl-C answers Yes, a third ends the program at once with 130). A null p leaves only the
// idle behaviour.
void TermWin_catch_interrupt(TermWin* p);

// Called while the link waits: tells the user, once, that a noted Ctrl-C is still waiting for
// the next block when the question has not come within a second.
void TermWin_poll_interrupt(TermWin* p);
