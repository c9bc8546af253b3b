// The main window: its start state and layout, the port table, the About box,
// the console viewer command, the cancel command, the minimised icon, the
// program shell and a port that cannot be opened.
#include "boxcloser.h"
#include "gui_fixture.h"

#include "aboutdlg.h"
#include "dlgkit.h"
#include "loaderapp.h"
#include "loaderwin.h"
#include "maindlg.h"
#include "stdoutdlg.h"

#include "uvmem.h"

#include <QAction>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>

#include <cstdlib>

using MainWindow = RootTest;

static QString text_of(QWidget* p_w) {
    if (auto* p = qobject_cast<QLabel*>(p_w)) return p->text();
    if (auto* p = qobject_cast<QAbstractButton*>(p_w)) return p->text();
    if (auto* p = qobject_cast<QLineEdit*>(p_w)) return p->text();
    if (auto* p = qobject_cast<QGroupBox*>(p_w)) return p->title();
    return QString();
}

TEST_F(MainWindow, StartsReadyWithTitleVersionAndComOne) {
    MainDlg dlg;
    dlg.show();
    EXPECT_EQ(dlg.windowTitle(), "Orvo-Loader (K52 only)");
    EXPECT_EQ(dlg.m_ctlStatusStep->text(), "ready");
    EXPECT_EQ(dlg.m_ctlStatusDetail->text(), "ready");
    EXPECT_EQ(dlg.m_ctlProgress->value(), 0);
    EXPECT_EQ(dlg.m_ctlProgress->minimum(), 0);
    EXPECT_EQ(dlg.m_ctlProgress->maximum(), 100);
    EXPECT_EQ(dlg.m_editTitle->text(), "Tarvella ORVO Control");
    EXPECT_EQ(dlg.m_editVersion->text(), "1.13");
    EXPECT_TRUE(dlg.m_editTitle->isReadOnly());
    EXPECT_TRUE(dlg.m_editVersion->isReadOnly());
    EXPECT_EQ(dlg.m_ctlComPort->currentIndex(), 0);
    EXPECT_EQ(dlg.m_ctlComPort->currentText(), "COM1");
    EXPECT_FALSE(dlg.m_ctlComPort->isEditable());
    EXPECT_TRUE(dlg_item(&dlg, 1002)->isEnabled());
    EXPECT_EQ(dlg.m_bBusy, 0);
    EXPECT_EQ(dlg.m_bAbort, 0);
    EXPECT_FALSE(dlg.windowIcon().isNull());
    EXPECT_FALSE(dlg.OnQueryDragIcon().isNull());
}

// Every control of the template, in template order: id, text, visibility.
TEST_F(MainWindow, HoldsTheTemplatesControlsInOrder) {
    MainDlg dlg;
    dlg.show();
    struct Want {
        int id;
        const char* text;
        bool visible;
    } want[] = {
        {2, "Close", true},
        {1002, "Download", true},
        {1003, "", true},
        {-1, "COM-Port", true},
        {1005, "Tarvella ORVO Control", true},
        {-1, "Software-Title", true},
        {1006, "Stdout", false},
        {-1, "Status", true},
        {1007, "", true},
        {1008, "ready", true},
        {1009, "ready", true},
        {1010, "1.13", true},
        {-1, "Software-Version", true},
    };
    QList<QWidget*> kids = dlg.findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly);
    ASSERT_EQ(kids.size(), static_cast<qsizetype>(std::size(want)));
    for (size_t i = 0; i < std::size(want); i++) {
        EXPECT_EQ(dlg_get_id(kids[i]), want[i].id) << i;
        EXPECT_EQ(text_of(kids[i]), want[i].text) << i;
        EXPECT_EQ(kids[i]->isVisible(), want[i].visible) << i;
    }
    // The labels beside the fields are right-aligned.
    for (int i : {3, 5, 12})
        EXPECT_TRUE(qobject_cast<QLabel*>(kids[i])->alignment() & Qt::AlignRight) << i;
}

TEST_F(MainWindow, TabOrderIsTheTemplates) {
    MainDlg dlg;
    dlg.show();
    std::vector<int> ids;
    QWidget* p_w = &dlg;
    for (int guard = 0; guard < 50; guard++) {
        p_w = p_w->nextInFocusChain();
        if (p_w == &dlg) break;
        if (p_w->parentWidget() == &dlg && (p_w->focusPolicy() & Qt::TabFocus))
            ids.push_back(dlg_get_id(p_w));
    }
    EXPECT_EQ(ids, (std::vector<int>{2, 1002, 1003, 1005, 1006, 1010}));
}

