// Streaming canonical writer.
//
// Every token is written in its canonical form as soon as it is read, in text
// order.  Arrays and objects whose keys already come in strictly ascending
// order (all arrays, and every object of a canonical text) are then final.
// An object whose keys are out of order or repeated has its members ordered
// by key when it closes, the later duplicate kept.  A small one with no
// record inside it is rewritten where it stands (it is the last thing
// written).  Any other leaves a record of its members' byte ranges; records
// nest like the objects they stand for, and when they exist one final pass
// assembles the output, copying every byte once, in record order.  So a
// byte is copied again only for enclosing objects of at most the in-place
// size, however deep the nesting.
#include "json/canon.hpp"

#include <algorithm>
#include <optional>

#include "common/spare.hpp"
#include "json/numbers.hpp"
#include "json/parser_impl.hpp"
#include "json/recognise.hpp"
#include "json/reorder.hpp"
#include "json/utf8.hpp"
#include "json/writer.hpp"

namespace klov::json {

namespace {

class CanonSink {
public:
    // `text_end`: where the text being read ends, so that a key's prefix is
    // one load wherever eight bytes can be read.  `unread`: keys of the
    // top-level object whose values are only checked and left out of the
    // text (ordered by bytes), or null.
    CanonSink(std::size_t size_hint, const char* text_end, const std::vector<std::string_view>* unread = nullptr)
        : b_(*spare_),
          out_(b_.draft, size_hint, TextOut::Overwrite{}),
          text_end_(text_end),
          unread_(unread) {
        // Room for the member ranges of typical text up front: growing the
        // list would copy it over and over.
        if (size_hint >= kInPlaceLimit) b_.ranges.reserve(size_hint / 32);
        b_.frames.reserve(16);
        b_.members.reserve(64);
    }
    CanonSink(const CanonSink&) = delete;
    CanonSink& operator=(const CanonSink&) = delete;

    void null() {
        separate();
        out_.put("null", 4);
    }
    void boolean(bool b) {
        separate();
        if (b) out_.put("true", 4);
        else out_.put("false", 5);
    }
    // A double literal in the writer's form, which most writers' shortest
    // digits are, is kept as it stands: recognising one is cheaper than
    // converting it and formatting the double.
    // `int_end`: where the digits of its integer part end.
    bool kept_double(std::string_view literal, const char* int_end) {
        const char* end = literal.data() + literal.size();
        if (detail::written_double_end(literal.data(), int_end, end) != end) return false;
        separate();
        out_.put(literal);
        return true;
    }
    void number(const JsonNumber& n, std::string_view literal) {
        separate();
        // An integer literal is already canonical: no sign but '-', no
        // leading zeros, no fraction or exponent.
        if (n.kind != NumberKind::Double) out_.put(literal);
        else out_.number(n);
    }
    void string(std::string_view s, bool raw) {
        separate();
        // A raw string holds no byte that needs an escape.
        if (raw) out_.plain_string(s);
        else out_.string(s);
    }

    // A string value with escapes is written as it is read, each escape in
    // its canonical form, instead of being decoded and escaped again.
    class EscapedString {
    public:
        explicit EscapedString(TextOut& out) : out_(out), from_(out.pos()) {}
        void run(const char* begin, const char* end) { out_.put(begin, static_cast<std::size_t>(end - begin)); }
        void character(std::uint32_t cp) { out_.character(cp); }
        // Canonical escapes are ASCII, as escaped characters below 0x80
        // are when decoded, so the content written is well-formed exactly
        // when the decoded content is.
        bool valid_utf8() const {
            return detail::valid_utf8_text(reinterpret_cast<const unsigned char*>(out_.data() + from_),
                                           out_.pos() - from_);
        }
        void close() { out_.put('"'); }

    private:
        TextOut& out_;
        std::size_t from_;
    };
    EscapedString escaped_string() {
        separate();
        out_.put('"');
        return EscapedString(out_);
    }

    void begin_array() {
        separate();
        b_.frames.push_back(Frame{out_.pos(), 0, 0, 0, false});
        out_.put('[');
    }
    void end_array() {
        b_.frames.pop_back();
        if (b_.frames.empty()) close_top_element();
        out_.put(']');
    }

