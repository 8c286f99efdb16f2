"""Superstep planning through plan_supersteps."""

import time
from collections import UserList, deque

import pytest
from hypothesis import given, settings, strategies as st

import klov_core as kc
from support import SANITIZED

CASES = [
    ([], [], []),
    ([], [("a", "b")], []),
    (["b", "a", "c"], [], [["a", "b", "c"]]),
    (["c", "b", "a"], [("a", "b"), ("b", "c"), ("a", "c")], [["a"], ["b"], ["c"]]),
    (["d", "c", "b", "a"], [("a", "b"), ("a", "c"), ("b", "d"), ("c", "d")], [["a"], ["b", "c"], ["d"]]),
    (["a", "b"], [("x", "b"), ("a", "y")], [["a", "b"]]),
    (["a"], [("a", "a")], [["a"]]),
    (["a", "b"], [("a", "b"), ("a", "b")], [["a"], ["b"]]),
    (["a", "a", "b"], [("a", "b")], [["a"], ["b"]]),
    (["y", "x"], [("x", "y"), ("y", "x")], [["x", "y"]]),
    (["start", "x", "y", "end"], [("start", "x"), ("x", "y"), ("y", "x"), ("y", "end")], [["start"], ["end", "x", "y"]]),
    (["b", "a", "b"], [("a", "b"), ("b", "a")], [["a", "b", "b"]]),
    # a node fed by a cycle and by a placed node waits with the cycle
    (["p", "q", "r", "s"], [("q", "r"), ("r", "q"), ("p", "s"), ("r", "s")], [["p"], ["q", "r", "s"]]),
    # a repeated edge into a cycle-free node needs both copies counted down
    (["a", "b", "c"], [("a", "c"), ("a", "c"), ("b", "c")], [["a", "b"], ["c"]]),
    (["b", "B", "a", "ab"], [], [["B", "a", "ab", "b"]]),
    (["é", "z", "", "\U0001F600", "\x7f"], [], [["", "z", "\x7f", "é", "\U0001F600"]]),
    (["a\x00b", "a", "a\x00"], [("a", "a\x00b")], [["a", "a\x00"], ["a\x00b"]]),
    (("b", "a"), (("a", "b"),), [["a"], ["b"]]),
]


@pytest.mark.parametrize("names,edges,expected", CASES)
def test_plan(names, edges, expected):
    assert kc.plan_supersteps(names, edges) == expected


@pytest.mark.parametrize("names,edges,exc", [
    ("ab", [], TypeError), (b"ab", [], TypeError), (["a"], [["a", "b"]], TypeError),
    (["a"], [("a", "b", "c")], ValueError), (["a", 1], [], TypeError),
])
def test_conversion_failures(names, edges, exc):
    with pytest.raises(exc):
        kc.plan_supersteps(names, edges)


def model_plan(names, edges):
    known = set(names)
    indeg = {n: 0 for n in names}
    succ = {}
    for s, t in edges:
        if s in known and t in known and s != t:
            succ.setdefault(s, []).append(t)
            indeg[t] += 1
    queue = deque(n for n, d in indeg.items() if d == 0)
    placed, result = set(), []
    while queue:
        wave = list(queue)
        queue.clear()
        step = [n for n in dict.fromkeys(wave) if n not in placed]
        placed.update(step)
        for n in wave:
            for t in succ.get(n, ()):
                indeg[t] -= 1
                if indeg[t] == 0 and t not in placed:
                    queue.append(t)
        if step:
            result.append(sorted(step))
    leftover = sorted(n for n in names if n not in placed)
    return result + [leftover] if leftover else result


_name = st.text(st.sampled_from("abAé\x00😀"), max_size=3)


@given(st.lists(_name, max_size=12), st.lists(st.tuples(_name, _name), max_size=30))
def test_matches_model_on_graphs_with_cycles(names, edges):
    assert kc.plan_supersteps(names, edges) == model_plan(names, edges)


@st.composite
def dags(draw):
    n = draw(st.integers(0, 25))
    names = [f"n{i}" for i in draw(st.permutations(range(n)))]
    pairs = st.tuples(st.integers(0, max(n - 1, 0)), st.integers(0, max(n - 1, 0)))
    edges = [(f"n{min(a, b)}", f"n{max(a, b)}") for a, b in draw(st.lists(pairs, max_size=60)) if n]
    return names, edges


@given(dags())
@settings(max_examples=200)
def test_dag_steps_are_longest_path_depths(graph):
    names, edges = graph
    plan = kc.plan_supersteps(names, edges)
    where = {n: i for i, step in enumerate(plan) for n in step}
    assert sorted(where) == sorted(names) and sum(map(len, plan)) == len(names)
    depth = {n: 0 for n in names}
    for s, t in sorted((int(s[1:]), int(t[1:])) for s, t in edges if s != t):
        depth[f"n{t}"] = max(depth[f"n{t}"], depth[f"n{s}"] + 1)
    for s, t in edges:
        assert s == t or where[s] < where[t]
    assert where == depth


@pytest.mark.parametrize("shape", ["chain", "cycle", "star", "repeated_edge", "one_name", "long_prefix"])
def test_huge_graphs_stay_linear(shape):
    n = 1_000_000
    if shape == "chain":
        names = [str(i) for i in range(n + 1)]
        edges = list(zip(names, names[1:]))
        check = lambda plan: len(plan) == n + 1 and plan[-1] == [str(n)]
    elif shape == "cycle":
        names = [str(i) for i in range(n)]
        edges = list(zip(names, names[1:] + names[:1]))
        check = lambda plan: plan == [sorted(names)]
    elif shape == "star":
        names = ["hub"] + [f"leaf\x00{i}" for i in range(n)]
        edges = [("hub", leaf) for leaf in names[1:]]
        check = lambda plan: plan == [["hub"], sorted(names[1:])]
    elif shape == "repeated_edge":
        names = ["a", "b"]
        edges = [("a", "b")] * n
        check = lambda plan: plan == [["a"], ["b"]]
    elif shape == "one_name":
        names = ["x"] * n + ["y"]
        edges = [("x", "y"), ("y", "x")] * (n // 2)
        check = lambda plan: plan == [["x"] * n + ["y"]]
    else:
        prefix = "p" * 200
        names = [f"{prefix}{i}" for i in range(200_000)]
        edges = [(names[i], names[i + 1]) for i in range(0, len(names) - 1, 2)]
        check = lambda plan: plan == [sorted(names[0::2]), sorted(names[1::2])]
    start = time.perf_counter()
    plan = kc.plan_supersteps(names, edges)
    elapsed = time.perf_counter() - start
    assert check(plan)
    # A quadratic plan would take minutes; the bound only catches that.
    assert elapsed < (60.0 if SANITIZED else 5.0)


class Name(str):
    pass


@pytest.mark.parametrize("container", [list, tuple, UserList])
def test_names_come_back_as_plain_str(container):
    """Plain str names may come back as the very objects given; instances of
    str subclasses come back as plain str of the same text, in every step."""
    given = ["b", Name("a"), "c", Name("c"), "x", Name("y")]
    edges = [("a", "b"), ("x", "y"), ("y", "x")]
    plan = kc.plan_supersteps(container(given), edges)
    assert plan == [["a", "c"], ["b"], ["x", "y"]]
    assert all(type(name) is str for step in plan for name in step)
