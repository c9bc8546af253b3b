// S-records and record sets: records with owned bytes, and the Us-based set of them.
#include "msrec.h"

#include "con.h"

#include <cstdlib>
#include <cstring>

MsRec* MsRec_alloc_val(int32_t tag, uint32_t adr, uint32_t n_bytes, const uint8_t* src) {
    MsRec* p = static_cast<MsRec*>(malloc(sizeof(MsRec)));
    if (p == NULL) return NULL;
    p->tag = tag;
    p->adr = adr;
    p->n_bytes = n_bytes;
    // A record of 0 bytes still owns a buffer, so p_bytes is never null.
    p->p_bytes = static_cast<uint8_t*>(malloc(n_bytes > 1 ? (size_t)n_bytes : 1));
    if (p->p_bytes == NULL) {
        CON_LOG("error", "p -> p_bytes = __ALLOC (U_MAX (1, n_bytes)))\n");
        free(p);
        return NULL;
    }
    if (src != NULL && n_bytes > 0) memcpy(p->p_bytes, src, n_bytes);
    return p;
}

MsRec* MsRec_alloc_copy(const MsRec* p) {
    if (p == NULL) return NULL;
    return MsRec_alloc_val(p->tag, p->adr, p->n_bytes, p->p_bytes);
}

void MsRec_free(MsRec* p) {
    if (p == NULL) return;
    free(p->p_bytes);
    free(p);
}

int32_t MsRec_get_tag(const MsRec* p) {
    return p ? p->tag : 0;
}
uint32_t MsRec_get_adr(const MsRec* p) {
    return p ? p->adr : 0;
}
uint32_t MsRec_get_n_bytes(const MsRec* p) {
    return p ? p->n_bytes : 0;
}
uint8_t* MsRec_get_p_bytes(const MsRec* p) {
    return p ? p->p_bytes : NULL;
}

// The array's callbacks take untyped elements.
static void* msrec_cb_copy(void* po) {
    return MsRec_alloc_copy(static_cast<MsRec*>(po));
}
static void msrec_cb_free(void* po) {
    MsRec_free(static_cast<MsRec*>(po));
}

MsRecSet* MsRecSet_alloc(void) {
    return Us_alloc(msrec_cb_copy, msrec_cb_free, NULL, NULL, NULL);
}

MsRec* MsRecSet_idx_to_ptr(MsRecSet* p, int32_t idx) {
    return static_cast<MsRec*>(Us_idx_to_ptr(p, idx));
}

int32_t MsRecSet_postfix_val(MsRecSet* p, int32_t tag, uint32_t adr, uint32_t n_bytes,
                             const uint8_t* src) {
    if (p == NULL) return -1;
    MsRec* p_rec = MsRec_alloc_val(tag, adr, n_bytes, src);
    if (p_rec == NULL) return -1;
    int32_t idx = Us_postfix_ptr(p, p_rec);
    if (idx < 0) {
        MsRec_free(p_rec);
        return -1;
    }
    return idx;
}

int32_t MsRecSet_postfix_copy(MsRecSet* p, const MsRec* p_rec) {
    return Us_postfix_copy(p, const_cast<MsRec*>(p_rec));
}

int32_t MsRecSet_postfix_copy_by_tag(MsRecSet* p_dst, MsRecSet* p_src, int32_t tag) {
    if (p_dst == NULL || p_src == NULL) return -1;
    int32_t n_copied = 0;
    int32_t n = Us_get_n_elem(p_src);
    for (int32_t i = 0; i < n; i++) {
        MsRec* p_rec = MsRecSet_idx_to_ptr(p_src, i);
        if (MsRec_get_tag(p_rec) != tag) continue;
        if (MsRecSet_postfix_copy(p_dst, p_rec) >= 0) n_copied++;
    }
    return n_copied;
}

int MsRecSet_del_tags_not_in_list(MsRecSet* p, int32_t n, const int32_t* p_list) {
    if (p == NULL || p_list == NULL) return 0;
    for (int32_t i = Us_get_n_elem(p) - 1; i >= 0; i--) {
        int32_t tag = MsRec_get_tag(MsRecSet_idx_to_ptr(p, i));
        int in_list = 0;
        for (int32_t k = 0; k < n && !in_list; k++)
            in_list = p_list[k] == tag;
        if (in_list) continue;
        Con_printf("tag %d is not in list, delete it\n", tag);
        Us_del_idx(p, i);
    }
    return 1;
}
