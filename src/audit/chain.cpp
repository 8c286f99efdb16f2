#include "audit/chain.hpp"

// The low-level digest functions are deprecated in OpenSSL 3 but still built
// by default; the EVP path below serves libraries that leave them out.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/opensslv.h>
#include <openssl/sha.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>

#include "common/compiler.hpp"

#if defined(KLOV_HAVE_SSE2)
#include <emmintrin.h>
#endif

namespace klov::audit {
namespace {

constexpr std::size_t kDigestSize = 32;
constexpr unsigned char kSeparator = 0x1F;

// The single place where a digest library failure becomes a C++ exception.
// The error queue is drained so that a later, unrelated call does not see
// stale entries. An allocation failure inside the library is reported as the
// allocation failure it is; anything else is a broken environment (no SHA-256
// provider loaded, say), which callers treat as an internal fault.
[[noreturn]] void throw_digest_failure(const char* step) {
    const unsigned long code = ERR_peek_last_error();
    ERR_clear_error();
    if (code != 0 && ERR_GET_REASON(code) == ERR_R_MALLOC_FAILURE) {
        throw std::bad_alloc();
    }
    char detail[256] = "no library error recorded";
    if (code != 0) {
        ERR_error_string_n(code, detail, sizeof detail);
    }
    throw std::runtime_error(std::string("SHA-256 ") + step + " failed: " + detail);
}

#if !defined(OPENSSL_NO_DEPRECATED_3_0)

// The digest functions below the EVP layer: same library code for the
// compression, but a stack context and no dispatch through the provider table
// on every init, update and final. On a chain of short links that dispatch
// and the context's cleansing cost about a sixth of the hashing itself.
class LinkHasher {
public:
    void digest(std::string_view prev, std::string_view payload, unsigned char out[kDigestSize]) {
        if (SHA256_Init(&ctx_) != 1) {
            throw_digest_failure("initialisation");
        }
        if (SHA256_Update(&ctx_, prev.data(), prev.size()) != 1 ||
            SHA256_Update(&ctx_, &kSeparator, 1) != 1 ||
            SHA256_Update(&ctx_, payload.data(), payload.size()) != 1) {
            throw_digest_failure("update");
        }
        if (SHA256_Final(out, &ctx_) != 1) {
            throw_digest_failure("finalisation");
        }
    }

private:
    SHA256_CTX ctx_;
};

#else  // a library built without the deprecated digest functions

// Looking the algorithm up by name costs about as much as hashing a short
// link, and the legacy EVP_sha256() handle repeats that lookup inside every
// EVP_DigestInit_ex on OpenSSL 3. The fetched handle is immutable and safe to
// share, so it is resolved once per process and deliberately never freed:
// releasing it from a static destructor could run after the library's own
// exit-time cleanup.
const EVP_MD* sha256_algorithm() {
    static const EVP_MD* const md = [] {
        EVP_MD* fetched = EVP_MD_fetch(nullptr, "SHA256", nullptr);
        if (fetched == nullptr) {
            throw_digest_failure("algorithm lookup");
        }
        return fetched;
    }();
    return md;
}

// One digest context, reset for every link. Owning it through unique_ptr
// releases it on every exit path, exceptions included.
class LinkHasher {
public:
    LinkHasher() : md_(sha256_algorithm()), ctx_(EVP_MD_CTX_new(), &EVP_MD_CTX_free) {
        if (!ctx_) {
            // Context creation has no failure mode other than allocation.
            ERR_clear_error();
            throw std::bad_alloc();
        }
    }

