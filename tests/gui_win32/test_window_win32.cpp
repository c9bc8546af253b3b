// The Win32 window layer with the program's own resources: the main window
// built from template 102 (size, controls, styles, system menu), the About
// box, the console viewer, the message boxes of the cancel command, the icon
// and the version block. The run drives orvo-loader.exe itself as well
// (tests/win32/run-wine-tests.sh); for that this program prints the dialog
// font's base units with --metrics.
#include "aboutdlg.h"
#include "loaderapp.h"
#include "loaderwin.h"
#include "maindlg.h"
#include "resource.h"
#include "stdoutdlg.h"

#include "con.h"
#include "dbterm.h"
#include "root.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace {

// The dialog base units of "MS Sans Serif" 8 point as the dialog manager
// measures them: the average width of the 52 letters (rounded) and the
// character height of the font on the screen.
SIZE dialog_base_units() {
    HDC dc = GetDC(nullptr);
    HFONT font = CreateFontA(-MulDiv(8, GetDeviceCaps(dc, LOGPIXELSY), 72), 0, 0, 0, FW_NORMAL, 0,
                             0, 0, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                             DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE, "MS Sans Serif");
    HGDIOBJ old = SelectObject(dc, font);
    TEXTMETRICA tm;
    GetTextMetricsA(dc, &tm);
    static const char k_letters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    SIZE ext;
    GetTextExtentPoint32A(dc, k_letters, 52, &ext);
    SelectObject(dc, old);
    DeleteObject(font);
    ReleaseDC(nullptr, dc);
    return SIZE{(ext.cx / 26 + 1) / 2, tm.tmHeight};
}

// A control's rectangle: position and size each converted and rounded on their own.
RECT du_to_px(SIZE base, int x, int y, int cx, int cy) {
    RECT r;
    r.left = MulDiv(x, base.cx, 4);
    r.top = MulDiv(y, base.cy, 8);
    r.right = r.left + MulDiv(cx, base.cx, 4);
    r.bottom = r.top + MulDiv(cy, base.cy, 8);
    return r;
}

std::string text_of(HWND h) {
    char buf[256] = "";
    GetWindowTextA(h, buf, sizeof buf);
    return buf;
}

std::string class_of(HWND h) {
    char buf[64] = "";
    GetClassNameA(h, buf, sizeof buf);
    return buf;
}

std::vector<std::string> list_rows(HWND list) {
    std::vector<std::string> rows;
    int n = static_cast<int>(SendMessageA(list, LVM_GETITEMCOUNT, 0, 0));
    for (int i = 0; i < n; i++) {
        char row[200] = "";
        ListView_GetItemText(list, i, 0, row, sizeof row);
        rows.push_back(row);
    }
    return rows;
}

// Handles the thread's pending messages for about ms milliseconds.
void pump_ms(int ms) {
    DWORD t_end = GetTickCount() + ms;
    do {
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
        Sleep(5);
    } while (static_cast<int>(GetTickCount() - t_end) < 0);
}

// Runs on_window once for the first visible top-level window of this thread
// with the given caption, from a timer while a modal loop (a box, the About
// box) runs.
class WindowWatcher {
  public:
    WindowWatcher(const char* p_caption, std::function<void(HWND)> on_window)
        : m_caption(p_caption), m_on_window(std::move(on_window)) {
        s_p = this;
        m_timer = SetTimer(nullptr, 0, 20, tick);
    }
    ~WindowWatcher() {
        KillTimer(nullptr, m_timer);
        s_p = nullptr;
    }
    int n_seen = 0;

  private:
    static void CALLBACK tick(HWND, UINT, UINT_PTR, DWORD) {
        if (!s_p) return;
        HWND h = FindWindowA(nullptr, s_p->m_caption.c_str());
        if (!h || !IsWindowVisible(h) ||
            GetWindowThreadProcessId(h, nullptr) != GetCurrentThreadId())
            return;
        if (s_p->n_seen++ == 0) s_p->m_on_window(h);
    }
    static WindowWatcher* s_p;
    std::string m_caption;
    std::function<void(HWND)> m_on_window;
    UINT_PTR m_timer = 0;
};
WindowWatcher* WindowWatcher::s_p = nullptr;

class Win32Window : public ::testing::Test {
  protected:
    void SetUp() override {
        p_root = Root_alloc();
        ASSERT_NE(p_root, nullptr);
        set_p_root(p_root);
        lw_install_wait_hooks(p_root, loader_pump_events, nullptr);
        ASSERT_TRUE(dlg.Create(nullptr));
        h = dlg.m_hWnd;
    }
    void TearDown() override {
        dlg.DestroyWindow();
        lw_install_wait_hooks(p_root, nullptr, nullptr);
        Root_free(p_root);
    }
    Root* p_root = nullptr;
    MainDlg dlg;
    HWND h = nullptr;
};

