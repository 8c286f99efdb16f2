// Words in memory order, byte swaps and 64-bit products, with portable paths.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

#include "common/compiler.hpp"

#if !defined(KLOV_PORTABLE) && defined(_MSC_VER) && !defined(__clang__)
#include <intrin.h>
#include <stdlib.h>
#endif

namespace klov {

constexpr std::uint64_t byteswap64_portable(std::uint64_t x) {
    x = (x & 0x00000000FFFFFFFFull) << 32 | (x >> 32);
    x = (x & 0x0000FFFF0000FFFFull) << 16 | ((x >> 16) & 0x0000FFFF0000FFFFull);
    return (x & 0x00FF00FF00FF00FFull) << 8 | ((x >> 8) & 0x00FF00FF00FF00FFull);
}

inline std::uint64_t byteswap64(std::uint64_t x) {
#if !defined(KLOV_PORTABLE) && (defined(__GNUC__) || defined(__clang__))
    return __builtin_bswap64(x);
#elif !defined(KLOV_PORTABLE) && defined(_MSC_VER)
    return _byteswap_uint64(x);
#else
    return byteswap64_portable(x);
#endif
}

// The eight bytes at p as a big-endian number: the first byte most
// significant, so that such words order like the bytes they hold.
inline std::uint64_t load_big_endian64(const char* p) {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    if constexpr (std::endian::native == std::endian::little) w = byteswap64(w);
    return w;
}

// The eight bytes at p as a little-endian number: the first byte in the low
// bits, as the word-at-a-time scans expect.
inline std::uint64_t load_little_endian64(const void* p) {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    if constexpr (std::endian::native == std::endian::big) w = byteswap64(w);
    return w;
}

// The high and low halves of the full product a * b.
inline std::uint64_t multiply_high(std::uint64_t a, std::uint64_t b, std::uint64_t& low) {
#if !defined(KLOV_PORTABLE) && defined(__SIZEOF_INT128__)
    __extension__ const unsigned __int128 r = static_cast<unsigned __int128>(a) * b;
    low = static_cast<std::uint64_t>(r);
    return static_cast<std::uint64_t>(r >> 64);
#elif !defined(KLOV_PORTABLE) && defined(_MSC_VER) && defined(_M_X64)
    std::uint64_t high;
    low = _umul128(a, b, &high);
    return high;
#else
    const std::uint64_t a_lo = a & 0xFFFFFFFFu, a_hi = a >> 32;
    const std::uint64_t b_lo = b & 0xFFFFFFFFu, b_hi = b >> 32;
    const std::uint64_t ll = a_lo * b_lo, lh = a_lo * b_hi, hl = a_hi * b_lo, hh = a_hi * b_hi;
    const std::uint64_t mid = (ll >> 32) + (lh & 0xFFFFFFFFu) + (hl & 0xFFFFFFFFu);
    low = (mid << 32) | (ll & 0xFFFFFFFFu);
    return hh + (lh >> 32) + (hl >> 32) + (mid >> 32);
#endif
}

}  // namespace klov
