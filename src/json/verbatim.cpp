#include "json/verbatim.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>

#include "common/order.hpp"
#include "json/parser_impl.hpp"
#include "json/scan.hpp"
#include "json/writer_detail.hpp"

namespace klov::json {

namespace {

using klov::bytes_less;
using klov::key_prefix_within;
using klov::key_ref_less;
using detail::digits_value;
using detail::is_digit;
using detail::skip_digits;
using detail::kExact10;

// The parser's nesting budget: 127 nested containers are accepted.
constexpr int kBudget = 128;

// A double literal's significant run, from its first nonzero digit to its
// last digit, is never longer in the writer's text ("1000000000000000.0"
// included).
constexpr int kMaxRun = 17;

constexpr auto& kPow10 = detail::kPow10u64;

__extension__ typedef unsigned __int128 Wide;

// 10^-0 .. 10^-19, each the double nearest.
constexpr double kInverse10[20] = {1e-0,  1e-1,  1e-2,  1e-3,  1e-4,  1e-5,  1e-6,  1e-7,  1e-8,  1e-9,
                                   1e-10, 1e-11, 1e-12, 1e-13, 1e-14, 1e-15, 1e-16, 1e-17, 1e-18, 1e-19};

// 10^0 .. 10^22 (10^22 < 2^74).
constexpr auto kPow10Wide = [] {
    struct Table {
        Wide v[23];
        constexpr const Wide& operator[](int i) const { return v[i]; }
    } t{};
    Wide p = 1;
    for (int i = 0; i < 23; ++i) {
        t.v[i] = p;
        p *= 10;
    }
    return t;
}();

bool same_bytes(const char* a, const char* b, std::size_t n) {
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        std::uint64_t x, y;
        std::memcpy(&x, a + i, 8);
        std::memcpy(&y, b + i, 8);
        if (x != y) return false;
    }
    for (; i < n; ++i) {
        if (a[i] != b[i]) return false;
    }
    return true;
}

// The longest double the writer produces is "-1.7976931348623157e+308".
constexpr std::size_t kMaxText = 32;

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;  // upper case is never written
}

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

struct Reordering {
    std::vector<Reordered> objects;  // inner objects before the ones around them
    std::vector<VerbatimMember> members;
    std::vector<KeyedMember> open;  // members of the objects being read, innermost last
};

// kTrusted: the text is known to be canonical (it was just written), and
// only the boundaries of values are wanted: numbers and key order are not
// checked again.
template <bool kTrusted>
class Recogniser {
public:
    explicit Recogniser(const char* end) : end_(end) {}

    // With `reordering` set, objects whose members are out of order are
    // accepted and recorded there, as long as their keys have no escapes
    // and no key repeats.
    Recogniser(const char* end, Reordering* reordering) : end_(end), reordering_(reordering) {}

    const char* value(const char* p, int budget) {
        if (p == end_) return nullptr;
        switch (*p) {
            case '"': {
                bool escaped;
                const char* q = string_body(p + 1, escaped);
                return q ? q + 1 : nullptr;
            }
            case '{':
                return object(p, budget, nullptr);
            case '[':
                return array(p, budget);
            case 'n':
                return word(p, "null");
            case 't':
                return word(p, "true");
            case 'f':
                return word(p, "false");
            case '-':
            case '0': case '1': case '2': case '3': case '4':
            case '5': case '6': case '7': case '8': case '9':
                return number(p);
            default:
                return nullptr;
        }
    }

    const char* array(const char* p, int budget, std::vector<std::string_view>* elements = nullptr) {
        if (--budget == 0) return nullptr;
        if (++p == end_) return nullptr;
        if (*p == ']') return p + 1;
        for (;;) {
            const char* v = p;
            p = value(p, budget);
            if (p == nullptr || p == end_) return nullptr;
            if (elements) elements->push_back(std::string_view(v, static_cast<std::size_t>(p - v)));
            if (*p == ']') return p + 1;
            if (*p != ',') return nullptr;
            ++p;
        }
    }

