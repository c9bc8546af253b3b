// orvo-bench-gui: one download through the main window (offscreen), for the benchmark: the
// shell's setup, a click on Download, the closing box answered; prints the download's times.
#include "dlgkit.h"
#include "loaderapp.h"
#include "loaderwin.h"
#include "maindlg.h"

#include "fsv.h"
#include "root.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <sys/resource.h>
#include <time.h>

namespace {

double now_s(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec * 1e-9;
}

double cpu_s(void) {
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return (double)ru.ru_utime.tv_sec + (double)ru.ru_utime.tv_usec * 1e-6 +
           (double)ru.ru_stime.tv_sec + (double)ru.ru_stime.tv_usec * 1e-6;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: orvo-bench-gui PORT\n  downloads through the window to PORT "
                        "(as COM1) and prints: T <s> CPU <s> BOX <text>\n");
        return 2;
    }
    setenv("ORVO_COM1", argv[1], 1);
    if (getenv("QT_QPA_PLATFORM") == nullptr) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);

    // What LoaderApp::InitInstance sets up, with the window shown instead of run modally.
    Fsv* p_fsv = Fsv_alloc_native();
    if (p_fsv) Fsv_set_default(p_fsv);
    Root* p_root = Root_alloc();
    if (p_root == nullptr) return 1;
    set_p_root(p_root);
    lw_install_wait_hooks(p_root, loader_pump_events, nullptr);

    MainDlg dlg;
    dlg.show();
    QApplication::processEvents();
    auto* p_download = qobject_cast<QPushButton*>(dlg_item(&dlg, 1002));
    if (p_download == nullptr) return 1;

    // The box at the end is answered as soon as it shows; its time ends the download.
    QString box_text;
    double t_box = 0;
    QTimer closer;
    QObject::connect(&closer, &QTimer::timeout, [&] {
        auto* p_box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (p_box == nullptr || !p_box->isVisible() || !box_text.isEmpty()) return;
        t_box = now_s();
        box_text = p_box->text();
        QList<QAbstractButton*> buttons = p_box->buttons();
        if (!buttons.isEmpty()) buttons.front()->click();
    });
    closer.start(5);

    double t0 = now_s();
    double c0 = cpu_s();
    p_download->click(); // runs the whole download in the window's thread
    double t1 = t_box > 0 ? t_box : now_s();
    double c1 = cpu_s();
    closer.stop();
    printf("T %.6f CPU %.6f BOX %s\n", t1 - t0, c1 - c0, box_text.toLocal8Bit().constData());
    fflush(stdout);
    Root_free(p_root);
    return box_text == "Application successfully downloaded !" ? 0 : 1;
}
