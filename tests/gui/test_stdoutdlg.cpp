// The console viewer: the terminal's 200 rows in order, refresh only when the
// change count moved, the newest output scrolled into view, and close and
// reopen through the owner.
#include "gui_fixture.h"

#include "dlgkit.h"
#include "maindlg.h"
#include "stdoutdlg.h"

#include "con.h"

#include <QDialog>
#include <QPushButton>
#include <QPointer>
#include <QTest>
#include <QTreeWidget>

class Viewer : public RootTest {
  protected:
    void SetUp() override {
        RootTest::SetUp();
        p_dlg = new MainDlg;
        p_dlg->show();
        p_viewer = p_dlg->GetStdoutDlg();
    }
    void TearDown() override {
        delete p_dlg;
        RootTest::TearDown();
    }
    // Opens the viewer's window directly (without the Stdout command's log line).
    void open() {
        ASSERT_TRUE(p_viewer->Create(p_dlg));
        ASSERT_NE(p_viewer->m_ctlList, nullptr);
    }
    QString row(int i) const { return p_viewer->m_ctlList->topLevelItem(i)->text(0); }
    int n_rows() const { return p_viewer->m_ctlList->topLevelItemCount(); }
    // Whether row i lies entirely inside the list's visible height (the
    // 1000-pixel column is wider than the list, so only rows are compared).
    bool fully_visible(int i) const {
        QApplication::processEvents(); // the list lays out its rows lazily
        QTreeWidget* p_list = p_viewer->m_ctlList;
        QRect r = p_list->visualItemRect(p_list->topLevelItem(i));
        QRect v = p_list->viewport()->rect();
        return !r.isEmpty() && r.top() >= v.top() && r.bottom() <= v.bottom();
    }

    MainDlg* p_dlg = nullptr;
    StdoutDlg* p_viewer = nullptr;
};

TEST_F(Viewer, ShowsTheConnectLineInRowZeroAndTwoHundredRows) {
    open();
    EXPECT_EQ(p_viewer->GetSafeHwnd()->windowTitle(), "Stdout");
    ASSERT_EQ(n_rows(), 200);
    EXPECT_EQ(row(0), "stdout is now connected to this virtual screen");
    for (int i = 1; i < 200; i++)
        EXPECT_EQ(row(i), "") << i;
    EXPECT_EQ(p_viewer->m_ctlList->columnCount(), 1);
    EXPECT_EQ(p_viewer->m_ctlList->headerItem()->text(0), "Stdout");
    EXPECT_TRUE(p_viewer->m_ctlList->isHeaderHidden());
    EXPECT_EQ(p_viewer->m_ctlList->columnWidth(0), 1000);
    EXPECT_EQ(p_viewer->m_pDbTerm, Root_get_p_db_term(p_root));
    EXPECT_TRUE(fully_visible(0));
}

// With no new output a tick leaves the list alone (a row changed behind the
// viewer's back stays changed); new output refreshes it.
TEST_F(Viewer, RefreshesOnlyWhenTheTerminalChanged) {
    open();
    int n_seen = p_viewer->m_nChangeSeen;
    EXPECT_EQ(n_seen, Root_get_p_db_term(p_root)->n_change);
    p_viewer->m_ctlList->topLevelItem(0)->setText(0, "scribbled");
    p_viewer->OnTimer(1);
    p_viewer->OnTimer(7);
    EXPECT_EQ(row(0), "scribbled");
    EXPECT_EQ(p_viewer->m_nChangeSeen, n_seen);

    Con_print("one more line\n");
    p_viewer->OnTimer(1);
    EXPECT_EQ(row(0), "stdout is now connected to this virtual screen");
    EXPECT_EQ(row(1), "one more line");
    EXPECT_EQ(n_rows(), 200);
    EXPECT_NE(p_viewer->m_nChangeSeen, n_seen);
}

