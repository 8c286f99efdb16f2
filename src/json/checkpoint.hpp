// The checkpoint blob: "KLOV", a version byte, the canonical text.
#pragma once

#include <string>
#include <string_view>

#include "json/canon.hpp"
#include "json/error.hpp"

namespace klov::json {

inline constexpr char kCheckpointMagic[4] = {'K', 'L', 'O', 'V'};
inline constexpr unsigned char kCheckpointVersion = 1;
inline constexpr std::size_t kCheckpointHeaderSize = 5;

// Checks the magic, then the version, then parses the payload (byte rules,
// positions counted from the first payload byte) and sets `json_out` to its
// canonical text.
[[nodiscard]] bool decode_checkpoint(std::string_view blob, std::string& json_out, JsonError& err);

// Encoding: the blob of a text that `canonical` has read is
// checkpoint_size(canonical) bytes, which write_checkpoint fills, header
// then text, so that the caller can allocate the final object at its exact
// size and have it written in place.
std::size_t checkpoint_size(const CanonicalText& canonical);
void write_checkpoint(const CanonicalText& canonical, char* dst);

}  // namespace klov::json
