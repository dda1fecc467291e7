"""record_request per call, the Python loop taken off, beside a no-op C call of the same shape, a
plain Python ring buffer and prometheus_client's labelled Counter and Histogram.

    python bench/record.py [--quick]
"""
from __future__ import annotations

import collections
import os
import sys
import time

from harness import (Context, Results, Variant, child_env, loop, measure, measure_in_child,
                     paired_ratio, run_alone, try_import, x)

from vantorel import _core, _native

NAMES = dict(m="GET", p="/api/items", s=200, d=12.5)


def prometheus_pattern(prometheus_client, registry=None):
    """What a prometheus_client middleware does per request: a labelled Counter and Histogram."""
    registry = registry if registry is not None else prometheus_client.CollectorRegistry()
    requests = prometheus_client.Counter(
        "http_requests_total", "HTTP requests", ["method", "path", "status"], registry=registry)
    latency = prometheus_client.Histogram(
        "http_request_duration_seconds", "HTTP latency", ["method", "path"], registry=registry)

    def observe(method, path, status_code, duration_ms):
        requests.labels(method, path, str(status_code)).inc()
        latency.labels(method, path).observe(duration_ms / 1000.0)

    return registry, observe


def deque_store(limit: int = 10_000):
    """The simplest competitor: a plain Python ring buffer of tuples."""
    ring = collections.deque(maxlen=limit)
    now = time.time

    def record(method, path, status_code, duration_ms):
        ring.append((method, path, status_code, duration_ms, int(now())))

    return record


def series_mode_switches(directory: str):
    """Multi-worker mode on (in `directory`) and off, each with the series store following it
    there and then, not in the first timed call."""

    def mode_on() -> None:
        _core.set_multiproc_dir(directory)
        _native.series_failure()

    def mode_off() -> None:
        _core.set_multiproc_dir(None)
        _native.series_failure()

    return mode_on, mode_off


def full_store() -> None:
    """A full store: the steady state of a running application."""
    _core.set_multiproc_dir(None)
    _core.clear_requests()
    _core.set_max_requests(10_000)
    for i in range(10_000):
        _core.record_request("GET", f"/warm/{i}", 200, 1.0)


# prometheus_client picks its multiprocess mode at import, so that contender runs in a child, and
# record_request takes its turns beside it there.
PROMETHEUS_MULTIPROC_CHILD = """
import prometheus_client
from vantorel import _core
from record import NAMES, full_store, prometheus_pattern
full_store()
_, observe = prometheus_pattern(prometheus_client)
variants = {"empty": Variant(loop("pass")),
            "off": Variant(loop("record(m, p, s, d)", record=_core.record_request, **NAMES)),
            "prometheus_mp": Variant(loop("observe(m, p, s, d)", observe=observe, **NAMES))}
"""


def section(ctx: Context, results: Results) -> None:
    table = results.table("record", "record_request, per call")
    full_store()
    shard_dir = os.path.join(ctx.workdir, "record-shards")

    def mode_on():
        _core.set_multiproc_dir(shard_dir)

    def mode_off():
        _core.set_multiproc_dir(None)

    record = _core.record_request
    noop4 = ctx.floor.noop4
    variants = {
        "empty": Variant(loop("pass")),
        "empty_fresh": Variant(loop("f'/api/items/{i}'")),
        "floor": Variant(loop("floor(m, p, s, d)", floor=noop4, **NAMES)),
        "floor_fresh": Variant(loop("floor(m, f'/api/items/{i}', s, d)", floor=noop4, **NAMES)),
        "deque": Variant(loop("store(m, p, s, d)", store=deque_store(), **NAMES)),
        "off": Variant(loop("record(m, p, s, d)", record=record, **NAMES)),
        "off_fresh": Variant(loop("record(m, f'/api/items/{i}', s, d)", record=record, **NAMES)),
        "on": Variant(loop("record(m, p, s, d)", record=record, **NAMES), mode_on, mode_off),
        "on_fresh": Variant(loop("record(m, f'/api/items/{i}', s, d)", record=record, **NAMES),
                            mode_on, mode_off),
    }
    prometheus_client = try_import("prometheus_client")
    if prometheus_client is not None:
        _, observe = prometheus_pattern(prometheus_client)
        variants["prometheus"] = Variant(loop("observe(m, p, s, d)", observe=observe, **NAMES))
    t = measure(variants, ctx.repeats, ctx.target_s)
    _core.set_multiproc_dir(None)
    _core.clear_requests()

    def empty_of(key):
        return "empty_fresh" if key.endswith("_fresh") else "empty"

    def floor_of(key):
        return "floor_fresh" if key.endswith("_fresh") else "floor"

    # Ratios to the floor are taken within each repeat (see paired_ratio), the loop taken off.
    net = {k: v.minus(t[empty_of(k)]) for k, v in t.items() if not k.startswith("empty")}
    ratio = {k: paired_ratio(t, k, floor_of(k), empty_of(k)) for k in net}
    table.add("floor", "floor: no-op C function, same four arguments", net["floor"],
              "1.00× floor", "floor")
    table.add("floor_fresh", "floor, path built per call", net["floor_fresh"], "1.00× floor",
              "floor")
    table.add("deque", "plain Python deque ring buffer", net["deque"],
              f"{x(ratio['deque'])} floor", "peer", ratio=ratio["deque"])
    labels = {"off": "vantorel, multi-worker mode off", "on": "vantorel, multi-worker mode on"}
    for mode in ("off", "on"):
        table.add(mode, labels[mode], net[mode], f"{x(ratio[mode])} floor", ratio=ratio[mode])
        fresh = mode + "_fresh"
        table.add(fresh, labels[mode] + ", path built per call", net[fresh],
                  f"{x(ratio[fresh])} floor", ratio=ratio[fresh])
    if "prometheus" in net:
        dearer = paired_ratio(t, "prometheus", "off", "empty")
        table.add("prometheus", "prometheus_client Counter + Histogram", net["prometheus"],
                  f"{x(dearer)} vantorel", "peer", ratio=dearer)
    if prometheus_client is not None:
        directory = os.path.join(ctx.workdir, "prometheus-record")
        os.makedirs(directory)
        child = measure_in_child(PROMETHEUS_MULTIPROC_CHILD, ctx.repeats, ctx.target_s,
                                 child_env(PROMETHEUS_MULTIPROC_DIR=directory))
        dearer_mp = paired_ratio(child, "prometheus_mp", "off", "empty")
        table.add("prometheus_mp", "prometheus_client, multiprocess mode",
                  child["prometheus_mp"].minus(child["empty"]),
                  f"{x(dearer_mp)} vantorel (both in a child process)", "peer", ratio=dearer_mp)
    table.print()

    if sys.implementation.name == "pypy":
        results.goal("record_request on PyPy, mode off", "≤ 1.5× PyPy's floor",
                     x(ratio["off"]), ratio["off"] <= 1.5)
    else:
        results.goal("record_request, mode off", "≤ 2.5× floor", x(ratio["off"]),
                     ratio["off"] <= 2.5)
        results.goal("record_request, mode on", "≤ 3.5× floor", x(ratio["on"]),
                     ratio["on"] <= 3.5)
        if "prometheus" in net:
            results.goal("prometheus_client pattern against record_request", "≥ 50× dearer",
                         x(dearer), dearer >= 50)


if __name__ == "__main__":
    run_alone("record")
