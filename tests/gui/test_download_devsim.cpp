// Downloads through the main window against the simulated device on a pty:
// success with the flash equal to the image, Close during programming
// answered Yes and No, and a device that stops answering.
#include "boxcloser.h"
#include "devsim_process.h"
#include "gui_fixture.h"

#include "dlgkit.h"
#include "maindlg.h"

#include "rmc.h"
#include "uvmem.h"

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>

#include <cstdlib>

class WindowDownload : public RootTest {
  protected:
    void TearDown() override {
        unsetenv("ORVO_COM1");
        RootTest::TearDown();
    }
    // COM1 is the simulator's pty.
    void use_port(const DevSimProcess& sim) { setenv("ORVO_COM1", sim.port().c_str(), 1); }
    // What the flash must hold after a complete download: the image with its signature.
    std::vector<uint8_t> image() {
        UvMem* p_vm = Root_get_p_vm(p_root);
        const uint8_t* p = UvMem_get_p_vmem(p_vm);
        return std::vector<uint8_t>(p, p + UvMem_get_n_vmem(p_vm));
    }
    static QPushButton* button(MainDlg& dlg, int id) {
        return qobject_cast<QPushButton*>(dlg_item(&dlg, id));
    }
};

TEST_F(WindowDownload, DownloadProgramsTheFlashAndReportsSuccess) {
    DevSimProcess sim;
    ASSERT_TRUE(sim.ok());
    use_port(sim);
    MainDlg dlg;
    dlg.show();
    BoxCloser closer;
    bool download_enabled_at_box = true;
    closer.on_box = [&](const SeenBox&) {
        download_enabled_at_box = button(dlg, 1002)->isEnabled();
    };
    // The window keeps running its events during the download.
    int n_ticks = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] { n_ticks++; });
    ticker.start(10);
    QTest::mouseClick(button(dlg, 1002), Qt::LeftButton);

    ASSERT_EQ(closer.seen.size(), 1u);
    EXPECT_EQ(closer.seen[0].caption, "Ok");
    EXPECT_EQ(closer.seen[0].text, "Application successfully downloaded !");
    EXPECT_EQ(closer.seen[0].icon, QMessageBox::Warning);
    EXPECT_FALSE(download_enabled_at_box) << "Download stays disabled until the port is closed";
    EXPECT_GT(n_ticks, 0);
    EXPECT_TRUE(button(dlg, 1002)->isEnabled());
    EXPECT_EQ(dlg.m_ctlStatusStep->text(), "ready");
    EXPECT_EQ(dlg.m_ctlStatusDetail->text(), "ready");
    EXPECT_EQ(dlg.m_ctlProgress->value(), 0);
    EXPECT_EQ(dlg.m_bBusy, 0);
    EXPECT_EQ(dlg.GetLastReport().fail, DL_OK);

    ASSERT_EQ(sim.stop(), 0);
    std::vector<uint8_t> flash = sim.flash();
    ASSERT_EQ(flash.size(), 0x74000u);
    EXPECT_TRUE(flash == image()) << "the device's flash equals the application image";
    EXPECT_NE(sim.report().find("\"signature_last\": true"), std::string::npos) << sim.report();
}

