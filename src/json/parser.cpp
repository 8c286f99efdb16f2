#include "json/parser.hpp"

#include <cstring>

#include "json/parser_impl.hpp"
#include "json/tree_sink.hpp"

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

bool read_string_map(std::string_view text, Arena& arena,
                     std::vector<std::pair<std::string_view, std::string_view>>& out, JsonError& err) {
    detail::TreeSink sink(arena);
    detail::Parser<false, detail::TreeSink> p(text, sink);
    if (p.string_map(out)) return true;
    err = p.error();
    return false;
}

}  // namespace klov::json
