// The program shell: installs the native file service, creates the
// application root and runs the main window modally; when it closes, the
// program ends.
#pragma once

#include <cstdint>

struct Root;
class MainDlg;

typedef Root* (*tyLoaderApp_cb_root_alloc)(void);

class LoaderApp {
  public:
    LoaderApp();

    // File service, root (a failure shows "Starting application failed !
    // ..." and ends), the wait hooks (lw_install_wait_hooks) with one pass of
    // Qt's events, then the main window, run modally. Always 0: the program
    // ends when it returns. Needs a QApplication.
    int InitInstance();
    // The root made by InitInstance; null before and after a failure.
    Root* get_p_root() const { return p_root; }

    Root* p_root;
    // How the root is made: Root_alloc (a test puts a failing one here).
    tyLoaderApp_cb_root_alloc cb_root_alloc;
    // The main window while it runs, else null.
    MainDlg* m_pMainWnd;
};

// The one application object of the program.
extern LoaderApp theApp;

// One pass of Qt's pending events, so the window repaints and takes Close
// while the link and the transaction layer wait (the event pass of
// lw_install_wait_hooks). 0.
int32_t loader_pump_events(void* p_user);
