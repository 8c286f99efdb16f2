// Byte-level helpers shared by the parser and the writer: character classes,
// the string-body scan and UTF-8 validation.  Internal to src/json.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include <bit>

#include "common/bits.hpp"
#include "common/compiler.hpp"

#if defined(KLOV_HAVE_SSE2)
#include <emmintrin.h>
#endif

namespace klov::json::detail {

using klov::load_little_endian64;

// Bytes that end a run of plain string content: '"', '\\' and everything
// below 0x20.  The same set is special for the parser (end, escape, refused
// control byte) and for the writer (escaped on output).
struct StringClass {
    bool special[256];
    constexpr StringClass() : special() {
        for (int c = 0; c < 0x20; ++c) special[c] = true;
        special[static_cast<unsigned char>('"')] = true;
        special[static_cast<unsigned char>('\\')] = true;
    }
};
inline constexpr StringClass kStringClass{};

inline bool is_special(unsigned char c) { return kStringClass.special[c]; }

// Lower-case hex digits, the only ones the writer and the messages write.
inline constexpr char kHexDigits[] = "0123456789abcdef";

inline bool is_digit(char c) { return static_cast<unsigned char>(c - '0') < 10; }

// 10^0 .. 10^19, all of them below 2^64.
inline constexpr auto kPow10u64 = [] {
    struct Table {
        std::uint64_t v[20];
        constexpr std::uint64_t operator[](std::size_t i) const { return v[i]; }
    } t{};
    std::uint64_t p = 1;
    for (auto& x : t.v) {
        x = p;
        p *= 10;
    }
    return t;
}();

// The value of n <= 19 decimal digits, eight at a time where it can: one
// long chain of multiply-adds per digit is what a number costs otherwise.
inline std::uint64_t digits_value(const char* p, std::size_t n) {
    std::uint64_t m = 0;
    for (; n >= 8; n -= 8, p += 8) {
        std::uint64_t v = load_little_endian64(p);
        v -= 0x3030303030303030ull;  // eight digits, first in the low byte
        v = v * 10 + (v >> 8);       // pairs
        v = (((v & 0x000000FF000000FFull) * (100 + (1000000ull << 32))) +
             (((v >> 16) & 0x000000FF000000FFull) * (1 + (10000ull << 32)))) >>
            32;
        m = m * 100000000 + v;
    }
    for (; n > 0; --n) m = m * 10 + static_cast<unsigned>(*p++ - '0');
    return m;
}

// The first byte at or after p that is not a decimal digit, or end; eight
// bytes at a time while they last.
KLOV_ALWAYS_INLINE const char* skip_digits(const char* p, const char* end) {
    constexpr std::uint64_t kLow7 = 0x7F7F7F7F7F7F7F7Full;
    constexpr std::uint64_t kHigh = 0x8080808080808080ull;
    while (end - p >= 8) {
        std::uint64_t v = load_little_endian64(p);
        // Digits become 0..9; a byte is flagged when it is 10 or more (the
        // sum cannot carry into the next byte) or had its high bit set.
        const std::uint64_t x = v ^ 0x3030303030303030ull;
        const std::uint64_t flagged = (((x & kLow7) + 0x7676767676767676ull) | x) & kHigh;
        if (flagged != 0) return p + (std::countr_zero(flagged) >> 3);
        p += 8;
    }
    while (p != end && is_digit(*p)) ++p;
    return p;
}

#if defined(KLOV_HAVE_SSE2)
// The special bytes among the 16 at p, one bit each.
inline unsigned special_mask16(__m128i v) {
    __m128i m = _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('"')), _mm_cmpeq_epi8(v, _mm_set1_epi8('\\')));
    // Unsigned v <= 0x1F exactly when min(v, 0x1F) == v.
    const __m128i ctl = _mm_set1_epi8(0x1F);
    m = _mm_or_si128(m, _mm_cmpeq_epi8(_mm_min_epu8(v, ctl), v));
    return static_cast<unsigned>(_mm_movemask_epi8(m));
}

inline __m128i load16(const char* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
#endif

// The first byte at or after p that is not JSON whitespace (space, tab, LF,
// CR), or end.  Pretty-printed text has runs of indentation, taken 16 (or,
// without SSE2, eight spaces) at a time.
KLOV_NOINLINE inline const char* skip_whitespace(const char* p, const char* end) {
    auto blank = [](char c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; };
#if defined(KLOV_HAVE_SSE2)
    while (end - p >= 16) {
        const __m128i v = load16(p);
        const __m128i space_or_lf =
            _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8(' ')), _mm_cmpeq_epi8(v, _mm_set1_epi8('\n')));
        const __m128i cr_or_tab =
            _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('\r')), _mm_cmpeq_epi8(v, _mm_set1_epi8('\t')));
        const __m128i ws = _mm_or_si128(space_or_lf, cr_or_tab);
        const unsigned other = ~static_cast<unsigned>(_mm_movemask_epi8(ws)) & 0xFFFFu;
        if (other != 0) return p + std::countr_zero(other);
        p += 16;
    }
#else
    constexpr std::uint64_t kSpaces = 0x2020202020202020ull;
    while (end - p >= 8 && load_little_endian64(p) == kSpaces) p += 8;
#endif
    while (p != end && blank(*p)) ++p;
    return p;
}

