// The main window: its template, the download procedure's window callbacks,
// the cancel command, the About box, the console viewer and the minimised icon.
#include "maindlg.h"

#include "aboutdlg.h"
#include "loaderwin.h"
#include "resource.h"
#include "stdoutdlg.h"

#include <commctrl.h>

// --- the download procedure's window

static MainDlg* dlg_of(void* p_user) {
    return static_cast<MainDlg*>(p_user);
}

static void win_set_step(void* p_user, const char* p_text) {
    SetWindowTextA(dlg_of(p_user)->m_ctlStatusStep, p_text);
}

static void win_set_detail(void* p_user, const char* p_text) {
    SetWindowTextA(dlg_of(p_user)->m_ctlStatusDetail, p_text);
}

static void win_set_progress(void* p_user, int32_t percent) {
    SendMessageA(dlg_of(p_user)->m_ctlProgress, PBM_SETPOS, static_cast<WPARAM>(percent), 0);
}

static void win_enable_download(void* p_user, int32_t is_enabled) {
    EnableWindow(GetDlgItem(dlg_of(p_user)->m_hWnd, IDC_DOWNLOAD), is_enabled != 0);
}

static int32_t win_message_box(void* p_user, const char* p_text, const char* p_caption,
                               uint32_t type) {
    return MessageBoxA(dlg_of(p_user)->m_hWnd, p_text, p_caption, type);
}

// The name comes from the port table at the list's index, not from its text.
static const char* win_get_port(void* p_user) {
    LRESULT i = SendMessageA(dlg_of(p_user)->m_ctlComPort, CB_GETCURSEL, 0, 0);
    return dl_port_name(static_cast<int32_t>(i));
}

// --- the window

MainDlg::MainDlg() : Dialog(IDD_MAIN), DlWindow() {
    HINSTANCE hInst = GetModuleHandleA(nullptr);
    m_hIcon =
        static_cast<HICON>(LoadImageA(hInst, MAKEINTRESOURCEA(IDR_MAINFRAME), IMAGE_ICON,
                                      GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON), 0));
    m_hIconSmall = static_cast<HICON>(LoadImageA(hInst, MAKEINTRESOURCEA(IDR_MAINFRAME), IMAGE_ICON,
                                                 GetSystemMetrics(SM_CXSMICON),
                                                 GetSystemMetrics(SM_CYSMICON), 0));
    m_pStdoutDlg = new StdoutDlg(this);

    // DlWindow() left every other field zero: no abort check (the Close button
    // sets m_bAbort through the message pump), not busy, no abort.
    p_user = this;
    cb_set_step = win_set_step;
    cb_set_detail = win_set_detail;
    cb_set_progress = win_set_progress;
    cb_enable_download = win_enable_download;
    cb_message_box = win_message_box;
    cb_get_port = win_get_port;
}

MainDlg::~MainDlg() {
    delete m_pStdoutDlg;
    m_pStdoutDlg = nullptr;
    DestroyWindow();
    if (m_hIcon) DestroyIcon(m_hIcon);
    if (m_hIconSmall) DestroyIcon(m_hIconSmall);
}

void MainDlg::DoDataExchange() {
    m_ctlProgress = GetDlgItem(m_hWnd, IDC_PROGRESS);
    m_ctlStatusDetail = GetDlgItem(m_hWnd, IDC_STATUS_DETAIL);
    m_ctlStatusStep = GetDlgItem(m_hWnd, IDC_STATUS_STEP);
    m_editVersion = GetDlgItem(m_hWnd, IDC_VERSION);
    m_editTitle = GetDlgItem(m_hWnd, IDC_TITLE);
    m_ctlComPort = GetDlgItem(m_hWnd, IDC_COM_PORT);
}

BOOL MainDlg::OnInitDialog() {
    DoDataExchange();
    char about[64] = "";
    LoadStringA(GetModuleHandleA(nullptr), IDS_ABOUTBOX, about, sizeof about);
    if (about[0]) {
        HMENU hMenu = GetSystemMenu(m_hWnd, FALSE);
        if (hMenu) {
            AppendMenuA(hMenu, MF_SEPARATOR, 0, nullptr);
            AppendMenuA(hMenu, MF_STRING, IDM_ABOUTBOX, about);
        }
    }
    SendMessageA(m_hWnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));
    SendMessageA(m_hWnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_hIconSmall));
    SendMessageA(m_ctlProgress, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
    show_ready(this);
    SetWindowTextA(m_editTitle, k_lw_title);
    SetWindowTextA(m_editVersion, k_lw_version);
    SendMessageA(m_ctlComPort, CB_SETCURSEL, 0, 0);
    return TRUE;
}

BOOL MainDlg::OnSysCommand(UINT nID, LPARAM lParam) {
    (void)lParam;
    if ((nID & 0xFFF0) != IDM_ABOUTBOX) return FALSE;
    AboutDlg dlgAbout;
    dlgAbout.DoModal(m_hWnd);
    return TRUE;
}

BOOL MainDlg::OnPaint() {
    if (!IsIconic(m_hWnd)) return FALSE;
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(m_hWnd, &ps);
    SendMessageA(m_hWnd, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
    int cxIcon = GetSystemMetrics(SM_CXICON);
    int cyIcon = GetSystemMetrics(SM_CYICON);
    RECT rect;
    GetClientRect(m_hWnd, &rect);
    int x = main_icon_x(rect.right - rect.left, cxIcon);
    int y = main_icon_y(rect.bottom - rect.top, cyIcon);
    DrawIcon(dc, x, y, m_hIcon);
    EndPaint(m_hWnd, &ps);
    return TRUE;
}

void MainDlg::OnStdout() {
    if (!m_pStdoutDlg->GetSafeHwnd()) m_pStdoutDlg->Create(m_hWnd);
    lw_log_stdout_opened();
}

LRESULT MainDlg::OnCloseStdout(WPARAM wParam, LPARAM lParam) {
    (void)wParam;
    (void)lParam;
    m_pStdoutDlg->DestroyWindow();
    return 0;
}

void MainDlg::OnDownload() {
    lw_on_download(this, &m_bInDownload, &m_report);
}

void MainDlg::OnCancel() {
    if (on_cancel(this)) EndDialog(IDCANCEL);
}

BOOL MainDlg::OnMessage(UINT msg, WPARAM wParam, LPARAM lParam, INT_PTR* p_result) {
    switch (msg) {
    case WM_CLOSE_STDOUT:
        *p_result = OnCloseStdout(wParam, lParam);
        return TRUE;
    case WM_SYSCOMMAND:
        *p_result = 0;
        return OnSysCommand(static_cast<UINT>(wParam), lParam);
    case WM_PAINT:
        *p_result = 0;
        return OnPaint();
    case WM_QUERYDRAGICON:
        *p_result = reinterpret_cast<INT_PTR>(OnQueryDragIcon());
        return TRUE;
    case WM_COMMAND:
        if (HIWORD(wParam) == BN_CLICKED && LOWORD(wParam) == IDC_STDOUT) {
            OnStdout();
            *p_result = 0;
            return TRUE;
        }
        if (HIWORD(wParam) == BN_CLICKED && LOWORD(wParam) == IDC_DOWNLOAD) {
            OnDownload();
            *p_result = 0;
            return TRUE;
        }
        break;
    default:
        break;
    }
    return Dialog::OnMessage(msg, wParam, lParam, p_result);
}
