// Download procedure: the sixteen steps of a download, the three block loops
// and the status display, against the window interface of download.h.
#include "download.h"

#include "con.h"
#include "csp.h"
#include "msrlin.h"
#include "rmc.h"
#include "root.h"
#include "uart.h"
#include "uvmem.h"

#include <algorithm>
#include <cstdio>
#include <vector>

static const char* const k_port_names[] = {"COM1", "COM2", "COM3", "COM4",
                                           "COM5", "COM6", "COM7", "COM8"};

static const char k_caption_error[] = "Error...";

// Indexed by DlFail.
static const char* const k_step_ids[] = {nullptr,        "port",       "activate",    "load_loader",
                                         "start_loader", "erase",      "blank_check", "program",
                                         "signature",    "start_appl", "verify"};

const char* dl_step_id(int32_t fail) {
    if (fail < 0 || fail >= static_cast<int32_t>(sizeof k_step_ids / sizeof *k_step_ids))
        return nullptr;
    return k_step_ids[fail];
}

const char* dl_port_name(int32_t index) {
    if (index < 0 || index >= static_cast<int32_t>(sizeof k_port_names / sizeof *k_port_names))
        return nullptr;
    return k_port_names[index];
}

static int32_t message_box(DlWindow* p_win, const char* p_text, const char* p_caption,
                           uint32_t type) {
    if (!p_win || !p_win->cb_message_box) return DL_ID_OK;
    return p_win->cb_message_box(p_win->p_user, p_text, p_caption, type);
}

static void enable_download(DlWindow* p_win, int32_t is_enabled) {
    if (p_win->cb_enable_download) p_win->cb_enable_download(p_win->p_user, is_enabled);
}

// The block loops' test of the interruption flag; the window gets a chance to
// set it first.
static int abort_is_set(DlWindow* p_win) {
    if (!p_win) return 0;
    if (p_win->cb_check_abort) p_win->cb_check_abort(p_win->p_user);
    return p_win->m_bAbort != 0;
}

static void bytes_done(DlWindow* p_win, int32_t n_done, int32_t n_total) {
    if (p_win && p_win->cb_bytes_done) p_win->cb_bytes_done(p_win->p_user, n_done, n_total);
}

// The settle pause lets the device start up; it dispatches no window messages.
static void settle(int32_t t_ms) { Csp_sleep_ms(t_ms); }

static void set_reply_timeout(Rmc* p_rmc, int32_t t_ms) {
    if (p_rmc) p_rmc->reply_timeout_ms = t_ms;
}

int32_t show_status(DlWindow* p_win, const char* p_step, const char* p_detail, int32_t percent) {
    if (!p_win) return 0;
    if (p_step && p_win->cb_set_step) p_win->cb_set_step(p_win->p_user, p_step);
    if (p_detail && p_win->cb_set_detail) p_win->cb_set_detail(p_win->p_user, p_detail);
    if (percent >= 0 && p_win->cb_set_progress) p_win->cb_set_progress(p_win->p_user, percent);
    return 1;
}

int32_t show_ready(DlWindow* p_win) {
    return show_status(p_win, "ready", "ready", 0);
}

int32_t show_progress(DlWindow* p_win, int32_t n_done, int32_t n_total) {
    // done * 100 in 64 bits: a done above 21474836 would overflow 32 bits. For every
    // count below that the truncated quotient equals the 32-bit one.
    int32_t percent =
        n_total == 0 ? 0 : static_cast<int32_t>(static_cast<int64_t>(n_done) * 100 / n_total);
    char text[64];
    snprintf(text, sizeof text, "%d of %d (%d %%)", n_done, n_total, percent);
    return show_status(p_win, nullptr, text, percent);
}

int32_t log_l_result(int32_t l_result) {
    if (l_result == 0) return 0;
    const char* p_name = Rmc_get_result_name(l_result);
    if (p_name) {
        Con_printf("l_result =  %d (%s)\n", l_result, p_name);
    } else {
        Con_printf("l_result =  %d (?]\n", l_result);
    }
    return l_result;
}

