"""hash_event and verify_chain against the equivalent hashlib code, side by side.

Run: PYTHONPATH=<build dir> python bench/bench_audit.py
Each figure is the median of repeated timeit runs; ratio = hashlib time / klov_core time.
"""

import hashlib
import sys

import klov_core as kc
import timing
from timing import median_seconds


def report(name, ours, theirs, target):
    return timing.report(name, ours, theirs, target, "hashlib", width=40)


def python_verify(genesis, entries):
    prev = genesis
    for i, (payload, stored) in enumerate(entries):
        h = hashlib.sha256((prev + "\x1f" + payload).encode()).hexdigest()
        if h != stored:
            return i
        prev = h
    return None


def main():
    ok = True

    prev = hashlib.sha256(b"previous").hexdigest()
    payload = ("audit event payload " * 10)[:200]
    assert kc.hash_event(prev, payload) == hashlib.sha256((prev + "\x1f" + payload).encode()).hexdigest()
    ours = median_seconds(lambda: kc.hash_event(prev, payload), 200_000)
    theirs = median_seconds(lambda: hashlib.sha256((prev + "\x1f" + payload).encode()).hexdigest(), 200_000)
    ok &= report("hash_event, 64-hex prev + 200 B payload", ours, theirs, 1.5)

    entries, h = [], "genesis"
    for i in range(100_000):
        p = ("entry %06d " % i).ljust(225, "x")
        h = hashlib.sha256((h + "\x1f" + p).encode()).hexdigest()
        entries.append((p, h))
    assert kc.verify_chain("genesis", entries) is None and python_verify("genesis", entries) is None
    ours = median_seconds(lambda: kc.verify_chain("genesis", entries), 1, repeat=15)
    theirs = median_seconds(lambda: python_verify("genesis", entries), 1, repeat=7)
    ok &= report("verify_chain, 100,000 links of ~225 B", ours, theirs, 3.0)

    big = "a" * (4 << 20)
    big_bytes = big.encode()
    assert kc.hash_event("", big) == hashlib.sha256(b"\x1f" + big_bytes).hexdigest()
    ours = median_seconds(lambda: kc.hash_event("", big), 5, repeat=15)
    theirs = median_seconds(lambda: hashlib.sha256(big_bytes).hexdigest(), 5, repeat=15)
    ok &= report("4 MB ASCII payload (hashlib on bytes)", ours, theirs, 0.95)
    print("throughput: klov_core %.2f GB/s, hashlib %.2f GB/s"
          % (len(big_bytes) / ours / 1e9, len(big_bytes) / theirs / 1e9))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
