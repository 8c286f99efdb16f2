"""The call frame shared by every function: binding by position and keyword,
the conversion of each argument kind and its error messages, the argument
prefix on TypeErrors, the fast paths for buffers and exact lists (each must
give the general path's outcome) and hostile arguments (lying lengths, items
that change their list, huge inputs, memory exhaustion).

A conversion that succeeds is shown by the call's result, by a later argument
that fails in a known way (the arguments convert in parameter order), or by
comparing the whole outcome of two calls that must behave the same.
"""

import array
import collections.abc
import ctypes
import math
import os
import subprocess
import sys

import pytest

import klov_core as kc
from support import SANITIZED, IterRaises, error, outcome_repr

np = pytest.importorskip("numpy")

PROBE = "probe"  # a str where a sequence is expected: a known, late failure
VEC_STR = "Can't extract `str` to `Vec`"


def fsum_error(item):
    """The interpreter's own error for converting `item` to a double."""
    try:
        math.fsum([item])
    except Exception as e:  # noqa: BLE001
        return type(e), str(e)
    raise AssertionError(f"{item!r} converts")


def seq_sum(items):
    t = -0.0
    for v in items:
        t += float(v)
    return t


# --- binding -------------------------------------------------------------------

BINDING = [
    (kc.aggregate_cost, (1, 2), {}, "aggregate_cost() takes 1 positional arguments but 2 were given"),
    (kc.cosine_similarity, ([1.0], [1.0], [1.0]), {},
     "cosine_similarity() takes 2 positional arguments but 3 were given"),
    # Too many positionals is reported before any keyword is looked at.
    (kc.top_k, (1, 2, 3, 4), {"zz": 1, "k": 2}, "top_k() takes 3 positional arguments but 4 were given"),
    (kc.cosine_similarity, ([1.0],), {}, "cosine_similarity() missing 1 required positional argument: 'b'"),
    (kc.top_k, ([1.0], [[1.0]]), {}, "top_k() missing 1 required positional argument: 'k'"),
    (kc.top_k, ([1.0],), {}, "top_k() missing 2 required positional arguments: 'matrix' and 'k'"),
    (kc.top_k, (), {"matrix": [[1.0]]}, "top_k() missing 2 required positional arguments: 'query' and 'k'"),
    (kc.top_k, (), {}, "top_k() missing 3 required positional arguments: 'query', 'matrix', and 'k'"),
    (kc.advance_superstep, (), {},
     "advance_superstep() missing 3 required positional arguments: 'state_json', 'reducers_json', and "
     "'updates_json'"),
    (kc.aggregate_cost, (), {}, "aggregate_cost() missing 1 required positional argument: 'values'"),
    (kc.cosine_similarity, ([1.0],), {"a": [2.0]}, "cosine_similarity() got multiple values for argument 'a'"),
    (kc.top_k, ([1.0], [[1.0]]), {"k": 1, "matrix": 2}, "top_k() got multiple values for argument 'matrix'"),
    (kc.cosine_similarity, (), {"a": [1.0], "c": [2.0]},
     "cosine_similarity() got an unexpected keyword argument 'c'"),
    # Keywords are walked in the order given: the first problem wins.
    (kc.top_k, ([1.0],), {"query": 1, "zz": 2}, "top_k() got multiple values for argument 'query'"),
    (kc.top_k, ([1.0],), {"zz": 2, "query": 1}, "top_k() got an unexpected keyword argument 'zz'"),
    # Names compare byte for byte: case, prefixes and embedded NULs match nothing.
    (kc.aggregate_cost, (), {"Values": 1}, "aggregate_cost() got an unexpected keyword argument 'Values'"),
    (kc.aggregate_cost, (), {"value": 1}, "aggregate_cost() got an unexpected keyword argument 'value'"),
    (kc.aggregate_cost, (), {"valuess": 1}, "aggregate_cost() got an unexpected keyword argument 'valuess'"),
    (kc.aggregate_cost, (), {"values\0": 1}, "aggregate_cost() got an unexpected keyword argument 'values\0'"),
    (kc.aggregate_cost, (), {"välues": 1}, "aggregate_cost() got an unexpected keyword argument 'välues'"),
    # A name that cannot be encoded as UTF-8 matches nothing and is shown as passed.
    (kc.aggregate_cost, (), {"\ud800": 1}, "aggregate_cost() got an unexpected keyword argument '\ud800'"),
    (kc.hash_event, ("a",), {"payload\udc80": 1}, "hash_event() got an unexpected keyword argument 'payload\udc80'"),
    # Binding errors come before conversion errors of the bound arguments.
    (kc.aggregate_cost, ("x",), {"values": "y"}, "aggregate_cost() got multiple values for argument 'values'"),
    (kc.cosine_similarity, ("x",), {}, "cosine_similarity() missing 1 required positional argument: 'b'"),
    (kc.hash_event, (1,), {"x": 2}, "hash_event() got an unexpected keyword argument 'x'"),
]


@pytest.mark.parametrize("fn,args,kwargs,message", BINDING)
def test_binding_errors(fn, args, kwargs, message):
    e = error(fn, *args, **kwargs)
    assert type(e) is TypeError
    assert str(e) == message


