// The main window: its template, the download procedure's window callbacks,
// the cancel command, the About box, the console viewer and the minimised icon.
#include "maindlg.h"

#include "aboutdlg.h"
#include "appicon.h"
#include "dlgkit.h"
#include "loaderwin.h"
#include "msgbox.h"
#include "resource.h"
#include "stdoutdlg.h"
#include "sysmenu.h"

#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QStyle>

static const char* const k_com_ports[] = {"COM1", "COM2", "COM3", "COM4", "COM5",
                                          "COM6", "COM7", "COM8", nullptr};

static const DlgItem k_main_items[] = {
    {IDCANCEL, DLG_PUSH, "Close", 245, 7, 50, 14, 0, nullptr},
    {IDC_DOWNLOAD, DLG_PUSH, "Download", 90, 75, 50, 14, 0, nullptr},
    {IDC_COM_PORT, DLG_COMBO_LIST, nullptr, 89, 47, 48, 102, 0, k_com_ports},
    {IDC_STATIC, DLG_LABEL_RIGHT, "COM-Port", 41, 49, 45, 8, 0, nullptr},
    {IDC_TITLE, DLG_EDIT_RO, nullptr, 89, 7, 120, 14, 0, nullptr},
    {IDC_STATIC, DLG_LABEL_RIGHT, "Software-Title", 27, 10, 59, 8, 0, nullptr},
    {IDC_STDOUT, DLG_PUSH, "Stdout", 245, 152, 50, 14, 1, nullptr},
    {IDC_STATIC, DLG_GROUP, "Status", 7, 106, 223, 60, 0, nullptr},
    {IDC_PROGRESS, DLG_PROGRESS, nullptr, 15, 150, 205, 10, 0, nullptr},
    {IDC_STATUS_STEP, DLG_LABEL, "ready", 15, 120, 204, 8, 0, nullptr},
    {IDC_STATUS_DETAIL, DLG_LABEL, "ready", 15, 135, 205, 8, 0, nullptr},
    {IDC_VERSION, DLG_EDIT_RO, nullptr, 89, 27, 120, 14, 0, nullptr},
    {IDC_STATIC, DLG_LABEL_RIGHT, "Software-Version", 27, 30, 59, 8, 0, nullptr},
};

static const DlgTemplate k_main = {
    IDD_MAIN, k_lw_caption, 302, 173, k_main_items, sizeof k_main_items / sizeof *k_main_items};

// System commands a window answers by default.
enum { SC_MINIMIZE = 0xF020, SC_CLOSE = 0xF060, SC_RESTORE = 0xF120 };

// --- the download procedure's window

static MainDlg* dlg_of(void* p_user) {
    return static_cast<MainDlg*>(p_user);
}

static void win_set_step(void* p_user, const char* p_text) {
    dlg_of(p_user)->m_ctlStatusStep->setText(QString::fromLocal8Bit(p_text));
}

static void win_set_detail(void* p_user, const char* p_text) {
    dlg_of(p_user)->m_ctlStatusDetail->setText(QString::fromLocal8Bit(p_text));
}

static void win_set_progress(void* p_user, int32_t percent) {
    dlg_of(p_user)->m_ctlProgress->setValue(percent);
}

static void win_enable_download(void* p_user, int32_t is_enabled) {
    if (QWidget* p_b = dlg_item(dlg_of(p_user), IDC_DOWNLOAD)) p_b->setEnabled(is_enabled != 0);
}

static int32_t win_message_box(void* p_user, const char* p_text, const char* p_caption,
                               uint32_t type) {
    return dlg_message_box(dlg_of(p_user), p_text, p_caption, type);
}

// The name comes from the port table at the list's index, not from its text.
static const char* win_get_port(void* p_user) {
    return dl_port_name(dlg_of(p_user)->m_ctlComPort->currentIndex());
}

// --- the window

MainDlg::MainDlg(QWidget* pParent) : QDialog(pParent), DlWindow() {
    m_hIcon = app_icon();
    dlg_create_from_template(this, k_main);
    // Caption, system menu and close box: the template has no minimise box.
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);
    DoDataExchange();
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

    if (auto* p_b = qobject_cast<QPushButton*>(dlg_item(this, IDCANCEL)))
        connect(p_b, &QPushButton::clicked, this, &MainDlg::OnCancel);
    if (auto* p_b = qobject_cast<QPushButton*>(dlg_item(this, IDC_DOWNLOAD))) {
        m_btnDownload = p_b;
        connect(p_b, &QPushButton::clicked, this, &MainDlg::OnDownload);
    }
    if (auto* p_b = qobject_cast<QPushButton*>(dlg_item(this, IDC_STDOUT)))
        connect(p_b, &QPushButton::clicked, this, &MainDlg::OnStdout);
}

MainDlg::~MainDlg() {
    delete m_pStdoutDlg;
    m_pStdoutDlg = nullptr;
}

