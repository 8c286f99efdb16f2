// Lane kernels: each SIMD lane carries one row's own dot product and sum of
// squares, walking the columns in order, so every lane performs exactly the
// scalar sequence of rounded multiplies and adds. Rows are loaded eight
// columns at a time and transposed in registers, which turns a block of rows
// into one register per column.
//
// Wider instruction sets are enabled per function (target attributes) and
// chosen at run time, so the library itself runs on any x86-64 CPU. No
// fused multiply-add appears: each product is rounded before it is added.

#include "vector/kernels.hpp"

#include <atomic>

#include "common/compiler.hpp"

#if defined(KLOV_HAVE_X86_KERNELS)

#include <immintrin.h>

// GCC 12's AVX-512 intrinsics fill their unused merge operand from a
// self-initialised "undefined" vector, which -Wuninitialized reports at every
// inlined call site. Nothing here reads an undefined value.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#define KLOV_TARGET_AVX __attribute__((target("avx")))
#define KLOV_TARGET_AVX512 __attribute__((target("avx512f")))
#define KLOV_INLINE_AVX __attribute__((target("avx"), always_inline)) inline
#define KLOV_INLINE_AVX512 __attribute__((target("avx512f"), always_inline)) inline

namespace klov::vector::detail {
namespace {

// ---- SSE2: four rows per register, part of the x86-64 baseline ----------

template <typename T>
inline __m128 sse_load4(const T* p) {
    if constexpr (sizeof(T) == sizeof(float)) {
        return _mm_loadu_ps(p);
    } else {
        return _mm_movelh_ps(_mm_cvtpd_ps(_mm_loadu_pd(p)), _mm_cvtpd_ps(_mm_loadu_pd(p + 2)));
    }
}

inline void sse_step(__m128& dot, __m128& sy, __m128 col, float qj) {
    dot = _mm_add_ps(dot, _mm_mul_ps(col, _mm_set1_ps(qj)));
    sy = _mm_add_ps(sy, _mm_mul_ps(col, col));
}

template <typename T>
void sse2_kernel(const float* q, std::size_t n, float sqrt_sx, const T* const* p, float* scores) {
    const T* r0 = p[0];
    const T* r1 = p[1];
    const T* r2 = p[2];
    const T* r3 = p[3];
    __m128 dot = _mm_setzero_ps();
    __m128 sy = _mm_setzero_ps();
    std::size_t c = 0;
    for (; c + 4 <= n; c += 4) {
        __m128 c0 = sse_load4(r0 + c);
        __m128 c1 = sse_load4(r1 + c);
        __m128 c2 = sse_load4(r2 + c);
        __m128 c3 = sse_load4(r3 + c);
        _MM_TRANSPOSE4_PS(c0, c1, c2, c3);
        sse_step(dot, sy, c0, q[c]);
        sse_step(dot, sy, c1, q[c + 1]);
        sse_step(dot, sy, c2, q[c + 2]);
        sse_step(dot, sy, c3, q[c + 3]);
    }
    for (; c < n; ++c) {
        const __m128 col = _mm_setr_ps(static_cast<float>(r0[c]), static_cast<float>(r1[c]),
                                       static_cast<float>(r2[c]), static_cast<float>(r3[c]));
        sse_step(dot, sy, col, q[c]);
    }
    const __m128 den = _mm_mul_ps(_mm_sqrt_ps(sy), _mm_set1_ps(sqrt_sx));
    const __m128 score = _mm_div_ps(dot, den);
    // An exactly zero sum of squares scores +0.0; the ordered compare leaves NaN alone.
    const __m128 zero_sum = _mm_cmpeq_ps(sy, _mm_setzero_ps());
    _mm_storeu_ps(scores, _mm_andnot_ps(zero_sum, score));
}

// ---- AVX: eight rows per register ---------------------------------------

template <typename T>
KLOV_INLINE_AVX __m256 avx_load8(const T* p) {
    if constexpr (sizeof(T) == sizeof(float)) {
        return _mm256_loadu_ps(p);
    } else {
        const __m128 lo = _mm256_cvtpd_ps(_mm256_loadu_pd(p));
        const __m128 hi = _mm256_cvtpd_ps(_mm256_loadu_pd(p + 4));
        return _mm256_insertf128_ps(_mm256_castps128_ps256(lo), hi, 1);
    }
}

KLOV_INLINE_AVX void avx_step(__m256& dot, __m256& sy, __m256 col, float qj) {
    dot = _mm256_add_ps(dot, _mm256_mul_ps(col, _mm256_set1_ps(qj)));
    sy = _mm256_add_ps(sy, _mm256_mul_ps(col, col));
}

template <typename T>
KLOV_TARGET_AVX void avx_kernel(const float* q, std::size_t n, float sqrt_sx, const T* const* p,
                                float* scores) {
    const T* r[8];
    for (int l = 0; l < 8; ++l) {
        r[l] = p[l];
    }
    __m256 dot = _mm256_setzero_ps();
    __m256 sy = _mm256_setzero_ps();
    std::size_t c = 0;
    for (; c + 8 <= n; c += 8) {
        const __m256 a0 = avx_load8(r[0] + c);
        const __m256 a1 = avx_load8(r[1] + c);
        const __m256 a2 = avx_load8(r[2] + c);
        const __m256 a3 = avx_load8(r[3] + c);
        const __m256 a4 = avx_load8(r[4] + c);
        const __m256 a5 = avx_load8(r[5] + c);
        const __m256 a6 = avx_load8(r[6] + c);
        const __m256 a7 = avx_load8(r[7] + c);
        // 8x8 transpose: pairs, then quads within 128-bit halves, then halves.
        const __m256 t0 = _mm256_unpacklo_ps(a0, a1);
        const __m256 t1 = _mm256_unpackhi_ps(a0, a1);
        const __m256 t2 = _mm256_unpacklo_ps(a2, a3);
        const __m256 t3 = _mm256_unpackhi_ps(a2, a3);
        const __m256 t4 = _mm256_unpacklo_ps(a4, a5);
        const __m256 t5 = _mm256_unpackhi_ps(a4, a5);
        const __m256 t6 = _mm256_unpacklo_ps(a6, a7);
        const __m256 t7 = _mm256_unpackhi_ps(a6, a7);
        const __m256 s0 = _mm256_shuffle_ps(t0, t2, 0x44);
        const __m256 s1 = _mm256_shuffle_ps(t0, t2, 0xEE);
        const __m256 s2 = _mm256_shuffle_ps(t1, t3, 0x44);
        const __m256 s3 = _mm256_shuffle_ps(t1, t3, 0xEE);
        const __m256 s4 = _mm256_shuffle_ps(t4, t6, 0x44);
        const __m256 s5 = _mm256_shuffle_ps(t4, t6, 0xEE);
        const __m256 s6 = _mm256_shuffle_ps(t5, t7, 0x44);
        const __m256 s7 = _mm256_shuffle_ps(t5, t7, 0xEE);
        avx_step(dot, sy, _mm256_permute2f128_ps(s0, s4, 0x20), q[c]);
        avx_step(dot, sy, _mm256_permute2f128_ps(s1, s5, 0x20), q[c + 1]);
        avx_step(dot, sy, _mm256_permute2f128_ps(s2, s6, 0x20), q[c + 2]);
        avx_step(dot, sy, _mm256_permute2f128_ps(s3, s7, 0x20), q[c + 3]);
        avx_step(dot, sy, _mm256_permute2f128_ps(s0, s4, 0x31), q[c + 4]);
        avx_step(dot, sy, _mm256_permute2f128_ps(s1, s5, 0x31), q[c + 5]);
        avx_step(dot, sy, _mm256_permute2f128_ps(s2, s6, 0x31), q[c + 6]);
        avx_step(dot, sy, _mm256_permute2f128_ps(s3, s7, 0x31), q[c + 7]);
    }
    for (; c < n; ++c) {
        float col[8];
        for (int l = 0; l < 8; ++l) {
            col[l] = static_cast<float>(r[l][c]);
        }
        avx_step(dot, sy, _mm256_loadu_ps(col), q[c]);
    }
    const __m256 den = _mm256_mul_ps(_mm256_sqrt_ps(sy), _mm256_set1_ps(sqrt_sx));
    const __m256 score = _mm256_div_ps(dot, den);
    const __m256 zero_sum = _mm256_cmp_ps(sy, _mm256_setzero_ps(), _CMP_EQ_OQ);
    _mm256_storeu_ps(scores, _mm256_andnot_ps(zero_sum, score));
}

// ---- AVX-512: sixteen rows per register ---------------------------------

template <typename T>
KLOV_INLINE_AVX512 __m256 avx512_load8(const T* p) {
    if constexpr (sizeof(T) == sizeof(float)) {
        return _mm256_loadu_ps(p);
    } else {
        return _mm512_cvtpd_ps(_mm512_loadu_pd(p));
    }
}

KLOV_INLINE_AVX512 __m512 avx512_join(__m256 lo, __m256 hi) {
    return _mm512_castpd_ps(_mm512_insertf64x4(_mm512_castpd256_pd512(_mm256_castps_pd(lo)),
                                               _mm256_castps_pd(hi), 1));
}

KLOV_INLINE_AVX512 void avx512_step(__m512& dot, __m512& sy, __m512 col, float qj) {
    dot = _mm512_add_ps(dot, _mm512_mul_ps(col, _mm512_set1_ps(qj)));
    sy = _mm512_add_ps(sy, _mm512_mul_ps(col, col));
}

// The eight-column rows of sixteen rows are paired into 512-bit registers as
// (k, k+4) for k < 4 and (8+k, 12+k), so that the in-lane transpose steps of
// the eight-row version followed by one 128-bit block shuffle leave lane l
// holding row l.
template <typename T>
KLOV_TARGET_AVX512 void avx512_kernel(const float* q, std::size_t n, float sqrt_sx,
                                      const T* const* p, float* scores) {
    const T* r[16];
    for (int l = 0; l < 16; ++l) {
        r[l] = p[l];
    }
    __m512 dot = _mm512_setzero_ps();
    __m512 sy = _mm512_setzero_ps();
    std::size_t c = 0;
    for (; c + 8 <= n; c += 8) {
        const __m512 z0 = avx512_join(avx512_load8(r[0] + c), avx512_load8(r[4] + c));
        const __m512 z1 = avx512_join(avx512_load8(r[1] + c), avx512_load8(r[5] + c));
        const __m512 z2 = avx512_join(avx512_load8(r[2] + c), avx512_load8(r[6] + c));
        const __m512 z3 = avx512_join(avx512_load8(r[3] + c), avx512_load8(r[7] + c));
        const __m512 z4 = avx512_join(avx512_load8(r[8] + c), avx512_load8(r[12] + c));
        const __m512 z5 = avx512_join(avx512_load8(r[9] + c), avx512_load8(r[13] + c));
        const __m512 z6 = avx512_join(avx512_load8(r[10] + c), avx512_load8(r[14] + c));
        const __m512 z7 = avx512_join(avx512_load8(r[11] + c), avx512_load8(r[15] + c));
        const __m512 t0 = _mm512_unpacklo_ps(z0, z1);
        const __m512 t1 = _mm512_unpackhi_ps(z0, z1);
        const __m512 t2 = _mm512_unpacklo_ps(z2, z3);
        const __m512 t3 = _mm512_unpackhi_ps(z2, z3);
        const __m512 t4 = _mm512_unpacklo_ps(z4, z5);
        const __m512 t5 = _mm512_unpackhi_ps(z4, z5);
        const __m512 t6 = _mm512_unpacklo_ps(z6, z7);
        const __m512 t7 = _mm512_unpackhi_ps(z6, z7);
        const __m512 s0 = _mm512_shuffle_ps(t0, t2, 0x44);
        const __m512 s1 = _mm512_shuffle_ps(t0, t2, 0xEE);
        const __m512 s2 = _mm512_shuffle_ps(t1, t3, 0x44);
        const __m512 s3 = _mm512_shuffle_ps(t1, t3, 0xEE);
        const __m512 s4 = _mm512_shuffle_ps(t4, t6, 0x44);
        const __m512 s5 = _mm512_shuffle_ps(t4, t6, 0xEE);
        const __m512 s6 = _mm512_shuffle_ps(t5, t7, 0x44);
        const __m512 s7 = _mm512_shuffle_ps(t5, t7, 0xEE);
        avx512_step(dot, sy, _mm512_shuffle_f32x4(s0, s4, 0x88), q[c]);
        avx512_step(dot, sy, _mm512_shuffle_f32x4(s1, s5, 0x88), q[c + 1]);
        avx512_step(dot, sy, _mm512_shuffle_f32x4(s2, s6, 0x88), q[c + 2]);
        avx512_step(dot, sy, _mm512_shuffle_f32x4(s3, s7, 0x88), q[c + 3]);
        avx512_step(dot, sy, _mm512_shuffle_f32x4(s0, s4, 0xDD), q[c + 4]);
        avx512_step(dot, sy, _mm512_shuffle_f32x4(s1, s5, 0xDD), q[c + 5]);
        avx512_step(dot, sy, _mm512_shuffle_f32x4(s2, s6, 0xDD), q[c + 6]);
        avx512_step(dot, sy, _mm512_shuffle_f32x4(s3, s7, 0xDD), q[c + 7]);
    }
    for (; c < n; ++c) {
        float col[16];
        for (int l = 0; l < 16; ++l) {
            col[l] = static_cast<float>(r[l][c]);
        }
        avx512_step(dot, sy, _mm512_loadu_ps(col), q[c]);
    }
    const __m512 den = _mm512_mul_ps(_mm512_sqrt_ps(sy), _mm512_set1_ps(sqrt_sx));
    const __m512 score = _mm512_div_ps(dot, den);
    const __mmask16 zero_sum = _mm512_cmp_ps_mask(sy, _mm512_setzero_ps(), _CMP_EQ_OQ);
    _mm512_storeu_ps(scores, _mm512_mask_mov_ps(score, zero_sum, _mm512_setzero_ps()));
}

}  // namespace

LaneKernels lane_kernels(Isa isa) {
    switch (isa) {
        case Isa::sse2:
            return {4, &sse2_kernel<float>, &sse2_kernel<double>};
        case Isa::avx:
            return {8, &avx_kernel<float>, &avx_kernel<double>};
        case Isa::avx512:
            return {16, &avx512_kernel<float>, &avx512_kernel<double>};
        case Isa::scalar:
            break;
    }
    return {0, nullptr, nullptr};
}

bool isa_supported(Isa isa) {
    __builtin_cpu_init();
    switch (isa) {
        case Isa::scalar:
        case Isa::sse2:
            return true;
        case Isa::avx:
            return __builtin_cpu_supports("avx");
        case Isa::avx512:
            return __builtin_cpu_supports("avx512f");
    }
    return false;
}

}  // namespace klov::vector::detail

