// What the two window layers (qt/ and win32/) share and no toolkit touches:
// the program start, the wait hooks that keep a window alive while the link
// waits, what the console viewer shows and when it refreshes, the window's
// fixed texts and the place of the minimised icon.
#pragma once

#include <cstdint>

struct DbTerm;
struct DlReport;
struct DlWindow;
struct Root;

// Texts of the main window and the About box.
extern const char k_lw_caption[];       // "Orvo-Loader (K52 only)"
extern const char k_lw_title[];         // "Tarvella ORVO Control"
extern const char k_lw_version[];       // "1.13"
extern const char k_lw_about_item[];    // "&About main..." (string 101)
extern const char k_lw_start_failed[];  // the start-up failure box's text
extern const char k_lw_caption_error[]; // "Error..."
enum { LW_MB_START_FAILED = 0x30 };     // its type value: OK, exclamation mark

typedef Root* (*tyLw_cb_root_alloc)(void);

// The start of the program shell: installs the native file service, makes
// the root with cb_root_alloc (Root_alloc when null) and makes it the process
// root. The root; null when it could not be made (the caller shows
// k_lw_start_failed and ends).
Root* lw_start(tyLw_cb_root_alloc cb_root_alloc);

// One pass of the toolkit's event handling; its result is passed on.
typedef int32_t (*tyLw_cb_events)(void* p_user);

// Installs the window's wait hooks: the root's message pump (the link's byte
// waits) and the time service's sleep (the transaction layer's yields). Each
// yield runs cb_events once, then waits at most 1 ms for a byte on the root's
// port instead of spinning a core; a pause of more than 1 ms keeps handling
// events until its time has passed. The bytes on the line stay the same.
// A null cb_events removes both hooks.
void lw_install_wait_hooks(Root* p_root, tyLw_cb_events cb_events, void* p_user);

// The root's message-pump hook that lw_install_wait_hooks installs (tests
// compare with it).
int32_t lw_pump(void* p_user);

// The console viewer polls the terminal this often; its one column is this wide.
enum { LW_STDOUT_TIMER_ID = 1, LW_STDOUT_TIMER_MS = 100, LW_STDOUT_COLUMN_WIDTH = 1000 };

// What a list of the console viewer needs: item i's text set (the rows come
// in order from 0, so an i equal to the item count appends an item), and item
// i scrolled into view.
struct LwRows {
    void* p_user;
    void (*cb_set_row)(void* p_user, int i, const char* p_text);
    void (*cb_scroll_to)(void* p_user, int i);
};

// Copies the terminal's rows, oldest first, into the list when its change
// count differs from *p_n_change_seen (-1 forces it), remembers the new count
// and scrolls the last non-blank row (row 0 when all are blank) into view.
// 1 when the list was refreshed, 0 when nothing changed or p_term is null.
int32_t lw_refresh_rows(DbTerm* p_term, int32_t* p_n_change_seen, const LwRows* p_rows);

// The Download command: the download procedure with p_win on the process
// root, its outcome into p_report. The button is disabled while a download
// runs; a command that reaches the handler by another way meanwhile does
// nothing (*p_is_running, the window's own flag, tells).
void lw_on_download(DlWindow* p_win, int32_t* p_is_running, DlReport* p_report);

// The Stdout command's log line "foo=%08x" with the address of the root's
// memory image (which builds the images on first use).
void lw_log_stdout_opened(void);

// Where the minimised window draws its icon: centred, the left (top) margin
// one pixel wider when the difference is odd; signed, truncated division.
int main_icon_x(int cx_client, int cx_icon);
int main_icon_y(int cy_client, int cy_icon);