// The window keeps the template's proportions: every control sits where its
// dialog units put it with the dialog font's base units.
TEST_F(MainWindow, IsLaidOutFromDialogUnits) {
    MainDlg dlg;
    dlg.show();
    DlgBaseUnits u = dlg_base_units(dlg.font());
    EXPECT_EQ(dlg.size(), QSize(dlg_units_to_px_x(u, 302), dlg_units_to_px_y(u, 173)));
    struct Case {
        int id, x, y, cx, cy;
    } cases[] = {
        {2, 245, 7, 50, 14},      {1002, 90, 75, 50, 14},   {1005, 89, 7, 120, 14},
        {1006, 245, 152, 50, 14}, {1007, 15, 150, 205, 10}, {1008, 15, 120, 204, 8},
        {1009, 15, 135, 205, 8},  {1010, 89, 27, 120, 14},
    };
    for (const Case& c : cases)
        EXPECT_EQ(dlg_item(&dlg, c.id)->geometry(), dlg_units_to_rect(u, c.x, c.y, c.cx, c.cy))
            << c.id;
    QRect combo = dlg.m_ctlComPort->geometry();
    EXPECT_EQ(combo.topLeft(), dlg_units_to_rect(u, 89, 47, 48, 102).topLeft());
    EXPECT_EQ(combo.width(), dlg_units_to_px_x(u, 48));
}

// The port comes from the fixed table at the list's index, whatever the list shows.
TEST_F(MainWindow, PortListHoldsEightNamesAndThePortComesFromTheTable) {
    MainDlg dlg;
    dlg.show();
    ASSERT_EQ(dlg.m_ctlComPort->count(), 8);
    for (int i = 0; i < 8; i++) {
        QString name = QStringLiteral("COM%1").arg(i + 1);
        EXPECT_EQ(dlg.m_ctlComPort->itemText(i), name);
        dlg.m_ctlComPort->setCurrentIndex(i);
        EXPECT_EQ(QString::fromLatin1(dlg.cb_get_port(dlg.p_user)), name);
    }
    dlg.m_ctlComPort->setItemText(2, "elsewhere");
    dlg.m_ctlComPort->setCurrentIndex(2);
    EXPECT_STREQ(dlg.cb_get_port(dlg.p_user), "COM3");
}

// Closes an About box and records what it showed.
struct AboutSeen {
    int n = 0;
    QString caption;
    QStringList texts;
    bool has_icon = false;
    int ok_id = 0;
    bool ok_default = false;
};

static BoxCloser::OnDialog close_about(AboutSeen* p_seen) {
    return [p_seen](QWidget* p_w) {
        if (!qobject_cast<AboutDlg*>(p_w)) return;
        p_seen->n++;
        p_seen->caption = p_w->windowTitle();
        for (QLabel* p_l : p_w->findChildren<QLabel*>()) {
            if (!p_l->pixmap().isNull() && p_l->pixmap().size() == QSize(32, 32))
                p_seen->has_icon = true;
            if (!p_l->text().isEmpty()) p_seen->texts << p_l->text();
        }
        auto* p_ok = qobject_cast<QPushButton*>(dlg_item(p_w, 1));
        if (!p_ok) return;
        p_seen->ok_id = 1;
        p_seen->ok_default = p_ok->isDefault();
        p_ok->click();
    };
}

TEST_F(MainWindow, CommandSixteenOpensTheAboutBox) {
    MainDlg dlg;
    dlg.show();
    struct Case {
        unsigned id;
        int n_about;
    } cases[] = {{0x10, 1}, {0x1F, 1}, {0xF010, 0}, {0x20, 0}};
    for (const Case& c : cases) {
        AboutSeen seen;
        BoxCloser closer({}, close_about(&seen));
        if (c.n_about == 0) QTimer::singleShot(100, [] {}); // nothing modal to wait for
        dlg.OnSysCommand(c.id, 0);
        EXPECT_EQ(seen.n, c.n_about) << std::hex << c.id;
        if (c.n_about == 0) continue;
        EXPECT_EQ(seen.caption, "About main");
        EXPECT_TRUE(seen.texts.contains("main Version 1.13")) << seen.texts.join('|').toStdString();
        EXPECT_TRUE(seen.has_icon);
        EXPECT_EQ(seen.ok_id, 1);
        EXPECT_TRUE(seen.ok_default);
    }
    EXPECT_TRUE(dlg.isVisible()) << "other system commands leave the window as it is";
}

// Where the window manager owns the system menu, the About item is offered in the
// context menu; nothing there shows the console viewer (its button stays hidden).
TEST_F(MainWindow, ContextMenuOffersOnlyTheAboutItem) {
    MainDlg dlg;
    dlg.show();
    QMenu* p_menu = dlg.CreateContextMenu();
    QList<QAction*> acts = p_menu->actions();
    ASSERT_EQ(acts.size(), 1);
    EXPECT_EQ(acts[0]->text(), "&About main...");

    AboutSeen seen;
    BoxCloser closer({}, close_about(&seen));
    acts[0]->trigger();
    EXPECT_EQ(seen.n, 1);
    EXPECT_EQ(dlg.GetStdoutDlg()->GetSafeHwnd(), nullptr);
    delete p_menu;
}

