// Memory helpers: fills, copies, table look-ups and gathers over 8-, 16- and
// 32-bit arrays.
#include "memx.h"

#include <cstring>

namespace {

// The source value of element i, read directly or through an index array.
template <class S> struct Direct {
    const S* p_src;
    S operator()(int32_t i) const { return p_src[i]; }
};
template <class S> struct Indexed {
    const S* p_src;
    const int32_t* p_idx;
    S operator()(int32_t i) const { return p_src[p_idx[i]]; }
};

template <class T> T* fill(T* p_dst, int32_t n, T val) {
    for (int32_t i = 0; i < n; i++)
        p_dst[i] = val;
    return p_dst;
}

template <class D, class Src> D* gather(D* p_dst, int32_t n, Src src) {
    for (int32_t i = 0; i < n; i++)
        p_dst[i] = src(i);
    return p_dst;
}

template <class D, class Src> D* lut(D* p_dst, int32_t n, Src src, const D* p_lut) {
    for (int32_t i = 0; i < n; i++)
        p_dst[i] = p_lut[src(i)];
    return p_dst;
}

template <class D, class Src, class K>
D* lut_skip_src(D* p_dst, int32_t n, Src src, K key, const D* p_lut) {
    for (int32_t i = 0; i < n; i++) {
        auto s = src(i);
        if (s != key) p_dst[i] = p_lut[s];
    }
    return p_dst;
}

// The comparison widens both sides without sign, so a 16-bit value meets an
// 8-bit key only for values 0 to 255.
template <class D, class Src, class K>
D* lut_skip_val(D* p_dst, int32_t n, Src src, const D* p_lut, K key) {
    for (int32_t i = 0; i < n; i++) {
        D v = p_lut[src(i)];
        if (v != key) p_dst[i] = v;
    }
    return p_dst;
}

template <class S> Direct<S> direct(const S* p_src) {
    return Direct<S>{p_src};
}
template <class S> Indexed<S> indexed(const S* p_src, const int32_t* p_idx) {
    return Indexed<S>{p_src, p_idx};
}

} // namespace

uint8_t* memx_fill_u8(uint8_t* p_dst, int32_t n, uint8_t val) {
    if (n > 0) std::memset(p_dst, val, (size_t)n);
    return p_dst;
}
uint16_t* memx_fill_u16(uint16_t* p_dst, int32_t n, uint16_t val) {
    return fill(p_dst, n, val);
}
uint32_t* memx_fill_u32(uint32_t* p_dst, int32_t n, uint32_t val) {
    return fill(p_dst, n, val);
}

void* memx_copy(void* p_dst, const void* p_src, int32_t n) {
    if (n > 0) std::memcpy(p_dst, p_src, (size_t)n);
    return p_dst;
}
uint8_t* memx_copy_u8(uint8_t* p_dst, const uint8_t* p_src, int32_t n) {
    memx_copy(p_dst, p_src, n);
    return p_dst;
}
uint16_t* memx_copy_u16(uint16_t* p_dst, const uint16_t* p_src, int32_t n) {
    if (n > 0) std::memcpy(p_dst, p_src, (size_t)n * 2);
    return p_dst;
}
uint32_t* memx_copy_u32(uint32_t* p_dst, const uint32_t* p_src, int32_t n) {
    if (n > 0) std::memcpy(p_dst, p_src, (size_t)n * 4);
    return p_dst;
}

uint8_t* memx_lut_u8_u8(uint8_t* p_dst, const uint8_t* p_src, int32_t n, const uint8_t* p_lut) {
    return lut(p_dst, n, direct(p_src), p_lut);
}
uint8_t* memx_lut_u8_u8_skip_src(uint8_t* p_dst, const uint8_t* p_src, int32_t n, uint8_t key,
                                 const uint8_t* p_lut) {
    return lut_skip_src(p_dst, n, direct(p_src), key, p_lut);
}
uint8_t* memx_lut_u8_u8_skip_val(uint8_t* p_dst, const uint8_t* p_src, int32_t n,
                                 const uint8_t* p_lut, uint8_t key) {
    return lut_skip_val(p_dst, n, direct(p_src), p_lut, key);
}
uint8_t* memx_gather_u8(uint8_t* p_dst, const uint8_t* p_src, int32_t n, const int32_t* p_idx) {
    return gather(p_dst, n, indexed(p_src, p_idx));
}
uint8_t* memx_lut_u8_u8_idx(uint8_t* p_dst, const uint8_t* p_src, int32_t n, const int32_t* p_idx,
                            const uint8_t* p_lut) {
    return lut(p_dst, n, indexed(p_src, p_idx), p_lut);
}
uint8_t* memx_lut_u8_u8_idx_skip_src(uint8_t* p_dst, const uint8_t* p_src, int32_t n,
                                     const int32_t* p_idx, uint8_t key, const uint8_t* p_lut) {
    return lut_skip_src(p_dst, n, indexed(p_src, p_idx), key, p_lut);
}
uint8_t* memx_lut_u8_u8_idx_skip_val(uint8_t* p_dst, const uint8_t* p_src, int32_t n,
                                     const int32_t* p_idx, const uint8_t* p_lut, uint8_t key) {
    return lut_skip_val(p_dst, n, indexed(p_src, p_idx), p_lut, key);
}

