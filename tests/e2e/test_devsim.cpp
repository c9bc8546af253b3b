// End-to-end tests of orvo-devsim: the real simulator process on its pty,
// driven by a test master made of the real Uart, Co3964 (high priority, block
// check) and Rmc, as the loader drives a device.
#include "co3964.h"
#include "csp.h"
#include "devsim_process.h"
#include "images.h"
#include "rmc.h"
#include "uart.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr uint32_t k_a_ram = 0x400000;
constexpr uint32_t k_a_flash = 0x80000;
constexpr uint32_t k_n_flash = 0x74000;
constexpr uint32_t k_a_sig = 0x80010;
// The bound for a reply that must come.
constexpr int k_t_reply_ms = 10000;

bool devsim_is_built() {
    return access(orvo_program_path("tools/devsim/orvo-devsim").c_str(), X_OK) == 0;
}

// The loader's side of the line, with counters of what its link saw.
struct TestMaster {
    Uart uart{};
    Co3964 co{};
    Rmc rmc{};
    uint8_t ib[384], ob[384], buf[384];
    int n_stx_sent = 0;  // start requests, repeats included
    int n_nak_sent = 0;  // refusals of device frames (bad block check)
    int n_nak_recv = 0;  // refusals of our frames
    int n_frames_in = 0; // device frames acknowledged

    static int32_t now(void*) { return (int32_t)Csp_get_tick_count(); }
    static int32_t plus(void*, int32_t t, int32_t ms) { return (int32_t)((uint32_t)t + ms); }
    static int32_t sleep(void* p, int32_t) {
        Uart_wait_readable(&static_cast<TestMaster*>(p)->uart, 1);
        return 1;
    }
    static int32_t receive(void* p) {
        auto* m = static_cast<TestMaster*>(p);
        int ch = Uart_receive_byte_nw(&m->uart);
        if (ch == CO3964_NAK) m->n_nak_recv++;
        return ch;
    }
    static int32_t send_byte(void* p, int32_t ch) {
        auto* m = static_cast<TestMaster*>(p);
        if (ch == CO3964_STX && m->co.state == CO3964_ST_TX_STX) m->n_stx_sent++;
        if (ch == CO3964_NAK && m->co.state == CO3964_ST_RX_REFUSE) m->n_nak_sent++;
        if (ch == CO3964_DLE && m->co.state == CO3964_ST_RX_COMPLETE) m->n_frames_in++;
        return Uart_send_byte(&m->uart, ch);
    }
    static int32_t send_dle(void* p, int32_t n, const uint8_t* b) {
        return Uart_send_with_dle(&static_cast<TestMaster*>(p)->uart, n, b);
    }
    static int csp_sleep(void* p, int) {
        Uart_wait_readable(&static_cast<TestMaster*>(p)->uart, 1);
        return 1;
    }

    bool open(const std::string& port) {
        Uart_init(&uart);
        if (!Uart_open(&uart, port.c_str(), 115200, 8, 0, 0)) return false;
        Co3964_init(&co, this, now, plus, sleep, this, receive, send_byte, send_dle, sizeof ib, ib,
                    sizeof ob, ob, 1, 1);
        // The link's own acknowledgement delay, and generous bounds for the replies: a device
        // that answers costs no waiting, and a busy machine no failure. Tests that want a
        // silent device's failure shorten them.
        Rmc_init_as_master(&rmc, sizeof buf, buf, &co);
        rmc.send_timeout_ms = k_t_reply_ms;
        rmc.reply_timeout_ms = k_t_reply_ms;
        Csp_set_sleep_hook(csp_sleep, this);
        return true;
    }
    ~TestMaster() {
        Csp_set_sleep_hook(nullptr, nullptr);
        Uart_close(&uart);
    }

    // One request as raw bytes, the device's first answer back (empty on time-out).
    std::vector<uint8_t> raw(const std::vector<uint8_t>& req, int t_ms = k_t_reply_ms) {
        if (Co3964_ob_set_msg(&co, (int32_t)req.size(), req.data()) != 2) return {};
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(t_ms);
        while (std::chrono::steady_clock::now() < end) {
            Co3964_poll(&co);
            if (Co3964_ib_get_n_msg(&co) >= 0) {
                uint8_t got[384];
                int n = Co3964_ib_get_msg(&co, sizeof got, got);
                return std::vector<uint8_t>(got, got + std::max(n, 0));
            }
            Uart_wait_readable(&uart, 1);
        }
        return {};
    }
};

