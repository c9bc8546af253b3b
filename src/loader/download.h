// Download procedure: puts the embedded flash loader into device RAM, starts
// it, erases, blank-checks and programs the application into flash (signature
// byte last) and starts it, reporting each step through a small window
// interface.
//
// The procedure is written once and runs with any window that fills in a
// DlWindow: the Qt main window, the command-line tool's terminal window, a
// test's recording window. Everything runs on the caller's thread; the window
// stays responsive because the link procedure's waits run the message-pump
// hook installed on the root (Root_set_cb_pump, root.h).
#pragma once

#include <cstdint>

struct MsrLin;
struct Rmc;
struct Root;
struct UvMem;

// Message box type values and answers, with the values of the platform's
// message boxes.
enum {
    DL_MB_OK_EXCLAMATION = 0x30,         // OK button, exclamation mark
    DL_MB_YESNOCANCEL_EXCL_DEF3 = 0x233, // Yes, No, Cancel, exclamation mark, third default
    DL_ID_OK = 1,
    DL_ID_CANCEL = 2,
    DL_ID_YES = 6,
    DL_ID_NO = 7,
};

// Constants of the procedure.
enum {
    DL_BAUDRATE = 115200,
    DL_A_FLASH_LOADER = 0x400000, // where the flash loader runs
    DL_A_SIGNATURE = 0x80010,     // the application signature byte
    DL_ERASED = 0xFF,             // value of a blank byte
    DL_SIGNATURE_VALID = 0x47,    // signature value written last
    DL_SETTLE_MS = 500,           // pause after activation and flash-loader start
    DL_TIMEOUT_BOOTLOADER_MS = 1000,
    DL_TIMEOUT_FLASH_LOADER_MS = 100000,
};

typedef void (*tyDlWindow_cb_set_text)(void* p_user, const char* p_text);
typedef void (*tyDlWindow_cb_set_progress)(void* p_user, int32_t percent);
typedef void (*tyDlWindow_cb_enable_download)(void* p_user, int32_t is_enabled);
typedef int32_t (*tyDlWindow_cb_message_box)(void* p_user, const char* p_text,
                                             const char* p_caption, uint32_t type);
typedef const char* (*tyDlWindow_cb_get_port)(void* p_user);
typedef void (*tyDlWindow_cb_check_abort)(void* p_user);
typedef void (*tyDlWindow_cb_step_begin)(void* p_user, const char* p_id);
typedef void (*tyDlWindow_cb_bytes_done)(void* p_user, int32_t n_done, int32_t n_total);

// What the procedure needs of its window. The owner fills it in (zero what it
// does not have) and keeps it alive across on_download; every callback gets
// p_user back. A null callback is skipped (a missing message box answers
// DL_ID_OK, a missing port choice counts as a port that cannot be opened).
struct DlWindow {
    void* p_user;
    tyDlWindow_cb_set_text cb_set_step;   // the step line ("ready" when idle)
    tyDlWindow_cb_set_text cb_set_detail; // the detail line ("%d of %d (%d %%)" during blocks)
    tyDlWindow_cb_set_progress cb_set_progress;       // the bar, 0 to 100
    tyDlWindow_cb_enable_download cb_enable_download; // the Download button: 0 disable, 1 enable
    // A modal message box: text, caption ("Error...", "Ok", "Warning") and
    // type value (DL_MB_...); returns the button pressed (DL_ID_...).
    tyDlWindow_cb_message_box cb_message_box;
    // The chosen port: "COM1".."COM8" (see dl_port_name) or a device path.
    tyDlWindow_cb_get_port cb_get_port;
    // Called by the block loops just before each test of m_bAbort, so that a
    // window without a message queue (the terminal) can ask the interruption
    // question there (on_cancel) and set m_bAbort. Optional.
    tyDlWindow_cb_check_abort cb_check_abort;
    // Hooks for a window that reports more than the display shows (the
    // command-line tool's events); the window leaves them null. A step
    // begins, with its stable id (dl_step_id).
    tyDlWindow_cb_step_begin cb_step_begin;
    // A block loop wrote a block: the bytes of the step done so far and its
    // total, after every successful write.
    tyDlWindow_cb_bytes_done cb_bytes_done;
    int32_t m_bBusy;  // 1 while a download runs (port open to last step); read by on_cancel
    int32_t m_bAbort; // set to 1 to interrupt; cleared when a download starts
    // How often a failed RAM or flash write of the block loops is sent again (the
    // command-line loader's --retries); 0, the window's value, keeps the procedure.
    // Only writes repeat: the same bytes at the same address leave the same memory.
    int32_t n_retries;
    // 1: after programming and before the signature, every block written is
    // read back and compared (the command-line loader's --verify); 0, the
    // window's value, keeps the procedure.
    int32_t is_verify;
};

