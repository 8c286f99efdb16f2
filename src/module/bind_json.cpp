// encode_checkpoint and decode_checkpoint.
#include "module/impls.hpp"

namespace klov::py {

PyObject* impl_encode_checkpoint(Args& args) {
    std::string_view text;
    if (!args.text(0, text)) return nullptr;
    return not_implemented("encode_checkpoint");
}

PyObject* impl_decode_checkpoint(Args& args) {
    ByteString blob;
    if (!args.byte_string(0, blob)) return nullptr;
    return not_implemented("decode_checkpoint");
}

}  // namespace klov::py
