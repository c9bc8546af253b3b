// Growable element array: an ordered array of owned element pointers whose
// carrier grows and shrinks in pages of 16 slots.
#pragma once

#include <cstdint>

// Makes an independent copy of an element; null when it cannot.
typedef void* (*tyUs_cb_copy)(void* po);
// Releases an element.
typedef void (*tyUs_cb_free)(void* po);
// Stored and inherited, never called by the array.
typedef int32_t (*tyUs_cb_spare)(void);
// Order for Us_sort: negative when a goes before b, positive when after.
typedef int32_t (*tyUs_cb_compare)(void* a, void* b);

enum { US_PAGE_SIZE = 16 };

struct Us {
    int32_t n_tab; // elements held, at slots 0 .. n_tab - 1
    int32_t m_tab; // slots in the carrier: 16 x pages, 0 without a carrier
    void** p_tab;  // the carrier; null until the first insertion
    tyUs_cb_copy cb_copy;
    tyUs_cb_free cb_free;
    tyUs_cb_spare cb_spare_1;
    tyUs_cb_spare cb_spare_2;
    tyUs_cb_compare cb_compare;
};

// A new empty array without a carrier. Null spare and compare callbacks are
// replaced by the defaults (spare 1 returns -1, spare 2 returns 0, compare
// returns -1 for every pair). Null and "p == NULL" when out of memory.
Us* Us_alloc(tyUs_cb_copy cb_copy, tyUs_cb_free cb_free, tyUs_cb_spare cb_spare_1,
             tyUs_cb_spare cb_spare_2, tyUs_cb_compare cb_compare);
// A new empty array with the five callbacks of p_base; null when p_base is
// null (logged) or out of memory.
Us* Us_alloc_inherit(Us* p_base);
// Releases every element through cb_free from index 0 upward, then the
// carrier and the record. Accepts null. Returns 1.
int Us_free(Us* p);

// Number of elements; 0 for null.
int32_t Us_get_n_elem(Us* p);
// 1 when the array holds no element (also for null), else 0.
int Us_is_empty(Us* p);
// Releases every element (index order), keeps at most one page of carrier.
// Returns p; null for null (silently).
Us* Us_del_all(Us* p);

// The element at idx; null outside 0 .. n_tab - 1 (silently) or for a null
// array (logged).
void* Us_idx_to_ptr(Us* p, int32_t idx);
// Index of the first slot holding exactly po, or -1.
int32_t Us_ptr_to_idx(Us* p, void* po);

// Inserts po itself at idx (0 .. n_tab); the array takes it over. Returns
// idx, or -1 with the array unchanged and the caller still owning po.
int32_t Us_infix_ptr(Us* p, void* po, int32_t idx);
// Inserts a cb_copy copy of po at idx; po stays the caller's. Returns idx,
// or -1 (a copy made is released again).
int32_t Us_infix_copy(Us* p, void* po, int32_t idx);
int32_t Us_prefix_ptr(Us* p, void* po);
int32_t Us_prefix_copy(Us* p, void* po);
// Appends po itself; its index or -1.
int32_t Us_postfix_ptr(Us* p, void* po);
// Appends a copy of po; its index or -1.
int32_t Us_postfix_copy(Us* p, void* po);

// Removes the element at idx and releases it through cb_free. 1; 0 when the
// index is out of range, or when the carrier could not shrink (the element is
// gone all the same).
int Us_del_idx(Us* p, int32_t idx);

// A new array (same callbacks) with copies of n elements from idx; n = -1
// copies up to the end. Null when any element is missing or cannot be
// copied; the copies made so far are released.
Us* Us_copy_n_elem_from_idx(Us* p, int32_t idx, int32_t n);
// A copy of the whole array.
Us* Us_copy(Us* p);
// Appends copies of n elements of p_src from idx to p (n = -1: up to the
// end). 1; 0 at the first missing or failed element, the copies appended
// before staying in p.
int Us_postfix_n_elem_from_idx(Us* p, Us* p_src, int32_t idx, int32_t n);

// Sorts the elements in place ascending by cb_compare(a, b). Ends and stays
// inside the array for any comparator; the order of equal elements is not
// defined. Returns 1 (also for null).
int Us_sort(Us* p);
