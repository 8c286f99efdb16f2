#pragma once

#include <cstddef>

namespace klov::vector {

// Strictly sequential IEEE double sum starting from -0.0, so that an empty
// input gives -0.0 and every regrouping (pairwise, Kahan, SIMD) is ruled out.
// The values may arrive in blocks as they are converted: taking a sequence
// block by block gives the bits of taking it whole.  Float and byte values
// are each converted to a double (exactly) before they are added.
class CostSum {
public:
    void take(const double* values, std::size_t n);
    void take(const float* values, std::size_t n);
    void take(const unsigned char* values, std::size_t n);
    double total() const { return total_; }

private:
    double total_ = -0.0;
};

}  // namespace klov::vector
