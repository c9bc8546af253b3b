// The console viewer: its window, the 100 ms poll and the list refresh.
#include "stdoutdlg.h"

#include "loaderwin.h"
#include "maindlg.h"
#include "resource.h"

#include "root.h"

#include <commctrl.h>

StdoutDlg::StdoutDlg(MainDlg* pOwner)
    : Dialog(IDD_STDOUT), m_pOwner(pOwner), m_pDbTerm(nullptr), m_nChangeSeen(-1) {}

void StdoutDlg::DoDataExchange() {
    m_ctlList = GetDlgItem(m_hWnd, IDC_STDOUT_LIST);
}

BOOL StdoutDlg::OnInitDialog() {
    DoDataExchange();
    m_pDbTerm = Root_get_p_db_term(get_p_root());
    RefreshList(1);
    SetTimer(m_hWnd, LW_STDOUT_TIMER_ID, LW_STDOUT_TIMER_MS, nullptr);
    return TRUE;
}

void StdoutDlg::OnTimer(UINT_PTR nIDEvent) {
    (void)nIDEvent;
    RefreshList(0);
}

void StdoutDlg::OnCancel() {
    if (m_pOwner && m_pOwner->m_hWnd) {
        PostMessageA(m_pOwner->m_hWnd, WM_CLOSE_STDOUT, 2, 0);
        return;
    }
    DestroyWindow();
}

BOOL StdoutDlg::OnMessage(UINT msg, WPARAM wParam, LPARAM lParam, INT_PTR* p_result) {
    if (msg == WM_TIMER) {
        OnTimer(wParam);
        *p_result = 0;
        return TRUE;
    }
    if (msg == WM_DESTROY) {
        KillTimer(m_hWnd, LW_STDOUT_TIMER_ID);
        m_ctlList = nullptr;
        return FALSE;
    }
    return Dialog::OnMessage(msg, wParam, lParam, p_result);
}

static void set_row(void* p_user, int i, const char* p_text) {
    HWND h = static_cast<StdoutDlg*>(p_user)->m_ctlList;
    LVITEMA item = {};
    item.mask = LVIF_TEXT;
    item.iItem = i;
    item.iSubItem = 0;
    item.pszText = const_cast<char*>(p_text);
    if (i < ListView_GetItemCount(h)) {
        SendMessageA(h, LVM_SETITEMTEXTA, i, reinterpret_cast<LPARAM>(&item));
    } else {
        SendMessageA(h, LVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&item));
    }
}

static void scroll_to(void* p_user, int i) {
    ListView_EnsureVisible(static_cast<StdoutDlg*>(p_user)->m_ctlList, i, FALSE);
}

int32_t StdoutDlg::RefreshList(int32_t first) {
    if (!m_ctlList) return 1;
    if (first) {
        LVCOLUMNA col = {};
        col.mask = LVCF_FMT | LVCF_WIDTH | LVCF_TEXT | LVCF_SUBITEM;
        col.fmt = LVCFMT_LEFT;
        col.cx = LW_STDOUT_COLUMN_WIDTH;
        col.pszText = const_cast<char*>("Stdout");
        SendMessageA(m_ctlList, LVM_INSERTCOLUMNA, 0, reinterpret_cast<LPARAM>(&col));
        m_nChangeSeen = -1;
    }
    LwRows rows = {this, set_row, scroll_to};
    lw_refresh_rows(m_pDbTerm, &m_nChangeSeen, &rows);
    return 1;
}
