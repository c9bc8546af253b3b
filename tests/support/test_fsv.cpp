// File service, files, buffered files and file streams on real files in a
// temporary directory, seen through a service that records every call.
#include "con.h"
#include "fcstream.h"
#include "fsv.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

// Wraps the POSIX service and records the size of every read and write. A
// write cap makes the file take fewer bytes than offered, as a full disk does.
struct Recorder {
    Fsv* inner = nullptr;
    std::vector<int32_t> reads, writes;
    int32_t write_cap = -1;
    bool fail_close = false;
};

int32_t rec_create(void* u, const char* name) {
    Fsv* in = static_cast<Recorder*>(u)->inner;
    return in->cb_create(in->p_user, name);
}
int32_t rec_delete(void* u, const char* name) {
    Fsv* in = static_cast<Recorder*>(u)->inner;
    return in->cb_delete(in->p_user, name);
}
int32_t rec_open(void* u, const char* name) {
    Fsv* in = static_cast<Recorder*>(u)->inner;
    return in->cb_open(in->p_user, name);
}
int32_t rec_close(void* u, int32_t h) {
    Recorder* r = static_cast<Recorder*>(u);
    int32_t ok = r->inner->cb_close(r->inner->p_user, h);
    return r->fail_close ? 0 : ok;
}
int32_t rec_read(void* u, int32_t h, void* dst, int32_t n) {
    Recorder* r = static_cast<Recorder*>(u);
    r->reads.push_back(n);
    return r->inner->cb_read(r->inner->p_user, h, dst, n);
}
int32_t rec_write(void* u, int32_t h, const void* src, int32_t n) {
    Recorder* r = static_cast<Recorder*>(u);
    r->writes.push_back(n);
    if (r->write_cap >= 0 && n > r->write_cap) n = r->write_cap;
    return r->inner->cb_write(r->inner->p_user, h, src, n);
}
int32_t rec_seek(void* u, int32_t h, int32_t origin, int32_t offset) {
    Fsv* in = static_cast<Recorder*>(u)->inner;
    return in->cb_seek(in->p_user, h, origin, offset);
}
int32_t rec_tell(void* u, int32_t h) {
    Fsv* in = static_cast<Recorder*>(u)->inner;
    return in->cb_tell(in->p_user, h);
}

int log_output(void* p, const char* text) {
    static_cast<std::vector<std::string>*>(p)->emplace_back(text);
    return 0;
}

std::string pattern(size_t n, int seed) {
    std::string s(n, 0);
    for (size_t i = 0; i < n; i++)
        s[i] = static_cast<char>((i * 7 + seed) & 0xFF);
    return s;
}

struct FsvTest : ::testing::Test {
    std::string dir;
    Recorder rec;
    Fsv* fsv = nullptr;
    std::vector<std::string> log;

    void SetUp() override {
        char tmpl[] = "/tmp/orvo_fsv_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        rec.inner = Fsv_alloc_posix();
        fsv = Fsv_alloc(&rec, rec_create, rec_delete, rec_open, rec_close, rec_read, rec_write,
                        rec_seek, rec_tell);
        ASSERT_NE(fsv, nullptr);
        Con_set_cb_output(log_output, &log);
    }
    void TearDown() override {
        Con_set_cb_output(nullptr, nullptr);
        Fsv_set_default(nullptr);
        Fsv_free(fsv);
        Fsv_free_posix(rec.inner);
        std::filesystem::remove_all(dir);
    }
    std::string path(const char* name) const { return dir + "/" + name; }
    std::string slurp(const std::string& p) const {
        std::ifstream f(p, std::ios::binary);
        std::stringstream ss;
        ss << f.rdbuf();
        return ss.str();
    }
    void put(const std::string& p, const std::string& data) const {
        std::ofstream(p, std::ios::binary) << data;
    }
};

