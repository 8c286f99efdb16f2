#include "graph/superstep.hpp"

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

#include "common/order.hpp"
#include "graph/name_table.hpp"
#include "graph/reducer.hpp"
#include "json/canon.hpp"
#include "json/parser.hpp"
#include "json/recognise.hpp"
#include "json/writer.hpp"

namespace klov::graph {

using json::Arena;
using json::Array;
using json::JsonError;

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

// A channel of the state while the superstep is applied.  Its value is
// canonical text: the state's own bytes until the first write, then a string
// of its own that every later write merges into.
struct Channel {
    std::string_view key;        // escapes resolved
    std::string_view key_text;   // as written in the state; empty for a new channel
    std::string_view input;      // the value's text in the state
    std::uint32_t own = kNone;   // index into the written texts
    bool fresh = false;          // not in the state before this superstep

    static constexpr std::uint32_t kNone = 0xFFFFFFFFu;
};

// The key of a member of written text, escapes resolved.
std::string_view key_of(const json::VerbatimMember& m, Arena& arena, std::string& scratch) {
    if (m.key.find('\\') == std::string_view::npos) return m.key;
    scratch.clear();
    json::unescape_canonical(m.key, scratch);
    return arena.store(scratch);
}

// The channels of a canonical state object, in key order.
std::vector<Channel> channels_of(const std::vector<json::VerbatimMember>& members, Arena& arena) {
    std::vector<Channel> channels;
    channels.reserve(members.size() + 8);
    std::string scratch;
    for (const json::VerbatimMember& m : members) {
        Channel c;
        c.key_text = m.key;
        c.key = key_of(m, arena, scratch);
        c.input = m.value;
        channels.push_back(c);
    }
    return channels;
}

// The state's channels, in key order, and the ones this superstep adds, in
// the order first written.  Added channels are looked up by hash and put in
// order once, when the state is written out, so that many new channels cost
// no more than many writes.
class Channels {
public:
    explicit Channels(std::vector<Channel> state) : state_(std::move(state)), added_names_(16) {}

    // The channel named `key`: one ordered lookup among the state's
    // channels, else one hash lookup (and insert) among the added ones.
    Channel& named(std::string_view key) {
        auto it = std::lower_bound(state_.begin(), state_.end(), key,
                                   [](const Channel& c, std::string_view k) { return json::key_less(c.key, k); });
        if (it != state_.end() && it->key == key) return *it;
        const std::uint32_t id = added_names_.intern(key);
        if (id == added_.size()) {
            Channel c;
            c.key = key;
            c.input = "null";
            c.fresh = true;
            added_.push_back(c);
        }
        return added_[id];
    }

    // Puts the added channels in key order; lookups are over after this.
    void order() {
        std::sort(added_.begin(), added_.end(),
                  [](const Channel& a, const Channel& b) { return json::key_less(a.key, b.key); });
    }

