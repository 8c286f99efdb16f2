"""Hostile inputs: nesting at the limit on every JSON path, very large texts
and sequences (bounded time and memory), lone surrogates and str subclasses
in every text parameter, hostile items, iterators and keyword names.

Sizes shrink under the sanitizer build (KLOV_SANITIZED), where memory
figures are not meaningful and every byte costs more time."""

import inspect
import time

import pytest

import klov_core as kc
import peak_rss
from support import HEADER, SANITIZED, IterRaises, outcome

BIG_TEXT = 10_000_000 if SANITIZED else 100_000_000  # bytes of JSON text
BIG_LIST = 1_000_000 if SANITIZED else 10_000_000  # items of a sequence
DEADLINE = 300.0 if SANITIZED else 30.0  # seconds for one big call: catches quadratic work only


# ------------------------------------------------------------------ time and memory

MEASURE_MEMORY = peak_rss.available()


def bounded(fn, *args, memory):
    """Calls fn(*args) and returns its outcome; the call must end within the
    deadline, and (where it can be measured) the process's peak resident
    memory may grow by at most `memory` bytes during it."""
    if MEASURE_MEMORY:
        peak_rss.reset()
        base = peak_rss.peak()
    start = time.perf_counter()
    result = outcome(fn, *args)
    elapsed = time.perf_counter() - start
    assert elapsed < DEADLINE, f"{fn.__name__} took {elapsed:.1f}s"
    if MEASURE_MEMORY:
        grown = peak_rss.peak() - base
        assert grown <= memory, f"{fn.__name__}: peak grew by {grown >> 20} MiB, allowed {memory >> 20} MiB"
    return result


MiB = 1 << 20


# ------------------------------------------------------------------ nesting on every path

def deep(kind, n):
    """n nested containers around 0, compact: arrays, objects, or both alternating."""
    opens = {"array": ["["], "object": ['{"k":'], "mixed": ["[", '{"k":']}[kind]
    closes = {"[": "]", '{"k":': "}"}
    chain = [opens[i % len(opens)] for i in range(n)]
    return "".join(chain) + "0" + "".join(closes[o] for o in reversed(chain))


def column_of_bracket(text, k):
    """1-based column of the k-th opening bracket of a one-line text."""
    seen = 0
    for i, ch in enumerate(text):
        if ch in "[{":
            seen += 1
            if seen == k:
                return i + 1
    raise AssertionError("not that deep")


def _blob(doc):
    return HEADER + doc.encode()


# Each path: how many containers of the argument enclose the document, the
# call with the document put in place, the text that the error position is
# counted in, and the result when the document parses.
PATHS = {
    "encode json_str": (0, lambda d: (kc.encode_checkpoint, (d,)), lambda d: d, lambda d: _blob(d)),
    "decode blob": (0, lambda d: (kc.decode_checkpoint, (_blob(d),)), lambda d: d, lambda d: d),
    "reduce current_json": (0, lambda d: (kc.reduce_channel, ("append", d, "null")), lambda d: d,
                            lambda d: d[:-1] + ",null]" if d.startswith("[") else f"[{d},null]"),
    "reduce update_json": (0, lambda d: (kc.reduce_channel, ("last_value", "1", d)), lambda d: d, lambda d: d),
    "advance state_json": (1, lambda d: (kc.advance_superstep, (f'{{"s":{d}}}', "{}", "[]")),
                           lambda d: f'{{"s":{d}}}', lambda d: f'{{"s":{d}}}'),
    "advance updates element": (1, lambda d: (kc.advance_superstep, ('{"s":1}', "{}", f"[null,{d}]")),
                                lambda d: f"[null,{d}]",
                                lambda d: (ValueError, "each node update must be a JSON object or null")
                                if d.startswith("[") else '{"k":' + d[5:-1] + ',"s":1}'),
    "advance update member": (2, lambda d: (kc.advance_superstep, ('{"s":1}', '{"s":"append"}', f'[{{"s":{d}}}]')),
                              lambda d: f'[{{"s":{d}}}]',
                              lambda d: '{"s":' + (f"[1,{d[1:]}" if d.startswith("[") else f"[1,{d}]") + "}"),
}