TEST_F(FsvTest, PosixServiceOperations) {
    Fsv* s = rec.inner;
    std::string p = path("a.bin");
    int32_t h = s->cb_create(s->p_user, p.c_str());
    ASSERT_GE(h, 0);
    EXPECT_EQ(s->cb_write(s->p_user, h, "hello", 5), 5);
    EXPECT_EQ(s->cb_tell(s->p_user, h), 5);
    char buf[8] = {};
    struct Seek {
        int32_t origin, offset, want;
    } seeks[] = {{0, 0, 0}, {2, -2, 3}, {1, 1, 4}, {7, 1, 1}, {0, -1, -1}};
    for (const Seek& c : seeks)
        EXPECT_EQ(s->cb_seek(s->p_user, h, c.origin, c.offset), c.want)
            << c.origin << " " << c.offset;
    EXPECT_EQ(s->cb_read(s->p_user, h, buf, 8), 4);
    EXPECT_EQ(std::string(buf, 4), "ello");
    EXPECT_EQ(s->cb_read(s->p_user, h, buf, 8), 0);
    EXPECT_NE(s->cb_close(s->p_user, h), 0);

    // Open keeps the contents, create empties them.
    h = s->cb_open(s->p_user, p.c_str());
    ASSERT_GE(h, 0);
    EXPECT_EQ(s->cb_read(s->p_user, h, buf, 8), 5);
    s->cb_close(s->p_user, h);
    h = s->cb_create(s->p_user, p.c_str());
    EXPECT_EQ(s->cb_read(s->p_user, h, buf, 8), 0);
    s->cb_close(s->p_user, h);

    EXPECT_NE(s->cb_delete(s->p_user, p.c_str()), 0);
    EXPECT_EQ(s->cb_delete(s->p_user, p.c_str()), 0);
    EXPECT_LT(s->cb_open(s->p_user, p.c_str()), 0);
}

TEST_F(FsvTest, PosixServiceRefusesNullNamesAndTheInvalidHandle) {
    Fsv* s = rec.inner;
    char buf[4];
    EXPECT_EQ(s->cb_create(s->p_user, nullptr), -1);
    EXPECT_EQ(s->cb_open(s->p_user, nullptr), -1);
    EXPECT_EQ(s->cb_delete(s->p_user, nullptr), 0);
    EXPECT_EQ(s->cb_read(s->p_user, -1, buf, 4), 0);
    EXPECT_EQ(s->cb_write(s->p_user, -1, buf, 4), 0);
    EXPECT_EQ(s->cb_seek(s->p_user, -1, 0, 0), -1);
    int32_t h = s->cb_create(s->p_user, path("n").c_str());
    EXPECT_EQ(s->cb_read(s->p_user, h, nullptr, 4), 0);
    EXPECT_EQ(s->cb_write(s->p_user, h, nullptr, 4), 0);
    s->cb_close(s->p_user, h);
}

TEST_F(FsvTest, PosixFilesAreNotShared) {
    Fsv* s = rec.inner;
    std::string p = path("x");
    int32_t h = s->cb_create(s->p_user, p.c_str());
    ASSERT_GE(h, 0);
    s->cb_write(s->p_user, h, "data", 4);
    EXPECT_LT(s->cb_open(s->p_user, p.c_str()), 0);
    // A refused creator does not empty the file of the one holding it.
    EXPECT_LT(s->cb_create(s->p_user, p.c_str()), 0);
    s->cb_close(s->p_user, h);
    EXPECT_EQ(slurp(p), "data");
}

TEST_F(FsvTest, DefaultServiceStandsInForANullService) {
    std::string p = path("d");
    EXPECT_EQ(Fsv_get_default(), nullptr);
    EXPECT_EQ(FsvFile_create(nullptr, p.c_str()), nullptr);
    EXPECT_EQ(Fsv_delete(nullptr, p.c_str()), 0);
    EXPECT_EQ(Fsv_set_default(fsv), 1);
    EXPECT_EQ(Fsv_get_default(), fsv);
    FsvFile* pf = FsvFile_create(nullptr, p.c_str());
    ASSERT_NE(pf, nullptr);
    EXPECT_EQ(pf->p_fsv, fsv);
    EXPECT_EQ(FsvFile_write(pf, "ab", 2), 2);
    EXPECT_EQ(rec.writes, std::vector<int32_t>({2}));
    EXPECT_EQ(FsvFile_close(pf), 1);
    EXPECT_NE(Fsv_delete(nullptr, p.c_str()), 0);
    EXPECT_EQ(Fsv_set_default(nullptr), 0);
    EXPECT_EQ(Fsv_get_default(), nullptr);
}