def test_binding_by_keyword():
    assert kc.aggregate_cost(values=[1, 2]) == 3.0
    # k is converted last, so reaching its error shows query and matrix bound.
    e = error(kc.top_k, k=-1, matrix=[[1.0]], query=[1.0])
    assert type(e) is OverflowError
    assert kc.top_k(k=1, matrix=[[1.0]], query=[1.0]) == [(0, 1.0)]
    assert str(error(kc.cosine_similarity, [1.0], b=PROBE)) == f"argument 'b': {VEC_STR}"
    assert str(error(kc.cosine_similarity, b=[1.0], a=PROBE)) == f"argument 'a': {VEC_STR}"


# --- conversion messages --------------------------------------------------------------


class Outer:
    class Inner:
        """Its qualified name is Outer.Inner."""


class StrSub(str):
    pass


class DictSub(dict):
    pass


class TupleSub(tuple):
    pass


class Idx:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        if isinstance(self.v, BaseException):
            raise self.v
        return self.v


class IntSub(int):
    def __index__(self):  # an int is converted by value, not through __index__
        return 99


Q, M = [1.0], [[1.0]]
STR_ITEM = fsum_error("x")[1]

# (call, exception type, exact message)
CONVERSION_ERRORS = [
    # text
    (lambda: kc.hash_event(1, "x"), TypeError, "argument 'prev_hash': 'int' object cannot be converted to 'PyString'"),
    (lambda: kc.hash_event("x", b"y"), TypeError,
     "argument 'payload': 'bytes' object cannot be converted to 'PyString'"),
    (lambda: kc.encode_checkpoint(None), TypeError,
     "argument 'json_str': 'NoneType' object cannot be converted to 'PyString'"),
    (lambda: kc.encode_checkpoint(Outer.Inner()), TypeError,
     "argument 'json_str': 'Outer.Inner' object cannot be converted to 'PyString'"),
    (lambda: kc.reduce_channel("add", "1", ["x"]), TypeError,
     "argument 'update_json': 'list' object cannot be converted to 'PyString'"),
    (lambda: kc.advance_superstep("{}", 1.5, "[]"), TypeError,
     "argument 'reducers_json': 'float' object cannot be converted to 'PyString'"),
    (lambda: kc.verify_chain(b"g", []), TypeError,
     "argument 'genesis': 'bytes' object cannot be converted to 'PyString'"),
    # float vectors: a str first, then a non-sequence, then the items
    (lambda: kc.cosine_similarity("ab", [1.0]), TypeError, f"argument 'a': {VEC_STR}"),
    (lambda: kc.cosine_similarity(StrSub("ab"), [1.0]), TypeError, f"argument 'a': {VEC_STR}"),
    (lambda: kc.cosine_similarity([1.0], ""), TypeError, f"argument 'b': {VEC_STR}"),
    (lambda: kc.aggregate_cost("12"), TypeError, f"argument 'values': {VEC_STR}"),
    (lambda: kc.cosine_similarity({1: 2}, [1.0]), TypeError,
     "argument 'a': 'dict' object cannot be converted to 'Sequence'"),
    (lambda: kc.aggregate_cost({1.0}), TypeError, "argument 'values': 'set' object cannot be converted to 'Sequence'"),
    (lambda: kc.aggregate_cost(frozenset()), TypeError,
     "argument 'values': 'frozenset' object cannot be converted to 'Sequence'"),
    (lambda: kc.aggregate_cost(DictSub()), TypeError,
     "argument 'values': 'DictSub' object cannot be converted to 'Sequence'"),
    (lambda: kc.aggregate_cost(x for x in [1.0]), TypeError,
     "argument 'values': 'generator' object cannot be converted to 'Sequence'"),
    (lambda: kc.aggregate_cost(iter([1.0])), TypeError,
     "argument 'values': 'list_iterator' object cannot be converted to 'Sequence'"),
    (lambda: kc.aggregate_cost(None), TypeError,
     "argument 'values': 'NoneType' object cannot be converted to 'Sequence'"),
    (lambda: kc.aggregate_cost(3.5), TypeError, "argument 'values': 'float' object cannot be converted to 'Sequence'"),
    (lambda: kc.aggregate_cost(Outer.Inner()), TypeError,
     "argument 'values': 'Outer.Inner' object cannot be converted to 'Sequence'"),
    # a numpy scalar exports a buffer but is no sequence
    (lambda: kc.aggregate_cost(np.float64(1.0)), TypeError,
     "argument 'values': 'float64' object cannot be converted to 'Sequence'"),
    (lambda: kc.cosine_similarity([1.0, "x"], [1.0, 2.0]), TypeError, f"argument 'a': {STR_ITEM}"),
    (lambda: kc.aggregate_cost([1.0, None]), TypeError, f"argument 'values': {fsum_error(None)[1]}"),
    (lambda: kc.aggregate_cost([b"1"]), TypeError, f"argument 'values': {fsum_error(b'1')[1]}"),
    (lambda: kc.aggregate_cost([1.0, 10**400]), OverflowError, fsum_error(10**400)[1]),
    (lambda: kc.cosine_similarity([1.0], [10**400]), OverflowError, fsum_error(10**400)[1]),
    (lambda: kc.aggregate_cost(np.array(1.0)), TypeError, "argument 'values': iteration over a 0-d array"),
    # float32 matrix: outer value, then each row with the same messages
    (lambda: kc.top_k(Q, "ab", 1), TypeError, f"argument 'matrix': {VEC_STR}"),
    (lambda: kc.top_k(Q, 5, 1), TypeError, "argument 'matrix': 'int' object cannot be converted to 'Sequence'"),
    (lambda: kc.top_k(Q, [[1.0], "ab", 5], 1), TypeError, f"argument 'matrix': {VEC_STR}"),
    (lambda: kc.top_k(Q, [[1.0], 5, "ab"], 1), TypeError,
     "argument 'matrix': 'int' object cannot be converted to 'Sequence'"),
    (lambda: kc.top_k(Q, [[1.0], {2.0}], 1), TypeError,
     "argument 'matrix': 'set' object cannot be converted to 'Sequence'"),
    (lambda: kc.top_k(Q, [[1.0, "x"]], 1), TypeError, f"argument 'matrix': {STR_ITEM}"),
    (lambda: kc.top_k(Q, [1.0, 2.0], 1), TypeError,
     "argument 'matrix': 'float' object cannot be converted to 'Sequence'"),
    (lambda: kc.top_k(Q, np.zeros(3), 1), TypeError,
     "argument 'matrix': 'float64' object cannot be converted to 'Sequence'"),
    (lambda: kc.top_k(Q, [[10**400]], 1), OverflowError, fsum_error(10**400)[1]),
    (lambda: kc.top_k(Q, [np.array(1.0)], 1), TypeError, "argument 'matrix': iteration over a 0-d array"),
    # unsigned 64-bit integer
    (lambda: kc.top_k(Q, M, 1.5), TypeError, "argument 'k': 'float' object cannot be interpreted as an integer"),
    (lambda: kc.top_k(Q, M, "1"), TypeError, "argument 'k': 'str' object cannot be interpreted as an integer"),
    (lambda: kc.top_k(Q, M, None), TypeError, "argument 'k': 'NoneType' object cannot be interpreted as an integer"),
    (lambda: kc.top_k(Q, M, np.float64(1.0)), TypeError,
     "argument 'k': 'numpy.float64' object cannot be interpreted as an integer"),
    (lambda: kc.top_k(Q, M, Idx(1.5)), TypeError, "argument 'k': __index__ returned non-int (type float)"),
    (lambda: kc.top_k(Q, M, Idx(ValueError("v"))), ValueError, "v"),
    (lambda: kc.top_k(Q, M, Idx(TypeError("t"))), TypeError, "argument 'k': t"),
    # byte string from small ints
    (lambda: kc.decode_checkpoint([256]), OverflowError, "out of range integral type conversion attempted"),
    (lambda: kc.decode_checkpoint([-1]), OverflowError, "out of range integral type conversion attempted"),
    (lambda: kc.decode_checkpoint([0, 255, 300]), OverflowError, "out of range integral type conversion attempted"),
    (lambda: kc.decode_checkpoint((Idx(-5),)), OverflowError, "out of range integral type conversion attempted"),
    (lambda: kc.decode_checkpoint(np.array([1, 256])), OverflowError,
     "out of range integral type conversion attempted"),
    (lambda: kc.decode_checkpoint(array.array("b", [1, -1])), OverflowError,
     "out of range integral type conversion attempted"),
    (lambda: kc.decode_checkpoint([2**63]), OverflowError, "Python int too large to convert to C long"),
    (lambda: kc.decode_checkpoint([-2**63 - 1]), OverflowError, "Python int too large to convert to C long"),
    (lambda: kc.decode_checkpoint([1.0]), TypeError,
     "argument 'blob': 'float' object cannot be interpreted as an integer"),
    (lambda: kc.decode_checkpoint(["a"]), TypeError,
     "argument 'blob': 'str' object cannot be interpreted as an integer"),
    (lambda: kc.decode_checkpoint([b"a"]), TypeError,
     "argument 'blob': 'bytes' object cannot be interpreted as an integer"),
    (lambda: kc.decode_checkpoint(array.array("d", [1.0])), TypeError,
     "argument 'blob': 'float' object cannot be interpreted as an integer"),
    (lambda: kc.decode_checkpoint("KLOV"), TypeError, f"argument 'blob': {VEC_STR}"),
    (lambda: kc.decode_checkpoint({1}), TypeError, "argument 'blob': 'set' object cannot be converted to 'Sequence'"),
    (lambda: kc.decode_checkpoint(7), TypeError, "argument 'blob': 'int' object cannot be converted to 'Sequence'"),
    # list of text
    (lambda: kc.plan_supersteps("ab", []), TypeError, f"argument 'nodes': {VEC_STR}"),
    (lambda: kc.plan_supersteps({"a"}, []), TypeError,
     "argument 'nodes': 'set' object cannot be converted to 'Sequence'"),
    (lambda: kc.plan_supersteps(["a", 1], []), TypeError,
     "argument 'nodes': 'int' object cannot be converted to 'PyString'"),
    (lambda: kc.plan_supersteps(("a", b"b"), []), TypeError,
     "argument 'nodes': 'bytes' object cannot be converted to 'PyString'"),
    # list of text pairs
    (lambda: kc.plan_supersteps([], "ab"), TypeError, f"argument 'edges': {VEC_STR}"),
    (lambda: kc.plan_supersteps([], [["a", "b"]]), TypeError,
     "argument 'edges': 'list' object cannot be converted to 'PyTuple'"),
    (lambda: kc.verify_chain("g", [["a", "b"]]), TypeError,
     "argument 'entries': 'list' object cannot be converted to 'PyTuple'"),
    (lambda: kc.verify_chain("g", ["ab"]), TypeError,
     "argument 'entries': 'str' object cannot be converted to 'PyTuple'"),
    (lambda: kc.plan_supersteps([], [("a", "b"), ("a", "b", "c")]), ValueError,
     "expected tuple of length 2, but got tuple of length 3"),
    (lambda: kc.plan_supersteps([], [("a",)]), ValueError, "expected tuple of length 2, but got tuple of length 1"),
    (lambda: kc.verify_chain("g", [()]), ValueError, "expected tuple of length 2, but got tuple of length 0"),
    (lambda: kc.verify_chain("g", [TupleSub(("a", "b", "c"))]), ValueError,
     "expected tuple of length 2, but got tuple of length 3"),
    (lambda: kc.verify_chain("g", [("a", 1)]), TypeError,
     "argument 'entries': 'int' object cannot be converted to 'PyString'"),
    (lambda: kc.verify_chain("g", [(1, None)]), TypeError,
     "argument 'entries': 'int' object cannot be converted to 'PyString'"),
    # among conversion errors the first parameter wins
    (lambda: kc.cosine_similarity("x", {1}), TypeError, f"argument 'a': {VEC_STR}"),
    (lambda: kc.top_k("x", "y", 1.5), TypeError, f"argument 'query': {VEC_STR}"),
    (lambda: kc.top_k([1.0], "y", -1), TypeError, f"argument 'matrix': {VEC_STR}"),
    (lambda: kc.top_k([10**400], "y", -1), OverflowError, fsum_error(10**400)[1]),
    (lambda: kc.reduce_channel(1, 2, 3), TypeError,
     "argument 'reducer': 'int' object cannot be converted to 'PyString'"),
    (lambda: kc.reduce_channel("a", 2, 3), TypeError,
     "argument 'current_json': 'int' object cannot be converted to 'PyString'"),
    (lambda: kc.advance_superstep("{}", "{}", 3), TypeError,
     "argument 'updates_json': 'int' object cannot be converted to 'PyString'"),
    (lambda: kc.plan_supersteps([1], [["a"]]), TypeError,
     "argument 'nodes': 'int' object cannot be converted to 'PyString'"),
    (lambda: kc.plan_supersteps(["a"], [("a",), ["b"]]), ValueError,
     "expected tuple of length 2, but got tuple of length 1"),
    (lambda: kc.verify_chain(1, [["a"]]), TypeError,
     "argument 'genesis': 'int' object cannot be converted to 'PyString'"),
    (lambda: kc.hash_event("\ud800", 1), UnicodeEncodeError, None),
    (lambda: kc.hash_event(StrSub("ok"), 1), TypeError,
     "argument 'payload': 'int' object cannot be converted to 'PyString'"),
    # lone surrogates: the interpreter's UnicodeEncodeError, never prefixed
    (lambda: kc.encode_checkpoint("\ud800"), UnicodeEncodeError, None),
    (lambda: kc.encode_checkpoint(StrSub("{}\udfff")), UnicodeEncodeError, None),
    (lambda: kc.hash_event("ok", "\ud83d\ude00"), UnicodeEncodeError, None),
    (lambda: kc.plan_supersteps(["a", "\udc80"], PROBE), UnicodeEncodeError, None),
    (lambda: kc.verify_chain("g", [("a", "\ud800")]), UnicodeEncodeError, None),
]


