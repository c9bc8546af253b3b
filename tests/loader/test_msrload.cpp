// File download: an S-record file sent through an RMC master over a link pair to a slave in virtual
// time.
#include "con.h"
#include "linkpair.h"
#include "msrecin.h"
#include "msrload.h"
#include "rmc.h"
#include "rmc_slave.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<uint8_t>;

struct Write {
    uint32_t a_mem;
    Bytes data;
    bool operator==(const Write&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Write& w) {
    return os << "{0x" << std::hex << w.a_mem << std::dec << ", " << w.data.size() << " bytes}";
}

Bytes ramp(size_t n, uint8_t first) {
    Bytes b(n);
    for (size_t i = 0; i < n; i++)
        b[i] = (uint8_t)(first + i);
    return b;
}

// An RMC master on side 0, and on side 1 a slave that takes RAM writes and
// jumps, answering each (or refusing the chosen ones with an exception).
struct MsrLoadTest : ::testing::Test {
    LinkPair* lp = nullptr;
    Rmc rmc{};
    Bytes buf = Bytes(384);
    RmcSlave slave{};
    std::vector<Write> writes;   // accepted RAM writes, in order
    std::vector<uint32_t> jumps; // jump requests, in order
    int refuse_write_nth = 0;    // 1-based write to refuse, 0: none
    int refuse_write_code = 0;
    int refuse_jump_code = 0; // 0: the jump is accepted
    int n_write_requests = 0;
    std::vector<std::string> lines;
    fs::path dir;

    void SetUp() override {
        lp = LinkPair_alloc(nullptr);
        ASSERT_EQ(Rmc_init_as_master(&rmc, (int32_t)buf.size(), buf.data(), LinkPair_get_co(lp, 0)),
                  &rmc);
        ASSERT_EQ(RmcSlave_init(&slave, LinkPair_get_co(lp, 1)), &slave);
        LinkPair_set_peer(lp, peer, this);
        LinkPair_install_csp(lp, 0);
        std::string templ = (fs::temp_directory_path() / "msrload-XXXXXX").string();
        ASSERT_NE(mkdtemp(templ.data()), nullptr);
        dir = templ;
        Con_set_cb_output(sink, this);
    }
    void TearDown() override {
        Con_set_cb_output(nullptr, nullptr);
        LinkPair_free(lp);
        fs::remove_all(dir);
    }

    static int sink(void* p, const char* text) {
        static_cast<MsrLoadTest*>(p)->lines.emplace_back(text);
        return 0;
    }

    static void peer(void* p_user, LinkPair*, int) {
        auto* t = static_cast<MsrLoadTest*>(p_user);
        RmcSlave* s = &t->slave;
        if (RmcSlave_take_request(s) < 0) return;
        uint32_t a_mem = RmcSlave_get_arg(s, 0);
        if (s->req[0] == RMC_FC_WRITE_XBRAM) {
            uint32_t n = RmcSlave_get_arg(s, 1);
            EXPECT_EQ((uint32_t)s->n_req, 9 + n);
            if (++t->n_write_requests == t->refuse_write_nth) {
                RmcSlave_send_exception(s, t->refuse_write_code);
                return;
            }
            t->writes.push_back({a_mem, Bytes(s->req + 9, s->req + 9 + n)});
        } else if (s->req[0] == RMC_FC_JUMP) {
            t->jumps.push_back(a_mem);
            if (t->refuse_jump_code) {
                RmcSlave_send_exception(s, t->refuse_jump_code);
                return;
            }
        } else {
            RmcSlave_send_exception(s, RMC_RES_ILL_FC);
            return;
        }
        RmcSlave_reply_begin(s, -1);
        RmcSlave_reply_send(s);
    }

    // An S3 file of the runs (address, bytes), in records of 30 bytes.
    std::string file_of(const std::vector<Write>& runs) {
        MsRecSet* p = MsRecSet_alloc();
        for (const Write& r : runs)
            for (size_t off = 0; off < r.data.size(); off += 30) {
                size_t n = std::min<size_t>(30, r.data.size() - off);
                MsRecSet_postfix_val(p, MSREC_TAG_DATA, r.a_mem + (uint32_t)off, (uint32_t)n,
                                     r.data.data() + off);
            }
        std::string path = (dir / "load.s37").string();
        EXPECT_EQ(MsRecIn_save_file(p, 3, path.c_str()), 1);
        Us_free(p);
        return path;
    }

    bool has_line(const std::string& line) const {
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }
};

TEST_F(MsrLoadTest, PartitionOf600BytesGoesIn256_256_88AndTheJumpIsAccepted) {
    const Bytes data = ramp(600, 0x05); // holds 0x10 bytes: DLE doubling on the wire
    std::string path = file_of({{0x400000, data}});
    lines.clear();
    EXPECT_EQ(MsrLoad_send_file_and_jump(&rmc, path.c_str(), 0x400000), 1);
    EXPECT_EQ(writes, (std::vector<Write>{{0x400000, Bytes(data.begin(), data.begin() + 256)},
                                          {0x400100, Bytes(data.begin() + 256, data.begin() + 512)},
                                          {0x400200, Bytes(data.begin() + 512, data.end())}}));
    EXPECT_EQ(jumps, std::vector<uint32_t>({0x400000}));
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[0], "loading data from file <" + path + ">\r\n");
    EXPECT_EQ(lines[1], "loaded 21 records\n"); // 20 data records and the end record
    EXPECT_EQ(lines[2], "totally 600 bytes to be transferred\n");
    EXPECT_EQ(lines[3], "sending partition to adr=00400000 n_bytes=600\n");
    EXPECT_EQ(lines[4].rfind("download was successful (t=", 0), 0u) << lines[4];
    EXPECT_EQ(lines[5], "jump to adr 0x00400000 accepted\n");
}

