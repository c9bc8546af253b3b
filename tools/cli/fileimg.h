// Firmware files chosen at run time: an S-record file read and checked as the flash loader or
// the application, and turned into a segment set as the built-in images are.
#pragma once

#include <cstdint>
#include <string>

struct MsrLin;

// What a file is to be.
enum FileImgKind {
    FILEIMG_LOADER = 0, // data inside 0x400000..0x500000, the lowest address 0x400000
    FILEIMG_APPL,       // data inside 0x80000..0xF4000, the signature 0x47 at 0x80010
};

// The largest file taken: far above any S-record file of the two images.
enum { FILEIMG_M_FILE = 16 * 1024 * 1024 };

// Reads the S-record file p_path as an image of the given kind: its data records, sorted by
// address and joined where they follow one another, as a new segment set (release with
// MsrLin_free). Null when the file cannot be read, is empty or too large, holds records that
// overlap or lie outside the image's area, or lacks what the kind needs; *p_why then tells why
// in one line, or stays empty when the S-record reader failed (its own log line tells).
MsrLin* FileImg_load(const char* p_path, int32_t kind, std::string* p_why);
