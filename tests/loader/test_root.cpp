// Application root: creation, the parameter path, loading of the images,
// accessors and the link's time callbacks.
#include "root.h"

#include "con.h"
#include "csp.h"
#include "dbterm.h"
#include "images.h"
#include "osservice.h"
#include "recording_window.h"
#include "uvmem.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace {

const char k_connected[] = "stdout is now connected to this virtual screen";

struct RootTest : ::testing::Test {
    Root* p = nullptr;
    void TearDown() override {
        Root_free(p);
        Oss_test_set_cmd_line_source(nullptr, nullptr);
        Csp_set_tick_source(nullptr, nullptr);
        Con_set_cb_output(nullptr, nullptr);
    }
};

// The first row of the terminal, as a viewer reads it.
std::string first_row(DbTerm* p_term) {
    EXPECT_GE(DbTerm_to_string(p_term, -1), 0);
    std::string all = DbTerm_get_p_str(p_term);
    return all.substr(0, all.find('\n'));
}

TEST_F(RootTest, AllocConnectsTheConsoleLastAndSaysSo) {
    // A line logged before the root exists has no output and is dropped.
    Con_print("before the root\n");
    p = Root_alloc();
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(first_row(Root_get_p_db_term(p)), k_connected);
    EXPECT_EQ(Con_get_cb_output(), &DbTerm_print);
    EXPECT_EQ(Con_get_p_output(), Root_get_p_db_term(p));
    EXPECT_EQ(Root_get_p_uart(p)->h_com, UART_INVALID_HANDLE);
    EXPECT_EQ(Root_get_p_co(p), &p->co);
    EXPECT_EQ(Root_get_p_rmc(p), &p->rmc);
    EXPECT_EQ(p->rmc.p_co, &p->co);
    // The root's own link: its clock and wait callbacks, the port's bytes,
    // 384-byte slots, block check and high priority.
    EXPECT_EQ(p->co.cb_time_get_t_now, &loc_get_t_now);
    EXPECT_EQ(p->co.cb_time_plus_ms, &loc_plus_ms);
    EXPECT_EQ(p->co.cb_time_sleep_ms, &loc_sleep_ms);
    EXPECT_EQ(p->co.p_time, nullptr);
    EXPECT_EQ(p->co.p_uart, &p->uart);
    EXPECT_EQ(p->co.ib_m_msg, 384);
    EXPECT_EQ(p->co.ob_m_msg, 384);
    EXPECT_EQ(p->co.with_bcc, 1);
    EXPECT_EQ(p->co.is_high_prio, 1);
    EXPECT_EQ(p->rmc.m_msg_buffer, 384);
    // Nothing is loaded yet.
    EXPECT_EQ(p->p_set_loader, nullptr);
    EXPECT_EQ(p->p_set_appl, nullptr);
    EXPECT_EQ(p->n_bytes_appl, 0);
    EXPECT_EQ(p->n_block, 256);
}

TEST_F(RootTest, ProgramDirectoryIsTheRunningProgramsOwn) {
    p = Root_alloc();
    ASSERT_NE(p, nullptr);
    std::string dir = Root_get_p_path_program(p);
    // The system names the program file without links on its path; the build folder may
    // have been named through one.
    EXPECT_EQ(std::filesystem::canonical(dir),
              std::filesystem::canonical(std::string(ORVO_BINARY_DIR) + "/tests"));
    EXPECT_EQ(std::string(Root_get_p_path_name_param(p)), dir + "/data/param.dat");
}

// A program path handed to the root through the command-line source.
struct ProgramPath {
    std::string cmd_line;
    static const char* source(void* p_user) {
        return static_cast<ProgramPath*>(p_user)->cmd_line.c_str();
    }
};

// A directory of exactly n characters: "/" followed by components of "d".
// (0: the top directory, which the root knows as "").
std::string dir_of_length(int n) {
    if (n == 0) return "";
    std::string dir = "/" + std::string(n - 1, 'd');
    for (int i = 50; i < n - 1; i += 50)
        dir[i] = '/';
    return dir;
}

