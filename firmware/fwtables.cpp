// Firmware table tool: checks one firmware S-record file and generates the C++ tables behind its
// image accessors.
//
// Usage: orvo-fwtables loader|appl <stem> <input.s37> <output.cpp>
//
// Reads the file with the project's S-record reader, joins data records that
// follow each other without a gap into one segment (in file order), checks
// what the download relies on, and writes <output.cpp> with one constant heap
// and the accessors <stem>_get_n_set, _get_p_set_a_bytes, _get_p_set_n_bytes,
// _get_p_set_p_bytes, _get_n_heap and _get_p_heap declared in images.h.
//
// Rules for a flash loader: its first segment starts at 0x400000 (where the
// download starts it) and all segments lie in the RAM region 0x400000 to
// 0x500000. Rules for an application: all segments lie in the code memory
// 0x80000 to 0xF4000 (so at most 0x74000 bytes) and the byte at 0x80010 is
// the signature 0x47. Both: at least one data byte, no two segments overlap.
// A broken rule ends the tool with status 1 and a line naming the file and
// the rule; the output file is then not written.
#include "con.h"
#include "msrec.h"
#include "msrecin.h"
#include "us.h"

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Segment {
    uint32_t adr;
    std::vector<uint8_t> bytes;
    uint64_t end() const { return uint64_t{adr} + bytes.size(); }
};

const char* g_input = "";

int print_to_stderr(void*, const char* text) {
    fputs(text, stderr);
    return 0;
}

[[noreturn]] __attribute__((format(printf, 1, 2))) void fail(const char* format, ...) {
    fprintf(stderr, "orvo-fwtables: error: %s: ", g_input);
    va_list ap;
    va_start(ap, format);
    vfprintf(stderr, format, ap);
    va_end(ap);
    fputc('\n', stderr);
    exit(1);
}

// The data records in file order, neighbours without a gap joined.
std::vector<Segment> load_segments(const char* path) {
    MsRecSet* p_set = MsRecSet_alloc();
    if (p_set == nullptr) fail("out of memory");
    if (!MsRecIn_load_file(p_set, path)) {
        Us_free(p_set);
        fail("cannot be read as an S-record file that ends with an S7, S8 or S9 line (the "
             "reader's message is above)");
    }
    std::vector<Segment> segs;
    const int32_t n = Us_get_n_elem(p_set);
    for (int32_t i = 0; i < n; i++) {
        const MsRec* p_rec = MsRecSet_idx_to_ptr(p_set, i);
        if (MsRec_get_tag(p_rec) != MSREC_TAG_DATA || MsRec_get_n_bytes(p_rec) == 0) continue;
        const uint32_t adr = MsRec_get_adr(p_rec);
        const uint8_t* p = MsRec_get_p_bytes(p_rec);
        const uint32_t len = MsRec_get_n_bytes(p_rec);
        if (uint64_t{adr} + len > 0x100000000ull) {
            Us_free(p_set);
            fail("the record at %08X runs past the 32-bit address space", adr);
        }
        if (segs.empty() || segs.back().end() != adr) segs.push_back(Segment{adr, {}});
        segs.back().bytes.insert(segs.back().bytes.end(), p, p + len);
    }
    Us_free(p_set);
    return segs;
}

void check_common(const std::vector<Segment>& segs) {
    if (segs.empty()) fail("holds no data");
    std::vector<const Segment*> by_adr;
    for (const Segment& s : segs)
        by_adr.push_back(&s);
    std::sort(by_adr.begin(), by_adr.end(),
              [](const Segment* a, const Segment* b) { return a->adr < b->adr; });
    for (size_t k = 1; k < by_adr.size(); k++) {
        if (by_adr[k]->adr < by_adr[k - 1]->end()) {
            fail("the data at %08X and at %08X overlap", by_adr[k - 1]->adr, by_adr[k]->adr);
        }
    }
}

void check_within(const std::vector<Segment>& segs, uint32_t lo, uint32_t hi, const char* what) {
    for (const Segment& s : segs) {
        if (s.adr < lo || s.end() > hi) {
            fail("the data from %08X to %08X lie outside the %s %08X to %08X", s.adr,
                 static_cast<uint32_t>(s.end()), what, lo, hi);
        }
    }
}

void check_loader(const std::vector<Segment>& segs) {
    if (segs[0].adr != 0x400000) {
        fail("the flash loader's first segment starts at %08X, not at 00400000 where the "
             "download starts it",
             segs[0].adr);
    }
    check_within(segs, 0x400000, 0x500000, "RAM region");
}

