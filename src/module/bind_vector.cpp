// cosine_similarity, top_k and aggregate_cost.
#include <algorithm>
#include <array>

#include "module/impls.hpp"
#include "vector/cost.hpp"
#include "vector/similarity.hpp"

namespace klov::py {

namespace {

// The first vector of a cosine: kept for the products with the second, its
// sum of squares taken block by block as it arrives. The additions then run
// alongside the conversion of the next block instead of after all of it, and
// common lengths need no allocation.
class FirstVector final : public Float32Sink {
public:
    void take(const float* values, std::size_t count) override {
        if (heap_.empty() && size_ + count <= local_.size()) {
            std::copy_n(values, count, local_.data() + size_);
        } else {
            if (heap_.empty()) heap_.assign(local_.data(), local_.data() + size_);
            heap_.insert(heap_.end(), values, values + count);
        }
        size_ += count;
        sum_of_squares_ = vector::add_squares(sum_of_squares_, values, count);
    }
    const float* data() const { return heap_.empty() ? local_.data() : heap_.data(); }
    std::size_t size() const { return size_; }
    float sum_of_squares() const { return sum_of_squares_; }

private:
    std::array<float, 1024> local_;
    std::vector<float> heap_;
    std::size_t size_ = 0;
    float sum_of_squares_ = 0.0f;
};

// The second vector of a cosine is never stored: each block goes straight
// into the score.
class SecondVector final : public Float32Sink {
public:
    explicit SecondVector(const FirstVector& x) : score_(x.data(), x.size(), x.sum_of_squares()) {}
    void take(const float* values, std::size_t count) override { score_.take(values, count); }
    float score() const { return score_.score(); }

private:
    vector::StreamedCosine score_;
};

class RowScores final : public Float32RowSink {
public:
    RowScores(const std::vector<float>& query, std::vector<vector::ScoredRow>& out)
        : rows_(query.data(), query.size(), out) {}
    void expect_rows(std::size_t rows) override { rows_.expect_rows(rows); }
    void take(const float* values, std::size_t count) override { rows_.take(values, count); }
    void end_row() override { rows_.end_row(); }
    void finish() { rows_.finish(); }

private:
    vector::StreamedRows rows_;
};

// The costs are summed block by block as they convert, never stored.
class CostTotal final : public Float64Sink {
public:
    void take(const double* values, std::size_t count) override { sum_.take(values, count); }
    void take(const float* values, std::size_t count) override { sum_.take(values, count); }
    void take(const unsigned char* values, std::size_t count) override { sum_.take(values, count); }
    double total() const { return sum_.total(); }

private:
    vector::CostSum sum_;
};

}  // namespace

PyObject* impl_cosine_similarity(Args& args) {
    FirstVector a;
    if (!args.float32_vector(0, a)) return nullptr;
    SecondVector b(a);
    if (!args.float32_vector(1, b)) return nullptr;
    return result_float(b.score());
}

PyObject* impl_top_k(Args& args) {
    std::vector<float> query;
    if (!args.float32_vector(0, query)) return nullptr;
    // List rows are scored as they are converted, a group at a time while the
    // group's rows are still in the cache; nothing of that is observable before
    // the whole matrix and k have converted, or instead of their errors.
    std::vector<vector::ScoredRow> scored;
    RowScores rows(query, scored);
    DenseFloatMatrix dense;
    std::uint64_t k = 0;
    if (!args.float32_matrix(1, dense, rows) || !args.uint64(2, k)) return nullptr;

    if (dense.dense && dense.f64 != nullptr) {
        vector::score_dense_f64(query.data(), query.size(), dense.f64, dense.rows, dense.cols, scored);
    } else if (dense.dense) {
        vector::score_dense_f32(query.data(), query.size(), dense.f32, dense.rows, dense.cols, scored);
    } else {
        rows.finish();
    }
    // Only the rows that are returned are ordered and turned into objects.
    vector::rank_first(scored, k);

    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(scored.size())));
    if (!list) return result_failed();
    for (std::size_t i = 0; i < scored.size(); ++i) {
        Ref index = Ref::steal(PyLong_FromUnsignedLongLong(scored[i].row));
        if (!index) return result_failed();
        Ref score = Ref::steal(PyFloat_FromDouble(static_cast<double>(scored[i].score)));
        if (!score) return result_failed();
        Ref pair = Ref::steal(PyTuple_New(2));
        if (!pair) return result_failed();
        // The Set functions take over the references even when they fail.
        if (PyTuple_SetItem(pair.get(), 0, index.release()) != 0 ||
            PyTuple_SetItem(pair.get(), 1, score.release()) != 0 ||
            PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), pair.release()) != 0) {
            return result_failed();
        }
    }
    return list.release();
}

PyObject* impl_aggregate_cost(Args& args) {
    // A conversion error ends the call before the total is used, so the
    // result is that of summing the converted vector.
    CostTotal total;
    if (!args.float64_vector(0, total)) return nullptr;
    return result_float(total.total());
}

}  // namespace klov::py
