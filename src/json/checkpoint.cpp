#include "json/checkpoint.hpp"

#include <cstring>

#include "json/canon.hpp"

namespace klov::json {

// The payload is read by the canonical writer, so decoding gives the same
// text and errors as reading the payload on its own.

std::size_t checkpoint_size(const CanonicalText& canonical) { return kCheckpointHeaderSize + canonical.size(); }

void write_checkpoint(const CanonicalText& canonical, char* dst) {
    std::memcpy(dst, kCheckpointMagic, sizeof kCheckpointMagic);
    dst[sizeof kCheckpointMagic] = static_cast<char>(kCheckpointVersion);
    canonical.copy_to(dst + kCheckpointHeaderSize);
}

bool decode_checkpoint(std::string_view blob, std::string& json_out, JsonError& err) {
    if (blob.size() < kCheckpointHeaderSize ||
        std::memcmp(blob.data(), kCheckpointMagic, sizeof kCheckpointMagic) != 0) {
        err = JsonError{"invalid checkpoint: bad magic header", 0, 0};
        return false;
    }
    const unsigned version = static_cast<unsigned char>(blob[4]);
    if (version != kCheckpointVersion) {
        err = JsonError{"unsupported checkpoint version: " + std::to_string(version), 0, 0};
        return false;
    }
    CanonicalText canon;
    if (!canon.read_bytes(blob.substr(kCheckpointHeaderSize), err)) return false;
    json_out.clear();
    canon.append_to(json_out);
    return true;
}

}  // namespace klov::json
