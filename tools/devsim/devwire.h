// The simulated device's line: a pseudo-terminal master with wire pacing,
// the device's 3964R link (low priority, block check) on it, and the link
// faults. Everything waits in poll with a bound; nothing spins.
#pragma once

#include "co3964.h"
#include "rmc_slave.h"

#include <csignal>
#include <cstdio>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

// Thrown from the link's wait hook to leave a poll when the program stops.
struct DevStop {};

struct DevFaults {
    int nak_first;            // refuse the first N good inbound frames with NAK
    int bad_bcc_every;        // every K-th outbound frame carries a wrong BCC
    int lose_final_dle_every; // every K-th good inbound frame gets no final DLE
    uint32_t seed;
};

struct DevTimed {
    int64_t t_us; // input: when the byte has arrived; output: when it leaves
    uint8_t b;
};

// A request as the link received it.
struct DevRequest {
    std::vector<uint8_t> bytes;
    int64_t t_rx_us; // when its frame was complete
};

struct DevWire {
    int fd_master = -1;
    int fd_slave = -1; // our own slave handle: the pty survives the loader closing it
    int fd_wake = -1;  // read end of the signal pipe
    volatile sig_atomic_t* p_stop = nullptr;
    int64_t byte_us = 0;         // line time of one byte; 0 unpaced
    int64_t idle_exit_us = 0;    // leave after this long without a byte; 0 never
    int64_t t_line_us = 0;       // latest byte on the line, either way
    std::deque<DevTimed> in;     // received, released by arrival time
    std::deque<DevTimed> out;    // to send, written at their release time
    int64_t t_in_last_us = 0;    // arrival of the latest byte queued in
    int64_t t_out_last_us = 0;   // release of the latest byte queued out
    int64_t t_out_stuck_us = -1; // since when nobody takes our output
    bool out_dropped_logged = false;

    Co3964 co{};
    uint8_t ib[RMC_SLAVE_M_MSG];
    uint8_t ob[RMC_SLAVE_M_MSG];
    RmcSlave slave{};
    std::deque<DevRequest> requests; // taken from the link, not yet served
    int64_t t_frame_in_us = 0;       // when the latest good inbound frame was complete
    int64_t t_delivered_us = 0;      // when the host acknowledged our latest frame
    // Silence (after --silent-after N requests, or a crash): set by the server,
    // taken up by the link as soon as no answer is left to send.
    bool mute_when_idle = false;
    int replies_pending = 0; // answers the server still holds back
    bool muted = false;

    DevFaults faults{};
    uint32_t rng = 1;
    // Line events, for the report.
    int n_frames_in = 0;     // good inbound frames (block check right)
    int n_frames_out = 0;    // outbound frame attempts
    int n_naks_sent = 0;     // NAKs the device sent
    int n_naks_received = 0; // NAKs the host sent
    int n_retries_host = 0;  // host frames repeated after a failed one
    int n_retries_dev = 0;   // device frames or start requests repeated
    int n_final_dle_lost = 0;
    int n_bad_bcc = 0;
    int n_final_dle_sent = 0; // good inbound frames acknowledged
    // The device's start requests and what became of each: the host's DLE,
    // its NAK, nothing within the acknowledgement delay, the host's own start
    // request (the device gives way), or another byte (line noise, or the
    // host's NAK to a stray byte of ours).
    int n_starts = 0;
    int n_starts_accepted = 0;
    int n_starts_refused = 0;
    int n_starts_unanswered = 0;
    int n_starts_yielded = 0;
    int n_starts_disturbed = 0;
    bool start_open = false; // the latest start request has had no answer yet
    int n_stray = 0;         // stray bytes sent
    int64_t t_stray_us = -1; // when the latest one left; -1 once the host's next byte came
    bool last_in_failed = false;
    bool corrupt_this = false;
    int n_tail = 0; // bytes sent after the current block (DLE, ETX, BCC)
    FILE* p_trace = nullptr; // every byte as the device takes or sends it, with its time
};

int64_t DevWire_now_us();

// Opens a pty pair, holds a raw slave handle, and returns the slave path
// in *p_path. false (with *p_err) when the system refuses.
bool DevWire_open(DevWire* w, std::string* p_path, std::string* p_err);
// Closes both handles.
void DevWire_close(DevWire* w);

// Sets up the device's link and its RMC slave on the wire.
void DevWire_init_link(DevWire* w);

// Waits until t_until_us, input arrives, or queued output is due; reads what
// arrived and writes what is due. Returns at once when the stop flag is set.
// for_input: also wake when a queued byte reaches its arrival time.
void DevWire_wait(DevWire* w, int64_t t_until_us, bool for_input);

// Moves messages waiting in the link's inbound slot into requests.
void DevWire_take_requests(DevWire* w);

// Sends one stray byte (neither STX, DLE nor NAK) outside any frame, as line
// noise would; the host's NAK to it is told apart from a refusal.
void DevWire_send_stray(DevWire* w);

// Drops everything received (a device that ignores the line).
void DevWire_discard_input(DevWire* w);

// Writes all queued output without pacing; gives up after t_max_ms when
// nobody takes it.
void DevWire_drain(DevWire* w, int t_max_ms);
