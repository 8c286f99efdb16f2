#include "vector/cost.hpp"

namespace klov::vector {
namespace {

// The running total is a local: the values could alias the stored total as
// far as the compiler knows, which would store and reload it on every add.
template <typename T>
double add_in_order(double total, const T* values, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) total += static_cast<double>(values[i]);
    return total;
}

}  // namespace

void CostSum::take(const double* values, std::size_t n) { total_ = add_in_order(total_, values, n); }
void CostSum::take(const float* values, std::size_t n) { total_ = add_in_order(total_, values, n); }
void CostSum::take(const unsigned char* values, std::size_t n) { total_ = add_in_order(total_, values, n); }

}  // namespace klov::vector
