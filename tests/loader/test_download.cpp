// Download procedure: a recording window drives whole downloads through the
// root's own link into a fake device in virtual time; each step's failure,
// interruption, the progress display and the helpers.
#include "download.h"

#include "con.h"
#include "fake_device.h"
#include "images.h"
#include "pty.h"
#include "recording_window.h"
#include "rmc.h"
#include "root.h"
#include "uvmem.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

const char* const k_steps[] = {
    "Activating bootloader...",
    "Downloading flash loader...",
    "Starting flash loader...",
    "Erasing application sectors...",
    "Blank checking application sectors...",
    "Blank checking application sectors...", // the step ends with 100 %
    "Programming application...",
    "Updating application signature...",
    "Starting application...",
};

const char* const k_step_logs[] = {
    "Activating bootloader",
    "Download flash loader",
    "Start flash loader",
    "Erasing application sectors",
    "Blank checking application sectors",
    "Programming application",
    "Updating application signature",
    "Starting application",
};

// A root whose link leads to a fake device; the window names a real pseudo-
// terminal as its port, so the port opens and closes as a serial port does.
struct DownloadTest : ::testing::Test {
    PtyPair pty;
    Root* p_root = nullptr;
    std::unique_ptr<FakeDevice> dev;
    std::unique_ptr<RecordingWindow> rec;
    std::unique_ptr<LogCapture> log;
    std::vector<uint8_t> vm_before;

    void SetUp() override {
        ASSERT_TRUE(pty.ok());
        p_root = Root_alloc();
        ASSERT_NE(p_root, nullptr);
        dev = std::make_unique<FakeDevice>();
        dev->attach(p_root);
        rec = std::make_unique<RecordingWindow>(pty.slave_path());
        log = std::make_unique<LogCapture>();
        UvMem* p_vm = Root_get_p_vm(p_root);
        vm_before.assign(p_vm->p_vmem, p_vm->p_vmem + p_vm->n_vmem);
        log->clear();
    }
    void TearDown() override {
        log.reset();
        dev.reset();
        Root_free(p_root);
        Con_set_cb_output(nullptr, nullptr);
    }

    int32_t run(DlReport* p_report = nullptr) { return on_download(&rec->win, p_root, p_report); }

    std::vector<uint8_t> vm_now() const {
        UvMem* p_vm = p_root->p_vm;
        return {p_vm->p_vmem, p_vm->p_vmem + p_vm->n_vmem};
    }
    // The addresses of the image's non-blank blocks, in order.
    std::vector<uint32_t> non_blank_blocks() const {
        std::vector<uint32_t> out;
        for (uint32_t a = 0x80000; a < 0xF4000; a += 256)
            if (!UvMem_block_equals_val(p_root->p_vm, a, 256, 0xFF)) out.push_back(a);
        return out;
    }
    // The detail texts shown between two step texts.
    std::vector<std::string> details_between(const std::string& from, const std::string& to) const {
        std::vector<std::string> out;
        bool inside = false;
        for (const RecEvent& e : rec->events) {
            if (e.kind == RecEvent::STEP) {
                if (e.text == to && inside) break;
                if (e.text == from) inside = true;
            } else if (inside && e.kind == RecEvent::DETAIL && !e.text.empty()) {
                out.push_back(e.text);
            }
        }
        return out;
    }
    // The window is idle again: "ready" twice, bar 0, Download enabled, port closed.
    void expect_idle() const {
        EXPECT_EQ(rec->step_line, "ready");
        EXPECT_EQ(rec->detail_line, "ready");
        EXPECT_EQ(rec->progress, 0);
        EXPECT_EQ(rec->is_download_enabled, 1);
        EXPECT_EQ(rec->win.m_bBusy, 0);
        EXPECT_EQ(p_root->uart.h_com, UART_INVALID_HANDLE);
        ASSERT_FALSE(rec->events.empty());
        EXPECT_EQ(rec->events.front().kind, RecEvent::ENABLE);
        EXPECT_EQ(rec->events.front().value, 0);
        EXPECT_EQ(rec->events.back().kind, RecEvent::ENABLE);
        EXPECT_EQ(rec->events.back().value, 1);
    }
};

std::string progress_text(int32_t done, int32_t total) {
    char text[64];
    snprintf(text, sizeof text, "%d of %d (%d %%)", done, total,
             total ? static_cast<int32_t>(static_cast<int64_t>(done) * 100 / total) : 0);
    return text;
}

