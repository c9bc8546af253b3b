// Fuzz target: a whole S-record file, then what the file download and the
// conversions do with its records: coherent partitions, a segment set, a
// memory image, and writing the set out and reading it back.
#include "fuzz_quiet.h"
#include "msrec.h"
#include "msrecin.h"
#include "msrlin.h"
#include "msrpart.h"
#include "us.h"
#include "uvmem.h"
#include "uvmemx.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

static std::string temp_path(const char* tail) {
    return "/tmp/orvo-fuzz-" + std::to_string(getpid()) + tail;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz_quiet();
    static const std::string s_in = temp_path("-in.s37");
    static const std::string s_out = temp_path("-out.s37");
    FILE* fp = std::fopen(s_in.c_str(), "wb");
    if (!fp) return 0;
    std::fwrite(data, 1, size, fp);
    std::fclose(fp);

    MsRecSet* p_raw = MsRecSet_alloc();
    MsRecIn_load_file(p_raw, s_in.c_str());
    MsRecSet* p_coh = MsRecSet_alloc();
    if (MsrPart_create_coherent_partitions(p_coh, p_raw)) {
        MsrLin* p_lin = MsrLin_alloc_from_rec_set(p_coh);
        MsrLin_free(p_lin);
        // 64 KiB from the first partition on: small enough for many runs a second.
        uint32_t a_vm =
            Us_get_n_elem(p_coh) > 0 ? MsRec_get_adr(MsRecSet_idx_to_ptr(p_coh, 0)) & ~0xFFFFu : 0;
        UvMem* p_vm = UvMem_alloc_val(1, a_vm, 0x10000, 0, nullptr, nullptr);
        uint32_t adr_error = 0;
        UvMem_MsRecSet_write(p_vm, p_coh, &adr_error);
        UvMem_MsRecSet_write_ex(p_vm, p_raw, 0xFF, &adr_error);
        UvMem_free(p_vm);
    }
    for (int32_t tag_value = 1; tag_value <= 3; tag_value++) {
        if (!MsRecIn_save_file(p_raw, tag_value, s_out.c_str())) continue;
        MsRecSet* p_back = MsRecSet_alloc();
        // Everything written must read back.
        if (!MsRecIn_load_file(p_back, s_out.c_str())) std::abort();
        Us_free(p_back);
    }
    Us_free(p_coh);
    Us_free(p_raw);
    return 0;
}