typedef int (*tyDlWrite)(Rmc* p, uint32_t a_mem, const uint8_t* p_bytes, uint32_t n_bytes);

// One write of a block loop, sent again up to the window's n_retries times while it
// fails; each repetition logs one line. The last attempt's result code.
static int32_t write_block(DlWindow* p_win, tyDlWrite do_write, Rmc* p_rmc, uint32_t a_mem,
                           const uint8_t* p_bytes, uint32_t n_bytes) {
    int32_t l_result = do_write(p_rmc, a_mem, p_bytes, n_bytes);
    int32_t n_retries = p_win ? p_win->n_retries : 0;
    for (int32_t i = 1; i <= n_retries && l_result != RMC_RES_OK; i++) {
        Con_printf("repeating the write of %d bytes to address %08x after result %d (%d of %d)\n",
                   static_cast<int>(n_bytes), a_mem, l_result, i, n_retries);
        l_result = do_write(p_rmc, a_mem, p_bytes, n_bytes);
    }
    return l_result;
}

int32_t send_partition_with_do_write_xbram(DlWindow* p_win, int32_t n_done_before, int32_t n_total,
                                           Rmc* p_rmc, int32_t n_block, uint32_t a_mem,
                                           const uint8_t* p_bytes, uint32_t n_bytes) {
    Con_printf("sending partition to adr=%08x n_bytes=%d\n", a_mem, static_cast<int>(n_bytes));
    // Either would keep the loop from ever finishing the segment.
    if (n_bytes > 0 && (n_block < 1 || !p_bytes)) return RMC_RES_ERR_ELSE;
    uint32_t n_left = n_bytes;
    uint32_t n_sent = 0;
    int32_t l_result = RMC_RES_OK;
    while (n_left > 0 && l_result == RMC_RES_OK) {
        uint32_t l_block = n_left < static_cast<uint32_t>(n_block) ? n_left : n_block;
        l_result = write_block(p_win, Rmc_do_write_xbram, p_rmc, a_mem, p_bytes + n_sent, l_block);
        if (l_result == RMC_RES_OK) {
            n_left -= l_block;
            n_sent += l_block;
            a_mem += l_block;
            bytes_done(p_win, n_done_before + static_cast<int32_t>(n_sent), n_total);
            if (abort_is_set(p_win)) l_result = RMC_RES_ERR_ELSE;
        }
        show_progress(p_win, n_done_before + static_cast<int32_t>(n_sent), n_total);
    }
    return l_result;
}

int32_t send_set_with_do_write_xbram(DlWindow* p_win, Rmc* p_rmc, int32_t n_block,
                                     const MsrLin* p_set) {
    if (!p_rmc || !p_set) return RMC_RES_ERR_ELSE;
    int32_t n_total = MsrLin_get_n_heap(p_set);
    int32_t n_set = MsrLin_get_n_set(p_set);
    const uint32_t* p_a = MsrLin_get_p_set_a_bytes(p_set);
    const uint32_t* p_n = MsrLin_get_p_set_n_bytes(p_set);
    const uint8_t* const* p_p = MsrLin_get_p_set_p_bytes(p_set);
    int32_t n_done = 0;
    int32_t l_result = RMC_RES_OK;
    for (int32_t i = 0; i < n_set && l_result == RMC_RES_OK; i++) {
        l_result = send_partition_with_do_write_xbram(p_win, n_done, n_total, p_rmc, n_block,
                                                      p_a[i], p_p[i], p_n[i]);
        n_done += static_cast<int32_t>(p_n[i]);
        if (abort_is_set(p_win)) l_result = RMC_RES_ERR_ELSE;
    }
    return l_result;
}

