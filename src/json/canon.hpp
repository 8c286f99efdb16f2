// Text to canonical text in one pass, without building the document.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "json/error.hpp"
#include "json/recognise.hpp"

namespace klov::json {

// Any JSON text or bytes to canonical text: what the reference parse
// followed by the reference write gives, and on failure exactly the
// reference parse's error.  After a successful read, size() is the length
// of the canonical text and copy_to() writes it, so the final buffer can be
// allocated once at its exact size.  Text that is
// already canonical is kept by reference, so the text read must outlive the
// object.
class CanonicalText {
public:
    CanonicalText();
    ~CanonicalText();
    CanonicalText(const CanonicalText&) = delete;
    CanonicalText& operator=(const CanonicalText&) = delete;

    // `size_hint`: expected length of the result, reserved up front.
    [[nodiscard]] bool read_text(std::string_view text, JsonError& err, std::size_t size_hint = 0);
    [[nodiscard]] bool read_bytes(std::string_view bytes, JsonError& err, std::size_t size_hint = 0);
    // read_text for text that recognise_canonical has already refused: it
    // is rewritten without being recognised again.
    [[nodiscard]] bool rewrite_text(std::string_view text, JsonError& err, std::size_t size_hint = 0);
    // rewrite_text for the text of an object whose values under the keys in
    // `unread` (ordered by bytes) will not be read: those are checked, with
    // the errors any text gets, but left out of the text, so that no work
    // goes into their canonical form.  Only object_members() may be asked
    // for after it, and gives those members with empty values.
    [[nodiscard]] bool rewrite_object_text(std::string_view text, const std::vector<std::string_view>& unread,
                                           JsonError& err);
    // rewrite_text for text that must hold an array: any other top-level
    // value fails as the fixed-shape read of a sequence (read_document_array)
    // fails, with "invalid type: ..., expected a sequence".
    [[nodiscard]] bool rewrite_array_text(std::string_view text, JsonError& err, std::size_t size_hint = 0);

    std::size_t size() const;
    void copy_to(char* dst) const;
    // Appends the text to `out`.  When `out` is empty and the text was
    // rewritten, it is moved rather than copied, and the object is spent.
    void append_to(std::string& out);
    // The members of the text of an object, appended to `members` in key
    // order.  They are views into the text kept here or into the text read
    // where they stand whole in either, and otherwise into `storage`, where
    // the object is assembled; so they stay valid while this object, the
    // text read and `storage` do.  False when the text is not an object.
    [[nodiscard]] bool object_members(std::string& storage, std::vector<VerbatimMember>& members);
    // The same for the elements of the text of an array, in order.
    [[nodiscard]] bool array_elements(std::string& storage, std::vector<std::string_view>& elements);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace klov::json
