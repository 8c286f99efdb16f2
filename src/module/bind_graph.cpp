// reduce_channel, advance_superstep and plan_supersteps.
#include <string>

#include "graph/plan.hpp"
#include "graph/reducer.hpp"
#include "graph/superstep.hpp"
#include "json/error.hpp"
#include "module/impls.hpp"
#include "module/pyref.hpp"

namespace klov::py {

PyObject* impl_reduce_channel(Args& args) {
    std::string_view reducer, current, update;
    if (!args.text(0, reducer) || !args.text(1, current) || !args.text(2, update)) return nullptr;
    std::string out;
    json::JsonError err;
    if (!graph::reduce_channel(reducer, current, update, out, err)) return raise_value_error(err.text());
    return result_str(out);
}

PyObject* impl_advance_superstep(Args& args) {
    std::string_view state, reducers, updates;
    if (!args.text(0, state) || !args.text(1, reducers) || !args.text(2, updates)) return nullptr;
    json::WrittenText out;
    json::JsonError err;
    if (!graph::advance_superstep(state, reducers, updates, out, err)) return raise_value_error(err.text());
    return result_str(out.view());
}

PyObject* impl_plan_supersteps(Args& args) {
    TextList nodes;
    TextPairs edges;
    if (!args.text_list(0, nodes) || !args.text_pairs(1, edges)) return nullptr;
    const auto plan = graph::plan_supersteps(nodes.items, edges.items);

    // Names come back as the very str objects passed in (they are immutable);
    // only instances of str subclasses are turned into plain str.
    PyObject* kept = nodes.keep.get();
    const bool kept_tuple = PyTuple_CheckExact(kept);
    auto name_at = [&](std::size_t index) -> PyObject* {
        const auto at = static_cast<Py_ssize_t>(index);
        PyObject* given = kept_tuple ? PyTuple_GetItem(kept, at) : PyList_GetItem(kept, at);
        if (given != nullptr && PyUnicode_CheckExact(given)) {
            Py_INCREF(given);
            return given;
        }
        const std::string_view s = nodes.items[index];
        return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
    };

    Ref result = Ref::steal(PyList_New(static_cast<Py_ssize_t>(plan.size())));
    if (!result) return result_failed();
    for (std::size_t s = 0; s < plan.size(); ++s) {
        const auto& step = plan[s];
        Ref inner = Ref::steal(PyList_New(static_cast<Py_ssize_t>(step.size())));
        if (!inner) return result_failed();
        for (std::size_t k = 0; k < step.size(); ++k) {
            PyObject* name = name_at(step[k]);
            if (name == nullptr) return result_failed();
            if (PyList_SetItem(inner.get(), static_cast<Py_ssize_t>(k), name) != 0) return result_failed();
        }
        if (PyList_SetItem(result.get(), static_cast<Py_ssize_t>(s), inner.release()) != 0) return result_failed();
    }
    return result.release();
}

}  // namespace klov::py