@pytest.mark.parametrize("call,exc,message", CONVERSION_ERRORS)
def test_conversion_errors(call, exc, message):
    e = error(call)
    assert type(e) is exc
    if message is not None:
        assert str(e) == message
    if exc is not TypeError:
        assert not str(e).startswith("argument '")


def test_unsigned_integers():
    def k_outcome(k):
        return outcome_repr(kc.top_k, [1.0], [[1.0], [0.5]], k)

    for k, same_as in [(True, 1), (False, 0), (Idx(2), 2), (IntSub(2), 2), (np.int64(2), 2), (np.uint8(1), 1)]:
        assert k_outcome(k) == k_outcome(same_as), k
    assert kc.top_k([1.0], [[1.0], [0.5]], 2**64 - 1) == [(0, 1.0), (1, 1.0)]  # k beyond the rows: all of them
    for k in [-1, -(2**64), 2**64, 2**100, Idx(-1), Idx(2**64), np.int64(-1)]:
        e = error(kc.top_k, [1.0], [[1.0]], k)
        assert type(e) is OverflowError, k
        assert not str(e).startswith("argument"), k


def test_text_accepts_str_subclasses():
    # The later argument's error shows that the str subclass converted.
    assert str(error(kc.plan_supersteps, [StrSub("a"), "b"], PROBE)) == f"argument 'edges': {VEC_STR}"
    assert str(error(kc.verify_chain, StrSub("g"), PROBE)) == f"argument 'entries': {VEC_STR}"
    assert outcome_repr(kc.hash_event, StrSub("a"), StrSub("b")) == outcome_repr(kc.hash_event, "a", "b")
    assert outcome_repr(kc.verify_chain, "g", [TupleSub((StrSub("a"), "b"))]) == outcome_repr(kc.verify_chain, "g", [("a", "b")])