TEST_F(RootTest, ParameterPathIsTheDirectoryPlusFifteenCharacters) {
    for (int d : {0, 2, 100, 244}) {
        SCOPED_TRACE(d);
        ProgramPath path{dir_of_length(d) + "/orvo-loader"};
        Oss_test_set_cmd_line_source(ProgramPath::source, &path);
        Root* q = Root_alloc();
        ASSERT_NE(q, nullptr);
        EXPECT_EQ(std::string(Root_get_p_path_program(q)), dir_of_length(d));
        std::string param = Root_get_p_path_name_param(q);
        EXPECT_EQ(param.size(), static_cast<size_t>(d + 15));
        EXPECT_EQ(param, dir_of_length(d) + "/data/param.dat");
        Root_free(q);
    }
}

TEST_F(RootTest, DirectoryWithoutRoomForTheParameterFileIsRefused) {
    for (int d : {245, 257}) {
        SCOPED_TRACE(d);
        ProgramPath path{dir_of_length(d) + "/x"};
        Oss_test_set_cmd_line_source(ProgramPath::source, &path);
        LogCapture log;
        EXPECT_EQ(Root_alloc(), nullptr);
        EXPECT_EQ(log.count_containing("error-src/loader/root.cpp-Root_alloc: n_path + n_tail >= "
                                       "n_dst (n_path=" +
                                       std::to_string(d) + ", n_tail=15, n_dst=260)"),
                  1);
        // The console stays where it was: the root did not connect it.
        EXPECT_EQ(log.count(k_connected), 0);
    }
}

TEST_F(RootTest, UnknownProgramDirectoryFailsTheRoot) {
    Oss_test_set_cmd_line_source([](void*) -> const char* { return nullptr; }, nullptr);
    LogCapture log;
    EXPECT_EQ(Root_alloc(), nullptr);
    EXPECT_EQ(log.count("error-src/support/osservice.cpp-Oss_get_path_program: p_cmd_line == NULL"),
              1);
    EXPECT_EQ(log.count(k_connected), 0);
}

// What the application image gives: 256 for each block of the code memory
// that holds a byte other than 0xFF.
int32_t expected_n_bytes_appl() {
    std::vector<uint8_t> image(0x74000, 0xFF);
    for (int32_t k = 0; k < orvo_get_n_set(); k++) {
        uint32_t a = orvo_get_p_set_a_bytes()[k] - 0x80000;
        std::copy(orvo_get_p_set_p_bytes()[k],
                  orvo_get_p_set_p_bytes()[k] + orvo_get_p_set_n_bytes()[k], image.begin() + a);
    }
    int32_t n = 0;
    for (size_t a = 0; a < image.size(); a += 256)
        if (std::any_of(image.begin() + a, image.begin() + a + 256,
                        [](uint8_t b) { return b != 0xFF; }))
            n += 256;
    return n;
}

TEST_F(RootTest, FirstImageAccessLoadsOnceAndLogsTheCountOnce) {
    p = Root_alloc();
    ASSERT_NE(p, nullptr);
    LogCapture log;
    EXPECT_EQ(Root_get_n_block(p), 256);
    int32_t n_bytes = expected_n_bytes_appl();
    EXPECT_EQ(log.count("info-src/loader/root.cpp-build_p_vm_from_p_set: n_bytes=" +
                        std::to_string(n_bytes)),
              1);
    EXPECT_EQ(log.count_containing("n_bytes="), 1);
    log.clear();
    EXPECT_EQ(Root_get_n_block(p), 256);
    EXPECT_EQ(Root_get_n_bytes_appl(p), n_bytes);
    EXPECT_NE(Root_get_p_vm(p), nullptr);
    EXPECT_EQ(log.text(), "");
}

TEST_F(RootTest, LoadedImagesAreTheEmbeddedOnes) {
    p = Root_alloc();
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(check_is_loaded(p), 1);
    MsrLin* p_loader = Root_get_p_set_loader(p);
    ASSERT_EQ(p_loader, &p->set_loader);
    EXPECT_EQ(MsrLin_get_n_set(p_loader), 3);
    EXPECT_EQ(MsrLin_get_n_heap(p_loader), 45397);
    EXPECT_EQ(MsrLin_get_p_set_i_bytes(p_loader), nullptr);
    EXPECT_EQ(MsrLin_get_p_set_a_bytes(p_loader)[2], 0x400438u);
    MsrLin* p_appl = Root_get_p_set_appl(p);
    ASSERT_EQ(p_appl, &p->set_appl);
    EXPECT_EQ(MsrLin_get_n_heap(p_appl), 469428);
    UvMem* p_vm = Root_get_p_vm(p);
    EXPECT_EQ(UvMem_get_a_vmem(p_vm), 0x80000u);
    EXPECT_EQ(UvMem_get_n_vmem(p_vm), 0x74000u);
    EXPECT_EQ(UvMem_read_byte(p_vm, 0x80010), 0x47);
    EXPECT_EQ(UvMem_read_byte(p_vm, 0x80000 + 1), orvo_get_p_heap()[1]);
    // Past the application the image stays erased.
    EXPECT_EQ(UvMem_block_equals_val(p_vm, 0x80000 + 469428, 0xF4000 - (0x80000 + 469428), 0xFF),
              1);
}

