// The application icon (icon 128) as pixels: a chip with a download arrow
// coming down into it, in the sixteen standard colours, at 32 x 32 and 16 x 16.
// Both window layers take it from here: the Qt layer paints it into pixmaps,
// the Win32 build writes it into the icon file of its resource script.
#pragma once

#include <cstdint>

enum { APPICON_TRANSPARENT = -1 };

// The palette index (0..15 of the standard sixteen colours) of pixel (x, y)
// of the picture of size 32 or 16 (any other size counts as 32), or
// APPICON_TRANSPARENT; outside the picture also APPICON_TRANSPARENT.
int appicon_pixel(int size, int x, int y);

// 0xRRGGBB of palette index i (0..15); 0 for any other index.
uint32_t appicon_rgb(int i);
