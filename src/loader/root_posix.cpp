// Application root on POSIX: the parameter path's separator; no message queue
// of its own (a program that has one installs a message-pump hook).
#include "root_platform.h"

const char* Root_platform_get_param_tail(void) {
    return "/data/param.dat";
}

int32_t Root_platform_pump(void) {
    return 0;
}
