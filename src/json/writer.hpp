// The compact canonical text of a document.
#pragma once

#include <string>

#include "json/value.hpp"

namespace klov::json {

// Appends the compact text of `v` to `out`: no whitespace, members in key
// order, the fixed escaping of strings.  Cannot fail (except bad_alloc).
void write_json(const JsonValue& v, std::string& out);

// Appends `s` as a quoted JSON string with the writer's escaping.
void write_json_string(std::string_view s, std::string& out);

}  // namespace klov::json
