// Memory helpers: fills, copies, table look-ups and gathers over arrays of
// 8-, 16- and 32-bit elements.
//
// Every function takes the destination array first and returns it. Counts are
// element counts; nothing happens for a count of 0 or less. Index arrays hold
// signed 32-bit indices. Tables are indexed by the unsigned source value (256
// entries for an 8-bit source, up to 65536 for a 16-bit one). Nothing is
// checked: the caller guarantees valid arrays, counts and indices.
//
// Look-up names: memx_lut_<destination width>_<source width>; "idx" reads the
// source through an index array; "skip_src" leaves dst[i] unchanged where the
// source value equals the key (key before the table); "skip_val" leaves it
// unchanged where the looked-up value equals the key (key after the table).
#pragma once

#include <cstdint>

// dst[i] = val for i < n.
uint8_t* memx_fill_u8(uint8_t* p_dst, int32_t n, uint8_t val);
uint16_t* memx_fill_u16(uint16_t* p_dst, int32_t n, uint16_t val);
uint32_t* memx_fill_u32(uint32_t* p_dst, int32_t n, uint32_t val);

// Copies n bytes; the areas must not overlap.
void* memx_copy(void* p_dst, const void* p_src, int32_t n);
// Copies n elements of 1, 2 or 4 bytes; the areas must not overlap.
uint8_t* memx_copy_u8(uint8_t* p_dst, const uint8_t* p_src, int32_t n);
uint16_t* memx_copy_u16(uint16_t* p_dst, const uint16_t* p_src, int32_t n);
uint32_t* memx_copy_u32(uint32_t* p_dst, const uint32_t* p_src, int32_t n);

// 8-bit destination, 8-bit source.
// dst[i] = lut[src[i]].
uint8_t* memx_lut_u8_u8(uint8_t* p_dst, const uint8_t* p_src, int32_t n, const uint8_t* p_lut);
// As memx_lut_u8_u8; dst[i] unchanged where src[i] == key.
uint8_t* memx_lut_u8_u8_skip_src(uint8_t* p_dst, const uint8_t* p_src, int32_t n, uint8_t key,
                                 const uint8_t* p_lut);
// As memx_lut_u8_u8; dst[i] unchanged where lut[src[i]] == key.
uint8_t* memx_lut_u8_u8_skip_val(uint8_t* p_dst, const uint8_t* p_src, int32_t n,
                                 const uint8_t* p_lut, uint8_t key);
// dst[i] = src[idx[i]].
uint8_t* memx_gather_u8(uint8_t* p_dst, const uint8_t* p_src, int32_t n, const int32_t* p_idx);
// dst[i] = lut[src[idx[i]]].
uint8_t* memx_lut_u8_u8_idx(uint8_t* p_dst, const uint8_t* p_src, int32_t n, const int32_t* p_idx,
                            const uint8_t* p_lut);
// As memx_lut_u8_u8_idx; dst[i] unchanged where src[idx[i]] == key.
uint8_t* memx_lut_u8_u8_idx_skip_src(uint8_t* p_dst, const uint8_t* p_src, int32_t n,
                                     const int32_t* p_idx, uint8_t key, const uint8_t* p_lut);
// As memx_lut_u8_u8_idx; dst[i] unchanged where lut[src[idx[i]]] == key.
uint8_t* memx_lut_u8_u8_idx_skip_val(uint8_t* p_dst, const uint8_t* p_src, int32_t n,
                                     const int32_t* p_idx, const uint8_t* p_lut, uint8_t key);

// 8-bit destination, 16-bit source.
// dst[i] = lut[src[i]].
uint8_t* memx_lut_u8_u16(uint8_t* p_dst, const uint16_t* p_src, int32_t n, const uint8_t* p_lut);
// As memx_lut_u8_u16; dst[i] unchanged where src[i] == key.
uint8_t* memx_lut_u8_u16_skip_src(uint8_t* p_dst, const uint16_t* p_src, int32_t n, uint16_t key,
                                  const uint8_t* p_lut);
