// Firmware generator: writes the synthetic flash loader and application images as S-record files.
//
// Usage: orvo-fwgen [output folder]   (default: the current folder)
//
// Writes fld_02.s37 (flash loader, three segments in device RAM from 0x400000)
// and orvo.s37 (application, one segment of 469428 bytes from 0x80000), and
// prints how many 256-byte blocks of the application are not blank when it is
// laid into the 0x74000-byte code memory from 0x80000 (the blocks a download
// programs). The output depends on nothing but this file: its own random
// generator, integer arithmetic only, fixed line format (S0 header, S3 data
// lines of 32 bytes, S7 end line, CR LF, upper-case hexadecimal).
//
// The bytes imitate big-endian ColdFire firmware: vector table or entry jump,
// the signature 0x47 at offset 0x10 of each first segment, functions built
// from plausible opcodes, version and message texts, constant tables, runs of
// 0xFF padding that cover whole 256-byte blocks (skipped by the download), and
// one 256-byte block of 0x10 bytes (every byte a DLE on the wire).
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

// xorshift32: small, fully specified, the same on every platform.
struct Rng {
    uint32_t s;
    uint32_t next() {
        s ^= s << 13;
        s ^= s >> 17;
        s ^= s << 5;
        return s;
    }
    uint32_t below(uint32_t n) { return next() % n; }
};

// One segment under construction: bytes at consecutive device addresses.
struct Seg {
    uint32_t adr;
    std::vector<uint8_t> b;

    uint32_t here() const { return adr + static_cast<uint32_t>(b.size()); }
    void u8(uint32_t v) { b.push_back(static_cast<uint8_t>(v)); }
    void u16(uint32_t v) {
        u8(v >> 8);
        u8(v);
    }
    void u32(uint32_t v) {
        u16(v >> 16);
        u16(v);
    }
    void text(const char* s) {
        while (*s)
            u8(static_cast<uint8_t>(*s++));
        u8(0);
    }
    void fill_to(uint32_t offset, uint8_t v) {
        while (b.size() < offset)
            b.push_back(v);
    }
    void put32_at(uint32_t offset, uint32_t v) {
        for (int i = 0; i < 4; i++)
            b[offset + i] = static_cast<uint8_t>(v >> (24 - 8 * i));
    }
};

// Emits one plausible instruction of at most 6 bytes. Calls and loads point
// into [code_lo, code_hi) and into on-chip RAM.
void emit_insn(Seg& s, Rng& r, uint32_t code_lo, uint32_t code_hi) {
    // Every draw is a statement of its own, so the order of the draws (and so
    // the output) does not depend on the compiler.
    const uint32_t d = r.below(8);
    const uint32_t a = r.below(7);
    const uint32_t kind = r.below(16);
    uint32_t x = 0;
    switch (kind) {
    case 0: // move.l Dn,Dd
        x = r.below(8);
        s.u16(0x2000 | (d << 9) | x);
        break;
    case 1: // moveq #n,Dd
        x = r.below(256);
        s.u16(0x7000 | (d << 9) | x);
        break;
    case 2: // addq.l #q,Dd
        x = r.below(8);
        s.u16(0x5080 | (x << 9) | d);
        break;
    case 3: // tst.l Dd
        s.u16(0x4A80 | d);
        break;
    case 4: { // bcc.s
        const uint32_t cond = 2 + r.below(14);
        const uint32_t disp = 2 * r.below(60) + 2;
        s.u16(0x6000 | (cond << 8) | disp);
        break;
    }
    case 5: // jsr abs.l
        x = r.below((code_hi - code_lo) / 2);
        s.u16(0x4EB9);
        s.u32((code_lo + x * 2) & ~1u);
        break;
    case 6: // move.l abs.l,Dd
        x = r.below(0x4000);
        s.u16(0x2039 | (d << 9));
        s.u32(0x20000000 + 4 * x);
        break;
    case 7: // move.l Dd,abs.l
        x = r.below(0x4000);
        s.u16(0x23C0 | d);
        s.u32(0x20000000 + 4 * x);
        break;
    case 8: // lea abs.l,An
        x = r.below(0x100);
        s.u16(0x41F9 | (a << 9));
        s.u32(0x40000000 + 4 * x);
        break;
    case 9: // move.l (d16,An),Dd
        x = r.below(64);
        s.u16(0x2028 | (d << 9) | a);
        s.u16(4 * x);
        break;
    case 10: // cmpi.l #imm,Dd
        x = r.below(0x10000);
        s.u16(0x0C80 | d);
        s.u32(x);
        break;
    case 11: // add.l Dn,Dd
        x = r.below(8);
        s.u16(0xD080 | (d << 9) | x);
        break;
    case 12: // and.l Dn,Dd
        x = r.below(8);
        s.u16(0xC080 | (d << 9) | x);
        break;
    case 13: // lsl.l #q,Dd
        x = r.below(8);
        s.u16(0xE188 | (x << 9) | d);
        break;
    case 14: // move.l Dd,-(sp)
        s.u16(0x2F00 | d);
        break;
    default: // move.l (sp)+,Dd
        s.u16(0x201F | (d << 9));
        break;
    }
}

