// Validation by three table lookups per byte.  Every error shows as a bit
// pattern in two consecutive bytes: the high nibble of the first, its low
// nibble and the high nibble of the second each index a table of the error
// classes they allow, and a class is present when all three allow it.
// Third and fourth bytes of a sequence (continuation after continuation)
// are told from stray ones by looking two and three bytes back.  Sixteen
// bytes are checked per step, with the last bytes of the previous block in
// view, so sequences that straddle blocks are checked like any other.
#include "json/utf8.hpp"

#include <cstring>

#include "common/compiler.hpp"
#include "json/scan.hpp"

#if defined(KLOV_HAVE_X86_KERNELS)
#include <immintrin.h>
#endif

namespace klov::json::detail {

#if defined(KLOV_HAVE_X86_KERNELS)

namespace {

#define KLOV_TARGET_SSSE3 __attribute__((target("ssse3")))

// Error classes, one bit each.  kOverlong4 and kTooLarge1000 share a bit:
// both are a four-byte lead followed by 0x80..0x8F, told apart by the lead's
// low nibble.
constexpr char kTooShort = 1 << 0;    // a lead byte not followed by a continuation
constexpr char kTooLong = 1 << 1;     // ASCII followed by a continuation
constexpr char kOverlong3 = 1 << 2;   // E0 80..9F
constexpr char kTooLarge = 1 << 3;    // F4 90..BF, F5..FF
constexpr char kSurrogate = 1 << 4;   // ED A0..BF
constexpr char kOverlong2 = 1 << 5;   // C0, C1
constexpr char kTooLarge1000 = 1 << 6;
constexpr char kOverlong4 = 1 << 6;   // F0 80..8F
constexpr char kTwoConts = static_cast<char>(1 << 7);  // continuation after continuation
constexpr char kCarry = kTooShort | kTooLong | kTwoConts;

struct State {
    __m128i prev;        // the previous block
    __m128i error;       // any class found so far
    __m128i incomplete;  // the previous block ends inside a sequence
};

KLOV_TARGET_SSSE3 inline __m128i high_nibbles(__m128i v) {
    return _mm_and_si128(_mm_srli_epi16(v, 4), _mm_set1_epi8(0x0F));
}

KLOV_TARGET_SSSE3 inline void check_block(State& s, __m128i in) {
    const __m128i byte_1_high = _mm_setr_epi8(
        // 0xxx: ASCII first
        kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong,
        // 10xx: continuation first
        kTwoConts, kTwoConts, kTwoConts, kTwoConts,
        // 1100, 1101: two-byte lead
        kTooShort | kOverlong2, kTooShort,
        // 1110: three-byte lead
        kTooShort | kOverlong3 | kSurrogate,
        // 1111: four-byte lead (or worse)
        kTooShort | kTooLarge | kTooLarge1000 | kOverlong4);
    const __m128i byte_1_low = _mm_setr_epi8(
        kCarry | kOverlong3 | kOverlong2 | kOverlong4,  // ___0000
        kCarry | kOverlong2,                            // ___0001
        kCarry, kCarry,                                 // ___001x
        kCarry | kTooLarge,                             // ___0100
        kCarry | kTooLarge | kTooLarge1000,             // ___0101 .. 1100
        kCarry | kTooLarge | kTooLarge1000, kCarry | kTooLarge | kTooLarge1000,
        kCarry | kTooLarge | kTooLarge1000, kCarry | kTooLarge | kTooLarge1000,
        kCarry | kTooLarge | kTooLarge1000, kCarry | kTooLarge | kTooLarge1000,
        kCarry | kTooLarge | kTooLarge1000,
        kCarry | kTooLarge | kTooLarge1000 | kSurrogate,  // ___1101
        kCarry | kTooLarge | kTooLarge1000, kCarry | kTooLarge | kTooLarge1000);
    const __m128i byte_2_high = _mm_setr_epi8(
        // 0xxx: ASCII second
        kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort,
        // 1000, 1001, 101x: continuation second
        kTooLong | kOverlong2 | kTwoConts | kOverlong3 | kTooLarge1000 | kOverlong4,
        kTooLong | kOverlong2 | kTwoConts | kOverlong3 | kTooLarge,
        kTooLong | kOverlong2 | kTwoConts | kSurrogate | kTooLarge,
        kTooLong | kOverlong2 | kTwoConts | kSurrogate | kTooLarge,
        // 11xx: a lead second
        kTooShort, kTooShort, kTooShort, kTooShort);

    const __m128i prev1 = _mm_alignr_epi8(in, s.prev, 15);
    const __m128i classes =
        _mm_and_si128(_mm_and_si128(_mm_shuffle_epi8(byte_1_high, high_nibbles(prev1)),
                                    _mm_shuffle_epi8(byte_1_low, _mm_and_si128(prev1, _mm_set1_epi8(0x0F)))),
                      _mm_shuffle_epi8(byte_2_high, high_nibbles(in)));
    // Bytes two after a three- or four-byte lead, or three after a four-byte
    // lead, must be continuations after continuations: exactly where
    // kTwoConts is allowed.
    const __m128i prev2 = _mm_alignr_epi8(in, s.prev, 14);
    const __m128i prev3 = _mm_alignr_epi8(in, s.prev, 13);
    const __m128i third = _mm_subs_epu8(prev2, _mm_set1_epi8(static_cast<char>(0xE0 - 0x80)));
    const __m128i fourth = _mm_subs_epu8(prev3, _mm_set1_epi8(static_cast<char>(0xF0 - 0x80)));
    const __m128i must_follow = _mm_and_si128(_mm_or_si128(third, fourth), _mm_set1_epi8(static_cast<char>(0x80)));
    s.error = _mm_or_si128(s.error, _mm_xor_si128(must_follow, classes));
    // A block ends inside a sequence when one of its last three bytes
    // leads a sequence longer than what is left of the block.
    const __m128i last_leads = _mm_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
                                             static_cast<char>(0xF0 - 1), static_cast<char>(0xE0 - 1),
                                             static_cast<char>(0xC0 - 1));
    s.incomplete = _mm_subs_epu8(in, last_leads);
    s.prev = in;
}

KLOV_TARGET_SSSE3 bool validate_ssse3(const unsigned char* p, std::size_t n) {
    State s{_mm_setzero_si128(), _mm_setzero_si128(), _mm_setzero_si128()};
    std::size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        const __m128i in = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
        if (_mm_movemask_epi8(in) == 0) {
            // All ASCII: only a sequence left open by the block before is
            // an error.
            s.error = _mm_or_si128(s.error, s.incomplete);
            s.incomplete = _mm_setzero_si128();
            s.prev = in;
            continue;
        }
        check_block(s, in);
    }
    if (i < n) {
        // The tail, padded with zeros: a sequence cut short by the end is
        // then a lead followed by ASCII.
        alignas(16) unsigned char tail[16] = {};
        std::memcpy(tail, p + i, n - i);
        check_block(s, _mm_load_si128(reinterpret_cast<const __m128i*>(tail)));
    } else {
        s.error = _mm_or_si128(s.error, s.incomplete);
    }
    return _mm_movemask_epi8(_mm_cmpeq_epi8(s.error, _mm_setzero_si128())) == 0xFFFF;
}

bool cpu_has_ssse3() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("ssse3");
}

}  // namespace

bool utf8_vector_supported() {
    static const bool supported = cpu_has_ssse3();
    return supported;
}

bool valid_utf8_vector(const unsigned char* p, std::size_t n) { return validate_ssse3(p, n); }

bool valid_utf8_text(const unsigned char* p, std::size_t n) {
    // Short texts: the scalar check is as quick, and needs no tail copy.
    if (n < 32 || !utf8_vector_supported()) return valid_utf8(p, n);
    return validate_ssse3(p, n);
}

#else  // no vector code on this target

bool utf8_vector_supported() { return false; }
bool valid_utf8_vector(const unsigned char* p, std::size_t n) { return valid_utf8(p, n); }
bool valid_utf8_text(const unsigned char* p, std::size_t n) { return valid_utf8(p, n); }

#endif

}  // namespace klov::json::detail
