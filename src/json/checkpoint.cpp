#include "json/checkpoint.hpp"

#include <cstring>

#include "json/canon.hpp"

namespace klov::json {

// Neither direction needs the document itself, only its canonical text, so
// both go through the streaming canonical writer: same grammar and errors as
// parse_json_text / parse_json_bytes followed by write_json.

bool encode_checkpoint(std::string_view json_text, std::string& blob, JsonError& err) {
    CanonicalText canon;
    if (!canon.read_text(json_text, err)) return false;
    blob.resize(kCheckpointHeaderSize + canon.size());
    write_checkpoint_header(blob.data());
    canon.copy_to(blob.data() + kCheckpointHeaderSize);
    return true;
}

void write_checkpoint_header(char* dst) {
    std::memcpy(dst, kCheckpointMagic, sizeof kCheckpointMagic);
    dst[4] = static_cast<char>(kCheckpointVersion);
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
