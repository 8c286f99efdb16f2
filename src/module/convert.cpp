// Argument conversions.  Every conversion has one general path written in
// terms of the sequence and iterator protocols; the fast paths (exact list and
// tuple, and buffers whose iteration is known to yield the buffer's values)
// must give exactly the results and errors of that path.
#include <cstring>
#include <limits>

#include "common/compiler.hpp"
#include "module/frame.hpp"

namespace klov::py {

namespace {

// What a sequence's reported length may reserve up front.  The length is only a
// hint (a __len__ may lie), so anything beyond this grows geometrically.
constexpr std::size_t kMaxReserveFromHint = 1 << 16;

bool raise_cannot_convert(PyObject* value, const char* target) {
    Ref qualname = Ref::steal(PyType_GetQualName(Py_TYPE(value)));
    if (!qualname) return false;
    PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", qualname.get(), target);
    return false;
}

// The checks that start every sequence conversion: a str is refused first,
// then anything that is not a sequence.
bool check_sequence(PyObject* value) {
    if (PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return false;
    }
    if (!PySequence_Check(value)) return raise_cannot_convert(value, "Sequence");
    return true;
}

std::size_t capacity_hint(PyObject* value) {
    const Py_ssize_t n = PySequence_Size(value);
    if (n < 0) {
        PyErr_Clear();
        return 0;
    }
    return static_cast<std::size_t>(n);
}

// Items of exact floats, ints and bools convert without running Python code,
// so a list cannot change under the loop while they are converted.
bool converts_without_code(PyObject* item) {
    PyTypeObject* t = Py_TYPE(item);
    return t == &PyFloat_Type || t == &PyLong_Type || t == &PyBool_Type || t == &PyUnicode_Type;
}

// Calls on_item(item) for each item in iteration order.  `hint` is set before
// the first item to a capacity worth reserving: the exact size of a list or
// tuple, otherwise the reported length capped.  Exact
// lists are walked by index and tuples directly; a list is re-measured after
// an item whose conversion may have run code, as its iterator would.
template <class OnItem>
bool for_each_item(PyObject* seq, std::size_t& hint, OnItem&& on_item) {
    if (PyList_CheckExact(seq)) {
        Py_ssize_t n = PyList_Size(seq);
        hint = static_cast<std::size_t>(n);
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* item = PyList_GetItem(seq, i);
            if (converts_without_code(item)) {
                if (!on_item(item)) return false;
            } else {
                Ref hold = Ref::borrow(item);
                if (!on_item(item)) return false;
                n = PyList_Size(seq);
            }
        }
        return true;
    }
    if (PyTuple_CheckExact(seq)) {
        const Py_ssize_t n = PyTuple_Size(seq);
        hint = static_cast<std::size_t>(n);
        for (Py_ssize_t i = 0; i < n; ++i)
            if (!on_item(PyTuple_GetItem(seq, i))) return false;
        return true;
    }
    hint = std::min(capacity_hint(seq), kMaxReserveFromHint);
    Ref it = Ref::steal(PyObject_GetIter(seq));
    if (!it) return false;
    while (true) {
        Ref item = Ref::steal(PyIter_Next(it.get()));
        if (!item) return !PyErr_Occurred();
        if (!on_item(item.get())) return false;
    }
}

bool item_double(PyObject* item, double& out) {
    out = PyFloat_AsDouble(item);
    return !(out == -1.0 && PyErr_Occurred());
}

// The numeric items of a sequence, in iteration order, as doubles handed to
// on_block(values, count) a block at a time.  Blocks keep the consumer's
// arithmetic out of the loop that calls into the interpreter: those calls
// clobber every floating-point register, and a running sum kept across them
// would make each addition wait on a store and a reload.  Exact lists of
// numbers are the hot case, walked by index; an item whose conversion may run
// code ends its block, and the list is measured afresh after it, as its
// iterator would.
constexpr Py_ssize_t kDoubleBlock = 32;

template <class OnBlock>
bool for_each_double(PyObject* seq, std::size_t& hint, OnBlock&& on_block) {
    constexpr Py_ssize_t kBlock = kDoubleBlock;
    double values[kBlock];
    if (!PyList_CheckExact(seq)) {
        Py_ssize_t m = 0;
        const bool ok = for_each_item(seq, hint, [&](PyObject* item) {
            if (!item_double(item, values[m])) return false;
            if (++m == kBlock) {
                on_block(values, static_cast<std::size_t>(m));
                m = 0;
            }
            return true;
        });
        if (ok) on_block(values, static_cast<std::size_t>(m));
        return ok;
    }
    Py_ssize_t n = PyList_Size(seq);
    hint = static_cast<std::size_t>(n);
    Py_ssize_t i = 0;
    while (i < n) {
        const Py_ssize_t m = std::min(kBlock, n - i);
        Py_ssize_t j = 0;
        bool ran_code = false;
        for (; j < m && !ran_code; ++j) {
            PyObject* item = PyList_GetItem(seq, i + j);
            if (Py_IS_TYPE(item, &PyFloat_Type)) {
                values[j] = PyFloat_AsDouble(item);  // cannot fail for an exact float
            } else if (converts_without_code(item)) {
                if (!item_double(item, values[j])) return false;
            } else {
                Ref hold = Ref::borrow(item);
                if (!item_double(item, values[j])) return false;
                ran_code = true;
            }
        }
        on_block(values, static_cast<std::size_t>(j));
        i += j;
        if (ran_code) n = PyList_Size(seq);
    }
    return true;
}

// --- buffers ---------------------------------------------------------------

enum class Elem { None, U8, F32, F64 };

Elem elem_of_format(const char* f, bool explicit_order_ok) {
    if (f == nullptr) return Elem::U8;
    // Native or explicit little-endian standard sizes only; this build targets
    // little-endian machines, where '<' is the native order.  A memoryview
    // iterates native formats only: given "<d" or "=d" its iteration raises,
    // so its buffer must not be read for it either.
    if (f[0] == '@' || (explicit_order_ok && (f[0] == '=' || f[0] == '<'))) ++f;
    if (f[0] == '\0' || f[1] != '\0') return Elem::None;
    switch (f[0]) {
        case 'B': return Elem::U8;
        case 'f': return Elem::F32;
        case 'd': return Elem::F64;
        default: return Elem::None;
    }
}

bool type_is(PyObject* value, const char* module, const char* qualname) {
    PyTypeObject* t = Py_TYPE(value);
    Ref q = Ref::steal(PyType_GetQualName(t));
    if (!q) return PyErr_Clear(), false;
    if (PyUnicode_CompareWithASCIIString(q.get(), qualname) != 0) return false;
    Ref m = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(t), "__module__"));
    if (!m) return PyErr_Clear(), false;
    return PyUnicode_Check(m.get()) && PyUnicode_CompareWithASCIIString(m.get(), module) == 0;
}

