// Dividing the nodes of a directed graph into BSP supersteps.
#pragma once

#include <string_view>
#include <utility>
#include <vector>

namespace klov::graph {

// Supersteps of `names` under `edges`, each sorted by unsigned bytes.  Edges
// with an endpoint outside `names`, self-loops and repeats are data, never
// errors.  Names on a cycle, and everything downstream of one, share a last
// superstep that keeps repetitions of the names list.  The result views the
// strings of `names`, which must outlive it.
std::vector<std::vector<std::string_view>> plan_supersteps(
    const std::vector<std::string_view>& names,
    const std::vector<std::pair<std::string_view, std::string_view>>& edges);

}  // namespace klov::graph
