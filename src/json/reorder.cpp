#include "json/reorder.hpp"

#include <algorithm>
#include <cstring>

#include "common/order.hpp"
#include "json/writer.hpp"

namespace klov::json::detail {

namespace {

// Writes [from, to) of the text to `out` with the reordered objects in it,
// objects[lo, hi), written with their members in key order.  Objects are
// ordered by position, so the ones inside an object follow it.
void write_reordered(const char* from, const char* to, const Reordering& r, std::size_t lo, std::size_t hi,
                     TextOut& out) {
    const auto by_begin = [](const Reordered& o, const char* at) { return o.begin < at; };
    const auto objects = r.objects.begin();
    while (lo < hi) {
        const Reordered& o = r.objects[lo];
        const std::size_t inner_end = lo + 1 + o.inside;
        out.put(from, static_cast<std::size_t>(o.begin - from));
        if (o.count == 0) {
            out.put(r.aside.data() + o.first, static_cast<std::size_t>(o.end - o.begin));
            from = o.end;
            lo = inner_end;
            continue;
        }
        out.put('{');
        for (std::size_t i = 0; i < o.count; ++i) {
            const VerbatimMember& m = r.members[o.first + i];
            const char* member = m.key.data() - 1;
            const char* member_end = m.value.data() + m.value.size();
            if (i != 0) out.put(',');
            if (o.inside == 0) {
                out.put(member, static_cast<std::size_t>(member_end - member));
                continue;
            }
            const auto inner_lo = std::lower_bound(objects + static_cast<std::ptrdiff_t>(lo + 1),
                                                   objects + static_cast<std::ptrdiff_t>(inner_end), member, by_begin);
            const auto inner_hi = std::lower_bound(inner_lo, objects + static_cast<std::ptrdiff_t>(inner_end),
                                                   member_end, by_begin);
            write_reordered(member, member_end, r, static_cast<std::size_t>(inner_lo - objects),
                            static_cast<std::size_t>(inner_hi - objects), out);
        }
        out.put('}');
        from = o.end;
        lo = inner_end;
    }
    out.put(from, static_cast<std::size_t>(to - from));
}

}  // namespace

namespace {

// Objects up to this size are written aside when they close (see
// Reordering::aside); a larger one costs less as a record of its members
// than as a second copy of its bytes.
constexpr std::size_t kAsideLimit = 1024;

}  // namespace

void Reordering::clear() {
    objects.clear();
    members.clear();
    open.clear();
    starts.clear();
    aside.clear();
}

std::size_t Reordering::room() const {
    return objects.capacity() * sizeof(Reordered) + members.capacity() * sizeof(VerbatimMember) +
           open.capacity() * sizeof(KeyedMember) + starts.capacity() * sizeof(const char*) + aside.capacity();
}

std::size_t Reordering::place(const char* begin) {
    // Objects recorded so far lie before `begin` or inside this object, and
    // the ones inside it are the last.
    std::size_t at = objects.size();
    while (at > 0 && objects[at - 1].begin > begin) --at;
    objects.insert(objects.begin() + static_cast<std::ptrdiff_t>(at), Reordered{begin, nullptr, 0, 0, 0});
    return at;
}

bool Reordering::close_object(std::size_t slot, const char* end, std::size_t open_base, bool keep_members) {
    KeyedMember* const from = open.data() + open_base;
    KeyedMember* const last = open.data() + open.size();
    klov::small_stable_sort(from, last, klov::key_ref_less<KeyedMember>);
    for (KeyedMember* it = from + 1; it < last; ++it) {
        if (it[-1].prefix == it->prefix && it[-1].key == it->key) return false;
    }
    Reordered& o = objects[slot];
    o.end = end;
    // Every object placed since this one lies inside it.  Objects placed
    // later go before it or after all of them, so they stay together.
    o.inside = objects.size() - slot - 1;
    const auto length = static_cast<std::size_t>(end - o.begin);
    if (!keep_members && o.inside == 0 && length <= kAsideLimit) {
        o.first = aside.size();
        o.count = 0;
        aside.resize(o.first + length);
        char* out = aside.data() + o.first;
        *out++ = '{';
        for (KeyedMember* it = from; it < last; ++it) {
            if (it != from) *out++ = ',';
            const char* member = it->key.data() - 1;  // the opening quote
            const auto n = static_cast<std::size_t>(it->value.data() + it->value.size() - member);
            copy_bytes(out, member, n);
            out += n;
        }
        *out = '}';
    } else {
        o.first = members.size();
        o.count = static_cast<std::size_t>(last - from);
        for (KeyedMember* it = from; it < last; ++it) members.push_back(VerbatimMember{it->key, it->value});
    }
    open.resize(open_base);
    return true;
}

void Reordering::write(const char* text, const char* end, char* out) const {
    TextOut o(out, static_cast<std::size_t>(end - text));
    write_reordered(text, end, *this, 0, objects.size(), o);
}

}  // namespace klov::json::detail