@pytest.mark.parametrize("kind", ["array", "object", "mixed"])
@pytest.mark.parametrize("path", sorted(PATHS))
def test_nesting_at_the_limit(path, kind):
    outer, call, where, result = PATHS[path]
    doc = deep(kind, 127 - outer)  # 127 containers on the path: parses
    fn, args = call(doc)
    assert outcome(fn, *args) == result(doc)
    for n in (128, 129, 5000):  # the 128th opening bracket fails, however deep the text goes
        doc = deep(kind, n - outer)
        fn, args = call(doc)
        column = column_of_bracket(where(doc), 128)
        assert outcome(fn, *args) == (ValueError, f"recursion limit exceeded at line 1 column {column}")


def test_nesting_without_closing_brackets():
    # Only openings, a million of them: the limit is met long before the end.
    for text in ["[" * 10**6, '{"k":' * 10**6, '[{"k":' * 10**6]:
        expected = (ValueError, f"recursion limit exceeded at line 1 column {column_of_bracket(text, 128)}")
        assert outcome(kc.encode_checkpoint, text) == expected
        assert outcome(kc.decode_checkpoint, _blob(text)) == expected
        assert outcome(kc.reduce_channel, "add", "0", text) == expected


def test_every_text_of_a_call_has_its_own_budget():
    a, b, c = deep("mixed", 126), deep("object", 126), deep("array", 125)
    state = f'{{"a":{a},"b":{b}}}'  # siblings at the limit: units are given back
    assert kc.advance_superstep(state, "{}", f'[{{"c":{c}}}]') == f'{{"a":{a},"b":{b},"c":{c}}}'
    d127 = deep("mixed", 127)
    assert kc.reduce_channel("last_value", d127, d127) == d127


@pytest.mark.parametrize("reducers,column", [
    ('{"a":' + "[" * 200, 5),
    ('{"a":"add","b":' + '{"k":' * 200, 15),
    ("[" * 200, 0),
])
def test_deep_reducer_tables_are_refused_by_kind(reducers, column):
    # A reducer table is an object of strings: a container where a string or the
    # table is expected is refused at its bracket, before its content is read.
    found = "sequence" if reducers[column] == "[" else "map"
    wanted = "a map" if column == 0 else "a string"
    assert outcome(kc.advance_superstep, "{}", reducers, "[]") == (
        ValueError, f"invalid type: {found}, expected {wanted} at line 1 column {column}")


# ------------------------------------------------------------------ very large texts

def _lines(count, item):
    """A JSON array of `count` copies of `item`, one per line."""
    return "[\n" + (item + ",\n") * (count - 1) + item + "\n]"


STRING_ITEM = '"' + "x" * 985 + "\u00e9" + '"'  # 989 bytes of UTF-8; not ASCII, so the str is encoded
NUMBER_ITEM = '{"n":[12345.678,-1,true,null]}'


def _big(item, size=BIG_TEXT):
    count = size // (len(item.encode()) + 2)
    return count, _lines(count, item)


def _compact(item, count):
    return "[" + ",".join([item] * count) + "]"


@pytest.fixture(scope="module")
def big_strings():
    count, text = _big(STRING_ITEM)
    return count, text, _compact(STRING_ITEM, count)


def _size(text):
    return len(text.encode()) if not text.isascii() else len(text)


def test_big_text_round_trips(big_strings):
    count, text, compact = big_strings
    n = _size(text)
    blob = bounded(kc.encode_checkpoint, text, memory=3 * n + 64 * MiB)
    assert blob == HEADER + compact.encode()
    assert bounded(kc.decode_checkpoint, blob, memory=3 * n + 64 * MiB) == compact
    del blob
    assert bounded(kc.reduce_channel, "last_value", "null", text, memory=3 * n + 64 * MiB) == compact


