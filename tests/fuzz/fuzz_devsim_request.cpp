// Fuzz target: the simulated device's request handling. The first byte picks
// the mode the device is in; then each request is a length byte (length + 1
// bytes follow) and its bytes, executed in turn by one device.
#include "devmodel.h"
#include "fuzz_quiet.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz_quiet();
    if (size < 1) return 0;
    static DevModel s_dev;
    DevModelCfg cfg{};
    cfg.corrupt_ram_write = (data[0] >> 4) & 3;
    cfg.seed = data[0];
    DevModel_init(&s_dev, &cfg);
    s_dev.mode = (DevMode)(data[0] % 5);
    size_t i = 1;
    while (i < size) {
        size_t n = (size_t)data[i++] + 1;
        if (n > size - i) n = size - i;
        if (n == 0) break;
        DevModel_note(&s_dev, data[i]);
        DevAnswer a = DevModel_execute(&s_dev, data + i, (int)n);
        if (a.reply.empty() || a.reply.size() > DEV_M_REPLY) std::abort();
        // A reply repeats the request's code (with the exception bit when refused).
        if ((a.reply[0] & 0x7F) != (data[i] & 0x7F)) std::abort();
        if (s_dev.ram.size() != DEV_N_RAM || s_dev.flash.size() != DEV_N_FLASH) std::abort();
        i += n;
    }
    return 0;
}
