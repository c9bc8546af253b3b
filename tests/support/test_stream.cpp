// Byte streams: forwarding to a target in memory, the byte count, counting
// streams, formatted output and null streams.
#include "con.h"
#include "stream.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

// A target in memory: reads give the bytes of `in`, writes append to `out`
// (at most `cap` bytes a call when cap is set).
struct Mem {
    std::string in, out;
    size_t pos = 0;
    int32_t cap = -1;
    int flushes = 0;
    std::vector<std::pair<int32_t, int32_t>> seeks;
};

int32_t mem_read(void* u, void* dst, int32_t n) {
    Mem* m = static_cast<Mem*>(u);
    int32_t k = std::min<int32_t>(n, static_cast<int32_t>(m->in.size() - m->pos));
    memcpy(dst, m->in.data() + m->pos, k);
    m->pos += k;
    return k;
}
int32_t mem_write(void* u, const void* src, int32_t n) {
    Mem* m = static_cast<Mem*>(u);
    if (m->cap >= 0 && n > m->cap) n = m->cap;
    m->out.append(static_cast<const char*>(src), n);
    return n;
}
int32_t mem_flush(void* u) {
    return ++static_cast<Mem*>(u)->flushes;
}
int32_t mem_seek(void* u, int32_t origin, int32_t offset) {
    static_cast<Mem*>(u)->seeks.emplace_back(origin, offset);
    return 77;
}

int log_output(void* p, const char* text) {
    static_cast<std::vector<std::string>*>(p)->emplace_back(text);
    return 0;
}

std::string frame(const char* func) {
    return std::string("error-src/support/stream.cpp-") + func + ": p == NULL\n";
}

struct StreamTest : ::testing::Test {
    std::vector<std::string> log;
    Mem mem;
    void SetUp() override { Con_set_cb_output(log_output, &log); }
    void TearDown() override { Con_set_cb_output(nullptr, nullptr); }
};

TEST_F(StreamTest, AllocGivesAnEmptyRecord) {
    Stream* ps = Stream_alloc();
    ASSERT_NE(ps, nullptr);
    EXPECT_EQ(ps->p_user, nullptr);
    EXPECT_EQ(ps->n_bytes, 0);
    Stream_free(ps);
    Stream_free(nullptr);
}

TEST_F(StreamTest, ReadingStreamForwardsAndCounts) {
    mem.in = "abcdef";
    Stream* ps = StreamOpenRead(&mem, mem_read, mem_seek);
    ASSERT_NE(ps, nullptr);
    char buf[8];
    EXPECT_EQ(StreamRead(ps, buf, 4), 4);
    EXPECT_EQ(StreamRead(ps, buf + 4, 8), 2);
    EXPECT_EQ(std::string(buf, 6), "abcdef");
    EXPECT_EQ(StreamRead(ps, buf, 8), 0);
    EXPECT_EQ(StreamGetCount(ps), 6);
    EXPECT_EQ(StreamSeek(ps, 2, -1), 77);
    EXPECT_EQ(mem.seeks, (std::vector<std::pair<int32_t, int32_t>>{{2, -1}}));
    // Functions it was not opened with are not called.
    EXPECT_EQ(StreamWrite(ps, "x", 1), -1);
    EXPECT_EQ(StreamFlush(ps), 1);
    EXPECT_EQ(mem.out, "");
    EXPECT_EQ(StreamGetCount(ps), 6);
    EXPECT_EQ(StreamClose(ps), &mem);
    EXPECT_TRUE(log.empty());
}

TEST_F(StreamTest, WritingStreamForwardsAndCountsWhatTheTargetTook) {
    Stream* ps = StreamOpenWrite(&mem, mem_write, mem_seek, mem_flush);
    ASSERT_NE(ps, nullptr);
    EXPECT_EQ(StreamWrite(ps, "hello", 5), 5);
    mem.cap = 2;
    EXPECT_EQ(StreamWrite(ps, "world", 5), 2);
    EXPECT_EQ(mem.out, "hellowo");
    EXPECT_EQ(StreamGetCount(ps), 7);
    EXPECT_EQ(StreamFlush(ps), 1);
    EXPECT_EQ(mem.flushes, 1);
    EXPECT_EQ(StreamSeek(ps, 0, 3), 77);
    char buf[4];
    EXPECT_EQ(StreamRead(ps, buf, 4), -1);
    EXPECT_EQ(StreamGetCount(ps), 7);
    EXPECT_EQ(StreamClose(ps), &mem);
}

TEST_F(StreamTest, OpeningWithoutATargetFails) {
    EXPECT_EQ(StreamOpenRead(nullptr, mem_read, mem_seek), nullptr);
    EXPECT_EQ(StreamOpenWrite(nullptr, mem_write, mem_seek, mem_flush), nullptr);
    EXPECT_EQ(log, std::vector<std::string>({frame("StreamOpenRead"), frame("StreamOpenWrite")}));
}

TEST_F(StreamTest, CountingStreamCountsAndWritesNothing) {
    Stream* ps = StreamOpenCount();
    ASSERT_NE(ps, nullptr);
    for (int32_t n : {3, 10240, 0, 1})
        EXPECT_EQ(StreamWrite(ps, "ignored", n), n);
    EXPECT_EQ(StreamPrintf(ps, "%d-%s", 42, "ab"), 5);
    EXPECT_EQ(StreamGetCount(ps), 3 + 10240 + 1 + 5);
    EXPECT_EQ(StreamFlush(ps), 1);
    EXPECT_EQ(StreamSeek(ps, 0, 10), 0);
    char buf[2];
    EXPECT_EQ(StreamRead(ps, buf, 2), -1);
    EXPECT_EQ(StreamGetCount(ps), 10249);
    EXPECT_EQ(StreamClose(ps), nullptr);
    EXPECT_TRUE(log.empty());
}

TEST_F(StreamTest, PrintfWritesTheTextCutAt1023Characters) {
    Stream* ps = StreamOpenWrite(&mem, mem_write, nullptr, nullptr);
    EXPECT_EQ(StreamPrintf(ps, "v=%u\n", 7u), 4);
    EXPECT_EQ(mem.out, "v=7\n");
    mem.out.clear();
    std::string big(2000, 'q');
    EXPECT_EQ(StreamPrintf(ps, "%s", big.c_str()), 1023);
    EXPECT_EQ(mem.out, std::string(1023, 'q'));
    // Without the functions: nothing is called.
    EXPECT_EQ(StreamSeek(ps, 0, 0), -1);
    EXPECT_EQ(StreamFlush(ps), 1);
    StreamClose(ps);
}

TEST_F(StreamTest, NullStreamGetsNeutralAnswersAndLogs) {
    char buf[2];
    EXPECT_EQ(StreamRead(nullptr, buf, 2), -1);
    EXPECT_EQ(StreamWrite(nullptr, buf, 2), -1);
    EXPECT_EQ(StreamFlush(nullptr), 0);
    EXPECT_EQ(StreamSeek(nullptr, 0, 0), 0);
    EXPECT_EQ(log, std::vector<std::string>({frame("StreamRead"), frame("StreamWrite"),
                                             frame("StreamFlush"), frame("StreamSeek")}));
    log.clear();
    EXPECT_EQ(StreamPrintf(nullptr, "x"), -1);
    EXPECT_EQ(log, std::vector<std::string>({frame("StreamWrite")}));
    EXPECT_EQ(StreamGetCount(nullptr), 0);
    EXPECT_EQ(StreamClose(nullptr), nullptr);
}

} // namespace
