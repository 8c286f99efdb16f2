// Numbers as the writer writes them, and the check that a literal is
// already in that form.  Internal to src/json.
#pragma once

#include <cstddef>
#include <cstdint>

namespace klov::json::detail {

// Writes the decimal digits of v so that they end just before `end`; returns
// the first digit.  Needs 20 bytes before `end`.
char* format_u64(std::uint64_t v, char* end);

// Writes the text of a finite double at buf (at most 32 bytes); returns its
// length: shortest round-trip digits, plain notation for decimal exponents
// -5..15, otherwise d.ddde[+-]k.
std::size_t format_double(double x, char* buf);

// The two halves of format_double for a nonzero x.  shortest_digits gives the
// shortest round-trip digits of |x| (no trailing zeros; returns how many) and
// the decimal exponent k of the first (|x| = d.ddd x 10^k); layout_double
// writes such digits in the writer's notation.
int shortest_digits(double x, char digits[20], int& k);
std::size_t layout_double(bool negative, const char* digits, int nd, int k, char* buf);

// For the number literal at `start` whose integer digits end at `int_end`,
// where a '.', 'e' or 'E' follows: where the literal ends when it is exactly
// what format_double writes for the double it reads as, else nullptr.
// Reads nothing at or after `end`.
[[nodiscard]] const char* written_double_end(const char* start, const char* int_end, const char* end);

}  // namespace klov::json::detail
