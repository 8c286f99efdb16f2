// The texts of "invalid type: " errors: how a value is described, and how
// a string inside such a text is quoted.
//
// Quoting:
// ASCII is fixed: '"' and '\\' get a backslash; tab, CR, LF and NUL are \t,
// \r, \n, \0; the other control bytes and DEL are \u{hex}.  For non-ASCII
// text the same \u{hex} form is used for code points that would not show as
// a visible character in a message: the noncharacters at the end of every
// plane (U+xxFFFE, U+xxFFFF), and the short table of ranges below, which
// follows the Unicode general categories and blocks:
//   - controls (Cc): U+0080..U+009F;
//   - format characters (Cf): soft hyphen, the Arabic/Syriac number signs,
//     the zero-width and bidirectional controls, word joiner and invisible
//     operators, BOM, interlinear annotation, Egyptian hieroglyph and
//     shorthand format controls, musical symbol formatting, tags;
//   - separators other than the ASCII space (Zs, Zl, Zp);
//   - surrogates (Cs), private use (Co) and the noncharacters
//     U+FDD0..U+FDEF; the planes U+40000..U+EFFFF whole (unassigned, tags,
//     variation selectors supplement);
//   - the general-purpose combining blocks whole, assigned or not (combining
//     diacritics and their extensions and supplements, combining marks for
//     symbols, half marks, variation selectors), and the marks (Mn, Mc, Me)
//     of the Cyrillic, Hebrew, Arabic, CJK symbols, Hiragana and musical
//     symbols blocks (Cyrillic combining marks, Hebrew and Arabic points,
//     ideographic tone marks, kana voicing marks, musical combining marks).
// Marks of other script blocks (Indic vowel signs and the like) print as
// they are: they read naturally in context and listing them all would need
// the full character database.  Everything else (letters, digits,
// punctuation, symbols, and code points not listed) prints as is.
#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>

#include "json/parser.hpp"
#include "json/recognise.hpp"
#include "json/scan.hpp"
#include "json/numbers.hpp"

