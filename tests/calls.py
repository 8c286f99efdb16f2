"""Representative calls of all ten functions, succeeding and failing, shared
by the leak and thread tests and the memcheck driver: every function's
success, every error path of the call frame (binding, each conversion, the
argument prefix) and every class of JSON parse error."""

import klov_core as kc

_GOOD_BLOB = b'KLOV\x01{"a":[1,2.5,"x"],"b":null}'


class Kw:
    """Arguments with keywords: Kw(*args, **kwargs)."""

    def __init__(self, *args, **kwargs):
        self.args, self.kwargs = args, kwargs

    def __repr__(self):
        return f"Kw{self.args!r}{self.kwargs!r}"


class _Len:
    """A sequence whose length raises and whose iteration fails part way."""

    def __len__(self):
        raise OverflowError("len")

    def __getitem__(self, i):
        if i == 40:
            raise KeyError("at 40")
        return 1.0


class _Cause:
    """A float item raising a TypeError that has a cause."""

    def __float__(self):
        try:
            raise ValueError("root")
        except ValueError as root:
            raise TypeError("inner") from root


# (function, args or Kw(...), expected exception type or None)
CALLS = [
    # successes of every function
    (kc.cosine_similarity, ([1.0, 2.0, 3.0], [3.0, 2.0, 1.0]), None),
    (kc.cosine_similarity, (b"\x01\x02", (1, 2)), None),
    (kc.top_k, ([1.0, 0.0], [[1.0, 0.0], [0.0, 1.0], [1.0, 1.0]], 2), None),
    (kc.top_k, Kw(k=1, matrix=((1.0,), [0.5]), query=range(1)), None),
    (kc.encode_checkpoint, ('{"b": 1, "a": [1.0, -0, "\\u00e9", 1e300, -9223372036854775808]}',), None),
    (kc.decode_checkpoint, (_GOOD_BLOB,), None),
    (kc.decode_checkpoint, (list(_GOOD_BLOB),), None),
    (kc.decode_checkpoint, (bytearray(_GOOD_BLOB),), None),
    (kc.reduce_channel, ("append", "[1,2,3]", '{"x":1}'), None),
    (kc.reduce_channel, ("add", "18446744073709551615", "0.5"), None),
    (kc.advance_superstep, ('{"n":1,"log":[]}', '{"n":"add","log":"append"}', '[{"n":2,"log":"a"},null]'), None),
    (kc.plan_supersteps, (["d", "c", "b", "a"], [("a", "b"), ("a", "c"), ("b", "d"), ("c", "d")]), None),
    (kc.plan_supersteps, (["x", "y"], [("x", "y"), ("y", "x")]), None),
    (kc.hash_event, ("prev", "payload"), None),
    (kc.verify_chain, ("g", [("p", "0" * 64)]), None),
    (kc.verify_chain, ("g", []), None),
    (kc.aggregate_cost, ([0.1, 0.2, 0.3],), None),
    (kc.aggregate_cost, Kw(values=(1, True, 2.5)), None),
    # binding
    (kc.aggregate_cost, ([1.0], [2.0]), TypeError),
    (kc.top_k, (), TypeError),
    (kc.hash_event, ("a",), TypeError),
    (kc.cosine_similarity, Kw([1.0], a=[2.0]), TypeError),
    (kc.cosine_similarity, Kw(a=[1.0], c=[2.0]), TypeError),
    (kc.aggregate_cost, Kw(**{"\ud800": 1}), TypeError),
    # conversions: text
    (kc.hash_event, (1, "x"), TypeError),
    (kc.encode_checkpoint, ("\ud800",), UnicodeEncodeError),
    (kc.advance_superstep, ("{}", "{}", "[\udc80]"), UnicodeEncodeError),
    # conversions: vectors and matrices
    (kc.cosine_similarity, ("ab", [1.0]), TypeError),
    (kc.aggregate_cost, ({1.0},), TypeError),
    (kc.cosine_similarity, ([1.0, "x"], [1.0]), TypeError),
    (kc.aggregate_cost, ([1.0, 10**400],), OverflowError),
    (kc.aggregate_cost, (_Len(),), KeyError),
    (kc.aggregate_cost, ([_Cause()],), TypeError),
    (kc.top_k, ([1.0], [[1.0], "x"], 1), TypeError),
    (kc.top_k, ([1.0], [[1.0], [None]], 1), TypeError),
    # conversions: unsigned integer
    (kc.top_k, ([1.0], [[1.0]], -1), OverflowError),
    (kc.top_k, ([1.0], [[1.0]], 1.5), TypeError),
    # conversions: byte string
    (kc.decode_checkpoint, ([256],), OverflowError),
    (kc.decode_checkpoint, ([1, "a"],), TypeError),
    (kc.decode_checkpoint, ([2**70],), OverflowError),
    # conversions: lists of text and of text pairs
    (kc.plan_supersteps, (["a", 1], []), TypeError),
    (kc.plan_supersteps, (["a"], [("a", "b", "c")]), ValueError),
    (kc.plan_supersteps, (["a"], [["a", "b"]]), TypeError),
    (kc.verify_chain, ("g", [("p", "q", "r")]), ValueError),
    (kc.verify_chain, ("g", [("p", 5)]), TypeError),
    # the functions' own checks
    (kc.decode_checkpoint, (b"KLOV",), ValueError),
    (kc.decode_checkpoint, (b"KLOV\x02{}",), ValueError),
    (kc.advance_superstep, ("[]", "{}", "[]"), ValueError),
    (kc.advance_superstep, ("{}", "{}", '[{"a":1},5]'), ValueError),
    # fixed-shape reads: each expectation
    (kc.advance_superstep, ("{}", '{"a":1}', "[]"), ValueError),
    (kc.advance_superstep, ("{}", "[1]", "[]"), ValueError),
    (kc.advance_superstep, ("{}", "{}", '{"a":"b"}'), ValueError),
    (kc.advance_superstep, ("{}", '{"a":"\\u00e9\\n"} x', "[]"), ValueError),
]

# One text for every parse error message, each read by the text parser.
PARSE_ERRORS = [
    "", "[1", '{"a":1', '"abc', '{"a" 1}', "[1 2]", '{"a":1 "b":2}', "tru", "[x]", '"\\x"', "-x", "01",
    "1e999", '"a\x01"', "{1:2}", '"\\udc00"', "[1,]", "[1]x", '"\\ud800"', "[" * 200, "trux",
]
CALLS += [(kc.encode_checkpoint, (text,), ValueError) for text in PARSE_ERRORS]
CALLS += [
    (kc.decode_checkpoint, (b'KLOV\x01["\xff\xfe"]',), ValueError),  # bytes parser only: not UTF-8
    (kc.reduce_channel, ("add", "[", ""), ValueError),
    (kc.reduce_channel, ("add", '{"a":[1,2', "1"), ValueError),
]


def run(fn, args, exc):
    """Calls fn(*args); returns the result, or the exception's type and text."""
    a, k = (args.args, args.kwargs) if isinstance(args, Kw) else (args, {})
    if exc is None:
        return fn(*a, **k)
    try:
        fn(*a, **k)
    except exc as e:
        return (type(e), str(e))
    raise AssertionError(f"{fn.__name__}{args!r} did not raise {exc.__name__}")
