// S-record file reader and writer: fixture files, exact written bytes, round trips, srec_cat
// cross-checks, mutated files.
#include "con.h"
#include "recording_window.h"
#include "msrecin.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

// The console text the expected lines make up.
std::string cat(const std::vector<std::string>& lines) {
    std::string s;
    for (const std::string& l : lines)
        s += l;
    return s;
}

// An error line of the reader and writer module.
std::string E(const char* function, const std::string& text) {
    return std::string("error-src/image/msrecin.cpp-") + function + ": " + text;
}

struct Rec {
    int32_t tag;
    uint32_t adr;
    std::vector<uint8_t> bytes;
    bool operator==(const Rec&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Rec& r) {
    os << "{" << r.tag << ", 0x" << std::hex << r.adr << std::dec << ", " << r.bytes.size()
       << " bytes}";
    return os;
}

Rec D(uint32_t adr, std::vector<uint8_t> bytes) {
    return {MSREC_TAG_DATA, adr, bytes};
}
Rec S(uint32_t adr) {
    return {MSREC_TAG_START_ADR, adr, {}};
}

std::vector<Rec> records_of(MsRecSet* p) {
    std::vector<Rec> out;
    for (int32_t i = 0; i < Us_get_n_elem(p); i++) {
        MsRec* r = MsRecSet_idx_to_ptr(p, i);
        out.push_back({r->tag, r->adr, std::vector<uint8_t>(r->p_bytes, r->p_bytes + r->n_bytes)});
    }
    return out;
}

MsRecSet* set_of(const std::vector<Rec>& recs) {
    MsRecSet* p = MsRecSet_alloc();
    for (const Rec& r : recs)
        MsRecSet_postfix_val(p, r.tag, r.adr, (uint32_t)r.bytes.size(), r.bytes.data());
    return p;
}

std::vector<uint8_t> random_bytes(std::mt19937& rng, size_t n) {
    std::vector<uint8_t> v(n);
    for (auto& b : v)
        b = (uint8_t)rng();
    return v;
}

struct TempDir : ::testing::Test {
    fs::path dir;
    void SetUp() override {
        std::string templ = (fs::temp_directory_path() / "msrecin-XXXXXX").string();
        ASSERT_NE(mkdtemp(templ.data()), nullptr);
        dir = templ;
    }
    void TearDown() override {
        Con_set_cb_output(nullptr, nullptr);
        fs::remove_all(dir);
    }
    std::string write(const std::string& name, const std::string& content) {
        std::string path = (dir / name).string();
        std::ofstream(path, std::ios::binary) << content;
        return path;
    }
    static std::string read(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    // Runs a shell command; true on exit status 0.
    static bool sh(const std::string& cmd) {
        return std::system((cmd + " 2>/dev/null").c_str()) == 0;
    }
};

// ---------------------------------------------------------------- reading

struct LoadCase {
    const char* name;
    std::string content;
    int result;
    std::vector<Rec> records;
    std::vector<std::string> log;
};

const std::string HDR = "S00600004844521B";
const std::string L1 = "S107010001020304ED"; // 0x100: 01 02 03 04
const std::string L2 = "S10501040506EA";     // 0x104: 05 06
const std::string END = "S9030000FC";

std::vector<LoadCase> load_cases() {
    const Rec r1 = D(0x100, {1, 2, 3, 4});
    const Rec r2 = D(0x104, {5, 6});
    const std::string fl = "MsRecIn_load_file";
    const std::string sb = "string_to_bin_vector";
    auto e = [](const std::string& f, const std::string& t) { return E(f.c_str(), t); };
    auto code = [&](int c) {
        return e(fl, "unexpected data detected, error_code=" + std::to_string(c) + "\n");
    };
    const std::string no_token = e(fl, "fread_line returned an error\n");
    return {
        {"CrLfWithTrailingBlankLine",
         HDR + "\r\n" + L1 + "\r\n" + L2 + "\r\n" + END + "\r\n\r\n",
         1,
         {r1, r2, S(0)},
         {}},
        {"BareLineFeeds", HDR + "\n" + L1 + "\n" + L2 + "\n" + END + "\n", 1, {r1, r2, S(0)}, {}},
        {"BlankLinesSpacesTabsAndTwoRecordsOnALine",
         "\n\n \t" + L1 + " " + L2 + "\t\n\n  S9030100FB",
         1,
         {r1, r2, S(0x100)},
         {}},
        {"LowerCaseDigits", "S107010001020304ed\nS9030000fc\n", 1, {r1, S(0)}, {}},
        {"LowerCaseSIsRejected",
         "s107010001020304ED\n",
         0,
         {},
         {e(sb, "(p_str [0] != 'S')\n"), code(-2)}},
        {"S5IsCheckedAndIgnored", "S5030003F9\n" + L1 + "\n" + END, 1, {r1, S(0)}, {}},
        {"S5WithWrongChecksumFails",
         "S5030003F8\n" + L1 + "\n" + END,
         0,
         {},
         {e(sb, "bcc_nom != bcc_eff\n"), "string=<S5030003F8>\n", code(-3)}},
        {"S4IsRejected", L1 + "\nS4030003F9\n" + END, 0, {r1}, {"unexpected tag S4\n", code(-2)}},
        // S6: a 24-bit count of the records before it.
        {"S6IsCheckedAndIgnored", L1 + "\nS604000003F8\n" + END, 1, {r1, S(0)}, {}},
        {"S6WithWrongChecksumFails",
         "S604000003F9\n" + L1 + "\n" + END,
         0,
         {},
         {e(sb, "bcc_nom != bcc_eff\n"), "string=<S604000003F9>\n", code(-3)}},
        {"TypeLetterIsNotADigit", "SX030003F9\n", 0, {}, {"unexpected tag SX\n", code(-2)}},
        {"WrongChecksum",
         L1 + "\nS107010001020304EE\n" + END,
         0,
         {r1},
         {e(sb, "bcc_nom != bcc_eff\n"), "string=<S107010001020304EE>\n", code(-3)}},
        {"MissingEndRecord", HDR + "\r\n" + L1 + "\r\n" + L2 + "\r\n", 0, {r1, r2}, {no_token}},
        {"EmptyFile", "", 0, {}, {no_token}},
        {"LinesAfterTheEndAreNotRead",
         L1 + "\n" + END + "\nS4 garbage \x01\x02\n" + L2,
         1,
         {r1, S(0)},
         {}},
        {"S2AndS8",
         "S206123456ABCDE5\r\nS804400000BB\r\n",
         1,
         {D(0x123456, {0xAB, 0xCD}), S(0x400000)},
         {}},
        {"S3AndS7",
         "S30889ABCDEF102030A7\r\nS70500400000BA\r\n",
         1,
         {D(0x89ABCDEF, {0x10, 0x20, 0x30}), S(0x400000)},
         {}},
        {"CountThreeGivesAnEmptyRecord", "S1030200FA\n" + END, 1, {D(0x200, {}), S(0)}, {}},
        {"CountBelowTheAddressCreatesNoRecord",
         "S10201FC\n" + END,
         0,
         {},
         {e(fl, "MsRecSet_postfix_val failed\n")}},
        {"EndLineWithoutAddressGivesZero", L1 + "\nS901FE", 1, {r1, S(0)}, {}},
        {"NonHexHighNibble", "S1070100010203G4ED\n", 0, {}, {e(sb, "hi_nibble < 0\n"), code(-2)}},
        {"NonHexLowNibble", "S10701000102030GED\n", 0, {}, {e(sb, "lo_nibble < 0\n"), code(-2)}},
        {"CountLargerThanTheLine",
         "S108010001020304ED\n",
         0,
         {},
         {e(sb, "n_vector != (p_vector [1] + 2)\n"), code(-2)}},
        {"CountSmallerThanTheLine",
         "S106010001020304ED\n",
         0,
         {},
         {e(sb, "n_vector != (p_vector [1] + 2)\n"), code(-2)}},
        {"OddLength", "S107010001020304E\n", 0, {}, {e(sb, "(l_str & 0x01)\n"), code(-2)}},
        {"TooShort", "S103\n", 0, {}, {e(sb, "(l_str < 6)\n"), code(-2)}},
        {"TruncatedLastLine", L1 + "\nS9030", 0, {r1}, {e(sb, "(l_str & 0x01)\n"), code(-2)}},
        {"TokenOf1023Characters",
         std::string(1023, 'S') + "\n",
         0,
         {},
         {e(sb, "(l_str & 0x01)\n"), code(-2)}},
        {"TokenOf1022Characters",
         "S1" + std::string(1020, 'F') + "\n",
         0,
         {},
         {e(sb, "n_vector != (p_vector [1] + 2)\n"), code(-2)}},
        {"TokenOf1024Characters",
         L1 + "\n" + std::string(1024, 'F') + "\n" + END,
         0,
         {r1},
         {e("fread_line", "file contains line, which is too long !\n"), no_token}},
        {"BinaryGarbage",
         std::string("\x00\xFF\x80S1\x7F", 6),
         0,
         {},
         {e(sb, "(l_str < 6)\n"), code(-2)}},
    };
}

struct MsRecInLoad : TempDir, ::testing::WithParamInterface<LoadCase> {};

TEST_P(MsRecInLoad, GivesRecordsResultAndLines) {
    const LoadCase& c = GetParam();
    std::string path = write("in.srec", c.content);
    MsRecSet* p = MsRecSet_alloc();
    LogCapture log;
    EXPECT_EQ(MsRecIn_load_file(p, path.c_str()), c.result);
    EXPECT_EQ(records_of(p), c.records);
    EXPECT_EQ(log.text(), cat(c.log));
    Us_free(p);
}

INSTANTIATE_TEST_SUITE_P(Files, MsRecInLoad, ::testing::ValuesIn(load_cases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(TempDir, LoadAppendsToWhatTheSetHolds) {
    std::string path = write("in.srec", L1 + "\n" + END);
    MsRecSet* p = set_of({D(0x5000, {9})});
    EXPECT_EQ(MsRecIn_load_file(p, path.c_str()), 1);
    EXPECT_EQ(records_of(p), (std::vector<Rec>{D(0x5000, {9}), D(0x100, {1, 2, 3, 4}), S(0)}));
    Us_free(p);
}

TEST_F(TempDir, LoadOfAMissingFileNamesIt) {
    std::string path = (dir / "nothing.srec").string();
    MsRecSet* p = MsRecSet_alloc();
    LogCapture log;
    EXPECT_EQ(MsRecIn_load_file(p, path.c_str()), 0);
    EXPECT_EQ(log.text(),
              cat({E("MsRecIn_load_file", "cannot open file <" + path + "> for reading\n")}));
    Us_free(p);
}

TEST_F(TempDir, FreadLineSplitsTokensAndKeepsControlCharacters) {
    std::string path = write("t", "  ab\tcd\r\n\x01\x02 \x7F");
    FILE* fp = fopen(path.c_str(), "rb");
    char buf[8];
    EXPECT_EQ(fread_line(fp, sizeof(buf), buf), 2);
    EXPECT_STREQ(buf, "ab");
    EXPECT_EQ(fread_line(fp, sizeof(buf), buf), 2);
    EXPECT_STREQ(buf, "cd");
    EXPECT_EQ(fread_line(fp, sizeof(buf), buf), 2);
    EXPECT_STREQ(buf, "\x01\x02");
    EXPECT_EQ(fread_line(fp, sizeof(buf), buf), 1);
    EXPECT_STREQ(buf, "\x7F");
    EXPECT_EQ(fread_line(fp, sizeof(buf), buf), -1);
    EXPECT_STREQ(buf, "");
    fclose(fp);
}

TEST_F(TempDir, FreadLineNeedsRoomForTheTerminator) {
    std::string path = write("t", "abc abcd");
    FILE* fp = fopen(path.c_str(), "rb");
    char buf[5] = {'x', 'x', 'x', 'x', 'G'};
    LogCapture log;
    EXPECT_EQ(fread_line(fp, 4, buf), 3);
    EXPECT_STREQ(buf, "abc");
    EXPECT_EQ(fread_line(fp, 4, buf), -2);
    EXPECT_EQ(buf[4], 'G'); // nothing past the 4 bytes given
    EXPECT_EQ(log.text(), cat({E("fread_line", "file contains line, which is too long !\n")}));
    fclose(fp);
}

TEST(MsRecInConvert, ChecksArgumentsFirst) {
    uint8_t v[4];
    LogCapture log;
    EXPECT_EQ(string_to_bin_vector(4, v, nullptr), -1);
    EXPECT_EQ(string_to_bin_vector(4, nullptr, "S9030000FC"), -1);
    EXPECT_EQ(string_to_bin_vector(0, v, "S9030000FC"), -1);
    EXPECT_EQ(string_to_bin_vector(4, v, "S9030000FC"), -1); // 5 bytes do not fit 4
    const char* sb = "string_to_bin_vector";
    EXPECT_EQ(log.text(), cat({E(sb, "p_str == NULL\n"), E(sb, "p_vector == NULL\n"),
                               E(sb, "m_vector <= 0\n"), E(sb, "((l_str / 2) > m_vector)\n")}));
}

TEST(MsRecInConvert, StoresTypeCountAddressDataAndChecksum) {
    uint8_t v[8] = {};
    EXPECT_EQ(string_to_bin_vector(5, v, "S9030100FB"), 5);
    EXPECT_EQ(std::vector<uint8_t>(v, v + 6), std::vector<uint8_t>({9, 3, 1, 0, 0xFB, 0}));
    EXPECT_EQ(calc_bcc(2, (const uint8_t*)"\x01\x02"), 0xFC);
    EXPECT_EQ(calc_bcc(0, nullptr), 0xFF);
    EXPECT_EQ(write_record(nullptr, 1, 1, v), 0);
}

// ---------------------------------------------------------------- writing

struct SaveCase {
    const char* name;
    int32_t tag_value;
    std::vector<Rec> records;
    std::string file;
};

std::vector<SaveCase> save_cases() {
    const std::string h = HDR + "\r\n";
    return {
        {"S1",
         1,
         {D(0x100, {1, 2, 3, 4}), D(0x104, {5, 6})},
         h + L1 + "\r\n" + L2 + "\r\n" + END + "\r\n"},
        {"S2", 2, {D(0x123456, {0xAB, 0xCD})}, h + "S206123456ABCDE5\r\nS804000000FB\r\n"},
        {"S3",
         3,
         {D(0x89ABCDEF, {0x10, 0x20, 0x30})},
         h + "S30889ABCDEF102030A7\r\nS70500000000FA\r\n"},
        {"EmptySet", 1, {}, h + END + "\r\n"},
        {"StartRecordBecomesAnEmptyDataLine",
         1,
         {D(0x100, {1, 2, 3, 4}), S(0x100)},
         h + L1 + "\r\nS1030100FB\r\n" + END + "\r\n"},
        {"AddressCutToTheWidth", 1, {D(0x1FFFF, {0xFF})}, h + "S104FFFFFFFE\r\n" + END + "\r\n"},
    };
}

struct MsRecInSave : TempDir, ::testing::WithParamInterface<SaveCase> {};

TEST_P(MsRecInSave, WritesExactBytes) {
    const SaveCase& c = GetParam();
    MsRecSet* p = set_of(c.records);
    std::string path = (dir / "out.srec").string();
    LogCapture log;
    EXPECT_EQ(MsRecIn_save_file(p, c.tag_value, path.c_str()), 1);
    EXPECT_EQ(read(path), c.file);
    EXPECT_TRUE(log.text().empty());
    Us_free(p);
}

INSTANTIATE_TEST_SUITE_P(Sets, MsRecInSave, ::testing::ValuesIn(save_cases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(TempDir, SaveReplacesAnExistingFile) {
    std::string path = write("out.srec", std::string(5000, 'x'));
    MsRecSet* p = MsRecSet_alloc();
    EXPECT_EQ(MsRecIn_save_file(p, 1, path.c_str()), 1);
    EXPECT_EQ(read(path), HDR + "\r\n" + END + "\r\n");
    Us_free(p);
}

TEST_F(TempDir, RoundTripKeepsRecordsForEveryWidth) {
    std::mt19937 rng(5);
    for (int32_t tag_value = 1; tag_value <= 3; tag_value++) {
        SCOPED_TRACE(tag_value);
        uint32_t mask = tag_value == 1 ? 0xFFFF : tag_value == 2 ? 0xFFFFFF : 0xFFFFFFFF;
        std::vector<Rec> recs;
        for (int i = 0; i < 40; i++)
            recs.push_back(D(rng() & mask, random_bytes(rng, rng() % (253 - tag_value))));
        MsRecSet* p = set_of(recs);
        std::string path = (dir / "rt.srec").string();
        ASSERT_EQ(MsRecIn_save_file(p, tag_value, path.c_str()), 1);
        MsRecSet* q = MsRecSet_alloc();
        ASSERT_EQ(MsRecIn_load_file(q, path.c_str()), 1);
        recs.push_back(S(0));
        EXPECT_EQ(records_of(q), recs);
        Us_free(p);
        Us_free(q);
    }
}

TEST_F(TempDir, RecordLongerThanALineIsSplitIntoFullLines) {
    std::mt19937 rng(6);
    std::vector<uint8_t> bytes = random_bytes(rng, 600);
    MsRecSet* p = set_of({D(0x1000, bytes)});
    std::string path = (dir / "long.srec").string();
    ASSERT_EQ(MsRecIn_save_file(p, 1, path.c_str()), 1);
    MsRecSet* q = MsRecSet_alloc();
    ASSERT_EQ(MsRecIn_load_file(q, path.c_str()), 1);
    auto cut = [&](size_t from, size_t n) {
        return std::vector<uint8_t>(bytes.begin() + from, bytes.begin() + from + n);
    };
    EXPECT_EQ(records_of(q),
              (std::vector<Rec>{D(0x1000, cut(0, 252)), D(0x1000 + 252, cut(252, 252)),
                                D(0x1000 + 504, cut(504, 96)), S(0)}));
    Us_free(p);
    Us_free(q);
}

TEST_F(TempDir, UnexpectedTagValueIsLoggedPerRecordAndForTheEnd) {
    MsRecSet* p = set_of({D(0, {1}), D(1, {2})});
    std::string path = (dir / "bad.srec").string();
    LogCapture log;
    EXPECT_EQ(MsRecIn_save_file(p, 4, path.c_str()), 0);
    EXPECT_EQ(log.text(),
              cat(std::vector<std::string>(3, E("MsRecIn_save_file", "unexpected tag_value=4\n"))));
    EXPECT_EQ(read(path), HDR + "\r\n");
    Us_free(p);
}

TEST_F(TempDir, SaveFailures) {
    MsRecSet* p = MsRecSet_alloc();
    LogCapture log;
    EXPECT_EQ(MsRecIn_save_file(nullptr, 1, (dir / "x").c_str()), 0);
    EXPECT_EQ(MsRecIn_save_file(p, 1, nullptr), 0);
    EXPECT_TRUE(log.text().empty());
    std::string path = dir.string(); // a directory cannot be opened for writing
    EXPECT_EQ(MsRecIn_save_file(p, 1, path.c_str()), 0);
    EXPECT_EQ(log.text(), cat({E("MsRecIn_save_file", "cannot open file " + path + "\n")}));
    if (fs::exists("/dev/full")) {
        // The disk is full: the file is small enough to wait in the buffer, so the failed
        // write shows only when the file is closed; it is logged, not reported as success.
        log.clear();
        MsRecSet* small = set_of({D(0, std::vector<uint8_t>(200, 1))});
        EXPECT_EQ(MsRecIn_save_file(small, 1, "/dev/full"), 0);
        EXPECT_EQ(log.text(), cat({E("MsRecIn_save_file",
                                     "cannot close file /dev/full: No space left on device\n")}));
        Us_free(small);
    }
    Us_free(p);
}

// ------------------------------------------------- cross-check with srec_cat

bool have_srec_cat() {
    return TempDir::sh("srec_cat -VERSion >/dev/null");
}

// The data records of p laid into one run of bytes from adr on (the records
// cover it without gaps).
std::vector<uint8_t> image_of(MsRecSet* p, uint32_t adr, size_t n) {
    std::vector<uint8_t> img(n, 0);
    std::vector<bool> seen(n, false);
    for (int32_t i = 0; i < Us_get_n_elem(p); i++) {
        MsRec* r = MsRecSet_idx_to_ptr(p, i);
        if (r->tag != MSREC_TAG_DATA) continue;
        for (uint32_t k = 0; k < r->n_bytes; k++) {
            size_t off = (size_t)(r->adr + k - adr);
            EXPECT_LT(off, n);
            if (off >= n) return {};
            img[off] = r->p_bytes[k];
            seen[off] = true;
        }
    }
    for (size_t k = 0; k < n; k++)
        if (!seen[k]) return {};
    return img;
}

TEST_F(TempDir, FilesWrittenBySrecCatLoadToTheSameBytes) {
    if (!have_srec_cat()) GTEST_SKIP() << "srec_cat is not installed";
    std::mt19937 rng(7);
    struct Form {
        int address_length;
        uint32_t adr;
    };
    const Form forms[] = {{2, 0x1230}, {3, 0x4C0001}, {4, 0x80000000}};
    const int line_lengths[] = {16, 46, 78, 250};
    for (const Form& f : forms) {
        for (int line_length : line_lengths) {
            SCOPED_TRACE(std::to_string(f.address_length) + " " + std::to_string(line_length));
            size_t n = 1000 + rng() % 3000;
            std::vector<uint8_t> data = random_bytes(rng, n);
            std::string bin = write("data.bin", std::string(data.begin(), data.end()));
            std::string srec = (dir / "data.srec").string();
            char offset[16];
            snprintf(offset, sizeof(offset), "0x%X", f.adr);
            // Without a start address srec_cat writes no end line, which the
            // reader requires.
            ASSERT_TRUE(sh("srec_cat " + bin + " -binary -offset " + offset +
                           " -execution-start-address " + offset + " -o " + srec +
                           " -motorola -address-length=" + std::to_string(f.address_length) +
                           " -line-length=" + std::to_string(line_length)));
            MsRecSet* p = MsRecSet_alloc();
            ASSERT_EQ(MsRecIn_load_file(p, srec.c_str()), 1);
            EXPECT_EQ(image_of(p, f.adr, n), data);
            MsRec* last = MsRecSet_idx_to_ptr(p, Us_get_n_elem(p) - 1);
            EXPECT_EQ(MsRec_get_tag(last), MSREC_TAG_START_ADR);
            EXPECT_EQ(MsRec_get_adr(last), f.adr);
            Us_free(p);
        }
    }
}

// Past 65535 data records srec_cat counts them in an S6 line, which the reader takes as it
// takes S5.
TEST_F(TempDir, SrecCatFileOfMoreThan65535RecordsIsRead) {
    if (!have_srec_cat()) GTEST_SKIP() << "srec_cat is not installed";
    const size_t n = 70000; // one data byte a line
    std::string srec = (dir / "many.srec").string();
    ASSERT_TRUE(sh("srec_cat -generate 0 " + std::to_string(n) +
                   " -constant 0x5A -execution-start-address 0 -o " + srec +
                   " -motorola -address-length=3 -line-length=16"));
    ASSERT_NE(read(srec).find("\nS6"), std::string::npos) << "srec_cat wrote no S6 line";
    MsRecSet* p = MsRecSet_alloc();
    ASSERT_EQ(MsRecIn_load_file(p, srec.c_str()), 1);
    EXPECT_EQ(image_of(p, 0, n), std::vector<uint8_t>(n, 0x5A));
    EXPECT_EQ(Us_get_n_elem(p), (int32_t)n + 1);
    Us_free(p);
}

TEST_F(TempDir, FilesWrittenBySaveAreReadBySrecCat) {
    if (!have_srec_cat()) GTEST_SKIP() << "srec_cat is not installed";
    std::mt19937 rng(8);
    const uint32_t adrs[] = {0x2000, 0x123400, 0x40000000};
    for (int32_t tag_value = 1; tag_value <= 3; tag_value++) {
        SCOPED_TRACE(tag_value);
        uint32_t adr = adrs[tag_value - 1];
        std::vector<uint8_t> data = random_bytes(rng, 5000);
        // Records of mixed lengths (one longer than a line) covering the run.
        std::vector<Rec> recs;
        for (size_t off = 0; off < data.size();) {
            size_t n = std::min<size_t>(data.size() - off, rng() % 2 ? rng() % 64 : 300);
            recs.push_back(D(adr + (uint32_t)off,
                             std::vector<uint8_t>(data.begin() + off, data.begin() + off + n)));
            off += n;
        }
        MsRecSet* p = set_of(recs);
        std::string srec = (dir / "mine.srec").string();
        ASSERT_EQ(MsRecIn_save_file(p, tag_value, srec.c_str()), 1);
        std::string bin = (dir / "back.bin").string();
        char offset[16];
        snprintf(offset, sizeof(offset), "-0x%X", adr);
        ASSERT_TRUE(
            sh("srec_cat " + srec + " -motorola -offset " + offset + " -o " + bin + " -binary"));
        std::string back = read(bin);
        EXPECT_EQ(std::vector<uint8_t>(back.begin(), back.end()), data);
        Us_free(p);
    }
}

// ------------------------------------------------------------- bad input

// Mutations of a valid file: every load ends, and the set holds only
// well-formed records (data records of at most one line's bytes, a start
// record only as the last one, and only when the load succeeded).
TEST_F(TempDir, MutatedFilesLeaveAConsistentSet) {
    std::mt19937 rng(9);
    std::string base = HDR + "\r\n";
    for (int i = 0; i < 20; i++) {
        std::vector<uint8_t> b = random_bytes(rng, 1 + rng() % 40);
        uint8_t sum = (uint8_t)(b.size() + 3);
        std::string line = "S1";
        char hex[3];
        auto put = [&](uint8_t v) {
            snprintf(hex, sizeof(hex), "%02X", v);
            line += hex;
        };
        put((uint8_t)(b.size() + 3));
        uint16_t adr = (uint16_t)(0x100 * i);
        put(adr >> 8);
        put(adr & 0xFF);
        sum = (uint8_t)(sum + (adr >> 8) + (adr & 0xFF));
        for (uint8_t v : b) {
            put(v);
            sum = (uint8_t)(sum + v);
        }
        put((uint8_t)~sum);
        base += line + (i % 2 ? "\n" : "\r\n");
    }
    base += END + "\r\n";
    {
        MsRecSet* p = MsRecSet_alloc();
        std::string path = write("base.srec", base);
        ASSERT_EQ(MsRecIn_load_file(p, path.c_str()), 1);
        Us_free(p);
    }
    LogCapture log; // keeps the many failure lines out of the test output
    const char alphabet[] = "S0123456789ABCDEFabcdefs \r\n\t\x01\xFF";
    for (int round = 0; round < 400; round++) {
        std::string s = base;
        int n_mut = 1 + rng() % 6;
        for (int m = 0; m < n_mut && !s.empty(); m++) {
            size_t at = rng() % s.size();
            switch (rng() % 6) {
            case 0:
                s[at] = (char)(s[at] ^ (1 << (rng() % 8)));
                break;
            case 1:
                s.insert(at, 1, alphabet[rng() % (sizeof(alphabet) - 1)]);
                break;
            case 2:
                s.erase(at, 1 + rng() % 8);
                break;
            case 3:
                s.resize(at);
                break;
            case 4:
                s.insert(at, std::string(900 + rng() % 300, "F0 "[rng() % 3]));
                break;
            default:
                s[at] = (char)rng();
                break;
            }
        }
        std::string path = write("mut.srec", s);
        MsRecSet* p = MsRecSet_alloc();
        int r = MsRecIn_load_file(p, path.c_str());
        ASSERT_TRUE(r == 0 || r == 1);
        int32_t n = Us_get_n_elem(p);
        for (int32_t i = 0; i < n; i++) {
            MsRec* rec = MsRecSet_idx_to_ptr(p, i);
            ASSERT_NE(rec, nullptr);
            ASSERT_NE(rec->p_bytes, nullptr);
            if (rec->tag == MSREC_TAG_DATA) {
                ASSERT_LE(rec->n_bytes, 252u);
            } else {
                ASSERT_EQ(rec->tag, MSREC_TAG_START_ADR);
                ASSERT_EQ(rec->n_bytes, 0u);
                ASSERT_EQ(i, n - 1);
                ASSERT_EQ(r, 1);
            }
        }
        if (r == 1) {
            ASSERT_GT(n, 0);
            ASSERT_EQ(MsRec_get_tag(MsRecSet_idx_to_ptr(p, n - 1)), MSREC_TAG_START_ADR);
        }
        Us_free(p);
    }
}

} // namespace
