// Serial port on Win32: a COM port opened with CreateFileA, read without
// waiting through its time-outs, written with synchronous WriteFile calls.
#include "uart.h"
#include "uart_platform.h"

#include "con.h"

#include <cstdlib>
#include <cstring>
#include <windows.h>

namespace {

HANDLE handle_of(const Uart* p) {
    return (HANDLE)p->h_com;
}

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

// Sleep(1) lasts a whole scheduler tick (up to 15.6 ms), which a link waiting
// for each reply would pay on every turnaround; a high-resolution timer
// (Windows 10 1803 on) waits the milliseconds asked. Older systems sleep.
void wait_ms(int t_ms) {
    if (t_ms <= 0) {
        Sleep(0);
        return;
    }
    static thread_local HANDLE s_timer =
        CreateWaitableTimerExW(NULL, NULL, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, TIMER_ALL_ACCESS);
    LARGE_INTEGER due;
    due.QuadPart = -10000LL * t_ms; // relative, in 100 ns units
    if (s_timer && SetWaitableTimer(s_timer, &due, 0, NULL, NULL, FALSE) &&
        WaitForSingleObject(s_timer, (DWORD)t_ms + 100) == WAIT_OBJECT_0)
        return;
    Sleep((DWORD)t_ms);
}

} // namespace

// The errors Windows gives for a port whose device has gone (a pulled USB
// adapter).
int Uart_platform_error_is_lost(uint32_t err) {
    switch (err) {
    case ERROR_BAD_COMMAND:
    case ERROR_ACCESS_DENIED:
    case ERROR_GEN_FAILURE:
    case ERROR_DEVICE_REMOVED:
    case ERROR_OPERATION_ABORTED:
        return 1;
    default:
        return 0;
    }
}

int Uart_get_device_path(const char* p_name, char* p_path, int m_path) {
    if (!p_path || m_path <= 0) return 0;
    p_path[0] = '\0';
    if (!p_name) return 0;
    size_t l_name = std::strlen(p_name);
    if (l_name >= (size_t)m_path) return 0;
    std::memcpy(p_path, p_name, l_name + 1);
    return 1;
}

int Uart_open(Uart* p, const char* p_name, int baudrate, int byte_size, int parity, int stop_bits) {
    if (!p) return 0;
    HANDLE h;
    DCB dcb;
    COMMTIMEOUTS timeouts;
    if (p->h_com != UART_INVALID_HANDLE) {
        CON_LOG("error", "uart is already opened\n");
        goto failed;
    }
    h = CreateFileA(p_name, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    p->h_com = (intptr_t)h;
    if (h == INVALID_HANDLE_VALUE) {
        p->last_error = (uint32_t)GetLastError();
        CON_LOG("error", "h_com == INVALID_HANDLE_VALUE; last_error=%0x08x\n", p->last_error);
        goto failed;
    }

    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(h, &dcb)) {
        p->last_error = (uint32_t)GetLastError();
        CON_LOG("error", "GetCommState failed; last_error=%0x08x\n", p->last_error);
        goto failed;
    }
    // Everything not set here (DSR flow control, DTR and RTS control, DSR
    // sensitivity, XON/XOFF limits and characters, ...) stays as it was.
    dcb.BaudRate = (DWORD)baudrate;
    dcb.fBinary = 1;
    dcb.fParity = parity != 0 ? 1 : 0;
    dcb.fOutxCtsFlow = 0;
    dcb.fOutX = 0;
    dcb.fInX = 0;
    dcb.fErrorChar = 0;
    dcb.fNull = 0;
    dcb.fAbortOnError = 0;
    dcb.ByteSize = (BYTE)byte_size;
    dcb.Parity = (BYTE)parity;
    dcb.StopBits = (BYTE)stop_bits;
    if (!SetCommState(h, &dcb)) {
        p->last_error = (uint32_t)GetLastError();
        CON_LOG("error", "SetCommState failed; last_error=%0x08x\n", p->last_error);
        goto failed;
    }
    CON_LOG("info", "setting %s to baudrate=%d\n", p_name, baudrate);

    if (!GetCommTimeouts(h, &timeouts)) {
        p->last_error = (uint32_t)GetLastError();
        CON_LOG("error", "GetCommTimeouts failed; last_error=%0x08x\n", p->last_error);
        goto failed;
    }
    // A read returns at once with what has arrived, possibly nothing; writes
    // have no time-out.
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = 0;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = 0;
    if (!SetCommTimeouts(h, &timeouts)) {
        p->last_error = (uint32_t)GetLastError();
        CON_LOG("error", "SetCommTimeouts failed; last_error=%0x08x\n", p->last_error);
        goto failed;
    }
    return 1;

failed:
    Uart_close(p);
    return 0;
}

