// gui_shots: pictures of the windows for the documentation, rendered on the
// offscreen platform with QWidget::grab(): the main window idle, during a
// download against orvo-devsim, after success (with its box), the About box
// and the console viewer. Usage: gui_shots OUTDIR
#include "boxcloser.h"
#include "devsim_process.h"

#include "aboutdlg.h"
#include "dlgkit.h"
#include "loaderapp.h"
#include "maindlg.h"
#include "stdoutdlg.h"

#include "root.h"

#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>

#include <cstdio>
#include <cstdlib>

static QString s_dir;
static int s_n_failed = 0;

static void save(QWidget* p_w, const char* p_name) {
    QString path = s_dir + "/" + p_name;
    if (!p_w->grab().save(path)) {
        fprintf(stderr, "gui_shots: cannot write %s\n", qPrintable(path));
        s_n_failed++;
        return;
    }
    printf("%s\n", qPrintable(path));
}

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    if (argc != 2) {
        fprintf(stderr, "usage: gui_shots OUTDIR\n");
        return 2;
    }
    s_dir = QString::fromLocal8Bit(argv[1]);
    QDir().mkpath(s_dir);

    Root* p_root = Root_alloc();
    if (!p_root) {
        fprintf(stderr, "gui_shots: Root_alloc() returned NULL\n");
        return 1;
    }
    set_p_root(p_root);
    Root_set_cb_pump(p_root, loader_pump_events, nullptr);

    MainDlg dlg;
    dlg.show();
    QApplication::processEvents();
    save(&dlg, "main-idle.png");

    {
        AboutDlg about(&dlg);
        about.show();
        QApplication::processEvents();
        save(&about, "about.png");
    }

    // A download slow enough (device time per flash write) to be caught mid-way.
    DevSimProcess sim({"--write-ms", "2"});
    if (!sim.ok()) {
        fprintf(stderr, "gui_shots: orvo-devsim did not start\n");
        return 1;
    }
    setenv("ORVO_COM1", sim.port().c_str(), 1);
    bool mid_saved = false;
    QTimer watcher;
    QObject::connect(&watcher, &QTimer::timeout, [&] {
        if (mid_saved || dlg.m_ctlStatusStep->text() != "Programming application...") return;
        if (!dlg.m_ctlStatusDetail->text().contains(" of ")) return;
        if (dlg.m_ctlProgress->value() < 40) return;
        mid_saved = true;
        save(&dlg, "main-download.png");
    });
    watcher.start(20);
    BoxCloser closer({}, {});
    closer.on_box = [&](const SeenBox& s) {
        if (s.caption != "Ok") return;
        if (auto* p_box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget()))
            save(p_box, "success-box.png");
    };
    qobject_cast<QPushButton*>(dlg_item(&dlg, 1002))->click();
    watcher.stop();
    if (!mid_saved) {
        fprintf(stderr, "gui_shots: the download was not caught while programming\n");
        s_n_failed++;
    }
    if (closer.seen.empty() || closer.seen.back().caption != "Ok") {
        fprintf(stderr, "gui_shots: the download did not succeed\n");
        s_n_failed++;
    }
    save(&dlg, "main-success.png");

    dlg.OnStdout();
    QApplication::processEvents();
    if (StdoutDlg* p_viewer = dlg.GetStdoutDlg()) {
        p_viewer->RefreshList(0);
        QApplication::processEvents();
        if (QDialog* p_wnd = p_viewer->GetSafeHwnd()) save(p_wnd, "stdout.png");
    }
    return s_n_failed == 0 ? 0 : 1;
}
