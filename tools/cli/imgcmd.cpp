// The `images` and `verify-dump` commands of the command-line loader.
#include "imgcmd.h"

#include "msrec.h"
#include "msrecin.h"
#include "msrlin.h"
#include "root.h"
#include "uvmem.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

namespace {

// Blocks of n_block bytes from the segment's start that hold anything but 0xFF.
int32_t non_blank_blocks(const uint8_t* p_bytes, uint32_t n_bytes, int32_t n_block) {
    int32_t n = 0;
    for (uint32_t i = 0; i < n_bytes; i += static_cast<uint32_t>(n_block)) {
        uint32_t l = n_bytes - i < static_cast<uint32_t>(n_block) ? n_bytes - i : n_block;
        for (uint32_t k = 0; k < l; k++) {
            if (p_bytes[i + k] != 0xFF) {
                n++;
                break;
            }
        }
    }
    return n;
}

uint32_t crc32_update(uint32_t crc, const uint8_t* p_bytes, uint32_t n_bytes) {
    crc = ~crc;
    for (uint32_t i = 0; i < n_bytes; i++) {
        crc ^= p_bytes[i];
        for (int k = 0; k < 8; k++)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

ImageInfo info_of(const char* p_name, const char* p_source, const MsrLin* p_set, int32_t n_block) {
    ImageInfo info{p_name, p_source, 0, 0, 0};
    int32_t n_set = MsrLin_get_n_set(p_set);
    for (int32_t i = 0; i < n_set; i++) {
        const uint8_t* p_bytes = MsrLin_get_p_set_p_bytes(p_set)[i];
        uint32_t n_bytes = MsrLin_get_p_set_n_bytes(p_set)[i];
        info.size += n_bytes;
        info.blocks += static_cast<uint32_t>(non_blank_blocks(p_bytes, n_bytes, n_block));
        info.crc32 = crc32_update(info.crc32, p_bytes, n_bytes);
    }
    return info;
}

void print_set(FILE* fp, const char* p_title, const MsrLin* p_set, int32_t n_block) {
    int32_t n_set = MsrLin_get_n_set(p_set);
    const uint32_t* p_a = MsrLin_get_p_set_a_bytes(p_set);
    const uint32_t* p_n = MsrLin_get_p_set_n_bytes(p_set);
    const uint8_t* const* p_p = MsrLin_get_p_set_p_bytes(p_set);
    fprintf(fp, "%s: %d segment%s, %d bytes\n", p_title, n_set, n_set == 1 ? "" : "s",
            MsrLin_get_n_heap(p_set));
    int32_t n_writes = 0;
    for (int32_t i = 0; i < n_set; i++) {
        int32_t n_blocks = (static_cast<int64_t>(p_n[i]) + n_block - 1) / n_block;
        n_writes += n_blocks;
        fprintf(fp, "  segment %d: 0x%08x..0x%08x  %7u bytes  %4d blocks of %d, %4d not blank\n", i,
                p_a[i], p_a[i] + p_n[i], p_n[i], n_blocks, n_block,
                non_blank_blocks(p_p[i], p_n[i], n_block));
    }
    fprintf(fp, "  written in %d writes of at most %d bytes\n", n_writes, n_block);
}

bool save_set(FILE* fp, const MsrLin* p_set, const std::string& path) {
    MsRecSet* p_recs = MsRecSet_alloc();
    bool is_ok = p_recs != nullptr;
    int32_t n_set = MsrLin_get_n_set(p_set);
    for (int32_t i = 0; is_ok && i < n_set; i++) {
        is_ok = MsRecSet_postfix_val(p_recs, MSREC_TAG_DATA, MsrLin_get_p_set_a_bytes(p_set)[i],
                                     MsrLin_get_p_set_n_bytes(p_set)[i],
                                     MsrLin_get_p_set_p_bytes(p_set)[i]) >= 0;
    }
    is_ok = is_ok && MsRecIn_save_file(p_recs, 3, path.c_str());
    Us_free(p_recs);
    fprintf(fp, is_ok ? "wrote %s\n" : "could not write %s\n", path.c_str());
    return is_ok;
}

} // namespace

std::vector<ImageInfo> Images_info(Root* p_root, const char* p_source_loader,
                                   const char* p_source_appl) {
    if (!check_is_loaded(p_root)) return {};
    int32_t n_block = Root_get_n_block(p_root);
    ImageInfo appl = info_of("application", p_source_appl, Root_get_p_set_appl(p_root), n_block);
    // What the download writes: the memory image's blocks.
    appl.blocks = static_cast<uint32_t>(Root_get_n_bytes_appl(p_root) / n_block);
    return {info_of("flash loader", p_source_loader, Root_get_p_set_loader(p_root), n_block), appl};
}

int32_t Images_print(FILE* fp, Root* p_root) {
    if (!check_is_loaded(p_root)) {
        fprintf(fp, "the embedded images could not be built\n");
        return 0;
    }
    int32_t n_block = Root_get_n_block(p_root);
    print_set(fp, "flash loader", Root_get_p_set_loader(p_root), n_block);
    print_set(fp, "application", Root_get_p_set_appl(p_root), n_block);
    UvMem* p_vm = Root_get_p_vm(p_root);
    uint32_t a = UvMem_get_a_vmem(p_vm), n = UvMem_get_n_vmem(p_vm);
    int32_t n_bytes_appl = Root_get_n_bytes_appl(p_root);
    fprintf(fp,
            "application memory image: 0x%08x..0x%08x (%u bytes), %d of %u blocks not blank"
            " (%d bytes to program), signature 0x%02x at 0x%08x\n",
            a, a + n, n, n_bytes_appl / n_block, n / static_cast<uint32_t>(n_block), n_bytes_appl,
            UvMem_read_byte(p_vm, 0x80010), 0x80010);
    return 1;
}

int32_t Images_export(FILE* fp, Root* p_root, const char* p_dir) {
    if (!check_is_loaded(p_root)) {
        fprintf(fp, "the embedded images could not be built\n");
        return 0;
    }
    std::error_code ec;
    std::filesystem::path dir(p_dir);
    std::filesystem::create_directory(dir, ec);
    if (ec) {
        fprintf(fp, "cannot create %s: %s\n", p_dir, ec.message().c_str());
        return 0;
    }
    bool is_ok = save_set(fp, Root_get_p_set_loader(p_root), (dir / "fld_02.s37").string());
    is_ok = save_set(fp, Root_get_p_set_appl(p_root), (dir / "orvo.s37").string()) && is_ok;
    return is_ok ? 1 : 0;
}

int32_t Images_verify_dump(FILE* fp, Root* p_root, const char* p_file) {
    UvMem* p_vm = Root_get_p_vm(p_root);
    if (!p_vm) {
        fprintf(fp, "the embedded images could not be built\n");
        return 0;
    }
    FILE* fd = fopen(p_file, "rb");
    if (!fd) {
        fprintf(fp, "cannot read %s: %s\n", p_file, strerror(errno));
        return 0;
    }
    std::vector<uint8_t> dump;
    uint8_t buf[65536];
    size_t k;
    while ((k = fread(buf, 1, sizeof buf, fd)) > 0)
        dump.insert(dump.end(), buf, buf + k);
    fclose(fd);
    uint32_t a = UvMem_get_a_vmem(p_vm), n = UvMem_get_n_vmem(p_vm);
    const uint8_t* p_vmem = UvMem_get_p_vmem(p_vm);
    if (dump.size() != n) {
        fprintf(fp, "flash dump %s has %zu bytes, the application image %u\n", p_file, dump.size(),
                n);
        return 0;
    }
    for (uint32_t i = 0; i < n; i++) {
        if (dump[i] != p_vmem[i]) {
            fprintf(fp, "flash dump %s differs at 0x%08x: 0x%02x, the image holds 0x%02x\n", p_file,
                    a + i, dump[i], p_vmem[i]);
            return 0;
        }
    }
    fprintf(fp, "flash dump %s matches the application image (0x%08x..0x%08x, signature 0x%02x)\n",
            p_file, a, a + n, UvMem_read_byte(p_vm, 0x80010));
    return 1;
}
