"""Typed use of every klov_core function, checked against the installed stub.

Run by .ci/typing_check.sh under `mypy --strict` and `pyright` (both must
report nothing), and run as a script there too, so that what the stub admits
is what the module accepts and what it refuses the module refuses.  Not a
pytest module.

The lines under "refused" must each be a type error: each carries a
`# type: ignore[code]` for mypy (which reports an unused or wrong one under
--strict) and a `# pyright: ignore[rule]` for pyright (which reports an
unneeded one under pyrightconfig.json beside this file, which also switches
`# type: ignore` comments off for it).
"""

import array
from collections.abc import Callable
from typing import assert_type

import numpy as np

import klov_core as kc


def refused(call: Callable[[], object]) -> None:
    """The call must fail at run time as it fails the type check."""
    try:
        call()
    except (TypeError, ValueError, AttributeError):
        return
    raise AssertionError("the module accepted a call the stub refuses")


def accepted() -> None:
    # Module attributes.
    assert_type(kc.__version__, str)
    assert_type(kc.__all__, list[str])

    # Vectors: sequences of numbers, buffers, numpy arrays of any numeric dtype.
    f32 = np.array([1.0, 0.5, 0.0], dtype=np.float32)
    f64 = np.linspace(0.0, 1.0, 3)
    assert_type(kc.cosine_similarity([1.0, 0.5, 0], (1, 2, 3)), float)
    kc.cosine_similarity(f32, f64)
    kc.cosine_similarity(np.arange(3), array.array("f", [1.0, 2.0, 3.0]))
    kc.cosine_similarity(memoryview(array.array("d", [1.0, 2.0, 3.0])), range(3))
    kc.cosine_similarity(b"\x01\x02\x03", bytearray(b"\x03\x02\x01"))
    kc.cosine_similarity(a=[True, False], b=[np.float32(1.0), np.int64(2)])

    # Matrices: rows of any vector form, or a 2-d numpy array.
    matrix = np.eye(3, dtype=np.float32)
    ranked = kc.top_k(f32, matrix, 2)
    assert_type(ranked, list[tuple[int, float]])
    kc.top_k([1.0, 0.0], [[1.0, 0.0], (0, 1), np.ones(2), array.array("d", [1.0, 1.0])], np.int64(2))
    kc.top_k(query=f64, matrix=np.zeros((4, 3)), k=10)

    # Checkpoints: str in, bytes out; the blob in any byte form.
    blob = kc.encode_checkpoint('{"b": 1, "a": [1.0, -0]}')
    assert_type(blob, bytes)
    assert_type(kc.decode_checkpoint(blob), str)
    kc.decode_checkpoint(bytearray(blob))
    kc.decode_checkpoint(memoryview(blob))
    kc.decode_checkpoint(array.array("B", blob))
    kc.decode_checkpoint(np.frombuffer(blob, dtype=np.uint8))
    kc.decode_checkpoint(list(blob))

    # Graph state.
    assert_type(kc.reduce_channel("add", "1", "2"), str)
    state = kc.advance_superstep('{"n":0}', '{"n":"add"}', '[{"n":1},{"n":2}]')
    assert_type(state, str)
    plan = kc.plan_supersteps(("c", "b", "a"), [("a", "b"), ("b", "c")])
    assert_type(plan, list[list[str]])

    # Audit chain.
    link = kc.hash_event("genesis", "payload")
    assert_type(link, str)
    broken = kc.verify_chain("genesis", [("payload", link)])
    assert_type(broken, int | None)
    if broken is not None:
        print("broken at", broken + 0)

    # Costs.
    assert_type(kc.aggregate_cost([0.1, 0.2, 0.3]), float)
    kc.aggregate_cost(np.array([0.5, 0.25], dtype=np.float32))
    kc.aggregate_cost(array.array("d", [0.5]))
    kc.aggregate_cost(())


def refused_calls() -> None:
    # Vectors of something else than numbers, a str, a generator, a bare number.
    refused(lambda: kc.cosine_similarity(["a"], [1.0]))  # type: ignore[list-item]  # pyright: ignore[reportArgumentType]
    refused(lambda: kc.cosine_similarity("abc", [1.0]))  # type: ignore[arg-type]  # pyright: ignore[reportArgumentType]
    refused(lambda: kc.aggregate_cost(x for x in [1.0]))  # type: ignore[arg-type]  # pyright: ignore[reportArgumentType]
    refused(lambda: kc.aggregate_cost(1.0))  # type: ignore[arg-type]  # pyright: ignore[reportArgumentType]
    # A flat vector where a matrix goes; k that is not an integer; a misspelt keyword.
    refused(lambda: kc.top_k([1.0], [1.0, 2.0], 1))  # type: ignore[list-item]  # pyright: ignore[reportArgumentType]
    refused(lambda: kc.top_k([1.0], [[1.0]], 1.5))  # type: ignore[arg-type]  # pyright: ignore[reportArgumentType]
    refused(lambda: kc.top_k([1.0], [[1.0]], kk=1))  # type: ignore[call-arg]  # pyright: ignore[reportCallIssue, reportUnknownLambdaType]
    # Checkpoints: text is not a blob, a dict is not text, floats are not bytes.
    refused(lambda: kc.decode_checkpoint('KLOV\x01{"a":1}'))  # type: ignore[arg-type]  # pyright: ignore[reportArgumentType]
    refused(lambda: kc.decode_checkpoint([1.5]))  # type: ignore[list-item]  # pyright: ignore[reportArgumentType]
    refused(lambda: kc.encode_checkpoint({"a": 1}))  # type: ignore[arg-type]  # pyright: ignore[reportArgumentType]
    # Graph and audit: text only, edges and entries are pairs of str.
    refused(lambda: kc.reduce_channel("add", 1, "2"))  # type: ignore[arg-type]  # pyright: ignore[reportArgumentType]
    refused(lambda: kc.plan_supersteps(["a", "b"], [["a", "b"]]))  # type: ignore[list-item]  # pyright: ignore[reportArgumentType]
    refused(lambda: kc.plan_supersteps(["a"], [("a", 1)]))  # type: ignore[list-item]  # pyright: ignore[reportArgumentType]
    refused(lambda: kc.hash_event(b"genesis", "payload"))  # type: ignore[arg-type]  # pyright: ignore[reportArgumentType]
    refused(lambda: kc.verify_chain("g", [("p", "h", "x")]))  # type: ignore[list-item]  # pyright: ignore[reportArgumentType]
    # No such function.
    refused(lambda: kc.hash_events("", ""))  # type: ignore[attr-defined]  # pyright: ignore[reportAttributeAccessIssue, reportUnknownMemberType, reportUnknownLambdaType]


def misused_results() -> None:
    # The index of the first broken link may be None; scores are floats.
    first: int = kc.verify_chain("g", [])  # type: ignore[assignment]  # pyright: ignore[reportAssignmentType]
    name: str = kc.top_k([1.0], [[1.0]], 1)[0][1]  # type: ignore[assignment]  # pyright: ignore[reportAssignmentType]
    text: bytes = kc.decode_checkpoint(kc.encode_checkpoint("{}"))  # type: ignore[assignment]  # pyright: ignore[reportAssignmentType]
    del first, name, text


if __name__ == "__main__":
    accepted()
    refused_calls()
    misused_results()
    print("usage: every call behaves as its types say")