TEST_F(Win32Window, ClientSizeIsTheTemplateInTheDialogFontsUnits) {
    SIZE base = dialog_base_units();
    RECT client;
    GetClientRect(h, &client);
    EXPECT_EQ(client.right, MulDiv(302, base.cx, 4)) << "base units " << base.cx << "x" << base.cy;
    EXPECT_EQ(client.bottom, MulDiv(173, base.cy, 8));
    // The dialog manager agrees with the measure.
    RECT r = {0, 0, 302, 173};
    MapDialogRect(h, &r);
    EXPECT_EQ(r.right, client.right);
    EXPECT_EQ(r.bottom, client.bottom);
    EXPECT_EQ(text_of(h), "Orvo-Loader (K52 only)");
}

TEST_F(Win32Window, ControlsStandWhereTheTemplatePutsThem) {
    struct Case {
        int id;
        const char* p_class;
        const char* p_text;
        bool is_visible;
        int x, y, cx, cy;
    };
    const Case cases[] = {
        {IDCANCEL, "Button", "Close", true, 245, 7, 50, 14},
        {IDC_DOWNLOAD, "Button", "Download", true, 90, 75, 50, 14},
        {IDC_TITLE, "Edit", "Tarvella ORVO Control", true, 89, 7, 120, 14},
        {IDC_VERSION, "Edit", "1.13", true, 89, 27, 120, 14},
        {IDC_STDOUT, "Button", "Stdout", false, 245, 152, 50, 14},
        {IDC_PROGRESS, "msctls_progress32", "", true, 15, 150, 205, 10},
        {IDC_STATUS_STEP, "Static", "ready", true, 15, 120, 204, 8},
        {IDC_STATUS_DETAIL, "Static", "ready", true, 15, 135, 205, 8},
    };
    SIZE base = dialog_base_units();
    for (const Case& c : cases) {
        HWND hc = GetDlgItem(h, c.id);
        ASSERT_NE(hc, nullptr) << c.id;
        EXPECT_EQ(class_of(hc), c.p_class) << c.id;
        EXPECT_EQ(text_of(hc), c.p_text) << c.id;
        EXPECT_EQ(IsWindowVisible(hc) != FALSE, c.is_visible) << c.id;
        RECT r;
        GetWindowRect(hc, &r);
        MapWindowPoints(nullptr, h, reinterpret_cast<POINT*>(&r), 2);
        RECT want = du_to_px(base, c.x, c.y, c.cx, c.cy);
        EXPECT_EQ(r.left, want.left) << c.id;
        EXPECT_EQ(r.top, want.top) << c.id;
        EXPECT_EQ(r.right, want.right) << c.id;
        EXPECT_EQ(r.bottom, want.bottom) << c.id;
    }
    // The port list: the eight ports from the template's data, COM1 chosen, no typing.
    HWND combo = GetDlgItem(h, IDC_COM_PORT);
    ASSERT_EQ(SendMessageA(combo, CB_GETCOUNT, 0, 0), 8);
    for (int i = 0; i < 8; i++) {
        char item[16] = "";
        SendMessageA(combo, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(item));
        EXPECT_EQ(std::string(item), "COM" + std::to_string(i + 1));
    }
    EXPECT_EQ(SendMessageA(combo, CB_GETCURSEL, 0, 0), 0);
    EXPECT_EQ(GetWindowLongA(combo, GWL_STYLE) & 3, CBS_DROPDOWNLIST);
    EXPECT_TRUE(GetWindowLongA(GetDlgItem(h, IDC_TITLE), GWL_STYLE) & ES_READONLY);
    HWND bar = GetDlgItem(h, IDC_PROGRESS);
    EXPECT_EQ(SendMessageA(bar, PBM_GETRANGE, FALSE, 0), 100);
    EXPECT_EQ(SendMessageA(bar, PBM_GETPOS, 0, 0), 0);
}

TEST_F(Win32Window, StyleHasCaptionSystemMenuAndNoMinimiseBox) {
    LONG style = GetWindowLongA(h, GWL_STYLE);
    LONG ex = GetWindowLongA(h, GWL_EXSTYLE);
    EXPECT_TRUE(style & WS_CAPTION);
    EXPECT_TRUE(style & WS_SYSMENU);
    EXPECT_FALSE(style & WS_MINIMIZEBOX);
    EXPECT_FALSE(style & WS_MAXIMIZEBOX);
    EXPECT_TRUE(style & WS_POPUP);
    EXPECT_TRUE(ex & WS_EX_APPWINDOW);
    EXPECT_TRUE(ex & WS_EX_DLGMODALFRAME);
}

