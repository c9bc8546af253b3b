// The toolkit-free part of the window layers.
#include "loaderwin.h"

#include "con.h"
#include "csp.h"
#include "dbterm.h"
#include "download.h"
#include "fsv.h"
#include "root.h"
#include "strx.h"
#include "uart.h"

#include <cstdint>

const char k_lw_caption[] = "Orvo-Loader (K52 only)";
const char k_lw_title[] = "Tarvella ORVO Control";
const char k_lw_version[] = "1.13";
const char k_lw_about_item[] = "&About main...";
const char k_lw_start_failed[] = "Starting application failed !\nRoot_alloc() returned NULL";
const char k_lw_caption_error[] = "Error...";

// The native file service, made once for the process.
static void install_file_service() {
    static Fsv* s_fsv = nullptr;
    if (!s_fsv) s_fsv = Fsv_alloc_native();
    if (s_fsv) Fsv_set_default(s_fsv);
}

Root* lw_start(tyLw_cb_root_alloc cb_root_alloc) {
    install_file_service();
    Root* p_root = cb_root_alloc ? cb_root_alloc() : Root_alloc();
    if (p_root) set_p_root(p_root);
    return p_root;
}

// The event pass of the one window of the process.
struct LwWait {
    tyLw_cb_events cb_events;
    void* p_user;
};
static LwWait s_wait;

// The link polls for bytes in a tight loop: instead of spinning a core, wait
// at most 1 ms for the next byte on the port (a closed port waits the 1 ms too).
static void wait_for_port() {
    Root* p_root = get_p_root();
    Uart_wait_readable(p_root ? Root_get_p_uart(p_root) : nullptr, 1);
}

int32_t lw_pump(void* p_user) {
    (void)p_user;
    int32_t result = s_wait.cb_events ? s_wait.cb_events(s_wait.p_user) : 0;
    wait_for_port();
    return result;
}

// The time service's sleep: a yield is one pump; a real pause keeps the
// window alive until its time has passed.
static int lw_sleep(void* p_user, int t_ms) {
    if (t_ms <= 1) {
        lw_pump(p_user);
        return 1;
    }
    uint32_t t_end = Csp_get_tick_count() + static_cast<uint32_t>(t_ms);
    while (static_cast<int32_t>(Csp_get_tick_count() - t_end) < 0)
        lw_pump(p_user);
    return 1;
}

void lw_install_wait_hooks(Root* p_root, tyLw_cb_events cb_events, void* p_user) {
    s_wait.cb_events = cb_events;
    s_wait.p_user = p_user;
    if (cb_events) {
        Root_set_cb_pump(p_root, lw_pump, nullptr);
        Csp_set_sleep_hook(lw_sleep, nullptr);
    } else {
        Root_set_cb_pump(p_root, nullptr, nullptr);
        Csp_set_sleep_hook(nullptr, nullptr);
    }
}

int32_t lw_refresh_rows(DbTerm* p_term, int32_t* p_n_change_seen, const LwRows* p_rows) {
    if (!p_term || !p_n_change_seen || !p_rows) return 0;
    int n = DbTerm_to_string(p_term, *p_n_change_seen);
    if (n < 0) return 0;

    DbTerm_enter(p_term);
    int i_last = 0;
    for (int i = 0; i < p_term->ny_scr; i++) {
        const char* p_row = p_term->p_scr + ((p_term->i_top + i) % p_term->ny_scr) * p_term->l_row;
        p_rows->cb_set_row(p_rows->p_user, i, p_row);
        if (strx_len_trim(p_row) > 0) i_last = i;
    }
    DbTerm_exit(p_term);
    *p_n_change_seen = n;
    p_rows->cb_scroll_to(p_rows->p_user, i_last);
    return 1;
}

void lw_on_download(DlWindow* p_win, int32_t* p_is_running, DlReport* p_report) {
    if (*p_is_running) return;
    *p_is_running = 1;
    on_download(p_win, get_p_root(), p_report);
    *p_is_running = 0;
}

void lw_log_stdout_opened(void) {
    Con_printf("foo=%08x\n",
               static_cast<unsigned>(reinterpret_cast<uintptr_t>(Root_get_p_vm(get_p_root()))));
}

int main_icon_x(int cx_client, int cx_icon) {
    return (cx_client - cx_icon + 1) / 2;
}
int main_icon_y(int cy_client, int cy_icon) {
    return (cy_client - cy_icon + 1) / 2;
}
