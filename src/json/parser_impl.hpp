// The grammar, shared by every reader of JSON text.  Internal to src/json.
//
// Parser<kBytes, Sink> walks the text once and reports what it reads to a
// Sink; the tree builder (parser.cpp) and the streaming canonical writer
// (canon.cpp) are the two sinks.  Every error, with its position, is decided
// here, so both give identical errors for identical text.
//
// A Sink provides:
//   void null(); void boolean(bool);
//   void number(const JsonNumber&, std::string_view literal);
//   void string(std::string_view s, bool raw);   // raw: taken from the text as is
//   void begin_array(); void end_array();
//   void begin_object(); void key(std::string_view k, bool raw); void end_object();
//   void describe_last(std::string& out);  // the scalar just read, as "invalid type: " texts name it
// Views that are not raw point into a scratch buffer that the next string
// overwrites; a sink that keeps them copies them.
// A sink may also provide
//   bool kept_double(std::string_view literal, const char* int_end);
// which is offered every well-formed literal with a fraction or exponent,
// and where the digits of its integer part end, before it is converted: when
// the sink keeps the literal as it stands (and returns true), no conversion
// is done and its number() is not called.
// and
//   Content escaped_string();
// which is called for a string value with escapes in place of string(): the
// content is handed to the Content it returns as it is read (see Decoded
// below for what a Content provides), so that it need not be decoded first,
// and
//   bool value_unread(std::string_view key);
// which document_partly() asks after every key of a top-level object: when
// it says so, the member's value is only checked (with CheckSink, below)
// and nothing of it is reported.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>

#include "common/compiler.hpp"
#include "common/order.hpp"
#include "json/error.hpp"
#include "json/parser.hpp"
#include "json/read_double.hpp"
#include "json/scan.hpp"
#include "json/utf8.hpp"
#include "json/value.hpp"

namespace klov::json::detail {

enum class Err : std::uint8_t {
    EofList,
    EofObject,
    EofString,
    EofValue,
    ExpectedColon,
    ExpectedCommaOrBracket,
    ExpectedCommaOrBrace,
    ExpectedIdent,
    ExpectedValue,
    InvalidEscape,
    InvalidNumber,
    NumberOutOfRange,
    InvalidUnicode,
    ControlChar,
    KeyMustBeString,
    LoneSurrogate,
    TrailingComma,
    TrailingChars,
    UnexpectedEndHex,
    RecursionLimit,
    InvalidType,  // the text is built by the fixed-shape read
};

const char* message_of(Err e);

struct WsTable {
    bool ws[256];
    constexpr WsTable() : ws() { ws[0x20] = ws[0x09] = ws[0x0A] = ws[0x0D] = true; }  // space, tab, LF, CR
};
inline constexpr WsTable kWs{};

// The value of a hex digit of either case, -1 for any other byte.
struct HexTable {
    signed char v[256];
    constexpr HexTable() : v() {
        for (int i = 0; i < 256; ++i) v[i] = -1;
        for (int i = 0; i < 10; ++i) v['0' + i] = static_cast<signed char>(i);
        for (int i = 0; i < 6; ++i) {
            v['a' + i] = static_cast<signed char>(10 + i);
            v['A' + i] = static_cast<signed char>(10 + i);
        }
    }
};
inline constexpr HexTable kHexValue{};

// Powers of ten that are exact doubles, for the exact fast path of number
// conversion.
inline constexpr double kExact10[23] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                        1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// Where the content of a string with escapes goes as it is read: runs of
// text as they stand (run), escaped characters by code point (character),
// then a check that the content is well-formed UTF-8, asked only when raw
// bytes of 0x80 or more were met, and close() after the closing quote.
// Decoded gathers the content as it reads.
struct Decoded {
    std::string& s;
    void run(const char* begin, const char* end) { s.append(begin, end); }
    void character(std::uint32_t cp) {
        char b[4];
        s.append(b, encode_utf8(cp, b));
    }
    // Escapes alone always give well-formed UTF-8; only raw bytes (possibly
    // next to an escape) can break it.
    bool valid_utf8() const { return valid_utf8_text(reinterpret_cast<const unsigned char*>(s.data()), s.size()); }
    void close() {}
};

// The sink of a value that is only checked: it keeps nothing, and converts
// no number whose conversion cannot fail.
struct CheckSink {
    void null() {}
    void boolean(bool) {}
    void number(const JsonNumber&, std::string_view) {}
    // A literal with no exponent part and at most 300 integer digits reads
    // as a finite double.
    static bool kept_double(std::string_view literal, const char* int_end) {
        const char* end = literal.data() + literal.size();
        const char* p = int_end;
        if (*p == '.') p = skip_digits(p + 1, end);
        return p == end && int_end - literal.data() <= 301;
    }
    void string(std::string_view, bool) {}
    void begin_array() {}
    void end_array() {}
    void begin_object() {}
    void key(std::string_view, bool) {}
    void end_object() {}
    void describe_last(std::string&) const {}
};

// A key of an object being read, with its position among the object's
// members.
struct KeyRef {
    std::uint64_t prefix;  // key_prefix(key)
    std::string_view key;
    std::uint32_t index;
};

// One parse.  kBytes adds UTF-8 validation of string content.
//
// The cursor is passed from function to function and returned, so that it
// stays in a register: a member would be written back and read again after
// every byte the sink stores, since those stores may alias it.  Every
// function returns the cursor after what it read, or null after recording
// the first error; nothing after that point runs.  (Only a text of at least
// one byte can be read, so a returned cursor is never null.)
template <bool kBytes, class Sink>
class Parser {
public:
    Parser(std::string_view text, Sink& sink) : begin_(text.data()), end_(text.data() + text.size()), sink_(sink) {}

