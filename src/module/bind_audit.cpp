// hash_event and verify_chain.
#include "module/impls.hpp"

namespace klov::py {

PyObject* impl_hash_event(Args& args) {
    std::string_view prev, payload;
    if (!args.text(0, prev) || !args.text(1, payload)) return nullptr;
    return not_implemented("hash_event");
}

PyObject* impl_verify_chain(Args& args) {
    std::string_view genesis;
    TextPairs entries;
    if (!args.text(0, genesis) || !args.text_pairs(1, entries)) return nullptr;
    return not_implemented("verify_chain");
}

}  // namespace klov::py
