// libFuzzer target for the text parser and the fixed-shape reads.
//
// For any input: no crash; the streaming canonical writer agrees with
// parse-then-write of the reference model; written text parses again to the same bytes;
// encode_checkpoint gives the header and that text.  The fixed-shape reads
// follow the same grammar: where one succeeds the full parse succeeds with
// the same content, and where one fails with a grammar error (not a wrong
// kind) the full parse fails with the same text.  Text recognised as
// canonical is exactly what parse-then-write gives, and whatever the writer
// gives is recognised, member by member for objects and element by element
// for arrays; so is text that differs from it only in the order of members.
//
// Build: clang++ -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -Isrc
//        fuzz/fuzz_json_text.cpp src/json/*.cpp src/graph/*.cpp src/reference/*.cpp -o fuzz_json_text
// Run:   ./fuzz_json_text -max_total_time=300 fuzz/corpus/json
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/order.hpp"
#include "json/canon.hpp"
#include "json/checkpoint.hpp"
#include "json/parser.hpp"
#include "json/recognise.hpp"
#include "reference/reference.hpp"

namespace {

using namespace klov::json;
using namespace klov::reference;

void require(bool ok) {
    if (!ok) std::abort();
}

// The canonical writer as the module uses it: the text appended to `out`,
// or the checkpoint blob written at its exact size.
bool canonicalize(std::string_view in, std::string& out, JsonError& err) {
    CanonicalText c;
    if (!c.read_text(in, err)) return false;
    c.append_to(out);
    return true;
}

bool encode_checkpoint(std::string_view in, std::string& blob, JsonError& err) {
    CanonicalText c;
    if (!c.read_text(in, err)) return false;
    blob.assign(checkpoint_size(c), '\0');
    write_checkpoint(c, blob.data());
    return true;
}

bool is_wrong_kind(const JsonError& e) { return e.message.rfind("invalid type: ", 0) == 0; }

// A wrong kind is found no later than the full parse fails: up to it both
// read the same bytes the same way.
bool not_after(const JsonError& a, const JsonError& b) {
    return a.line < b.line || (a.line == b.line && a.column <= b.column);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view in(reinterpret_cast<const char*>(data), size);

    Arena arena;
    JsonValue doc;
    JsonError err;
    const bool ok = parse_json_text(in, arena, doc, err);
    std::string first;
    if (ok) write_json(doc, first);

    std::string canon;
    JsonError cerr;
    require(canonicalize(in, canon, cerr) == ok);
    std::string blob;
    JsonError berr;
    require(encode_checkpoint(in, blob, berr) == ok);
    if (ok) {
        require(canon == first);
        require(blob == std::string("KLOV\x01") + first);
        Arena arena2;
        JsonValue again;
        JsonError err2;
        require(parse_json_text(first, arena2, again, err2));
        std::string second;
        write_json(again, second);
        require(second == first);
    } else {
        require(err.line >= 1 && err.column <= in.size());
        require(cerr.text() == err.text());
        require(berr.text() == err.text());
    }

    if (is_canonical_text(in)) require(ok && first == in);
    if (ok) {
        require(is_canonical_text(first));
        std::vector<std::string_view> elements;
        require(split_written_array(first, elements) == doc.is_array());
        if (doc.is_array()) {
            const Array& items = doc.as_array();
            require(elements.size() == items.size());
            for (std::size_t i = 0; i < items.size(); ++i) {
                std::string value;
                write_json(items[i], value);
                require(elements[i] == value);
            }
        }
        std::vector<VerbatimMember> checked, split;
        std::string unused;
        bool moved_any = false;
        require(recognise_canonical(first, unused, moved_any, checked) == doc.is_object());
        require(!moved_any && unused.empty());
        require(split_written_object(first, split) == doc.is_object());
        if (doc.is_object()) {
            const Object& obj = doc.as_object();
            require(checked.size() == obj.size() && split.size() == obj.size());
            for (std::size_t i = 0; i < obj.size(); ++i) {
                std::string key, value;
                unescape_canonical(checked[i].key, key);
                write_json(obj[i].value, value);
                require(key == obj[i].key && checked[i].value == value);
                require(split[i].key == checked[i].key && split[i].value == checked[i].value);
            }
        }
        // Text canonical but for the order of members: the same text and
        // members, in place or moved into order.
        {
            std::string out = "prefix";
            bool reordered = false;
            std::vector<VerbatimMember> moved;
            if (recognise_canonical(in, out, reordered, moved)) {
                require(doc.is_object() && moved.size() == split.size());
                const std::string_view text = reordered ? std::string_view(out).substr(6) : in;
                require(text == first && (reordered || out == "prefix"));
                for (std::size_t i = 0; i < moved.size(); ++i) {
                    require(moved[i].key == split[i].key && moved[i].value == split[i].value);
                    require(moved[i].key.data() > text.data() &&
                            moved[i].value.data() + moved[i].value.size() < text.data() + text.size());
                }
            }
            std::string any;
            if (recognise_canonical(in, any, reordered)) require((reordered ? std::string_view(any) : in) == first);
            // Arrays: the same elements as the split of the written text.
            std::string whole;
            std::vector<std::string_view> read;
            if (recognise_canonical(in, whole, reordered, read)) {
                require(doc.is_array() && read == elements);
                const std::string_view text = reordered ? std::string_view(whole) : in;
                require(text == first && (reordered || whole.empty()));
                for (std::string_view e : read) require(e.data() > text.data() && e.data() + e.size() < text.data() + text.size());
            }
        }
        // The members the canonical writer finds while writing: each one
        // whole, "key":value, where it stands in the writer's text or in
        // the storage where the object is assembled.
        CanonicalText written;
        JsonError werr;
        require(written.read_text(in, werr));
        // Read again while `written` holds the thread's lists: the second
        // reader works in lists of its own, to the same text.
        std::string nested;
        require(canonicalize(in, nested, cerr) && nested == first);
        std::string whole = "prefix";
        std::vector<VerbatimMember> found;
        require(written.object_members(whole, found) == doc.is_object());
        require(whole == "prefix" || whole == "prefix" + first);
        if (doc.is_object()) {
            require(found.size() == split.size());
            for (std::size_t i = 0; i < found.size(); ++i) {
                require(found[i].key == split[i].key && found[i].value == split[i].value);
                const char* from = found[i].key.data() - 1;
                const std::string_view member(from, static_cast<std::size_t>(found[i].value.data() + found[i].value.size() - from));
                require(member == "\"" + std::string(split[i].key) + "\":" + std::string(split[i].value));
            }
        } else {
            require(found.empty());
        }
    }

    {
        Arena a;
        std::vector<std::pair<std::string_view, std::string_view>> members;
        JsonError e;
        if (read_string_map(in, a, members, e)) {
            require(ok && doc.is_object());
            std::map<std::string_view, std::string_view> last;
            for (auto& [k, v] : members) last[k] = v;
            const Object& obj = doc.as_object();
            require(obj.size() == last.size());
            for (const Member& m : obj) {
                require(m.value.kind() == Kind::String);
                require(last[m.key] == m.value.as_string());
            }
        } else if (is_wrong_kind(e)) {
            require(e.line >= 1 && e.column <= in.size());
            require(ok || not_after(e, err));
        } else {
            require(!ok && e.text() == err.text());
        }
    }
    {
        // Values under some keys of a top-level object only checked: the
        // errors of a full read, and the members of the full text, with
        // those values left out.
        std::vector<std::string> keys = {"a", ""};
        if (ok && doc.is_object()) {
            keys.clear();
            const Object& obj = doc.as_object();
            for (std::size_t i = 0; i < obj.size(); i += 2) keys.emplace_back(obj[i].key);
        }
        std::vector<std::string_view> unread(keys.begin(), keys.end());
        std::sort(unread.begin(), unread.end(), klov::bytes_less);
        CanonicalText partly;
        JsonError perr;
        require(partly.rewrite_object_text(in, unread, perr) == ok);
        if (!ok) {
            require(perr.text() == err.text());
        } else {
            std::string storage;
            std::vector<VerbatimMember> found, split;
            require(partly.object_members(storage, found) == doc.is_object());
            if (doc.is_object()) {
                require(split_written_object(first, split) && found.size() == split.size());
                for (std::size_t i = 0; i < split.size(); ++i) {
                    std::string key;
                    unescape_canonical(split[i].key, key);
                    const bool left_out = std::binary_search(unread.begin(), unread.end(), std::string_view(key), klov::bytes_less);
                    require(found[i].key == split[i].key && found[i].value == (left_out ? "" : split[i].value));
                }
            }
        }
    }
    {
        Arena a;
        Array items;
        JsonError e;
        // The canonical writer's read of a sequence succeeds and fails
        // exactly as the fixed-shape read, and finds the same elements.
        CanonicalText written;
        JsonError werr;
        const bool wok = written.rewrite_array_text(in, werr);
        std::string whole = "prefix";
        std::vector<std::string_view> found;
        if (wok) require(written.array_elements(whole, found));
        if (read_document_array(in, a, items, e)) {
            require(ok && doc.is_array() && wok);
            std::string w;
            write_json(JsonValue(std::move(items)), w);
            require(w == first && (whole == "prefix" || whole == "prefix" + first));
            std::vector<std::string_view> split;
            require(split_written_array(first, split) && split.size() == found.size());
            for (std::size_t i = 0; i < split.size(); ++i) require(split[i] == found[i]);
        } else {
            require(!wok && werr.text() == e.text());
            if (is_wrong_kind(e)) {
                require(e.line >= 1 && e.column <= in.size());
                require(ok || not_after(e, err));
            } else {
                require(!ok && e.text() == err.text());
            }
        }
    }
    return 0;
}
