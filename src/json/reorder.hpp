// Moving the members of objects into key order, for text that is canonical
// but for that order.  Internal to src/json.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "json/recognise.hpp"

namespace klov::json::detail {

// An object of text that is canonical but for the order of its members:
// the object's text, and its members in key order (a range of
// Reordering::members).
struct Reordered {
    const char* begin;  // the '{'
    const char* end;    // just after the '}'
    std::size_t first, count;
    std::size_t inner_end = 0;  // once sorted: the index after the objects inside this one
};

// A member with key_prefix of its key, which mostly decides the order of
// two keys.
struct KeyedMember {
    std::uint64_t prefix;
    std::string_view key;
    std::string_view value;
};

// What a reading of text canonical but for the order of members records:
// every object whose members are out of order, with its members in key
// order, so that the canonical text can be written without reading the
// text again.
struct Reordering {
    std::vector<Reordered> objects;  // inner objects before the ones around them
    std::vector<VerbatimMember> members;
    std::vector<KeyedMember> open;  // members of the objects being read, innermost last

    // The object [begin, end), valid but for the order of its members (on
    // the open list from `open_base`), which have no escapes in their keys:
    // the members in key order go on record.  False when a key repeats.
    [[nodiscard]] bool close_object(const char* begin, const char* end, std::size_t open_base);

    // With the text [text, end) read and `out` holding a copy of it,
    // writes the recorded objects over the copy with their members in key
    // order.  Every object keeps its length, so nothing else moves.
    void write_over(const char* text, const char* end, char* out);
};

}  // namespace klov::json::detail
