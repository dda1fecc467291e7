"""Multi-worker deployments: the shard directory's life cycle and a read-only view of it.

Each worker counts its requests into ``DIR/vtr-<pid>.shard`` once ``VTR_MULTIPROC_DIR`` names
the directory, and ``aggregate()`` / ``metrics_text()`` in any worker sum the shards of all live
workers. The server's master calls ``prepare_shard_dir`` once before it starts workers, and
``mark_process_dead`` whenever it reaps one. ``read_shard_dir`` and ``merge`` read the directory
without changing it (``python -m vantorel inspect``).

A shard (``SHARD_LAYOUT``) is 176 bytes: 22 unsigned 64-bit words in the machine's native byte
order, as the core writes them through its mapping; that is little-endian on every platform the
core runs on. In order: the ``SHARD_FIELDS`` marker (1 once initialised), pid, count, errors
(status >= 400), sum_us, min_us (``NO_MIN_US`` while empty), max_us, updated_at (Unix seconds),
then ``BUCKET_COUNT`` per-bucket counters whose upper bounds are ``BUCKET_BOUNDS_MS`` plus an
overflow bucket. This is the one definition of that layout on the Python side.
"""

from __future__ import annotations

import errno
import math
import os
import struct
from dataclasses import dataclass, field, replace
from typing import Any, Dict, Iterable, List, Optional, Sequence, Tuple, Union

__all__ = [
    "BUCKET_BOUNDS_MS",
    "BUCKET_COUNT",
    "ENV_VAR",
    "NO_MIN_US",
    "SHARD_FIELDS",
    "SHARD_LAYOUT",
    "SHARD_SIZE",
    "MergedShards",
    "ShardFile",
    "histogram_quantile",
    "is_shard_name",
    "mark_process_dead",
    "merge",
    "pack_shard",
    "prepare_shard_dir",
    "read_shard",
    "read_shard_dir",
    "shard_path",
    "unpack_shard",
]

ENV_VAR = "VTR_MULTIPROC_DIR"
BUCKET_BOUNDS_MS: Tuple[float, ...] = (1, 2, 5, 10, 25, 50, 100, 250, 500, 1000, 2500, 5000,
                                       10000)
BUCKET_COUNT = len(BUCKET_BOUNDS_MS) + 1
NO_MIN_US = 2**64 - 1
# The words before the buckets, in file order.
SHARD_FIELDS: Tuple[str, ...] = ("marker", "pid", "count", "errors", "sum_us", "min_us",
                                 "max_us", "updated_at")
# "=": native order with standard sizes and no padding, like the core's struct of u64 words.
SHARD_LAYOUT = struct.Struct(f"={len(SHARD_FIELDS) + BUCKET_COUNT}Q")
SHARD_SIZE = SHARD_LAYOUT.size
_U64 = 2**64
_PREFIX = "vtr-"
_SUFFIX = ".shard"

PathLike = Union[str, "os.PathLike[str]"]


def _directory(path: Optional[PathLike]) -> str:
    if path is None:
        value = os.environ.get(ENV_VAR, "")
        if not value.strip():
            raise ValueError(f"no shard directory given and {ENV_VAR} is not set")
        return value
    value = os.fspath(path)
    if not isinstance(value, str) or not value.strip():
        raise ValueError("the shard directory must be a non-blank str path")
    return value


def is_shard_name(name: str) -> bool:
    """Whether a merge looks at a directory entry of this name (``vtr-*.shard``)."""
    return name.startswith(_PREFIX) and name.endswith(_SUFFIX)


def pack_shard(*, marker: int = 1, pid: int = 0, count: int = 0, errors: int = 0,
               sum_us: int = 0, min_us: int = NO_MIN_US, max_us: int = 0, updated_at: int = 0,
               buckets: Optional[Iterable[int]] = None) -> bytes:
    """The 176 bytes of a shard holding these words (an empty, initialised shard by default)."""
    counts = tuple(buckets) if buckets is not None else (0,) * BUCKET_COUNT
    if len(counts) != BUCKET_COUNT:
        raise ValueError(f"a shard has {BUCKET_COUNT} buckets, not {len(counts)}")
    return SHARD_LAYOUT.pack(marker, pid, count, errors, sum_us, min_us, max_us, updated_at,
                             *counts)


