// Gang programming on Windows: not there yet; one download a port runs as before.
#include "gang_internal.h"

#include <cstdio>

int Gang_run(const GangCfg&) {
    fputs("orvo-loader-cli: several ports in one command are not available on Windows yet; "
          "start one orvo-loader-cli a port\n",
          stderr);
    return 2;
}