    const char* object(const char* p, int budget, std::vector<VerbatimMember>* members) {
        const char* const begin = p;
        if (--budget == 0) return nullptr;
        if (++p == end_) return nullptr;
        if (*p == '}') return p + 1;
        std::string_view prev;
        bool prev_escaped = false, any_escaped = false, disordered = false;
        std::size_t open_base = 0;  // where this object's members start in reordering_->open
        for (bool first = true;; first = false) {
            if (*p != '"') return nullptr;
            bool escaped;
            const char* key_end = string_body(p + 1, escaped);
            if (key_end == nullptr) return nullptr;
            const std::string_view key(p + 1, static_cast<std::size_t>(key_end - p - 1));
            if (!first && !disordered && !key_before(prev, prev_escaped, key, escaped)) {
                if (reordering_ == nullptr) return nullptr;
                disordered = true;
                open_base = reordering_->open.size();
                reopen_members(begin + 1, p, budget);
            }
            any_escaped |= escaped;
            prev = key;
            prev_escaped = escaped;
            p = key_end + 1;
            if (p == end_ || *p != ':') return nullptr;
            const char* v = ++p;
            p = value(p, budget);
            if (p == nullptr || p == end_) return nullptr;
            const VerbatimMember member{key, std::string_view(v, static_cast<std::size_t>(p - v))};
            if (members) members->push_back(member);
            if (disordered) reordering_->open.push_back(keyed(member));
            if (*p == '}') {
                if (disordered && (any_escaped || !record_reordered(begin, p + 1, open_base))) return nullptr;
                return p + 1;
            }
            if (*p != ',' || ++p == end_) return nullptr;
        }
    }

private:
    // The members in [from, to), already read and found in order, go on
    // the open list when a later key turns out to be out of order.
    [[gnu::noinline]] void reopen_members(const char* from, const char* to, int budget) {
        Recogniser<true> walk(end_);
        while (from < to) {
            const char* key_end = walk.value(from, budget);  // past the closing quote
            const char* value_end = walk.value(key_end + 1, budget);
            reordering_->open.push_back(keyed(VerbatimMember{
                std::string_view(from + 1, static_cast<std::size_t>(key_end - from - 2)),
                std::string_view(key_end + 1, static_cast<std::size_t>(value_end - key_end - 1))}));
            from = value_end + 1;  // past the ','
        }
    }

    // The object [begin, end), valid but for the order of its members (on
    // the open list from `open_base`), which have no escapes in their keys:
    // the members in key order go on record.  False when a key repeats.
    [[gnu::noinline]] bool record_reordered(const char* begin, const char* end, std::size_t open_base) {
        std::vector<KeyedMember>& open = reordering_->open;
        const auto from = open.begin() + static_cast<std::ptrdiff_t>(open_base);
        klov::small_stable_sort(&*from, open.data() + open.size(), key_ref_less<KeyedMember>, 16);
        std::vector<VerbatimMember>& members = reordering_->members;
        const std::size_t first = members.size();
        for (auto it = from; it < open.end(); ++it) {
            if (it != from && it[-1].prefix == it->prefix && it[-1].key == it->key) return false;
            members.push_back(VerbatimMember{it->key, it->value});
        }
        open.resize(open_base);
        reordering_->objects.push_back(Reordered{begin, end, first, members.size() - first});
        return true;
    }

    template <std::size_t N>
    const char* word(const char* p, const char (&w)[N]) const {
        constexpr std::size_t n = N - 1;
        return static_cast<std::size_t>(end_ - p) >= n && std::memcmp(p, w, n) == 0 ? p + n : nullptr;
    }

    // From just after the opening quote to the closing quote.  Only the
    // writer's escapes are accepted: the two-letter ones, and \u00XX in
    // lower case for the other bytes below 0x20.
    const char* string_body(const char* p, bool& escaped) const {
        escaped = false;
        for (;;) {
            unsigned high = 0;
            p = detail::scan_plain<false>(p, end_, high);
            if (p == end_ || *p != '\\') return p != end_ && *p == '"' ? p : nullptr;
            escaped = true;
            if (end_ - p < 2) return nullptr;
            switch (p[1]) {
                case '"': case '\\': case 'b': case 't': case 'n': case 'f': case 'r':
                    p += 2;
                    continue;
                case 'u': {
                    if (end_ - p < 6 || p[2] != '0' || p[3] != '0' || (p[4] != '0' && p[4] != '1')) return nullptr;
                    const int low = hex_value(p[5]);
                    if (low < 0) return nullptr;
                    const int c = (p[4] - '0') * 16 + low;
                    if (c == 0x08 || c == 0x09 || c == 0x0A || c == 0x0C || c == 0x0D) return nullptr;
                    p += 6;
                    continue;
                }
                default:
                    return nullptr;
            }
        }
    }

