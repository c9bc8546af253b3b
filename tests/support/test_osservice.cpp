// Program directory: the command-line token scan, each failure line of
// Oss_get_path_program, and the real program started through a relative
// path, a symbolic link and a directory with a blank.
#include "osservice.h"

#include "con.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const char* const FRAME = "error-src/support/osservice.cpp-Oss_get_path_program: ";

int capture(void* p_log, const char* text) {
    *static_cast<std::string*>(p_log) += text;
    return 1;
}

struct ParseCase {
    const char* line;
    int result, i_start, n_len;
};

TEST(ParseCmdLine, FirstTokenTable) {
    const ParseCase cases[] = {
        {"\"C:\\Program Files\\Orvo\\loader.exe\" -x", 1, 1, 32},
        {"   loader.exe -x", 1, 3, 10},
        {"loader.exe", 1, 0, 10},
        {"a", 1, 0, 1},
        {"\"\" rest", 1, 1, 0},
        {"\ta b", 1, 0, 2},  // a tab is no blank
        {"x\"y z", 1, 0, 3}, // a quote inside a plain token is a character
        {"", -1, -1, 0},
        {"    ", -1, -1, 0},
        {"\"C:\\unclosed", -1, 1, 11},
        {"  \"", -1, 3, 0},
        {nullptr, -1, -1, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line ? c.line : "null");
        int i_start = 99, n_len = 99;
        EXPECT_EQ(parse_cmd_line(c.line, &i_start, &n_len), c.result);
        EXPECT_EQ(i_start, c.i_start);
        EXPECT_EQ(n_len, c.n_len);
    }
    EXPECT_EQ(parse_cmd_line("abc", nullptr, nullptr), 1);
}

// Oss_get_path_program over a command line given by the test.
struct OssPath : ::testing::Test {
    std::string log;
    const char* cmd_line = nullptr;
    std::string old_cwd;
    std::string tmp_dir;

    static const char* source(void* p_user) { return static_cast<OssPath*>(p_user)->cmd_line; }
    void SetUp() override {
        Con_set_cb_output(capture, &log);
        Oss_test_set_cmd_line_source(source, this);
    }
    void TearDown() override {
        Oss_test_set_cmd_line_source(nullptr, nullptr);
        Con_set_cb_output(nullptr, nullptr);
        if (!old_cwd.empty()) {
            EXPECT_EQ(chdir(old_cwd.c_str()), 0);
        }
        if (!tmp_dir.empty()) rmdir(tmp_dir.c_str());
    }
    // Works in a fresh directory of known name so that relative tokens resolve
    // predictably.
    std::string enter_tmp_dir() {
        char cwd[PATH_MAX];
        EXPECT_NE(getcwd(cwd, sizeof cwd), nullptr);
        old_cwd = cwd;
        char tmpl[] = "/tmp/oss-cwd-XXXXXX";
        EXPECT_NE(mkdtemp(tmpl), nullptr);
        tmp_dir = tmpl;
        EXPECT_EQ(chdir(tmp_dir.c_str()), 0);
        // The system's name of it, as relative paths resolve against: /tmp may be a link.
        EXPECT_NE(getcwd(cwd, sizeof cwd), nullptr);
        return cwd;
    }
};

struct PathCase {
    std::string cmd_line;
    int n_dst;
    int result;
    std::string dir_or_log; // the directory on success, else the line after the frame
};