TEST_F(MsrLoadTest, PartitionsGoInOrderAndTheFilesStartAddressIsNotUsed) {
    std::string path = file_of({{0x400200, ramp(40, 1)}, {0x400000, ramp(300, 2)}});
    lines.clear();
    EXPECT_EQ(MsrLoad_send_file_and_jump(&rmc, path.c_str(), 0), 1);
    EXPECT_EQ(writes, (std::vector<Write>{{0x400200, ramp(40, 1)},
                                          {0x400000, ramp(256, 2)},
                                          {0x400100, ramp(44, (uint8_t)(2 + 256))}}));
    EXPECT_TRUE(jumps.empty());
    EXPECT_TRUE(has_line("sending partition to adr=00400200 n_bytes=40\n"));
    EXPECT_TRUE(has_line("sending partition to adr=00400000 n_bytes=300\n"));
    EXPECT_EQ(lines.back().rfind("download was successful (t=", 0), 0u);
}

TEST_F(MsrLoadTest, RefusedJumpIsReportedWithTheResult) {
    refuse_jump_code = RMC_RES_DEV_FAIL;
    std::string path = file_of({{0x400000, ramp(10, 0)}});
    EXPECT_EQ(MsrLoad_send_file_and_jump(&rmc, path.c_str(), 0x400000), 0);
    EXPECT_EQ(writes.size(), 1u);
    EXPECT_EQ(lines.back(), "jump to adr 0x00400000 not accepted, result=4\n");
}

TEST_F(MsrLoadTest, EmptyNameWithoutJumpDoesNothing) {
    EXPECT_EQ(MsrLoad_send_file_and_jump(&rmc, "", 0), 1);
    EXPECT_EQ(MsrLoad_send_file_and_jump(&rmc, nullptr, 0), 1);
    EXPECT_EQ(n_write_requests, 0);
    EXPECT_TRUE(jumps.empty());
    EXPECT_TRUE(lines.empty());
}

TEST_F(MsrLoadTest, EmptyNameOnlyJumps) {
    EXPECT_EQ(MsrLoad_send_file_and_jump(&rmc, "", 0x400000), 1);
    EXPECT_EQ(n_write_requests, 0);
    EXPECT_EQ(jumps, std::vector<uint32_t>({0x400000}));
    EXPECT_EQ(lines, std::vector<std::string>({"jump to adr 0x00400000 accepted\n"}));
}

TEST_F(MsrLoadTest, RefusedPieceStopsTheDownloadBeforeTheJump) {
    refuse_write_nth = 2;
    refuse_write_code = RMC_RES_ILL_DATA_ADR;
    std::string path = file_of({{0x400000, ramp(600, 0)}});
    EXPECT_EQ(MsrLoad_send_file_and_jump(&rmc, path.c_str(), 0x400000), 0);
    EXPECT_EQ(n_write_requests, 2);
    EXPECT_EQ(writes.size(), 1u);
    EXPECT_TRUE(jumps.empty());
    EXPECT_TRUE(
        has_line("error-src/loader/msrload.cpp-send_partition: Rmc_do_write_xbram returned 2\n"));
    EXPECT_EQ(lines.back(),
              "error-src/loader/msrload.cpp-MsrLoad_send_file_and_jump: send_partition failed\n");
}

TEST_F(MsrLoadTest, UnreadableFileSendsNothing) {
    std::string path = (dir / "missing.s37").string();
    EXPECT_EQ(MsrLoad_send_file_and_jump(&rmc, path.c_str(), 0x400000), 0);
    EXPECT_EQ(n_write_requests, 0);
    EXPECT_TRUE(jumps.empty());
    EXPECT_EQ(lines.back(), "error-src/loader/msrload.cpp-MsrLoad_send_file_and_jump: ! "
                            "MsRecIn_load_file (p_rec_set_raw, p_filename)\n");
}

TEST_F(MsrLoadTest, OverlappingRecordsSendNothing) {
    // Two records at one address and a third behind them: the group's chain
    // misses one record's bytes.
    std::string path =
        file_of({{0x400000, ramp(16, 0)}, {0x400000, ramp(16, 0)}, {0x400010, ramp(16, 0)}});
    EXPECT_EQ(MsrLoad_send_file_and_jump(&rmc, path.c_str(), 0x400000), 0);
    EXPECT_EQ(n_write_requests, 0);
    EXPECT_EQ(lines.back(), "error-src/loader/msrload.cpp-MsrLoad_send_file_and_jump: ! "
                            "MsrPart_create_coherent_partitions (p_rec_set_coh, p_rec_set_raw)\n");
}

TEST_F(MsrLoadTest, EmptyPartitionIsOneWriteOfZeroBytes) {
    MsRec* p = MsRec_alloc_val(MSREC_TAG_DATA, 0x400010, 0, nullptr);
    EXPECT_EQ(send_partition(&rmc, p), 1);
    EXPECT_EQ(writes, (std::vector<Write>{{0x400010, {}}}));
    EXPECT_EQ(lines, std::vector<std::string>({"sending partition to adr=00400010 n_bytes=0\n"}));
    MsRec_free(p);
}

} // namespace
