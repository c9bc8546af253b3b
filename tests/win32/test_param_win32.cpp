// The parameter file on Win32: "\data\param.dat" below the program directory,
// written and read back through the Win32 file service.
#include "param.h"
#include "root.h"

#include "con.h"
#include "fsv.h"
#include "osservice.h"
#include "recording_window.h"
#include "win32_dir.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <windows.h>

namespace {

struct ParamWin32Test : ::testing::Test {
    Win32TempDir dir;
    std::string cmd_line;
    Fsv* p_fsv = nullptr;
    Root* p_root = nullptr;
    static const char* source(void* p_user) {
        return static_cast<ParamWin32Test*>(p_user)->cmd_line.c_str();
    }
    void SetUp() override {
        ASSERT_FALSE(dir.path().empty());
        p_fsv = Fsv_alloc_win32();
        Fsv_set_default(p_fsv);
        cmd_line = "\"" + dir.file("orvo-loader.exe") + "\"";
        Oss_test_set_cmd_line_source(source, this);
        p_root = Root_alloc();
        ASSERT_NE(p_root, nullptr);
    }
    void TearDown() override {
        Root_free(p_root);
        Oss_test_set_cmd_line_source(nullptr, nullptr);
        Con_set_cb_output(nullptr, nullptr);
        Fsv_set_default(nullptr);
        Fsv_free_win32(p_fsv);
    }
};

TEST_F(ParamWin32Test, SaveWritesTheVersionThatLoadReadsBack) {
    std::string param = dir.path() + "\\data\\param.dat";
    EXPECT_EQ(std::string(Root_get_p_path_name_param(p_root)), param);
    ASSERT_TRUE(CreateDirectoryA(dir.file("data").c_str(), NULL));
    EXPECT_EQ(Root_save(p_root), 1);
    std::ifstream in(param, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), {});
    EXPECT_EQ(bytes, std::string("\x01\x00\x00\x00", 4));
    in.close();
    EXPECT_EQ(Root_load(p_root), 1);
}

TEST_F(ParamWin32Test, WithoutTheDataFolderBothFailWithTheFileNamed) {
    LogCapture log;
    EXPECT_EQ(Root_load(p_root), 0);
    EXPECT_EQ(Root_save(p_root), 1); // its result does not tell; the log does
    EXPECT_EQ(
        log.count_containing("pc == NULL cannot open file <" + dir.path() + "\\data\\param.dat>"),
        2)
        << log.text();
}

} // namespace
