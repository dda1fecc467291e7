"""The application's own metrics: ``Counter``, ``Gauge``, ``Histogram`` and ``Summary``, beside the
per-route HTTP families and on the same page, added up across workers in multi-worker mode.

They take the arguments and offer the calls of prometheus_client's classes of the same names, so
that for the usual code switching is a change of import::

    from vantorel.metrics import Counter, Histogram

    JOBS = Counter("jobs_total", "Jobs done", ["queue", "outcome"])
    JOBS.labels("mail", "ok").inc()

Every family lives in the native store: in multi-worker mode (``VTR_MULTIPROC_DIR``) each worker
counts into its own file and every scrape sums all workers' files and the archive of dead ones,
like the HTTP families. The endpoints of ``vantorel.endpoint`` serve them with no change.

What differs from prometheus_client (README, "Your own metrics"): a gauge's default
``multiprocess_mode`` is ``livesum`` (modes ``all`` and ``liveall`` show live workers only);
``remove()`` and ``clear()`` work across workers; each family keeps at most ``max_series`` label
sets (1000 unless told), past which new ones count under one overflow series whose every label
reads ``<overflow>``; a label value that is a ``str`` counts by its characters (prometheus_client
calls ``str()`` on it, which differs for a ``(str, Enum)`` member); there is no ``registry``
argument, no Info or Enum, no exemplars, no ``_created`` samples and no ``set_function``.
"""

from __future__ import annotations

import logging
import math
import threading
import time as _time
from typing import (TYPE_CHECKING, Any, Dict, FrozenSet, Iterable, Sequence, Tuple, Type, Union)

from . import _native
from ._exposition import LABEL_NAME, METRIC_NAME
from ._metric_children import (CounterChild, GaugeChild, HistogramChild, SummaryChild,
                               _Exceptions, _ExceptionCounter, _InprogressTracker,
                               _MostRecentGaugeChild, _Timer)
from ._metrics_view import Families, Family, Sample, read_dir, snapshot, warn_if_refused

__all__ = [
    "DEFAULT_MAX_SERIES",
    "GAUGE_MODES",
    "MAX_BUCKETS",
    "MAX_SERIES",
    "OVERFLOW_LABEL",
    "Counter",
    "CounterChild",
    "Family",
    "Families",
    "Gauge",
    "GaugeChild",
    "Histogram",
    "HistogramChild",
    "Sample",
    "Summary",
    "SummaryChild",
    "read_dir",
    "snapshot",
    "warn_if_refused",
]

DEFAULT_MAX_SERIES = 1000
MAX_SERIES = 100000
"""A family keeps ``max_series`` label sets (1000 unless told, at most ``MAX_SERIES``) before
further ones count under its overflow series."""

OVERFLOW_LABEL = "<overflow>"
"""Every label value of a family's overflow series."""

MAX_BUCKETS = 253
"""A histogram's finite bucket bounds, at most (+Inf is one more)."""

MAX_LABELS = 64

GAUGE_MODES: FrozenSet[str] = frozenset((
    "all", "liveall", "livesum", "sum", "max", "livemax", "min", "livemin", "mostrecent",
    "livemostrecent"))
"""A gauge's ``multiprocess_mode``: how the values of several workers make one. ``live*`` modes
never show a dead worker's value; ``sum``, ``max``, ``min`` and ``mostrecent`` keep a dead
worker's last value; ``all`` and ``liveall`` show one series per live worker (label ``pid``)."""

_MOST_RECENT_MODES = frozenset(("mostrecent", "livemostrecent"))
_PER_WORKER_MODES = frozenset(("all", "liveall"))

# Prometheus's classic rules, as prometheus_client's legacy validation has them.

# The sample names a family of each kind exposes or reserves, as prometheus_client's registry
# counts them when it looks for duplicates (``_created`` included, though vantorel writes none:
# code that runs under both libraries meets the same refusals).
_SUFFIXES: Dict[str, Tuple[str, ...]] = {
    "counter": ("_total", "_created"),
    "gauge": (),
    "summary": ("_sum", "_count", "_created"),
    "histogram": ("_bucket", "_sum", "_count", "_created"),
}