// Fills the segment up to offset `end` with functions: link, save, body, restore,
// unlink, rts. The last bytes before `end` become nops (and one 0x00 when odd).
void emit_code(Seg& s, Rng& r, uint32_t end, uint32_t code_lo, uint32_t code_hi) {
    while (s.b.size() + 64 <= end) {
        s.u16(0x4E56); // link a6,#-n
        s.u16(0x10000 - 4 * (1 + r.below(8)));
        s.u16(0x48D7); // movem.l regs,(sp)
        s.u16(0x00FC);
        const uint32_t n_body = 4 + r.below(24);
        for (uint32_t i = 0; i < n_body && s.b.size() + 22 <= end; i++)
            emit_insn(s, r, code_lo, code_hi);
        s.u16(0x4CD7); // movem.l (sp),regs
        s.u16(0x00FC);
        s.u16(0x4E5E); // unlk a6
        s.u16(0x4E75); // rts
    }
    while (s.b.size() + 2 <= end)
        s.u16(0x4E71); // nop
    s.fill_to(end, 0x00);
}

// A table of 32-bit CRC remainders, the usual reflected polynomial.
void emit_crc32_table(Seg& s) {
    for (uint32_t n = 0; n < 256; n++) {
        uint32_t c = n;
        for (int k = 0; k < 8; k++)
            c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        s.u32(c);
    }
}

uint32_t crc32(const uint8_t* p, size_t n) {
    uint32_t c = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; i++) {
        c ^= p[i];
        for (int k = 0; k < 8; k++)
            c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    }
    return c ^ 0xFFFFFFFFu;
}

