"""Percentiles of large and awkward stores, against a full sort: the selection counts the keys into
slices, gathers the slices that hold the percentiles and narrows large ones by further rounds."""
import math
import random
import struct

import pytest

from vantorel import _core


def total_order(x):
    (i,) = struct.unpack("<q", struct.pack("<d", x))
    return i ^ ((i >> 63) & 0x7FFFFFFFFFFFFFFF)


def bits(x):
    return struct.pack("<d", x)


def nearest(ordered, q):
    r = (len(ordered) - 1.0) * q
    whole = int(r)
    return ordered[min(whole + (1 if r - whole >= 0.5 else 0), len(ordered) - 1)]


def expected(durations):
    ordered = sorted(durations, key=total_order)
    return [bits(v) for v in (ordered[0], ordered[-1], nearest(ordered, 0.5),
                              nearest(ordered, 0.95), nearest(ordered, 0.99))]


def measured():
    a = _core.aggregate()
    return [bits(v) for v in (a.min_latency_ms, a.max_latency_ms, a.p50_latency_ms,
                              a.p95_latency_ms, a.p99_latency_ms)]


def shuffled(values, seed=3):
    random.Random(seed).shuffle(values)
    return values


N = 30_000
SPECIALS = [math.nan, -math.nan, math.inf, -math.inf, 0.0, -0.0, -1.0, 5e-324, 1e-300, 1e300]


def tail_heavy():
    # Most keys below a microsecond or past 70 minutes: the first and last slices are the large
    # ones.
    rng = random.Random(5)
    values = [rng.choice(SPECIALS) * rng.random() for _ in range(N // 2)]
    values += [rng.choice([1e-9, 1e9, -1e9]) * (1 + rng.random()) for _ in range(N // 2)]
    values += [math.nan, -math.nan, math.inf, -math.inf, -0.0]
    return shuffled(values)


CASES = {
    # Every key in one slice of the first round (a sixty-fourth of the 8-16 ms binade).
    "one-slice": lambda: shuffled([10.0 + k * 1e-9 for k in range(N)]),
    # Neighbouring doubles only: the rounds narrow down to single key values.
    "adjacent-doubles": lambda: shuffled([1.0 + k * 2.0 ** -52 for k in range(N)]),
    "three-values": lambda: shuffled([1.0, 2.0, 3.0] * (N // 3)),
    "tails": tail_heavy,
    # The three percentiles in three different slices far apart.
    "far-apart": lambda: shuffled([1.0] * (N // 2) + [500.0 + k for k in range(N // 2 - 400)]
                                  + [9e5 + k for k in range(400)]),
    "lognormal-100k": lambda: [random.Random(9).lognormvariate(math.log(20), 1.5)
                               for _ in range(100_000)],
    "descending": lambda: [float(N - k) for k in range(N)],
}


@pytest.mark.parametrize("name", list(CASES), ids=list(CASES))
def test_matches_a_full_sort(name):
    durations = CASES[name]()
    _core.set_max_requests(len(durations))
    record = _core.record_request
    for d in durations:
        record("GET", "/", 200, d)
    assert measured() == expected(durations)


def test_a_window_that_wrapped_around_the_ring():
    # The store's oldest records sit mid-array; the selection sees the durations oldest first.
    _core.set_max_requests(20_000)
    durations = [random.Random(11).expovariate(0.1) for _ in range(45_000)]
    for d in durations:
        _core.record_request("GET", "/", 200, d)
    window = durations[-20_000:]
    assert measured() == expected(window)
    a = _core.aggregate()
    total = 0.0
    for d in window:
        total += d
    assert bits(a.avg_latency_ms) == bits(total / len(window))
