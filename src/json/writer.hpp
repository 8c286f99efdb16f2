// Strings as the canonical writer writes them.
#pragma once

#include <string>

#include "json/value.hpp"

namespace klov::json {

// Appends `s` as a quoted JSON string with the writer's escaping.
void write_json_string(std::string_view s, std::string& out);

}  // namespace klov::json
