// An interning table from name bytes to dense ids, shared by the superstep
// reducer table and the planner.  Keys are views into text the caller keeps
// alive; the table copies no bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <string_view>
#include <vector>

#include "common/bits.hpp"

namespace klov::graph {

// 64-bit hash of arbitrary bytes (NUL bytes included), eight bytes per step
// with a folded 128-bit multiply per word.  Only lookups depend on it; no
// result depends on hash order.
inline std::uint64_t hash_bytes(std::string_view s) {
    constexpr std::uint64_t k0 = 0xa0761d6478bd642full;
    constexpr std::uint64_t k1 = 0xe7037ed1a0b428dbull;
    auto fold = [](std::uint64_t a, std::uint64_t b) {
        std::uint64_t low;
        const std::uint64_t high = klov::multiply_high(a, b, low);
        return low ^ high;
    };
    const unsigned char* p = reinterpret_cast<const unsigned char*>(s.data());
    std::size_t n = s.size();
    std::uint64_t h = k0 ^ (static_cast<std::uint64_t>(n) * k1);
    while (n >= 8) {
        std::uint64_t w;
        std::memcpy(&w, p, 8);
        h = fold(h ^ w, k1 ^ (h >> 17));
        p += 8;
        n -= 8;
    }
    if (n != 0) {
        std::uint64_t w = 0;
        std::memcpy(&w, p, n);
        h = fold(h ^ w ^ (static_cast<std::uint64_t>(n) << 59), k1);
    }
    return fold(h ^ k0, k1 ^ 0x8ebc6af09c88c6e3ull);
}

class NameTable {
public:
    static constexpr std::uint32_t npos = 0xFFFFFFFFu;

    // Sized for `expected` distinct names so that no rehash happens up to it.
    explicit NameTable(std::size_t expected) {
        if (expected >= (std::size_t{1} << 31)) throw std::bad_alloc();
        std::size_t cap = 16;
        while (cap < expected * 2) cap <<= 1;
        slots_.assign(cap, Slot{0, 0});
        mask_ = cap - 1;
        keys_.reserve(expected);
    }

    std::size_t size() const { return keys_.size(); }
    std::string_view key(std::uint32_t id) const { return keys_[id]; }

    // Returns the id of `s`, adding it with the next id when it is new.
    std::uint32_t intern(std::string_view s) {
        const std::uint64_t h = hash_bytes(s);
        const std::uint32_t tag = static_cast<std::uint32_t>(h >> 32);
        std::size_t i = static_cast<std::size_t>(h) & mask_;
        for (;;) {
            Slot& sl = slots_[i];
            if (sl.id1 == 0) break;
            if (sl.tag == tag && same(keys_[sl.id1 - 1], s)) return sl.id1 - 1;
            i = (i + 1) & mask_;
        }
        if ((keys_.size() + 1) * 2 > slots_.size()) {
            grow();
            return intern(s);
        }
        keys_.push_back(s);
        const std::uint32_t id = static_cast<std::uint32_t>(keys_.size() - 1);
        slots_[i] = Slot{tag, id + 1};
        return id;
    }

    std::uint32_t find(std::string_view s) const {
        const std::uint64_t h = hash_bytes(s);
        const std::uint32_t tag = static_cast<std::uint32_t>(h >> 32);
        std::size_t i = static_cast<std::size_t>(h) & mask_;
        for (;;) {
            const Slot& sl = slots_[i];
            if (sl.id1 == 0) return npos;
            if (sl.tag == tag && same(keys_[sl.id1 - 1], s)) return sl.id1 - 1;
            i = (i + 1) & mask_;
        }
    }

private:
    struct Slot {
        std::uint32_t tag;  // high hash bits, to skip most byte comparisons
        std::uint32_t id1;  // id + 1; 0 marks an empty slot
    };

    // Names handed in from one Python string share one buffer, so equal
    // pointers settle most comparisons without touching the bytes.
    static bool same(std::string_view a, std::string_view b) {
        return a.size() == b.size() &&
               (a.empty() || a.data() == b.data() || std::memcmp(a.data(), b.data(), a.size()) == 0);
    }

    void grow() {
        if (slots_.size() >= (std::size_t{1} << 32)) throw std::bad_alloc();
        std::vector<Slot> old;
        old.swap(slots_);
        slots_.assign(old.size() * 2, Slot{0, 0});
        mask_ = slots_.size() - 1;
        for (const Slot& sl : old) {
            if (sl.id1 == 0) continue;
            std::size_t i = static_cast<std::size_t>(hash_bytes(keys_[sl.id1 - 1])) & mask_;
            while (slots_[i].id1 != 0) i = (i + 1) & mask_;
            slots_[i] = sl;
        }
    }

    std::vector<Slot> slots_;
    std::vector<std::string_view> keys_;
    std::size_t mask_ = 0;
};

// A front table from the address and length of a name's bytes to its id.
// Callers usually pass the very same string objects as nodes and as edge
// endpoints, so most lookups are settled here with one slot read and without
// touching the bytes.  Equal (address, length) means equal bytes, so a hit is
// always right; a miss falls back to the NameTable, which decides.
class IdentityTable {
public:
    explicit IdentityTable(std::size_t expected) {
        if (expected >= (std::size_t{1} << 31)) throw std::bad_alloc();
        std::size_t cap = 16;
        while (cap < expected * 2) cap <<= 1;
        slots_.assign(cap, Slot{nullptr, 0, 0});
        mask_ = cap - 1;
    }

    // Records `s` as `id` unless its address and length are already known.
    // Never holds more than `expected` entries: callers add one per name.
    void add(std::string_view s, std::uint32_t id) {
        // Empty views may share any address; lengths beyond 32 bits are left
        // to the byte table.
        if (s.empty() || s.size() > 0xFFFFFFFFu) return;
        std::size_t i = slot_of(s.data());
        while (slots_[i].id1 != 0) {
            if (slots_[i].ptr == s.data() && slots_[i].len == s.size()) return;
            i = (i + 1) & mask_;
        }
        slots_[i] = Slot{s.data(), static_cast<std::uint32_t>(s.size()), id + 1};
    }

    std::uint32_t find(std::string_view s) const {
        if (s.empty()) return NameTable::npos;
        std::size_t i = slot_of(s.data());
        for (;;) {
            const Slot& sl = slots_[i];
            if (sl.id1 == 0) return NameTable::npos;
            if (sl.ptr == s.data() && sl.len == s.size()) return sl.id1 - 1;
            i = (i + 1) & mask_;
        }
    }

private:
    struct Slot {
        const char* ptr;
        std::uint32_t len;
        std::uint32_t id1;  // id + 1; 0 marks an empty slot
    };

    std::size_t slot_of(const char* p) const {
        const std::uint64_t x = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(p));
        return static_cast<std::size_t>((x * 0x9e3779b97f4a7c15ull) >> 20) & mask_;
    }

    std::vector<Slot> slots_;
    std::size_t mask_ = 0;
};

}  // namespace klov::graph
