// What each platform file of the serial port provides, and what the portable
// part gives them in return.
#pragma once

#include "uart.h"

#include <cstdint>

// 1 when the system error code err means that the device behind the port has
// gone (hang-up, pulled adapter), else 0.
int Uart_platform_error_is_lost(uint32_t err);

// Marks the open port p lost, with one framed line on behalf of the public
// function name; a port already lost stays so without a second line.
void Uart_mark_lost(Uart* p, const char* name);

// Keeps err as p's latest system error and marks the port lost when err says
// the device has gone.
void Uart_note_failure(Uart* p, uint32_t err, const char* name);