    KLOV_ALWAYS_INLINE void begin_object() {
        separate();
        b_.frames.push_back(Frame{out_.pos(), b_.members.size(), b_.pending.size(), 0, true});
        out_.put('{');
    }
    void key(std::string_view k, bool raw) {
        Frame& f = b_.frames.back();
        if (f.count++ > 0) {
            b_.members.back().end = out_.pos();
            out_.put(',');
        }
        std::string_view kept = raw ? k : arena_.store(k);
        const std::uint64_t prefix = raw ? klov::key_prefix_within(k, text_end_) : klov::key_prefix(kept);
        b_.members.push_back(MemberRef{prefix, kept, out_.pos(), 0});
        if (raw) out_.plain_string(k);
        else out_.string(k);
        out_.put(':');
    }
    void end_object();
    // Whether the value under a key of the top-level object is only checked
    // by the parser, and nothing of it written.
    bool value_unread(std::string_view key) const {
        return std::binary_search(unread_->begin(), unread_->end(), key,
                                  [](std::string_view a, std::string_view b) { return klov::bytes_less(a, b); });
    }

    // The fixed-shape read of a sequence describes only a top-level value,
    // so the draft holds just that scalar's canonical text.
    void describe_last(std::string& out) const { describe_canonical(std::string_view(out_.data(), out_.pos()), out); }

    // Completes the draft; then size() and copy_to() give the text.
    void finish();
    std::size_t size() const { return size_; }
    void copy_to(char* dst) const;
    void append_to(std::string& out);
    bool object_members(std::string& storage, std::vector<VerbatimMember>& members) const;
    bool array_elements(std::string& storage, std::vector<std::string_view>& elements) const;

private:
    struct Frame {
        std::size_t start;  // offset of the bracket
        std::size_t mbase;  // first member in b_.members
        std::size_t pbase;  // first pending record inside this object
        std::uint32_t count;
        bool object;
    };
    struct MemberRef {
        std::uint64_t prefix;
        std::string_view key;
        std::size_t begin, end;  // bytes of `"key":value`
    };
    struct Range {
        std::size_t begin, end;
    };
    struct Record {
        std::size_t start, end;    // the object's bytes as written, brackets included
        std::size_t mfirst, mcount;  // its members in output order, in b_.ranges
        std::size_t cfirst, ccount;  // records nested in it, by offset, in b_.children
    };

    KLOV_ALWAYS_INLINE void separate() {
        if (!b_.frames.empty()) {
            Frame& f = b_.frames.back();
            if (!f.object) {
                if (f.count++ > 0) {
                    if (b_.frames.size() == 1) close_top_element();
                    out_.put(',');
                }
                if (b_.frames.size() == 1) b_.top_elements.push_back(Range{out_.pos(), 0});
            }
        }
    }
    // Ends the current element of a top-level array, if it has one.
    void close_top_element() {
        if (!b_.top_elements.empty() && b_.top_elements.back().end == 0) b_.top_elements.back().end = out_.pos();
    }

    // Objects out of order up to this size, with no record inside them, are
    // put in order at once where they stand: copying such an object twice
    // while it is in cache costs less than recording it.  Larger ones get a
    // record, so that a long text is not copied again for every level of
    // nesting.
    // (Fuzzing builds may set a small limit, so that both ways are taken
    // at every depth.)
#if defined(KLOV_IN_PLACE_LIMIT)
    static constexpr std::size_t kInPlaceLimit = KLOV_IN_PLACE_LIMIT;
#else
    static constexpr std::size_t kInPlaceLimit = 32 * 1024;
#endif
    void reorder_in_place(std::size_t start, const MemberRef* m, std::size_t n);
    void emit_range(TextOut& dst, std::size_t a, std::size_t b, const std::size_t* kids, std::size_t nkids) const;
    void emit_record(TextOut& dst, std::size_t r) const;
    std::size_t measure_range(std::size_t a, std::size_t b, const std::size_t* kids, std::size_t nkids) const;
    std::size_t measure_record(std::size_t r) const;
    template <class F>
    void for_member_kids(const Record& r, std::size_t i, F f) const;
    template <class F>
    void for_range_kids(const Range& m, const std::size_t* kids, const std::size_t* kids_end, F f) const;
    // The items of the outermost container (ranges of the draft, with the
    // records among kids[0, nkids) that lie inside them): each(begin, end)
    // is told where every item's text is.  With no record inside, that is
    // where it stands in the draft; otherwise the container is written at
    // the end of `storage`, `open`, the items separated by commas, `close`.
    template <class Each>
    void top_items(std::string& storage, char open, const std::vector<Range>& items, const std::size_t* kids,
                   std::size_t nkids, char close, Each each) const;

