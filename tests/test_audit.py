"""hash_event and verify_chain: digests checked against hashlib, chains
built with hash_event and then tampered with."""

import hashlib
import re

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import klov_core as kc

HEX64 = re.compile(r"[0-9a-f]{64}\Z")


def reference(prev, payload):
    return hashlib.sha256(prev.encode() + b"\x1f" + payload.encode()).hexdigest()


def build_chain(genesis, payloads):
    entries, prev = [], genesis
    for p in payloads:
        prev = kc.hash_event(prev, p)
        entries.append((p, prev))
    return entries


# ---- hash_event -----------------------------------------------------------


@pytest.mark.parametrize(
    "prev, payload, expected",
    [
        ("", "", "ffe679bb831c95b67dc17819c63c5090d221aac6f4c7bf530f594ab43d21fa1e"),
        ("a", "bc", hashlib.sha256(b"a\x1fbc").hexdigest()),
        ("ab", "c", hashlib.sha256(b"ab\x1fc").hexdigest()),
        # The separator is fed even when it already appears in the texts.
        ("\x1f", "", hashlib.sha256(b"\x1f\x1f").hexdigest()),
        ("", "\x1f", hashlib.sha256(b"\x1f\x1f").hexdigest()),
        ("é", "\u20ac\U0001f600\x00", hashlib.sha256("é\x1f\u20ac\U0001f600\x00".encode()).hexdigest()),
    ],
)
def test_hash_event_known_digests(prev, payload, expected):
    assert kc.hash_event(prev, payload) == expected


def test_separator_marks_the_split():
    assert kc.hash_event("a", "bc") != kc.hash_event("ab", "c")
    assert kc.hash_event("", "x") != kc.hash_event("x", "")


@settings(max_examples=300, deadline=None)
@given(st.text(max_size=300), st.text(max_size=300))
def test_hash_event_matches_hashlib(prev, payload):
    got = kc.hash_event(prev, payload)
    assert HEX64.match(got)
    assert got == reference(prev, payload)


@pytest.mark.parametrize("size", [55, 56, 63, 64, 65, 119, 120, 4 << 20])
def test_hash_event_block_boundaries_and_large_payloads(size):
    # Sizes around the 64-byte block and padding limits, and a multi-megabyte text.
    payload = "x" * size
    assert kc.hash_event("p" * 64, payload) == reference("p" * 64, payload)


@pytest.mark.parametrize(
    "args, exc",
    [
        ((1, "x"), TypeError),
        (("x", b"bytes"), TypeError),
        (("x", None), TypeError),
        (("\ud800", "x"), UnicodeEncodeError),
    ],
)
def test_hash_event_bad_arguments(args, exc):
    with pytest.raises(exc):
        kc.hash_event(*args)


# ---- verify_chain ---------------------------------------------------------

PAYLOADS = ["event %d " % i + "é" * (i % 3) for i in range(40)]


def tampered(entries, k, payload=None, stored=None):
    out = list(entries)
    p, h = out[k]
    out[k] = (p if payload is None else payload(p), h if stored is None else stored(h))
    return out


@pytest.mark.parametrize("k", [0, 1, 17, 39])
@pytest.mark.parametrize(
    "change",
    [
        {"payload": lambda p: p + "!"},
        {"payload": lambda p: p[:-1]},
        {"stored": str.upper},
        {"stored": lambda h: h + " "},
        {"stored": lambda h: " " + h},
        {"stored": lambda h: h + "\n"},
        {"stored": lambda h: h[:-1]},
        {"stored": lambda h: h[:-1] + ("0" if h[-1] != "0" else "1")},
        {"stored": lambda h: ""},
        # 64 bytes of UTF-8 in 32 characters: the same byte length as a hash text.
        {"stored": lambda h: "\u00e9" * 32},
    ],
    ids=["payload+", "payload-", "upper", "trail-space", "lead-space", "newline", "short", "last-digit", "empty",
         "non-ascii-64-bytes"],
)
def test_first_broken_link_is_reported(k, change):
    entries = build_chain("genesis", PAYLOADS)
    bad = tampered(entries, k, **change)
    if bad[k] == entries[k]:
        pytest.skip("change is a no-op for this entry")
    assert kc.verify_chain("genesis", bad) == k


