"""cosine_similarity and top_k: the single-precision definition, ranking
order (ties, NaN), and agreement between dense-buffer and list input."""

import collections
import functools
import math
import os
import struct
import subprocess
import sys

import numpy as np
import pytest

import klov_core as kc

INF = math.inf
NAN = math.nan
F32_MAX = 3.4028234663852886e38


def same(a, b):
    """Equal as doubles bit for bit, any NaN matching any NaN."""
    if isinstance(a, float) and isinstance(b, float):
        if math.isnan(a) or math.isnan(b):
            return math.isnan(a) and math.isnan(b)
        return struct.pack("<d", a) == struct.pack("<d", b)
    return a == b


def same_result(xs, ys):
    return len(xs) == len(ys) and all(
        i == j and same(s, t) for (i, s), (j, t) in zip(xs, ys)
    )


def emulate_scores(q, m):
    """The sequential single-precision algorithm, vectorised across rows with
    numpy float32: every product and sum is rounded to float32 in index order."""
    q = np.asarray(q, np.float32)
    m = np.asarray(m, np.float32).reshape(-1, q.size) if q.size else np.zeros((len(m), 0), np.float32)
    rows = m.shape[0]
    if q.size == 0:
        return np.zeros(rows, np.float32)
    with np.errstate(all="ignore"):
        dot = np.zeros(rows, np.float32)
        sy = np.zeros(rows, np.float32)
        sx = np.float32(0)
        for i in range(q.size):
            col = m[:, i]
            dot = dot + col * q[i]
            sy = sy + col * col
            sx = np.float32(sx + q[i] * q[i])
        score = dot / (np.sqrt(sy) * np.sqrt(sx))
    return np.where((sy == 0) | (sx == 0), np.float32(0), score).astype(np.float32)


def reference_top_k(scores, k):
    def key(i):
        s = float(scores[i])
        return (1, 0.0, i) if math.isnan(s) else (0, -s, i)

    order = sorted(range(len(scores)), key=key)
    return [(i, float(scores[i])) for i in order[:k]]


# ---- cosine_similarity ----------------------------------------------------


@pytest.mark.parametrize(
    "a, b, expected",
    [
        ([1, 2, 3], [1, 2, 3], 0.9999999403953552),
        ([1, 2], [2, 4], 1.0),
        ([3, 4], [4, 3], 0.9599999785423279),
        ([1, 0], [0, 1], 0.0),
        ([1, 2], [1, 2, 3], 0.0),
        ([], [], 0.0),
        ([0, 0], [1, 1], 0.0),
        ([1, 1], [0, 0], 0.0),
        ([-0.0], [-0.0], 0.0),
        ([1e30], [1.0], 0.0),  # 1e30 squared overflows: 1 / (1 * inf)
        ([1e39], [1.0], NAN),  # 1e39 converts to inf: inf / inf
        ([NAN, 1], [1, 1], NAN),
        ([1, 1], [1, NAN], NAN),
        ([INF], [INF], NAN),
        ([1e-30], [1e-30], 0.0),  # squares underflow to exactly zero
        ([1e-20, 1], [1e-20, 1], 1.0),
        ([-1, -2], [1, 2], -1.0),
        ((3, 4), range(4, 2, -1), 0.9599999785423279),
        (b"\x03\x04", [4, 3], 0.9599999785423279),
    ],
)
def test_cosine_values(a, b, expected):
    assert same(kc.cosine_similarity(a, b), expected)


@pytest.mark.parametrize("seed", range(5))
def test_cosine_matches_float32_emulation(seed):
    rng = np.random.default_rng(seed)
    n = int(rng.integers(1, 50))
    a = (rng.standard_normal(n) * 10.0 ** rng.integers(-3, 4)).tolist()
    b = rng.standard_normal(n).tolist()
    expected = float(emulate_scores(a, [b])[0])
    assert same(kc.cosine_similarity(a, b), expected)
    # A double-precision or fused computation would rarely hit the same bits.
    assert kc.cosine_similarity(a, a) == float(emulate_scores(a, [a])[0])


