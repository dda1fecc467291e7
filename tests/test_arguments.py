"""How every function matches and converts its arguments, and what it says when they are wrong."""
import math
import sys

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from helpers import Floaty, Index, Text
from vantorel import _core


ERRORS = [
    ("missing-two", lambda: _core.record_request("GET", "/"), TypeError,
     "record_request() missing 2 required positional arguments: 'status_code' and 'duration_ms'"),
    ("missing-four", lambda: _core.record_request(), TypeError,
     "record_request() missing 4 required positional arguments: 'method', 'path', "
     "'status_code', and 'duration_ms'"),
    ("missing-one", lambda: _core.record_request("GET", "/", 200), TypeError,
     "record_request() missing 1 required positional argument: 'duration_ms'"),
    ("missing-keyword-mix", lambda: _core.record_request("GET", duration_ms=1.0), TypeError,
     "record_request() missing 2 required positional arguments: 'path' and 'status_code'"),
    ("too-many", lambda: _core.record_request("GET", "/", 200, 1.0, 5), TypeError,
     "record_request() takes 4 positional arguments but 5 were given"),
    ("too-many-one", lambda: _core.set_max_requests(1, 2), TypeError,
     "set_max_requests() takes 1 positional arguments but 2 were given"),
    ("too-many-optional", lambda: _core.check_alerts(1, 2, 3, 4), TypeError,
     "check_alerts() takes from 0 to 3 positional arguments but 4 were given"),
    ("too-many-dir", lambda: _core.set_multiproc_dir(None, None), TypeError,
     "set_multiproc_dir() takes from 0 to 1 positional arguments but 2 were given"),
    ("multiple", lambda: _core.record_request("GET", "/", 200, 1.0, method="GET"), TypeError,
     "record_request() got multiple values for argument 'method'"),
    ("unexpected", lambda: _core.record_request("GET", "/", status=200, duration_ms=1.0),
     TypeError, "record_request() got an unexpected keyword argument 'status'"),
    ("unexpected-before-missing", lambda: _core.set_max_requests(maximum=3), TypeError,
     "set_max_requests() got an unexpected keyword argument 'maximum'"),
    ("bytes-method", lambda: _core.record_request(b"GET", "/", 200, 1.0), TypeError,
     "argument 'method': 'bytes' object cannot be converted to 'PyString'"),
    ("none-path", lambda: _core.record_request("GET", None, 200, 1.0), TypeError,
     "argument 'path': 'NoneType' object cannot be converted to 'PyString'"),
    ("nested-qualname", lambda: _core.record_request(Index.__init__, "/", 200, 1.0), TypeError,
     "argument 'method': 'function' object cannot be converted to 'PyString'"),
    ("status-high", lambda: _core.record_request("GET", "/", 70000, 1.0), OverflowError,
     "out of range integral type conversion attempted"),
    ("status-negative", lambda: _core.record_request("GET", "/", -1, 1.0), OverflowError,
     "out of range integral type conversion attempted"),
    ("status-65536", lambda: _core.record_request("GET", "/", 65536, 1.0), OverflowError,
     "out of range integral type conversion attempted"),
    ("status-index-high", lambda: _core.record_request("GET", "/", Index(1 << 20), 1.0),
     OverflowError, "out of range integral type conversion attempted"),
    ("status-str", lambda: _core.record_request("GET", "/", "200", 1.0), TypeError,
     "argument 'status_code': 'str' object cannot be interpreted as an integer"),
    ("status-float", lambda: _core.record_request("GET", "/", 200.0, 1.0), TypeError,
     "argument 'status_code': 'float' object cannot be interpreted as an integer"),
    ("duration-str", lambda: _core.record_request("GET", "/", 200, "1"), TypeError,
     "argument 'duration_ms': must be real number, not str"),
    ("max-float", lambda: _core.set_max_requests(2.5), TypeError,
     "argument 'max': 'float' object cannot be interpreted as an integer"),
    ("dir-int", lambda: _core.set_multiproc_dir(3), TypeError,
     "argument 'dir': 'int' object cannot be converted to 'PyString'"),
    ("alert-str", lambda: _core.check_alerts(memory_rss_mb="1"), TypeError,
     "argument 'memory_rss_mb': must be real number, not str"),
]


@pytest.mark.parametrize("call,error,message", [e[1:] for e in ERRORS], ids=[e[0] for e in ERRORS])
def test_argument_errors(call, error, message):
    _core.record_request("GET", "/before", 200, 1.0)
    before = [r.to_dict() for r in _core.get_requests()]
    with pytest.raises(error) as exc:
        call()
    if sys.implementation.name == "pypy" and "must be real number" in message:
        # The float conversion's own words differ on PyPy; the argument prefix is ours.
        assert str(exc.value).startswith(message.split(": ")[0] + ": ")
    else:
        assert str(exc.value) == message
    assert type(exc.value) is error
    assert [r.to_dict() for r in _core.get_requests()] == before


