// Time and mutex services on Win32: Sleep, GetTickCount, an unnamed mutex.
#include "csp.h"
#include "csp_platform.h"

#include "con.h"

#include <cstdlib>
#include <windows.h>

static int s_fail_creations;

void Csp_test_fail_mutex_creations(int n) {
    s_fail_creations = n;
}

void Csp_platform_sleep_ms(int t_ms) {
    Sleep((DWORD)(t_ms < 0 ? 0 : t_ms));
}

uint32_t Csp_platform_tick_count(void) {
    return (uint32_t)GetTickCount();
}

CspMutex* CspMutex_init(CspMutex* p) {
    if (!p) return nullptr;
    p->h_mutex = nullptr;
    if (s_fail_creations > 0)
        --s_fail_creations;
    else
        p->h_mutex = CreateMutexA(NULL, FALSE, NULL);
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

int CspMutex_free(CspMutex* p) {
    if (!p) return 0;
    if (p->h_mutex) CloseHandle((HANDLE)p->h_mutex);
    std::free(p);
    return 1;
}

int CspMutex_lock(CspMutex* p, int t_timeout_ms) {
    (void)t_timeout_ms;
    if (!p) return 0;
    DWORD rc = WaitForSingleObject((HANDLE)p->h_mutex, INFINITE);
    return rc == WAIT_OBJECT_0 || rc == WAIT_ABANDONED;
}

int CspMutex_try_lock(CspMutex* p) {
    if (!p) return 0;
    DWORD rc = WaitForSingleObject((HANDLE)p->h_mutex, 0);
    return rc == WAIT_OBJECT_0 || rc == WAIT_ABANDONED;
}

int CspMutex_unlock(CspMutex* p) {
    if (!p) return 0;
    ReleaseMutex((HANDLE)p->h_mutex);
    return 1;
}
