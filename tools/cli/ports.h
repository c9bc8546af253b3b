// Serial ports of the machine for the command-line loader: the listing of `ports`, where
// COM1..COM8 point, and the hint shown when a port cannot be opened.
#pragma once

#include <cstdint>
#include <cstdio>

// Prints the serial devices found (/dev/ttyS*, /dev/ttyUSB*, /dev/ttyACM*, each with what
// sysfs tells: the USB adapter's maker, product and ids, or whether a UART answers; on Windows
// the COM names the system has), then COM1..COM8 with the device each opens and whether it is
// there. The number of devices found.
int32_t Ports_print(FILE* fp);

// Prints a hint for the port p_name that could not be opened with the system error code
// last_error (errno; GetLastError on Windows): permission denied names the device's group and how
// to join it; busy says another program holds it; a missing device lists the ports found; anything
// else gives the system's text. Nothing for a null name.
void Ports_print_open_hint(FILE* fp, const char* p_name, uint32_t last_error);

// The help text's lines on what PORT may be.
const char* Ports_get_p_name_help(void);