def test_every_digit_of_the_stored_hash_counts():
    entries = build_chain("genesis", PAYLOADS[:3])
    for at in range(64):
        for swap in ("0", "f", "F", "g"):
            p, h = entries[1]
            if h[at] == swap:
                continue
            bad = [entries[0], (p, h[:at] + swap + h[at + 1:]), entries[2]]
            assert kc.verify_chain("genesis", bad) == 1, (at, swap)


def test_intact_chains_verify():
    assert kc.verify_chain("genesis", build_chain("genesis", PAYLOADS)) is None
    assert kc.verify_chain("", build_chain("", ["", "", ""])) is None
    # Any text serves as genesis, and so as the first previous hash.
    assert kc.verify_chain("not a hash \u20ac", build_chain("not a hash \u20ac", ["a"])) is None


@pytest.mark.parametrize("genesis", ["", "anything", "0" * 64])
def test_empty_chain_verifies_whatever_the_genesis(genesis):
    assert kc.verify_chain(genesis, []) is None
    assert kc.verify_chain(genesis, ()) is None


@pytest.mark.parametrize("wrong", ["genesis ", "Genesis", "", "genesis\x1f"])
def test_wrong_genesis_breaks_the_first_link(wrong):
    assert kc.verify_chain(wrong, build_chain("genesis", PAYLOADS)) == 0


def test_only_the_first_break_counts():
    entries = build_chain("g", PAYLOADS)
    bad = tampered(tampered(entries, 5, stored=str.upper), 9, payload=lambda p: p + "x")
    assert kc.verify_chain("g", bad) == 5


def test_rewritten_suffix_is_a_valid_chain_of_its_own():
    # Re-hashing from a forged entry onwards gives a chain that verifies from
    # the forged entry's predecessor but not from the original genesis.
    entries = build_chain("g", PAYLOADS[:6])
    forged = build_chain(entries[2][1], ["forged"] + PAYLOADS[4:6])
    assert kc.verify_chain(entries[2][1], forged) is None
    assert kc.verify_chain("g", entries[:3] + forged) is None
    assert kc.verify_chain("g", entries[:4] + forged[1:]) == 4


@pytest.mark.parametrize(
    "entries, exc",
    [
        # A malformed entry after an already broken link is still refused:
        # every entry is converted before any link is hashed.
        ([("p", "broken"), ["a", "b"]], TypeError),
        ([("p", "broken"), ("a", "b", "c")], ValueError),
        ([("p", "broken"), ("a",)], ValueError),
        ([("p", "broken"), ("a", 1)], TypeError),
        ([("p", "broken"), ("a", b"b")], TypeError),
        ([("p", "broken"), ("\ud800", "x")], UnicodeEncodeError),
        # Far into a long list, past the pairs converted so far.
        ([("p", "h")] * 30 + [["a", "b"]], TypeError),
        ([("p", "h")] * 30 + [("a", "b", "c")] + [("p", "h")] * 30, ValueError),
        ([("p", "h")] * 30 + [("a", None)], TypeError),
        ("not a list", TypeError),
        (None, TypeError),
    ],
)
def test_conversion_errors_come_before_any_link(entries, exc):
    with pytest.raises(exc):
        kc.verify_chain("g", entries)


def test_bad_genesis_is_refused():
    with pytest.raises(TypeError, match="argument 'genesis'"):
        kc.verify_chain(None, [])


def test_entries_as_any_sequence_of_pairs():
    entries = build_chain("g", PAYLOADS[:5])
    assert kc.verify_chain("g", tuple(entries)) is None
    assert kc.verify_chain("g", tuple(entries[:2]) + (("x", "y"),)) == 2