namespace klov::json {

namespace {

struct Range {
    std::uint32_t lo, hi;
};

// Sorted, non-overlapping.  The ranges are those tools/gen_hidden_ranges.py
// prints from the Unicode 15.0 character data (Python 3.12's unicodedata;
// Unicode 15.1 gives the same ranges), with the line comments added by hand.
// `python3 tools/gen_hidden_ranges.py --diff` lists the code points where the
// table and the running interpreter's Unicode data part.
constexpr Range kHidden[] = {
    {0x0080, 0x00A0},   // C1 controls, no-break space
    {0x00AD, 0x00AD},   // soft hyphen
    {0x0300, 0x036F},   // combining diacritical marks
    {0x0483, 0x0489},   // Cyrillic combining marks
    {0x0591, 0x05BD},   // Hebrew points
    {0x05BF, 0x05BF},
    {0x05C1, 0x05C2},
    {0x05C4, 0x05C5},
    {0x05C7, 0x05C7},
    {0x0600, 0x0605},   // Arabic number signs
    {0x0610, 0x061A},   // Arabic marks
    {0x061C, 0x061C},   // Arabic letter mark
    {0x064B, 0x065F},   // Arabic harakat
    {0x0670, 0x0670},
    {0x06D6, 0x06DD},
    {0x06DF, 0x06E4},
    {0x06E7, 0x06E8},
    {0x06EA, 0x06ED},
    {0x070F, 0x070F},   // Syriac abbreviation mark
    {0x0890, 0x0891},
    {0x08E2, 0x08E2},
    {0x1680, 0x1680},   // Ogham space mark
    {0x180E, 0x180E},   // Mongolian vowel separator
    {0x1AB0, 0x1AFF},   // combining diacritical marks extended
    {0x1DC0, 0x1DFF},   // combining diacritical marks supplement
    {0x2000, 0x200F},   // spaces, zero-width characters, direction marks
    {0x2028, 0x202F},   // line/paragraph separators, embeddings, narrow nbsp
    {0x205F, 0x2064},   // medium math space, word joiner, invisible operators
    {0x2066, 0x206F},   // isolates and deprecated format characters
    {0x20D0, 0x20FF},   // combining marks for symbols
    {0x3000, 0x3000},   // ideographic space
    {0x302A, 0x302F},   // ideographic tone marks
    {0x3099, 0x309A},   // kana voicing marks
    {0xD800, 0xF8FF},   // surrogates, private use
    {0xFDD0, 0xFDEF},   // noncharacters
    {0xFE00, 0xFE0F},   // variation selectors
    {0xFE20, 0xFE2F},   // combining half marks
    {0xFEFF, 0xFEFF},   // byte order mark
    {0xFFF9, 0xFFFB},   // interlinear annotation
    {0x110BD, 0x110BD},
    {0x110CD, 0x110CD},
    {0x13430, 0x1343F},  // Egyptian hieroglyph format controls
    {0x1BCA0, 0x1BCA3},  // shorthand format controls
    {0x1D165, 0x1D169},  // musical combining marks
    {0x1D16D, 0x1D182},
    {0x1D185, 0x1D18B},
    {0x1D1AA, 0x1D1AD},
    {0x40000, 0xEFFFF},  // unassigned planes, tags, variation selectors supplement
    {0xF0000, 0x10FFFF},  // private use planes
};

bool printable(std::uint32_t cp) {
    if (cp < 0x80) return cp >= 0x20 && cp < 0x7F;
    if ((cp & 0xFFFE) == 0xFFFE) return false;  // noncharacter at the end of every plane
    std::size_t lo = 0, hi = sizeof kHidden / sizeof kHidden[0];
    while (lo < hi) {
        std::size_t mid = (lo + hi) / 2;
        if (cp > kHidden[mid].hi) lo = mid + 1;
        else if (cp < kHidden[mid].lo) hi = mid;
        else return false;
    }
    return true;
}

// Decodes one code point at s[i]; malformed input (possible only for text
// that did not come from a str) reads as U+FFFD, one byte at a time.
std::uint32_t decode(std::string_view s, std::size_t& i) {
    auto byte = [&](std::size_t k) -> unsigned { return static_cast<unsigned char>(s[k]); };
    unsigned c = byte(i);
    std::size_t need;
    std::uint32_t cp;
    std::uint32_t min;
    if (c < 0x80) {
        ++i;
        return c;
    } else if ((c & 0xE0) == 0xC0) {
        need = 1, cp = c & 0x1F, min = 0x80;
    } else if ((c & 0xF0) == 0xE0) {
        need = 2, cp = c & 0x0F, min = 0x800;
    } else if ((c & 0xF8) == 0xF0) {
        need = 3, cp = c & 0x07, min = 0x10000;
    } else {
        ++i;
        return 0xFFFD;
    }
    if (s.size() - i <= need) {
        ++i;
        return 0xFFFD;
    }
    for (std::size_t k = 1; k <= need; ++k) {
        unsigned b = byte(i + k);
        if ((b & 0xC0) != 0x80) {
            ++i;
            return 0xFFFD;
        }
        cp = (cp << 6) | (b & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        ++i;
        return 0xFFFD;
    }
    i += need + 1;
    return cp;
}

}  // namespace

void quote_for_message(std::string_view s, std::string& out) {
    out += '"';
    std::size_t i = 0;
    while (i < s.size()) {
        std::size_t start = i;
        std::uint32_t cp = decode(s, i);
        switch (cp) {
            case '"': out += "\\\""; continue;
            case '\\': out += "\\\\"; continue;
            case '\t': out += "\\t"; continue;
            case '\r': out += "\\r"; continue;
            case '\n': out += "\\n"; continue;
            case 0: out += "\\0"; continue;
            default: break;
        }
        if (printable(cp)) {
            if (cp == 0xFFFD && i - start == 1 && static_cast<unsigned char>(s[start]) >= 0x80) {
                out += "\xEF\xBF\xBD";
            } else {
                out.append(s.data() + start, i - start);
            }
            continue;
        }
        out += "\\u{";
        char buf[8];
        int n = 0;
        do {
            buf[n++] = detail::kHexDigits[cp & 15];
            cp >>= 4;
        } while (cp != 0);
        while (n > 0) out += buf[--n];
        out += '}';
    }
    out += '"';
}

void describe_value(const JsonValue& v, std::string& out) {
    switch (v.kind()) {
        case Kind::Null:
            out += "null";
            return;
        case Kind::Bool:
            out += v.as_bool() ? "boolean `true`" : "boolean `false`";
            return;
        case Kind::Number: {
            const JsonNumber& n = v.as_number();
            char buf[40];
            char* end = buf + sizeof buf;
            if (n.kind == NumberKind::Double) {
                out += "floating point `";
                if (std::isfinite(n.d)) out.append(buf, detail::format_double(n.d, buf));
                else out += n.d != n.d ? "NaN" : (n.d < 0 ? "-inf" : "inf");
            } else {
                out += "integer `";
                std::uint64_t mag = n.kind == NumberKind::Unsigned ? n.u : 0 - static_cast<std::uint64_t>(n.i);
                char* b = detail::format_u64(mag, end);
                if (n.kind == NumberKind::Negative) *--b = '-';
                out.append(b, static_cast<std::size_t>(end - b));
            }
            out += '`';
            return;
        }
        case Kind::String:
            out += "string ";
            quote_for_message(v.as_string(), out);
            return;
        case Kind::Array:
            out += "sequence";
            return;
        case Kind::Object:
            out += "map";
            return;
    }
}

void describe_canonical(std::string_view text, std::string& out) {
    if (text == "null") {
        out += "null";
    } else if (text == "true" || text == "false") {
        out += "boolean `";
        out += text;
        out += '`';
    } else if (text.front() == '"') {
        std::string content;
        unescape_canonical(text.substr(1, text.size() - 2), content);
        out += "string ";
        quote_for_message(content, out);
    } else {
        // The writer's number text is the text of the description:
        // integers as their digits, doubles in shortest form.
        out += text.find_first_of(".e") == std::string_view::npos ? "integer `" : "floating point `";
        out += text;
        out += '`';
    }
}

}  // namespace klov::json