// Close during programming: Yes stops the download with the programming
// failure and leaves the signature erased; No lets it finish.
TEST_F(WindowDownload, CloseDuringProgrammingAnsweredYesOrNo) {
    struct Case {
        int answer;
        const char* last_caption;
        const char* last_text;
        int32_t fail;
    } cases[] = {
        {6, "Error...", "Programming application failed !", DL_FAIL_PROGRAM},
        {7, "Ok", "Application successfully downloaded !", DL_OK},
    };
    for (const Case& c : cases) {
        // A flash write takes the device a moment, as on real hardware: the window's waits
        // for the reply let the click through. A simulator that answers before the loader
        // next looks at the port would leave the window no wait to handle it in.
        DevSimProcess sim({"--write-ms", "1"});
        ASSERT_TRUE(sim.ok());
        use_port(sim);
        MainDlg dlg;
        dlg.show();
        BoxCloser closer([&c](const SeenBox& s) { return s.caption == "Warning" ? c.answer : 1; });
        // Presses Close once, as soon as programming has begun.
        bool pressed = false;
        QTimer watcher;
        QObject::connect(&watcher, &QTimer::timeout, [&] {
            if (pressed || dlg.m_ctlStatusStep->text() != "Programming application...") return;
            pressed = true;
            button(dlg, 2)->click();
        });
        watcher.start(2);
        QTest::mouseClick(button(dlg, 1002), Qt::LeftButton);
        watcher.stop();

        ASSERT_TRUE(pressed) << c.answer;
        ASSERT_EQ(closer.seen.size(), 2u) << c.answer;
        EXPECT_EQ(closer.seen[0].caption, "Warning");
        EXPECT_EQ(closer.seen[1].caption, c.last_caption);
        EXPECT_EQ(closer.seen[1].text, c.last_text);
        EXPECT_EQ(dlg.GetLastReport().fail, c.fail);
        EXPECT_TRUE(dlg.isVisible()) << "the window stays open after the question";
        EXPECT_TRUE(button(dlg, 1002)->isEnabled());
        EXPECT_EQ(dlg.m_ctlStatusStep->text(), "ready");
        EXPECT_EQ(UvMem_read_byte(Root_get_p_vm(p_root), 0x80010), 0x47)
            << "the image's signature is restored";

        ASSERT_EQ(sim.stop(), 0);
        std::vector<uint8_t> flash = sim.flash();
        ASSERT_EQ(flash.size(), 0x74000u);
        if (c.fail == DL_OK) {
            EXPECT_TRUE(flash == image());
        } else {
            EXPECT_EQ(flash[0x10], 0xFF) << "an interrupted download leaves no valid signature";
            EXPECT_FALSE(flash == image());
        }
        // Idle again: Close closes without a question.
        size_t n_boxes = closer.seen.size();
        button(dlg, 2)->click();
        EXPECT_FALSE(dlg.isVisible());
        EXPECT_EQ(closer.seen.size(), n_boxes);
    }
}

// A device that stops answering ends in its step's box and a usable window:
// the next download on a working device succeeds.
TEST_F(WindowDownload, DeviceThatStopsAnsweringLeavesAUsableWindow) {
    MainDlg dlg;
    dlg.show();
    BoxCloser closer;
    const int32_t send_timeout_ms = Root_get_p_rmc(p_root)->send_timeout_ms;
    const int32_t t_ack_delay_ms = Root_get_p_co(p_root)->t_ack_delay_ms;
    {
        DevSimProcess sim({"--silent-after", "3"});
        ASSERT_TRUE(sim.ok());
        use_port(sim);
        // Short waits for the silent device (the download sets only the reply
        // time-out); the window keeps taking events while it waits. The download on the
        // live device below gets the usual waits back.
        Root_get_p_rmc(p_root)->send_timeout_ms = 300;
        Root_get_p_co(p_root)->t_ack_delay_ms = 100;
        int n_ticks = 0;
        QTimer ticker;
        QObject::connect(&ticker, &QTimer::timeout, [&] { n_ticks++; });
        ticker.start(10);
        QTest::mouseClick(button(dlg, 1002), Qt::LeftButton);
        EXPECT_GT(n_ticks, 20) << "the window is not frozen while the device is silent";
        ASSERT_EQ(closer.seen.size(), 1u);
        EXPECT_EQ(closer.seen[0].caption, "Error...");
        EXPECT_EQ(closer.seen[0].text, "Download of Flashloader failed !");
        EXPECT_TRUE(button(dlg, 1002)->isEnabled());
        EXPECT_EQ(dlg.m_ctlStatusStep->text(), "ready");
        EXPECT_EQ(dlg.m_bBusy, 0);
        Root_get_p_rmc(p_root)->send_timeout_ms = send_timeout_ms;
        Root_get_p_co(p_root)->t_ack_delay_ms = t_ack_delay_ms;
    }
    DevSimProcess sim;
    ASSERT_TRUE(sim.ok());
    use_port(sim);
    QTest::mouseClick(button(dlg, 1002), Qt::LeftButton);
    ASSERT_EQ(closer.seen.size(), 2u);
    EXPECT_EQ(closer.seen[1].caption, "Ok");
    EXPECT_EQ(closer.seen[1].text, "Application successfully downloaded !");
}

