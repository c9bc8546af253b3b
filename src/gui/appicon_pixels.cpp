// The icon's design: rectangles and triangles given for 32 pixels and halved
// for 16; a pixel belongs to a shape when its centre lies inside.
#include "appicon_pixels.h"

enum { BLACK = 0, OLIVE = 3, NAVY = 4, SILVER = 7, LIME = 10, YELLOW = 11, BLUE = 12 };

static const uint32_t k_palette[16] = {
    0x000000, 0x800000, 0x008000, 0x808000, 0x000080, 0x800080, 0x008080, 0xC0C0C0,
    0x808080, 0xFF0000, 0x00FF00, 0xFFFF00, 0x0000FF, 0xFF00FF, 0x00FFFF, 0xFFFFFF,
};

uint32_t appicon_rgb(int i) {
    return i >= 0 && i < 16 ? k_palette[i] : 0;
}

// Shapes in painting order (later ones cover earlier ones), for 32 pixels.
struct Shape {
    int is_triangle;
    int colour;
    int a[6]; // rectangle x, y, w, h; triangle x0, y0, x1, y1, x2, y2
};

static const Shape k_shapes[] = {
    // Pins, then the chip's body over them, its top edge and a status light.
    {0, SILVER, {2, 14, 28, 2}},
    {0, SILVER, {2, 18, 28, 2}},
    {0, SILVER, {2, 22, 28, 2}},
    {0, SILVER, {2, 26, 28, 2}},
    {0, BLACK, {6, 12, 20, 18}},
    {0, NAVY, {8, 14, 16, 14}},
    {0, BLUE, {8, 14, 16, 2}},
    {0, LIME, {20, 24, 2, 2}},
    // The arrow: shaft and head, outlined.
    {0, OLIVE, {12, 0, 8, 10}},
    {1, OLIVE, {6, 8, 26, 8, 16, 22}},
    {0, YELLOW, {14, 0, 4, 10}},
    {1, YELLOW, {10, 10, 22, 10, 16, 18}},
};

// Twice the signed area of (a, b, c): its sign tells on which side of ab c lies.
static long long cross2(long long ax, long long ay, long long bx, long long by, long long cx,
                        long long cy) {
    return (bx - ax) * (cy - ay) - (by - ay) * (cx - ax);
}

// In doubled coordinates, so that pixel centres are whole numbers.
static int inside(const Shape& s, int k, int x2, int y2) {
    const int* a = s.a;
    if (!s.is_triangle) {
        int x = a[0] / k * 2, y = a[1] / k * 2, w = a[2] / k * 2, h = a[3] / k * 2;
        return x2 >= x && x2 < x + w && y2 >= y && y2 < y + h;
    }
    long long p[6];
    for (int i = 0; i < 6; i++)
        p[i] = a[i] / k * 2;
    long long d0 = cross2(p[0], p[1], p[2], p[3], x2, y2);
    long long d1 = cross2(p[2], p[3], p[4], p[5], x2, y2);
    long long d2 = cross2(p[4], p[5], p[0], p[1], x2, y2);
    return (d0 >= 0 && d1 >= 0 && d2 >= 0) || (d0 <= 0 && d1 <= 0 && d2 <= 0);
}

int appicon_pixel(int size, int x, int y) {
    if (size != 16) size = 32;
    if (x < 0 || y < 0 || x >= size || y >= size) return APPICON_TRANSPARENT;
    const int k = 32 / size;
    int colour = APPICON_TRANSPARENT;
    for (const Shape& s : k_shapes)
        if (inside(s, k, 2 * x + 1, 2 * y + 1)) colour = s.colour;
    return colour;
}