void MainDlg::DoDataExchange() {
    m_ctlProgress = qobject_cast<QProgressBar*>(dlg_item(this, IDC_PROGRESS));
    m_ctlStatusDetail = qobject_cast<QLabel*>(dlg_item(this, IDC_STATUS_DETAIL));
    m_ctlStatusStep = qobject_cast<QLabel*>(dlg_item(this, IDC_STATUS_STEP));
    m_editVersion = qobject_cast<QLineEdit*>(dlg_item(this, IDC_VERSION));
    m_editTitle = qobject_cast<QLineEdit*>(dlg_item(this, IDC_TITLE));
    m_ctlComPort = qobject_cast<QComboBox*>(dlg_item(this, IDC_COM_PORT));
}

bool MainDlg::OnInitDialog() {
    QString about = QString::fromLatin1(k_lw_about_item);
    if (!about.isEmpty()) m_bSysMenuNative = sysmenu_append(this, IDM_ABOUTBOX, about);
    setWindowIcon(m_hIcon);
    show_ready(this);
    m_editTitle->setText(QString::fromLatin1(k_lw_title));
    m_editVersion->setText(QString::fromLatin1(k_lw_version));
    m_ctlComPort->setCurrentIndex(0);
    return true;
}

void MainDlg::showEvent(QShowEvent* e) {
    if (!m_bInitDone) {
        m_bInitDone = true;
        OnInitDialog();
    }
    QDialog::showEvent(e);
}

void MainDlg::OnSysCommand(unsigned nID, qintptr lParam) {
    (void)lParam;
    if ((nID & 0xFFF0) == IDM_ABOUTBOX) {
        AboutDlg dlgAbout(this);
        dlgAbout.exec();
        return;
    }
    // The window's own answers to the commands that reach it from elsewhere
    // than the native menu (which the platform handles itself).
    switch (nID & 0xFFF0) {
    case SC_CLOSE:
        close();
        break;
    case SC_MINIMIZE:
        showMinimized();
        break;
    case SC_RESTORE:
        showNormal();
        break;
    default:
        break;
    }
}

bool MainDlg::nativeEvent(const QByteArray& eventType, void* message, qintptr* result) {
    unsigned id = 0;
    qintptr param = 0;
    if (sysmenu_read_command(message, &id, &param) && (id & 0xFFF0) == IDM_ABOUTBOX) {
        OnSysCommand(id, param);
        if (result) *result = 0;
        return true;
    }
    return QDialog::nativeEvent(eventType, message, result);
}

QMenu* MainDlg::CreateContextMenu() {
    auto* p_menu = new QMenu(this);
    p_menu->addAction(QString::fromLatin1(k_lw_about_item), this,
                      [this] { OnSysCommand(IDM_ABOUTBOX, 0); });
    return p_menu;
}

void MainDlg::contextMenuEvent(QContextMenuEvent* e) {
    // Where the system menu carries the About item, nothing else offers it.
    if (m_bSysMenuNative) {
        QDialog::contextMenuEvent(e);
        return;
    }
    QMenu* p_menu = CreateContextMenu();
    p_menu->setAttribute(Qt::WA_DeleteOnClose);
    p_menu->popup(e->globalPos());
}

void MainDlg::OnPaint() {
    QPainter dc(this);
    // The icon's background: the window's own.
    dc.fillRect(rect(), palette().window());
    int cx_icon = style()->pixelMetric(QStyle::PM_LargeIconSize, nullptr, this);
    int cy_icon = cx_icon;
    QRect r = rect();
    int x = main_icon_x(r.width(), cx_icon);
    int y = main_icon_y(r.height(), cy_icon);
    m_hIcon.paint(&dc, QRect(x, y, cx_icon, cy_icon));
}

void MainDlg::paintEvent(QPaintEvent* e) {
    if (isMinimized()) {
        OnPaint();
        return;
    }
    QDialog::paintEvent(e);
}

void MainDlg::OnStdout() {
    if (!m_pStdoutDlg->GetSafeHwnd()) m_pStdoutDlg->Create(this);
    lw_log_stdout_opened();
}

qintptr MainDlg::OnCloseStdout(quintptr wParam, qintptr lParam) {
    (void)wParam;
    (void)lParam;
    m_pStdoutDlg->DestroyWindow();
    return 0;
}

bool MainDlg::event(QEvent* e) {
    if (e->type() == DlgMsgEvent::event_type()) {
        auto* p_msg = static_cast<DlgMsgEvent*>(e);
        if (p_msg->m_msg == WM_CLOSE_STDOUT) OnCloseStdout(p_msg->m_wParam, p_msg->m_lParam);
        return true;
    }
    return QDialog::event(e);
}

void MainDlg::OnDownload() {
    lw_on_download(this, &m_bInDownload, &m_report);
}

void MainDlg::OnCancel() {
    if (!on_cancel(this)) return;
    m_bEnding = true;
    QDialog::reject();
    m_bEnding = false;
}

void MainDlg::reject() {
    OnCancel();
}

void MainDlg::closeEvent(QCloseEvent* e) {
    if (m_bEnding) {
        e->accept();
        return;
    }
    // The close box is the cancel command; OnCancel decides whether to end.
    e->ignore();
    OnCancel();
}
