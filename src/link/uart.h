// Serial port: opens one COM port with given line settings, sends single bytes
// or a DLE-doubled block and receives bytes without waiting.
#pragma once

#include <cstdint>

// The handle value of a closed port (all bits set, as INVALID_HANDLE_VALUE).
#define UART_INVALID_HANDLE ((intptr_t)-1)

// Result of Uart_send_with_dle for a block that went out completely: the
// link's no-byte value.
#define UART_NO_BYTE ((int)0x80000000u)
// Result of Uart_send_with_dle for a block that did not go out: NAK.
#define UART_NAK 0x15

// One serial port, in caller storage.
struct Uart {
    intptr_t h_com;      // the opened port; UART_INVALID_HANDLE while closed
    uint32_t last_error; // system error code of the latest failed system call
    int is_lost;         // 1 once the device hung up while open (cleared by Uart_close)
};

// Marks the port closed and returns p; null for a null p.
Uart* Uart_init(Uart* p);

// Opens and configures the port p_name. "COM1".."COM8" name the host's ports
// (see Uart_get_device_path); any other name is a device path. byte_size is
// 5..8; parity 0 none, 1 odd, 2 even, 3 mark, 4 space; stop_bits 0 one, 1 one
// and a half (5 data bits only), 2 two. Reads never wait after this. The port
// is opened for this process alone: a second opener fails like a port in use.
// Returns 1 when open and configured; else 0 with the port closed (also a
// port that was open before: opening an open port is an error). 0 without a
// log for a null p.
int Uart_open(Uart* p, const char* p_name, int baudrate, int byte_size, int parity, int stop_bits);

// Closes the port if it is open and marks it closed. Returns 0.
int Uart_close(Uart* p);

// The next received byte (0..255), or -1 when none is there or on a failure
// (logged, also "uart is not open"). Never waits.
int Uart_receive_byte_nw(Uart* p);

// Sends the low 8 bits of ch. Returns that byte (0..255) when the write
// succeeded, else -1 (logged).
int Uart_send_byte(Uart* p, int ch);

// Sends n bytes with every DLE (0x10) doubled, in one write. Returns
// UART_NO_BYTE when every byte went out, else UART_NAK (also for a null p, a
// closed port, n < 0 or null bytes with n > 0). Logs nothing of its own;
// last_error tells the system's reason.
int Uart_send_with_dle(Uart* p, int n, const uint8_t* p_bytes);

// Copies n bytes into p_out (room for 2 * n) with every DLE doubled and
// returns the number of bytes written.
int Uart_dle_double(int n, const uint8_t* p_bytes, uint8_t* p_out);

// 1 once the device behind the open port has gone (hang-up, pulled adapter);
// the port stays unusable until Uart_close. 0 otherwise and for a null p.
int Uart_is_lost(const Uart* p);

// Waits at most t_ms milliseconds for received input, for programs that idle
// while the link waits for a byte. 1 when input is there (at once if it
// already is), 0 when the time passed without input, -1 when the port is
// closed, lost or the wait failed; a closed or lost port still waits t_ms so
// that a polling caller does not spin. A hang-up seen here marks the port
// lost and returns -1 at once.
int Uart_wait_readable(Uart* p, int t_ms);

// The device path that Uart_open opens for p_name, into p_path (m_path bytes
// with the terminator). On POSIX "COM1".."COM8" become the environment
// variable ORVO_COM1..ORVO_COM8 when set and not empty, else /dev/ttyS0..7;
// on Win32 and for any other name the name itself. 1 on success; 0 for a null
// name or buffer, or a path that does not fit (p_path then holds "").
int Uart_get_device_path(const char* p_name, char* p_path, int m_path);
