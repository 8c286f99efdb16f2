// Output side shared by the writer, the streaming canonical writer and the
// "invalid type" texts.  Internal to src/json.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "json/numbers.hpp"
#include "json/value.hpp"

namespace klov::json::detail {

// Appends through a raw cursor into `s`, which is kept at least as long as the
// text written (grown by doubling, starting at 128 bytes or whatever the
// caller reserved); finish() cuts off the surplus.  Nothing else may touch
// `s` in between.
class TextOut {
public:
    explicit TextOut(std::string& s) : s_(s) {
        const std::size_t used = s.size();
        s_.resize(used + 128 > s_.capacity() ? used + 128 : s_.capacity());
        cur_ = s_.data() + used;
        lim_ = s_.data() + s_.size();
    }
    TextOut(const TextOut&) = delete;
    TextOut& operator=(const TextOut&) = delete;

    void finish() { s_.resize(pos()); }

    std::size_t pos() const { return static_cast<std::size_t>(cur_ - s_.data()); }
    const char* data() const { return s_.data(); }

    void need(std::size_t n) {
        if (static_cast<std::size_t>(lim_ - cur_) < n) grow(n);
    }
    void put(char c) {
        need(1);
        *cur_++ = c;
    }
    void put_unchecked(char c) { *cur_++ = c; }
    void put(const char* p, std::size_t n) {
        need(n);
        std::memcpy(cur_, p, n);
        cur_ += n;
    }
    void put(std::string_view s) { put(s.data(), s.size()); }
    // Bytes already in the buffer, [from, from + n), appended again.
    void put_own(std::size_t from, std::size_t n) {
        need(n);
        std::memcpy(cur_, s_.data() + from, n);
        cur_ += n;
    }
    // Overwrites the last byte written.
    void replace_last(char c) { cur_[-1] = c; }

    // A quoted string with the writer's escaping.
    void string(std::string_view s);
    // A string known to hold no byte that needs an escape.
    void plain_string(std::string_view s) {
        need(s.size() + 2);
        *cur_++ = '"';
        std::memcpy(cur_, s.data(), s.size());
        cur_ += s.size();
        *cur_++ = '"';
    }
    void number(const JsonNumber& n);

private:
    void grow(std::size_t n);

    std::string& s_;
    char* cur_;
    char* lim_;
};

}  // namespace klov::json::detail
