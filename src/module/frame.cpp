#include "module/frame.hpp"

#include <cstdio>
#include <cstring>
#include <exception>
#include <new>
#include <stdexcept>
#include <thread>

#include "module/errors.hpp"

namespace klov::py {

[[noreturn]] void internal_fault(std::string message, const char* file, int line) {
    throw InternalFault{std::move(message), file, line};
}

namespace {

constexpr int kMaxParams = 3;

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'"
std::string quoted_name_list(const std::vector<const char*>& names) {
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        out += '\'';
        out += names[i];
        out += '\'';
    }
    return out;
}

bool bind(const FunctionSpec& desc, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          PyObject** slots) {
    const int n = desc.nparams;
    if (nargs > n) {
        PyErr_Format(PyExc_TypeError, "%s() takes %d positional arguments but %zd %s given", desc.name, n,
                     nargs, nargs == 1 ? "was" : "were");
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];

    if (kwnames != nullptr) {
        const Py_ssize_t nkw = PyTuple_Size(kwnames);
        if (nkw < 0) return false;
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GetItem(kwnames, k);
            if (key == nullptr) return false;
            Py_ssize_t len = 0;
            const char* utf8 = PyUnicode_Check(key) ? PyUnicode_AsUTF8AndSize(key, &len) : nullptr;
            if (utf8 == nullptr) PyErr_Clear();  // not encodable: matches no parameter
            int match = -1;
            for (int p = 0; utf8 != nullptr && p < n; ++p) {
                if (std::strlen(desc.params[p]) == static_cast<std::size_t>(len) &&
                    std::memcmp(desc.params[p], utf8, static_cast<std::size_t>(len)) == 0) {
                    match = p;
                    break;
                }
            }
            if (match < 0) {
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", desc.name, key);
                return false;
            }
            if (slots[match] != nullptr) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", desc.name,
                             desc.params[match]);
                return false;
            }
            slots[match] = args[nargs + k];
        }
    }

    std::vector<const char*> missing;
    for (int p = 0; p < n; ++p)
        if (slots[p] == nullptr) missing.push_back(desc.params[p]);
    if (!missing.empty()) {
        const std::string list = quoted_name_list(missing);
        PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional %s: %s", desc.name, missing.size(),
                     missing.size() == 1 ? "argument" : "arguments", list.c_str());
        return false;
    }
    return true;
}

}  // namespace

PyObject* call_function(const FunctionSpec& desc, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* slots[kMaxParams] = {nullptr, nullptr, nullptr};
    try {
        if (!bind(desc, args, nargs, kwnames, slots)) return ensure_error_set();
        Args bound(desc, slots);
        PyObject* result = desc.impl(bound);
        return result != nullptr ? result : ensure_error_set();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::length_error&) {
        // A container asked for more than it can ever hold: the same condition.
        return PyErr_NoMemory();
    } catch (const InternalFault& fault) {
        return raise_panic(fault.message, fault.file, fault.line);
    } catch (const std::exception& e) {
        return raise_panic(e.what(), __FILE__, __LINE__);
    } catch (...) {
        return raise_panic({}, __FILE__, __LINE__);
    }
}

// --- argument prefix -------------------------------------------------------

bool Args::fail(int i) {
    if (!PyErr_Occurred()) {
        ensure_error_set();
        return false;
    }
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    if (type != PyExc_TypeError) {
        PyErr_Restore(type, value, tb);
        return false;
    }
    PyErr_NormalizeException(&type, &value, &tb);
    Ref t = Ref::steal(type), v = Ref::steal(value), trace = Ref::steal(tb);
    Ref text = Ref::steal(PyObject_Str(v.get()));
    if (!text) return false;
    Ref message = Ref::steal(PyUnicode_FromFormat("argument '%s': %U", spec_.params[i], text.get()));
    if (!message) return false;
    Ref replaced = Ref::steal(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
    if (!replaced) return false;
    // The new error carries the old one's cause, not the old error itself.
    PyException_SetCause(replaced.get(), PyException_GetCause(v.get()));
    PyErr_SetObject(PyExc_TypeError, replaced.get());
    return false;
}

// --- results ----------------------------------------------------------------

PyObject* result_failed() {
    if (PyErr_Occurred() && PyErr_ExceptionMatches(PyExc_MemoryError)) return nullptr;
    if (PyErr_Occurred()) PyErr_Print();
    internal_fault("Python API call failed", __FILE__, __LINE__);
}

PyObject* result_float(double v) {
    PyObject* r = PyFloat_FromDouble(v);
    return r != nullptr ? r : result_failed();
}

PyObject* result_str(std::string_view utf8) {
    PyObject* r = PyUnicode_FromStringAndSize(utf8.data(), static_cast<Py_ssize_t>(utf8.size()));
    return r != nullptr ? r : result_failed();
}

PyObject* result_bytes(std::string_view bytes) {
    PyObject* r = PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
    return r != nullptr ? r : result_failed();
}

PyObject* result_uint(std::uint64_t v) {
    PyObject* r = PyLong_FromUnsignedLongLong(v);
    return r != nullptr ? r : result_failed();
}

PyObject* result_none() { Py_RETURN_NONE; }

PyObject* raise_value_error(const std::string& text) {
    Ref msg = Ref::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    if (!msg) return nullptr;
    PyErr_SetObject(PyExc_ValueError, msg.get());
    return nullptr;
}

}  // namespace klov::py
