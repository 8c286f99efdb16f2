"""JSON text form and parser.

Every text is run through three routes that must agree: encode_checkpoint
(text parser), decode_checkpoint (byte parser) and reduce_channel's replacing
reducer (the document model and writer)."""

import decimal
import json
import math
import struct
from pathlib import Path

import pytest
from hypothesis import assume, given, settings, strategies as st

import klov_core as kc
from support import HEADER



def via_text(s):
    return kc.encode_checkpoint(s)[5:].decode()


def via_bytes(b):
    return kc.decode_checkpoint(HEADER + b)


def via_document(s):
    return kc.reduce_channel("last_value", "null", s)


def canon(s):
    """The canonical text of s; all routes must give it."""
    a, b, c = via_text(s), via_bytes(s.encode()), via_document(s)
    assert a == b == c
    return a


def error_of(s):
    """The ValueError text for s; all routes must give the same one."""
    texts = []
    for route, arg in ((via_text, s), (via_bytes, s.encode()), (via_document, s)):
        with pytest.raises(ValueError) as ei:
            route(arg)
        texts.append(str(ei.value))
    assert texts[0] == texts[1] == texts[2], texts
    return texts[0]


# ------------------------------------------------------------------ oracle

def py_format_double(x):
    """Shortest round-trip digits laid out plainly for exponents -5..15."""
    if x == 0:
        return "-0.0" if math.copysign(1.0, x) < 0 else "0.0"
    sign = "-" if x < 0 else ""
    t = decimal.Decimal(repr(abs(x))).as_tuple()
    digits = "".join(map(str, t.digits)).rstrip("0")
    k = len(t.digits) + t.exponent - 1
    if -5 <= k <= 15:
        if k < 0:
            body = "0." + "0" * (-k - 1) + digits
        elif len(digits) > k + 1:
            body = digits[: k + 1] + "." + digits[k + 1:]
        else:
            body = digits + "0" * (k + 1 - len(digits)) + ".0"
    else:
        body = digits[0] + ("." + digits[1:] if len(digits) > 1 else "") + ("e-" if k < 0 else "e+") + str(abs(k))
    return sign + body


def py_canonical(v):
    """Canonical text of a Python value, integers kept only within their kinds."""
    if v is None:
        return "null"
    if v is True:
        return "true"
    if v is False:
        return "false"
    if isinstance(v, int):
        return str(v) if -(2**63) <= v < 2**64 else py_format_double(float(v))
    if isinstance(v, float):
        return py_format_double(v)
    if isinstance(v, str):
        return json.dumps(v, ensure_ascii=False)
    if isinstance(v, list):
        return "[" + ",".join(py_canonical(e) for e in v) + "]"
    items = sorted(v.items(), key=lambda kv: kv[0].encode())
    return "{" + ",".join(json.dumps(k, ensure_ascii=False) + ":" + py_canonical(e) for k, e in items) + "}"


def same(a, b):
    """Equal values of equal kinds, doubles bit for bit."""
    if isinstance(a, float) or isinstance(b, float):
        return type(a) is type(b) and struct.pack("<d", a) == struct.pack("<d", b)
    if isinstance(a, list):
        return isinstance(b, list) and len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, dict):
        return isinstance(b, dict) and a.keys() == b.keys() and all(same(a[k], b[k]) for k in a)
    return type(a) is type(b) and a == b


# ------------------------------------------------------------------ writer forms

