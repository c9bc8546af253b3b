// Debug terminal: a virtual text screen that keeps the most recent lines
// written to it, for a console viewer to show.
//
// Rows form a ring: the row shown as row i (0 the oldest) starts at
// p_scr + ((i_top + i) % ny_scr) * l_row. Only the newline is interpreted;
// characters beyond the right margin are dropped, and starting a new line on
// the bottom row scrolls the oldest row out. Every operation holds the
// terminal's recursive lock; a viewer holds it (DbTerm_enter / DbTerm_exit)
// while it reads rows.
#pragma once

#include "csp.h"

struct DbTerm {
    CspMutex* p_mutex; // the terminal's lock
    char* p_scr;       // ny_scr rows of l_row chars, each a text of at most nx_scr chars
    int nx_scr;        // columns
    int ny_scr;        // rows
    int l_row;         // bytes per row, nx_scr + 1
    int x_cur;         // column of the next character, 0 to nx_scr
    int y_cur;         // cursor row counted from the oldest, 0 to ny_scr - 1
    int i_top;         // index in p_scr of the oldest row
    int n_change;      // +1 per clear and print; wraps to 0, never negative
    int n_str;         // size of p_str, ny_scr * (nx_scr + 1)
    char* p_str;       // the whole screen as one text, filled by DbTerm_to_string
};

// A cleared terminal of nx_scr columns and ny_scr rows (change count 1), or
// null when an allocation or the lock failed (logged) or a size is invalid.
DbTerm* DbTerm_alloc(int nx_scr, int ny_scr);
// Frees the lock, both buffers and the record. 1; 0 for a null p.
int DbTerm_free(DbTerm* p);
// Empties every row and p_str, puts the cursor on column 0 of row 0 and
// counts a change. 1; 0 for a null p.
int DbTerm_clear(DbTerm* p);
// Prints a zero-terminated text and counts a change (also for an empty one).
// Has the shape of the console output callback: p is the DbTerm. 1; 0 for a
// null p or p_src.
int DbTerm_print(void* p, const char* p_src);
// Formats into a buffer of 4096 chars (at most 4095 characters are kept) and
// prints it. The print's result; 0 for a null p_format.
int DbTerm_printf(DbTerm* p, const char* p_format, ...) __attribute__((format(printf, 2, 3)));
// Locks the terminal, waiting without limit. The lock's result; 0 for null.
int DbTerm_enter(DbTerm* p);
// Unlocks the terminal. The unlock's result; 0 for a null p.
int DbTerm_exit(DbTerm* p);
// -1 when n_change_seen is not -1 and equals the change count (nothing new).
// Otherwise writes all rows, oldest first, into p_str, each followed by a
// newline except the last, and returns the change count. -1 for a null p.
int DbTerm_to_string(DbTerm* p, int n_change_seen);
// n_str; 0 for a null p.
int DbTerm_get_n_str(DbTerm* p);
// p_str; null for a null p.
char* DbTerm_get_p_str(DbTerm* p);
