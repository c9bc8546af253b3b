// Dialog kit: dialog templates (controls with ids, texts and positions in
// dialog units) built into Qt widgets, the dialog-unit conversion with the
// dialog font's metrics, control lookup by id and posted window messages.
//
// Dialog units keep a window's proportions whatever the font: a horizontal
// unit is a quarter of the font's average character width, a vertical unit an
// eighth of its height, as the dialog manager of the original platform
// measures them.
#pragma once

#include <QEvent>
#include <QFont>
#include <QRect>

class QDialog;
class QObject;
class QWidget;

// Kinds of controls a template can hold.
enum DlgKind {
    DLG_PUSH,        // push button
    DLG_DEFPUSH,     // default push button
    DLG_COMBO_LIST,  // drop-down list (no typing); p_init holds its items
    DLG_LABEL,       // static text, left-aligned
    DLG_LABEL_RIGHT, // static text, right-aligned
    DLG_EDIT_RO,     // read-only, bordered edit with horizontal auto-scroll
    DLG_GROUP,       // group box frame
    DLG_PROGRESS,    // bordered progress bar, range 0 to 100
    DLG_REPORT_LIST, // list in report view, one column, no header, single selection
    DLG_ICON,        // the application icon (32 x 32 pixels)
};

// One control of a template: position and size in dialog units.
struct DlgItem {
    int id; // IDC_STATIC (-1) for controls nobody addresses
    DlgKind kind;
    const char* p_text; // null for none
    int x, y, cx, cy;
    int is_hidden;             // created invisible
    const char* const* p_init; // null-terminated initial items of a list, or null
};

// A dialog template: caption, client size in dialog units, controls in tab order.
struct DlgTemplate {
    int id;
    const char* p_caption;
    int cx, cy;
    const DlgItem* p_items;
    int n_items;
};

// The dialog font: "MS Sans Serif" 8 point, or the platform's nearest sans serif.
QFont dlg_font();

// Dialog base units of a font in pixels: cx the average character width, cy
// the character height.
struct DlgBaseUnits {
    int cx;
    int cy;
};
DlgBaseUnits dlg_base_units(const QFont& font);

// Dialog units to pixels, rounded like the dialog manager (x * cx / 4,
// y * cy / 8). A rectangle maps each of its corners' coordinates and sizes.
int dlg_units_to_px_x(const DlgBaseUnits& u, int x);
int dlg_units_to_px_y(const DlgBaseUnits& u, int y);
QRect dlg_units_to_rect(const DlgBaseUnits& u, int x, int y, int cx, int cy);

// Builds the controls of p_tmpl as children of p_dlg in template order (so the
// tab order is the template's), sets the dialog font, the caption and the
// fixed client size. Each control carries its id (dlg_item finds it).
void dlg_create_from_template(QDialog* p_dlg, const DlgTemplate& tmpl);

// The id a control was created with; IDC_STATIC (-1) for none or null.
int dlg_get_id(const QWidget* p_w);
// The child control of p_dlg with the given id; null when there is none.
QWidget* dlg_item(const QWidget* p_dlg, int id);

// A window message posted to a window: delivered later through its event
// queue, handled in the window's event().
class DlgMsgEvent : public QEvent {
  public:
    DlgMsgEvent(unsigned msg, quintptr wParam, qintptr lParam);
    static QEvent::Type event_type();
    unsigned m_msg;
    quintptr m_wParam;
    qintptr m_lParam;
};

// Posts msg with wParam and lParam to p_to. 1; 0 for a null p_to.
int dlg_post_message(QObject* p_to, unsigned msg, quintptr wParam, qintptr lParam);
