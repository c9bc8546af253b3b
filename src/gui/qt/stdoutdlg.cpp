// The console viewer: its window, the 100 ms poll and the list refresh.
#include "stdoutdlg.h"

#include "dlgkit.h"
#include "loaderwin.h"
#include "maindlg.h"
#include "resource.h"

#include "dbterm.h"
#include "root.h"

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
    m_nTimer = m_pWnd->startTimer(LW_STDOUT_TIMER_MS);
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

static void set_row(void* p_user, int i, const char* p_text) {
    QTreeWidget* p_list = static_cast<StdoutDlg*>(p_user)->m_ctlList;
    QString text = QString::fromLocal8Bit(p_text);
    if (QTreeWidgetItem* p_item = p_list->topLevelItem(i)) {
        p_item->setText(0, text);
        return;
    }
    auto* p_item = new QTreeWidgetItem();
    p_item->setText(0, text);
    p_list->insertTopLevelItem(i, p_item);
}

static void scroll_to(void* p_user, int i) {
    QTreeWidget* p_list = static_cast<StdoutDlg*>(p_user)->m_ctlList;
    if (QTreeWidgetItem* p_item = p_list->topLevelItem(i))
        p_list->scrollToItem(p_item, QAbstractItemView::EnsureVisible);
}

int32_t StdoutDlg::RefreshList(int32_t first) {
    if (!m_ctlList) return 1;
    if (first) {
        m_ctlList->setColumnCount(1);
        m_ctlList->setHeaderLabels({QStringLiteral("Stdout")});
        m_ctlList->headerItem()->setTextAlignment(0, Qt::AlignLeft);
        m_ctlList->setColumnWidth(0, LW_STDOUT_COLUMN_WIDTH);
        m_nChangeSeen = -1;
    }
    LwRows rows = {this, set_row, scroll_to};
    lw_refresh_rows(m_pDbTerm, &m_nChangeSeen, &rows);
    return 1;
}
