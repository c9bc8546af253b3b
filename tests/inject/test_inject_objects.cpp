// Every allocation of the root, the terminal, the segment sets, the memory
// image, the growable array and the records failed in turn: each failure is
// reported by the operation's result and its line, and leaves nothing behind.
#include "alloc_inject.h"
#include "fail_each.h"

#include "con.h"
#include "dbterm.h"
#include "msrec.h"
#include "msrlin.h"
#include "msrpart.h"
#include "root.h"
#include "strx.h"
#include "us.h"
#include "uvmem.h"

#include <gtest/gtest.h>

TEST(InjectAlloc, DebugTerminal) {
    DbTerm* p = nullptr;
    InjectRuns runs = inject_fail_each([] { inject_capture_on(); },
                                       [&] {
                                           p = DbTerm_alloc(160, 200);
                                           return p != nullptr;
                                       },
                                       [&] {
                                           DbTerm_free(p);
                                           p = nullptr;
                                       });
    // The record itself fails without a line; every later piece has one.
    expect_clean_failures(runs, true);
    for (const InjectTrial& t : runs.trials)
        if (t.n > 1) {
            EXPECT_NE(t.log.find("error-"), std::string::npos) << t.n;
        }
    expect_lines(runs, {
                           "__XALLOC failed (p -> p_mutex=CspMutex_alloc ())\n",
                           "__XALLOC failed (p -> p_scr=__ALLOC ((nx_scr + 1) * ny_scr * sizeof (* "
                           "p -> p_scr)))\n",
                           "__XALLOC failed (p -> p_str=__ALLOC (p -> n_str * sizeof (* p -> "
                           "p_scr)))\n",
                       });
}

TEST(InjectAlloc, SegmentSet) {
    MsrLin* p = nullptr;
    InjectRuns runs = inject_fail_each([] { inject_capture_on(); },
                                       [&] {
                                           p = MsrLin_alloc(3, 100);
                                           return p != nullptr;
                                       },
                                       [&] {
                                           MsrLin_free(p);
                                           p = nullptr;
                                       });
    expect_clean_failures(runs, true);
    expect_lines(runs,
                 {
                     "p -> p_set_a_bytes = __ALLOC (n_set * sizeof (* p -> p_set_a_bytes)))\n",
                     "p -> p_set_n_bytes = __ALLOC (n_set * sizeof (* p -> p_set_n_bytes)))\n",
                     "p -> p_set_i_bytes = __ALLOC (n_set * sizeof (* p -> p_set_i_bytes)))\n",
                     "p -> p_set_p_bytes = __ALLOC (n_set * sizeof (* p -> p_set_p_bytes)))\n",
                     "p -> p_heap = __ALLOC (n_heap * sizeof (* p -> p_heap)))\n",
                 });
}

TEST(InjectAlloc, MemoryImageWithZones) {
    static const uint32_t a_wpz[1] = {0xFFA000};
    static const uint32_t n_wpz[1] = {0x2000};
    UvMem* p = nullptr;
    InjectRuns runs =
        inject_fail_each([] { inject_capture_on(); },
                         [&] {
                             p = UvMem_alloc_val(0, 0xFF0000, 0x10000, 1, a_wpz, n_wpz);
                             return p != nullptr;
                         },
                         [&] {
                             UvMem_free(p);
                             p = nullptr;
                         });
    expect_clean_failures(runs, true);
    expect_lines(runs,
                 {
                     "p -> p_vmem = __ALLOC (p -> n_vmem * sizeof (*p -> p_vmem)))\n",
                     "p -> p_wpz_a_mem = __ALLOC (p -> n_wpz * sizeof (* p -> p_wpz_a_mem)))\n",
                     "p -> p_wpz_n_mem = __ALLOC (p -> n_wpz * sizeof (* p -> p_wpz_n_mem)))\n",
                 });
}

TEST(InjectAlloc, Record) {
    static const uint8_t bytes[5] = {1, 2, 3, 4, 5};
    MsRec* p = nullptr;
    MsRec* p_copy = nullptr;
    InjectRuns runs = inject_fail_each([] { inject_capture_on(); },
                                       [&] {
                                           p = MsRec_alloc_val(10, 0x100, sizeof bytes, bytes);
                                           if (!p) return false;
                                           p_copy = MsRec_alloc_copy(p);
                                           return p_copy != nullptr;
                                       },
                                       [&] {
                                           MsRec_free(p);
                                           MsRec_free(p_copy);
                                           p = p_copy = nullptr;
                                       });
    // Only the byte buffer has a line; the record itself fails silently.
    expect_clean_failures(runs, true);
    expect_lines(runs, {"p -> p_bytes = __ALLOC (U_MAX (1, n_bytes)))\n"});
}

// Forty records cross two page boundaries of the carrier (16 slots a page).
TEST(InjectAlloc, ArrayGrowthLeavesTheArrayAsItWas) {
    MsRecSet* p_set = nullptr;
    bool kept_count = true;
    InjectRuns runs = inject_fail_each(
        [&] {
            inject_capture_on();
            p_set = MsRecSet_alloc();
        },
        [&] {
            for (uint32_t i = 0; i < 40; i++) {
                uint8_t b = (uint8_t)i;
                if (MsRecSet_postfix_val(p_set, 10, 0x1000 + i, 1, &b) < 0) {
                    kept_count = kept_count && Us_get_n_elem(p_set) == (int32_t)i;
                    return false;
                }
            }
            return true;
        },
        [&] {
            Us_free(p_set);
            p_set = nullptr;
        });
    expect_clean_failures(runs, true);
    EXPECT_TRUE(kept_count) << "a failed append changed the element count";
    expect_lines(runs, {"p_tab_new == NULL (__k_pages_new = 2)\n",
                        "p_tab_new == NULL (__k_pages_new = 3)\n",
                        "p -> p_bytes = __ALLOC (U_MAX (1, n_bytes)))\n"});
}

