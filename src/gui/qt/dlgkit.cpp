// Dialog kit: templates into widgets, dialog units, ids and posted messages.
#include "dlgkit.h"

#include "appicon.h"
#include "resource.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QDialog>
#include <QFontMetrics>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTreeWidget>

static const char k_id_property[] = "dlgId";

QFont dlg_font() {
    QFont font(QStringLiteral("MS Sans Serif"), 8);
    font.setStyleHint(QFont::SansSerif);
    return font;
}

// a * b / c rounded half away from zero, as the dialog manager's MulDiv.
static int mul_div(int a, int b, int c) {
    long long p = static_cast<long long>(a) * b;
    long long half = c / 2;
    return static_cast<int>(p >= 0 ? (p + half) / c : (p - half) / c);
}

DlgBaseUnits dlg_base_units(const QFont& font) {
    QFontMetrics fm(font);
    int w = fm.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    DlgBaseUnits u;
    u.cx = (w / 26 + 1) / 2;
    u.cy = fm.height();
    if (u.cx < 1) u.cx = 1;
    if (u.cy < 1) u.cy = 1;
    return u;
}

int dlg_units_to_px_x(const DlgBaseUnits& u, int x) {
    return mul_div(x, u.cx, 4);
}
int dlg_units_to_px_y(const DlgBaseUnits& u, int y) {
    return mul_div(y, u.cy, 8);
}

QRect dlg_units_to_rect(const DlgBaseUnits& u, int x, int y, int cx, int cy) {
    int left = dlg_units_to_px_x(u, x);
    int top = dlg_units_to_px_y(u, y);
    return QRect(left, top, dlg_units_to_px_x(u, cx), dlg_units_to_px_y(u, cy));
}

static QString text_of(const char* p_text) {
    return p_text ? QString::fromLocal8Bit(p_text) : QString();
}

// Creates one control of a template (without placing it).
static QWidget* create_item(QDialog* p_dlg, const DlgItem& item) {
    QString text = text_of(item.p_text);
    switch (item.kind) {
    case DLG_PUSH:
    case DLG_DEFPUSH: {
        auto* p = new QPushButton(text, p_dlg);
        p->setDefault(item.kind == DLG_DEFPUSH);
        return p;
    }
    case DLG_COMBO_LIST: {
        auto* p = new QComboBox(p_dlg);
        p->setEditable(false);
        for (const char* const* pp = item.p_init; pp && *pp; pp++)
            p->addItem(text_of(*pp));
        // The list's scroll bar stays in place (disabled) rather than coming and going.
        if (auto* p_view = p->view()) p_view->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
        return p;
    }
    case DLG_LABEL:
    case DLG_LABEL_RIGHT: {
        auto* p = new QLabel(text, p_dlg);
        p->setTextFormat(Qt::PlainText);
        p->setAlignment((item.kind == DLG_LABEL_RIGHT ? Qt::AlignRight : Qt::AlignLeft) |
                        Qt::AlignTop);
        return p;
    }
    case DLG_EDIT_RO: {
        auto* p = new QLineEdit(text, p_dlg);
        p->setReadOnly(true);
        p->setFrame(true);
        return p;
    }
    case DLG_GROUP:
        return new QGroupBox(text, p_dlg);
    case DLG_PROGRESS: {
        auto* p = new QProgressBar(p_dlg);
        p->setRange(0, 100);
        p->setValue(0);
        p->setTextVisible(false);
        return p;
    }
    case DLG_REPORT_LIST: {
        auto* p = new QTreeWidget(p_dlg);
        p->setColumnCount(0);
        p->setHeaderHidden(true);
        p->setRootIsDecorated(false);
        p->setUniformRowHeights(true);
        p->setSortingEnabled(false);
        p->setSelectionMode(QAbstractItemView::SingleSelection);
        p->setFocusPolicy(Qt::StrongFocus);
        p->setFrameShape(QFrame::StyledPanel);
        return p;
    }
    case DLG_ICON: {
        auto* p = new QLabel(p_dlg);
        p->setPixmap(app_icon_pixmap(32));
        return p;
    }
    }
    return nullptr;
}

void dlg_create_from_template(QDialog* p_dlg, const DlgTemplate& tmpl) {
    p_dlg->setFont(dlg_font());
    p_dlg->setWindowTitle(text_of(tmpl.p_caption));
    p_dlg->setProperty(k_id_property, tmpl.id);
    DlgBaseUnits u = dlg_base_units(p_dlg->font());
    for (int i = 0; i < tmpl.n_items; i++) {
        const DlgItem& item = tmpl.p_items[i];
        QWidget* p_w = create_item(p_dlg, item);
        if (!p_w) continue;
        p_w->setProperty(k_id_property, item.id);
        QRect r = dlg_units_to_rect(u, item.x, item.y, item.cx, item.cy);
        if (item.kind == DLG_COMBO_LIST) {
            // The height of a drop-down list is that of its open list; closed,
            // the box is as high as its font needs.
            r.setHeight(p_w->sizeHint().height());
        } else if (item.kind == DLG_ICON) {
            r.setSize(QSize(32, 32));
        }
        p_w->setGeometry(r);
        if (item.is_hidden) p_w->hide();
    }
    p_dlg->setFixedSize(dlg_units_to_px_x(u, tmpl.cx), dlg_units_to_px_y(u, tmpl.cy));
}

int dlg_get_id(const QWidget* p_w) {
    if (!p_w) return IDC_STATIC;
    QVariant v = p_w->property(k_id_property);
    return v.isValid() ? v.toInt() : IDC_STATIC;
}

QWidget* dlg_item(const QWidget* p_dlg, int id) {
    if (!p_dlg || id == IDC_STATIC) return nullptr;
    const auto children = p_dlg->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly);
    for (QWidget* p_w : children)
        if (dlg_get_id(p_w) == id) return p_w;
    return nullptr;
}

DlgMsgEvent::DlgMsgEvent(unsigned msg, quintptr wParam, qintptr lParam)
    : QEvent(event_type()), m_msg(msg), m_wParam(wParam), m_lParam(lParam) {}

QEvent::Type DlgMsgEvent::event_type() {
    static const QEvent::Type type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}

int dlg_post_message(QObject* p_to, unsigned msg, quintptr wParam, qintptr lParam) {
    if (!p_to) return 0;
    QCoreApplication::postEvent(p_to, new DlgMsgEvent(msg, wParam, lParam));
    return 1;
}