WRITE_CASES = [
    ('  {"b": 1, "a": [true, null, 1.50, -0, 1E3, 1e-7, 12345678901234567890]}  ',
     '{"a":[true,null,1.5,-0.0,1000.0,1e-7,12345678901234567890],"b":1}'),
    # integers and their kinds
    ("0", "0"), ("-1", "-1"), ("18446744073709551615", "18446744073709551615"),
    ("18446744073709551616", "1.8446744073709552e+19"),
    ("-9223372036854775808", "-9223372036854775808"),
    ("-9223372036854775809", "-9.223372036854776e+18"),
    ("-18446744073709551616", "-1.8446744073709552e+19"),
    ("10000000000000000", "10000000000000000"),
    ("123456789012345678901234567890", "1.2345678901234568e+29"),
    # doubles: plain from 1e-5 to below 1e16, exponent form outside
    ("-0", "-0.0"), ("0.0", "0.0"), ("-0.0", "-0.0"), ("1.0", "1.0"), ("1e0", "1.0"), ("100e-2", "1.0"),
    ("1e15", "1000000000000000.0"), ("1e16", "1e+16"), ("1.5e16", "1.5e+16"),
    ("123456789012345.6", "123456789012345.6"), ("0.00001", "0.00001"), ("0.000001", "1e-6"),
    ("0.001234", "0.001234"), ("12.5", "12.5"), ("1.5e300", "1.5e+300"), ("1E-7", "1e-7"),
    ("1.7976931348623157e308", "1.7976931348623157e+308"), ("5e-324", "5e-324"),
    ("2.2250738585072014e-308", "2.2250738585072014e-308"),
    ("1e308", "1e+308"), ("1e-400", "0.0"), ("-1e-400", "-0.0"), ("0e99999999999", "0.0"),
    ("1e-99999999999", "0.0"), ("-5e-2147483649", "-0.0"), ("0.0e2147483648", "0.0"),
    # correctly rounded reading: the nearest double to the exact decimal value
    ("1.8381935032223562", "1.8381935032223562"),
    ("0.1000000000000000055511151231257827021181583404541015625", "0.1"),
    ("9007199254740993.0", "9007199254740992.0"),
    ("9007199254740993.000000000000000000000001", "9007199254740994.0"),
    ("2.4703282292062328e-324", "5e-324"), ("2.4703282292062327e-324", "0.0"),
    ("1.7976931348623158e308", "1.7976931348623157e+308"),
    ("0." + "0" * 400 + "1e400", "0.1"), ("1" + "0" * 400 + "e-400", "1.0"),
    # strings: only '"', '\\' and bytes below 0x20 are escaped, the short forms where they exist
    ('"\\u00e9\\/\\b\\u001f"', '"\u00e9/\\b\\u001f"'),
    ('"\\ud83d\\ude00"', '"\U0001F600"'), ('"\\uD83D\\uDE00"', '"\U0001F600"'),
    ('"\x7f caf\u00e9 \u65e5\u672c"', '"\x7f caf\u00e9 \u65e5\u672c"'),
    ('"\\"\\\\"', '"\\"\\\\"'), ('"\\t\\n\\r\\f\\b"', '"\\t\\n\\r\\f\\b"'),
    ('"\\u0000x\\u0041"', '"\\u0000xA"'), ('"\\u2028\\uffff"', '"\u2028\uffff"'),
    ("[]", "[]"), ("{}", "{}"), (" [ ] ", "[]"), ("\t{\r\n}\n", "{}"), ('[[],{},[[]]]', '[[],{},[[]]]'),
    ("true", "true"), ("false", "false"), ("null", "null"),
]


@pytest.mark.parametrize("text,expected", WRITE_CASES)
def test_written_forms(text, expected):
    assert canon(text) == expected


def test_every_control_byte_escape():
    short = {0x08: "\\b", 0x09: "\\t", 0x0A: "\\n", 0x0C: "\\f", 0x0D: "\\r"}
    for c in range(0x20):
        want = short.get(c, "\\u%04x" % c)
        assert canon('"a\\u%04Xb"' % c) == '"a' + want + 'b"'


# ------------------------------------------------------------------ parser messages