// Flash loader: entry jump at 0x400000, signature and version block, a short
// startup segment, then the command handlers with their texts. Gaps of two
// bytes separate the segments in device memory.
std::vector<Seg> make_flash_loader() {
    Rng r{0x0F1D0002u};
    std::vector<Seg> segs;
    const uint32_t lo = 0x400438, hi = 0x400438 + 44321;

    Seg s0{0x400000, {}};
    s0.u16(0x4EF9); // jmp 0x4000CC (startup)
    s0.u32(0x4000CC);
    while (s0.b.size() < 0x10)
        s0.u16(0x4E71);
    s0.u8(0x47); // signature
    s0.u8(0x02);
    s0.u8(0x01);
    s0.u8(0x04);
    s0.u32(45397); // bytes of the loader
    s0.u32(0);     // CRC of the loader, filled in below
    s0.u32(0x20240117);
    s0.text("FLD_02 flash loader V2.01.04");
    s0.fill_to(0x40, 0x00);
    for (int i = 0; i < 16; i++)
        s0.u32(lo + 0x40 * static_cast<uint32_t>(i) + 0x200); // handlers
    emit_code(s0, r, 202, lo, hi);
    segs.push_back(s0);

    Seg s1{0x4000CC, {}};
    s1.u16(0x2E7C); // movea.l #stack,sp
    s1.u32(0x0040FFF0);
    s1.u16(0x4EB9); // jsr main
    s1.u32(lo + 0x200);
    emit_code(s1, r, 874, lo, hi);
    segs.push_back(s1);

    Seg s2{0x400438, {}};
    emit_code(s2, r, 0x5000, lo, hi);
    s2.fill_to(0x5100, 0x10); // frame test pattern: 256 DLE bytes in one RAM block
    emit_code(s2, r, 0x9C00, lo, hi);
    s2.text("FLD_02 V2.01.04");
    s2.text("erase: sector %d failed");
    s2.text("blank check: %08x is not blank");
    s2.text("write: %08x outside the application area");
    s2.text("start: no valid signature at 0x80010");
    s2.fill_to(0x9E00, 0x00);
    emit_crc32_table(s2);
    emit_code(s2, r, 44321, lo, hi);
    segs.push_back(s2);

    std::vector<uint8_t> all;
    for (const Seg& s : segs)
        all.insert(all.end(), s.b.begin(), s.b.end());
    segs[0].put32_at(0x18, crc32(all.data(), all.size()));
    return segs;
}

// Application: vector table with the signature at 0x80010, code, texts,
// constant tables, 0xFF padding and a trailing CRC.
std::vector<Seg> make_application() {
    Rng r{0x0A550201u};
    const uint32_t n = 469428;
    const uint32_t lo = 0x80400, hi = 0x80000 + n;
    Seg s{0x80000, {}};

    s.u32(0x20010000); // initial stack pointer
    s.u32(0x80400);    // reset entry
    s.u32(0x80440);    // access error
    s.u32(0x80440);    // address error
    s.u8(0x47);        // signature: a valid application
    s.u8(0x02);
    s.u8(0x04);
    s.u8(0x07);
    s.u32(n);
    s.u32(0); // CRC over the whole image with this field 0, filled in below
    s.u32(0x20240305);
    for (uint32_t v = 8; v < 256; v++)
        s.u32(v < 64 ? 0x80440 + 8 * (v & 7) : 0x80440);

    emit_code(s, r, 0x2F6A4, lo, hi);
    s.fill_to(0x30400, 0xFF); // padding up to the next section: whole blank blocks
    s.text("ORVO application V2.04.07");
    s.text("(c) ORVO instruments");
    s.text("build 2024-03-05 r1187");
    s.text("sensor %d: out of range");
    s.text("calibration table CRC mismatch");
    s.text("watchdog reset");
    s.text("parameter block version %u");
    s.fill_to(0x31000, 0x00);
    s.fill_to(0x31100, 0x10); // default gain table: 256 DLE bytes in one flash block
    emit_crc32_table(s);
    for (int i = 0; i < 0x1000; i++)
        s.u16(0x8000 + r.below(0x2000) - 0x1000); // calibration
    s.fill_to(0x34000, 0x00);
    emit_code(s, r, 0x5FF80, lo, hi);
    s.fill_to(0x600AC, 0xFF); // 300 bytes of 0xFF that cover no whole block
    emit_code(s, r, 0x6C000, lo, hi);
    s.fill_to(0x6D000, 0xFF); // 16 blank blocks
    emit_code(s, r, n - 4, lo, hi);
    s.u32(0);
    s.put32_at(0x18, crc32(s.b.data(), s.b.size()));
    s.put32_at(n - 4, crc32(s.b.data(), s.b.size() - 4));
    return {s};
}

