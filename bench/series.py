"""Per-route series: recording (series_observe, series_finish) beside record_request and the
floor; series_text() over 4 live workers' files of 1000 keys each, beside prometheus_client's
multiprocess generate_latest() over the same labelled series written by 4 workers; and the merge
of the same directory once it also holds an archive of 4000 keys.

    python bench/series.py [--quick]
"""
from __future__ import annotations

import os
import subprocess
import sys
import time
from typing import List

from harness import (Context, Results, Stat, Variant, child_env, loop, measure, paired_ratio,
                     run_alone, try_import, x)
from record import full_store, series_mode_switches

from vantorel import _core, _native

NAMES = dict(m="GET", p="/api/items/42", r="/api/items/{id}", s=200, d=12.5)
WORKERS = 4

# 2 methods x 100 routes x 5 statuses: 1000 keys, the default limit, in every worker's file.
KEYS = """
keys = [(m, "/api/v%d/things/{id}/r%d" % (offset, k), s) for m in ("GET", "POST")
        for k in range(100) for s in (200, 201, 404, 500, 503)]
"""

# Records 3 requests of every key (offset: which 1000 keys), prints "ready" and stays alive until
# the file STOP exists; with STOP "-" it exits at once, leaving its file to a merge to fold.
WORKER = """
import os, sys, time
from vantorel import _native
offset, stop = int(sys.argv[1]), sys.argv[2]
""" + KEYS + """
for i, (m, r, s) in enumerate(keys):
    for j in range(3):
        _native.series_observe(m, r, s, float((i * 7 + j * 13) % 3000))
print("ready", flush=True)
while stop != "-" and not os.path.exists(stop):
    time.sleep(0.05)
"""

# The same labelled series in prometheus_client's multiprocess mode: a Counter by method, route
# and status and a Histogram by method and route with the same buckets, written by 4 "workers"
# (one file set each, as the value class asks for the process id whenever it writes).
PROMETHEUS_CHILD = """
from prometheus_client import Counter, Histogram, values
worker = [0]
values.ValueClass = values.MultiProcessValue(process_identifier=lambda: worker[0])
requests = Counter("vtr_http_requests", "HTTP requests", ["method", "route", "status"])
latency = Histogram("vtr_http_request_duration_seconds", "Latency", ["method", "route"],
                    buckets=(0.001, 0.002, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1.0, 2.5,
                             5.0, 10.0, float("inf")))
offset = 0
""" + KEYS + """
for w in range({workers}):
    worker[0] = 1_000_000 + w
    for i, (m, r, s) in enumerate(keys):
        for j in range(3):
            requests.labels(m, r, str(s)).inc()
            latency.labels(m, r).observe(((i * 7 + j * 13) % 3000) / 1000.0)
"""


def start_workers(directory: str, offsets: List[int], stop: str) -> List[subprocess.Popen]:
    workers = [subprocess.Popen([sys.executable, "-c", WORKER, str(offset), stop],
                                env=child_env(VTR_MULTIPROC_DIR=directory),
                                stdout=subprocess.PIPE) for offset in offsets]
    for proc in workers:
        assert proc.stdout.readline() == b"ready\n"
    return workers


def prometheus_registry(ctx: Context):
    prometheus_client = try_import("prometheus_client")
    if prometheus_client is None:
        return None
    from prometheus_client.multiprocess import MultiProcessCollector
    directory = os.path.join(ctx.workdir, "prometheus-series")
    os.makedirs(directory)
    subprocess.run([sys.executable, "-c", PROMETHEUS_CHILD.replace("{workers}", str(WORKERS))],
                   env=child_env(PROMETHEUS_MULTIPROC_DIR=directory), check=True)
    registry = prometheus_client.CollectorRegistry()
    MultiProcessCollector(registry, path=directory)
    return prometheus_client.generate_latest, registry


