#include "vector/cost.hpp"

namespace klov::vector {

double aggregate_cost(const double* values, std::size_t n) {
    double total = -0.0;
    for (std::size_t i = 0; i < n; ++i) total += values[i];
    return total;
}

}  // namespace klov::vector
