// Dividing the nodes of a directed graph into BSP supersteps.
#pragma once

#include <cstddef>
#include <string_view>
#include <utility>
#include <vector>

namespace klov::graph {

// Supersteps of `names` under `edges`, each sorted by unsigned bytes.  Edges
// with an endpoint outside `names`, self-loops and repeats are data, never
// errors.  Names on a cycle, and everything downstream of one, share a last
// superstep that keeps repetitions of the names list.  A name is given by its
// position in `names`: a name placed by a wave by its first occurrence, the
// last superstep by every occurrence; so a caller can hand back the very
// objects it was given.
std::vector<std::vector<std::size_t>> plan_supersteps(
    const std::vector<std::string_view>& names,
    const std::vector<std::pair<std::string_view, std::string_view>>& edges);

}  // namespace klov::graph
