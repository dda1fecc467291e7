"""Request metrics, process figures and Prometheus exposition for Python web applications."""

from vantorel._core import (
    PROMETHEUS_CONTENT_TYPE,
    AggregatedMetrics,
    PanicException,
    RequestMetric,
    Snapshot,
    aggregate,
    check_alerts,
    clear_requests,
    get_max_requests,
    get_multiproc_dir,
    get_requests,
    hello,
    metrics_text,
    multiproc_enabled,
    record_request,
    set_max_requests,
    set_multiproc_dir,
    snapshot,
)

__version__ = "0.3.0"

__all__ = [
    "hello",
    "snapshot",
    "Snapshot",
    "record_request",
    "get_requests",
    "clear_requests",
    "set_max_requests",
    "get_max_requests",
    "RequestMetric",
    "set_multiproc_dir",
    "get_multiproc_dir",
    "multiproc_enabled",
    "aggregate",
    "AggregatedMetrics",
    "metrics_text",
    "PROMETHEUS_CONTENT_TYPE",
    "check_alerts",
    "PanicException",
]
