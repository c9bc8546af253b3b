// The About box: the application icon, "main Version 1.13" and OK.
#pragma once

#include <QDialog>

class AboutDlg : public QDialog {
    Q_OBJECT
  public:
    explicit AboutDlg(QWidget* pParent = nullptr);
};
