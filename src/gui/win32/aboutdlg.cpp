// The About box: everything is in its template.
#include "aboutdlg.h"

#include "resource.h"

AboutDlg::AboutDlg() : Dialog(IDD_ABOUTBOX) {}
