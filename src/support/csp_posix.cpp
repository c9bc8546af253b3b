// Time and mutex services on POSIX: nanosleep, CLOCK_MONOTONIC, a recursive
// robust pthread mutex.
#include "csp.h"
#include "csp_platform.h"

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <pthread.h>
#include <sched.h>

void Csp_platform_sleep_ms(int t_ms) {
    if (t_ms <= 0) {
        sched_yield();
        return;
    }
    timespec ts{t_ms / 1000, (long)(t_ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

uint32_t Csp_platform_tick_count(void) {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    uint64_t ms = (uint64_t)ts.tv_sec * 1000u + (uint64_t)ts.tv_nsec / 1000000u;
    return (uint32_t)ms;
}

// Recursive like a Win32 mutex; robust so that an owner that ended while
// holding it leaves it abandoned rather than locked for ever.
void* Csp_platform_create_mutex(void) {
    auto* m = (pthread_mutex_t*)std::malloc(sizeof(pthread_mutex_t));
    if (!m) return nullptr;
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
    int rc = pthread_mutex_init(m, &attr);
    pthread_mutexattr_destroy(&attr);
    if (rc != 0) {
        std::free(m);
        return nullptr;
    }
    return m;
}

int CspMutex_free(CspMutex* p) {
    if (!p) return 0;
    if (p->h_mutex) {
        pthread_mutex_destroy((pthread_mutex_t*)p->h_mutex);
        std::free(p->h_mutex);
    }
    std::free(p);
    return 1;
}

// An abandoned lock is owned by the caller now; mark it usable again.
static int owned(pthread_mutex_t* m, int rc) {
    if (rc == EOWNERDEAD) {
        pthread_mutex_consistent(m);
        return 1;
    }
    return rc == 0;
}

int CspMutex_lock(CspMutex* p, int t_timeout_ms) {
    (void)t_timeout_ms;
    if (!p || !p->h_mutex) return 0;
    auto* m = (pthread_mutex_t*)p->h_mutex;
    return owned(m, pthread_mutex_lock(m));
}

int CspMutex_try_lock(CspMutex* p) {
    if (!p || !p->h_mutex) return 0;
    auto* m = (pthread_mutex_t*)p->h_mutex;
    return owned(m, pthread_mutex_trylock(m));
}

int CspMutex_unlock(CspMutex* p) {
    if (!p || !p->h_mutex) return 0;
    pthread_mutex_unlock((pthread_mutex_t*)p->h_mutex);
    return 1;
}