def unpack_shard(data: bytes) -> Dict[str, Any]:
    """The words of the first 176 bytes of ``data`` by name, ``buckets`` as a tuple."""
    words = SHARD_LAYOUT.unpack_from(data)
    fields: Dict[str, Any] = dict(zip(SHARD_FIELDS, words))
    fields["buckets"] = words[len(SHARD_FIELDS):]
    return fields


def shard_path(pid: int, path: Optional[PathLike] = None) -> str:
    """The file in which the worker ``pid`` counts its requests."""
    return os.path.join(_directory(path), f"{_PREFIX}{int(pid)}{_SUFFIX}")


def prepare_shard_dir(path: Optional[PathLike] = None, *, export: bool = True) -> str:
    """Creates the shard directory and deletes the shard files an earlier run left in it.

    Call it once in the server's master before any worker starts: from gunicorn's
    ``on_starting`` hook, or before ``uvicorn --workers``. A worker that is given the pid of a
    dead worker would otherwise adopt that worker's counts. With ``export`` (the default) the
    directory is also put into ``os.environ["VTR_MULTIPROC_DIR"]``, so workers started from
    here inherit it. ``path`` defaults to that variable. Returns the directory.
    """
    directory = _directory(path)
    os.makedirs(directory, exist_ok=True)
    with os.scandir(directory) as entries:
        for entry in entries:
            if not is_shard_name(entry.name):
                continue
            try:
                if entry.is_dir(follow_symlinks=False):
                    continue
                os.unlink(entry.path)
            except FileNotFoundError:
                pass
    if export:
        os.environ[ENV_VAR] = directory
    return directory


def mark_process_dead(pid: int, path: Optional[PathLike] = None) -> bool:
    """Deletes the shard of a worker that has exited, so that its counts leave the totals at
    once and a later worker with the same pid starts from zero. Call it from gunicorn's
    ``child_exit`` hook. Returns whether a file was deleted."""
    try:
        os.unlink(shard_path(pid, path))
    except FileNotFoundError:
        return False
    return True


@dataclass(frozen=True)
class ShardFile:
    """One file of a shard directory as ``read_shard`` found it."""

    name: str
    size: int
    problem: Optional[str] = None  # why it is not counted, if it is not a valid shard
    marker: int = 0
    pid: int = 0
    count: int = 0
    errors: int = 0
    sum_us: int = 0
    min_us: int = NO_MIN_US
    max_us: int = 0
    updated_at: int = 0
    buckets: Tuple[int, ...] = field(default=(0,) * BUCKET_COUNT)
    alive: bool = False

    @property
    def counted(self) -> bool:
        """Whether a merge counts this file: a valid shard of a live process."""
        return self.problem is None and self.alive


def _pid_alive(pid_word: int) -> bool:
    # The same rule as the merge: signal 0 to the low 32 bits of the word. 0 and values that are
    # negative as a pid_t name no process (kill() would probe a process group instead).
    pid = pid_word & 0xFFFFFFFF
    if pid == 0 or pid >= 2**31:
        return False
    try:
        os.kill(pid, 0)
    except PermissionError:
        return True  # it exists, under another user
    except OSError as exc:
        return exc.errno == errno.EPERM
    except OverflowError:
        return False
    return True


