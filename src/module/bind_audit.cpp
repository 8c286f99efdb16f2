// hash_event and verify_chain.
#include "audit/chain.hpp"
#include "module/impls.hpp"

namespace klov::py {

PyObject* impl_hash_event(Args& args) {
    std::string_view prev, payload;
    if (!args.text(0, prev) || !args.text(1, payload)) return nullptr;
    char text[audit::kHashTextSize];
    audit::hash_event(prev, payload, text);
    return result_str(std::string_view(text, sizeof text));
}

PyObject* impl_verify_chain(Args& args) {
    std::string_view genesis;
    TextPairs entries;
    // Every entry is converted before the first link is hashed.
    if (!args.text(0, genesis) || !args.text_pairs(1, entries)) return nullptr;
    const std::optional<std::size_t> broken = audit::verify_chain(genesis, entries.items);
    return broken ? result_uint(*broken) : result_none();
}

}  // namespace klov::py
