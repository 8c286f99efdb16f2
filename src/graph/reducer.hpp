// Channel reducers: how a value written to a channel merges with the value the
// channel already holds.
#pragma once

#include <string>
#include <string_view>

#include "json/error.hpp"
#include "json/value.hpp"

namespace klov::graph {

// "add" sums numbers, "append" concatenates lists, every other name (the
// default "last_value" among them) replaces.  Names match by exact bytes.
//
// The merge works on canonical text: `text` holds the text of the current
// value and receives the text of the result; `update` is the text of the
// update value.  Neither is parsed: lists are joined as text and an appended
// list grows where it lies.
void reduce_text(std::string_view reducer, std::string& text, std::string_view update);

// Whether the merge under `reducer` looks at the current value at all; the
// replacing reducers do not.
[[nodiscard]] bool reads_current(std::string_view reducer);

// The sum under "add" of two values, where anything but a number counts as
// the integer 0; null when the sum is not finite.
json::JsonValue add_values(const json::JsonValue& current, const json::JsonValue& update);

// Reads update_json, then current_json (each is used as it stands when it is
// already canonical), merges them under `reducer` and writes the compact
// text of the result to `out` (replacing its contents).
// On a parse failure returns false with `err` set and leaves `out` alone.
[[nodiscard]] bool reduce_channel(std::string_view reducer, std::string_view current_json, std::string_view update_json,
                    std::string& out, json::JsonError& err);

}  // namespace klov::graph
