// Recognising text that is already canonical.
//
// Text that is byte for byte what the canonical writer gives for the
// document it denotes (compact, members in key order without duplicates,
// the writer's escapes and number forms) can be passed through unchanged:
// there is nothing to parse into a tree and nothing to rewrite.  State that
// goes around a graph run (written by one call, read by the next) is such
// text.
//
// The recogniser is strict: it accepts only text that the parser reads
// without error within the nesting budget and that the writer would write
// back unchanged.  Anything else, valid JSON in another form included, is
// refused, and the caller takes the general path, which also gives the exact
// error for invalid text.  The one exception is recognise_canonical, which
// also takes text whose only fault is the order of members, as compact
// writers that keep insertion order give it, and moves them into order.
#pragma once

#include <string_view>
#include <vector>

namespace klov::json {

namespace detail {
struct Reordering;
}

// A member of a canonical object: the key as written (escapes not resolved,
// without its quotes) and the value's text.  `key.data() - 1` to
// `value.data() + value.size()` is the member's whole text, `"key":value`.
struct VerbatimMember {
    std::string_view key;
    std::string_view value;
};

// True when `text` is canonical in the sense above.
[[nodiscard]] bool is_canonical_text(std::string_view text);

// True when `text` is canonical, or canonical but for the order of the
// members of some of its objects, where those objects have no escapes in
// their keys and no repeated keys.  `reordered` tells which: in the second
// case the canonical text, exactly as long as the text itself (members are
// moved, not changed), is appended to `out`.  On false nothing is appended.
[[nodiscard]] bool recognise_canonical(std::string_view text, std::string& out, bool& reordered);
// The same without writing anything: the objects whose members move are
// recorded in `order` (which must come empty), and order.write() writes
// the canonical text when it is wanted.
[[nodiscard]] bool recognise_canonical(std::string_view text, detail::Reordering& order);
// The same for text that must be an object, whose members are appended to
// `members` in key order, as views into `text` or, when reordered, into
// `out`; and for text that must be an array, whose elements are appended to
// `elements` in order.
[[nodiscard]] bool recognise_canonical(std::string_view text, std::string& out, bool& reordered,
                                       std::vector<VerbatimMember>& members);
[[nodiscard]] bool recognise_canonical(std::string_view text, std::string& out, bool& reordered,
                                       std::vector<std::string_view>& elements);

// The members of text known to be canonical because the canonical writer
// just produced it, appended to `members` in key order: only the member
// boundaries are found.  Returns false when the text is not an object.
[[nodiscard]] bool split_written_object(std::string_view text, std::vector<VerbatimMember>& members);

// The elements of written array text, appended to `elements` in order.
// Returns false when the text is not an array.
[[nodiscard]] bool split_written_array(std::string_view text, std::vector<std::string_view>& elements);

// Resolves the escapes of a canonical string body (as in VerbatimMember::key),
// appending the content to `out`.
void unescape_canonical(std::string_view body, std::string& out);

}  // namespace klov::json