@pytest.mark.parametrize("n", [1, 31, 32, 33, 1023, 1024, 1025, 3000])
@pytest.mark.parametrize(
    "kind",
    [list, tuple, lambda v: np.asarray(v, np.float32), lambda v: np.asarray(v, np.float64), collections.UserList],
    ids=["list", "tuple", "f32", "f64", "sequence"],
)
def test_cosine_lengths_around_blocks_and_kinds(n, kind):
    # The score is accumulated block by block while the vectors convert, and
    # short first vectors are kept without allocation: lengths around those
    # boundaries, and a second vector one longer or shorter.
    rng = np.random.default_rng(n)
    a = rng.standard_normal(n).tolist()
    b = rng.standard_normal(n).tolist()
    assert same(kc.cosine_similarity(kind(a), kind(b)), float(emulate_scores(a, [b])[0]))
    assert kc.cosine_similarity(kind(a), kind(b + [1.0])) == 0.0
    assert kc.cosine_similarity(kind(a), kind(b[:-1])) == 0.0


@pytest.mark.parametrize(
    "args, exc, message",
    [
        (("ab", [1.0]), TypeError, "argument 'a': Can't extract `str` to `Vec`"),
        (([1.0], "ab"), TypeError, "argument 'b': Can't extract `str` to `Vec`"),
        (([1.0], {1.0}), TypeError, "argument 'b': 'set' object cannot be converted to 'Sequence'"),
        (([1.0, "x"], [1.0, 2.0]), TypeError, "argument 'a'"),
    ],
)
def test_cosine_bad_arguments(args, exc, message):
    with pytest.raises(exc) as info:
        kc.cosine_similarity(*args)
    assert str(info.value).startswith(message)


# ---- top_k ----------------------------------------------------------------


@pytest.mark.parametrize(
    "query, matrix, k, expected",
    [
        ([1, 0], [[1, 0], [0, 1], [1, 1]], 2, [(0, 1.0), (2, 0.7071067690849304)]),
        ([1, 0], [[0, 1], [1, 0, 0], [2, 0]], 5, [(2, 1.0), (0, 0.0), (1, 0.0)]),
        ([1, 0], [[1, 0]], 0, []),
        ([1, 0], [], 3, []),
        ([], [[1], [2]], 2, [(0, 0.0), (1, 0.0)]),
        ([1, 0], [[1, 0], [0, 1]], 2**64 - 1, [(0, 1.0), (1, 0.0)]),
        ([0, 0], [[1, 0], [0, 1]], 2, [(0, 0.0), (1, 0.0)]),
        ([1, 0], [[], [-1, 0], [1, 0]], 3, [(2, 1.0), (0, 0.0), (1, -1.0)]),
        # NaN rows go last, in index order; the others rank by score.
        ([1, 0], [[NAN, 0], [0, 1], [NAN, 1], [1, 0]], 4, [(3, 1.0), (1, 0.0), (0, NAN), (2, NAN)]),
        ([1, 0], [[NAN, 0], [NAN, 0]], 1, [(0, NAN)]),
    ],
)
def test_top_k_examples(query, matrix, k, expected):
    assert same_result(kc.top_k(query, matrix, k), expected)


@pytest.mark.parametrize("rows", [1, 10, 20, 21, 30, 100, 1000])
def test_ties_keep_index_order(rows):
    matrix = [[1.0, 2.0]] * rows
    got = kc.top_k([2.0, 4.0], matrix, rows)
    assert [i for i, _ in got] == list(range(rows))
    assert {s for _, s in got} == {1.0}
    assert kc.top_k([2.0, 4.0], matrix, 3) == got[:3]


