"""The quoting of strings inside "invalid type" messages: the ASCII escapes,
and which non-ASCII code points are written as \\u{hex} (the kHidden table of
src/json/describe.cpp, read from the source, plus the noncharacters at the
end of every plane) rather than as themselves."""

import json
import re
from pathlib import Path

import pytest

import klov_core as kc

SOURCE = Path(__file__).resolve().parent.parent / "src" / "json" / "describe.cpp"


def _hidden_table():
    body = re.search(r"kHidden\[\] = \{(.*?)\n\};", SOURCE.read_text(), re.S).group(1)
    return [(int(lo, 16), int(hi, 16)) for lo, hi in re.findall(r"\{0x([0-9A-Fa-f]+), 0x([0-9A-Fa-f]+)\}", body)]


HIDDEN = _hidden_table()


def expected(cp):
    """How a code point other than '"', '\\', tab, CR, LF and NUL is quoted."""
    hidden = cp < 0x20 or cp == 0x7F or cp & 0xFFFE == 0xFFFE or any(lo <= cp <= hi for lo, hi in HIDDEN)
    return f"\\u{{{cp:x}}}" if hidden else chr(cp)


def quoted(text):
    """The quoted string in the message for `text` given as a reducer table;
    written with \\u escapes and as raw UTF-8, which must quote alike."""
    got = set()
    for ascii_only in (True, False):
        with pytest.raises(ValueError) as info:
            kc.advance_superstep("{}", json.dumps(text, ensure_ascii=ascii_only), "[]")
        found = re.fullmatch(r'invalid type: string "(.*)", expected a map at line 1 column \d+', str(info.value), re.S)
        assert found, str(info.value)
        got.add(found.group(1))
    assert len(got) == 1, got
    return got.pop()


def test_hidden_table_is_sorted_and_disjoint():
    assert len(HIDDEN) > 40 and HIDDEN[0][0] >= 0x80 and HIDDEN[-1][1] <= 0x10FFFF
    assert all(lo <= hi < after for (lo, hi), (after, _) in zip(HIDDEN, HIDDEN[1:]))


@pytest.mark.parametrize("lo,hi", HIDDEN, ids=[f"U+{lo:04X}" for lo, _ in HIDDEN])
def test_hidden_range_edges(lo, hi):
    # First and last code point escaped; the neighbours outside printed as
    # they are unless hidden themselves.  A str holds no surrogates.
    first = 0xE000 if 0xD800 <= lo <= 0xDFFF else lo
    points = [cp for cp in (lo - 1, first, hi, hi + 1) if cp <= 0x10FFFF and not 0xD800 <= cp <= 0xDFFF]
    assert expected(first).startswith("\\u{") and expected(hi).startswith("\\u{")
    assert quoted("".join(map(chr, points))) == "".join(map(expected, points))


@pytest.mark.parametrize("text,message", [
    ('a"b\\c\t\r\n\0\x01\x1f\x7f ~', 'a\\"b\\\\c\\t\\r\\n\\0\\u{1}\\u{1f}\\u{7f} ~'),
    ("\ufffe\uffff\U0001fffe\U0003ffff\U0010ffff", "\\u{fffe}\\u{ffff}\\u{1fffe}\\u{3ffff}\\u{10ffff}"),
    ("é\u0905\u093f\ufffd\ufffc\U0001f600\U00030000", "é\u0905\u093f\ufffd\ufffc\U0001f600\U00030000"),
])
def test_quoting_outside_the_table(text, message):
    assert quoted(text) == message
