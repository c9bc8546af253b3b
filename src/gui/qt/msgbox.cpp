// Message boxes: type values to QMessageBox, buttons back to answer ids.
#include "msgbox.h"

#include <QMessageBox>
#include <QPushButton>
#include <QString>

struct BoxButton {
    QMessageBox::StandardButton button;
    int32_t id;
};

// The buttons of a button code, in the order the platform shows them.
static int buttons_of(uint32_t code, BoxButton* p_out) {
    switch (code) {
    case DLG_MB_OKCANCEL:
        p_out[0] = {QMessageBox::Ok, DLG_IDOK};
        p_out[1] = {QMessageBox::Cancel, DLG_IDCANCEL};
        return 2;
    case DLG_MB_ABORTRETRYIGNORE:
        p_out[0] = {QMessageBox::Abort, DLG_IDABORT};
        p_out[1] = {QMessageBox::Retry, DLG_IDRETRY};
        p_out[2] = {QMessageBox::Ignore, DLG_IDIGNORE};
        return 3;
    case DLG_MB_YESNOCANCEL:
        p_out[0] = {QMessageBox::Yes, DLG_IDYES};
        p_out[1] = {QMessageBox::No, DLG_IDNO};
        p_out[2] = {QMessageBox::Cancel, DLG_IDCANCEL};
        return 3;
    case DLG_MB_YESNO:
        p_out[0] = {QMessageBox::Yes, DLG_IDYES};
        p_out[1] = {QMessageBox::No, DLG_IDNO};
        return 2;
    case DLG_MB_RETRYCANCEL:
        p_out[0] = {QMessageBox::Retry, DLG_IDRETRY};
        p_out[1] = {QMessageBox::Cancel, DLG_IDCANCEL};
        return 2;
    default:
        p_out[0] = {QMessageBox::Ok, DLG_IDOK};
        return 1;
    }
}

static QMessageBox::Icon icon_of(uint32_t code) {
    switch (code) {
    case DLG_MB_ICONHAND:
        return QMessageBox::Critical;
    case DLG_MB_ICONQUESTION:
        return QMessageBox::Question;
    case DLG_MB_ICONEXCLAMATION:
        return QMessageBox::Warning;
    case DLG_MB_ICONASTERISK:
        return QMessageBox::Information;
    default:
        return QMessageBox::NoIcon;
    }
}

int32_t dlg_message_box(QWidget* p_owner, const char* p_text, const char* p_caption,
                        uint32_t type) {
    QMessageBox box(p_owner);
    box.setWindowModality(Qt::ApplicationModal);
    box.setTextFormat(Qt::PlainText);
    box.setText(QString::fromLocal8Bit(p_text ? p_text : ""));
    box.setWindowTitle(QString::fromLocal8Bit(p_caption ? p_caption : ""));
    box.setIcon(icon_of(type & 0xF0));

    BoxButton buttons[3];
    int n = buttons_of(type & 0xF, buttons);
    QPushButton* p_cancel = nullptr;
    for (int i = 0; i < n; i++) {
        QPushButton* p_b = box.addButton(buttons[i].button);
        p_b->setProperty("dlgId", buttons[i].id);
        if (buttons[i].id == DLG_IDCANCEL) p_cancel = p_b;
    }
    int i_default = static_cast<int>((type & 0xF00) >> 8);
    if (i_default >= n) i_default = 0;
    box.setDefaultButton(qobject_cast<QPushButton*>(box.button(buttons[i_default].button)));
    if (p_cancel) {
        box.setEscapeButton(p_cancel);
    } else if (n == 1) {
        box.setEscapeButton(box.button(buttons[0].button));
    }
    box.exec();
    QAbstractButton* p_clicked = box.clickedButton();
    // Closed without a button (closing the window, the application quitting).
    if (!p_clicked) return n == 1 ? DLG_IDOK : DLG_IDCANCEL;
    return p_clicked->property("dlgId").toInt();
}