def _sample_names(name: str, kind: str) -> Tuple[str, ...]:
    return (name,) + tuple(name + suffix for suffix in _SUFFIXES[kind])


# vantorel's own families, by the name each is defined under and its kind: the per-route
# families, the 13 figures of metrics_text() and the process families.
_BUILT_IN: Tuple[Tuple[str, str], ...] = (
    ("vtr_http_requests", "counter"),
    ("vtr_http_request_duration_seconds", "histogram"),
    ("vtr_http_requests_in_progress", "gauge"),
    ("vtr_http_requests_overflow", "counter"),
    ("vtr_requests", "counter"),
    ("vtr_errors", "counter"),
    ("vtr_error_rate_percent", "gauge"),
    ("vtr_latency_avg_ms", "gauge"),
    ("vtr_latency_min_ms", "gauge"),
    ("vtr_latency_max_ms", "gauge"),
    ("vtr_latency_p50_ms", "gauge"),
    ("vtr_latency_p95_ms", "gauge"),
    ("vtr_latency_p99_ms", "gauge"),
    ("vtr_process_cpu_percent", "gauge"),
    ("vtr_process_memory_rss_bytes", "gauge"),
    ("vtr_process_memory_virtual_bytes", "gauge"),
    ("vtr_process_threads", "gauge"),
    ("process_cpu_seconds", "counter"),
    ("process_resident_memory_bytes", "gauge"),
    ("process_virtual_memory_bytes", "gauge"),
    ("process_start_time_seconds", "gauge"),
    ("process_open_fds", "gauge"),
    ("process_max_fds", "gauge"),
)
# Their names as the page has them (no _created: that only keeps two application families apart).
_BUILT_IN_NAMES: FrozenSet[str] = frozenset(
    sample for name, kind in _BUILT_IN for sample in _sample_names(name, kind)
    if not sample.endswith("_created"))

_LOG = logging.getLogger("vantorel")

# Every sample name taken by a family defined in this process, and the lock of the definitions.
_TAKEN: Dict[str, str] = {}
_DEFINE_LOCK = threading.Lock()

def _full_name(kind: str, name: str, namespace: str, subsystem: str, unit: str) -> str:
    # prometheus_client's rules: namespace_subsystem_name, a counter's _total taken off (the
    # page adds it back), the unit appended unless the name already ends with it.
    for option, value in (("name", name), ("namespace", namespace), ("subsystem", subsystem),
                          ("unit", unit)):
        if not isinstance(value, str):
            raise TypeError(f"{option} must be a str, not {type(value).__name__}")
    if not name:
        raise ValueError("Metric name should not be empty")
    full = "".join(part + "_" for part in (namespace, subsystem) if part) + name
    if kind == "counter" and full.endswith("_total"):
        full = full[:-6]
    if unit and not full.endswith("_" + unit):
        full += "_" + unit
    return full


def _label_names(kind: str, labelnames: Iterable[str], mode: str) -> Tuple[str, ...]:
    if isinstance(labelnames, str):
        # tuple("queue") would be five one-letter labels.
        raise TypeError("labelnames must be a sequence of str, not a single str")
    names = tuple(labelnames)
    reserved = {"histogram": ("le",), "summary": ("quantile",)}.get(kind, ())
    if kind == "gauge" and mode in _PER_WORKER_MODES:
        reserved = ("pid",)  # such a gauge's series are labelled by the worker's pid
    for label in names:
        if not isinstance(label, str):
            raise TypeError(f"labelnames must be str, not {type(label).__name__}")
        if not LABEL_NAME.fullmatch(label):
            raise ValueError("Invalid label metric name: " + label)
        if label.startswith("__") or label in reserved:
            raise ValueError("Reserved label metric name: " + label)
    if len(set(names)) != len(names):
        raise ValueError("Duplicate label names: " + ", ".join(names))
    if len(names) > MAX_LABELS:
        raise ValueError(f"At most {MAX_LABELS} label names, not {len(names)}")
    return names