int32_t send_vm_with_do_write_flash(DlWindow* p_win, Rmc* p_rmc, int32_t n_block, UvMem* p_vm,
                                    int32_t n_total) {
    if (!p_rmc || !p_vm || n_block < 1) return RMC_RES_ERR_ELSE;
    // 64-bit addresses, so that an image ending at the top of the address
    // space neither wraps nor loops forever.
    uint64_t a_start = UvMem_get_a_vmem(p_vm);
    uint64_t a_end = a_start + UvMem_get_n_vmem(p_vm);
    const uint8_t* p_vmem = UvMem_get_p_vmem(p_vm);
    std::vector<uint8_t> tail; // a last block that reaches past the image, padded with 0xFF
    int32_t n_done = 0;
    uint32_t t_start = Csp_get_tick_count();
    int32_t l_result = RMC_RES_OK;
    for (uint64_t a64 = a_start; a64 < a_end && l_result == RMC_RES_OK; a64 += n_block) {
        uint32_t adr = static_cast<uint32_t>(a64);
        if (UvMem_block_equals_val(p_vm, adr, n_block, DL_ERASED)) continue;
        if ((adr & 0x1FFF) == 0x1000) show_progress(p_win, n_done, n_total);
        Con_printf("writing %d bytes to address %08x\n", n_block, adr);
        const uint8_t* p_block = p_vmem + UvMem_adr_to_offset(p_vm, adr);
        if (a64 + n_block > a_end) {
            tail.assign(static_cast<size_t>(n_block), DL_ERASED);
            for (uint64_t a = a64; a < a_end; a++)
                tail[a - a64] = p_vmem[a - a_start];
            p_block = tail.data();
        }
        l_result = write_block(p_win, Rmc_do_write_flash, p_rmc, adr, p_block,
                               static_cast<uint32_t>(n_block));
        if (l_result != RMC_RES_OK) CON_LOG("error", "writing to address %08x failed\n", adr);
        n_done += n_block;
        if (l_result == RMC_RES_OK) bytes_done(p_win, n_done, n_total);
        if (abort_is_set(p_win)) l_result = RMC_RES_ERR_ELSE;
    }
    Con_printf("download took %dms\n", static_cast<int>(Csp_get_tick_count() - t_start));
    return l_result;
}

int32_t verify_vm_with_do_read_mem(DlWindow* p_win, Rmc* p_rmc, int32_t n_block, UvMem* p_vm,
                                   int32_t n_total, uint32_t* p_adr_fail) {
    if (!p_rmc || !p_vm || !p_adr_fail || n_block < 1) return RMC_RES_ERR_ELSE;
    const uint32_t k_m_read = 256;
    uint64_t a_start = UvMem_get_a_vmem(p_vm);
    uint64_t a_end = a_start + UvMem_get_n_vmem(p_vm);
    const uint8_t* p_vmem = UvMem_get_p_vmem(p_vm);
    std::vector<uint8_t> got(k_m_read);
    int32_t n_done = 0;
    int32_t l_result = RMC_RES_OK;
    for (uint64_t a64 = a_start; a64 < a_end && l_result == RMC_RES_OK; a64 += n_block) {
        uint32_t adr = static_cast<uint32_t>(a64);
        if (UvMem_block_equals_val(p_vm, adr, n_block, DL_ERASED)) continue;
        for (uint64_t a = a64; a < a64 + n_block && l_result == RMC_RES_OK; a += k_m_read) {
            uint32_t l_read =
                static_cast<uint32_t>(std::min<uint64_t>(k_m_read, a64 + n_block - a));
            l_result = Rmc_do_read_mem(p_rmc, static_cast<uint32_t>(a), got.data(), l_read);
            if (l_result != RMC_RES_OK) {
                *p_adr_fail = static_cast<uint32_t>(a);
                CON_LOG("error", "reading address %08x failed\n", *p_adr_fail);
                break;
            }
            for (uint32_t i = 0; i < l_read; i++) {
                uint64_t a_byte = a + i;
                // The signature is still erased; a last block reaching past the
                // image was written padded with the erased value.
                uint8_t want = a_byte == DL_A_SIGNATURE || a_byte >= a_end
                                   ? static_cast<uint8_t>(DL_ERASED)
                                   : p_vmem[a_byte - a_start];
                if (got[i] == want) continue;
                *p_adr_fail = static_cast<uint32_t>(a_byte);
                Con_printf("the device holds %02x at address %08x, the image %02x\n", got[i],
                           *p_adr_fail, want);
                l_result = RMC_RES_ERR_ELSE;
                break;
            }
        }
        if (l_result != RMC_RES_OK) break;
        n_done += n_block;
        bytes_done(p_win, n_done, n_total);
        if (abort_is_set(p_win)) {
            *p_adr_fail = adr;
            l_result = RMC_RES_ERR_ELSE;
        }
    }
    return l_result;
}