    [[nodiscard]] bool document() {
        const char* p = value(skip_ws(begin_));
        return p && finish(p);
    }
    // document() for a sink with value_unread().
    [[nodiscard]] bool document_partly() {
        const char* p = skip_ws(begin_);
        p = p != end_ && *p == '{' ? object<true>(p) : value(p);
        return p && finish(p);
    }

    // Fixed-shape reads.  A value of the wrong kind fails with "invalid
    // type: ..., expected ...", after the sink has read it if it is a
    // scalar.  string_map needs the tree builder as the sink.
    [[nodiscard]] bool string_map(std::vector<std::pair<std::string_view, std::string_view>>& out);
    [[nodiscard]] bool document_array();

    JsonError error() const {
        std::string text = code_ == Err::InvalidType ? type_message_ : std::string(message_of(code_));
        return error_at(std::string_view(begin_, length()), offset_, std::move(text));
    }

private:
    using Pos = const char*;
    template <bool, class>
    friend class Parser;  // checked_value() hands a value to another

    std::size_t length() const { return static_cast<std::size_t>(end_ - begin_); }

    // Errors found after reading a token: the position counts every byte
    // consumed, up to p.
    Pos fail_here(Err e, Pos p) {
        code_ = e;
        offset_ = static_cast<std::size_t>(p - begin_);
        return nullptr;
    }
    // Errors found at an unexpected byte at p: the position counts that
    // byte too (it was looked at and refused), but never runs past the end.
    Pos fail_at_byte(Err e, Pos p) {
        code_ = e;
        offset_ = std::min(static_cast<std::size_t>(p - begin_) + 1, length());
        return nullptr;
    }
    Pos fail_eof(Err e) {
        code_ = e;
        offset_ = length();
        return nullptr;
    }

    // Whitespace is below 0x21: one compare tells the bytes that follow a
    // value in compact text, without a load from the table.
    static KLOV_ALWAYS_INLINE bool blank(char c) {
        const auto u = static_cast<unsigned char>(c);
        return u <= 0x20 && kWs.ws[u];
    }

    // Compact text has no whitespace, and text with separators of ", " and
    // ": " one byte: two looks decide; only longer runs (indentation) are
    // scanned.
    KLOV_ALWAYS_INLINE Pos skip_ws(Pos p) const {
        if (p == end_ || !blank(*p)) return p;
        if (++p == end_ || !blank(*p)) return p;
        return skip_whitespace(p + 1, end_);
    }

    bool finish(Pos p) {
        p = skip_ws(p);
        if (p != end_) return fail_at_byte(Err::TrailingChars, p);
        return true;
    }