TEST_F(DownloadTest, FullDownloadProgramsTheApplicationWithTheSignatureLast) {
    DlReport report{};
    EXPECT_EQ(run(&report), DL_OK);
    EXPECT_EQ(report.fail, DL_OK);
    EXPECT_EQ(report.l_result, 0);
    EXPECT_EQ(report.is_aborted, 0);

    std::vector<std::string> steps(std::begin(k_steps), std::end(k_steps));
    steps.push_back("ready");
    EXPECT_EQ(rec->texts(RecEvent::STEP), steps);
    EXPECT_EQ(rec->boxes(),
              std::vector<std::string>{"Ok|Application successfully downloaded !|30"});
    expect_idle();
    for (const RecEvent& e : rec->events) {
        if (e.kind == RecEvent::STEP && e.text != "ready") {
            EXPECT_EQ(e.is_busy, 1) << e.text;
        }
        if (e.kind == RecEvent::BOX) {
            EXPECT_EQ(e.is_busy, 0);
        }
    }

    // The step lines in the log, in order, each once.
    std::vector<std::string> logged;
    for (const std::string& line : log->lines())
        for (const char* p_step : k_step_logs)
            if (line == p_step) logged.push_back(line);
    EXPECT_EQ(logged, std::vector<std::string>(std::begin(k_step_logs), std::end(k_step_logs)));
    EXPECT_EQ(log->count_containing("l_result"), 0);
    EXPECT_EQ(log->count_containing("download took "), 1);

    // The device: flash equals the memory image, RAM holds the flash loader,
    // the signature byte was the last flash write and the application runs.
    EXPECT_EQ(dev->mode(), FakeDevice::MODE_APPL);
    EXPECT_EQ(dev->flash(), vm_now());
    EXPECT_EQ(dev->flash()[0x10], 0x47);
    EXPECT_EQ(dev->last_flash_a(), 0x80010u);
    EXPECT_EQ(dev->last_flash_n(), 1u);
    for (int32_t k = 0; k < fld_02_get_n_set(); k++) {
        uint32_t a = fld_02_get_p_set_a_bytes()[k] - FAKE_A_RAM;
        EXPECT_TRUE(std::equal(fld_02_get_p_set_p_bytes()[k],
                               fld_02_get_p_set_p_bytes()[k] + fld_02_get_p_set_n_bytes()[k],
                               dev->ram().begin() + a));
    }
    // The command order.
    std::vector<int> order;
    for (const FakeDeviceRequest& r : dev->requests())
        if (order.empty() || order.back() != r.fc) order.push_back(r.fc);
    EXPECT_EQ(order, (std::vector<int>{7, 19, 18, 35, 36, 37, 8}));
    EXPECT_EQ(vm_now(), vm_before);
    EXPECT_EQ(p_root->rmc.reply_timeout_ms, 100000);
}

TEST_F(DownloadTest, FlashLoaderGoesOutIn179WritesWithProgressAfterEach) {
    ASSERT_EQ(run(), DL_OK);
    // 202, 874 and 44321 bytes in blocks of at most 256: 1 + 4 + 174 writes.
    std::vector<std::string> expected;
    std::vector<uint32_t> lengths;
    int32_t done = 0;
    for (uint32_t n_seg : {202u, 874u, 44321u}) {
        for (uint32_t sent = 0; sent < n_seg;) {
            uint32_t l = std::min(n_seg - sent, 256u);
            sent += l;
            lengths.push_back(l);
            expected.push_back(progress_text(done + static_cast<int32_t>(sent), 45397));
        }
        done += static_cast<int32_t>(n_seg);
    }
    ASSERT_EQ(expected.size(), 179u);
    EXPECT_EQ(details_between("Downloading flash loader...", "Starting flash loader..."), expected);
    EXPECT_EQ(expected.back(), "45397 of 45397 (100 %)");
    std::vector<uint32_t> sent_lengths;
    for (const FakeDeviceRequest& r : dev->requests())
        if (r.fc == RMC_FC_WRITE_XBRAM) sent_lengths.push_back(r.n_bytes);
    EXPECT_EQ(sent_lengths, lengths);
    EXPECT_EQ(log->count("sending partition to adr=00400000 n_bytes=202"), 1);
    EXPECT_EQ(log->count("sending partition to adr=004000cc n_bytes=874"), 1);
    EXPECT_EQ(log->count("sending partition to adr=00400438 n_bytes=44321"), 1);
}