    // What a sink keeps its text and lists in, lent by its thread.
    struct Buffers {
        // The text in reading order, its first length_ bytes.  The string
        // keeps the size it has grown to, so that its room is never cleared
        // again.
        std::string draft;
        std::vector<Frame> frames;
        std::vector<MemberRef> members;
        std::string aside;  // an object being put in order where it stands
        std::vector<Record> records;
        std::vector<Range> ranges;
        std::vector<std::size_t> children;
        std::vector<std::size_t> pending;  // outermost records so far, by offset
        // When the document is an object: its members in output order, and
        // the records nested in them, by offset.
        std::vector<Range> top_members;
        std::vector<std::size_t> top_kids;
        // When the document is an array: its elements.  Records nested in
        // them are the outermost ones, pending.
        std::vector<Range> top_elements;

        // Empties the lists; the draft keeps its bytes, to be written over.
        void clear() {
            frames.clear();
            members.clear();
            aside.clear();
            records.clear();
            ranges.clear();
            children.clear();
            pending.clear();
            top_members.clear();
            top_kids.clear();
            top_elements.clear();
        }
        std::size_t room() const {
            return draft.capacity() + aside.capacity() + frames.capacity() * sizeof(Frame) +
                   members.capacity() * sizeof(MemberRef) + records.capacity() * sizeof(Record) +
                   (ranges.capacity() + top_members.capacity() + top_elements.capacity()) * sizeof(Range) +
                   (children.capacity() + pending.capacity() + top_kids.capacity()) * sizeof(std::size_t);
        }
    };

