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
    print("supersteps:", plan)

    state = json.dumps({"messages": [], "tokens": 0})
    genesis = "0" * 64
    audit, prev, costs = [], genesis, []
    for step, names in enumerate(plan):
        updates = json.dumps([node_update(n, step) for n in names])
        state = kc.advance_superstep(state, REDUCERS, updates)
        blob = kc.encode_checkpoint(state)
        assert kc.decode_checkpoint(blob) == state
        prev = kc.hash_event(prev, state)
        audit.append((state, prev))
        costs.extend(0.001 * len(n) for n in names)

    final = json.loads(state)
    print("messages:", len(final["messages"]), "tokens:", final["tokens"])
    print("last checkpoint:", len(blob), "bytes, starts with", blob[:5])
    print("total tokens via reduce_channel:",
          kc.reduce_channel("add", str(final["tokens"]), "0"))
    print("audit chain intact:", kc.verify_chain(genesis, audit) is None)
    tampered = list(audit)
    tampered[1] = (tampered[1][0] + " ", tampered[1][1])
    print("first broken link after tampering:", kc.verify_chain(genesis, tampered))

    print("query vs memory 0:", round(kc.cosine_similarity(QUERY, MEMORIES[0]), 6))
    print("top memories:", kc.top_k(QUERY, MEMORIES, 2))
    print("run cost:", round(kc.aggregate_cost(costs), 6))


if __name__ == "__main__":
    main()
