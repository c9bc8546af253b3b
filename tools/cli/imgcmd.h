// The embedded images as the command-line loader shows them: their segments and block counts,
// their export as S-record files, and the check of a device's flash dump against them.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

struct Root;

// What a run tells of one image.
struct ImageInfo {
    std::string name;   // "flash loader", "application"
    std::string source; // "built-in" or the file's path
    uint32_t size;      // bytes of data
    uint32_t blocks;    // blocks of the root's block size that are not all 0xFF
    uint32_t crc32;     // CRC-32 (as zlib's crc32) of the data, segments in order
};

// The flash loader and the application of the root (loading them first), each with the given
// source text. Empty when the images could not be built.
std::vector<ImageInfo> Images_info(Root* p_root, const char* p_source_loader,
                                   const char* p_source_appl);

// Prints the flash loader and the application of the root (loading them first): segments
// with address, end and length, total bytes, blocks of the root's block size that are not all
// 0xFF, and the application memory image. 1; 0 when the images could not be built (logged).
int32_t Images_print(FILE* fp, Root* p_root);

// Writes the flash loader as DIR/fld_02.s37 and the application as DIR/orvo.s37 (S3 records,
// with the project's S-record writer), creating DIR when it is missing. Names each file on fp.
// 1 when both were written; 0 otherwise (the reason on fp).
int32_t Images_export(FILE* fp, Root* p_root, const char* p_dir);

// Compares a binary dump of the device's flash from 0x80000 on with the root's application
// memory image (signature byte 0x47 included). 1 when size and every byte agree; 0 otherwise,
// naming the first difference on fp.
int32_t Images_verify_dump(FILE* fp, Root* p_root, const char* p_file);
