// The reference model: the documents-as-trees implementation of parsing,
// writing and merging that every fast path of the module is checked
// against.  Simple on purpose, and built into the fuzz targets only, never
// into the module: the module reads and writes text without building trees.
#pragma once

#include <string>
#include <string_view>

#include "json/error.hpp"
#include "json/value.hpp"

namespace klov::reference {

using json::Arena;
using json::Array;
using json::JsonError;
using json::JsonValue;
using json::Object;

// Text to document, with the exact error texts and positions.  Text that
// came from a Python str is assumed UTF-8 and not re-validated; bytes follow
// the same grammar, and the content of every string (escapes resolved) must
// be valid UTF-8 ("invalid unicode code point").  Strings without escapes
// are views into the text, the others are stored in `arena`.
[[nodiscard]] bool parse_json_text(std::string_view text, Arena& arena, JsonValue& out, JsonError& err);
[[nodiscard]] bool parse_json_bytes(std::string_view bytes, Arena& arena, JsonValue& out, JsonError& err);

// Fixed-shape read of an array of documents of any kind ("a sequence"):
// any other top-level value fails with "invalid type: ..., expected a
// sequence".  The outer array counts against the nesting budget like any
// array.
[[nodiscard]] bool read_document_array(std::string_view text, Arena& arena, Array& out, JsonError& err);

// Appends the compact canonical text of `v` to `out`: no whitespace, members
// in key order, the fixed escaping of strings and the shortest round-trip
// digits of doubles.
void write_json(const JsonValue& v, std::string& out);

// Binary search in a sorted object.  Returns the member or nullptr.
const json::Member* find_member(const Object& obj, std::string_view key);
// Sets obj[key] = value, keeping the order: one ordered lookup, one insert.
void set_member(Object& obj, std::string_view key, JsonValue value);

// A channel reducer on documents: "add" sums numbers, "append" concatenates
// lists, every other name replaces.  Parts of `update` are moved into the
// result.
JsonValue apply_reducer(std::string_view reducer, const JsonValue& current, JsonValue update);

// advance_superstep and reduce_channel on parsed documents: every write is
// one apply_reducer, the result is written by write_json.  Same results and
// same errors as the module's functions.
[[nodiscard]] bool advance_superstep(std::string_view state_json, std::string_view reducers_json, std::string_view updates_json,
                       std::string& out, JsonError& err);
[[nodiscard]] bool reduce_channel(std::string_view reducer, std::string_view current_json, std::string_view update_json,
                    std::string& out, JsonError& err);

}  // namespace klov::reference
