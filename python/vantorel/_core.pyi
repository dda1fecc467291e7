"""Type information for the native core ``vantorel._core``."""

from typing import Dict, List, Optional, Union, final

__all__: List[str]

PROMETHEUS_CONTENT_TYPE: str

class PanicException(BaseException):
    """An unexpected internal failure inside the native core."""

@final
class RequestMetric:
    """Python-facing version of `request_metrics::RequestMetric`."""

    @property
    def method(self) -> str: ...
    @property
    def path(self) -> str: ...
    @property
    def status_code(self) -> int: ...
    @property
    def duration_ms(self) -> float: ...
    @property
    def timestamp(self) -> int: ...
    def to_dict(self) -> Dict[str, Union[str, int, float]]: ...

@final
class AggregatedMetrics:
    """Python-facing version of `aggregator::AggregatedMetrics`."""

    @property
    def total_requests(self) -> int: ...
    @property
    def total_errors(self) -> int: ...
    @property
    def error_rate(self) -> float: ...
    @property
    def avg_latency_ms(self) -> float: ...
    @property
    def min_latency_ms(self) -> float: ...
    @property
    def max_latency_ms(self) -> float: ...
    @property
    def p50_latency_ms(self) -> float: ...
    @property
    def p95_latency_ms(self) -> float: ...
    @property
    def p99_latency_ms(self) -> float: ...
    def to_dict(self) -> Dict[str, Union[int, float]]: ...

@final
class Snapshot:
    @property
    def pid(self) -> int: ...
    @property
    def cpu_percent(self) -> float: ...
    @property
    def memory_rss(self) -> int: ...
    @property
    def memory_virtual(self) -> int: ...
    @property
    def threads(self) -> int: ...
    @property
    def timestamp(self) -> int: ...
    @property
    def memory_rss_mb(self) -> float: ...
    def to_dict(self) -> Dict[str, Union[int, float]]: ...

def hello() -> str: ...
def snapshot() -> Snapshot: ...
def record_request(method: str, path: str, status_code: int, duration_ms: float) -> None:
    """Records a request. Called by the Python middleware on every request."""

def get_requests() -> List[RequestMetric]:
    """Returns all recorded metrics as a Python list."""

def clear_requests() -> None:
    """Clears the store — for tests and manual resets."""

def set_max_requests(max: int) -> None:
    """Sets the maximum number of requests retained in the ring buffer.
    Once exceeded, the oldest entries are evicted first. Values < 1 clamp to 1."""

def get_max_requests() -> int:
    """Returns the current retention capacity of the request store."""

def set_multiproc_dir(dir: Optional[str] = None) -> None:
    """Enables shared multi-worker aggregation, writing this process's shard into
    `dir`. Pass `None` to disable. Usually configured via the
    `VTR_MULTIPROC_DIR` environment variable instead."""

def get_multiproc_dir() -> Optional[str]:
    """Returns the active multiproc directory, or `None` when disabled."""

def multiproc_enabled() -> bool:
    """True when multi-worker aggregation is active."""

def aggregate() -> AggregatedMetrics: ...
def metrics_text() -> str:
    """Returns all current metrics formatted as Prometheus text exposition format.
    Reads from the global request store and the current process snapshot."""

def check_alerts(
    cpu_percent: Optional[float] = None,
    memory_rss_mb: Optional[float] = None,
    memory_virtual_mb: Optional[float] = None,
) -> List[Dict[str, Union[str, float]]]:
    """Collects a snapshot of the current process and returns the alerts that fired
    as a list of dicts: `{"metric", "value", "threshold", "severity"}`. Memory
    thresholds are in megabytes. `severity` is currently always `"warning"`."""
