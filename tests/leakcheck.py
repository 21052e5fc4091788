"""Memory and reference-count flatness of a repeated operation.

`assert_flat(op, iterations)` runs `op()` many times and fails when what it
leaves behind grows with the number of calls:

- Python objects, through tracemalloc (a leaked object of any kind is at
  least 16 bytes, so growth is judged per call);
- the C heap and the resident set, in a second pass without tracemalloc (its
  own bookkeeping would blur them): native allocations that are never freed;
- the reference counts of `watch` objects (arguments, shared constants): a
  count that climbs is a leaked reference even when the object is immortal or
  shared and no memory grows.

Under the address sanitizer (freed memory is held in quarantine, and
allocations carry red zones) only the tracemalloc and reference-count checks
run, on fewer calls.
"""

from __future__ import annotations

import ctypes
import ctypes.util
import gc
import os
import sys
import tracemalloc
from dataclasses import dataclass, field
from typing import Callable, Iterable

# Under a sanitizer run the runtime is preloaded (see .ci/sanitize.sh).
SANITIZED = "asan" in os.environ.get("LD_PRELOAD", "") or "ASAN_OPTIONS" in os.environ

# Average growth per call above which an operation is judged to leak, beyond
# a fixed allowance for caches that fill up once (pathlib's, the json module's).
PY_BYTES_PER_CALL = 4.0
PY_SLACK = 16 << 10
HEAP_BYTES_PER_CALL = 8.0
# The resident set moves in pages and arenas; only a large climb counts.
RSS_SLACK = 8 << 20


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
        "keepcost")]


def _heap_reader() -> Callable[[], int] | None:
    """Bytes in use on the C heap (glibc's mallinfo2), or None where that cannot be read."""
    if SANITIZED or not sys.platform.startswith("linux"):
        return None
    try:
        libc = ctypes.CDLL(ctypes.util.find_library("c") or "libc.so.6")
        mallinfo2 = libc.mallinfo2
    except (OSError, AttributeError):
        return None
    mallinfo2.restype = _MallInfo2
    mallinfo2.argtypes = []

    def read() -> int:
        info = mallinfo2()
        return info.uordblks + info.hblkhd

    return read


_heap_in_use = _heap_reader()


def rss() -> int:
    """Resident set size of this process, in bytes."""
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@dataclass
class Report:
    iterations: int
    python_growth: int = 0
    heap_growth: int | None = None
    rss_growth: int | None = None
    refcount_growth: dict = field(default_factory=dict)

    def problems(self) -> list[str]:
        found = []
        if self.python_growth > max(PY_BYTES_PER_CALL * self.iterations, PY_SLACK):
            found.append(f"Python memory grew by {self.python_growth} bytes over {self.iterations} calls")
        if self.heap_growth is not None and self.heap_growth > HEAP_BYTES_PER_CALL * self.iterations:
            found.append(f"C heap grew by {self.heap_growth} bytes over {self.iterations} calls")
        if self.rss_growth is not None and self.rss_growth > RSS_SLACK:
            found.append(f"resident set grew by {self.rss_growth} bytes over {self.iterations} calls")
        for name, growth in self.refcount_growth.items():
            if growth > self.iterations // 2:
                found.append(f"reference count of {name} grew by {growth} over {self.iterations} calls")
        return found


def _run(op: Callable[[], object], n: int) -> None:
    for _ in range(n):
        op()


def _halves(op: Callable[[], object], iterations: int, read: Callable[[], tuple[int, ...]]) -> list[int]:
    """Growth of each of `read()`'s figures over `iterations` calls, judged on the calmer of two halves.

    A leak grows in both halves; a one-off event (a large dict or arena
    reallocated, a cache filling up) lands in one of them only.
    """
    half = iterations // 2
    gc.collect()
    start = read()
    _run(op, half)
    gc.collect()
    middle = read()
    _run(op, iterations - half)
    gc.collect()
    end = read()
    return [2 * min(m - s, e - m) for s, m, e in zip(start, middle, end)]


def measure(op: Callable[[], object], iterations: int = 10_000, *, watch: Iterable[object] = (),
            warmup: int | None = None) -> Report:
    """Run `op` `iterations` times (twice over: with tracemalloc, then without) and report the growth."""
    if SANITIZED:
        iterations = max(500, iterations // 5)
    warmup = max(50, iterations // 20) if warmup is None else warmup
    watch = list(watch)
    report = Report(iterations)

    _run(op, warmup)
    gc.collect()
    counts = [sys.getrefcount(obj) for obj in watch]
    tracemalloc.start()
    try:
        _run(op, warmup)  # allocations made once per process happen before the baseline
        (report.python_growth,) = _halves(op, iterations, lambda: (tracemalloc.get_traced_memory()[0],))
    finally:
        tracemalloc.stop()
    gc.collect()
    for i, obj in enumerate(watch):
        report.refcount_growth[f"watched object {i} ({type(obj).__name__})"] = sys.getrefcount(obj) - counts[i]

    if not SANITIZED:
        _run(op, warmup)
        heap = _heap_in_use
        report.rss_growth, heap_growth = _halves(op, iterations, lambda: (rss(), heap() if heap else 0))
        report.heap_growth = heap_growth if heap else None
    return report


def assert_flat(op: Callable[[], object], iterations: int = 10_000, *, watch: Iterable[object] = (),
                warmup: int | None = None) -> Report:
    """`measure`, failing with every problem found."""
    report = measure(op, iterations, watch=watch, warmup=warmup)
    problems = report.problems()
    assert not problems, "; ".join(problems)
    return report