# --- the argument prefix -------------------------------------------------------------


class FloatRaises:
    def __init__(self, exc):
        self.exc = exc

    def __float__(self):
        raise self.exc


class MyTypeError(TypeError):
    pass


def test_prefix_only_for_exact_type_error():
    for exc in [MyTypeError("sub"), ValueError("v"), OverflowError("o"), ArithmeticError("a"), KeyboardInterrupt()]:
        for values in ([1.0, FloatRaises(exc)], (FloatRaises(exc),)):
            e = error(kc.aggregate_cost, values)
            assert e is exc  # raised unchanged


def test_prefix_carries_the_cause_over():
    root = KeyError("root")
    inner = TypeError("inner")
    inner.__cause__ = root
    e = error(kc.aggregate_cost, [FloatRaises(inner)])
    assert type(e) is TypeError and e is not inner
    assert str(e) == "argument 'values': inner"
    assert e.__cause__ is root  # the replaced error's cause, not the replaced error

    e = error(kc.cosine_similarity, [1.0], [FloatRaises(TypeError("plain"))])
    assert str(e) == "argument 'b': plain"
    assert e.__cause__ is None

    e = error(kc.aggregate_cost, [FloatRaises(TypeError("x", 2))])
    assert str(e) == "argument 'values': ('x', 2)"