    // Feeds prev, the separator and payload in place: no joined buffer.
    void digest(std::string_view prev, std::string_view payload, unsigned char out[kDigestSize]) {
        EVP_MD_CTX* ctx = ctx_.get();
        if (EVP_DigestInit_ex(ctx, md_, nullptr) != 1) {
            throw_digest_failure("initialisation");
        }
        if (EVP_DigestUpdate(ctx, prev.data(), prev.size()) != 1 ||
            EVP_DigestUpdate(ctx, &kSeparator, 1) != 1 ||
            EVP_DigestUpdate(ctx, payload.data(), payload.size()) != 1) {
            throw_digest_failure("update");
        }
        unsigned int written = 0;
        if (EVP_DigestFinal_ex(ctx, out, &written) != 1 || written != kDigestSize) {
            throw_digest_failure("finalisation");
        }
    }

private:
    const EVP_MD* md_;
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx_;
};

#endif

// Two hex digits per table entry: one load and one two-byte copy per digest
// byte, which matters when a chain is walked link by link.
constexpr auto kHexPairs = [] {
    constexpr char digits[] = "0123456789abcdef";
    struct Table {
        char pairs[256][2];
    } table{};
    for (int b = 0; b < 256; ++b) {
        table.pairs[b][0] = digits[b >> 4];
        table.pairs[b][1] = digits[b & 0x0F];
    }
    return table;
}();

void write_hex(const unsigned char digest[kDigestSize], char out[kHashTextSize]) {
    for (std::size_t i = 0; i < kDigestSize; ++i) {
        std::memcpy(out + 2 * i, kHexPairs.pairs[digest[i]], 2);
    }
}


// Asks for every cache line of text ahead of its use: the texts of a long
// chain live in separate objects across far more memory than the caches hold,
// and a link's hashing is long enough to hide the fetch of the next one's.
// Beyond the first few lines the processor's own prefetcher follows a long
// text.
void prefetch_text(std::string_view text) {
    constexpr std::size_t kLine = 64;
    const std::size_t span = std::min<std::size_t>(text.size(), 8 * kLine);
    for (std::size_t at = 0; at < span; at += kLine) {
        KLOV_PREFETCH(text.data() + at);
    }
}

// Whether stored (64 bytes) is the hash text of digest. The digits are formed
// and compared in registers: written out byte pair by byte pair and read back
// in words, they would stall every read on the narrow writes before it.
bool holds(const unsigned char digest[kDigestSize], std::string_view stored) {
#if defined(KLOV_HAVE_SSE2)
    const __m128i low_nibble = _mm_set1_epi8(0x0F);
    const __m128i nine = _mm_set1_epi8(9);
    const __m128i zero_digit = _mm_set1_epi8('0');
    const __m128i letter_gap = _mm_set1_epi8('a' - '0' - 10);
    const auto digits = [&](__m128i nibbles) {
        const __m128i letters = _mm_and_si128(_mm_cmpgt_epi8(nibbles, nine), letter_gap);
        return _mm_add_epi8(_mm_add_epi8(nibbles, zero_digit), letters);
    };
    const auto same = [&](__m128i text, std::size_t at) {
        const __m128i want = _mm_loadu_si128(reinterpret_cast<const __m128i*>(stored.data() + at));
        return _mm_movemask_epi8(_mm_cmpeq_epi8(text, want)) == 0xFFFF;
    };
    bool equal = true;
    for (std::size_t half = 0; half < 2; ++half) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(digest + 16 * half));
        const __m128i high = _mm_and_si128(_mm_srli_epi16(bytes, 4), low_nibble);
        const __m128i low = _mm_and_si128(bytes, low_nibble);
        // The high nibble's digit comes first.
        equal = equal && same(digits(_mm_unpacklo_epi8(high, low)), 32 * half) &&
                same(digits(_mm_unpackhi_epi8(high, low)), 32 * half + 16);
    }
    return equal;
#else
    char text[kHashTextSize];
    write_hex(digest, text);
    return std::memcmp(text, stored.data(), kHashTextSize) == 0;
#endif
}

}  // namespace

void hash_event(std::string_view prev_hash, std::string_view payload, char out[kHashTextSize]) {
    LinkHasher hasher;
    unsigned char digest[kDigestSize];
    hasher.digest(prev_hash, payload, digest);
    write_hex(digest, out);
}

std::optional<std::size_t> verify_chain(
    std::string_view genesis,
    const std::vector<std::pair<std::string_view, std::string_view>>& entries) {
    // Link i is checked with the stored hash of entry i-1 as its previous
    // hash. Up to the first broken link every stored hash equals the
    // recomputed one byte for byte, so the first link that fails this way is
    // the first broken link of the chain; and no link waits on the one before.
    LinkHasher hasher;
    unsigned char digest[kDigestSize];
    const std::size_t n = entries.size();
    for (std::size_t i = 0; i < n; ++i) {
        if (i + 1 < n) {
            prefetch_text(entries[i + 1].first);
            prefetch_text(entries[i + 1].second);
        }
        const auto& [payload, stored] = entries[i];
        if (stored.size() != kHashTextSize) {
            return i;  // no digest text has this length
        }
        hasher.digest(i == 0 ? genesis : entries[i - 1].second, payload, digest);
        if (!holds(digest, stored)) {
            return i;
        }
    }
    return std::nullopt;
}

}  // namespace klov::audit
