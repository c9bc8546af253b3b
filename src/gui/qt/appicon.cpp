// The application icon, painted pixel by pixel from its design.
#include "appicon.h"

#include "appicon_pixels.h"

#include <QImage>

static QPixmap draw_icon(int s) {
    QImage img(s, s, QImage::Format_ARGB32);
    for (int y = 0; y < s; y++) {
        for (int x = 0; x < s; x++) {
            int i = appicon_pixel(s, x, y);
            img.setPixel(x, y, i == APPICON_TRANSPARENT ? 0u : 0xFF000000u | appicon_rgb(i));
        }
    }
    return QPixmap::fromImage(img);
}

QPixmap app_icon_pixmap(int size) {
    if (size == 16) return draw_icon(16);
    QPixmap pm = draw_icon(32);
    if (size == 32 || size < 1) return pm;
    return pm.scaled(size, size, Qt::IgnoreAspectRatio, Qt::FastTransformation);
}

QIcon app_icon() {
    QIcon icon;
    icon.addPixmap(draw_icon(32));
    icon.addPixmap(draw_icon(16));
    return icon;
}
