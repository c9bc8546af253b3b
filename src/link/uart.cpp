// Serial port: the parts shared by every platform.
#include "uart.h"
#include "uart_platform.h"

#include "con.h"

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

// The line names the function that met the hang-up, so it frames itself
// instead of using this function's name.
void Uart_mark_lost(Uart* p, const char* name) {
    if (p->is_lost) return;
    p->is_lost = 1;
    Con_printf("%s-%s-%s: port lost: the device hung up\n", "error", __FILE__, name);
}

void Uart_note_failure(Uart* p, uint32_t err, const char* name) {
    p->last_error = err;
    if (Uart_platform_error_is_lost(err)) Uart_mark_lost(p, name);
}