def _bounds(buckets: Sequence[Union[float, str]]) -> Tuple[float, ...]:
    """A histogram's finite upper bounds, by prometheus_client's rules: ascending, +Inf
    added when missing, at least one bucket besides it."""
    if isinstance(buckets, str):
        raise TypeError("buckets must be a sequence of numbers, not a str")
    bounds = [float(b) for b in buckets]
    if bounds != sorted(bounds):
        raise ValueError("Buckets not in sorted order")
    if bounds and bounds[-1] != math.inf:
        bounds.append(math.inf)
    if len(bounds) < 2:
        raise ValueError("Must have at least two buckets")
    finite = bounds[:-1]
    # prometheus_client takes these too, and writes pages on which one le appears twice, or a
    # bucket Prometheus cannot place.
    if any(not math.isfinite(b) for b in finite):
        raise ValueError("Bucket bounds must be finite numbers (besides the last, +Inf)")
    if len(set(finite)) != len(finite):
        raise ValueError("Bucket bounds must be distinct")
    if len(finite) > MAX_BUCKETS:
        raise ValueError(f"At most {MAX_BUCKETS} buckets besides +Inf, not {len(finite)}")
    return tuple(finite)


def _label_value(value: object) -> str:
    # A str (or subclass) counts by its characters: the fast path of labels() finds children
    # by equality, under which a str subclass equals its characters.
    return value if isinstance(value, str) else str(value)


class _Metric:
    """What the four kinds share: the definition, the children by label values, remove() and
    clear()."""

    _type = ""
    _child_type: Type[Any] = object

    def __init__(self, name: str, documentation: str, labelnames: Iterable[str] = (),
                 namespace: str = "", subsystem: str = "", unit: str = "", *,
                 max_series: int = DEFAULT_MAX_SERIES, mode: str = "livesum",
                 bounds: Tuple[float, ...] = ()) -> None:
        self._name = _full_name(self._type, name, namespace, subsystem, unit)
        self._labelnames = _label_names(self._type, labelnames, mode)
        if not METRIC_NAME.fullmatch(self._name):
            raise ValueError("invalid metric name " + self._name)
        if not isinstance(documentation, str):
            raise TypeError(f"documentation must be a str, not {type(documentation).__name__}")
        if isinstance(max_series, bool) or not isinstance(max_series, int):
            raise TypeError(f"max_series must be an int, not {type(max_series).__name__}")
        if not 1 <= max_series <= MAX_SERIES:
            raise ValueError(f"max_series must be between 1 and {MAX_SERIES}, not {max_series}")
        self._documentation = documentation
        self._max_series = max_series
        self._lock = threading.Lock()
        self._children: Dict[Tuple[str, ...], Any] = {}
        names = _sample_names(self._name, self._type)
        with _DEFINE_LOCK:
            built_in = sorted(_BUILT_IN_NAMES.intersection(names))
            if built_in:
                raise ValueError("Name used by vantorel's own metrics: " + ", ".join(built_in))
            duplicates = {n for n in names if n in _TAKEN}
            if duplicates:
                raise ValueError(f"Duplicated timeseries in CollectorRegistry: {duplicates}")
            self._family = _native.family_define(self._name, self._type, documentation,
                                                 self._labelnames, bounds, mode, max_series)
            for n in names:
                _TAKEN[n] = self._name
        if not self._labelnames:
            self._value = self._child_type(self._family, ())
            # The unlabelled metric's own calls are its child's native methods: no frame.
            for method in self._direct:
                self.__dict__[method] = getattr(self._value, method)

    _direct: Tuple[str, ...] = ()

    def __str__(self) -> str:
        return f"{self._type}:{self._name}"

    def __repr__(self) -> str:
        return f"{type(self).__module__}.{type(self).__name__}({self._name})"

    def labels(self, *labelvalues: Any, **labelkwargs: Any) -> Any:
        """The child of these label values, by position or by name: created on first use,
        then the same object, so keep it where the code runs often."""
        if not labelkwargs:
            try:
                return self._children[labelvalues]
            except (KeyError, TypeError):  # new, or unhashable (str() makes it a label)
                pass
        return self._new_child(labelvalues, labelkwargs)

    def _new_child(self, labelvalues: Tuple[Any, ...], labelkwargs: Dict[str, Any]) -> Any:
        if not self._labelnames:
            raise ValueError(f"No label names were set when constructing {self}")
        if labelvalues and labelkwargs:
            raise ValueError("Can't pass both *args and **kwargs")
        if labelkwargs:
            if sorted(labelkwargs) != sorted(self._labelnames):
                raise ValueError("Incorrect label names")
            labelvalues = tuple(labelkwargs[label] for label in self._labelnames)
        elif len(labelvalues) != len(self._labelnames):
            raise ValueError("Incorrect label count")
        key = tuple(_label_value(v) for v in labelvalues)
        with self._lock:
            child = self._children.get(key)
            if child is None:
                child = self._child_type(self._family, key)
                # Past the limit every new label set counts in the overflow series: keep no
                # more children than that, so that made-up values cannot fill the memory.
                if len(self._children) < self._max_series:
                    self._children[key] = child
        return child

    def _key(self, labelvalues: Tuple[Any, ...]) -> Tuple[str, ...]:
        if not self._labelnames:
            raise ValueError(f"No label names were set when constructing {self}")
        if len(labelvalues) != len(self._labelnames):
            raise ValueError("Incorrect label count (expected %d, got %s)"
                             % (len(self._labelnames), labelvalues))
        return tuple(_label_value(v) for v in labelvalues)

    def remove(self, *labelvalues: Any) -> None:
        """Removes one series in every worker's eyes: the page leaves it out until it changes
        again, and then shows only what changed since."""
        key = self._key(labelvalues)
        with self._lock:
            self._children.pop(key, None)
            done = _native.family_remove(self._family, key)
        if not done:
            _LOG.warning("could not remove a series of %s: the directory's list of removals "
                         "could not be written", self._name)

    def clear(self) -> None:
        """Removes every series of the family, in every worker's eyes."""
        if not self._labelnames:
            return
        with self._lock:
            self._children = {}
            done = _native.family_remove(self._family, None)
        if not done:
            _LOG.warning("could not clear %s: the directory's list of removals could not be "
                         "written", self._name)

    def _missing_labels(self) -> ValueError:
        return ValueError(f"{self._type} metric is missing label values")


