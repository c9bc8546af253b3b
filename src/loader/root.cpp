// Application root: creation and wiring of the long-lived objects, loading of
// the embedded images, accessors and the link's time callbacks.
#include "root.h"

#include "con.h"
#include "csp.h"
#include "dbterm.h"
#include "images.h"
#include "osservice.h"
#include "root_platform.h"
#include "strx.h"
#include "uvmem.h"

#include <cstdlib>

static Root* s_p_root;

Root* get_p_root(void) {
    return s_p_root;
}

Root* set_p_root(Root* p) {
    s_p_root = p;
    return p;
}

int32_t Root_set_cb_pump(Root* p, tyRoot_cb_pump cb_pump, void* p_pump) {
    if (!p) return 0;
    p->cb_pump = cb_pump;
    p->p_pump = cb_pump ? p_pump : nullptr;
    return 1;
}

// The link takes callbacks with an untyped context; these hand it to the port.
// A port that reported a hard error is told apart from a quiet one: the link
// and the transaction then stop waiting for a device that has gone.
static int32_t uart_receive_byte_nw(void* p_uart) {
    int32_t ch = Uart_receive_byte_nw(static_cast<Uart*>(p_uart));
    if (ch < 0 && Uart_is_lost(static_cast<Uart*>(p_uart))) return CO3964_LINE_LOST;
    return ch;
}
static int32_t uart_send_byte(void* p_uart, int32_t ch) {
    return Uart_send_byte(static_cast<Uart*>(p_uart), ch);
}
static int32_t uart_send_with_dle(void* p_uart, int32_t n, const uint8_t* p_bytes) {
    return Uart_send_with_dle(static_cast<Uart*>(p_uart), n, p_bytes);
}

static void root_release(Root* p) {
    DbTerm_free(p->p_db_term);
    UvMem_free(p->p_vm);
    free(p);
}

int32_t Root_free(Root* p) {
    if (!p) return 1;
    if (Con_get_cb_output() == DbTerm_print && Con_get_p_output() == p->p_db_term)
        Con_set_cb_output(nullptr, nullptr);
    if (s_p_root == p) s_p_root = nullptr;
    if (p->p_uart) Uart_close(p->p_uart);
    root_release(p);
    return 1;
}

