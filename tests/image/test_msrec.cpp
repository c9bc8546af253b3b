// S-records and record sets: record buffers, copies, appends and tag filtering.
#include "con.h"
#include "recording_window.h"
#include "msrec.h"

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

std::vector<int32_t> tags_of(MsRecSet* p) {
    std::vector<int32_t> tags;
    for (int32_t i = 0; i < Us_get_n_elem(p); i++)
        tags.push_back(MsRec_get_tag(MsRecSet_idx_to_ptr(p, i)));
    return tags;
}

TEST(MsRec, ZeroLengthRecordStillOwnsABuffer) {
    MsRec* p = MsRec_alloc_val(MSREC_TAG_DATA, 0x100, 0, nullptr);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(MsRec_get_tag(p), 10);
    EXPECT_EQ(MsRec_get_adr(p), 0x100u);
    EXPECT_EQ(MsRec_get_n_bytes(p), 0u);
    EXPECT_NE(MsRec_get_p_bytes(p), nullptr);
    MsRec_free(p);
}

TEST(MsRec, CopyHasItsOwnBytes) {
    const uint8_t bytes[3] = {1, 2, 3};
    MsRec* p = MsRec_alloc_val(MSREC_TAG_DATA, 0x200, 3, bytes);
    MsRec* q = MsRec_alloc_copy(p);
    ASSERT_NE(q, nullptr);
    EXPECT_NE(q->p_bytes, p->p_bytes);
    p->p_bytes[0] = 0x55;
    MsRec_free(p);
    EXPECT_EQ(MsRec_get_tag(q), 10);
    EXPECT_EQ(MsRec_get_adr(q), 0x200u);
    ASSERT_EQ(MsRec_get_n_bytes(q), 3u);
    EXPECT_EQ(std::vector<uint8_t>(q->p_bytes, q->p_bytes + 3), std::vector<uint8_t>({1, 2, 3}));
    MsRec_free(q);
}

TEST(MsRec, NullRecordReadsAsNeutral) {
    EXPECT_EQ(MsRec_get_tag(nullptr), 0);
    EXPECT_EQ(MsRec_get_adr(nullptr), 0u);
    EXPECT_EQ(MsRec_get_n_bytes(nullptr), 0u);
    EXPECT_EQ(MsRec_get_p_bytes(nullptr), nullptr);
    EXPECT_EQ(MsRec_alloc_copy(nullptr), nullptr);
    MsRec_free(nullptr);
}

TEST(MsRecSet, PostfixValAppendsInOrder) {
    MsRecSet* p = MsRecSet_alloc();
    const uint8_t b[2] = {0xAA, 0xBB};
    EXPECT_EQ(MsRecSet_postfix_val(p, MSREC_TAG_DATA, 0x10, 2, b), 0);
    EXPECT_EQ(MsRecSet_postfix_val(p, MSREC_TAG_DATA, 0x20, 0, nullptr), 1);
    EXPECT_EQ(MsRecSet_postfix_val(p, MSREC_TAG_START_ADR, 0x30, 0, nullptr), 2);
    EXPECT_EQ(Us_get_n_elem(p), 3);
    MsRec* r = MsRecSet_idx_to_ptr(p, 0);
    EXPECT_EQ(r->p_bytes[1], 0xBB);
    EXPECT_EQ(MsRec_get_adr(MsRecSet_idx_to_ptr(p, 2)), 0x30u);
    EXPECT_EQ(MsRecSet_idx_to_ptr(p, 3), nullptr);
    EXPECT_EQ(MsRecSet_postfix_val(nullptr, MSREC_TAG_DATA, 0, 0, nullptr), -1);
    Us_free(p);
}

TEST(MsRecSet, PostfixCopyStoresACopy) {
    MsRecSet* p = MsRecSet_alloc();
    MsRec* r = MsRec_alloc_val(MSREC_TAG_DATA, 7, 1, nullptr);
    r->p_bytes[0] = 9;
    EXPECT_EQ(MsRecSet_postfix_copy(p, r), 0);
    EXPECT_NE(MsRecSet_idx_to_ptr(p, 0), r);
    MsRec_free(r);
    EXPECT_EQ(MsRecSet_idx_to_ptr(p, 0)->p_bytes[0], 9);
    Us_free(p);
}

TEST(MsRecSet, CopyByTagCopiesMatchingRecordsInSourceOrder) {
    MsRecSet* src = MsRecSet_alloc();
    MsRecSet_postfix_val(src, 10, 0x100, 0, nullptr);
    MsRecSet_postfix_val(src, 11, 0x200, 0, nullptr);
    MsRecSet_postfix_val(src, 10, 0x300, 0, nullptr);
    MsRecSet* dst = MsRecSet_alloc();
    EXPECT_EQ(MsRecSet_postfix_copy_by_tag(dst, src, 10), 2);
    ASSERT_EQ(Us_get_n_elem(dst), 2);
    EXPECT_EQ(MsRec_get_adr(MsRecSet_idx_to_ptr(dst, 0)), 0x100u);
    EXPECT_EQ(MsRec_get_adr(MsRecSet_idx_to_ptr(dst, 1)), 0x300u);
    EXPECT_EQ(Us_get_n_elem(src), 3);
    EXPECT_EQ(MsRecSet_postfix_copy_by_tag(nullptr, src, 10), -1);
    EXPECT_EQ(MsRecSet_postfix_copy_by_tag(dst, nullptr, 10), -1);
    Us_free(src);
    Us_free(dst);
}

TEST(MsRecSet, DelTagsNotInListWalksDownAndLogsEachDeletion) {
    MsRecSet* p = MsRecSet_alloc();
    const int32_t tags[4] = {10, 11, 10, 11};
    for (int i = 0; i < 4; i++)
        MsRecSet_postfix_val(p, tags[i], 0x100u * i, 0, nullptr);
    const int32_t keep[1] = {10};
    LogCapture log;
    EXPECT_EQ(MsRecSet_del_tags_not_in_list(p, 1, keep), 1);
    EXPECT_EQ(log.text(), cat(std::vector<std::string>(2, "tag 11 is not in list, delete it\n")));
    ASSERT_EQ(tags_of(p), std::vector<int32_t>({10, 10}));
    EXPECT_EQ(MsRec_get_adr(MsRecSet_idx_to_ptr(p, 0)), 0u);
    EXPECT_EQ(MsRec_get_adr(MsRecSet_idx_to_ptr(p, 1)), 0x200u);
    Us_free(p);
}

TEST(MsRecSet, DelTagsWithEmptyListDeletesAll) {
    MsRecSet* p = MsRecSet_alloc();
    MsRecSet_postfix_val(p, 10, 0, 0, nullptr);
    MsRecSet_postfix_val(p, 11, 0, 0, nullptr);
    const int32_t keep[1] = {10};
    LogCapture log;
    EXPECT_EQ(MsRecSet_del_tags_not_in_list(p, 0, keep), 1);
    EXPECT_EQ(Us_get_n_elem(p), 0);
    EXPECT_EQ(log.text(), "tag 11 is not in list, delete it\ntag 10 is not in list, delete it\n");
    EXPECT_EQ(MsRecSet_del_tags_not_in_list(nullptr, 1, keep), 0);
    EXPECT_EQ(MsRecSet_del_tags_not_in_list(p, 1, nullptr), 0);
    Us_free(p);
}

} // namespace
