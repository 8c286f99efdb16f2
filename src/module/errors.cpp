#include "module/errors.hpp"

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <thread>

namespace klov::py {

namespace {

constexpr const char* kPanicDoc =
    "The exception raised when the native code called from Python hits an internal fault.\n\n"
    "Like SystemExit, this exception is derived from BaseException so that it will typically "
    "propagate all the way through the stack and cause the Python interpreter to exit.";

constexpr const char* kGenericFault = "internal fault in native code (no message)";

// Created on first use, with the interpreter lock held, and forgotten when the
// interpreter that owns it is finalized.
PyObject* g_panic_type = nullptr;

PyObject* panic_type() {
    if (g_panic_type == nullptr) {
        g_panic_type = PyErr_NewExceptionWithDoc("klov_runtime.PanicException", kPanicDoc, PyExc_BaseException,
                                                 nullptr);
        if (g_panic_type == nullptr) {
            std::fputs("klov_core: could not create PanicException\n", stderr);
            std::abort();
        }
    }
    return g_panic_type;
}

}  // namespace

PyObject* ensure_error_set() {
    if (!PyErr_Occurred())
        PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    return nullptr;
}

PyObject* raise_panic(const std::string& message, const char* file, int line) {
    const std::string& text = message.empty() ? std::string(kGenericFault) : message;
    // A fault may arrive with an exception still pending; the panic replaces it.
    PyErr_Clear();
    const auto thread = std::hash<std::thread::id>{}(std::this_thread::get_id());
    std::fprintf(stderr, "klov_core: internal fault in thread %zx at %s:%d: %s\n", static_cast<std::size_t>(thread),
                 file, line, text.c_str());
    std::fflush(stderr);
    PyObject* msg = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    if (msg == nullptr) return nullptr;  // MemoryError is set
    PyErr_SetObject(panic_type(), msg);
    Py_DECREF(msg);
    return nullptr;
}

void forget_interpreter_objects() { g_panic_type = nullptr; }

}  // namespace klov::py
