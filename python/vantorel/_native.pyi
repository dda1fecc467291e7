"""Type information for ``vantorel._native``, the package's private entries beside ``_core``."""

from typing import Dict, List, Optional, Sequence, Tuple

_Series = Tuple[str, str, Optional[int], int, int, Tuple[int, ...]]
_Merged = Tuple[List[_Series], Dict[str, int], int, Tuple[float, ...]]

BUCKET_BOUNDS_MS: Tuple[float, ...]
METHOD_CLASSES: Tuple[str, ...]
SHARD_SIZE: int
SERIES_DEFAULT_LIMIT: int
SERIES_MAX_LIMIT: int
MAX_METHOD_LENGTH: int
MAX_ROUTE_LENGTH: int
MAX_EXTRA_METHODS: int
FAMILY_DEFAULT_LIMIT: int
FAMILY_MAX_BUCKETS: int
FAMILY_MAX_LABELS: int
SERIES_ARCHIVE_NAME: str
SERIES_ARCHIVE_TMP_NAME: str
SERIES_REMOVALS_NAME: str
DURATION_FAMILY: str

def shards_sum(shards: Sequence[Sequence[int]]) -> Tuple[int, int, int, int, int, Tuple[int, ...]]:
    """The merge's sum over shards given as their 22 words each: (count, errors, sum_us,
    min_us, max_us, buckets); counts wrap modulo 2**64, the sum saturates."""

def histogram_quantile(buckets: Sequence[int], q: float, max_ms: float,
                       bounds_ms: Optional[Sequence[float]] = None) -> float:
    """The quantile q of the buckets in milliseconds, as aggregate() estimates it: the shards'
    14, or one more than the finite upper bounds bounds_ms."""

def shard_owner_alive(pid_word: int) -> bool:
    """Whether a merge counts the shard whose pid word this is: its owner's liveness."""

def multiproc_failure() -> Optional[Tuple[str, int, str]]:
    """Why multi-worker mode is off, when the last attempt to switch it on failed: a tuple
    (step, errno, directory), errno 0 where the step has none; None while the mode is on
    or was switched off on purpose."""

def live_owners(directory: str) -> List[int]:
    """The pids of the live processes that own a shard or series file in the directory, sorted,
    by the rules the merges use; reads only."""

def label_text(text: str, /) -> str:
    """The text as the series store writes it into a label: every lone surrogate replaced by
    U+FFFD (the text itself when it has none)."""

def series_start(method: str) -> None:
    """A request has begun: the in-progress gauge of its method goes up. Call it once per
    request, and series_finish() once when the request has ended."""

def series_finish(method: str, path: str, route: str, status_code: int,
                  duration_ms: float) -> None:
    """A request has ended: records it into the request store exactly as record_request(method,
    path, status_code, duration_ms) does, counts it into the series of (method, route,
    status_code), and takes it off the in-progress gauge of its method."""

def series_finish_traced(method: str, path: str, route: str, status_code: int,
                         duration_ms: float, trace_id: str, span_id: str) -> None:
    """series_finish(), keeping the request's trace (a 32-digit hex trace id, a 16-digit hex
    span id) as the exemplar of its latency bucket and of its count. Ids of another shape
    keep no exemplar; the request counts all the same."""

def series_page(openmetrics: bool, constant_labels: str) -> str:
    """series_text() in OpenMetrics (with exemplars) or in the text format 0.0.4, with the
    written label pairs constant_labels ('' for none) on every sample."""

def metrics_openmetrics() -> str:
    """metrics_text()'s thirteen figures in OpenMetrics."""

def series_set_status_classes(on: bool) -> None:
    """Counts the series by status class (2xx, 4xx, ...) instead of the exact status, in this
    process from now on; the request store keeps the exact status."""

def series_observe(method: str, route: str, status_code: int, duration_ms: float) -> None:
    """Counts one request into the series of (method, route, status_code) only. Methods are
    cut to 32 characters and routes to 256; lone surrogates become U+FFFD."""