    // Integers must be of an integer kind (no "-0", nothing out of range);
    // a literal with a fraction or exponent must read back as the double the
    // writer would write in exactly these bytes.
    const char* number(const char* p) const {
        if constexpr (kTrusted) {
            while (p != end_ && (is_digit(*p) || *p == '.' || *p == 'e' || *p == '-' || *p == '+')) ++p;
            return p;
        }
        const char* start = p;
        if (*p == '-') ++p;
        if (p == end_ || !is_digit(*p)) return nullptr;
        const char* digits = p;
        if (*p == '0') {
            ++p;
        } else {
            p = skip_digits(p, end_);
        }
        if (p != end_ && (*p == '.' || *p == 'e' || *p == 'E')) return double_literal(start, p);
        const std::size_t n = static_cast<std::size_t>(p - digits);
        if (start != digits) {
            if (n == 1 && *digits == '0') return nullptr;
            if (n > 19 || (n == 19 && std::memcmp(digits, "9223372036854775808", 19) > 0)) return nullptr;
        } else if (n > 20 || (n == 20 && std::memcmp(digits, "18446744073709551615", 20) > 0)) {
            return nullptr;
        }
        return p;
    }

    // The literal must be the writer's text of the double it reads as.  Up
    // to 15 significant digits need no conversion: in the normal range every
    // decimal that short reads back unchanged, so it is the only, and so the
    // shortest, digit string of its double, and only the layout is checked.
    // `int_end`: where the digits of the integer part end.
    const char* double_literal(const char* start, const char* int_end) const {
        const bool negative = *start == '-';
        const char* int_begin = start + (negative ? 1 : 0);
        const char* p = int_end;
        const int int_len = static_cast<int>(p - int_begin);
        const char* frac_begin = p;
        const bool point = p != end_ && *p == '.';
        if (point) {
            frac_begin = ++p;
            p = skip_digits(p, end_);
        }
        const int frac_len = static_cast<int>(p - frac_begin);
        int exponent = 0;
        bool has_exp = false, exp_written = false;  // the latter: as the writer writes it
        if (p != end_ && (*p == 'e' || *p == 'E')) {
            has_exp = true;
            const bool lower = *p == 'e';
            if (++p == end_) return nullptr;
            const bool exp_negative = *p == '-';
            const bool exp_signed = exp_negative || *p == '+';
            if (exp_signed) ++p;
            const char* e = p;
            while (p != end_ && is_digit(*p) && p - e < 4) exponent = exponent * 10 + (*p++ - '0');
            if (exp_negative) exponent = -exponent;
            exp_written = lower && exp_signed && p != e && *e != '0';
        }
        const std::size_t n = static_cast<std::size_t>(p - start);
        if (n > kMaxText) return nullptr;

        // The significant run: from the first nonzero digit to the last
        // digit.  The writer's is never longer than 17 (its trailing zeros,
        // as in "1000000000000000.0", included).
        std::uint64_t m;
        int run, k, zeros = 0;
        if (*int_begin != '0') {
            run = int_len + frac_len;
            if (run > kMaxRun) return nullptr;
            m = digits_value(int_begin, static_cast<std::size_t>(int_len)) * kPow10[static_cast<std::size_t>(frac_len)] +
                digits_value(frac_begin, static_cast<std::size_t>(frac_len));
            k = int_len - 1 + exponent;
        } else {
            while (zeros < frac_len && frac_begin[zeros] == '0') ++zeros;
            if (zeros == frac_len) {  // zero is written 0.0
                return n == 3 + (negative ? 1u : 0u) && int_len == 1 && frac_len == 1 && !has_exp ? p : nullptr;
            }
            run = frac_len - zeros;
            if (run > kMaxRun) return nullptr;
            m = digits_value(frac_begin + zeros, static_cast<std::size_t>(run));
            k = -(zeros + 1) + exponent;
        }
        int nd = run;
        while (m % 10 == 0) {
            m /= 10;
            --nd;
        }

        const int e10 = k - (nd - 1);
        // Once the digits are known to be the double's shortest, what is
        // left is the layout: plain for exponents -5..15, else d.ddde[+-]k.
        auto laid_out = [&](const char* stop) -> const char* {
            if (k >= -5 && k <= 15) {
                if (has_exp || !point) return nullptr;
                if (k < 0) return int_len == 1 && frac_len == zeros + nd ? stop : nullptr;
                if (nd > k + 1) return frac_len == nd - k - 1 ? stop : nullptr;
                return frac_len == 1 && *frac_begin == '0' ? stop : nullptr;
            }
            if (!exp_written || int_len != 1 || *int_begin == '0') return nullptr;
            return (nd == 1 ? !point : point && frac_len == nd - 1) ? stop : nullptr;
        };
        if (nd <= 15 && k >= -300 && k <= 300) return laid_out(p);
        if (nd == 16 && only_candidate(m, e10)) return laid_out(p);
        if (nd >= 16 && e10 < 0 && e10 >= -19) {
            // Three roundings leave the guess at most two units off.
            const double guess = static_cast<double>(static_cast<std::int64_t>(m)) * kInverse10[-e10];
            if (e10 >= -17 && shortest_in_64_bits(m, -e10, guess)) return laid_out(p);
            if (shortest_by_product(m, -e10, guess)) return laid_out(p);
        }
        double x;
        if (exact(m, e10)) {
            x = exact_value(m, e10);
            if (negative) x = -x;
        } else {
            const auto res = std::from_chars(start, p, x);
            if (res.ec != std::errc() || res.ptr != p || !std::isfinite(x)) return nullptr;
        }
        if (nd >= 16 && nearest_shortest(m, e10, std::fabs(x))) return laid_out(p);
        char text[40];
        return detail::format_double(x, text) == n && same_bytes(text, start, n) ? p : nullptr;
    }

