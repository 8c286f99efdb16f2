"""cosine_similarity and top_k against the equivalent numpy code, side by side.

Run: PYTHONPATH=<build dir> python bench/bench_vector.py
Each figure is the median of repeated timeit runs; ratio = numpy time / klov_core time.
numpy's conversion of Python lists is part of its time where klov_core converts too.
"""

import struct
import sys

import numpy as np

import klov_core as kc
import timing
from timing import fmt, median_seconds


def report(name, ours, theirs, target):
    return timing.report(name, ours, theirs, target, "numpy", width=46)


def np_cosine(a, b):
    x = np.asarray(a, np.float32)
    y = np.asarray(b, np.float32)
    return float(x @ y / (np.linalg.norm(x) * np.linalg.norm(y)))


def np_top_k(query, matrix, k):
    q = np.asarray(query, np.float32)
    m = np.asarray(matrix, np.float32)
    scores = (m @ q) / (np.linalg.norm(m, axis=1) * np.linalg.norm(q))
    order = np.argsort(-scores, kind="stable")[:k]
    return [(int(i), float(scores[i])) for i in order]


def bits(result):
    return [(i, struct.pack("<d", s)) for i, s in result]


def main():
    rng = np.random.default_rng(42)
    ok = True

    a = rng.standard_normal(384).tolist()
    b = rng.standard_normal(384).tolist()
    ours = median_seconds(lambda: kc.cosine_similarity(a, b), 20_000)
    theirs = median_seconds(lambda: np_cosine(a, b), 20_000)
    ok &= report("cosine_similarity, two 384-float lists", ours, theirs, 5.0)

    query = rng.standard_normal(384).tolist()
    array = rng.standard_normal((10_000, 384)).astype(np.float32)
    lists = array.tolist()
    ours = median_seconds(lambda: kc.top_k(query, lists, 10), 1, repeat=11)
    theirs = median_seconds(lambda: np_top_k(query, lists, 10), 1, repeat=7)
    ok &= report("top_k k=10, 10,000 x 384 list of lists", ours, theirs, 4.0)

    # On a float32 array klov_core reads the buffer; numpy needs no conversion.
    # The target here is "no more than 2x numpy's time", i.e. ratio >= 0.5.
    ours = median_seconds(lambda: kc.top_k(query, array, 10), 20)
    theirs = median_seconds(lambda: np_top_k(query, array, 10), 20)
    ok &= report("top_k k=10, 10,000 x 384 float32 array", ours, theirs, 0.5)
    exact = bits(kc.top_k(query, array, 10)) == bits(kc.top_k(query, lists, 10))
    print("float32 array result bit-identical to the list result: %s" % exact)
    ok &= exact

    ours = median_seconds(lambda: kc.top_k(query, array, 10_000), 10)
    print("%-46s klov_core %s" % ("top_k k=10,000 (full ranking), float32 array", fmt(ours)))
    array64 = array.astype(np.float64)
    ours = median_seconds(lambda: kc.top_k(query, array64, 10), 10)
    theirs = median_seconds(lambda: np_top_k(query, array64, 10), 10)
    report("top_k k=10, 10,000 x 384 float64 array", ours, theirs, 0.5)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
