// Segment set: construction over caller data, allocation, release and accessors.
#include "msrlin.h"

#include "con.h"

#include <cstdlib>

namespace {

// A count of 0 still gets a one-byte block, so an empty set is not mistaken
// for a failed allocation; a negative count cannot be allocated at all.
void* alloc_entries(int32_t n, size_t size) {
    if (n < 0) return nullptr;
    return malloc(n == 0 ? 1 : static_cast<size_t>(n) * size);
}

} // namespace

MsrLin* MsrLin_init_val(MsrLin* p, int32_t n_set, const uint32_t* p_set_a_bytes,
                        const uint32_t* p_set_n_bytes, const int32_t* p_set_i_bytes,
                        const uint8_t* const* p_set_p_bytes, int32_t n_heap,
                        const uint8_t* p_heap) {
    if (p == nullptr) return nullptr;
    // The record type serves owned (writable) sets too; a set over constant
    // tables is only ever read through the const accessors.
    p->n_set = n_set;
    p->p_set_a_bytes = const_cast<uint32_t*>(p_set_a_bytes);
    p->p_set_n_bytes = const_cast<uint32_t*>(p_set_n_bytes);
    p->p_set_i_bytes = const_cast<int32_t*>(p_set_i_bytes);
    p->p_set_p_bytes = const_cast<uint8_t**>(p_set_p_bytes);
    p->n_heap = n_heap;
    p->p_heap = const_cast<uint8_t*>(p_heap);
    return p;
}

MsrLin* MsrLin_alloc(int32_t n_set, int32_t n_heap) {
    MsrLin* p = static_cast<MsrLin*>(calloc(1, sizeof(MsrLin)));
    if (p == nullptr) return nullptr;
    int ok = 1;
    p->n_set = n_set;
    p->p_set_a_bytes = static_cast<uint32_t*>(alloc_entries(n_set, sizeof(*p->p_set_a_bytes)));
    if (p->p_set_a_bytes == nullptr) {
        CON_LOG("error", "p -> p_set_a_bytes = __ALLOC (n_set * sizeof (* p -> p_set_a_bytes)))\n");
        ok = 0;
    }
    p->p_set_n_bytes = static_cast<uint32_t*>(alloc_entries(n_set, sizeof(*p->p_set_n_bytes)));
    if (p->p_set_n_bytes == nullptr) {
        CON_LOG("error", "p -> p_set_n_bytes = __ALLOC (n_set * sizeof (* p -> p_set_n_bytes)))\n");
        ok = 0;
    }
    p->p_set_i_bytes = static_cast<int32_t*>(alloc_entries(n_set, sizeof(*p->p_set_i_bytes)));
    if (p->p_set_i_bytes == nullptr) {
        CON_LOG("error", "p -> p_set_i_bytes = __ALLOC (n_set * sizeof (* p -> p_set_i_bytes)))\n");
        ok = 0;
    }
    p->p_set_p_bytes = static_cast<uint8_t**>(alloc_entries(n_set, sizeof(*p->p_set_p_bytes)));
    if (p->p_set_p_bytes == nullptr) {
        CON_LOG("error", "p -> p_set_p_bytes = __ALLOC (n_set * sizeof (* p -> p_set_p_bytes)))\n");
        ok = 0;
    }
    p->n_heap = n_heap;
    p->p_heap = static_cast<uint8_t*>(alloc_entries(n_heap, sizeof(*p->p_heap)));
    if (p->p_heap == nullptr) {
        CON_LOG("error", "p -> p_heap = __ALLOC (n_heap * sizeof (* p -> p_heap)))\n");
        ok = 0;
    }
    if (!ok) {
        MsrLin_free(p);
        return nullptr;
    }
    return p;
}

int MsrLin_free(MsrLin* p) {
    if (p == nullptr) return 1;
    free(p->p_set_a_bytes);
    free(p->p_set_n_bytes);
    free(p->p_set_i_bytes);
    free(p->p_set_p_bytes);
    free(p->p_heap);
    free(p);
    return 1;
}

int32_t MsrLin_get_n_set(const MsrLin* p) {
    return p ? p->n_set : 0;
}

const uint32_t* MsrLin_get_p_set_a_bytes(const MsrLin* p) {
    return p ? p->p_set_a_bytes : nullptr;
}

const uint32_t* MsrLin_get_p_set_n_bytes(const MsrLin* p) {
    return p ? p->p_set_n_bytes : nullptr;
}

const int32_t* MsrLin_get_p_set_i_bytes(const MsrLin* p) {
    return p ? p->p_set_i_bytes : nullptr;
}

const uint8_t* const* MsrLin_get_p_set_p_bytes(const MsrLin* p) {
    return p ? p->p_set_p_bytes : nullptr;
}

int32_t MsrLin_get_n_heap(const MsrLin* p) {
    return p ? p->n_heap : 0;
}

const uint8_t* MsrLin_get_p_heap(const MsrLin* p) {
    return p ? p->p_heap : nullptr;
}
