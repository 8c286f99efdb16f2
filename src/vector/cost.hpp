#pragma once

#include <cstddef>

namespace klov::vector {

// Strictly sequential IEEE double sum starting from -0.0, so that an empty
// input gives -0.0 and every regrouping (pairwise, Kahan, SIMD) is ruled out.
double aggregate_cost(const double* values, std::size_t n);

}  // namespace klov::vector
