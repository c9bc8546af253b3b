// Test helper for modal windows: a timer that finds the active modal window
// (a message box or a dialog), records it and answers it, so that a test can
// drive code that opens boxes inside nested event loops.
#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTimer>

#include <functional>
#include <vector>

// What a message box showed.
struct SeenBox {
    QString caption;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    std::vector<int> buttons; // answer ids in the box's order
    int default_id = 0;       // answer id of the default button, 0 for none
    int escape_id = 0;        // answer id of the escape button, 0 for none
};

class BoxCloser : public QObject {
  public:
    // answer gives the id of the button to press for a box (0: leave it
    // open this tick). Without one, the first button is pressed.
    using Answer = std::function<int(const SeenBox&)>;
    // on_dialog is called for an active modal window that is not a message
    // box, once per window; it closes it or leaves it.
    using OnDialog = std::function<void(QWidget*)>;

    explicit BoxCloser(Answer answer = {}, OnDialog on_dialog = {})
        : m_answer(std::move(answer)), m_on_dialog(std::move(on_dialog)) {
        connect(&m_timer, &QTimer::timeout, this, [this] { tick(); });
        m_timer.start(5);
    }

    std::vector<SeenBox> seen;
    // Called with each box before it is answered (to look at the window state).
    std::function<void(const SeenBox&)> on_box;

    static int id_of(const QAbstractButton* p_b) {
        return p_b ? p_b->property("dlgId").toInt() : 0;
    }

  private:
    void tick() {
        QWidget* p_w = QApplication::activeModalWidget();
        // A mark on the window itself: a later window may reuse a closed one's address.
        if (!p_w || !p_w->isVisible() || p_w->property(k_done).toBool()) return;
        auto* p_box = qobject_cast<QMessageBox*>(p_w);
        if (!p_box) {
            p_w->setProperty(k_done, true);
            if (m_on_dialog) m_on_dialog(p_w);
            return;
        }
        SeenBox s;
        s.caption = p_box->windowTitle();
        s.text = p_box->text();
        s.icon = p_box->icon();
        for (QAbstractButton* p_b : p_box->buttons())
            s.buttons.push_back(id_of(p_b));
        s.default_id = id_of(p_box->defaultButton());
        s.escape_id = id_of(p_box->escapeButton());
        int id = m_answer ? m_answer(s) : (s.buttons.empty() ? 0 : s.buttons.front());
        if (id == 0) return;
        p_w->setProperty(k_done, true);
        seen.push_back(s);
        if (on_box) on_box(s);
        for (QAbstractButton* p_b : p_box->buttons()) {
            if (id_of(p_b) == id) {
                p_b->click();
                return;
            }
        }
    }

    Answer m_answer;
    OnDialog m_on_dialog;
    QTimer m_timer;
    static constexpr const char* k_done = "boxCloserDone";
};
