// Time and mutex services on Win32: Sleep, GetTickCount, an unnamed mutex.
#include "csp.h"
#include "csp_platform.h"

#include <cstdlib>
#include <windows.h>

void Csp_platform_sleep_ms(int t_ms) {
    Sleep((DWORD)(t_ms < 0 ? 0 : t_ms));
}

uint32_t Csp_platform_tick_count(void) {
    return (uint32_t)GetTickCount();
}

void* Csp_platform_create_mutex(void) {
    return CreateMutexA(NULL, FALSE, NULL);
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