def test_big_dense_documents():
    # about one value per five bytes: memory follows the number of values
    count, text = _big(NUMBER_ITEM)
    compact = _compact(NUMBER_ITEM, count)
    blob = bounded(kc.encode_checkpoint, text, memory=12 * len(text) + 64 * MiB)
    assert blob == HEADER + compact.encode()
    assert bounded(kc.decode_checkpoint, blob, memory=12 * len(text) + 64 * MiB) == compact
    count, text = _big(NUMBER_ITEM, BIG_TEXT // 5)  # the reducer's documents are slower to build
    compact = _compact(NUMBER_ITEM, count)
    assert bounded(kc.reduce_channel, "last_value", "null", text, memory=12 * len(text) + 64 * MiB) == compact


def test_big_state_and_updates(big_strings):
    count, text, compact = big_strings
    n = _size(text)
    state = '{"big":' + text + ',"n":1}'
    out = bounded(kc.advance_superstep, state, '{"n":"add"}', '[{"n":2},null]', memory=5 * n + 64 * MiB)
    assert out == '{"big":' + compact + ',"n":3}'
    nodes = BIG_TEXT // 30  # the update list is read whole first: memory follows its length
    updates = "[" + "null,\n" * nodes + '{"n":2}]'
    out = bounded(kc.advance_superstep, '{"n":1}', '{"n":"add"}', updates, memory=80 * nodes + 64 * MiB)
    assert out == '{"n":3}'


# Each case breaks the end of the big text; the error is placed on its last
# line, counted from the line's start.
BROKEN_ENDS = [
    ("\n]", "\n,]", "trailing comma", 2),
    ("\n]", "\n", "EOF while parsing a list", 0),
    ("\n]", "\n] x", "trailing characters", 3),
    ("\n]", "\n,1e999]", "number out of range", 6),
    ("\n]", '\n,"\\ud800"]', "unexpected end of hex escape", 9),
    ("\n]", "\n,[" + "[" * 127, "recursion limit exceeded", 128),
]


@pytest.mark.parametrize("old,new,message,column", BROKEN_ENDS, ids=[c[2] for c in BROKEN_ENDS])
def test_big_text_broken_at_the_end(big_strings, old, new, message, column):
    count, text, _ = big_strings
    bad = text[: -len(old)] + new
    line = bad.count("\n") + 1
    expected = (ValueError, f"{message} at line {line} column {column}")
    n = _size(bad)
    assert bounded(kc.encode_checkpoint, bad, memory=3 * n + 64 * MiB) == expected
    assert bounded(kc.reduce_channel, "add", bad, "0", memory=3 * n + 64 * MiB) == expected
    # the state's parse error comes before its kind is looked at, and the whole
    # update list is read before any element is
    assert bounded(kc.advance_superstep, bad, "{}", "[]", memory=3 * n + 64 * MiB) == expected
    assert bounded(kc.advance_superstep, "{}", "{}", bad, memory=3 * n + 64 * MiB) == expected


def test_big_blob_broken_at_the_end(big_strings):
    count, text, _ = big_strings
    payload = text.encode()
    line = text.count("\n") + 1
    bad = HEADER + payload[:-2] + b'\n,"\xff\xfe"]'  # a string that is not UTF-8, placed after its quote
    assert bounded(kc.decode_checkpoint, bad, memory=2 * len(bad) + 64 * MiB) == (
        ValueError, f"invalid unicode code point at line {line} column 5")
    bad = HEADER + payload + b"\x00"
    assert bounded(kc.decode_checkpoint, bad, memory=2 * len(bad) + 64 * MiB) == (
        ValueError, f"trailing characters at line {line} column 2")


def test_big_texts_in_fixed_shape_reads():
    count = BIG_TEXT // 16
    reducers = "{" + ",".join(f'"c{i:09d}":"add"' for i in range(count // 16)) + ',"z":5}'
    column = len(reducers) - 1
    assert bounded(kc.advance_superstep, "{}", reducers, "[]", memory=4 * len(reducers) + 64 * MiB) == (
        ValueError, f"invalid type: integer `5`, expected a string at line 1 column {column}")


# ------------------------------------------------------------------ very long sequences

def test_long_float_sequences():
    n = BIG_LIST
    ones = [1.0] * n
    assert bounded(kc.cosine_similarity, ones, [2.0] * n, memory=2 * 4 * n + 64 * MiB) == 1.0
    assert bounded(kc.cosine_similarity, [1.0, 0.0] * (n // 2), [0.0, 1.0] * (n // 2),
                   memory=2 * 4 * n + 64 * MiB) == 0.0
    # the general path: a sequence that is not a list, tuple or buffer
    assert bounded(kc.cosine_similarity, range(n), range(n), memory=2 * 4 * n + 64 * MiB) == 1.0
    assert bounded(kc.aggregate_cost, range(n), memory=64 * MiB) == float(n * (n - 1) // 2)


@pytest.mark.parametrize("na", [0, 1, 1025])
def test_second_vector_far_longer_than_the_first(na):
    # The second vector is scored block by block as it converts; blocks past
    # the end of the first (an empty first included) only count.
    a = [1.0] * na
    for b in ([1.0] * (na + 200), OnlyIterates([1.0] * (na + 200)), bytes(na + 200)):
        assert kc.cosine_similarity(a, b) == 0.0
        assert kc.cosine_similarity(b, a) == 0.0


def test_long_matrix():
    n = BIG_LIST
    row = [1.0, 0.0]
    got = bounded(kc.top_k, [1.0, 0.0], [row] * n, 3, memory=48 * n + 64 * MiB)
    assert got == [(0, 1.0), (1, 1.0), (2, 1.0)]
    got = bounded(kc.top_k, [0.0, 1.0], [row] * (n - 1) + [[0.0, 1.0]], 1, memory=48 * n + 64 * MiB)
    assert got == [(n - 1, 1.0)]


def test_long_byte_and_text_sequences():
    n = BIG_LIST
    blob = HEADER + b'"' + b"a" * (n - 7) + b'"'
    as_list = list(blob)
    assert bounded(kc.decode_checkpoint, as_list, memory=3 * n + 64 * MiB) == '"' + "a" * (n - 7) + '"'
    as_list[-1] = 256
    assert bounded(kc.decode_checkpoint, as_list, memory=3 * n + 64 * MiB) == (
        OverflowError, "out of range integral type conversion attempted")
    m = n // 10
    names = ["a"] * m
    edges = [("a", "b")] * m  # "b" is not a node: every edge is skipped
    assert bounded(kc.plan_supersteps, names, edges, memory=160 * m + 64 * MiB) == [["a"]]
    entries = [("p", "0" * 64)] * n  # all converted, then the first link is broken
    assert bounded(kc.verify_chain, "g", entries, memory=48 * n + 64 * MiB) == 0
    entries[-1] = ("p", "q", "r")
    assert bounded(kc.verify_chain, "g", entries, memory=48 * n + 64 * MiB) == (
        ValueError, "expected tuple of length 2, but got tuple of length 3")


# ------------------------------------------------------------------ text parameters

# Every text parameter, with the call that puts a value there and valid text
# everywhere else.
TEXT_PARAMS = [
    ("json_str", lambda v: kc.encode_checkpoint(v), '{"b":1,"a":[]}'),
    ("reducer", lambda v: kc.reduce_channel(v, "[1]", "2"), "append"),
    ("current_json", lambda v: kc.reduce_channel("append", v, "2"), "[1]"),
    ("update_json", lambda v: kc.reduce_channel("append", "[1]", v), "2"),
    ("state_json", lambda v: kc.advance_superstep(v, "{}", "[]"), '{"b":1,"a":2}'),
    ("reducers_json", lambda v: kc.advance_superstep('{"a":1}', v, '[{"a":2}]'), '{"a":"add"}'),
    ("updates_json", lambda v: kc.advance_superstep('{"a":1}', "{}", v), '[{"a":2}]'),
    ("prev_hash", lambda v: kc.hash_event(v, "p"), "h"),
    ("payload", lambda v: kc.hash_event("h", v), "p"),
    ("genesis", lambda v: kc.verify_chain(v, [("p", "0" * 64)]), "g"),
    ("nodes", lambda v: kc.plan_supersteps([v, "b"], [(v, "b")]), "a"),
    ("edges", lambda v: kc.plan_supersteps(["a", "b"], [("a", v)]), "b"),
    ("entries", lambda v: kc.verify_chain("g", [(v, "0" * 64)]), "p"),
]
TEXT_IDS = [p[0] for p in TEXT_PARAMS]


class HostileStr(str):
    """A str subclass whose Python-level behaviour all lies; only its content counts."""

    def __str__(self):
        return "lie"

    def __len__(self):
        raise RuntimeError("len")

    def __iter__(self):
        raise RuntimeError("iter")

    def __getitem__(self, i):
        raise RuntimeError("getitem")

    def encode(self, *a, **k):
        raise RuntimeError("encode")

    def __eq__(self, other):
        return False

    __hash__ = str.__hash__


@pytest.mark.parametrize("call,good", [p[1:] for p in TEXT_PARAMS], ids=TEXT_IDS)
def test_str_subclasses_count_by_content(call, good):
    assert outcome(call, HostileStr(good)) == outcome(call, good)
    assert outcome(call, HostileStr(good + " \u00e9")) == outcome(call, good + " \u00e9")


@pytest.mark.parametrize("surrogate", ["\ud800", "\udfff", "x\udc80y", "\ud83d\ude00"])
@pytest.mark.parametrize("call,good", [p[1:] for p in TEXT_PARAMS], ids=TEXT_IDS)
def test_lone_surrogates_raise_unprefixed(call, good, surrogate):
    for value in (surrogate, good + surrogate, HostileStr(surrogate)):
        with pytest.raises(UnicodeEncodeError) as info:
            call(value)
        assert type(info.value) is UnicodeEncodeError
        assert not str(info.value).startswith("argument")


def test_surrogate_loses_to_an_earlier_parameter():
    # conversions run in parameter order; the first failure is the one raised
    assert outcome(kc.reduce_channel, 1, "\ud800", "\ud800") == (
        TypeError, "argument 'reducer': 'int' object cannot be converted to 'PyString'")
    assert outcome(kc.advance_superstep, "{}", None, "\ud800") == (
        TypeError, "argument 'reducers_json': 'NoneType' object cannot be converted to 'PyString'")
    assert outcome(kc.advance_superstep, "\ud800", None, None)[0] is UnicodeEncodeError
    # a surrogate is refused before any JSON is read
    assert outcome(kc.reduce_channel, "add", "\ud800", "[")[0] is UnicodeEncodeError


# ------------------------------------------------------------------ keyword names

FUNCTIONS = [
    (kc.cosine_similarity, ([1.0], [1.0])),
    (kc.top_k, ([1.0], [[1.0]], 1)),
    (kc.encode_checkpoint, ("[]",)),
    (kc.decode_checkpoint, (b"KLOV\x01[]",)),
    (kc.reduce_channel, ("add", "1", "2")),
    (kc.advance_superstep, ("{}", "{}", "[]")),
    (kc.plan_supersteps, (["a"], [])),
    (kc.hash_event, ("a", "b")),
    (kc.verify_chain, ("g", [])),
    (kc.aggregate_cost, ([1.0],)),
]


@pytest.mark.parametrize("fn,args", FUNCTIONS, ids=[f.__name__ for f, _ in FUNCTIONS])
def test_keywords_that_are_not_utf8_match_nothing(fn, args):
    name = fn.__name__
    params = list(inspect.signature(fn).parameters)
    for key in ["\ud800", "\udc80" + params[0], params[-1] + "\udfff"]:
        expected = (TypeError, f"{name}() got an unexpected keyword argument '{key}'")
        assert outcome(fn, **{key: 1}) == expected  # before the missing parameters
        assert outcome(fn, *args, **{key: 1}) == expected  # all slots filled: still unexpected
    # a str subclass as a keyword name binds by its content
    assert outcome(fn, **{HostileStr(p): v for p, v in zip(params, args)}) == outcome(fn, *args)


# ------------------------------------------------------------------ hostile items

class Gives:
    """Its conversion method returns v, or raises v if it is an exception."""

    def __init__(self, v):
        self.v = v

    def _give(self):
        if isinstance(self.v, BaseException):
            raise self.v
        return self.v


class Index(Gives):
    __index__ = Gives._give


class Float(Gives):
    __float__ = Gives._give


class Boom(Exception):
    pass


_BOOM = Boom("boom")

class OnlyIterates:
    """A sequence that only iterates (the general path), with a lying length."""

    def __init__(self, items):
        self.items = items

    def __len__(self):
        return 10**12

    def __getitem__(self, i):
        return self.items[i]

    def __iter__(self):
        return iter(self.items)


# Item slots not covered by the frame tests' float items (aggregate_cost,
# matrix rows): the float32 vectors and the byte string.
ITEM_SLOTS = [
    ("a", lambda item: kc.cosine_similarity([1.0, item], [1.0, 1.0])),
    ("b", lambda item: kc.cosine_similarity([1.0, 1.0], (1.0, item))),
    ("query", lambda item: kc.top_k([item] * 40, [[1.0] * 40], 1)),
    ("a", lambda item: kc.cosine_similarity(OnlyIterates([1.0] * 33 + [item]), [1.0] * 34)),
]

FLOAT_ITEMS = {
    "float-raises": (Float(_BOOM), (Boom, "boom")),
    "float-type-error": (Float(TypeError("t")), (TypeError, "{p}t")),
    "float-gives-int": (Float(1), (TypeError, "{p}Float.__float__ returned non-float (type int)")),
    "float-gives-str": (Float("1.0"), (TypeError, "{p}Float.__float__ returned non-float (type str)")),
    "index-raises": (Index(_BOOM), (Boom, "boom")),
    "index-gives-float": (Index(1.5), (TypeError, "{p}__index__ returned non-int (type float)")),
    "index-too-big": (Index(10**400), (OverflowError, "int too large to convert to float")),
    "neither": (object(), (TypeError, "{p}must be real number, not object")),
}


@pytest.mark.parametrize("item,expected", FLOAT_ITEMS.values(), ids=FLOAT_ITEMS.keys())
@pytest.mark.parametrize("param,call", ITEM_SLOTS, ids=["a", "b", "query", "a-iter"])
def test_float_items_that_misbehave(param, call, item, expected):
    kind, text = expected
    got = outcome(call, item)
    assert got == (kind, text.format(p=f"argument '{param}': "))
    if kind is Boom:
        with pytest.raises(Boom) as info:
            call(item)
        assert info.value is _BOOM


BYTE_ITEMS = {
    "index": (Index(ord("7")), b"7"),
    "bool": (True, b"\x01"),
    "index-raises": (Index(_BOOM), (Boom, "boom")),
    "index-type-error": (Index(TypeError("t")), (TypeError, "argument 'blob': t")),
    "index-gives-float": (Index(1.5), (TypeError, "argument 'blob': __index__ returned non-int (type float)")),
    "index-over-255": (Index(300), (OverflowError, "out of range integral type conversion attempted")),
    "index-over-long": (Index(2**64), (OverflowError, "Python int too large to convert to C long")),
    "float-only": (Float(7.0), (TypeError, "argument 'blob': 'Float' object cannot be interpreted as an integer")),
}


@pytest.mark.parametrize("item,expected", BYTE_ITEMS.values(), ids=BYTE_ITEMS.keys())
def test_byte_items_that_misbehave(item, expected):
    blob = list(b"KLOV\x01[1]")
    blob[6] = item  # in place of the digit
    if isinstance(expected, bytes):  # converts like that byte
        expected = outcome(kc.decode_checkpoint, b"KLOV\x01[" + expected + b"]")
    for seq in (blob, tuple(blob), OnlyIterates(blob)):
        assert outcome(kc.decode_checkpoint, seq) == expected


# Inner sequences and second arguments whose iterator raises part way, at
# positions around the conversion's blocks of 32 items.
INNER_ITERATORS = [
    ("matrix", lambda s: kc.top_k([1.0], [[1.0], s, [2.0]], 1), 1.0),
    ("b", lambda s: kc.cosine_similarity([1.0] * 70, s), 1.0),
    ("query", lambda s: kc.top_k(s, [[1.0]], 1), 1.0),
    ("edges", lambda s: kc.plan_supersteps(["a"], s), ("a", "b")),
]


@pytest.mark.parametrize("at", [0, 31, 32, 33, 69])
@pytest.mark.parametrize("param,call,item", INNER_ITERATORS, ids=["matrix-row", "b", "query", "edges"])
def test_inner_iterators_raising_part_way(param, call, item, at):
    items = [item] * 70
    err = Boom("mid")
    with pytest.raises(Boom) as info:
        call(IterRaises(items, err, at))
    assert info.value is err
    assert outcome(call, IterRaises(items, TypeError("t"), at)) == (TypeError, f"argument '{param}': t")