// Types whose iteration yields exactly the values of their buffer, in buffer
// order, one item per element of the first dimension.  A memoryview iterates
// only one-dimensional native formats, so it never serves as a matrix.
enum class Exporter { None, Flat, NdArray };

Exporter known_exporter(PyObject* value) {
    PyTypeObject* t = Py_TYPE(value);
    if (t == &PyBytes_Type || t == &PyByteArray_Type || t == &PyMemoryView_Type) return Exporter::Flat;
    if (!PyObject_CheckBuffer(value)) return Exporter::None;
    if (type_is(value, "array", "array")) return Exporter::Flat;
    if (type_is(value, "numpy", "ndarray")) return Exporter::NdArray;
    return Exporter::None;
}

// Takes a C-contiguous view of `value` with `ndim` dimensions, or returns
// Elem::None (with no exception) when the fast path does not apply.
Elem take_buffer(PyObject* value, int ndim, BufferHold& hold) {
    const Exporter exp = known_exporter(value);
    if (exp == Exporter::None || (ndim != 1 && exp != Exporter::NdArray)) return Elem::None;
    if (PyObject_GetBuffer(value, hold.view(), PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) != 0) {
        PyErr_Clear();
        return Elem::None;
    }
    hold.mark_held();
    Py_buffer* v = hold.view();
    const Elem e = elem_of_format(v->format, !PyMemoryView_Check(value));
    const Py_ssize_t want = e == Elem::U8 ? 1 : e == Elem::F32 ? 4 : 8;
    if (e == Elem::None || v->ndim != ndim || v->itemsize != want) {
        hold.reset();
        return Elem::None;
    }
    return e;
}

