#include "graph/superstep.hpp"

#include <algorithm>
#include <utility>
#include <vector>

#include "graph/name_table.hpp"
#include "graph/reducer.hpp"
#include "json/parser.hpp"
#include "json/writer.hpp"

namespace klov::graph {

using json::Arena;
using json::Array;
using json::JsonError;
using json::JsonValue;
using json::Member;
using json::Object;

namespace {

constexpr std::string_view kDefaultReducer = "last_value";

JsonError unpositioned(const char* message) {
    JsonError e;
    e.message = message;
    e.line = 0;
    e.column = 0;
    return e;
}

// Channel name -> reducer name.  Only looked up, so its layout never shows.
class ReducerTable {
public:
    explicit ReducerTable(const std::vector<std::pair<std::string_view, std::string_view>>& entries)
        : names_(entries.size()) {
        values_.reserve(entries.size());
        for (const auto& [channel, reducer] : entries) {
            const std::uint32_t id = names_.intern(channel);
            if (id == values_.size()) {
                values_.push_back(reducer);
            } else {
                values_[id] = reducer;  // the later entry wins
            }
        }
    }

    bool empty() const { return values_.empty(); }

    std::string_view lookup(std::string_view channel) const {
        const std::uint32_t id = names_.find(channel);
        return id == NameTable::npos ? kDefaultReducer : values_[id];
    }

private:
    NameTable names_;
    std::vector<std::string_view> values_;
};

// Merges one write into the state: one ordered lookup, then either the merge
// in place or one ordered insert of the new channel.
void write_channel(Object& state, std::string_view channel, std::string_view reducer, JsonValue&& value) {
    auto it = std::lower_bound(state.begin(), state.end(), channel,
                               [](const Member& m, std::string_view k) { return json::key_less(m.key, k); });
    if (it != state.end() && it->key == channel) {
        reduce_in_place(reducer, it->value, std::move(value));
        return;
    }
    JsonValue fresh;
    reduce_in_place(reducer, fresh, std::move(value));
    state.insert(it, Member{channel, std::move(fresh)});
}

}  // namespace

bool advance_superstep(std::string_view state_json, std::string_view reducers_json, std::string_view updates_json,
                       std::string& out, JsonError& err) {
    Arena arena;
    JsonValue state;
    if (!json::parse_json_text(state_json, arena, state, err)) return false;
    if (!state.is_object()) {
        err = unpositioned("state must be a JSON object");
        return false;
    }
    std::vector<std::pair<std::string_view, std::string_view>> entries;
    if (!json::read_string_map(reducers_json, arena, entries, err)) return false;
    Array updates;
    if (!json::read_document_array(updates_json, arena, updates, err)) return false;

    // A bad element fails the whole call whatever came before it, so it is
    // found before any work is done.
    for (const JsonValue& u : updates) {
        if (!u.is_null() && !u.is_object()) {
            err = unpositioned("each node update must be a JSON object or null");
            return false;
        }
    }

    const ReducerTable table(entries);
    Object& channels = state.as_object();
    for (JsonValue& u : updates) {
        if (u.is_null()) continue;
        for (Member& m : u.as_object()) {
            const std::string_view reducer = table.empty() ? kDefaultReducer : table.lookup(m.key);
            write_channel(channels, m.key, reducer, std::move(m.value));
        }
    }

    std::string text;
    json::write_json(state, text);
    out.swap(text);
    return true;
}

bool reduce_channel(std::string_view reducer, std::string_view current_json, std::string_view update_json,
                    std::string& out, JsonError& err) {
    Arena arena;
    JsonValue update;
    if (!json::parse_json_text(update_json, arena, update, err)) return false;
    JsonValue current;
    if (!json::parse_json_text(current_json, arena, current, err)) return false;
    const JsonValue result = apply_reducer(reducer, current, std::move(update));
    std::string text;
    json::write_json(result, text);
    out.swap(text);
    return true;
}

}  // namespace klov::graph
