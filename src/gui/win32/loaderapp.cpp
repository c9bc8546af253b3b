// The program shell.
#include "loaderapp.h"

#include "loaderwin.h"
#include "maindlg.h"

#include "root.h"
#include "root_platform.h"

#include <windows.h>
#include <commctrl.h>

LoaderApp theApp;

LoaderApp::LoaderApp() : p_root(nullptr), cb_root_alloc(Root_alloc), m_pMainWnd(nullptr) {}

int32_t loader_pump_events(void* p_user) {
    (void)p_user;
    return Root_platform_pump();
}

int LoaderApp::InitInstance() {
    INITCOMMONCONTROLSEX icc = {sizeof icc, ICC_PROGRESS_CLASS | ICC_LISTVIEW_CLASSES};
    InitCommonControlsEx(&icc);
    p_root = lw_start(cb_root_alloc);
    if (!p_root) {
        MessageBoxA(GetFocus(), k_lw_start_failed, k_lw_caption_error, LW_MB_START_FAILED);
        return 0;
    }
    lw_install_wait_hooks(p_root, loader_pump_events, nullptr);

    MainDlg dlg;
    m_pMainWnd = &dlg;
    dlg.DoModal(nullptr);
    m_pMainWnd = nullptr;
    return 0;
}