std::size_t buffer_len(BufferHold& hold) {
    return static_cast<std::size_t>(hold.view()->len / hold.view()->itemsize);
}

// Hands the float32 values of a vector argument to `sink`, in order.
bool stream_float32_vector(PyObject* value, Float32Sink& sink) {
    if (!check_sequence(value)) return false;
    {
        BufferHold hold;
        const Elem e = take_buffer(value, 1, hold);
        if (e != Elem::None) {
            const std::size_t n = buffer_len(hold);
            const void* p = hold.view()->buf;
            sink.expect(n);
            if (e == Elem::F32) {
                if (n > 0) sink.take(static_cast<const float*>(p), n);
                return true;
            }
            constexpr std::size_t kChunk = 256;
            float chunk[kChunk];
            for (std::size_t at = 0; at < n; at += kChunk) {
                const std::size_t m = std::min(kChunk, n - at);
                if (e == Elem::F64) {
                    const double* d = static_cast<const double*>(p) + at;
                    for (std::size_t k = 0; k < m; ++k) chunk[k] = static_cast<float>(d[k]);
                } else {
                    const unsigned char* u = static_cast<const unsigned char*>(p) + at;
                    for (std::size_t k = 0; k < m; ++k) chunk[k] = static_cast<float>(u[k]);
                }
                sink.take(chunk, m);
            }
            return true;
        }
    }
    std::size_t hint = 0;
    bool expected = false;
    return for_each_double(value, hint, [&](const double* d, std::size_t m) {
        if (!expected) {
            sink.expect(hint);
            expected = true;
        }
        float f[kDoubleBlock];
        for (std::size_t k = 0; k < m; ++k) f[k] = static_cast<float>(d[k]);
        if (m > 0) sink.take(f, m);
    });
}

// Hands the float64 values of a vector argument to `sink`, in order.  A
// float32 or byte buffer is handed over as stored: each of its elements
// converts to a double exactly.
bool stream_float64_vector(PyObject* value, Float64Sink& sink) {
    if (!check_sequence(value)) return false;
    {
        BufferHold hold;
        const Elem e = take_buffer(value, 1, hold);
        if (e != Elem::None) {
            const std::size_t n = buffer_len(hold);
            const void* p = hold.view()->buf;
            if (n == 0) return true;
            if (e == Elem::F64)
                sink.take(static_cast<const double*>(p), n);
            else if (e == Elem::F32)
                sink.take(static_cast<const float*>(p), n);
            else
                sink.take(static_cast<const unsigned char*>(p), n);
            return true;
        }
    }
    std::size_t hint = 0;
    return for_each_double(value, hint, [&](const double* d, std::size_t m) {
        if (m > 0) sink.take(d, m);
    });
}

class AppendFloats final : public Float32Sink {
public:
    explicit AppendFloats(std::vector<float>& out) : out_(out) {}
    void expect(std::size_t count) override { out_.reserve(out_.size() + count); }
    void take(const float* values, std::size_t count) override { out_.insert(out_.end(), values, values + count); }

private:
    std::vector<float>& out_;
};

bool text_of(PyObject* value, std::string_view& out) {
    if (!PyUnicode_Check(value)) return raise_cannot_convert(value, "PyString");
    Py_ssize_t n = 0;
    const char* s = PyUnicode_AsUTF8AndSize(value, &n);
    if (s == nullptr) return false;
    out = std::string_view(s, static_cast<std::size_t>(n));
    return true;
}

