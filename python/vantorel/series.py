"""Per-route series that Prometheus can add up across workers, pods and hosts.

The core counts every finished request under its key (method, route template, status code): a
count, a sum of durations and the 14 buckets of a latency histogram. ``text()`` renders them, with
the standard process families, in the Prometheus text format; serve it after
``vantorel.metrics_text()``:

- ``vtr_http_requests_total{method, route, status}``, a counter;
- ``vtr_http_request_duration_seconds{method, route}``, a histogram (``BUCKET_BOUNDS_SECONDS``);
- ``vtr_http_requests_in_progress{method}``, a gauge over ``METHOD_CLASSES``;
- ``vtr_http_requests_overflow_total``, the requests counted under the overflow series;
- ``process_cpu_seconds_total``, ``process_resident_memory_bytes``,
  ``process_virtual_memory_bytes``, ``process_start_time_seconds``, ``process_open_fds`` and
  ``process_max_fds``: of the process that answers the scrape, or in multi-worker mode of the
  deployment (below).

Routes are templates (``/items/{item_id}``), and ``UNMATCHED_ROUTE`` for every request that
matched no route, and methods are the standard ones (``METHOD_CLASSES``) or ``OTHER`` unless
``set_extra_methods`` names them, so that clients cannot make keys at will. Past
``get_limit()`` distinct keys in a process, further keys count under one overflow series
(method ``OTHER``, route ``<overflow>``, status ``OTHER``); the limit is 1000 unless
``set_limit`` or the ``VTR_SERIES_LIMIT`` variable (read once per process) says otherwise.

In multi-worker mode (``VTR_MULTIPROC_DIR``) each worker keeps its series in its own file
``vtr-<pid>.series`` beside its shard (a process forked after its first request writes a file of
its own), and every scrape sums the files of all workers and the archive ``vtr-series.archive``:
the first merge that finds a worker dead (or ``fold``, from the server's master) moves its series
into the archive and deletes its file. A worker is dead when no process has its pid, or the
process that has it now started at another time than the worker did (the kernel reuses pids).
The process families then describe the deployment: CPU time of every worker, dead ones' included,
memory and descriptors of the live ones, and the first worker's start. So the counters never
go backwards when workers die or the server reloads; they start from zero only in a directory
prepared anew. The archive keeps up to four times the limit in distinct keys; past that, a dead
worker's further keys join the overflow series.
"""

from __future__ import annotations

import os
import sys
from typing import Dict, List, NamedTuple, Optional, Sequence, Tuple, Union

from . import _native
from .multiproc import BUCKET_BOUNDS_MS

__all__ = [
    "ARCHIVE_NAME",
    "REMOVALS_NAME",
    "BUCKET_BOUNDS_SECONDS",
    "DURATION_FAMILY",
    "DEFAULT_LIMIT",
    "LIMIT_ENV_VAR",
    "MAX_LIMIT",
    "MAX_METHOD_LENGTH",
    "MAX_ROUTE_LENGTH",
    "METHOD_CLASSES",
    "OVERFLOW_METHOD",
    "OVERFLOW_ROUTE",
    "OVERFLOW_STATUS",
    "UNMATCHED_ROUTE",
    "Series",
    "Snapshot",
    "failure",
    "fold",
    "get_extra_methods",
    "get_duration_buckets",
    "get_limit",
    "is_series_file_name",
    "is_series_name",
    "observe",
    "read_dir",
    "set_duration_buckets",
    "set_extra_methods",
    "set_limit",
    "snapshot",
    "text",
]

UNMATCHED_ROUTE = "<unmatched>"
"""The route of every request that matched no route of the application."""

OVERFLOW_METHOD = "OTHER"
OVERFLOW_ROUTE = "<overflow>"
OVERFLOW_STATUS = "OTHER"
"""The labels of the overflow series (its status is None in ``snapshot()``)."""

DEFAULT_LIMIT: int = _native.SERIES_DEFAULT_LIMIT
MAX_LIMIT: int = _native.SERIES_MAX_LIMIT
LIMIT_ENV_VAR = "VTR_SERIES_LIMIT"

MAX_METHOD_LENGTH: int = _native.MAX_METHOD_LENGTH
MAX_ROUTE_LENGTH: int = _native.MAX_ROUTE_LENGTH
"""Methods and routes are cut to these many characters; lone surrogates become U+FFFD."""

METHOD_CLASSES: Tuple[str, ...] = _native.METHOD_CLASSES
"""The standard methods and OTHER: the in-progress gauges' methods (any other method counts as
OTHER there), and the series' method labels unless ``set_extra_methods`` adds some."""

BUCKET_BOUNDS_SECONDS: Tuple[float, ...] = tuple(bound / 1000 for bound in BUCKET_BOUNDS_MS)
"""The histogram's upper bounds (``le``), below the +Inf bucket: the shard's, in seconds."""

ARCHIVE_NAME: str = _native.SERIES_ARCHIVE_NAME
REMOVALS_NAME: str = _native.SERIES_REMOVALS_NAME
"""The directory's list of the series that remove() and clear() took off the page."""

DURATION_FAMILY: str = _native.DURATION_FAMILY
"""The name of the duration histogram, as the families that a merge left out name it."""

_PREFIX = "vtr-"
_SUFFIX = ".series"

PathLike = Union[str, "os.PathLike[str]"]


class Series(NamedTuple):
    """One key's merged series. ``buckets`` are per bucket, not cumulative, one more than the
    snapshot's ``bounds``: the last one counts the requests above ``bounds[-1]``."""

    method: str
    route: str
    status: Optional[int]  # None for the overflow series
    count: int  # type: ignore[assignment]  # the field, not tuple.count
    sum_us: int  # whole microseconds
    buckets: Tuple[int, ...]


