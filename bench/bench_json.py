"""Checkpoint encode/decode of klov_core side by side with Python peers.

Run: PYTHONPATH=<build dir> python bench/bench_json.py [--big]

Peers do the same work as the codec: parse, write compact text with sorted
keys, add (or strip) the five-byte header.
  orjson: b"KLOV\\x01" + orjson.dumps(orjson.loads(s), option=OPT_SORT_KEYS)
  json:   json.dumps(json.loads(s), sort_keys=True, separators=(",", ":"), ensure_ascii=False)
Every figure is a median.  MB/s counts the bytes of the input text.
--big adds a 100 MB document to the scaling table.
"""

import argparse
import json
import random
import statistics
import time

import orjson

import klov_core as kc

HEADER = b"KLOV\x01"

WORDS = (
    "the agent calls a tool with the query and reads the result then plans the next step "
    "retrieval summary context window token budget memory channel state graph node edge "
    "checkpoint resume error retry user assistant system observation thought action"
).split()
UNICODE = ["héllo", "naïve", "café", "日本語のテキスト", "emoji 😀🚀", "Ελληνικά", "русский текст",
           "العربية", "→ ⇒ ∑", "“quoted”", "ß", "한국어"]
ESCAPES = ["\n", "\t", '"', "\\", "/", "\r", "\u0001", "\n\n"]
ROLES = ["user", "assistant", "system", "tool"]
KEY_PARTS = ["id", "name", "kind", "score", "count", "ts", "source", "model", "lang", "flag",
             "rank", "weight", "cost", "latency", "status", "tag", "owner", "region", "ver", "hint"]


def text(rng, n_words):
    parts = []
    for _ in range(n_words):
        r = rng.random()
        if r < 0.08:
            parts.append(rng.choice(UNICODE))
        elif r < 0.13:
            parts.append(rng.choice(WORDS) + rng.choice(ESCAPES))
        else:
            parts.append(rng.choice(WORDS))
    return " ".join(parts)


def number(rng):
    r = rng.randrange(9)
    if r == 0:
        return rng.randrange(1000)
    if r == 1:
        return rng.randrange(2**63, 2**64)
    if r == 2:
        return -rng.randrange(1, 2**63 + 1)
    if r == 3:
        return rng.random()
    if r == 4:
        return rng.uniform(-1e6, 1e6)
    if r == 5:
        return float(rng.randrange(100))
    if r == 6:
        return rng.choice([1e-7, 1.5e300, 2.5e-300, 1e16, -0.0, 0.1, 5e-324])
    if r == 7:
        return rng.randrange(10**12)
    return round(rng.random() * 100, 2)


def scalar(rng):
    r = rng.randrange(6)
    if r < 2:
        return number(rng)
    if r == 2:
        return text(rng, rng.randrange(1, 6))
    if r == 3:
        return rng.choice([True, False])
    if r == 4:
        return None
    return [number(rng) for _ in range(rng.randrange(4))]


def shuffled_dict(rng, items):
    items = list(items)
    rng.shuffle(items)
    return dict(items)


def metadata(rng, lo=10, hi=30):
    n = rng.randint(lo, hi)
    keys = set()
    while len(keys) < n:
        keys.add(f"{rng.choice(KEY_PARTS)}_{rng.choice(KEY_PARTS)}{rng.randrange(10)}")
    return shuffled_dict(rng, ((k, scalar(rng)) for k in keys))


def message(rng, i, small=False):
    tool_calls = []
    for j in range(0 if small else rng.randrange(3)):
        args = {"query": text(rng, 6), "limit": rng.randrange(50), "filters": {"lang": "en", "min": rng.random()}}
        tool_calls.append(shuffled_dict(rng, [
            ("id", f"call_{i}_{j}"), ("name", rng.choice(["search", "fetch", "calc", "write_file"])),
            ("arguments", json.dumps(args, ensure_ascii=False)),
        ]))
    return shuffled_dict(rng, [
        ("role", rng.choice(ROLES)),
        ("content", text(rng, rng.randrange(4, 12) if small else rng.randrange(10, 120))),
        ("id", f"msg_{i:06d}"),
        ("created", 1_700_000_000 + i * 17),
        ("score", rng.random()),
        ("tokens", {"prompt": rng.randrange(4000), "completion": rng.randrange(800), "cost": rng.random() / 100}),
        ("tool_calls", tool_calls),
        ("metadata", metadata(rng, 10, 12) if small else metadata(rng)),
    ])


