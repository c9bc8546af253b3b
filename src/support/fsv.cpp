// File service: the service record and default, open files and buffered files.
#include "fsv.h"

#include "memx.h"

#include <cstdlib>
#include <cstring>

static Fsv* s_p_default;

static Fsv* fsv_or_default(Fsv* p) {
    return p ? p : s_p_default;
}

static int32_t min_i32(int32_t a, int32_t b) {
    return a < b ? a : b;
}

// A service may answer with a negative count; it is taken as nothing moved.
static int32_t count_or_0(int32_t n) {
    return n < 0 ? 0 : n;
}

Fsv* Fsv_alloc(void* p_user, tyFsv_cb_create cb_create, tyFsv_cb_delete cb_delete,
               tyFsv_cb_open cb_open, tyFsv_cb_close cb_close, tyFsv_cb_read cb_read,
               tyFsv_cb_write cb_write, tyFsv_cb_seek cb_seek, tyFsv_cb_tell cb_tell) {
    Fsv* p = static_cast<Fsv*>(calloc(1, sizeof(Fsv)));
    if (p == NULL) return NULL;
    p->p_user = p_user;
    p->cb_create = cb_create;
    p->cb_delete = cb_delete;
    p->cb_open = cb_open;
    p->cb_close = cb_close;
    p->cb_read = cb_read;
    p->cb_write = cb_write;
    p->cb_seek = cb_seek;
    p->cb_tell = cb_tell;
    return p;
}

void Fsv_free(Fsv* p) {
    free(p);
}

Fsv* Fsv_get_default(void) {
    return s_p_default;
}

int Fsv_set_default(Fsv* p) {
    s_p_default = p;
    return p != NULL ? 1 : 0;
}

int32_t Fsv_delete(Fsv* p, const char* p_name) {
    Fsv* fsv = fsv_or_default(p);
    if (fsv == NULL || fsv->cb_delete == NULL) return 0;
    return fsv->cb_delete(fsv->p_user, p_name);
}

// Allocates the record first, so that a handle is never obtained without a
// record to keep it in.
static FsvFile* fsvfile_get(Fsv* p_fsv, const char* p_name, int create) {
    Fsv* fsv = fsv_or_default(p_fsv);
    FsvFile* pf = static_cast<FsvFile*>(calloc(1, sizeof(FsvFile)));
    if (pf == NULL) return NULL;
    pf->p_fsv = fsv;
    pf->h_file = -1;
    tyFsv_cb_open cb = fsv == NULL ? NULL : create ? fsv->cb_create : fsv->cb_open;
    if (cb != NULL) pf->h_file = cb(fsv->p_user, p_name);
    if (pf->h_file < 0) {
        free(pf);
        return NULL;
    }
    return pf;
}

FsvFile* FsvFile_create(Fsv* p_fsv, const char* p_name) {
    return fsvfile_get(p_fsv, p_name, 1);
}

FsvFile* FsvFile_open(Fsv* p_fsv, const char* p_name) {
    return fsvfile_get(p_fsv, p_name, 0);
}

int FsvFile_close(FsvFile* pf) {
    if (pf == NULL) return 1;
    int ok = 1;
    if (pf->h_file >= 0 && pf->p_fsv->cb_close != NULL)
        ok = pf->p_fsv->cb_close(pf->p_fsv->p_user, pf->h_file) != 0;
    free(pf);
    return ok;
}

int32_t FsvFile_read(FsvFile* pf, void* p_dst, int32_t n) {
    if (pf == NULL || pf->p_fsv->cb_read == NULL) return 0;
    return pf->p_fsv->cb_read(pf->p_fsv->p_user, pf->h_file, p_dst, n);
}

int32_t FsvFile_write(FsvFile* pf, const void* p_src, int32_t n) {
    if (pf == NULL || pf->p_fsv->cb_write == NULL) return 0;
    return pf->p_fsv->cb_write(pf->p_fsv->p_user, pf->h_file, p_src, n);
}

int32_t FsvFile_seek(FsvFile* pf, int32_t origin, int32_t offset) {
    if (pf == NULL || pf->p_fsv->cb_seek == NULL) return -1;
    return pf->p_fsv->cb_seek(pf->p_fsv->p_user, pf->h_file, origin, offset);
}

int32_t FsvFile_tell(FsvFile* pf) {
    if (pf == NULL || pf->p_fsv->cb_tell == NULL) return -1;
    return pf->p_fsv->cb_tell(pf->p_fsv->p_user, pf->h_file);
}

