#include "json/checkpoint.hpp"

#include <cstring>

#include "json/parser.hpp"
#include "json/value.hpp"
#include "json/writer.hpp"

namespace klov::json {

bool encode_checkpoint(std::string_view json_text, std::string& blob, JsonError& err) {
    Arena arena;
    JsonValue doc;
    if (!parse_json_text(json_text, arena, doc, err)) return false;
    blob.clear();
    // The canonical text is rarely longer than its source, so one reservation
    // usually covers the whole blob.
    blob.reserve(kCheckpointHeaderSize + json_text.size() + 16);
    blob.append(kCheckpointMagic, sizeof kCheckpointMagic);
    blob.push_back(static_cast<char>(kCheckpointVersion));
    write_json(doc, blob);
    return true;
}

bool decode_checkpoint(std::string_view blob, std::string& json_out, JsonError& err) {
    if (blob.size() < kCheckpointHeaderSize ||
        std::memcmp(blob.data(), kCheckpointMagic, sizeof kCheckpointMagic) != 0) {
        err = JsonError{"invalid checkpoint: bad magic header", 0, 0};
        return false;
    }
    unsigned version = static_cast<unsigned char>(blob[4]);
    if (version != kCheckpointVersion) {
        err = JsonError{"unsupported checkpoint version: " + std::to_string(version), 0, 0};
        return false;
    }
    std::string_view payload = blob.substr(kCheckpointHeaderSize);
    Arena arena;
    JsonValue doc;
    if (!parse_json_bytes(payload, arena, doc, err)) return false;
    json_out.clear();
    json_out.reserve(payload.size() + 16);
    write_json(doc, json_out);
    return true;
}

}  // namespace klov::json
