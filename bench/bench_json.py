"""Checkpoint encode/decode of klov_core side by side with Python peers.

Run: PYTHONPATH=<build dir> python bench/bench_json.py [--big]

Peers do the same work as the codec: parse, write compact text with sorted
keys, add (or strip) the five-byte header.
  orjson:  b"KLOV\\x01" + orjson.dumps(orjson.loads(s), option=OPT_SORT_KEYS)
  msgspec: b"KLOV\\x01" + msgspec.json.encode(msgspec.json.decode(s), order="sorted")
  json:    json.dumps(json.loads(s), sort_keys=True, separators=(",", ":"), ensure_ascii=False)
Every figure is a median.  MB/s counts the bytes of the input text: the
UTF-8 of the str for encode, the canonical text in the blob for decode;
"ratio" is the peer's time over klov_core's.  A target, where one applies,
is checked on that ratio ("fastest peer" is the faster of orjson and msgspec).

The documents hold an agent's channels and message history, members in
insertion order (not sorted):
  ~1 KB           a small state, json.dumps defaults, raw UTF-8
  ~1 MB           json.dumps with its default separators, raw UTF-8
  ~1 MB mixed     the same values, each message written in one of three
                  styles, about a third of the text each: indent=2; \\u-escaped
                  (ensure_ascii, so 4-byte characters as surrogate pairs);
                  compact raw UTF-8 (4-byte characters included)
  ~1 MB non-ASCII most words CJK, Greek, Cyrillic, Hangul or emoji, raw UTF-8,
                  and the same values as json.dumps writes them by default:
                  every character beyond ASCII \\u-escaped
  ~1 MB ASCII     ASCII words only, ensure_ascii=True
  as orjson writes it   the ~1 KB and ~1 MB values, compact, doubles of
                  ordinary size only (orjson spells 1e16 and 5e-05 otherwise
                  than the canonical writer, the others alike): text that is
                  canonical but for the order of members
  ~1 MB chat log  a list of short messages {"role", "content", "turn"} as
                  orjson writes it: many small objects out of order
  ~1 MB embeddings  40 vectors of 1,536 doubles (normal, sigma 0.03: 17
                  digits, most below 0.1) as json.dumps writes them
The two 1 MB documents with the same values have one canonical text, so its
decode is timed once.  --big adds a 100 MB document to the scaling table.

The str boundary.  encode_checkpoint takes a str and decode_checkpoint returns
one, so each pays a floor no implementation avoids:
  encode floor: the UTF-8 bytes of a fresh str of the input text
                (str.encode over distinct copies whose UTF-8 is not cached);
  decode floor: building the result str from its UTF-8 bytes (bytes.decode).
Reading a str's UTF-8 leaves a copy cached in a non-ASCII str, so repeated
calls on one object (the peer comparison: orjson and msgspec read the same
cache) skip that work; "fresh str" times klov_core on distinct copies, as a
program meets new text, and "above floor" is that time minus the floor.
"""

import argparse
import json
import random
import time

import msgspec
import orjson

import klov_core as kc
from timing import fresh_median_time, median_time, str_floor, utf8_floor

HEADER = b"KLOV\x01"

WORDS = (
    "the agent calls a tool with the query and reads the result then plans the next step "
    "retrieval summary context window token budget memory channel state graph node edge "
    "checkpoint resume error retry user assistant system observation thought action"
).split()
UNICODE = ["héllo", "naïve", "café", "日本語のテキスト", "emoji 😀🚀", "Ελληνικά", "русский текст",
           "العربية", "→ ⇒ ∑", "“quoted”", "ß", "한국어"]
ESCAPES = ["\n", "\t", '"', "\\", "/", "\r", "\u0001", "\n\n"]
# Non-ASCII-heavy vocabulary: 2-, 3- and 4-byte UTF-8 sequences.
HEAVY = ["日本語のテキスト", "中文文本处理", "검색 결과", "Ελληνικά κείμενα", "русский текст", "данные агента",
         "λόγος", "東京都", "😀", "🚀 готово", "思考 🤔", "工具调用", "Ответ:", "παράδειγμα", "データ", "🙂👍"]
ROLES = ["user", "assistant", "system", "tool"]
KEY_PARTS = ["id", "name", "kind", "score", "count", "ts", "source", "model", "lang", "flag",
             "rank", "weight", "cost", "latency", "status", "tag", "owner", "region", "ver", "hint"]