// A long list of pairs spreads its tuples and strings over far more memory
// than the caches hold, and converting a pair does little more than read
// their headers: without asking for them ahead, the conversion waits on
// memory for every object.  Asks for the tuple 16 places ahead and for the
// two items of the tuple 8 places ahead (read by then).  Only reads; never
// sets an exception.
// Objects are aligned to 16 bytes, so a str's header (up to its state and
// length fields, some 48 bytes) may straddle two cache lines.
void prefetch_object_head(PyObject* object) {
    const char* p = reinterpret_cast<const char*>(object);
    KLOV_PREFETCH(p);
    KLOV_PREFETCH(p + 47);
}

void prefetch_pair_objects(PyObject* tuple, Py_ssize_t n, Py_ssize_t at) {
    constexpr Py_ssize_t kTupleAhead = 16, kItemsAhead = 8;
    if (at + kTupleAhead < n) KLOV_PREFETCH(PyTuple_GetItem(tuple, at + kTupleAhead));
    if (at + kItemsAhead < n) {
        PyObject* pair = PyTuple_GetItem(tuple, at + kItemsAhead);
        if (Py_IS_TYPE(pair, &PyTuple_Type) && PyTuple_Size(pair) == 2) {
            prefetch_object_head(PyTuple_GetItem(pair, 0));
            prefetch_object_head(PyTuple_GetItem(pair, 1));
        }
    }
}

// Keeps every item of a converted list alive for the call: views point into them.
class Keeper {
public:
    bool start(PyObject* seq) {
        if (PyTuple_CheckExact(seq)) {
            tuple_ = Ref::borrow(seq);
        } else if (PyList_CheckExact(seq)) {
            // Converting str and tuple items runs no Python code, so a snapshot
            // is what iterating the list would see.
            tuple_ = Ref::steal(PyList_AsTuple(seq));
            if (!tuple_) return false;
        } else {
            list_ = Ref::steal(PyList_New(0));
            if (!list_) return false;
        }
        return true;
    }
    PyObject* source(PyObject* seq) const { return tuple_ ? tuple_.get() : seq; }
    bool keep(PyObject* item) { return !list_ || PyList_Append(list_.get(), item) == 0; }
    Ref done() { return tuple_ ? std::move(tuple_) : std::move(list_); }

private:
    Ref tuple_, list_;
};

}  // namespace

// --- conversions with the argument prefix ------------------------------------

bool Args::text(int i, std::string_view& out) { return text_of(bound_[i], out) || fail(i); }

bool Args::float32_vector(int i, std::vector<float>& out) {
    out.clear();
    AppendFloats sink(out);
    return stream_float32_vector(bound_[i], sink) || fail(i);
}

bool Args::float32_vector(int i, Float32Sink& sink) { return stream_float32_vector(bound_[i], sink) || fail(i); }

bool Args::float64_vector(int i, Float64Sink& sink) { return stream_float64_vector(bound_[i], sink) || fail(i); }

bool Args::float32_matrix(int i, DenseFloatMatrix& dense, Float32RowSink& rows) {
    PyObject* value = bound_[i];
    if (!check_sequence(value)) return fail(i);
    {
        const Elem e = take_buffer(value, 2, dense.hold);
        if (e == Elem::F32 || e == Elem::F64) {
            Py_buffer* v = dense.hold.view();
            dense.rows = static_cast<std::size_t>(v->shape[0]);
            dense.cols = static_cast<std::size_t>(v->shape[1]);
            dense.dense = true;
            if (e == Elem::F32)
                dense.f32 = static_cast<const float*>(v->buf);
            else
                dense.f64 = static_cast<const double*>(v->buf);
            return true;
        }
        dense.hold.reset();
    }
    std::size_t hint = 0;
    bool expected = false;
    const bool ok = for_each_item(value, hint, [&](PyObject* row) {
        if (!expected) {
            rows.expect_rows(hint);
            expected = true;
        }
        if (!stream_float32_vector(row, rows)) return false;
        rows.end_row();
        return true;
    });
    return ok || fail(i);
}

