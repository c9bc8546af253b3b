// The program shell (Win32): installs the native file service, creates the
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

    // Common controls, file service, root (a failure shows "Starting
    // application failed ! ..." and ends), the wait hooks with the thread's
    // message queue, then the main window, run modally. Always 0: the program
    // ends when it returns.
    int InitInstance();
    Root* get_p_root() const { return p_root; }

    Root* p_root;
    // How the root is made: Root_alloc (a test puts a failing one here).
    tyLoaderApp_cb_root_alloc cb_root_alloc;
    // The main window while it runs, else null.
    MainDlg* m_pMainWnd;
};

// The one application object of the program.
extern LoaderApp theApp;

// One message of the thread's queue taken, translated and dispatched (the
// event pass of the wait hooks). 1 when there was one, else 0.
int32_t loader_pump_events(void* p_user);
