"""aggregate_cost: a strictly sequential double sum that starts at -0.0."""

import array
import math
import random
from decimal import Decimal
from fractions import Fraction

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from klov_core import aggregate_cost

np = pytest.importorskip("numpy")

INF, NAN = math.inf, math.nan


def sequential(values):
    t = -0.0
    for v in values:
        t += float(v)
    return t


def same(a, b):
    """Equal as doubles, including the sign of zero; any NaN equals any NaN."""
    if math.isnan(a) or math.isnan(b):
        return math.isnan(a) and math.isnan(b)
    return a == b and math.copysign(1.0, a) == math.copysign(1.0, b)


VALUES = [
    ([], -0.0),
    ((), -0.0),
    ([-0.0], -0.0),
    ([-0.0, -0.0], -0.0),
    ([0.0], 0.0),
    ([-0.0, 0.0], 0.0),
    ([0.0, -0.0], 0.0),
    ([1.0, -1.0], 0.0),
    ([0.1, 0.2, 0.3], 0.6000000000000001),
    ([0.3, 0.2, 0.1], 0.6),
    ([1e16, 1.0, -1e16], 0.0),
    ([1e16, 1.0, 1.0], 1e16),  # a compensated or pairwise sum gives 1.0000000000000002e16
    ([1.0, 1e100, 1.0, -1e100], 0.0),
    ([1, 2, 3], 6.0),
    ((True, True), 2.0),
    ([True, False, 2], 3.0),
    (range(4), 6.0),
    (range(0), -0.0),
    ([2**53 + 1], 9007199254740992.0),  # rounded to a double first
    ([2**1023 * 1.5, 2**1023 * 1.5], INF),
    ([1.7976931348623157e308, -1.7976931348623157e308, 1.0], 1.0),
    ([5e-324, 5e-324], 1e-323),
    ([INF, 1.0], INF),
    ([-INF, -1e308], -INF),
    ([INF, -INF], NAN),
    ([1.0, NAN, 2.0], NAN),
    ([NAN, INF], NAN),
    ([Fraction(1, 3), Decimal("0.1")], sequential([Fraction(1, 3), Decimal("0.1")])),
    ([np.float32(0.1), np.float64(0.2), np.int64(3), np.uint8(255)], sequential([np.float32(0.1), 0.2, 3, 255])),
    (b"\x01\x02\xff", 258.0),
    (bytearray(), -0.0),
    (array.array("d"), -0.0),
    (np.array([], dtype=np.float64), -0.0),
    (np.array([], dtype=np.float32), -0.0),
    (np.array([-0.0]), -0.0),
    (np.array([0.1, 0.2, 0.3]), 0.6000000000000001),
    (np.array([1e16, 1.0, -1e16]), 0.0),
    (np.array([INF, -INF]), NAN),
    (np.array([0.1], dtype=np.float32), float(np.float32(0.1))),
]


@pytest.mark.parametrize("values,expected", VALUES, ids=[str(i) for i in range(len(VALUES))])
def test_values(values, expected):
    got = aggregate_cost(values)
    assert type(got) is float
    assert same(got, expected), (got, expected)


def test_empty_is_negative_zero():
    assert math.copysign(1.0, aggregate_cost([])) == -1.0
    assert math.copysign(1.0, aggregate_cost(values=[-0.0, -0.0])) == -1.0
    assert math.copysign(1.0, aggregate_cost([0.0])) == 1.0


def test_argument_errors():
    for bad, message in [("12", "argument 'values': Can't extract `str` to `Vec`"),
                         ({1.0}, "argument 'values': 'set' object cannot be converted to 'Sequence'")]:
        with pytest.raises(TypeError) as info:
            aggregate_cost(bad)
        assert str(info.value) == message
    with pytest.raises(OverflowError) as info:
        aggregate_cost([1.0, 10**400])
    assert not str(info.value).startswith("argument")


def _random_doubles(rng, n):
    kinds = [
        lambda: rng.uniform(-1, 1),
        lambda: rng.uniform(-1e6, 1e6),
        lambda: rng.choice([-1, 1]) * 10.0 ** rng.randint(-300, 300),
        lambda: rng.choice([0.1, 0.2, 0.3, 1e16, -1e16, 1.0, -0.0]),
    ]
    return [rng.choice(kinds)() for _ in range(n)]


@pytest.mark.parametrize("seed", range(20))
def test_differential_random(seed):
    rng = random.Random(seed)
    values = _random_doubles(rng, rng.choice([1, 7, 31, 32, 33, 100, 1000, 5000]))
    expected = sequential(values)
    a64 = np.array(values, dtype=np.float64)
    with np.errstate(over="ignore"):  # values beyond single precision become infinities
        a32 = a64.astype(np.float32)
    ints = [rng.randint(-2**60, 2**60) for _ in range(len(values))]
    for form in (values, tuple(values), a64, array.array("d", values), memoryview(array.array("d", values)),
                 PlainSequence(values)):
        assert same(aggregate_cost(form), expected)
    assert same(aggregate_cost(a32), sequential(a32))
    assert same(aggregate_cost(array.array("f", a32)), sequential(a32))
    assert same(aggregate_cost(a64[::3]), sequential(values[::3]))
    assert same(aggregate_cost(ints), sequential(ints))
    mixed = [v if i % 3 else int(v) if abs(v) < 1e18 else v for i, v in enumerate(values)]
    assert same(aggregate_cost(mixed), sequential(mixed))


class PlainSequence:
    """No list, tuple or buffer: converted through the iterator protocol."""

    def __init__(self, items):
        self.items = items

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]


def test_large_numpy_array_matches_cumsum():
    rng = np.random.default_rng(7)
    a = rng.standard_normal(1_000_000) * 10.0 ** rng.integers(-8, 8, 1_000_000)
    # numpy's cumsum adds in order: its last element is the sequential total
    # (from +0.0, which differs from -0.0 only for an all-negative-zero input).
    assert aggregate_cost(a) == np.cumsum(a)[-1]
    assert aggregate_cost(a.tolist()) == np.cumsum(a)[-1]
    assert aggregate_cost(a.astype(np.float32)) == np.cumsum(a.astype(np.float32).astype(np.float64))[-1]


@settings(max_examples=300, deadline=None)
@given(st.lists(st.floats(allow_nan=True, allow_infinity=True) | st.integers(-2**70, 2**70) | st.booleans(),
                max_size=80))
def test_differential_hypothesis(values):
    expected = sequential(values)
    assert same(aggregate_cost(values), expected)
    floats = [float(v) for v in values]
    assert same(aggregate_cost(np.array(floats, dtype=np.float64)), expected)
