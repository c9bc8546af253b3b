// Growable element array: paged carrier, owned elements, copies and sorting.
#include "us.h"

#include "con.h"

#include <cstdlib>
#include <cstring>

static int32_t us_default_spare_1(void) {
    return -1;
}
static int32_t us_default_spare_2(void) {
    return 0;
}
static int32_t us_default_compare(void*, void*) {
    return -1;
}

static int32_t us_pages(int64_t k) {
    return (int32_t)((k + US_PAGE_SIZE - 1) / US_PAGE_SIZE);
}

// An array built without cb_free leaves its elements to the caller rather
// than calling through a null pointer.
static void us_release(Us* p, void* po) {
    if (p->cb_free) p->cb_free(po);
}

// The carrier's block holds a power of two of pages, at least the m_tab slots
// in use: appending one element at a time then copies the pointers only when
// the block doubles, not at every page (which made loading a file of a
// million records quadratic). The block's size follows from m_tab alone.
static size_t us_block_slots(int32_t k_pages) {
    size_t k = 1;
    while (k < (size_t)k_pages)
        k *= 2;
    return US_PAGE_SIZE * k;
}

// The carrier helpers log under the names they carry in this module's
// messages; the C++ names avoid identifiers reserved to the implementation.
static int us_realloc_carrier(Us* p, int32_t k_pages_new) {
    size_t n_block_new = us_block_slots(k_pages_new);
    if (p->p_tab == NULL || n_block_new != us_block_slots(us_pages(p->m_tab))) {
        // realloc keeps the old block when it fails, so the array is unchanged.
        void** p_tab_new = static_cast<void**>(realloc(p->p_tab, sizeof(void*) * n_block_new));
        if (p_tab_new == NULL) {
            Con_printf("%s-%s-%s: p_tab_new == NULL (__k_pages_new = %d)\n", "error", __FILE__,
                       "__realloc_carrier", k_pages_new);
            return 0;
        }
        p->p_tab = p_tab_new;
    }
    p->m_tab = US_PAGE_SIZE * k_pages_new;
    return 1;
}

// Grows to the pages size_new needs, or shrinks to them plus one spare page.
static int us_adjust_carrier(Us* p, int32_t size_new) {
    if (size_new < p->n_tab) {
        Con_printf("%s-%s-%s: modifying size_new ! (size_new=%d,n_tab=%d)\n", "info", __FILE__,
                   "__adjust_carrier", size_new, p->n_tab);
        size_new = p->n_tab;
    }
    int32_t k_old = us_pages(p->m_tab);
    int32_t k_new = us_pages(size_new);
    if (k_old < k_new) return us_realloc_carrier(p, k_new);
    if (k_old > k_new + 1) return us_realloc_carrier(p, k_new + 1);
    return 1;
}

Us* Us_alloc(tyUs_cb_copy cb_copy, tyUs_cb_free cb_free, tyUs_cb_spare cb_spare_1,
             tyUs_cb_spare cb_spare_2, tyUs_cb_compare cb_compare) {
    Us* p = static_cast<Us*>(calloc(1, sizeof(Us)));
    if (p == NULL) {
        CON_LOG("error", "p == NULL\n");
        return NULL;
    }
    p->n_tab = 0;
    p->m_tab = 0;
    p->p_tab = NULL;
    p->cb_copy = cb_copy;
    p->cb_free = cb_free;
    p->cb_spare_1 = cb_spare_1 ? cb_spare_1 : us_default_spare_1;
    p->cb_spare_2 = cb_spare_2 ? cb_spare_2 : us_default_spare_2;
    p->cb_compare = cb_compare ? cb_compare : us_default_compare;
    return p;
}

Us* Us_alloc_inherit(Us* p_base) {
    if (p_base == NULL) {
        CON_LOG("error", "p_base == NULL\n");
        return NULL;
    }
    return Us_alloc(p_base->cb_copy, p_base->cb_free, p_base->cb_spare_1, p_base->cb_spare_2,
                    p_base->cb_compare);
}

int Us_free(Us* p) {
    if (p == NULL) return 1;
    for (int32_t i = 0; i < p->n_tab; i++)
        us_release(p, p->p_tab[i]);
    free(p->p_tab);
    free(p);
    return 1;
}

int32_t Us_get_n_elem(Us* p) {
    return p ? p->n_tab : 0;
}

int Us_is_empty(Us* p) {
    return Us_get_n_elem(p) == 0 ? 1 : 0;
}

Us* Us_del_all(Us* p) {
    if (p == NULL) return NULL;
    for (int32_t i = 0; i < p->n_tab; i++)
        us_release(p, p->p_tab[i]);
    p->n_tab = 0;
    us_adjust_carrier(p, 0);
    return p;
}

void* Us_idx_to_ptr(Us* p, int32_t idx) {
    if (p == NULL) {
        CON_LOG("error", "p == NULL\n");
        return NULL;
    }
    if (idx < 0 || idx >= p->n_tab) return NULL;
    return p->p_tab[idx];
}

int32_t Us_ptr_to_idx(Us* p, void* po) {
    if (p == NULL) {
        CON_LOG("error", "p == NULL\n");
        return -1;
    }
    for (int32_t i = 0; i < p->n_tab; i++)
        if (p->p_tab[i] == po) return i;
    return -1;
}

