"""The process's peak resident memory (Linux): reset it to the current
resident size, and read it, to bound what one stretch of calls needs."""

import os
import sys

_CLEAR_REFS = "/proc/self/clear_refs"


def reset():
    with open(_CLEAR_REFS, "w") as f:
        f.write("5")  # peak := current


def peak():
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmHWM:"))


def available():
    """True where the peak can be reset and read, and means our memory: not
    under the sanitizer, whose allocator keeps freed memory in quarantine."""
    if not sys.platform.startswith("linux") or os.environ.get("KLOV_SANITIZED"):
        return False
    try:
        reset()
        peak()
    except (OSError, StopIteration):
        return False
    return True