static FsvBuf* fsvbuf_open(Fsv* p_fsv, const char* p_name, int32_t m_buf, int is_write,
                           int create) {
    FsvBuf* pc = static_cast<FsvBuf*>(calloc(1, sizeof(FsvBuf)));
    if (pc == NULL) return NULL;
    pc->is_write = is_write;
    pc->m_buf = m_buf;
    pc->i_buf = 0;
    pc->n_buf = is_write ? m_buf : 0;
    if (m_buf >= 1) pc->p_buf = static_cast<uint8_t*>(malloc((size_t)m_buf));
    if (pc->p_buf == NULL) {
        FsvBuf_close(pc);
        return NULL;
    }
    pc->p_file = create ? FsvFile_create(p_fsv, p_name) : FsvFile_open(p_fsv, p_name);
    if (pc->p_file == NULL) {
        FsvBuf_close(pc);
        return NULL;
    }
    return pc;
}

FsvBuf* FsvBuf_open_read(Fsv* p_fsv, const char* p_name, int32_t m_buf) {
    return fsvbuf_open(p_fsv, p_name, m_buf, 0, 0);
}

FsvBuf* FsvBuf_open_write(Fsv* p_fsv, const char* p_name, int32_t m_buf) {
    return fsvbuf_open(p_fsv, p_name, m_buf, 1, 0);
}

FsvBuf* FsvBuf_create(Fsv* p_fsv, const char* p_name, int32_t m_buf) {
    return fsvbuf_open(p_fsv, p_name, m_buf, 1, 1);
}

int FsvBuf_close(FsvBuf* pc) {
    if (pc == NULL) return 1;
    if (pc->is_write) FsvBuf_flush(pc);
    FsvFile_close(pc->p_file);
    free(pc->p_buf);
    free(pc);
    return 1;
}

// Writes the buffered bytes. Bytes the file took leave the buffer even when
// not all went out, so that a later flush cannot write them a second time.
// 1 when the buffer is empty afterwards.
static int fsvbuf_drain(FsvBuf* pc) {
    int32_t w = count_or_0(FsvFile_write(pc->p_file, pc->p_buf, pc->i_buf));
    if (w >= pc->i_buf) {
        pc->i_buf = 0;
        return 1;
    }
    memmove(pc->p_buf, pc->p_buf + w, (size_t)(pc->i_buf - w));
    pc->i_buf -= w;
    return 0;
}

int32_t FsvBuf_write(FsvBuf* pc, const void* p_src, int32_t n) {
    if (pc == NULL || !pc->is_write || n <= 0 || p_src == NULL) return 0;
    const uint8_t* src = static_cast<const uint8_t*>(p_src);
    int32_t taken = 0;
    if (pc->i_buf > 0) {
        taken = min_i32(n, pc->m_buf - pc->i_buf);
        memx_copy(pc->p_buf + pc->i_buf, src, taken);
        pc->i_buf += taken;
        if (pc->i_buf < pc->m_buf) return taken;
        if (!fsvbuf_drain(pc)) return taken;
        if (taken == n) return taken;
    }
    int32_t rest = n - taken;
    if (rest >= pc->m_buf) return taken + count_or_0(FsvFile_write(pc->p_file, src + taken, rest));
    memx_copy(pc->p_buf, src + taken, rest);
    pc->i_buf = rest;
    return n;
}

int32_t FsvBuf_read(FsvBuf* pc, void* p_dst, int32_t n) {
    if (pc == NULL || pc->is_write || n <= 0 || p_dst == NULL) return 0;
    uint8_t* dst = static_cast<uint8_t*>(p_dst);
    int32_t got = min_i32(n, pc->n_buf - pc->i_buf);
    memx_copy(dst, pc->p_buf + pc->i_buf, got);
    pc->i_buf += got;
    if (got == n) return got;
    int32_t rest = n - got;
    if (rest >= pc->m_buf) return got + count_or_0(FsvFile_read(pc->p_file, dst + got, rest));
    pc->n_buf = min_i32(count_or_0(FsvFile_read(pc->p_file, pc->p_buf, pc->m_buf)), pc->m_buf);
    pc->i_buf = min_i32(rest, pc->n_buf);
    memx_copy(dst + got, pc->p_buf, pc->i_buf);
    return got + pc->i_buf;
}

int FsvBuf_flush(FsvBuf* pc) {
    if (pc == NULL || !pc->is_write || pc->i_buf == 0) return 1;
    return fsvbuf_drain(pc);
}

int32_t FsvBuf_seek(FsvBuf* pc, int32_t origin, int32_t offset) {
    if (pc == NULL) return -1;
    if (pc->is_write && !FsvBuf_flush(pc)) return -1;
    int32_t pos = FsvFile_seek(pc->p_file, origin, offset);
    pc->i_buf = 0;
    if (!pc->is_write) pc->n_buf = 0;
    return pos;
}
