// The main window (Qt): title and version, the COM port choice, the Download
// button, two status lines with a progress bar, Close, the About box through
// the system menu (or the context menu where the window manager owns the
// system menu), and the (hidden) Stdout button of the console viewer.
//
// The window is the download procedure's window (DlWindow, download.h): its
// callbacks drive the status lines, the bar, the Download button, the message
// boxes and the port choice, and m_bBusy / m_bAbort are its own fields.
#pragma once

#include "download.h"

#include <QDialog>
#include <QIcon>

class QComboBox;
class QContextMenuEvent;
class QLabel;
class QLineEdit;
class QMenu;
class QProgressBar;
class QPushButton;
class StdoutDlg;

class MainDlg : public QDialog, public DlWindow {
    Q_OBJECT
  public:
    // Loads the icon, builds the controls of the main window's template and
    // the console viewer object (its window comes with OnStdout), clears
    // m_bBusy and m_bAbort.
    explicit MainDlg(QWidget* pParent = nullptr);
    ~MainDlg() override;

    // The About item (command 16, low four bits ignored) opens the About box;
    // every other command gets the window's default behaviour.
    void OnSysCommand(unsigned nID, qintptr lParam);
    // The icon of the minimised window.
    QIcon OnQueryDragIcon() const { return m_hIcon; }
    // Opens the console viewer's window unless it is open, then logs
    // "foo=%08x" with the address of the root's memory image.
    void OnStdout();
    // The download procedure with this window.
    void OnDownload();
    // The cancel command (Close, Escape, the close box): closes the window
    // when no download runs, else asks whether to interrupt it.
    void OnCancel();
    // Message 1034 from the viewer: destroys its window. 0.
    qintptr OnCloseStdout(quintptr wParam, qintptr lParam);

    // The window's context menu: the About item, offered here where the
    // system menu belongs to the window manager (none where the native
    // system menu carries it).
    QMenu* CreateContextMenu();
    StdoutDlg* GetStdoutDlg() const { return m_pStdoutDlg; }
    // The outcome of the last download.
    const DlReport& GetLastReport() const { return m_report; }

    QProgressBar* m_ctlProgress = nullptr;
    QLabel* m_ctlStatusDetail = nullptr;
    QLabel* m_ctlStatusStep = nullptr;
    QLineEdit* m_editVersion = nullptr;
    QLineEdit* m_editTitle = nullptr;
    QComboBox* m_ctlComPort = nullptr;
    StdoutDlg* m_pStdoutDlg = nullptr;
    QIcon m_hIcon;

  protected:
    void DoDataExchange();
    virtual bool OnInitDialog();
    // Draws the icon centred when minimised, else the default painting.
    void OnPaint();

    void reject() override;
    bool event(QEvent* e) override;
    void showEvent(QShowEvent* e) override;
    void closeEvent(QCloseEvent* e) override;
    void paintEvent(QPaintEvent* e) override;
    void contextMenuEvent(QContextMenuEvent* e) override;
    bool nativeEvent(const QByteArray& eventType, void* message, qintptr* result) override;

  private:
    bool m_bInitDone = false;
    bool m_bEnding = false; // the dialog is being ended by OnCancel
    int32_t m_bInDownload = 0;
    int m_bSysMenuNative = 0;
    DlReport m_report = {DL_OK, 0, 0};
    QPushButton* m_btnDownload = nullptr;
};

#include "loaderwin.h" // main_icon_x, main_icon_y
