// The application icon, drawn pixel-exact without antialiasing.
#include "appicon.h"

#include <QPainter>
#include <QPolygon>

// Colours of the standard sixteen-colour palette that the icon uses.
static const QColor k_navy(0, 0, 128);
static const QColor k_blue(0, 0, 255);
static const QColor k_silver(192, 192, 192);
static const QColor k_black(0, 0, 0);
static const QColor k_yellow(255, 255, 0);
static const QColor k_olive(128, 128, 0);
static const QColor k_lime(0, 255, 0);

// One picture: a chip body with pins on both sides and an arrow coming down
// into it. s is the size in pixels (32 or 16); coordinates are given for 32.
static QPixmap draw_icon(int s) {
    QPixmap pm(s, s);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing, false);
    const int k = 32 / s; // 1 or 2: divisor for the 32-pixel design
    auto r = [k](int x, int y, int w, int h) { return QRect(x / k, y / k, w / k, h / k); };

    // Pins, then the body over them.
    for (int y = 14; y <= 26; y += 4) {
        p.fillRect(r(2, y, 28, 2), k_silver);
    }
    p.fillRect(r(6, 12, 20, 18), k_black);
    p.fillRect(r(8, 14, 16, 14), k_navy);
    p.fillRect(r(8, 14, 16, 2), k_blue);
    // A status light on the chip.
    p.fillRect(r(20, 24, 2, 2), k_lime);

    // The arrow: shaft and head, outlined.
    p.setPen(Qt::NoPen);
    p.setBrush(k_olive);
    p.drawRect(r(12, 0, 8, 10));
    QPolygon head;
    head << QPoint(6 / k, 8 / k) << QPoint(26 / k, 8 / k) << QPoint(16 / k, 22 / k);
    p.drawPolygon(head);
    p.setBrush(k_yellow);
    p.drawRect(r(14, 0, 4, 10));
    QPolygon inner;
    inner << QPoint(10 / k, 10 / k) << QPoint(22 / k, 10 / k) << QPoint(16 / k, 18 / k);
    p.drawPolygon(inner);
    p.end();
    return pm;
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
