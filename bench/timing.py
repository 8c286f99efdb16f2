"""Timing and reporting helpers shared by the benchmark scripts."""

import statistics
import sys
import time
import timeit


def median_seconds(fn, number, repeat=9):
    """Median time of one call of fn, over `repeat` runs of `number` calls."""
    return statistics.median(timeit.repeat(fn, number=number, repeat=repeat)) / number


def median_time(fn, repeat, number=1):
    """Median seconds per call of fn over `repeat` batches of `number` calls,
    after three calls to warm up.

    Unlike timeit (median_seconds), the garbage collector stays on, as in a
    running program: the peers build many objects, and timing them with it
    off would flatter them by 15-20% here."""
    for _ in range(3):
        fn()
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        for _ in range(number):
            fn()
        times.append((time.perf_counter() - start) / number)
    return statistics.median(times)


def fmt(seconds):
    return "%8.2f us" % (seconds * 1e6) if seconds < 1e-3 else "%8.2f ms" % (seconds * 1e3)


def report(name, ours, theirs, target, peer, width=40):
    """Prints one side-by-side line; returns whether the ratio meets the target."""
    ratio = theirs / ours
    verdict = "ok" if ratio >= target else "BELOW TARGET"
    print("%-*s klov_core %s  %s %s  ratio %5.2fx  (target >= %.2fx) %s"
          % (width, name, fmt(ours), peer, fmt(theirs), ratio, target, verdict))
    return ratio >= target


# ---------------------------------------------------------------- the str boundary
#
# The module's text functions take and return str.  Reading a str's UTF-8
# (PyUnicode_AsUTF8AndSize) stores a UTF-8 copy in a non-ASCII str object,
# so a second call on the same object skips that work; an ASCII str is its
# own UTF-8 and never needs a copy.  The helpers below time calls on fresh
# str objects, as a running program meets them (each step's text is new).


def utf8_cached(s):
    """Whether the non-ASCII str `s` holds a cached UTF-8 copy.  CPython
    counts that copy in sys.getsizeof, so s is compared with a fresh copy of
    itself (same length and character width, nothing cached)."""
    return sys.getsizeof(s) > sys.getsizeof((s + " ")[:-1])


def fresh_copies(s, n):
    """n distinct str objects equal to s, none with a cached UTF-8 copy."""
    copies = [(s + " ")[:-1] for _ in range(n)]
    assert len({id(c) for c in copies}) == n and copies[0] == s and copies[0] is not s
    assert not any(utf8_cached(c) for c in copies)
    return copies


def fresh_median_time(fn, s, repeat=9, batch_seconds=5e-3, max_bytes=64e6):
    """Median seconds per call of fn(c), each call on its own fresh copy c of
    the str s.  The copies are made outside the timed loop, a batch per
    repeat, and dropped after it."""
    once = min(_timed(fn, fresh_copies(s, 1)) for _ in range(3))
    n = max(3, min(2000, int(batch_seconds / max(once, 1e-9)), int(max_bytes / sys.getsizeof(s))))
    return statistics.median(_timed(fn, fresh_copies(s, n)) for _ in range(repeat))


def _timed(fn, args):
    start = time.perf_counter()
    for a in args:
        fn(a)
    return (time.perf_counter() - start) / len(args)


def utf8_floor(s, repeat=9):
    """Seconds to get the UTF-8 bytes of a fresh copy of s."""
    return fresh_median_time(lambda c: c.encode("utf-8"), s, repeat)


def str_floor(utf8, repeat=9, number=None):
    """Seconds to build a str from the UTF-8 bytes `utf8`."""
    if number is None:
        number = max(1, int(2e-3 / max(_timed(bytes.decode, [utf8]), 1e-9)))
    return median_seconds(lambda: utf8.decode("utf-8"), number, repeat)
