// Wire tap: a relay between a loader and the simulated device that records every byte each way,
// and the 3964R accounting of what it saw.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

// One byte on the line: dir 0 host to device, 1 device to host.
struct WireByte {
    uint8_t dir;
    uint8_t b;
    int64_t t_us; // when the relay read it (monotonic)
};

// A pseudo-terminal pair whose slave the loader opens, relayed to the
// device's port. Bytes keep their order within each direction; across the
// two directions the handshake of the link puts them in order.
struct WireTap {
    int fd_master = -1;     // our side of the loader's pty
    int fd_slave_hold = -1; // held open so the loader's close is no hang-up
    int fd_dev = -1;        // the device's port
    std::string slave_path; // what the loader opens
    std::vector<WireByte> bytes;
    std::atomic<bool> stop{false};
    std::thread relay;
};

// Opens the pair, connects to dev_path and starts relaying. 1 on success.
int WireTap_start(WireTap* p, const std::string& dev_path);
// Stops relaying and closes everything; the recorded bytes stay.
void WireTap_stop(WireTap* p);

// What the recorded bytes were: complete frames (STX, the partner's DLE,
// data with each DLE doubled, DLE ETX, BCC, the partner's final DLE) and
// anything else (NAKs, refused or repeated attempts, lost start requests).
struct WireCount {
    int64_t n_frames[2];      // complete frames sent by host (0) and device (1)
    int64_t n_payload[2];     // their message bytes, before doubling
    int64_t n_doubled[2];     // DLEs added by doubling
    int64_t n_frame_bytes;    // every byte of the complete frames, both ways
    int64_t n_extra_bytes;    // bytes outside complete frames
    int64_t n_total_bytes[2]; // everything that crossed, by sender
};

WireCount Wire_count(const std::vector<WireByte>& bytes);