def series_set_limit(n: int) -> None:
    """Sets how many distinct (method, route, status) keys this process keeps; requests with
    further keys count under the overflow series. Clamped to 100000. A worker's file keeps
    the limit in force when it was created."""

def series_set_methods(methods: Sequence[str]) -> None:
    """Sets the methods besides GET, HEAD, POST, PUT, DELETE, CONNECT, OPTIONS, TRACE and PATCH
    that keep their own method label in the series (a list or tuple of at most 64 str of 1 to
    32 characters); requests with any other method are counted under the method OTHER."""

def series_get_methods() -> Tuple[str, ...]:
    """The extra methods that keep their own label, as a tuple."""

def series_set_duration_bounds(bounds: Sequence[float], /) -> None:
    """Sets the duration histogram's finite upper bounds in seconds (1 to 13, positive,
    ascending), before this process counts its first request; ValueError otherwise."""

def series_get_duration_bounds() -> Tuple[float, ...]:
    """The duration histogram's finite upper bounds in force, in seconds."""

def series_get_limit() -> int:
    """The limit on distinct keys: 1000 unless set, or given by VTR_SERIES_LIMIT."""

def series_clear() -> None:
    """Empties this process's own table of series (never a file): for tests and manual resets.
    The in-progress gauges stay."""

def series_text() -> str:
    """The per-route families and the standard process families in the Prometheus text
    format, to serve after metrics_text()."""

def series_snapshot() -> _Merged:
    """The series that series_text() shows, as (series, in_progress, overflow, bounds)."""

def series_read_dir(directory: str) -> _Merged:
    """The merged series of a shard directory, in series_snapshot()'s shape, without changing
    anything in it."""

def series_fold(directory: str, pid: int) -> bool:
    """Folds the dead worker pid's series file into the directory's archive now and deletes
    it: True when done, False when there is no such file or it cannot be done now (a later
    merge does it). ValueError when the process is alive."""

def series_failure() -> Optional[Tuple[str, int, str]]:
    """Why this worker's series stay in its own memory while multi-worker mode is on: a tuple
    (step, errno, directory), errno 0 where the step has none; None otherwise."""

_Sample = Tuple[Tuple[str, ...], int, bool, float, int, Tuple[int, ...]]
_Family = Tuple[str, str, str, str, Tuple[str, ...], Tuple[float, ...], List[_Sample]]

def family_define(name: str, kind: str, documentation: str, labelnames: Tuple[str, ...],
                  buckets: Tuple[float, ...], mode: str, limit: int) -> int:
    """Defines one of the application's families in the store and returns its number."""

def family_remove(family: int, labelvalues: Optional[Tuple[str, ...]] = None) -> bool:
    """Removes one series of the family, or all of them, in every worker's eyes."""

def families_snapshot() -> Tuple[List[_Family], Tuple[str, ...]]:
    """The application's families as series_text() shows them, and the refused names."""

def series_refused() -> Tuple[str, ...]:
    """The families that this process's latest merge left out because some worker defined them
    with another layout."""

def families_read_dir(directory: str) -> Tuple[List[_Family], Tuple[str, ...]]:
    """The application's families of a shard directory, without changing anything in it."""

class CounterValue:
    def __init__(self, family: int, labelvalues: Tuple[str, ...]) -> None: ...
    def inc(self, amount: float = 1) -> None: ...
    def _values(self) -> List[float]: ...

class GaugeValue:
    def __init__(self, family: int, labelvalues: Tuple[str, ...]) -> None: ...
    def inc(self, amount: float = 1) -> None: ...
    def dec(self, amount: float = 1) -> None: ...
    def set(self, value: float) -> None: ...
    def _values(self) -> List[float]: ...

class HistogramValue:
    def __init__(self, family: int, labelvalues: Tuple[str, ...]) -> None: ...
    def observe(self, amount: float) -> None: ...
    def _values(self) -> List[float]: ...

class SummaryValue:
    def __init__(self, family: int, labelvalues: Tuple[str, ...]) -> None: ...
    def observe(self, amount: float) -> None: ...
    def _values(self) -> List[float]: ...