// Deleting shrinks the carrier; a failed shrink fails the result, but the
// element is gone all the same.
TEST(InjectAlloc, ArrayShrinkStillDeletes) {
    MsRecSet* p_set = nullptr;
    bool each_removed = true;
    InjectRuns runs = inject_fail_each(
        [&] {
            inject_capture_on();
            p_set = MsRecSet_alloc();
            for (uint32_t i = 0; i < 40; i++)
                MsRecSet_postfix_val(p_set, 10, i, 0, nullptr);
        },
        [&] {
            bool ok = true;
            for (int32_t n = 40; n > 0; n--) {
                if (!Us_del_idx(p_set, 0)) ok = false;
                each_removed = each_removed && Us_get_n_elem(p_set) == n - 1;
            }
            return ok;
        },
        [&] {
            Us_free(p_set);
            p_set = nullptr;
        });
    expect_clean_failures(runs, false);
    EXPECT_TRUE(each_removed);
    expect_lines(runs, {"p_tab_new == NULL (__k_pages_new = "});
}

TEST(InjectAlloc, RootAlloc) {
    Root* p = nullptr;
    InjectRuns runs = inject_fail_each([] { inject_capture_on(); },
                                       [&] {
                                           p = Root_alloc();
                                           return p != nullptr;
                                       },
                                       [&] {
                                           Root_free(p);
                                           p = nullptr;
                                           inject_capture_on();
                                       });
    // No memory for the record itself: null without a line.
    expect_clean_failures(runs, true);
    for (const InjectTrial& t : runs.trials)
        if (t.n > 1) {
            EXPECT_NE(t.log.find("error-"), std::string::npos) << t.n;
        }
    expect_lines(runs, {
                           "p -> p_db_term = DbTerm_alloc (160, 200))\n",
                           "p -> p_vm = UvMem_alloc_as_orvo_code_k52 ())\n",
                           // Memory for the program's path runs out in the path resolver.
                           "GetFullPathName failed (last_error=0000000c,12\n",
                       });
}

// A failed loading leaves is_loaded at 0 and the image null; the next call
// loads again and succeeds.
TEST(InjectAlloc, FirstImageLoading) {
    Root* p = nullptr;
    bool vm_null_on_failure = true;
    bool retry_loads = true;
    InjectRuns runs = inject_fail_each(
        [&] {
            p = Root_alloc();
            inject_capture_on();
        },
        [&] { return check_is_loaded(p) == 1; },
        [&] {
            if (p && p->is_loaded != 1) {
                vm_null_on_failure = vm_null_on_failure && p->p_vm == nullptr;
                retry_loads = retry_loads && check_is_loaded(p) == 1 && p->n_bytes_appl > 0;
            }
            Root_free(p);
            p = nullptr;
        });
    expect_clean_failures(runs, false);
    EXPECT_TRUE(vm_null_on_failure);
    EXPECT_TRUE(retry_loads);
    expect_lines(runs, {"p -> p_vm = UvMem_alloc_as_orvo_code_k52 ())\n"});
}

// Copies: a whole record set, a node set of the partition builder and a
// text. A failed copy is null and takes back whatever it had copied.
TEST(InjectAlloc, CopiesOfSetsAndTexts) {
    MsRecSet* p_recs = MsRecSet_alloc();
    MsrNodeSet* p_nodes = MsrNodeSet_alloc();
    for (uint32_t i = 0; i < 20; i++) {
        uint8_t b = (uint8_t)i;
        MsRecSet_postfix_val(p_recs, 10, 0x100 * i, 1, &b);
    }
    for (int32_t i = 0; i < 20; i++)
        MsrNodeSet_postfix_val(p_nodes, MsRecSet_idx_to_ptr(p_recs, i));
    Us* p_recs_copy = nullptr;
    Us* p_nodes_copy = nullptr;
    char* p_text = nullptr;
    InjectRuns runs = inject_fail_each([] { inject_capture_on(); },
                                       [&] {
                                           p_recs_copy = Us_copy(p_recs);
                                           if (!p_recs_copy || Us_get_n_elem(p_recs_copy) != 20)
                                               return false;
                                           p_nodes_copy = Us_copy(p_nodes);
                                           if (!p_nodes_copy || Us_get_n_elem(p_nodes_copy) != 20)
                                               return false;
                                           p_text = strx_dup("COM1");
                                           return p_text != nullptr;
                                       },
                                       [&] {
                                           Us_free(p_recs_copy);
                                           Us_free(p_nodes_copy);
                                           strx_free(p_text);
                                           p_recs_copy = p_nodes_copy = nullptr;
                                           p_text = nullptr;
                                       });
    Us_free(p_nodes);
    Us_free(p_recs);
    expect_clean_failures(runs, true);
    expect_lines(runs, {"po_new == NULL\n"});
}
