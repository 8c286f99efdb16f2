"""Reference counts, memory and threads: every function, succeeding and failing."""

import gc
import os
import resource
import sys
import threading
import tracemalloc

import pytest

from calls import CALLS, run

SANITIZED = bool(os.environ.get("KLOV_SANITIZED"))


def _ids(calls):
    return [f"{fn.__name__}-{i}" for i, (fn, _, _) in enumerate(calls)]


@pytest.mark.parametrize("fn,args,exc", CALLS, ids=_ids(CALLS))
def test_no_reference_or_memory_growth(fn, args, exc):
    rounds = 2_000 if SANITIZED else 20_000
    for _ in range(200):  # warm caches (interned strings, UTF-8 forms)
        run(fn, args, exc)
    gc.collect()
    tracemalloc.start()
    before = tracemalloc.get_traced_memory()[0]
    refs_before = sys.gettotalrefcount() if hasattr(sys, "gettotalrefcount") else None
    for _ in range(rounds):
        run(fn, args, exc)
    gc.collect()
    grown = tracemalloc.get_traced_memory()[0] - before
    tracemalloc.stop()
    # A leak of one object per call would be at least 16 bytes * rounds.
    assert grown < 8 * rounds, f"{grown} bytes retained after {rounds} calls"
    if refs_before is not None:
        assert sys.gettotalrefcount() - refs_before < rounds


@pytest.mark.skipif(SANITIZED, reason="RSS is meaningless under the sanitizer's allocator")
def test_peak_rss_flat_over_many_calls():
    def peak_kb():
        return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss

    for fn, args, exc in CALLS:  # reach the steady state first
        for _ in range(1_000):
            run(fn, args, exc)
    start = peak_kb()
    for fn, args, exc in CALLS:
        for _ in range(10_000):
            run(fn, args, exc)
    assert peak_kb() - start < 20_000


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
