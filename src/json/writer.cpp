#include "json/writer.hpp"

#include <charconv>
#include <cmath>
#include <cstring>

#include "json/scan.hpp"
#include "json/writer_detail.hpp"

namespace klov::json {

namespace detail {

namespace {

struct DigitPairs {
    char d[200];
    constexpr DigitPairs() : d() {
        for (int i = 0; i < 100; ++i) {
            d[2 * i] = static_cast<char>('0' + i / 10);
            d[2 * i + 1] = static_cast<char>('0' + i % 10);
        }
    }
};
constexpr DigitPairs kPairs{};

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

char* format_u64(std::uint64_t v, char* end) {
    char* p = end;
    while (v >= 100) {
        unsigned r = static_cast<unsigned>(v % 100);
        v /= 100;
        p -= 2;
        std::memcpy(p, kPairs.d + 2 * r, 2);
    }
    if (v >= 10) {
        p -= 2;
        std::memcpy(p, kPairs.d + 2 * v, 2);
    } else {
        *--p = static_cast<char>('0' + v);
    }
    return p;
}

std::size_t layout_double(bool negative, const char* digits, int nd, int k, char* buf) {
    char* out = buf;
    if (negative) *out++ = '-';
    if (k >= -5 && k <= 15) {
        if (k < 0) {
            *out++ = '0';
            *out++ = '.';
            for (int i = 0; i < -k - 1; ++i) *out++ = '0';
            std::memcpy(out, digits, static_cast<std::size_t>(nd));
            out += nd;
        } else if (nd > k + 1) {
            std::memcpy(out, digits, static_cast<std::size_t>(k + 1));
            out += k + 1;
            *out++ = '.';
            std::memcpy(out, digits + k + 1, static_cast<std::size_t>(nd - k - 1));
            out += nd - k - 1;
        } else {
            std::memcpy(out, digits, static_cast<std::size_t>(nd));
            out += nd;
            for (int i = nd; i < k + 1; ++i) *out++ = '0';
            *out++ = '.';
            *out++ = '0';
        }
    } else {
        *out++ = digits[0];
        if (nd > 1) {
            *out++ = '.';
            std::memcpy(out, digits + 1, static_cast<std::size_t>(nd - 1));
            out += nd - 1;
        }
        *out++ = 'e';
        *out++ = k < 0 ? '-' : '+';
        char tmp[8];
        char* t = format_u64(static_cast<std::uint64_t>(k < 0 ? -k : k), tmp + sizeof tmp);
        std::memcpy(out, t, static_cast<std::size_t>(tmp + sizeof tmp - t));
        out += tmp + sizeof tmp - t;
    }
    return static_cast<std::size_t>(out - buf);
}

int shortest_digits(double x, char digits[20], int& k) {
    // Shortest round-trip digits in the form d[.ddd]e[+-]XX.
    char sci[40];
    auto res = std::to_chars(sci, sci + sizeof sci, std::fabs(x), std::chars_format::scientific);
    const char* s = sci;
    const char* e = res.ptr;
    int nd = 0;
    digits[nd++] = *s++;
    if (*s == '.') {
        ++s;
        while (*s != 'e') digits[nd++] = *s++;
    }
    ++s;  // 'e'
    bool eneg = *s == '-';
    ++s;
    k = 0;
    for (; s < e; ++s) k = k * 10 + (*s - '0');
    if (eneg) k = -k;
    return nd;
}

std::size_t format_double(double x, char* buf) {
    if (x == 0) {
        char* out = buf;
        if (std::signbit(x)) *out++ = '-';
        std::memcpy(out, "0.0", 3);
        return static_cast<std::size_t>(out + 3 - buf);
    }
    char digits[20];
    int k;
    const int nd = shortest_digits(x, digits, k);
    return layout_double(std::signbit(x), digits, nd, k, buf);
}

void TextOut::grow(std::size_t n) {
    const std::size_t used = pos();
    std::size_t size = s_.size() * 2;
    if (size < used + n) size = used + n;
    s_.resize(size);
    cur_ = s_.data() + used;
    lim_ = s_.data() + s_.size();
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
            static constexpr char kHex[] = "0123456789abcdef";
            put_unchecked('u');
            put_unchecked('0');
            put_unchecked('0');
            put_unchecked(kHex[c >> 4]);
            put_unchecked(kHex[c & 15]);
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

void TextOut::value(const JsonValue& v) {
    switch (v.kind()) {
        case Kind::Null:
            put("null", 4);
            return;
        case Kind::Bool:
            if (v.as_bool()) put("true", 4);
            else put("false", 5);
            return;
        case Kind::Number:
            number(v.as_number());
            return;
        case Kind::String:
            string(v.as_string());
            return;
        case Kind::Array: {
            const Array& a = v.array_unchecked();
            put('[');
            bool first = true;
            for (const JsonValue& e : a) {
                if (!first) put(',');
                first = false;
                value(e);
            }
            put(']');
            return;
        }
        case Kind::Object: {
            const Object& o = v.object_unchecked();
            put('{');
            bool first = true;
            for (const Member& m : o) {
                if (!first) put(',');
                first = false;
                string(m.key);
                put(':');
                value(m.value);
            }
            put('}');
            return;
        }
    }
}

}  // namespace detail

void write_json(const JsonValue& v, std::string& out) {
    detail::TextOut o(out);
    o.value(v);
    o.finish();
}

void write_json_string(std::string_view s, std::string& out) {
    detail::TextOut o(out);
    o.string(s);
    o.finish();
}

void format_json_double(double x, std::string& out) {
    char buf[40];
    out.append(buf, detail::format_double(x, buf));
}

}  // namespace klov::json
