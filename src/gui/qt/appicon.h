// The application icon (icon 128) as Qt pictures, from its design in
// appicon_pixels.h: 32 x 32 and 16 x 16 pixels.
#pragma once

#include <QIcon>
#include <QPixmap>

// The picture at 32 or 16 pixels; any other size is the 32-pixel picture scaled.
QPixmap app_icon_pixmap(int size);
// The icon with both pictures.
QIcon app_icon();