std::vector<uint8_t> le(std::initializer_list<uint32_t> words) {
    std::vector<uint8_t> v;
    for (uint32_t w : words)
        for (int k = 0; k < 4; k++)
            v.push_back((uint8_t)(w >> (8 * k)));
    return v;
}

std::vector<uint8_t> cat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

int send_loader(Rmc* p) {
    for (int32_t k = 0; k < fld_02_get_n_set(); k++) {
        uint32_t a = fld_02_get_p_set_a_bytes()[k];
        uint32_t n = fld_02_get_p_set_n_bytes()[k];
        const uint8_t* b = fld_02_get_p_set_p_bytes()[k];
        for (uint32_t i = 0; i < n; i += 256) {
            int r = Rmc_do_write_xbram(p, a + i, b + i, std::min(256u, n - i));
            if (r != RMC_RES_OK) return r;
        }
    }
    return RMC_RES_OK;
}

// The application's first n non-blank 256-byte blocks, as the flash should hold them.
struct ShortImage {
    std::vector<uint8_t> flash = std::vector<uint8_t>(k_n_flash, 0xFF);
    std::vector<uint32_t> blocks;
};

ShortImage short_image(int n_blocks) {
    ShortImage s;
    const uint8_t* b = orvo_get_p_set_p_bytes()[0];
    uint32_t a0 = orvo_get_p_set_a_bytes()[0], n = orvo_get_p_set_n_bytes()[0];
    for (uint32_t off = 0; off < n && (int)s.blocks.size() < n_blocks; off += 256) {
        uint32_t len = std::min(256u, n - off);
        if (std::all_of(b + off, b + off + len, [](uint8_t x) { return x == 0xFF; })) continue;
        s.blocks.push_back(a0 + off);
        std::copy(b + off, b + off + len, s.flash.begin() + (a0 + off - k_a_flash));
    }
    return s;
}

// The download's order on the short image: activate, flash loader into RAM,
// jump, erase, blank check, blocks with the signature held erased, signature, start.
void download_short(TestMaster& m, const ShortImage& img) {
    ASSERT_EQ(Rmc_do_activate_bootloader(&m.rmc), RMC_RES_OK);
    ASSERT_EQ(send_loader(&m.rmc), RMC_RES_OK);
    ASSERT_EQ(Rmc_do_jump(&m.rmc, k_a_ram), RMC_RES_OK);
    ASSERT_EQ(Rmc_do_erase_appl(&m.rmc), RMC_RES_OK);
    ASSERT_EQ(Rmc_do_blank_check_appl(&m.rmc), RMC_RES_OK);
    for (uint32_t a : img.blocks) {
        std::vector<uint8_t> block(img.flash.begin() + (a - k_a_flash),
                                   img.flash.begin() + (a - k_a_flash) + 256);
        if (a == k_a_flash) block[k_a_sig - k_a_flash] = 0xFF;
        ASSERT_EQ(Rmc_do_write_flash(&m.rmc, a, block.data(), 256), RMC_RES_OK) << std::hex << a;
    }
    uint8_t sig = img.flash[k_a_sig - k_a_flash];
    ASSERT_EQ(Rmc_do_write_flash(&m.rmc, k_a_sig, &sig, 1), RMC_RES_OK);
    ASSERT_EQ(Rmc_do_start_appl(&m.rmc), RMC_RES_OK);
}

class DevSim : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!devsim_is_built()) GTEST_SKIP() << "orvo-devsim is not built";
    }
};