TEST_F(DownloadTest, ProgrammingShowsProgressOnlyBeforeBlocksAt0x1000InEach8KiB) {
    const std::vector<uint32_t> blocks = non_blank_blocks();
    const int32_t n_total = Root_get_n_bytes_appl(p_root);
    ASSERT_EQ(n_total, static_cast<int32_t>(blocks.size() * 256));
    ASSERT_EQ(run(), DL_OK);

    std::vector<std::string> expected;
    for (size_t i = 0; i < blocks.size(); i++)
        if ((blocks[i] & 0x1FFF) == 0x1000)
            expected.push_back(progress_text(static_cast<int32_t>(i * 256), n_total));
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(details_between("Programming application...", "Updating application signature..."),
              expected);
    // The blank blocks are skipped: exactly the non-blank ones are written, in
    // order, the first with the signature byte held at 0xFF.
    std::vector<uint32_t> written;
    const FakeDeviceRequest* p_first = nullptr;
    for (const FakeDeviceRequest& r : dev->requests()) {
        if (r.fc != RMC_FC_WRITE_FLASH || r.n_bytes != 256) continue;
        if (!p_first) p_first = &r;
        written.push_back(r.a_mem);
    }
    EXPECT_EQ(written, blocks);
    ASSERT_NE(p_first, nullptr);
    EXPECT_EQ(p_first->a_mem, 0x80000u);
    EXPECT_EQ(p_first->data[0x10], 0xFF);
    EXPECT_EQ(log->count("writing 256 bytes to address 00080000"), 1);
    EXPECT_EQ(log->count_containing("writing 256 bytes to address "),
              static_cast<int>(blocks.size()));
}

struct StepFailure {
    const char* name;
    int fc;
    int nth; // 0: the signature write (the flash write after every block)
    int code;
    int32_t fail;
    int32_t l_result;
    const char* box;
    int n_steps; // step texts shown before "ready"
};

const StepFailure k_failures[] = {
    {"activation", RMC_FC_ACTIVATE_BOOTLOADER, 1, RMC_RES_BUSY, DL_FAIL_ACTIVATE, RMC_RES_BUSY,
     "Activating bootloader failed !", 1},
    {"silent activation", RMC_FC_ACTIVATE_BOOTLOADER, 1, FAKE_SILENT, DL_FAIL_ACTIVATE,
     RMC_RES_ERR_REC, "Activating bootloader failed !", 1},
    {"loader download", RMC_FC_WRITE_XBRAM, 3, RMC_RES_ILL_DATA_ADR, DL_FAIL_LOADER_DOWNLOAD,
     RMC_RES_ILL_DATA_ADR, "Download of Flashloader failed !", 2},
    {"loader start", RMC_FC_JUMP, 1, RMC_RES_DEV_FAIL, DL_FAIL_LOADER_START, RMC_RES_DEV_FAIL,
     "Starting Flashloader failed !", 3},
    {"erase", RMC_FC_ERASE_APPL, 1, RMC_RES_NAK, DL_FAIL_ERASE, RMC_RES_NAK,
     "Erasing application sectors failed !", 4},
    {"blank check", RMC_FC_BLANK_CHECK_APPL, 1, RMC_RES_DEV_FAIL, DL_FAIL_BLANK_CHECK,
     RMC_RES_DEV_FAIL, "Blank checking application sectors failed !", 6},
    {"programming", RMC_FC_WRITE_FLASH, 5, RMC_RES_ILL_DATA_VAL, DL_FAIL_PROGRAM,
     RMC_RES_ILL_DATA_VAL, "Programming application failed !", 7},
    {"silent programming", RMC_FC_WRITE_FLASH, 2, FAKE_SILENT, DL_FAIL_PROGRAM, RMC_RES_ERR_REC,
     "Programming application failed !", 7},
    {"signature", RMC_FC_WRITE_FLASH, 0, RMC_RES_ACK, DL_FAIL_SIGNATURE, RMC_RES_ACK,
     "Updating application signature !", 8},
    {"application start", RMC_FC_START_APPL, 1, RMC_RES_DEV_FAIL, DL_FAIL_APPL_START,
     RMC_RES_DEV_FAIL, "Starting application failed !", 9},
};