class BadIter:
    def __getitem__(self, i):
        return 1

    def __iter__(self):
        return 5


# One call per kind of sequence conversion, with an item valid for that kind.
KINDS = [
    ("values", 1.0, lambda v: kc.aggregate_cost(v)),
    ("a", 1.0, lambda v: kc.cosine_similarity(v, PROBE)),
    ("matrix", [1.0], lambda v: kc.top_k([1.0], v, 1)),
    ("blob", 1, lambda v: kc.decode_checkpoint(v)),
    ("nodes", "n", lambda v: kc.plan_supersteps(v, PROBE)),
    ("entries", ("a", "b"), lambda v: kc.verify_chain("g", v)),
]


@pytest.mark.parametrize("exc", [ValueError("mid"), KeyError("mid"), MyTypeError("mid")])
def test_iterator_raising_midway_is_raised_unchanged(exc):
    for _, item, call in KINDS:
        assert error(call, IterRaises([item] * 5, exc, 3)) is exc


def test_iteration_type_errors_are_prefixed():
    for name, item, call in KINDS:
        e = error(call, BadIter())
        assert type(e) is TypeError
        assert str(e) == f"argument '{name}': iter() returned non-iterator of type 'int'"
        assert str(error(call, IterRaises([item] * 3, TypeError("t"), 2))) == f"argument '{name}': t"


def test_later_arguments_are_not_converted():
    touched = []

    class Tracker:
        def __getitem__(self, i):
            touched.append(i)
            raise IndexError

        def __len__(self):
            touched.append("len")
            return 0

    error(kc.cosine_similarity, "x", Tracker())
    error(kc.top_k, [1.0], [[1.0], "x"], Tracker())
    error(kc.plan_supersteps, [1], Tracker())
    assert touched == []


# --- __float__ and __index__ of items ------------------------------------------------


class FloatReturns:
    def __init__(self, v):
        self.v = v

    def __float__(self):
        return self.v


def test_float_conversion_of_items():
    assert kc.aggregate_cost([FloatReturns(2.5), Idx(3), True, 1]) == 7.5
    for bad in [FloatReturns(1), FloatReturns("s"), FloatReturns(None), Idx(1.5), Idx("s")]:
        kind, text = fsum_error(bad)
        for values in ([1.0, bad], (bad,), IterRaises([bad], None, -1)):
            e = error(kc.aggregate_cost, values)
            assert (type(e), str(e)) == (kind, f"argument 'values': {text}")
        e = error(kc.top_k, [1.0], [[bad]], 1)
        assert str(e) == f"argument 'matrix': {text}"


# --- fast paths give the general path's outcome -----------------------------------------


