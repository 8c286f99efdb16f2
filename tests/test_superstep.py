"""Superstep application through advance_superstep."""

import json

import pytest
from hypothesis import given, strategies as st

import klov_core as kc

# (state_json, reducers_json, updates_json, result text)
CASES = [
    ('{"count":1,"log":["a"]}', '{"count":"add","log":"append"}',
     '[{"count":2,"log":"b"},null,{"log":["c","d"],"count":0.5}]', '{"count":3.5,"log":["a","b","c","d"]}'),
    ("{}", '{"n":"add"}', '[{"n":2.0}]', '{"n":2}'),
    ("{}", '{"xs":"append"}', '[{"xs":1},{"xs":[2,3]}]', '{"xs":[1,2,3]}'),
    ('{"a":1}', "{}", '[{"a":2},{"a":3}]', '{"a":3}'),
    ('{"a":1}', '{"a":"sum"}', '[{"a":2}]', '{"a":2}'),
    ('{"a":1}', "{}", '[{"a":null}]', '{"a":null}'),
    ('{"a":1,"b":2.0}', "{}", "[null,{}]", '{"a":1,"b":2.0}'),
    ('{"z":0}', "{}", '[{"b":1},{"a":2}]', '{"a":2,"b":1,"z":0}'),
    ("{}", "{}", "[]", "{}"),
    ('{"a":1}', '{"a":"add","a":"append"}', '[{"a":2}]', '{"a":[1,2]}'),
    # add keeps integer sums exact up to 2**64 - 1 across updates; a double operand gives a double
    ('{"n":18446744073709551614}', '{"n":"add"}', '[{"n":1},{"n":0}]', '{"n":18446744073709551615}'),
    ('{"n":18446744073709551615}', '{"n":"add"}', '[{"n":0.0}]', '{"n":1.8446744073709552e+19}'),
    # escaped keys meet their plain spellings; a NUL is an ordinary key byte
    ('{"\\u0061":[1]}', '{"a":"append","\\u0000":"add"}', '[{"a":2,"\\u0000":1},{"\\u0000":1}]',
     '{"\\u0000":2,"a":[1,2]}'),
    # within one update, members go in key order whatever the text order
    ('{"m":1}', '{"m":"append"}', '[{"m":3,"m":4}]', '{"m":[1,4]}'),
    # channels nobody writes keep their kinds exactly
    ('{"k":1.0,"u":18446744073709551615,"neg":-0.0}', '{"k":"add"}', '[{"x":1}]',
     '{"k":1.0,"neg":-0.0,"u":18446744073709551615,"x":1}'),
]


@pytest.mark.parametrize("state,reducers,updates,expected", CASES)
def test_advance_superstep(state, reducers, updates, expected):
    assert kc.advance_superstep(state, reducers, updates) == expected


