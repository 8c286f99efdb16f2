// cosine_similarity, top_k and aggregate_cost.
#include "module/impls.hpp"
#include "vector/cost.hpp"

namespace klov::py {

PyObject* impl_cosine_similarity(Args& args) {
    std::vector<float> a, b;
    if (!args.float32_vector(0, a) || !args.float32_vector(1, b)) return nullptr;
    return not_implemented("cosine_similarity");
}

PyObject* impl_top_k(Args& args) {
    std::vector<float> query;
    Float32Matrix matrix;
    std::uint64_t k = 0;
    if (!args.float32_vector(0, query) || !args.float32_matrix(1, matrix) || !args.uint64(2, k)) return nullptr;
    return not_implemented("top_k");
}

PyObject* impl_aggregate_cost(Args& args) {
    double total = -0.0;
    if (!args.float64_sum(0, total)) return nullptr;
    return result_float(total);
}

}  // namespace klov::py