TEST_F(Viewer, TheWindowTimerRefreshesTheList) {
    open();
    Con_print("from the timer\n");
    QDialog* p_wnd = p_viewer->GetSafeHwnd();
    for (int i = 0; i < 100 && row(1) != "from the timer"; i++)
        QTest::qWait(10);
    EXPECT_EQ(row(1), "from the timer");
    EXPECT_EQ(p_viewer->GetSafeHwnd(), p_wnd);
}

// The last row holding something other than blanks is scrolled into view.
TEST_F(Viewer, ScrollsTheLastNonBlankRowIntoView) {
    open();
    for (int i = 0; i < 150; i++)
        Con_printf("line %d\n", i);
    Con_print("     \n"); // blanks only: not the last non-blank row
    p_viewer->OnTimer(1);
    // Row 0 holds the connect line, rows 1..150 the numbered lines.
    EXPECT_EQ(row(150), "line 149");
    EXPECT_TRUE(fully_visible(150));
    EXPECT_FALSE(fully_visible(0)) << "a long log pushes the first rows out of view";

    // Once the screen is full the oldest rows scroll out of the terminal.
    for (int i = 150; i < 400; i++)
        Con_printf("line %d\n", i);
    p_viewer->OnTimer(1);
    EXPECT_EQ(n_rows(), 200);
    EXPECT_EQ(row(198), "line 399");
    EXPECT_EQ(row(199), "");
    EXPECT_TRUE(fully_visible(198));
}

TEST_F(Viewer, AllBlankScreenScrollsRowZeroIntoView) {
    open();
    for (int i = 0; i < 150; i++)
        Con_printf("line %d\n", i);
    p_viewer->OnTimer(1);
    EXPECT_FALSE(fully_visible(0));
    DbTerm_clear(Root_get_p_db_term(p_root));
    p_viewer->OnTimer(1);
    EXPECT_EQ(row(0), "");
    EXPECT_TRUE(fully_visible(0));
}

// Close asks the owner (message 1034); the owner destroys the window, the
// object stays, and reopening shows the current contents at once.
TEST_F(Viewer, CloseAndReopenShowsTheCurrentContents) {
    open();
    QPointer<QDialog> p_wnd = p_viewer->GetSafeHwnd();
    qobject_cast<QPushButton*>(dlg_item(p_wnd, 2))->click();
    EXPECT_NE(p_wnd, nullptr) << "the window goes when the owner handles the posted request";
    QCoreApplication::sendPostedEvents(p_dlg);
    EXPECT_EQ(p_wnd, nullptr);
    EXPECT_EQ(p_viewer->GetSafeHwnd(), nullptr);
    EXPECT_EQ(p_viewer->m_ctlList, nullptr);

    Con_print("while closed\n");
    int n_before = p_viewer->m_nChangeSeen;
    open();
    EXPECT_EQ(row(1), "while closed");
    EXPECT_NE(p_viewer->m_nChangeSeen, n_before);
    EXPECT_EQ(n_rows(), 200);
    EXPECT_EQ(p_viewer->m_ctlList->columnCount(), 1);
}

TEST_F(Viewer, EscapeAndTheCloseBoxAlsoAskTheOwner) {
    for (int how = 0; how < 2; how++) {
        open();
        QPointer<QDialog> p_wnd = p_viewer->GetSafeHwnd();
        if (how == 0) QTest::keyClick(p_wnd, Qt::Key_Escape);
        if (how == 1) p_wnd->close();
        QCoreApplication::sendPostedEvents(p_dlg);
        EXPECT_EQ(p_wnd, nullptr) << how;
    }
}

TEST_F(Viewer, WithoutAnOwnerCloseJustEndsTheWindow) {
    StdoutDlg lone(nullptr);
    ASSERT_TRUE(lone.Create(nullptr));
    QDialog* p_wnd = lone.GetSafeHwnd();
    ASSERT_NE(p_wnd, nullptr);
    qobject_cast<QPushButton*>(dlg_item(p_wnd, 2))->click();
    EXPECT_FALSE(p_wnd->isVisible());
}
