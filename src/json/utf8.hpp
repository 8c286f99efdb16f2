// UTF-8: one character written, and whole buffers validated, with vector
// code where the CPU has it.  Internal to src/json.
#pragma once

#include <cstddef>
#include <cstdint>

namespace klov::json::detail {

// Writes the 1-4 bytes of code point cp (not a surrogate, at most
// U+10FFFF) at out; returns how many.
inline std::size_t encode_utf8(std::uint32_t cp, char* out) {
    if (cp < 0x80) {
        out[0] = static_cast<char>(cp);
        return 1;
    }
    if (cp < 0x800) {
        out[0] = static_cast<char>(0xC0 | (cp >> 6));
        out[1] = static_cast<char>(0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp < 0x10000) {
        out[0] = static_cast<char>(0xE0 | (cp >> 12));
        out[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out[2] = static_cast<char>(0x80 | (cp & 0x3F));
        return 3;
    }
    out[0] = static_cast<char>(0xF0 | (cp >> 18));
    out[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out[3] = static_cast<char>(0x80 | (cp & 0x3F));
    return 4;
}

// True when [p, p+n) is well-formed UTF-8: no overlong forms, no surrogates,
// nothing above U+10FFFF.  The same answer as valid_utf8 (scan.hpp), sixteen
// bytes at a time on x86-64 CPUs with SSSE3, chosen on first use.
[[nodiscard]] bool valid_utf8_text(const unsigned char* p, std::size_t n);

// The vector form itself, for tests and fuzzing against valid_utf8.  Must
// only be called when utf8_vector_supported() is true.
[[nodiscard]] bool utf8_vector_supported();
[[nodiscard]] bool valid_utf8_vector(const unsigned char* p, std::size_t n);

}  // namespace klov::json::detail
