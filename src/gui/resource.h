// Resource and control ids of the loader's windows, with the values the
// window layer has always used (tests and tools address controls by them).
#pragma once

enum {
    IDOK = 1,
    IDCANCEL = 2,

    IDD_ABOUTBOX = 100,  // the About box
    IDS_ABOUTBOX = 101,  // "&About main..."
    IDD_MAIN = 102,      // the main window
    IDR_MAINFRAME = 128, // the application icon
    IDD_STDOUT = 143,    // the console viewer

    IDC_DOWNLOAD = 1002,
    IDC_COM_PORT = 1003,
    IDC_TITLE = 1005,
    IDC_STDOUT = 1006,
    IDC_PROGRESS = 1007,
    IDC_STATUS_STEP = 1008,
    IDC_STATUS_DETAIL = 1009,
    IDC_VERSION = 1010,
    IDC_STDOUT_LIST = 1066,
    IDC_STATIC = -1, // labels and frames nobody addresses

    IDM_ABOUTBOX = 0x10, // system command of the About item

    WM_USER = 0x400,
    WM_CLOSE_STDOUT = WM_USER + 10, // 1034: the viewer asks its owner to destroy it

    // System commands a window answers by default.
    SC_MINIMIZE = 0xF020,
    SC_CLOSE = 0xF060,
    SC_RESTORE = 0xF120,
};