    // m x 10^e10 is read exactly when both factors are exact doubles: one
    // correctly rounded operation.
    static bool exact(std::uint64_t m, int e10) { return m <= (std::uint64_t{1} << 53) && e10 >= -22 && e10 <= 22; }
    static double exact_value(std::uint64_t m, int e10) {
        return e10 >= 0 ? static_cast<double>(m) * kExact10[e10] : static_cast<double>(m) / kExact10[-e10];
    }

    // For n = 16 or 17 digits m x 10^-q (1 <= q <= 19), decided from `guess`,
    // a double within two units in the last place of the one they read as.
    // Let x = M 2^-s be that double.  The digits are x's shortest when
    //   (1) m 10^-q reads as x: |m 10^-q - x| < 2^-s / 2;
    //   (2) m is the n-digit decimal nearest x: |x - m 10^-q| < 10^-q / 2;
    //   (3) neither (n-1)-digit decimal next to m reads as x.
    // Scaled by 2^(s+1) 10^q, (1) and (2) bound one integer,
    // D = 2 m 2^s - 2 M 10^q, by 10^q and by 2^s, and D's sign tells which
    // way a wrong guess is off; (3) is the same test one decimal place up.
    // Ties, the narrower gap below a power of two and anything out of range
    // count as not decided (false).
    static bool shortest_by_product(std::uint64_t m, int q, double guess) {
        std::uint64_t bits;
        std::memcpy(&bits, &guess, sizeof bits);
        const int biased = static_cast<int>((bits >> 52) & 0x7FF);
        const int s = 1075 - biased;  // x = M 2^-s
        if (biased == 0 || s <= 0 || s > 66) return false;
        std::uint64_t big_m = (bits & ((std::uint64_t{1} << 52) - 1)) | (std::uint64_t{1} << 52);
        const Wide ten_q = kPow10Wide[q];
        const Wide target = static_cast<Wide>(m) << (s + 1);
        Wide scaled = static_cast<Wide>(2 * big_m) * static_cast<std::uint64_t>(ten_q);
        Wide near = distance(target, scaled);  // |D|
        for (int step = 0; near >= ten_q; ++step) {  // a wrong guess: rare
            if (step == 2) return false;
            if (target > scaled) {
                ++big_m;
                scaled += 2 * ten_q;
            } else {
                --big_m;
                scaled -= 2 * ten_q;
            }
            near = distance(target, scaled);
        }
        const std::uint64_t binade = std::uint64_t{1} << 52;
        if (big_m <= binade || big_m >= 2 * binade || near >= (Wide{1} << s)) return false;
        const Wide unit = kPow10Wide[q - 1];
        const Wide twice_m = static_cast<Wide>(2 * big_m) * static_cast<std::uint64_t>(unit);
        auto reads_apart = [&](std::uint64_t d) {  // |2 d 2^s - 2 M 10^(q-1)| > 10^(q-1)
            return distance(static_cast<Wide>(d) << (s + 1), twice_m) > unit;
        };
        const std::uint64_t below = m / 10;
        return reads_apart(below) && reads_apart(below + 1);
    }

