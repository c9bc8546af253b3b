// What each platform file of the port listing provides: the serial devices found, where the
// COM names point, and how a failed open is to be read.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// One serial device found: its path and what the system tells about it.
struct PortFound {
    std::string path; // "/dev/ttyUSB0", "COM3"
    std::string text; // "USB 0403:6001 FTDI FT232R (serial A1)", "\Device\Serial0"
    int latency_ms;   // the USB adapter's latency timer; -1 where the driver has none
};

// The serial devices of this machine, in a stable order.
std::vector<PortFound> Ports_platform_scan(void);

// Where the COM name opens and how the system sees it.
struct PortCom {
    std::string path;   // what Uart_open opens for the name
    std::string source; // what decides it ("default", "ORVO_COM1"; on Windows the device)
    std::string state;  // "present", "missing"
};
// The entry of "COM<i>", i 1..8.
PortCom Ports_platform_com(int i);

// What made an open fail.
enum PortProblem {
    PORT_PROBLEM_MISSING = 0, // no such device
    PORT_PROBLEM_DENIED,      // this user may not open it
    PORT_PROBLEM_BUSY,        // another program holds it
    PORT_PROBLEM_OTHER,
};
// The problem behind the system error code last_error of a failed open of p_path.
int32_t Ports_platform_classify(const char* p_path, uint32_t last_error);

// Prints the hint for a device this user may not open.
void Ports_platform_print_denied(FILE* fp, const char* p_path);

// The system's text for the error code last_error.
std::string Ports_platform_error_text(uint32_t last_error);

// The device path a port name given by the user stands for: on POSIX a bare device name
// ("ttyUSB0") is the device in /dev; any other name is kept. COM names are already upper case.
std::string Ports_platform_normalize(const std::string& name);

// A process that has the device p_path open.
struct PortHolder {
    long pid;
    std::string name; // the program's name
    bool is_line_end; // it also holds a pseudo-terminal master: the other end of a pty
};
// The other processes that have p_path open, as far as the system tells (Linux: /proc); empty
// where it does not.
std::vector<PortHolder> Ports_platform_holders(const char* p_path);

// The latency timer in milliseconds of the USB adapter behind p_path; -1 when its driver has none
// or the system does not tell.
int Ports_platform_latency_ms(const char* p_path);

// How the COM names map to devices, for the missing-port hint (a line with its newline).
extern const char Ports_platform_k_com_note[];
// What PORT may be, for the help text (lines with their newlines).
extern const char Ports_platform_k_name_help[];