TEST_F(FsvTest, NativeServiceIsThePosixOne) {
    Fsv* n = Fsv_alloc_native();
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(n->p_user, nullptr);
    EXPECT_EQ(n->cb_seek, rec.inner->cb_seek);
    Fsv_free_native(n);
}

TEST_F(FsvTest, FileOpenFailuresAndClose) {
    EXPECT_EQ(FsvFile_open(fsv, path("missing").c_str()), nullptr);
    EXPECT_EQ(FsvFile_create(fsv, path("no/such/dir").c_str()), nullptr);
    EXPECT_EQ(FsvFile_close(nullptr), 1);
    FsvFile* pf = FsvFile_create(fsv, path("c").c_str());
    ASSERT_NE(pf, nullptr);
    EXPECT_EQ(FsvFile_write(pf, "abc", 3), 3);
    EXPECT_EQ(FsvFile_tell(pf), 3);
    EXPECT_EQ(FsvFile_seek(pf, 0, 1), 1);
    rec.fail_close = true;
    EXPECT_EQ(FsvFile_close(pf), 0);
    EXPECT_EQ(FsvFile_read(nullptr, nullptr, 1), 0);
    EXPECT_EQ(FsvFile_seek(nullptr, 0, 0), -1);
}

TEST_F(FsvTest, SmallWritesGatherIntoBufferSizedFileWrites) {
    std::string p = path("w");
    FsvBuf* pc = FsvBuf_create(fsv, p.c_str(), 8);
    ASSERT_NE(pc, nullptr);
    std::string data = pattern(9, 1);
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(FsvBuf_write(pc, data.data() + 3 * i, 3), 3);
    EXPECT_EQ(rec.writes, std::vector<int32_t>({8}));
    EXPECT_EQ(pc->i_buf, 1);
    EXPECT_EQ(FsvBuf_close(pc), 1);
    EXPECT_EQ(rec.writes, std::vector<int32_t>({8, 1}));
    EXPECT_EQ(slurp(p), data);
}

TEST_F(FsvTest, LargeWritesBypassTheBuffer) {
    std::string p = path("big");
    FsvBuf* pc = FsvBuf_create(fsv, p.c_str(), 8);
    std::string data = pattern(48, 2);
    // Into an empty buffer: one file write of the whole request.
    EXPECT_EQ(FsvBuf_write(pc, data.data(), 20), 20);
    EXPECT_EQ(rec.writes, std::vector<int32_t>({20}));
    // Into a buffer holding 3: filled, written, the rest of 23 goes direct.
    EXPECT_EQ(FsvBuf_write(pc, data.data() + 20, 3), 3);
    EXPECT_EQ(FsvBuf_write(pc, data.data() + 23, 25), 25);
    EXPECT_EQ(rec.writes, std::vector<int32_t>({20, 8, 20}));
    FsvBuf_close(pc);
    EXPECT_EQ(rec.writes.size(), 3u);
    EXPECT_EQ(slurp(p), data);
}

TEST_F(FsvTest, ReadsRefillTheBufferOrBypassIt) {
    std::string p = path("r");
    std::string data = pattern(100, 3);
    put(p, data);
    FsvBuf* pc = FsvBuf_open_read(fsv, p.c_str(), 8);
    ASSERT_NE(pc, nullptr);
    char buf[100];
    struct Step {
        int32_t n, got;
        std::vector<int32_t> reads; // file reads so far
    } steps[] = {
        {3, 3, {8}},          // refill
        {3, 3, {8}},          // from the buffer
        {3, 3, {8, 8}},       // 2 buffered, refill for the last one
        {50, 50, {8, 8, 43}}, // 7 buffered, 43 straight from the file
        {0, 0, {8, 8, 43}},
        {100, 41, {8, 8, 43, 100}}, // short: the end of the file
        {1, 0, {8, 8, 43, 100, 8}},
    };
    size_t at = 0;
    for (const Step& s : steps) {
        EXPECT_EQ(FsvBuf_read(pc, buf, s.n), s.got) << "at " << at;
        EXPECT_EQ(std::string(buf, s.got), data.substr(at, s.got));
        EXPECT_EQ(rec.reads, s.reads) << "at " << at;
        at += s.got;
    }
    FsvBuf_close(pc);
}

