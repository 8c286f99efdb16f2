"""Memcheck driver: every function, succeeding and failing, with the shared
representative calls plus a few large and deep inputs.  Run by
tools/valgrind_check.sh; usable alone as a smoke script."""

import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

import klov_core as kc  # noqa: E402
from calls import CALLS, run  # noqa: E402

ROUNDS = int(os.environ.get("KLOV_VALGRIND_ROUNDS", "20"))


def big_inputs():
    """Calls that take the long paths: big buffers, many rows, deep documents."""
    doc = "[" + ",".join(f'{{"k{i}":[{i},{i}.5,"s\\n{i}",null,true]}}' for i in range(20_000)) + "]"
    deep = "[" * 127 + "]" * 127
    yield kc.encode_checkpoint, (doc,), None
    yield kc.decode_checkpoint, (kc.encode_checkpoint(doc),), None
    yield kc.reduce_channel, ("append", doc, doc), None
    yield kc.advance_superstep, ('{"s":' + doc + "}", '{"s":"append"}', f'[{{"s":{doc}}},null]'), None
    yield kc.encode_checkpoint, (deep,), None
    yield kc.encode_checkpoint, ("[" * 128,), ValueError
    yield kc.encode_checkpoint, (doc[:-1] + ",]",), ValueError
    yield kc.cosine_similarity, ([0.5] * 100_003, [0.25] * 100_003), None
    yield kc.top_k, ([1.0] * 17, [[float(i % 7)] * 17 for i in range(5_000)], 50), None
    yield kc.top_k, ([1.0] * 3, [[1.0] * 3] * 100 + [[1.0, 2.0]], 5), None  # ragged rows
    yield kc.aggregate_cost, ([i * 0.1 for i in range(100_001)],), None
    yield kc.plan_supersteps, ([f"n{i}" for i in range(5_000)], [(f"n{i}", f"n{i * 7 % 5000}") for i in range(5_000)]), None
    yield kc.verify_chain, ("g", [("p", kc.hash_event("g", "p"))] + [("x", "0" * 64)] * 1_000), None
    yield kc.hash_event, ("h" * 1_000, "p" * 1_000_003), None


def main():
    for fn, args, exc in CALLS:
        for _ in range(ROUNDS):
            run(fn, args, exc)
    big = list(big_inputs())
    for fn, args, exc in big:
        for _ in range(2):
            run(fn, args, exc)
    print(f"valgrind driver: {len(CALLS)} calls x {ROUNDS} rounds and {len(big)} large calls x 2 done")


if __name__ == "__main__":
    main()