#else  // no x86-64 kernels on this target: the scalar loop serves everything

namespace klov::vector::detail {

LaneKernels lane_kernels(Isa) { return {0, nullptr, nullptr}; }

bool isa_supported(Isa isa) { return isa == Isa::scalar; }

}  // namespace klov::vector::detail

#endif

namespace klov::vector::detail {
namespace {

// The instruction set named to choose_kernels, or -1 for best_isa(). Read
// on every scoring call: a relaxed atomic load is all it costs.
std::atomic<int> g_chosen{-1};

}  // namespace

Isa best_isa() {
    static const Isa chosen = [] {
        for (Isa isa : {Isa::avx512, Isa::avx, Isa::sse2}) {
            if (isa_supported(isa)) {
                return isa;
            }
        }
        return Isa::scalar;
    }();
    return chosen;
}

Isa active_isa() {
    const int chosen = g_chosen.load(std::memory_order_relaxed);
    return chosen < 0 ? best_isa() : static_cast<Isa>(chosen);
}

const char* isa_name(Isa isa) {
    switch (isa) {
        case Isa::scalar:
            return "scalar";
        case Isa::sse2:
            return "sse2";
        case Isa::avx:
            return "avx";
        case Isa::avx512:
            return "avx512";
    }
    return "unknown";
}

}  // namespace klov::vector::detail

namespace klov::vector {

const char* choose_kernels(std::string_view name) {
    using detail::Isa;
    if (name.empty()) {
        detail::g_chosen.store(-1, std::memory_order_relaxed);
        return nullptr;
    }
    for (Isa isa : {Isa::scalar, Isa::sse2, Isa::avx, Isa::avx512}) {
        if (name != detail::isa_name(isa)) {
            continue;
        }
        if (isa != Isa::scalar && detail::lane_kernels(isa).lanes == 0) {
            return "this build has no kernels for it";
        }
        if (!detail::isa_supported(isa)) {
            return "this CPU cannot run its instructions";
        }
        detail::g_chosen.store(static_cast<int>(isa), std::memory_order_relaxed);
        return nullptr;
    }
    return "not an instruction set (expected scalar, sse2, avx or avx512; unset or empty for the "
           "best available)";
}

}  // namespace klov::vector
