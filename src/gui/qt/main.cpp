// orvo-loader: the desktop window for downloading the firmware into the device.
#include "appicon.h"
#include "loaderapp.h"

#include <QApplication>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("main"));
    QApplication::setApplicationVersion(QStringLiteral("1.0.0.1"));
    QApplication::setWindowIcon(app_icon());
    return theApp.InitInstance();
}
