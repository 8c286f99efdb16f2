#include "graph/reducer.hpp"

#include <charconv>
#include <cstdint>
#include <utility>

#include "json/canon.hpp"
#include "json/read_double.hpp"
#include "json/recognise.hpp"
#include "json/writer.hpp"

namespace klov::graph {

using json::Array;
using json::JsonError;
using json::JsonNumber;
using json::JsonValue;
using json::Kind;
using json::NumberKind;

namespace {

constexpr std::string_view kAdd = "add";
constexpr std::string_view kAppend = "append";

// 2^63 and 2^64 as doubles (both exact).
constexpr double kTwo63 = 9223372036854775808.0;
constexpr double kTwo64 = 18446744073709551616.0;
constexpr std::uint64_t kMagnitude63 = std::uint64_t{1} << 63;

// An operand of "add": anything that is not a number counts as the integer
// 0.  Integers keep their sign and magnitude (at most 2^63 when negative),
// so that sums are exact without a wider type.
struct Operand {
    bool is_double = false;
    double d = 0.0;
    bool negative = false;
    std::uint64_t magnitude = 0;
};

Operand operand_of(const JsonValue& v) {
    Operand op;
    if (v.kind() != Kind::Number) return op;
    const JsonNumber& n = v.as_number();
    switch (n.kind) {
        case NumberKind::Unsigned:
            op.magnitude = n.u;
            break;
        case NumberKind::Negative:
            op.negative = true;
            op.magnitude = 0 - static_cast<std::uint64_t>(n.i);
            break;
        case NumberKind::Double:
            op.is_double = true;
            op.d = n.d;
            break;
    }
    return op;
}

// The nearest double to an integer operand: one correctly rounded
// conversion, and negation is exact.
double as_double(const Operand& op) {
    if (op.is_double) return op.d;
    const double m = static_cast<double>(op.magnitude);
    return op.negative ? -m : m;
}

JsonValue unsigned_value(std::uint64_t u) { return JsonValue(JsonNumber::of_unsigned(u)); }
// -m for 0 < m <= 2^63.
JsonValue negative_value(std::uint64_t m) { return JsonValue(JsonNumber::of_negative(static_cast<std::int64_t>(0 - m))); }
JsonValue double_value(double d) { return JsonValue(JsonNumber::of_double(d)); }

// The exact sum of two integers: an integer in [-2^63, 2^64), else the
// double nearest to it.
JsonValue integer_sum(const Operand& a, const Operand& b) {
    if (a.negative == b.negative) {
        const std::uint64_t low = a.magnitude + b.magnitude;
        const bool carry = low < a.magnitude;  // the sum is 2^64 + low
        if (!a.negative) {
            if (!carry) return unsigned_value(low);
            // 2^64 + low halved, its dropped bit kept as a sticky bit: 64
            // significant bits round to the same 53 as the 65 did.
            return double_value(static_cast<double>(kMagnitude63 | (low >> 1) | (low & 1)) * 2.0);
        }
        if (carry) return double_value(-kTwo64);  // both were -2^63
        if (low <= kMagnitude63) return negative_value(low);
        return double_value(-static_cast<double>(low));
    }
    const Operand& p = a.negative ? b : a;
    const Operand& n = a.negative ? a : b;
    if (p.magnitude >= n.magnitude) return unsigned_value(p.magnitude - n.magnitude);
    return negative_value(n.magnitude - p.magnitude);
}

// The number that canonical text denotes, or null for any other kind (which
// "add" counts as zero).  Canonical numbers read back exactly.
JsonValue number_of_text(std::string_view text) {
    const char* b = text.data();
    const char* e = b + text.size();
    if (text.empty() || (text.front() != '-' && !(text.front() >= '0' && text.front() <= '9'))) return JsonValue();
    if (text.find_first_of(".e") != std::string_view::npos) {
        double d = 0;
        if (!json::read_double(b, e, d)) return JsonValue();  // canonical doubles are finite and read back
        return JsonValue(JsonNumber::of_double(d));
    }
    if (text.front() == '-') {
        std::int64_t i = 0;
        std::from_chars(b, e, i);
        return JsonValue(JsonNumber::of_negative(i));
    }
    std::uint64_t u = 0;
    std::from_chars(b, e, u);
    return JsonValue(JsonNumber::of_unsigned(u));
}

// `text` as it stands when it is canonical, else its canonical form in
// `storage`; false with the parse error when it is not JSON.
bool canonical_form(std::string_view text, std::string& storage, std::string_view& out, JsonError& err) {
    // Asked first, and not left to CanonicalText, because small canonical
    // arguments (the usual reduce_channel call) then allocate nothing; the
    // plain check costs less to set up than the one that also reorders.
    if (json::is_canonical_text(text)) {
        out = text;
        return true;
    }
    bool reordered;
    if (json::recognise_canonical(text, storage, reordered)) {
        out = reordered ? std::string_view(storage) : text;
        return true;
    }
    json::CanonicalText c;
    if (!c.rewrite_text(text, err)) return false;
    c.append_to(storage);
    out = storage;
    return true;
}

}  // namespace

JsonValue add_values(const JsonValue& current, const JsonValue& update) {
    const Operand a = operand_of(current);
    const Operand b = operand_of(update);
    if (!a.is_double && !b.is_double) return integer_sum(a, b);
    const double s = as_double(a) + as_double(b);
    // Infinities fail the range test, and no finite pair sums to NaN.
    if (!(s - s == 0.0)) return JsonValue();
    // A sum with an integer value in range is an integer (-0.0 is 0).
    if (s >= 0.0 && s < kTwo64) {
        const auto u = static_cast<std::uint64_t>(s);
        if (static_cast<double>(u) == s) return unsigned_value(u);
    } else if (s < 0.0 && s >= -kTwo63) {
        const auto i = static_cast<std::int64_t>(s);
        if (static_cast<double>(i) == s) return JsonValue(JsonNumber::of_negative(i));
    }
    return double_value(s);
}

bool reads_current(std::string_view reducer) { return reducer == kAdd || reducer == kAppend; }

void reduce_text(std::string_view reducer, std::string& text, std::string_view update) {
    if (reducer == kAdd) {
        const JsonValue sum = add_values(number_of_text(text), number_of_text(update));
        text.clear();
        json::TextOut out(text);
        if (sum.kind() == Kind::Number) {
            out.number(sum.as_number());
        } else {
            out.put("null", 4);
        }
        out.finish();
        return;
    }
    if (reducer == kAppend) {
        // Open the list: null starts it empty, a list is reopened before its
        // closing bracket, anything else becomes its first element.
        bool empty;
        if (text == "null") {
            text.assign(1, '[');
            empty = true;
        } else if (text.front() == '[') {
            text.pop_back();
            empty = text.size() == 1;
        } else {
            text.insert(0, 1, '[');
            empty = false;
        }
        // A list's elements are its text between the brackets.
        const std::string_view items = update.front() == '[' ? update.substr(1, update.size() - 2) : update;
        json::TextOut out(text, items.size() + 2);
        if (!items.empty()) {
            if (!empty) out.put(',');
            out.put(items);
        }
        out.put(']');
        out.finish();
        return;
    }
    text.assign(update);
}

bool reduce_channel(std::string_view reducer, std::string_view current_json, std::string_view update_json,
                    std::string& out, JsonError& err) {
    std::string update_storage, current_storage;
    std::string_view update, current;
    if (!canonical_form(update_json, update_storage, update, err)) return false;
    if (!canonical_form(current_json, current_storage, current, err)) return false;
    std::string text;
    if (reads_current(reducer)) text.assign(current);
    reduce_text(reducer, text, update);
    out.swap(text);
    return true;
}

}  // namespace klov::graph
