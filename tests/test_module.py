import importlib
import inspect
import json
import subprocess
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

    assert cls.__module__ == "vantorel._core"
    with pytest.raises(TypeError) as exc:
        cls()
    assert str(exc.value) == f"No constructor defined for {name}"
    with pytest.raises(TypeError) as exc:
        type("Sub", (cls,), {})
    assert str(exc.value) == f"type '{name}' is not an acceptable base type"

    instance = make()
    before = instance.to_dict()
    for field in fields + ["anything_new"]:
        with pytest.raises(AttributeError):
            setattr(instance, field, 1)
    with pytest.raises(AttributeError) as exc:
        setattr(instance, fields[0], 1)
    assert str(exc.value) == f"attribute '{fields[0]}' of '{name}' objects is not writable"
    missing = f"'{name}' object has no attribute 'anything_new'"
    with pytest.raises(AttributeError) as exc:
        _ = instance.anything_new
    assert str(exc.value) == missing
    with pytest.raises(AttributeError) as exc:
        instance.anything_new = 1
    assert str(exc.value).startswith(missing)  # 3.13 adds why: "and no __dict__ for ..."
    assert instance.to_dict() == before
    assert repr(instance).startswith(f"{name}(")
    assert "\n" not in repr(instance)
    # Equal values, yet two objects: identity is all there is to compare.
    twin = make()
    assert instance != twin


# Attempts on a record and on its class, run in a child process because some of them succeed and
# leave the class changed. Each prints what it raised, or "done" when it went through.
ATTEMPTS = """
import copy, json, pickle, sys, weakref
from vantorel import _core
_core.record_request("GET", "/", 200, 1.0)
made = [_core.get_requests()[-1], _core.aggregate(), _core.snapshot()]
instance = {type(o).__name__: o for o in made}[sys.argv[1]]
cls, other = type(instance), type(made[made.index(instance) - 1])
attempts = {
    "object.__setattr__": lambda: object.__setattr__(instance, "anything_new", 1),
    "__class__ =": lambda: object.__setattr__(instance, "__class__", other),
    "del __class__": lambda: delattr(instance, "__class__"),
    "__dict__": lambda: instance.__dict__,
    "weakref": lambda: weakref.ref(instance),
    "pickle": lambda: pickle.dumps(instance),
    "pickle 0": lambda: pickle.dumps(instance, 0),
    "copy": lambda: copy.copy(instance),
    "deepcopy": lambda: copy.deepcopy(instance),
    "set class attribute": lambda: setattr(cls, "anything_new", 1),
    "replace field": lambda: setattr(cls, next(iter(instance.to_dict())), property(len)),
    "delete method": lambda: delattr(cls, "to_dict"),
}
for name, attempt in attempts.items():
    try:
        attempt()
        print(json.dumps([name, "done"]))
    except Exception as exc:
        print(json.dumps([name, f"{type(exc).__name__}: {exc}"]))
"""
PYPY = sys.implementation.name == "pypy"
CPYTHON_39 = not PYPY and sys.version_info < (3, 10)


def refusals(name):
    """What each attempt raises here: a whole message, or the class of exception where the
    interpreters word it differently; "done" where this interpreter lets it through."""
    unpicklable = f"TypeError: cannot pickle '{name}' object"
    unreferable = f"TypeError: cannot create weak reference to '{name}' object"
    return {
        "object.__setattr__": "AttributeError", "__class__ =": "TypeError",
        "del __class__": "TypeError: can't delete __class__ attribute",
        "__dict__": f"AttributeError: '{name}' object has no attribute '__dict__'",
        # PyPy lets every object of a class defined outside its core be weakly referenced.
        "weakref": "done" if PYPY else unreferable,
        "pickle": unpicklable, "pickle 0": unpicklable,
        "copy": unpicklable, "deepcopy": unpicklable,
        # CPython 3.9 has no immutable heap types; PyPy lets a class defined in C lose attributes.
        "set class attribute": "done" if CPYTHON_39 else "TypeError",
        "replace field": "done" if CPYTHON_39 else "TypeError",
        "delete method": "done" if CPYTHON_39 or PYPY else "TypeError",
    }


@pytest.mark.parametrize("cls", [c[0] for c in CLASSES], ids=CLASS_IDS)
def test_records_and_classes_stay_fixed(cls):
    child = subprocess.run([sys.executable, "-c", ATTEMPTS, cls.__name__], capture_output=True,
                           text=True, timeout=120)
    assert child.returncode == 0, child.stderr
    outcomes = dict(json.loads(line) for line in child.stdout.splitlines())
    expected = refusals(cls.__name__)
    assert list(outcomes) == list(expected)
    for attempt, outcome in outcomes.items():
        wanted = expected[attempt]
        assert (outcome if ":" in wanted else outcome.split(":")[0]) == wanted, attempt
