// The checkpoint blob: "KLOV", a version byte, the canonical text.
#pragma once

#include <string>
#include <string_view>

#include "json/error.hpp"

namespace klov::json {

inline constexpr char kCheckpointMagic[4] = {'K', 'L', 'O', 'V'};
inline constexpr unsigned char kCheckpointVersion = 1;
inline constexpr std::size_t kCheckpointHeaderSize = 5;

// Checks the magic, then the version, then parses the payload (byte rules,
// positions counted from the first payload byte) and sets `json_out` to its
// canonical text.
[[nodiscard]] bool decode_checkpoint(std::string_view blob, std::string& json_out, JsonError& err);

// Encoding: the blob is allocated at kCheckpointHeaderSize +
// CanonicalText::size() bytes, this writes the five header bytes at its
// start, and CanonicalText::copy_to() the text after them.
void write_checkpoint_header(char* dst);

}  // namespace klov::json
