"""Reference counts, memory and threads: every function, succeeding and failing."""

import gc
import sys
import threading
import tracemalloc

import pytest

import peak_rss
from calls import CALLS, run
from support import SANITIZED


def _ids(calls):
    return [f"{fn.__name__}-{i}" for i, (fn, _, _) in enumerate(calls)]


ROUNDS = 2_000 if SANITIZED else 100_000
MEASURE_RSS = peak_rss.available()
# The full-length loop takes most of the suite's time: it runs with -m slow
# (.ci/run).  The sanitizer build's short loop runs with the rest.
SLOW = [] if SANITIZED else [pytest.mark.slow]


@pytest.mark.parametrize("fn,args,exc", [pytest.param(*call, marks=SLOW) for call in CALLS], ids=_ids(CALLS))
def test_no_reference_or_memory_growth(fn, args, exc):
    tracemalloc.start()
    for _ in range(1_000):  # steady state: interned strings, UTF-8 forms, the tracer's own tables
        run(fn, args, exc)
    gc.collect()
    before = tracemalloc.get_traced_memory()[0]
    refs_before = sys.gettotalrefcount() if hasattr(sys, "gettotalrefcount") else None
    if MEASURE_RSS:
        peak_rss.reset()
        rss_before = peak_rss.peak()
    for _ in range(ROUNDS):
        run(fn, args, exc)
    gc.collect()
    grown = tracemalloc.get_traced_memory()[0] - before
    tracemalloc.stop()
    # A leak of one object per call would be at least 16 bytes * ROUNDS.
    assert grown < 8 * ROUNDS, f"{grown} bytes retained after {ROUNDS} calls"
    if refs_before is not None:
        assert sys.gettotalrefcount() - refs_before < ROUNDS
    if MEASURE_RSS:
        # native memory is not traced: a leak of the smallest heap block per
        # call would raise the peak by 3 MiB
        rss_grown = peak_rss.peak() - rss_before
        assert rss_grown < 2 << 20, f"peak RSS grew by {rss_grown} bytes over {ROUNDS} calls"


def test_threads_give_sequential_results():
    expected = [run(fn, args, exc) for fn, args, exc in CALLS]
    failures = []

    def worker():
        try:
            for _ in range(30 if SANITIZED else 300):
                got = [run(fn, args, exc) for fn, args, exc in CALLS]
                if got != expected:
                    failures.append(got)
                    return
        except BaseException as e:  # noqa: BLE001 - reported below
            failures.append(e)

    threads = [threading.Thread(target=worker) for _ in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not failures
