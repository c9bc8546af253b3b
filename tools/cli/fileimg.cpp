// Firmware files chosen at run time: reading, checking and joining the records of an S-record
// file into a segment set.
#include "fileimg.h"

#include "msrec.h"
#include "msrecin.h"
#include "msrlin.h"
#include "msrpart.h"
#include "uvmemx.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <vector>

namespace {

struct Area {
    uint32_t a_start, a_end; // end exclusive
    const char* p_name;
};

const Area k_areas[] = {
    {0x400000, 0x500000, "the flash loader's RAM"},
    {0x80000, 0xF4000, "the application's flash"},
};

const uint32_t k_a_signature = 0x80010;
const uint8_t k_signature = 0x47;

std::string hex(uint64_t v) {
    char s[16];
    snprintf(s, sizeof s, "0x%08llx", static_cast<unsigned long long>(v));
    return s;
}

// The data records of p_set, by address.
std::vector<MsRec*> sorted_data(MsRecSet* p_set) {
    std::vector<MsRec*> recs;
    for (int32_t i = 0; i < Us_get_n_elem(p_set); i++) {
        MsRec* p_rec = MsRecSet_idx_to_ptr(p_set, i);
        if (MsRec_get_tag(p_rec) == MSREC_TAG_DATA) recs.push_back(p_rec);
    }
    std::stable_sort(recs.begin(), recs.end(), [](const MsRec* a, const MsRec* b) {
        return MsRec_get_adr(a) < MsRec_get_adr(b);
    });
    return recs;
}

// The reason the records cannot be the image of the kind; "" when they can.
std::string check(const std::vector<MsRec*>& recs, int32_t kind) {
    if (recs.empty()) return "holds no data records";
    const Area& area = k_areas[kind];
    uint64_t e_before = 0;
    for (const MsRec* p_rec : recs) {
        uint64_t a = MsRec_get_adr(p_rec), e = a + MsRec_get_n_bytes(p_rec);
        if (a < e_before) return "records overlap at address " + hex(a);
        e_before = std::max(e_before, e);
        if (a < area.a_start || e > area.a_end)
            return "data at " + hex(a) + ".." + hex(e) + " lies outside " + area.p_name + " (" +
                   hex(area.a_start) + ".." + hex(area.a_end) + ")";
    }
    if (kind == FILEIMG_LOADER && MsRec_get_adr(recs.front()) != area.a_start)
        return "its lowest address is " + hex(MsRec_get_adr(recs.front())) +
               ", not the flash loader's start " + hex(area.a_start);
    if (kind == FILEIMG_APPL) {
        for (const MsRec* p_rec : recs) {
            uint32_t a = MsRec_get_adr(p_rec);
            if (k_a_signature < a || k_a_signature - a >= MsRec_get_n_bytes(p_rec)) continue;
            uint8_t v = MsRec_get_p_bytes(p_rec)[k_a_signature - a];
            if (v == k_signature) return "";
            char s[96];
            snprintf(s, sizeof s, "holds 0x%02x at 0x%08x, not the application signature 0x%02x", v,
                     k_a_signature, k_signature);
            return s;
        }
        return "holds no byte at " + hex(k_a_signature) + " (the application signature 0x47)";
    }
    return "";
}

} // namespace

MsrLin* FileImg_load(const char* p_path, int32_t kind, std::string* p_why) {
    p_why->clear();
    struct stat st;
    if (stat(p_path, &st) != 0) {
        *p_why = strerror(errno);
        return nullptr;
    }
    if (st.st_size == 0) {
        *p_why = "is empty";
        return nullptr;
    }
    if (st.st_size > FILEIMG_M_FILE) {
        *p_why = "is " + std::to_string(static_cast<long long>(st.st_size)) +
                 " bytes, more than a firmware file can be (16 MiB)";
        return nullptr;
    }
    MsRecSet* p_file = MsRecSet_alloc();
    MsRecSet* p_sorted = MsRecSet_alloc();
    MsRecSet* p_parts = MsRecSet_alloc();
    MsrLin* p_set = nullptr;
    if (!p_file || !p_sorted || !p_parts) {
        *p_why = "out of memory";
    } else if (MsRecIn_load_file(p_file, p_path)) {
        std::vector<MsRec*> recs = sorted_data(p_file);
        *p_why = check(recs, kind);
        bool is_ok = p_why->empty();
        for (size_t i = 0; is_ok && i < recs.size(); i++)
            is_ok = MsRecSet_postfix_copy(p_sorted, recs[i]) >= 0;
        is_ok = is_ok && MsrPart_create_coherent_partitions(p_parts, p_sorted);
        if (is_ok) p_set = MsrLin_alloc_from_rec_set(p_parts);
        if (p_why->empty() && !p_set) *p_why = "out of memory";
    }
    Us_free(p_file);
    Us_free(p_sorted);
    Us_free(p_parts);
    return p_set;
}