TEST_F(DownloadTest, EachFailingStepShowsItsBoxAndRunsNoLaterStep) {
    for (const StepFailure& f : k_failures) {
        SCOPED_TRACE(f.name);
        // A fresh device and window for each case; the root stays.
        dev = std::make_unique<FakeDevice>();
        dev->attach(p_root);
        rec = std::make_unique<RecordingWindow>(pty.slave_path());
        log->clear();
        int nth = f.nth ? f.nth : static_cast<int>(non_blank_blocks().size()) + 1;
        dev->fail_nth(f.fc, nth, f.code);
        const uint32_t t_start = LinkPair_get_t_now(dev->pair());

        DlReport report{};
        EXPECT_EQ(run(&report), f.fail);
        EXPECT_EQ(report.fail, f.fail);
        EXPECT_EQ(report.l_result, f.l_result);
        EXPECT_EQ(report.is_aborted, 0);

        EXPECT_EQ(rec->boxes(), std::vector<std::string>{std::string("Error...|") + f.box + "|30"});
        std::vector<std::string> steps(k_steps, k_steps + f.n_steps);
        steps.push_back("ready");
        EXPECT_EQ(rec->texts(RecEvent::STEP), steps);
        expect_idle();

        const std::string name = Rmc_get_result_name(f.l_result);
        EXPECT_EQ(log->count("l_result =  " + std::to_string(f.l_result) + " (" + name + ")"), 1);
        EXPECT_EQ(log->count_containing("send_and_receive returned " + std::to_string(f.l_result) +
                                        " (" + name + ")"),
                  1);
        EXPECT_EQ(log->count_containing("l_result"), 1);
        // The device got nothing after the failing request.
        ASSERT_FALSE(dev->requests().empty());
        EXPECT_EQ(dev->requests().back().fc, f.fc);
        EXPECT_EQ(dev->count(f.fc), nth);
        // Both pauses are made whatever failed.
        EXPECT_GE(LinkPair_get_t_now(dev->pair()) - t_start, 1000u);
        // The memory image is as it was, signature byte included.
        EXPECT_EQ(vm_now(), vm_before);
        EXPECT_EQ(p_root->rmc.reply_timeout_ms, 100000);
    }
}

// Write repetitions (the command-line loader's --retries): a failed RAM or flash
// write goes out again with the same bytes; nothing else is ever repeated.
struct RetryCase {
    const char* name;
    int fc;       // the request that fails
    int nth;      // from its nth request on (0: the signature write)
    int n_fails;  // how many of them in a row
    int code;     // exception code or FAKE_SILENT
    int retries;  // the window's n_retries
    int32_t fail; // expected outcome
};
const RetryCase k_retry_cases[] = {
    {"RAM write refused once", RMC_FC_WRITE_XBRAM, 3, 1, RMC_RES_BUSY, 2, DL_OK},
    {"RAM write unanswered once", RMC_FC_WRITE_XBRAM, 5, 1, FAKE_SILENT, 1, DL_OK},
    {"flash write refused twice", RMC_FC_WRITE_FLASH, 4, 2, RMC_RES_BUSY, 2, DL_OK},
    {"flash write unanswered once", RMC_FC_WRITE_FLASH, 2, 1, FAKE_SILENT, 2, DL_OK},
    {"flash write refused past the count", RMC_FC_WRITE_FLASH, 4, 3, RMC_RES_BUSY, 2,
     DL_FAIL_PROGRAM},
    {"signature is not repeated", RMC_FC_WRITE_FLASH, 0, 1, RMC_RES_BUSY, 2, DL_FAIL_SIGNATURE},
    {"erase is not repeated", RMC_FC_ERASE_APPL, 1, 1, RMC_RES_BUSY, 2, DL_FAIL_ERASE},
    {"activation is not repeated", RMC_FC_ACTIVATE_BOOTLOADER, 1, 1, RMC_RES_BUSY, 2,
     DL_FAIL_ACTIVATE},
};

TEST_F(DownloadTest, FailedWritesAreRepeatedUpToTheRetryCount) {
    for (const RetryCase& c : k_retry_cases) {
        SCOPED_TRACE(c.name);
        dev = std::make_unique<FakeDevice>();
        dev->attach(p_root);
        rec = std::make_unique<RecordingWindow>(pty.slave_path());
        rec->win.n_retries = c.retries;
        log->clear();
        int nth = c.nth ? c.nth : static_cast<int>(non_blank_blocks().size()) + 1;
        for (int i = 0; i < c.n_fails; i++)
            dev->fail_nth(c.fc, nth + i, c.code);

        EXPECT_EQ(run(), c.fail);
        const bool is_write_loop = c.nth != 0 && c.fc != RMC_FC_ERASE_APPL &&
                                   c.fc != RMC_FC_ACTIVATE_BOOTLOADER;
        const int n_repeats = is_write_loop ? std::min(c.n_fails, c.retries) : 0;
        EXPECT_EQ(log->count_containing("repeating the write of "), n_repeats);
        if (c.fail == DL_OK) {
            EXPECT_EQ(dev->mode(), FakeDevice::MODE_APPL);
            // Every non-blank block is in flash as the image has it.
            for (uint32_t a : non_blank_blocks())
                ASSERT_EQ(memcmp(dev->flash().data() + (a - FAKE_A_FLASH),
                                 p_root->p_vm->p_vmem + (a - 0x80000), 256),
                          0)
                    << std::hex << a;
            // The repeated request is the one that failed: same address, same bytes.
            const auto& reqs = dev->requests();
            for (size_t i = 1; i < reqs.size(); i++) {
                if (reqs[i].fc == c.fc && reqs[i - 1].fc == c.fc &&
                    reqs[i].a_mem == reqs[i - 1].a_mem) {
                    EXPECT_EQ(reqs[i].data, reqs[i - 1].data);
                }
            }
        } else {
            EXPECT_EQ(dev->requests().back().fc, c.fc);
            EXPECT_EQ(dev->count(c.fc), nth + n_repeats);
        }
        expect_idle();
    }
}

