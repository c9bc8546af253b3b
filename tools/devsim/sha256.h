// SHA-256 digest of a byte run, as lower-case hex, for the device's report.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The 64-character hex digest of n bytes at p (p may be null when n is 0).
std::string Sha256_hex(const uint8_t* p, size_t n);
