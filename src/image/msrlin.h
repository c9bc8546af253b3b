// Segment set: firmware as (address, length, bytes) segments over one byte heap.
#pragma once

#include <cstdint>

// A set of segments in device memory. Segment k starts at device address
// p_set_a_bytes[k], is p_set_n_bytes[k] bytes long, and its bytes start at
// p_set_p_bytes[k] inside p_heap (heap offset p_set_i_bytes[k] when that table
// is present). The heap holds all segments one after another without gaps, so
// n_heap is the sum of all lengths. A set from MsrLin_alloc owns its tables
// and heap; one set up by MsrLin_init_val only points at the caller's data and
// must not be written through.
struct MsrLin {
    int32_t n_set;
    uint32_t* p_set_a_bytes;
    uint32_t* p_set_n_bytes;
    int32_t* p_set_i_bytes; // may be null
    uint8_t** p_set_p_bytes;
    int32_t n_heap;
    uint8_t* p_heap;
};

// Stores the seven values in the caller's record p as given, without checks
// or copies (the tables are typically constant data; nothing writes through
// such a set). Returns p, or null for a null p.
MsrLin* MsrLin_init_val(MsrLin* p, int32_t n_set, const uint32_t* p_set_a_bytes,
                        const uint32_t* p_set_n_bytes, const int32_t* p_set_i_bytes,
                        const uint8_t* const* p_set_p_bytes, int32_t n_heap, const uint8_t* p_heap);

// New set with room for n_set segments and n_heap heap bytes; the four tables
// and the heap are not initialised. Every allocation is tried and each failure
// logs its own line; on any failure everything is released and null returned.
MsrLin* MsrLin_alloc(int32_t n_set, int32_t n_heap);

// Releases a set made by MsrLin_alloc (or MsrLin_alloc_from_rec_set) with its
// tables and heap. Returns 1, also for a null p.
int MsrLin_free(MsrLin* p);

// Field accessors; 0 or null for a null set, so a missing set reads as empty.
int32_t MsrLin_get_n_set(const MsrLin* p);
const uint32_t* MsrLin_get_p_set_a_bytes(const MsrLin* p);
const uint32_t* MsrLin_get_p_set_n_bytes(const MsrLin* p);
const int32_t* MsrLin_get_p_set_i_bytes(const MsrLin* p);
const uint8_t* const* MsrLin_get_p_set_p_bytes(const MsrLin* p);
int32_t MsrLin_get_n_heap(const MsrLin* p);
const uint8_t* MsrLin_get_p_heap(const MsrLin* p);