bool Args::uint64(int i, std::uint64_t& out) {
    PyObject* value = bound_[i];
    Ref index;
    if (!PyLong_Check(value)) {
        index = Ref::steal(PyNumber_Index(value));
        if (!index) return fail(i);
        value = index.get();
    }
    const unsigned long long v = PyLong_AsUnsignedLongLong(value);
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return fail(i);
    out = v;
    return true;
}

bool Args::byte_string(int i, ByteString& out) {
    PyObject* value = bound_[i];
    if (!check_sequence(value)) return fail(i);
    if (PyBytes_CheckExact(value)) {
        char* data = nullptr;
        Py_ssize_t n = 0;
        if (PyBytes_AsStringAndSize(value, &data, &n) != 0) return fail(i);
        out.bytes = std::string_view(data, static_cast<std::size_t>(n));
        return true;
    }
    if (take_buffer(value, 1, out.hold) == Elem::U8) {
        out.bytes = std::string_view(static_cast<const char*>(out.hold.view()->buf), buffer_len(out.hold));
        return true;
    }
    out.hold.reset();
    std::size_t hint = 0;
    bool reserved = false;
    const bool ok = for_each_item(value, hint, [&](PyObject* item) {
        if (!reserved) {
            out.storage.reserve(hint);
            reserved = true;
        }
        const long v = PyLong_AsLong(item);
        if (v == -1 && PyErr_Occurred()) return false;
        if (v < 0 || v > 255) {
            PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
            return false;
        }
        out.storage.push_back(static_cast<char>(v));
        return true;
    });
    if (!ok) return fail(i);
    out.bytes = out.storage;
    return true;
}

bool Args::text_list(int i, TextList& out) {
    PyObject* value = bound_[i];
    if (!check_sequence(value)) return fail(i);
    Keeper keeper;
    if (!keeper.start(value)) return fail(i);
    std::size_t hint = 0;
    bool reserved = false;
    const bool ok = for_each_item(keeper.source(value), hint, [&](PyObject* item) {
        if (!reserved) {
            out.items.reserve(hint);
            reserved = true;
        }
        std::string_view s;
        if (!keeper.keep(item) || !text_of(item, s)) return false;
        out.items.push_back(s);
        return true;
    });
    if (!ok) return fail(i);
    out.keep = keeper.done();
    return true;
}

bool Args::text_pairs(int i, TextPairs& out) {
    PyObject* value = bound_[i];
    if (!check_sequence(value)) return fail(i);
    Keeper keeper;
    if (!keeper.start(value)) return fail(i);
    PyObject* source = keeper.source(value);
    // An exact tuple is walked by index, so the objects of later pairs are
    // known ahead of their turn.
    const Py_ssize_t ahead = PyTuple_CheckExact(source) ? PyTuple_Size(source) : 0;
    Py_ssize_t at = 0;
    std::size_t hint = 0;
    bool reserved = false;
    const bool ok = for_each_item(source, hint, [&](PyObject* item) {
        if (!reserved) {
            out.items.reserve(hint);
            reserved = true;
        }
        if (at < ahead) prefetch_pair_objects(source, ahead, at++);
        if (!PyTuple_Check(item)) return raise_cannot_convert(item, "PyTuple");
        const Py_ssize_t n = PyTuple_Size(item);
        if (n != 2) {
            PyErr_Format(PyExc_ValueError, "expected tuple of length 2, but got tuple of length %zd", n);
            return false;
        }
        std::string_view a, b;
        if (!keeper.keep(item) || !text_of(PyTuple_GetItem(item, 0), a) || !text_of(PyTuple_GetItem(item, 1), b))
            return false;
        out.items.emplace_back(a, b);
        return true;
    });
    if (!ok) return fail(i);
    out.keep = keeper.done();
    return true;
}

}  // namespace klov::py