int Uart_close(Uart* p) {
    if (!p) return 0;
    if (p->h_com != UART_INVALID_HANDLE) CloseHandle(handle_of(p));
    p->h_com = UART_INVALID_HANDLE;
    p->is_lost = 0;
    return 0;
}

int Uart_receive_byte_nw(Uart* p) {
    if (!p) return -1;
    if (p->h_com == UART_INVALID_HANDLE) {
        CON_LOG("error", "uart is not open\n");
        return -1;
    }
    BYTE b = 0;
    DWORD n_read = 0;
    if (!ReadFile(handle_of(p), &b, 1, &n_read, NULL)) {
        Uart_note_failure(p, (uint32_t)GetLastError(), __func__);
        CON_LOG("error", "ReadFile failed; Error=%0x08x\n", p->last_error);
        return -1;
    }
    return n_read == 1 ? b : -1;
}

int Uart_send_byte(Uart* p, int ch) {
    if (!p) return -1;
    if (p->h_com == UART_INVALID_HANDLE) {
        CON_LOG("error", "uart is not open\n");
        return -1;
    }
    BYTE b = (BYTE)(ch & 0xFF);
    DWORD n_written = 0;
    if (!WriteFile(handle_of(p), &b, 1, &n_written, NULL)) {
        Uart_note_failure(p, (uint32_t)GetLastError(), __func__);
        CON_LOG("error", "WriteFile failed; Error=%0x08x\n", p->last_error);
        return -1;
    }
    return b;
}

int Uart_send_with_dle(Uart* p, int n, const uint8_t* p_bytes) {
    if (!p) return UART_NAK;
    if (n < 0 || (n > 0 && !p_bytes)) {
        p->last_error = ERROR_INVALID_PARAMETER;
        return UART_NAK;
    }
    auto* p_buf = (uint8_t*)std::malloc(n > 0 ? 2 * (size_t)n : 1);
    if (!p_buf) {
        p->last_error = ERROR_NOT_ENOUGH_MEMORY;
        return UART_NAK;
    }
    int l_buf = Uart_dle_double(n, p_bytes, p_buf);
    DWORD n_written = 0;
    int result = UART_NAK;
    if (!WriteFile(handle_of(p), p_buf, (DWORD)l_buf, &n_written, NULL)) {
        Uart_note_failure(p, (uint32_t)GetLastError(), __func__);
    } else if (n_written == (DWORD)l_buf) {
        result = UART_NO_BYTE;
    }
    std::free(p_buf);
    return result;
}

int Uart_wait_readable(Uart* p, int t_ms) {
    if (t_ms < 0) t_ms = 0;
    if (!p || p->h_com == UART_INVALID_HANDLE || p->is_lost) {
        wait_ms(t_ms);
        return -1;
    }
    DWORD errors = 0;
    COMSTAT stat;
    if (!ClearCommError(handle_of(p), &errors, &stat)) {
        Uart_note_failure(p, (uint32_t)GetLastError(), __func__);
        return -1;
    }
    if (stat.cbInQue > 0) return 1;
    // Without overlapped input there is no wait for a byte; a short timed
    // wait keeps the caller from spinning.
    wait_ms(t_ms);
    return 0;
}
