// Record-set conversions: data records into a segment set, record bytes into a memory image.
#include "uvmemx.h"

#include "con.h"
#include "msrlin.h"
#include "uvmem.h"

#include <cstring>

MsrLin* MsrLin_alloc_from_rec_set(MsRecSet* p_rec_set) {
    if (p_rec_set == NULL) return NULL;
    int32_t n_rec = Us_get_n_elem(p_rec_set);
    int32_t n_set = 0;
    uint64_t n_heap = 0;
    for (int32_t i = 0; i < n_rec; i++) {
        MsRec* p_rec = MsRecSet_idx_to_ptr(p_rec_set, i);
        if (MsRec_get_tag(p_rec) != MSREC_TAG_DATA) continue;
        n_set++;
        n_heap += MsRec_get_n_bytes(p_rec);
    }
    // The heap size of a segment set is a signed 32-bit count.
    if (n_heap > INT32_MAX) return NULL;
    MsrLin* p = MsrLin_alloc(n_set, (int32_t)n_heap);
    if (p == NULL) return NULL;
    int32_t offset = 0;
    int32_t k = 0;
    for (int32_t i = 0; i < n_rec; i++) {
        MsRec* p_rec = MsRecSet_idx_to_ptr(p_rec_set, i);
        if (MsRec_get_tag(p_rec) != MSREC_TAG_DATA) continue;
        uint32_t n_bytes = MsRec_get_n_bytes(p_rec);
        p->p_set_a_bytes[k] = MsRec_get_adr(p_rec);
        p->p_set_n_bytes[k] = n_bytes;
        p->p_set_i_bytes[k] = offset;
        p->p_set_p_bytes[k] = p->p_heap + offset;
        if (n_bytes > 0) memcpy(p->p_heap + offset, MsRec_get_p_bytes(p_rec), n_bytes);
        offset += (int32_t)n_bytes;
        k++;
    }
    return p;
}

int UvMem_MsRecSet_write(UvMem* p, MsRecSet* p_rec_set, uint32_t* p_adr_error) {
    if (p == NULL || p_rec_set == NULL) return 1;
    int32_t n_rec = Us_get_n_elem(p_rec_set);
    for (int32_t i = 0; i < n_rec; i++) {
        MsRec* p_rec = MsRecSet_idx_to_ptr(p_rec_set, i);
        uint32_t adr = MsRec_get_adr(p_rec);
        uint32_t n_bytes = MsRec_get_n_bytes(p_rec);
        const uint8_t* p_bytes = MsRec_get_p_bytes(p_rec);
        for (uint32_t k = 0; k < n_bytes; k++) {
            if (!UvMem_write_byte(p, adr + k, p_bytes[k])) {
                if (p_adr_error != NULL) *p_adr_error = adr + k;
                return 2;
            }
        }
    }
    return 0;
}

int UvMem_MsRecSet_write_ex(UvMem* p, MsRecSet* p_rec_set, int32_t empty_value,
                            uint32_t* p_adr_error) {
    if (p == NULL || p_rec_set == NULL) return 1;
    uint8_t empty = (uint8_t)empty_value;
    int result = 0;
    int32_t n_rec = Us_get_n_elem(p_rec_set);
    for (int32_t i = 0; i < n_rec; i++) {
        MsRec* p_rec = MsRecSet_idx_to_ptr(p_rec_set, i);
        uint32_t adr = MsRec_get_adr(p_rec);
        uint32_t n_bytes = MsRec_get_n_bytes(p_rec);
        const uint8_t* p_bytes = MsRec_get_p_bytes(p_rec);
        for (uint32_t k = 0; k < n_bytes; k++) {
            uint32_t a = adr + k;
            if (!UvMem_adr_is_writable(p, a)) {
                if (p_adr_error != NULL) *p_adr_error = a;
                return 2;
            }
            if (UvMem_read_byte(p, a) == empty) {
                UvMem_write_byte(p, a, p_bytes[k]);
                continue;
            }
            if (p_adr_error != NULL) *p_adr_error = a;
            CON_LOG("warning", "multiple write access at address %08x\n", a);
            result = UVMEMX_RES_MULTIPLE_WRITE;
        }
    }
    return result;
}
