#include "json/reorder.hpp"

#include <algorithm>
#include <cstring>

#include "common/order.hpp"
#include "json/writer.hpp"

namespace klov::json::detail {

namespace {

// Writes [from, to) of the text to `out` with the reordered objects in it,
// objects[lo, hi), written with their members in key order.  Objects are sorted by position, so the ones inside an
// object follow it, up to its inner_end.  With `in_place`, `out` already
// holds a copy of the text, and the bytes outside those objects are left
// as they are.
void write_reordered(const char* from, const char* to, const Reordering& r, std::size_t lo, std::size_t hi,
                     TextOut& out, bool in_place = false) {
    auto pass = [&](const char* a, const char* b) {  // the bytes between reordered objects
        if (in_place) {
            out.skip(static_cast<std::size_t>(b - a));
        } else {
            out.put(a, static_cast<std::size_t>(b - a));
        }
    };
    const auto by_begin = [](const Reordered& o, const char* at) { return o.begin < at; };
    const auto objects = r.objects.begin();
    while (lo < hi) {
        const Reordered& o = r.objects[lo];
        pass(from, o.begin);
        out.put('{');
        for (std::size_t i = 0; i < o.count; ++i) {
            const VerbatimMember& m = r.members[o.first + i];
            const char* member = m.key.data() - 1;
            const char* member_end = m.value.data() + m.value.size();
            if (i != 0) out.put(',');
            if (lo + 1 == o.inner_end) {
                out.put(member, static_cast<std::size_t>(member_end - member));
                continue;
            }
            const auto inner_lo = std::lower_bound(objects + static_cast<std::ptrdiff_t>(lo + 1),
                                                   objects + static_cast<std::ptrdiff_t>(o.inner_end), member, by_begin);
            const auto inner_hi = std::lower_bound(inner_lo, objects + static_cast<std::ptrdiff_t>(o.inner_end),
                                                   member_end, by_begin);
            write_reordered(member, member_end, r, static_cast<std::size_t>(inner_lo - objects),
                            static_cast<std::size_t>(inner_hi - objects), out);
        }
        out.put('}');
        from = o.end;
        lo = o.inner_end;
    }
    pass(from, to);
}

}  // namespace

bool Reordering::close_object(const char* begin, const char* end, std::size_t open_base) {
    KeyedMember* const from = open.data() + open_base;
    klov::small_stable_sort(from, open.data() + open.size(), klov::key_ref_less<KeyedMember>, 16);
    const std::size_t first = members.size();
    for (KeyedMember* it = from; it < open.data() + open.size(); ++it) {
        if (it != from && it[-1].prefix == it->prefix && it[-1].key == it->key) return false;
        members.push_back(VerbatimMember{it->key, it->value});
    }
    open.resize(open_base);
    objects.push_back(Reordered{begin, end, first, members.size() - first});
    return true;
}

void Reordering::write_over(const char* text, const char* end, char* out) {
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
    TextOut o(out, static_cast<std::size_t>(end - text));
    write_reordered(text, end, *this, 0, objects.size(), o, true);
}

}  // namespace klov::json::detail
