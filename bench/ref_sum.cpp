// The latency bound of a strictly sequential double sum: one dependent add
// per element, nothing else.  Built by bench_cost.py with -O2
// -ffp-contract=off (no fast-math, so the compiler may not reorder the adds).
#include <cstddef>

extern "C" double ref_sum(const double* values, std::size_t n) {
    double total = -0.0;
    for (std::size_t i = 0; i < n; ++i) total += values[i];
    return total;
}
