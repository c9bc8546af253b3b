// Every allocation of the buffered file streams, the parameter file, the
// S-record reader and writer, the partition builder and the file download
// failed in turn: each failure ends the operation with its result and line,
// with no block and no open file left behind.
#include "alloc_inject.h"
#include "fail_each.h"

#include "con.h"
#include "fcstream.h"
#include "fsv.h"
#include "msrec.h"
#include "msrecin.h"
#include "msrlin.h"
#include "msrload.h"
#include "msrpart.h"
#include "param.h"
#include "root.h"
#include "pty.h"
#include "stream.h"
#include "uart.h"
#include "us.h"
#include "uvmemx.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

class InjectFiles : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        char tmpl[] = "/tmp/orvo-inject-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        s_dir = tmpl;
        s_fsv = Fsv_alloc_posix();
        Fsv_set_default(s_fsv);
        write_srec_file(s_dir + "/small.s37");
    }
    static void TearDownTestSuite() {
        Fsv_set_default(nullptr);
        Fsv_free_posix(s_fsv);
        std::string cmd = "rm -rf '" + s_dir + "'";
        if (std::system(cmd.c_str()) != 0) ADD_FAILURE() << cmd;
    }

    // Two runs of touching records, a gap, a third run, then the end line: 24
    // records that the partition builder joins into two partitions.
    static void write_srec_file(const std::string& path) {
        MsRecSet* p_set = MsRecSet_alloc();
        uint8_t data[16];
        for (uint32_t i = 0; i < 24; i++) {
            for (uint32_t k = 0; k < sizeof data; k++)
                data[k] = (uint8_t)(i * 16 + k);
            uint32_t adr = 0x400000 + i * 16 + (i >= 16 ? 0x1000 : 0);
            MsRecSet_postfix_val(p_set, 10, adr, sizeof data, data);
        }
        ASSERT_EQ(MsRecIn_save_file(p_set, 3, path.c_str()), 1);
        Us_free(p_set);
    }

    static std::string s_dir;
    static Fsv* s_fsv;
};
std::string InjectFiles::s_dir;
Fsv* InjectFiles::s_fsv;

} // namespace

TEST_F(InjectFiles, StreamsWriteAndReadBack) {
    std::string path = s_dir + "/stream.bin";
    const char* p_path = path.c_str();
    static uint8_t out[300], in[300];
    for (int i = 0; i < 300; i++)
        out[i] = (uint8_t)(i * 7);
    InjectRuns runs = inject_fail_each(
        [&] {
            inject_capture_on();
            std::memset(in, 0, sizeof in);
        },
        [&] {
            // A 64-byte buffer makes the 300 bytes pass through it several times.
            Stream* ps = FcsOpenCreate(nullptr, p_path, 64);
            if (!ps) return false;
            bool ok = StreamWrite(ps, out, 300) == 300;
            FcsClose(ps);
            if (!ok) return false;
            ps = FcsOpenRead(nullptr, p_path, 64);
            if (!ps) return false;
            ok = StreamRead(ps, in, 300) == 300;
            FcsClose(ps);
            return ok && std::memcmp(in, out, 300) == 0;
        },
        [] {});
    expect_clean_failures(runs);
    expect_lines(runs, {"pc == NULL cannot open file <" + path + ">\n", "ps == NULL"});
}

TEST_F(InjectFiles, ParameterFile) {
    Root* p = nullptr;
    std::string path = s_dir + "/param.dat";
    const char* p_path = path.c_str();
    InjectRuns runs = inject_fail_each(
        [&] {
            p = Root_alloc();
            inject_capture_on();
        },
        [&] { return Root_param_save(p, p_path) == 1 && Root_param_load(p, p_path) == 1; },
        [&] {
            Root_free(p);
            p = nullptr;
        });
    expect_clean_failures(runs);
    expect_lines(runs, {"__SWSE (version) failed\n", "__SRSE (version) failed\n"});
}

TEST_F(InjectFiles, SrecordReader) {
    std::string path = s_dir + "/small.s37";
    const char* p_path = path.c_str();
    MsRecSet* p_set = nullptr;
    InjectRuns runs = inject_fail_each(
        [&] {
            inject_capture_on();
            p_set = MsRecSet_alloc();
        },
        [&] { return MsRecIn_load_file(p_set, p_path) == 1 && Us_get_n_elem(p_set) == 25; },
        [&] {
            Us_free(p_set);
            p_set = nullptr;
        });
    expect_clean_failures(runs);
    expect_lines(
        runs, {"cannot open file <" + path + "> for reading\n", "MsRecSet_postfix_val failed\n"});
}

TEST_F(InjectFiles, SrecordWriter) {
    std::string path_in = s_dir + "/small.s37";
    std::string path_out = s_dir + "/written.s37";
    const char* p_path_out = path_out.c_str();
    MsRecSet* p_set = MsRecSet_alloc();
    ASSERT_EQ(MsRecIn_load_file(p_set, path_in.c_str()), 1);
    // One record longer than a line and longer than the writer's own line area.
    static uint8_t big[600];
    MsRecSet_postfix_val(p_set, 10, 0x500000, sizeof big, big);
    InjectRuns runs =
        inject_fail_each([] { inject_capture_on(); },
                         [&] { return MsRecIn_save_file(p_set, 3, p_path_out) == 1; }, [] {});
    Us_free(p_set);
    expect_clean_failures(runs);
    expect_lines(runs, {"cannot open file " + path_out + "\n"});
}