// The template's style has a system menu and a close box but no minimise box.
TEST_F(MainWindow, CaptionHasNoMinimiseButton) {
    MainDlg dlg;
    dlg.show();
    Qt::WindowFlags flags = dlg.windowFlags();
    EXPECT_FALSE(flags & Qt::WindowMinimizeButtonHint);
    EXPECT_FALSE(flags & Qt::WindowMaximizeButtonHint);
    EXPECT_TRUE(flags & Qt::WindowSystemMenuHint);
    EXPECT_TRUE(flags & Qt::WindowCloseButtonHint);
}

TEST_F(MainWindow, StdoutTwiceMakesOneViewerAndLogsTwice) {
    MainDlg dlg;
    dlg.show();
    dlg.OnStdout();
    QDialog* p_first = dlg.GetStdoutDlg()->GetSafeHwnd();
    ASSERT_NE(p_first, nullptr);
    EXPECT_TRUE(p_first->isVisible());
    EXPECT_EQ(p_first->windowTitle(), "Stdout");
    // The hidden button is the same command.
    qobject_cast<QPushButton*>(dlg_item(&dlg, 1006))->click();
    EXPECT_EQ(dlg.GetStdoutDlg()->GetSafeHwnd(), p_first);
    int n_viewers = 0;
    for (QWidget* p_w : QApplication::topLevelWidgets())
        if (p_w->isVisible() && p_w->windowTitle() == "Stdout") n_viewers++;
    EXPECT_EQ(n_viewers, 1);

    char foo[32];
    snprintf(foo, sizeof foo, "foo=%08x",
             static_cast<unsigned>(reinterpret_cast<uintptr_t>(Root_get_p_vm(p_root))));
    EXPECT_EQ(term_rows().count(QString::fromLatin1(foo)), 2);
}

TEST_F(MainWindow, CloseWhileIdleClosesWithoutAQuestion) {
    for (int how = 0; how < 3; how++) {
        MainDlg dlg;
        dlg.show();
        BoxCloser closer;
        if (how == 0) qobject_cast<QPushButton*>(dlg_item(&dlg, 2))->click();
        if (how == 1) QTest::keyClick(&dlg, Qt::Key_Escape);
        if (how == 2) dlg.close();
        QApplication::processEvents();
        EXPECT_FALSE(dlg.isVisible()) << how;
        EXPECT_EQ(dlg.result(), QDialog::Rejected) << how;
        EXPECT_TRUE(closer.seen.empty()) << how;
    }
}

// While a download runs, Close, Escape and the close box ask; only Yes sets
// the flag, and the window stays open whatever the answer.
TEST_F(MainWindow, CloseWhileBusyAsksAndOnlyYesInterrupts) {
    struct Case {
        int answer;
        int m_bAbort;
    } cases[] = {{6, 1}, {7, 0}, {2, 0}};
    for (int how = 0; how < 3; how++) {
        for (const Case& c : cases) {
            MainDlg dlg;
            dlg.show();
            dlg.m_bBusy = 1;
            BoxCloser closer([&c](const SeenBox&) { return c.answer; });
            if (how == 0) qobject_cast<QPushButton*>(dlg_item(&dlg, 2))->click();
            if (how == 1) QTest::keyClick(&dlg, Qt::Key_Escape);
            if (how == 2) dlg.close();
            ASSERT_EQ(closer.seen.size(), 1u) << how;
            const SeenBox& s = closer.seen[0];
            EXPECT_EQ(s.caption, "Warning");
            EXPECT_EQ(s.text,
                      "Programming of the flash memory has not yet completed !\n\nDo you want to "
                      "interrupt programming ?\n");
            EXPECT_EQ(s.icon, QMessageBox::Warning);
            EXPECT_EQ(s.default_id, 2) << "Cancel is the default";
            EXPECT_EQ(dlg.m_bAbort, c.m_bAbort) << how << " " << c.answer;
            EXPECT_TRUE(dlg.isVisible()) << how << " " << c.answer;
            dlg.m_bBusy = 0;
        }
    }
}

TEST(MinimisedIcon, IsCentredWithTheOddPixelOnTheLeftAndTop) {
    struct Case {
        int client, icon, origin;
    } cases[] = {{32, 32, 0}, {35, 32, 2}, {36, 32, 2}, {33, 32, 1}, {0, 32, -15}, {31, 32, 0}};
    for (const Case& c : cases) {
        EXPECT_EQ(main_icon_x(c.client, c.icon), c.origin) << c.client;
        EXPECT_EQ(main_icon_y(c.client, c.icon), c.origin) << c.client;
    }
}

