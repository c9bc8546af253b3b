// Shared by the fuzz targets: the console output is formatted as usual and
// dropped, so that every log path runs without filling the terminal.
#pragma once

#include "con.h"

inline int fuzz_sink(void*, const char*) {
    return 0;
}

inline void fuzz_quiet(void) {
    static bool s_done = Con_set_cb_output(fuzz_sink, nullptr) != 0;
    (void)s_done;
}