// While the transaction layer waits for a reply that does not come (the
// device takes the request and stays quiet), the window's timers fire, it
// repaints, and Close asks the "Warning" question (answered No: the step then
// fails at its reply time-out).
TEST_F(WindowDownload, SilentDeviceLeavesTimersPaintingAndCloseWorking) {
    MainDlg dlg;
    dlg.show();
    QApplication::processEvents();
    BoxCloser closer([](const SeenBox& box) { return box.caption == "Warning" ? 7 : 1; });
    // The activation's reply would leave after a minute; the host waits 1 s for it.
    DevSimProcess sim({"--reply-delay-ms", "60000"});
    ASSERT_TRUE(sim.ok());
    use_port(sim);

    // Counts the window's paint events; the ticker asks for a repaint each tick.
    struct PaintCounter : QObject {
        int n = 0;
        bool eventFilter(QObject*, QEvent* e) override {
            if (e->type() == QEvent::Paint) n++;
            return false;
        }
    } paints;
    dlg.installEventFilter(&paints);
    int n_ticks = 0;
    int n_paints_at_close = -1;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        if (dlg.m_ctlStatusStep->text() != "Activating bootloader...") return;
        n_ticks++;
        dlg.update();
        // Inside the reply wait: Close, as a user would.
        if (n_ticks == 10) {
            n_paints_at_close = paints.n;
            button(dlg, 2)->click();
        }
    });
    ticker.start(10);
    QTest::mouseClick(button(dlg, 1002), Qt::LeftButton);
    ticker.stop();
    dlg.removeEventFilter(&paints);

    EXPECT_GE(n_ticks, 10) << "timers fire during the reply wait";
    EXPECT_GE(n_paints_at_close, 5) << "the window repaints during the reply wait";
    ASSERT_EQ(closer.seen.size(), 2u);
    EXPECT_EQ(closer.seen[0].caption, "Warning");
    EXPECT_EQ(closer.seen[0].text.left(55),
              "Programming of the flash memory has not yet completed !");
    EXPECT_EQ(closer.seen[1].caption, "Error...");
    EXPECT_EQ(closer.seen[1].text, "Activating bootloader failed !");
    EXPECT_TRUE(dlg.isVisible());
    EXPECT_EQ(dlg.m_bAbort, 0);
}

// A device lost while programming (the simulator ends, its pty goes away):
// the programming failure box soon after, a usable window, and the next
// download on a device that is back succeeds.
TEST_F(WindowDownload, DeviceLostWhileProgrammingLeavesAUsableWindow) {
    MainDlg dlg;
    dlg.show();
    BoxCloser closer;
    {
        DevSimProcess sim({"--write-ms", "1"}); // a wait for each flash write, as above
        ASSERT_TRUE(sim.ok());
        use_port(sim);
        bool lost = false;
        QTimer watcher;
        QObject::connect(&watcher, &QTimer::timeout, [&] {
            if (lost || dlg.m_ctlStatusStep->text() != "Programming application...") return;
            lost = true;
            sim.stop();
        });
        watcher.start(2);
        QTest::mouseClick(button(dlg, 1002), Qt::LeftButton);
        watcher.stop();
        ASSERT_TRUE(lost);
        ASSERT_EQ(closer.seen.size(), 1u);
        EXPECT_EQ(closer.seen[0].caption, "Error...");
        EXPECT_EQ(closer.seen[0].text, "Programming application failed !");
        EXPECT_EQ(dlg.GetLastReport().fail, DL_FAIL_PROGRAM);
        EXPECT_TRUE(button(dlg, 1002)->isEnabled());
        EXPECT_EQ(dlg.m_ctlStatusStep->text(), "ready");
    }
    DevSimProcess sim;
    ASSERT_TRUE(sim.ok());
    use_port(sim);
    QTest::mouseClick(button(dlg, 1002), Qt::LeftButton);
    ASSERT_EQ(closer.seen.size(), 2u);
    EXPECT_EQ(closer.seen[1].text, "Application successfully downloaded !");
}
