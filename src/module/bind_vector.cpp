// cosine_similarity, top_k and aggregate_cost.
#include "module/impls.hpp"
#include "vector/cost.hpp"
#include "vector/similarity.hpp"

namespace klov::py {

PyObject* impl_cosine_similarity(Args& args) {
    std::vector<float> a, b;
    if (!args.float32_vector(0, a) || !args.float32_vector(1, b)) return nullptr;
    return result_float(vector::cosine_score(a.data(), a.size(), b.data(), b.size()));
}

PyObject* impl_top_k(Args& args) {
    std::vector<float> query;
    Float32Matrix matrix;
    std::uint64_t k = 0;
    if (!args.float32_vector(0, query) || !args.float32_matrix(1, matrix) || !args.uint64(2, k)) return nullptr;

    std::vector<vector::ScoredRow> scored;
    if (matrix.dense && matrix.dense_f64 != nullptr) {
        vector::score_dense_f64(query.data(), query.size(), matrix.dense_f64, matrix.rows, matrix.cols, scored);
    } else if (matrix.dense) {
        vector::score_dense_f32(query.data(), query.size(), matrix.dense_f32, matrix.rows, matrix.cols, scored);
    } else {
        vector::score_packed_rows(query.data(), query.size(), matrix.data.data(), matrix.offsets.data(),
                                  matrix.rows, scored);
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
    double total = -0.0;
    if (!args.float64_sum(0, total)) return nullptr;
    return result_float(total);
}

}  // namespace klov::py