TEST_F(DevSim, DownloadOrderProgramsFlashAndStartsTheApplication) {
    DevSimProcess sim({"--erase-ms", "20", "--write-ms", "2"});
    ASSERT_TRUE(sim.ok());
    ShortImage img = short_image(6);
    ASSERT_EQ(img.blocks.front(), k_a_flash);
    {
        TestMaster m;
        ASSERT_TRUE(m.open(sim.port()));
        download_short(m, img);
    }
    ASSERT_EQ(sim.stop(), 0);

    EXPECT_TRUE(sim.flash() == img.flash);
    std::vector<uint8_t> ram = sim.ram();
    ASSERT_EQ(ram.size(), 0x100000u);
    for (int32_t k = 0; k < fld_02_get_n_set(); k++) {
        uint32_t a = fld_02_get_p_set_a_bytes()[k], n = fld_02_get_p_set_n_bytes()[k];
        EXPECT_TRUE(std::equal(ram.begin() + (a - k_a_ram), ram.begin() + (a - k_a_ram) + n,
                               fld_02_get_p_set_p_bytes()[k]))
            << "segment " << k;
    }
    std::string rep = sim.report();
    EXPECT_EQ(devsim_report_value(rep, "mode"), "\"application\"") << rep;
    EXPECT_EQ(devsim_report_value(rep, "signature_last"), "true") << rep;
    EXPECT_EQ(devsim_report_value(rep, "app_started"), "true") << rep;
    EXPECT_EQ(devsim_report_value(rep, "flash_loader_in_ram"), "true") << rep;
    // The commands in the order received, runs of equal codes counted.
    struct Run {
        int fc;
        const char* name;
        size_t count;
    };
    const Run runs[] = {{7, "activate_bootloader", 1},
                        {19, "write_xbram", 179},
                        {18, "jump", 1},
                        {35, "erase_appl", 1},
                        {36, "blank_check_appl", 1},
                        {37, "write_flash", img.blocks.size() + 1},
                        {8, "start_appl", 1}};
    std::string order;
    for (const Run& r : runs)
        order += "\"fc\": " + std::to_string(r.fc) + ", \"name\": \"" + r.name +
                 "\", \"count\": " + std::to_string(r.count) + "}";
    std::string got;
    for (size_t i = rep.find("\"fc\": "); i != std::string::npos; i = rep.find("\"fc\": ", i + 1))
        got += rep.substr(i, rep.find('}', i) - i + 1);
    EXPECT_EQ(got, order) << rep;
}

TEST_F(DevSim, PacedLineAndASecondOpenerAreServed) {
    DevSimProcess sim({"--pace-baud", "460800"});
    ASSERT_TRUE(sim.ok());
    ShortImage img = short_image(3);
    {
        TestMaster m;
        ASSERT_TRUE(m.open(sim.port()));
        ASSERT_EQ(Rmc_do_activate_bootloader(&m.rmc), RMC_RES_OK);
    }
    // The loader closed the port between runs; the device serves the next opener.
    {
        TestMaster m;
        ASSERT_TRUE(m.open(sim.port()));
        download_short(m, img);
    }
    ASSERT_EQ(sim.stop(), 0);
    EXPECT_TRUE(sim.flash() == img.flash);
}