// What the hooks for a window beyond the display saw: each step's id, and the bytes of the
// block loops after each write with the step they came in.
struct HookLog {
    std::vector<std::string> ids;
    std::vector<std::pair<std::string, std::pair<int32_t, int32_t>>> bytes;
};
HookLog g_hooks;

TEST_F(DownloadTest, HooksNameEachStepAndCountTheBytesOfEachWrite) {
    g_hooks = HookLog();
    rec->win.cb_step_begin = [](void*, const char* p_id) { g_hooks.ids.push_back(p_id); };
    rec->win.cb_bytes_done = [](void*, int32_t n_done, int32_t n_total) {
        g_hooks.bytes.push_back({g_hooks.ids.back(), {n_done, n_total}});
    };
    EXPECT_EQ(run(), DL_OK);
    EXPECT_EQ(g_hooks.ids,
              (std::vector<std::string>{"activate", "load_loader", "start_loader", "erase",
                                        "blank_check", "program", "signature", "start_appl"}));
    // Only the two block loops count bytes, rising with each write up to their totals.
    const std::map<std::string, std::pair<int32_t, int32_t>> k_loops = {
        {"load_loader", {179, 45397}},
        {"program",
         {static_cast<int32_t>(non_blank_blocks().size()), Root_get_n_bytes_appl(p_root)}}};
    std::map<std::string, int32_t> n_writes, n_last;
    for (const auto& [id, b] : g_hooks.bytes) {
        ASSERT_EQ(k_loops.count(id), 1u) << id;
        EXPECT_EQ(b.second, k_loops.at(id).second);
        EXPECT_GT(b.first, n_last[id]);
        n_last[id] = b.first;
        n_writes[id]++;
    }
    for (const auto& [id, loop] : k_loops) {
        EXPECT_EQ(n_writes[id], loop.first) << id;
        EXPECT_EQ(n_last[id], loop.second) << id;
    }
    // The display is the window's as without the hooks.
    std::vector<std::string> steps(std::begin(k_steps), std::end(k_steps));
    steps.push_back("ready");
    EXPECT_EQ(rec->texts(RecEvent::STEP), steps);
    // Each failing step's id.
    for (int32_t fail = DL_FAIL_ACTIVATE; fail <= DL_FAIL_APPL_START; fail++)
        EXPECT_EQ(dl_step_id(fail), g_hooks.ids[static_cast<size_t>(fail - DL_FAIL_ACTIVATE)]);
    EXPECT_STREQ(dl_step_id(DL_FAIL_PORT), "port");
    EXPECT_STREQ(dl_step_id(DL_FAIL_VERIFY), "verify");
    EXPECT_EQ(dl_step_id(DL_OK), nullptr);
    EXPECT_EQ(dl_step_id(DL_FAIL_VERIFY + 1), nullptr);
    EXPECT_EQ(dl_step_id(-1), nullptr);
}

TEST_F(DownloadTest, BlankCheckFailureBoxComesBeforeTheFullBar) {
    dev->fail_nth(RMC_FC_BLANK_CHECK_APPL, 1, RMC_RES_DEV_FAIL);
    EXPECT_EQ(run(), DL_FAIL_BLANK_CHECK);
    // The last events before "ready": the box, then the step at 100 %.
    std::vector<std::string> tail;
    for (const RecEvent& e : rec->events) {
        if (e.kind == RecEvent::BOX)
            tail = {"box"};
        else if (!tail.empty() && e.kind == RecEvent::STEP)
            tail.push_back(e.text);
        else if (!tail.empty() && e.kind == RecEvent::PROGRESS)
            tail.push_back(std::to_string(e.value));
    }
    EXPECT_EQ(tail, (std::vector<std::string>{"box", "Blank checking application sectors...", "100",
                                              "ready", "0"}));
}

