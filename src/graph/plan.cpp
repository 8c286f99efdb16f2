#include "graph/plan.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "common/order.hpp"
#include "graph/name_table.hpp"

namespace klov::graph {

namespace {

using klov::load_big_endian64;
using Step = std::vector<std::size_t>;

// The first sixteen bytes of a name as two big-endian words, zero-padded, so
// that most comparisons while sorting are integer compares on data at hand.
struct Prefix {
    std::uint64_t hi;
    std::uint64_t lo;
};

struct SortKey {
    Prefix prefix;
    std::string_view name;
    std::size_t index;  // in the names list
};

// One copy into a zero-padded buffer serves both words: names are mostly
// shorter than sixteen bytes.
Prefix prefix_of(std::string_view s) {
    char b[16] = {};
    if (!s.empty()) std::memcpy(b, s.data(), std::min<std::size_t>(s.size(), 16));
    return Prefix{load_big_endian64(b), load_big_endian64(b + 8)};
}

// Byte-wise ascending order, a proper prefix first.  Zero-padded prefixes
// order like the bytes they hold, so equal prefixes fall back to the full
// comparison and unequal ones already decide.
Step sorted_step(std::vector<SortKey>& keys) {
    std::sort(keys.begin(), keys.end(), [](const SortKey& a, const SortKey& b) {
        if (a.prefix.hi != b.prefix.hi) return a.prefix.hi < b.prefix.hi;
        if (a.prefix.lo != b.prefix.lo) return a.prefix.lo < b.prefix.lo;
        return a.name.size() > 16 && b.name.size() > 16 ? a.name.compare(b.name) < 0 : a.name.size() < b.name.size();
    });
    Step step;
    step.reserve(keys.size());
    for (const SortKey& k : keys) step.push_back(k.index);
    return step;
}

}  // namespace

std::vector<Step> plan_supersteps(const std::vector<std::string_view>& names,
                                  const std::vector<std::pair<std::string_view, std::string_view>>& edges) {
    std::vector<Step> result;
    if (names.empty()) return result;

    // Dense ids for the distinct names, in order of first occurrence, with
    // each name's sort prefix taken while its bytes are at hand.
    NameTable table(names.size());
    IdentityTable identity(names.size());
    std::vector<std::uint32_t> occurrence(names.size());
    std::vector<Prefix> prefixes;
    std::vector<std::size_t> first;  // first occurrence of each id
    prefixes.reserve(names.size());
    first.reserve(names.size());
    for (std::size_t i = 0; i < names.size(); ++i) {
        const std::uint32_t id = table.intern(names[i]);
        if (id == prefixes.size()) {
            prefixes.push_back(prefix_of(names[i]));
            first.push_back(i);
        }
        occurrence[i] = id;
        identity.add(names[i], id);
    }
    const std::size_t count = table.size();
    auto lookup = [&](std::string_view s) {
        const std::uint32_t id = identity.find(s);
        return id != NameTable::npos ? id : table.find(s);
    };

    // Accepted edges, then their targets grouped by source in edge order.
    std::vector<std::uint64_t> in_degree(count, 0);
    std::vector<std::size_t> first_out(count + 1, 0);
    std::vector<std::pair<std::uint32_t, std::uint32_t>> accepted;
    accepted.reserve(edges.size());
    for (const auto& [source, target] : edges) {
        const std::uint32_t s = lookup(source);
        if (s == NameTable::npos) continue;
        const std::uint32_t t = lookup(target);
        if (t == NameTable::npos || t == s) continue;
        accepted.emplace_back(s, t);
        ++first_out[s + 1];
        ++in_degree[t];
    }
    for (std::size_t i = 0; i < count; ++i) first_out[i + 1] += first_out[i];
    std::vector<std::uint32_t> successors(accepted.size());
    {
        std::vector<std::size_t> fill(first_out.begin(), first_out.end() - 1);
        for (const auto& [s, t] : accepted) successors[fill[s]++] = t;
    }
    accepted.clear();
    accepted.shrink_to_fit();

    // Waves.  Each id enters a wave at most once: at the start, or when its
    // last predecessor is placed, and a count that reaches 0 never rises.
    std::vector<char> placed(count, 0);
    std::vector<std::uint32_t> wave;
    std::vector<std::uint32_t> next;
    for (std::uint32_t id = 0; id < count; ++id) {
        if (in_degree[id] == 0) wave.push_back(id);
    }
    std::vector<SortKey> keys;
    while (!wave.empty()) {
        keys.clear();
        for (std::uint32_t id : wave) {
            if (placed[id]) continue;
            placed[id] = 1;
            keys.push_back(SortKey{prefixes[id], table.key(id), first[id]});
        }
        next.clear();
        for (std::uint32_t id : wave) {
            for (std::size_t e = first_out[id]; e < first_out[id + 1]; ++e) {
                const std::uint32_t t = successors[e];
                if (--in_degree[t] == 0 && !placed[t]) next.push_back(t);
            }
        }
        if (!keys.empty()) result.push_back(sorted_step(keys));
        wave.swap(next);
    }

    // What no wave reached: cycles and everything downstream of them, once
    // per occurrence in the names list.
    keys.clear();
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (!placed[occurrence[i]]) keys.push_back(SortKey{prefixes[occurrence[i]], names[i], i});
    }
    if (!keys.empty()) result.push_back(sorted_step(keys));
    return result;
}

}  // namespace klov::graph
