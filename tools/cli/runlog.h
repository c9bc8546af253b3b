// The run's clock and log file: seconds since the program started, and the --log file, in
// which every line starts with its time in milliseconds since the start.
#pragma once

#include <cstdint>

// Starts the run's clock; called first thing in main.
void RunLog_start(void);
// Seconds since RunLog_start, real time.
double RunLog_seconds(void);

// Opens (replaces) the log file at p_path. 1; 0 when it cannot be written (errno tells).
int32_t RunLog_open(const char* p_path);
// Closes the log file; nothing when none is open.
void RunLog_close(void);
// 1 while a log file is open.
int32_t RunLog_is_open(void);
// Appends text, which may hold several lines or part of one: each line gets the time of its
// first character ("    1234 ms  "). Flushed at once, so nothing is lost when the program is
// ended hard. Nothing when no log file is open.
void RunLog_write(const char* p_text);

// The log file's last line: "result: ok, exit status 0, 51.302 s", or for a failure "result:
// failed, exit status 9, 12.004 s, step program" (p_failed_step may be null).
void RunLog_result(int32_t exit_status, const char* p_failed_step);