// Which step of a download failed. The command-line tool exits with fail + 2
// for a failure (3 for the port, 4 activation .. 11 application start).
enum DlFail {
    DL_OK = 0,
    DL_FAIL_PORT = 1,            // "Error opening COM-Port !"
    DL_FAIL_ACTIVATE = 2,        // bootloader activation
    DL_FAIL_LOADER_DOWNLOAD = 3, // flash loader into RAM
    DL_FAIL_LOADER_START = 4,    // jump to the flash loader
    DL_FAIL_ERASE = 5,
    DL_FAIL_BLANK_CHECK = 6,
    DL_FAIL_PROGRAM = 7,   // programming the application
    DL_FAIL_SIGNATURE = 8, // the signature byte
    DL_FAIL_APPL_START = 9,
    DL_FAIL_VERIFY = 10, // reading back what was programmed (is_verify)
};

// The outcome of one download.
struct DlReport {
    int32_t fail;       // DlFail: the first step that failed, DL_OK for success
    int32_t l_result;   // its RMC result code (0 for success and for the port)
    int32_t is_aborted; // 1 when the failing block loop stopped for m_bAbort
};

// The stable id of the step a DlFail names: "activate", "load_loader",
// "start_loader", "erase", "blank_check", "program", "signature",
// "start_appl", "verify"; "port" for DL_FAIL_PORT; null for DL_OK and unknown
// values.
const char* dl_step_id(int32_t fail);

// The port name table of the window's port choice: "COM1".."COM8" for the
// indices 0..7; null for any other index.
const char* dl_port_name(int32_t index);

// The whole download (the Download button's handler) with the objects of
// p_root, reporting through p_win. Disables Download, opens the window's port
// at 115200 8N1, runs the steps in order (each after a failure is skipped and
// the failure is shown in one "Error..." box), shows "ready" and, on success,
// "Application successfully downloaded !", closes the port and enables
// Download again. The memory image's signature byte is 0xFF while programming
// and 0x47 afterwards, whatever the result. Returns the DlFail of the first
// failing step (DL_OK on success) and fills p_report when given. A null p_win
// returns DL_FAIL_PORT and does nothing else; a null root fails at the port.
int32_t on_download(DlWindow* p_win, Root* p_root, DlReport* p_report);

// The window's cancel command (Close button, Escape, close box). Returns 1
// when no download runs: the window may close. While one runs it asks
// "Programming of the flash memory has not yet completed ! ..." (caption
// "Warning", type 0x233), sets m_bAbort on Yes, and returns 0: the window
// stays open. 1 for a null p_win.
int32_t on_cancel(DlWindow* p_win);

// Sends every segment of p_set into device RAM with RAM writes of at most
// n_block bytes, showing progress over the set's total bytes. Stops at the
// first failure, and after a segment when m_bAbort is set (result 10). The
// result code; 10 (RMC_RES_ERR_ELSE) for a null RMC master or set.
int32_t send_set_with_do_write_xbram(DlWindow* p_win, Rmc* p_rmc, int32_t n_block,
                                     const MsrLin* p_set);

// Sends one segment (n_bytes at p_bytes for device address a_mem) in RAM
// writes of at most n_block bytes; n_done_before and n_total only feed the
// progress display, shown after every write. Stops at the first failure and
// after a block when m_bAbort is set (result 10). The result code; 10 for a
// block size below 1 or null bytes with n_bytes above 0.
int32_t send_partition_with_do_write_xbram(DlWindow* p_win, int32_t n_done_before, int32_t n_total,
                                           Rmc* p_rmc, int32_t n_block, uint32_t a_mem,
                                           const uint8_t* p_bytes, uint32_t n_bytes);

// Programs every block of n_block bytes of p_vm that is not all 0xFF with
// flash writes, from the image's first address on; progress (over n_total)
// only before blocks whose address AND 0x1FFF is 0x1000. Stops at the first
// failure (logged with the block's address) and after a written block when
// m_bAbort is set (result 10); logs the time it took. The result code; 10 for
// a null RMC master or image, or a block size below 1.
int32_t send_vm_with_do_write_flash(DlWindow* p_win, Rmc* p_rmc, int32_t n_block, UvMem* p_vm,
                                    int32_t n_total);

// Reads back every block of n_block bytes of p_vm that is not all 0xFF with
// memory reads of at most 256 bytes and compares it with the image, the
// signature byte at its erased value (it is written later); progress through
// cb_bytes_done over n_total. Stops at the first failed read or difference,
// its address in *p_adr_fail, and after a block when m_bAbort is set (result
// 10). The result code (10 for a difference); 10 for a null RMC master, image
// or p_adr_fail, or a block size below 1.
int32_t verify_vm_with_do_read_mem(DlWindow* p_win, Rmc* p_rmc, int32_t n_block, UvMem* p_vm,
                                   int32_t n_total, uint32_t* p_adr_fail);

// Sets the step line, the detail line and the bar. A null text leaves its line
// unchanged, a negative percent leaves the bar. 1; 0 for a null window.
int32_t show_status(DlWindow* p_win, const char* p_step, const char* p_detail, int32_t percent);
// Both lines "ready", bar 0. As show_status.
int32_t show_ready(DlWindow* p_win);
// The detail line "done of total (percent %)" and the bar at done * 100 /
// total, truncated (0 when total is 0). As show_status.
int32_t show_progress(DlWindow* p_win, int32_t n_done, int32_t n_total);

// Logs a failing result code with its name ("l_result =  %d (%s)"); nothing
// for 0. Returns the code unchanged.
int32_t log_l_result(int32_t l_result);
