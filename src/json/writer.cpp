#include "json/writer.hpp"

#include <charconv>
#include <cmath>
#include <cstring>

#include <stdexcept>

#include "json/numbers.hpp"
#include "json/scan.hpp"

namespace klov::json {

namespace {

using detail::format_double;
using detail::format_u64;
using detail::kHexDigits;
using detail::scan_plain;

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
constexpr EscapeTable kEscape{};

}  // namespace

void TextOut::grow(std::size_t n) {
    if (s_ == nullptr) throw std::logic_error("text longer than its measured size");
    // Doubling what this writer has written keeps the total cost of
    // growing linear in it.
    const std::size_t used = pos();
    std::size_t size = used + (used - origin_) + 128;
    if (size < used + n) size = used + n;
    s_->resize(size);
    base_ = s_->data();
    cur_ = base_ + used;
    lim_ = base_ + s_->size();
}

void TextOut::character(std::uint32_t cp) {
    need(6);
    if (cp < 0x80) {
        const char e = kEscape.e[cp];
        if (e == 0) {
            put_unchecked(static_cast<char>(cp));
        } else {
            put_unchecked('\\');
            put_unchecked(e);
            if (e == 'u') {
                put_unchecked('0');
                put_unchecked('0');
                put_unchecked(kHexDigits[cp >> 4]);
                put_unchecked(kHexDigits[cp & 15]);
            }
        }
    } else if (cp < 0x800) {
        put_unchecked(static_cast<char>(0xC0 | (cp >> 6)));
        put_unchecked(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        put_unchecked(static_cast<char>(0xE0 | (cp >> 12)));
        put_unchecked(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        put_unchecked(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        put_unchecked(static_cast<char>(0xF0 | (cp >> 18)));
        put_unchecked(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        put_unchecked(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        put_unchecked(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

void TextOut::string(std::string_view sv) {
    const char* p = sv.data();
    const char* end = p + sv.size();
    need(sv.size() + 2);
    put_unchecked('"');
    unsigned unused = 0;
    for (;;) {
        const char* run = scan_plain<false>(p, end, unused);
        put(p, static_cast<std::size_t>(run - p));
        if (run == end) break;
        unsigned char c = static_cast<unsigned char>(*run);
        char e = kEscape.e[c];
        need(6);
        put_unchecked('\\');
        if (e == 'u') {
            put_unchecked('u');
            put_unchecked('0');
            put_unchecked('0');
            put_unchecked(kHexDigits[c >> 4]);
            put_unchecked(kHexDigits[c & 15]);
        } else {
            put_unchecked(e);
        }
        p = run + 1;
    }
    put('"');
}

void TextOut::number(const JsonNumber& n) {
    char buf[40];
    char* end = buf + sizeof buf;
    switch (n.kind) {
        case NumberKind::Unsigned: {
            char* b = format_u64(n.u, end);
            put(b, static_cast<std::size_t>(end - b));
            return;
        }
        case NumberKind::Negative: {
            // Magnitude as unsigned so that INT64_MIN needs no special case.
            char* b = format_u64(0 - static_cast<std::uint64_t>(n.i), end);
            *--b = '-';
            put(b, static_cast<std::size_t>(end - b));
            return;
        }
        case NumberKind::Double:
            if (!std::isfinite(n.d)) {
                put("null", 4);
            } else {
                need(32);
                cur_ += format_double(n.d, cur_);
            }
            return;
    }
}

}  // namespace klov::json
