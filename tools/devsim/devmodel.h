// Device model of the simulated device: power-on firmware, bootloader, flash
// loader and application, with RAM, flash (real flash semantics), FRAM and the
// storage behind the generic commands. Knows no line: it turns one request
// into one reply.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum {
    DEV_A_RAM = 0x400000,
    DEV_N_RAM = 0x100000,
    DEV_A_FLASH = 0x80000,
    DEV_N_FLASH = 0x74000,
    DEV_A_SIGNATURE = 0x80010,
    DEV_SIGNATURE = 0x47,
    DEV_N_DATA_MEM = 0x10000, // memory of the block write (66), from address 0
    DEV_N_PAIRS = 64,         // items of the pair commands (67, 68)
    DEV_N_INDEXED = 32,       // items of the indexed reads (81, 83)
    DEV_N_FRAM = 2,           // FRAM memories 0 and 1
    DEV_M_REPLY = 1024,       // longest reply the device sends
};

enum DevMode {
    DEV_MODE_POWER_ON,     // the firmware found in flash at power-on runs
    DEV_MODE_BOOTLOADER,   // activated: RAM writes and the jump
    DEV_MODE_FLASH_LOADER, // started from RAM: erase, blank check, flash writes
    DEV_MODE_APPLICATION,  // the new application was started
    DEV_MODE_CRASHED,      // jumped into something that is not the flash loader
};

struct DevModelCfg {
    int erase_ms;          // device time of an erase
    int write_ms;          // device time of one flash write
    int corrupt_ram_write; // 1-based number of the RAM write to damage; 0 none
    uint32_t seed;
    uint32_t a_weak_flash; // a worn flash cell: writes are acknowledged, it keeps its value; 0 none
};

// One run of equal function codes in the order received.
struct DevRun {
    int fc;
    int count;
};

struct DevModel {
    DevModelCfg cfg;
    DevMode mode;
    std::vector<uint8_t> ram;   // DEV_A_RAM..
    std::vector<uint8_t> flash; // DEV_A_FLASH..
    std::vector<uint8_t> data_mem;
    std::vector<uint8_t> fram[DEV_N_FRAM];
    uint32_t pairs[DEV_N_PAIRS][2];
    uint32_t words70[8];
    uint32_t words87[6];
    uint32_t n_sets; // settings taken by the set commands
    char text[40];
    uint32_t rng;
    // What happened, for the report.
    std::vector<DevRun> runs;
    int n_requests;
    int n_exceptions;
    int n_ram_writes;
    bool app_started;
    bool ever_started_loader;
    bool sig_last;       // the latest flash write was the signature byte alone
    bool sig_early;      // a value other than erased reached the signature before that
    bool loader_ok_jump; // RAM held the flash loader at the latest jump
};

// What the device does with a request.
struct DevAnswer {
    std::vector<uint8_t> reply; // normal or exception reply
    int t_busy_ms;              // device time before the reply leaves
    bool then_silent;           // after the reply the device answers nothing more
};

// Fresh device at power-on: RAM zero, old code without a valid signature in
// flash, default storage. Returns p.
DevModel* DevModel_init(DevModel* p, const DevModelCfg* p_cfg);

// Adds the request's code to the record of commands received.
void DevModel_note(DevModel* p, int fc);

// Executes one request (n bytes, n >= 1) in the current mode and returns the
// reply. A command the mode does not know gets the exception "illegal
// function code"; a malformed request "illegal data value"; an address out of
// range "illegal data address". Never fails otherwise.
DevAnswer DevModel_execute(DevModel* p, const uint8_t* p_req, int n);

// The two-byte exception reply to a request with code fc.
std::vector<uint8_t> DevModel_exception(int fc, int code);

// 1 when RAM holds the three segments of the built-in flash loader.
bool DevModel_loader_in_ram(const DevModel* p);

// Name of a mode and of a function code, for the report ("?" when unknown).
const char* DevModel_mode_name(DevMode mode);
const char* DevModel_fc_name(int fc);

// The next value of a xorshift sequence (state nonzero): the simulator's faults
// and its power-on flash contents are repeatable from a seed.
uint32_t Dev_next_rand(uint32_t* p_state);
