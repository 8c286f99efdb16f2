// Number formatting shared by the writer and the "invalid type" texts.
// Internal to src/json.
#pragma once

#include <cstddef>
#include <cstdint>

namespace klov::json::detail {

// Writes the decimal digits of v so that they end just before `end`; returns
// the first digit.  Needs 20 bytes before `end`.
char* format_u64(std::uint64_t v, char* end);

// Writes the text of a finite double at buf (at most 32 bytes); returns its length.
std::size_t format_double(double x, char* buf);

}  // namespace klov::json::detail
