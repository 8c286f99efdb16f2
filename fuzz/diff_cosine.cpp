// Differential check of the lane kernels against the scalar scoring loop and
// against cosine_score itself: every instruction set this CPU supports must
// give the same score bits (any NaN matching any NaN) for dense float32,
// dense float64 and rows streamed in pieces, and rank_first must agree with
// rank.
//
// Standalone (random inputs, exits non-zero on the first difference):
//   g++ -std=c++20 -O2 -ffp-contract=off -Isrc fuzz/diff_cosine.cpp
//       src/vector/similarity.cpp src/vector/kernels_x86.cpp -o /tmp/diff_cosine
//   /tmp/diff_cosine [iterations] [seed]
// As a libFuzzer target:
//   clang++ -std=c++20 -O1 -g -ffp-contract=off -fsanitize=fuzzer,address,undefined
//       -DKLOV_WITH_LIBFUZZER -Isrc fuzz/diff_cosine.cpp src/vector/similarity.cpp
//       src/vector/kernels_x86.cpp -o /tmp/diff_cosine_fuzz
// (each command on one line)

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <utility>
#include <vector>

#include "vector/kernels.hpp"
#include "vector/similarity.hpp"

namespace {

using klov::vector::ScoredRow;
using namespace klov::vector::detail;

// Reads the fuzz input as a little stream of choices; an exhausted input
// reads as zeros so that every prefix is a valid case.
struct Input {
    const std::uint8_t* data;
    std::size_t size;
    std::size_t pos = 0;
    std::uint8_t byte() { return pos < size ? data[pos++] : 0; }
    std::uint32_t u32() {
        std::uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v = v << 8 | byte();
        return v;
    }
};

// Values that stress the arithmetic: signed zeros, subnormals, values whose
// squares overflow or vanish, infinities, NaN, and doubles beyond float range.
double pick_value(Input& in) {
    static const double kSpecial[] = {
        0.0, -0.0, 1.0, -1.0, 0.5, 3.0, 1e-45, -1e-45, 1e-40, 1.17549435e-38, 1e-20, 1e19,
        1e20, 3.4e38, -3.4e38, 1e39, -1e300, 1e-320,
        std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
        std::numeric_limits<double>::quiet_NaN(), -std::numeric_limits<double>::quiet_NaN()};
    const std::uint8_t kind = in.byte();
    if (kind < 48) {
        return kSpecial[kind % (sizeof kSpecial / sizeof kSpecial[0])];
    }
    // Otherwise a float-sized value with a random bit pattern, mostly normal.
    std::uint32_t bits = in.u32();
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return kind < 200 ? static_cast<double>(static_cast<std::int32_t>(bits) % 2001) / 100.0
                      : static_cast<double>(f);
}

bool same_score(float a, float b) {
    if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
    std::uint32_t x, y;
    std::memcpy(&x, &a, sizeof x);
    std::memcpy(&y, &b, sizeof y);
    return x == y;
}

[[noreturn]] void fail(const char* what, Isa isa, std::size_t row, float want, float got) {
    std::fprintf(stderr, "MISMATCH %s isa=%s row=%zu want=%a got=%a\n", what, isa_name(isa), row,
                 static_cast<double>(want), static_cast<double>(got));
    std::abort();
}

void check(const char* what, Isa isa, const std::vector<ScoredRow>& want,
           const std::vector<ScoredRow>& got) {
    if (want.size() != got.size()) fail(what, isa, want.size(), 0.0f, 0.0f);
    for (std::size_t i = 0; i < want.size(); ++i) {
        if (got[i].row != i || !same_score(want[i].score, got[i].score)) {
            fail(what, isa, i, want[i].score, got[i].score);
        }
    }
}

void run_case(const std::uint8_t* data, std::size_t size) {
    Input in{data, size};
    const std::size_t rows = in.byte() % 40;
    const std::size_t cols = in.byte() % 41;
    const bool query_mismatch = in.byte() < 16;
    const std::size_t nq = query_mismatch ? (cols + 1) % 41 : cols;

    std::vector<float> q(nq);
    for (auto& v : q) v = static_cast<float>(pick_value(in));
    std::vector<double> m64(rows * cols);
    for (auto& v : m64) v = pick_value(in);
    std::vector<float> m32(m64.size());
    for (std::size_t i = 0; i < m64.size(); ++i) m32[i] = static_cast<float>(m64[i]);

    // The dense rows, but some rows cut short so that lanes have to skip them
    // and regroup.
    std::vector<std::pair<const float*, std::size_t>> list(rows);
    for (std::size_t r = 0; r < rows; ++r) {
        const bool cut = cols > 0 && in.byte() < 24;
        list[r] = {m32.data() + r * cols, cut ? cols - 1 : cols};
    }

    // The same rows packed back to back, as a converted ragged matrix holds them.
    std::vector<float> packed;
    std::vector<std::size_t> offsets{0};
    for (const auto& [ptr, len] : list) {
        packed.insert(packed.end(), ptr, ptr + len);
        offsets.push_back(packed.size());
    }

    // Some streamed rows get two more values after their own: too long then.
    std::vector<bool> extra(rows);
    for (std::size_t r = 0; r < rows; ++r) extra[r] = nq > 0 && in.byte() < 24;
    std::uint32_t piece_state = in.u32();
    const auto pieces = [&] { return piece_state = piece_state * 1103515245u + 12345u, piece_state >> 16; };

    // Reference: the definition itself, row by row.
    std::vector<ScoredRow> ref_dense(rows), ref_list(rows), ref_streamed(rows);
    for (std::size_t r = 0; r < rows; ++r) {
        ref_dense[r] = {r, klov::vector::cosine_score(q.data(), nq, m32.data() + r * cols, cols)};
        ref_list[r] = {r, klov::vector::cosine_score(q.data(), nq, list[r].first, list[r].second)};
        std::vector<float> row(list[r].first, list[r].first + list[r].second);
        if (extra[r]) row.insert(row.end(), q.data(), q.data() + std::min<std::size_t>(nq, 2));
        ref_streamed[r] = {r, klov::vector::cosine_score(q.data(), nq, row.data(), row.size())};
    }

    std::vector<ScoredRow> got;
    for (Isa isa : {Isa::scalar, Isa::sse2, Isa::avx, Isa::avx512}) {
        if (!isa_supported(isa)) continue;
        score_dense_f32_with(isa, q.data(), nq, m32.data(), rows, cols, got);
        check("dense f32", isa, ref_dense, got);
        score_dense_f64_with(isa, q.data(), nq, m64.data(), rows, cols, got);
        check("dense f64", isa, ref_dense, got);
        // Rows handed over in pieces as a converter produces them, some with
        // values beyond the query's length.
        {
            StreamedRowsWith streamed(isa, q.data(), nq, got);
            for (std::size_t r = 0; r < rows; ++r) {
                const std::size_t len = offsets[r + 1] - offsets[r];
                for (std::size_t at = 0; at < len;) {
                    const std::size_t piece = std::min<std::size_t>(len - at, 1 + pieces() % 9);
                    streamed.take(packed.data() + offsets[r] + at, piece);
                    at += piece;
                }
                if (extra[r]) streamed.take(q.data(), std::min<std::size_t>(nq, 2));
                streamed.end_row();
            }
            streamed.finish();
        }
        check("streamed rows", isa, ref_streamed, got);
    }

    // The score of a second vector that arrives in pieces.
    for (std::size_t r = 0; r < rows; ++r) {
        const float* y = packed.data() + offsets[r];
        const std::size_t ny = offsets[r + 1] - offsets[r];
        const float sx = klov::vector::add_squares(klov::vector::add_squares(0.0f, q.data(), nq / 2), q.data() + nq / 2,
                                                   nq - nq / 2);
        klov::vector::StreamedCosine streamed(q.data(), nq, sx);
        for (std::size_t at = 0; at < ny;) {
            const std::size_t piece = std::min<std::size_t>(ny - at, 1 + pieces() % 7);
            streamed.take(y + at, piece);
            at += piece;
        }
        const float want = klov::vector::cosine_score(q.data(), nq, y, ny);
        if (!same_score(want, streamed.score())) fail("streamed cosine", Isa::scalar, r, want, streamed.score());
    }

    // Ranking: the selection of the first k must equal the full sort's head,
    // and the full sort must be ordered and a permutation of its input.
    std::vector<ScoredRow> full = ref_list;
    klov::vector::rank(full);
    std::vector<bool> seen(rows, false);
    for (std::size_t i = 0; i < full.size(); ++i) {
        if (full[i].row >= rows || seen[full[i].row]) fail("rank permutation", Isa::scalar, i, 0, 0);
        seen[full[i].row] = true;
        if (i == 0) continue;
        // Numbers descending with ties by row, then every NaN by row.
        const ScoredRow& a = full[i - 1];
        const ScoredRow& b = full[i];
        const bool a_nan = std::isnan(a.score);
        const bool b_nan = std::isnan(b.score);
        const bool ordered = a_nan ? (b_nan && a.row < b.row)
                                   : (b_nan || a.score > b.score || (a.score == b.score && a.row < b.row));
        if (!ordered) fail("rank order", Isa::scalar, i, a.score, b.score);
    }
    const std::uint64_t k = in.byte() % 12;
    std::vector<ScoredRow> head = ref_list;
    klov::vector::rank_first(head, k);
    if (head.size() != std::min<std::size_t>(k, rows)) fail("rank_first size", Isa::scalar, k, 0, 0);
    for (std::size_t i = 0; i < head.size(); ++i) {
        if (head[i].row != full[i].row) fail("rank_first", Isa::scalar, i, full[i].score, head[i].score);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    run_case(data, size);
    return 0;
}

#ifndef KLOV_WITH_LIBFUZZER
int main(int argc, char** argv) {
    const long iterations = argc > 1 ? std::atol(argv[1]) : 20000;
    const unsigned long seed = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 1;
    std::mt19937_64 rng(seed);
    std::vector<std::uint8_t> buf;
    for (long it = 0; it < iterations; ++it) {
        buf.resize(rng() % 8192);
        for (auto& b : buf) b = static_cast<std::uint8_t>(rng());
        run_case(buf.data(), buf.size());
    }
    std::printf("diff_cosine: %ld cases, kernels:", iterations);
    for (Isa isa : {Isa::scalar, Isa::sse2, Isa::avx, Isa::avx512}) {
        if (isa_supported(isa)) std::printf(" %s", isa_name(isa));
    }
    std::printf(" agree\n");
    return 0;
}
#endif
