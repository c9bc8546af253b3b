// Embedded firmware images: the flash loader (fld_02) and the application (orvo) as constant
// tables.
#pragma once

#include <cstdint>

// Each image is a segment set over constant data, in the argument order of
// MsrLin_init_val: segment count, address table, length table, pointer table
// (segment k's bytes start at p_set_p_bytes[k] inside the heap), total bytes
// and heap. The tables are generated at build time from the S-record files in
// the firmware folder; they are read-only and live for the whole run.

// Flash loader: written into device RAM from 0x400000 on and started there.
int32_t fld_02_get_n_set(void);
const uint32_t* fld_02_get_p_set_a_bytes(void);
const uint32_t* fld_02_get_p_set_n_bytes(void);
const uint8_t* const* fld_02_get_p_set_p_bytes(void);
int32_t fld_02_get_n_heap(void);
const uint8_t* fld_02_get_p_heap(void);

// Application: lies within the 0x74000 bytes from 0x80000 on; its signature
// byte is at 0x80010.
int32_t orvo_get_n_set(void);
const uint32_t* orvo_get_p_set_a_bytes(void);
const uint32_t* orvo_get_p_set_n_bytes(void);
const uint8_t* const* orvo_get_p_set_p_bytes(void);
int32_t orvo_get_n_heap(void);
const uint8_t* orvo_get_p_heap(void);
