// The one output type of the cores: every text they write goes through
// TextOut, whether into a growing string or into a buffer allocated at the
// exact size measured beforehand (such as the final Python object).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "json/scan.hpp"
#include "json/utf8.hpp"
#include "json/value.hpp"

namespace klov::json {

namespace detail {

// For every byte below 0x20 and for '"' and '\\': the letter of its short
// escape, or 'u' where only \u00XX exists.  Zero for bytes copied as they are.
struct EscapeTable {
    char e[256];
    constexpr EscapeTable() : e() {
        for (int c = 0; c < 0x20; ++c) e[c] = 'u';
        e[0x08] = 'b';
        e[0x09] = 't';
        e[0x0A] = 'n';
        e[0x0C] = 'f';
        e[0x0D] = 'r';
        e[static_cast<unsigned char>('"')] = '"';
        e[static_cast<unsigned char>('\\')] = '\\';
    }
};
inline constexpr EscapeTable kEscape{};

}  // namespace detail

// memcpy for the short runs that most of JSON text is made of (keys, words,
// numbers), without the call: two overlapping loads and stores cover any
// length up to twice their width, and nothing outside [src, src + n) is read.
inline void copy_bytes(char* dst, const char* src, std::size_t n) {
    if (n <= 16) {
        if (n >= 8) {
            char a[8], b[8];
            std::memcpy(a, src, 8);
            std::memcpy(b, src + n - 8, 8);
            std::memcpy(dst, a, 8);
            std::memcpy(dst + n - 8, b, 8);
        } else if (n >= 4) {
            char a[4], b[4];
            std::memcpy(a, src, 4);
            std::memcpy(b, src + n - 4, 4);
            std::memcpy(dst, a, 4);
            std::memcpy(dst + n - 4, b, 4);
        } else if (n > 0) {
            const char a = src[0], b = src[n / 2], c = src[n - 1];
            dst[0] = a;
            dst[n / 2] = b;
            dst[n - 1] = c;
        }
    } else if (n <= 32) {
        char a[16], b[16];
        std::memcpy(a, src, 16);
        std::memcpy(b, src + n - 16, 16);
        std::memcpy(dst, a, 16);
        std::memcpy(dst + n - 16, b, 16);
    } else {
        std::memcpy(dst, src, n);
    }
}

// Copies n > 0 bytes kCopyStep at a time, reading and writing up to
// kCopyStep - 1 bytes past the ends of both ranges, which must have that much
// room.  Runs of mixed lengths then take one well-predicted loop instead of
// copy_bytes' choice by length, which mispredicts when lengths vary from run
// to run.
inline constexpr std::size_t kCopyStep = 32;
inline void copy_in_steps(char* dst, const char* src, std::size_t n) {
    char* const stop = dst + n;
    do {
        char t[kCopyStep];
        std::memcpy(t, src, kCopyStep);
        std::memcpy(dst, t, kCopyStep);
        src += kCopyStep;
        dst += kCopyStep;
    } while (dst < stop);
}

// The bytes of a text written once into room measured for it beforehand.
// Unlike a std::string's, that room is not cleared when it is allocated:
// for a text of megabytes the clearing costs a tenth of writing it.
class WrittenText {
public:
    // Room for at most `bound` bytes, replacing what the object held.
    char* room(std::size_t bound) {
        bytes_.reset(new char[bound == 0 ? 1 : bound]);
        size_ = 0;
        return bytes_.get();
    }
    // The text is the first n bytes of the room.
    void set_size(std::size_t n) { size_ = n; }
    std::string_view view() const { return std::string_view(bytes_.get(), size_); }

private:
    std::unique_ptr<char[]> bytes_;
    std::size_t size_ = 0;
};

// Appends through a raw cursor.  Over a string, the string is kept at least
// as long as the text written (grown by doubling, starting at 128 bytes or
// whatever the caller reserved) and finish() cuts off the surplus; nothing
// else may touch the string in between.  Over a buffer of a measured size
// it never grows: writing past the end is a measuring fault, refused with
// std::logic_error before any byte lands outside the buffer.
class TextOut {
public:
    // An empty string is given all the room its caller reserved; one that
    // already holds text, to be continued, `room` more bytes, so that a
    // long text that gets a short tail is not zero-filled to its capacity
    // and a short one stays in the string's own storage.
    explicit TextOut(std::string& s, std::size_t room = 128) : s_(&s), origin_(s.size()) {
        const std::size_t used = s.size();
        s.resize(used == 0 ? (s.capacity() > room ? s.capacity() : room) : used + room);
        base_ = s.data();
        cur_ = base_ + used;
        lim_ = base_ + s.size();
    }
    // Writes `s` from its start, over what it holds: a buffer kept from an
    // earlier text is used again without being cleared, and only room
    // beyond its present length is zero-filled.
    struct Overwrite {};
    TextOut(std::string& s, std::size_t room, Overwrite) : s_(&s), origin_(0) {
        if (s.size() < room) s.resize(room);
        base_ = s.data();
        cur_ = base_;
        lim_ = base_ + s.size();
    }
    TextOut(char* dst, std::size_t size) : s_(nullptr), origin_(0), base_(dst), cur_(dst), lim_(dst + size) {}
    TextOut(const TextOut&) = delete;
    TextOut& operator=(const TextOut&) = delete;

