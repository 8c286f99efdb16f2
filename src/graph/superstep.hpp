// Applying one superstep's node updates to the graph state in a single pass.
#pragma once

#include <string>
#include <string_view>

#include "json/error.hpp"
#include "json/writer.hpp"

namespace klov::graph {

// Parses the state (which must be an object), the reducer table (an object of
// strings; a later duplicate key wins) and the update list (an array whose
// elements are objects or null), merges every write into the state in list
// order and key order, and writes the new state to `out` (replacing its
// contents).  On failure returns false with `err` set to the first fault.
[[nodiscard]] bool advance_superstep(std::string_view state_json, std::string_view reducers_json, std::string_view updates_json,
                       json::WrittenText& out, json::JsonError& err);

}  // namespace klov::graph
