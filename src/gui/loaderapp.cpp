// The program shell.
#include "loaderapp.h"

#include "maindlg.h"
#include "msgbox.h"

#include "fsv.h"
#include "root.h"
#include "uart.h"

#include <QApplication>

LoaderApp theApp;

LoaderApp::LoaderApp() : p_root(nullptr), cb_root_alloc(Root_alloc), m_pMainWnd(nullptr) {}

int32_t loader_pump_events(void* p_user) {
    (void)p_user;
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    // The link polls for bytes in a tight loop: instead of spinning a core,
    // wait at most 1 ms for the next byte on the port (the bytes on the line
    // stay the same; a closed port waits the 1 ms too).
    Root* p_root = get_p_root();
    Uart_wait_readable(p_root ? Root_get_p_uart(p_root) : nullptr, 1);
    return 0;
}

// The native file service, made once for the process.
static void install_file_service() {
    static Fsv* s_fsv = nullptr;
    if (!s_fsv) s_fsv = Fsv_alloc_native();
    if (s_fsv) Fsv_set_default(s_fsv);
}

int LoaderApp::InitInstance() {
    install_file_service();
    p_root = cb_root_alloc ? cb_root_alloc() : nullptr;
    if (!p_root) {
        dlg_message_box(QApplication::activeWindow(),
                        "Starting application failed !\nRoot_alloc() returned NULL", "Error...",
                        DLG_MB_OK | DLG_MB_ICONEXCLAMATION);
        return 0;
    }
    set_p_root(p_root);
    Root_set_cb_pump(p_root, loader_pump_events, nullptr);

    MainDlg dlg(nullptr);
    m_pMainWnd = &dlg;
    dlg.exec();
    m_pMainWnd = nullptr;
    return 0;
}