TEST_F(FsvTest, OpenWriteKeepsTheTailOfALongerFile) {
    std::string p = path("t");
    put(p, "0123456789");
    FsvBuf* pc = FsvBuf_open_write(fsv, p.c_str(), 4);
    ASSERT_NE(pc, nullptr);
    EXPECT_EQ(FsvBuf_write(pc, "ab", 2), 2);
    FsvBuf_close(pc);
    EXPECT_EQ(slurp(p), "ab23456789");
    EXPECT_EQ(FsvBuf_open_write(fsv, path("none").c_str(), 4), nullptr);
}

TEST_F(FsvTest, BytesTheFileTookAreNotWrittenTwice) {
    std::string p = path("full");
    FsvBuf* pc = FsvBuf_create(fsv, p.c_str(), 4);
    EXPECT_EQ(FsvBuf_write(pc, "ab", 2), 2);
    rec.write_cap = 1;
    // Fills the buffer; the file takes one byte of the four.
    EXPECT_EQ(FsvBuf_write(pc, "cdef", 4), 2);
    EXPECT_EQ(FsvBuf_flush(pc), 0);
    EXPECT_EQ(slurp(p), "ab");
    rec.write_cap = -1;
    EXPECT_EQ(FsvBuf_write(pc, "ef", 2), 2);
    EXPECT_EQ(FsvBuf_flush(pc), 1);
    EXPECT_EQ(FsvBuf_flush(pc), 1);
    FsvBuf_close(pc);
    EXPECT_EQ(slurp(p), "abcdef");
}

TEST_F(FsvTest, SeekOnAWritingBufferFlushesFirst) {
    std::string p = path("s");
    FsvBuf* pc = FsvBuf_create(fsv, p.c_str(), 8);
    FsvBuf_write(pc, "abc", 3);
    EXPECT_EQ(FsvBuf_seek(pc, 0, 1), 1);
    EXPECT_EQ(rec.writes, std::vector<int32_t>({3}));
    FsvBuf_write(pc, "X", 1);
    // A flush that fails makes the seek fail and keeps the byte.
    rec.write_cap = 0;
    EXPECT_EQ(FsvBuf_seek(pc, 2, 0), -1);
    rec.write_cap = -1;
    FsvBuf_close(pc);
    EXPECT_EQ(slurp(p), "aXc");
}

TEST_F(FsvTest, SeekOnAReadingBufferDiscardsTheReadAhead) {
    std::string p = path("rs");
    put(p, "0123456789");
    FsvBuf* pc = FsvBuf_open_read(fsv, p.c_str(), 4);
    char c = 0;
    FsvBuf_read(pc, &c, 1);
    // From the file's own position, behind the 4 bytes read ahead.
    EXPECT_EQ(FsvBuf_seek(pc, 1, 0), 4);
    FsvBuf_read(pc, &c, 1);
    EXPECT_EQ(c, '4');
    EXPECT_EQ(FsvBuf_seek(pc, 2, -2), 8);
    FsvBuf_read(pc, &c, 1);
    EXPECT_EQ(c, '8');
    FsvBuf_close(pc);
}

TEST_F(FsvTest, BufferedFileRefusals) {
    std::string p = path("z");
    put(p, "abc");
    for (int32_t m : {0, -1, -10240})
        EXPECT_EQ(FsvBuf_open_read(fsv, p.c_str(), m), nullptr) << m;
    EXPECT_EQ(FsvBuf_open_read(fsv, path("missing").c_str(), 8), nullptr);
    EXPECT_TRUE(rec.reads.empty());

    FsvBuf* rd = FsvBuf_open_read(fsv, p.c_str(), 8);
    FsvBuf* wr = FsvBuf_create(fsv, path("z2").c_str(), 8);
    char buf[4];
    EXPECT_EQ(FsvBuf_write(rd, "x", 1), 0);
    EXPECT_EQ(FsvBuf_read(wr, buf, 1), 0);
    EXPECT_EQ(FsvBuf_write(wr, "x", 0), 0);
    EXPECT_EQ(FsvBuf_flush(rd), 1);
    FsvBuf_close(rd);
    FsvBuf_close(wr);
    EXPECT_EQ(slurp(p), "abc");

    EXPECT_EQ(FsvBuf_read(nullptr, buf, 1), 0);
    EXPECT_EQ(FsvBuf_write(nullptr, buf, 1), 0);
    EXPECT_EQ(FsvBuf_seek(nullptr, 0, 0), -1);
    EXPECT_EQ(FsvBuf_flush(nullptr), 1);
    EXPECT_EQ(FsvBuf_close(nullptr), 1);
    EXPECT_TRUE(log.empty());
}

