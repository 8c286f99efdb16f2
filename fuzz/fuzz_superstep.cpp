// libFuzzer target for superstep application and single-channel reduction.
//
// The input is split at 0xFF bytes (a byte that never occurs in UTF-8 text)
// into up to three texts: state, reducers and updates for advance_superstep;
// the first text also serves as the reducer name and the other two as current
// and update values for reduce_channel.  Neither may crash, and a successful
// result must be canonical: parsing it and writing it again gives it back.
// advance_superstep and reduce_channel, which merge canonical texts without
// parsing them, must agree with merging parsed documents through
// apply_reducer in the reference model, result or error.
//
// Build: clang++ -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -Isrc
//        fuzz/fuzz_superstep.cpp src/graph/*.cpp src/json/*.cpp src/reference/*.cpp -o fuzz_superstep
// Where clang cannot compile the sources, g++ with -fsanitize=address,undefined
// -fsanitize-coverage=trace-cmp, linked against clang's libclang_rt.fuzzer
// archive (plus empty __sanitizer_cov_trace_cmpf/cmpd hooks), runs with
// -use_value_profile=1 for guidance.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "graph/reducer.hpp"
#include "graph/superstep.hpp"
#include "reference/reference.hpp"

namespace {

using namespace klov;

void check_canonical(std::string_view text) {
    json::Arena arena;
    json::JsonValue doc;
    json::JsonError err;
    if (!reference::parse_json_text(text, arena, doc, err)) {
        // Appending wraps the current value in one more list, so a result may
        // be nested deeper than a parse accepts.  Anything else is a fault.
        if (err.message == "recursion limit exceeded") return;
        std::abort();
    }
    std::string again;
    reference::write_json(doc, again);
    if (again != text) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    std::string_view parts[3];
    for (int i = 0; i < 2; ++i) {
        const std::size_t cut = input.find('\xFF');
        if (cut == std::string_view::npos) break;
        parts[i] = input.substr(0, cut);
        input.remove_prefix(cut + 1);
    }
    parts[2] = input;

    json::WrittenText state;
    json::JsonError err;
    const bool ok = graph::advance_superstep(parts[0], parts[1], parts[2], state, err);
    std::string expected;
    json::JsonError expected_err;
    if (reference::advance_superstep(parts[0], parts[1], parts[2], expected, expected_err) != ok) std::abort();
    if (ok) {
        check_canonical(state.view());
        if (state.view() != expected) std::abort();
    } else if (err.text() != expected_err.text()) {
        std::abort();
    }

    // reduce_channel against the reference on parsed documents, under the
    // first text as a reducer name and under the named reducers.
    std::string out;
    for (std::string_view name : {parts[0], std::string_view("add"), std::string_view("append")}) {
        out.clear();
        const bool reduced = graph::reduce_channel(name, parts[1], parts[2], out, err);
        json::JsonError reference_err;
        const bool expected_ok = reference::reduce_channel(name, parts[1], parts[2], expected, reference_err);
        if (reduced != expected_ok) std::abort();
        if (!reduced) {
            if (err.text() != reference_err.text()) std::abort();
            continue;
        }
        check_canonical(out);
        if (out != expected) std::abort();
    }
    return 0;
}