TEST_F(DevSim, FlashSemanticsAndModesAnswerWithExceptions) {
    DevSimProcess sim;
    ASSERT_TRUE(sim.ok());
    TestMaster m;
    ASSERT_TRUE(m.open(sim.port()));
    uint8_t zeros[16] = {0}, ones[16];
    std::memset(ones, 0xFF, sizeof ones);
    uint8_t rd[16];

    // At power-on only the running firmware's commands exist.
    EXPECT_EQ(Rmc_do_erase_appl(&m.rmc), RMC_RES_ILL_FC);
    EXPECT_EQ(Rmc_do_write_xbram(&m.rmc, k_a_ram, zeros, 4), RMC_RES_ILL_FC);
    EXPECT_EQ(Rmc_do_start_appl(&m.rmc), RMC_RES_ILL_FC);
    ASSERT_EQ(Rmc_do_activate_bootloader(&m.rmc), RMC_RES_OK);
    EXPECT_EQ(Rmc_do_write_flash(&m.rmc, k_a_flash, zeros, 4), RMC_RES_ILL_FC);
    uint32_t w1, w2, w3;
    EXPECT_EQ(Rmc_do_get_words_5(&m.rmc, &w1, &w2, &w3), RMC_RES_ILL_FC);
    EXPECT_EQ(Rmc_do_write_xbram(&m.rmc, 0x500000 - 2, zeros, 4), RMC_RES_ILL_DATA_ADR);
    EXPECT_EQ(Rmc_do_write_xbram(&m.rmc, 0x3FFFFF, zeros, 4), RMC_RES_ILL_DATA_ADR);
    ASSERT_EQ(send_loader(&m.rmc), RMC_RES_OK);
    ASSERT_EQ(Rmc_do_jump(&m.rmc, k_a_ram), RMC_RES_OK);
    EXPECT_EQ(Rmc_do_jump(&m.rmc, k_a_ram), RMC_RES_ILL_FC);

    // Old code is still in flash: programming cannot set bits again.
    EXPECT_EQ(Rmc_do_write_flash(&m.rmc, k_a_flash, ones, 16), RMC_RES_ILL_DATA_VAL);
    EXPECT_EQ(Rmc_do_blank_check_appl(&m.rmc), RMC_RES_DEV_FAIL);
    ASSERT_EQ(Rmc_do_erase_appl(&m.rmc), RMC_RES_OK);
    EXPECT_EQ(Rmc_do_blank_check_appl(&m.rmc), RMC_RES_OK);
    // Without the signature byte the application does not start.
    EXPECT_EQ(Rmc_do_start_appl(&m.rmc), RMC_RES_DEV_FAIL);
    struct {
        uint32_t a;
        int n;
        int want;
    } writes[] = {
        {0x7FFFF, 2, RMC_RES_ILL_DATA_ADR},           // starts before flash
        {0xF4000 - 8, 16, RMC_RES_ILL_DATA_ADR},      // runs past its end
        {0xFFFFFFF8u, 16, RMC_RES_ILL_DATA_ADR},      // wraps around
        {k_a_flash + 0x100, 16, RMC_RES_OK},          // zeros into erased cells
        {k_a_flash + 0x108, 4, RMC_RES_ILL_DATA_VAL}, // ones over zeros: refused
    };
    for (const auto& w : writes)
        EXPECT_EQ(Rmc_do_write_flash(&m.rmc, w.a, w.a == k_a_flash + 0x108 ? ones : zeros, w.n),
                  w.want)
            << std::hex << w.a;
    ASSERT_EQ(Rmc_do_read_mem(&m.rmc, k_a_flash + 0xFC, rd, 8), RMC_RES_OK);
    const uint8_t want_rd[8] = {0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0};
    EXPECT_EQ(std::memcmp(rd, want_rd, 8), 0);
    // Bits that are already clear may be programmed again with the same value.
    EXPECT_EQ(Rmc_do_write_flash(&m.rmc, k_a_flash + 0x100, zeros, 16), RMC_RES_OK);
    uint8_t sig = 0x47;
    ASSERT_EQ(Rmc_do_write_flash(&m.rmc, k_a_sig, &sig, 1), RMC_RES_OK);
    ASSERT_EQ(Rmc_do_start_appl(&m.rmc), RMC_RES_OK);
    EXPECT_EQ(Rmc_do_write_flash(&m.rmc, k_a_flash + 0x200, zeros, 4), RMC_RES_ILL_FC);
    EXPECT_EQ(Rmc_do_get_words_5(&m.rmc, &w1, &w2, &w3), RMC_RES_OK);
}

TEST_F(DevSim, JumpIntoAnythingButTheFlashLoaderLeavesADeviceThatStaysSilent) {
    struct Case {
        const char* name;
        std::vector<std::string> args;
        bool send_loader;
        uint32_t a_jump;
        const char* loader_in_ram;
    } cases[] = {
        {"empty RAM", {}, false, k_a_ram, "false"},
        {"one RAM write damaged",
         {"--corrupt-ram-write", "5", "--seed", "7"},
         true,
         k_a_ram,
         "false"},
        {"loader started elsewhere", {}, true, k_a_ram + 2, "true"},
    };
    for (const Case& c : cases) {
        DevSimProcess sim(c.args);
        ASSERT_TRUE(sim.ok()) << c.name;
        {
            TestMaster m;
            ASSERT_TRUE(m.open(sim.port()));
            ASSERT_EQ(Rmc_do_activate_bootloader(&m.rmc), RMC_RES_OK);
            if (c.send_loader) {
                ASSERT_EQ(send_loader(&m.rmc), RMC_RES_OK) << c.name;
            }
            EXPECT_EQ(Rmc_do_jump(&m.rmc, c.a_jump), RMC_RES_OK) << c.name;
            // A dead device: the link gives its start requests up, the reply never comes.
            m.co.t_ack_delay_ms = 50;
            m.rmc.reply_timeout_ms = 100;
            int n_stx = m.n_stx_sent;
            EXPECT_EQ(Rmc_do_erase_appl(&m.rmc), RMC_RES_ERR_REC) << c.name;
            EXPECT_EQ(m.n_stx_sent - n_stx, 6) << c.name;
        }
        ASSERT_EQ(sim.stop(), 0);
        std::string rep = sim.report();
        EXPECT_EQ(devsim_report_value(rep, "mode"), "\"crashed\"") << c.name << rep;
        EXPECT_EQ(devsim_report_value(rep, "flash_loader_in_ram"), c.loader_in_ram) << c.name;
    }
}

