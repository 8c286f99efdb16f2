// The call frame shared by every module function: binding, argument
// conversion with the "argument '<name>': " prefix, result construction and
// the translation of native failures into Python exceptions.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "module/pyref.hpp"

namespace klov::py {

// A native failure that is not an ordinary error of the function's logic.
// The frame reports it on stderr and raises PanicException.
struct InternalFault {
    std::string message;
    const char* file;
    int line;
};
[[noreturn]] void internal_fault(std::string message, const char* file, int line);
#define KLOV_FAULT(msg) ::klov::py::internal_fault((msg), __FILE__, __LINE__)

class Args;
using Impl = PyObject* (*)(Args&);

struct FunctionSpec {
    const char* name;
    const char* doc;  // "sig\n--\n\ntext"
    const char* const* params;
    int nparams;
    Impl impl;
};

// The ten functions, in registration order.
extern const FunctionSpec kFunctions[10];

// Runs one call: bind, then the function's impl, turning a C++ exception it
// throws into MemoryError (allocation failures) or PanicException.
PyObject* call_function(const FunctionSpec& desc, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// Holds a buffer export for the duration of a call.
class BufferHold {
public:
    BufferHold() = default;
    BufferHold(const BufferHold&) = delete;
    BufferHold& operator=(const BufferHold&) = delete;
    BufferHold(BufferHold&& o) noexcept : view_(o.view_), held_(std::exchange(o.held_, false)) {}
    ~BufferHold() { reset(); }
    void reset() {
        if (held_) PyBuffer_Release(&view_);
        held_ = false;
    }
    Py_buffer* view() { return &view_; }
    void mark_held() { held_ = true; }
    bool held() const { return held_; }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// Native values produced by the conversions.  Views stay valid for the call:
// the frame keeps the Python objects they come from alive.
struct ByteString {
    std::string_view bytes;
    BufferHold hold;
    std::string storage;
};

struct TextList {
    std::vector<std::string_view> items;
    Ref keep;  // a tuple holding every item
};

struct TextPairs {
    std::vector<std::pair<std::string_view, std::string_view>> items;
    Ref keep;  // a tuple holding every pair
};

// Receives the float32 values of a vector argument in order, a block at a
// time, so that a caller can work on them while the rest is converted.
class Float32Sink {
public:
    // Called at most once, before any values, with a capacity worth reserving.
    virtual void expect(std::size_t count) { (void)count; }
    virtual void take(const float* values, std::size_t count) = 0;

protected:
    ~Float32Sink() = default;
};

// Receives the float64 values of a vector argument in order, a block at a
// time, so that a caller can work on them without the vector being stored.
// The elements of a float32 or byte buffer arrive as stored, in one block:
// each converts to a double exactly.
class Float64Sink {
public:
    virtual void take(const double* values, std::size_t count) = 0;
    virtual void take(const float* values, std::size_t count) = 0;
    virtual void take(const unsigned char* values, std::size_t count) = 0;

protected:
    ~Float64Sink() = default;
};

// Receives the rows of a float32 matrix argument in order: each row's values
// through take() (and expect()), then end_row().
class Float32RowSink : public Float32Sink {
public:
    // Called at most once, before the first row, with a row count worth reserving.
    virtual void expect_rows(std::size_t rows) { (void)rows; }
    virtual void end_row() = 0;

protected:
    ~Float32RowSink() = default;
};

// A float32 matrix argument that arrived as one C-contiguous 2-D float32 or
// float64 buffer (a numpy array): its rows are read in place.
struct DenseFloatMatrix {
    bool dense = false;  // false when the rows went to a Float32RowSink instead
    std::size_t rows = 0;
    std::size_t cols = 0;
    const float* f32 = nullptr;   // rows*cols floats, or
    const double* f64 = nullptr;  // rows*cols doubles
    BufferHold hold;
};

// Bound arguments of one call, with conversions that add the argument prefix
// to a failing conversion of parameter i.  Each returns false with a Python
// exception set.
class Args {
public:
    Args(const FunctionSpec& desc, PyObject* const* bound) : spec_(desc), bound_(bound) {}

    bool text(int i, std::string_view& out);
    bool float32_vector(int i, std::vector<float>& out);
    bool float32_vector(int i, Float32Sink& sink);
    bool float64_vector(int i, Float64Sink& sink);
    // Either reads a dense buffer into `dense` or converts every row into `rows`.
    bool float32_matrix(int i, DenseFloatMatrix& dense, Float32RowSink& rows);
    bool uint64(int i, std::uint64_t& out);
    bool byte_string(int i, ByteString& out);
    bool text_list(int i, TextList& out);
    bool text_pairs(int i, TextPairs& out);

private:
    bool fail(int i);
    const FunctionSpec& spec_;
    PyObject* const* bound_;
};

// Raise the ValueError of a failed check or parse; returns nullptr.
PyObject* raise_value_error(const std::string& text);

// Result construction.  Each returns a new reference, or nullptr with an
// exception set: MemoryError passes through, any other failure is an internal
// fault ("Python API call failed").
PyObject* result_float(double v);
PyObject* result_str(std::string_view utf8);
PyObject* result_bytes(std::string_view bytes);
PyObject* result_uint(std::uint64_t v);
PyObject* result_none();
// For callers that build containers themselves: call when an interpreter call
// returned failure while building the result.
PyObject* result_failed();

}  // namespace klov::py