TEST_F(DownloadTest, DeviceThatStopsAnsweringFailsWithinTheTimeOuts) {
    // Silent after the activation and two RAM writes: the third write is
    // delivered but never answered.
    dev->silent_after(3);
    const uint32_t t_start = LinkPair_get_t_now(dev->pair());
    DlReport report{};
    EXPECT_EQ(run(&report), DL_FAIL_LOADER_DOWNLOAD);
    EXPECT_EQ(report.l_result, RMC_RES_ERR_REC);
    // The reply time-out (1000 ms), the two pauses and some line time.
    EXPECT_LT(LinkPair_get_t_now(dev->pair()) - t_start, 5000u);
    expect_idle();
}

TEST_F(DownloadTest, MissingPortOnlyShowsItsBox) {
    for (const char* p_port : {"/dev/nonexistent-orvo-port", ""}) {
        SCOPED_TRACE(p_port);
        rec = std::make_unique<RecordingWindow>(p_port);
        DlReport report{};
        EXPECT_EQ(run(&report), DL_FAIL_PORT);
        EXPECT_EQ(report.fail, DL_FAIL_PORT);
        ASSERT_EQ(rec->events.size(), 3u);
        EXPECT_EQ(rec->events[0].kind, RecEvent::ENABLE);
        EXPECT_EQ(rec->events[0].value, 0);
        EXPECT_EQ(rec->boxes(), std::vector<std::string>{"Error...|Error opening COM-Port !|30"});
        EXPECT_EQ(rec->events[1].is_busy, 0);
        EXPECT_EQ(rec->events[2].kind, RecEvent::ENABLE);
        EXPECT_EQ(rec->events[2].value, 1);
        EXPECT_TRUE(dev->requests().empty());
        EXPECT_EQ(p_root->uart.h_com, UART_INVALID_HANDLE);
    }
}

// Presses Close through the window's message pump once the device has taken
// the nth request of function code fc, and answers the question with answer.
void press_close_at(RecordingWindow& rec, FakeDevice& dev, int fc, int nth, int32_t answer) {
    rec.answers.push_back(answer);
    auto pressed = std::make_shared<bool>(false);
    dev.on_pump = [&rec, &dev, fc, nth, pressed] {
        if (*pressed || dev.count(fc) < nth) return;
        *pressed = true;
        EXPECT_EQ(on_cancel(&rec.win), 0);
    };
}

const char k_question[] =
    "Warning|Programming of the flash memory has not yet completed !\n\nDo you "
    "want to interrupt programming ?\n|233";

TEST_F(DownloadTest, InterruptionDuringProgrammingStopsAfterTheBlockBeingWritten) {
    press_close_at(*rec, *dev, RMC_FC_WRITE_FLASH, 3, DL_ID_YES);
    DlReport report{};
    EXPECT_EQ(run(&report), DL_FAIL_PROGRAM);
    EXPECT_EQ(report.l_result, RMC_RES_ERR_ELSE);
    EXPECT_EQ(report.is_aborted, 1);
    EXPECT_EQ(dev->count(RMC_FC_WRITE_FLASH), 3);
    EXPECT_EQ(rec->boxes(), (std::vector<std::string>{
                                k_question, "Error...|Programming application failed !|30"}));
    EXPECT_EQ(log->count("l_result =  10 (RMC_RES_ERR_ELSE    )"), 1);
    // The device holds no valid signature; the image is unchanged.
    EXPECT_EQ(dev->flash()[0x10], 0xFF);
    EXPECT_EQ(vm_now(), vm_before);
    expect_idle();
    EXPECT_EQ(rec->win.m_bAbort, 1);
    // Idle again, Close closes the window without a question.
    EXPECT_EQ(on_cancel(&rec->win), 1);
    EXPECT_EQ(rec->boxes().size(), 2u);
    // The next download starts afresh.
    dev->on_pump = nullptr;
    EXPECT_EQ(run(), DL_OK);
    EXPECT_EQ(rec->win.m_bAbort, 0);
}

TEST_F(DownloadTest, InterruptionAnsweredNoOrCancelChangesNothing) {
    for (int32_t answer : {DL_ID_NO, DL_ID_CANCEL}) {
        SCOPED_TRACE(answer);
        dev = std::make_unique<FakeDevice>();
        dev->attach(p_root);
        rec = std::make_unique<RecordingWindow>(pty.slave_path());
        press_close_at(*rec, *dev, RMC_FC_WRITE_FLASH, 3, answer);
        EXPECT_EQ(run(), DL_OK);
        EXPECT_EQ(rec->boxes(), (std::vector<std::string>{
                                    k_question, "Ok|Application successfully downloaded !|30"}));
        EXPECT_EQ(dev->mode(), FakeDevice::MODE_APPL);
    }
}