class Proxy:
    """A plain sequence that iterates the wrapped object: the general path."""

    def __init__(self, wrapped):
        self.wrapped = wrapped

    def __len__(self):
        return len(self.wrapped)

    def __getitem__(self, i):
        return self.wrapped[i]

    def __iter__(self):
        return iter(self.wrapped)


class GenSeq(collections.abc.Sequence):
    def __init__(self, items):
        self.items = list(items)

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]

    def __iter__(self):
        yield from self.items


class ListSub(list):
    pass


VALS = [0.1, -2.5, 1e16, 3.0, -1e16, 0.7, 1e-300, 2.0**-1074, 3.4e38, 1e39]
INTS = [0, 1, 7, 200, 255, 3]


def _ctypes_view(kind, values):
    arr = (kind * len(values))(*values)
    return memoryview(arr)  # format "<d" / "<f" / "<B": not iterable by memoryview


def _vector_forms():
    forms = {
        "list": list(VALS),
        "tuple": tuple(VALS),
        "list_subclass": ListSub(VALS),
        "generator_sequence": GenSeq(VALS),
        "range": range(-3, 9),
        "array_d": array.array("d", VALS),
        "array_f": array.array("f", VALS[:8]),
        "array_B": array.array("B", INTS),
        "array_i": array.array("i", [-5, 3, 2**31 - 1]),
        "array_b": array.array("b", [-5, 3, 127]),
        "array_q": array.array("q", [2**62, 1, -3]),
        "bytes": bytes(INTS),
        "bytes_empty": b"",
        "bytearray": bytearray(INTS),
        "memoryview_B": memoryview(bytes(INTS)),
        "memoryview_d": memoryview(array.array("d", VALS)),
        "memoryview_f": memoryview(array.array("f", VALS[:8])),
        "memoryview_cast_d": memoryview(array.array("d", VALS)).cast("B").cast("d"),
        "memoryview_strided": memoryview(array.array("d", VALS))[::3],
        "memoryview_strided_B": memoryview(bytes(INTS))[::2],
        "memoryview_reversed": memoryview(array.array("f", VALS[:8]))[::-1],
        "memoryview_2d": memoryview(array.array("d", VALS)).cast("B").cast("d", (2, 5)),
        "memoryview_c": memoryview(b"ab").cast("c"),
        "memoryview_le_d": _ctypes_view(ctypes.c_double, VALS),
        "memoryview_le_f": _ctypes_view(ctypes.c_float, VALS[:8]),
        "memoryview_le_B": _ctypes_view(ctypes.c_ubyte, INTS),
        "np_f64": np.array(VALS),
        "np_f32": np.array(VALS[:8], dtype=np.float32),
        "np_f64_beyond_f32": np.array([3.4e38, 1e39], dtype=np.float64),
        "np_u8": np.array(INTS, dtype=np.uint8),
        "np_i64": np.array([-5, 3, 2**62], dtype=np.int64),
        "np_bool": np.array([True, False, True]),
        "np_f16": np.array([0.5, 65504.0], dtype=np.float16),
        "np_f64_big_endian": np.array(VALS, dtype=">f8"),
        "np_f64_strided": np.array(VALS)[::2],
        "np_f64_reversed": np.array(VALS)[::-1],
        "np_f32_strided": np.array(VALS[:8], dtype=np.float32)[1::3],
        "np_u8_strided": np.array(INTS, dtype=np.uint8)[::2],
        "np_f64_2d": np.array(VALS).reshape(2, 5),
        "np_f64_2d_one_col": np.array(VALS).reshape(10, 1),
        "np_f64_0d": np.array(1.5),
        "np_f64_empty": np.array([], dtype=np.float64),
        "np_f64_nan_inf": np.array([math.nan, math.inf, -math.inf, -0.0]),
        "np_object": np.array([1.0, "x"], dtype=object),
    }
    return forms


VECTOR_FORMS = _vector_forms()


VECTOR_CALLS = [
    lambda v: kc.aggregate_cost(v),
    lambda v: kc.cosine_similarity(v, v),
    lambda v: kc.cosine_similarity(v, PROBE),
    lambda v: kc.top_k(v, [v, v], 1),
    lambda v: kc.decode_checkpoint(v),
]


@pytest.mark.parametrize("name", list(VECTOR_FORMS))
def test_vector_fast_paths_match_the_general_path(name):
    x = VECTOR_FORMS[name]
    for call in VECTOR_CALLS:
        assert outcome_repr(call, x) == outcome_repr(call, Proxy(x))


def test_vector_fast_paths_read_the_right_values():
    # The sums the general path gives, for the forms a buffer is read for.
    assert kc.aggregate_cost(np.array(VALS)) == seq_sum(VALS)
    assert kc.aggregate_cost(array.array("d", VALS)) == seq_sum(VALS)
    f32 = array.array("f", VALS[:8])
    assert kc.aggregate_cost(f32) == seq_sum(f32) == kc.aggregate_cost(np.array(VALS[:8], dtype=np.float32))
    assert kc.aggregate_cost(bytes(INTS)) == kc.aggregate_cost(bytearray(INTS)) == float(sum(INTS))
    assert kc.aggregate_cost(np.array(VALS)[::2]) == seq_sum(VALS[::2])
    assert kc.aggregate_cost(memoryview(array.array("d", VALS))[1::3]) == seq_sum(VALS[1::3])
    released = memoryview(b"ab")
    released.release()
    e = error(kc.aggregate_cost, released)
    assert type(e) is ValueError and str(e) == "operation forbidden on released memoryview object"
    # A memoryview iterates native formats only: "<d" is refused as by iteration.
    e = error(kc.aggregate_cost, VECTOR_FORMS["memoryview_le_d"])
    assert type(e) is NotImplementedError and "<d" in str(e)


