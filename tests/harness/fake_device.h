// Fake device for download tests: the bootloader and the flash loader of the
// device, answering RMC requests on side 1 of a link pair in virtual time.
//
// The pair's side 0 is raw: it is the host's byte channel, which attach()
// puts under the root's own 3964R link (with the root's clock and wait
// callbacks), so a download runs through the root exactly as with a port,
// only the bytes travel in memory. The pair's Csp hooks are installed (the
// tick count is the virtual clock; Csp_sleep_ms is a wait of the host), and
// the root's message pump waits one virtual millisecond, so the device works
// whenever the host waits.
//
// The model: after activation (7) the bootloader takes RAM writes (19) into
// 0x400000..0x500000 and a jump (18) to 0x400000, which starts the flash
// loader only when RAM holds the embedded flash loader (otherwise the device
// answers the jump and then stays silent). The flash loader erases (35) and
// blank-checks (36) 0x80000..0xF4000, writes flash (37) with flash semantics
// (programming only clears bits; a 0 to 1 change or an address outside flash
// is refused with an exception reply) and starts the application (8) only
// when 0x80010 holds 0x47. A command not valid in the current mode answers
// the exception "illegal function code".
#pragma once

#include "linkpair.h"
#include "rmc_slave.h"

#include <cstdint>
#include <functional>
#include <vector>

struct Root;

enum {
    FAKE_A_RAM = 0x400000,
    FAKE_N_RAM = 0x100000,
    FAKE_A_FLASH = 0x80000,
    FAKE_N_FLASH = 0x74000,
    FAKE_SILENT = -1, // a fault that leaves the request unanswered
};

struct FakeDeviceRequest {
    int fc;                    // function code
    uint32_t a_mem;            // first argument (address), 0 when none
    uint32_t n_bytes;          // second argument (length), 0 when none
    std::vector<uint8_t> data; // data bytes of the writes
};

class FakeDevice {
  public:
    enum Mode { MODE_RESET, MODE_BOOTLOADER, MODE_FLASH_LOADER, MODE_APPL, MODE_CRASHED };

    FakeDevice();
    ~FakeDevice();
    FakeDevice(const FakeDevice&) = delete;
    FakeDevice& operator=(const FakeDevice&) = delete;

    // Puts the root's link on the host end of the pair (same buffers, time
    // callbacks and priorities, the byte channel replaced), installs the
    // pump hook on the root and makes it the process root.
    void attach(Root* p_root);

    // The nth request (from 1) of function code fc is answered with the
    // exception code (1..7), or not at all (FAKE_SILENT).
    void fail_nth(int fc, int nth, int code);
    // Every request after the first n is left unanswered.
    void silent_after(int n);

    // Requests received so far, in order, and the count of one code.
    const std::vector<FakeDeviceRequest>& requests() const { return requests_; }
    int count(int fc) const;
    // The address of the latest accepted flash write, and its length.
    uint32_t last_flash_a() const { return last_flash_a_; }
    uint32_t last_flash_n() const { return last_flash_n_; }

    Mode mode() const { return mode_; }
    // Device memory: RAM from FAKE_A_RAM, flash from FAKE_A_FLASH.
    const std::vector<uint8_t>& ram() const { return ram_; }
    const std::vector<uint8_t>& flash() const { return flash_; }
    std::vector<uint8_t>& flash() { return flash_; }

    LinkPair* pair() { return lp_; }

    // Runs on every request, before the device answers it (a test's hand on
    // the window, e.g. pressing Close while a block is written).
    std::function<void(FakeDevice&, const FakeDeviceRequest&)> on_request;
    // Runs at every message pump of the root (the window's message handling).
    std::function<void()> on_pump;

  private:
    static void peer(void* p_user, LinkPair* p, int i_waiting);
    static int32_t pump(void* p_user);
    void handle(const FakeDeviceRequest& req);
    int answer(const FakeDeviceRequest& req);
    bool loader_in_ram() const;

    LinkPair* lp_;
    RmcSlave slave_{};
    Mode mode_ = MODE_RESET;
    std::vector<uint8_t> ram_;
    std::vector<uint8_t> flash_;
    std::vector<FakeDeviceRequest> requests_;
    struct Fault {
        int fc, nth, code;
    };
    std::vector<Fault> faults_;
    int n_silent_after_ = -1;
    uint32_t last_flash_a_ = 0;
    uint32_t last_flash_n_ = 0;
};