TEST_F(InjectFiles, CoherentPartitionsAndSegmentSet) {
    MsRecSet* p_src = MsRecSet_alloc();
    ASSERT_EQ(MsRecIn_load_file(p_src, (s_dir + "/small.s37").c_str()), 1);
    MsRecSet* p_dst = nullptr;
    MsrLin* p_lin = nullptr;
    InjectRuns runs = inject_fail_each([] { inject_capture_on(); },
                                       [&] {
                                           p_dst = MsRecSet_alloc();
                                           if (!MsrPart_create_coherent_partitions(p_dst, p_src))
                                               return false;
                                           if (Us_get_n_elem(p_dst) != 2) return false;
                                           p_lin = MsrLin_alloc_from_rec_set(p_dst);
                                           return p_lin != nullptr;
                                       },
                                       [&] {
                                           MsrLin_free(p_lin);
                                           Us_free(p_dst);
                                           p_lin = nullptr;
                                           p_dst = nullptr;
                                       });
    Us_free(p_src);
    // The partition builder's own record failures may pass without a line of
    // their own; the result still says so.
    EXPECT_TRUE(runs.ok_clean);
    EXPECT_EQ(runs.live_clean, 0);
    for (const InjectTrial& t : runs.trials) {
        SCOPED_TRACE("allocation " + std::to_string(t.n) + " failed; log:\n" + t.log);
        EXPECT_TRUE(t.hit);
        EXPECT_FALSE(t.ok);
        EXPECT_EQ(t.live, 0);
    }
}

// The file download up to the device: loading, partitions, clean-up. With no
// device behind it, a run that gets that far fails at its first RAM write.
TEST_F(InjectFiles, FileDownloadUpToTheDevice) {
    std::string path = s_dir + "/small.s37";
    const char* p_path = path.c_str();
    InjectRuns runs = inject_fail_each([] { inject_capture_on(); },
                                       [&] {
                                           MsrLoad_send_file_and_jump(nullptr, p_path, 0);
                                           // Reached the device: every step before it worked.
                                           return false;
                                       },
                                       [] {});
    EXPECT_EQ(runs.live_clean, 0);
    ASSERT_GT(runs.n_alloc, 0);
    for (const InjectTrial& t : runs.trials) {
        SCOPED_TRACE("allocation " + std::to_string(t.n) + " failed; log:\n" + t.log);
        EXPECT_TRUE(t.hit);
        EXPECT_EQ(t.live, 0);
        EXPECT_NE(t.log.find("error-"), std::string::npos);
        EXPECT_EQ(t.log.find("download was successful"), std::string::npos);
    }
    expect_lines(runs,
                 {"p_rec_set_raw == NULL\n", "! MsRecIn_load_file (p_rec_set_raw, p_filename)\n"});
}

// The service record and the counting stream: null when memory runs out, the
// stream with its line.
TEST(InjectAlloc, FileServiceAndCountingStream) {
    Fsv* p_fsv = nullptr;
    Stream* ps = nullptr;
    InjectRuns runs = inject_fail_each([] { inject_capture_on(); },
                                       [&] {
                                           p_fsv = Fsv_alloc_posix();
                                           ps = StreamOpenCount();
                                           return p_fsv != nullptr && ps != nullptr &&
                                                  StreamPrintf(ps, "%d", 12345) == 5 &&
                                                  StreamGetCount(ps) == 5;
                                       },
                                       [&] {
                                           Fsv_free_posix(p_fsv);
                                           Stream_free(ps);
                                           p_fsv = nullptr;
                                           ps = nullptr;
                                       });
    EXPECT_TRUE(runs.ok_clean);
    EXPECT_EQ(runs.live_clean, 0);
    ASSERT_EQ(runs.n_alloc, 2);
    for (const InjectTrial& t : runs.trials) {
        EXPECT_FALSE(t.ok);
        EXPECT_EQ(t.live, 0);
    }
    EXPECT_TRUE(runs.logged("p == NULL\n"));
}

// The block send's doubling buffer: when it cannot be had the block counts as
// broken into (NAK), which the link repeats; no line, nothing kept.
TEST(InjectAlloc, SerialBlockSend) {
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    Uart uart;
    Uart* p_uart = Uart_init(&uart);
    ASSERT_TRUE(Uart_open(p_uart, pty.slave_path().c_str(), 115200, 8, 0, 0));
    static const uint8_t bytes[6] = {1, 0x10, 2, 0x10, 0x10, 3};
    InjectRuns runs = inject_fail_each(
        [] { inject_capture_on(); },
        [&] { return Uart_send_with_dle(p_uart, sizeof bytes, bytes) == UART_NO_BYTE; }, [] {});
    Uart_close(p_uart);
    EXPECT_TRUE(runs.ok_clean);
    ASSERT_EQ(runs.n_alloc, 1);
    EXPECT_FALSE(runs.trials[0].ok);
    EXPECT_EQ(runs.trials[0].live, 0);
}

// A line longer than the writer's own 256-byte area takes a buffer from the
// heap; without it the line is not written (0), nothing is kept.
TEST(InjectAlloc, LongRecordLine) {
    static uint8_t bytes[300];
    FILE* fp = std::tmpfile();
    ASSERT_NE(fp, nullptr);
    InjectRuns runs =
        inject_fail_each([] { inject_capture_on(); },
                         [&] { return write_record(fp, 3, sizeof bytes, bytes) == 1; }, [] {});
    std::fclose(fp);
    EXPECT_TRUE(runs.ok_clean);
    ASSERT_EQ(runs.n_alloc, 1);
    EXPECT_FALSE(runs.trials[0].ok);
    EXPECT_EQ(runs.trials[0].live, 0);
}
