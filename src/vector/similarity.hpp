#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

namespace klov::vector {

// Single-precision cosine score. Lengths that differ, or a length of 0, score
// 0.0. Otherwise three accumulators (x·y, x·x, y·y) add their products in index
// order, each product rounded to float before it is added; if either sum of
// squares is exactly 0.0 (a NaN sum is not) the score is 0.0, else it is
// dot / (sqrt(sum y·y) * sqrt(sum x·x)), every step rounded to float.
float cosine_score(const float* x, std::size_t nx, const float* y, std::size_t ny);

struct ScoredRow {
    std::uint64_t row;
    float score;
};

// Scores every row of a dense row-major matrix of rows x cols elements
// against the query q and replaces out with one entry per row, in row order,
// each equal to cosine_score(q, nq, row). The query's own sum of squares is
// computed once; when cols equals the query's length, rows are scored several
// at a time with SIMD lanes across rows where the CPU allows, which gives the
// same bits as the scalar definition. A double element is first rounded to
// the nearest float, exactly as a float32 vector conversion of it would be.
void score_dense_f32(const float* q, std::size_t nq, const float* m, std::size_t rows,
                     std::size_t cols, std::vector<ScoredRow>& out);
void score_dense_f64(const float* q, std::size_t nq, const double* m, std::size_t rows,
                     std::size_t cols, std::vector<ScoredRow>& out);

// Chooses the SIMD kernels of score_dense_* and StreamedRows by instruction
// set: "scalar", "sse2", "avx" or "avx512"; an empty name chooses the widest
// this CPU supports, the default. Every choice gives the same scores, only
// the speed differs. Returns nullptr once chosen; otherwise, choosing
// nothing, why the name was refused: unknown, or not runnable by this CPU
// or build. A scoring call already running keeps the kernels it started with.
[[nodiscard]] const char* choose_kernels(std::string_view name);

// The sum of x[i]*x[i] over i in index order, each product rounded to float
// before it is added, continued from `sum`: a vector's sum of squares may be
// taken piece by piece as the vector arrives.
float add_squares(float sum, const float* x, std::size_t n);

// cosine_score(x, nx, y, ny) for a y that arrives in pieces, so that y need not
// be stored: the same operations in the same order. sx is x's complete sum of
// squares (add_squares from 0.0f).
class StreamedCosine {
public:
    StreamedCosine(const float* x, std::size_t nx, float sx) : x_(x), nx_(nx), sx_(sx) {}
    void take(const float* y, std::size_t n);
    float score() const;

private:
    const float* x_;
    std::size_t nx_;
    float sx_;
    std::size_t ny_ = 0;
    float dot_ = 0.0f;
    float sy_ = 0.0f;
};

// Scores rows that arrive one at a time, each in pieces, against the query q;
// after finish(), out holds one entry per row, in row order, each equal to
// cosine_score(q, nq, row), with the same lanes as score_dense_f32. Rows of the query's length are kept in a few row-sized slots only
// until a group of them is scored, so the whole matrix is never held; rows of
// any other length are only counted. Throws std::bad_alloc.
class StreamedRows {
public:
    StreamedRows(const float* q, std::size_t nq, std::vector<ScoredRow>& out);
    ~StreamedRows();
    StreamedRows(const StreamedRows&) = delete;
    StreamedRows& operator=(const StreamedRows&) = delete;

    // A capacity worth reserving in out.
    void expect_rows(std::size_t rows) { out_.reserve(rows); }
    // More of the current row.
    void take(const float* v, std::size_t n);
    void end_row();
    // Scores the rows still waiting for a full group.
    void finish();

    struct Groups;  // the lane groups, private to the implementation

protected:
    // Rows of the query's length go to `groups`, which is null when every
    // row scores 0.0 (an empty query, or one whose sum of squares is 0.0).
    StreamedRows(std::unique_ptr<Groups> groups, std::size_t nq, std::vector<ScoredRow>& out);

private:
    const std::size_t nq_;
    std::vector<ScoredRow>& out_;
    std::vector<std::vector<float>> slots_;
    std::unique_ptr<Groups> groups_;  // null when every row scores 0.0
    std::vector<float>* slot_ = nullptr;  // where the current row's values go
    std::size_t length_ = 0;    // of the current row so far
};

// True when a goes before b in a ranking: higher score first, equal scores
// by ascending row, and NaN scores after every other score, among themselves
// by ascending row. This is a strict weak ordering for any scores, so no
// sorting algorithm can be led out of bounds by it.
[[nodiscard]] inline bool ranks_before(const ScoredRow& a, const ScoredRow& b) {
    const bool a_nan = a.score != a.score;
    const bool b_nan = b.score != b.score;
    if (a_nan || b_nan) {
        return a_nan == b_nan ? a.row < b.row : b_nan;
    }
    return a.score > b.score || (a.score == b.score && a.row < b.row);
}

// Stable sort by ranks_before: straight insertion for 20 entries or fewer,
// std::stable_sort above (which sorts in place, more slowly, when it cannot
// have a buffer).
void rank(std::vector<ScoredRow>& rows);

// Leaves exactly min(k, rows.size()) entries in rows, equal to the first
// entries rank() would produce. For k much smaller than the row count only
// the best k are selected and ordered, instead of sorting everything.
void rank_first(std::vector<ScoredRow>& rows, std::uint64_t k);

}  // namespace klov::vector
