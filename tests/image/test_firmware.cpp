// Embedded firmware: the generator remakes the committed files, the table tool's rules, the images
// built into the loader.
#include "con.h"
#include "images.h"
#include "msrlin.h"
#include "uvmem.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

const std::string k_fwgen = ORVO_BINARY_DIR "/firmware/orvo-fwgen";
const std::string k_fwtables = ORVO_BINARY_DIR "/firmware/orvo-fwtables";
const std::string k_committed = ORVO_SOURCE_DIR "/firmware";

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

struct TempDir {
    fs::path path;
    TempDir() {
        std::string t = (fs::temp_directory_path() / "orvo-fw-XXXXXX").string();
        if (mkdtemp(t.data()) != nullptr) path = t;
    }
    ~TempDir() {
        std::error_code ec;
        if (!path.empty()) fs::remove_all(path, ec);
    }
};

struct Result {
    int status = -1;
    std::string out; // stdout and stderr
};

Result run(const std::string& cmd) {
    Result r;
    FILE* fp = popen((cmd + " 2>&1").c_str(), "r");
    if (fp == nullptr) return r;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, fp)) > 0)
        r.out.append(buf, n);
    const int st = pclose(fp);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
}

std::string shell_quote(const fs::path& p) {
    return "'" + p.string() + "'";
}

// Runs the generator into a fresh folder; the count it reports, or -1.
int generator_count(const TempDir& dir, Result* p_run = nullptr) {
    Result r = run(shell_quote(k_fwgen) + " " + shell_quote(dir.path));
    if (p_run) *p_run = r;
    int n = -1;
    if (r.status != 0 ||
        sscanf(r.out.c_str(), "orvo.s37: %d non-blank blocks of 256 bytes", &n) != 1)
        return -1;
    return n;
}

TEST(FirmwareGenerator, RemakesTheCommittedFilesByteForByte) {
    TempDir dir;
    ASSERT_FALSE(dir.path.empty());
    Result r;
    const int n = generator_count(dir, &r);
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(n, 1805) << r.out;
    for (const char* name : {"fld_02.s37", "orvo.s37"}) {
        const std::string made = read_file(dir.path / name);
        const std::string committed = read_file(fs::path(k_committed) / name);
        ASSERT_FALSE(committed.empty()) << name;
        EXPECT_TRUE(made == committed) << name << " differs from the committed file";
    }
}

TEST(FirmwareGenerator, WritesS3LinesOf32BytesWithCrLf) {
    const std::string text = read_file(fs::path(k_committed) / "orvo.s37");
    std::istringstream in(text);
    std::string line;
    int n_s3 = 0;
    std::string first, last;
    while (std::getline(in, line)) {
        ASSERT_FALSE(line.empty());
        ASSERT_EQ(line.back(), '\r') << "line ends in CR LF";
        line.pop_back();
        ASSERT_EQ(line.find_first_not_of("S0123456789ABCDEF"), std::string::npos) << line;
        if (first.empty()) first = line;
        last = line;
        if (line.compare(0, 2, "S3") == 0) {
            n_s3++;
            // count 0x25: 4 address bytes, 32 data bytes, checksum; only the last is shorter.
            if (n_s3 < 14670) {
                ASSERT_EQ(line.substr(0, 4), "S325") << n_s3;
            }
        }
    }
    EXPECT_EQ(first.substr(0, 2), "S0");
    EXPECT_EQ(last, "S70500080400EE");
    EXPECT_EQ(n_s3, 14670); // 469428 bytes in lines of 32
}

