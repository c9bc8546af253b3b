// File streams: buffered files of a file service behind the stream functions.
#include "fcstream.h"

#include "con.h"

#include <cstddef>

// The stream passes its target as void*; these give it back its type.
static int32_t fcs_read(void* p_user, void* p_dst, int32_t n) {
    return FsvBuf_read(static_cast<FsvBuf*>(p_user), p_dst, n);
}
static int32_t fcs_write(void* p_user, const void* p_src, int32_t n) {
    return FsvBuf_write(static_cast<FsvBuf*>(p_user), p_src, n);
}
static int32_t fcs_flush(void* p_user) {
    return FsvBuf_flush(static_cast<FsvBuf*>(p_user));
}
static int32_t fcs_seek(void* p_user, int32_t origin, int32_t offset) {
    return FsvBuf_seek(static_cast<FsvBuf*>(p_user), origin, offset);
}

static int32_t fcs_buf_size(int32_t m_buf) {
    return m_buf == -1 ? FCS_DEFAULT_BUF : m_buf;
}

static const char* fcs_name(const char* p_name) {
    return p_name ? p_name : "(null)";
}

Stream* FcsOpenRead(Fsv* p_fsv, const char* p_name, int32_t m_buf) {
    FsvBuf* pc = FsvBuf_open_read(p_fsv, p_name, fcs_buf_size(m_buf));
    if (pc == NULL) {
        CON_LOG("error", "pc == NULL cannot open file <%s>\n", fcs_name(p_name));
        return NULL;
    }
    Stream* ps = StreamOpenRead(pc, fcs_read, fcs_seek);
    if (ps == NULL) {
        CON_LOG("error", "ps == NULL");
        FsvBuf_close(pc);
        return NULL;
    }
    return ps;
}

Stream* FcsOpenCreate(Fsv* p_fsv, const char* p_name, int32_t m_buf) {
    FsvBuf* pc = FsvBuf_create(p_fsv, p_name, fcs_buf_size(m_buf));
    if (pc == NULL) {
        CON_LOG("error", "pc == NULL cannot open file <%s>\n", fcs_name(p_name));
        return NULL;
    }
    Stream* ps = StreamOpenWrite(pc, fcs_write, fcs_seek, fcs_flush);
    if (ps == NULL) {
        CON_LOG("error", "ps == NULL");
        FsvBuf_close(pc);
        return NULL;
    }
    return ps;
}

int FcsClose(Stream* ps) {
    if (ps == NULL) return 0;
    FsvBuf_close(static_cast<FsvBuf*>(StreamClose(ps)));
    return 1;
}