// As memx_lut_u8_u16; dst[i] unchanged where lut[src[i]] == key.
uint8_t* memx_lut_u8_u16_skip_val(uint8_t* p_dst, const uint16_t* p_src, int32_t n,
                                  const uint8_t* p_lut, uint8_t key);
// dst[i] = lut[src[idx[i]]].
uint8_t* memx_lut_u8_u16_idx(uint8_t* p_dst, const uint16_t* p_src, int32_t n, const int32_t* p_idx,
                             const uint8_t* p_lut);
// As memx_lut_u8_u16_idx; dst[i] unchanged where src[idx[i]] == key.
uint8_t* memx_lut_u8_u16_idx_skip_src(uint8_t* p_dst, const uint16_t* p_src, int32_t n,
                                      const int32_t* p_idx, uint16_t key, const uint8_t* p_lut);
// As memx_lut_u8_u16_idx; dst[i] unchanged where lut[src[idx[i]]] == key.
uint8_t* memx_lut_u8_u16_idx_skip_val(uint8_t* p_dst, const uint16_t* p_src, int32_t n,
                                      const int32_t* p_idx, const uint8_t* p_lut, uint8_t key);

// 16-bit destination, 8-bit source.
// dst[i] = lut[src[i]].
uint16_t* memx_lut_u16_u8(uint16_t* p_dst, const uint8_t* p_src, int32_t n, const uint16_t* p_lut);
// As memx_lut_u16_u8; dst[i] unchanged where src[i] == key.
uint16_t* memx_lut_u16_u8_skip_src(uint16_t* p_dst, const uint8_t* p_src, int32_t n, uint8_t key,
                                   const uint16_t* p_lut);
// As memx_lut_u16_u8; dst[i] unchanged where lut[src[i]] == key.
uint16_t* memx_lut_u16_u8_skip_val(uint16_t* p_dst, const uint8_t* p_src, int32_t n,
                                   const uint16_t* p_lut, uint16_t key);
// dst[i] = lut[src[idx[i]]].
uint16_t* memx_lut_u16_u8_idx(uint16_t* p_dst, const uint8_t* p_src, int32_t n,
                              const int32_t* p_idx, const uint16_t* p_lut);
// As memx_lut_u16_u8_idx; dst[i] unchanged where src[idx[i]] == key.
uint16_t* memx_lut_u16_u8_idx_skip_src(uint16_t* p_dst, const uint8_t* p_src, int32_t n,
                                       const int32_t* p_idx, uint8_t key, const uint16_t* p_lut);
// As memx_lut_u16_u8_idx; dst[i] unchanged where lut[src[idx[i]]] == key. The
// key is widened without sign, so only table values 0 to 255 can match.
uint16_t* memx_lut_u16_u8_idx_skip_val(uint16_t* p_dst, const uint8_t* p_src, int32_t n,
                                       const int32_t* p_idx, const uint16_t* p_lut, uint8_t key);

// 16-bit destination, 16-bit source.
// dst[i] = src[i] where src[i] != key.
uint16_t* memx_copy_u16_skip(uint16_t* p_dst, const uint16_t* p_src, int32_t n, uint16_t key);
// dst[i] = src[i] where mask[i] != 0.
uint16_t* memx_copy_u16_mask(uint16_t* p_dst, const uint16_t* p_src, const uint8_t* p_mask,
                             int32_t n);
// dst[i] = val where mask[i] != 0.
uint16_t* memx_fill_u16_mask(uint16_t* p_dst, const uint8_t* p_mask, int32_t n, uint16_t val);
// dst[i] = lut[src[i]].
uint16_t* memx_lut_u16_u16(uint16_t* p_dst, const uint16_t* p_src, int32_t n,
                           const uint16_t* p_lut);
// dst[i] = src[idx[i]].
uint16_t* memx_gather_u16(uint16_t* p_dst, const uint16_t* p_src, int32_t n, const int32_t* p_idx);
// dst[i] = lut[src[idx[i]]].
uint16_t* memx_lut_u16_u16_idx(uint16_t* p_dst, const uint16_t* p_src, int32_t n,
                               const int32_t* p_idx, const uint16_t* p_lut);