// A flash loader and an application as S-record text, for the table tool.
std::string srec(int type, uint32_t adr, const std::vector<uint8_t>& data, bool bad_sum = false) {
    const int n_adr = type == 1 || type == 9 || type == 0 ? 2 : type == 2 || type == 8 ? 3 : 4;
    std::vector<uint8_t> v;
    v.push_back(static_cast<uint8_t>(n_adr + data.size() + 1));
    for (int i = n_adr - 1; i >= 0; i--)
        v.push_back(static_cast<uint8_t>(adr >> (8 * i)));
    v.insert(v.end(), data.begin(), data.end());
    unsigned sum = 0;
    for (uint8_t b : v)
        sum += b;
    v.push_back(static_cast<uint8_t>(~sum + (bad_sum ? 1 : 0)));
    char buf[8];
    std::string s = "S" + std::to_string(type);
    for (uint8_t b : v) {
        snprintf(buf, sizeof buf, "%02X", b);
        s += buf;
    }
    return s + "\r\n";
}

std::vector<uint8_t> bytes(size_t n, uint8_t v = 0x4E) {
    return std::vector<uint8_t>(n, v);
}

std::vector<uint8_t> with_signature(size_t n) {
    std::vector<uint8_t> b = bytes(n);
    b[0x10] = 0x47;
    return b;
}

struct TablesCase {
    const char* name;
    const char* kind;
    std::string text;
    const char* message; // empty: success expected
};

TEST(FirmwareTables, RefusesFilesThatBreakTheRules) {
    const std::string end = srec(7, 0, {});
    const std::string head = srec(0, 0, {'t', 's', 't'});
    const std::vector<TablesCase> cases = {
        {"bad_sum", "appl", head + srec(3, 0x80000, with_signature(32), true) + end,
         "cannot be read as an S-record file"},
        {"no_end", "appl", head + srec(3, 0x80000, with_signature(32)),
         "ends with an S7, S8 or S9 line"},
        {"no_data", "appl", head + end, "holds no data"},
        {"no_signature", "appl", head + srec(3, 0x80000, bytes(32)) + end,
         "holds 4E at 00080010, not the signature byte 47"},
        {"no_byte_0x80010", "appl", head + srec(3, 0x80020, bytes(32)) + end,
         "no byte at 00080010"},
        {"below_appl", "appl", head + srec(3, 0x7FFF0, with_signature(64)) + end,
         "the data from 0007FFF0 to 00080030 lie outside the application code memory"},
        {"past_appl", "appl",
         head + srec(3, 0x80000, with_signature(32)) + srec(3, 0xF3FF0, bytes(17)) + end,
         "the data from 000F3FF0 to 000F4001 lie outside the application code memory"},
        {"overlap", "appl",
         head + srec(3, 0x80000, with_signature(32)) + srec(3, 0x90000, bytes(8)) +
             srec(3, 0x8001F, bytes(2)) + end,
         "the data at 00080000 and at 0008001F overlap"},
        {"loader_elsewhere", "loader", head + srec(3, 0x400010, bytes(16)) + end,
         "starts at 00400010, not at 00400000"},
        {"loader_past_ram", "loader",
         head + srec(3, 0x400000, bytes(16)) + srec(3, 0x4FFFF8, bytes(16)) + end,
         "outside the RAM region"},
    };
    TempDir dir;
    ASSERT_FALSE(dir.path.empty());
    for (const TablesCase& c : cases) {
        const fs::path in = dir.path / (std::string(c.name) + ".s37");
        const fs::path out = dir.path / (std::string(c.name) + ".cpp");
        std::ofstream(in, std::ios::binary) << c.text;
        const Result r = run(shell_quote(k_fwtables) + " " + c.kind + " orvo " + shell_quote(in) +
                             " " + shell_quote(out));
        EXPECT_EQ(r.status, 1) << c.name << "\n" << r.out;
        // One line names the tool, the file and the broken rule.
        EXPECT_NE(r.out.find("orvo-fwtables: error: " + in.string() + ": "), std::string::npos)
            << c.name << "\n"
            << r.out;
        EXPECT_NE(r.out.find(c.message), std::string::npos) << c.name << "\n" << r.out;
        EXPECT_FALSE(fs::exists(out)) << c.name;
    }
}

