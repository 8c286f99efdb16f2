#include "vector/similarity.hpp"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <utility>

#include "common/order.hpp"
#include "vector/kernels.hpp"

// Scores are defined in single precision step by step; an evaluation method
// that keeps wider intermediates (x87) would change them.
#if defined(FLT_EVAL_METHOD) && FLT_EVAL_METHOD != 0 && FLT_EVAL_METHOD != -1
#error "single-precision arithmetic must be evaluated in single precision"
#endif

namespace klov::vector {
namespace {

using detail::Isa;
using detail::LaneKernels;

// A row of the query's length, scored against a query whose sum of squares is
// not 0.0. Same operations in the same order as cosine_score; only the query's
// sum of squares, identical for every row, is hoisted out.
template <typename T>
float score_row(const float* q, std::size_t n, float sqrt_sx, const T* y) {
    float dot = 0.0f;
    float sy = 0.0f;
    for (std::size_t i = 0; i < n; ++i) {
        const float yi = static_cast<float>(y[i]);
        const float pd = q[i] * yi;
        const float py = yi * yi;
        dot = dot + pd;
        sy = sy + py;
    }
    if (sy == 0.0f) {
        return 0.0f;
    }
    const float den = std::sqrt(sy) * sqrt_sx;
    return dot / den;
}

float sum_of_squares(const float* x, std::size_t n) { return add_squares(0.0f, x, n); }

template <typename T>
auto kernel_of(const LaneKernels& k) {
    if constexpr (sizeof(T) == sizeof(float)) {
        return k.f32;
    } else {
        return k.f64;
    }
}

// Scores rows of the query's length, gathered into groups of kernel lanes and
// scored together; a last partial group goes through the scalar loop. The
// query's sum of squares must not be 0.0. Nothing is allocated.
template <typename T>
class LaneGroups {
public:
    LaneGroups(Isa isa, const float* q, std::size_t nq, float sqrt_sx, std::vector<ScoredRow>& out)
        : q_(q), nq_(nq), sqrt_sx_(sqrt_sx), out_(out) {
        const LaneKernels kernels = detail::lane_kernels(isa);
        kernel_ = kernel_of<T>(kernels);
        lanes_ = kernel_ != nullptr && kernels.lanes <= kMaxLanes ? kernels.lanes : 0;
    }

    // 0 when rows are scored one by one as they are added.
    std::size_t lanes() const { return lanes_; }
    // Rows added since the last group was scored.
    std::size_t waiting() const { return filled_; }

    // Row i, of the query's length; row must stay readable until its group is
    // scored (at the latest in finish()).
    void add(std::size_t i, const T* row) {
        if (lanes_ == 0) {
            out_[i].score = score_row(q_, nq_, sqrt_sx_, row);
            return;
        }
        group_[filled_] = row;
        where_[filled_] = i;
        if (++filled_ == lanes_) {
            float scores[kMaxLanes];
            kernel_(q_, nq_, sqrt_sx_, group_, scores);
            for (std::size_t l = 0; l < lanes_; ++l) {
                out_[where_[l]].score = scores[l];
            }
            filled_ = 0;
        }
    }