# Each row breaks the call in several places; only the first check in call
# order is reported.
FAILURES = [
    ("[", "not json", "5", "EOF while parsing a list at line 1 column 1"),
    ("[]", "not json", "[]", "state must be a JSON object"),
    ('"s"', "{}", "[]", "state must be a JSON object"),
    ("{}", "{}", '[{"a":1},5]', "each node update must be a JSON object or null"),
    ("{}", "{}", '[{"a":1},[]]', "each node update must be a JSON object or null"),
    ("{}", '{"a":1}', "[5]", "invalid type: integer `1`, expected a string at line 1 column 6"),
    ("{}", '{"a": null}', "[]", "invalid type: null, expected a string at line 1 column 10"),
    ("{}", "[]", "[]", "invalid type: sequence, expected a map at line 1 column 0"),
    ("{}", "null", "[]", "invalid type: null, expected a map at line 1 column 4"),
    ("{}", '"add"', "[]", 'invalid type: string "add", expected a map at line 1 column 5'),
    ("{}", "{}", "{}", "invalid type: map, expected a sequence at line 1 column 0"),
    ("{}", "", "[]", "EOF while parsing a value at line 1 column 0"),
    ("{}", "{} x", "[]", "trailing characters at line 1 column 4"),
    ("{}", "{}", "[5, 1,]", "trailing comma at line 1 column 7"),
    ("{}", "{}", "[] []", "trailing characters at line 1 column 4"),
    # state that is valid but not canonical is read after the reducers and
    # updates, and its values that are replaced unread are still checked
    ('{"a": 1}', "not json", "[]", "expected ident at line 1 column 2"),
    ('{"a": 1}', "{}", '[{"a": 1}, 5]', "each node update must be a JSON object or null"),
    ('{"a": 1, }', "not json", "x", "trailing comma at line 1 column 10"),
    ("[1, 2]", "{}", "[5]", "state must be a JSON object"),
    ('{"a": [1e400], "b": 2}', "{}", '[{"a": 1}]', "number out of range at line 1 column 12"),
    ('{"a": {"y": 1, "x": -1E+999}}', "{}", '[{"a": 1}]', "number out of range at line 1 column 27"),
    ('{"a": [1, {"b": 2]}', "{}", '[{"a": 1}]', "expected `,` or `}` at line 1 column 18"),
    ('{"a": ' + "[" * 127 + "]" * 127 + "}", "{}", '[{"a": 1}]', "recursion limit exceeded at line 1 column 133"),
    ('{"a": [' + "9" * 400 + ".5]}", "{}", '[{"a": 1}]', "number out of range at line 1 column 409"),
    ('{"a": ["\\ud800"]}', "{}", '[{"a": 1}]', "unexpected end of hex escape at line 1 column 15"),
]


@pytest.mark.parametrize("state,reducers,updates,message", FAILURES)
def test_failures_in_call_order(state, reducers, updates, message):
    with pytest.raises(ValueError) as info:
        kc.advance_superstep(state, reducers, updates)
    assert info.value.args == (message,)


_scalars = st.one_of(st.none(), st.booleans(), st.integers(-(2**63), 2**64 - 1),
                     st.floats(allow_nan=False, allow_infinity=False, width=32), st.text(max_size=3))
_values = st.recursive(_scalars, lambda inner: st.lists(inner, max_size=3) | st.dictionaries(st.text(max_size=2), inner, max_size=3), max_leaves=6)
_channels = st.sampled_from(["a", "b", "c", "é", ""])
_reducer_names = st.sampled_from(["add", "append", "last_value", "other"])


def canonical(text):
    return kc.decode_checkpoint(kc.encode_checkpoint(text))


@given(st.dictionaries(_channels, _values), st.dictionaries(_channels, _reducer_names),
       st.lists(st.none() | st.dictionaries(_channels, _values), max_size=5), st.booleans())
def test_same_as_one_reduce_channel_per_write(state, reducers, updates, state_is_canonical):
    """Every write merges exactly like reduce_channel, in list order then key order,
    whether the state comes as canonical text (as returned by a previous step) or not."""
    texts = {k: json.dumps(v) for k, v in state.items()}
    for update in updates:
        for channel in sorted(update or {}, key=lambda k: k.encode()):
            texts[channel] = kc.reduce_channel(reducers.get(channel, "last_value"),
                                               texts.get(channel, "null"), json.dumps(update[channel]))
    expected = kc.reduce_channel("last_value", "null", "{%s}" % ",".join(
        f"{json.dumps(k)}:{v}" for k, v in texts.items()))
    state_text = canonical(json.dumps(state)) if state_is_canonical else json.dumps(state)
    got = kc.advance_superstep(state_text, json.dumps(reducers), json.dumps(updates))
    assert got == expected


