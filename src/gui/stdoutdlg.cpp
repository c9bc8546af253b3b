// The console viewer: its window, the 100 ms poll and the list refresh.
#include "stdoutdlg.h"

#include "dlgkit.h"
#include "maindlg.h"
#include "resource.h"

#include "dbterm.h"
#include "root.h"
#include "strx.h"

#include <QCloseEvent>
#include <QDialog>
#include <QPushButton>
#include <QTimerEvent>
#include <QTreeWidget>

static const DlgItem k_stdout_items[] = {
    {IDC_STDOUT_LIST, DLG_REPORT_LIST, nullptr, 5, 5, 295, 375, 0, nullptr},
    {IDCANCEL, DLG_PUSH, "Close", 7, 386, 50, 14, 0, nullptr},
};

static const DlgTemplate k_stdout = {
    IDD_STDOUT, "Stdout", 307, 407, k_stdout_items, sizeof k_stdout_items / sizeof *k_stdout_items};

enum { STDOUT_TIMER_MS = 100, STDOUT_COLUMN_WIDTH = 1000 };

// The viewer's window: hands its cancel command and timer to the viewer object.
class StdoutWnd : public QDialog {
  public:
    StdoutWnd(StdoutDlg* p_dlg, QWidget* p_parent) : QDialog(p_parent), m_pDlg(p_dlg) {
        dlg_create_from_template(this, k_stdout);
        if (auto* p_b = qobject_cast<QPushButton*>(dlg_item(this, IDCANCEL)))
            connect(p_b, &QPushButton::clicked, this, [this] { m_pDlg->OnCancel(); });
    }
    // The ordinary end of a dialog without an owner.
    void EndDialog() {
        m_bEnding = true;
        QDialog::reject();
        m_bEnding = false;
    }

  protected:
    void reject() override { m_pDlg->OnCancel(); }
    void closeEvent(QCloseEvent* e) override {
        if (m_bEnding) {
            e->accept();
            return;
        }
        e->ignore();
        m_pDlg->OnCancel();
    }
    void timerEvent(QTimerEvent* e) override { m_pDlg->OnTimer(e->timerId()); }

  private:
    StdoutDlg* m_pDlg;
    bool m_bEnding = false;
};

StdoutDlg::StdoutDlg(MainDlg* pOwner)
    : m_pOwner(pOwner), m_pDbTerm(nullptr), m_nChangeSeen(-1), m_ctlList(nullptr) {}

StdoutDlg::~StdoutDlg() {
    DestroyWindow();
}

bool StdoutDlg::Create(QWidget* pParent) {
    if (m_pWnd) return false;
    m_pWnd = new StdoutWnd(this, pParent);
    m_pWnd->setAttribute(Qt::WA_DeleteOnClose, false);
    DoDataExchange();
    OnInitDialog();
    m_pWnd->show();
    return true;
}

void StdoutDlg::DestroyWindow() {
    if (m_pWnd) {
        m_pWnd->killTimer(m_nTimer);
        delete m_pWnd.data();
    }
    m_pWnd = nullptr;
    m_nTimer = 0;
    m_ctlList = nullptr;
}

QDialog* StdoutDlg::GetSafeHwnd() const {
    return m_pWnd.data();
}

void StdoutDlg::DoDataExchange() {
    m_ctlList = qobject_cast<QTreeWidget*>(dlg_item(m_pWnd, IDC_STDOUT_LIST));
}

bool StdoutDlg::OnInitDialog() {
    m_pDbTerm = Root_get_p_db_term(get_p_root());
    RefreshList(1);
    m_nTimer = m_pWnd->startTimer(STDOUT_TIMER_MS);
    return true;
}

void StdoutDlg::OnTimer(int nIDEvent) {
    (void)nIDEvent;
    RefreshList(0);
}

void StdoutDlg::OnCancel() {
    if (m_pOwner) {
        dlg_post_message(m_pOwner, WM_CLOSE_STDOUT, 2, 0);
        return;
    }
    if (m_pWnd) m_pWnd->EndDialog();
}

int32_t StdoutDlg::RefreshList(int32_t first) {
    if (!m_ctlList) return 1;
    if (first) {
        m_ctlList->setColumnCount(1);
        m_ctlList->setHeaderLabels({QStringLiteral("Stdout")});
        m_ctlList->headerItem()->setTextAlignment(0, Qt::AlignLeft);
        m_ctlList->setColumnWidth(0, STDOUT_COLUMN_WIDTH);
        m_nChangeSeen = -1;
    }
    int n = DbTerm_to_string(m_pDbTerm, m_nChangeSeen);
    if (n < 0) return 1;

    DbTerm_enter(m_pDbTerm);
    DbTerm* p = m_pDbTerm;
    int i_last = 0;
    int n_items = m_ctlList->topLevelItemCount();
    for (int i = 0; i < p->ny_scr; i++) {
        const char* p_row = p->p_scr + ((p->i_top + i) % p->ny_scr) * p->l_row;
        QString text = QString::fromLocal8Bit(p_row);
        if (i < n_items) {
            m_ctlList->topLevelItem(i)->setText(0, text);
        } else {
            auto* p_item = new QTreeWidgetItem();
            p_item->setText(0, text);
            m_ctlList->insertTopLevelItem(i, p_item);
        }
        if (strx_len_trim(p_row) > 0) i_last = i;
    }
    DbTerm_exit(m_pDbTerm);
    m_nChangeSeen = n;

    if (QTreeWidgetItem* p_item = m_ctlList->topLevelItem(i_last))
        m_ctlList->scrollToItem(p_item, QAbstractItemView::EnsureVisible);
    return 1;
}