// The running state of one download: every step after a failure is skipped.
struct DlRun {
    DlWindow* p_win;
    int32_t l_result; // the running result
    int32_t fail;     // DlFail of the step that set it
};

// Starts a guarded step: false when an earlier step failed, else logs the
// step and shows it with an empty detail line.
static bool step_begin(DlRun* p_run, int32_t step, const char* p_log, const char* p_step,
                       int32_t percent) {
    if (p_run->l_result != RMC_RES_OK) return false;
    if (p_run->p_win->cb_step_begin)
        p_run->p_win->cb_step_begin(p_run->p_win->p_user, dl_step_id(step));
    Con_print(p_log);
    show_status(p_run->p_win, p_step, "", percent);
    return true;
}

// Ends a guarded step with its result: a failure is logged with its code and
// shown in the step's box.
static void step_end(DlRun* p_run, int32_t l_result, const char* p_text, int32_t fail) {
    p_run->l_result = l_result;
    if (l_result == RMC_RES_OK) return;
    p_run->fail = fail;
    log_l_result(l_result);
    message_box(p_run->p_win, p_text, k_caption_error, DL_MB_OK_EXCLAMATION);
}

int32_t on_download(DlWindow* p_win, Root* p_root, DlReport* p_report) {
    DlReport report = {DL_FAIL_PORT, 0, 0};
    if (!p_win) {
        if (p_report) *p_report = report;
        return report.fail;
    }
    enable_download(p_win, 0);
    Uart* p_uart = Root_get_p_uart(p_root);
    const char* p_port = p_win->cb_get_port ? p_win->cb_get_port(p_win->p_user) : nullptr;
    if (!p_port || !Uart_open(p_uart, p_port, DL_BAUDRATE, 8, 0, 0)) {
        message_box(p_win, "Error opening COM-Port !", k_caption_error, DL_MB_OK_EXCLAMATION);
    } else {
        p_win->m_bBusy = 1;
        p_win->m_bAbort = 0;
        DlRun run = {p_win, RMC_RES_OK, DL_OK};
        Rmc* p_rmc = Root_get_p_rmc(p_root);
        set_reply_timeout(p_rmc, DL_TIMEOUT_BOOTLOADER_MS);

        if (step_begin(&run, DL_FAIL_ACTIVATE, "Activating bootloader\n",
                       "Activating bootloader...", 0))
            step_end(&run, Rmc_do_activate_bootloader(p_rmc), "Activating bootloader failed !",
                     DL_FAIL_ACTIVATE);
        settle(DL_SETTLE_MS);
        if (step_begin(&run, DL_FAIL_LOADER_DOWNLOAD, "Download flash loader\n",
                       "Downloading flash loader...", 0))
            step_end(&run,
                     send_set_with_do_write_xbram(p_win, p_rmc, Root_get_n_block(p_root),
                                                  Root_get_p_set_loader(p_root)),
                     "Download of Flashloader failed !", DL_FAIL_LOADER_DOWNLOAD);
        if (step_begin(&run, DL_FAIL_LOADER_START, "Start flash loader\n",
                       "Starting flash loader...", 25))
            step_end(&run, Rmc_do_jump(p_rmc, DL_A_FLASH_LOADER), "Starting Flashloader failed !",
                     DL_FAIL_LOADER_START);
        settle(DL_SETTLE_MS);
        set_reply_timeout(p_rmc, DL_TIMEOUT_FLASH_LOADER_MS);

        if (step_begin(&run, DL_FAIL_ERASE, "Erasing application sectors\n",
                       "Erasing application sectors...", 50))
            step_end(&run, Rmc_do_erase_appl(p_rmc), "Erasing application sectors failed !",
                     DL_FAIL_ERASE);
        if (step_begin(&run, DL_FAIL_BLANK_CHECK, "Blank checking application sectors\n",
                       "Blank checking application sectors...", 75)) {
            step_end(&run, Rmc_do_blank_check_appl(p_rmc),
                     "Blank checking application sectors failed !", DL_FAIL_BLANK_CHECK);
            show_status(p_win, "Blank checking application sectors...", "", 100);
        }
        set_reply_timeout(p_rmc, DL_TIMEOUT_FLASH_LOADER_MS);

        UvMem* p_vm = nullptr;
        if (step_begin(&run, DL_FAIL_PROGRAM, "Programming application\n",
                       "Programming application...", 0)) {
            p_vm = Root_get_p_vm(p_root);
            // The device's signature stays erased until every other block is in.
            UvMem_write_byte(p_vm, DL_A_SIGNATURE, DL_ERASED);
            int32_t l_result = send_vm_with_do_write_flash(p_win, p_rmc, Root_get_n_block(p_root),
                                                           p_vm, Root_get_n_bytes_appl(p_root));
            UvMem_write_byte(p_vm, DL_A_SIGNATURE, DL_SIGNATURE_VALID);
            step_end(&run, l_result, "Programming application failed !", DL_FAIL_PROGRAM);
        }
        if (p_win->is_verify && step_begin(&run, DL_FAIL_VERIFY, "Verifying application\n",
                                           "Verifying application...", 0)) {
            uint32_t a_fail = 0;
            int32_t l_result =
                verify_vm_with_do_read_mem(p_win, p_rmc, Root_get_n_block(p_root), p_vm,
                                           Root_get_n_bytes_appl(p_root), &a_fail);
            char text[64];
            snprintf(text, sizeof text, "Verifying application failed at address %08x !", a_fail);
            step_end(&run, l_result, text, DL_FAIL_VERIFY);
        }
        if (step_begin(&run, DL_FAIL_SIGNATURE, "Updating application signature\n",
                       "Updating application signature...", 0)) {
            uint8_t signature = UvMem_read_byte(p_vm, DL_A_SIGNATURE);
            step_end(&run, Rmc_do_write_flash(p_rmc, DL_A_SIGNATURE, &signature, 1),
                     "Updating application signature !", DL_FAIL_SIGNATURE);
        }
        if (step_begin(&run, DL_FAIL_APPL_START, "Starting application\n",
                       "Starting application...", 0))
            step_end(&run, Rmc_do_start_appl(p_rmc), "Starting application failed !",
                     DL_FAIL_APPL_START);
        p_win->m_bBusy = 0;
        show_ready(p_win);
        if (run.l_result == RMC_RES_OK) {
            message_box(p_win, "Application successfully downloaded !", "Ok", DL_MB_OK_EXCLAMATION);
        }
        // Only the block loops stop for the flag; elsewhere it changes nothing.
        report.is_aborted = (run.fail == DL_FAIL_LOADER_DOWNLOAD || run.fail == DL_FAIL_PROGRAM ||
                             run.fail == DL_FAIL_VERIFY) &&
                            p_win->m_bAbort;
        report.fail = run.fail;
        report.l_result = run.l_result;
    }
    Uart_close(p_uart);
    enable_download(p_win, 1);
    if (p_report) *p_report = report;
    return report.fail;
}

int32_t on_cancel(DlWindow* p_win) {
    if (!p_win || !p_win->m_bBusy) return 1;
    int32_t answer = message_box(p_win,
                                 "Programming of the flash memory has not yet completed !\n\nDo "
                                 "you want to interrupt programming ?\n",
                                 "Warning", DL_MB_YESNOCANCEL_EXCL_DEF3);
    if (answer == DL_ID_YES) p_win->m_bAbort = 1;
    return 0;
}
