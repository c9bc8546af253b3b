// Target memory image: a host copy of one device memory region with write-protected zones.
#pragma once

#include <cstdint>

struct MsrLin;

// Byte k of p_vmem holds device address a_vmem + k, for k below n_vmem. An
// address is inside when (adr - a_vmem) < n_vmem in unsigned 32-bit
// arithmetic; it is writable when it is inside and in none of the n_wpz zones
// (start p_wpz_a_mem[i], length p_wpz_n_mem[i]). 0xFF is the erased value and
// the value read outside the image. attr is stored and never interpreted.
struct UvMem {
    int32_t attr;
    uint32_t a_vmem;
    uint32_t n_vmem;
    uint8_t* p_vmem;
    int32_t n_wpz;
    const uint32_t* p_wpz_a_mem; // null when n_wpz is 0
    const uint32_t* p_wpz_n_mem; // null when n_wpz is 0
};

// New image of n_vmem uninitialised bytes owning copies of the two zone
// tables (zeroed entries when a table is not given). Every allocation is tried
// and each failure logs its own line; on failure all is released and null
// returned.
UvMem* UvMem_alloc_val(int32_t attr, uint32_t a_vmem, uint32_t n_vmem, int32_t n_wpz,
                       const uint32_t* p_wpz_a_mem, const uint32_t* p_wpz_n_mem);

// Sets up the caller's record p over the caller's bytes and zone tables
// without copying. Logs one line for each missing table (the zone tables only
// count when n_wpz > 0) and returns null if any was missing; null for a null
// p; else p. Such an image is never passed to UvMem_free.
UvMem* UvMem_init(UvMem* p, int32_t attr, uint32_t a_vmem, uint32_t n_vmem, uint8_t* p_vmem,
                  int32_t n_wpz, const uint32_t* p_wpz_a_mem, const uint32_t* p_wpz_n_mem);

// Releases an image from UvMem_alloc_val (or a constructor). Returns 1, also
// for a null p.
int UvMem_free(UvMem* p);

// The device regions, each a new image or null:
// application code memory 0x80000, 0x74000 bytes, attr 1, no zones.
UvMem* UvMem_alloc_as_orvo_code_k52(void);
// 0xFF0000, 0x10000 bytes, attr 0, one zone 0xFFA000 of 0x2000 bytes.
UvMem* UvMem_alloc_as_region_ff0000(void);
// 0x400000, 0x100000 bytes, attr 1, no zones (the flash loader's RAM).
UvMem* UvMem_alloc_as_region_400000(void);
// 0x180000, 0x60000 bytes, attr 1, no zones.
UvMem* UvMem_alloc_as_region_180000(void);
// 0x1E0000, 0x14000 bytes, attr 1, no zones.
UvMem* UvMem_alloc_as_region_1e0000(void);
// 0, 0x20000 bytes, attr 1, no zones.
UvMem* UvMem_alloc_as_region_000000(void);

// Field accessors; 0 or null for a null image.
int32_t UvMem_get_attr(const UvMem* p);
uint32_t UvMem_get_a_vmem(const UvMem* p);
uint32_t UvMem_get_n_vmem(const UvMem* p);
uint8_t* UvMem_get_p_vmem(const UvMem* p);
int32_t UvMem_get_n_wpz(const UvMem* p);
const uint32_t* UvMem_get_p_wpz_a_mem(const UvMem* p);
const uint32_t* UvMem_get_p_wpz_n_mem(const UvMem* p);
// 1 when attr is not 0; 0 for a null image.
int UvMem_has_attr(const UvMem* p);

// adr - a_vmem and offset + a_vmem (unsigned 32-bit); 0 for a null image.
uint32_t UvMem_adr_to_offset(const UvMem* p, uint32_t adr);
uint32_t UvMem_offset_to_adr(const UvMem* p, uint32_t offset);
// 1 when the address (offset) lies inside the image, else 0 (also for null).
int UvMem_adr_is_inside(const UvMem* p, uint32_t adr);
int UvMem_offset_is_inside(const UvMem* p, uint32_t offset);
// Index of the first zone (table order) that holds adr, or -1; -1 for null.
int32_t UvMem_get_wpz_of_adr(const UvMem* p, uint32_t adr);
// 1 when inside and in no zone, else 0 (also for null).
int UvMem_adr_is_writable(const UvMem* p, uint32_t adr);
int UvMem_offset_is_writable(const UvMem* p, uint32_t offset);

// Sets every byte to the low 8 bits of value. 1, or 0 for a null image.
int UvMem_fill(UvMem* p, int32_t value);
// The byte at adr when inside, else 0xFF (a null image reads 0xFF everywhere).
uint8_t UvMem_read_byte(const UvMem* p, uint32_t adr);
// Stores the low 8 bits of value at a writable adr and returns 1; returns 0
// and changes nothing otherwise.
int UvMem_write_byte(UvMem* p, uint32_t adr, int32_t value);
// 1 when each of the n_bytes bytes from adr on (read as UvMem_read_byte, so
// 0xFF outside) equals the low 8 bits of value, else 0; 1 when n_bytes <= 0.
int UvMem_block_equals_val(const UvMem* p, uint32_t adr, int32_t n_bytes, int32_t value);

// Writes every segment of the set byte by byte. Prints the image line and,
// per segment whose range and write verdicts differ, a partition line.
// 0 on success, 1 when p or p_set is null, 2 at the first byte that cannot be
// written (its address goes to p_adr_error when given; bytes written before
// stay).
int UvMem_MsrLin_write(UvMem* p, const MsrLin* p_set, uint32_t* p_adr_error);