// Each fault option as the master's link and RMC layer see it.
TEST_F(DevSim, LineFaultsAreRepeatedByTheLinkAndTheCommandsSucceed) {
    {
        // Two refused frames: the master's link sends its block three times.
        DevSimProcess sim({"--nak-first", "2"});
        ASSERT_TRUE(sim.ok());
        TestMaster m;
        ASSERT_TRUE(m.open(sim.port()));
        EXPECT_EQ(Rmc_do_activate_bootloader(&m.rmc), RMC_RES_OK);
        EXPECT_EQ(m.n_nak_recv, 2);
        EXPECT_EQ(m.n_stx_sent, 3);
        ASSERT_EQ(sim.stop(), 0);
        std::string rep = sim.report();
        EXPECT_EQ(devsim_report_value(rep, "requests"), "1") << rep;
        EXPECT_NE(rep.find("\"naks\": {\"host_to_device\": 0, \"device_to_host\": 2}"),
                  std::string::npos)
            << rep;
    }
    {
        // Every second device frame has a wrong block check: the master refuses it and
        // the device repeats it.
        DevSimProcess sim({"--bad-bcc-every", "2"});
        ASSERT_TRUE(sim.ok());
        TestMaster m;
        ASSERT_TRUE(m.open(sim.port()));
        EXPECT_EQ(Rmc_do_activate_bootloader(&m.rmc), RMC_RES_OK);
        EXPECT_EQ(m.n_nak_sent, 0);
        EXPECT_EQ(Rmc_do_activate_bootloader(&m.rmc), RMC_RES_OK);
        EXPECT_EQ(m.n_nak_sent, 1);
        EXPECT_EQ(m.n_frames_in, 2);
        ASSERT_EQ(sim.stop(), 0);
        EXPECT_EQ(devsim_report_value(sim.report(), "bad_bcc_sent"), "1");
    }
    {
        // The device's final DLE of the second request is lost: the master repeats the
        // block after its acknowledgement delay, and still gets its reply.
        DevSimProcess sim({"--lose-final-dle-every", "2"});
        ASSERT_TRUE(sim.ok());
        TestMaster m;
        ASSERT_TRUE(m.open(sim.port()));
        uint8_t rd[4];
        EXPECT_EQ(Rmc_do_activate_bootloader(&m.rmc), RMC_RES_OK);
        EXPECT_EQ(m.n_stx_sent, 1);
        EXPECT_EQ(Rmc_do_read_mem(&m.rmc, k_a_ram, rd, 4), RMC_RES_OK);
        EXPECT_GE(m.n_stx_sent, 3);
        ASSERT_EQ(sim.stop(), 0);
        std::string rep = sim.report();
        EXPECT_EQ(devsim_report_value(rep, "final_dle_lost"), "1") << rep;
        EXPECT_NE(rep.find("\"retries\": {\"host_to_device\": 1"), std::string::npos) << rep;
    }
}

TEST_F(DevSim, BusyStaleAndSilentRepliesReachTheMasterAsItsLayerPredicts) {
    uint8_t rd[4];
    {
        DevSimProcess sim({"--busy-every", "2"});
        ASSERT_TRUE(sim.ok());
        TestMaster m;
        ASSERT_TRUE(m.open(sim.port()));
        EXPECT_EQ(Rmc_do_activate_bootloader(&m.rmc), RMC_RES_OK);
        EXPECT_EQ(Rmc_do_read_mem(&m.rmc, k_a_ram, rd, 4), RMC_RES_BUSY);
        EXPECT_EQ(Rmc_do_read_mem(&m.rmc, k_a_ram, rd, 4), RMC_RES_OK);
        // A busy request is not carried out.
        EXPECT_EQ(Rmc_do_write_xbram(&m.rmc, k_a_ram, (const uint8_t*)"ab", 2), RMC_RES_BUSY);
        EXPECT_EQ(Rmc_do_read_mem(&m.rmc, k_a_ram, rd, 2), RMC_RES_OK);
        EXPECT_EQ(rd[0], 0);
    }
    {
        // Every reply is preceded by a stale one: the master drops it and takes its own.
        DevSimProcess sim({"--stale-reply-every", "1"});
        ASSERT_TRUE(sim.ok());
        TestMaster m;
        ASSERT_TRUE(m.open(sim.port()));
        EXPECT_EQ(Rmc_do_activate_bootloader(&m.rmc), RMC_RES_OK);
        EXPECT_EQ(Rmc_do_write_xbram(&m.rmc, k_a_ram, (const uint8_t*)"ab", 2), RMC_RES_OK);
        EXPECT_EQ(Rmc_do_write_xbram(&m.rmc, k_a_ram + 2, (const uint8_t*)"cd", 2), RMC_RES_OK);
        EXPECT_EQ(Rmc_do_read_mem(&m.rmc, k_a_ram, rd, 4), RMC_RES_OK);
        EXPECT_EQ(std::memcmp(rd, "abcd", 4), 0);
        EXPECT_EQ(m.n_frames_in, 8);
    }
    {
        // After two requests the device answers nothing: the third one times out.
        DevSimProcess sim({"--silent-after", "2"});
        ASSERT_TRUE(sim.ok());
        TestMaster m;
        ASSERT_TRUE(m.open(sim.port()));
        EXPECT_EQ(Rmc_do_activate_bootloader(&m.rmc), RMC_RES_OK);
        EXPECT_EQ(Rmc_do_read_mem(&m.rmc, k_a_ram, rd, 4), RMC_RES_OK);
        m.co.t_ack_delay_ms = 50;
        m.rmc.reply_timeout_ms = 300;
        int n_stx = m.n_stx_sent;
        EXPECT_EQ(Rmc_do_read_mem(&m.rmc, k_a_ram, rd, 4), RMC_RES_ERR_REC);
        EXPECT_EQ(m.n_stx_sent - n_stx, 6);
        ASSERT_EQ(sim.stop(), 0);
        EXPECT_EQ(devsim_report_value(sim.report(), "requests"), "2");
    }
}

