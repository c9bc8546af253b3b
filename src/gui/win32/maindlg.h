// The main window (template 102): title and version, the COM port choice, the
// Download button, two status lines with a progress bar, Close, the About box
// through the system menu, and the (hidden) Stdout button of the console
// viewer.
//
// The window is the download procedure's window (DlWindow, download.h): its
// callbacks drive the status lines, the bar, the Download button, the message
// boxes and the port choice, and m_bBusy / m_bAbort are its own fields.
#pragma once

#include "dialog.h"

#include "download.h"

class StdoutDlg;

class MainDlg : public Dialog, public DlWindow {
  public:
    // Loads the icon, makes the console viewer object (its window comes with
    // OnStdout), clears m_bBusy and m_bAbort.
    MainDlg();
    ~MainDlg() override;

    // The About item (command 16, low four bits ignored) opens the About
    // box; FALSE for every other command (the default handling runs).
    BOOL OnSysCommand(UINT nID, LPARAM lParam);
    // Minimised: the icon centred on the window's background. FALSE when not
    // minimised (the default painting runs).
    BOOL OnPaint();
    HICON OnQueryDragIcon() const { return m_hIcon; }
    // Opens the console viewer's window unless it is open, then logs
    // "foo=%08x" with the address of the root's memory image.
    void OnStdout();
    // The download procedure with this window.
    void OnDownload();
    // Message 1034 from the viewer: destroys its window. 0.
    LRESULT OnCloseStdout(WPARAM wParam, LPARAM lParam);
    StdoutDlg* GetStdoutDlg() const { return m_pStdoutDlg; }
    const DlReport& GetLastReport() const { return m_report; }

    HWND m_ctlProgress = nullptr;
    HWND m_ctlStatusDetail = nullptr;
    HWND m_ctlStatusStep = nullptr;
    HWND m_editVersion = nullptr;
    HWND m_editTitle = nullptr;
    HWND m_ctlComPort = nullptr;
    StdoutDlg* m_pStdoutDlg = nullptr;
    HICON m_hIcon = nullptr;
    HICON m_hIconSmall = nullptr;

  protected:
    void DoDataExchange();
    BOOL OnInitDialog() override;
    // The cancel command (Close, Escape, the close box): closes the window
    // when no download runs, else asks whether to interrupt it.
    void OnCancel() override;
    // Enter: the window has no default button to press.
    void OnOK() override {}
    BOOL OnMessage(UINT msg, WPARAM wParam, LPARAM lParam, INT_PTR* p_result) override;

  private:
    int32_t m_bInDownload = 0;
    DlReport m_report = {DL_OK, 0, 0};
};
