// Parameter file of the application root: loading and saving the version field.
#include "param.h"

#include "con.h"
#include "fcstream.h"
#include "root.h"
#include "stream.h"

enum { PARAM_VERSION = 1, PARAM_N_VERSION = 4, PARAM_DEFAULT_BUF = -1 };

int32_t Root_load(Root* p) {
    if (!p) return 0;
    if (Root_param_load(p, p->p_path_name_param) == 0) {
        CON_LOG("error", "Root_param_load (p, p -> p_path_name_param))\n");
        return 0;
    }
    return 1;
}

int32_t Root_save(Root* p) {
    if (!p) return 0;
    if (Root_param_save(p, p->p_path_name_param) == 0) {
        CON_LOG("error", "Root_param_save (p, p -> p_path_name_param))\n");
    }
    return 1;
}

int32_t Root_param_load(Root* p, const char* p_path) {
    if (!p || !p_path) return 0;
    Stream* ps = FcsOpenRead(nullptr, p_path, PARAM_DEFAULT_BUF);
    uint8_t version[PARAM_N_VERSION] = {PARAM_VERSION, 0, 0, 0};
    int32_t n_read = StreamRead(ps, version, PARAM_N_VERSION);
    FcsClose(ps);
    if (n_read != PARAM_N_VERSION) {
        CON_LOG("error", "__SRSE (version) failed\n");
        return 0;
    }
    return 1;
}

int32_t Root_param_save(Root* p, const char* p_path) {
    if (!p || !p_path) return 0;
    Stream* ps = FcsOpenCreate(nullptr, p_path, PARAM_DEFAULT_BUF);
    const uint8_t version[PARAM_N_VERSION] = {PARAM_VERSION, 0, 0, 0};
    int32_t n_written = StreamWrite(ps, version, PARAM_N_VERSION);
    // The bytes sit in the stream's buffer until here; closing ignores a
    // failed flush, so flush first and count a failure.
    int is_flushed = n_written == PARAM_N_VERSION ? StreamFlush(ps) : 0;
    FcsClose(ps);
    if (n_written != PARAM_N_VERSION) {
        CON_LOG("error", "__SWSE (version) failed\n");
        return 0;
    }
    if (!is_flushed) {
        CON_LOG("error", "StreamFlush (ps) failed\n");
        return 0;
    }
    return 1;
}
