"""Helpers the test files share: the checkpoint header, the sanitizer-build
flag, the outcome of a call as a comparable value, and a sequence whose
iteration raises part way."""

import os

import pytest

HEADER = b"KLOV\x01"  # magic and version byte in front of every checkpoint payload

# Set by .ci/sanitize.sh: sizes and deadlines shrink, memory figures mean nothing.
SANITIZED = bool(os.environ.get("KLOV_SANITIZED"))


def outcome(fn, *args, **kwargs):
    """The result, or the exception's type and text."""
    try:
        return fn(*args, **kwargs)
    except Exception as e:  # noqa: BLE001 - compared by the caller
        return (type(e), str(e))


def outcome_repr(fn, *args, **kwargs):
    """As outcome, with ("ok", repr of the result) for a result: two calls
    compared this way must agree on the sign of zero and on NaN."""
    try:
        result = fn(*args, **kwargs)
    except Exception as e:  # noqa: BLE001 - compared by the caller
        return (type(e), str(e))
    return ("ok", repr(result))


def error(fn, *args, **kwargs):
    """The exception fn(*args, **kwargs) raises (it must raise)."""
    with pytest.raises(BaseException) as info:
        fn(*args, **kwargs)
    return info.value


class IterRaises:
    """A sequence over `items` whose iteration raises `exc` at index `at`
    (never, for an index past the end); indexing and len() work."""

    def __init__(self, items, exc, at):
        self.items, self.exc, self.at = items, exc, at

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]

    def __iter__(self):
        for i, v in enumerate(self.items):
            if i == self.at:
                raise self.exc
            yield v
