// The program directory from the Win32 command line, the parameter path
// "\data\param.dat" below it, and the link's wait that dispatches one window
// message.
#include "osservice.h"
#include "root.h"

#include "con.h"
#include "recording_window.h"

#include <gtest/gtest.h>

#include <string>
#include <windows.h>

namespace {

// A command line handed to Oss_get_path_program instead of the system's.
struct CmdLine {
    std::string text;
    static const char* source(void* p_user) { return static_cast<CmdLine*>(p_user)->text.c_str(); }
};

struct OssWin32Test : ::testing::Test {
    void TearDown() override {
        Oss_test_set_cmd_line_source(nullptr, nullptr);
        Root_free(p_root);
        Con_set_cb_output(nullptr, nullptr);
    }
    Root* p_root = nullptr;
};

// The folder of this program as the system names its file.
std::string own_directory() {
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(NULL, path, sizeof path);
    std::string s(path, n);
    return s.substr(0, s.rfind('\\'));
}

std::string current_directory() {
    char path[MAX_PATH];
    DWORD n = GetCurrentDirectoryA(sizeof path, path);
    std::string s(path, n);
    if (!s.empty() && s.back() == '\\') s.pop_back();
    return s;
}

TEST_F(OssWin32Test, ProgramDirectoryComesFromTheSystemsCommandLine) {
    char dir[260];
    int n = Oss_get_path_program(260, dir);
    EXPECT_EQ(std::string(dir), own_directory());
    EXPECT_EQ(n, (int)own_directory().size());
}

TEST_F(OssWin32Test, FirstTokenResolvesToItsDirectory) {
    struct Case {
        std::string cmd_line, dir;
    } cases[] = {
        {"C:\\orvo\\bin\\orvo-loader.exe", "C:\\orvo\\bin"},
        {"\"C:\\Program Files\\Orvo\\orvo-loader.exe\" /x", "C:\\Program Files\\Orvo"},
        {"   C:\\a\\..\\b\\.\\loader.exe arg", "C:\\b"},
        {"C:\\loader.exe", "C:"},
        {"loader.exe", current_directory()},
        {"sub\\loader.exe", current_directory() + "\\sub"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.cmd_line);
        CmdLine cmd{c.cmd_line};
        Oss_test_set_cmd_line_source(CmdLine::source, &cmd);
        char dir[260];
        EXPECT_EQ(Oss_get_path_program(260, dir), (int)c.dir.size());
        EXPECT_EQ(std::string(dir), c.dir);
    }
}

TEST_F(OssWin32Test, UnusableCommandLinesAreRefusedWithTheirReason) {
    const std::string k_prefix = "error-src/support/osservice.cpp-Oss_get_path_program: ";
    struct Case {
        std::string cmd_line, line, other_line;
    } cases[] = {
        {"", "parse_cmd_line failed", ""},
        {"\"C:\\unclosed\\loader.exe", "parse_cmd_line failed", ""},
        {"C:\\" + std::string(257, 'x'), "n_path >= n_dst (n_path=260, n_dst=260)", ""},
        // The token fits, its full path does not: no file-name part (Windows),
        // or the call refuses the path (206: file name too long; Wine).
        {std::string(250, 'y') + "\\z.exe", "i_filename <= 0",
         "GetFullPathName failed (last_error=000000ce,206"},
        // A folder, not a file: no file-name part either.
        {"C:\\orvo\\", "i_filename <= 0", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        CmdLine cmd{c.cmd_line};
        Oss_test_set_cmd_line_source(CmdLine::source, &cmd);
        LogCapture log;
        char dir[260];
        EXPECT_EQ(Oss_get_path_program(260, dir), -1);
        int n_lines = log.count(k_prefix + c.line);
        if (!c.other_line.empty()) n_lines += log.count(k_prefix + c.other_line);
        EXPECT_EQ(n_lines, 1) << log.text();
    }
}

TEST_F(OssWin32Test, ParameterFileLiesInDataBelowTheProgramDirectory) {
    for (int d : {2, 100, 244}) {
        SCOPED_TRACE(d);
        // "C:" and then components of "d" up to d characters.
        std::string dir = "C:";
        while ((int)dir.size() < d) {
            int room = d - (int)dir.size() - 1;
            dir += "\\" + std::string(room < 50 ? room : 50, 'd');
        }
        ASSERT_EQ((int)dir.size(), d);
        CmdLine cmd{dir + "\\o.exe"};
        Oss_test_set_cmd_line_source(CmdLine::source, &cmd);
        Root* p = Root_alloc();
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(std::string(Root_get_p_path_program(p)), dir);
        EXPECT_EQ(std::string(Root_get_p_path_name_param(p)), dir + "\\data\\param.dat");
        Root_free(p);
    }
    CmdLine cmd{"C:\\" + std::string(242, 'e') + "\\x.exe"}; // 245 characters of directory
    Oss_test_set_cmd_line_source(CmdLine::source, &cmd);
    EXPECT_EQ(Root_alloc(), nullptr);
}

TEST_F(OssWin32Test, RootOfTheRunningProgram) {
    p_root = Root_alloc();
    ASSERT_NE(p_root, nullptr);
    EXPECT_EQ(std::string(Root_get_p_path_program(p_root)), own_directory());
    EXPECT_EQ(std::string(Root_get_p_path_name_param(p_root)),
              own_directory() + "\\data\\param.dat");
}

// A message-only window that counts what reaches its window procedure.
struct CountingWindow {
    HWND hwnd = NULL;
    static int s_n_user;
    static LRESULT CALLBACK proc(HWND hwnd, UINT msg, WPARAM w, LPARAM l) {
        if (msg == WM_USER + 1) {
            ++s_n_user;
            return 0;
        }
        return DefWindowProcA(hwnd, msg, w, l);
    }
    CountingWindow() {
        WNDCLASSA wc{};
        wc.lpfnWndProc = proc;
        wc.hInstance = GetModuleHandleA(NULL);
        wc.lpszClassName = "OrvoCountingWindow";
        RegisterClassA(&wc);
        hwnd = CreateWindowExA(0, wc.lpszClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, NULL,
                               wc.hInstance, NULL);
    }
    ~CountingWindow() {
        if (hwnd) DestroyWindow(hwnd);
    }
};
int CountingWindow::s_n_user;

// Empties this thread's queue, so that each case starts from nothing.
void drain_queue() {
    MSG msg;
    while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE)) {
    }
}