    klov::ThreadSpare<Buffers> spare_;
    Buffers& b_;
    // The writer's cursor and limit, read and written for every piece of
    // output, on one cache line: where the sink's fields put them across
    // two, text of many escapes was read 7% slower.
    alignas(64) TextOut out_;
    const char* text_end_;
    std::size_t length_ = 0;  // of the draft's text, once finished
    std::size_t size_ = 0;
    bool dropped_ = false;  // some object repeated a key: the text shrinks
    bool top_object_ = false;
    Arena arena_;  // keys that had escapes, until their object closes
    const std::vector<std::string_view>* unread_;
};

void CanonSink::end_object() {
    const Frame f = b_.frames.back();
    b_.frames.pop_back();
    if (f.count > 0) b_.members.back().end = out_.pos();
    out_.put('}');
    MemberRef* m = b_.members.data() + f.mbase;
    const std::size_t n = b_.members.size() - f.mbase;
    bool sorted = true;
    for (std::size_t i = 1; i < n; ++i) {
        if (!klov::key_ref_less(m[i - 1], m[i])) {
            sorted = false;
            break;
        }
    }
    const bool outermost = b_.frames.empty();
    if (sorted && outermost) {
        for (std::size_t i = 0; i < n; ++i) b_.top_members.push_back(Range{m[i].begin, m[i].end});
        b_.top_kids = b_.pending;
    }
    top_object_ = outermost;
    const std::size_t unique = sorted ? n : klov::order_and_dedupe(m, n);
    if (!sorted && !outermost && b_.pending.size() == f.pbase && out_.pos() - f.start <= kInPlaceLimit) {
        reorder_in_place(f.start, m, unique);
    } else if (!sorted) {
        dropped_ |= unique != n;
        Record r;
        r.start = f.start;
        r.end = out_.pos();
        r.mfirst = b_.ranges.size();
        r.mcount = unique;
        for (std::size_t i = 0; i < unique; ++i) b_.ranges.push_back(Range{m[i].begin, m[i].end});
        // Records pending since this object opened lie inside it.
        r.cfirst = b_.children.size();
        r.ccount = b_.pending.size() - f.pbase;
        b_.children.insert(b_.children.end(), b_.pending.begin() + static_cast<std::ptrdiff_t>(f.pbase), b_.pending.end());
        b_.pending.resize(f.pbase);
        b_.pending.push_back(b_.records.size());
        b_.records.push_back(r);
        if (outermost) {
            b_.top_members.assign(b_.ranges.begin() + static_cast<std::ptrdiff_t>(r.mfirst), b_.ranges.end());
            b_.top_kids.assign(b_.children.begin() + static_cast<std::ptrdiff_t>(r.cfirst), b_.children.end());
        }
    }
    b_.members.resize(f.mbase);
}

// The object [start, end of draft) has its members, ordered, in m[0, n):
// its bytes are copied aside and the members written back in that order.
// Dropped members leave the object shorter, and nothing after it is written
// yet.
void CanonSink::reorder_in_place(std::size_t start, const MemberRef* m, std::size_t n) {
    const std::size_t from = start + 1;  // past the '{'
    const std::size_t len = out_.pos() - 1 - from;
    // Members are copied back in steps, which may run past the end of the
    // object and of the copy aside.
    out_.need(kCopyStep);
    if (b_.aside.size() < len + kCopyStep) b_.aside.resize(len + kCopyStep);
    std::memcpy(b_.aside.data(), out_.data() + from, len);
    // The members and their commas fit where the object stood.
    char* dst = out_.at(from);
    for (std::size_t i = 0; i < n; ++i) {
        if (i > 0) *dst++ = ',';
        const std::size_t k = m[i].end - m[i].begin;
        copy_in_steps(dst, b_.aside.data() + (m[i].begin - from), k);
        dst += k;
    }
    *dst++ = '}';
    out_.rewind(static_cast<std::size_t>(dst - out_.data()));
}

void CanonSink::emit_range(TextOut& dst, std::size_t a, std::size_t b, const std::size_t* kids,
                           std::size_t nkids) const {
    const char* src = out_.data();
    std::size_t pos = a;
    for (std::size_t i = 0; i < nkids; ++i) {
        const Record& r = b_.records[kids[i]];
        dst.put(src + pos, r.start - pos);
        emit_record(dst, kids[i]);
        pos = r.end;
    }
    dst.put(src + pos, b - pos);
}

// Calls f(range, kids, nkids) for member i of record r, with the records
// nested inside that member.
template <class F>
void CanonSink::for_member_kids(const Record& r, std::size_t i, F f) const {
    const std::size_t* kids = b_.children.data() + r.cfirst;
    for_range_kids(b_.ranges[r.mfirst + i], kids, kids + r.ccount, f);
}

// Calls f(m, kids, nkids) with the records among [kids, kids_end) (ordered
// by offset) that lie inside the bytes of m.
template <class F>
void CanonSink::for_range_kids(const Range& m, const std::size_t* kids, const std::size_t* kids_end, F f) const {
    auto starts_before = [this](std::size_t k, std::size_t off) { return b_.records[k].start < off; };
    const std::size_t* lo = std::lower_bound(kids, kids_end, m.begin, starts_before);
    const std::size_t* hi = std::lower_bound(lo, kids_end, m.end, starts_before);
    f(m, lo, static_cast<std::size_t>(hi - lo));
}

void CanonSink::emit_record(TextOut& dst, std::size_t ri) const {
    const Record& r = b_.records[ri];
    dst.put('{');
    for (std::size_t i = 0; i < r.mcount; ++i) {
        if (i > 0) dst.put(',');
        for_member_kids(r, i, [&](const Range& m, const std::size_t* kids, std::size_t n) {
            emit_range(dst, m.begin, m.end, kids, n);
        });
    }
    dst.put('}');
}

std::size_t CanonSink::measure_range(std::size_t a, std::size_t b, const std::size_t* kids,
                                     std::size_t nkids) const {
    std::size_t n = b - a;
    for (std::size_t i = 0; i < nkids; ++i) {
        const Record& r = b_.records[kids[i]];
        n = n - (r.end - r.start) + measure_record(kids[i]);
    }
    return n;
}

std::size_t CanonSink::measure_record(std::size_t ri) const {
    const Record& r = b_.records[ri];
    std::size_t n = 2 + (r.mcount > 0 ? r.mcount - 1 : 0);
    for (std::size_t i = 0; i < r.mcount; ++i) {
        for_member_kids(r, i, [&](const Range& m, const std::size_t* kids, std::size_t nk) {
            n += measure_range(m.begin, m.end, kids, nk);
        });
    }
    return n;
}

void CanonSink::finish() {
    length_ = out_.pos();
    // Moving members leaves an object as long as it was; only dropping a
    // repeated key's member shortens it.
    size_ = !dropped_ ? length_ : measure_range(0, length_, b_.pending.data(), b_.pending.size());
}

void CanonSink::copy_to(char* dst) const {
    if (b_.pending.empty()) {
        std::memcpy(dst, b_.draft.data(), length_);
    } else {
        TextOut o(dst, size_);
        emit_range(o, 0, length_, b_.pending.data(), b_.pending.size());
    }
}

void CanonSink::append_to(std::string& out) {
    if (out.empty() && b_.pending.empty()) {
        out.swap(b_.draft);
        out.resize(length_);
        return;
    }
    const std::size_t at = out.size();
    out.resize(at + size_);
    copy_to(out.data() + at);
}

template <class Each>
void CanonSink::top_items(std::string& storage, char open, const std::vector<Range>& items, const std::size_t* kids,
                          std::size_t nkids, char close, Each each) const {
    if (nkids == 0) {
        for (const Range& item : items) each(out_.data() + item.begin, out_.data() + item.end);
        return;
    }
    const std::size_t at = storage.size();
    storage.resize(at + size_);
    TextOut dst(storage.data() + at, size_);
    dst.put(open);
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i > 0) dst.put(',');
        const char* item = dst.cursor();
        for_range_kids(items[i], kids, kids + nkids, [&](const Range& m, const std::size_t* lo, std::size_t n) {
            emit_range(dst, m.begin, m.end, lo, n);
        });
        each(item, dst.cursor());
    }
    dst.put(close);
}

