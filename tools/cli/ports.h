// Serial ports of the machine for the command-line loader: the listing of `ports`, where
// COM1..COM8 point, and the hint shown when a port cannot be opened.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// Prints the serial devices found (ttyS*, ttyUSB*, ttyACM*, each with what sysfs tells: the
// USB adapter's vendor:product ids, maker, product, serial number and latency timer, or whether
// a UART answers; on Windows the COM names the system has), then COM1..COM8 with the device each
// opens and whether it is there. The number of devices found.
int32_t Ports_print(FILE* fp);

// Prints a hint for the port p_name that could not be opened with the system error code
// last_error (errno; GetLastError on Windows): permission denied names the device's group and how
// to join it; busy says another program holds it; a missing device lists the ports found; anything
// else gives the system's text. Nothing for a null name.
void Ports_print_open_hint(FILE* fp, const char* p_name, uint32_t last_error);

// The port name as Uart_open takes it: "com3" is COM3 (COM names in any case), and on POSIX a
// bare device name ("ttyUSB0") is /dev/ttyUSB0. Other names are kept.
std::string Ports_normalize_name(const std::string& name);

// Warnings for a port the loader has just opened (p_name as given to Uart_open), a line each:
// other programs that have it open without a lock (they may take the device's replies), and a
// USB latency timer that stayed above 1 ms although the loader asked for low latency.
std::vector<std::string> Ports_open_warnings(const char* p_name);

// The help text's lines on what PORT may be.
const char* Ports_get_p_name_help(void);