Root* Root_alloc(void) {
    Root* p = static_cast<Root*>(calloc(1, sizeof(Root)));
    if (!p) return nullptr;
    int is_error = 0;
    if (Oss_get_path_program(ROOT_N_PATH, p->p_path_program) < 0) {
        is_error = 1;
    } else {
        // Refuse a directory that leaves no room for the parameter file name:
        // the field must not be written past.
        int n_path = strx_len(p->p_path_program);
        const char* k_param_tail = Root_platform_get_param_tail();
        int n_tail = strx_len(k_param_tail);
        if (n_path + n_tail >= ROOT_N_PATH) {
            CON_LOG("error", "n_path + n_tail >= n_dst (n_path=%d, n_tail=%d, n_dst=%d)\n", n_path,
                    n_tail, ROOT_N_PATH);
            is_error = 1;
        } else {
            strx_cpy(p->p_path_name_param, p->p_path_program);
            strx_cat(p->p_path_name_param, k_param_tail);
        }
        p->p_db_term = DbTerm_alloc(160, 200);
        if (!p->p_db_term) {
            CON_LOG("error", "p -> p_db_term = DbTerm_alloc (160, 200))\n");
            is_error = 1;
        }
        p->p_uart = Uart_init(&p->uart);
        if (!p->p_uart) {
            CON_LOG("error", "p -> p_uart = Uart_init (& p -> uart))\n");
            is_error = 1;
        }
        p->p_co =
            Co3964_init(&p->co, nullptr, loc_get_t_now, loc_plus_ms, loc_sleep_ms, p->p_uart,
                        uart_receive_byte_nw, uart_send_byte, uart_send_with_dle, ROOT_N_LINK_BUF,
                        p->co_ib_p_buf, ROOT_N_LINK_BUF, p->co_ob_p_buf, 1, 1);
        if (!p->p_co) {
            CON_LOG("error",
                    "p -> p_co = Co3964_init ( & p -> co, NULL, (tyCo3964_cb_time_get_t_now) "
                    "loc_get_t_now, (tyCo3964_cb_time_plus_ms) loc_plus_ms , "
                    "(tyCo3964_cb_time_sleep_ms) loc_sleep_ms, p -> p_uart, "
                    "(tyCo3964_cb_uart_receive_byte_nw) Uart_receive_byte_nw, "
                    "(tyCo3964_cb_uart_send_byte) Uart_send_byte, (tyCo3964_cb_uart_send_with_dle) "
                    "Uart_send_with_dle, itemsof (p -> co_ib_p_buf), p -> co_ib_p_buf, itemsof (p "
                    "-> co_ob_p_buf), p -> co_ob_p_buf, 1, 1))\n");
            is_error = 1;
        }
        p->p_rmc = Rmc_init_as_master(&p->rmc, ROOT_N_LINK_BUF, p->rmc_p_buf, p->p_co);
        if (!p->p_rmc) {
            CON_LOG("error", "p -> p_rmc = Rmc_init_as_master ( & p -> rmc, itemsof (p -> "
                             "rmc_p_buf), p -> rmc_p_buf, p -> p_co))\n");
            is_error = 1;
        }
        p->p_set_loader = nullptr;
        p->p_set_appl = nullptr;
        p->p_vm = UvMem_alloc_as_orvo_code_k52();
        if (!p->p_vm) {
            CON_LOG("error", "p -> p_vm = UvMem_alloc_as_orvo_code_k52 ())\n");
            is_error = 1;
        }
        p->n_block = ROOT_N_BLOCK;
        p->n_bytes_appl = 0;
    }
    if (is_error) {
        root_release(p);
        return nullptr;
    }
    Con_set_cb_output(DbTerm_print, p->p_db_term);
    Con_print("stdout is now connected to this virtual screen\n");
    return p;
}

int32_t check_is_loaded(Root* p) {
    if (!p) return 0;
    if (p->is_loaded == 1) return 1;
    int is_error = 0;
    p->p_set_loader = MsrLin_init_val(
        &p->set_loader, fld_02_get_n_set(), fld_02_get_p_set_a_bytes(), fld_02_get_p_set_n_bytes(),
        nullptr, fld_02_get_p_set_p_bytes(), fld_02_get_n_heap(), fld_02_get_p_heap());
    if (!p->p_set_loader) {
        CON_LOG("error", "p -> p_set_loader = MsrLin_init_val (& p -> set_loader, fld_02_get_n_set "
                         "(), fld_02_get_p_set_a_bytes (), fld_02_get_p_set_n_bytes (), NULL , "
                         "fld_02_get_p_set_p_bytes (), fld_02_get_n_heap (), fld_02_get_p_heap "
                         "()))\n");
        is_error = 1;
    }
    p->p_set_appl = MsrLin_init_val(&p->set_appl, orvo_get_n_set(), orvo_get_p_set_a_bytes(),
                                    orvo_get_p_set_n_bytes(), nullptr, orvo_get_p_set_p_bytes(),
                                    orvo_get_n_heap(), orvo_get_p_heap());
    if (!p->p_set_appl) {
        CON_LOG("error", "p -> p_set_appl = MsrLin_init_val (& p -> set_appl, orvo_get_n_set (), "
                         "orvo_get_p_set_a_bytes (), orvo_get_p_set_n_bytes (), NULL , "
                         "orvo_get_p_set_p_bytes (), orvo_get_n_heap (), orvo_get_p_heap ()))\n");
        is_error = 1;
    }
    // Each loading starts from a fresh image; the one made before is not used again.
    UvMem_free(p->p_vm);
    p->p_vm = UvMem_alloc_as_orvo_code_k52();
    if (!p->p_vm) {
        CON_LOG("error", "p -> p_vm = UvMem_alloc_as_orvo_code_k52 ())\n");
        is_error = 1;
    }
    p->n_block = ROOT_N_BLOCK;
    p->n_bytes_appl = build_p_vm_from_p_set(p->p_vm, p->p_set_appl, p->n_block);
    if (!is_error) p->is_loaded = 1;
    return p->is_loaded;
}

