// Fuzz target: one S-record token. The first byte chooses the capacities of
// the decode vector and the token buffer, the rest is the text.
#include "fuzz_quiet.h"
#include "msrecin.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz_quiet();
    if (size < 1) return 0;
    // Buffers of exactly the stated size, so that a write past them is seen.
    int32_t m_vector = 1 + (data[0] & 0x7F) * 4; // 1..509
    std::vector<uint8_t> vector((size_t)m_vector);
    std::string token(reinterpret_cast<const char*>(data + 1), size - 1);
    int32_t n = string_to_bin_vector(m_vector, vector.data(), token.c_str());
    if (n > m_vector) std::abort();
    if (n >= 0 && n != vector[1] + 2) std::abort();

    // The same bytes as a file read token by token into a small line buffer.
    int32_t m_line = 1 + (data[0] >> 7) * 40 + (data[0] & 0x0F);
    FILE* fp = fmemopen(const_cast<uint8_t*>(data + 1), size - 1, "rb");
    if (!fp) return 0;
    std::vector<char> line((size_t)m_line);
    for (size_t guard = 0; guard <= size; guard++) {
        int32_t l = fread_line(fp, m_line, line.data());
        if (l == -1) break;
        if (l >= m_line) std::abort();
    }
    std::fclose(fp);
    return 0;
}
