"""The checkpoint blob: header checks in their order, payload handling, the
argument forms the codec accepts."""

import json

import pytest
from hypothesis import given, settings, strategies as st

import klov_core as kc
from support import HEADER



def decode_error(blob):
    with pytest.raises(ValueError) as ei:
        kc.decode_checkpoint(blob)
    return str(ei.value)


def test_encode_writes_header_and_canonical_text():
    blob = kc.encode_checkpoint('{"b": 1, "a": [1.0, -0]}')
    assert type(blob) is bytes
    assert blob == HEADER + b'{"a":[1.0,-0.0],"b":1}'
    out = kc.decode_checkpoint(blob)
    assert type(out) is str and out == '{"a":[1.0,-0.0],"b":1}'
    assert kc.encode_checkpoint("  null  ") == b"KLOV\x01null"
    assert kc.encode_checkpoint(json_str="[1]") == b"KLOV\x01[1]"
    assert kc.decode_checkpoint(blob=b"KLOV\x01[1]") == "[1]"


def test_encode_non_ascii_payload_is_utf8():
    assert kc.encode_checkpoint('["\\u00e9", "\U0001F600"]') == HEADER + '["\u00e9","\U0001F600"]'.encode()


@pytest.mark.parametrize("text,message", [
    ("", "EOF while parsing a value at line 1 column 0"),
    ("[1,]", "trailing comma at line 1 column 4"),
    ('"\\ud800"', "unexpected end of hex escape at line 1 column 8"),
])
def test_encode_errors(text, message):
    with pytest.raises(ValueError) as ei:
        kc.encode_checkpoint(text)
    assert str(ei.value) == message
    assert ei.value.args == (message,)


HEADER_CASES = [
    # (blob, message): magic first, then version, then payload
    (b"", "invalid checkpoint: bad magic header"),
    (b"K", "invalid checkpoint: bad magic header"),
    (b"KLOV", "invalid checkpoint: bad magic header"),
    (b"klov\x01null", "invalid checkpoint: bad magic header"),
    (b"KLOX\x01null", "invalid checkpoint: bad magic header"),
    (b"XLOV\x02[", "invalid checkpoint: bad magic header"),
    (b"KLOV\x02{}", "unsupported checkpoint version: 2"),
    (b"KLOV\x00{}", "unsupported checkpoint version: 0"),
    (b"KLOV\xff", "unsupported checkpoint version: 255"),
    (b"KLOV\x0a[1,", "unsupported checkpoint version: 10"),
    (b"KLOV\x01", "EOF while parsing a value at line 1 column 0"),
    (b"KLOV\x01   ", "EOF while parsing a value at line 1 column 3"),
]


@pytest.mark.parametrize("blob,message", HEADER_CASES)
def test_header_checks_in_order(blob, message):
    assert decode_error(blob) == message


def test_every_single_byte_change_of_the_magic_is_refused():
    good = b'KLOV\x01{"a":1}'
    for i in range(4):
        for delta in (1, 0x20, 0x80):
            bad = bytearray(good)
            bad[i] = (bad[i] + delta) % 256
            assert decode_error(bytes(bad)) == "invalid checkpoint: bad magic header"


PAYLOAD_CASES = [
    # (payload, decoded text or ValueError text); positions count from the payload's first byte
    (b'{"b":1,\n"a":2}  ', '{"a":2,"b":1}'),
    (b'{"b":1,\n"a":2}x', "trailing characters at line 2 column 7"),
    (b"\n\n[1,]", "trailing comma at line 3 column 4"),
    (b' \t\r\n{"k" : [ 1 , 2.50 ] }\n', '{"k":[1,2.5]}'),
    (b'"\xc3\xa9\xf0\x9f\x98\x80\xef\xbf\xbf"', '"\u00e9\U0001F600\uffff"'),
    (b'"\xff"', "invalid unicode code point at line 1 column 3"),
    (b'["ok", "\xc0\x80"]', "invalid unicode code point at line 1 column 11"),
    (b'"\xe0\x80\x80"', "invalid unicode code point at line 1 column 5"),
    (b'"\xed\xa0\x80"', "invalid unicode code point at line 1 column 5"),
    (b'"\xf4\x90\x80\x80"', "invalid unicode code point at line 1 column 6"),
    (b'"\xf8\x88\x80\x80\x80"', "invalid unicode code point at line 1 column 7"),
    (b'"\xc3"', "invalid unicode code point at line 1 column 3"),
    (b'"\xe2\x82"', "invalid unicode code point at line 1 column 4"),
    (b'"\x80abc"', "invalid unicode code point at line 1 column 6"),
    (b'{"\xff":1}', "invalid unicode code point at line 1 column 4"),
    # a raw byte next to an escape is judged on the resolved content
    (b'"\xc3\\u00a9"', "invalid unicode code point at line 1 column 9"),
    (b'"\xc3\xa9\\n"', '"\u00e9\\n"'),
    (b'["\xe2\x82\\n"]', "invalid unicode code point at line 1 column 7"),
    (b'{"\xc3\\n":1}', "invalid unicode code point at line 1 column 6"),
    (b'["\\"\xf0\x9f\x98\x80\\u0001\\/"]', '["\\"\U0001F600\\u0001/"]'),
    (b'"long ascii run before the bad byte \xfe"', "invalid unicode code point at line 1 column 38"),
    # bytes >= 0x80 outside strings are out of place like any other byte
    (b"\xff", "expected value at line 1 column 1"),
    (b"1\xff", "trailing characters at line 1 column 2"),
    (b"[1\xc3\xa9]", "expected `,` or `]` at line 1 column 3"),
    (b"\xef\xbb\xbfnull", "expected value at line 1 column 1"),
    # a control byte is refused before the string's UTF-8 is judged
    (b'"\xff\x01"', "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3"),
]


