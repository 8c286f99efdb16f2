"""Timing and reporting helpers shared by the benchmark scripts."""

import statistics
import timeit


def median_seconds(fn, number, repeat=9):
    """Median time of one call of fn, over `repeat` runs of `number` calls."""
    return statistics.median(timeit.repeat(fn, number=number, repeat=repeat)) / number


def fmt(seconds):
    return "%8.2f us" % (seconds * 1e6) if seconds < 1e-3 else "%8.2f ms" % (seconds * 1e3)


def report(name, ours, theirs, target, peer, width=40):
    """Prints one side-by-side line; returns whether the ratio meets the target."""
    ratio = theirs / ours
    verdict = "ok" if ratio >= target else "BELOW TARGET"
    print("%-*s klov_core %s  %s %s  ratio %5.2fx  (target >= %.2fx) %s"
          % (width, name, fmt(ours), peer, fmt(theirs), ratio, target, verdict))
    return ratio >= target
