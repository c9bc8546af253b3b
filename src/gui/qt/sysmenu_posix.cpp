// System menu on X11 and Wayland desktops: the window manager owns it, so
// there is nothing to append and no command arrives from it.
#include "sysmenu.h"

int sysmenu_append(QWidget* p_wnd, unsigned cmd_id, const QString& text) {
    (void)p_wnd;
    (void)cmd_id;
    (void)text;
    return 0;
}

int sysmenu_read_command(const void* p_message, unsigned* p_cmd_id, qintptr* p_param) {
    (void)p_message;
    (void)p_cmd_id;
    (void)p_param;
    return 0;
}
