"""Cost of a process snapshot and of a scrape, beside psutil and prometheus_client doing the same.

Run directly: python bench/bench_snapshot.py [--repeat N]
Prints the median time per call over the repeats and the ratio to the peer.
"""

import argparse
import random
import statistics
import sys
import timeit

import psutil
from prometheus_client import CollectorRegistry, Counter, Histogram, generate_latest
from prometheus_client.process_collector import ProcessCollector

from vantorel import _core


def median_seconds(func, number, repeat):
    return statistics.median(t / number for t in timeit.repeat(func, number=number, repeat=repeat))


def show(label, seconds):
    if seconds < 1e-3:
        text = f"{seconds * 1e9:10.0f} ns" if seconds < 1e-6 else f"{seconds * 1e6:10.2f} us"
    else:
        text = f"{seconds * 1e3:10.3f} ms"
    print(f"  {label:<52}{text}")


def compare(title, ours, peers, number, repeat):
    print(title)
    ours_label, ours_func = ours
    ours_time = median_seconds(ours_func, number, repeat)
    show(ours_label, ours_time)
    for label, func in peers:
        peer_time = median_seconds(func, number, repeat)
        show(label, peer_time)
        print(f"  {'':<52}{peer_time / ours_time:10.1f}x ours")
    print()


def psutil_snapshot(proc):
    proc.cpu_percent()
    proc.memory_info()
    proc.num_threads()


def psutil_snapshot_oneshot(proc):
    # oneshot() reads /proc/<pid>/stat once for all three figures.
    with proc.oneshot():
        proc.cpu_percent()
        proc.memory_info()
        proc.num_threads()


def middleware_registry(rng):
    """What an instrumented web app usually exports: a labelled counter and latency histogram."""
    registry = CollectorRegistry()
    requests = Counter(
        "http_requests_total", "HTTP requests", ["method", "path", "status"], registry=registry
    )
    latency = Histogram(
        "http_request_duration_seconds", "HTTP latency", ["method", "path"], registry=registry
    )
    ProcessCollector(registry=registry)
    for method in ("GET", "POST"):
        for path in ("/", "/login", "/api/items", "/api/items/{id}", "/health"):
            for status in ("200", "404", "500"):
                requests.labels(method, path, status).inc(rng.randrange(1, 1000))
            for _ in range(50):
                latency.labels(method, path).observe(rng.expovariate(1 / 0.02))
    return registry


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=7, help="timing rounds (median is shown)")
    args = parser.parse_args()
    repeat = args.repeat
    print(f"{sys.implementation.name} {sys.version.split()[0]}, median of {repeat} rounds\n")

    proc = psutil.Process()
    proc.cpu_percent()
    compare(
        "Process snapshot (CPU percent since last call, RSS and VMS, threads)",
        ("vantorel snapshot()", _core.snapshot),
        [
            ("psutil cpu_percent + memory_info + num_threads", lambda: psutil_snapshot(proc)),
            ("psutil, the same inside oneshot()", lambda: psutil_snapshot_oneshot(proc)),
        ],
        number=2000,
        repeat=repeat,
    )

    rng = random.Random(1)
    registry = middleware_registry(rng)
    _core.set_multiproc_dir(None)
    for stored in (0, 1000, 10000):
        _core.clear_requests()
        for _ in range(stored):
            status = 500 if rng.random() < 0.02 else 200
            _core.record_request("GET", "/api/items", status, rng.expovariate(1 / 20))
        compare(
            f"Scrape: vantorel metrics_text() with {stored} stored requests",
            ("vantorel metrics_text()", _core.metrics_text),
            [("prometheus_client generate_latest(registry)", lambda: generate_latest(registry))],
            number=200 if stored < 10000 else 50,
            repeat=repeat,
        )
    _core.clear_requests()
    doc, peer = _core.metrics_text(), generate_latest(registry)
    print(f"Document sizes: vantorel {len(doc)} bytes, prometheus_client {len(peer)} bytes")


if __name__ == "__main__":
    main()
