import importlib
import inspect
import sys

import pytest

from vantorel import _core

NAMES = [
    "hello", "snapshot", "Snapshot", "record_request", "get_requests", "clear_requests",
    "set_max_requests", "get_max_requests", "RequestMetric", "set_multiproc_dir",
    "get_multiproc_dir", "multiproc_enabled", "aggregate", "AggregatedMetrics", "metrics_text",
    "PROMETHEUS_CONTENT_TYPE", "check_alerts",
]

# (name, signature line, docstring or None)
FUNCTIONS = [
    ("hello", "()", None),
    ("snapshot", "()", None),
    ("record_request", "(method, path, status_code, duration_ms)",
     "Records a request. Called by the Python middleware on every request."),
    ("get_requests", "()", "Returns all recorded metrics as a Python list."),
    ("clear_requests", "()", "Clears the store \u2014 for tests and manual resets."),
    ("set_max_requests", "(max)",
     "Sets the maximum number of requests retained in the ring buffer.\n"
     "Once exceeded, the oldest entries are evicted first. Values < 1 clamp to 1."),
    ("get_max_requests", "()", "Returns the current retention capacity of the request store."),
    ("set_multiproc_dir", "(dir=None)",
     "Enables shared multi-worker aggregation, writing this process's shard into\n"
     "`dir`. Pass `None` to disable. Usually configured via the\n"
     "`VTR_MULTIPROC_DIR` environment variable instead."),
    ("get_multiproc_dir", "()", "Returns the active multiproc directory, or `None` when disabled."),
    ("multiproc_enabled", "()", "True when multi-worker aggregation is active."),
    ("aggregate", "()", None),
    ("metrics_text", "()",
     "Returns all current metrics formatted as Prometheus text exposition format.\n"
     "Reads from the global request store and the current process snapshot."),
    ("check_alerts", "(cpu_percent=None, memory_rss_mb=None, memory_virtual_mb=None)",
     "`check_alerts(cpu_percent=None, memory_rss_mb=None, memory_virtual_mb=None)`.\n\n"
     "Collects a snapshot of the current process and returns the alerts that fired\n"
     'as a list of dicts: `{"metric", "value", "threshold", "severity"}`. Memory\n'
     'thresholds are in megabytes. `severity` is currently always `"warning"`.'),
]


def test_registration_order_and_all():
    assert _core.__all__ == NAMES
    assert all(hasattr(_core, name) for name in NAMES)
    assert _core.__doc__ == ""
    assert _core.__name__ == "vantorel._core"


@pytest.mark.parametrize("name,signature,doc", FUNCTIONS, ids=[f[0] for f in FUNCTIONS])
def test_function_documentation(name, signature, doc):
    function = getattr(_core, name)
    assert function.__name__ == name
    assert function.__module__ == "vantorel._core"
    assert function.__text_signature__ == signature
    assert function.__doc__ == doc
    assert str(inspect.signature(function)) == signature


def test_reimport_gives_the_same_module():
    first = sys.modules.pop("vantorel._core")
    try:
        again = importlib.import_module("vantorel._core")
        assert again is first
        assert again.__all__ == NAMES
    finally:
        sys.modules["vantorel._core"] = first


def test_hello_and_constant():
    assert _core.hello() == "vantorel v0.3.0 \u2014 Kerrow core running!"
    assert _core.PROMETHEUS_CONTENT_TYPE == "text/plain; version=0.0.4; charset=utf-8"
    with pytest.raises(TypeError):
        _core.hello(1)


def test_package_reexports_the_core():
    import vantorel

    for name in NAMES:
        assert getattr(vantorel, name) is getattr(_core, name)


def test_panic_exception_is_not_an_exception():
    assert _core.PanicException.__bases__ == (BaseException,)
    assert not issubclass(_core.PanicException, Exception)
    assert "PanicException" not in _core.__all__


def make_request_metric():
    _core.record_request("GET", "/", 200, 1.0)
    return _core.get_requests()[-1]


CLASSES = [
    (_core.RequestMetric, make_request_metric,
     ["method", "path", "status_code", "duration_ms", "timestamp"]),
    (_core.AggregatedMetrics, _core.aggregate,
     ["total_requests", "total_errors", "error_rate", "avg_latency_ms", "min_latency_ms",
      "max_latency_ms", "p50_latency_ms", "p95_latency_ms", "p99_latency_ms"]),
    (_core.Snapshot, _core.snapshot,
     ["pid", "cpu_percent", "memory_rss", "memory_virtual", "threads", "timestamp",
      "memory_rss_mb"]),
]
CLASS_IDS = [c[0].__name__ for c in CLASSES]


@pytest.mark.parametrize("cls,make,fields", CLASSES, ids=CLASS_IDS)
def test_class_shape(cls, make, fields):
    name = cls.__name__
    assert cls.__qualname__ == name
    assert cls.__bases__ == (object,)
    properties = [k for k, v in vars(cls).items() if inspect.isdatadescriptor(v)
                  and k not in ("__dict__", "__weakref__")]
    assert properties == fields
    assert all(vars(cls)[f].__doc__ is None for f in fields)
    assert cls.to_dict.__doc__ is None

    with pytest.raises(TypeError) as exc:
        cls()
    assert str(exc.value) == f"No constructor defined for {name}"
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})

    instance = make()
    before = instance.to_dict()
    for field in fields + ["anything_new"]:
        with pytest.raises(AttributeError):
            setattr(instance, field, 1)
    assert instance.to_dict() == before
    assert repr(instance).startswith(f"{name}(")
    assert "\n" not in repr(instance)
    # Equal values, yet two objects: identity is all there is to compare.
    twin = make()
    assert instance != twin


@pytest.mark.skipif(sys.implementation.name != "cpython" or sys.version_info < (3, 10),
                    reason="immutable heap types need CPython 3.10 or newer")
@pytest.mark.parametrize("cls", [c[0] for c in CLASSES], ids=CLASS_IDS)
def test_class_is_immutable(cls):
    with pytest.raises(TypeError):
        cls.extra = 1