TEST(FirmwareTables, JoinsRecordsWithoutGapsAndWritesTheAccessors) {
    TempDir dir;
    ASSERT_FALSE(dir.path.empty());
    const fs::path in = dir.path / "appl.s37";
    const fs::path out = dir.path / "appl.cpp";
    // Two records without a gap, a record of no bytes, a gap of one byte, one
    // more record; the reader's errors never show (it is well formed).
    std::ofstream(in, std::ios::binary)
        << srec(0, 0, {'a'}) << srec(3, 0x80000, with_signature(32)) << srec(3, 0x80020, {})
        << srec(3, 0x80020, bytes(16, 1)) << srec(3, 0x80031, bytes(8, 2)) << srec(7, 0, {});
    const Result r =
        run(shell_quote(k_fwtables) + " appl orvo " + shell_quote(in) + " " + shell_quote(out));
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out, "orvo: 2 segment(s), 56 bytes: 00080000+48 00080031+8\n");
    const std::string src = read_file(out);
    EXPECT_NE(src.find("const uint8_t heap[56] = {"), std::string::npos);
    EXPECT_NE(src.find("set_a_bytes[2] = {0x00080000,0x00080031,}"), std::string::npos);
    EXPECT_NE(src.find("set_n_bytes[2] = {48,8,}"), std::string::npos);
    EXPECT_NE(src.find("set_p_bytes[2] = {heap + 0,heap + 48,}"), std::string::npos);
    for (const char* f : {"orvo_get_n_set", "orvo_get_p_set_a_bytes", "orvo_get_p_set_n_bytes",
                          "orvo_get_p_set_p_bytes", "orvo_get_n_heap", "orvo_get_p_heap"}) {
        EXPECT_NE(src.find(f), std::string::npos) << f;
    }
}

// The images compiled into the loader, as the root wraps them.
MsrLin loader_set() {
    MsrLin s;
    MsrLin_init_val(&s, fld_02_get_n_set(), fld_02_get_p_set_a_bytes(), fld_02_get_p_set_n_bytes(),
                    nullptr, fld_02_get_p_set_p_bytes(), fld_02_get_n_heap(), fld_02_get_p_heap());
    return s;
}

MsrLin appl_set() {
    MsrLin s;
    MsrLin_init_val(&s, orvo_get_n_set(), orvo_get_p_set_a_bytes(), orvo_get_p_set_n_bytes(),
                    nullptr, orvo_get_p_set_p_bytes(), orvo_get_n_heap(), orvo_get_p_heap());
    return s;
}

struct Seg {
    uint32_t adr, n, offset;
};

void expect_walk(const MsrLin& s, const std::vector<Seg>& want, int32_t n_heap) {
    ASSERT_EQ(MsrLin_get_n_set(&s), static_cast<int32_t>(want.size()));
    EXPECT_EQ(MsrLin_get_n_heap(&s), n_heap);
    int64_t sum = 0;
    for (size_t k = 0; k < want.size(); k++) {
        EXPECT_EQ(MsrLin_get_p_set_a_bytes(&s)[k], want[k].adr) << k;
        EXPECT_EQ(MsrLin_get_p_set_n_bytes(&s)[k], want[k].n) << k;
        EXPECT_EQ(MsrLin_get_p_set_p_bytes(&s)[k], MsrLin_get_p_heap(&s) + want[k].offset) << k;
        sum += MsrLin_get_p_set_n_bytes(&s)[k];
    }
    EXPECT_EQ(sum, n_heap);
}

TEST(EmbeddedImages, FlashLoaderWalkedByIndex) {
    expect_walk(loader_set(), {{0x400000, 202, 0}, {0x4000CC, 874, 202}, {0x400438, 44321, 1076}},
                45397);
    EXPECT_EQ(fld_02_get_p_set_p_bytes()[0][0x10], 0x47);
}

TEST(EmbeddedImages, ApplicationWalkedByIndex) {
    expect_walk(appl_set(), {{0x80000, 469428, 0}}, 469428);
    EXPECT_EQ(orvo_get_p_set_p_bytes()[0][0x10], 0x47);
}

struct ImageDeleter {
    void operator()(UvMem* p) const { UvMem_free(p); }
};

