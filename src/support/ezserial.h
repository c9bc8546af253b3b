// Serialization buffer: bounded little-endian puts and gets over a caller's
// byte buffer, with a sticky overflow flag so that a caller can issue a series
// and check once at the end.
#pragma once

#include <cstdint>

enum { EZSERIAL_FLAG_OVERFLOW = 1 };

struct EzSerial {
    int32_t i_buffer;  // bytes written or consumed so far, 0 to m_buffer
    int32_t m_buffer;  // capacity in bytes
    uint8_t* p_buffer; // the caller's buffer, not owned; may be null for writing
    uint32_t flags;    // EZSERIAL_FLAG_OVERFLOW once a put or get did not fit
};

// Initialises p for reading m_buffer bytes from p_buffer. p; null for a null
// p, or for a null p_buffer (logged). A negative capacity counts as 0.
EzSerial* EzSerial_init_read(EzSerial* p, int32_t m_buffer, uint8_t* p_buffer);
// Initialises p for writing up to m_buffer bytes into p_buffer. With a null
// p_buffer the puts only advance the position, to measure a size. p; null for
// a null p. A negative capacity counts as 0.
EzSerial* EzSerial_init_write(EzSerial* p, int32_t m_buffer, uint8_t* p_buffer);
// flags; -1 for a null p.
int32_t EzSerial_get_flags(EzSerial* p);
// i_buffer; -1 for a null p.
int32_t EzSerial_get_i_buffer(EzSerial* p);

// Puts: 1 when the value fitted. Otherwise 0, nothing is written, i_buffer
// becomes m_buffer and the overflow flag is set; once set, every put and get
// fails until the record is initialised again. Multi-byte values are stored
// little-endian, signed ones as their two's-complement bits. EzSerial_put_bytes
// with a null p_src and n > 0 fails with a log line when there is a buffer to
// copy into; while measuring it only advances.
int EzSerial_put_bytes(EzSerial* p, int32_t n, const uint8_t* p_src);
int EzSerial_put_u8(EzSerial* p, uint8_t val);
int EzSerial_put_u16(EzSerial* p, uint16_t val);
int EzSerial_put_u32(EzSerial* p, uint32_t val);
int EzSerial_put_s8(EzSerial* p, int8_t val);
int EzSerial_put_s16(EzSerial* p, int16_t val);
int EzSerial_put_s32(EzSerial* p, int32_t val);

// Gets, on a record initialised for reading: the value, or 0 when it was not
// available (as for a put, the overflow flag tells a real 0 from a failure).
// EzSerial_get_bytes returns 1 when n bytes were available and copied, else 0
// with p_dst untouched. A record without a buffer gives 0 and stays as it is;
// a null source or destination with n > 0 is logged and changes nothing.
int EzSerial_get_bytes(EzSerial* p, int32_t n, uint8_t* p_dst);
uint8_t EzSerial_get_u8(EzSerial* p);
uint16_t EzSerial_get_u16(EzSerial* p);
uint32_t EzSerial_get_u32(EzSerial* p);
int8_t EzSerial_get_s8(EzSerial* p);
int16_t EzSerial_get_s16(EzSerial* p);
int32_t EzSerial_get_s32(EzSerial* p);