ERROR_CASES = [
    ("", "EOF while parsing a value", 1, 0),
    ("   ", "EOF while parsing a value", 1, 3),
    ("nul", "EOF while parsing a value", 1, 3),
    ("-", "EOF while parsing a value", 1, 1),
    ("1.", "EOF while parsing a value", 1, 2),
    ("1e", "EOF while parsing a value", 1, 2),
    ("1E-", "EOF while parsing a value", 1, 3),
    ("[1,", "EOF while parsing a value", 1, 3),
    ('{"a":', "EOF while parsing a value", 1, 5),
    ('{"a":1, ', "EOF while parsing a value", 1, 8),
    ("[", "EOF while parsing a list", 1, 1),
    ("[1", "EOF while parsing a list", 1, 2),
    ("[\n", "EOF while parsing a list", 2, 0),
    ("{", "EOF while parsing an object", 1, 1),
    ('{"a"', "EOF while parsing an object", 1, 4),
    ('{"a":1', "EOF while parsing an object", 1, 6),
    ('"abc', "EOF while parsing a string", 1, 4),
    ('"\\', "EOF while parsing a string", 1, 2),
    ('"\\u12', "EOF while parsing a string", 1, 5),
    ('"\\ud800', "EOF while parsing a string", 1, 7),
    ('"\\ud800\\', "EOF while parsing a string", 1, 8),
    ('"\\n\\', "EOF while parsing a string", 1, 4),  # escapes in a row
    ('"\\ud800\\u00', "EOF while parsing a string", 1, 11),
    ('{"a" 1}', "expected `:`", 1, 6),
    ("[1 2]", "expected `,` or `]`", 1, 4),
    ('{"a":1 2}', "expected `,` or `}`", 1, 8),
    ('{"a": tru}', "expected ident", 1, 10),
    ("nulL", "expected ident", 1, 4),
    ("fxlse", "expected ident", 1, 2),
    ("+1", "expected value", 1, 1),
    (".5", "expected value", 1, 1),
    ("NaN", "expected value", 1, 1),
    ("Infinity", "expected value", 1, 1),
    ("[,1]", "expected value", 1, 2),
    ("\ufeff1", "expected value", 1, 1),
    ("\x0c1", "expected value", 1, 1),
    ("[1,\n  x]", "expected value", 2, 3),
    ('"\\x"', "invalid escape", 1, 3),
    ('"\\U0041"', "invalid escape", 1, 3),
    ('"\\u12g4"', "invalid escape", 1, 7),
    ('"\\u00e9\\x"', "invalid escape", 1, 9),
    ('"\\t\\u00e9\\u12g4"', "invalid escape", 1, 15),
    ("-a", "invalid number", 1, 2),
    ("01", "invalid number", 1, 2),
    ("-01", "invalid number", 1, 3),
    ("1.a", "invalid number", 1, 3),
    ("1.e5", "invalid number", 1, 3),
    ("1ea", "invalid number", 1, 3),
    ("1e+a", "invalid number", 1, 4),
    ("2e308", "number out of range", 1, 5),
    ("[1e400]", "number out of range", 1, 6),
    ("-1e309 ", "number out of range", 1, 6),
    ("1" + "0" * 309, "number out of range", 1, 310),
    ("1e2147483647", "number out of range", 1, 12),
    ("1e2147483648", "number out of range", 1, 12),
    ("1.5e+99999999999999", "number out of range", 1, 15),
    ('"a\x01"', "control character (\\u0000-\\u001F) found while parsing a string", 1, 3),
    ('"a\nb"', "control character (\\u0000-\\u001F) found while parsing a string", 2, 0),
    ("{1:2}", "key must be a string", 1, 2),
    ('{"a":1,2}', "key must be a string", 1, 8),
    ('{"a":1, ]', "key must be a string", 1, 9),
    ('"\\udc00"', "lone leading surrogate in hex escape", 1, 7),
    ('"\\ud800\\u0041"', "lone leading surrogate in hex escape", 1, 13),
    ('"\\ud800\\ud800"', "lone leading surrogate in hex escape", 1, 13),
    ('"\\u00e9\\udc00"', "lone leading surrogate in hex escape", 1, 13),
    ("[1,]", "trailing comma", 1, 4),
    ("[\n1,\n]", "trailing comma", 3, 1),
    ('{"a":1 , }', "trailing comma", 1, 10),
    ("[1]x", "trailing characters", 1, 4),
    ("1 2", "trailing characters", 1, 3),
    ("1x", "trailing characters", 1, 2),
    ('"\u00e9" x', "trailing characters", 1, 6),
    ("{}\n\n  }", "trailing characters", 3, 3),
    ('"\\ud800"', "unexpected end of hex escape", 1, 8),
    ('"\\ud800x"', "unexpected end of hex escape", 1, 8),
    ('"\\ud800\\n"', "unexpected end of hex escape", 1, 9),
    ("[" * 128, "recursion limit exceeded", 1, 128),
    ('{"a":' * 128, "recursion limit exceeded", 1, 5 * 127 + 1),
    ("[{}," * 60 + "[" * 68, "recursion limit exceeded", 1, 4 * 60 + 68),
]


