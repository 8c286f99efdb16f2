// Reading JSON text outside the canonical writer: the fixed-shape read of a
// map of strings, error positions, and the texts of "invalid type" errors.
//
// Strings without escapes are views into the read text; strings that had
// escapes are stored in `arena`.  The text and the arena must both outlive
// what was read.  On failure `out` is left in an unspecified (but valid)
// state and `err` holds the error.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "json/error.hpp"
#include "json/value.hpp"

namespace klov::json {

// Fixed-shape read of an object whose member values are all strings.  Any
// other top-level value fails with "invalid type: ..., expected a map", a
// member value of another kind with "..., expected a string".  Members are
// appended in text order, duplicates included; a caller that wants
// later-wins semantics lets the later entry replace the earlier one.
[[nodiscard]] bool read_string_map(std::string_view text, Arena& arena,
                     std::vector<std::pair<std::string_view, std::string_view>>& out, JsonError& err);

// An error at byte offset `offset` of `text`, with line and column derived
// the same way as for every parse error.
JsonError error_at(std::string_view text, std::size_t offset, std::string message);

// Appends the description of a value used in "invalid type: " texts:
// "null", "boolean `true`", "integer `-3`", "floating point `1.5`",
// "string \"...\"", "sequence" or "map".
void describe_value(const JsonValue& v, std::string& out);

// The same description for a scalar given as its canonical text.
void describe_canonical(std::string_view text, std::string& out);

// Appends `s` in double quotes with the escaping of "invalid type: " texts.
void quote_for_message(std::string_view s, std::string& out);

}  // namespace klov::json
