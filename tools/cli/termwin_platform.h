// What each platform file of the terminal window provides: the terminal's size and kind, the
// answer input, raw output and the Ctrl-C handler.
#pragma once

#include <cstddef>

// 1 when stderr is a terminal that takes the bar's carriage return and erase-line sequence.
int TermWin_platform_is_bar_terminal(void);
// The width of the terminal on stderr in columns; 0 when not known.
int TermWin_platform_columns(void);
// 1 when the answers come from a terminal, which shows what is typed itself.
int TermWin_platform_is_answer_typed(void);
// Waits at most t_ms for one byte of the answer input (stdin). 1 with *p_c set; 0 when none
// came (or the wait was interrupted); -1 at the end of the input or when reading failed; -2
// when the wait itself failed.
int TermWin_platform_read_answer_byte(char* p_c, int t_ms);
// Writes n bytes to stderr past stdio's buffer; may be called from the Ctrl-C handler.
void TermWin_platform_write_raw(const char* s, size_t n);
// Ends the process at once with status, flushing nothing; may be called from the Ctrl-C handler.
[[noreturn]] void TermWin_platform_exit_now(int status);
// Makes cb_signal run at every SIGINT, SIGTERM and SIGHUP (on Windows Ctrl-C and Ctrl-Break,
// as SIGINT) from now on, with the signal's POSIX number. It may run at any moment (a signal
// handler, or a thread of its own), so it only touches sig_atomic_t flags and the two calls
// above. Reads and writes interrupted by it go on.
void TermWin_platform_catch_interrupt(void (*cb_signal)(int sig));
