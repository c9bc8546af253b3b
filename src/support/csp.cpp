// Time and mutex services: the hooks shared by every platform.
#include "csp.h"

#include "csp_platform.h"

static tyCsp_cb_sleep s_cb_sleep;
static void* s_p_sleep;
static tyCsp_cb_tick s_cb_tick;
static void* s_p_tick;

int Csp_sleep_ms(int t_ms) {
    if (s_cb_sleep) {
        s_cb_sleep(s_p_sleep, t_ms);
        return 1;
    }
    Csp_platform_sleep_ms(t_ms);
    return 1;
}

void Csp_set_sleep_hook(tyCsp_cb_sleep cb_sleep, void* p_user) {
    s_cb_sleep = cb_sleep;
    s_p_sleep = p_user;
}

uint32_t Csp_get_tick_count(void) {
    if (s_cb_tick) return s_cb_tick(s_p_tick);
    return Csp_platform_tick_count();
}

void Csp_set_tick_source(tyCsp_cb_tick cb_tick, void* p_user) {
    s_cb_tick = cb_tick;
    s_p_tick = p_user;
}
