"""Aggregate statistics over the local store, checked against a plain-Python reference."""
import math
import struct

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from vantorel import _core

ZERO = {"total_requests": 0, "total_errors": 0, "error_rate": 0.0, "avg_latency_ms": 0.0,
        "min_latency_ms": 0.0, "max_latency_ms": 0.0, "p50_latency_ms": 0.0,
        "p95_latency_ms": 0.0, "p99_latency_ms": 0.0}


def total_order(x):
    """IEEE 754 totalOrder as an integer key: -NaN < -inf < ... < -0 < +0 < ... < inf < NaN."""
    (i,) = struct.unpack("<q", struct.pack("<d", x))
    return i ^ ((i >> 63) & 0x7FFFFFFFFFFFFFFF)


def nearest_index(n, q):
    r = (n - 1.0) * q
    whole = int(r)
    return min(whole + (1 if r - whole >= 0.5 else 0), n - 1)


def reference(requests):
    """The figures computed the slow and obvious way: a full sort."""
    n = len(requests)
    if n == 0:
        return dict(ZERO)
    errors = sum(1 for status, _ in requests if status > 399)
    total = 0.0
    for _, duration in requests:  # left to right, as recorded (no compensated summation)
        total += duration
    ordered = sorted((d for _, d in requests), key=total_order)
    return {
        "total_requests": n, "total_errors": errors, "error_rate": (errors / n) * 100.0,
        "avg_latency_ms": total / n, "min_latency_ms": ordered[0],
        "max_latency_ms": ordered[-1], "p50_latency_ms": ordered[nearest_index(n, 0.5)],
        "p95_latency_ms": ordered[nearest_index(n, 0.95)],
        "p99_latency_ms": ordered[nearest_index(n, 0.99)],
    }


def bits(figures):
    """Compare floats bit for bit, so that NaN and the sign of zero count too."""
    return {k: struct.pack("<d", v) if isinstance(v, float) else v for k, v in figures.items()}


def record_all(requests):
    for status, duration in requests:
        _core.record_request("GET", "/", status, duration)


def test_empty_store_is_all_zero():
    a = _core.aggregate()
    assert a.to_dict() == ZERO
    assert [type(v) for v in a.to_dict().values()] == [int, int] + [float] * 7
    assert repr(a) == ("AggregatedMetrics(total=0, errors=0, error_rate=0.0%, avg=0.00ms, "
                       "p50=0.00ms, p95=0.00ms, p99=0.00ms)")


@pytest.mark.parametrize("requests,expected", [
    ([(500, 12.5)], dict(total_requests=1, total_errors=1, error_rate=100.0, avg_latency_ms=12.5,
                         min_latency_ms=12.5, max_latency_ms=12.5, p50_latency_ms=12.5,
                         p95_latency_ms=12.5, p99_latency_ms=12.5)),
    ([(200, 20.0), (200, 10.0)], dict(avg_latency_ms=15.0, min_latency_ms=10.0,
                                      max_latency_ms=20.0, p50_latency_ms=20.0,
                                      p95_latency_ms=20.0, p99_latency_ms=20.0)),
    ([(200, float(i)) for i in range(1, 11)], dict(p50_latency_ms=6.0, p95_latency_ms=10.0,
                                                    p99_latency_ms=10.0)),
    ([(200, float(i)) for i in range(100, 0, -1)], dict(p50_latency_ms=51.0, p95_latency_ms=95.0,
                                                         p99_latency_ms=99.0)),
    ([(399, 1.0), (400, 1.0), (404, 1.0), (503, 1.0), (65535, 1.0), (0, 1.0)],
     dict(total_errors=4)),
    ([(500, 1.0), (500, 1.0), (200, 1.0)], dict(error_rate=66.66666666666666)),
    ([(500, 1.0), (200, 1.0), (200, 1.0)], dict(error_rate=33.33333333333333)),
], ids=["one-error", "two-either-order", "one-to-ten", "one-to-hundred", "error-threshold",
        "two-of-three", "one-of-three"])
def test_examples(requests, expected):
    record_all(requests)
    figures = _core.aggregate().to_dict()
    assert {k: figures[k] for k in expected} == expected


def test_nan_sorts_last_and_negative_first():
    record_all([(200, 5.0), (200, math.nan), (200, -3.0)])
    a = _core.aggregate()
    assert math.isnan(a.max_latency_ms) and math.isnan(a.avg_latency_ms)
    assert math.isnan(a.p99_latency_ms)
    assert a.min_latency_ms == -3.0


@settings(max_examples=200, deadline=None)
@given(st.lists(st.tuples(
    st.integers(0, 65535),
    st.one_of(st.floats(allow_nan=True, allow_infinity=True),
              st.sampled_from([0.0, -0.0, 1.0, 1.0, 2.5]),
              st.floats(0, 1e4)))))
def test_matches_the_reference(requests):
    _core.clear_requests()
    record_all(requests)
    assert bits(_core.aggregate().to_dict()) == bits(reference(requests))


def test_store_window_is_what_is_aggregated():
    _core.set_max_requests(3)
    record_all([(500, 100.0), (200, 1.0), (200, 2.0), (200, 3.0)])
    a = _core.aggregate()
    assert (a.total_requests, a.total_errors, a.max_latency_ms) == (3, 0, 3.0)


def test_instance_keeps_its_values():
    record_all([(500, 2.0)])
    a = _core.aggregate()
    record_all([(200, 100.0)])
    _core.clear_requests()
    assert (a.total_requests, a.total_errors, a.max_latency_ms) == (1, 1, 2.0)
    d = a.to_dict()
    d["total_requests"] = 99
    assert a.to_dict()["total_requests"] == 1 and a.to_dict() is not d


@pytest.mark.parametrize("requests,text", [
    ([(200, 0.125)], "AggregatedMetrics(total=1, errors=0, error_rate=0.0%, avg=0.12ms, "
                     "p50=0.12ms, p95=0.12ms, p99=0.12ms)"),
    ([(200, 0.375)], "AggregatedMetrics(total=1, errors=0, error_rate=0.0%, avg=0.38ms, "
                     "p50=0.38ms, p95=0.38ms, p99=0.38ms)"),
    ([(200, 1.005)], "AggregatedMetrics(total=1, errors=0, error_rate=0.0%, avg=1.00ms, "
                     "p50=1.00ms, p95=1.00ms, p99=1.00ms)"),
    ([(500, 10.0), (200, 20.0), (200, 20.0)],
     "AggregatedMetrics(total=3, errors=1, error_rate=33.3%, avg=16.67ms, p50=20.00ms, "
     "p95=20.00ms, p99=20.00ms)"),
    ([(500, 1.0)] + [(200, 1.0)] * 399,
     "AggregatedMetrics(total=400, errors=1, error_rate=0.2%, avg=1.00ms, p50=1.00ms, "
     "p95=1.00ms, p99=1.00ms)"),
    ([(200, math.inf), (200, -math.inf)],
     "AggregatedMetrics(total=2, errors=0, error_rate=0.0%, avg=NaNms, p50=infms, p95=infms, "
     "p99=infms)"),
], ids=["tie-down", "tie-up", "below-tie", "example", "rate-tie", "infinities"])
def test_repr(requests, text):
    record_all(requests)
    assert repr(_core.aggregate()) == text