def agent_state(target_bytes, seed=7):
    """A JSON text of about target_bytes: an agent's channels and message history."""
    rng = random.Random(seed)
    small = target_bytes < 4000
    messages = []
    doc = {
        "thread_id": "thread-42",
        "step": 0,
        "channels": {"route": "tools", "retries": 1, "budget": 0.25} if small else metadata(rng),
        "messages": messages,
    }
    if not small:
        doc["scratchpad"] = {"plan": [text(rng, 8) for _ in range(3)], "notes": text(rng, 20)}
    size = len(json.dumps(doc, ensure_ascii=False).encode())
    i = 0
    while size < target_bytes:
        m = message(rng, i, small)
        messages.append(m)
        size += len(json.dumps(m, ensure_ascii=False).encode()) + 2
        i += 1
    doc["step"] = i
    return json.dumps(doc, ensure_ascii=False)


def median_time(fn, budget=1.0, min_repeat=5):
    """Median seconds per call, batching calls so one batch takes >= 1 ms."""
    start = time.perf_counter()
    fn()
    once = time.perf_counter() - start
    number = max(1, int(1e-3 / max(once, 1e-9)))
    repeat = max(min_repeat, min(200, int(budget / max(once * number, 1e-9))))
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        for _ in range(number):
            fn()
        times.append((time.perf_counter() - start) / number)
    return statistics.median(times)


def orjson_encode(s):
    return HEADER + orjson.dumps(orjson.loads(s), option=orjson.OPT_SORT_KEYS)


def orjson_decode(blob):
    return orjson.dumps(orjson.loads(blob[5:]), option=orjson.OPT_SORT_KEYS).decode()


def stdlib_canon(s):
    return json.dumps(json.loads(s), sort_keys=True, separators=(",", ":"), ensure_ascii=False)


def stdlib_encode(s):
    return HEADER + stdlib_canon(s).encode()


def stdlib_decode(blob):
    return stdlib_canon(blob[5:].decode())


def fmt_time(t):
    return f"{t * 1e3:9.3f} ms" if t >= 1e-3 else f"{t * 1e6:9.2f} us"


def compare(label, s):
    nbytes = len(s.encode())
    blob = kc.encode_checkpoint(s)
    # Same documents (orjson and the standard library differ from the codec
    # only in how some doubles are spelled, not in the values).
    assert json.loads(kc.decode_checkpoint(blob)) == json.loads(s)
    assert json.loads(orjson_decode(blob)) == json.loads(s)
    ob, sb = orjson_encode(s), stdlib_encode(s)
    print(f"\n{label}: {nbytes:,} bytes of input text")
    for direction, ours, peers, arg in (
        ("encode", kc.encode_checkpoint, (("orjson", orjson_encode, s), ("json", stdlib_encode, s)), s),
        ("decode", kc.decode_checkpoint, (("orjson", orjson_decode, ob), ("json", stdlib_decode, sb)), blob),
    ):
        t = median_time(lambda: ours(arg))
        print(f"  {direction}  klov_core {fmt_time(t)}  {nbytes / t / 1e6:8.1f} MB/s")
        for name, fn, parg in peers:
            tp = median_time(lambda: fn(parg))
            print(f"          {name:<9} {fmt_time(tp)}  {nbytes / tp / 1e6:8.1f} MB/s   klov_core is {tp / t:5.2f}x faster")


def scaling(sizes):
    print("\nscaling (klov_core):")
    print(f"  {'input bytes':>14} {'encode':>12} {'MB/s':>8} {'ns/B':>6} {'decode':>12} {'MB/s':>8} {'ns/B':>6}")
    for target in sizes:
        s = agent_state(target, seed=11)
        n = len(s.encode())
        blob = kc.encode_checkpoint(s)
        budget = 1.0 if target < 50_000_000 else 0.1
        te = median_time(lambda: kc.encode_checkpoint(s), budget=budget, min_repeat=3)
        td = median_time(lambda: kc.decode_checkpoint(blob), budget=budget, min_repeat=3)
        print(f"  {n:>14,} {fmt_time(te):>12} {n / te / 1e6:8.1f} {te / n * 1e9:6.2f}"
              f" {fmt_time(td):>12} {n / td / 1e6:8.1f} {td / n * 1e9:6.2f}")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--big", action="store_true", help="add a 100 MB document to the scaling table")
    a = ap.parse_args()
    compare("~1 KB document", agent_state(1_000, seed=3))
    compare("~1 MB document", agent_state(1_000_000))
    scaling([10_000, 1_000_000] + ([100_000_000] if a.big else []))


if __name__ == "__main__":
    main()
