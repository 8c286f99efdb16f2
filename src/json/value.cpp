#include "json/value.hpp"

#include <algorithm>
#include <cstring>

#include "json/error.hpp"

namespace klov::json {

std::string_view Arena::store(std::string_view bytes) {
    constexpr std::size_t kBlock = 64 * 1024;
    if (bytes.empty()) return {};
    if (bytes.size() > left_) {
        // Large strings get a block of their own so the current block's tail is kept.
        if (bytes.size() >= kBlock / 4) {
            blocks_.push_back(std::make_unique<char[]>(bytes.size()));
            std::memcpy(blocks_.back().get(), bytes.data(), bytes.size());
            return {blocks_.back().get(), bytes.size()};
        }
        blocks_.push_back(std::make_unique<char[]>(kBlock));
        cur_ = blocks_.back().get();
        left_ = kBlock;
    }
    std::memcpy(cur_, bytes.data(), bytes.size());
    std::string_view out(cur_, bytes.size());
    cur_ += bytes.size();
    left_ -= bytes.size();
    return out;
}

std::string JsonError::text() const {
    if (line == 0) return message;
    std::string out = message;
    out += " at line ";
    out += std::to_string(line);
    out += " column ";
    out += std::to_string(column);
    return out;
}

}  // namespace klov::json
