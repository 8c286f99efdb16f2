// An unsigned 128-bit integer, for exact products of 64-bit operands: the
// compiler's own type where it has one, otherwise two 64-bit halves with the
// operators the exact decimal checks use.  Arithmetic wraps modulo 2^128, as
// the built-in type's does.
#pragma once

#include <cstdint>

#include "common/compiler.hpp"

namespace klov {

#if defined(__SIZEOF_INT128__) && !defined(KLOV_PORTABLE)

__extension__ typedef unsigned __int128 uint128;

#else

class uint128 {
public:
    constexpr uint128() = default;
    constexpr uint128(std::uint64_t v) : hi_(0), lo_(v) {}  // NOLINT: converts like the built-in type
    constexpr uint128(int v) : hi_(v < 0 ? ~std::uint64_t{0} : 0), lo_(static_cast<std::uint64_t>(v)) {}

    constexpr explicit operator std::uint64_t() const { return lo_; }
    constexpr explicit operator std::int64_t() const { return static_cast<std::int64_t>(lo_); }

    friend constexpr uint128 operator+(uint128 a, uint128 b) {
        const std::uint64_t lo = a.lo_ + b.lo_;
        return uint128(a.hi_ + b.hi_ + (lo < a.lo_ ? 1 : 0), lo);
    }
    friend constexpr uint128 operator-(uint128 a, uint128 b) {
        return uint128(a.hi_ - b.hi_ - (a.lo_ < b.lo_ ? 1 : 0), a.lo_ - b.lo_);
    }
    friend constexpr uint128 operator*(uint128 a, uint128 b) {
        uint128 r = product(a.lo_, b.lo_);
        r.hi_ += a.hi_ * b.lo_ + a.lo_ * b.hi_;
        return r;
    }
    friend constexpr uint128 operator&(uint128 a, uint128 b) { return uint128(a.hi_ & b.hi_, a.lo_ & b.lo_); }
    friend constexpr uint128 operator|(uint128 a, uint128 b) { return uint128(a.hi_ | b.hi_, a.lo_ | b.lo_); }
    friend constexpr uint128 operator^(uint128 a, uint128 b) { return uint128(a.hi_ ^ b.hi_, a.lo_ ^ b.lo_); }
    friend constexpr uint128 operator<<(uint128 a, int s) {
        if (s == 0) return a;
        if (s >= 64) return uint128(a.lo_ << (s - 64), 0);
        return uint128((a.hi_ << s) | (a.lo_ >> (64 - s)), a.lo_ << s);
    }
    friend constexpr uint128 operator>>(uint128 a, int s) {
        if (s == 0) return a;
        if (s >= 64) return uint128(0, a.hi_ >> (s - 64));
        return uint128(a.hi_ >> s, (a.lo_ >> s) | (a.hi_ << (64 - s)));
    }
    friend constexpr bool operator==(uint128 a, uint128 b) { return a.hi_ == b.hi_ && a.lo_ == b.lo_; }
    friend constexpr bool operator<(uint128 a, uint128 b) { return a.hi_ != b.hi_ ? a.hi_ < b.hi_ : a.lo_ < b.lo_; }
    friend constexpr bool operator>(uint128 a, uint128 b) { return b < a; }
    friend constexpr bool operator<=(uint128 a, uint128 b) { return !(b < a); }
    friend constexpr bool operator>=(uint128 a, uint128 b) { return !(a < b); }

    constexpr uint128& operator+=(uint128 b) { return *this = *this + b; }
    constexpr uint128& operator-=(uint128 b) { return *this = *this - b; }
    constexpr uint128& operator*=(uint128 b) { return *this = *this * b; }

private:
    constexpr uint128(std::uint64_t hi, std::uint64_t lo) : hi_(hi), lo_(lo) {}

    // The full product of two 64-bit halves, from 32-bit pieces.
    static constexpr uint128 product(std::uint64_t a, std::uint64_t b) {
        const std::uint64_t a_lo = a & 0xFFFFFFFFu, a_hi = a >> 32;
        const std::uint64_t b_lo = b & 0xFFFFFFFFu, b_hi = b >> 32;
        const std::uint64_t ll = a_lo * b_lo, lh = a_lo * b_hi, hl = a_hi * b_lo, hh = a_hi * b_hi;
        const std::uint64_t mid = (ll >> 32) + (lh & 0xFFFFFFFFu) + (hl & 0xFFFFFFFFu);
        return uint128(hh + (lh >> 32) + (hl >> 32) + (mid >> 32), (mid << 32) | (ll & 0xFFFFFFFFu));
    }

    std::uint64_t hi_ = 0;
    std::uint64_t lo_ = 0;
};

#endif

}  // namespace klov