class _WithoutOptions(_Metric):
    """A kind that takes no options of its own (no mode, no buckets): prometheus_client's
    arguments and ``max_series``."""

    def __init__(self, name: str, documentation: str, labelnames: Iterable[str] = (),
                 namespace: str = "", subsystem: str = "", unit: str = "", *,
                 max_series: int = DEFAULT_MAX_SERIES) -> None:
        super().__init__(name, documentation, labelnames, namespace, subsystem, unit,
                         max_series=max_series)


class Counter(_WithoutOptions):
    """A count that only goes up: ``inc(amount=1)``, ``count_exceptions()``, ``labels()``.
    Summed over workers, dead ones included. A name ending in ``_total`` is stored without it;
    the page shows ``<name>_total``."""

    _type = "counter"
    _child_type = CounterChild
    _direct = ("inc",)

    if TYPE_CHECKING:  # the base's labels(), without a frame more per call
        def labels(self, *labelvalues: Any, **labelkwargs: Any) -> CounterChild: ...

    def inc(self, amount: float = 1) -> None:
        """Adds a finite, non-negative amount."""
        raise self._missing_labels()

    def count_exceptions(self, exception: _Exceptions = Exception) -> _ExceptionCounter:
        """Counts the exceptions of that type leaving a block or a function (decorator and
        context manager)."""
        if self._labelnames:
            raise self._missing_labels()
        return _ExceptionCounter(self, exception)