def text(rng, n_words, vocab=None):
    """n_words words; vocab = (share of non-ASCII words, their list, share of
    words followed by an escaped character), by default (0.08, UNICODE, 0.05)."""
    uni, uni_words, esc = vocab or (0.08, UNICODE, 0.05)
    parts = []
    for _ in range(n_words):
        r = rng.random()
        if r < uni:
            parts.append(rng.choice(uni_words))
        elif r < uni + esc:
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


def scalar(rng, vocab=None):
    r = rng.randrange(6)
    if r < 2:
        return number(rng)
    if r == 2:
        return text(rng, rng.randrange(1, 6), vocab)
    if r == 3:
        return rng.choice([True, False])
    if r == 4:
        return None
    return [number(rng) for _ in range(rng.randrange(4))]


def shuffled_dict(rng, items):
    items = list(items)
    rng.shuffle(items)
    return dict(items)


def metadata(rng, lo=10, hi=30, vocab=None):
    n = rng.randint(lo, hi)
    keys = set()
    while len(keys) < n:
        keys.add(f"{rng.choice(KEY_PARTS)}_{rng.choice(KEY_PARTS)}{rng.randrange(10)}")
    return shuffled_dict(rng, ((k, scalar(rng, vocab)) for k in sorted(keys)))


def message(rng, i, small=False, vocab=None):
    tool_calls = []
    for j in range(0 if small else rng.randrange(3)):
        args = {"query": text(rng, 6, vocab), "limit": rng.randrange(50), "filters": {"lang": "en", "min": rng.random()}}
        tool_calls.append(shuffled_dict(rng, [
            ("id", f"call_{i}_{j}"), ("name", rng.choice(["search", "fetch", "calc", "write_file"])),
            ("arguments", json.dumps(args, ensure_ascii=False)),
        ]))
    return shuffled_dict(rng, [
        ("role", rng.choice(ROLES)),
        ("content", text(rng, rng.randrange(4, 12) if small else rng.randrange(10, 120), vocab)),
        ("id", f"msg_{i:06d}"),
        ("created", 1_700_000_000 + i * 17),
        ("score", rng.random()),
        ("tokens", {"prompt": rng.randrange(4000), "completion": rng.randrange(800), "cost": rng.random() / 100}),
        ("tool_calls", tool_calls),
        ("metadata", metadata(rng, 10, 12, vocab) if small else metadata(rng, vocab=vocab)),
    ])


def agent_doc(target_bytes, seed=7, vocab=None):
    """An agent's channels and message history, of about target_bytes as
    json.dumps(ensure_ascii=False) writes it."""
    rng = random.Random(seed)
    small = target_bytes < 4000
    messages = []
    doc = {
        "thread_id": "thread-42",
        "step": 0,
        "channels": {"route": "tools", "retries": 1, "budget": 0.25} if small else metadata(rng, vocab=vocab),
        "messages": messages,
    }
    if not small:
        doc["scratchpad"] = {"plan": [text(rng, 8, vocab) for _ in range(3)], "notes": text(rng, 20, vocab)}
    size = len(json.dumps(doc, ensure_ascii=False).encode())
    i = 0
    while size < target_bytes:
        m = message(rng, i, small, vocab)
        messages.append(m)
        size += len(json.dumps(m, ensure_ascii=False).encode()) + 2
        i += 1
    doc["step"] = i
    return doc


def chat_log(target_bytes, seed=11):
    """Short messages in the member order chat APIs use, of about
    target_bytes as JSON text."""
    rng = random.Random(seed)
    messages, size = [], 2
    while size < target_bytes:
        m = {"role": rng.choice(ROLES), "content": text(rng, rng.randrange(3, 12)), "turn": len(messages)}
        messages.append(m)
        size += len(json.dumps(m, ensure_ascii=False).encode()) + 1
    return messages


def embeddings(count=40, dim=1536, seed=13):
    rng = random.Random(seed)
    return {"model": "embed-small", "vectors": [[rng.gauss(0.0, 0.03) for _ in range(dim)] for _ in range(count)]}


def ordinary_doubles(v):
    """v with every double outside 1e-4 <= |x| < 1e15 (zero aside) made 0.5."""
    if isinstance(v, dict):
        return {k: ordinary_doubles(x) for k, x in v.items()}
    if isinstance(v, list):
        return [ordinary_doubles(x) for x in v]
    if isinstance(v, float) and v != 0 and not 1e-4 <= abs(v) < 1e15:
        return 0.5
    return v


