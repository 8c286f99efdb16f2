#include "json/parser.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#include "json/scan.hpp"
#include "json/writer.hpp"
#include "json/writer_detail.hpp"

namespace klov::json {

namespace {

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
    InvalidType,  // the message is built separately
};

const char* message_of(Err e) {
    switch (e) {
        case Err::EofList: return "EOF while parsing a list";
        case Err::EofObject: return "EOF while parsing an object";
        case Err::EofString: return "EOF while parsing a string";
        case Err::EofValue: return "EOF while parsing a value";
        case Err::ExpectedColon: return "expected `:`";
        case Err::ExpectedCommaOrBracket: return "expected `,` or `]`";
        case Err::ExpectedCommaOrBrace: return "expected `,` or `}`";
        case Err::ExpectedIdent: return "expected ident";
        case Err::ExpectedValue: return "expected value";
        case Err::InvalidEscape: return "invalid escape";
        case Err::InvalidNumber: return "invalid number";
        case Err::NumberOutOfRange: return "number out of range";
        case Err::InvalidUnicode: return "invalid unicode code point";
        case Err::ControlChar: return "control character (\\u0000-\\u001F) found while parsing a string";
        case Err::KeyMustBeString: return "key must be a string";
        case Err::LoneSurrogate: return "lone leading surrogate in hex escape";
        case Err::TrailingComma: return "trailing comma";
        case Err::TrailingChars: return "trailing characters";
        case Err::UnexpectedEndHex: return "unexpected end of hex escape";
        case Err::RecursionLimit: return "recursion limit exceeded";
        case Err::InvalidType: return "invalid type";
    }
    return "";
}

struct WsTable {
    bool ws[256];
    constexpr WsTable() : ws() {
        ws[' '] = ws['\t'] = ws['\n'] = ws['\r'] = true;
    }
};
constexpr WsTable kWs{};

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
constexpr HexTable kHex{};

inline bool is_digit(char c) { return static_cast<unsigned char>(c - '0') < 10; }

// Powers of ten that are exact doubles, for the exact fast path of number
// conversion.
constexpr double kExact10[23] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                 1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// A key with its first eight bytes as a big-endian number (zero-padded), so
// that most comparisons during the sort of an object's members need no
// memcmp.  Equal prefixes fall back to the full comparison.
struct KeyRef {
    std::uint64_t prefix;
    std::string_view key;
    std::uint32_t index;
};

inline std::uint64_t key_prefix(std::string_view k) {
    std::uint64_t w = 0;
    if (!k.empty()) std::memcpy(&w, k.data(), k.size() < 8 ? k.size() : 8);
    return __builtin_bswap64(w);
}

inline bool key_ref_less(const KeyRef& a, const KeyRef& b) {
    if (a.prefix != b.prefix) return a.prefix < b.prefix;
    return a.key < b.key;
}

void append_utf8(std::string& s, std::uint32_t cp) {
    char b[4];
    std::size_t n;
    if (cp < 0x80) {
        b[0] = static_cast<char>(cp);
        n = 1;
    } else if (cp < 0x800) {
        b[0] = static_cast<char>(0xC0 | (cp >> 6));
        b[1] = static_cast<char>(0x80 | (cp & 0x3F));
        n = 2;
    } else if (cp < 0x10000) {
        b[0] = static_cast<char>(0xE0 | (cp >> 12));
        b[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        b[2] = static_cast<char>(0x80 | (cp & 0x3F));
        n = 3;
    } else {
        b[0] = static_cast<char>(0xF0 | (cp >> 18));
        b[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        b[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        b[3] = static_cast<char>(0x80 | (cp & 0x3F));
        n = 4;
    }
    s.append(b, n);
}

// One parse.  kBytes adds UTF-8 validation of string content.  Every
// function returns false after recording the first error; nothing after that
// point runs.
template <bool kBytes>
class Parser {
public:
    Parser(std::string_view text, Arena& arena)
        : begin_(text.data()), p_(text.data()), end_(text.data() + text.size()), arena_(arena) {}

    bool document(JsonValue& out) {
        skip_ws();
        if (!value()) return false;
        out = std::move(values_.back());
        return finish();
    }

    bool string_map(std::vector<std::pair<std::string_view, std::string_view>>& out);
    bool document_array(Array& out);

    JsonError error() const {
        std::string text = code_ == Err::InvalidType ? type_message_ : std::string(message_of(code_));
        return error_at(std::string_view(begin_, static_cast<std::size_t>(end_ - begin_)), offset_, std::move(text));
    }

private:
    std::size_t length() const { return static_cast<std::size_t>(end_ - begin_); }
    std::size_t consumed() const { return static_cast<std::size_t>(p_ - begin_); }

    // Rule C: the position is what has been consumed.
    bool fail_here(Err e) {
        code_ = e;
        offset_ = consumed();
        return false;
    }
    // Rule P: the byte at p_ was looked at and refused.
    bool fail_at_byte(Err e) {
        code_ = e;
        offset_ = std::min(consumed() + 1, length());
        return false;
    }
    bool fail_eof(Err e) {
        code_ = e;
        offset_ = length();
        return false;
    }

    void skip_ws() {
        while (p_ < end_ && kWs.ws[static_cast<unsigned char>(*p_)]) ++p_;
    }

    bool finish() {
        skip_ws();
        if (p_ != end_) return fail_at_byte(Err::TrailingChars);
        return true;
    }

    // Each pushes the value it read onto values_.
    bool value();
    bool array();
    bool object();
    bool string(std::string_view& out);
    bool escaped_string(const char* start, const char* stop, unsigned high, std::string_view& out);
    bool hex4(std::uint32_t& unit);
    bool literal(const char* word, std::size_t n);
    bool number(JsonNumber& out);
    bool number_slow(const char* start, bool neg, std::size_t int_digits, const char* frac_begin,
                     const char* frac_end, std::int64_t exp_value, JsonNumber& out);
    bool wrong_kind(const char* expected);

    const char* begin_;
    const char* p_;
    const char* end_;
    Arena& arena_;
    int budget_ = 128;

    std::string scratch_;
    std::vector<JsonValue> values_;
    std::vector<std::string_view> keys_;
    std::vector<KeyRef> order_;

    Err code_ = Err::EofValue;
    std::size_t offset_ = 0;
    std::string type_message_;
};

template <bool kBytes>
bool Parser<kBytes>::value() {
    if (p_ == end_) return fail_eof(Err::EofValue);
    switch (*p_) {
        case '"': {
            std::string_view s;
            if (!string(s)) return false;
            values_.emplace_back(s);
            return true;
        }
        case '{':
            return object();
        case '[':
            return array();
        case 'n':
            if (!literal("null", 4)) return false;
            values_.emplace_back();
            return true;
        case 't':
            if (!literal("true", 4)) return false;
            values_.emplace_back(true);
            return true;
        case 'f':
            if (!literal("false", 5)) return false;
            values_.emplace_back(false);
            return true;
        case '-':
        case '0': case '1': case '2': case '3': case '4':
        case '5': case '6': case '7': case '8': case '9': {
            JsonNumber n;
            if (!number(n)) return false;
            values_.emplace_back(n);
            return true;
        }
        default:
            return fail_at_byte(Err::ExpectedValue);
    }
}

template <bool kBytes>
bool Parser<kBytes>::literal(const char* word, std::size_t n) {
    ++p_;  // the first letter was matched by the caller
    for (std::size_t i = 1; i < n; ++i) {
        if (p_ == end_) return fail_eof(Err::EofValue);
        if (*p_ != word[i]) {
            ++p_;
            return fail_here(Err::ExpectedIdent);
        }
        ++p_;
    }
    return true;
}

template <bool kBytes>
bool Parser<kBytes>::array() {
    if (--budget_ == 0) return fail_at_byte(Err::RecursionLimit);
    ++p_;
    const std::size_t base = values_.size();
    skip_ws();
    if (p_ == end_) return fail_eof(Err::EofList);
    if (*p_ != ']') {
        for (;;) {
            if (!value()) return false;
            skip_ws();
            if (p_ == end_) return fail_eof(Err::EofList);
            char c = *p_;
            if (c == ',') {
                ++p_;
                skip_ws();
                if (p_ == end_) return fail_eof(Err::EofValue);
                if (*p_ == ']') return fail_at_byte(Err::TrailingComma);
                continue;
            }
            if (c == ']') break;
            return fail_at_byte(Err::ExpectedCommaOrBracket);
        }
    }
    ++p_;  // ']'
    Array a(std::make_move_iterator(values_.begin() + static_cast<std::ptrdiff_t>(base)),
            std::make_move_iterator(values_.end()));
    values_.resize(base);
    values_.emplace_back(std::move(a));
    ++budget_;
    return true;
}

template <bool kBytes>
bool Parser<kBytes>::object() {
    if (--budget_ == 0) return fail_at_byte(Err::RecursionLimit);
    ++p_;
    const std::size_t base = values_.size();
    const std::size_t kbase = keys_.size();
    skip_ws();
    if (p_ == end_) return fail_eof(Err::EofObject);
    if (*p_ != '}') {
        if (*p_ != '"') return fail_at_byte(Err::KeyMustBeString);
        for (;;) {
            std::string_view key;
            if (!string(key)) return false;
            skip_ws();
            if (p_ == end_) return fail_eof(Err::EofObject);
            if (*p_ != ':') return fail_at_byte(Err::ExpectedColon);
            ++p_;
            skip_ws();
            keys_.push_back(key);
            if (!value()) return false;
            skip_ws();
            if (p_ == end_) return fail_eof(Err::EofObject);
            char c = *p_;
            if (c == ',') {
                ++p_;
                skip_ws();
                if (p_ == end_) return fail_eof(Err::EofValue);
                if (*p_ == '}') return fail_at_byte(Err::TrailingComma);
                if (*p_ != '"') return fail_at_byte(Err::KeyMustBeString);
                continue;
            }
            if (c == '}') break;
            return fail_at_byte(Err::ExpectedCommaOrBrace);
        }
    }
    ++p_;  // '}'

    const std::size_t n = keys_.size() - kbase;
    const std::string_view* keys = keys_.data() + kbase;
    JsonValue* vals = values_.data() + base;
    bool sorted = true;
    for (std::size_t i = 1; i < n; ++i) {
        if (!(keys[i - 1] < keys[i])) {
            sorted = false;
            break;
        }
    }
    Object obj;
    if (sorted) {
        obj.reserve(n);
        for (std::size_t i = 0; i < n; ++i) obj.push_back(Member{keys[i], std::move(vals[i])});
    } else {
        // Stable order by key, so that among equal keys the last one in the
        // text is the last of its run and wins.
        order_.clear();
        for (std::size_t i = 0; i < n; ++i) {
            order_.push_back(KeyRef{key_prefix(keys[i]), keys[i], static_cast<std::uint32_t>(i)});
        }
        if (n <= 32) {
            for (std::size_t i = 1; i < n; ++i) {
                KeyRef k = order_[i];
                std::size_t j = i;
                while (j > 0 && key_ref_less(k, order_[j - 1])) {
                    order_[j] = order_[j - 1];
                    --j;
                }
                order_[j] = k;
            }
        } else {
            std::stable_sort(order_.begin(), order_.end(), key_ref_less);
        }
        std::size_t unique = 0;
        for (std::size_t i = 0; i < n; ++i) {
            if (i + 1 < n && order_[i + 1].key == order_[i].key) continue;
            order_[unique++] = order_[i];
        }
        obj.reserve(unique);
        for (std::size_t i = 0; i < unique; ++i) {
            obj.push_back(Member{order_[i].key, std::move(vals[order_[i].index])});
        }
    }
    values_.resize(base);
    keys_.resize(kbase);
    values_.emplace_back(std::move(obj));
    ++budget_;
    return true;
}

template <bool kBytes>
bool Parser<kBytes>::string(std::string_view& out) {
    const char* start = ++p_;
    unsigned high = 0;
    const char* q = detail::scan_plain<kBytes>(p_, end_, high);
    if (q == end_) return fail_eof(Err::EofString);
    if (*q == '"') {
        p_ = q + 1;
        std::size_t n = static_cast<std::size_t>(q - start);
        if constexpr (kBytes) {
            if (high != 0 && !detail::valid_utf8(reinterpret_cast<const unsigned char*>(start), n)) {
                return fail_here(Err::InvalidUnicode);
            }
        }
        out = std::string_view(start, n);
        return true;
    }
    if (*q != '\\') {
        p_ = q + 1;
        return fail_here(Err::ControlChar);
    }
    return escaped_string(start, q, high, out);
}

// Continues a string at its first backslash (`stop`); the content so far is
// [start, stop).
template <bool kBytes>
bool Parser<kBytes>::escaped_string(const char* start, const char* stop, unsigned high, std::string_view& out) {
    scratch_.assign(start, stop);
    p_ = stop;
    for (;;) {
        // p_ is at a backslash.
        ++p_;
        if (p_ == end_) return fail_eof(Err::EofString);
        char c = *p_++;
        switch (c) {
            case '"': scratch_.push_back('"'); break;
            case '\\': scratch_.push_back('\\'); break;
            case '/': scratch_.push_back('/'); break;
            case 'b': scratch_.push_back('\b'); break;
            case 'f': scratch_.push_back('\f'); break;
            case 'n': scratch_.push_back('\n'); break;
            case 'r': scratch_.push_back('\r'); break;
            case 't': scratch_.push_back('\t'); break;
            case 'u': {
                std::uint32_t unit;
                if (!hex4(unit)) return false;
                if (unit >= 0xDC00 && unit <= 0xDFFF) return fail_here(Err::LoneSurrogate);
                if (unit >= 0xD800 && unit <= 0xDBFF) {
                    if (p_ == end_) return fail_eof(Err::EofString);
                    if (*p_ != '\\') {
                        ++p_;
                        return fail_here(Err::UnexpectedEndHex);
                    }
                    ++p_;
                    if (p_ == end_) return fail_eof(Err::EofString);
                    if (*p_ != 'u') {
                        ++p_;
                        return fail_here(Err::UnexpectedEndHex);
                    }
                    ++p_;
                    std::uint32_t low;
                    if (!hex4(low)) return false;
                    if (low < 0xDC00 || low > 0xDFFF) return fail_here(Err::LoneSurrogate);
                    unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
                }
                append_utf8(scratch_, unit);
                break;
            }
            default:
                return fail_here(Err::InvalidEscape);
        }
        const char* q = detail::scan_plain<kBytes>(p_, end_, high);
        scratch_.append(p_, q);
        if (q == end_) return fail_eof(Err::EofString);
        p_ = q;
        if (*q == '"') break;
        if (*q != '\\') {
            ++p_;
            return fail_here(Err::ControlChar);
        }
    }
    ++p_;  // closing quote
    if constexpr (kBytes) {
        // Escapes alone always give well-formed UTF-8; only raw bytes >= 0x80
        // (possibly next to an escape) can break it.
        if (high != 0 &&
            !detail::valid_utf8(reinterpret_cast<const unsigned char*>(scratch_.data()), scratch_.size())) {
            return fail_here(Err::InvalidUnicode);
        }
    }
    out = arena_.store(scratch_);
    return true;
}

template <bool kBytes>
bool Parser<kBytes>::hex4(std::uint32_t& unit) {
    if (end_ - p_ < 4) return fail_eof(Err::EofString);
    std::uint32_t v = 0;
    bool ok = true;
    for (int i = 0; i < 4; ++i) {
        int h = kHex.v[static_cast<unsigned char>(p_[i])];
        ok &= h >= 0;
        v = (v << 4) | static_cast<std::uint32_t>(h & 15);
    }
    p_ += 4;
    if (!ok) return fail_here(Err::InvalidEscape);
    unit = v;
    return true;
}

template <bool kBytes>
bool Parser<kBytes>::number(JsonNumber& out) {
    const char* start = p_;
    bool neg = false;
    if (*p_ == '-') {
        neg = true;
        ++p_;
        if (p_ == end_) return fail_eof(Err::EofValue);
        if (!is_digit(*p_)) {
            ++p_;
            return fail_here(Err::InvalidNumber);
        }
    }
    const char* int_begin = p_;
    std::uint64_t sig = 0;
    if (*p_ == '0') {
        ++p_;
        if (p_ < end_ && is_digit(*p_)) return fail_at_byte(Err::InvalidNumber);
    } else {
        while (p_ < end_ && is_digit(*p_)) {
            sig = sig * 10 + static_cast<unsigned>(*p_ - '0');  // exact while <= 19 digits
            ++p_;
            if (p_ - int_begin == 19) break;
        }
    }
    bool int_overflow = false;
    while (p_ < end_ && is_digit(*p_)) {
        unsigned d = static_cast<unsigned>(*p_ - '0');
        if (!int_overflow && (__builtin_mul_overflow(sig, 10u, &sig) || __builtin_add_overflow(sig, d, &sig))) {
            int_overflow = true;
        }
        ++p_;
    }
    const std::size_t int_digits = static_cast<std::size_t>(p_ - int_begin);

    const char* frac_begin = nullptr;
    const char* frac_end = nullptr;
    bool is_double = false;
    if (p_ < end_ && *p_ == '.') {
        is_double = true;
        ++p_;
        if (p_ == end_) return fail_eof(Err::EofValue);
        if (!is_digit(*p_)) return fail_at_byte(Err::InvalidNumber);
        frac_begin = p_;
        while (p_ < end_ && is_digit(*p_)) ++p_;
        frac_end = p_;
    }

    std::int64_t exp_value = 0;
    if (p_ < end_ && (*p_ == 'e' || *p_ == 'E')) {
        is_double = true;
        ++p_;
        if (p_ == end_) return fail_eof(Err::EofValue);
        bool exp_neg = false;
        if (*p_ == '+' || *p_ == '-') {
            exp_neg = *p_ == '-';
            ++p_;
            if (p_ == end_) return fail_eof(Err::EofValue);
        }
        if (!is_digit(*p_)) {
            ++p_;
            return fail_here(Err::InvalidNumber);
        }
        std::int32_t e = 0;
        while (p_ < end_ && is_digit(*p_)) {
            int d = *p_ - '0';
            if (e > (std::numeric_limits<std::int32_t>::max() - d) / 10) {
                // The exponent does not fit 32 bits.  A zero literal or a
                // negative exponent gives zero; anything else is refused at
                // this digit.
                bool zero = true;
                for (const char* s = int_begin; s < int_begin + int_digits && zero; ++s) zero = *s == '0';
                for (const char* s = frac_begin; s && s < frac_end && zero; ++s) zero = *s == '0';
                if (!zero && !exp_neg) {
                    ++p_;
                    return fail_here(Err::NumberOutOfRange);
                }
                while (p_ < end_ && is_digit(*p_)) ++p_;
                out = JsonNumber::of_double(neg ? -0.0 : 0.0);
                return true;
            }
            e = e * 10 + d;
            ++p_;
        }
        exp_value = exp_neg ? -static_cast<std::int64_t>(e) : e;
    }

    if (!is_double && !int_overflow) {
        if (!neg) {
            out = JsonNumber::of_unsigned(sig);
            return true;
        }
        if (sig == 0) {
            out = JsonNumber::of_double(-0.0);
            return true;
        }
        if (sig <= (std::uint64_t{1} << 63)) {
            out = JsonNumber::of_negative(static_cast<std::int64_t>(0 - sig));
            return true;
        }
    }

    // Exact fast path: a significand of at most 53 bits and a power of ten
    // that is itself exact give a correctly rounded result in one operation.
    if (!int_overflow) {
        std::size_t frac_digits = frac_begin ? static_cast<std::size_t>(frac_end - frac_begin) : 0;
        if (int_digits + frac_digits <= 19) {
            std::uint64_t m = sig;
            for (const char* s = frac_begin; s && s < frac_end; ++s) m = m * 10 + static_cast<unsigned>(*s - '0');
            std::int64_t e10 = exp_value - static_cast<std::int64_t>(frac_digits);
            if (m <= (std::uint64_t{1} << 53) && e10 >= -22 && e10 <= 22) {
                double d = static_cast<double>(m);
                if (e10 >= 0) d *= kExact10[e10];
                else d /= kExact10[-e10];
                out = JsonNumber::of_double(neg ? -d : d);
                return true;
            }
        }
    }
    return number_slow(start, neg, int_digits, frac_begin, frac_end, exp_value, out);
}

// Correctly rounded conversion of the whole literal [start, p_).
template <bool kBytes>
bool Parser<kBytes>::number_slow(const char* start, bool neg, std::size_t int_digits, const char* frac_begin,
                                 const char* frac_end, std::int64_t exp_value, JsonNumber& out) {
    double d = 0;
    auto res = std::from_chars(start, p_, d, std::chars_format::general);
    if (res.ec == std::errc() && std::isfinite(d)) {
        out = JsonNumber::of_double(d);
        return true;
    }
    // Out of range: decide between overflow and underflow from the decimal
    // magnitude of the first significant digit.
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
    if (magnitude > 0) return fail_here(Err::NumberOutOfRange);
    out = JsonNumber::of_double(neg ? -0.0 : 0.0);
    return true;
}

// The value at p_ is not of the expected kind.  Scalars are read in full
// first (their own errors take precedence); brackets are not consumed.
template <bool kBytes>
bool Parser<kBytes>::wrong_kind(const char* expected) {
    std::string desc;
    std::size_t at;
    char c = *p_;
    if (c == '[' || c == '{') {
        desc = c == '[' ? "sequence" : "map";
        at = consumed();
    } else {
        if (c == '"' || c == 'n' || c == 't' || c == 'f' || c == '-' || is_digit(c)) {
            if (!value()) return false;
        } else {
            return fail_at_byte(Err::ExpectedValue);
        }
        describe_value(values_.back(), desc);
        at = consumed();
    }
    type_message_ = "invalid type: ";
    type_message_ += desc;
    type_message_ += ", expected ";
    type_message_ += expected;
    code_ = Err::InvalidType;
    offset_ = at;
    return false;
}

template <bool kBytes>
bool Parser<kBytes>::string_map(std::vector<std::pair<std::string_view, std::string_view>>& out) {
    skip_ws();
    if (p_ == end_) return fail_eof(Err::EofValue);
    if (*p_ != '{') return wrong_kind("a map");
    --budget_;  // one level: never reaches the limit
    ++p_;
    skip_ws();
    if (p_ == end_) return fail_eof(Err::EofObject);
    if (*p_ != '}') {
        if (*p_ != '"') return fail_at_byte(Err::KeyMustBeString);
        for (;;) {
            std::string_view key;
            if (!string(key)) return false;
            skip_ws();
            if (p_ == end_) return fail_eof(Err::EofObject);
            if (*p_ != ':') return fail_at_byte(Err::ExpectedColon);
            ++p_;
            skip_ws();
            if (p_ == end_) return fail_eof(Err::EofValue);
            if (*p_ != '"') return wrong_kind("a string");
            std::string_view val;
            if (!string(val)) return false;
            out.emplace_back(key, val);
            skip_ws();
            if (p_ == end_) return fail_eof(Err::EofObject);
            char c = *p_;
            if (c == ',') {
                ++p_;
                skip_ws();
                if (p_ == end_) return fail_eof(Err::EofValue);
                if (*p_ == '}') return fail_at_byte(Err::TrailingComma);
                if (*p_ != '"') return fail_at_byte(Err::KeyMustBeString);
                continue;
            }
            if (c == '}') break;
            return fail_at_byte(Err::ExpectedCommaOrBrace);
        }
    }
    ++p_;
    ++budget_;
    return finish();
}

template <bool kBytes>
bool Parser<kBytes>::document_array(Array& out) {
    skip_ws();
    if (p_ == end_) return fail_eof(Err::EofValue);
    if (*p_ != '[') return wrong_kind("a sequence");
    if (!array()) return false;
    if (!finish()) return false;
    out = std::move(values_.back().as_array());
    return true;
}

template <bool kBytes>
bool run_document(std::string_view text, Arena& arena, JsonValue& out, JsonError& err) {
    Parser<kBytes> p(text, arena);
    if (p.document(out)) return true;
    err = p.error();
    return false;
}

}  // namespace

JsonError error_at(std::string_view text, std::size_t offset, std::string message) {
    if (offset > text.size()) offset = text.size();
    std::size_t line = 1;
    std::size_t line_start = 0;
    const char* b = text.data();
    const char* p = b;
    const char* e = b + offset;
    while (p < e) {
        const void* nl = std::memchr(p, '\n', static_cast<std::size_t>(e - p));
        if (!nl) break;
        ++line;
        p = static_cast<const char*>(nl) + 1;
        line_start = static_cast<std::size_t>(p - b);
    }
    JsonError err;
    err.message = std::move(message);
    err.line = line;
    err.column = offset - line_start;
    return err;
}

bool parse_json_text(std::string_view text, Arena& arena, JsonValue& out, JsonError& err) {
    return run_document<false>(text, arena, out, err);
}

bool parse_json_bytes(std::string_view bytes, Arena& arena, JsonValue& out, JsonError& err) {
    return run_document<true>(bytes, arena, out, err);
}

bool read_string_map(std::string_view text, Arena& arena,
                     std::vector<std::pair<std::string_view, std::string_view>>& out, JsonError& err) {
    Parser<false> p(text, arena);
    if (p.string_map(out)) return true;
    err = p.error();
    return false;
}

bool read_document_array(std::string_view text, Arena& arena, Array& out, JsonError& err) {
    Parser<false> p(text, arena);
    if (p.document_array(out)) return true;
    err = p.error();
    return false;
}

void describe_value(const JsonValue& v, std::string& out) {
    switch (v.kind()) {
        case Kind::Null:
            out += "null";
            return;
        case Kind::Bool:
            out += v.as_bool() ? "boolean `true`" : "boolean `false`";
            return;
        case Kind::Number: {
            const JsonNumber& n = v.as_number();
            char buf[40];
            char* end = buf + sizeof buf;
            if (n.kind == NumberKind::Double) {
                out += "floating point `";
                if (std::isfinite(n.d)) out.append(buf, detail::format_double(n.d, buf));
                else out += n.d != n.d ? "NaN" : (n.d < 0 ? "-inf" : "inf");
            } else {
                out += "integer `";
                std::uint64_t mag = n.kind == NumberKind::Unsigned ? n.u : 0 - static_cast<std::uint64_t>(n.i);
                char* b = detail::format_u64(mag, end);
                if (n.kind == NumberKind::Negative) *--b = '-';
                out.append(b, static_cast<std::size_t>(end - b));
            }
            out += '`';
            return;
        }
        case Kind::String:
            out += "string ";
            quote_for_message(v.as_string(), out);
            return;
        case Kind::Array:
            out += "sequence";
            return;
        case Kind::Object:
            out += "map";
            return;
    }
}

}  // namespace klov::json