void check_appl(const std::vector<Segment>& segs) {
    check_within(segs, 0x80000, 0xF4000, "application code memory");
    for (const Segment& s : segs) {
        if (s.adr <= 0x80010 && 0x80010 < s.end()) {
            const uint8_t b = s.bytes[0x80010 - s.adr];
            if (b != 0x47) {
                fail("the application holds %02X at 00080010, not the signature byte 47", b);
            }
            return;
        }
    }
    fail("the application has no byte at 00080010, where its signature 47 belongs");
}

// One heap, the three tables and the six accessors. Decimal bytes keep the
// file small; the compiler reads a plain initialiser list quickly.
std::string make_source(const char* stem, const std::vector<Segment>& segs) {
    std::string out;
    char line[256];
    size_t n_heap = 0;
    for (const Segment& s : segs)
        n_heap += s.bytes.size();

    out += "// Embedded firmware image ";
    out += stem;
    out += ", generated by orvo-fwtables from ";
    out += g_input;
    out += "; do not edit.\n#include \"images.h\"\n\nnamespace {\n\n";
    snprintf(line, sizeof line, "const uint8_t heap[%zu] = {\n", n_heap);
    out += line;
    size_t col = 0;
    for (const Segment& s : segs) {
        for (uint8_t b : s.bytes) {
            snprintf(line, sizeof line, "%u,", b);
            out += line;
            if (++col == 32) {
                out += '\n';
                col = 0;
            }
        }
    }
    out += "};\n\n";
    snprintf(line, sizeof line, "const uint32_t set_a_bytes[%zu] = {", segs.size());
    out += line;
    for (const Segment& s : segs) {
        snprintf(line, sizeof line, "0x%08X,", s.adr);
        out += line;
    }
    snprintf(line, sizeof line, "};\nconst uint32_t set_n_bytes[%zu] = {", segs.size());
    out += line;
    for (const Segment& s : segs) {
        snprintf(line, sizeof line, "%zu,", s.bytes.size());
        out += line;
    }
    snprintf(line, sizeof line, "};\nconst uint8_t* const set_p_bytes[%zu] = {", segs.size());
    out += line;
    size_t offset = 0;
    for (const Segment& s : segs) {
        snprintf(line, sizeof line, "heap + %zu,", offset);
        out += line;
        offset += s.bytes.size();
    }
    out += "};\n\n} // namespace\n\n";
    snprintf(line, sizeof line, "int32_t %s_get_n_set(void) { return %zu; }\n", stem, segs.size());
    out += line;
    snprintf(line, sizeof line,
             "const uint32_t* %s_get_p_set_a_bytes(void) { return set_a_bytes; }\n", stem);
    out += line;
    snprintf(line, sizeof line,
             "const uint32_t* %s_get_p_set_n_bytes(void) { return set_n_bytes; }\n", stem);
    out += line;
    snprintf(line, sizeof line,
             "const uint8_t* const* %s_get_p_set_p_bytes(void) { return set_p_bytes; }\n", stem);
    out += line;
    snprintf(line, sizeof line, "int32_t %s_get_n_heap(void) { return %zu; }\n", stem, n_heap);
    out += line;
    snprintf(line, sizeof line, "const uint8_t* %s_get_p_heap(void) { return heap; }\n", stem);
    out += line;
    return out;
}

// Writes beside the target and renames, so a failed run leaves no half file.
void write_output(const char* path, const std::string& text) {
    const std::string tmp = std::string(path) + ".tmp";
    FILE* fp = fopen(tmp.c_str(), "wb");
    if (fp == nullptr) fail("cannot open %s for writing", tmp.c_str());
    const bool ok = fwrite(text.data(), 1, text.size(), fp) == text.size();
    if (fclose(fp) != 0 || !ok || rename(tmp.c_str(), path) != 0) {
        remove(tmp.c_str());
        fail("cannot write %s", path);
    }
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 5 || (strcmp(argv[1], "loader") != 0 && strcmp(argv[1], "appl") != 0)) {
        fprintf(stderr, "usage: orvo-fwtables loader|appl <stem> <input.s37> <output.cpp>\n");
        return 2;
    }
    const bool is_loader = strcmp(argv[1], "loader") == 0;
    g_input = argv[3];
    Con_set_cb_output(print_to_stderr, nullptr);
    remove(argv[4]); // no stale tables survive a failed run

    const std::vector<Segment> segs = load_segments(argv[3]);
    check_common(segs);
    if (is_loader) {
        check_loader(segs);
    } else {
        check_appl(segs);
    }
    write_output(argv[4], make_source(argv[2], segs));

    size_t n_heap = 0;
    for (const Segment& s : segs)
        n_heap += s.bytes.size();
    printf("%s: %zu segment(s), %zu bytes:", argv[2], segs.size(), n_heap);
    for (const Segment& s : segs)
        printf(" %08X+%zu", s.adr, s.bytes.size());
    printf("\n");
    return 0;
}