    // The same decision as shortest_by_product for q <= 17, in 64-bit
    // arithmetic and without jumps.  With D = m 2^s - M 10^q (half the D
    // above), the guess is within a few units, so |D| < 4 10^q < 2^63 and D
    // is exact modulo 2^64.  One correction of the guess is made; a guess
    // still off after it is left undecided.  The shorter neighbours are
    // L = m - r and L + 10 (r = m mod 10, in units of 10^-q), at D - r 2^s
    // and D + (10 - r) 2^s; once 2^s > 10^q they are more than half a unit
    // from x whatever D is.
    static bool shortest_in_64_bits(std::uint64_t m, int q, double guess) {
        std::uint64_t bits;
        std::memcpy(&bits, &guess, sizeof bits);
        const int raw_s = 1075 - static_cast<int>((bits >> 52) & 0x7FF);  // guess = M 2^-s
        const bool in_range = static_cast<unsigned>(raw_s - 1) < 66u;
        const int s = in_range ? raw_s : 1;  // keeps the shifts below defined
        const auto ten_q = static_cast<std::int64_t>(kPow10[static_cast<std::size_t>(q)]);
        const std::int64_t half = ten_q / 2;
        const std::int64_t binade = std::int64_t{1} << 52;
        std::int64_t big_m = static_cast<std::int64_t>(bits & (binade - 1)) | binade;
        const std::uint64_t m_scaled = s < 64 ? m << (s & 63) : 0;  // m 2^s modulo 2^64
        std::int64_t d = static_cast<std::int64_t>(m_scaled - static_cast<std::uint64_t>(big_m) * static_cast<std::uint64_t>(ten_q));
        const std::int64_t adjust = static_cast<std::int64_t>(d > half) - static_cast<std::int64_t>(d < -half);
        big_m += adjust;
        d -= adjust * ten_q;
        const auto near = static_cast<std::uint64_t>(d < 0 ? -d : d);
        const std::uint64_t two_s = s < 63 ? std::uint64_t{1} << (s & 63) : ~std::uint64_t{0};
        // (1) and (2), strictly; M inside its binade, away from the narrower
        // gap below a power of two.
        bool ok = in_range & (2 * near < static_cast<std::uint64_t>(ten_q)) & (2 * near < two_s) & (big_m > binade) &
                  (big_m < 2 * binade);
        // (3); the shift is capped where its result is not used.
        const std::int64_t unit = std::int64_t{1} << (s < 59 ? s : 59);
        const auto r = static_cast<std::int64_t>(m % 10);
        ok &= (two_s > static_cast<std::uint64_t>(ten_q)) | ((d - r * unit < -half) & (d + (10 - r) * unit > half));
        return ok;
    }

