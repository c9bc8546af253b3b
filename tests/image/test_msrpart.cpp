// Coherent partitions: the documented examples, a differential test against the literal pairwise
// joining, and a large set.
#include "con.h"
#include "recording_window.h"
#include "msrpart.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <tuple>
#include <vector>

namespace {

// The console text the expected lines make up.
std::string cat(const std::vector<std::string>& lines) {
    std::string s;
    for (const std::string& l : lines)
        s += l;
    return s;
}

// Records whose bytes are their address's low byte counting up, so that a
// partition's bytes show where each piece came from.
MsRecSet* set_of(const std::vector<std::pair<uint32_t, uint32_t>>& adr_len) {
    MsRecSet* p = MsRecSet_alloc();
    for (auto [adr, len] : adr_len) {
        std::vector<uint8_t> b(len);
        for (uint32_t k = 0; k < len; k++)
            b[k] = (uint8_t)(adr + k);
        MsRecSet_postfix_val(p, MSREC_TAG_DATA, adr, len, b.data());
    }
    return p;
}

// A partition as (tag, address, length); with the records of set_of its
// bytes count up from its address, which this checks.
using Part = std::tuple<int32_t, uint32_t, uint32_t>;

std::vector<Part> parts_of(MsRecSet* p) {
    std::vector<Part> out;
    for (int32_t i = 0; i < Us_get_n_elem(p); i++) {
        MsRec* r = MsRecSet_idx_to_ptr(p, i);
        uint32_t k = 0;
        while (k < r->n_bytes && r->p_bytes[k] == (uint8_t)(r->adr + k))
            k++;
        EXPECT_EQ(k, r->n_bytes) << "bytes of partition " << i;
        out.push_back({r->tag, r->adr, r->n_bytes});
    }
    return out;
}

Part part(uint32_t adr, uint32_t len) {
    return {MSREC_TAG_DATA, adr, len};
}

std::string E(const char* function, const std::string& text) {
    return std::string("error-src/image/msrpart.cpp-") + function + ": " + text;
}

// ------------------------------------------------------------ examples

struct Example {
    const char* name;
    std::vector<std::pair<uint32_t, uint32_t>> records;
    std::vector<Part> partitions;
    uint32_t total;
};

std::vector<Example> examples() {
    return {
        {"AscendingWithGap",
         {{0x100, 16}, {0x110, 16}, {0x200, 8}},
         {part(0x100, 32), part(0x200, 8)},
         40},
        {"DescendingWithGap",
         {{0x200, 8}, {0x110, 16}, {0x100, 16}},
         {part(0x200, 8), part(0x100, 32)},
         40},
        {"ThirdTouchesTheFirstButStaysApart",
         {{0x110, 16}, {0x100, 16}, {0x120, 16}},
         {part(0x100, 32), part(0x120, 16)},
         48},
        {"OneByteGapSeparates", {{0x100, 16}, {0x111, 16}}, {part(0x100, 16), part(0x111, 16)}, 32},
        {"ZeroLengthRecordInARun", {{0x100, 16}, {0x110, 0}, {0x110, 4}}, {part(0x100, 20)}, 20},
        {"RunAcrossTheTopOfTheAddressSpace", {{0xFFFFFFF8, 8}, {0, 8}}, {part(0xFFFFFFF8, 16)}, 16},
        {"Empty", {}, {}, 0},
    };
}

struct MsrPartExample : ::testing::TestWithParam<Example> {};

TEST_P(MsrPartExample, GivesThePartitionsInRootOrder) {
    const Example& c = GetParam();
    MsRecSet* src = set_of(c.records);
    MsRecSet* dst = MsRecSet_alloc();
    LogCapture log;
    EXPECT_EQ(MsrPart_create_coherent_partitions(dst, src), 1);
    EXPECT_EQ(parts_of(dst), c.partitions);
    EXPECT_EQ(log.text(),
              cat({"totally " + std::to_string(c.total) + " bytes to be transferred\n"}));
    EXPECT_EQ(Us_get_n_elem(src), (int32_t)c.records.size());
    Us_free(src);
    Us_free(dst);
}

INSTANTIATE_TEST_SUITE_P(Sets, MsrPartExample, ::testing::ValuesIn(examples()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(MsrPart, RepeatedAddressFailsInCollect) {
    MsRecSet* src = set_of({{0x100, 16}, {0x100, 16}, {0x110, 16}});
    MsRecSet* dst = MsRecSet_alloc();
    LogCapture log;
    EXPECT_EQ(MsrPart_create_coherent_partitions(dst, src), 0);
    EXPECT_EQ(log.text(),
              cat({E("collect_byte_data_of_root", "root(adr=00000100 len=48) i_bytes=32\n"),
                   E("build_records_from_roots", "collect_byte_data_of_root failed\n"),
                   E("MsrPart_create_coherent_partitions",
                     "! build_records_from_roots (p_dst, p_node_set)\n")}));
    EXPECT_EQ(Us_get_n_elem(dst), 0);
    Us_free(src);
    Us_free(dst);
}

TEST(MsrPart, StartAddressRecordsTakeNoPart) {
    MsRecSet* src = MsRecSet_alloc();
    MsRecSet_postfix_val(src, MSREC_TAG_START_ADR, 0x100, 0, nullptr);
    MsRecSet* dst = MsRecSet_alloc();
    LogCapture log;
    EXPECT_EQ(MsrPart_create_coherent_partitions(dst, src), 1);
    EXPECT_EQ(Us_get_n_elem(dst), 0);
    EXPECT_EQ(log.text(), cat({"totally 0 bytes to be transferred\n"}));
    // Between data records, a start record does not break a run either.
    MsRecSet* src2 = set_of({{0x100, 4}});
    MsRecSet_postfix_val(src2, MSREC_TAG_START_ADR, 0x104, 0, nullptr);
    uint8_t b[4] = {4, 5, 6, 7};
    MsRecSet_postfix_val(src2, MSREC_TAG_DATA, 0x104, 4, b);
    EXPECT_EQ(MsrPart_create_coherent_partitions(dst, src2), 1);
    EXPECT_EQ(parts_of(dst), std::vector<Part>({part(0x100, 8)}));
    Us_free(src);
    Us_free(src2);
    Us_free(dst);
}

TEST(MsrPart, NullSetsAreLogged) {
    MsRecSet* p = MsRecSet_alloc();
    LogCapture log;
    EXPECT_EQ(MsrPart_create_coherent_partitions(nullptr, nullptr), 0);
    EXPECT_EQ(MsrPart_create_coherent_partitions(p, nullptr), 0);
    const char* f = "MsrPart_create_coherent_partitions";
    EXPECT_EQ(log.text(),
              cat({E(f, "p_dst == NULL\n"), E(f, "p_src == NULL\n"), E(f, "p_src == NULL\n")}));
    EXPECT_EQ(MsrNode_alloc_val(nullptr), nullptr);
    EXPECT_EQ(MsrNodeSet_postfix_val(nullptr, MsRecSet_idx_to_ptr(p, 0)), -1);
    EXPECT_EQ(MsrNode_get_root(nullptr), nullptr);
    Us_free(p);
}

TEST(MsrNode, RootLookupCompressesThePath) {
    MsRec* r = MsRec_alloc_val(MSREC_TAG_DATA, 0, 1, nullptr);
    MsrNode* n[4];
    for (auto& x : n)
        x = MsrNode_alloc_val(r);
    n[1]->p_parent = n[0];
    n[2]->p_parent = n[1];
    n[3]->p_parent = n[2];
    EXPECT_EQ(MsrNode_get_root(n[3]), n[0]);
    EXPECT_EQ(n[3]->p_parent, n[0]);
    EXPECT_EQ(n[2]->p_parent, n[0]);
    EXPECT_EQ(n[1]->p_parent, n[0]);
    EXPECT_EQ(n[0]->p_parent, nullptr);
    MsrNode* c = MsrNode_alloc_copy(n[3]);
    EXPECT_EQ(c->p_parent, n[0]);
    EXPECT_EQ(c->p_rec, r);
    MsrNode_free(c);
    for (auto& x : n)
        MsrNode_free(x);
    MsRec_free(r);
}

// ------------------------------------------------ pairwise reference

MsrNode* ref_root(MsrNode* p) {
    MsrNode* r = p;
    while (r->p_parent)
        r = r->p_parent;
    while (p != r) {
        MsrNode* up = p->p_parent;
        if (up != r) p->p_parent = r;
        p = up;
    }
    return r;
}

void ref_join(MsrNode* a, MsrNode* b) {
    MsrNode* ra = ref_root(a);
    MsrNode* rb = ref_root(b);
    a->p_next = b;
    rb->p_parent = ra;
    ra->n_bytes += rb->n_bytes;
}

bool ref_before(MsrNode* a, MsrNode* b) {
    return (uint32_t)(a->p_rec->adr + a->p_rec->n_bytes) == b->p_rec->adr;
}

// create_roots as first written: every node against every later one.
void ref_create_roots(MsrNodeSet* p) {
    int32_t n = Us_get_n_elem(p);
    for (int32_t i = 0; i < n; i++) {
        MsrNode* a = static_cast<MsrNode*>(Us_idx_to_ptr(p, i));
        MsrNode* ra = ref_root(a);
        for (int32_t j = i + 1; j < n; j++) {
            MsrNode* b = static_cast<MsrNode*>(Us_idx_to_ptr(p, j));
            if (ref_root(b) == ra) continue;
            if (ref_before(a, b)) {
                ref_join(a, b);
                break;
            }
            if (ref_before(b, a)) {
                ref_join(b, a);
                break;
            }
        }
    }
}

// Per node: index of its root, index of p_next (-1), and the root's total.
struct Shape {
    std::vector<int32_t> root, next;
    std::vector<uint32_t> n_bytes;
    bool operator==(const Shape&) const = default;
};

Shape shape_of(MsrNodeSet* p) {
    std::map<MsrNode*, int32_t> idx;
    int32_t n = Us_get_n_elem(p);
    for (int32_t i = 0; i < n; i++)
        idx[static_cast<MsrNode*>(Us_idx_to_ptr(p, i))] = i;
    Shape s;
    for (int32_t i = 0; i < n; i++) {
        MsrNode* x = static_cast<MsrNode*>(Us_idx_to_ptr(p, i));
        MsrNode* r = ref_root(x);
        s.root.push_back(idx[r]);
        s.next.push_back(x->p_next ? idx[x->p_next] : -1);
        s.n_bytes.push_back(r == x ? x->n_bytes : 0);
    }
    return s;
}

enum Order { ASCENDING, DESCENDING, SHUFFLED, PARTLY_SHUFFLED };

// Random record sets: runs with gaps, zero-length records, overlaps,
// duplicates, start records, and addresses near the top of the space.
MsRecSet* random_set(std::mt19937& rng, int32_t n, Order order, int overlap_pct, int dup_pct) {
    std::vector<std::pair<uint32_t, uint32_t>> recs;
    uint32_t adr = rng() % 4 == 0 ? 0xFFFFFF00u : rng() % 0x10000;
    while ((int32_t)recs.size() < n) {
        uint32_t len = rng() % 8 == 0 ? 0 : 1 + rng() % 24;
        if ((int)(rng() % 100) < overlap_pct) adr -= rng() % 16;
        recs.push_back({adr, len});
        if ((int)(rng() % 100) < dup_pct) recs.push_back(recs[rng() % recs.size()]);
        adr += len;
        if (rng() % 6 == 0) adr += 1 + rng() % 3;
    }
    if (order == DESCENDING) std::reverse(recs.begin(), recs.end());
    if (order == SHUFFLED) std::shuffle(recs.begin(), recs.end(), rng);
    if (order == PARTLY_SHUFFLED)
        for (size_t k = 0; k + 1 < recs.size(); k++)
            if (rng() % 5 == 0)
                std::swap(recs[k], recs[k + 1 + rng() % std::min<size_t>(4, recs.size() - k - 1)]);
    MsRecSet* p = set_of(recs);
    if (rng() % 3 == 0) MsRecSet_postfix_val(p, MSREC_TAG_START_ADR, 0, 0, nullptr);
    return p;
}

TEST(MsrPartDifferential, IndexedJoiningMatchesThePairwiseReference) {
    std::mt19937 rng(11);
    LogCapture log;
    int n_ok = 0, n_failed = 0;
    for (int round = 0; round < 1200; round++) {
        Order order = (Order)(round % 4);
        int overlap = round % 3 == 0 ? 0 : (int)(rng() % 20);
        int dup = round % 5 < 2 ? 0 : (int)(rng() % 15);
        int32_t n = 1 + (int32_t)(rng() % (round % 10 == 0 ? 600 : 60));
        MsRecSet* src = random_set(rng, n, order, overlap, dup);
        SCOPED_TRACE("round " + std::to_string(round));

        MsrNodeSet* ref = MsrNodeSet_alloc();
        MsrNodeSet* idx = MsrNodeSet_alloc();
        ASSERT_EQ(create_node_set(ref, src), 1);
        ASSERT_EQ(create_node_set(idx, src), 1);
        ref_create_roots(ref);
        ASSERT_EQ(create_roots(idx), 1);
        ASSERT_EQ(shape_of(idx), shape_of(ref));

        MsRecSet* dst_ref = MsRecSet_alloc();
        MsRecSet* dst = MsRecSet_alloc();
        log.clear();
        int r_ref = build_records_from_roots(dst_ref, ref);
        std::string log_ref = log.text();
        log.clear();
        int r = MsrPart_create_coherent_partitions(dst, src);
        ASSERT_EQ(r, r_ref);
        ASSERT_EQ(parts_of(dst), parts_of(dst_ref));
        // The same lines, plus the caller's line after a failure.
        if (!r)
            log_ref += E("MsrPart_create_coherent_partitions",
                         "! build_records_from_roots (p_dst, p_node_set)\n");
        ASSERT_EQ(log.text(), log_ref);
        (r ? n_ok : n_failed)++;
        Us_free(ref);
        Us_free(idx);
        Us_free(dst_ref);
        Us_free(dst);
        Us_free(src);
    }
    // Both outcomes were exercised.
    EXPECT_GT(n_ok, 300);
    EXPECT_GT(n_failed, 100);
}

// A large set: ascending runs with gaps, then shuffled. The index keeps the
// joining near-linear (pairwise, the shuffled set needs ~n^2/2 comparisons).
TEST(MsrPartScale, LargeShuffledSet) {
    const int32_t n = 100000;
    std::mt19937 rng(12);
    std::vector<std::pair<uint32_t, uint32_t>> recs;
    std::vector<Part> runs; // the gapless runs, ascending
    uint32_t adr = 0x1000;
    uint32_t run_start = adr;
    for (int32_t i = 0; i < n; i++) {
        uint32_t len = 1 + rng() % 16;
        recs.push_back({adr, len});
        adr += len;
        if (rng() % 1000 == 0 || i == n - 1) {
            runs.push_back(part(run_start, adr - run_start));
            adr += 1 + rng() % 8;
            run_start = adr;
        }
    }
    auto partition = [&](const char* what) {
        MsRecSet* src = set_of(recs);
        MsRecSet* dst = MsRecSet_alloc();
        LogCapture log;
        auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(MsrPart_create_coherent_partitions(dst, src), 1);
        double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        std::vector<Part> parts = parts_of(dst);
        printf("%s: %d records, %zu partitions, %.3f s\n", what, n, parts.size(), s);
        Us_free(src);
        Us_free(dst);
        return parts;
    };
    EXPECT_EQ(partition("ascending"), runs);

    // Shuffled, runs may end split, but each partition lies inside one run
    // and together they hold every byte.
    std::shuffle(recs.begin(), recs.end(), rng);
    std::vector<Part> parts = partition("shuffled");
    std::sort(parts.begin(), parts.end(),
              [](const Part& a, const Part& b) { return std::get<1>(a) < std::get<1>(b); });
    size_t i_run = 0;
    uint32_t next = std::get<1>(runs[0]);
    for (const Part& p : parts) {
        auto [tag, a, len] = p;
        if (a != next) {
            ASSERT_EQ(next, std::get<1>(runs[i_run]) + std::get<2>(runs[i_run]));
            ASSERT_LT(++i_run, runs.size());
            ASSERT_EQ(a, std::get<1>(runs[i_run]));
        }
        next = a + len;
    }
    EXPECT_EQ(i_run, runs.size() - 1);
    EXPECT_EQ(next, std::get<1>(runs.back()) + std::get<2>(runs.back()));
}

} // namespace