class Gauge(_Metric):
    """A value that goes up and down: ``inc``, ``dec``, ``set``, ``set_to_current_time``,
    ``track_inprogress``, ``time``. ``multiprocess_mode`` says how the workers' values make one
    (``GAUGE_MODES``; ``livesum`` unless told)."""

    _type = "gauge"
    _child_type = GaugeChild
    _direct: Tuple[str, ...] = ("inc", "dec", "set")

    def __init__(self, name: str, documentation: str, labelnames: Iterable[str] = (),
                 namespace: str = "", subsystem: str = "", unit: str = "",
                 multiprocess_mode: str = "livesum", *,
                 max_series: int = DEFAULT_MAX_SERIES) -> None:
        if multiprocess_mode not in GAUGE_MODES:
            raise ValueError("Invalid multiprocess mode: " + str(multiprocess_mode))
        self._multiprocess_mode = multiprocess_mode
        if multiprocess_mode in _MOST_RECENT_MODES:
            self._child_type = _MostRecentGaugeChild
            self._direct = ("set",)
        super().__init__(name, documentation, labelnames, namespace, subsystem, unit,
                         max_series=max_series, mode=multiprocess_mode)

    if TYPE_CHECKING:  # the base's labels(), without a frame more per call
        def labels(self, *labelvalues: Any, **labelkwargs: Any) -> GaugeChild: ...

    def inc(self, amount: float = 1) -> None:
        if self._multiprocess_mode in _MOST_RECENT_MODES:
            raise RuntimeError("inc must not be used with the mostrecent mode")
        raise self._missing_labels()

    def dec(self, amount: float = 1) -> None:
        if self._multiprocess_mode in _MOST_RECENT_MODES:
            raise RuntimeError("dec must not be used with the mostrecent mode")
        raise self._missing_labels()

    def set(self, value: float) -> None:
        raise self._missing_labels()

    def set_to_current_time(self) -> None:
        self.set(_time.time())

    def track_inprogress(self) -> _InprogressTracker:
        """Up by one while a block or a function runs (decorator and context manager)."""
        if self._labelnames:
            raise self._missing_labels()
        return _InprogressTracker(self)

    def time(self) -> _Timer:
        """Sets the gauge to the seconds a block or a function took."""
        return _Timer(self, "set")


class Histogram(_Metric):
    """Observations counted in buckets: ``observe(amount)``, ``time()``. ``buckets`` are the
    upper bounds, ascending (``+Inf`` is added when missing); NaN counts in the first bucket and
    +Inf in the last, and neither adds to ``_sum``."""

    _type = "histogram"
    _child_type = HistogramChild
    _direct = ("observe",)
    DEFAULT_BUCKETS: Tuple[float, ...] = (.005, .01, .025, .05, .075, .1, .25, .5, .75, 1.0,
                                          2.5, 5.0, 7.5, 10.0, math.inf)

    def __init__(self, name: str, documentation: str, labelnames: Iterable[str] = (),
                 namespace: str = "", subsystem: str = "", unit: str = "",
                 buckets: Sequence[Union[float, str]] = DEFAULT_BUCKETS, *,
                 max_series: int = DEFAULT_MAX_SERIES) -> None:
        bounds = _bounds(buckets)
        self._upper_bounds = list(bounds) + [math.inf]
        super().__init__(name, documentation, labelnames, namespace, subsystem, unit,
                         max_series=max_series, bounds=bounds)

    if TYPE_CHECKING:  # the base's labels(), without a frame more per call
        def labels(self, *labelvalues: Any, **labelkwargs: Any) -> HistogramChild: ...

    def observe(self, amount: float) -> None:
        raise self._missing_labels()

    def time(self) -> _Timer:
        """Observes the seconds a block or a function took."""
        return _Timer(self, "observe")


class Summary(_WithoutOptions):
    """The count and the sum of observations (no quantiles, as in prometheus_client's
    multiprocess mode): ``observe(amount)``, ``time()``. Non-finite amounts are counted and
    add nothing to ``_sum``."""

    _type = "summary"
    _child_type = SummaryChild
    _direct = ("observe",)

    if TYPE_CHECKING:  # the base's labels(), without a frame more per call
        def labels(self, *labelvalues: Any, **labelkwargs: Any) -> SummaryChild: ...

    def observe(self, amount: float) -> None:
        raise self._missing_labels()

    def time(self) -> _Timer:
        """Observes the seconds a block or a function took."""
        return _Timer(self, "observe")
