// Time and mutex services: the platform's sleep, tick count and a recursive lock.
#pragma once

#include <cstdint>

// Gives up the processor for t_ms milliseconds; 0 only yields. Returns 1.
// While a sleep hook is installed, the hook is called instead (tests move
// virtual time there; a program may wait for input there).
int Csp_sleep_ms(int t_ms);

typedef int (*tyCsp_cb_sleep)(void* p_user, int t_ms);
// Installs (or, with null, removes) the sleep hook.
void Csp_set_sleep_hook(tyCsp_cb_sleep cb_sleep, void* p_user);

// The system millisecond tick count: wraps at 2^32. Reads the installed tick
// source when there is one, else the monotonic clock.
uint32_t Csp_get_tick_count(void);

typedef uint32_t (*tyCsp_cb_tick)(void* p_user);
// Installs (or, with null, removes) a tick source, for tests with virtual time.
void Csp_set_tick_source(tyCsp_cb_tick cb_tick, void* p_user);

// A recursive lock. h_mutex is the platform's lock object, null when not created.
struct CspMutex {
    void* h_mutex;
};

// Creates the lock in caller storage. Returns p; null when p is null or the
// creation failed (then logged).
CspMutex* CspMutex_init(CspMutex* p);
// Allocates and initialises a lock. Null when allocation or creation failed.
CspMutex* CspMutex_alloc(void);
// Destroys the lock and frees the record. 1; 0 for a null p.
int CspMutex_free(CspMutex* p);
// Waits without limit until the calling thread owns the lock; t_timeout_ms is
// not used. 1 on ownership (also from an owner that died holding it); 0 when
// the wait failed or p is null.
int CspMutex_lock(CspMutex* p, int t_timeout_ms);
// Takes the lock without waiting. 1 on ownership; 0 when another thread owns
// it, the wait failed or p is null.
int CspMutex_try_lock(CspMutex* p);
// Releases one level of ownership. 1; 0 for a null p.
int CspMutex_unlock(CspMutex* p);

// Test hook: makes the next n lock creations fail (0 to stop).
void Csp_test_fail_mutex_creations(int n);
