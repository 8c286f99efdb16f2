#include "json/recognise.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>

#include "common/compiler.hpp"
#include "common/order.hpp"
#include "common/spare.hpp"
#include "json/parser_impl.hpp"
#include "json/scan.hpp"
#include "json/numbers.hpp"
#include "json/reorder.hpp"

namespace klov::json {

namespace {

using detail::KeyedMember;
using detail::Reordered;
using detail::Reordering;
using klov::bytes_less;
using klov::key_prefix_within;
using detail::digits_value;
using detail::is_digit;
using detail::skip_digits;

// The parser's nesting budget: 127 nested containers are accepted.
constexpr int kBudget = 128;

// The value of a lower-case hex digit, -1 for any other byte: the writer
// never writes upper case.
int lower_hex_value(char c) { return c >= 'A' && c <= 'F' ? -1 : detail::kHexValue.v[static_cast<unsigned char>(c)]; }

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
        std::size_t slot = 0;       // its place in reordering_->objects
        const std::size_t starts_base = reordering_ != nullptr ? reordering_->starts.size() : 0;
        for (bool first = true;; first = false) {
            if (*p != '"') return nullptr;
            bool escaped;
            const char* key_end = string_body(p + 1, escaped);
            if (key_end == nullptr) return nullptr;
            const std::string_view key(p + 1, static_cast<std::size_t>(key_end - p - 1));
            if (!first && !disordered && !key_before(prev, prev_escaped, key, escaped)) {
                // Members out of order are moved only when no key has
                // escapes.
                if (reordering_ == nullptr || any_escaped || escaped) return nullptr;
                disordered = true;
                open_base = reordering_->open.size();
                slot = reordering_->place(begin);
                reopen_members(starts_base, p);
            } else if (reordering_ != nullptr && !disordered) {
                reordering_->starts.push_back(p);
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
                if (disordered) {
                    // The members of the outermost object, when asked
                    // for, stay on record.
                    const bool keep = members != nullptr;
                    if (any_escaped || !reordering_->close_object(slot, p + 1, open_base, keep)) return nullptr;
                } else if (reordering_ != nullptr) {
                    reordering_->starts.resize(starts_base);
                }
                return p + 1;
            }
            if (*p != ',' || ++p == end_) return nullptr;
        }
    }

private:
    // The members already read and found in order, which begin at
    // reordering_->starts from `base` on, go on the open list when the key
    // at `next` turns out to be out of order.  Their keys have no escapes,
    // so each ends at the first quote after its opening one.
    KLOV_NOINLINE void reopen_members(std::size_t base, const char* next) {
        std::vector<const char*>& starts = reordering_->starts;
        for (std::size_t i = base; i < starts.size(); ++i) {
            const char* key = starts[i] + 1;
            const char* key_end = static_cast<const char*>(std::memchr(key, '"', static_cast<std::size_t>(next - key)));
            const char* value = key_end + 2;  // past '":'
            const char* value_end = (i + 1 < starts.size() ? starts[i + 1] : next) - 1;  // at the ','
            reordering_->open.push_back(keyed(VerbatimMember{
                std::string_view(key, static_cast<std::size_t>(key_end - key)),
                std::string_view(value, static_cast<std::size_t>(value_end - value))}));
        }
        starts.resize(base);
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
                    const int low = lower_hex_value(p[5]);
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
        if (p != end_ && (*p == '.' || *p == 'e' || *p == 'E')) return detail::written_double_end(start, p, end_);
        const std::size_t n = static_cast<std::size_t>(p - digits);
        if (start != digits) {
            if (n == 1 && *digits == '0') return nullptr;
            if (n > 19 || (n == 19 && std::memcmp(digits, "9223372036854775808", 19) > 0)) return nullptr;
        } else if (n > 20 || (n == 20 && std::memcmp(digits, "18446744073709551615", 20) > 0)) {
            return nullptr;
        }
        return p;
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
    const klov::ThreadSpare<Reordering> lent;
    Reordering& reordering = *lent;
    Recogniser<false> r(end, &reordering);
    const char* stop = read(r);
    const bool ok = stop != nullptr && stop == end;
    reordered = ok && !reordering.objects.empty();
    if (reordered) {
        const std::size_t at = out.size();
        out.resize(at + text.size());
        reordering.write(text.data(), end, out.data() + at);
        placed(static_cast<const std::string&>(out).data() + at, reordering);
    }
    return ok;
}

}  // namespace

bool recognise_canonical(std::string_view text, Reordering& order) {
    const char* end = text.data() + text.size();
    Recogniser<false> r(end, &order);
    const char* stop = r.value(text.data(), kBudget);
    return stop != nullptr && stop == end;
}

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
                out.push_back(static_cast<char>((body[slash + 4] - '0') * 16 + lower_hex_value(body[slash + 5])));
                i = slash + 6;
                continue;
            default: out.push_back(e); break;  // '"' or '\\'
        }
        i = slash + 2;
    }
    out.append(body.data() + i, body.size() - i);
}

}  // namespace klov::json