TEST_F(DownloadTest, InterruptionDuringTheFlashLoaderStopsAfterTheRamBlock) {
    press_close_at(*rec, *dev, RMC_FC_WRITE_XBRAM, 2, DL_ID_YES);
    DlReport report{};
    EXPECT_EQ(run(&report), DL_FAIL_LOADER_DOWNLOAD);
    EXPECT_EQ(report.is_aborted, 1);
    EXPECT_EQ(dev->count(RMC_FC_WRITE_XBRAM), 2);
    EXPECT_EQ(dev->requests().back().fc, RMC_FC_WRITE_XBRAM);
    EXPECT_EQ(rec->boxes(), (std::vector<std::string>{
                                k_question, "Error...|Download of Flashloader failed !|30"}));
}

TEST_F(DownloadTest, InterruptionDuringEraseIsNoticedAfterTheFirstFlashBlock) {
    press_close_at(*rec, *dev, RMC_FC_ERASE_APPL, 1, DL_ID_YES);
    DlReport report{};
    EXPECT_EQ(run(&report), DL_FAIL_PROGRAM);
    EXPECT_EQ(report.is_aborted, 1);
    EXPECT_EQ(dev->count(RMC_FC_BLANK_CHECK_APPL), 1);
    EXPECT_EQ(dev->count(RMC_FC_WRITE_FLASH), 1);
}

TEST_F(DownloadTest, WindowCanAskTheQuestionWhereTheFlagIsTested) {
    // A window without a message queue (a terminal) asks at the loop's test.
    rec->answers.push_back(DL_ID_YES);
    int n_checks = 0;
    rec->on_check_abort = [&n_checks](RecordingWindow& w) {
        if (w.step_line == "Programming application..." && ++n_checks == 2) on_cancel(&w.win);
    };
    EXPECT_EQ(run(), DL_FAIL_PROGRAM);
    EXPECT_EQ(dev->count(RMC_FC_WRITE_FLASH), 2);
}

TEST_F(DownloadTest, AllBlankImageWritesOnlyTheSignature) {
    UvMem_fill(Root_get_p_vm(p_root), 0xFF);
    log->clear();
    EXPECT_EQ(run(), DL_OK);
    EXPECT_EQ(dev->count(RMC_FC_WRITE_FLASH), 1);
    ASSERT_EQ(dev->requests().back().fc, RMC_FC_START_APPL);
    const FakeDeviceRequest& sig = dev->requests()[dev->requests().size() - 2];
    EXPECT_EQ(sig.a_mem, 0x80010u);
    EXPECT_EQ(sig.data, std::vector<uint8_t>{0x47});
    EXPECT_TRUE(
        details_between("Programming application...", "Updating application signature...").empty());
    EXPECT_EQ(log->count_containing("download took "), 1);
    EXPECT_EQ(log->count_containing("writing "), 0);
}

TEST_F(DownloadTest, MissingImagesFailTheBlockLoopWithResult10) {
    // As when the root could not build its images: the loops get null.
    EXPECT_EQ(send_set_with_do_write_xbram(&rec->win, &p_root->rmc, 256, nullptr),
              RMC_RES_ERR_ELSE);
    EXPECT_EQ(send_set_with_do_write_xbram(&rec->win, nullptr, 256, &p_root->set_loader),
              RMC_RES_ERR_ELSE);
    EXPECT_EQ(send_vm_with_do_write_flash(&rec->win, &p_root->rmc, 256, nullptr, 0),
              RMC_RES_ERR_ELSE);
    EXPECT_EQ(send_vm_with_do_write_flash(&rec->win, nullptr, 256, p_root->p_vm, 0),
              RMC_RES_ERR_ELSE);
    EXPECT_EQ(send_vm_with_do_write_flash(&rec->win, &p_root->rmc, 0, p_root->p_vm, 0),
              RMC_RES_ERR_ELSE);
    EXPECT_EQ(log->text(), "");
    EXPECT_TRUE(rec->events.empty());
    EXPECT_TRUE(dev->requests().empty());
}

TEST_F(DownloadTest, EmptySegmentOnlyLogsItsLine) {
    EXPECT_EQ(send_partition_with_do_write_xbram(&rec->win, 0, 10, &p_root->rmc, 256, 0x400000,
                                                 nullptr, 0),
              RMC_RES_OK);
    EXPECT_EQ(log->lines(),
              std::vector<std::string>{"sending partition to adr=00400000 n_bytes=0"});
    EXPECT_TRUE(rec->events.empty());
    EXPECT_TRUE(dev->requests().empty());
    // A block size below 1 would never finish a segment.
    const uint8_t bytes[4] = {1, 2, 3, 4};
    EXPECT_EQ(
        send_partition_with_do_write_xbram(&rec->win, 0, 4, &p_root->rmc, 0, 0x400000, bytes, 4),
        RMC_RES_ERR_ELSE);
}

