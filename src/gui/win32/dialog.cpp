// The dialog framework: template to window, the modal loop, message dispatch.
#include "dialog.h"

#include <cstdint>
#include <cstring>

enum {
    RT_DLGINIT_ID = 240,          // resource type of a template's initialisation data
    DLGINIT_CB_ADDSTRING = 0x403, // its code for adding a string to a combo box
};

Dialog::~Dialog() {
    DestroyWindow();
}

INT_PTR CALLBACK Dialog::DialogProc(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    Dialog* p = nullptr;
    if (msg == WM_INITDIALOG) {
        p = reinterpret_cast<Dialog*>(lParam);
        p->m_hWnd = hWnd;
        SetWindowLongPtrA(hWnd, DWLP_USER, lParam);
        dlg_exec_init(hWnd, p->m_nIDTemplate);
        return p->OnInitDialog();
    }
    p = reinterpret_cast<Dialog*>(GetWindowLongPtrA(hWnd, DWLP_USER));
    if (!p) return FALSE;
    if (msg == WM_NCDESTROY) {
        p->m_hWnd = nullptr;
        return FALSE;
    }
    INT_PTR result = 0;
    if (!p->OnMessage(msg, wParam, lParam, &result)) return FALSE;
    // Messages whose answer is the procedure's own result; the others answer
    // through the message result.
    switch (msg) {
    case WM_QUERYDRAGICON:
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORDLG:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLOREDIT:
        return result;
    default:
        SetWindowLongPtrA(hWnd, DWLP_MSGRESULT, result);
        return TRUE;
    }
}

BOOL Dialog::OnMessage(UINT msg, WPARAM wParam, LPARAM lParam, INT_PTR* p_result) {
    (void)lParam;
    if (msg != WM_COMMAND || HIWORD(wParam) != BN_CLICKED) return FALSE;
    *p_result = 0;
    switch (LOWORD(wParam)) {
    case IDOK:
        OnOK();
        return TRUE;
    case IDCANCEL:
        OnCancel();
        return TRUE;
    default:
        return FALSE;
    }
}

INT_PTR Dialog::DoModal(HWND hOwner) {
    if (m_hWnd) return -1;
    m_bModal = TRUE;
    m_bEndModal = FALSE;
    m_nModalResult = -1;
    HWND h = CreateDialogParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(m_nIDTemplate), hOwner,
                                DialogProc, reinterpret_cast<LPARAM>(this));
    if (!h) {
        m_bModal = FALSE;
        return -1;
    }
    BOOL bOwnerEnabled = hOwner && IsWindowEnabled(hOwner);
    if (bOwnerEnabled) EnableWindow(hOwner, FALSE);
    ShowWindow(h, SW_SHOW);
    MSG msg;
    while (!m_bEndModal && m_hWnd) {
        BOOL r = GetMessageA(&msg, nullptr, 0, 0);
        if (r == 0) {
            // The program's quit request: leave it for the outer loop.
            PostQuitMessage(static_cast<int>(msg.wParam));
            break;
        }
        if (r < 0) break;
        // The keyboard of whichever dialog the message is for (Tab, Enter,
        // Escape), modeless ones included.
        HWND hRoot = msg.hwnd ? GetAncestor(msg.hwnd, GA_ROOT) : nullptr;
        if (hRoot && IsDialogMessageA(hRoot, &msg)) continue;
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    // The owner comes back before the dialog goes, so it gets the activation.
    if (bOwnerEnabled) EnableWindow(hOwner, TRUE);
    DestroyWindow();
    m_bModal = FALSE;
    return m_nModalResult;
}

BOOL Dialog::Create(HWND hOwner) {
    if (m_hWnd) return FALSE;
    HWND h = CreateDialogParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(m_nIDTemplate), hOwner,
                                DialogProc, reinterpret_cast<LPARAM>(this));
    return h != nullptr;
}

void Dialog::EndDialog(INT_PTR nResult) {
    m_nModalResult = nResult;
    m_bEndModal = TRUE;
    // Wakes the modal loop.
    if (m_hWnd) PostMessageA(m_hWnd, WM_NULL, 0, 0);
}

void Dialog::DestroyWindow() {
    if (m_hWnd) ::DestroyWindow(m_hWnd);
    m_hWnd = nullptr;
}

int dlg_exec_init(HWND hWnd, UINT nIDTemplate) {
    HMODULE hModule = GetModuleHandleA(nullptr);
    HRSRC hRes =
        FindResourceA(hModule, MAKEINTRESOURCEA(nIDTemplate), MAKEINTRESOURCEA(RT_DLGINIT_ID));
    if (!hRes) return 0;
    const uint8_t* p = static_cast<const uint8_t*>(LockResource(LoadResource(hModule, hRes)));
    DWORD n = SizeofResource(hModule, hRes);
    if (!p) return 0;
    // Entries: control id (16 bits), code (16 bits), length (32 bits), data;
    // unaligned, little-endian; a control id of 0 ends the list.
    int n_sent = 0;
    DWORD i = 0;
    while (i + 8 <= n) {
        unsigned id = p[i] | (p[i + 1] << 8);
        if (id == 0) break;
        unsigned code = p[i + 2] | (p[i + 3] << 8);
        DWORD l =
            p[i + 4] | (p[i + 5] << 8) | (p[i + 6] << 16) | (static_cast<DWORD>(p[i + 7]) << 24);
        i += 8;
        if (l > n - i) break;
        if (code == DLGINIT_CB_ADDSTRING && l > 0 && p[i + l - 1] == 0) {
            SendDlgItemMessageA(hWnd, static_cast<int>(id), CB_ADDSTRING, 0,
                                reinterpret_cast<LPARAM>(p + i));
            n_sent++;
        }
        i += l;
    }
    return n_sent;
}
