// File service over the Win32 file calls: create, open, read, write, seek
// and tell, no sharing, delete; and the file streams over it.
#include "fcstream.h"
#include "fsv.h"

#include "con.h"
#include "recording_window.h"
#include "win32_dir.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

struct FsvWin32Test : ::testing::Test {
    Win32TempDir dir;
    Fsv* p_fsv = nullptr;
    void SetUp() override {
        ASSERT_FALSE(dir.path().empty());
        p_fsv = Fsv_alloc_win32();
        ASSERT_NE(p_fsv, nullptr);
        EXPECT_EQ(p_fsv->p_user, nullptr);
    }
    void TearDown() override {
        Fsv_set_default(nullptr);
        Fsv_free_win32(p_fsv);
    }
    std::string contents(const std::string& name) const {
        std::ifstream in(dir.file(name), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    void put(const std::string& name, const std::string& text) const {
        std::ofstream(dir.file(name), std::ios::binary) << text;
    }
};

TEST_F(FsvWin32Test, CreateWritesSeeksAndReadsBack) {
    std::string name = dir.file("a.bin");
    int32_t h = p_fsv->cb_create(nullptr, name.c_str());
    ASSERT_GE(h, 0);
    EXPECT_EQ(p_fsv->cb_write(nullptr, h, "0123456789", 10), 10);
    EXPECT_EQ(p_fsv->cb_tell(nullptr, h), 10);
    // Origin 0 from the start, 1 from here, 2 from the end; others as 0.
    struct {
        int32_t origin, offset, pos;
    } seeks[] = {{0, 3, 3}, {1, 2, 5}, {1, -4, 1}, {2, -2, 8}, {2, 0, 10}, {7, 4, 4}, {-1, 6, 6}};
    for (const auto& s : seeks) {
        SCOPED_TRACE(s.origin);
        EXPECT_EQ(p_fsv->cb_seek(nullptr, h, s.origin, s.offset), s.pos);
        EXPECT_EQ(p_fsv->cb_tell(nullptr, h), s.pos);
    }
    char buf[16] = {};
    EXPECT_EQ(p_fsv->cb_read(nullptr, h, buf, 16), 4); // from 6 to the end
    EXPECT_EQ(std::string(buf, 4), "6789");
    EXPECT_EQ(p_fsv->cb_read(nullptr, h, buf, 16), 0); // at the end
    EXPECT_NE(p_fsv->cb_close(nullptr, h), 0);
    EXPECT_EQ(contents("a.bin"), "0123456789");
}

TEST_F(FsvWin32Test, CreateEmptiesAndOpenKeepsAnExistingFile) {
    put("b.bin", "old contents");
    int32_t h = p_fsv->cb_open(nullptr, dir.file("b.bin").c_str());
    ASSERT_GE(h, 0);
    EXPECT_EQ(p_fsv->cb_write(nullptr, h, "NEW", 3), 3);
    p_fsv->cb_close(nullptr, h);
    EXPECT_EQ(contents("b.bin"), "NEW contents");

    h = p_fsv->cb_create(nullptr, dir.file("b.bin").c_str());
    ASSERT_GE(h, 0);
    p_fsv->cb_close(nullptr, h);
    EXPECT_EQ(contents("b.bin"), "");
}

TEST_F(FsvWin32Test, AnOpenFileIsNotShared) {
    put("c.bin", "x");
    std::string name = dir.file("c.bin");
    int32_t h = p_fsv->cb_open(nullptr, name.c_str());
    ASSERT_GE(h, 0);
    EXPECT_LT(p_fsv->cb_open(nullptr, name.c_str()), 0);
    EXPECT_LT(p_fsv->cb_create(nullptr, name.c_str()), 0);
    EXPECT_EQ(contents("c.bin"), ""); // not even for reading by others
    p_fsv->cb_close(nullptr, h);
    EXPECT_EQ(contents("c.bin"), "x"); // the refused creation emptied nothing
    h = p_fsv->cb_open(nullptr, name.c_str());
    EXPECT_GE(h, 0);
    p_fsv->cb_close(nullptr, h);
}

TEST_F(FsvWin32Test, MissingFilesNullNamesAndTheInvalidHandleFail) {
    EXPECT_EQ(p_fsv->cb_open(nullptr, dir.file("missing").c_str()), -1);
    EXPECT_EQ(p_fsv->cb_open(nullptr, nullptr), -1);
    EXPECT_EQ(p_fsv->cb_create(nullptr, nullptr), -1);
    EXPECT_EQ(p_fsv->cb_create(nullptr, dir.file("no\\such\\folder").c_str()), -1);
    EXPECT_EQ(p_fsv->cb_delete(nullptr, nullptr), 0);
    EXPECT_EQ(p_fsv->cb_delete(nullptr, dir.file("missing").c_str()), 0);
    char buf[4];
    EXPECT_EQ(p_fsv->cb_read(nullptr, -1, buf, 4), 0);
    EXPECT_EQ(p_fsv->cb_write(nullptr, -1, buf, 4), 0);
    EXPECT_EQ(p_fsv->cb_seek(nullptr, -1, 0, 0), -1);
    EXPECT_EQ(p_fsv->cb_tell(nullptr, -1), -1);
}

TEST_F(FsvWin32Test, DeleteRemovesTheFile) {
    put("d.bin", "x");
    EXPECT_NE(p_fsv->cb_delete(nullptr, dir.file("d.bin").c_str()), 0);
    EXPECT_EQ(p_fsv->cb_open(nullptr, dir.file("d.bin").c_str()), -1);
}

TEST_F(FsvWin32Test, StreamsOverTheDefaultServiceKeepEveryByteInOrder) {
    ASSERT_EQ(Fsv_set_default(p_fsv), 1);
    std::string name = dir.file("e.bin");
    std::vector<uint8_t> bytes(3 + 10240);
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = (uint8_t)(i * 7 + 1);
    Stream* ps = FcsOpenCreate(nullptr, name.c_str(), -1);
    ASSERT_NE(ps, nullptr);
    EXPECT_EQ(StreamWrite(ps, bytes.data(), 3), 3);
    EXPECT_EQ(StreamWrite(ps, bytes.data() + 3, 10240), 10240);
    EXPECT_EQ(FcsClose(ps), 1);
    std::string text = contents("e.bin");
    EXPECT_EQ(std::vector<uint8_t>(text.begin(), text.end()), bytes);

    ps = FcsOpenRead(nullptr, name.c_str(), -1);
    ASSERT_NE(ps, nullptr);
    std::vector<uint8_t> back(bytes.size() + 10);
    EXPECT_EQ(StreamRead(ps, back.data(), 5), 5);
    EXPECT_EQ(StreamRead(ps, back.data() + 5, (int32_t)back.size() - 5), (int32_t)bytes.size() - 5);
    back.resize(bytes.size());
    EXPECT_EQ(back, bytes);
    EXPECT_EQ(FcsClose(ps), 1);
}

TEST_F(FsvWin32Test, OpeningAMissingFileThroughAStreamIsLogged) {
    ASSERT_EQ(Fsv_set_default(p_fsv), 1);
    LogCapture log;
    std::string name = dir.file("missing.dat");
    EXPECT_EQ(FcsOpenRead(nullptr, name.c_str(), -1), nullptr);
    EXPECT_EQ(log.count_containing("pc == NULL cannot open file <" + name + ">"), 1);
}

} // namespace