@pytest.mark.parametrize("text,message,line,column", ERROR_CASES)
def test_error_messages(text, message, line, column):
    assert error_of(text) == f"{message} at line {line} column {column}"


def test_nesting_limit():
    for open_, close in (("[", "]"), ('{"k":', "}")):
        deep = open_ * 127 + "0" + close * 127
        assert canon(deep) == deep
    mixed = '[{"a":' * 63 + "[]" + "}]" * 63  # 126 containers plus one
    assert canon(mixed) == mixed
    # the budget is given back on leaving a container
    siblings = "[" + ",".join(["[" * 126 + "]" * 126] * 3) + "]"
    assert canon(siblings) == siblings


def test_errors_stop_at_the_first_fault():
    # a later fault never masks an earlier one
    assert error_of("[01, 1e999, x") == "invalid number at line 1 column 3"
    assert error_of('{"a":"\\x", }') == "invalid escape at line 1 column 8"


# ------------------------------------------------------------------ objects

def test_duplicate_keys_later_wins_in_sorted_place():
    assert canon('{"b":1,"a":2,"b":3}') == '{"a":2,"b":3}'
    assert canon('{"a":1,"a":2}') == '{"a":2}'
    assert canon('{"a":{"y":1},"a":[1],"\\u0061":null}') == '{"a":null}'
    assert canon('{"z":{"b":1,"a":{"d":0,"c":0}},"y":[{"b":0,"a":1}]}') == \
        '{"y":[{"a":1,"b":0}],"z":{"a":{"c":0,"d":0},"b":1}}'


def test_key_order_is_byte_order():
    keys = ["", "a", "ab", "b", "B", "\u00e9", "\U0001F600", "\uffff", "\x00", "a\x00", "\u0100"]
    text = "{" + ",".join(json.dumps(k) + ":" + str(i) for i, k in enumerate(keys)) + "}"
    order = sorted(keys, key=lambda k: k.encode())
    expected = "{" + ",".join(json.dumps(k, ensure_ascii=False) + ":" + str(keys.index(k)) for k in order) + "}"
    assert canon(text) == expected


@pytest.mark.parametrize("n", [33, 1000, 100_000])
def test_large_objects(n):
    # reversed order with a duplicate of every key: ordering and dedupe at size
    members = [f'"k{i:07d}":{i}' for i in reversed(range(n))]
    members += [f'"k{i:07d}":-{i + 1}' for i in range(0, n, 2)]
    text = "{" + ",".join(members) + "}"
    expected = "{" + ",".join(f'"k{i:07d}":' + (f"-{i + 1}" if i % 2 == 0 else str(i)) for i in range(n)) + "}"
    assert canon(text) == expected


