"""Text crossing the module boundary in both directions: a str argument is
read as UTF-8 and a str result is built from UTF-8, for characters of every
storage width (ASCII, Latin-1, the BMP, beyond it) at sizes from empty to
large, the wide characters spread through the text or only at one end."""

import json

import pytest

import klov_core as kc
from support import HEADER

# Per width: characters that need it, including each width's extremes.
WIDE = {
    "ascii": "az~",
    "latin1": "\u00a1\u00e9\u00ff",
    "bmp": "\u0100\u07ff\u0800\u6f22\ufeff\ufffd\uffff",
    "astral": "\U00010000\U0001f600\U0010ffff",
}
SIZES = [0, 1, 7, 8, 15, 16, 17, 31, 33, 255, 256, 257, 4095, 4097, 70001]


def spread(wide, n):
    # Wide characters between runs of ASCII of varying length.
    out, k = [], 0
    while len(out) < n:
        out.extend("x" * (k % 19))
        out.append(wide[k % len(wide)])
        k += 1
    return "".join(out[:n])


def shapes(wide, n):
    yield "spread", spread(wide, n)
    if n:
        yield "only-first", wide[-1] + "a" * (n - 1)
        yield "only-last", "a" * (n - 1) + wide[-1]
        yield "all-wide", (wide * n)[:n]


CASES = [
    pytest.param(text, id=f"{width}-{n}-{shape}")
    for width, wide in WIDE.items()
    for n in SIZES
    for shape, text in shapes(wide, n)
]


@pytest.mark.parametrize("text", CASES)
def test_text_round_trips_exactly(text):
    doc = json.dumps({"k": text, "n": 1}, ensure_ascii=False, separators=(",", ":"))
    blob = kc.encode_checkpoint(doc)
    # The argument was read as its exact UTF-8 ...
    assert blob == HEADER + doc.encode("utf-8")
    out = kc.decode_checkpoint(blob)
    # ... and the result is the same str, not merely an equal JSON value.
    assert type(out) is str
    assert out == doc
