"""record_request() beside the floor of a bare C call and beside prometheus_client's middleware
pattern; aggregate() over the full default store beside plain Python and numpy.

    python bench/bench_core.py [--quick]
"""
from __future__ import annotations

import argparse
import math
import os
import random
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import interleaved_ns, interpreter, load_floor, per_call_ns, report  # noqa: E402

import vantorel  # noqa: E402


def bench_record(quick: bool) -> None:
    loops = 20_000 if quick else 200_000
    floor = load_floor().noop4
    record = vantorel.record_request

    def floor_loop():
        for _ in range(loops):
            floor("GET", "/api/items", 200, 12.5)

    def record_loop():
        for _ in range(loops):
            record("GET", "/api/items", 200, 12.5)

    def empty_loop():
        for _ in range(loops):
            pass

    variants = {"empty": empty_loop, "floor": floor_loop, "record": record_loop}
    try:
        from prometheus_client import CollectorRegistry, Counter, Histogram
    except ImportError:
        print("  (prometheus_client not installed: peer row skipped)")
    else:
        registry = CollectorRegistry()
        counter = Counter("http_requests_total", "Requests", ["method", "path", "status"],
                          registry=registry)
        histogram = Histogram("http_request_duration_seconds", "Latency", ["method", "path"],
                              registry=registry)
        peer_loops = max(1, loops // 20)

        def peer_loop():
            for _ in range(peer_loops):
                counter.labels("GET", "/api/items", "200").inc()
                histogram.labels("GET", "/api/items").observe(0.0125)

    times = interleaved_ns(variants, loops)
    empty = times["empty"]
    floor_ns = times["floor"] - empty
    record_ns = times["record"] - empty
    rows = [("bare C call, 4 args (floor)", floor_ns, "1.00x"),
            ("vantorel.record_request", record_ns, f"{record_ns / floor_ns:.2f}x floor")]
    if "peer_loop" in locals():
        peer_ns = per_call_ns(peer_loop, peer_loops) - empty
        rows.append(("prometheus_client Counter+Histogram", peer_ns,
                     f"{peer_ns / floor_ns:.1f}x floor, {peer_ns / record_ns:.1f}x vantorel"))
    print(f"record one request ({interpreter()}), ns per call, loop overhead removed:")
    report(rows)


def reference_python(durations, statuses):
    n = len(durations)
    errors = sum(1 for s in statuses if s > 399)
    total = 0.0
    for d in durations:
        total += d
    ordered = sorted(durations)

    def pick(q):
        r = (n - 1.0) * q
        return ordered[min(int(r) + (1 if r - int(r) >= 0.5 else 0), n - 1)]

    return (n, errors, errors / n * 100.0, total / n, ordered[0], ordered[-1], pick(0.5),
            pick(0.95), pick(0.99))


def bench_aggregate(quick: bool) -> None:
    n = 10_000
    rng = random.Random(7)
    durations = [rng.lognormvariate(math.log(20), 1.0) for _ in range(n)]
    statuses = [rng.choice((200, 200, 200, 201, 404, 500)) for _ in range(n)]
    vantorel.clear_requests()
    vantorel.set_max_requests(n)
    for d, s in zip(durations, statuses):
        vantorel.record_request("GET", "/api/items/12345", s, d)
    loops = 50 if quick else 500
    aggregate = vantorel.aggregate

    def ours():
        for _ in range(loops):
            aggregate()

    python_loops = max(1, loops // 25)

    def python():
        for _ in range(python_loops):
            reference_python(durations, statuses)

    ours_us = per_call_ns(ours, loops) / 1000
    python_us = per_call_ns(python, python_loops) / 1000
    rows = [("vantorel.aggregate()", ours_us, "1.00x")]
    rows.append(("pure Python (sorted)", python_us, f"{python_us / ours_us:.1f}x vantorel"))
    try:
        import numpy as np
    except ImportError:
        print("  (numpy not installed: numpy row skipped)")
    else:
        d_arr = np.array(durations)
        s_arr = np.array(statuses)

        def numpy_loop():
            for _ in range(loops):
                k = len(d_arr)
                idx = [min(int(np.floor((k - 1.0) * q + 0.5)), k - 1) for q in (0.5, 0.95, 0.99)]
                part = np.partition(d_arr, idx)
                (d_arr.sum(), int((s_arr > 399).sum()), d_arr.min(), d_arr.max(), part[idx])

        numpy_us = per_call_ns(numpy_loop, loops) / 1000
        rows.append(("numpy (partition), data already in arrays", numpy_us,
                     f"{numpy_us / ours_us:.2f}x vantorel"))
    print(f"aggregate over {n} stored requests ({interpreter()}), us per call:")
    report(rows, "us")
    vantorel.clear_requests()
    vantorel.set_max_requests(10_000)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--quick", action="store_true", help="fewer loops, for a smoke run")
    args = parser.parse_args()
    bench_record(args.quick)
    bench_aggregate(args.quick)


if __name__ == "__main__":
    main()
