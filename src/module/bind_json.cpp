// encode_checkpoint and decode_checkpoint.
#include <string>

#include "json/checkpoint.hpp"
#include "module/impls.hpp"

namespace klov::py {

PyObject* impl_encode_checkpoint(Args& args) {
    std::string_view text;
    if (!args.text(0, text)) return nullptr;
    std::string blob;
    json::JsonError err;
    if (!json::encode_checkpoint(text, blob, err)) return raise_value_error(err.text());
    return result_bytes(blob);
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
