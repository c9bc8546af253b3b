// S-record file reader and writer: Motorola S-record files to record sets and back.
#pragma once

#include "msrec.h"

#include <cstdint>
#include <cstdio>

// Sizes of the reader's working buffers: a token of at most 1023 characters
// and its decoded bytes (type digit, count, address, data, checksum).
enum { MSRECIN_M_LINE = 1024, MSRECIN_M_VECTOR = 512 };

// Appends the records of the S-record file p_filename to p_rec_set: one data
// record (tag 10) per S1/S2/S3 line, then one start-address record (tag 11)
// for the S7/S8/S9 line that ends the file; S0, S5 and S6 lines are checked and
// skipped, nothing after the end line is read. Returns 1 when an end line was
// reached; 0 after the first failure (logged), leaving the records appended
// before in the set. The set is never cleared.
int MsRecIn_load_file(MsRecSet* p_rec_set, const char* p_filename);

// Writes p_rec_set to p_filename (replaced): an S0 header, one line per
// record whatever its tag (S1, S2 or S3 for tag_value 1, 2, 3, with the low
// 16, 24 or 32 address bits), then the S9, S8 or S7 end line with address 0.
// A record longer than one line holds (252, 251, 250 data bytes) is written
// as several lines of that many bytes. Lines end in CR LF, hexadecimal digits
// are upper case. 1 when every line was written; 0 for a null set or name, a
// tag_value other than 1 to 3, or a failed open or write (logged).
int MsRecIn_save_file(MsRecSet* p_rec_set, int32_t tag_value, const char* p_filename);

// The steps of reader and writer.

// Reads the next token (a run of bytes other than tab, LF, CR and space) from
// fp into buf of m_line bytes, NUL-terminated, consuming the blank after it.
// Its length; -1 at the end of the file (buf then holds ""); -2 (logged) when
// the token and its NUL need more than m_line bytes.
int32_t fread_line(FILE* fp, int32_t m_line, char* buf);

// Decodes the token p_str ("S", type digit, hexadecimal pairs in either case)
// into p_vector of m_vector bytes: the type's value, then one byte per pair.
// Returns the bytes stored (count + 2); -1 for a missing argument or a token
// longer than the vector; -2 for a malformed token (odd or short length, no
// "S", type 4, 6 or not a digit, a non-hexadecimal character, a count that
// disagrees with the length); -3 for a wrong checksum. Each failure is logged.
int32_t string_to_bin_vector(int32_t m_vector, uint8_t* p_vector, const char* p_str);

// Prints "S<type>", the n bytes as upper-case hexadecimal pairs and CR LF.
// 1 after writing; 0 for a null file or bytes, or when the stream reports an
// error.
int write_record(FILE* fp, int32_t type, int32_t n, const uint8_t* bytes);

// Ones' complement of the 8-bit sum of the n bytes.
uint8_t calc_bcc(int32_t n, const uint8_t* bytes);