int32_t Us_infix_ptr(Us* p, void* po, int32_t idx) {
    if (p == NULL) {
        CON_LOG("error", "p == NULL\n");
        return -1;
    }
    if (po == NULL) {
        CON_LOG("error", "po == NULL\n");
        return -1;
    }
    if (idx < 0 || idx > p->n_tab) {
        CON_LOG("error", "idx=%d out of range, valid range is [0..%d]\n", idx, p->n_tab);
        return -1;
    }
    if (!us_adjust_carrier(p, p->n_tab + 1)) {
        CON_LOG("error", "__adjust_carrier failed\n");
        return -1;
    }
    for (int32_t i = p->n_tab; i > idx; i--)
        p->p_tab[i] = p->p_tab[i - 1];
    p->p_tab[idx] = po;
    p->n_tab++;
    return idx;
}

int32_t Us_infix_copy(Us* p, void* po, int32_t idx) {
    // A null array has no cb_copy to call.
    if (p == NULL) {
        CON_LOG("error", "p == NULL\n");
        return -1;
    }
    void* po_new = p->cb_copy ? p->cb_copy(po) : NULL;
    if (po_new == NULL) {
        CON_LOG("error", "po_new == NULL\n");
        return -1;
    }
    int32_t r = Us_infix_ptr(p, po_new, idx);
    if (r == -1) {
        CON_LOG("error", "Us_infix_ptr failed\n");
        us_release(p, po_new);
    }
    return r;
}

int32_t Us_prefix_ptr(Us* p, void* po) {
    return Us_infix_ptr(p, po, 0);
}

int32_t Us_prefix_copy(Us* p, void* po) {
    return Us_infix_copy(p, po, 0);
}

int32_t Us_postfix_ptr(Us* p, void* po) {
    return Us_infix_ptr(p, po, Us_get_n_elem(p));
}

int32_t Us_postfix_copy(Us* p, void* po) {
    return Us_infix_copy(p, po, Us_get_n_elem(p));
}

int Us_del_idx(Us* p, int32_t idx) {
    if (p == NULL) {
        CON_LOG("error", "p == NULL\n");
        return 0;
    }
    if (idx < 0 || idx >= p->n_tab) {
        CON_LOG("error", "idx=%d out of range, valid range is [0..%d]\n", idx, p->n_tab - 1);
        return 0;
    }
    void* po = p->p_tab[idx];
    for (int32_t i = idx; i < p->n_tab - 1; i++)
        p->p_tab[i] = p->p_tab[i + 1];
    p->n_tab--;
    us_release(p, po);
    if (!us_adjust_carrier(p, p->n_tab)) {
        CON_LOG("error", "__adjust_carrier failed\n");
        return 0;
    }
    return 1;
}

// Appends copies of the elements idx .. idx + n - 1 of p_src to p (n = -1: up
// to the end), stopping at the first missing element or failed copy. Logs in
// the name of the public function func; missing is its text for a missing
// element. The last index is computed wide, so a huge n cannot overflow.
static int us_append_range(Us* p, Us* p_src, int32_t idx, int32_t n, const char* func,
                           const char* missing) {
    int64_t last = n == -1 ? (int64_t)p_src->n_tab - 1 : (int64_t)idx + n - 1;
    for (int64_t i = idx; i <= last; i++) {
        void* el = i <= INT32_MAX ? Us_idx_to_ptr(p_src, (int32_t)i) : NULL;
        if (el == NULL) {
            Con_printf("%s-%s-%s: %s\n", "error", __FILE__, func, missing);
            return 0;
        }
        if (Us_postfix_copy(p, el) < 0) {
            Con_printf("%s-%s-%s: Us_postfix_copy failed\n", "error", __FILE__, func);
            return 0;
        }
    }
    return 1;
}

Us* Us_copy_n_elem_from_idx(Us* p, int32_t idx, int32_t n) {
    Us* pUs_new = Us_alloc_inherit(p);
    if (pUs_new == NULL) {
        CON_LOG("error", "pUs_new == NULL\n");
        return NULL;
    }
    if (!us_append_range(pUs_new, p, idx, n, __func__, "p_src == NULL")) {
        Us_free(pUs_new);
        return NULL;
    }
    return pUs_new;
}

Us* Us_copy(Us* p) {
    return Us_copy_n_elem_from_idx(p, 0, -1);
}

int Us_postfix_n_elem_from_idx(Us* p, Us* p_src, int32_t idx, int32_t n) {
    if (p == NULL) {
        CON_LOG("error", "p == NULL\n");
        return 0;
    }
    if (p_src == NULL) {
        CON_LOG("error", "p_src == NULL\n");
        return 0;
    }
    return us_append_range(p, p_src, idx, n, __func__, "p_el == NULL");
}

// Heap sort: in place, no allocation, and every index it touches is derived
// from the bounds alone, so any comparator (even one that contradicts
// itself) leaves it inside the array and lets it end after O(n log n) steps.
static void us_sift_down(void** tab, tyUs_cb_compare cmp, int64_t root, int64_t end) {
    for (;;) {
        int64_t child = 2 * root + 1;
        if (child >= end) return;
        if (child + 1 < end && cmp(tab[child], tab[child + 1]) < 0) child++;
        if (cmp(tab[root], tab[child]) >= 0) return;
        void* t = tab[root];
        tab[root] = tab[child];
        tab[child] = t;
        root = child;
    }
}

int Us_sort(Us* p) {
    if (p == NULL || p->n_tab < 2) return 1;
    tyUs_cb_compare cmp = p->cb_compare ? p->cb_compare : us_default_compare;
    void** tab = p->p_tab;
    int64_t n = p->n_tab;
    for (int64_t start = n / 2 - 1; start >= 0; start--)
        us_sift_down(tab, cmp, start, n);
    for (int64_t end = n - 1; end > 0; end--) {
        void* t = tab[0];
        tab[0] = tab[end];
        tab[end] = t;
        us_sift_down(tab, cmp, 0, end);
    }
    return 1;
}
