// reduce_channel, advance_superstep and plan_supersteps.
#include "module/impls.hpp"

namespace klov::py {

PyObject* impl_reduce_channel(Args& args) {
    std::string_view reducer, current, update;
    if (!args.text(0, reducer) || !args.text(1, current) || !args.text(2, update)) return nullptr;
    return not_implemented("reduce_channel");
}

PyObject* impl_advance_superstep(Args& args) {
    std::string_view state, reducers, updates;
    if (!args.text(0, state) || !args.text(1, reducers) || !args.text(2, updates)) return nullptr;
    return not_implemented("advance_superstep");
}

PyObject* impl_plan_supersteps(Args& args) {
    TextList nodes;
    TextPairs edges;
    if (!args.text_list(0, nodes) || !args.text_pairs(1, edges)) return nullptr;
    return not_implemented("plan_supersteps");
}

}  // namespace klov::py