    // Calls f for every channel in key order (after order()).
    template <class F>
    void in_order(F f) const {
        auto a = added_.begin();
        for (const Channel& c : state_) {
            for (; a != added_.end() && json::key_less(a->key, c.key); ++a) f(*a);
            f(c);
        }
        for (; a != added_.end(); ++a) f(*a);
    }

private:
    std::vector<Channel> state_;
    NameTable added_names_;
    std::vector<Channel> added_;
};

void write_state(Channels& channels, const std::vector<std::string>& written, json::WrittenText& out) {
    channels.order();
    // The room: every member as it will be written, a new key escaped at
    // worst six bytes for one, and a comma after each.
    std::size_t bound = 2;
    channels.in_order([&](const Channel& c) {
        const std::size_t key = c.fresh ? 6 * c.key.size() : c.key_text.size();
        bound += 4 + key + (c.own == Channel::kNone ? c.input.size() : written[c.own].size());
    });
    json::TextOut o(out.room(bound), bound);
    o.put('{');
    bool first = true;
    channels.in_order([&](const Channel& c) {
        if (!first) o.put(',');
        first = false;
        if (c.own == Channel::kNone) {
            // Untouched: the member's bytes, key and value, as they stood.
            const char* from = c.key_text.data() - 1;
            o.put(from, static_cast<std::size_t>(c.input.data() + c.input.size() - from));
            return;
        }
        if (c.fresh) {
            o.string(c.key);
        } else {
            o.put('"');
            o.put(c.key_text);
            o.put('"');
        }
        o.put(':');
        o.put(written[c.own]);
    });
    o.put('}');
    out.set_size(o.pos());
}

// Reads the reducer table (into `entries`) and every write of the update
// list (into `writes`), in list order and within an update in key order.  A
// bad element fails the whole call whatever came before it, so they are all
// found before any is merged.  The update list is taken in canonical form,
// split into its elements as it is read: each write is then merged as the
// text it will be written as.  Anything but an array fails as the
// fixed-shape read of a sequence.
bool read_writes(std::string_view reducers_json, std::string_view updates_json, Arena& arena,
                 std::vector<std::pair<std::string_view, std::string_view>>& entries, std::string& storage,
                 std::vector<json::VerbatimMember>& writes, JsonError& err) {
    if (!json::read_string_map(reducers_json, arena, entries, err)) return false;
    std::vector<std::string_view> updates;
    bool reordered;
    if (!json::recognise_canonical(updates_json, storage, reordered, updates)) {
        // The rewritten list is let go before the state is read, so that the
        // state gets the buffers a thread keeps for long texts: its elements
        // are copied out first.  (Text read as an array always hands its
        // elements over.)
        json::CanonicalText text;
        std::string assembled;
        if (!text.rewrite_array_text(updates_json, err) || !text.array_elements(assembled, updates)) return false;
        std::size_t size = 0;
        for (std::string_view u : updates) size += u.size();
        storage.clear();
        storage.reserve(size);
        for (std::string_view& u : updates) {
            const std::size_t at = storage.size();
            storage.append(u);
            u = std::string_view(storage).substr(at);
        }
    }
    for (std::string_view u : updates) {
        if (u == "null") continue;
        if (!json::split_written_object(u, writes)) {
            err = unpositioned("each node update must be a JSON object or null");
            return false;
        }
    }
    return true;
}

}  // namespace

bool advance_superstep(std::string_view state_json, std::string_view reducers_json, std::string_view updates_json,
                       json::WrittenText& out, JsonError& err) {
    // State that is already canonical (as every state this function returns)
    // is used as it stands, and state that differs only in the order of
    // members (as compact writers without sorting give) has them moved.
    std::vector<json::VerbatimMember> members;
    std::string canonical;
    bool reordered;
    const bool state_canonical = json::recognise_canonical(state_json, canonical, reordered, members);

    Arena arena;
    std::vector<std::pair<std::string_view, std::string_view>> entries;
    std::string updates_storage;
    std::vector<json::VerbatimMember> writes;
    JsonError updates_err;
    const bool updates_read = read_writes(reducers_json, updates_json, arena, entries, updates_storage, writes,
                                          state_canonical ? err : updates_err);
    if (state_canonical && !updates_read) return false;
    const ReducerTable table(entries);
    // The channel each write goes to, escapes resolved, and its reducer.
    std::vector<std::pair<std::string_view, std::string_view>> targets;
    targets.reserve(writes.size());
    std::string scratch;
    for (const json::VerbatimMember& m : writes) {
        const std::string_view key = key_of(m, arena, scratch);
        targets.emplace_back(key, table.empty() ? kDefaultReducer : table.lookup(key));
    }

    // Any other state text is brought into canonical form, which is also
    // where its parse errors are found; they come before any error of the
    // reducers or updates.  The values of channels that this superstep
    // replaces without reading are only checked, and left out of the text.
    json::CanonicalText state_text;
    if (!state_canonical) {
        std::vector<std::string_view> replaced;
        if (updates_read) {
            for (const auto& [key, reducer] : targets) {
                if (!reads_current(reducer)) replaced.push_back(key);
            }
            std::sort(replaced.begin(), replaced.end(), klov::bytes_less);
        }
        if (!state_text.rewrite_object_text(state_json, replaced, err)) return false;
        if (!state_text.object_members(canonical, members)) {
            err = unpositioned("state must be a JSON object");
            return false;
        }
        if (!updates_read) {
            err = updates_err;
            return false;
        }
    }

    Channels channels(channels_of(members, arena));
    std::vector<std::string> written;
    for (std::size_t i = 0; i < writes.size(); ++i) {
        const auto [key, reducer] = targets[i];
        Channel& c = channels.named(key);
        if (c.own == Channel::kNone) {
            c.own = static_cast<std::uint32_t>(written.size());
            written.emplace_back();
            if (reads_current(reducer)) written.back().assign(c.input);
        }
        reduce_text(reducer, written[c.own], writes[i].value);
    }

    write_state(channels, written, out);
    return true;
}

}  // namespace klov::graph