# Sequences of every class of UTF-8 fault, and of valid multi-byte
# characters, inside a long string, at every alignment to 16-byte blocks.
UTF8_SEQUENCES = [
    (b"\xc3\xa9", True), (b"\xe6\x97\xa5", True), (b"\xf0\x9f\x98\x80", True), (b"\xf4\x8f\xbf\xbf", True),
    (b"\xed\x9f\xbf", True), (b"\xee\x80\x80", True),
    (b"\xc0\xaf", False), (b"\xc1\xbf", False), (b"\xe0\x9f\xbf", False), (b"\xf0\x8f\xbf\xbf", False),
    (b"\xed\xa0\x80", False), (b"\xf4\x90\x80\x80", False), (b"\xf5\x80\x80\x80", False), (b"\xff", False),
    (b"\x80", False), (b"\xc3\xa9\xa9", False), (b"\xe6\x97", False), (b"\xf0\x9f\x98", False),
    (b"\xe6\x97\xa5\x80", False), (b"\xc3", False),
]


@pytest.mark.parametrize("sequence,valid", UTF8_SEQUENCES)
def test_utf8_judged_at_every_alignment(sequence, valid):
    for before in range(40, 57):
        for after in (0, 1, 20):
            payload = b'["' + b"a" * before + sequence + b"z" * after + b'"]'
            if valid:
                assert kc.decode_checkpoint(HEADER + payload) == payload.decode()
            else:
                assert decode_error(HEADER + payload).startswith("invalid unicode code point at line 1 column ")


@pytest.mark.parametrize("payload,expected", PAYLOAD_CASES)
def test_payload(payload, expected):
    blob = HEADER + payload
    if " at line " in expected:
        assert decode_error(blob) == expected
    else:
        assert kc.decode_checkpoint(blob) == expected


def test_argument_forms():
    blob = kc.encode_checkpoint('{"z": [1, "\\u00e9"], "a": null}')
    out = kc.decode_checkpoint(blob)
    for form in (bytearray(blob), list(blob), tuple(blob), memoryview(blob)):
        assert kc.decode_checkpoint(form) == out
    # the whole sequence is converted before the header is looked at
    with pytest.raises(OverflowError):
        kc.decode_checkpoint([0x4B, 0x4C, 0x4F, 0x58, 256])
    with pytest.raises(TypeError, match="^argument 'blob': "):
        kc.decode_checkpoint(blob.decode())
    with pytest.raises(TypeError, match="^argument 'json_str': "):
        kc.encode_checkpoint(b"{}")


def test_failed_calls_leave_nothing_behind():
    for _ in range(3):
        with pytest.raises(ValueError):
            kc.encode_checkpoint('{"a": [1, 2, ' + '"x", ' * 1000)
        assert kc.encode_checkpoint("[]") == b"KLOV\x01[]"


def test_large_document_round_trip():
    doc = {f"key{i:05d}": [i, i * 0.5, -i, "v\n" * (i % 7), {"n": None, "t": True}] for i in range(20000, 0, -1)}
    text = json.dumps(doc, ensure_ascii=False)
    blob = kc.encode_checkpoint(text)
    out = kc.decode_checkpoint(blob)
    assert json.loads(out) == doc
    assert out == json.dumps(doc, sort_keys=True, separators=(",", ":"), ensure_ascii=False)
    assert kc.encode_checkpoint(out) == blob


def test_blob_with_repeated_keys_in_payload():
    # a hand-made payload need not be canonical; decoding canonicalises it
    assert kc.decode_checkpoint(HEADER + b'{"b":{"y":1,"x":2,"y":3},"a":[{"d":0,"c":1}]}') == \
        '{"a":[{"c":1,"d":0}],"b":{"x":2,"y":3}}'


documents = st.recursive(
    st.none() | st.booleans() | st.integers(-(2**63), 2**64 - 1) | st.floats(allow_nan=False, allow_infinity=False)
    | st.text(st.characters(blacklist_categories=("Cs",)), max_size=12),
    lambda kids: st.lists(kids, max_size=4) | st.dictionaries(st.text(max_size=4), kids, max_size=5),
    max_leaves=30,
)


@settings(max_examples=300, deadline=None)
@given(documents)
def test_decode_of_encode_is_a_fixed_point(doc):
    blob = kc.encode_checkpoint(json.dumps(doc))
    text = kc.decode_checkpoint(blob)
    assert kc.encode_checkpoint(text) == blob
    assert kc.decode_checkpoint(bytearray(HEADER) + text.encode()) == text