TEST_F(MainWindow, PortThatCannotBeOpenedGivesItsBoxAndDownloadComesBack) {
    setenv("ORVO_COM1", "/nonexistent/orvo-port", 1);
    MainDlg dlg;
    dlg.show();
    QWidget* p_download = dlg_item(&dlg, 1002);
    bool enabled_during_box = true;
    BoxCloser closer;
    closer.on_box = [&](const SeenBox&) { enabled_during_box = p_download->isEnabled(); };
    QTest::mouseClick(p_download, Qt::LeftButton);
    ASSERT_EQ(closer.seen.size(), 1u);
    EXPECT_EQ(closer.seen[0].caption, "Error...");
    EXPECT_EQ(closer.seen[0].text, "Error opening COM-Port !");
    EXPECT_EQ(closer.seen[0].icon, QMessageBox::Warning);
    EXPECT_FALSE(enabled_during_box);
    EXPECT_TRUE(p_download->isEnabled());
    EXPECT_EQ(dlg.m_bBusy, 0);
    EXPECT_EQ(dlg.m_ctlStatusStep->text(), "ready");
    EXPECT_EQ(dlg.GetLastReport().fail, DL_FAIL_PORT);
    // The window is still usable: Close closes it.
    qobject_cast<QPushButton*>(dlg_item(&dlg, 2))->click();
    EXPECT_FALSE(dlg.isVisible());
    unsetenv("ORVO_COM1");
}

// The program shell: a failing root gives only its box; a good one runs the
// main window modally until Close.
TEST(ProgramShell, FailingRootShowsOnlyTheErrorBox) {
    LoaderApp app;
    app.cb_root_alloc = [] { return static_cast<Root*>(nullptr); };
    bool main_window_seen = false;
    BoxCloser closer;
    closer.on_box = [&](const SeenBox&) {
        for (QWidget* p_w : QApplication::topLevelWidgets())
            if (qobject_cast<MainDlg*>(p_w)) main_window_seen = true;
    };
    EXPECT_EQ(app.InitInstance(), 0);
    ASSERT_EQ(closer.seen.size(), 1u);
    EXPECT_EQ(closer.seen[0].caption, "Error...");
    EXPECT_EQ(closer.seen[0].text, "Starting application failed !\nRoot_alloc() returned NULL");
    EXPECT_EQ(closer.seen[0].buttons, std::vector<int>{1});
    EXPECT_FALSE(main_window_seen);
    EXPECT_EQ(app.get_p_root(), nullptr);
}

TEST(ProgramShell, RunsTheMainWindowModallyUntilClose) {
    LoaderApp app;
    QString caption;
    BoxCloser closer({}, [&](QWidget* p_w) {
        auto* p_dlg = qobject_cast<MainDlg*>(p_w);
        if (!p_dlg) return;
        caption = p_dlg->windowTitle();
        qobject_cast<QPushButton*>(dlg_item(p_dlg, 2))->click();
    });
    EXPECT_EQ(app.InitInstance(), 0);
    EXPECT_EQ(caption, "Orvo-Loader (K52 only)");
    EXPECT_TRUE(closer.seen.empty());
    ASSERT_NE(app.get_p_root(), nullptr);
    EXPECT_EQ(get_p_root(), app.get_p_root());
    EXPECT_EQ(app.get_p_root()->cb_pump, lw_pump);
    lw_install_wait_hooks(app.p_root, nullptr, nullptr);
    Root_free(app.p_root);
}

// Minimised, the window's area shows the icon at the centring formula's place.
TEST_F(MainWindow, MinimisedWindowPaintsItsIconCentred) {
    MainDlg dlg;
    dlg.show();
    dlg.showMinimized();
    QApplication::processEvents();
    ASSERT_TRUE(dlg.isMinimized());
    QImage shot = dlg.grab().toImage();
    QImage icon = dlg.OnQueryDragIcon().pixmap(32, 32).toImage();
    int x0 = main_icon_x(dlg.width(), 32);
    int y0 = main_icon_y(dlg.height(), 32);
    int n_same = 0;
    for (int y = 0; y < 32; y++)
        for (int x = 0; x < 32; x++)
            if (qAlpha(icon.pixel(x, y)) == 255 && shot.pixel(x0 + x, y0 + y) == icon.pixel(x, y))
                n_same++;
    EXPECT_GT(n_same, 200) << "the icon's opaque pixels are where the formula puts them";
    // Elsewhere the window's background, not its controls.
    EXPECT_EQ(shot.pixelColor(2, 2), dlg.palette().window().color());
    dlg.showNormal();
}
