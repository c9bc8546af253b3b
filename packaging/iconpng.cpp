// Writes the window's own icon as PNG files for the desktop's icon theme, so
// that the menu entry shows the same picture as the window.
//   orvo-iconpng SIZE FILE [SIZE FILE ...]
#include "appicon.h"

#include <QGuiApplication>
#include <QPixmap>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    if (argc < 3 || (argc - 1) % 2) {
        std::fputs("usage: orvo-iconpng SIZE FILE [SIZE FILE ...]\n", stderr);
        return 2;
    }
    // Read before Qt sees argv; a build machine needs no display.
    std::vector<std::pair<int, std::string>> jobs;
    for (int i = 1; i + 1 < argc; i += 2) {
        int size = std::atoi(argv[i]);
        if (size < 1 || size > 1024) {
            std::fprintf(stderr, "orvo-iconpng: size '%s' is not 1..1024\n", argv[i]);
            return 2;
        }
        jobs.emplace_back(size, argv[i + 1]);
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    // Only failures matter here, not the offscreen platform's remarks on the environment.
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& text) {
        if (type == QtCriticalMsg || type == QtFatalMsg)
            std::fprintf(stderr, "orvo-iconpng: %s\n", qPrintable(text));
    });
    int qt_argc = 1;
    QGuiApplication app(qt_argc, argv);
    for (const auto& [size, path] : jobs) {
        QPixmap pm = app_icon_pixmap(size);
        if (pm.width() != size || !pm.save(QString::fromStdString(path), "PNG")) {
            std::fprintf(stderr, "orvo-iconpng: cannot write the %d-pixel icon to %s\n", size,
                         path.c_str());
            return 1;
        }
    }
    return 0;
}
