"""A small agent-graph run on klov_core's hot paths.

Plans the supersteps of a graph, runs them against a JSON state (each node
writes through the channel reducers), checkpoints the state after every
superstep, records an audit chain of what happened, ranks memories by cosine
similarity and totals the cost of the run.
"""

import json

import klov_core as kc

NODES = ["retrieve", "plan", "search", "summarise", "answer"]
EDGES = [("retrieve", "plan"), ("plan", "search"), ("plan", "summarise"),
         ("search", "answer"), ("summarise", "answer")]
REDUCERS = json.dumps({"messages": "append", "tokens": "add"})

MEMORIES = [[0.9, 0.1, 0.0], [0.1, 0.8, 0.3], [0.7, 0.2, 0.1], [0.0, 0.1, 0.9]]
QUERY = [1.0, 0.2, 0.0]


def node_update(name, step):
    """What a node writes: a message, the tokens it used, its own status."""
    return {"messages": [f"{name} ran in superstep {step}"],
            "tokens": 100 + 10 * len(name),
            f"status.{name}": "done"}


def main():
    plan = kc.plan_supersteps(NODES, EDGES)
    print("supersteps (nodes that run together):", plan)

    state = json.dumps({"messages": [], "tokens": 0})
    genesis = "0" * 64
    audit, prev, costs, checkpoints = [], genesis, [], []
    for step, names in enumerate(plan):
        updates = json.dumps([node_update(n, step) for n in names])
        state = kc.advance_superstep(state, REDUCERS, updates)
        checkpoints.append(kc.encode_checkpoint(state))
        prev = kc.hash_event(prev, state)
        audit.append((state, prev))
        costs.extend(0.001 * len(n) for n in names)

    final = json.loads(state)
    print("final state:", len(final["messages"]), "messages,", final["tokens"], "tokens")
    print("one more write of 50 tokens through the 'add' reducer:", final["tokens"], "->",
          kc.reduce_channel("add", str(final["tokens"]), "50"))

    # Checkpoints: one framed blob per superstep; decoding gives the state back.
    last = checkpoints[-1]
    print(f"checkpoints: {len(checkpoints)}, the last {len(last)} bytes, "
          f"starting with {last[:5]!r} (magic and format version)")
    restored = kc.decode_checkpoint(last)
    print("decode_checkpoint(last) equals the final state:", restored == state)
    resumed = json.loads(kc.decode_checkpoint(checkpoints[1]))
    print("state restored from the checkpoint after superstep 1:",
          len(resumed["messages"]), "messages,", resumed["tokens"], "tokens")

    # Audit chain: entry i holds superstep i's state and its chained hash.
    broken = kc.verify_chain(genesis, audit)
    print(f"verify_chain on the {len(audit)}-entry audit chain: {broken} (no broken link)")
    tampered = list(audit)
    tampered[1] = (tampered[1][0] + " ", tampered[1][1])
    broken = kc.verify_chain(genesis, tampered)
    print(f"after altering entry 1's state, verify_chain returns {broken}: "
          f"the 0-based index of the first entry whose hash no longer matches")

    print("cosine similarity of the query and memory 0:", round(kc.cosine_similarity(QUERY, MEMORIES[0]), 6))
    print("top 2 memories as (index, similarity):", kc.top_k(QUERY, MEMORIES, 2))
    print("run cost:", round(kc.aggregate_cost(costs), 6))


if __name__ == "__main__":
    main()