    // For 16 digits m x 10^e10 reading as x: they are x's shortest digits
    // when no 15-digit decimal reads as x (it suffices to try the two that
    // bracket m, as the decimals reading as x form an interval around it) and
    // no other 16-digit decimal does (then m is also the nearest).  Decided
    // here without producing x's digits; false also means "not decided".
    static bool only_candidate(std::uint64_t m, int e10) {
        if (!exact(m + 1, e10) || !exact(m / 10 + 1, e10 + 1)) return false;
        const double x = exact_value(m, e10);
        return exact_value(m - 1, e10) != x && exact_value(m + 1, e10) != x && exact_value(m / 10, e10 + 1) != x &&
               exact_value(m / 10 + 1, e10 + 1) != x;
    }

    // For n = 16 or 17 digits m x 10^e10 reading as x > 0: they are x's
    // shortest digits when x lies strictly within half a unit of m (so m is
    // the nearest n-digit decimal, and it reads as x) and neither (n-1)-digit
    // decimal next to it reads as x (so none shorter does).  Exact integer
    // arithmetic settles the first: x = M 2^E, so x vs (m +- 1/2) 10^e10 is
    // M 10^-e10 2^(E+1) vs 2m +- 1.  False also means "not decided".
    static bool nearest_shortest(std::uint64_t m, int e10, double x) {
        if (e10 > 0 || e10 < -22) return false;
        std::uint64_t bits;
        std::memcpy(&bits, &x, sizeof bits);
        const int biased = static_cast<int>((bits >> 52) & 0x7FF);
        if (biased == 0) return false;  // subnormal
        const Wide a = static_cast<Wide>((bits & ((std::uint64_t{1} << 52) - 1)) | (std::uint64_t{1} << 52)) *
                       kPow10Wide[-e10];
        const int shift = biased - 1075 + 1;
        if (!(compare_scaled(a, shift, 2 * m - 1) > 0 && compare_scaled(a, shift, 2 * m + 1) < 0)) return false;
        const std::uint64_t below = m / 10;
        if (!exact(below + 1, e10 + 1)) return false;
        return exact_value(below, e10 + 1) != x && exact_value(below + 1, e10 + 1) != x;
    }

    // |a - b| for a, b < 2^126, without a branch: which of the two is larger
    // is a coin toss here, and a mispredicted jump costs more than the
    // arithmetic.  The sign comes from the difference's top bit, as a
    // comparison would be compiled into a jump.
    static Wide distance(Wide a, Wide b) {
        const Wide d = a - b;
        const auto high = static_cast<std::int64_t>(static_cast<std::uint64_t>(d >> 64));
        const auto top = static_cast<std::uint64_t>(high >> 63);
        const Wide sign = (static_cast<Wide>(top) << 64) | top;
        return (d ^ sign) - sign;
    }

    // The sign of a 2^shift - c.
    static int compare_scaled(Wide a, int shift, std::uint64_t c) {
        const Wide wc = c;
        if (shift >= 0) {
            if (shift >= 64 || (a >> (127 - shift)) != 0) return 1;  // a 2^shift > 2^64 > c
            const Wide v = a << shift;
            return v < wc ? -1 : v > wc ? 1 : 0;
        }
        const int s = -shift;
        if (s >= 128) return -1;  // a < 2^127, so a 2^shift < 1 <= c
        const Wide q = a >> s;
        if (q != wc) return q < wc ? -1 : 1;
        return (a & ((Wide{1} << s) - 1)) != 0 ? 1 : 0;
    }

    KeyedMember keyed(const VerbatimMember& m) const {
        return KeyedMember{key_prefix_within(m.key, end_), m.key, m.value};
    }

    // Keys order by their content; escapes are resolved only when present.
    bool key_before(std::string_view a, bool a_escaped, std::string_view b, bool b_escaped) {
        if constexpr (kTrusted) return true;
        if (!a_escaped && !b_escaped) return bytes_less(a, b);
        left_.clear();
        right_.clear();
        unescape_canonical(a, left_);
        unescape_canonical(b, right_);
        return left_ < right_;
    }

    const char* end_;
    Reordering* reordering_ = nullptr;
    std::string left_, right_;
};