int32_t Root_set_images(Root* p, MsrLin* p_set_loader, MsrLin* p_set_appl) {
    if (!check_is_loaded(p)) return 0;
    if (p_set_loader) p->p_set_loader = p_set_loader;
    if (p_set_appl) {
        p->p_set_appl = p_set_appl;
        p->n_bytes_appl = build_p_vm_from_p_set(p->p_vm, p_set_appl, p->n_block);
    }
    return p->n_bytes_appl >= 0 ? 1 : 0;
}

int32_t build_p_vm_from_p_set(UvMem* p_vm, const MsrLin* p_set, int32_t n_block) {
    UvMem_fill(p_vm, 0xFF);
    if (UvMem_MsrLin_write(p_vm, p_set, nullptr) != 0) {
        CON_LOG("error", "UvMem_MsrLin_write failed\n");
        return -1;
    }
    // A block size below 1 would never leave the first block.
    if (n_block < 1) {
        CON_LOG("error", "n_block < 1\n");
        return -1;
    }
    uint64_t a_vm = UvMem_get_a_vmem(p_vm);
    uint64_t e_vm = a_vm + UvMem_get_n_vmem(p_vm);
    int32_t n_bytes = 0;
    for (uint64_t adr = a_vm; adr < e_vm && n_bytes >= 0; adr += static_cast<uint32_t>(n_block)) {
        if (!UvMem_block_equals_val(p_vm, static_cast<uint32_t>(adr), n_block, 0xFF)) {
            n_bytes = n_bytes > INT32_MAX - n_block ? -1 : n_bytes + n_block;
        }
    }
    CON_LOG("info", "n_bytes=%d\n", n_bytes);
    return n_bytes;
}

const char* Root_get_p_path_program(Root* p) {
    return p ? p->p_path_program : nullptr;
}
const char* Root_get_p_path_name_param(Root* p) {
    return p ? p->p_path_name_param : nullptr;
}
DbTerm* Root_get_p_db_term(Root* p) {
    return p ? p->p_db_term : nullptr;
}
Uart* Root_get_p_uart(Root* p) {
    return p ? p->p_uart : nullptr;
}
Co3964* Root_get_p_co(Root* p) {
    return p ? p->p_co : nullptr;
}
Rmc* Root_get_p_rmc(Root* p) {
    return p ? p->p_rmc : nullptr;
}

MsrLin* Root_get_p_set_loader(Root* p) {
    if (!p) return nullptr;
    check_is_loaded(p);
    return p->p_set_loader;
}

MsrLin* Root_get_p_set_appl(Root* p) {
    if (!p) return nullptr;
    check_is_loaded(p);
    return p->p_set_appl;
}

UvMem* Root_get_p_vm(Root* p) {
    if (!p) return nullptr;
    check_is_loaded(p);
    return p->p_vm;
}

int32_t Root_get_n_bytes_appl(Root* p) {
    if (!p) return 0;
    check_is_loaded(p);
    return p->n_bytes_appl;
}

int32_t Root_get_n_block(Root* p) {
    if (!p) return 0;
    check_is_loaded(p);
    return p->n_block;
}

int32_t loc_get_t_now(void* p_context) {
    (void)p_context;
    return static_cast<int32_t>(Csp_get_tick_count());
}

int32_t loc_plus_ms(void* p_context, int32_t t, int32_t ms) {
    (void)p_context;
    return static_cast<int32_t>(static_cast<uint32_t>(t) + static_cast<uint32_t>(ms));
}

int32_t loc_sleep_ms(void* p_context, int32_t ms) {
    (void)p_context;
    (void)ms;
    Root* p = get_p_root();
    if (p && p->cb_pump) return p->cb_pump(p->p_pump);
    return Root_platform_pump();
}
