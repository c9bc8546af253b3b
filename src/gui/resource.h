// Resource and control ids of the loader's windows, shared by both window
// layers and the resource script (plain defines, so that windres reads them
// too). Tests and tools address controls by these values.
#ifndef ORVO_GUI_RESOURCE_H
#define ORVO_GUI_RESOURCE_H

#define IDD_ABOUTBOX 100  /* the About box */
#define IDS_ABOUTBOX 101  /* "&About main..." */
#define IDD_MAIN 102      /* the main window */
#define IDR_MAINFRAME 128 /* the application icon */
#define IDD_STDOUT 143    /* the console viewer */

#define IDC_DOWNLOAD 1002
#define IDC_COM_PORT 1003
#define IDC_TITLE 1005
#define IDC_STDOUT 1006
#define IDC_PROGRESS 1007
#define IDC_STATUS_STEP 1008
#define IDC_STATUS_DETAIL 1009
#define IDC_VERSION 1010
#define IDC_STDOUT_LIST 1066

#define IDM_ABOUTBOX 0x0010 /* system command of the About item */

/* 1034, the first user message plus 10: the viewer asks its owner to destroy it. */
#define WM_CLOSE_STDOUT (0x0400 + 10)

/* The platform's own ids where its headers are not included. */
#ifndef IDOK
#define IDOK 1
#define IDCANCEL 2
#endif
#ifndef IDC_STATIC
#define IDC_STATIC (-1) /* labels and frames nobody addresses */
#endif

#endif