    // Over a string: cuts it to the text written.
    void finish() {
        if (s_ != nullptr) s_->resize(pos());
    }

    std::size_t pos() const { return static_cast<std::size_t>(cur_ - base_); }
    const char* data() const { return base_; }
    // Where the next byte goes; valid until the next write.
    char* cursor() { return cur_; }

    void need(std::size_t n) {
        if (static_cast<std::size_t>(lim_ - cur_) < n) grow(n);
    }
    void put(char c) {
        need(1);
        *cur_++ = c;
    }
    void put_unchecked(char c) { *cur_++ = c; }
    void put(const char* p, std::size_t n) {
        need(n);
        copy_bytes(cur_, p, n);
        cur_ += n;
    }
    void put(std::string_view s) { put(s.data(), s.size()); }
    // Bytes already in the buffer, [from, from + n), appended again.
    void put_own(std::size_t from, std::size_t n) {
        need(n);
        std::memcpy(cur_, base_ + from, n);
        cur_ += n;
    }
    // Moves the cursor back to `pos`, to write over what follows it.
    void rewind(std::size_t pos) { cur_ = base_ + pos; }
    // The bytes from `pos` on, to be written over directly; the caller
    // stays within room it has asked for with need() and then moves the
    // cursor with rewind().
    char* at(std::size_t pos) { return base_ + pos; }
    // Passes over n bytes that already hold what belongs there.
    void skip(std::size_t n) {
        need(n);
        cur_ += n;
    }

    // A quoted string with the writer's escaping.
    void string(std::string_view s);
    // One character of a string's content (not a surrogate), escaped as
    // string() escapes it.  Characters beyond ASCII, which text written
    // with every such character escaped is full of, are written here; only
    // ASCII may need an escape.
    KLOV_ALWAYS_INLINE void character(std::uint32_t cp) {
        if (cp < 0x80) return ascii_character(cp);
        need(4);
        cur_ += detail::encode_utf8(cp, cur_);
    }
    // A string known to hold no byte that needs an escape.
    void plain_string(std::string_view s) {
        need(s.size() + 2);
        *cur_++ = '"';
        copy_bytes(cur_, s.data(), s.size());
        cur_ += s.size();
        *cur_++ = '"';
    }
    // Integers as their digits, doubles in shortest round-trip form, and a
    // double that is not finite as null.
    void number(const JsonNumber& n);

private:
    void grow(std::size_t n);
    void ascii_character(std::uint32_t cp);

    std::string* s_;
    std::size_t origin_;  // where this writer's text starts
    char* base_;
    char* cur_;
    char* lim_;
};

inline void TextOut::ascii_character(std::uint32_t cp) {
    need(6);
    const char e = detail::kEscape.e[cp];
    if (e == 0) {
        put_unchecked(static_cast<char>(cp));
    } else {
        put_unchecked('\\');
        put_unchecked(e);
        if (e == 'u') {
            put_unchecked('0');
            put_unchecked('0');
            put_unchecked(detail::kHexDigits[cp >> 4]);
            put_unchecked(detail::kHexDigits[cp & 15]);
        }
    }
}

}  // namespace klov::json
