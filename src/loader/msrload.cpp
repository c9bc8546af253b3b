// File download: S-record file, coherent partitions, RAM writes in 256-byte pieces, optional jump.
#include "msrload.h"

#include "con.h"
#include "csp.h"
#include "msrecin.h"
#include "msrpart.h"
#include "rmc.h"

int send_partition(Rmc* p_rmc, MsRec* p_rec) {
    if (p_rec == NULL) {
        CON_LOG("error", "p_rec == NULL\n");
        return 0;
    }
    uint32_t adr = MsRec_get_adr(p_rec);
    uint32_t n_left = MsRec_get_n_bytes(p_rec);
    const uint8_t* p_bytes = MsRec_get_p_bytes(p_rec);
    Con_printf("sending partition to adr=%08x n_bytes=%d\n", adr, (int)n_left);
    do {
        uint32_t n_piece = n_left < 256 ? n_left : 256;
        int r = Rmc_do_write_xbram(p_rmc, adr, p_bytes, n_piece);
        if (r != 0) {
            CON_LOG("error", "Rmc_do_write_xbram returned %d\n", r);
            return 0;
        }
        adr += n_piece;
        p_bytes += n_piece;
        n_left -= n_piece;
    } while (n_left > 0);
    return 1;
}

int MsrLoad_send_file_and_jump(Rmc* p_rmc, const char* p_filename, uint32_t adr_jump) {
    MsRecSet* p_rec_set_raw = NULL;
    MsRecSet* p_rec_set_coh = NULL;
    int ok = 1;
    if (p_filename != NULL && p_filename[0] != 0) {
        p_rec_set_raw = MsRecSet_alloc();
        p_rec_set_coh = MsRecSet_alloc();
        uint32_t t_start = Csp_get_tick_count();
        if (p_rec_set_raw == NULL) {
            CON_LOG("error", "p_rec_set_raw == NULL\n");
            ok = 0;
        }
        if (ok) {
            Con_printf("loading data from file <%s>\r\n", p_filename);
            if (!MsRecIn_load_file(p_rec_set_raw, p_filename)) {
                CON_LOG("error", "! MsRecIn_load_file (p_rec_set_raw, p_filename)\n");
                ok = 0;
            }
        }
        if (ok) {
            Con_printf("loaded %d records\n", Us_get_n_elem(p_rec_set_raw));
            if (!MsrPart_create_coherent_partitions(p_rec_set_coh, p_rec_set_raw)) {
                CON_LOG("error",
                        "! MsrPart_create_coherent_partitions (p_rec_set_coh, p_rec_set_raw)\n");
                ok = 0;
            }
        }
        int32_t n_part = Us_get_n_elem(p_rec_set_coh);
        for (int32_t i = 0; ok && i < n_part; i++) {
            if (!send_partition(p_rmc, MsRecSet_idx_to_ptr(p_rec_set_coh, i))) {
                CON_LOG("error", "send_partition failed\n");
                ok = 0;
            }
        }
        if (ok)
            Con_printf("download was successful (t=%d ms)\n",
                       (int)(Csp_get_tick_count() - t_start));
    }
    if (ok && adr_jump != 0) {
        int r = Rmc_do_jump(p_rmc, adr_jump);
        if (r == 0) {
            Con_printf("jump to adr 0x%08x accepted\n", adr_jump);
        } else {
            Con_printf("jump to adr 0x%08x not accepted, result=%d\n", adr_jump, r);
            ok = 0;
        }
    }
    Us_free(p_rec_set_raw);
    Us_free(p_rec_set_coh);
    return ok;
}
