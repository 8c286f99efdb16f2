// The JSON document model shared by the parser, the writer and the graph code.
//
// Strings and keys are views: they point into the text that was parsed or into
// the Arena of the parse that had to unescape them.  A document therefore lives
// no longer than the call that parsed it, which is all any caller needs.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace klov::json {

enum class NumberKind : std::uint8_t { Unsigned, Negative, Double };

// One of: an unsigned 64-bit integer; a negative integer (always < 0);
// a double (finite in every document the parser produces).
struct JsonNumber {
    NumberKind kind = NumberKind::Unsigned;
    union {
        std::uint64_t u;
        std::int64_t i;
        double d;
    };

    JsonNumber() : u(0) {}
    static JsonNumber of_unsigned(std::uint64_t v) { JsonNumber n; n.kind = NumberKind::Unsigned; n.u = v; return n; }
    static JsonNumber of_negative(std::int64_t v) { JsonNumber n; n.kind = NumberKind::Negative; n.i = v; return n; }
    static JsonNumber of_double(double v) { JsonNumber n; n.kind = NumberKind::Double; n.d = v; return n; }
};

class JsonValue;
struct Member;

using Array = std::vector<JsonValue>;
// Members sorted by key in ascending unsigned-byte order, keys unique.
using Object = std::vector<Member>;

struct Null {};

enum class Kind : std::uint8_t { Null, Bool, Number, String, Array, Object };

class JsonValue {
public:
    // Defined below Member: the variant needs Member complete.
    JsonValue();
    explicit JsonValue(bool b);
    explicit JsonValue(JsonNumber n);
    explicit JsonValue(std::string_view s);
    explicit JsonValue(Array a);
    explicit JsonValue(Object o);

    Kind kind() const { return static_cast<Kind>(v_.index()); }
    bool is_null() const { return kind() == Kind::Null; }
    bool is_object() const { return kind() == Kind::Object; }
    bool is_array() const { return kind() == Kind::Array; }

    bool as_bool() const { return std::get<bool>(v_); }
    const JsonNumber& as_number() const { return std::get<JsonNumber>(v_); }
    std::string_view as_string() const { return std::get<std::string_view>(v_); }
    const Array& as_array() const { return std::get<Array>(v_); }
    Array& as_array() { return std::get<Array>(v_); }
    const Object& as_object() const { return std::get<Object>(v_); }
    Object& as_object() { return std::get<Object>(v_); }

    // Unchecked accessors for hot loops that have already tested kind().
    const Array& array_unchecked() const { return *std::get_if<Array>(&v_); }
    const Object& object_unchecked() const { return *std::get_if<Object>(&v_); }

private:
    // The alternative order matches Kind.
    std::variant<Null, bool, JsonNumber, std::string_view, Array, Object> v_;
};

struct Member {
    std::string_view key;
    JsonValue value;
};

inline JsonValue::JsonValue() = default;
inline JsonValue::JsonValue(bool b) : v_(b) {}
inline JsonValue::JsonValue(JsonNumber n) : v_(n) {}
inline JsonValue::JsonValue(std::string_view s) : v_(s) {}
inline JsonValue::JsonValue(Array a) : v_(std::move(a)) {}
inline JsonValue::JsonValue(Object o) : v_(std::move(o)) {}

// Ascending unsigned-byte order, a proper prefix first (char_traits<char>
// compares like memcmp, i.e. as unsigned bytes).
[[nodiscard]] inline bool key_less(std::string_view a, std::string_view b) { return a.compare(b) < 0; }

// Owns the bytes of strings that had to be unescaped during a parse.
// Blocks never move, so views handed out stay valid until the Arena dies.
class Arena {
public:
    std::string_view store(std::string_view bytes);

private:
    std::vector<std::unique_ptr<char[]>> blocks_;
    char* cur_ = nullptr;
    std::size_t left_ = 0;
};

}  // namespace klov::json
