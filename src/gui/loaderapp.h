// The program shell, one class for both window layers (each has its own
// loaderapp.cpp): installs the native file service, creates the application
// root, installs the window's wait hooks and runs the main window modally;
// when it closes, the program ends.
#pragma once

#include <cstdint>

struct Root;
class MainDlg;

typedef Root* (*tyLoaderApp_cb_root_alloc)(void);

class LoaderApp {
  public:
    LoaderApp();

    // File service, root (a failure shows "Starting application failed !
    // ..." and ends), the wait hooks (lw_install_wait_hooks) with
    // loader_pump_events, then the main window, run modally. Always 0: the
    // program ends when it returns. Qt: needs a QApplication.
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

// One pass of the toolkit's pending events, so the window repaints and takes
// Close while the link and the transaction layer wait: Qt's event queue once
// (0), or one message of the thread's queue taken, translated and dispatched
// (1 when there was one, else 0).
int32_t loader_pump_events(void* p_user);
