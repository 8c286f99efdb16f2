"""Type stubs for the klov_core extension module."""

from collections.abc import Sequence
from typing import Final, SupportsFloat, SupportsIndex

__version__: Final[str]
RUST: Final[bool]
__all__: list[str]

_Number = SupportsFloat | SupportsIndex

def cosine_similarity(a: Sequence[_Number], b: Sequence[_Number]) -> float:
    """Cosine similarity between two equal-length vectors."""

def top_k(query: Sequence[_Number], matrix: Sequence[Sequence[_Number]], k: SupportsIndex) -> list[tuple[int, float]]:
    """Indices and scores of the `k` rows most similar to `query`."""

def encode_checkpoint(json_str: str) -> bytes:
    """Encode a JSON document string into a framed checkpoint blob."""

def decode_checkpoint(blob: Sequence[SupportsIndex]) -> str:
    """Decode a framed checkpoint blob back into a JSON string."""

def reduce_channel(reducer: str, current_json: str, update_json: str) -> str:
    """Reduce `current` with `update` under the named channel reducer."""

def advance_superstep(state_json: str, reducers_json: str, updates_json: str) -> str:
    """Apply a whole superstep's node updates to graph state in one call."""

def plan_supersteps(nodes: Sequence[str], edges: Sequence[tuple[str, str]]) -> list[list[str]]:
    """Plan BSP supersteps for the given nodes and edges."""

def hash_event(prev_hash: str, payload: str) -> str:
    """Chained hash for an audit entry: `sha256(prev_hash || payload)`."""

def verify_chain(genesis: str, entries: Sequence[tuple[str, str]]) -> int | None:
    """Verify a hash chain; returns the index of the first broken link or `None`."""

def aggregate_cost(values: Sequence[_Number]) -> float:
    """Sum per-call costs into a single total."""