TEST_F(Win32Window, SystemMenuEndsWithTheAboutItemWhichOpensTheAboutBox) {
    HMENU menu = GetSystemMenu(h, FALSE);
    int n = GetMenuItemCount(menu);
    ASSERT_GE(n, 2);
    EXPECT_EQ(GetMenuState(menu, n - 2, MF_BYPOSITION) & MF_SEPARATOR,
              static_cast<UINT>(MF_SEPARATOR));
    EXPECT_EQ(GetMenuItemID(menu, n - 1), static_cast<UINT>(IDM_ABOUTBOX));
    char item[64] = "";
    GetMenuStringA(menu, n - 1, item, sizeof item, MF_BYPOSITION);
    EXPECT_EQ(std::string(item), "&About main...");

    std::vector<std::string> texts;
    bool has_icon = false;
    WindowWatcher about("About main", [&](HWND hb) {
        for (HWND hc = GetWindow(hb, GW_CHILD); hc; hc = GetWindow(hc, GW_HWNDNEXT)) {
            texts.push_back(text_of(hc));
            if ((GetWindowLongA(hc, GWL_STYLE) & SS_TYPEMASK) == SS_ICON &&
                SendMessageA(hc, STM_GETICON, 0, 0))
                has_icon = true;
        }
        EXPECT_TRUE(GetWindowLongA(GetDlgItem(hb, IDOK), GWL_STYLE) & BS_DEFPUSHBUTTON);
        PostMessageA(hb, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    });
    // The low four bits of the command do not count.
    SendMessageA(h, WM_SYSCOMMAND, IDM_ABOUTBOX | 0x3, 0);
    EXPECT_EQ(about.n_seen, 1);
    EXPECT_NE(std::find(texts.begin(), texts.end(), "main Version 1.13"), texts.end());
    EXPECT_TRUE(has_icon);
    EXPECT_TRUE(IsWindow(h)) << "the About box leaves the main window";
}

// The cancel command while a download runs asks with the Part's box: Yes, No
// and Cancel, Cancel the default; only Yes interrupts, and the window stays.
TEST_F(Win32Window, CloseWhileBusyAsksAndOnlyYesInterrupts) {
    struct Case {
        int answer;
        int want_abort;
    };
    for (Case c : {Case{IDNO, 0}, Case{IDCANCEL, 0}, Case{IDYES, 1}}) {
        dlg.m_bBusy = 1;
        dlg.m_bAbort = 0;
        std::vector<std::string> buttons;
        std::string default_button;
        WindowWatcher box("Warning", [&](HWND hb) {
            for (HWND hc = GetWindow(hb, GW_CHILD); hc; hc = GetWindow(hc, GW_HWNDNEXT)) {
                if (class_of(hc) != "Button") continue;
                buttons.push_back(text_of(hc));
                if ((GetWindowLongA(hc, GWL_STYLE) & 0xF) == BS_DEFPUSHBUTTON)
                    default_button = text_of(hc);
            }
            PostMessageA(hb, WM_COMMAND, MAKEWPARAM(c.answer, BN_CLICKED), 0);
        });
        SendMessageA(h, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
        EXPECT_EQ(box.n_seen, 1);
        EXPECT_EQ(buttons, (std::vector<std::string>{"&Yes", "&No", "Cancel"}));
        EXPECT_EQ(default_button, "Cancel");
        EXPECT_EQ(dlg.m_bAbort, c.want_abort) << c.answer;
        EXPECT_TRUE(IsWindow(h));
    }
    dlg.m_bBusy = 0;
}

TEST_F(Win32Window, ViewerOpensOnceShowsTheLogFollowsItAndClosesThroughTheOwner) {
    SendMessageA(h, WM_COMMAND, MAKEWPARAM(IDC_STDOUT, BN_CLICKED), 0);
    SendMessageA(h, WM_COMMAND, MAKEWPARAM(IDC_STDOUT, BN_CLICKED), 0);
    StdoutDlg* p_viewer = dlg.GetStdoutDlg();
    HWND hv = p_viewer->GetSafeHwnd();
    ASSERT_NE(hv, nullptr);
    EXPECT_EQ(text_of(hv), "Stdout");
    EXPECT_EQ(FindWindowExA(nullptr, hv, nullptr, "Stdout"), nullptr) << "one viewer window";
    HWND list = GetDlgItem(hv, IDC_STDOUT_LIST);
    EXPECT_EQ(class_of(list), "SysListView32");
    EXPECT_EQ(GetWindowLongA(list, GWL_STYLE) & LVS_TYPEMASK, LVS_REPORT);
    EXPECT_TRUE(GetWindowLongA(list, GWL_STYLE) & LVS_NOCOLUMNHEADER);
    std::vector<std::string> rows = list_rows(list);
    ASSERT_EQ(rows.size(), 200u);
    EXPECT_EQ(rows[0], "stdout is now connected to this virtual screen");
    EXPECT_EQ(std::count_if(rows.begin(), rows.end(),
                            [](const std::string& r) { return r.rfind("foo=", 0) == 0; }),
              0)
        << "each command logs after the window's first refresh";

    // New lines show after a tick of the 100 ms timer.
    Con_printf("a line for the viewer\n");
    pump_ms(300);
    rows = list_rows(list);
    EXPECT_EQ(std::count_if(rows.begin(), rows.end(),
                            [](const std::string& r) { return r.rfind("foo=", 0) == 0; }),
              2);
    EXPECT_NE(std::find(rows.begin(), rows.end(), "a line for the viewer"), rows.end());

    // Close asks the owner (message 1034), which destroys the window; the object stays.
    SendMessageA(hv, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    EXPECT_TRUE(IsWindow(hv)) << "destroyed by the owner's handler, later";
    pump_ms(50);
    EXPECT_FALSE(IsWindow(hv));
    EXPECT_EQ(p_viewer->GetSafeHwnd(), nullptr);
    EXPECT_EQ(dlg.GetStdoutDlg(), p_viewer);
}

TEST(Win32Resources, IconHasBothSizesAndVersionBlockNamesMain) {
    HINSTANCE hi = GetModuleHandleA(nullptr);
    for (int size : {32, 16}) {
        HICON icon = static_cast<HICON>(
            LoadImageA(hi, MAKEINTRESOURCEA(IDR_MAINFRAME), IMAGE_ICON, size, size, 0));
        ASSERT_NE(icon, nullptr) << size;
        ICONINFO info;
        ASSERT_TRUE(GetIconInfo(icon, &info));
        BITMAP bm;
        GetObjectA(info.hbmColor, sizeof bm, &bm);
        EXPECT_EQ(bm.bmWidth, size);
        EXPECT_EQ(bm.bmHeight, size);
        DeleteObject(info.hbmColor);
        DeleteObject(info.hbmMask);
        DestroyIcon(icon);
    }
    char path[MAX_PATH];
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    DWORD handle = 0;
    DWORD n = GetFileVersionInfoSizeA(path, &handle);
    ASSERT_GT(n, 0u);
    std::vector<char> info(n);
    ASSERT_TRUE(GetFileVersionInfoA(path, 0, n, info.data()));
    VS_FIXEDFILEINFO* p_fixed = nullptr;
    UINT l = 0;
    ASSERT_TRUE(VerQueryValueA(info.data(), "\\", reinterpret_cast<void**>(&p_fixed), &l));
    EXPECT_EQ(p_fixed->dwFileVersionMS, 0x00010000u);
    EXPECT_EQ(p_fixed->dwFileVersionLS, 0x00000001u);
    EXPECT_EQ(p_fixed->dwProductVersionMS, 0x00010000u);
    EXPECT_EQ(p_fixed->dwProductVersionLS, 0x00000001u);
    for (auto [p_key, p_want] :
         {std::pair{"InternalName", "main"}, {"OriginalFilename", "main.EXE"}}) {
        char* p_value = nullptr;
        std::string key = std::string("\\StringFileInfo\\040904B0\\") + p_key;
        ASSERT_TRUE(
            VerQueryValueA(info.data(), key.c_str(), reinterpret_cast<void**>(&p_value), &l));
        EXPECT_EQ(std::string(p_value), p_want);
    }
    char about[64] = "";
    LoadStringA(hi, IDS_ABOUTBOX, about, sizeof about);
    EXPECT_EQ(std::string(about), "&About main...");
}

TEST(Win32Shell, RootThatCannotBeMadeShowsTheStartBoxOnly) {
    LoaderApp app;
    app.cb_root_alloc = [] { return static_cast<Root*>(nullptr); };
    std::vector<std::string> texts;
    WindowWatcher box("Error...", [&](HWND hb) {
        for (HWND hc = GetWindow(hb, GW_CHILD); hc; hc = GetWindow(hc, GW_HWNDNEXT))
            texts.push_back(text_of(hc));
        PostMessageA(hb, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    });
    EXPECT_EQ(app.InitInstance(), 0);
    EXPECT_EQ(box.n_seen, 1);
    EXPECT_NE(std::find(texts.begin(), texts.end(),
                        "Starting application failed !\nRoot_alloc() returned NULL"),
              texts.end());
    EXPECT_EQ(FindWindowA(nullptr, "Orvo-Loader (K52 only)"), nullptr);
}

} // namespace

int main(int argc, char** argv) {
    INITCOMMONCONTROLSEX icc = {sizeof icc, ICC_PROGRESS_CLASS | ICC_LISTVIEW_CLASSES};
    InitCommonControlsEx(&icc);
    if (argc == 2 && std::string(argv[1]) == "--metrics") {
        SIZE base = dialog_base_units();
        printf("BASE %ld %ld\n", static_cast<long>(base.cx), static_cast<long>(base.cy));
        return 0;
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
