// UTF-8 validation of whole buffers, with vector code where the CPU has it.
// Internal to src/json.
#pragma once

#include <cstddef>

namespace klov::json::detail {

// True when [p, p+n) is well-formed UTF-8: no overlong forms, no surrogates,
// nothing above U+10FFFF.  The same answer as valid_utf8 (scan.hpp), sixteen
// bytes at a time on x86-64 CPUs with SSSE3, chosen on first use.
[[nodiscard]] bool valid_utf8_text(const unsigned char* p, std::size_t n);

// The vector form itself, for tests and fuzzing against valid_utf8.  Must
// only be called when utf8_vector_supported() is true.
[[nodiscard]] bool utf8_vector_supported();
[[nodiscard]] bool valid_utf8_vector(const unsigned char* p, std::size_t n);

}  // namespace klov::json::detail
