// The module object: single-phase initialisation, one module per process,
// and the function table.
#include <Python.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <utility>

#include "module/errors.hpp"
#include "module/frame.hpp"
#include "module/impls.hpp"
#include "vector/similarity.hpp"

namespace klov::py {

namespace {

constexpr const char* kCosineParams[] = {"a", "b"};
constexpr const char* kTopKParams[] = {"query", "matrix", "k"};
constexpr const char* kEncodeParams[] = {"json_str"};
constexpr const char* kDecodeParams[] = {"blob"};
constexpr const char* kReduceParams[] = {"reducer", "current_json", "update_json"};
constexpr const char* kAdvanceParams[] = {"state_json", "reducers_json", "updates_json"};
constexpr const char* kPlanParams[] = {"nodes", "edges"};
constexpr const char* kHashParams[] = {"prev_hash", "payload"};
constexpr const char* kVerifyParams[] = {"genesis", "entries"};
constexpr const char* kCostParams[] = {"values"};

}  // namespace

const FunctionSpec kFunctions[10] = {
    {"cosine_similarity", "cosine_similarity(a, b)\n--\n\nCosine similarity between two equal-length vectors.",
     kCosineParams, 2, impl_cosine_similarity},
    {"top_k", "top_k(query, matrix, k)\n--\n\nIndices and scores of the `k` rows most similar to `query`.",
     kTopKParams, 3, impl_top_k},
    {"encode_checkpoint",
     "encode_checkpoint(json_str)\n--\n\nEncode a JSON document string into a framed checkpoint blob.",
     kEncodeParams, 1, impl_encode_checkpoint},
    {"decode_checkpoint", "decode_checkpoint(blob)\n--\n\nDecode a framed checkpoint blob back into a JSON string.",
     kDecodeParams, 1, impl_decode_checkpoint},
    {"reduce_channel",
     "reduce_channel(reducer, current_json, update_json)\n--\n\n"
     "Reduce `current` with `update` under the named channel reducer.",
     kReduceParams, 3, impl_reduce_channel},
    {"advance_superstep",
     "advance_superstep(state_json, reducers_json, updates_json)\n--\n\n"
     "Apply a whole superstep's node updates to graph state in one call.",
     kAdvanceParams, 3, impl_advance_superstep},
    {"plan_supersteps", "plan_supersteps(nodes, edges)\n--\n\nPlan BSP supersteps for the given nodes and edges.",
     kPlanParams, 2, impl_plan_supersteps},
    {"hash_event",
     "hash_event(prev_hash, payload)\n--\n\nChained hash for an audit entry: `sha256(prev_hash || payload)`.",
     kHashParams, 2, impl_hash_event},
    {"verify_chain",
     "verify_chain(genesis, entries)\n--\n\n"
     "Verify a hash chain; returns the index of the first broken link or `None`.",
     kVerifyParams, 2, impl_verify_chain},
    {"aggregate_cost", "aggregate_cost(values)\n--\n\nSum per-call costs into a single total.", kCostParams, 1,
     impl_aggregate_cost},
};

namespace {

template <int I>
PyObject* entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_function(kFunctions[I], args, nargs, kwnames);
}

template <int... I>
constexpr auto make_method_table(std::integer_sequence<int, I...>) {
    return std::array<PyMethodDef, sizeof...(I)>{PyMethodDef{
        kFunctions[I].name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&entry<I>)),
        METH_FASTCALL | METH_KEYWORDS, kFunctions[I].doc}...};
}

// The function records live for the process: the function objects refer to them.
std::array<PyMethodDef, 10> g_methods = make_method_table(std::make_integer_sequence<int, 10>{});

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT, "klov_core", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// The interpreter that initialised the module and the module it got.  Both
// are forgotten when that interpreter is finalized, so that an embedding
// program that starts a new interpreter imports a fresh module instead of a
// dead one.
std::atomic<std::int64_t> g_interpreter{-1};
PyObject* g_module = nullptr;
bool g_exit_hook = false;

