// orvo-mkicon FILE.ico: writes the application icon (appicon_pixels.h) as an
// icon file with a 32 x 32 and a 16 x 16 picture of 16 colours, for the
// resource script. Exit status 0 on success, 1 when the file cannot be written.
#include "appicon_pixels.h"

#include <cstdint>
#include <cstdio>
#include <vector>

static void put16(std::vector<uint8_t>& v, unsigned x) {
    v.push_back(x & 0xFF);
    v.push_back((x >> 8) & 0xFF);
}
static void put32(std::vector<uint8_t>& v, uint32_t x) {
    put16(v, x & 0xFFFF);
    put16(v, x >> 16);
}

// One picture as a 4-bit device-independent bitmap: header (height doubled for
// the mask), palette, colour rows and then mask rows, both bottom-up, each row
// padded to 4 bytes.
static std::vector<uint8_t> picture(int s) {
    std::vector<uint8_t> v;
    int l_xor = ((s * 4 + 31) / 32) * 4;
    int l_and = ((s + 31) / 32) * 4;
    put32(v, 40);
    put32(v, s);
    put32(v, 2 * s);
    put16(v, 1);
    put16(v, 4);
    put32(v, 0);
    put32(v, (l_xor + l_and) * s);
    put32(v, 0);
    put32(v, 0);
    put32(v, 16);
    put32(v, 0);
    for (int i = 0; i < 16; i++) {
        uint32_t rgb = appicon_rgb(i);
        v.push_back(rgb & 0xFF);
        v.push_back((rgb >> 8) & 0xFF);
        v.push_back((rgb >> 16) & 0xFF);
        v.push_back(0);
    }
    for (int y = s - 1; y >= 0; y--) {
        std::vector<uint8_t> row(l_xor, 0);
        for (int x = 0; x < s; x++) {
            int i = appicon_pixel(s, x, y);
            if (i == APPICON_TRANSPARENT) i = 0;
            row[x / 2] |= static_cast<uint8_t>(x % 2 ? i : i << 4);
        }
        v.insert(v.end(), row.begin(), row.end());
    }
    for (int y = s - 1; y >= 0; y--) {
        std::vector<uint8_t> row(l_and, 0);
        for (int x = 0; x < s; x++)
            if (appicon_pixel(s, x, y) == APPICON_TRANSPARENT) row[x / 8] |= 0x80 >> (x % 8);
        v.insert(v.end(), row.begin(), row.end());
    }
    return v;
}

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: orvo-mkicon FILE.ico\n");
        return 1;
    }
    const int sizes[2] = {32, 16};
    std::vector<uint8_t> pics[2] = {picture(32), picture(16)};
    std::vector<uint8_t> out;
    put16(out, 0);
    put16(out, 1); // icon
    put16(out, 2);
    uint32_t offset = 6 + 2 * 16;
    for (int i = 0; i < 2; i++) {
        out.push_back(static_cast<uint8_t>(sizes[i]));
        out.push_back(static_cast<uint8_t>(sizes[i]));
        out.push_back(16); // colours
        out.push_back(0);
        put16(out, 1);
        put16(out, 4);
        put32(out, static_cast<uint32_t>(pics[i].size()));
        put32(out, offset);
        offset += static_cast<uint32_t>(pics[i].size());
    }
    for (auto& p : pics)
        out.insert(out.end(), p.begin(), p.end());
    FILE* fp = fopen(argv[1], "wb");
    if (!fp) {
        perror(argv[1]);
        return 1;
    }
    size_t n = fwrite(out.data(), 1, out.size(), fp);
    if (fclose(fp) != 0 || n != out.size()) {
        fprintf(stderr, "orvo-mkicon: writing %s failed\n", argv[1]);
        return 1;
    }
    return 0;
}
