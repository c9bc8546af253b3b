// String helpers: lengths, copies, concatenations, comparisons and trimming
// of zero-terminated 8-bit texts, tolerant of null pointers.
//
// A blank is the space character only; tabs are ordinary characters. Every
// function that returns a text returns its destination argument.
#pragma once

// Characters before the terminating zero; 0 for null.
int strx_len(const char* p_src);
// Length without trailing blanks (index of the last non-blank plus 1); 0 for
// a null, empty or all-blank text.
int strx_len_trim(const char* p_src);
// A new heap copy of the text with its terminator; null for a null text or
// when no memory is left. Release it with strx_free.
char* strx_dup(const char* p_src);
// Releases a text from strx_dup (null allowed). Returns 1.
int strx_free(char* p_src);

// Copies the source with its terminator; no bound on the destination. A null
// argument is logged and nothing is copied.
char* strx_cpy(char* p_dst, const char* p_src);
// Bounded copy into a buffer of n_dst characters: nothing for a null argument
// or n_dst <= 0; n_dst == 1 empties the destination; otherwise copies at most
// n_dst - 2 characters (one less than would fit) and terminates them.
char* strx_cpy_n(int n_dst, char* p_dst, const char* p_src);
// Appends the whole source; as strx_cat_n.
char* strx_cat(char* p_dst, const char* p_src);
// Appends the first n characters of the source (at most all of them) and
// terminates; no bound on the destination. A null argument is logged and
// nothing is appended.
char* strx_cat_n(char* p_dst, const char* p_src, int n);

// 1 when both texts are equal, 0 otherwise or when either is null.
int strx_equal(const char* p_a, const char* p_b);
// 1 when the texts are equal in their first n characters or up to a common
// terminator, else 0. A negative n compares over the longer length. With
// n >= 0 the texts must be readable for n characters or up to a common
// terminator. 0 when either is null.
int strx_equal_n(const char* p_a, const char* p_b, int n);
// 1 when the texts are equal without their trailing blanks; 0 otherwise or
// when either is null.
int strx_equal_trim(const char* p_a, const char* p_b);
// As strx_equal_trim, ignoring letter case.
int strx_equal_trim_nocase(const char* p_a, const char* p_b);
// As strx_equal_n, each character passed through tolower first.
int strx_equal_n_nocase(const char* p_a, const char* p_b, int n);

// Copies the source without its trailing blanks and terminates; nothing when
// either is null. The destination may be the source itself.
char* strx_cpy_trim_right(char* p_dst, const char* p_src);
// Copies the source without leading and trailing blanks and terminates;
// nothing when either is null. The destination may be the source itself.
char* strx_cpy_trim(char* p_dst, const char* p_src);
// Index of the first non-blank character; 0 when there is none (empty or
// all-blank text) and for null.
int strx_skip_blanks(const char* p_src);
