#include "json/parser.hpp"

#include <cstring>

#include "json/parser_impl.hpp"
#include "json/writer_detail.hpp"

namespace klov::json {

namespace detail {

const char* message_of(Err e) {
    switch (e) {
        case Err::EofList: return "EOF while parsing a list";
        case Err::EofObject: return "EOF while parsing an object";
        case Err::EofString: return "EOF while parsing a string";
        case Err::EofValue: return "EOF while parsing a value";
        case Err::ExpectedColon: return "expected `:`";
        case Err::ExpectedCommaOrBracket: return "expected `,` or `]`";
        case Err::ExpectedCommaOrBrace: return "expected `,` or `}`";
        case Err::ExpectedIdent: return "expected ident";
        case Err::ExpectedValue: return "expected value";
        case Err::InvalidEscape: return "invalid escape";
        case Err::InvalidNumber: return "invalid number";
        case Err::NumberOutOfRange: return "number out of range";
        case Err::InvalidUnicode: return "invalid unicode code point";
        case Err::ControlChar: return "control character (\\u0000-\\u001F) found while parsing a string";
        case Err::KeyMustBeString: return "key must be a string";
        case Err::LoneSurrogate: return "lone leading surrogate in hex escape";
        case Err::TrailingComma: return "trailing comma";
        case Err::TrailingChars: return "trailing characters";
        case Err::UnexpectedEndHex: return "unexpected end of hex escape";
        case Err::RecursionLimit: return "recursion limit exceeded";
        case Err::InvalidType: return "invalid type";
    }
    return "";
}

}  // namespace detail

namespace {

using detail::Parser;

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
    std::vector<detail::KeyRef> order_;
};

void TreeSink::end_object() {
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
            order_.push_back(detail::KeyRef{klov::key_prefix(keys[i]), keys[i], static_cast<std::uint32_t>(i)});
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

template <bool kBytes>
bool run_document(std::string_view text, Arena& arena, JsonValue& out, JsonError& err) {
    TreeSink sink(arena);
    Parser<kBytes, TreeSink> p(text, sink);
    if (!p.document()) {
        err = p.error();
        return false;
    }
    out = std::move(sink.last());
    return true;
}

}  // namespace

JsonError error_at(std::string_view text, std::size_t offset, std::string message) {
    if (offset > text.size()) offset = text.size();
    std::size_t line = 1;
    std::size_t line_start = 0;
    const char* b = text.data();
    const char* p = b;
    const char* e = b + offset;
    while (p < e) {
        const void* nl = std::memchr(p, '\n', static_cast<std::size_t>(e - p));
        if (!nl) break;
        ++line;
        p = static_cast<const char*>(nl) + 1;
        line_start = static_cast<std::size_t>(p - b);
    }
    JsonError err;
    err.message = std::move(message);
    err.line = line;
    err.column = offset - line_start;
    return err;
}

bool parse_json_text(std::string_view text, Arena& arena, JsonValue& out, JsonError& err) {
    return run_document<false>(text, arena, out, err);
}

bool parse_json_bytes(std::string_view bytes, Arena& arena, JsonValue& out, JsonError& err) {
    return run_document<true>(bytes, arena, out, err);
}

bool read_string_map(std::string_view text, Arena& arena,
                     std::vector<std::pair<std::string_view, std::string_view>>& out, JsonError& err) {
    TreeSink sink(arena);
    Parser<false, TreeSink> p(text, sink);
    if (p.string_map(out)) return true;
    err = p.error();
    return false;
}

bool read_document_array(std::string_view text, Arena& arena, Array& out, JsonError& err) {
    TreeSink sink(arena);
    Parser<false, TreeSink> p(text, sink);
    if (!p.document_array()) {
        err = p.error();
        return false;
    }
    out = std::move(sink.last().as_array());
    return true;
}

}  // namespace klov::json