bool CanonSink::object_members(std::string& storage, std::vector<VerbatimMember>& members) const {
    if (!top_object_) return false;
    top_items(storage, '{', b_.top_members, b_.top_kids.data(), b_.top_kids.size(), '}',
              [&](const char* member, const char* end) {
                  // "key":value, the key as written: its closing quote is
                  // the first one not escaped.
                  const char* q = member + 1;
                  while (*q != '"') q += *q == '\\' ? 2 : 1;
                  members.push_back(
                      VerbatimMember{std::string_view(member + 1, static_cast<std::size_t>(q - member - 1)),
                                     std::string_view(q + 2, static_cast<std::size_t>(end - q - 2))});
              });
    return true;
}

bool CanonSink::array_elements(std::string& storage, std::vector<std::string_view>& elements) const {
    if (length_ == 0 || b_.draft.front() != '[') return false;
    top_items(storage, '[', b_.top_elements, b_.pending.data(), b_.pending.size(), ']',
              [&](const char* element, const char* end) {
                  elements.push_back(std::string_view(element, static_cast<std::size_t>(end - element)));
              });
    return true;
}

// How the text is read: as any value, as an array (anything else fails),
// or as any value where, if it is an object, some of its members' values are
// only checked (document_partly).
enum class Shape { Any, Array, PartlyRead };

template <bool kBytes, Shape kShape = Shape::Any>
std::unique_ptr<CanonSink> run(std::string_view text, JsonError& err, std::size_t size_hint,
                               const std::vector<std::string_view>* unread = nullptr) {
    auto sink =
        std::make_unique<CanonSink>(size_hint ? size_hint : text.size() + 16, text.data() + text.size(), unread);
    detail::Parser<kBytes, CanonSink> p(text, *sink);
    bool ok;
    if constexpr (kShape == Shape::Array) {
        ok = p.document_array();
    } else if constexpr (kShape == Shape::PartlyRead) {
        ok = p.document_partly();
    } else {
        ok = p.document();
    }
    if (!ok) {
        err = p.error();
        return nullptr;
    }
    sink->finish();
    return sink;
}

}  // namespace

