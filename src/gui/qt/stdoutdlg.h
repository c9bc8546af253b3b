// The console viewer "Stdout": shows the rows of the debug terminal, and so
// the log of the whole system, in a list that follows the newest output.
//
// The object lives as long as the main window; its window is created by
// Create and destroyed again on the owner's request (message 1034), and can
// be created anew any number of times. While the window exists it polls the
// terminal every 100 ms and refreshes the list only when the terminal's
// change count has moved.
#pragma once

#include <QObject>
#include <QPointer>

#include <cstdint>

class MainDlg;
class QDialog;
class QTreeWidget;
struct DbTerm;
class StdoutWnd;

class StdoutDlg : public QObject {
    Q_OBJECT
  public:
    // No window yet; m_pDbTerm null, m_nChangeSeen -1.
    explicit StdoutDlg(MainDlg* pOwner);
    ~StdoutDlg() override;

    // Creates the window (modeless, visible, owned by pParent) from its
    // template and runs OnInitDialog. false when it already exists.
    bool Create(QWidget* pParent);
    // Destroys the window with its list and timer; the object stays.
    void DestroyWindow();
    // The window, or null while there is none.
    QDialog* GetSafeHwnd() const;

    // Copies the terminal's rows into the list when the change count moved
    // (always with first set, which also puts the column in). 1.
    int32_t RefreshList(int32_t first);

    // The timer message; any id refreshes.
    void OnTimer(int nIDEvent);
    // The cancel command (Close, Escape, close box): asks the owner to
    // destroy the window (message 1034, wParam 2); without an owner the
    // window just ends.
    void OnCancel();

    MainDlg* m_pOwner;
    DbTerm* m_pDbTerm;
    int32_t m_nChangeSeen;
    QTreeWidget* m_ctlList;

  protected:
    void DoDataExchange();
    bool OnInitDialog();

  private:
    QPointer<StdoutWnd> m_pWnd;
    int m_nTimer = 0;
};
