// Dialog units, control ids, posted messages and the message-box layer.
#include "boxcloser.h"
#include "dlgkit.h"
#include "msgbox.h"

#include <QDialog>
#include <QLabel>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

#include <algorithm>

TEST(DlgUnits, ConvertWithTheBaseUnitsRoundingLikeTheDialogManager) {
    struct Case {
        DlgBaseUnits u;
        int x, y, cx, cy;
        QRect px;
    } cases[] = {
        {{6, 13}, 245, 7, 50, 14, QRect(368, 11, 75, 23)}, // 367.5 and 11.375 round to 368, 11
        {{6, 13}, 0, 0, 302, 173, QRect(0, 0, 453, 281)},  // 280.125
        {{7, 15}, 15, 150, 205, 10, QRect(26, 281, 359, 19)},
        {{4, 8}, 1, 1, 1, 1, QRect(1, 1, 1, 1)},
        {{5, 11}, 3, 5, 1, 3, QRect(4, 7, 1, 4)}, // 3.75, 6.875, 1.25, 4.125
    };
    for (const Case& c : cases) {
        EXPECT_EQ(dlg_units_to_rect(c.u, c.x, c.y, c.cx, c.cy), c.px)
            << c.u.cx << "x" << c.u.cy << " at " << c.x << "," << c.y;
    }
}

TEST(DlgUnits, BaseUnitsFollowTheFont) {
    QFont small = dlg_font();
    QFont big = small;
    big.setPointSize(small.pointSize() * 2);
    DlgBaseUnits a = dlg_base_units(small);
    DlgBaseUnits b = dlg_base_units(big);
    EXPECT_GT(a.cx, 0);
    EXPECT_GT(a.cy, a.cx);
    EXPECT_GT(b.cx, a.cx);
    EXPECT_GT(b.cy, a.cy);
}

TEST(DlgTemplateBuild, PlacesControlsAndSizesTheDialog) {
    static const char* const items[] = {"a", "b", nullptr};
    static const DlgItem k_items[] = {
        {1, DLG_DEFPUSH, "OK", 10, 20, 40, 14, 0, nullptr},
        {-1, DLG_LABEL_RIGHT, "Label", 5, 5, 30, 8, 0, nullptr},
        {7, DLG_COMBO_LIST, nullptr, 50, 5, 40, 80, 1, items},
    };
    static const DlgTemplate k_tmpl = {99, "Caption", 100, 60, k_items, 3};
    QDialog dlg;
    dlg_create_from_template(&dlg, k_tmpl);
    DlgBaseUnits u = dlg_base_units(dlg.font());
    EXPECT_EQ(dlg.windowTitle(), "Caption");
    EXPECT_EQ(dlg.size(), QSize(dlg_units_to_px_x(u, 100), dlg_units_to_px_y(u, 60)));
    QWidget* p_ok = dlg_item(&dlg, 1);
    ASSERT_NE(p_ok, nullptr);
    EXPECT_EQ(p_ok->geometry(), dlg_units_to_rect(u, 10, 20, 40, 14));
    EXPECT_TRUE(qobject_cast<QPushButton*>(p_ok)->isDefault());
    EXPECT_EQ(dlg_item(&dlg, -1), nullptr) << "unnamed controls are not found by id";
    EXPECT_EQ(dlg_item(&dlg, 8), nullptr);
    QWidget* p_combo = dlg_item(&dlg, 7);
    ASSERT_NE(p_combo, nullptr);
    EXPECT_TRUE(p_combo->isHidden());
    EXPECT_EQ(dlg_get_id(p_combo), 7);
    EXPECT_EQ(dlg_get_id(nullptr), -1);
}

// Records the posted messages that reach it.
class MsgSink : public QObject {
  public:
    bool event(QEvent* e) override {
        if (e->type() != DlgMsgEvent::event_type()) return QObject::event(e);
        auto* p = static_cast<DlgMsgEvent*>(e);
        got.push_back({p->m_msg, p->m_wParam, p->m_lParam});
        return true;
    }
    struct Msg {
        unsigned msg;
        quintptr w;
        qintptr l;
    };
    std::vector<Msg> got;
};

TEST(DlgPostMessage, ArrivesLaterThroughTheEventQueue) {
    MsgSink sink;
    EXPECT_EQ(dlg_post_message(&sink, 1034, 2, 0), 1);
    EXPECT_TRUE(sink.got.empty()) << "posting does not deliver at once";
    QCoreApplication::sendPostedEvents(&sink);
    ASSERT_EQ(sink.got.size(), 1u);
    EXPECT_EQ(sink.got[0].msg, 1034u);
    EXPECT_EQ(sink.got[0].w, 2u);
    EXPECT_EQ(sink.got[0].l, 0);
    EXPECT_EQ(dlg_post_message(nullptr, 1034, 2, 0), 0);
}

// Each type value shows its buttons in order, its icon and its default
// button; pressing each button answers its id.
TEST(MessageBox, TypeValuesGiveButtonsIconDefaultAndAnswers) {
    struct Case {
        uint32_t type;
        std::vector<int> buttons;
        QMessageBox::Icon icon;
        int default_id;
    } cases[] = {
        {0x30, {1}, QMessageBox::Warning, 1},           {0x233, {6, 7, 2}, QMessageBox::Warning, 2},
        {0x24, {6, 7}, QMessageBox::Question, 6},       {0x111, {1, 2}, QMessageBox::Critical, 2},
        {0x42, {3, 4, 5}, QMessageBox::Information, 3}, {0x105, {4, 2}, QMessageBox::NoIcon, 2},
        {0x300, {1}, QMessageBox::NoIcon, 1}, // a default beyond the buttons falls back to the
                                              // first
    };
    for (const Case& c : cases) {
        for (int answer : c.buttons) {
            BoxCloser closer([answer](const SeenBox&) { return answer; });
            int got = dlg_message_box(nullptr, "Text !\n\nline ?\n", "Cap...", c.type);
            EXPECT_EQ(got, answer) << std::hex << c.type;
            ASSERT_EQ(closer.seen.size(), 1u);
            const SeenBox& s = closer.seen[0];
            EXPECT_EQ(s.caption, "Cap...");
            EXPECT_EQ(s.text, "Text !\n\nline ?\n") << "the text is shown exactly as given";
            EXPECT_EQ(s.icon, c.icon) << std::hex << c.type;
            EXPECT_EQ(s.default_id, c.default_id) << std::hex << c.type;
            std::vector<int> sorted_seen = s.buttons, sorted_want = c.buttons;
            std::sort(sorted_seen.begin(), sorted_seen.end());
            std::sort(sorted_want.begin(), sorted_want.end());
            EXPECT_EQ(sorted_seen, sorted_want) << std::hex << c.type;
        }
    }
}

TEST(MessageBox, EscapeAnswersCancelOrTheLoneOk) {
    struct Case {
        uint32_t type;
        int answer;
    } cases[] = {{0x30, 1}, {0x233, 2}, {0x1, 2}, {0x5, 2}};
    for (const Case& c : cases) {
        BoxCloser closer([](const SeenBox&) { return 0; });
        QTimer::singleShot(20, [] {
            if (QWidget* p = QApplication::activeModalWidget()) QTest::keyClick(p, Qt::Key_Escape);
        });
        EXPECT_EQ(dlg_message_box(nullptr, "t", "c", c.type), c.answer) << std::hex << c.type;
    }
}
