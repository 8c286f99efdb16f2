// encode_checkpoint and decode_checkpoint.
#include <string>

#include "json/canon.hpp"
#include "json/checkpoint.hpp"
#include "module/impls.hpp"
#include "module/pyref.hpp"

namespace klov::py {

PyObject* impl_encode_checkpoint(Args& args) {
    std::string_view text;
    if (!args.text(0, text)) return nullptr;
    json::CanonicalText canon;
    json::JsonError err;
    if (!canon.read_text(text, err)) return raise_value_error(err.text());
    // The bytes object is made at its final size and filled in place.
    Ref blob = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(json::checkpoint_size(canon))));
    if (!blob) return result_failed();
    char* dst = PyBytes_AsString(blob.get());
    if (dst == nullptr) return result_failed();
    json::write_checkpoint(canon, dst);
    return blob.release();
}

PyObject* impl_decode_checkpoint(Args& args) {
    ByteString blob;
    if (!args.byte_string(0, blob)) return nullptr;
    std::string text;
    json::JsonError err;
    if (!json::decode_checkpoint(blob.bytes, text, err)) return raise_value_error(err.text());
    return result_str(text);
}

}  // namespace klov::py
