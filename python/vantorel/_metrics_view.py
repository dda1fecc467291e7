"""The application's families as the store merges them (``vantorel.metrics.snapshot()``,
``read_dir()``), and the once-per-process word about layouts that workers define differently."""

from __future__ import annotations

import logging
import os
import threading
from typing import Any, List, NamedTuple, Optional, Tuple, Union

from . import _core, _native

_LOG = logging.getLogger("vantorel")


class Sample(NamedTuple):
    """One merged series of a family. ``value``: a counter's or gauge's value, a histogram's or
    summary's sum; ``count``: a histogram's or summary's observations; ``buckets``: a
    histogram's per-bucket counts (not cumulative), +Inf's last; ``pid``: the worker of a gauge
    in mode all or liveall, else 0; the overflow series has ``overflow`` and no labels."""

    labels: Tuple[str, ...]
    pid: int
    overflow: bool
    value: float
    count: int  # type: ignore[assignment]  # the field, not tuple.count
    buckets: Tuple[int, ...]


class Family(NamedTuple):
    name: str  # as defined: a counter's without _total
    kind: str
    mode: str  # a gauge's multiprocess mode
    documentation: str
    labelnames: Tuple[str, ...]
    bounds: Tuple[float, ...]  # a histogram's finite upper bounds
    samples: List[Sample]


class Families(NamedTuple):
    families: List[Family]  # by name
    refused: Tuple[str, ...]  # families that some worker defined with another layout: left out


def _families(value: Tuple[List[Tuple[Any, ...]], Tuple[str, ...]]) -> Families:
    families, refused = value
    return Families([Family(name, kind, mode, documentation, labelnames, bounds,
                            [Sample(*s) for s in samples])
                     for name, kind, mode, documentation, labelnames, bounds, samples in families],
                    tuple(refused))


def snapshot() -> Families:
    """The families that the page shows: this process's own while multi-worker mode is off,
    else those of every worker and the archive (a merge, as a scrape does)."""
    return _families(_native.families_snapshot())


def read_dir(directory: Union[str, "os.PathLike[str]"]) -> Families:
    """The merged families of a shard directory, reading only (``python -m vantorel
    inspect``)."""
    return _families(_native.families_read_dir(os.fspath(directory)))


class _RefusedCheck:
    """Whether this process has warned about refused layouts."""

    lock = threading.Lock()
    pid = 0
    warned = False


def warn_if_refused() -> Optional[str]:
    """Logs one warning per process on the ``vantorel`` logger when some worker defined a
    family with another layout (other labels, buckets, kind or gauge mode) than the one the
    page shows, naming the families, and returns its text. In multi-worker mode only (one
    process cannot define a name twice). It reads what this process's latest merge (the page it
    last served) left out; the endpoints call it at every scrape."""
    pid = os.getpid()
    check = _RefusedCheck
    with check.lock:
        if check.pid != pid:  # a forked child looks for itself
            check.pid, check.warned = pid, False
        if check.warned:
            return None
    if not _core.multiproc_enabled():
        return None
    refused = _native.series_refused()
    if not refused:
        return None
    with check.lock:
        if check.warned:
            return None
        check.warned = True
    message = (f"process {pid}: workers define {', '.join(refused)} with different labels, "
               "buckets, kinds or gauge modes; the page shows only the layout seen first and "
               "leaves out the samples of the others. Deploy one definition to every worker")
    _LOG.warning("%s", message)
    return message