@pytest.mark.parametrize("call", [
    lambda: _core.set_max_requests(-1),
    lambda: _core.set_max_requests(1 << 64),
    lambda: _core.record_request("GET", "/", 1 << 70, 1.0),
    lambda: _core.record_request("GET", "/", 200, 1 << 1100),
], ids=["max-negative", "max-too-big", "status-beyond-int64", "duration-beyond-double"])
def test_interpreter_overflow_errors_pass_unchanged(call):
    with pytest.raises(OverflowError) as exc:
        call()
    assert not str(exc.value).startswith("argument ")
    assert _core.get_requests() == []


def test_lone_surrogate_is_the_encoding_error():
    with pytest.raises(UnicodeEncodeError):
        _core.record_request("GET", "/\udc80", 200, 1.0)
    assert _core.get_requests() == []


def test_first_failing_argument_wins():
    with pytest.raises(TypeError) as exc:
        _core.record_request(1, 2, "x", "y")
    assert str(exc.value).startswith("argument 'method': ")


def test_renamed_type_error_keeps_the_cause():
    cause = KeyError("root")

    class Refuses:
        def __float__(self):
            try:
                raise cause
            except KeyError as inner:
                raise TypeError("no float today") from inner

    with pytest.raises(TypeError) as exc:
        _core.record_request("GET", "/", 200, Refuses())
    assert str(exc.value) == "argument 'duration_ms': no float today"
    assert exc.value.__cause__ is cause


def test_other_errors_from_conversion_propagate_unchanged():
    class Broken:
        def __index__(self):
            raise ValueError("broken index")

    with pytest.raises(ValueError, match="^broken index$"):
        _core.record_request("GET", "/", Broken(), 1.0)


@pytest.mark.parametrize("status,duration,expected_status,expected_duration", [
    (True, 1.0, 1, 1.0),
    (Index(404), 5, 404, 5.0),
    (200, True, 200, 1.0),
    (200, Floaty(), 200, 2.5),
    (200, Index(7), 200, 7.0),
    (0, -0.0, 0, -0.0),
    (65535, float("inf"), 65535, float("inf")),
], ids=["bool-status", "index-status-int-duration", "bool-duration", "float-method",
        "index-duration", "zero", "max-status-inf"])
def test_accepted_conversions(status, duration, expected_status, expected_duration):
    _core.record_request(Text("GET"), "/", status, duration)
    record = _core.get_requests()[-1]
    assert record.status_code == expected_status
    assert type(record.duration_ms) is float
    assert math.copysign(1, record.duration_ms) == math.copysign(1, expected_duration)
    assert record.duration_ms == expected_duration
    assert type(record.method) is str and record.method == "GET"


def test_keywords_in_any_order():
    _core.record_request(duration_ms=3.0, status_code=201, path="/k", method="POST")
    _core.set_max_requests(max=5)
    _core.set_multiproc_dir(dir=None)
    assert _core.check_alerts(memory_virtual_mb=None, cpu_percent=None) == []
    assert _core.get_max_requests() == 5
    assert _core.get_requests()[-1].to_dict()["path"] == "/k"


# Arbitrary objects in every position, by position and by keyword: nothing crashes, and only the
# documented exception types come out.
anything = st.one_of(
    st.none(), st.booleans(), st.integers(), st.floats(allow_nan=True), st.text(),
    st.binary(), st.lists(st.integers(), max_size=3), st.builds(Index, st.integers()),
    st.builds(Floaty), st.builds(object), st.dictionaries(st.text(), st.integers(), max_size=2),
    st.complex_numbers(), st.sampled_from([Text("x"), "\ud800", math.nan, -0.0, 2**64, -2**63]),
)
DOCUMENTED = (TypeError, OverflowError, UnicodeEncodeError)
FUZZED = {
    "record_request": ["method", "path", "status_code", "duration_ms"],
    "set_max_requests": ["max"],
    "set_multiproc_dir": ["dir"],
    "check_alerts": ["cpu_percent", "memory_rss_mb", "memory_virtual_mb"],
}


@settings(max_examples=300, deadline=None, suppress_health_check=list(HealthCheck))
@given(
    name=st.sampled_from(sorted(FUZZED)),
    positional=st.lists(anything, max_size=5),
    keywords=st.dictionaries(
        st.sampled_from(["method", "path", "status_code", "duration_ms", "max", "dir",
                         "cpu_percent", "memory_rss_mb", "memory_virtual_mb", "bogus"]),
        anything, max_size=4),
)
def test_fuzzed_arguments_raise_only_documented_errors(name, positional, keywords):
    if name == "set_multiproc_dir":
        # A text here would switch the mode on and create a directory wherever it names.
        positional = [None if isinstance(v, str) else v for v in positional]
        keywords = {k: (None if isinstance(v, str) else v) for k, v in keywords.items()}
    _core.set_multiproc_dir(None)
    _core.set_max_requests(10000)
    before = len(_core.get_requests())
    try:
        getattr(_core, name)(*positional, **keywords)
    except DOCUMENTED:
        if name == "record_request":
            assert len(_core.get_requests()) == before
    else:
        if name == "record_request":
            assert len(_core.get_requests()) == before + 1
    _core.set_multiproc_dir(None)