// A stale copy of the previous reply right before the reply, and a stray byte while the
// master waits, each without a pause: the master's layers take the right reply, and every
// start request of the device is answered (none refused with NAK, none left unanswered).
TEST_F(DevSim, DuplicateRepliesAndStrayBytesLeaveNoStartRequestRefused) {
    struct Case {
        const char* name;
        std::vector<std::string> args;
        const char* duplicates; // of the four replies; the first has none before it
        const char* strays;
    } cases[] = {
        {"duplicate before every second reply", {"--duplicate-reply-every", "2"}, "2", "0"},
        {"stray byte before every second reply", {"--stray-byte-every", "2"}, "0", "2"},
        {"both before every reply",
         {"--duplicate-reply-every", "1", "--stray-byte-every", "1", "--seed", "5"},
         "3",
         "4"},
        {"both, behind a gap", {"--duplicate-reply-every", "1", "--gap-ms", "20"}, "3", "0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DevSimProcess sim(c.args);
        ASSERT_TRUE(sim.ok());
        {
            TestMaster m;
            ASSERT_TRUE(m.open(sim.port()));
            uint8_t rd[4] = {0};
            EXPECT_EQ(Rmc_do_activate_bootloader(&m.rmc), RMC_RES_OK);
            EXPECT_EQ(Rmc_do_write_xbram(&m.rmc, k_a_ram, (const uint8_t*)"ab", 2), RMC_RES_OK);
            EXPECT_EQ(Rmc_do_write_xbram(&m.rmc, k_a_ram + 2, (const uint8_t*)"cd", 2), RMC_RES_OK);
            EXPECT_EQ(Rmc_do_read_mem(&m.rmc, k_a_ram, rd, 4), RMC_RES_OK);
            EXPECT_EQ(std::memcmp(rd, "abcd", 4), 0);
        }
        ASSERT_EQ(sim.stop(), 0);
        std::string rep = sim.report();
        EXPECT_EQ(devsim_report_value(rep, "requests"), "4") << rep;
        EXPECT_EQ(devsim_report_value(rep, "duplicate_replies"), c.duplicates) << rep;
        EXPECT_EQ(devsim_report_value(rep, "stray_bytes"), c.strays) << rep;
        EXPECT_EQ(devsim_report_value(rep, "refused"), "0") << rep;
        EXPECT_EQ(devsim_report_value(rep, "unanswered"), "0") << rep;
    }
}

TEST_F(DevSim, MalformedAndOutOfRangeRequestsGetExceptionReplies) {
    DevSimProcess sim;
    ASSERT_TRUE(sim.ok());
    TestMaster m;
    ASSERT_TRUE(m.open(sim.port()));
    struct Case {
        const char* name;
        std::vector<uint8_t> req;
        std::vector<uint8_t> want;
    } cases[] = {
        {"unknown code", {0x7F}, {0xFF, 1}},
        {"code with bit 7", {0xC1, 1, 2}, {0xC1, 1}},
        {"activate with extra bytes", {7, 0}, {0x87, 3}},
        {"read_mem without length", cat({9}, le({k_a_ram})), {0x89, 3}},
        {"read_mem outside memory", cat({9}, le({0x10, 4})), {0x89, 2}},
        {"read_mem longer than a reply", cat({9}, le({k_a_ram, 2000})), {0x89, 3}},
        {"read_mem overflowing address", cat({9}, le({0xFFFFFFFF, 2})), {0x89, 2}},
        {"text set too short", {72, 'a', 'b'}, {0xC8, 3}},
        {"pair item out of range", cat({67}, le({64})), {0xC3, 2}},
        {"fram number out of range", cat({84}, le({2, 0, 4})), {0xD4, 2}},
        {"fram read past its end", cat({84}, le({0, 0x1FFE, 4})), {0xD4, 2}},
        {"fram write length disagrees", cat(cat({85}, le({0, 0, 3})), {1, 2}), {0xD5, 3}},
        {"block write past its memory", cat(cat({66}, le({0xFFFF, 2})), {1, 2}), {0xC2, 2}},
        {"erase at power-on", {35}, {0xA3, 1}},
        {"empty message, then a good one", {}, {}},
        {"good request after it", {5}, cat({5}, le({0x4B52, 3, 0x00012345}))},
    };
    // Line noise first: the device refuses it with one NAK once the line is quiet and
    // stays ready for the next frame.
    for (int b : {0x55, 0xAA, 0x03, 0x10})
        Uart_send_byte(&m.uart, b);
    std::vector<int> refusals;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(k_t_reply_ms);
    while (std::chrono::steady_clock::now() < end) {
        Uart_wait_readable(&m.uart, 5);
        for (int ch; (ch = Uart_receive_byte_nw(&m.uart)) >= 0;)
            refusals.push_back(ch);
        // Nothing more comes after the NAK (the device's character delay is 220 ms).
        if (!refusals.empty()) end = std::min(end, std::chrono::steady_clock::now() +
                                                       std::chrono::milliseconds(500));
    }
    EXPECT_EQ(refusals, std::vector<int>{CO3964_NAK});
    for (const Case& c : cases) {
        // The empty message gets no reply: a short wait for nothing.
        std::vector<uint8_t> got = m.raw(c.req, c.req.empty() ? 300 : k_t_reply_ms);
        EXPECT_EQ(got, c.want) << c.name;
    }
    // The device is still well after all of it.
    char text[RMC_N_TEXT];
    ASSERT_EQ(Rmc_do_get_text_71(&m.rmc, text), RMC_RES_OK);
    EXPECT_STREQ(text, "K52 simulated device");
    ASSERT_EQ(sim.stop(), 0);
}

TEST_F(DevSim, GenericCommandsKeepWhatWasStored) {
    DevSimProcess sim;
    ASSERT_TRUE(sim.ok());
    TestMaster m;
    ASSERT_TRUE(m.open(sim.port()));
    char text[RMC_N_TEXT] = "line 4 / station 12";
    ASSERT_EQ(Rmc_do_set_text_72(&m.rmc, text), RMC_RES_OK);
    char back[RMC_N_TEXT];
    ASSERT_EQ(Rmc_do_get_text_71(&m.rmc, back), RMC_RES_OK);
    EXPECT_STREQ(back, text);

    ASSERT_EQ(Rmc_do_set_pair_68(&m.rmc, 9, 111, 222), RMC_RES_OK);
    uint32_t w1 = 0, w2 = 0, w3 = 0;
    ASSERT_EQ(Rmc_do_get_pair_67(&m.rmc, 9, &w1, &w2), RMC_RES_OK);
    EXPECT_EQ(w1, 111u);
    EXPECT_EQ(w2, 222u);

    const uint8_t data[5] = {1, 2, 3, 4, 5};
    ASSERT_EQ(Rmc_do_fram_write(&m.rmc, 1, 0x7FFB, 5, data), RMC_RES_OK);
    uint8_t rd[5] = {0};
    ASSERT_EQ(Rmc_do_fram_read(&m.rmc, 1, 0x7FFB, 5, rd), RMC_RES_OK);
    EXPECT_EQ(std::memcmp(rd, data, 5), 0);

    ASSERT_EQ(Rmc_do_set_words_70(&m.rmc, 1, 2, 3, 4, 5, 6, 7, 8), RMC_RES_OK);
    RmcRec6 rec{};
    uint32_t w9 = 0;
    ASSERT_EQ(Rmc_do_get_words_69(&m.rmc, &w1, &w2, &rec, &w9), RMC_RES_OK);
    EXPECT_EQ(w1, 1u);
    EXPECT_EQ(w2, 2u);
    EXPECT_EQ(rec.w[5], 8u);

    ASSERT_EQ(Rmc_do_set_words_87(&m.rmc, 10, 20, 30, 40, 50, 60), RMC_RES_OK);
    uint32_t v[6] = {0};
    ASSERT_EQ(Rmc_do_get_words_86(&m.rmc, &v[0], &v[1], &v[2], &v[3], &v[4], &v[5]), RMC_RES_OK);
    EXPECT_EQ(v[5], 60u);
    EXPECT_EQ(Rmc_do_get_indexed_words_81(&m.rmc, 3, &w1, &w2, &w3), RMC_RES_OK);
    EXPECT_EQ(w1, 3u);
    EXPECT_EQ(Rmc_do_get_indexed_words_83(&m.rmc, 32, &w1, &w2, &w3), RMC_RES_ILL_DATA_ADR);
    for (auto f : {Rmc_do_get_words_6, Rmc_do_get_words_80, Rmc_do_get_words_82})
        EXPECT_EQ(f(&m.rmc, &w1, &w2, &w3), RMC_RES_OK);
    EXPECT_EQ(Rmc_do_exec_64(&m.rmc), RMC_RES_OK);
    EXPECT_EQ(Rmc_do_exec_65(&m.rmc), RMC_RES_OK);
    ASSERT_EQ(Rmc_do_write_block_66(&m.rmc, 0x100, data, 5), RMC_RES_OK);
}

TEST_F(DevSim, SelfEndingRunsAndTheLinkExit) {
    {
        // --once: ends by itself once the application runs, with dumps and report written.
        DevSimProcess sim({"--once"});
        ASSERT_TRUE(sim.ok());
        {
            TestMaster m;
            ASSERT_TRUE(m.open(sim.port()));
            download_short(m, short_image(1));
        }
        EXPECT_EQ(sim.wait_exit(3000), 0);
        EXPECT_EQ(devsim_report_value(sim.report(), "app_started"), "true");
        EXPECT_EQ(sim.flash().size(), (size_t)k_n_flash);
    }
    {
        // --idle-exit-ms with --link: a quiet line ends the run and the link goes with it.
        std::string link = std::string("/tmp/orvo-devsim-link-") + std::to_string(getpid());
        DevSimProcess sim({"--idle-exit-ms", "300", "--link", link});
        ASSERT_TRUE(sim.ok());
        char target[256] = {0};
        ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
        EXPECT_EQ(std::string(target), sim.port());
        EXPECT_EQ(sim.wait_exit(3000), 0);
        struct stat st;
        EXPECT_NE(lstat(link.c_str(), &st), 0);
        EXPECT_EQ(devsim_report_value(sim.report(), "mode"), "\"power_on\"");
    }
    {
        // SIGTERM in the middle of a reply's device time still ends cleanly.
        DevSimProcess sim({"--reply-delay-ms", "5000"});
        ASSERT_TRUE(sim.ok());
        TestMaster m;
        ASSERT_TRUE(m.open(sim.port()));
        ASSERT_EQ(Co3964_ob_set_msg(&m.co, 1, (const uint8_t*)"\x07"), 2);
        for (int i = 0; i < 50 && Co3964_ob_get_state(&m.co) == 2; i++) {
            Co3964_poll(&m.co);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        EXPECT_EQ(sim.stop(), 0);
        EXPECT_EQ(devsim_report_value(sim.report(), "requests"), "1");
    }
}

TEST_F(DevSim, CommandLineHelpAndMistakes) {
    std::string prog = orvo_program_path("tools/devsim/orvo-devsim");
    struct {
        std::string args;
        int want;
    } cases[] = {
        {"--help", 0},         {"--bogus", 2},  {"--erase-ms", 2}, {"--erase-ms -5", 2},
        {"--busy-every x", 2}, {"--report", 2}, {"--gap-ms x", 2}, {"--stray-byte-every -1", 2},
    };
    for (const auto& c : cases) {
        int st = std::system((prog + " " + c.args + " >/dev/null 2>&1 </dev/null").c_str());
        ASSERT_TRUE(WIFEXITED(st)) << c.args;
        EXPECT_EQ(WEXITSTATUS(st), c.want) << c.args;
    }
}

} // namespace