// Text that is already canonical is kept as it is: recognising it costs less
// than rewriting it, and checkpoints and graph state usually are.  Text that
// is canonical but for the order of members is kept too, with a record of
// the objects whose members move, and those are moved as the text is copied
// out, which also costs less than rewriting.
struct CanonicalText::Impl {
    std::unique_ptr<CanonSink> sink;
    std::string_view verbatim;  // the text read, when kept
    // Objects of `verbatim` whose members move, in lists the thread lends.
    std::optional<klov::ThreadSpare<detail::Reordering>> order;
    std::string reordered;  // `verbatim` with them moved, once its members are asked for
    bool is_verbatim = false;

    bool keep_if_canonical(std::string_view text) {
        order.emplace();  // the last lists go back first
        reordered.clear();
        is_verbatim = recognise_canonical(text, **order);
        if (!is_verbatim) order.reset();
        verbatim = is_verbatim ? text : std::string_view();
        sink.reset();
        return is_verbatim;
    }

    bool moves_members() const { return is_verbatim && !(*order)->objects.empty(); }
    void write_verbatim(char* dst) const {
        if (!moves_members()) {
            std::memcpy(dst, verbatim.data(), verbatim.size());
        } else if (!reordered.empty()) {
            std::memcpy(dst, reordered.data(), reordered.size());
        } else {
            (*order)->write(verbatim.data(), verbatim.data() + verbatim.size(), dst);
        }
    }
    // The canonical text of a kept text, written out if members move.
    std::string_view verbatim_text() {
        if (!moves_members()) return verbatim;
        if (reordered.empty()) {
            reordered.resize(verbatim.size());
            (*order)->write(verbatim.data(), verbatim.data() + verbatim.size(), reordered.data());
        }
        return reordered;
    }
};

CanonicalText::CanonicalText() : impl_(std::make_unique<Impl>()) {}
CanonicalText::~CanonicalText() = default;

bool CanonicalText::read_text(std::string_view text, JsonError& err, std::size_t size_hint) {
    return impl_->keep_if_canonical(text) || rewrite_text(text, err, size_hint);
}

bool CanonicalText::rewrite_text(std::string_view text, JsonError& err, std::size_t size_hint) {
    impl_->is_verbatim = false;
    impl_->sink = run<false>(text, err, size_hint);
    return impl_->sink != nullptr;
}

bool CanonicalText::rewrite_object_text(std::string_view text, const std::vector<std::string_view>& unread,
                                        JsonError& err) {
    impl_->is_verbatim = false;
    impl_->sink = run<false, Shape::PartlyRead>(text, err, 0, &unread);
    return impl_->sink != nullptr;
}

bool CanonicalText::rewrite_array_text(std::string_view text, JsonError& err, std::size_t size_hint) {
    impl_->is_verbatim = false;
    impl_->sink = run<false, Shape::Array>(text, err, size_hint);
    return impl_->sink != nullptr;
}

bool CanonicalText::read_bytes(std::string_view bytes, JsonError& err, std::size_t size_hint) {
    if (detail::valid_utf8_text(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()) &&
        impl_->keep_if_canonical(bytes)) {
        return true;
    }
    impl_->is_verbatim = false;
    impl_->sink = run<true>(bytes, err, size_hint);
    return impl_->sink != nullptr;
}

std::size_t CanonicalText::size() const {
    if (impl_->is_verbatim) return impl_->verbatim.size();
    return impl_->sink ? impl_->sink->size() : 0;
}

void CanonicalText::copy_to(char* dst) const {
    if (impl_->is_verbatim) {
        impl_->write_verbatim(dst);
    } else if (impl_->sink) {
        impl_->sink->copy_to(dst);
    }
}

void CanonicalText::append_to(std::string& out) {
    if (impl_->is_verbatim) {
        const std::size_t at = out.size();
        out.resize(at + impl_->verbatim.size());
        impl_->write_verbatim(out.data() + at);
    } else if (impl_->sink) {
        impl_->sink->append_to(out);
    }
}

bool CanonicalText::object_members(std::string& storage, std::vector<VerbatimMember>& members) {
    if (impl_->is_verbatim) return split_written_object(impl_->verbatim_text(), members);
    return impl_->sink && impl_->sink->object_members(storage, members);
}

bool CanonicalText::array_elements(std::string& storage, std::vector<std::string_view>& elements) {
    if (impl_->is_verbatim) return split_written_array(impl_->verbatim_text(), elements);
    return impl_->sink && impl_->sink->array_elements(storage, elements);
}

}  // namespace klov::json