int quiet(void*, const char*) {
    return 0;
}

// The root's preparation: erased code memory, the application written in,
// then 256-byte blocks counted as the download programs them.
TEST(EmbeddedImages, ApplicationImageHasTheGeneratorsNonBlankBlocks) {
    Con_set_cb_output(quiet, nullptr);
    std::unique_ptr<UvMem, ImageDeleter> vm(UvMem_alloc_as_orvo_code_k52());
    ASSERT_NE(vm, nullptr);
    UvMem_fill(vm.get(), 0xFF);
    const MsrLin set = appl_set();
    uint32_t adr_error = 0;
    ASSERT_EQ(UvMem_MsrLin_write(vm.get(), &set, &adr_error), 0) << std::hex << adr_error;

    int n_non_blank = 0, n_blank_inside = 0, n_dle = 0;
    const uint32_t e_appl = 0x80000 + 469428;
    for (uint32_t a = 0x80000; a < 0xF4000; a += 256) {
        const bool blank = UvMem_block_equals_val(vm.get(), a, 256, 0xFF);
        n_non_blank += blank ? 0 : 1;
        if (blank && a + 256 <= e_appl) n_blank_inside++;
        if (UvMem_block_equals_val(vm.get(), a, 256, 0x10)) n_dle++;
        // Past the application everything stays erased.
        if (a >= ((e_appl + 255) & ~255u)) {
            EXPECT_TRUE(blank) << std::hex << a;
        }
    }
    TempDir dir;
    ASSERT_FALSE(dir.path.empty());
    EXPECT_EQ(n_non_blank, generator_count(dir));
    EXPECT_EQ(n_non_blank, 1805);
    // Blank blocks inside the application (skipped by the download) and one
    // block of DLE bytes (doubled on the wire at full length).
    EXPECT_GT(n_blank_inside, 0);
    EXPECT_EQ(n_dle, 1);
    EXPECT_EQ(UvMem_read_byte(vm.get(), 0x80010), 0x47);
    Con_set_cb_output(nullptr, nullptr);
}

TEST(EmbeddedImages, FlashLoaderFitsItsRamRegionWithTwoByteGaps) {
    Con_set_cb_output(quiet, nullptr);
    std::unique_ptr<UvMem, ImageDeleter> vm(UvMem_alloc_as_region_400000());
    ASSERT_NE(vm, nullptr);
    UvMem_fill(vm.get(), 0xFF);
    const MsrLin set = loader_set();
    ASSERT_EQ(UvMem_MsrLin_write(vm.get(), &set, nullptr), 0);
    for (uint32_t gap : {0x4000CAu, 0x4000CBu, 0x400436u, 0x400437u}) {
        EXPECT_EQ(UvMem_read_byte(vm.get(), gap), 0xFF) << std::hex << gap;
    }
    // The flash loader is sent in blocks of 256 from each segment's start; one
    // of them holds only DLE bytes.
    int n_dle = 0;
    for (int32_t k = 0; k < fld_02_get_n_set(); k++) {
        for (uint32_t i = 0; i + 256 <= fld_02_get_p_set_n_bytes()[k]; i += 256) {
            if (UvMem_block_equals_val(vm.get(), fld_02_get_p_set_a_bytes()[k] + i, 256, 0x10)) {
                n_dle++;
            }
        }
    }
    EXPECT_EQ(n_dle, 1);
    Con_set_cb_output(nullptr, nullptr);
}

TEST(EmbeddedImages, CarryTheirVersionTexts) {
    const std::string loader(reinterpret_cast<const char*>(fld_02_get_p_heap()),
                             static_cast<size_t>(fld_02_get_n_heap()));
    const std::string appl(reinterpret_cast<const char*>(orvo_get_p_heap()),
                           static_cast<size_t>(orvo_get_n_heap()));
    EXPECT_NE(loader.find("FLD_02 flash loader V"), std::string::npos);
    EXPECT_NE(appl.find("ORVO application V"), std::string::npos);
}

} // namespace