@pytest.mark.parametrize("pad", [0, 30_000, 40_000])
def test_nested_objects_out_of_order_at_every_size(pad):
    # Objects out of order are put in order where they stand up to some
    # size and recorded beyond it; both at every depth, with repeated keys
    # (which shorten the text) and indentation, give the sorted text.
    def doc(depth):
        inner = {"z": "x" * pad, "m": [depth, {"b": 1, "a": 2}], "a": None}
        if depth:
            inner["k"] = doc(depth - 1)
        return inner

    def dup(text):
        # every inner object gets a first "a" member, dropped in favour of
        # its later one
        return text.replace('{"z"', '{"a": 0, "z"')

    value = {"outer": [doc(3), doc(0)], "b": doc(2)}
    expected = json.dumps(value, sort_keys=True, separators=(",", ":"))
    for text in (json.dumps(value), json.dumps(value, indent=2), dup(json.dumps(value))):
        assert canon(text) == expected


def test_each_call_starts_afresh():
    # Calls on one thread reuse the writer's buffers: what one call leaves
    # behind (a long draft, records of objects out of order, a read that
    # failed halfway) must never show in the next, on any thread.
    import threading

    big = {f"k{i:05}": {"z": "\\" * 50, "a": [i, {"y": 1, "x": 2}]} for i in range(3000, 0, -1)}
    texts = [
        json.dumps(big),
        json.dumps(big)[:-40],  # fails deep inside
        '{"b": [1, {"d": 1, "c": "\\n"}], "a": 2}',
        json.dumps([big, {"b": 1, "a": 2}]),
        "[]",
        '{"b": 1, "a": 2, "b": 3}',
        # compact: canonical but for the order of members
        json.dumps(big, separators=(",", ":")),
        json.dumps(big, separators=(",", ":"))[:-40],
    ]
    expected = []
    for t in texts:
        try:
            expected.append(json.dumps(json.loads(t), sort_keys=True, separators=(",", ":")))
        except ValueError:
            expected.append(None)

    def run(order, failures):
        for i in order:
            if expected[i] is None:
                try:
                    canon(texts[i])
                    failures.append(i)
                except ValueError:
                    pass
            elif canon(texts[i]) != expected[i]:
                failures.append(i)

    failures = []
    run([0, 1, 2, 3, 1, 4, 0, 5, 2, 6, 7, 2, 6, 5], failures)
    threads = [threading.Thread(target=run, args=([k % 8, (k + 3) % 8, 1, 7, 2] * 3, failures)) for k in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []


def test_no_quadratic_inputs():
    n = 10**6
    assert canon("{" + ",".join(f'"{i}":0' for i in range(n, 0, -1)) + "}").count(":") == n
    assert canon("{" + '"a":1,' * n + '"a":2}') == '{"a":2}'
    assert canon('"' + "\\n" * n + '"') == '"' + "\\n" * n + '"'
    assert canon('"' + "\\u00e9" * n + '"') == '"' + "\u00e9" * n + '"'
    assert canon("[" + "1.5," * n + "0]").count(",") == n


# ------------------------------------------------------------------ property tests

JSON_INTS = st.integers(min_value=-(2**63), max_value=2**64 - 1)
FLOATS = st.floats(allow_nan=False, allow_infinity=False)
TEXT = st.text(st.characters(blacklist_categories=("Cs",)), max_size=20)
KEYS = st.text(st.characters(blacklist_categories=("Cs",)), max_size=6)

json_values = st.recursive(
    st.none() | st.booleans() | JSON_INTS | FLOATS | TEXT,
    lambda kids: st.lists(kids, max_size=5) | st.dictionaries(KEYS, kids, max_size=6),
    max_leaves=40,
)


@settings(max_examples=300, deadline=None)
@given(json_values, st.booleans(), st.sampled_from([None, 0, 2]))
def test_python_documents_parse_to_the_same_values(value, ensure_ascii, indent):
    text = json.dumps(value, ensure_ascii=ensure_ascii, indent=indent)
    out = canon(text)
    assert same(json.loads(out), value)
    assert out == py_canonical(value)
    # canonical text is a fixed point
    blob = kc.encode_checkpoint(out)
    assert blob == HEADER + out.encode()
    assert kc.decode_checkpoint(blob) == out


@settings(max_examples=300, deadline=None)
@given(json_values, st.randoms(use_true_random=False))
def test_compact_text_in_any_member_order(value, rnd):
    """Compact text with the members of its objects in any order gives the
    canonical text of its value on every route, the superstep's included."""
    def shuffled(v):
        if isinstance(v, dict):
            items = [(k, shuffled(x)) for k, x in v.items()]
            rnd.shuffle(items)
            return dict(items)
        return [shuffled(x) for x in v] if isinstance(v, list) else v

    text = json.dumps(shuffled(value), separators=(",", ":"), ensure_ascii=rnd.random() < 0.5)
    expected = py_canonical(value)
    assert canon(text) == expected
    if isinstance(value, dict):
        assert kc.advance_superstep(text, "{}", "[]") == expected


def test_members_of_every_length_put_in_order():
    """The writer moves members into key order in 32-byte steps: lengths on
    both sides of every step, in objects nested at two depths, in text with
    spaces after its separators."""
    for shift in range(70):
        members = {"k%02d" % i: "x" * ((i * 7 + shift) % 70) for i in range(12)}
        text = json.dumps(dict(reversed(members.items())))
        for doc in ('{"z": %s, "a": [%s, 1]}' % (text, text), '[{"b": %s, "a": 1}]' % text):
            assert canon(doc) == py_canonical(json.loads(doc))


@settings(max_examples=500, deadline=None)
@given(FLOATS)
def test_doubles_round_trip(x):
    out = canon(repr(x))
    assert out == py_format_double(x)
    assert struct.pack("<d", float(out)) == struct.pack("<d", x)


def _near_forms(x):
    """Literals of x and of its decimal neighbours: the written form, Python's
    forms, and the written form with its last digit moved by one."""
    written = py_format_double(x)
    forms = [written, repr(x), "%.17g" % x, "%.16e" % x, "%.15g" % x, "%.18e" % x]
    digits = [i for i, c in enumerate(written) if c.isdigit() and "e" not in written[:i]]
    last = digits[-1]
    for step in (-1, 1):
        d = int(written[last]) + step
        if 0 <= d <= 9:
            forms.append(written[:last] + str(d) + written[last + 1:])
    return [f for f in forms if any(c in f for c in ".eE") and "inf" not in f and "nan" not in f]


def _check_near_forms(x):
    for literal in _near_forms(x):
        if math.isinf(float(literal)):
            continue  # out of range: an error, tested with the other literals
        expected = py_format_double(float(literal))
        state = '{"a":[%s]}' % literal
        assert kc.advance_superstep(state, "{}", "[]") == '{"a":[%s]}' % expected, literal


@settings(max_examples=400, deadline=None)
@given(FLOATS | st.floats(min_value=1e-7, max_value=1e17))
def test_written_doubles_pass_through_and_others_are_rewritten(x):
    """State text in the written form is passed through as it stands; every
    other literal of a double comes out in the written form."""
    _check_near_forms(x)


@pytest.mark.parametrize("x", [
    0.6332291721513404,    # 16 digits, and ...405 reads as the same double
    0.30000000000000004,   # 17 digits
    0.12500000000000003,   # just above a power of two
    0.12499999999999999,   # just below one
    843252178.9257812,
    0.09999999999999999,   # 17 digits after the point, below a power of ten
    0.9999999999999999,    # just below a power of two
    1.0000000000000002,    # just above one
    123456789.12345679,    # shorter neighbours closer than a binary unit
    5e-324, 2.2250738585072014e-308, 1.7976931348623157e308,
    9007199254740993.0, 4503599627370497.5, 1e-19 * 1.2345678901234567, 0.1, 1e22, 1e23,
    0.013945962604184164, 0.0012256783437931214,  # 17 digits at 10^-18, 10^-19
    1.2345678901234567e-05, 9.876543210987654e-06, 0.0009999999999999998, 0.0010000000000000002,
])
def test_doubles_at_the_edges_of_the_fast_checks(x):
    _check_near_forms(x)


@settings(max_examples=500, deadline=None)
@given(st.booleans(), st.text("0123456789", min_size=1, max_size=40), st.text("0123456789", max_size=40),
       st.one_of(st.none(), st.integers(-450, 450)))
def test_decimal_literals_read_correctly_rounded(neg, int_part, frac, exp):
    int_part = int_part.lstrip("0") or "0"
    literal = ("-" if neg else "") + int_part + ("." + frac if frac else "") + ("" if exp is None else f"e{exp}")
    assume(frac or exp is not None)  # integer literals keep their integer kinds
    expected = float(literal)
    if math.isinf(expected):
        assert error_of(literal) == f"number out of range at line 1 column {len(literal)}"
    else:
        assert canon(literal) == py_format_double(expected)


@settings(max_examples=200, deadline=None)
@given(st.integers(min_value=-(10**30), max_value=10**30))
def test_integer_kinds(i):
    out = canon(str(i))
    if -(2**63) <= i < 2**64:
        assert out == str(i)
    else:
        assert out == py_format_double(float(i))


@st.composite
def raw_texts(draw, depth=0):
    """JSON text with repeated keys, odd whitespace and escapes."""
    ws = draw(st.sampled_from(["", " ", "\n", "\t ", "\r\n"]))
    kind = draw(st.integers(0, 5 if depth < 4 else 2))
    if kind <= 2:
        v = draw(st.none() | st.booleans() | JSON_INTS | FLOATS | TEXT)
        return ws + json.dumps(v, ensure_ascii=draw(st.booleans())) + ws
    if kind == 3:
        items = draw(st.lists(raw_texts(depth + 1), max_size=4))
        return ws + "[" + ",".join(items) + "]" + ws
    keys = st.sampled_from(["a", "b", "c", "\u00e9", "ab", "", "\x00"])
    members = draw(st.lists(st.tuples(keys, raw_texts(depth + 1)), max_size=6))
    return ws + "{" + ",".join(json.dumps(k, ensure_ascii=draw(st.booleans())) + ws + ":" + v
                               for k, v in members) + "}" + ws


@settings(max_examples=400, deadline=None)
@given(raw_texts())
def test_texts_with_repeated_keys(text):
    # Python's reader also lets the later duplicate win
    assert canon(text) == py_canonical(json.loads(text))


# ------------------------------------------------------------------ public corpus

SUITE = Path(__file__).resolve().parents[2] / "shared" / "json-test-suite"
SUITE_FILES = sorted((SUITE / "test_parsing").glob("*.json")) + sorted((SUITE / "test_transform").glob("*.json")) \
    if SUITE.is_dir() else []


@pytest.mark.skipif(not SUITE.is_dir(), reason="json-test-suite not present")
@pytest.mark.parametrize("path", SUITE_FILES, ids=[p.name for p in SUITE_FILES])
def test_json_test_suite(path):
    data = path.read_bytes()
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError:
        text = None
    expect = path.name[0] if path.parent.name == "test_parsing" else "i"

    def run(route, arg):
        try:
            return route(arg)
        except ValueError as e:
            assert " at line " in str(e)
            return None

    from_bytes = run(via_bytes, data)
    results = [from_bytes]
    if text is not None:
        results += [run(via_text, text), run(via_document, text)]
    # the byte parser refuses only what the text parser does, plus invalid UTF-8
    assert all(r == results[0] for r in results[1:])
    if expect == "y":
        assert from_bytes is not None
    elif expect == "n":
        assert all(r is None for r in results)
    if from_bytes is not None:
        assert via_bytes(from_bytes.encode()) == from_bytes
