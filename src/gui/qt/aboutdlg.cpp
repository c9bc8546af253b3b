// The About box from its dialog template.
#include "aboutdlg.h"

#include "dlgkit.h"
#include "resource.h"

#include <QPushButton>

static const DlgItem k_about_items[] = {
    {IDC_STATIC, DLG_ICON, nullptr, 11, 17, 21, 20, 0, nullptr},
    {IDC_STATIC, DLG_LABEL, "main Version 1.13", 40, 10, 119, 8, 0, nullptr},
    {IDC_STATIC, DLG_LABEL, "Tarvella ORVO Control", 40, 25, 119, 8, 0, nullptr},
    {IDOK, DLG_DEFPUSH, "OK", 178, 7, 32, 14, 0, nullptr},
};

static const DlgTemplate k_about = {IDD_ABOUTBOX,  "About main",
                                    217,           55,
                                    k_about_items, sizeof k_about_items / sizeof *k_about_items};

AboutDlg::AboutDlg(QWidget* pParent) : QDialog(pParent) {
    dlg_create_from_template(this, k_about);
    if (auto* p_ok = qobject_cast<QPushButton*>(dlg_item(this, IDOK)))
        connect(p_ok, &QPushButton::clicked, this, &QDialog::accept);
}