uint8_t* memx_lut_u8_u16(uint8_t* p_dst, const uint16_t* p_src, int32_t n, const uint8_t* p_lut) {
    return lut(p_dst, n, direct(p_src), p_lut);
}
uint8_t* memx_lut_u8_u16_skip_src(uint8_t* p_dst, const uint16_t* p_src, int32_t n, uint16_t key,
                                  const uint8_t* p_lut) {
    return lut_skip_src(p_dst, n, direct(p_src), key, p_lut);
}
uint8_t* memx_lut_u8_u16_skip_val(uint8_t* p_dst, const uint16_t* p_src, int32_t n,
                                  const uint8_t* p_lut, uint8_t key) {
    return lut_skip_val(p_dst, n, direct(p_src), p_lut, key);
}
uint8_t* memx_lut_u8_u16_idx(uint8_t* p_dst, const uint16_t* p_src, int32_t n, const int32_t* p_idx,
                             const uint8_t* p_lut) {
    return lut(p_dst, n, indexed(p_src, p_idx), p_lut);
}
uint8_t* memx_lut_u8_u16_idx_skip_src(uint8_t* p_dst, const uint16_t* p_src, int32_t n,
                                      const int32_t* p_idx, uint16_t key, const uint8_t* p_lut) {
    return lut_skip_src(p_dst, n, indexed(p_src, p_idx), key, p_lut);
}
uint8_t* memx_lut_u8_u16_idx_skip_val(uint8_t* p_dst, const uint16_t* p_src, int32_t n,
                                      const int32_t* p_idx, const uint8_t* p_lut, uint8_t key) {
    return lut_skip_val(p_dst, n, indexed(p_src, p_idx), p_lut, key);
}

uint16_t* memx_lut_u16_u8(uint16_t* p_dst, const uint8_t* p_src, int32_t n, const uint16_t* p_lut) {
    return lut(p_dst, n, direct(p_src), p_lut);
}
uint16_t* memx_lut_u16_u8_skip_src(uint16_t* p_dst, const uint8_t* p_src, int32_t n, uint8_t key,
                                   const uint16_t* p_lut) {
    return lut_skip_src(p_dst, n, direct(p_src), key, p_lut);
}
uint16_t* memx_lut_u16_u8_skip_val(uint16_t* p_dst, const uint8_t* p_src, int32_t n,
                                   const uint16_t* p_lut, uint16_t key) {
    return lut_skip_val(p_dst, n, direct(p_src), p_lut, key);
}
uint16_t* memx_lut_u16_u8_idx(uint16_t* p_dst, const uint8_t* p_src, int32_t n,
                              const int32_t* p_idx, const uint16_t* p_lut) {
    return lut(p_dst, n, indexed(p_src, p_idx), p_lut);
}
uint16_t* memx_lut_u16_u8_idx_skip_src(uint16_t* p_dst, const uint8_t* p_src, int32_t n,
                                       const int32_t* p_idx, uint8_t key, const uint16_t* p_lut) {
    return lut_skip_src(p_dst, n, indexed(p_src, p_idx), key, p_lut);
}
uint16_t* memx_lut_u16_u8_idx_skip_val(uint16_t* p_dst, const uint8_t* p_src, int32_t n,
                                       const int32_t* p_idx, const uint16_t* p_lut, uint8_t key) {
    return lut_skip_val(p_dst, n, indexed(p_src, p_idx), p_lut, key);
}

uint16_t* memx_copy_u16_skip(uint16_t* p_dst, const uint16_t* p_src, int32_t n, uint16_t key) {
    for (int32_t i = 0; i < n; i++)
        if (p_src[i] != key) p_dst[i] = p_src[i];
    return p_dst;
}
uint16_t* memx_copy_u16_mask(uint16_t* p_dst, const uint16_t* p_src, const uint8_t* p_mask,
                             int32_t n) {
    for (int32_t i = 0; i < n; i++)
        if (p_mask[i] != 0) p_dst[i] = p_src[i];
    return p_dst;
}
uint16_t* memx_fill_u16_mask(uint16_t* p_dst, const uint8_t* p_mask, int32_t n, uint16_t val) {
    for (int32_t i = 0; i < n; i++)
        if (p_mask[i] != 0) p_dst[i] = val;
    return p_dst;
}
uint16_t* memx_lut_u16_u16(uint16_t* p_dst, const uint16_t* p_src, int32_t n,
                           const uint16_t* p_lut) {
    return lut(p_dst, n, direct(p_src), p_lut);
}
uint16_t* memx_gather_u16(uint16_t* p_dst, const uint16_t* p_src, int32_t n, const int32_t* p_idx) {
    return gather(p_dst, n, indexed(p_src, p_idx));
}
uint16_t* memx_lut_u16_u16_idx(uint16_t* p_dst, const uint16_t* p_src, int32_t n,
                               const int32_t* p_idx, const uint16_t* p_lut) {
    return lut(p_dst, n, indexed(p_src, p_idx), p_lut);
}
