// Application root on Win32: "\data\param.dat", and the wait of the link that
// keeps the window alive by dispatching one pending message of the thread.
#include "root_platform.h"

#include <windows.h>

const char* Root_platform_get_param_tail(void) {
    return "\\data\\param.dat";
}

int32_t Root_platform_pump(void) {
    MSG msg;
    if (!PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE)) return 0;
    // A quit request taken here belongs to the program's own message loop:
    // put it back instead of swallowing it.
    if (msg.message == WM_QUIT) {
        PostQuitMessage((int)msg.wParam);
        return 1;
    }
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
    return 1;
}
