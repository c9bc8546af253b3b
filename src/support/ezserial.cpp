// Serialization buffer: little-endian puts and gets with a sticky overflow.
#include "ezserial.h"

#include "con.h"
#include "memx.h"

static EzSerial* init(EzSerial* p, int32_t m_buffer, uint8_t* p_buffer) {
    p->i_buffer = 0;
    // A negative capacity would break 0 <= i_buffer <= m_buffer.
    p->m_buffer = m_buffer < 0 ? 0 : m_buffer;
    p->p_buffer = p_buffer;
    p->flags = 0;
    return p;
}

EzSerial* EzSerial_init_read(EzSerial* p, int32_t m_buffer, uint8_t* p_buffer) {
    if (!p) return nullptr;
    init(p, m_buffer, p_buffer);
    if (!p_buffer) {
        CON_LOG("error", "p -> p_buffer = p_buffer)\n");
        return nullptr;
    }
    return p;
}

EzSerial* EzSerial_init_write(EzSerial* p, int32_t m_buffer, uint8_t* p_buffer) {
    if (!p) return nullptr;
    return init(p, m_buffer, p_buffer);
}

int32_t EzSerial_get_flags(EzSerial* p) {
    return p ? (int32_t)p->flags : -1;
}

int32_t EzSerial_get_i_buffer(EzSerial* p) {
    return p ? p->i_buffer : -1;
}

// The one step of every put and get: claims n bytes at the position and
// returns their offset, or -1 when they do not fit (then overflowed for good).
// A negative count cannot fit either.
static int32_t advance(EzSerial* p, int32_t n) {
    if (!p || p->flags != 0) return -1;
    int32_t i = p->i_buffer;
    if (n >= 0 && n <= p->m_buffer - i) {
        p->i_buffer = i + n;
        return i;
    }
    p->i_buffer = p->m_buffer;
    p->flags |= EZSERIAL_FLAG_OVERFLOW;
    return -1;
}

// Stores the n low bytes of val little-endian (only counted without a buffer).
static int put_le(EzSerial* p, uint32_t val, int32_t n) {
    int32_t i = advance(p, n);
    if (i < 0) return 0;
    if (p->p_buffer)
        for (int32_t k = 0; k < n; k++)
            p->p_buffer[i + k] = (uint8_t)(val >> (8 * k));
    return 1;
}

// Reads n bytes little-endian; 0 when they are not available. A record
// without a buffer has nothing to read.
static uint32_t get_le(EzSerial* p, int32_t n) {
    if (p && !p->p_buffer) return 0;
    int32_t i = advance(p, n);
    if (i < 0) return 0;
    uint32_t val = 0;
    for (int32_t k = 0; k < n; k++)
        val |= (uint32_t)p->p_buffer[i + k] << (8 * k);
    return val;
}

int EzSerial_put_bytes(EzSerial* p, int32_t n, const uint8_t* p_src) {
    // Measuring (no buffer) copies nothing, so it needs no source either.
    if (p && p->p_buffer && !p_src && n > 0) {
        CON_LOG("error", "p_src == NULL\n");
        return 0;
    }
    int32_t i = advance(p, n);
    if (i < 0) return 0;
    if (p->p_buffer) memx_copy_u8(p->p_buffer + i, p_src, n);
    return 1;
}

int EzSerial_put_u8(EzSerial* p, uint8_t val) {
    return put_le(p, val, 1);
}
int EzSerial_put_u16(EzSerial* p, uint16_t val) {
    return put_le(p, val, 2);
}
int EzSerial_put_u32(EzSerial* p, uint32_t val) {
    return put_le(p, val, 4);
}
int EzSerial_put_s8(EzSerial* p, int8_t val) {
    return put_le(p, (uint8_t)val, 1);
}
int EzSerial_put_s16(EzSerial* p, int16_t val) {
    return put_le(p, (uint16_t)val, 2);
}
int EzSerial_put_s32(EzSerial* p, int32_t val) {
    return put_le(p, (uint32_t)val, 4);
}

int EzSerial_get_bytes(EzSerial* p, int32_t n, uint8_t* p_dst) {
    if (p && !p_dst && n > 0) {
        CON_LOG("error", "p_dst == NULL\n");
        return 0;
    }
    if (p && !p->p_buffer) return 0;
    int32_t i = advance(p, n);
    if (i < 0) return 0;
    memx_copy_u8(p_dst, p->p_buffer + i, n);
    return 1;
}

uint8_t EzSerial_get_u8(EzSerial* p) {
    return (uint8_t)get_le(p, 1);
}
uint16_t EzSerial_get_u16(EzSerial* p) {
    return (uint16_t)get_le(p, 2);
}
uint32_t EzSerial_get_u32(EzSerial* p) {
    return get_le(p, 4);
}
int8_t EzSerial_get_s8(EzSerial* p) {
    return (int8_t)get_le(p, 1);
}
int16_t EzSerial_get_s16(EzSerial* p) {
    return (int16_t)get_le(p, 2);
}
int32_t EzSerial_get_s32(EzSerial* p) {
    return (int32_t)get_le(p, 4);
}
