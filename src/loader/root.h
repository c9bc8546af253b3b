// Application root: the one record that owns and wires every long-lived
// object of the loader (paths, debug terminal, serial port, 3964R link, RMC
// master, embedded images and the application memory image).
//
// The program creates it once at start (Root_alloc), makes it the process root
// (set_p_root) and keeps it to the end; everything else reaches the objects
// through the accessors. The embedded images become segment sets and the
// memory image on the first call of an image accessor. Used on one thread.
#pragma once

#include "co3964.h"
#include "msrlin.h"
#include "rmc.h"
#include "uart.h"

#include <cstdint>

struct DbTerm;
struct UvMem;

enum {
    ROOT_N_PATH = 260,     // characters of each path field, terminator included
    ROOT_N_LINK_BUF = 384, // bytes of each link and RMC buffer
    ROOT_N_BLOCK = 256,    // block size of RAM and flash writes
};

// The message-pump hook: one pass of the program's message handling, run by
// loc_sleep_ms each time the link waits for a byte. It may return at once or
// wait briefly (at most about a millisecond) for input. Its result is unused.
typedef int32_t (*tyRoot_cb_pump)(void* p_user);

struct Root {
    char p_path_program[ROOT_N_PATH];    // program directory, no trailing separator
    char p_path_name_param[ROOT_N_PATH]; // p_path_program + "/data/param.dat" (Win32: "\data\...")
    DbTerm* p_db_term;                   // 160 x 200 virtual screen of the log
    Uart uart;
    Uart* p_uart; // &uart once initialised
    uint8_t co_ib_p_buf[ROOT_N_LINK_BUF];
    uint8_t co_ob_p_buf[ROOT_N_LINK_BUF];
    Co3964 co;
    Co3964* p_co; // &co once initialised
    uint8_t rmc_p_buf[ROOT_N_LINK_BUF];
    Rmc rmc;
    Rmc* p_rmc; // &rmc once initialised
    MsrLin set_loader;
    MsrLin* p_set_loader; // &set_loader once loaded, else null
    MsrLin set_appl;
    MsrLin* p_set_appl;     // &set_appl once loaded, else null
    UvMem* p_vm;            // application memory image 0x80000..0xF4000, owned
    int32_t n_bytes_appl;   // bytes in non-blank blocks of p_vm; -1 build failed; 0 before loading
    int32_t n_block;        // 256
    int32_t is_loaded;      // 1 after a successful check_is_loaded
    tyRoot_cb_pump cb_pump; // message-pump hook, null for none
    void* p_pump;
};

// A new root with every object made, the console output connected to its
// debug terminal and "stdout is now connected to this virtual screen" logged.
// Null when any part failed (each failure logged, the other parts still made,
// then everything released); a program directory too long for the parameter
// path counts as a failure.
Root* Root_alloc(void);

// Releases the root with everything it owns (the program keeps its root to
// the end; tests release theirs). Disconnects the console output from its
// terminal and clears the process root when they refer to it. Closes an open
// port. 1, also for a null p.
int32_t Root_free(Root* p);

// The process root (set by the program after Root_alloc); null before.
Root* get_p_root(void);
// Makes p the process root (null clears it). Returns p.
Root* set_p_root(Root* p);

// Installs (or, with a null cb_pump, removes) the message-pump hook that
// loc_sleep_ms runs. 1; 0 for a null p.
int32_t Root_set_cb_pump(Root* p, tyRoot_cb_pump cb_pump, void* p_pump);

// Builds the segment sets of the embedded images and a fresh application
// memory image (replacing the old one) unless already done. 1 when loaded; 0
// when a part failed (logged; the failed pointer is null and the next call
// tries again) or for a null p.
int32_t check_is_loaded(Root* p);

// Makes the root use p_set_loader and p_set_appl in place of the embedded
// images (null keeps that one), loading the embedded ones first, and rebuilds
// the application memory image from the application's set. The caller keeps
// the sets and releases them after the root. 1; 0 when the images could not
// be loaded or the memory image not built (logged), or for a null p.
int32_t Root_set_images(Root* p, MsrLin* p_set_loader, MsrLin* p_set_appl);

// Fills p_vm with 0xFF, writes p_set into it and counts n_block for every
// block of n_block bytes that is not all 0xFF (logged as "n_bytes=%d"). The
// count, or -1 when the set could not be written or n_block is below 1.
int32_t build_p_vm_from_p_set(UvMem* p_vm, const MsrLin* p_set, int32_t n_block);

// Accessors: the field, or null (0) for a null p. Those of the images
// (set_loader, set_appl, vm, n_bytes_appl, n_block) run check_is_loaded first
// and return whatever it left, possibly null.
const char* Root_get_p_path_program(Root* p);
const char* Root_get_p_path_name_param(Root* p);
DbTerm* Root_get_p_db_term(Root* p);
Uart* Root_get_p_uart(Root* p);
Co3964* Root_get_p_co(Root* p);
Rmc* Root_get_p_rmc(Root* p);
MsrLin* Root_get_p_set_loader(Root* p);
MsrLin* Root_get_p_set_appl(Root* p);
UvMem* Root_get_p_vm(Root* p);
int32_t Root_get_n_bytes_appl(Root* p);
int32_t Root_get_n_block(Root* p);

// The link's time callbacks; the context is ignored.
// The system's millisecond tick count (Csp_get_tick_count), wrapping at 2^32.
int32_t loc_get_t_now(void* p_context);
// t + ms, wrapping like the tick count.
int32_t loc_plus_ms(void* p_context, int32_t t, int32_t ms);
// Does not sleep: runs the process root's message-pump hook once; without one,
// on Win32 it takes at most one message of the thread's queue, translates and
// dispatches it, elsewhere it returns at once. ms is ignored. Returns the
// hook's result, else 1 for a dispatched message, 0 for none.
int32_t loc_sleep_ms(void* p_context, int32_t ms);
