// What each platform file of the time and mutex services provides.
#pragma once

#include <cstdint>

void Csp_platform_sleep_ms(int t_ms);
uint32_t Csp_platform_tick_count(void);
// A new recursive mutex (owned again by its holder without blocking), or null
// when the system refuses one. CspMutex_free releases it.
void* Csp_platform_create_mutex(void);
