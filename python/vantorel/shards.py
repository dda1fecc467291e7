"""A read-only view of a shard directory's shards, as ``python -m vantorel inspect`` shows them:
each file as it was found, and their sum and quantiles by the core's own rules (its liveness,
its sum, its estimate)."""

from __future__ import annotations

import os
from dataclasses import dataclass, field, replace
from typing import List, Optional, Sequence, Tuple

from . import _native
from .multiproc import (BUCKET_COUNT, NO_MIN_US, SHARD_SIZE, PathLike, is_shard_name,
                        unpack_shard)

__all__ = ["MergedShards", "ShardFile", "histogram_quantile", "merge", "read_shard",
           "read_shard_dir"]


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
    return replace(shard, alive=_native.shard_owner_alive(shard.pid))  # the merges' own rule


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
    """Sums the shards that a merge would count (valid, owner alive), by the core's own sum:
    counts wrap modulo 2**64, the microsecond sum saturates."""
    counted = [s for s in shards if s.counted]
    words = [(s.marker, s.pid, s.count, s.errors, s.sum_us, s.min_us, s.max_us, s.updated_at,
              *s.buckets) for s in counted]
    count, errors, sum_us, min_us, max_us, buckets = _native.shards_sum(words)
    return MergedShards(len(counted), count, errors, sum_us, min_us, max_us, buckets)


def histogram_quantile(buckets: Sequence[int], q: float, max_ms: float,
                       bounds_ms: Optional[Sequence[float]] = None) -> float:
    """The quantile ``q`` (0.5 for the median) in milliseconds, interpolated linearly inside the
    bucket that holds it, the overflow bucket reaching up to the observed maximum: the core's
    own estimate, as ``aggregate()`` makes it. ``bounds_ms``: the finite upper bounds of the
    buckets (one fewer than they), the shards' unless given."""
    return _native.histogram_quantile(tuple(buckets), q, max_ms,
                                      None if bounds_ms is None else tuple(bounds_ms))