class _SnapshotFields(NamedTuple):
    series: List[Series]  # sorted by method, route and status
    in_progress: Dict[str, int]  # by method class
    overflow: int  # requests counted under the overflow series


class Snapshot(_SnapshotFields):
    """The merged series, the requests in progress by method class and the overflow count;
    ``bounds`` (an attribute, not a field, so that the snapshot still unpacks into three) are
    the duration buckets' finite upper bounds in seconds, the layout the merge kept."""

    bounds: Tuple[float, ...] = BUCKET_BOUNDS_SECONDS


def _snapshot(value: Tuple[List[Tuple[str, str, Optional[int], int, int, Tuple[int, ...]]],
                             Dict[str, int], int, Tuple[float, ...]]) -> Snapshot:
    series, in_progress, overflow, bounds = value
    result = Snapshot([Series(*s) for s in series], in_progress, overflow)
    if bounds != BUCKET_BOUNDS_SECONDS:
        result.bounds = bounds
    return result


def observe(method: str, route: str, status_code: int, duration_ms: float) -> None:
    """Counts one finished request under (method, route, status_code); the middleware does this
    for every request (together with ``record_request``, in one call)."""
    _native.series_observe(method, route, status_code, duration_ms)


def text() -> str:
    """The per-route and process families in the Prometheus text format (0.0.4)."""
    return _native.series_text()


def snapshot() -> Snapshot:
    """The series that ``text()`` shows: this process's own while multi-worker mode is off,
    else those of every worker of the directory and its archive."""
    return _snapshot(_native.series_snapshot())


def read_dir(directory: PathLike) -> Snapshot:
    """The merged series of a shard directory, reading only: dead workers' files are counted
    but neither folded nor deleted (``python -m vantorel inspect``)."""
    return _snapshot(_native.series_read_dir(os.fspath(directory)))


def set_limit(n: int) -> None:
    """Sets how many distinct keys this process keeps before it counts under the overflow
    series (clamped to ``MAX_LIMIT``). A worker's file keeps the limit in force when it was
    created, so set it before the first request, or with ``VTR_SERIES_LIMIT``."""
    _native.series_set_limit(n)


def get_limit() -> int:
    return _native.series_get_limit()


def set_duration_buckets(bounds: Sequence[float]) -> None:
    """Sets the upper bounds (``le``, in seconds) of ``vtr_http_request_duration_seconds``'s
    buckets instead of ``BUCKET_BOUNDS_SECONDS``: 1 to 13 of them, positive and ascending
    (+Inf is implied). Call it at import of the application, in every worker, before the first
    request: a process that has counted one keeps its buckets (ValueError). The workers of a
    directory must agree: a merge keeps the first layout it meets and leaves out the series of a
    worker that counted under another, saying so once on the ``vantorel`` logger."""
    if isinstance(bounds, (str, bytes)):
        raise TypeError("bounds must be a sequence of numbers")
    _native.series_set_duration_bounds([float(bound) for bound in bounds])


def get_duration_buckets() -> Tuple[float, ...]:
    """The upper bounds of the duration buckets this process counts under, in seconds."""
    return _native.series_get_duration_bounds()


def set_extra_methods(methods: Sequence[str]) -> None:
    """Lets the series keep these methods besides the standard ones (WebDAV's ``PROPFIND``, say)
    as their own ``method`` label; requests with any other method count under ``OTHER``, so that
    clients cannot fill the series limit with made-up methods. At most 64, each of 1 to 32
    characters; replaces the earlier list. Call it in every worker (at import of the app)."""
    if isinstance(methods, str):
        raise TypeError("methods must be a sequence of str, not a single str")
    _native.series_set_methods(list(methods))
    # The middleware's body-size histograms keep each method's label once worked out.
    sizes = sys.modules.get("vantorel.middleware.sizes")
    if sizes is not None:
        sizes.forget()


def get_extra_methods() -> Tuple[str, ...]:
    return _native.series_get_methods()


def fold(directory: PathLike, pid: int) -> bool:
    """Moves the series of the dead worker ``pid`` into the directory's archive and deletes
    its file. For the server's master, when it reaps a worker (gunicorn's ``child_exit``); it
    never switches multi-worker mode on in the caller. False when there was nothing to fold
    or it cannot be done now (a later scrape does it); ValueError when ``pid`` is alive."""
    return _native.series_fold(os.fspath(directory), pid)


def failure() -> Optional[Tuple[str, int, str]]:
    """Why this worker's series stay in its own memory although multi-worker mode is on:
    (step, errno, directory), like ``vantorel._native.multiproc_failure()``; None otherwise."""
    return _native.series_failure()


def is_series_file_name(name: str) -> bool:
    """Whether a directory entry belongs to the series: a worker's file, the archive, the list
    of removals, or the temporary file of either. ``prepare_shard_dir`` deletes them with the
    shards: an earlier run's removals would hide the same series of the next run."""
    return is_series_name(name) or name in (ARCHIVE_NAME, _native.SERIES_ARCHIVE_TMP_NAME,
                                            REMOVALS_NAME, REMOVALS_NAME + ".tmp")


def is_series_name(name: str) -> bool:
    """Whether a merge reads a directory entry of this name (``vtr-*.series``)."""
    return len(name) > len(_PREFIX) + len(_SUFFIX) and name.startswith(_PREFIX) and \
        name.endswith(_SUFFIX)
