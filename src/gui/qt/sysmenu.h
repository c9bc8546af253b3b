// The window's system menu: where the platform lets a program add to it, the
// window appends its own items there and receives their commands.
#pragma once

#include <QString>

class QWidget;

// Appends a separator and the item (cmd_id, text) to the system menu of
// p_wnd's native window. 1 when appended; 0 where the window manager owns
// the menu (the caller offers the items elsewhere).
int sysmenu_append(QWidget* p_wnd, unsigned cmd_id, const QString& text);

// Reads a native window message: 1 and the command id and parameter when it
// is a system command, else 0.
int sysmenu_read_command(const void* p_message, unsigned* p_cmd_id, qintptr* p_param);