def agent_state(target_bytes, seed=7):
    """A JSON text of about target_bytes: an agent's channels and message history."""
    return json.dumps(agent_doc(target_bytes, seed), ensure_ascii=False)


MIXED_STYLES = (
    lambda v: json.dumps(v, indent=2, ensure_ascii=False),          # pretty-printed
    lambda v: json.dumps(v),                                        # \u-escaped, surrogate pairs
    lambda v: json.dumps(v, ensure_ascii=False, separators=(",", ":")),  # compact raw UTF-8
)


def mixed_text(doc):
    """doc's JSON text with each message written in one of MIXED_STYLES, the
    style with the fewest bytes so far, so that each gets about a third of
    the text; the other members are written raw, in doc's member order."""
    sizes = [0, 0, 0]
    parts = []
    for m in doc["messages"]:
        k = sizes.index(min(sizes))
        parts.append(MIXED_STYLES[k](m))
        sizes[k] += len(parts[-1].encode())
    members = [json.dumps(k) + ": " + ("[\n" + ",\n".join(parts) + "\n]" if k == "messages"
                                        else json.dumps(v, ensure_ascii=False))
               for k, v in doc.items()]
    s = "{" + ", ".join(members) + "}"
    assert json.loads(s) == doc
    return s, sizes


def budget_median_time(fn, budget=1.0, min_repeat=5):
    """Median seconds per call within about `budget` seconds, batching calls
    so that one batch takes >= 1 ms."""
    start = time.perf_counter()
    fn()
    once = time.perf_counter() - start
    number = max(1, int(1e-3 / max(once, 1e-9)))
    repeat = max(min_repeat, min(200, int(budget / max(once * number, 1e-9))))
    return median_time(fn, repeat, number)


def orjson_encode(s):
    return HEADER + orjson.dumps(orjson.loads(s), option=orjson.OPT_SORT_KEYS)


def orjson_decode(blob):
    return orjson.dumps(orjson.loads(blob[5:]), option=orjson.OPT_SORT_KEYS).decode()


def msgspec_encode(s):
    return HEADER + msgspec.json.encode(msgspec.json.decode(s), order="sorted")


def msgspec_decode(blob):
    return msgspec.json.encode(msgspec.json.decode(blob[5:]), order="sorted").decode()


def stdlib_canon(s):
    return json.dumps(json.loads(s), sort_keys=True, separators=(",", ":"), ensure_ascii=False)


def stdlib_encode(s):
    return HEADER + stdlib_canon(s).encode()


def stdlib_decode(blob):
    return stdlib_canon(blob[5:].decode())


def fmt_time(t):
    return f"{t * 1e3:9.3f} ms" if t >= 1e-3 else f"{t * 1e6:9.2f} us"


def verdict(ratio, target):
    if target is None:
        return ""
    if target == "keep":
        return "  (keep this ratio)"
    return f"  (target {target}x, {'ok' if ratio >= target else 'BELOW TARGET'})"


def describe(s):
    wide = sum(1 for c in s if c > "\x7f")
    astral = sum(1 for c in s if c > "\uffff")
    return f"{len(s.encode()):,} bytes, {len(s):,} characters, {wide:,} non-ASCII ({astral:,} above U+FFFF)"


