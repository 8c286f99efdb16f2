"""Type stubs for the klov_core extension module."""

from collections.abc import Iterator, Sequence
from typing import Any, Final, Protocol, SupportsFloat, SupportsIndex

__version__: Final[str]
RUST: Final[bool]
__all__ = [
    "__version__",
    "RUST",
    "cosine_similarity",
    "top_k",
    "encode_checkpoint",
    "decode_checkpoint",
    "reduce_channel",
    "advance_superstep",
    "plan_supersteps",
    "hash_event",
    "verify_chain",
    "aggregate_cost",
]

# A number as the module converts it: anything with __float__ or __index__
# (float, int, bool, numpy scalars, Decimal, Fraction).
_Number = SupportsFloat | SupportsIndex

# Vector, matrix and byte arguments are taken as sequences: objects that can
# be indexed and are read by iterating them; a str is refused, and so are
# generators and dicts (a dict of numbers still matches the protocols below,
# the one case they let through).  Buffers of known layout (bytes, bytearray, memoryview,
# array.array, numpy arrays) are read in place, with the results iteration
# would give.  The protocols name what iteration must yield, so lists, tuples,
# ranges, array.array, memoryview and numpy arrays of any numeric dtype all
# match, on every supported Python: numpy declares its arrays' __buffer__ only
# from Python 3.12 on, so collections.abc.Buffer would not admit them on 3.11.

class _Vector(Protocol):
    """A sequence of numbers: list, tuple, range, array.array, bytes, memoryview, 1-d numpy array."""

    def __getitem__(self, index: int, /) -> Any: ...
    def __iter__(self) -> Iterator[_Number]: ...

class _Matrix(Protocol):
    """A sequence of vectors (rows of equal length): nested lists, a list of arrays, a 2-d numpy array."""

    def __getitem__(self, index: int, /) -> Any: ...
    def __iter__(self) -> Iterator[_Vector]: ...

class _Bytes(Protocol):
    """A sequence of integers 0..255: bytes, bytearray, memoryview, array.array('B'), a uint8 numpy array, a list of ints."""

    def __getitem__(self, index: int, /) -> Any: ...
    def __iter__(self) -> Iterator[SupportsIndex]: ...

def cosine_similarity(a: _Vector, b: _Vector) -> float:
    """Cosine similarity between two equal-length vectors."""

def top_k(query: _Vector, matrix: _Matrix, k: SupportsIndex) -> list[tuple[int, float]]:
    """Indices and scores of the `k` rows most similar to `query`."""

def encode_checkpoint(json_str: str) -> bytes:
    """Encode a JSON document string into a framed checkpoint blob."""

def decode_checkpoint(blob: _Bytes) -> str:
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

def aggregate_cost(values: _Vector) -> float:
    """Sum per-call costs into a single total."""
