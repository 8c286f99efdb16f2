// Ordering by unsigned bytes, and the small sorts, shared by every place that
// orders keys or names: the canonical writer, the recogniser of canonical
// text, the superstep planner and the ranking of scores.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "common/bits.hpp"

namespace klov {

// Bytes [offset, offset + 8) of `key` as a big-endian number, zeros past the
// key's end.  Such prefixes order like the bytes they hold, so unequal
// prefixes decide the order of two keys and only equal ones need the full
// comparison; most comparisons while sorting become integer compares on data
// at hand.
inline std::uint64_t key_prefix(std::string_view key, std::size_t offset = 0) {
    if (key.size() >= offset + 8) return load_big_endian64(key.data() + offset);
    char b[8] = {};
    if (key.size() > offset) std::memcpy(b, key.data() + offset, key.size() - offset);
    return load_big_endian64(b);
}

// key_prefix(key) for a key inside a buffer that ends at `end`: when eight
// bytes are readable from the key's start, one load and a mask.
inline std::uint64_t key_prefix_within(std::string_view key, const char* end) {
    if (end - key.data() < 8) return key_prefix(key);
    const std::uint64_t w = load_big_endian64(key.data());
    if (key.size() >= 8) return w;
    return key.empty() ? 0 : w & (~std::uint64_t{0} << (8 * (8 - key.size())));
}

// Unsigned-byte order, a proper prefix first; eight bytes per step, since
// sibling keys tend to share long prefixes ("channel_017", "channel_018").
[[nodiscard]] inline bool bytes_less(std::string_view a, std::string_view b) {
    const std::size_t n = a.size() < b.size() ? a.size() : b.size();
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const std::uint64_t x = load_big_endian64(a.data() + i);
        const std::uint64_t y = load_big_endian64(b.data() + i);
        if (x != y) return x < y;
    }
    for (; i < n; ++i) {
        if (a[i] != b[i]) return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[i]);
    }
    return a.size() < b.size();
}

// Key order of records that carry `prefix` (key_prefix of their key) and
// `key`.
template <class Ref>
[[nodiscard]] inline bool key_ref_less(const Ref& a, const Ref& b) {
    return a.prefix != b.prefix ? a.prefix < b.prefix : bytes_less(a.key, b.key);
}

// Stable straight insertion: the fastest sort for the few records of a
// typical object or ranking.
template <class T, class Less>
void insertion_sort(T* first, T* last, Less less) {
    if (first == last) return;
    for (T* it = first + 1; it < last; ++it) {
        T x = *it;
        T* at = it;
        for (; at != first && less(x, at[-1]); --at) *at = at[-1];
        *at = x;
    }
}

// Stable sort that takes insertion for up to `small` records.
template <class T, class Less>
void small_stable_sort(T* first, T* last, Less less, std::size_t small = 32) {
    if (static_cast<std::size_t>(last - first) <= small) {
        insertion_sort(first, last, less);
    } else {
        std::stable_sort(first, last, less);
    }
}

// Orders records with `prefix` and `key` by key, stably (among equal keys
// the later one stays later), then keeps only the last of every run of equal
// keys, as an object whose members repeat a key keeps the last.  Returns the
// number kept, at the front.
template <class Ref>
std::size_t order_and_dedupe(Ref* refs, std::size_t n) {
    small_stable_sort(refs, refs + n, [](const Ref& a, const Ref& b) { return key_ref_less(a, b); });
    std::size_t unique = 0;
    for (std::size_t i = 0; i < n; ++i) {
        // Equal keys have equal prefixes, which mostly differ.
        if (i + 1 < n && refs[i + 1].prefix == refs[i].prefix && refs[i + 1].key == refs[i].key) continue;
        refs[unique++] = refs[i];
    }
    return unique;
}

}  // namespace klov
