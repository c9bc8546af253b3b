// S-records and record sets: one run of bytes (or a start address) and an ordered set of them.
#pragma once

#include "us.h"

#include <cstdint>

enum {
    MSREC_TAG_DATA = 10,      // bytes at a device address (S1, S2, S3 or a partition)
    MSREC_TAG_START_ADR = 11, // the start address that ends a file (S7, S8, S9)
};

// One record. p_bytes is owned, max(1, n_bytes) bytes long and never null in
// a live record; a start-address record has n_bytes 0.
struct MsRec {
    int32_t tag;
    uint32_t adr;
    uint32_t n_bytes;
    uint8_t* p_bytes;
};

// A record set is a Us array of MsRec that owns its records (cb_copy makes
// a deep copy, cb_free releases record and bytes). Count, release and
// deletion are the Us operations. The set keeps append order and neither
// sorts, merges nor checks for overlaps.
typedef Us MsRecSet;

// A new record with the three values and a buffer of max(1, n_bytes) bytes;
// n_bytes bytes are copied from src when src is given, else the buffer is
// left for the caller to fill. Null when out of memory (the byte buffer's
// failure is logged).
MsRec* MsRec_alloc_val(int32_t tag, uint32_t adr, uint32_t n_bytes, const uint8_t* src);
// A deep copy with its own buffer; null for a null record or out of memory.
MsRec* MsRec_alloc_copy(const MsRec* p);
// Releases the bytes and the record; null is ignored.
void MsRec_free(MsRec* p);

// Field accessors; 0 or null for a null record.
int32_t MsRec_get_tag(const MsRec* p);
uint32_t MsRec_get_adr(const MsRec* p);
uint32_t MsRec_get_n_bytes(const MsRec* p);
uint8_t* MsRec_get_p_bytes(const MsRec* p);

// A new empty set, or null (logged by Us_alloc).
MsRecSet* MsRecSet_alloc(void);
// The record at idx, or null (as Us_idx_to_ptr: a null set is logged, an
// index out of range is not).
MsRec* MsRecSet_idx_to_ptr(MsRecSet* p, int32_t idx);
// Appends a new record built from the values (see MsRec_alloc_val). Its
// index, or -1 for a null set or when it cannot be made or appended (the set
// is then unchanged).
int32_t MsRecSet_postfix_val(MsRecSet* p, int32_t tag, uint32_t adr, uint32_t n_bytes,
                             const uint8_t* src);
// Appends a copy of p_rec; its index or -1. The set must exist.
int32_t MsRecSet_postfix_copy(MsRecSet* p, const MsRec* p_rec);
// Appends to p_dst a copy of each record of p_src with the tag, in source
// order; a copy that fails is skipped. The number copied, or -1 when either
// set is null.
int32_t MsRecSet_postfix_copy_by_tag(MsRecSet* p_dst, MsRecSet* p_src, int32_t tag);
// Deletes (and releases) every record whose tag is not among the first n
// entries of p_list, walking from the last index down and logging a line for
// each. 1; 0 for a null set or list.
int MsRecSet_del_tags_not_in_list(MsRecSet* p, int32_t n, const int32_t* p_list);
