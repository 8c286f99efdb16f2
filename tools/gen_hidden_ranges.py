#!/usr/bin/env python3
"""Prints the kHidden table of src/json/describe.cpp (the non-ASCII code points
that quote_for_message writes as \\u{hex}) from the interpreter's unicodedata,
and states the Unicode version that data has.

    python3 tools/gen_hidden_ranges.py          # the table, as C++ lines
    python3 tools/gen_hidden_ranges.py --diff   # code points where describe.cpp's table differs

A code point of U+0080 or above is hidden when
  - its general category is Cc, Cf, Zs, Zl, Zp, Co or Cs;
  - it is a noncharacter in U+FDD0..U+FDEF (those at the end of every plane,
    U+xxFFFE and U+xxFFFF, are tested in the code and may fall on either side);
  - it lies in one of the general-purpose combining blocks (the whole block,
    assigned or not), or it is a mark (Mn, Mc, Me) of one of the script and
    symbol blocks below;
  - it lies in planes 4 to 14 (unassigned, tags, variation selectors supplement).
Block bounds come from the Unicode Blocks.txt, which unicodedata does not carry."""

import re
import sys
import unicodedata
from pathlib import Path

WHOLE_BLOCKS = [
    (0x0300, 0x036F),  # Combining Diacritical Marks
    (0x1AB0, 0x1AFF),  # Combining Diacritical Marks Extended
    (0x1DC0, 0x1DFF),  # Combining Diacritical Marks Supplement
    (0x20D0, 0x20FF),  # Combining Diacritical Marks for Symbols
    (0xFE00, 0xFE0F),  # Variation Selectors
    (0xFE20, 0xFE2F),  # Combining Half Marks
    (0x40000, 0xEFFFF),  # planes 4 to 14
]
MARK_BLOCKS = [
    (0x0400, 0x04FF),  # Cyrillic
    (0x0590, 0x05FF),  # Hebrew
    (0x0600, 0x06FF),  # Arabic
    (0x3000, 0x303F),  # CJK Symbols and Punctuation (ideographic tone marks)
    (0x3040, 0x309F),  # Hiragana (kana voicing marks)
    (0x1D100, 0x1D1FF),  # Musical Symbols
]
CATEGORIES = {"Cc", "Cf", "Zs", "Zl", "Zp", "Co", "Cs"}


def plane_end(cp):
    return cp & 0xFFFE == 0xFFFE


def hidden(cp):
    if cp < 0x80:
        return False
    if unicodedata.category(chr(cp)) in CATEGORIES or 0xFDD0 <= cp <= 0xFDEF:
        return True
    if any(lo <= cp <= hi for lo, hi in WHOLE_BLOCKS):
        return True
    return unicodedata.category(chr(cp))[0] == "M" and any(lo <= cp <= hi for lo, hi in MARK_BLOCKS)


def ranges():
    """Sorted ranges of hidden code points; a plane-end noncharacter joins the
    range next to it, and is listed on its own nowhere.  The private use
    planes start a range of their own."""
    out = []
    for cp in range(0x80, 0x110000):
        if hidden(cp) or (plane_end(cp) and out and out[-1][1] == cp - 1):
            if out and out[-1][1] == cp - 1 and cp != 0xF0000:
                out[-1][1] = cp
            else:
                out.append([cp, cp])
    return [(lo, hi) for lo, hi in out if not all(plane_end(c) for c in range(lo, hi + 1))]


def table_in(source):
    """The (lo, hi) pairs of the kHidden table in describe.cpp's text."""
    body = re.search(r"kHidden\[\] = \{(.*?)\n\};", source, re.S).group(1)
    return [(int(lo, 16), int(hi, 16)) for lo, hi in re.findall(r"\{0x([0-9A-Fa-f]+), 0x([0-9A-Fa-f]+)\}", body)]


def code_points(table):
    return {cp for lo, hi in table for cp in range(lo, hi + 1) if not plane_end(cp)}


def main():
    generated = ranges()
    print(f"// Unicode {unicodedata.unidata_version} (Python {sys.version.split()[0]} unicodedata)")
    if "--diff" not in sys.argv[1:]:
        for lo, hi in generated:
            print(f"    {{0x{lo:04X}, 0x{hi:04X}}},")
        return
    kept = table_in((Path(__file__).resolve().parent.parent / "src/json/describe.cpp").read_text())
    for label, extra in (("only in describe.cpp", code_points(kept) - code_points(generated)),
                         ("only generated", code_points(generated) - code_points(kept))):
        for lo, hi in ranges_of(sorted(extra)):
            names = ", ".join(f"{unicodedata.category(chr(c))}" for c in sorted({lo, hi}))
            print(f"{label}: U+{lo:04X}..U+{hi:04X} ({names})")


def ranges_of(points):
    out = []
    for cp in points:
        if out and out[-1][1] == cp - 1:
            out[-1][1] = cp
        else:
            out.append([cp, cp])
    return out


if __name__ == "__main__":
    main()
