// Serial port: the parts shared by every platform.
#include "uart.h"

Uart* Uart_init(Uart* p) {
    if (!p) return nullptr;
    p->h_com = UART_INVALID_HANDLE;
    p->last_error = 0;
    p->is_lost = 0;
    return p;
}

int Uart_dle_double(int n, const uint8_t* p_bytes, uint8_t* p_out) {
    int l_out = 0;
    for (int i = 0; i < n; ++i) {
        p_out[l_out++] = p_bytes[i];
        if (p_bytes[i] == 0x10) p_out[l_out++] = 0x10;
    }
    return l_out;
}

int Uart_is_lost(const Uart* p) {
    return p ? p->is_lost : 0;
}