# State texts near the canonical form.  Canonical state is passed through
# as it stands; everything else must come out exactly as if rewritten.
NEAR_CANONICAL = [
    '{"a":1.50}', '{"a":1e2}', '{"a":1E+16}', '{"a":1e16}', '{"a":1.0e5}', '{"a":1e-5}', '{"a":-0}',
    '{"a":0.1000000000000000055511151231257827}', '{"a":18446744073709551616}',
    '{"a":-9223372036854775809}', '{"a":00}', '{"a":"\\/"}', '{"a":"\\u00e9"}', '{"a":"\\u001F"}',
    '{"a":"\\u0008"}', '{"a":"\\ud83d\\ude00"}', '{"b":1,"a":2}', '{"a":1,"a":2}',
    '{"a":{"y":1,"x":2}}', '{"a":[1, 2]}', ' {"a":1}', '{"a":1} ', '{"#":2,"\\"":1}',
    '{"a\\u0000":1,"a":2}', '{"a":nul}', '{"a":1,"b":}', '{"a":[1,]}', '{"a":"x', '{"a":1e400}',
    '{"a":' + "[" * 127 + "]" * 127 + "}",
    # reordered objects inside the members of an ordered or a reordered state
    '{"a":{"y":1,"x":2},"b":[{"d":1,"c":2}],"c":3}', '{"c":{"z":1,"y":2},"a":[{"q":1,"p":2}],"b":"\\"x"}',
    '{"z\\\\":1,"\\"q":{"b":2,"a":1}}', '{"a":{"y":1,"x":2},"a":{"n":1,"m":2}}', '{"b":{},"a":[]}',
]
CANONICAL = [
    '{"a":0.30000000000000004,"b":1e-7,"c":0.00001,"d":100000.0,"e":-0.0,"f":1.7976931348623157e+308}',
    '{"a":18446744073709551615,"b":-9223372036854775808,"c":5e-324,"d":1e+16,"e":1000000000000000.0}',
    '{"\\u0000":3,"\\"":1,"#":2}', '{"a":"\\b\\t\\n\\f\\r\\u001f\\"\\\\/\u00e9"}',
    '{"":{"":[[],{}]},"a":[true,false,null]}', '{"a":' + "[" * 126 + "]" * 126 + "}",
]


@pytest.mark.parametrize("state", NEAR_CANONICAL + CANONICAL)
def test_state_text_forms(state):
    for updates in ("[]", '[{"a":[7]}]'):
        try:
            expected = canonical(state)
        except ValueError as e:
            with pytest.raises(ValueError) as info:
                kc.advance_superstep(state, '{"a":"append"}', updates)
            assert info.value.args == e.args
            continue
        if updates != "[]":
            expected = kc.advance_superstep(expected, '{"a":"append"}', updates)
        assert kc.advance_superstep(state, '{"a":"append"}', updates) == expected
    if state in CANONICAL:
        assert canonical(state) == state


# Compact text with members out of key order, as writers that keep insertion
# order give it; the cases after the first eight are out of order together with
# something else the general path must deal with.
UNSORTED = [
    '{"b":1,"a":2}', '{"b":{"d":[{"f":1,"e":{"h":1,"g":2}}],"c":1},"a":0}', '{"ab":1,"a":2,"":3}',
    '{"\u00e9":1,"z":2,"\u00e8":[{"\u00e9":1,"e":2}]}', '{"a":[{"c":{},"b":[]},{"y":null,"x":true}]}',
    r'{"a":{"c":"\\\"","b":"\n"},"0":[1.5,-0.25]}',
    # found out of order only after members holding objects out of order,
    # at every depth
    '{"a":{"y":1,"x":2},"c":[{"q":1,"p":{"n":1,"m":2}}],"b":3}',
    '{"a":{"k":{"z":1,"y":2},"m":1,"l":2},"c":{"x":[{"b":1,"a":2}],"y":0,"w":1},"b":1}',
    '{"b":1,"a":2,"b":3}', '{"a":{"b":1,"a":2,"a":3}}', r'{"b":1,"a\n":2}', '{"b":1,"a":1.50}',
    '{"b":1, "a":2}', r'{"b":1,"\u0061":2}', '{"b":{"y":1,"x":2},"a":', r'{"a\"b":1,"c":2,"b":3}',
    # small objects and kilobytes of them, inside and beside large ones
    json.dumps({"b": {f"k{i:03d}": {"y": i, "x": [i]} for i in range(120, 0, -1)},
                "a": {f"k{i:03d}": i for i in range(200, 0, -1)}}, separators=(",", ":")),
]


