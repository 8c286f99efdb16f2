#pragma once

// Internal to the similarity code and its differential checks: the lane
// kernels behind score_dense_* and StreamedRows, and a way to run them at a
// chosen instruction set so every kernel can be compared with the scalar one.

#include <cstddef>
#include <vector>

#include "vector/similarity.hpp"

namespace klov::vector::detail {

enum class Isa { scalar, sse2, avx, avx512 };

// Scores `lanes` rows of length n at once. p[l] points at row l; the query is
// q[0..n), sqrt_sx is the single-precision square root of the query's sum of
// squares, which must not be 0.0. Writes one score per lane to scores, each
// bit-identical to the scalar definition.
using LaneKernelF32 = void (*)(const float* q, std::size_t n, float sqrt_sx,
                               const float* const* p, float* scores);
using LaneKernelF64 = void (*)(const float* q, std::size_t n, float sqrt_sx,
                               const double* const* p, float* scores);

struct LaneKernels {
    std::size_t lanes;  // 0 for the scalar path
    LaneKernelF32 f32;
    LaneKernelF64 f64;
};

// The kernels for isa; lanes is 0 when isa is scalar or not built for this
// target. Does not check that the CPU supports isa.
LaneKernels lane_kernels(Isa isa);

// Whether this CPU (and its operating system) can run isa.
[[nodiscard]] bool isa_supported(Isa isa);

// The widest supported instruction set, chosen once per process.
Isa best_isa();

// The instruction set of score_dense_* and StreamedRows: best_isa() unless
// choose_kernels() named another.
Isa active_isa();

const char* isa_name(Isa isa);

// The dense scoring entry points with an explicit instruction set.
void score_dense_f32_with(Isa isa, const float* q, std::size_t nq, const float* m,
                          std::size_t rows, std::size_t cols, std::vector<ScoredRow>& out);
void score_dense_f64_with(Isa isa, const float* q, std::size_t nq, const double* m,
                          std::size_t rows, std::size_t cols, std::vector<ScoredRow>& out);

// StreamedRows with the lane kernels of a chosen instruction set.
class StreamedRowsWith final : public StreamedRows {
public:
    StreamedRowsWith(Isa isa, const float* q, std::size_t nq, std::vector<ScoredRow>& out);
};

}  // namespace klov::vector::detail
