// System menu on Windows: the native menu of the window, and WM_SYSCOMMAND.
#include "sysmenu.h"

#include <QWidget>

#include <string>

#include <windows.h>

int sysmenu_append(QWidget* p_wnd, unsigned cmd_id, const QString& text) {
    if (!p_wnd) return 0;
    HMENU h_menu = GetSystemMenu(reinterpret_cast<HWND>(p_wnd->winId()), FALSE);
    if (!h_menu) return 0;
    std::wstring w = text.toStdWString();
    if (!AppendMenuW(h_menu, MF_SEPARATOR, 0, nullptr)) return 0;
    return AppendMenuW(h_menu, MF_STRING, cmd_id, w.c_str()) ? 1 : 0;
}

int sysmenu_read_command(const void* p_message, unsigned* p_cmd_id, qintptr* p_param) {
    const MSG* p_msg = static_cast<const MSG*>(p_message);
    if (!p_msg || p_msg->message != WM_SYSCOMMAND) return 0;
    if (p_cmd_id) *p_cmd_id = static_cast<unsigned>(p_msg->wParam);
    if (p_param) *p_param = static_cast<qintptr>(p_msg->lParam);
    return 1;
}
