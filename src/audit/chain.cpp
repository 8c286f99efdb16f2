#include "audit/chain.hpp"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/opensslv.h>

#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>

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

// Looking the algorithm up by name costs about as much as hashing a short
// link, and the legacy EVP_sha256() handle repeats that lookup inside every
// EVP_DigestInit_ex on OpenSSL 3. The fetched handle is immutable and safe to
// share, so it is resolved once per process and deliberately never freed:
// releasing it from a static destructor could run after the library's own
// exit-time cleanup.
const EVP_MD* sha256_algorithm() {
#if OPENSSL_VERSION_NUMBER >= 0x30000000L
    static const EVP_MD* const md = [] {
        EVP_MD* fetched = EVP_MD_fetch(nullptr, "SHA256", nullptr);
        if (fetched == nullptr) {
            throw_digest_failure("algorithm lookup");
        }
        return fetched;
    }();
    return md;
#else
    return EVP_sha256();
#endif
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
    if (entries.empty()) {
        return std::nullopt;
    }
    LinkHasher hasher;
    unsigned char digest[kDigestSize];
    char text[kHashTextSize];
    std::string_view prev = genesis;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const auto& [payload, stored] = entries[i];
        // prev may point into text: it is consumed before text is rewritten.
        hasher.digest(prev, payload, digest);
        write_hex(digest, text);
        if (stored.size() != kHashTextSize || std::memcmp(text, stored.data(), kHashTextSize) != 0) {
            return i;
        }
        prev = std::string_view(text, kHashTextSize);
    }
    return std::nullopt;
}

}  // namespace klov::audit
