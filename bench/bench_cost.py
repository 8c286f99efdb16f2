"""aggregate_cost side by side with its peers, in one run.

    python bench/bench_cost.py [--n 1000000] [--repeat 41]

Prints the median time of each peer and the ratios against the targets:
over a list of Python floats faster than sum() and at least 4x faster than a
for loop; over a float64 array at least 3x faster than numpy.cumsum(a)[-1]
and within 1.5x of a plain C++ loop (the latency bound of a sequential sum);
per call no slower than math.fsum([1.0]).
"""

import argparse
import ctypes
import math
import os
import random
import shutil
import subprocess
import sys
import tempfile

import numpy as np

import klov_core as kc
from timing import median_time

HERE = os.path.dirname(os.path.abspath(__file__))


def build_reference(tmp):
    cxx = shutil.which(os.environ.get("CXX", "g++")) or shutil.which("c++")
    if cxx is None:
        return None
    lib = os.path.join(tmp, "ref_sum.so")
    subprocess.run([cxx, "-O2", "-ffp-contract=off", "-shared", "-fPIC", "-o", lib,
                    os.path.join(HERE, "ref_sum.cpp")], check=True)
    fn = ctypes.CDLL(lib).ref_sum
    fn.restype = ctypes.c_double
    fn.argtypes = [ctypes.c_void_p, ctypes.c_size_t]
    return fn


def python_loop(xs):
    t = -0.0
    for v in xs:
        t += v
    return t


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--n", type=int, default=1_000_000)
    ap.add_argument("--repeat", type=int, default=41)
    args = ap.parse_args()
    n, repeat = args.n, args.repeat

    rng = random.Random(1)
    xs = [rng.uniform(0.0, 1.0) for _ in range(n)]
    a = np.array(xs)
    print(f"Python {sys.version.split()[0]}, numpy {np.__version__}, n = {n:,}, median of {repeat}")

    rows = []
    results = {}

    def measure(label, fn, number=1):
        t = median_time(fn, repeat, number)
        results[label] = t
        rows.append((label, t))
        return t

    assert kc.aggregate_cost(xs) == python_loop(xs) == np.cumsum(a)[-1]
    measure("list: aggregate_cost", lambda: kc.aggregate_cost(xs))
    measure("list: sum()", lambda: sum(xs))
    measure("list: for loop", lambda: python_loop(xs))
    measure("list: math.fsum", lambda: math.fsum(xs))
    measure("array: aggregate_cost", lambda: kc.aggregate_cost(a))
    measure("array: numpy.cumsum(a)[-1]", lambda: np.cumsum(a)[-1])
    with tempfile.TemporaryDirectory() as tmp:
        ref = build_reference(tmp)
        if ref is not None:
            ptr = a.ctypes.data
            assert ref(ptr, n) == kc.aggregate_cost(a)
            measure("array: C++ loop (ctypes)", lambda: ref(ptr, n))
    one = [1.0]
    calls = 20_000
    measure("per call: aggregate_cost([1.0])", lambda: kc.aggregate_cost(one), calls)
    measure("per call: math.fsum([1.0])", lambda: math.fsum(one), calls)

    width = max(len(label) for label, _ in rows)
    for label, t in rows:
        unit = f"{t * 1e9:10.1f} ns" if label.startswith("per call") else f"{t * 1e3:10.3f} ms"
        print(f"  {label:<{width}} {unit}")

    print("targets:")
    checks = []

    def ratio(label, peer, ours, want, better):
        if peer not in results or ours not in results:
            print(f"  {label}: not measured")
            return
        r = results[peer] / results[ours]
        ok = better(r)
        checks.append(ok)
        print(f"  {label}: {r:.2f}x ({want}) {'ok' if ok else 'MISSED'}")

    ratio("list vs sum()", "list: sum()", "list: aggregate_cost", "> 1x", lambda r: r > 1.0)
    ratio("list vs for loop", "list: for loop", "list: aggregate_cost", ">= 4x", lambda r: r >= 4.0)
    ratio("array vs numpy.cumsum", "array: numpy.cumsum(a)[-1]", "array: aggregate_cost", ">= 3x",
          lambda r: r >= 3.0)
    ratio("array vs C++ loop", "array: C++ loop (ctypes)", "array: aggregate_cost", "slowdown <= 1.5x: ratio >= 0.67",
          lambda r: r >= 1 / 1.5)
    ratio("per call vs math.fsum", "per call: math.fsum([1.0])", "per call: aggregate_cost([1.0])", ">= 1x",
          lambda r: r >= 1.0)
    return 0 if all(checks) else 1


if __name__ == "__main__":
    sys.exit(main())