def read_shard(file_path: PathLike) -> ShardFile:
    """Reads one shard file without changing it."""
    name = os.path.basename(os.fspath(file_path))
    try:
        with open(file_path, "rb") as handle:
            data = handle.read(SHARD_SIZE)
            size = os.fstat(handle.fileno()).st_size
    except OSError as exc:
        return ShardFile(name=name, size=0, problem=f"unreadable: {exc.strerror or exc}")
    if len(data) < SHARD_SIZE:
        return ShardFile(name=name, size=size, problem=f"short file ({len(data)} bytes)")
    shard = ShardFile(name=name, size=size, **unpack_shard(data))
    if shard.marker != 1:
        return replace(shard, problem=f"not initialised (marker {shard.marker})")
    return replace(shard, alive=_pid_alive(shard.pid))


def read_shard_dir(path: PathLike) -> List[ShardFile]:
    """Every ``vtr-*.shard`` file in the directory, sorted by pid; read-only: the files of dead
    workers are reported with ``alive=False``, not deleted. Raises OSError when the directory
    cannot be listed."""
    directory = os.fspath(path)
    shards = []
    with os.scandir(directory) as entries:
        for entry in entries:
            if is_shard_name(entry.name) and not entry.is_dir(follow_symlinks=True):
                shards.append(read_shard(entry.path))
    shards.sort(key=lambda s: (s.problem is not None, s.pid, s.name))
    return shards


@dataclass(frozen=True)
class MergedShards:
    """The sum over the counted shards and the figures that ``aggregate()`` derives from it."""

    workers: int
    count: int
    errors: int
    sum_us: int
    min_us: int
    max_us: int
    buckets: Tuple[int, ...]

    @property
    def error_rate(self) -> float:
        return self.errors / self.count * 100.0 if self.count else 0.0

    @property
    def avg_latency_ms(self) -> float:
        return self.sum_us / self.count / 1000.0 if self.count else 0.0

    @property
    def min_latency_ms(self) -> float:
        return 0.0 if not self.count or self.min_us == NO_MIN_US else self.min_us / 1000.0

    @property
    def max_latency_ms(self) -> float:
        return self.max_us / 1000.0 if self.count else 0.0

    def quantile_ms(self, q: float) -> float:
        if not self.count:
            return 0.0
        return histogram_quantile(self.buckets, q, self.max_latency_ms)


def merge(shards: Sequence[ShardFile]) -> MergedShards:
    """Sums the shards that a merge would count (valid, owner alive), as the core does: counts
    wrap modulo 2**64, the microsecond sum saturates."""
    count = errors = sum_us = max_us = workers = 0
    min_us = NO_MIN_US
    buckets = [0] * BUCKET_COUNT
    for shard in shards:
        if not shard.counted:
            continue
        workers += 1
        count = (count + shard.count) % _U64
        errors = (errors + shard.errors) % _U64
        sum_us = min(sum_us + shard.sum_us, _U64 - 1)
        min_us = min(min_us, shard.min_us)
        max_us = max(max_us, shard.max_us)
        for i, value in enumerate(shard.buckets):
            buckets[i] = (buckets[i] + value) % _U64
    return MergedShards(workers, count, errors, sum_us, min_us, max_us, tuple(buckets))


def histogram_quantile(buckets: Sequence[int], q: float, max_ms: float) -> float:
    """The quantile ``q`` (0.5 for the median) in milliseconds, interpolated linearly inside the
    bucket that holds it; the overflow bucket reaches up to the observed maximum."""
    total = float(sum(buckets))
    if total == 0:
        return 0.0
    rank = q * total
    cumulative = 0.0
    for i, value in enumerate(buckets):
        previous = cumulative
        cumulative += float(value)
        if rank <= cumulative:
            if i < len(BUCKET_BOUNDS_MS):
                lower = 0.0 if i == 0 else float(BUCKET_BOUNDS_MS[i - 1])
                upper = float(BUCKET_BOUNDS_MS[i])
            else:
                lower = float(BUCKET_BOUNDS_MS[-1])
                upper = lower if math.isnan(max_ms) else max(max_ms, lower)
            if value == 0:
                return lower
            return lower + ((rank - previous) / float(value)) * (upper - lower)
    return max_ms
