// Moving the members of objects into key order, for text that is canonical
// but for that order.  Internal to src/json.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "json/recognise.hpp"

namespace klov::json::detail {

// An object of text that is canonical but for the order of its members:
// the object's text, and its members in key order: a range of
// Reordering::members, or, when count is 0, the object already written in
// key order in Reordering::aside, from `first` on (an object out of order
// has two members at least).
struct Reordered {
    const char* begin;  // the '{'
    const char* end;    // just after the '}'
    std::size_t first, count;
    std::size_t inside;  // once closed: how many objects lie inside this one, right after it
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
    std::vector<Reordered> objects;  // by position: an object before the ones inside it
    std::vector<VerbatimMember> members;
    std::vector<KeyedMember> open;  // members of the objects being read, innermost last
    // Where the members of the objects being read begin (their keys'
    // opening quotes), innermost last, for as long as each object's members
    // come in order: the members read before the first one out of order go
    // on the open list from here, without reading them again.
    std::vector<const char*> starts;
    // Small objects with no object out of order inside them, written in
    // key order as they close: an object of a few short members takes
    // fewer bytes than the record of its members, and an array of many such
    // objects would otherwise keep a record several times its text.
    std::string aside;

    // An object whose members turned out to be out of order, at `begin`:
    // its place among the objects recorded, ahead of the ones already
    // recorded inside it.  Returns that place.
    std::size_t place(const char* begin);
    // The object placed at `slot`, which ends at `end`, valid but for the
    // order of its members (on the open list from `open_base`), which have
    // no escapes in their keys: the members in key order go on record, or,
    // for a small object with none out of order inside it, the object in
    // key order goes aside (never when `keep_members`).  False when a key
    // repeats.
    [[nodiscard]] bool close_object(std::size_t slot, const char* end, std::size_t open_base, bool keep_members);

    // Empties the lists and keeps their room, for the next text (see
    // ThreadSpare); room() is the bytes they hold.
    void clear();
    std::size_t room() const;

    // Writes the text [text, end) that was read to `out`, the recorded
    // objects with their members in key order.  Every object keeps its
    // length, so the text written is as long as the text read.
    void write(const char* text, const char* end, char* out) const;
};

}  // namespace klov::json::detail