@pytest.mark.parametrize("rows", [5, 20, 21, 64, 500])
@pytest.mark.parametrize("seed", range(3))
def test_ranking_matches_reference_sort(rows, seed):
    # Few distinct values make many ties; NaN and zero rows are mixed in.
    rng = np.random.default_rng(seed)
    m = rng.integers(-2, 3, size=(rows, 3)).astype(np.float64)
    m[rng.random(rows) < 0.15, 0] = NAN
    q = [1.0, 2.0, -1.0]
    scores = emulate_scores(q, m)
    for k in [0, 1, 3, 10, rows // 2, rows, rows + 5, 2**64 - 1]:
        got = kc.top_k(q, m.tolist(), k)
        assert same_result(got, reference_top_k(scores, min(k, rows))), k


def special_matrix(rng, rows, cols, dtype):
    specials = np.array(
        [0.0, -0.0, NAN, INF, -INF, 1e-45, 1e-40, -1e-39, 1e19, 1e20, F32_MAX, -F32_MAX, 1e30, 1.0],
        dtype=np.float64,
    )
    if dtype == np.float64:
        # Values that only exist in double precision: rounding and overflow happen on conversion.
        specials = np.concatenate([specials, [1e39, -1e300, 1e-320, 0.1, 1 + 2.0**-30]])
    m = rng.standard_normal((rows, cols)) * 10.0 ** rng.integers(-3, 4, size=(rows, 1))
    mask = rng.random((rows, cols)) < 0.08
    m[mask] = rng.choice(specials, size=int(mask.sum()))
    m[rng.random(rows) < 0.05] = 0.0
    return m.astype(dtype)


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
@pytest.mark.parametrize("rows, cols", [(1, 1), (7, 3), (17, 8), (33, 15), (100, 384), (257, 40)])
@pytest.mark.parametrize("seed", range(2))
def test_dense_buffer_matches_list_input(dtype, rows, cols, seed):
    rng = np.random.default_rng(seed * 1000 + rows)
    m = special_matrix(rng, rows, cols, dtype)
    q = rng.standard_normal(cols).astype(np.float32)
    q[rng.random(cols) < 0.05] = 0.0
    ql = q.tolist()
    with np.errstate(over="ignore"):
        m32 = m.astype(np.float32)
    want = reference_top_k(emulate_scores(ql, m32), rows)
    from_lists = kc.top_k(ql, m.tolist(), rows)
    assert same_result(from_lists, want)
    assert same_result(kc.top_k(ql, m, rows), want)
    assert same_result(kc.top_k(ql, np.asfortranarray(m), rows), want)
    assert same_result(kc.top_k(ql, m[:, ::-1][:, ::-1], rows), want)
    assert same_result(kc.top_k(ql, m, 10), want[:10])
    assert same_result(kc.top_k(q, m, 3), want[:3])


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_dense_buffer_with_mismatched_query(dtype):
    m = np.ones((40, 5), dtype)
    assert kc.top_k([1.0] * 4, m, 2) == [(0, 0.0), (1, 0.0)]
    assert kc.top_k([], m, 2) == [(0, 0.0), (1, 0.0)]
    assert kc.top_k([1.0], np.ones((0, 1), dtype), 2) == []
    assert kc.top_k([1.0], np.ones((3, 0), dtype), 1) == [(0, 0.0)]


def test_ragged_rows_around_lane_groups():
    # Rows of the query's length are scored in groups; rows of other lengths
    # in between must neither shift the groups nor take a score.
    rng = np.random.default_rng(7)
    q = rng.standard_normal(9).tolist()
    matrix = []
    for i in range(70):
        n = 9 if i % 5 else [0, 8, 10][i % 3]
        matrix.append(rng.standard_normal(n).tolist())
    got = dict(kc.top_k(q, matrix, 70))
    for i, row in enumerate(matrix):
        expected = float(emulate_scores(q, [row])[0]) if len(row) == 9 else 0.0
        assert same(got[i], expected), i


@pytest.mark.parametrize(
    "args, exc, message",
    [
        (("ab", [[1.0]], 1), TypeError, "argument 'query': Can't extract `str` to `Vec`"),
        (([1.0], "ab", 1), TypeError, "argument 'matrix': Can't extract `str` to `Vec`"),
        (([1.0], [[1.0], "x"], 1), TypeError, "argument 'matrix': Can't extract `str` to `Vec`"),
        (([1.0], [[1.0]], 1.5), TypeError, "argument 'k'"),
        (([1.0], [[1.0]], -1), OverflowError, ""),
        (([1.0], [[1.0]], 2**64), OverflowError, ""),
    ],
)
def test_top_k_bad_arguments(args, exc, message):
    with pytest.raises(exc) as info:
        kc.top_k(*args)
    assert str(info.value).startswith(message)
    if exc is OverflowError:
        assert not str(info.value).startswith("argument")


def test_rows_of_every_kind_and_length_in_one_matrix():
    # Rows are scored while the matrix is converted: rows of any sequence kind,
    # and rows shorter or longer than the query, must score as the definition
    # says, however they fall into the scoring groups.
    import array

    rng = np.random.default_rng(11)
    q = rng.standard_normal(6).astype(np.float32)
    kinds = [
        list,
        tuple,
        lambda r: np.asarray(r, np.float32),
        lambda r: np.asarray(r, np.float64),
        lambda r: array.array("f", r),
        lambda r: array.array("d", r),
    ]
    matrix, plain = [], []
    for i in range(90):
        n = 6 if i % 4 else [0, 5, 7, 600][i // 4 % 4]
        row = rng.standard_normal(n).astype(np.float32).tolist()
        plain.append(row)
        matrix.append(kinds[i % len(kinds)](row))
    got = dict(kc.top_k(q.tolist(), matrix, 90))
    for i, row in enumerate(plain):
        expected = float(emulate_scores(q, [row])[0]) if len(row) == 6 else 0.0
        assert same(got[i], expected), i


@pytest.mark.parametrize(
    "bad, exc",
    [([1.0, "x"], TypeError), ("row", TypeError), (None, TypeError), ([2**1024], OverflowError)],
)
@pytest.mark.parametrize("at", [0, 17, 40])
def test_matrix_error_after_scored_rows_is_still_raised(bad, exc, at):
    matrix = [[1.0, 2.0]] * at + [bad] + [[3.0, 4.0]] * 5
    with pytest.raises(exc):
        kc.top_k([1.0, 2.0], matrix, 3)
    # And the error of k comes only once the whole matrix has converted.
    with pytest.raises(TypeError, match="argument 'k'"):
        kc.top_k([1.0, 2.0], [[1.0, 2.0]] * at, "k")


# ---- KLOV_CORE_ISA ----------------------------------------------------------

# Rows in lane groups and a tail, ragged rows, NaN, zero and overflowing rows,
# through the dense float32 and float64 paths and the list path.
ISA_PROBE = """
import numpy as np, klov_core as kc
rng = np.random.default_rng(3)
m = rng.standard_normal((45, 11))
m[::7, 2] = np.nan
m[5] = 0.0
m[9, :3] = 1e30
q = rng.standard_normal(11).tolist()
rows = m.tolist()
rows[4] = rows[4][:5]
print(repr([kc.top_k(q, m.astype(np.float32), 45), kc.top_k(q, m, 45), kc.top_k(q, rows, 45),
            kc.cosine_similarity(q, rows[1])]))
"""


def run_with_isa(value):
    env = dict(os.environ)
    env.pop("KLOV_CORE_ISA", None)
    if value is not None:
        env["KLOV_CORE_ISA"] = value
    return subprocess.run([sys.executable, "-c", ISA_PROBE], env=env, capture_output=True, text=True, timeout=120)


@functools.lru_cache(maxsize=None)
def default_isa_result():
    done = run_with_isa(None)
    assert done.returncode == 0, done.stderr
    return done.stdout


def cpu_flags():
    """The x86 feature flags the kernel reports, or None where unknown."""
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("flags"):
                    return set(line.split(":", 1)[1].split())
    except OSError:
        pass
    return None


@pytest.mark.parametrize(
    "value, needs",
    [
        ("", "nothing"),
        ("scalar", "nothing"),
        ("sse2", "sse2"),
        ("avx", "avx"),
        ("avx512", "avx512f"),
        ("AVX", "unknown"),
        ("avx2", "unknown"),
        (" scalar", "unknown"),
    ],
)
def test_kernels_chosen_by_environment(value, needs):
    # Every kernel a CPU can run gives the default's results bit for bit; a
    # name that is unknown, or that this CPU cannot run, fails the import.
    done = run_with_isa(value)
    flags = cpu_flags()
    if needs not in ("nothing", "unknown") and "build has no kernels" in done.stderr:
        # A build that takes only the portable paths has just the scalar loop.
        assert done.returncode != 0
        return
    if needs == "nothing" or (flags is not None and needs in flags):
        accepted = True
    elif needs == "unknown" or flags is not None:
        accepted = False
    else:
        accepted = done.returncode == 0
    if accepted:
        assert done.returncode == 0, done.stderr
        assert done.stdout == default_isa_result()
    else:
        assert done.returncode != 0
        last = done.stderr.strip().splitlines()[-1]
        assert last.startswith("ImportError: KLOV_CORE_ISA=%r is refused: " % value), last
        reasons = ["not an instruction set"] if needs == "unknown" else ["CPU cannot run", "build has no kernels"]
        assert any(r in last for r in reasons), last