void forget_at_exit() {
    g_module = nullptr;  // owned by the dead interpreter: not touched
    g_interpreter.store(-1);
    g_exit_hook = false;
    forget_interpreter_objects();
}

bool module_add(PyObject* module, PyObject* name, PyObject* value) {
    Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        all = Ref::steal(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) != 0) return false;
    } else if (!PyList_Check(all.get())) {
        Ref qualname = Ref::steal(PyType_GetQualName(Py_TYPE(all.get())));
        if (!qualname) return false;
        PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to 'PyList'", qualname.get());
        return false;
    }
    if (PyList_Append(all.get(), name) != 0) {
        PyErr_Clear();
        raise_panic("could not append __name__ to __all__", __FILE__, __LINE__);
        return false;
    }
    return PyObject_SetAttr(module, name, value) == 0;
}

bool module_add_function(PyObject* module, PyMethodDef* def) {
    Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    if (!module_name) return false;
    Ref fn = Ref::steal(PyCMethod_New(def, module, module_name.get(), nullptr));
    if (!fn) return false;
    Ref name = Ref::steal(PyObject_GetAttrString(fn.get(), "__name__"));
    if (!name) return false;
    if (!PyUnicode_Check(name.get())) {
        Ref qualname = Ref::steal(PyType_GetQualName(Py_TYPE(name.get())));
        if (!qualname) return false;
        PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to 'PyString'", qualname.get());
        return false;
    }
    return module_add(module, name.get(), fn.get());
}

bool init_body(PyObject* module) {
    Ref version_name = Ref::steal(PyUnicode_InternFromString("__version__"));
    Ref version = Ref::steal(PyUnicode_FromString("0.1.0"));
    if (!version_name || !version || !module_add(module, version_name.get(), version.get())) return false;
    Ref rust_name = Ref::steal(PyUnicode_InternFromString("RUST"));
    if (!rust_name || !module_add(module, rust_name.get(), Py_True)) return false;
    for (PyMethodDef& def : g_methods)
        if (!module_add_function(module, &def)) return false;
    return true;
}

// KLOV_CORE_ISA, when set and not empty, names the instruction set of the
// vector functions' SIMD kernels; a name this CPU or build cannot run fails
// the import instead of faulting on the first call.
bool choose_vector_kernels() {
    const char* value = std::getenv("KLOV_CORE_ISA");
    const char* refused = klov::vector::choose_kernels(value != nullptr ? value : "");
    if (refused == nullptr) return true;
    Ref shown = Ref::steal(PyUnicode_DecodeFSDefault(value));
    if (!shown) return false;
    PyErr_Format(PyExc_ImportError, "KLOV_CORE_ISA=%R is refused: %s", shown.get(), refused);
    return false;
}

PyObject* init_module() {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) return ensure_error_set();
    std::int64_t expected = -1;
    if (!g_interpreter.compare_exchange_strong(expected, id) && expected != id) {
        PyErr_SetString(PyExc_ImportError,
                        "klov_core does not yet support subinterpreters: it can be imported only once per "
                        "process, in the main interpreter");
        return nullptr;
    }
    if (g_module != nullptr) return Py_NewRef(g_module);
    if (!choose_vector_kernels()) return nullptr;

    Ref module = Ref::steal(PyModule_Create2(&g_module_def, PYTHON_ABI_VERSION));
    if (!module) return nullptr;
    if (!init_body(module.get())) return nullptr;
    if (g_module != nullptr) return Py_NewRef(g_module);
    if (!g_exit_hook) {
        if (Py_AtExit(forget_at_exit) != 0) {
            PyErr_SetString(PyExc_ImportError, "klov_core could not register its interpreter exit hook");
            return nullptr;
        }
        g_exit_hook = true;
    }
    g_module = Py_NewRef(module.get());
    return module.release();
}

}  // namespace

}  // namespace klov::py

PyMODINIT_FUNC PyInit_klov_core(void) {
    try {
        return klov::py::init_module();
    } catch (...) {
        // Initialisation allocates through the interpreter only; anything
        // thrown here is memory exhaustion from the C++ runtime.
        return PyErr_NoMemory();
    }
}
