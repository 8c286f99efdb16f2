#include "json/writer.hpp"

#include <charconv>
#include <cmath>
#include <cstring>

#include <stdexcept>

#include "json/numbers.hpp"
#include "json/scan.hpp"

namespace klov::json {

namespace {

using detail::format_double;
using detail::format_u64;
using detail::scan_plain;

}  // namespace

void TextOut::grow(std::size_t n) {
    if (s_ == nullptr) throw std::logic_error("text longer than its measured size");
    // Doubling what this writer has written keeps the total cost of
    // growing linear in it.
    const std::size_t used = pos();
    std::size_t size = used + (used - origin_) + 128;
    if (size < used + n) size = used + n;
    s_->resize(size);
    base_ = s_->data();
    cur_ = base_ + used;
    lim_ = base_ + s_->size();
}

void TextOut::string(std::string_view sv) {
    const char* p = sv.data();
    const char* end = p + sv.size();
    need(sv.size() + 2);
    put_unchecked('"');
    unsigned unused = 0;
    for (;;) {
        const char* run = scan_plain<false>(p, end, unused);
        put(p, static_cast<std::size_t>(run - p));
        if (run == end) break;
        character(static_cast<unsigned char>(*run));  // a byte that needs an escape
        p = run + 1;
    }
    put('"');
}

void TextOut::number(const JsonNumber& n) {
    char buf[40];
    char* end = buf + sizeof buf;
    switch (n.kind) {
        case NumberKind::Unsigned: {
            char* b = format_u64(n.u, end);
            put(b, static_cast<std::size_t>(end - b));
            return;
        }
        case NumberKind::Negative: {
            // Magnitude as unsigned so that INT64_MIN needs no special case.
            char* b = format_u64(0 - static_cast<std::uint64_t>(n.i), end);
            *--b = '-';
            put(b, static_cast<std::size_t>(end - b));
            return;
        }
        case NumberKind::Double:
            if (!std::isfinite(n.d)) {
                put("null", 4);
            } else {
                need(32);
                cur_ += format_double(n.d, cur_);
            }
            return;
    }
}

}  // namespace klov::json
