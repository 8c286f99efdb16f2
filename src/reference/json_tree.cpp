// Parsing into trees and writing trees: the reference for the canonical
// writer, the recogniser of canonical text and the fixed-shape reads.
#include <algorithm>
#include <utility>

#include "json/parser_impl.hpp"
#include "json/tree_sink.hpp"
#include "json/writer.hpp"
#include "reference/reference.hpp"

namespace klov::reference {

namespace {

using json::Kind;
using json::Member;
using json::detail::Parser;
using json::TextOut;
using json::detail::TreeSink;

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

void write_value(TextOut& out, const JsonValue& v) {
    switch (v.kind()) {
        case Kind::Null:
            out.put("null", 4);
            return;
        case Kind::Bool:
            if (v.as_bool()) out.put("true", 4);
            else out.put("false", 5);
            return;
        case Kind::Number:
            out.number(v.as_number());
            return;
        case Kind::String:
            out.string(v.as_string());
            return;
        case Kind::Array: {
            out.put('[');
            bool first = true;
            for (const JsonValue& e : v.array_unchecked()) {
                if (!first) out.put(',');
                first = false;
                write_value(out, e);
            }
            out.put(']');
            return;
        }
        case Kind::Object: {
            out.put('{');
            bool first = true;
            for (const Member& m : v.object_unchecked()) {
                if (!first) out.put(',');
                first = false;
                out.string(m.key);
                out.put(':');
                write_value(out, m.value);
            }
            out.put('}');
            return;
        }
    }
}

Object::const_iterator lower_bound_key(const Object& obj, std::string_view key) {
    return std::lower_bound(obj.begin(), obj.end(), key,
                            [](const Member& m, std::string_view k) { return json::key_less(m.key, k); });
}

}  // namespace

bool parse_json_text(std::string_view text, Arena& arena, JsonValue& out, JsonError& err) {
    return run_document<false>(text, arena, out, err);
}

bool parse_json_bytes(std::string_view bytes, Arena& arena, JsonValue& out, JsonError& err) {
    return run_document<true>(bytes, arena, out, err);
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

void write_json(const JsonValue& v, std::string& out) {
    TextOut o(out);
    write_value(o, v);
    o.finish();
}

const Member* find_member(const Object& obj, std::string_view key) {
    auto it = lower_bound_key(obj, key);
    return it != obj.end() && it->key == key ? &*it : nullptr;
}

void set_member(Object& obj, std::string_view key, JsonValue value) {
    auto it = obj.begin() + (lower_bound_key(obj, key) - obj.cbegin());
    if (it != obj.end() && it->key == key) {
        it->value = std::move(value);
    } else {
        obj.insert(it, Member{key, std::move(value)});
    }
}

}  // namespace klov::reference
