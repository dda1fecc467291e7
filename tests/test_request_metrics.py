"""The bounded store of recent requests and the RequestMetric objects it hands out."""
import math
import time

import pytest

from vantorel import _core


def paths():
    return [r.path for r in _core.get_requests()]


def record(*items, status=200, duration=1.0):
    for item in items:
        _core.record_request("GET", item, status, duration)


def test_round_trip_of_one_record():
    before = int(time.time())
    _core.record_request("GET", "/x", 200, 1.5)
    after = int(time.time())
    (r,) = _core.get_requests()
    assert (r.method, r.path, r.status_code, r.duration_ms) == ("GET", "/x", 200, 1.5)
    assert before <= r.timestamp <= after
    assert type(r.timestamp) is int and type(r.status_code) is int
    assert r.to_dict() == {"method": "GET", "path": "/x", "status_code": 200,
                           "duration_ms": 1.5, "timestamp": r.timestamp}
    assert list(r.to_dict()) == ["method", "path", "status_code", "duration_ms", "timestamp"]


def test_default_limit_evicts_the_oldest():
    assert _core.get_max_requests() == 10000
    for i in range(10001):
        _core.record_request("GET", str(i), 200, 1.0)
    stored = paths()
    assert len(stored) == 10000
    assert stored[0] == "1" and stored[-1] == "10000"


@pytest.mark.parametrize("limit,expected", [(0, 1), (1, 1), (2, 2), (3, 3), (2**64 - 1, 2**64 - 1)],
                         ids=["zero-clamps", "one", "two", "three", "u64-max"])
def test_limit_clamps_and_reads_back(limit, expected):
    _core.set_max_requests(limit)
    assert _core.get_max_requests() == expected
    record("R1", "R2", "R3", "R4", "R5")
    assert paths() == ["R1", "R2", "R3", "R4", "R5"][-min(expected, 5):]


def test_lowering_evicts_at_once_and_raising_brings_nothing_back():
    record(*[f"/{i}" for i in range(10)])
    _core.set_max_requests(2)
    assert paths() == ["/8", "/9"]
    _core.set_max_requests(10)
    assert paths() == ["/8", "/9"]
    record("/10")
    assert paths() == ["/8", "/9", "/10"]


def test_clear_keeps_the_limit():
    _core.set_max_requests(7)
    record("/a", "/b")
    _core.clear_requests()
    assert _core.get_requests() == []
    assert _core.get_max_requests() == 7
    record("/c")
    assert paths() == ["/c"]


def test_wraparound_keeps_order_across_growth():
    # Interleave growth of the buffer with eviction so that the oldest record sits mid-array.
    _core.set_max_requests(5)
    record(*"abcdefg")
    _core.set_max_requests(100)
    record(*"hijklmnopqrstu")
    assert "".join(paths()) == "cdefghijklmnopqrstu"


def test_values_are_stored_unchanged():
    weird = [("", "", 0, math.nan), ("get", "/\u00e9\u4e2d\U0001f600", 65535, -3.5),
             ("PATCH", "x" * 100000, 399, math.inf), ("M", "/", 1, -0.0)]
    for item in weird:
        _core.record_request(*item)
    stored = _core.get_requests()
    for item, r in zip(weird, stored):
        assert (r.method, r.path, r.status_code) == item[:3]
        assert math.copysign(1, r.duration_ms) == math.copysign(1, item[3])
        assert r.duration_ms == item[3] or (math.isnan(item[3]) and math.isnan(r.duration_ms))


def test_lists_and_instances_are_independent_copies():
    record("/a")
    first, second = _core.get_requests(), _core.get_requests()
    assert first[0] is not second[0]
    assert first[0].to_dict() == second[0].to_dict()
    first.clear()
    _core.clear_requests()
    assert second[0].path == "/a"
    d = second[0].to_dict()
    d["path"] = "/changed"
    assert second[0].path == "/a"


def test_same_second_gives_the_same_timestamp():
    while time.time() % 1 > 0.5:  # keep both records well inside one second
        time.sleep(0.05)
    record("/1", "/2")
    a, b = _core.get_requests()
    assert a.timestamp == b.timestamp == int(time.time())


@pytest.mark.parametrize("method,path,status,duration,text", [
    ("GET", "/api/items", 200, 12.3456, "RequestMetric(GET /api/items 200 12.35ms)"),
    ("GET", "/", 200, 0.125, "RequestMetric(GET / 200 0.12ms)"),
    ("GET", "/", 200, 0.375, "RequestMetric(GET / 200 0.38ms)"),
    ("GET", "/", 200, 2.0, "RequestMetric(GET / 200 2.00ms)"),
    ("GET", "/", 200, 1.005, "RequestMetric(GET / 200 1.00ms)"),
    ("", "", 0, -0.0, "RequestMetric(  0 -0.00ms)"),
    ("POST", "/a b", 500, math.nan, "RequestMetric(POST /a b 500 NaNms)"),
    ("PUT", "/", 201, -math.inf, "RequestMetric(PUT / 201 -infms)"),
    ("PUT", "/", 201, 1e300, "RequestMetric(PUT / 201 " + format(1e300, ".2f") + "ms)"),
], ids=["example", "tie-even-down", "tie-even-up", "whole", "below-tie", "empty-negzero", "nan",
        "neg-inf", "huge"])
def test_repr(method, path, status, duration, text):
    _core.record_request(method, path, status, duration)
    assert repr(_core.get_requests()[-1]) == text