TEST(DownloadStatus, ShowStatusLeavesWhatIsNull) {
    RecordingWindow rec;
    EXPECT_EQ(show_status(nullptr, "a", "b", 1), 0);
    EXPECT_EQ(show_status(&rec.win, "step", nullptr, -1), 1);
    EXPECT_EQ(show_status(&rec.win, nullptr, "detail", -1), 1);
    EXPECT_EQ(show_status(&rec.win, nullptr, nullptr, 42), 1);
    EXPECT_EQ(show_ready(&rec.win), 1);
    ASSERT_EQ(rec.events.size(), 6u);
    EXPECT_EQ(rec.texts(RecEvent::STEP), (std::vector<std::string>{"step", "ready"}));
    EXPECT_EQ(rec.texts(RecEvent::DETAIL), (std::vector<std::string>{"detail", "ready"}));
    EXPECT_EQ(rec.values(RecEvent::PROGRESS), (std::vector<int32_t>{42, 0}));
    EXPECT_EQ(show_ready(nullptr), 0);
    EXPECT_EQ(show_progress(nullptr, 1, 2), 0);
    // A window that fills in nothing is still a window.
    DlWindow bare{};
    EXPECT_EQ(show_status(&bare, "x", "y", 3), 1);
}

TEST(DownloadStatus, ProgressIsTruncatedPercentOfTheTotal) {
    struct Case {
        int32_t done, total;
        const char* text;
        int32_t percent;
    } cases[] = {
        {0, 45397, "0 of 45397 (0 %)", 0},
        {202, 45397, "202 of 45397 (0 %)", 0},
        {45396, 45397, "45396 of 45397 (99 %)", 99},
        {45397, 45397, "45397 of 45397 (100 %)", 100},
        {5, 0, "5 of 0 (0 %)", 0},
        {469504, 469504, "469504 of 469504 (100 %)", 100},
    };
    for (const Case& c : cases) {
        RecordingWindow rec;
        EXPECT_EQ(show_progress(&rec.win, c.done, c.total), 1);
        EXPECT_EQ(rec.texts(RecEvent::DETAIL), std::vector<std::string>{c.text});
        EXPECT_EQ(rec.values(RecEvent::PROGRESS), std::vector<int32_t>{c.percent});
        EXPECT_TRUE(rec.texts(RecEvent::STEP).empty());
    }
}

TEST(DownloadStatus, LogLResultNamesTheCode) {
    LogCapture log;
    EXPECT_EQ(log_l_result(0), 0);
    EXPECT_EQ(log.text(), "");
    EXPECT_EQ(log_l_result(1), 1);
    EXPECT_EQ(log_l_result(10), 10);
    EXPECT_EQ(log_l_result(11), 11);
    EXPECT_EQ(log_l_result(-3), -3);
    EXPECT_EQ(log.text(), "l_result =  1 (RMC_RES_ILL_FC      )\n"
                          "l_result =  10 (RMC_RES_ERR_ELSE    )\n"
                          "l_result =  11 (?]\n"
                          "l_result =  -3 (?]\n");
}

TEST(DownloadStatus, PortNameTable) {
    EXPECT_STREQ(dl_port_name(0), "COM1");
    EXPECT_STREQ(dl_port_name(7), "COM8");
    EXPECT_EQ(dl_port_name(8), nullptr);
    EXPECT_EQ(dl_port_name(-1), nullptr);
}

TEST(DownloadStatus, CancelWhileIdleClosesWithoutAQuestion) {
    RecordingWindow rec;
    EXPECT_EQ(on_cancel(&rec.win), 1);
    EXPECT_EQ(on_cancel(nullptr), 1);
    rec.win.m_bBusy = 1;
    rec.answers.push_back(DL_ID_NO);
    EXPECT_EQ(on_cancel(&rec.win), 0);
    EXPECT_EQ(rec.win.m_bAbort, 0);
    rec.answers.push_back(DL_ID_YES);
    EXPECT_EQ(on_cancel(&rec.win), 0);
    EXPECT_EQ(rec.win.m_bAbort, 1);
    EXPECT_EQ(rec.boxes(), (std::vector<std::string>{k_question, k_question}));
}

} // namespace