TEST_F(RootTest, BuildCountsNonBlankBlocksAndRefusesWhatDoesNotFit) {
    LogCapture log;
    UvMem* p_vm = UvMem_alloc_as_orvo_code_k52();
    ASSERT_NE(p_vm, nullptr);
    // Two bytes: one at the end of the first block, one in the middle of the
    // tenth; a 0xFF byte does not make its block count.
    const uint32_t a_set[] = {0x800FF, 0x80980, 0x80A00};
    const uint32_t n_set[] = {1, 1, 1};
    const uint8_t heap[] = {0x00, 0x12, 0xFF};
    const uint8_t* p_set[] = {heap, heap + 1, heap + 2};
    MsrLin set;
    MsrLin_init_val(&set, 3, a_set, n_set, nullptr, p_set, 3, heap);
    UvMem_fill(p_vm, 0x00); // the build fills with 0xFF first
    EXPECT_EQ(build_p_vm_from_p_set(p_vm, &set, 256), 512);
    EXPECT_EQ(log.count("info-src/loader/root.cpp-build_p_vm_from_p_set: n_bytes=512"), 1);
    EXPECT_EQ(build_p_vm_from_p_set(p_vm, &set, 0x74000), 0x74000);

    // A segment outside the image.
    const uint32_t a_out[] = {0x400000};
    MsrLin out;
    MsrLin_init_val(&out, 1, a_out, n_set, nullptr, p_set, 1, heap);
    log.clear();
    EXPECT_EQ(build_p_vm_from_p_set(p_vm, &out, 256), -1);
    EXPECT_EQ(
        log.count("error-src/loader/root.cpp-build_p_vm_from_p_set: UvMem_MsrLin_write failed"), 1);
    EXPECT_EQ(log.count_containing("n_bytes="), 0);
    // A block size that would never leave the first block.
    EXPECT_EQ(build_p_vm_from_p_set(p_vm, &set, 0), -1);
    UvMem_free(p_vm);
}

TEST_F(RootTest, ImagesOfTheCallerReplaceTheEmbeddedOnes) {
    p = Root_alloc();
    ASSERT_NE(p, nullptr);
    const uint32_t a_appl[] = {0x80010, 0x81000};
    const uint32_t n_appl[] = {1, 2};
    const uint8_t heap[] = {0x47, 0x01, 0x02};
    const uint8_t* p_appl_bytes[] = {heap, heap + 1};
    MsrLin appl;
    MsrLin_init_val(&appl, 2, a_appl, n_appl, nullptr, p_appl_bytes, 3, heap);
    // Null keeps the embedded flash loader; the memory image is built afresh from the set.
    EXPECT_EQ(Root_set_images(p, nullptr, &appl), 1);
    EXPECT_EQ(Root_get_p_set_loader(p), &p->set_loader);
    EXPECT_EQ(Root_get_p_set_appl(p), &appl);
    EXPECT_EQ(Root_get_n_bytes_appl(p), 2 * 256);
    UvMem* p_vm = Root_get_p_vm(p);
    EXPECT_EQ(UvMem_read_byte(p_vm, 0x80010), 0x47);
    EXPECT_EQ(UvMem_read_byte(p_vm, 0x81001), 0x02);
    EXPECT_EQ(UvMem_read_byte(p_vm, 0x80000), 0xFF);
    MsrLin loader;
    MsrLin_init_val(&loader, 1, a_appl, n_appl, nullptr, p_appl_bytes, 1, heap);
    EXPECT_EQ(Root_set_images(p, &loader, nullptr), 1);
    EXPECT_EQ(Root_get_p_set_loader(p), &loader);
    EXPECT_EQ(Root_get_p_set_appl(p), &appl);
    // A set that does not fit the memory image fails.
    const uint32_t a_out[] = {0x400000};
    MsrLin out;
    MsrLin_init_val(&out, 1, a_out, n_appl, nullptr, p_appl_bytes, 1, heap);
    EXPECT_EQ(Root_set_images(p, nullptr, &out), 0);
    EXPECT_EQ(Root_set_images(nullptr, &loader, &appl), 0);
}