// Writes [from, to) of the text at `out` with the reordered objects in it,
// objects[lo, hi), written with their members in key order; returns where
// the writing ends.  Objects are sorted by position, so the ones inside an
// object follow it, up to its inner_end.  With `in_place`, `out` already
// holds a copy of the text, and the bytes outside those objects are left
// as they are.
char* write_reordered(const char* from, const char* to, const Reordering& r, std::size_t lo, std::size_t hi,
                      char* out, bool in_place = false) {
    auto copy = [&out](const char* a, const char* b) {
        std::memcpy(out, a, static_cast<std::size_t>(b - a));
        out += b - a;
    };
    auto pass = [&](const char* a, const char* b) {  // the bytes between reordered objects
        if (in_place) {
            out += b - a;
        } else {
            copy(a, b);
        }
    };
    const auto by_begin = [](const Reordered& o, const char* at) { return o.begin < at; };
    const auto objects = r.objects.begin();
    while (lo < hi) {
        const Reordered& o = r.objects[lo];
        pass(from, o.begin);
        *out++ = '{';
        for (std::size_t i = 0; i < o.count; ++i) {
            const VerbatimMember& m = r.members[o.first + i];
            const char* member = m.key.data() - 1;
            const char* member_end = m.value.data() + m.value.size();
            if (i != 0) *out++ = ',';
            if (lo + 1 == o.inner_end) {
                copy(member, member_end);
                continue;
            }
            const auto inner_lo = std::lower_bound(objects + static_cast<std::ptrdiff_t>(lo + 1),
                                                   objects + static_cast<std::ptrdiff_t>(o.inner_end), member, by_begin);
            const auto inner_hi = std::lower_bound(inner_lo, objects + static_cast<std::ptrdiff_t>(o.inner_end),
                                                   member_end, by_begin);
            out = write_reordered(member, member_end, r, static_cast<std::size_t>(inner_lo - objects),
                                  static_cast<std::size_t>(inner_hi - objects), out);
        }
        *out++ = '}';
        from = o.end;
        lo = o.inner_end;
    }
    pass(from, to);
    return out;
}

// Splits written `text`, which must open with `open`, by `read` (the
// trusted walk of an object or an array); `out` is left as it was on failure.
template <class Item, class Read>
bool split(std::string_view text, char open, std::vector<Item>& out, Read read) {
    if (text.empty() || text.front() != open) return false;
    const std::size_t kept = out.size();
    const char* end = text.data() + text.size();
    Recogniser<true> r(end);
    const char* stop = read(r, text.data(), &out);
    if (stop != nullptr && stop == end) return true;
    out.resize(kept);
    return false;
}

}  // namespace

bool is_canonical_text(std::string_view text) {
    const char* end = text.data() + text.size();
    Recogniser<false> r(end);
    const char* stop = r.value(text.data(), kBudget);
    return stop != nullptr && stop == end;
}

namespace {

// The top-level walk of recognise_canonical, by `read`; once it succeeds
// with members out of order, `out` gets the text with them moved and
// `placed` is told where that text begins and how the objects were ordered.
template <class Read, class Placed>
bool recognise(std::string_view text, std::string& out, bool& reordered, Read read, Placed placed) {
    const char* end = text.data() + text.size();
    Reordering reordering;
    Recogniser<false> r(end, &reordering);
    const char* stop = read(r);
    if (stop == nullptr || stop != end) return false;
    reordered = !reordering.objects.empty();
    if (!reordered) return true;
    auto& objects = reordering.objects;
    const auto by_begin = [](const Reordered& a, const Reordered& b) { return a.begin < b.begin; };
    if (!std::is_sorted(objects.begin(), objects.end(), by_begin)) std::sort(objects.begin(), objects.end(), by_begin);
    std::vector<std::size_t> around;  // the objects that contain the current one
    for (std::size_t i = 0; i < objects.size(); ++i) {
        for (; !around.empty() && objects[around.back()].end <= objects[i].begin; around.pop_back()) {
            objects[around.back()].inner_end = i;
        }
        around.push_back(i);
    }
    for (const std::size_t i : around) objects[i].inner_end = objects.size();
    const std::size_t at = out.size();
    out.append(text);
    write_reordered(text.data(), end, reordering, 0, objects.size(), out.data() + at, true);
    placed(static_cast<const std::string&>(out).data() + at, reordering);
    return true;
}

}  // namespace

