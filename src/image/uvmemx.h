// Record-set conversions: record sets into segment sets and into target memory images.
#pragma once

#include "msrec.h"

#include <cstdint>

struct MsrLin;
struct UvMem;

// Result of UvMem_MsRecSet_write_ex when some bytes met locations that an
// earlier record had already written (and nothing else failed).
enum { UVMEMX_RES_MULTIPLE_WRITE = 3 };

// A new segment set (release with MsrLin_free) with one segment per data
// record (tag 10) of p_rec_set, in set order, its bytes copied into the heap;
// other records are skipped, nothing is merged. Null for a null set, when the
// bytes exceed a segment set's 32-bit heap, or when allocation fails (logged
// by MsrLin_alloc). The record set is not changed.
MsrLin* MsrLin_alloc_from_rec_set(MsRecSet* p_rec_set);

// Writes the bytes of every record (any tag; start-address records hold none)
// into the image with UvMem_write_byte, in order. 0 when all were written;
// 1 for a null p or p_rec_set; 2 at the first byte that cannot be written
// (its address goes to p_adr_error when given; bytes written before stay).
int UvMem_MsRecSet_write(UvMem* p, MsRecSet* p_rec_set, uint32_t* p_adr_error);

// As UvMem_MsRecSet_write, but writes a byte only where the image still reads
// the low 8 bits of empty_value. A location already written is kept: its
// address goes to p_adr_error, a warning is logged and the walk goes on.
// 0 when every byte was written; 1 for null arguments; 2 at the first
// address that is not writable (writing stops there);
// UVMEMX_RES_MULTIPLE_WRITE (3) when the walk ended but met written locations.
int UvMem_MsRecSet_write_ex(UvMem* p, MsRecSet* p_rec_set, int32_t empty_value,
                            uint32_t* p_adr_error);
