// Time and mutex services: the hooks shared by every platform.
#include "csp.h"

#include "csp_platform.h"

#include "con.h"

#include <cstdlib>

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

static int s_fail_creations;

void Csp_test_fail_mutex_creations(int n) {
    s_fail_creations = n;
}

CspMutex* CspMutex_init(CspMutex* p) {
    if (!p) return nullptr;
    p->h_mutex = nullptr;
    if (s_fail_creations > 0)
        --s_fail_creations;
    else
        p->h_mutex = Csp_platform_create_mutex();
    if (!p->h_mutex) {
        CON_LOG("error", "p -> h_mutex = CreateMutex (NULL, FALSE, NULL))\n");
        return nullptr;
    }
    return p;
}

CspMutex* CspMutex_alloc(void) {
    auto* p = (CspMutex*)std::malloc(sizeof(CspMutex));
    if (!p) return nullptr;
    if (!CspMutex_init(p)) {
        std::free(p);
        return nullptr;
    }
    return p;
}
