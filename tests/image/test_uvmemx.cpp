// Record-set conversions: record sets into segment sets, and into memory images with and without
// the overlap check.
#include "con.h"
#include "recording_window.h"
#include "msrlin.h"
#include "uvmem.h"
#include "uvmemx.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// The console text the expected lines make up.
std::string cat(const std::vector<std::string>& lines) {
    std::string s;
    for (const std::string& l : lines)
        s += l;
    return s;
}

void add(MsRecSet* p, int32_t tag, uint32_t adr, std::vector<uint8_t> bytes) {
    MsRecSet_postfix_val(p, tag, adr, (uint32_t)bytes.size(), bytes.data());
}

std::vector<uint8_t> read_back(const UvMem* p, uint32_t adr, uint32_t n) {
    std::vector<uint8_t> v;
    for (uint32_t k = 0; k < n; k++)
        v.push_back(UvMem_read_byte(p, adr + k));
    return v;
}

// ---------------------------------------------------------- segment sets

TEST(MsrLinFromRecSet, TakesDataRecordsInOrderAndSkipsStartRecords) {
    MsRecSet* p = MsRecSet_alloc();
    add(p, MSREC_TAG_START_ADR, 0x400000, {});
    add(p, MSREC_TAG_DATA, 0x400000, {1, 2, 3});
    add(p, MSREC_TAG_START_ADR, 0x123, {});
    add(p, MSREC_TAG_DATA, 0x400003, {4, 5}); // adjacent: still its own segment
    add(p, MSREC_TAG_DATA, 0x500000, {});     // zero length
    add(p, MSREC_TAG_DATA, 0x100, {6});
    MsrLin* s = MsrLin_alloc_from_rec_set(p);
    ASSERT_NE(s, nullptr);
    ASSERT_EQ(MsrLin_get_n_set(s), 4);
    EXPECT_EQ(MsrLin_get_n_heap(s), 6);
    const uint32_t a[4] = {0x400000, 0x400003, 0x500000, 0x100};
    const uint32_t n[4] = {3, 2, 0, 1};
    const int32_t i[4] = {0, 3, 5, 5};
    for (int k = 0; k < 4; k++) {
        SCOPED_TRACE(k);
        EXPECT_EQ(MsrLin_get_p_set_a_bytes(s)[k], a[k]);
        EXPECT_EQ(MsrLin_get_p_set_n_bytes(s)[k], n[k]);
        EXPECT_EQ(MsrLin_get_p_set_i_bytes(s)[k], i[k]);
        EXPECT_EQ(MsrLin_get_p_set_p_bytes(s)[k], MsrLin_get_p_heap(s) + i[k]);
    }
    // The zero-length segment points where the next one starts.
    EXPECT_EQ(MsrLin_get_p_set_p_bytes(s)[2], MsrLin_get_p_set_p_bytes(s)[3]);
    const uint8_t* h = MsrLin_get_p_heap(s);
    EXPECT_EQ(std::vector<uint8_t>(h, h + 6), std::vector<uint8_t>({1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(Us_get_n_elem(p), 6);
    MsrLin_free(s);
    Us_free(p);
}

TEST(MsrLinFromRecSet, SetWithoutDataRecordsGivesAnEmptySegmentSet) {
    MsRecSet* p = MsRecSet_alloc();
    add(p, MSREC_TAG_START_ADR, 0, {});
    MsrLin* s = MsrLin_alloc_from_rec_set(p);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(MsrLin_get_n_set(s), 0);
    EXPECT_EQ(MsrLin_get_n_heap(s), 0);
    MsrLin_free(s);
    Us_free(p);
    EXPECT_EQ(MsrLin_alloc_from_rec_set(nullptr), nullptr);
}

// ------------------------------------------------------------- plain write

TEST(UvMemMsRecSetWrite, WritesEveryRecordSilently) {
    UvMem* m = UvMem_alloc_val(1, 0x1000, 16, 0, nullptr, nullptr);
    UvMem_fill(m, 0xFF);
    MsRecSet* p = MsRecSet_alloc();
    add(p, MSREC_TAG_DATA, 0x1000, {1, 2});
    add(p, MSREC_TAG_START_ADR, 0x1004, {});
    add(p, MSREC_TAG_DATA, 0x1001, {7, 8}); // overwrites without a word
    LogCapture log;
    uint32_t adr_error = 0xDEAD;
    EXPECT_EQ(UvMem_MsRecSet_write(m, p, &adr_error), 0);
    EXPECT_EQ(adr_error, 0xDEADu);
    EXPECT_EQ(read_back(m, 0x1000, 5), std::vector<uint8_t>({1, 7, 8, 0xFF, 0xFF}));
    EXPECT_TRUE(log.text().empty());
    EXPECT_EQ(UvMem_MsRecSet_write(nullptr, p, nullptr), 1);
    EXPECT_EQ(UvMem_MsRecSet_write(m, nullptr, nullptr), 1);
    Us_free(p);
    UvMem_free(m);
}

TEST(UvMemMsRecSetWrite, RecordPastTheEndWritesUpToTheEnd) {
    UvMem* m = UvMem_alloc_val(1, 0x1000, 16, 0, nullptr, nullptr);
    UvMem_fill(m, 0xFF);
    MsRecSet* p = MsRecSet_alloc();
    add(p, MSREC_TAG_DATA, 0x1000, {1, 2, 3});
    add(p, MSREC_TAG_DATA, 0x100E, {4, 5, 6, 7});
    add(p, MSREC_TAG_DATA, 0x1003, {9}); // not reached
    uint32_t adr_error = 0;
    EXPECT_EQ(UvMem_MsRecSet_write(m, p, &adr_error), 2);
    EXPECT_EQ(adr_error, 0x1010u);
    EXPECT_EQ(read_back(m, 0x1000, 4), std::vector<uint8_t>({1, 2, 3, 0xFF}));
    EXPECT_EQ(read_back(m, 0x100E, 2), std::vector<uint8_t>({4, 5}));
    EXPECT_EQ(UvMem_MsRecSet_write(m, p, nullptr), 2);
    Us_free(p);
    UvMem_free(m);
}

TEST(UvMemMsRecSetWrite, StopsAtAWriteProtectedZone) {
    UvMem* m = UvMem_alloc_as_region_ff0000();
    UvMem_fill(m, 0xFF);
    MsRecSet* p = MsRecSet_alloc();
    add(p, MSREC_TAG_DATA, 0xFF9FFE, {1, 2, 3});
    uint32_t adr_error = 0;
    EXPECT_EQ(UvMem_MsRecSet_write(m, p, &adr_error), 2);
    EXPECT_EQ(adr_error, 0xFFA000u);
    EXPECT_EQ(read_back(m, 0xFF9FFE, 3), std::vector<uint8_t>({1, 2, 0xFF}));
    Us_free(p);
    UvMem_free(m);
}

// ------------------------------------------------------- checked write

std::string warning(uint32_t adr) {
    char text[128];
    snprintf(text, sizeof(text),
             "warning-src/image/uvmemx.cpp-UvMem_MsRecSet_write_ex: multiple write access at "
             "address %08x\n",
             adr);
    return text;
}

TEST(UvMemMsRecSetWriteEx, KeepsTheFirstRecordsBytesAndWarnsPerLocation) {
    UvMem* m = UvMem_alloc_as_orvo_code_k52();
    UvMem_fill(m, 0xFF);
    MsRecSet* p = MsRecSet_alloc();
    add(p, MSREC_TAG_DATA, 0x80000, {1, 0xFF, 3, 4});
    add(p, MSREC_TAG_START_ADR, 0x80000, {});
    add(p, MSREC_TAG_DATA, 0x80001, {9, 9, 9, 9});
    LogCapture log;
    uint32_t adr_error = 0;
    EXPECT_EQ(UvMem_MsRecSet_write_ex(m, p, 0xFF, &adr_error), UVMEMX_RES_MULTIPLE_WRITE);
    EXPECT_EQ(adr_error, 0x80003u);
    // Where the first record left the empty value the second one writes.
    EXPECT_EQ(read_back(m, 0x80000, 6), std::vector<uint8_t>({1, 9, 3, 4, 9, 0xFF}));
    EXPECT_EQ(log.text(), cat({warning(0x80002), warning(0x80003)}));
    Us_free(p);
    UvMem_free(m);
}

TEST(UvMemMsRecSetWriteEx, DisjointRecordsGiveZero) {
    UvMem* m = UvMem_alloc_val(1, 0x1000, 16, 0, nullptr, nullptr);
    UvMem_fill(m, 0);
    MsRecSet* p = MsRecSet_alloc();
    add(p, MSREC_TAG_DATA, 0x1000, {1, 2});
    add(p, MSREC_TAG_DATA, 0x1002, {3});
    LogCapture log;
    // Only the low 8 bits of empty_value count.
    EXPECT_EQ(UvMem_MsRecSet_write_ex(m, p, 0x100, nullptr), 0);
    EXPECT_EQ(read_back(m, 0x1000, 4), std::vector<uint8_t>({1, 2, 3, 0}));
    EXPECT_TRUE(log.text().empty());
    EXPECT_EQ(UvMem_MsRecSet_write_ex(nullptr, p, 0xFF, nullptr), 1);
    EXPECT_EQ(UvMem_MsRecSet_write_ex(m, nullptr, 0xFF, nullptr), 1);
    Us_free(p);
    UvMem_free(m);
}

TEST(UvMemMsRecSetWriteEx, NotWritableAddressStopsWithTwo) {
    UvMem* m = UvMem_alloc_val(1, 0x1000, 4, 0, nullptr, nullptr);
    UvMem_fill(m, 0xFF);
    MsRecSet* p = MsRecSet_alloc();
    add(p, MSREC_TAG_DATA, 0x1000, {1});
    add(p, MSREC_TAG_DATA, 0x1000, {2}); // already written: warning, walk goes on
    add(p, MSREC_TAG_DATA, 0x1003, {3, 4});
    add(p, MSREC_TAG_DATA, 0x1001, {5}); // not reached
    LogCapture log;
    uint32_t adr_error = 0;
    EXPECT_EQ(UvMem_MsRecSet_write_ex(m, p, 0xFF, &adr_error), 2);
    EXPECT_EQ(adr_error, 0x1004u);
    EXPECT_EQ(read_back(m, 0x1000, 4), std::vector<uint8_t>({1, 0xFF, 0xFF, 3}));
    EXPECT_EQ(log.text(), cat({warning(0x1000)}));
    Us_free(p);
    UvMem_free(m);
}

} // namespace
