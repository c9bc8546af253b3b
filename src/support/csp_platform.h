// What each platform file of the time and mutex services provides.
#pragma once

#include <cstdint>

void Csp_platform_sleep_ms(int t_ms);
uint32_t Csp_platform_tick_count(void);