class Doubling(list):
    def __iter__(self):
        return (2 * v for v in list.__iter__(self))


class DoublingTuple(tuple):
    def __iter__(self):
        return (2 * v for v in tuple.__iter__(self))


class LenLies(list):
    def __len__(self):
        return 2**60


def test_subclasses_use_their_own_iteration():
    for cls in (Doubling, DoublingTuple):
        assert kc.aggregate_cost(cls(VALS)) == seq_sum(2 * v for v in VALS)
        assert outcome_repr(kc.decode_checkpoint, cls([1, 200])) == outcome_repr(kc.decode_checkpoint, [2, 400])
        assert outcome_repr(kc.plan_supersteps, cls(["a"]), PROBE) == outcome_repr(kc.plan_supersteps, ["aa"], PROBE)
    assert kc.aggregate_cost(LenLies(VALS)) == seq_sum(VALS)


def _matrix_forms():
    rows = [[1.0, 2.0], [3.5, -4.0], [0.1, 1e38], [0.0, 0.0]]
    a64 = np.array(rows)
    return {
        "lists": rows,
        "tuples": tuple(tuple(r) for r in rows),
        "ragged": [[1.0], [1.0, 2.0, 3.0], []],
        "empty": [],
        "empty_rows": [[], []],
        "list_of_np_rows": [np.array(r) for r in rows],
        "list_of_arrays_f": [array.array("f", r) for r in rows],
        "list_of_bytes": [b"\x01\x02", b"\x03\x04"],
        "np_f64": a64,
        "np_f32": a64.astype(np.float32),
        "np_u8": np.array([[1, 2], [3, 4]], dtype=np.uint8),
        "np_i64": np.array([[1, 2], [3, -4]], dtype=np.int64),
        "np_f64_fortran": np.asfortranarray(a64),
        "np_f64_row_slice": a64[::2],
        "np_f64_col_slice": a64[:, ::-1],
        "np_f32_col_slice": a64.astype(np.float32)[:, 1:],
        "np_f64_0_rows": np.zeros((0, 2)),
        "np_f64_0_cols": np.zeros((3, 0)),
        "np_f64_3d": np.zeros((2, 2, 2)),
        "np_f64_1d": np.zeros(3),
        "memoryview_2d": memoryview(array.array("d", [1.0, 2.0, 3.0, 4.0])).cast("B").cast("d", (2, 2)),
    }


MATRIX_FORMS = _matrix_forms()


@pytest.mark.parametrize("name", list(MATRIX_FORMS))
def test_matrix_fast_paths_match_the_general_path(name):
    m = MATRIX_FORMS[name]
    for k in (1, 3, -1):
        assert outcome_repr(kc.top_k, [1.0, 2.0], m, k) == outcome_repr(kc.top_k, [1.0, 2.0], Proxy(m), k)
        if name not in ("np_f64_1d", "memoryview_2d"):  # rows that are no sequences / cannot be iterated
            assert outcome_repr(kc.top_k, [1.0, 2.0], m, k) == outcome_repr(kc.top_k, [1.0, 2.0], [Proxy(r) for r in m], k)


def test_ragged_matrix_reserves_only_what_it_holds():
    # A long first row does not stand for every row: the conversion must not
    # reserve rows * len(first row) floats.
    m = [[1.0] * 100_000] + [[1.0]] * 200_000
    assert type(error(kc.top_k, [1.0], m, -1)) is OverflowError


def test_byte_string_forms_match():
    blob = bytes([75, 76, 79, 86, 1, 123, 125, 0, 255])
    same = [blob, bytearray(blob), memoryview(blob), array.array("B", blob), np.frombuffer(blob, dtype=np.uint8),
            list(blob), tuple(blob), GenSeq(blob), [True if b == 1 else b for b in blob], [Idx(b) for b in blob],
            np.array(list(blob), dtype=np.int64), _ctypes_view(ctypes.c_ubyte, list(blob))]
    expected = outcome_repr(kc.decode_checkpoint, blob)
    for form in same:
        if type(form) is memoryview and form.format != "B":
            continue  # compared with its own iteration above
        assert outcome_repr(kc.decode_checkpoint, form) == expected, type(form)


# --- hostile objects ---------------------------------------------------------------------


class LyingLen:
    def __init__(self, items, n):
        self.items, self.n = items, n

    def __len__(self):
        if isinstance(self.n, BaseException):
            raise self.n
        return self.n

    def __getitem__(self, i):
        return self.items[i]