    Pos value(Pos p);
    Pos checked_value(Pos p);
    Pos array(Pos p);
    // kTop: a top-level object read by document_partly().
    template <bool kTop = false>
    Pos object(Pos p);
    Pos string(Pos p, std::string_view& out, bool& raw);
    Pos string_value(Pos p);
    Pos string_start(Pos p, std::string_view& plain, bool& escaped, unsigned& high);
    Pos decode_rest(Pos p, std::string_view& s, unsigned high);
    template <class Content>
    Pos unescape(Pos p, unsigned high, Content& content);
    Pos hex4(Pos p, std::uint32_t& unit);
    Pos literal(Pos p, const char* word, std::size_t n);
    Pos number(Pos p, JsonNumber& out, bool& kept);
    Pos number_slow(Pos start, Pos end, bool neg, std::size_t int_digits, Pos frac_begin, Pos frac_end,
                    std::int64_t exp_value, JsonNumber& out);
    bool wrong_kind(Pos p, const char* expected);

    const char* begin_;
    const char* end_;
    Sink& sink_;
    int budget_ = 128;
    std::string scratch_;

    Err code_ = Err::EofValue;
    std::size_t offset_ = 0;
    std::string type_message_;
};

template <bool kBytes, class Sink>
auto Parser<kBytes, Sink>::value(Pos p) -> Pos {
    if (p == end_) return fail_eof(Err::EofValue);
    switch (*p) {
        case '"':
            return string_value(p);
        case '{':
            return object(p);
        case '[':
            return array(p);
        case 'n':
            if (!(p = literal(p, "null", 4))) return nullptr;
            sink_.null();
            return p;
        case 't':
            if (!(p = literal(p, "true", 4))) return nullptr;
            sink_.boolean(true);
            return p;
        case 'f':
            if (!(p = literal(p, "false", 5))) return nullptr;
            sink_.boolean(false);
            return p;
        case '-':
        case '0': case '1': case '2': case '3': case '4':
        case '5': case '6': case '7': case '8': case '9': {
            const char* start = p;
            JsonNumber n;
            bool kept = false;
            if (!(p = number(p, n, kept))) return nullptr;
            if (!kept) sink_.number(n, std::string_view(start, static_cast<std::size_t>(p - start)));
            return p;
        }
        default:
            return fail_at_byte(Err::ExpectedValue, p);
    }
}

// The value at p, read with a sink that keeps nothing, at the depth reached:
// the errors are those of value(p).
template <bool kBytes, class Sink>
auto Parser<kBytes, Sink>::checked_value(Pos p) -> Pos {
    CheckSink none;
    Parser<kBytes, CheckSink> check(std::string_view(begin_, length()), none);
    check.budget_ = budget_;
    if ((p = check.value(p))) return p;
    code_ = check.code_;
    offset_ = check.offset_;
    type_message_ = std::move(check.type_message_);
    return nullptr;
}

template <bool kBytes, class Sink>
auto Parser<kBytes, Sink>::literal(Pos p, const char* word, std::size_t n) -> Pos {
    ++p;  // the first letter was matched by the caller
    for (std::size_t i = 1; i < n; ++i) {
        if (p == end_) return fail_eof(Err::EofValue);
        if (*p != word[i]) return fail_here(Err::ExpectedIdent, p + 1);
        ++p;
    }
    return p;
}

template <bool kBytes, class Sink>
auto Parser<kBytes, Sink>::array(Pos p) -> Pos {
    if (--budget_ == 0) return fail_at_byte(Err::RecursionLimit, p);
    sink_.begin_array();
    p = skip_ws(p + 1);
    if (p == end_) return fail_eof(Err::EofList);
    if (*p != ']') {
        for (;;) {
            if (!(p = value(p))) return nullptr;
            p = skip_ws(p);
            if (p == end_) return fail_eof(Err::EofList);
            char c = *p;
            if (c == ',') {
                p = skip_ws(p + 1);
                if (p == end_) return fail_eof(Err::EofValue);
                if (*p == ']') return fail_at_byte(Err::TrailingComma, p);
                continue;
            }
            if (c == ']') break;
            return fail_at_byte(Err::ExpectedCommaOrBracket, p);
        }
    }
    sink_.end_array();
    ++budget_;
    return p + 1;  // past ']'
}

template <bool kBytes, class Sink>
template <bool kTop>
auto Parser<kBytes, Sink>::object(Pos p) -> Pos {
    if (--budget_ == 0) return fail_at_byte(Err::RecursionLimit, p);
    sink_.begin_object();
    p = skip_ws(p + 1);
    if (p == end_) return fail_eof(Err::EofObject);
    if (*p != '}') {
        if (*p != '"') return fail_at_byte(Err::KeyMustBeString, p);
        for (;;) {
            std::string_view key;
            bool raw;
            if (!(p = string(p, key, raw))) return nullptr;
            p = skip_ws(p);
            if (p == end_) return fail_eof(Err::EofObject);
            if (*p != ':') return fail_at_byte(Err::ExpectedColon, p);
            p = skip_ws(p + 1);
            sink_.key(key, raw);
            if constexpr (kTop) {
                p = sink_.value_unread(key) ? checked_value(p) : value(p);
            } else {
                p = value(p);
            }
            if (!p) return nullptr;
            p = skip_ws(p);
            if (p == end_) return fail_eof(Err::EofObject);
            char c = *p;
            if (c == ',') {
                p = skip_ws(p + 1);
                if (p == end_) return fail_eof(Err::EofValue);
                if (*p == '}') return fail_at_byte(Err::TrailingComma, p);
                if (*p != '"') return fail_at_byte(Err::KeyMustBeString, p);
                continue;
            }
            if (c == '}') break;
            return fail_at_byte(Err::ExpectedCommaOrBrace, p);
        }
    }
    sink_.end_object();
    ++budget_;
    return p + 1;  // past '}'
}

// Reads the string at p up to its closing quote or its first backslash.
// Without escapes, `plain` is its content, taken from the text, and the
// cursor is past the closing quote; otherwise `plain` is the content
// before the backslash, and the cursor is at it.
template <bool kBytes, class Sink>
KLOV_ALWAYS_INLINE auto Parser<kBytes, Sink>::string_start(Pos p, std::string_view& plain, bool& escaped,
                                                           unsigned& high) -> Pos {
    const char* start = p + 1;
    high = 0;
    const char* q = scan_plain<kBytes>(start, end_, high);
    if (q == end_) return fail_eof(Err::EofString);
    const std::size_t n = static_cast<std::size_t>(q - start);
    plain = std::string_view(start, n);
    if (*q == '"') {
        if constexpr (kBytes) {
            if (high != 0 && !valid_utf8_text(reinterpret_cast<const unsigned char*>(start), n)) {
                return fail_here(Err::InvalidUnicode, q + 1);
            }
        }
        escaped = false;
        return q + 1;
    }
    if (*q != '\\') return fail_here(Err::ControlChar, q + 1);
    escaped = true;
    return q;
}

// The rest of a string from the backslash at p, whose content before it
// is `s`, decoded into scratch_; s becomes the whole content.
template <bool kBytes, class Sink>
auto Parser<kBytes, Sink>::decode_rest(Pos p, std::string_view& s, unsigned high) -> Pos {
    scratch_.assign(s.data(), p);
    Decoded content{scratch_};
    if (!(p = unescape(p, high, content))) return nullptr;
    s = scratch_;
    return p;
}

template <bool kBytes, class Sink>
KLOV_ALWAYS_INLINE auto Parser<kBytes, Sink>::string(Pos p, std::string_view& out, bool& raw) -> Pos {
    bool escaped;
    unsigned high;
    if (!(p = string_start(p, out, escaped, high))) return nullptr;
    raw = !escaped;
    return raw ? p : decode_rest(p, out, high);
}

template <bool kBytes, class Sink>
auto Parser<kBytes, Sink>::string_value(Pos p) -> Pos {
    std::string_view s;
    bool escaped;
    unsigned high;
    if (!(p = string_start(p, s, escaped, high))) return nullptr;
    if (!escaped) {
        sink_.string(s, true);
        return p;
    }
    if constexpr (requires { sink_.escaped_string(); }) {
        auto content = sink_.escaped_string();
        content.run(s.data(), p);
        return unescape(p, high, content);
    } else {
        if (!(p = decode_rest(p, s, high))) return nullptr;
        sink_.string(s, false);
        return p;
    }
}

// Continues a string at its first backslash, at p, handing what it reads
// to `content`; `high` tells whether bytes of 0x80 or more came before.
template <bool kBytes, class Sink>
template <class Content>
auto Parser<kBytes, Sink>::unescape(Pos p, unsigned high, Content& content) -> Pos {
    for (;;) {
        // p is at a backslash.
        ++p;
        if (p == end_) return fail_eof(Err::EofString);
        char c = *p++;
        switch (c) {
            case '"': content.character('"'); break;
            case '\\': content.character('\\'); break;
            case '/': content.character('/'); break;
            case 'b': content.character('\b'); break;
            case 'f': content.character('\f'); break;
            case 'n': content.character('\n'); break;
            case 'r': content.character('\r'); break;
            case 't': content.character('\t'); break;
            case 'u': {
                std::uint32_t unit;
                if (!(p = hex4(p, unit))) return nullptr;
                if (unit >= 0xDC00 && unit <= 0xDFFF) return fail_here(Err::LoneSurrogate, p);
                if (unit >= 0xD800 && unit <= 0xDBFF) {
                    if (p == end_) return fail_eof(Err::EofString);
                    if (*p != '\\') return fail_here(Err::UnexpectedEndHex, p + 1);
                    ++p;
                    if (p == end_) return fail_eof(Err::EofString);
                    if (*p != 'u') return fail_here(Err::UnexpectedEndHex, p + 1);
                    ++p;
                    std::uint32_t low;
                    if (!(p = hex4(p, low))) return nullptr;
                    if (low < 0xDC00 || low > 0xDFFF) return fail_here(Err::LoneSurrogate, p);
                    unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
                }
                content.character(unit);
                break;
            }
            default:
                return fail_here(Err::InvalidEscape, p);
        }
        if (p != end_ && *p == '\\') continue;  // escapes in a row
        const char* q = scan_plain<kBytes>(p, end_, high);
        content.run(p, q);
        if (q == end_) return fail_eof(Err::EofString);
        p = q;
        if (*q == '"') break;
        if (*q != '\\') return fail_here(Err::ControlChar, q + 1);
    }
    ++p;  // closing quote
    if constexpr (kBytes) {
        if (high != 0 && !content.valid_utf8()) return fail_here(Err::InvalidUnicode, p);
    }
    content.close();
    return p;
}

template <bool kBytes, class Sink>
KLOV_ALWAYS_INLINE auto Parser<kBytes, Sink>::hex4(Pos p, std::uint32_t& unit) -> Pos {
    if (end_ - p < 4) return fail_eof(Err::EofString);
    std::uint32_t v = 0;
    bool ok = true;
    for (int i = 0; i < 4; ++i) {
        int h = kHexValue.v[static_cast<unsigned char>(p[i])];
        ok &= h >= 0;
        v = (v << 4) | static_cast<std::uint32_t>(h & 15);
    }
    p += 4;
    if (!ok) return fail_here(Err::InvalidEscape, p);
    unit = v;
    return p;
}

// Integer literals give the unsigned kind, or the negative kind down to
// -2^63.  Everything else (a fraction or exponent part, "-0", integers out
// of their kind's range) becomes the double nearest to the literal's exact
// decimal value.
template <bool kBytes, class Sink>
auto Parser<kBytes, Sink>::number(Pos p, JsonNumber& out, bool& kept) -> Pos {
    const char* start = p;
    bool neg = false;
    if (*p == '-') {
        neg = true;
        ++p;
        if (p == end_) return fail_eof(Err::EofValue);
        if (!is_digit(*p)) return fail_here(Err::InvalidNumber, p + 1);
    }
    const char* int_begin = p;
    std::uint64_t sig = 0;
    bool int_overflow = false;
    if (*p == '0') {
        ++p;
        if (p < end_ && is_digit(*p)) return fail_at_byte(Err::InvalidNumber, p);
    } else {
        p = skip_digits(p, end_);
        const std::size_t n = static_cast<std::size_t>(p - int_begin);
        sig = digits_value(int_begin, n < 19 ? n : 19);  // exact for up to 19 digits
        for (const char* s = int_begin + 19; s < p && !int_overflow; ++s) {
            const unsigned d = static_cast<unsigned>(*s - '0');
            if (sig > (~std::uint64_t{0} - d) / 10) {
                int_overflow = true;
            } else {
                sig = sig * 10 + d;
            }
        }
    }
    const std::size_t int_digits = static_cast<std::size_t>(p - int_begin);

    const char* frac_begin = nullptr;
    const char* frac_end = nullptr;
    bool is_double = false;
    if (p < end_ && *p == '.') {
        is_double = true;
        ++p;
        if (p == end_) return fail_eof(Err::EofValue);
        if (!is_digit(*p)) return fail_at_byte(Err::InvalidNumber, p);
        frac_begin = p;
        p = skip_digits(p, end_);
        frac_end = p;
    }

    std::int64_t exp_value = 0;
    if (p < end_ && (*p == 'e' || *p == 'E')) {
        is_double = true;
        ++p;
        if (p == end_) return fail_eof(Err::EofValue);
        bool exp_neg = false;
        if (*p == '+' || *p == '-') {
            exp_neg = *p == '-';
            ++p;
            if (p == end_) return fail_eof(Err::EofValue);
        }
        if (!is_digit(*p)) return fail_here(Err::InvalidNumber, p + 1);
        std::int32_t e = 0;
        while (p < end_ && is_digit(*p)) {
            int d = *p - '0';
            if (e > (std::numeric_limits<std::int32_t>::max() - d) / 10) {
                // The exponent does not fit 32 bits.  A zero literal or a
                // negative exponent gives zero; anything else is refused at
                // this digit.
                bool zero = true;
                for (const char* s = int_begin; s < int_begin + int_digits && zero; ++s) zero = *s == '0';
                for (const char* s = frac_begin; s && s < frac_end && zero; ++s) zero = *s == '0';
                if (!zero && !exp_neg) return fail_here(Err::NumberOutOfRange, p + 1);
                while (p < end_ && is_digit(*p)) ++p;
                out = JsonNumber::of_double(neg ? -0.0 : 0.0);
                return p;
            }
            e = e * 10 + d;
            ++p;
        }
        exp_value = exp_neg ? -static_cast<std::int64_t>(e) : e;
    }

    if constexpr (requires { sink_.kept_double(std::string_view(), p); }) {
        if (is_double &&
            sink_.kept_double(std::string_view(start, static_cast<std::size_t>(p - start)), int_begin + int_digits)) {
            kept = true;
            return p;
        }
    }

    if (!is_double && !int_overflow) {
        if (!neg) {
            out = JsonNumber::of_unsigned(sig);
            return p;
        }
        if (sig == 0) {
            out = JsonNumber::of_double(-0.0);
            return p;
        }
        if (sig <= (std::uint64_t{1} << 63)) {
            out = JsonNumber::of_negative(static_cast<std::int64_t>(0 - sig));
            return p;
        }
    }

    // Exact fast path: a significand of at most 53 bits and a power of ten
    // that is itself exact give the correctly rounded result in one operation.
    if (!int_overflow) {
        std::size_t frac_digits = frac_begin ? static_cast<std::size_t>(frac_end - frac_begin) : 0;
        if (int_digits + frac_digits <= 19) {
            const std::uint64_t m =
                frac_digits == 0 ? sig : sig * kPow10u64[frac_digits] + digits_value(frac_begin, frac_digits);
            std::int64_t e10 = exp_value - static_cast<std::int64_t>(frac_digits);
            if (m <= (std::uint64_t{1} << 53) && e10 >= -22 && e10 <= 22) {
                double d = static_cast<double>(m);
                if (e10 >= 0) d *= kExact10[e10];
                else d /= kExact10[-e10];
                out = JsonNumber::of_double(neg ? -d : d);
                return p;
            }
        }
    }
    return number_slow(start, p, neg, int_digits, frac_begin, frac_end, exp_value, out);
}

// Correctly rounded conversion of the whole literal [start, end).
template <bool kBytes, class Sink>
auto Parser<kBytes, Sink>::number_slow(Pos start, Pos end, bool neg, std::size_t int_digits, Pos frac_begin,
                                       Pos frac_end, std::int64_t exp_value, JsonNumber& out) -> Pos {
    double d = 0;
    if (read_double(start, end, d)) {
        out = JsonNumber::of_double(d);
        return end;
    }
    // Out of range: overflow or underflow, told apart by the decimal
    // magnitude of the first significant digit (a literal this far out is
    // hundreds of orders of magnitude away from 1).
    const char* int_begin = start + (neg ? 1 : 0);
    std::int64_t magnitude;
    if (*int_begin != '0') {
        magnitude = static_cast<std::int64_t>(int_digits);
    } else {
        std::int64_t zeros = 0;
        for (const char* s = frac_begin; s && s < frac_end && *s == '0'; ++s) ++zeros;
        magnitude = -zeros;
    }
    magnitude += exp_value;
    if (magnitude > 0) return fail_here(Err::NumberOutOfRange, end);
    out = JsonNumber::of_double(neg ? -0.0 : 0.0);
    return end;
}

// The value at p is not of the expected kind.  Scalars are read in full
// first (their own errors take precedence); brackets are not consumed.
template <bool kBytes, class Sink>
bool Parser<kBytes, Sink>::wrong_kind(Pos p, const char* expected) {
    std::string desc;
    char c = *p;
    if (c == '[' || c == '{') {
        desc = c == '[' ? "sequence" : "map";
    } else {
        if (c == '"' || c == 'n' || c == 't' || c == 'f' || c == '-' || is_digit(c)) {
            if (!(p = value(p))) return false;
        } else {
            return fail_at_byte(Err::ExpectedValue, p);
        }
        sink_.describe_last(desc);
    }
    type_message_ = "invalid type: ";
    type_message_ += desc;
    type_message_ += ", expected ";
    type_message_ += expected;
    code_ = Err::InvalidType;
    offset_ = static_cast<std::size_t>(p - begin_);
    return false;
}

template <bool kBytes, class Sink>
bool Parser<kBytes, Sink>::string_map(std::vector<std::pair<std::string_view, std::string_view>>& out) {
    const char* p = skip_ws(begin_);
    if (p == end_) return fail_eof(Err::EofValue);
    if (*p != '{') return wrong_kind(p, "a map");
    p = skip_ws(p + 1);
    if (p == end_) return fail_eof(Err::EofObject);
    if (*p != '}') {
        if (*p != '"') return fail_at_byte(Err::KeyMustBeString, p);
        for (;;) {
            std::string_view key;
            bool raw;
            if (!(p = string(p, key, raw))) return false;
            key = sink_.keep(key, raw);
            p = skip_ws(p);
            if (p == end_) return fail_eof(Err::EofObject);
            if (*p != ':') return fail_at_byte(Err::ExpectedColon, p);
            p = skip_ws(p + 1);
            if (p == end_) return fail_eof(Err::EofValue);
            if (*p != '"') return wrong_kind(p, "a string");
            std::string_view val;
            if (!(p = string(p, val, raw))) return false;
            out.emplace_back(key, sink_.keep(val, raw));
            p = skip_ws(p);
            if (p == end_) return fail_eof(Err::EofObject);
            char c = *p;
            if (c == ',') {
                p = skip_ws(p + 1);
                if (p == end_) return fail_eof(Err::EofValue);
                if (*p == '}') return fail_at_byte(Err::TrailingComma, p);
                if (*p != '"') return fail_at_byte(Err::KeyMustBeString, p);
                continue;
            }
            if (c == '}') break;
            return fail_at_byte(Err::ExpectedCommaOrBrace, p);
        }
    }
    return finish(p + 1);
}

// On success the array is the sink's last value.
template <bool kBytes, class Sink>
bool Parser<kBytes, Sink>::document_array() {
    const char* p = skip_ws(begin_);
    if (p == end_) return fail_eof(Err::EofValue);
    if (*p != '[') return wrong_kind(p, "a sequence");
    return (p = array(p)) && finish(p);
}

}  // namespace klov::json::detail