def compare(label, s, encode_targets=None, decode_targets=None, decode=True):
    """Times both directions for the text s against the peers; targets map a
    peer name, or "fastest", to a ratio (or "keep")."""
    nbytes = len(s.encode())
    blob = kc.encode_checkpoint(s)
    # Same documents (the peers differ from the codec only in how some
    # doubles are spelled, not in the values).
    expect = json.loads(s)
    for check in (kc.decode_checkpoint, orjson_decode, msgspec_decode, stdlib_decode):
        assert json.loads(check(blob)) == expect
    canonical = blob[len(HEADER):]
    print(f"\n{label}: {describe(s)} of input text")
    directions = [("encode", kc.encode_checkpoint, s, nbytes, encode_targets or {},
                   (("orjson", orjson_encode, s), ("msgspec", msgspec_encode, s), ("json", stdlib_encode, s)))]
    if decode:
        # The decode peers get the blobs they wrote themselves.
        directions.append(("decode", kc.decode_checkpoint, blob, len(canonical), decode_targets or {},
                           (("orjson", orjson_decode, orjson_encode(s)), ("msgspec", msgspec_decode, msgspec_encode(s)),
                            ("json", stdlib_decode, stdlib_encode(s)))))
    for direction, ours, arg, n, targets, peers in directions:
        t = budget_median_time(lambda: ours(arg))
        print(f"  {direction}  klov_core {fmt_time(t)}  {n / t / 1e6:8.1f} MB/s")
        peer_times = {}
        for name, fn, parg in peers:
            tp = peer_times[name] = budget_median_time(lambda: fn(parg))
            print(f"          {name:<9} {fmt_time(tp)}  {n / tp / 1e6:8.1f} MB/s   klov_core is {tp / t:5.2f}x faster"
                  + verdict(tp / t, targets.get(name)))
        if "fastest" in targets:
            name = min(("orjson", "msgspec"), key=peer_times.get)
            print(f"          fastest peer ({name}): ratio {peer_times[name] / t:5.2f}x"
                  + verdict(peer_times[name] / t, targets["fastest"]))
        if direction == "encode":
            floor = utf8_floor(s)
            fresh = fresh_median_time(kc.encode_checkpoint, s)
            print(f"          str floor: UTF-8 of a fresh str {fmt_time(floor)}; klov_core on a fresh str"
                  f" {fmt_time(fresh)}, above floor {fmt_time(fresh - floor)}")
        else:
            floor = str_floor(canonical)
            print(f"          str floor: result str from UTF-8 {fmt_time(floor)}; klov_core above floor"
                  f" {fmt_time(t - floor)}")


def scaling(sizes):
    print("\nscaling (klov_core):")
    print(f"  {'input bytes':>14} {'encode':>12} {'MB/s':>8} {'ns/B':>6} {'decode':>12} {'MB/s':>8} {'ns/B':>6}")
    for target in sizes:
        s = agent_state(target, seed=11)
        n = len(s.encode())
        blob = kc.encode_checkpoint(s)
        budget = 1.0 if target < 50_000_000 else 0.1
        te = budget_median_time(lambda: kc.encode_checkpoint(s), budget=budget, min_repeat=3)
        td = budget_median_time(lambda: kc.decode_checkpoint(blob), budget=budget, min_repeat=3)
        print(f"  {n:>14,} {fmt_time(te):>12} {n / te / 1e6:8.1f} {te / n * 1e9:6.2f}"
              f" {fmt_time(td):>12} {n / td / 1e6:8.1f} {td / n * 1e9:6.2f}")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--big", action="store_true", help="add a 100 MB document to the scaling table")
    a = ap.parse_args()
    compare("~1 KB document", agent_state(1_000, seed=3), encode_targets={"fastest": 3})
    compare("~1 KB document as orjson writes it", orjson.dumps(ordinary_doubles(agent_doc(1_000, seed=3))).decode(),
            decode=False)
    doc = agent_doc(1_000_000)
    compare("~1 MB document, json.dumps defaults", json.dumps(doc, ensure_ascii=False),
            decode_targets={"orjson": "keep"})
    mixed, thirds = mixed_text(doc)
    compare("~1 MB mixed document (bytes written indented / \\u-escaped / raw: "
            + " / ".join(f"{k:,}" for k in thirds) + ")",
            mixed, encode_targets={"orjson": 4, "json": 20}, decode=False)
    compare("~1 MB document as orjson writes it", orjson.dumps(ordinary_doubles(doc)).decode(), decode=False)
    compare("~1 MB chat log as orjson writes it", orjson.dumps(chat_log(1_000_000)).decode(), decode=False)
    compare("~1 MB embeddings as json.dumps writes them", json.dumps(embeddings()), decode=False)
    heavy = agent_doc(1_000_000, seed=5, vocab=(0.75, HEAVY, 0.03))
    compare("~1 MB non-ASCII-heavy document", json.dumps(heavy, ensure_ascii=False))
    compare("~1 MB non-ASCII-heavy document, \\u-escaped (json.dumps defaults)", json.dumps(heavy), decode=False)
    compare("~1 MB all-ASCII document", json.dumps(agent_doc(1_000_000, seed=9, vocab=(0.0, (), 0.05))))
    scaling([10_000, 1_000_000] + ([100_000_000] if a.big else []))


if __name__ == "__main__":
    main()
