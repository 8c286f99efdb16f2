#pragma once

#include <cstddef>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

namespace klov::audit {

// Length of a hash text: 32 digest bytes as lower-case hex.
inline constexpr std::size_t kHashTextSize = 64;

// Chained link hash: SHA-256 over the bytes of prev_hash, the byte 0x1F and the
// bytes of payload, written as 64 lower-case hex digits to out[0..63] (no
// terminator). The separator keeps ("a", "bc") and ("ab", "c") apart.
//
// Throws std::bad_alloc when the digest library runs out of memory and
// std::runtime_error for any other digest library failure; neither happens
// in ordinary operation.
void hash_event(std::string_view prev_hash, std::string_view payload, char out[kHashTextSize]);

// Walks the chain from genesis; each entry is (payload, stored hash). Returns
// the position of the first entry whose recomputed hash differs byte for byte
// from its stored hash, or std::nullopt when every link holds (also when
// entries is empty). Entries after the first broken link are not hashed.
// Throws like hash_event.
std::optional<std::size_t> verify_chain(
    std::string_view genesis,
    const std::vector<std::pair<std::string_view, std::string_view>>& entries);

}  // namespace klov::audit
