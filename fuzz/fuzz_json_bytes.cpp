// libFuzzer target for the byte parser (checkpoint payloads).
//
// For any input: no crash; the streaming canonical writer agrees with
// parse-then-write, text and errors alike; decode_checkpoint of the input
// behind a header gives the same; a written document is valid UTF-8, parses
// again and writes back to the same bytes.  The vector UTF-8 check agrees
// with the byte-at-a-time one on the input and on every suffix of its first
// sixteen bytes (every alignment of sequences to its blocks).
//
// Build: clang++ -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -Isrc
//        fuzz/fuzz_json_bytes.cpp src/json/*.cpp src/graph/*.cpp src/reference/*.cpp -o fuzz_json_bytes
// Run:   ./fuzz_json_bytes -max_total_time=300 fuzz/corpus/json
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "json/canon.hpp"
#include "json/checkpoint.hpp"
#include "json/parser.hpp"
#include "json/scan.hpp"
#include "json/utf8.hpp"
#include "reference/reference.hpp"

namespace {

using namespace klov::json;
using namespace klov::reference;

void require(bool ok) {
    if (!ok) std::abort();
}

bool canonicalize_bytes(std::string_view in, std::string& out, JsonError& err) {
    CanonicalText c;
    if (!c.read_bytes(in, err)) return false;
    c.append_to(out);
    return true;
}

void check_position(const JsonError& err, std::string_view text) {
    require(err.line >= 1);
    require(err.column <= text.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view in(reinterpret_cast<const char*>(data), size);

    if (klov::json::detail::utf8_vector_supported()) {
        for (std::size_t skip = 0; skip < 16 && skip <= size; ++skip) {
            require(klov::json::detail::valid_utf8_vector(data + skip, size - skip) ==
                    klov::json::detail::valid_utf8(data + skip, size - skip));
        }
    }

    Arena arena;
    JsonValue doc;
    JsonError err;
    const bool ok = parse_json_bytes(in, arena, doc, err);

    std::string canon = "#";
    JsonError cerr;
    const bool cok = canonicalize_bytes(in, canon, cerr);
    require(ok == cok);

    std::string blob = "KLOV\x01";
    blob.append(in);
    std::string decoded;
    JsonError derr;
    const bool dok = decode_checkpoint(blob, decoded, derr);
    require(dok == ok);

    if (!ok) {
        check_position(err, in);
        require(canon == "#");
        require(cerr.text() == err.text());
        require(derr.text() == err.text());
        return 0;
    }

    std::string first;
    write_json(doc, first);
    require(canon == "#" + first);
    require(decoded == first);
    require(detail::valid_utf8(reinterpret_cast<const unsigned char*>(first.data()), first.size()));

    Arena arena2;
    JsonValue again;
    JsonError err2;
    require(parse_json_bytes(first, arena2, again, err2));
    std::string second;
    write_json(again, second);
    require(second == first);

    // The text parser accepts whatever the byte parser accepts.
    Arena arena3;
    JsonValue as_text;
    require(parse_json_text(in, arena3, as_text, err2));
    std::string third;
    write_json(as_text, third);
    require(third == first);
    return 0;
}