LIES = [2**60, 2**63 - 1, 2**70, -1, 0, "x", ValueError("len"), TypeError("len"), OverflowError("len")]


@pytest.mark.parametrize("n", LIES, ids=repr)
def test_lying_len_is_only_a_hint(n):
    def lie(items):
        return LyingLen(items, n)

    assert kc.aggregate_cost(lie(VALS)) == seq_sum(VALS)
    assert outcome_repr(kc.cosine_similarity, lie(VALS), lie(VALS)) == outcome_repr(kc.cosine_similarity, VALS, VALS)
    assert type(error(kc.top_k, lie([1.0]), lie([[1.0], lie([2.0])]), -1)) is OverflowError
    assert outcome_repr(kc.top_k, [1.0], lie([lie([1.0]), [2.0]]), 1) == outcome_repr(kc.top_k, [1.0], [[1.0], [2.0]], 1)
    assert outcome_repr(kc.decode_checkpoint, lie([1, 2])) == outcome_repr(kc.decode_checkpoint, b"\x01\x02")
    assert str(error(kc.plan_supersteps, lie(["a", "b"]), PROBE)) == f"argument 'edges': {VEC_STR}"
    assert (outcome_repr(kc.plan_supersteps, lie(["a"]), lie([("a", "a")]))
            == outcome_repr(kc.plan_supersteps, ["a"], [("a", "a")]))
    assert outcome_repr(kc.verify_chain, "g", lie([("a", "b")])) == outcome_repr(kc.verify_chain, "g", [("a", "b")])


class Mutator:
    """An item whose conversion changes the list it is in, once."""

    def __init__(self, target, action, value):
        self.target, self.action, self.value = target, action, value

    def _mutate(self):
        action, self.action = self.action, None
        t = self.target
        if action == "clear":
            t.clear()
        elif action == "extend":
            t.extend([100.0, 200.0])
        elif action == "pop":
            t.pop()
        elif action == "insert0":
            t.insert(0, 1000.0)
        elif action == "replace":
            t[:] = [5.0] * 50

    def __float__(self):
        self._mutate()
        return float(self.value)

    def __index__(self):
        self._mutate()
        return self.value


MUTATIONS = [(a, p) for a in ["clear", "extend", "pop", "insert0", "replace"] for p in [0, 3, 31, 32, 33, 39]]


def _mutating_list(action, pos, value, fill):
    items = [fill(i) for i in range(40)]
    items[pos] = Mutator(items, action, value)
    return items


def _iterate(items, convert):
    return [convert(v) for v in items]  # list iteration sees each change


@pytest.mark.parametrize("action,pos", MUTATIONS)
def test_list_changed_by_an_item_during_conversion(action, pos):
    fill = lambda i: float(i)  # noqa: E731
    assert kc.aggregate_cost(_mutating_list(action, pos, 0.5, fill)) == seq_sum(
        _iterate(_mutating_list(action, pos, 0.5, fill), float))
    ints = lambda i: i  # noqa: E731
    live = _mutating_list(action, pos, 7, ints)
    ref = [v.__index__() if isinstance(v, Mutator) else v for v in live]
    assert outcome_repr(kc.decode_checkpoint, _mutating_list(action, pos, 7, ints)) == outcome_repr(kc.decode_checkpoint, ref)

    def matrix():
        m = [[float(i)] for i in range(40)]
        m[pos] = [1.0, Mutator(m, action, 0.5)]
        return m

    live = matrix()
    # Rows converted after the change are what the list then holds.
    ref_rows = [[float(x) for x in r] if isinstance(r, list) else r for r in live]
    assert outcome_repr(kc.top_k, [1.0], matrix(), 1) == outcome_repr(kc.top_k, [1.0], ref_rows, 1)
    assert outcome_repr(kc.top_k, [1.0], matrix(), -1) == outcome_repr(kc.top_k, [1.0], ref_rows, -1)


def test_ten_million_element_list():
    values = [(i % 1000) * 0.001 - 0.25 for i in range(10_000_000)]
    assert kc.aggregate_cost(values) == seq_sum(values)


MEMORY_EXHAUSTION = r'''
import resource, klov_core as kc
blob = bytes(100_000_000)
def vm_bytes():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmSize:"):
                return int(line.split()[1]) * 1024
limit = vm_bytes() + 150_000_000
resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
for call in (lambda: kc.cosine_similarity(blob, [1.0]), lambda: kc.top_k(blob, [[1.0]], 1)):
    try:
        call()
    except MemoryError:
        print("MemoryError")
    else:
        print("no error")
print(kc.aggregate_cost([1.0, 2.0]))
'''


@pytest.mark.skipif(not sys.platform.startswith("linux") or SANITIZED,
                    reason="needs /proc and an address-space limit the sanitizer runtime tolerates")
def test_memory_exhaustion_raises_memory_error():
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}
    proc = subprocess.run([sys.executable, "-c", MEMORY_EXHAUSTION], capture_output=True, text=True, timeout=120,
                          env=env)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split() == ["MemoryError", "MemoryError", "3.0"], proc.stdout + proc.stderr