TEST(LinkWaitWin32, DispatchesAtMostOneMessagePerCall) {
    set_p_root(nullptr);
    CountingWindow w;
    ASSERT_NE(w.hwnd, (HWND)NULL);
    drain_queue();
    CountingWindow::s_n_user = 0;
    EXPECT_EQ(loc_sleep_ms(nullptr, 1), 0); // an empty queue: back at once
    ASSERT_TRUE(PostMessageA(w.hwnd, WM_USER + 1, 0, 0));
    ASSERT_TRUE(PostMessageA(w.hwnd, WM_USER + 1, 0, 0));
    EXPECT_EQ(loc_sleep_ms(nullptr, 1), 1);
    EXPECT_EQ(CountingWindow::s_n_user, 1);
    EXPECT_EQ(loc_sleep_ms(nullptr, 1000), 1);
    EXPECT_EQ(CountingWindow::s_n_user, 2);
    EXPECT_EQ(loc_sleep_ms(nullptr, 1), 0);
}

TEST(LinkWaitWin32, AQuitRequestStaysForTheProgramsLoop) {
    set_p_root(nullptr);
    drain_queue();
    PostQuitMessage(3);
    EXPECT_EQ(loc_sleep_ms(nullptr, 1), 1);
    MSG msg;
    ASSERT_TRUE(PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE));
    EXPECT_EQ(msg.message, (UINT)WM_QUIT);
    EXPECT_EQ(msg.wParam, (WPARAM)3);
    drain_queue();
}

int32_t pump_hook(void* p_user) {
    ++*static_cast<int*>(p_user);
    return 42;
}

TEST(LinkWaitWin32, AnInstalledHookTakesThePlaceOfTheQueue) {
    Root root{};
    int n_calls = 0;
    Root_set_cb_pump(&root, pump_hook, &n_calls);
    set_p_root(&root);
    CountingWindow w;
    drain_queue();
    CountingWindow::s_n_user = 0;
    PostMessageA(w.hwnd, WM_USER + 1, 0, 0);
    EXPECT_EQ(loc_sleep_ms(nullptr, 1), 42);
    EXPECT_EQ(n_calls, 1);
    EXPECT_EQ(CountingWindow::s_n_user, 0);
    set_p_root(nullptr);
    drain_queue();
}

} // namespace
