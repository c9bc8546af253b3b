// Parameter file of the application root: the four bytes written, what loads,
// and the lines of a missing file or data directory.
#include "param.h"

#include "con.h"
#include "fsv.h"
#include "osservice.h"
#include "recording_window.h"
#include "root.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

std::vector<uint8_t> read_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

void write_file(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

// A root whose program lives in a fresh temporary directory, with the POSIX
// file service as the default, as the program shell sets it up.
struct ParamTest : ::testing::Test {
    std::string dir;
    std::string cmd_line;
    Fsv* p_fsv = nullptr;
    Root* p = nullptr;

    void SetUp() override {
        char tmpl[] = "/tmp/orvo-param-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        cmd_line = dir + "/orvo-loader";
        Oss_test_set_cmd_line_source([](void* p_user) { return static_cast<const char*>(p_user); },
                                     const_cast<char*>(cmd_line.c_str()));
        p_fsv = Fsv_alloc_posix();
        Fsv_set_default(p_fsv);
        p = Root_alloc();
        ASSERT_NE(p, nullptr);
    }
    void TearDown() override {
        Root_free(p);
        Fsv_set_default(nullptr);
        Fsv_free_posix(p_fsv);
        Oss_test_set_cmd_line_source(nullptr, nullptr);
        Con_set_cb_output(nullptr, nullptr);
        std::string cmd = "rm -rf '" + dir + "'";
        EXPECT_EQ(std::system(cmd.c_str()), 0);
    }
    std::string data_dir() const { return dir + "/data"; }
    std::string param_path() const { return dir + "/data/param.dat"; }
    void make_data_dir() const { ASSERT_EQ(mkdir(data_dir().c_str(), 0755), 0); }
};

TEST_F(ParamTest, SaveWritesTheVersionAsFourBytes) {
    make_data_dir();
    // An existing longer file is emptied first.
    write_file(param_path(), std::vector<uint8_t>(100, 0xAA));
    LogCapture log;
    EXPECT_EQ(Root_save(p), 1);
    EXPECT_EQ(read_file(param_path()), (std::vector<uint8_t>{0x01, 0x00, 0x00, 0x00}));
    EXPECT_EQ(Root_load(p), 1);
    EXPECT_EQ(log.text(), "");
}

TEST_F(ParamTest, AnyFileOfFourOrMoreBytesLoads) {
    make_data_dir();
    for (size_t n : {4, 5, 10240, 20000}) {
        SCOPED_TRACE(n);
        std::vector<uint8_t> bytes(n);
        for (size_t i = 0; i < n; i++)
            bytes[i] = static_cast<uint8_t>(0xFF - i * 7);
        write_file(param_path(), bytes);
        LogCapture log;
        EXPECT_EQ(Root_load(p), 1);
        EXPECT_EQ(Root_param_load(p, param_path().c_str()), 1);
        EXPECT_EQ(log.text(), "");
        // Loading reads and keeps nothing: the file is as it was.
        EXPECT_EQ(read_file(param_path()), bytes);
    }
}

TEST_F(ParamTest, ShortFileFailsToLoad) {
    make_data_dir();
    for (size_t n : {0, 1, 3}) {
        SCOPED_TRACE(n);
        write_file(param_path(), std::vector<uint8_t>(n, 0x01));
        LogCapture log;
        EXPECT_EQ(Root_load(p), 0);
        EXPECT_EQ(log.lines(),
                  (std::vector<std::string>{
                      "error-src/loader/param.cpp-Root_param_load: __SRSE (version) failed",
                      "error-src/loader/param.cpp-Root_load: Root_param_load (p, p -> "
                      "p_path_name_param))"}));
    }
}

TEST_F(ParamTest, MissingDataDirectoryGivesTheStreamLinesAndTheRootLine) {
    LogCapture log;
    EXPECT_EQ(Root_save(p), 1);
    EXPECT_EQ(log.lines(),
              (std::vector<std::string>{
                  "error-src/support/fcstream.cpp-FcsOpenCreate: pc == NULL cannot open file <" +
                      param_path() + ">",
                  "error-src/support/stream.cpp-StreamWrite: p == NULL",
                  "error-src/loader/param.cpp-Root_param_save: __SWSE (version) failed",
                  "error-src/loader/param.cpp-Root_save: Root_param_save (p, p -> "
                  "p_path_name_param))"}));
    log.clear();
    EXPECT_EQ(Root_load(p), 0);
    EXPECT_EQ(log.lines(),
              (std::vector<std::string>{
                  "error-src/support/fcstream.cpp-FcsOpenRead: pc == NULL cannot open file <" +
                      param_path() + ">",
                  "error-src/support/stream.cpp-StreamRead: p == NULL",
                  "error-src/loader/param.cpp-Root_param_load: __SRSE (version) failed",
                  "error-src/loader/param.cpp-Root_load: Root_param_load (p, p -> "
                  "p_path_name_param))"}));
    struct stat st;
    EXPECT_NE(stat(data_dir().c_str(), &st), 0);
}

TEST_F(ParamTest, NullRootOrPathFailsWithoutALine) {
    LogCapture log;
    EXPECT_EQ(Root_load(nullptr), 0);
    EXPECT_EQ(Root_save(nullptr), 0);
    EXPECT_EQ(Root_param_load(nullptr, param_path().c_str()), 0);
    EXPECT_EQ(Root_param_save(nullptr, param_path().c_str()), 0);
    EXPECT_EQ(Root_param_load(p, nullptr), 0);
    EXPECT_EQ(Root_param_save(p, nullptr), 0);
    EXPECT_EQ(log.text(), "");
}

// A file service whose files can be created but take no bytes, as on a full disk.
int32_t full_create(void*, const char*) {
    return 3;
}
int32_t full_close(void*, int32_t) {
    return 1;
}
int32_t full_write(void*, int32_t, const void*, int32_t) {
    return 0;
}

TEST_F(ParamTest, BytesThatNeverReachTheFileAreAFailure) {
    Fsv* p_full = Fsv_alloc(nullptr, full_create, nullptr, nullptr, full_close, nullptr, full_write,
                            nullptr, nullptr);
    ASSERT_NE(p_full, nullptr);
    Fsv_set_default(p_full);
    LogCapture log;
    // The four bytes fit the stream's buffer; they fail only on their way out.
    EXPECT_EQ(Root_param_save(p, param_path().c_str()), 0);
    EXPECT_EQ(log.lines(),
              (std::vector<std::string>{
                  "error-src/loader/param.cpp-Root_param_save: StreamFlush (ps) failed"}));
    EXPECT_EQ(Root_save(p), 1);
    Fsv_set_default(p_fsv);
    Fsv_free(p_full);
}

} // namespace