def recording(ctx: Context, results: Results, table) -> float:
    full_store()  # the ring's steady state: every record rewrites the oldest slot
    _native.series_clear()
    mode_on, mode_off = series_mode_switches(os.path.join(ctx.workdir, "series-record"))

    observe = "observe(m, r, s, d)"
    finish = "finish(m, p, r, s, d)"
    f = dict(record=_core.record_request, observe=_native.series_observe,
             finish=_native.series_finish, start=_native.series_start, floor=ctx.floor.noop4,
             **NAMES)
    variants = {
        "empty": Variant(loop("pass")),
        "floor": Variant(loop("floor(m, p, s, d)", **f)),
        "record": Variant(loop("record(m, p, s, d)", **f)),
        "observe": Variant(loop(observe, **f)),
        "finish": Variant(loop(finish, **f)),
        "start_finish": Variant(loop("start(m); " + finish, **f)),
        "record_on": Variant(loop("record(m, p, s, d)", **f), mode_on, mode_off),
        "observe_on": Variant(loop(observe, **f), mode_on, mode_off),
        "finish_on": Variant(loop(finish, **f), mode_on, mode_off),
    }
    t = measure(variants, ctx.repeats, ctx.target_s)
    _core.set_multiproc_dir(None)
    net = {k: v.minus(t["empty"]) for k, v in t.items() if k != "empty"}

    def over(key, other):
        return paired_ratio(t, key, other, "empty")

    table.add("series_floor", "floor: no-op C function, four arguments", net["floor"],
              "1.00× floor", "floor")
    table.add("series_record", "record_request(), for comparison", net["record"],
              f"{x(over('record', 'floor'))} floor", "part")
    rows = [("series_observe", "observe", "series_observe(), the series only"),
            ("series_finish", "finish", "series_finish(): the ring and the series"),
            ("series_start_finish", "start_finish",
             "series_start() + series_finish(): a request's two calls")]
    for key, name, label in rows:
        ratio = over(name, "record")
        table.add(key, label, net[name], f"{x(ratio)} record_request()", ratio=ratio)
    for name, label in (("record_on", "record_request(), multi-worker mode on"),
                        ("observe_on", "series_observe(), multi-worker mode on"),
                        ("finish_on", "series_finish(), multi-worker mode on")):
        ratio = over(name, "record_on")
        kind = "part" if name == "record_on" else "vantorel"
        compare = "" if name == "record_on" else f"{x(ratio)} record_request(), mode on"
        table.add(f"series_{name}", label, net[name], compare, kind, ratio=ratio)
    _native.series_clear()
    _core.clear_requests()
    return over("observe", "record")


def section(ctx: Context, results: Results) -> None:
    table = results.table("series", "Per-route series: recording, the exposition, the merge")
    observe_ratio = recording(ctx, results, table)

    live_dir = os.path.join(ctx.workdir, "series-live")
    archive_dir = os.path.join(ctx.workdir, "series-archive")
    stop = os.path.join(ctx.workdir, "series-stop")
    workers = []
    try:
        workers += start_workers(live_dir, [0] * WORKERS, stop)
        # Four workers with 1000 keys of their own each have died: the first merge folds their
        # files into an archive of 4000 keys. Then four live workers as above.
        for proc in start_workers(archive_dir, [1, 2, 3, 4], "-"):
            proc.wait()
        workers += start_workers(archive_dir, [0] * WORKERS, stop)
        _core.set_multiproc_dir(archive_dir)
        begin = time.perf_counter_ns()
        folded = _native.series_snapshot()
        first_ns = time.perf_counter_ns() - begin
        assert len(folded[0]) == 5000 and os.path.exists(
            os.path.join(archive_dir, "vtr-series.archive"))
        _core.set_multiproc_dir(None)

        def switch_to(directory):
            def switch():
                _core.set_multiproc_dir(directory)
                _native.series_failure()
            return switch

        def off():
            _core.set_multiproc_dir(None)

        variants = {
            "text": Variant(loop("f()", f=_native.series_text), switch_to(live_dir), off),
            "snapshot": Variant(loop("f()", f=_native.series_snapshot), switch_to(live_dir), off),
            "archive": Variant(loop("f()", f=_native.series_text), switch_to(archive_dir), off),
        }
        peer = prometheus_registry(ctx)
        if peer is not None:
            generate_latest, registry = peer
            variants["prometheus"] = Variant(loop("f(r)", f=generate_latest, r=registry),
                                             every=5)
        t = measure(variants, ctx.repeats // 4 + 1, ctx.target_s * 5)
        _core.set_multiproc_dir(live_dir)
        size = len(_native.series_text())
        _core.set_multiproc_dir(None)
    finally:
        with open(stop, "w"):
            pass
        for proc in workers:
            proc.wait()
        _core.set_multiproc_dir(None)

    table.add("series_text", f"series_text(), {WORKERS} live workers × 1000 keys ({size:,} bytes)",
              t["text"])
    share = paired_ratio(t, "snapshot", "text")
    table.add("series_snapshot", "series_snapshot(), the same merge as Python data",
              t["snapshot"], f"{share:.0%} of series_text()", "part", ratio=share)
    dearer = float("nan")
    if "prometheus" in t:
        dearer = paired_ratio(t, "prometheus", "text")
        table.add("series_prometheus", f"prometheus_client multiprocess generate_latest(), "
                  f"{WORKERS} workers, the same series", t["prometheus"],
                  f"{x(dearer)} vantorel", "peer", ratio=dearer)
    with_archive = paired_ratio(t, "archive", "text")
    table.add("series_archive", "series_text(), the same 4 live workers and an archive of "
              "4000 keys", t["archive"], f"{x(with_archive)} without the archive",
              ratio=with_archive)
    table.add("series_first_fold", "the first merge there: folds 4 dead workers' files",
              Stat.of([first_ns]), "once")
    table.print()
    results.goal("series_observe against record_request", "≤ 1.5×", x(observe_ratio),
                 observe_ratio <= 1.5)
    if "prometheus" in t:
        results.goal("series_text(), 4 workers × 1000 keys, against prometheus_client's "
                     "multiprocess generate_latest()", "≥ 50× cheaper", x(dearer),
                     dearer >= 50)
    else:
        results.goal("series_text() against prometheus_client", "≥ 50× cheaper",
                     "prometheus_client not installed", None)


if __name__ == "__main__":
    run_alone("series")
