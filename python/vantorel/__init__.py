"""Request metrics, process figures and Prometheus exposition for Python web applications."""

from importlib.machinery import ModuleSpec
from types import ModuleType
from typing import Optional

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


# The package's private native entries; importing _core has registered the module.
from vantorel import _native as _native

from vantorel.endpoint import make_asgi_app, make_wsgi_app
from vantorel.metrics import Counter, Gauge, Histogram, Summary
from vantorel.middleware import DjangoRouteMiddleware, MetricsMiddleware, WSGIMetricsMiddleware
from vantorel.multiproc import mark_process_dead, prepare_shard_dir

__version__ = "0.3.0"


def _keep_one_core_module() -> None:
    """Make a repeated import of ``vantorel._core`` return the module of the first import.

    CPython asks the extension for its module again, and the extension hands back the one it
    made. PyPy instead copies the first module's attributes into a new module object, so code
    that compares module identity (or patches module attributes) would see two modules.
    """
    import importlib.abc
    import importlib.util
    import sys

    from vantorel import _core

    class _SameModule(importlib.abc.MetaPathFinder, importlib.abc.Loader):
        def find_spec(self, fullname: str, path: object,
                      target: object = None) -> Optional[ModuleSpec]:
            if fullname != _core.__name__:
                return None
            return importlib.util.spec_from_loader(fullname, self, origin=_core.__file__)

        def create_module(self, spec: ModuleSpec) -> ModuleType:
            return _core

        def exec_module(self, module: ModuleType) -> None:
            pass

    sys.meta_path.insert(0, _SameModule())


if __import__("sys").implementation.name == "pypy":
    _keep_one_core_module()

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
    "MetricsMiddleware",
    "WSGIMetricsMiddleware",
    "DjangoRouteMiddleware",
    "make_asgi_app",
    "make_wsgi_app",
    "prepare_shard_dir",
    "mark_process_dead",
    "Counter",
    "Gauge",
    "Histogram",
    "Summary",
]