TEST_F(RootTest, NullRootAccessorsAnswerNullWithoutLoading) {
    LogCapture log;
    EXPECT_EQ(Root_get_p_path_program(nullptr), nullptr);
    EXPECT_EQ(Root_get_p_path_name_param(nullptr), nullptr);
    EXPECT_EQ(Root_get_p_db_term(nullptr), nullptr);
    EXPECT_EQ(Root_get_p_uart(nullptr), nullptr);
    EXPECT_EQ(Root_get_p_co(nullptr), nullptr);
    EXPECT_EQ(Root_get_p_rmc(nullptr), nullptr);
    EXPECT_EQ(Root_get_p_set_loader(nullptr), nullptr);
    EXPECT_EQ(Root_get_p_set_appl(nullptr), nullptr);
    EXPECT_EQ(Root_get_p_vm(nullptr), nullptr);
    EXPECT_EQ(Root_get_n_bytes_appl(nullptr), 0);
    EXPECT_EQ(Root_get_n_block(nullptr), 0);
    EXPECT_EQ(check_is_loaded(nullptr), 0);
    EXPECT_EQ(Root_set_cb_pump(nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(log.text(), "");
}

TEST_F(RootTest, ProcessRootIsWhatTheProgramSet) {
    EXPECT_EQ(get_p_root(), nullptr);
    p = Root_alloc();
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(get_p_root(), nullptr);
    EXPECT_EQ(set_p_root(p), p);
    EXPECT_EQ(get_p_root(), p);
    Root_free(p);
    p = nullptr;
    EXPECT_EQ(get_p_root(), nullptr);
}

TEST(RootTime, PlusMsWrapsLikeTheTickCount) {
    const int32_t t_before_wrap = static_cast<int32_t>(0xFFFFFFFFu - 255); // 256 ms before the wrap
    EXPECT_EQ(loc_plus_ms(nullptr, t_before_wrap, 512), 256);
    EXPECT_EQ(loc_plus_ms(nullptr, 1000, 220), 1220);
    // The link compares by the sign of the difference: the deadline is later.
    EXPECT_GT(static_cast<int32_t>(loc_plus_ms(nullptr, t_before_wrap, 512) - t_before_wrap), 0);
}

TEST(RootTime, NowIsTheSystemTickCount) {
    static uint32_t s_tick;
    Csp_set_tick_source([](void*) { return s_tick; }, nullptr);
    s_tick = 0xFFFFFFFFu;
    EXPECT_EQ(loc_get_t_now(nullptr), -1);
    s_tick = 1234;
    EXPECT_EQ(loc_get_t_now(nullptr), 1234);
    Csp_set_tick_source(nullptr, nullptr);
}

TEST(RootTime, SleepRunsThePumpOfTheProcessRootOnce) {
    // Without a process root or a hook it returns at once.
    EXPECT_EQ(loc_sleep_ms(nullptr, 1), 0);
    Root* p = Root_alloc();
    ASSERT_NE(p, nullptr);
    set_p_root(p);
    EXPECT_EQ(loc_sleep_ms(nullptr, 1), 0);
    int n_calls = 0;
    Root_set_cb_pump(
        p, [](void* p_user) -> int32_t { return ++*static_cast<int*>(p_user) + 40; }, &n_calls);
    EXPECT_EQ(loc_sleep_ms(nullptr, 1), 41);
    EXPECT_EQ(loc_sleep_ms(nullptr, 500), 42);
    EXPECT_EQ(n_calls, 2);
    Root_set_cb_pump(p, nullptr, &n_calls);
    EXPECT_EQ(p->p_pump, nullptr);
    EXPECT_EQ(loc_sleep_ms(nullptr, 1), 0);
    EXPECT_EQ(n_calls, 2);
    Root_free(p);
    Con_set_cb_output(nullptr, nullptr);
}

} // namespace