    void finish() {
        for (std::size_t l = 0; l < filled_; ++l) {
            out_[where_[l]].score = score_row(q_, nq_, sqrt_sx_, group_[l]);
        }
        filled_ = 0;
    }

private:
    static constexpr std::size_t kMaxLanes = 16;
    const float* q_;
    std::size_t nq_;
    float sqrt_sx_;
    std::vector<ScoredRow>& out_;
    decltype(kernel_of<T>(LaneKernels{})) kernel_;
    std::size_t lanes_;
    const T* group_[kMaxLanes];
    std::size_t where_[kMaxLanes];
    std::size_t filled_ = 0;
};

// Shared driver. row_at(i) yields row i's elements, or nullptr when the row's
// length differs from the query's (it then scores 0.0). Nothing is allocated
// besides out.
template <typename T, typename RowAt>
void drive(Isa isa, const float* q, std::size_t nq, std::size_t count, RowAt row_at,
           std::vector<ScoredRow>& out) {
    out.resize(count);
    for (std::size_t i = 0; i < count; ++i) {
        out[i] = ScoredRow{static_cast<std::uint64_t>(i), 0.0f};
    }
    if (nq == 0) {
        return;
    }
    const float sx = sum_of_squares(q, nq);
    if (sx == 0.0f) {
        return;
    }
    LaneGroups<T> groups(isa, q, nq, std::sqrt(sx), out);
    for (std::size_t i = 0; i < count; ++i) {
        if (const T* row = row_at(i)) {
            groups.add(i, row);
        }
    }
    groups.finish();
}

// ranks_before as a function object, so that the sorts inline it.
struct RanksBefore {
    bool operator()(const ScoredRow& a, const ScoredRow& b) const { return ranks_before(a, b); }
};

}  // namespace

float cosine_score(const float* x, std::size_t nx, const float* y, std::size_t ny) {
    if (nx != ny || nx == 0) {
        return 0.0f;
    }
    float dot = 0.0f;
    float sx = 0.0f;
    float sy = 0.0f;
    for (std::size_t i = 0; i < nx; ++i) {
        const float pd = x[i] * y[i];
        const float px = x[i] * x[i];
        const float py = y[i] * y[i];
        dot = dot + pd;
        sx = sx + px;
        sy = sy + py;
    }
    if (sx == 0.0f || sy == 0.0f) {
        return 0.0f;
    }
    const float den = std::sqrt(sy) * std::sqrt(sx);
    return dot / den;
}

namespace detail {

void score_dense_f32_with(Isa isa, const float* q, std::size_t nq, const float* m,
                          std::size_t rows, std::size_t cols, std::vector<ScoredRow>& out) {
    const bool match = cols == nq;
    drive<float>(isa, q, nq, rows,
                 [&](std::size_t i) -> const float* { return match ? m + i * cols : nullptr; },
                 out);
}

void score_dense_f64_with(Isa isa, const float* q, std::size_t nq, const double* m,
                          std::size_t rows, std::size_t cols, std::vector<ScoredRow>& out) {
    const bool match = cols == nq;
    drive<double>(isa, q, nq, rows,
                  [&](std::size_t i) -> const double* { return match ? m + i * cols : nullptr; },
                  out);
}

}  // namespace detail

void score_dense_f32(const float* q, std::size_t nq, const float* m, std::size_t rows,
                     std::size_t cols, std::vector<ScoredRow>& out) {
    detail::score_dense_f32_with(detail::active_isa(), q, nq, m, rows, cols, out);
}

void score_dense_f64(const float* q, std::size_t nq, const double* m, std::size_t rows,
                     std::size_t cols, std::vector<ScoredRow>& out) {
    detail::score_dense_f64_with(detail::active_isa(), q, nq, m, rows, cols, out);
}

float add_squares(float sum, const float* x, std::size_t n) {
    float s = sum;
    for (std::size_t i = 0; i < n; ++i) {
        const float p = x[i] * x[i];
        s = s + p;
    }
    return s;
}

void StreamedCosine::take(const float* y, std::size_t n) {
    // Values past x's length only count: the lengths differ, the score is 0.0.
    const std::size_t used = ny_ < nx_ ? std::min(n, nx_ - ny_) : 0;
    // x is formed only where it points into x's values: past their end, or
    // from the null pointer of an empty x, the offset alone is undefined.
    const float* x = used > 0 ? x_ + ny_ : nullptr;
    float dot = dot_;
    float sy = sy_;
    for (std::size_t i = 0; i < used; ++i) {
        const float pd = x[i] * y[i];
        const float py = y[i] * y[i];
        dot = dot + pd;
        sy = sy + py;
    }
    dot_ = dot;
    sy_ = sy;
    ny_ += n;
}

float StreamedCosine::score() const {
    if (nx_ != ny_ || nx_ == 0 || sx_ == 0.0f || sy_ == 0.0f) {
        return 0.0f;
    }
    const float den = std::sqrt(sy_) * std::sqrt(sx_);
    return dot_ / den;
}

struct StreamedRows::Groups : LaneGroups<float> {
    using LaneGroups<float>::LaneGroups;
};

namespace {

// The lane groups for a query, or null when every row scores 0.0.
std::unique_ptr<StreamedRows::Groups> groups_for(Isa isa, const float* q, std::size_t nq,
                                                 std::vector<ScoredRow>& out) {
    const float sx = nq == 0 ? 0.0f : sum_of_squares(q, nq);
    if (sx == 0.0f) {
        return nullptr;
    }
    return std::make_unique<StreamedRows::Groups>(isa, q, nq, std::sqrt(sx), out);
}

}  // namespace

StreamedRows::StreamedRows(const float* q, std::size_t nq, std::vector<ScoredRow>& out)
    : StreamedRows(groups_for(detail::active_isa(), q, nq, out), nq, out) {}

detail::StreamedRowsWith::StreamedRowsWith(Isa isa, const float* q, std::size_t nq,
                                           std::vector<ScoredRow>& out)
    : StreamedRows(groups_for(isa, q, nq, out), nq, out) {}

StreamedRows::StreamedRows(std::unique_ptr<Groups> groups, std::size_t nq,
                           std::vector<ScoredRow>& out)
    : nq_(nq), out_(out), groups_(std::move(groups)) {
    out_.clear();
    if (!groups_) {
        return;
    }
    // One slot per lane holds a row until its group is scored; one slot when
    // rows are scored as they end. Slots grow with the values that arrive, so
    // a long query with few or short rows holds no more than those rows.
    slots_.resize(std::max<std::size_t>(groups_->lanes(), 1));
    slot_ = &slots_[0];
}

StreamedRows::~StreamedRows() = default;

void StreamedRows::take(const float* v, std::size_t n) {
    if (slot_ != nullptr && length_ < nq_) {
        slot_->insert(slot_->end(), v, v + std::min(n, nq_ - length_));
    }
    length_ += n;
}

void StreamedRows::end_row() {
    const std::size_t row = out_.size();
    out_.push_back(ScoredRow{static_cast<std::uint64_t>(row), 0.0f});
    if (groups_ && length_ == nq_) {
        groups_->add(row, slot_->data());
        slot_ = &slots_[groups_->waiting()];
    }
    if (slot_ != nullptr) {
        slot_->clear();
    }
    length_ = 0;
}

void StreamedRows::finish() {
    if (groups_) {
        groups_->finish();
        slot_ = &slots_[0];
        slot_->clear();
    }
}

void rank(std::vector<ScoredRow>& rows) {
    // Straight insertion is the quickest for the few rows of a typical ranking.
    constexpr std::size_t kInsertionLimit = 20;
    klov::small_stable_sort(rows.data(), rows.data() + rows.size(), RanksBefore{}, kInsertionLimit);
}

void rank_first(std::vector<ScoredRow>& rows, std::uint64_t k) {
    const std::size_t n = rows.size();
    const std::size_t m = k < n ? static_cast<std::size_t>(k) : n;
    // Selecting costs up to m moves per row, so it only pays for a short head.
    constexpr std::size_t kSelectLimit = 64;
    if (m > kSelectLimit || m * 8 >= n) {
        rank(rows);
        rows.resize(m);
        return;
    }
    if (m == 0) {
        rows.clear();
        return;
    }
    // rows[0, m) holds the best m seen so far, in ranking order. A later row
    // enters only when it strictly ranks before the current last one, and is
    // placed after every entry it does not strictly rank before, so equal
    // entries keep their input order exactly as the stable sort keeps it.
    ScoredRow* a = rows.data();
    klov::insertion_sort(a, a + m, RanksBefore{});
    for (std::size_t i = m; i < n; ++i) {
        const ScoredRow x = a[i];
        if (!ranks_before(x, a[m - 1])) {
            continue;
        }
        std::size_t j = m - 1;
        while (j > 0 && ranks_before(x, a[j - 1])) {
            a[j] = a[j - 1];
            --j;
        }
        a[j] = x;
    }
    rows.resize(m);
}

}  // namespace klov::vector
