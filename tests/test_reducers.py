"""Channel reducers through reduce_channel."""

import json
import math

import pytest
from hypothesis import given, strategies as st

import klov_core as kc

# (reducer, current_json, update_json, result text)
CASES = [
    # add: integers stay exact, integral double sums become integers
    ("add", "1", "2", "3"),
    ("add", "1", "2.5", "3.5"),
    ("add", "1.5", "1.5", "3"),
    ("add", "null", "2.0", "2"),
    ("add", "0.1", "0.2", "0.30000000000000004"),
    ("add", "-0.5", "0.5", "0"),
    ("add", "-0.0", "-0.0", "0"),
    ("add", "-2", "-1", "-3"),
    ("add", "true", "1", "1"),
    ("add", '"abc"', "5", "5"),
    ("add", "[1,2]", "{}", "0"),
    ("add", "1e308", "1e308", "null"),
    ("add", "-1e308", "-1e308", "null"),
    ("add", "1e19", "0", "10000000000000000000"),
    ("add", "-1e19", "0", "-1e+19"),
    ("add", "18446744073709551615", "0", "18446744073709551615"),
    ("add", "9007199254740993", "0", "9007199254740993"),
    ("add", "-9223372036854775808", "0", "-9223372036854775808"),
    ("add", "-1", "18446744073709551615", "18446744073709551614"),
    # exact integer sums outside [-2^63, 2^64) round once, ties to even
    ("add", "18446744073709551615", "1", "1.8446744073709552e+19"),
    ("add", "18446744073709551615", "2049", "1.8446744073709552e+19"),
    ("add", "18446744073709551615", "2050", "1.8446744073709556e+19"),
    ("add", "-9223372036854775808", "-1", "-9.223372036854776e+18"),
    # integral double sums at the edges of the integer range
    ("add", "1.8446744073709550e19", "0", "18446744073709549568"),
    ("add", "1.8446744073709552e19", "0", "1.8446744073709552e+19"),
    ("add", "-9.223372036854775808e18", "0", "-9223372036854775808"),
    ("add", "1e300", "1.0", "1e+300"),
    # append
    ("append", "[1]", "2", "[1,2]"),
    ("append", "[1]", "[2,3]", "[1,2,3]"),
    ("append", "[1]", "[[2]]", "[1,[2]]"),
    ("append", "[1]", "null", "[1,null]"),
    ("append", "null", "null", "[null]"),
    ("append", "null", "[]", "[]"),
    ("append", "[]", "[]", "[]"),
    ("append", "5", "6", "[5,6]"),
    ("append", '{"a":1}', "[2]", '[{"a":1},2]'),
    ('append', '"x"', "[]", '["x"]'),
    ("append", "[]", "[[]]", "[[]]"),
    ("append", "null", "[null]", "[null]"),
    ("append", '"a,b"', '["]"]', '["a,b","]"]'),
    # texts not in canonical form are merged as their canonical form
    ("append", "[1, 2]", " [ 3 ] ", "[1,2,3]"),
    ("append", '{"b":1,"a":2}', '{"d":1,"c":2}', '[{"a":2,"b":1},{"c":2,"d":1}]'),
    ("append", '"\\u0041"', "[1.50, -0]", '["A",1.5,-0.0]'),
    ("add", " 1.50 ", "1E0", "2.5"),
    ("add", "1.0", "-0", "1"),
    ("last_value", "[1]", ' "\\/" ', '"/"'),
    # every other name replaces
    ("last_value", "[1,2]", '{"b":2,"a":1}', '{"a":1,"b":2}'),
    ("last_value", "1", "2.0", "2.0"),
    ("ADD", "1", "2", "2"),
    ("", "1", "2", "2"),
    ("append ", "[1]", "2", "2"),
    ("add\x00", "1", "2", "2"),
]


@pytest.mark.parametrize("reducer,current,update,expected", CASES)
def test_reduce_channel(reducer, current, update, expected):
    assert kc.reduce_channel(reducer, current, update) == expected


@pytest.mark.parametrize(
    "current,update,message",
    [
        ("[", "", "EOF while parsing a value at line 1 column 0"),  # update_json is parsed first
        ("[", "1", "EOF while parsing a list at line 1 column 1"),
        ("1", "[1,]", "trailing comma at line 1 column 4"),
        ("[1,", "[2]", "EOF while parsing a value at line 1 column 3"),
        ("[1]", "[2] x", "trailing characters at line 1 column 5"),
    ],
)
def test_parse_failures(current, update, message):
    with pytest.raises(ValueError) as info:
        kc.reduce_channel("add", current, update)
    assert info.value.args == (message,)


def _parsed(value):
    """The number klov_core's parser makes of json.dumps(value), exactly."""
    return json.loads(kc.reduce_channel("last_value", "null", json.dumps(value)))


def _model_add(a, b):
    def operand(v):
        return v if isinstance(v, (int, float)) and not isinstance(v, bool) else 0

    a, b = operand(a), operand(b)
    if isinstance(a, int) and isinstance(b, int):
        s = a + b
        return s if -(2**63) <= s < 2**64 else float(s)
    s = float(a) + float(b)
    if math.isinf(s):
        return None
    return int(s) if s.is_integer() and -(2.0**63) <= s < 2.0**64 else s


_numbers = st.one_of(
    st.integers(-(2**63), 2**64 - 1),
    st.sampled_from([0, 2**53 + 1, 2**63, 2**64 - 1, -(2**63)]),
    st.floats(allow_nan=False, allow_infinity=False),
    st.sampled_from([None, True, False, "s", [1], {"a": 1}, 1e19, -1e19, 0.5, 1.7e308]),
)


@given(_numbers, _numbers)
def test_add_matches_exact_model(a, b):
    a, b = _parsed(a), _parsed(b)
    got = json.loads(kc.reduce_channel("add", json.dumps(a), json.dumps(b)))
    want = _model_add(a, b)
    assert got == want and type(got) is type(want)