// Appends one S-record line: type, count, address, data, checksum, CR LF.
void put_line(std::string& out, int type, int n_adr, uint32_t adr, const uint8_t* p, size_t n) {
    static const char hex[] = "0123456789ABCDEF";
    std::vector<uint8_t> v;
    v.push_back(static_cast<uint8_t>(n_adr + n + 1));
    for (int i = n_adr - 1; i >= 0; i--)
        v.push_back(static_cast<uint8_t>(adr >> (8 * i)));
    v.insert(v.end(), p, p + n);
    unsigned sum = 0;
    for (uint8_t x : v)
        sum += x;
    v.push_back(static_cast<uint8_t>(~sum));
    out += 'S';
    out += static_cast<char>('0' + type);
    for (uint8_t x : v) {
        out += hex[x >> 4];
        out += hex[x & 15];
    }
    out += "\r\n";
}

std::string to_s37(const char* header, const std::vector<Seg>& segs, uint32_t start) {
    std::string out;
    put_line(out, 0, 2, 0, reinterpret_cast<const uint8_t*>(header), strlen(header));
    for (const Seg& s : segs) {
        for (size_t i = 0; i < s.b.size(); i += 32) {
            const size_t n = s.b.size() - i < 32 ? s.b.size() - i : 32;
            put_line(out, 3, 4, s.adr + static_cast<uint32_t>(i), s.b.data() + i, n);
        }
    }
    put_line(out, 7, 4, start, nullptr, 0);
    return out;
}

bool write_file(const std::string& path, const std::string& text) {
    FILE* fp = fopen(path.c_str(), "wb");
    if (fp == nullptr) {
        fprintf(stderr, "orvo-fwgen: cannot open %s for writing\n", path.c_str());
        return false;
    }
    const bool ok = fwrite(text.data(), 1, text.size(), fp) == text.size();
    if (fclose(fp) != 0 || !ok) {
        fprintf(stderr, "orvo-fwgen: cannot write %s\n", path.c_str());
        return false;
    }
    return true;
}

// The segment tables every consumer relies on; a change here is a mistake.
bool tables_are_right(const std::vector<Seg>& fld, const std::vector<Seg>& app) {
    const uint32_t fld_a[3] = {0x400000, 0x4000CC, 0x400438};
    const size_t fld_n[3] = {202, 874, 44321};
    if (fld.size() != 3 || app.size() != 1) return false;
    for (int k = 0; k < 3; k++) {
        if (fld[k].adr != fld_a[k] || fld[k].b.size() != fld_n[k]) return false;
    }
    return app[0].adr == 0x80000 && app[0].b.size() == 469428 && fld[0].b[0x10] == 0x47 &&
           app[0].b[0x10] == 0x47;
}

// Blocks of 256 bytes from 0x80000 to 0xF4000 that hold anything but 0xFF.
int count_non_blank(const Seg& app) {
    std::vector<uint8_t> mem(0x74000, 0xFF);
    memcpy(mem.data() + (app.adr - 0x80000), app.b.data(), app.b.size());
    int n = 0;
    for (size_t a = 0; a < mem.size(); a += 256) {
        for (size_t i = 0; i < 256; i++) {
            if (mem[a + i] != 0xFF) {
                n++;
                break;
            }
        }
    }
    return n;
}

} // namespace

int main(int argc, char** argv) {
    if (argc > 2) {
        fprintf(stderr, "usage: orvo-fwgen [output folder]\n");
        return 2;
    }
    const std::string dir = argc == 2 ? std::string(argv[1]) + "/" : std::string();
    const std::vector<Seg> fld = make_flash_loader();
    const std::vector<Seg> app = make_application();
    if (!tables_are_right(fld, app)) {
        fprintf(stderr, "orvo-fwgen: the generated segment tables are wrong\n");
        return 1;
    }
    if (!write_file(dir + "fld_02.s37", to_s37("fld_02.s37", fld, 0x400000)) ||
        !write_file(dir + "orvo.s37", to_s37("orvo.s37", app, 0x80400))) {
        return 1;
    }
    printf("orvo.s37: %d non-blank blocks of 256 bytes\n", count_non_blank(app[0]));
    return 0;
}
