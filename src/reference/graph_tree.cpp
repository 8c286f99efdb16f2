// Reducers and the superstep on documents: the reference for the merges on
// canonical text.
#include <map>
#include <utility>
#include <vector>

#include "graph/reducer.hpp"
#include "json/parser.hpp"
#include "reference/reference.hpp"

namespace klov::reference {

namespace {

using json::Kind;
using json::Member;

// Starts the list of "append" from the current value, with room for what
// the update will add.
Array append_start(const JsonValue& current, const JsonValue& update) {
    const std::size_t extra = update.is_array() ? update.array_unchecked().size() : 1;
    Array out;
    switch (current.kind()) {
        case Kind::Null:
            break;
        case Kind::Array: {
            const Array& items = current.array_unchecked();
            out.reserve(items.size() + extra);
            out.insert(out.end(), items.begin(), items.end());
            break;
        }
        default:
            out.reserve(1 + extra);
            out.push_back(current);
            break;
    }
    return out;
}

void append_update(Array& list, JsonValue&& update) {
    if (update.is_array()) {
        Array& items = update.as_array();
        if (list.empty()) {
            list = std::move(items);
            return;
        }
        list.reserve(list.size() + items.size());
        for (JsonValue& item : items) list.push_back(std::move(item));
    } else {
        list.push_back(std::move(update));
    }
}

}  // namespace

JsonValue apply_reducer(std::string_view reducer, const JsonValue& current, JsonValue update) {
    if (reducer == "add") return graph::add_values(current, update);
    if (reducer == "append") {
        Array list = append_start(current, update);
        append_update(list, std::move(update));
        return JsonValue(std::move(list));
    }
    return update;
}

bool advance_superstep(std::string_view state_json, std::string_view reducers_json, std::string_view updates_json,
                       std::string& out, JsonError& err) {
    Arena arena;
    JsonValue state;
    if (!parse_json_text(state_json, arena, state, err)) return false;
    if (!state.is_object()) {
        err = JsonError{"state must be a JSON object", 0, 0};
        return false;
    }
    std::vector<std::pair<std::string_view, std::string_view>> entries;
    if (!json::read_string_map(reducers_json, arena, entries, err)) return false;
    Array updates;
    if (!read_document_array(updates_json, arena, updates, err)) return false;
    for (const JsonValue& u : updates) {
        if (!u.is_null() && !u.is_object()) {
            err = JsonError{"each node update must be a JSON object or null", 0, 0};
            return false;
        }
    }
    std::map<std::string_view, std::string_view> table;
    for (const auto& [channel, reducer] : entries) table[channel] = reducer;
    for (JsonValue& u : updates) {
        if (u.is_null()) continue;
        for (Member& m : u.as_object()) {
            const auto r = table.find(m.key);
            const std::string_view reducer = r == table.end() ? std::string_view("last_value") : r->second;
            const Member* current = find_member(state.as_object(), m.key);
            JsonValue merged = apply_reducer(reducer, current ? current->value : JsonValue(), std::move(m.value));
            set_member(state.as_object(), m.key, std::move(merged));
        }
    }
    out.clear();
    write_json(state, out);
    return true;
}

bool reduce_channel(std::string_view reducer, std::string_view current_json, std::string_view update_json,
                    std::string& out, JsonError& err) {
    Arena arena;
    JsonValue update, current;
    if (!parse_json_text(update_json, arena, update, err) || !parse_json_text(current_json, arena, current, err)) {
        return false;
    }
    out.clear();
    write_json(apply_reducer(reducer, current, std::move(update)), out);
    return true;
}

}  // namespace klov::reference
