// Operating-system services: the directory of the running program, found from
// the process command line.
#pragma once

#include <cstdint>

// Writes the full directory of the running program into p_dst (a buffer of
// n_dst characters), without a trailing separator, and returns its length
// ("C:" on Win32, "" on POSIX, for a program in the top directory). -1 on
// failure, logged; p_dst may then hold a partial result.
int Oss_get_path_program(int n_dst, char* p_dst);

// Finds the first token of a command line: leading blanks are skipped; a token
// that starts with a double quote runs to the next double quote (the quotes
// are not part of it), any other to the next blank or the end. Writes the
// token's start index and length into *p_i_start and *p_n_len in every case
// (-1 and 0 when no token started). Returns 1, or -1 for an empty or all-blank
// line, an unclosed quote or a null line. Null out-arguments are allowed.
int parse_cmd_line(const char* p_cmd_line, int* p_i_start, int* p_n_len);

// The platform layer behind Oss_get_path_program, one per platform file.

// The process command line as the system keeps it for the whole run. On POSIX
// the program's own path (from /proc/self/exe), bare. Null when the system
// gives none.
const char* Oss_get_cmd_line(void);
// The program's path in the command line of Oss_get_cmd_line, as
// parse_cmd_line gives it (same results). On Win32 it is parse_cmd_line; on
// POSIX the whole line, since a path there may hold blanks and double quotes
// that no quoting of a first token can carry.
int Oss_get_cmd_line_token(const char* p_cmd_line, int* p_i_start, int* p_n_len);
// Makes p_path absolute (relative to the working directory) with "." and ".."
// resolved, as GetFullPathNameA does. p_dst may be p_path itself. Returns the
// length written, or, when it does not fit into n_dst characters with its
// terminator, the size needed (p_dst untouched); 0 on failure (reason in
// Oss_get_last_error). *p_i_filename gets the index of the file-name part in
// p_dst, or -1 when there is none or the path did not fit.
int Oss_get_full_path_name(const char* p_path, int n_dst, char* p_dst, int* p_i_filename);
// The system's code of the last failed call (GetLastError, errno).
uint32_t Oss_get_last_error(void);

// Test hook: while installed, Oss_get_path_program reads its command line from
// cb_cmd_line (which may return null) instead of the system, and takes its
// first token with parse_cmd_line. Null removes it.
typedef const char* (*tyOss_cb_cmd_line)(void* p_user);
void Oss_test_set_cmd_line_source(tyOss_cb_cmd_line cb_cmd_line, void* p_user);
