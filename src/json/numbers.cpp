// Numbers as the writer writes them: the digits of integers, the shortest
// round-trip digits of doubles and their layout, and the proof that a double
// literal is already in exactly that form (which lets canonical text pass
// through without converting any of its numbers).
#include "json/numbers.hpp"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "common/int128.hpp"
#include "json/parser_impl.hpp"
#include "json/read_double.hpp"
#include "json/scan.hpp"

namespace klov::json::detail {

namespace {

using Wide = klov::uint128;

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

namespace {

// A double literal's significant run, from its first nonzero digit to its
// last digit, is never longer in the writer's text ("1000000000000000.0"
// included).
constexpr int kMaxRun = 17;

constexpr auto& kPow10 = detail::kPow10u64;

// 10^-0 .. 10^-22, each the double nearest.
constexpr double kInverse10[23] = {1e-0,  1e-1,  1e-2,  1e-3,  1e-4,  1e-5,  1e-6,  1e-7,  1e-8,  1e-9,  1e-10, 1e-11,
                                   1e-12, 1e-13, 1e-14, 1e-15, 1e-16, 1e-17, 1e-18, 1e-19, 1e-20, 1e-21, 1e-22};

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

// The sign of a 2^shift - c.
int compare_scaled(Wide a, int shift, std::uint64_t c) {
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

// m x 10^e10 is read exactly when both factors are exact doubles: one
// correctly rounded operation.
bool exact(std::uint64_t m, int e10) { return m <= (std::uint64_t{1} << 53) && e10 >= -22 && e10 <= 22; }
double exact_value(std::uint64_t m, int e10) {
    return e10 >= 0 ? static_cast<double>(m) * kExact10[e10] : static_cast<double>(m) / kExact10[-e10];
}

// 5^0 .. 5^22.
constexpr auto kPow5 = [] {
    struct Table {
        std::uint64_t v[23];
        constexpr std::uint64_t operator[](int i) const { return v[i]; }
    } t{};
    std::uint64_t p = 1;
    for (int i = 0; i < 23; ++i) {
        t.v[i] = p;
        p *= 5;
    }
    return t;
}();

// For n = 16 or 17 digits m x 10^-q (1 <= q <= 22), decided from `guess`,
// a double within two units in the last place of the one they read as,
// in 64-bit arithmetic and without jumps.  Let x = M 2^-s be that double.
// The digits are x's shortest when
//   (1) m 10^-q reads as x: |m 10^-q - x| < 2^-s / 2;
//   (2) m is the n-digit decimal nearest x: |x - m 10^-q| < 10^-q / 2;
//   (3) neither (n-1)-digit decimal next to m reads as x.
// Scaled by 2^(s+1) 10^q, (1) and (2) bound D = 2 m 2^s - 2 M 10^q by
// 10^q and by 2^s.  As 10^q = 2^q 5^q and s >= q wherever n digits can be
// this close to a double, all of it divides by 2^q: with t = s - q,
// E = m 2^(t+1) - 2 M 5^q, |E| < 5^q and |E| < 2^t.  A guess off by u
// units moves E by 2 u 5^q, so |E| < 5^(q+1) < 2^63 before correcting and
// E is exact modulo 2^64; one step beyond 5^q and one more beyond 3 5^q
// bring the guess home.  (t stays below 56 for any such m and q.)  The
// shorter neighbours are L = m - r and L + 10 (r = m mod 10), at
// E - r 2^(t+1) and E + (10 - r) 2^(t+1); once 2^t > 5^q they are more than
// half a unit from x whatever E is.  Ties, the narrower gap below a power
// of two and anything out of range count as not decided (false).
bool shortest_in_64_bits(std::uint64_t m, int q, double guess) {
    // Differences are taken modulo 2^64 and read as signed: exact where
    // the reasoning above holds, harmless where the result is not used.
    const auto diff = [](std::uint64_t a, std::uint64_t b) { return static_cast<std::int64_t>(a - b); };
    std::uint64_t bits;
    std::memcpy(&bits, &guess, sizeof bits);
    const int raw_t = 1075 - static_cast<int>((bits >> 52) & 0x7FF) - q;  // guess = M 2^-(t+q)
    const bool in_range = static_cast<unsigned>(raw_t) < 56u;
    const int t = in_range ? raw_t : 0;  // keeps the shifts below defined
    const std::uint64_t five_q = kPow5[q];
    const std::int64_t bound = static_cast<std::int64_t>(five_q);
    const std::uint64_t binade = std::uint64_t{1} << 52;
    std::uint64_t big_m = (bits & (binade - 1)) | binade;
    const std::uint64_t unit = std::uint64_t{1} << (t + 1);
    std::int64_t e = diff(m * unit, 2 * big_m * five_q);
    const std::uint64_t adjust = static_cast<std::uint64_t>(e > bound) + static_cast<std::uint64_t>(e > 3 * bound) -
                                 static_cast<std::uint64_t>(e < -bound) - static_cast<std::uint64_t>(e < -3 * bound);
    big_m += adjust;
    e = diff(static_cast<std::uint64_t>(e), adjust * 2 * five_q);
    const std::uint64_t near = e < 0 ? 0 - static_cast<std::uint64_t>(e) : static_cast<std::uint64_t>(e);
    const std::uint64_t two_t = std::uint64_t{1} << t;
    // (1) and (2), strictly; M inside its binade, away from the narrower
    // gap below a power of two.
    bool ok = in_range & (near < five_q) & (near < two_t) & (big_m > binade) & (big_m < 2 * binade);
    // (3)
    const std::uint64_t r = m % 10;
    const std::int64_t below = diff(static_cast<std::uint64_t>(e), r * unit);
    const std::int64_t above = diff(static_cast<std::uint64_t>(e) + (10 - r) * unit, 0);
    ok &= (two_t > five_q) | ((below < -bound) & (above > bound));
    return ok;
}

// For 16 digits m x 10^e10 reading as x: they are x's shortest digits
// when no 15-digit decimal reads as x (it suffices to try the two that
// bracket m, as the decimals reading as x form an interval around it) and
// no other 16-digit decimal does (then m is also the nearest).  Decided
// here without producing x's digits; false also means "not decided".
bool only_candidate(std::uint64_t m, int e10) {
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
bool nearest_shortest(std::uint64_t m, int e10, double x) {
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

// Whether the digits m x 10^e10 (nd of them, no trailing zeros) of the
// literal [start, end), laid out as the writer lays them out, are the
// shortest digits of the double it reads as: the tests that need a
// division or a conversion, out of the way of the common ones.
KLOV_NOINLINE bool shortest_by_conversion(const char* start, const char* end, std::uint64_t m, int nd, int e10) {
    // Each test only ever says yes for the shortest digits, so the cheapest
    // that applies goes first.
    if (nd == 16 && only_candidate(m, e10)) return true;
    const bool negative = *start == '-';
    double x;
    if (exact(m, e10)) {
        x = exact_value(m, e10);
        if (negative) x = -x;
    } else {
        if (!read_double(start, end, x)) return false;
    }
    if (nd >= 16 && nearest_shortest(m, e10, std::fabs(x))) return true;
    char text[40];
    const auto n = static_cast<std::size_t>(end - start);
    return detail::format_double(x, text) == n && same_bytes(text, start, n);
}

}  // namespace

// The double literal must be the writer's text of the double it reads as.  Up
// to 15 significant digits need no conversion: in the normal range every
// decimal that short reads back unchanged, so it is the only, and so the
// shortest, digit string of its double, and only the layout is checked.
// `int_end`: where the digits of the integer part end.
const char* written_double_end(const char* start, const char* int_end, const char* end) {
    const bool negative = *start == '-';
    const char* int_begin = start + (negative ? 1 : 0);
    const char* p = int_end;
    const int int_len = static_cast<int>(p - int_begin);
    const char* frac_begin = p;
    const bool point = p != end && *p == '.';
    if (point) {
        frac_begin = ++p;
        p = skip_digits(p, end);
    }
    const int frac_len = static_cast<int>(p - frac_begin);
    int exponent = 0;
    bool has_exp = false, exp_written = false;  // the latter: as the writer writes it
    if (p != end && (*p == 'e' || *p == 'E')) {
        has_exp = true;
        const bool lower = *p == 'e';
        if (++p == end) return nullptr;
        const bool exp_negative = *p == '-';
        const bool exp_signed = exp_negative || *p == '+';
        if (exp_signed) ++p;
        const char* e = p;
        while (p != end && is_digit(*p) && p - e < 4) exponent = exponent * 10 + (*p++ - '0');
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
    // The layout of the digits: plain for exponents -5..15, else d.ddde[+-]k.
    // Then whether they are the double's shortest.
    const auto laid_out = [&] {
        if (k >= -5 && k <= 15) {
            if (has_exp || !point) return false;
            if (k < 0) return int_len == 1 && frac_len == zeros + nd;
            if (nd > k + 1) return frac_len == nd - k - 1;
            return frac_len == 1 && *frac_begin == '0';
        }
        if (!exp_written || int_len != 1 || *int_begin == '0') return false;
        return nd == 1 ? !point : point && frac_len == nd - 1;
    };
    if (!laid_out()) return nullptr;
    if (nd <= 15 && k >= -300 && k <= 300) return p;
    // Three roundings leave the guess at most two units off.
    if (nd >= 16 && e10 < 0 && e10 >= -22 &&
        shortest_in_64_bits(m, -e10, static_cast<double>(static_cast<std::int64_t>(m)) * kInverse10[-e10])) {
        return p;
    }
    return shortest_by_conversion(start, p, m, nd, e10) ? p : nullptr;
}

}  // namespace klov::json::detail