bool recognise_canonical(std::string_view text, std::string& out, bool& reordered) {
    return recognise(
        text, out, reordered, [&](Recogniser<false>& r) { return r.value(text.data(), kBudget); },
        [](const char*, const Reordering&) {});
}

bool recognise_canonical(std::string_view text, std::string& out, bool& reordered,
                         std::vector<VerbatimMember>& members) {
    if (text.empty() || text.front() != '{') return false;
    const std::size_t kept = members.size();
    const bool ok = recognise(
        text, out, reordered, [&](Recogniser<false>& r) { return r.object(text.data(), kBudget, &members); },
        [&](const char* base, const Reordering& reordering) {
            // Moving members leaves every object as long as it was, so the
            // outermost members stand at the offsets they have in the text,
            // or, when the outermost object itself was reordered, one after
            // the other in key order.
            const Reordered& first = reordering.objects.front();
            const bool outer_reordered = first.begin == text.data();
            if (outer_reordered) {
                const auto from = reordering.members.begin() + static_cast<std::ptrdiff_t>(first.first);
                std::copy(from, from + static_cast<std::ptrdiff_t>(first.count),
                          members.begin() + static_cast<std::ptrdiff_t>(kept));
            }
            std::size_t offset = 1;  // past the '{'
            for (auto m = members.begin() + static_cast<std::ptrdiff_t>(kept); m != members.end(); ++m) {
                const char* member = m->key.data() - 1;
                const char* at = outer_reordered ? base + offset : base + (member - text.data());
                offset += static_cast<std::size_t>(m->value.data() + m->value.size() - member) + 1;
                *m = VerbatimMember{std::string_view(at + 1, m->key.size()),
                                    std::string_view(at + (m->value.data() - member), m->value.size())};
            }
        });
    if (!ok) members.resize(kept);
    return ok;
}

bool recognise_canonical(std::string_view text, std::string& out, bool& reordered,
                         std::vector<std::string_view>& elements) {
    if (text.empty() || text.front() != '[') return false;
    const std::size_t kept = elements.size();
    const bool ok = recognise(
        text, out, reordered, [&](Recogniser<false>& r) { return r.array(text.data(), kBudget, &elements); },
        [&](const char* base, const Reordering&) {
            // Arrays are never reordered and objects keep their length, so
            // every element stands where it stood.
            for (auto e = elements.begin() + static_cast<std::ptrdiff_t>(kept); e != elements.end(); ++e) {
                *e = std::string_view(base + (e->data() - text.data()), e->size());
            }
        });
    if (!ok) elements.resize(kept);
    return ok;
}

bool split_written_object(std::string_view text, std::vector<VerbatimMember>& members) {
    return split(text, '{', members, [](Recogniser<true>& r, const char* p, auto* items) {
        return r.object(p, kBudget, items);
    });
}

bool split_written_array(std::string_view text, std::vector<std::string_view>& elements) {
    return split(text, '[', elements, [](Recogniser<true>& r, const char* p, auto* items) {
        return r.array(p, kBudget, items);
    });
}

void unescape_canonical(std::string_view body, std::string& out) {
    std::size_t i = 0;
    while (i < body.size()) {
        const std::size_t slash = body.find('\\', i);
        if (slash == std::string_view::npos) break;
        out.append(body.data() + i, slash - i);
        const char e = body[slash + 1];
        switch (e) {
            case 'b': out.push_back('\b'); break;
            case 't': out.push_back('\t'); break;
            case 'n': out.push_back('\n'); break;
            case 'f': out.push_back('\f'); break;
            case 'r': out.push_back('\r'); break;
            case 'u':
                out.push_back(static_cast<char>((body[slash + 4] - '0') * 16 + hex_value(body[slash + 5])));
                i = slash + 6;
                continue;
            default: out.push_back(e); break;  // '"' or '\\'
        }
        i = slash + 2;
    }
    out.append(body.data() + i, body.size() - i);
}

}  // namespace klov::json
