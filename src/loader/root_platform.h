// What each platform file of the application root provides.
#pragma once

#include <cstdint>

// The parameter file's name below the program directory, starting with the
// platform's path separator.
const char* Root_platform_get_param_tail(void);

// One pass of the platform's own message handling, for loc_sleep_ms when no
// message-pump hook is installed. Returns at once; 1 when it handled a
// message, else 0.
int32_t Root_platform_pump(void);
