// The parser's sink that builds the document, for the fixed-shape reads and
// for the reference parse.  Internal to src/json.
#pragma once

#include <cstdint>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "common/order.hpp"
#include "json/parser.hpp"
#include "json/parser_impl.hpp"
#include "json/value.hpp"

namespace klov::json::detail {

// Builds the document.  Values of open containers wait on one stack and are
// moved into their container, at its exact size, when it closes.
class TreeSink {
public:
    explicit TreeSink(Arena& arena) : arena_(arena) {}

    void null() { values_.emplace_back(); }
    void boolean(bool b) { values_.emplace_back(b); }
    void number(const JsonNumber& n, std::string_view) { values_.emplace_back(n); }
    void string(std::string_view s, bool raw) { values_.emplace_back(keep(s, raw)); }

    void begin_array() { frames_.push_back(values_.size()); }
    void end_array() {
        const std::size_t base = frames_.back();
        frames_.pop_back();
        Array a(std::make_move_iterator(values_.begin() + static_cast<std::ptrdiff_t>(base)),
                std::make_move_iterator(values_.end()));
        values_.resize(base);
        values_.emplace_back(std::move(a));
    }

    void begin_object() {
        frames_.push_back(values_.size());
        frames_.push_back(keys_.size());
    }
    void key(std::string_view k, bool raw) { keys_.push_back(keep(k, raw)); }
    void end_object();

    std::string_view keep(std::string_view s, bool raw) { return raw ? s : arena_.store(s); }
    JsonValue& last() { return values_.back(); }
    void describe_last(std::string& out) const { describe_value(values_.back(), out); }

private:
    Arena& arena_;
    std::vector<JsonValue> values_;
    std::vector<std::string_view> keys_;
    std::vector<std::size_t> frames_;
    std::vector<KeyRef> order_;
};

inline void TreeSink::end_object() {
    const std::size_t kbase = frames_.back();
    frames_.pop_back();
    const std::size_t base = frames_.back();
    frames_.pop_back();
    const std::size_t n = keys_.size() - kbase;
    const std::string_view* keys = keys_.data() + kbase;
    JsonValue* vals = values_.data() + base;

    bool sorted = true;
    for (std::size_t i = 1; i < n; ++i) {
        if (!(keys[i - 1] < keys[i])) {
            sorted = false;
            break;
        }
    }
    Object obj;
    if (sorted) {
        obj.reserve(n);
        for (std::size_t i = 0; i < n; ++i) obj.push_back(Member{keys[i], std::move(vals[i])});
    } else {
        order_.clear();
        for (std::size_t i = 0; i < n; ++i) {
            order_.push_back(KeyRef{klov::key_prefix(keys[i]), keys[i], static_cast<std::uint32_t>(i)});
        }
        const std::size_t unique = klov::order_and_dedupe(order_.data(), n);
        obj.reserve(unique);
        for (std::size_t i = 0; i < unique; ++i) {
            obj.push_back(Member{order_[i].key, std::move(vals[order_[i].index])});
        }
    }
    values_.resize(base);
    keys_.resize(kbase);
    values_.emplace_back(std::move(obj));
}

}  // namespace klov::json::detail