// File streams: the layer the parameter file uses, with the default service.
TEST_F(FsvTest, FcsOpenOfAMissingFileLogsItsName) {
    Fsv_set_default(fsv);
    std::string missing = path("missing.dat");
    EXPECT_EQ(FcsOpenRead(nullptr, missing.c_str(), -1), nullptr);
    std::string bad = path("no/dir.dat");
    EXPECT_EQ(FcsOpenCreate(nullptr, bad.c_str(), -1), nullptr);
    EXPECT_EQ(log,
              std::vector<std::string>(
                  {"error-src/support/fcstream.cpp-FcsOpenRead: pc == NULL cannot open file <" +
                       missing + ">\n",
                   "error-src/support/fcstream.cpp-FcsOpenCreate: pc == NULL cannot open file <" +
                       bad + ">\n"}));
    EXPECT_EQ(FcsClose(nullptr), 0);
}

TEST_F(FsvTest, FcsCreateGathersIntoOneFullBufferWrite) {
    Fsv_set_default(fsv);
    std::string p = path("param.dat");
    std::string data = pattern(10243, 5);
    Stream* ps = FcsOpenCreate(nullptr, p.c_str(), -1);
    ASSERT_NE(ps, nullptr);
    EXPECT_EQ(StreamWrite(ps, data.data(), 3), 3);
    EXPECT_TRUE(rec.writes.empty());
    EXPECT_EQ(StreamWrite(ps, data.data() + 3, 10240), 10240);
    EXPECT_EQ(rec.writes, std::vector<int32_t>({10240}));
    EXPECT_EQ(StreamGetCount(ps), 10243);
    EXPECT_EQ(FcsClose(ps), 1);
    EXPECT_EQ(rec.writes, std::vector<int32_t>({10240, 3}));
    EXPECT_EQ(slurp(p), data);
}

TEST_F(FsvTest, FcsFlushedBytesAreWrittenOnce) {
    std::string p = path("f");
    Stream* ps = FcsOpenCreate(fsv, p.c_str(), 16);
    StreamWrite(ps, "hello", 5);
    EXPECT_EQ(StreamFlush(ps), 1);
    StreamWrite(ps, "world", 5);
    FcsClose(ps);
    EXPECT_EQ(rec.writes, std::vector<int32_t>({5, 5}));
    EXPECT_EQ(slurp(p), "helloworld");
}

TEST_F(FsvTest, FcsReadAtTheEndGivesZeroAndKeepsTheCount) {
    std::string p = path("v");
    put(p, std::string("\x01\x00\x00\x00", 4));
    Stream* ps = FcsOpenRead(fsv, p.c_str(), -1);
    ASSERT_NE(ps, nullptr);
    uint8_t v[4] = {};
    EXPECT_EQ(StreamRead(ps, v, 4), 4);
    EXPECT_EQ(v[0], 1);
    EXPECT_EQ(rec.reads, std::vector<int32_t>({10240}));
    EXPECT_EQ(StreamRead(ps, v, 4), 0);
    EXPECT_EQ(StreamGetCount(ps), 4);
    EXPECT_EQ(StreamSeek(ps, 0, 1), 1);
    EXPECT_EQ(StreamRead(ps, v, 4), 3);
    EXPECT_EQ(StreamWrite(ps, v, 1), -1); // a reading stream has no writer
    EXPECT_EQ(FcsClose(ps), 1);
    EXPECT_TRUE(log.empty());
}

} // namespace