#if defined(KLOV_HAVE_SSE2)
// One look of scan_plain at the 16 bytes at p: true, with p at the special
// byte, when one is among them; otherwise p moves past them.
template <bool kTrackHigh>
KLOV_ALWAYS_INLINE bool plain_step16(const char*& p, unsigned& high) {
    const __m128i v = load16(p);
    const unsigned mask = special_mask16(v);
    if (mask != 0) {
        const unsigned at = static_cast<unsigned>(std::countr_zero(mask));
        if constexpr (kTrackHigh) {
            // Only the bytes before the stop count.
            high |= static_cast<unsigned>(_mm_movemask_epi8(v)) & ((1u << at) - 1u);
        }
        p += at;
        return true;
    }
    if constexpr (kTrackHigh) high |= static_cast<unsigned>(_mm_movemask_epi8(v));
    p += 16;
    return false;
}
#endif

// scan_plain (below) after its first look.
template <bool kTrackHigh>
KLOV_NOINLINE inline const char* scan_plain_rest(const char* p, const char* end, unsigned& high) {
#if defined(KLOV_HAVE_SSE2)
    if constexpr (!kTrackHigh) {
        // Past the first 16 bytes, 64 bytes per step, as one mask: the step
        // count, and so the jump that ends the loop, is then the same for
        // most strings and well predicted, where 16-byte steps would end at
        // a different count for every string of text.
        while (end - p >= 64) {
            const std::uint64_t mask = special_mask16(load16(p)) |
                                       (std::uint64_t{special_mask16(load16(p + 16))} << 16) |
                                       (std::uint64_t{special_mask16(load16(p + 32))} << 32) |
                                       (std::uint64_t{special_mask16(load16(p + 48))} << 48);
            if (mask != 0) return p + std::countr_zero(mask);
            p += 64;
        }
    }
    while (end - p >= 16) {
        if (plain_step16<kTrackHigh>(p, high)) return p;
    }
#endif
    // Eight bytes at a time in a 64-bit word (the whole scan without SSE2,
    // the tail with it).
    constexpr std::uint64_t kOnes = 0x0101010101010101ull;
    constexpr std::uint64_t kHigh = 0x8080808080808080ull;
    while (end - p >= 8) {
        std::uint64_t w;
        std::memcpy(&w, p, 8);
        std::uint64_t q = w ^ (kOnes * '"');
        std::uint64_t b = w ^ (kOnes * '\\');
        // The lowest lane that is zero after an xor, or below 0x20, gets its
        // high bit set (lanes >= 0x80 are masked off by ~w and never match);
        // lanes above it may be flagged spuriously, so the exact byte is
        // found by the loop below.
        std::uint64_t t = ((q - kOnes) | (b - kOnes) | (w - kOnes * 0x20)) & ~w & kHigh;
        if (t != 0) break;
        if constexpr (kTrackHigh) high |= (w & kHigh) != 0;
        p += 8;
    }
    while (p < end && !is_special(static_cast<unsigned char>(*p))) {
        if constexpr (kTrackHigh) high |= static_cast<unsigned char>(*p) & 0x80u;
        ++p;
    }
    return p;
}

// Returns the first special byte in [p, end), or end.  When kTrackHigh is set,
// `high` is or-ed with a nonzero value if any byte passed over is >= 0x80, so
// the caller can skip UTF-8 validation of pure-ASCII strings.
template <bool kTrackHigh>
KLOV_ALWAYS_INLINE const char* scan_plain(const char* p, const char* end, unsigned& high) {
#if defined(KLOV_HAVE_SSE2)
    // The first 16 bytes, where short strings (most keys and words) end,
    // without a call.
    if (end - p >= 16 && plain_step16<kTrackHigh>(p, high)) return p;
#endif
    return scan_plain_rest<kTrackHigh>(p, end, high);
}

// True when [p, p+n) is well-formed UTF-8: no overlong forms, no surrogates,
// nothing above U+10FFFF.
[[nodiscard]] inline bool valid_utf8(const unsigned char* p, std::size_t n) {
    const unsigned char* end = p + n;
    while (p < end) {
        if (end - p >= 8) {
            std::uint64_t w;
            std::memcpy(&w, p, 8);
            if ((w & 0x8080808080808080ull) == 0) {
                p += 8;
                continue;
            }
        }
        unsigned c = *p;
        if (c < 0x80) {
            ++p;
            continue;
        }
        std::size_t left = static_cast<std::size_t>(end - p);
        if (c >= 0xC2 && c <= 0xDF) {
            if (left < 2 || (p[1] & 0xC0) != 0x80) return false;
            p += 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            if (left < 3) return false;
            unsigned c1 = p[1];
            unsigned lo = c == 0xE0 ? 0xA0 : 0x80;
            unsigned hi = c == 0xED ? 0x9F : 0xBF;
            if (c1 < lo || c1 > hi || (p[2] & 0xC0) != 0x80) return false;
            p += 3;
        } else if (c >= 0xF0 && c <= 0xF4) {
            if (left < 4) return false;
            unsigned c1 = p[1];
            unsigned lo = c == 0xF0 ? 0x90 : 0x80;
            unsigned hi = c == 0xF4 ? 0x8F : 0xBF;
            if (c1 < lo || c1 > hi || (p[2] & 0xC0) != 0x80 || (p[3] & 0xC0) != 0x80) return false;
            p += 4;
        } else {
            return false;
        }
    }
    return true;
}

}  // namespace klov::json::detail
