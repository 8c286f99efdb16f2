"""Representative calls of all ten functions, succeeding and failing, shared
by the leak and thread tests."""

import klov_core as kc

_GOOD_BLOB = b'KLOV\x01{"a":[1,2.5,"x"],"b":null}'

# (function, args, expected exception type or None)
CALLS = [
    (kc.cosine_similarity, ([1.0, 2.0, 3.0], [3.0, 2.0, 1.0]), None),
    (kc.cosine_similarity, ("ab", [1.0]), TypeError),
    (kc.cosine_similarity, ([1.0, "x"], [1.0]), TypeError),
    (kc.top_k, ([1.0, 0.0], [[1.0, 0.0], [0.0, 1.0], [1.0, 1.0]], 2), None),
    (kc.top_k, ([1.0], [[1.0]], -1), OverflowError),
    (kc.top_k, ([1.0], [[1.0], "x"], 1), TypeError),
    (kc.encode_checkpoint, ('{"b": 1, "a": [1.0, -0, "\\u00e9"]}',), None),
    (kc.encode_checkpoint, ("[1,]",), ValueError),
    (kc.encode_checkpoint, ('"\\ud800"',), ValueError),
    (kc.encode_checkpoint, ("\ud800",), UnicodeEncodeError),
    (kc.decode_checkpoint, (_GOOD_BLOB,), None),
    (kc.decode_checkpoint, (list(_GOOD_BLOB),), None),
    (kc.decode_checkpoint, (b"KLOV\x02{}",), ValueError),
    (kc.decode_checkpoint, (b'KLOV\x01"\xff"',), ValueError),
    (kc.decode_checkpoint, ([256],), OverflowError),
    (kc.reduce_channel, ("append", "[1,2,3]", '{"x":1}'), None),
    (kc.reduce_channel, ("add", "18446744073709551615", "0"), None),
    (kc.reduce_channel, ("add", "[", ""), ValueError),
    (kc.advance_superstep, ('{"n":1,"log":[]}', '{"n":"add","log":"append"}', '[{"n":2,"log":"a"},null]'), None),
    (kc.advance_superstep, ("[]", "{}", "[]"), ValueError),
    (kc.advance_superstep, ("{}", '{"a":1}', "[]"), ValueError),
    (kc.advance_superstep, ("{}", "{}", '[{"a":1},5]'), ValueError),
    (kc.plan_supersteps, (["d", "c", "b", "a"], [("a", "b"), ("a", "c"), ("b", "d"), ("c", "d")]), None),
    (kc.plan_supersteps, (["x", "y"], [("x", "y"), ("y", "x")]), None),
    (kc.plan_supersteps, (["a"], [("a", "b", "c")]), ValueError),
    (kc.plan_supersteps, (["a"], [["a", "b"]]), TypeError),
    (kc.hash_event, ("prev", "payload"), None),
    (kc.hash_event, (1, "x"), TypeError),
    (kc.verify_chain, ("g", [("p", "0" * 64)]), None),
    (kc.verify_chain, ("g", [("p", "q", "r")]), ValueError),
    (kc.aggregate_cost, ([0.1, 0.2, 0.3],), None),
    (kc.aggregate_cost, ({1.0},), TypeError),
    (kc.aggregate_cost, (), TypeError),
]


def run(fn, args, exc):
    """Calls fn(*args); returns the result, or the exception's type and text."""
    if exc is None:
        return fn(*args)
    try:
        fn(*args)
    except exc as e:
        return (type(e), str(e))
    raise AssertionError(f"{fn.__name__}{args!r} did not raise {exc.__name__}")