@pytest.mark.parametrize("state", UNSORTED)
def test_unsorted_compact_state(state):
    """Members come out in key order (by UTF-8 bytes, which is code point
    order), the later of repeated keys kept, as any JSON library reads it."""
    try:
        value = json.loads(state)
    except ValueError:
        with pytest.raises(ValueError):
            kc.advance_superstep(state, "{}", "[]")
        return
    expected = json.dumps(value, sort_keys=True, separators=(",", ":"), ensure_ascii=False)
    assert kc.advance_superstep(state, "{}", "[]") == expected
    assert kc.advance_superstep(state, '{"a":"append"}', '[{"a":7}]') == kc.advance_superstep(
        expected, '{"a":"append"}', '[{"a":7}]')
    assert kc.reduce_channel("last_value", "null", state) == expected
    assert kc.decode_checkpoint(kc.encode_checkpoint(state)) == expected


def test_many_new_channels_interleaved():
    """New channels land between each other and between the state's own, in
    linear time: 2 x 60,000 of them written in interleaved key order."""
    n = 120_000
    state = {f"k{i:06d}": 0 for i in range(0, n, 7)}
    updates = [{f"k{i:06d}": i for i in range(0, n, 2)}, {f"k{i:06d}": [i] for i in range(1, n, 2)}]
    got = kc.advance_superstep(json.dumps(state), "{}", json.dumps(updates))
    for update in updates:
        state.update(update)
    assert got == canonical(json.dumps(state))


def test_large_state_many_writes():
    state = {f"ch{i:04d}": list(range(50)) for i in range(300)}
    reducers = {f"ch{i:04d}": "append" for i in range(0, 300, 2)}
    updates = [{f"ch{(n * 7 + w) % 300:04d}": [n, w] for w in range(5)} for n in range(40)] + [{"new": 1}]
    got = json.loads(kc.advance_superstep(json.dumps(state), json.dumps(reducers), json.dumps(updates)))
    for update in updates:
        for ch, v in update.items():
            state[ch] = state.get(ch, []) + v if reducers.get(ch) == "append" else v
    assert got == state


BIG_UNSORTED = {f"k{i:05d}": i for i in range(4000, 0, -1)}  # over 32 KB of text


@pytest.mark.parametrize("state, updates", [
    # a member that is itself a long object out of order, beside short ones
    ({"b": BIG_UNSORTED, "a": {"y": 1, "x": 2}, "c": [1]}, [{"c": [2]}]),
    ({"b": [BIG_UNSORTED], "a": 1}, [{"a": 2}, {"b": [3]}]),
    # an update list whose elements are long objects out of order
    ({"a": 1}, [BIG_UNSORTED, {"z": [BIG_UNSORTED]}]),
    # replaced unread: values out of canonical form beside ones that stay
    ({"a": {"y": [0.00001, 2e1], "x": 1.0}, "c": [{"q": 1.50, "p": 1}], "d": {"z": 1, "y": 5e-06}},
     [{"a": 1, "d": None}]),
    # new keys that are all escapes, and longer than the rest of the state
    ({"a": 1}, [{"\x01" * 300: 1, "\x1f\"\\": [2], "z" + "\x00" * 50: 3}]),
])
def test_long_unsorted_parts_and_escaped_new_keys(state, updates):
    reducers = {"c": "append", "b": "append"}
    got = kc.advance_superstep(json.dumps(state), json.dumps(reducers), json.dumps(updates))
    for update in updates:
        for ch, v in update.items():
            state[ch] = state.get(ch, []) + v if reducers.get(ch) == "append" else v
    assert got == json.dumps(state, sort_keys=True, separators=(",", ":"), ensure_ascii=False)
