// The program shell.
#include "loaderapp.h"

#include "loaderwin.h"
#include "maindlg.h"
#include "msgbox.h"

#include "root.h"

#include <QApplication>

LoaderApp theApp;

LoaderApp::LoaderApp() : p_root(nullptr), cb_root_alloc(Root_alloc), m_pMainWnd(nullptr) {}

int32_t loader_pump_events(void* p_user) {
    (void)p_user;
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    return 0;
}

int LoaderApp::InitInstance() {
    p_root = lw_start(cb_root_alloc);
    if (!p_root) {
        dlg_message_box(QApplication::activeWindow(), k_lw_start_failed, k_lw_caption_error,
                        LW_MB_START_FAILED);
        return 0;
    }
    lw_install_wait_hooks(p_root, loader_pump_events, nullptr);

    MainDlg dlg(nullptr);
    m_pMainWnd = &dlg;
    dlg.exec();
    m_pMainWnd = nullptr;
    return 0;
}
