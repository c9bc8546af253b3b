// The About box (template 100): the application icon, "main Version 1.13",
// the product line and OK.
#pragma once

#include "dialog.h"

class AboutDlg : public Dialog {
  public:
    AboutDlg();
};
