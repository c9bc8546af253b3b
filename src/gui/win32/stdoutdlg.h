// The console viewer "Stdout" (template 143): the rows of the debug terminal,
// and so the log of the whole system, in a report-mode list view that follows
// the newest output.
//
// The object lives as long as the main window; its window is created by
// Create and destroyed again on the owner's request (message 1034), and can
// be created anew any number of times. While the window exists, timer 1
// polls the terminal every 100 ms and the list is refreshed only when the
// terminal's change count has moved.
#pragma once

#include "dialog.h"

#include <cstdint>

class MainDlg;
struct DbTerm;

class StdoutDlg : public Dialog {
  public:
    // No window yet; m_pDbTerm null, m_nChangeSeen -1.
    explicit StdoutDlg(MainDlg* pOwner);

    // Copies the terminal's rows into the list when the change count moved
    // (always with first set, which also puts the column in). 1.
    int32_t RefreshList(int32_t first);
    // The timer message; any id refreshes.
    void OnTimer(UINT_PTR nIDEvent);

    MainDlg* m_pOwner;
    DbTerm* m_pDbTerm;
    int32_t m_nChangeSeen;
    HWND m_ctlList = nullptr;

  protected:
    void DoDataExchange();
    BOOL OnInitDialog() override;
    // The cancel command (Close, Escape, close box): asks the owner to
    // destroy the window (message 1034, wParam 2); without an owner the
    // window just goes.
    void OnCancel() override;
    BOOL OnMessage(UINT msg, WPARAM wParam, LPARAM lParam, INT_PTR* p_result) override;
};