TEST_F(OssPath, CommandLineTable) {
    const std::string long260 = "/" + std::string(259, 'a');
    const std::string long259 = "/d/" + std::string(256, 'b');
    const PathCase cases[] = {
        {"\"/opt/my tools/orvo/loader\" -v", 260, 18, "/opt/my tools/orvo"},
        {"   /usr/bin/orvo --port COM1", 260, 8, "/usr/bin"},
        {"/a/./b/../c//prog", 260, 4, "/a/c"},
        {"/prog", 260, 0, ""},
        {long259, 260, 2, "/d"},
        {long260, 260, -1, "n_path >= n_dst (n_path=260, n_dst=260)\n"},
        {long260 + "b", 260, -1, "n_path >= n_dst (n_path=261, n_dst=260)\n"},
        {"", 260, -1, "parse_cmd_line failed\n"},
        {"   ", 260, -1, "parse_cmd_line failed\n"},
        {"\"/opt/unclosed/loader", 260, -1, "parse_cmd_line failed\n"},
        {"\"\" -v", 260, -1, "GetFullPathName failed (last_error=00000002,2\n"},
        {"/opt/dir/", 260, -1, "i_filename <= 0\n"},
        {"/opt/orvo/loader", 0, -1, "n_path >= n_dst (n_path=16, n_dst=0)\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.cmd_line);
        log.clear();
        cmd_line = c.cmd_line.c_str();
        char dst[300];
        EXPECT_EQ(Oss_get_path_program(c.n_dst, dst), c.result);
        if (c.result >= 0) {
            EXPECT_EQ(std::string(dst), c.dir_or_log);
            EXPECT_EQ(log, "");
        } else {
            EXPECT_EQ(log, FRAME + c.dir_or_log);
        }
    }
}

TEST_F(OssPath, NoCommandLineAndNoBuffer) {
    char dst[260];
    EXPECT_EQ(Oss_get_path_program(260, dst), -1);
    EXPECT_EQ(log, FRAME + std::string("p_cmd_line == NULL\n"));
    log.clear();
    cmd_line = "/usr/bin/orvo";
    EXPECT_EQ(Oss_get_path_program(260, nullptr), -1);
    EXPECT_EQ(log, FRAME + std::string("p_dst == NULL\n"));
}

TEST_F(OssPath, RelativeTokenResolvesAgainstTheWorkingDirectory) {
    std::string cwd = enter_tmp_dir();
    char dst[260];
    cmd_line = "sub/../bin/loader -x";
    EXPECT_EQ(Oss_get_path_program(260, dst), (int)(cwd + "/bin").size());
    EXPECT_EQ(std::string(dst), cwd + "/bin");
    cmd_line = "loader";
    EXPECT_EQ(Oss_get_path_program(260, dst), (int)cwd.size());
    EXPECT_EQ(std::string(dst), cwd);
    // The token is 8 characters, but the working directory makes it too long.
    cmd_line = "a/loader";
    EXPECT_EQ(Oss_get_path_program(12, dst), -1);
    EXPECT_EQ(log, FRAME + std::string("i_filename <= 0\n"));
}

TEST(OssFullPathName, TooSmallBufferGetsTheSizeNeededAndStaysUntouched) {
    char dst[8] = "XXXXXXX";
    int i_filename = 5;
    EXPECT_EQ(Oss_get_full_path_name("/abc/defg", 8, dst, &i_filename), 10);
    EXPECT_EQ(i_filename, -1);
    EXPECT_STREQ(dst, "XXXXXXX");
    EXPECT_EQ(Oss_get_full_path_name("/abc/defg", 10, nullptr, &i_filename), 10);
    char big[16];
    EXPECT_EQ(Oss_get_full_path_name("/abc/../x/defg", 16, big, &i_filename), 7);
    EXPECT_STREQ(big, "/x/defg");
    EXPECT_EQ(i_filename, 3);
    EXPECT_EQ(Oss_get_full_path_name("/..", 16, big, &i_filename), 1);
    EXPECT_STREQ(big, "/");
    EXPECT_EQ(i_filename, -1);
}

// The real program. A child is this test binary, started again with a filter
// for the current test and ORVO_OSS_REPORT naming a file; the child writes the
// result of Oss_get_path_program and its command line there.
const char* const REPORT_ENV = "ORVO_OSS_REPORT";

struct Report {
    int result = -2;
    std::string dir;
    std::string cmd_line;
};

// In a child: writes the report and returns true.
bool report_if_child() {
    const char* path = std::getenv(REPORT_ENV);
    if (!path) return false;
    char dst[4096];
    int result = Oss_get_path_program(sizeof dst, dst);
    const char* cmd_line = Oss_get_cmd_line();
    std::ofstream out(path);
    out << result << '\n' << (result >= 0 ? dst : "") << '\n' << (cmd_line ? cmd_line : "") << '\n';
    return true;
}

std::string own_exe() {
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    EXPECT_GT(n, 0);
    return std::string(buf, n > 0 ? (size_t)n : 0);
}

std::string dir_of(const std::string& path) {
    return path.substr(0, path.rfind('/'));
}

// Starts program (as given, so a relative path stays relative) in cwd.
Report run_child(const std::string& cwd, const std::string& program) {
    std::string report_path = ::testing::TempDir() + "oss-report-" + std::to_string(getpid());
    std::remove(report_path.c_str());
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string filter =
        std::string("--gtest_filter=") + info->test_suite_name() + "." + info->name();
    pid_t pid = fork();
    if (pid == 0) {
        if (chdir(cwd.c_str()) != 0) _exit(126);
        setenv(REPORT_ENV, report_path.c_str(), 1);
        execl(program.c_str(), program.c_str(), filter.c_str(), (char*)nullptr);
        _exit(127);
    }
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    Report r;
    std::ifstream in(report_path);
    std::string result;
    if (std::getline(in, result)) r.result = std::stoi(result);
    std::getline(in, r.dir);
    std::getline(in, r.cmd_line);
    std::remove(report_path.c_str());
    return r;
}

TEST(OssProgram, InProcessGivesTheDirectoryOfTheProgramFile) {
    char dst[4096];
    std::string expected = dir_of(own_exe());
    EXPECT_EQ(Oss_get_path_program(sizeof dst, dst), (int)expected.size());
    EXPECT_EQ(std::string(dst), expected);
}

TEST(OssProgram, StartedThroughARelativePath) {
    if (report_if_child()) return;
    std::string exe = own_exe();
    std::string dir = dir_of(exe);
    // From the directory above, as "<dir name>/<program name>".
    std::string relative = dir.substr(dir.rfind('/') + 1) + exe.substr(exe.rfind('/'));
    Report r = run_child(dir_of(dir), relative);
    EXPECT_EQ(r.result, (int)dir.size());
    EXPECT_EQ(r.dir, dir);
}

TEST(OssProgram, StartedThroughASymbolicLink) {
    if (report_if_child()) return;
    std::string exe = own_exe();
    char tmpl[] = "/tmp/oss-link-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    std::string link_dir = tmpl;
    std::string link = link_dir + "/loader";
    ASSERT_EQ(symlink(exe.c_str(), link.c_str()), 0);
    Report r = run_child(link_dir, "./loader");
    EXPECT_EQ(r.result, (int)dir_of(exe).size());
    EXPECT_EQ(r.dir, dir_of(exe));
    unlink(link.c_str());
    rmdir(link_dir.c_str());
}

// A second name of the program file (a hard link, or a copy where linking is
// refused) in a directory whose name holds blanks or double quotes: the
// directory comes back whole, as the command line names the path bare.
TEST(OssProgram, StartedFromADirectoryWithABlankOrAQuote) {
    if (report_if_child()) return;
    std::string exe = own_exe();
    for (const char* name :
         {"oss blank XXXXXX", "oss \"quoted\" blank XXXXXX", "oss\"quote\"XXXXXX"}) {
        SCOPED_TRACE(name);
        std::string tmpl_buf = dir_of(exe) + "/" + name;
        ASSERT_NE(mkdtemp(tmpl_buf.data()), nullptr);
        std::string dir = tmpl_buf;
        std::string second = dir + "/loader";
        if (link(exe.c_str(), second.c_str()) != 0) {
            std::ifstream in(exe, std::ios::binary);
            std::ofstream out(second, std::ios::binary);
            out << in.rdbuf();
            out.close();
            ASSERT_EQ(chmod(second.c_str(), 0755), 0);
        }
        Report r = run_child("/", second);
        EXPECT_EQ(r.result, (int)dir.size());
        EXPECT_EQ(r.dir, dir);
        EXPECT_EQ(r.cmd_line, second);
        unlink(second.c_str());
        rmdir(dir.c_str());
    }
}

} // namespace
