"""The application's own metrics (vantorel.metrics): a Counter's inc() on a child the caller keeps
and through labels() at every call, beside record_request and prometheus_client in its
single-process and multiprocess modes; then the page over 10 000 series written by 8 live workers
plus an archive of 500 dead ones, beside prometheus_client's multiprocess generate_latest() over
the same series in its files.

    python bench/metrics.py [--quick]
"""
from __future__ import annotations

import os
import subprocess
import sys
import time

from harness import (Context, Results, Stat, Variant, child_env, loop, measure, measure_in_child,
                     paired_ratio, run_alone, try_import, x)
from record import NAMES, full_store, series_mode_switches

from vantorel import _core, _native
from vantorel.metrics import Counter

LABELS = dict(r="/api/items/{id}")  # and NAMES["m"]

# The same labelled Counter in every contender: by method and route, one child kept.
PROMETHEUS_MULTIPROC_CHILD = """
import prometheus_client
from vantorel.metrics import Counter
ours = Counter("bench_requests", "Requests", ["method", "route"])
theirs = prometheus_client.Counter("peer_requests", "Requests", ["method", "route"])
f = dict(ours=ours, kept=ours.labels("GET", "/api/items/{id}"), theirs=theirs,
         their_kept=theirs.labels("GET", "/api/items/{id}"), m="GET", r="/api/items/{id}")
variants = {"empty": Variant(loop("pass")),
            "kept": Variant(loop("kept.inc()", **f)),
            "labels": Variant(loop("ours.labels(m, r).inc()", **f)),
            "their_kept": Variant(loop("their_kept.inc()", **f)),
            "their_labels": Variant(loop("theirs.labels(m, r).inc()", **f))}
"""

# Families of 10 000 series in all (SERIES), in the proportions of an application's: a counter
# by queue and outcome (half of them), a histogram with the default buckets (a tenth), a livesum
# gauge and a summary (a fifth each). Every live worker writes all of them; each dead worker
# wrote 40 of them (the gauge's leave with a dead worker in both libraries).
FAMILIES = """
import os, sys, time
n = int(sys.argv[1]) // 10
if os.environ.get("PROMETHEUS_MULTIPROC_DIR"):
    from prometheus_client import Counter, Gauge, Histogram, Summary, values
    extra = {}
else:
    from vantorel.metrics import Counter, Gauge, Histogram, Summary
    extra = {"max_series": 10 * n}
JOBS = Counter("bench_jobs", "Jobs", ["queue", "outcome"], **extra)
SECONDS = Histogram("bench_job_seconds", "Job time", ["queue"], **extra)
DEPTH = Gauge("bench_queue_depth", "Depth", ["queue"], multiprocess_mode="livesum", **extra)
SIZES = Summary("bench_payload_bytes", "Payloads", ["queue"], **extra)

def write_all():
    for i in range(n):
        for o in range(5):
            JOBS.labels("q%d" % i, "o%d" % o).inc(i + o)
        SECONDS.labels("q%d" % i).observe((i % 100) / 10.0)
        for k in range(2):
            DEPTH.labels("q%d.%d" % (i, k)).set(i)
            SIZES.labels("q%d.%d" % (i, k)).observe(i * 10)

def write_dead(w):
    for k in range(20):
        JOBS.labels("q%d" % ((w * 7 + k) % n), "o%d" % (k % 5)).inc()
    for k in range(10):
        SECONDS.labels("q%d" % ((w * 3 + k) % n)).observe(k / 10.0)
        SIZES.labels("q%d.%d" % ((w + k) % n, k % 2)).observe(k)
"""

# vantorel: forked workers, as a pre-forking server makes them. The dead ones exit at once; the
# live ones write every series and stay until the file STOP exists.
OURS = FAMILIES + """
series, dead, live, stop = sys.argv[1:]
for w in range(int(dead)):
    pid = os.fork()
    if pid == 0:
        write_dead(w)
        os._exit(0)
    os.waitpid(pid, 0)
ready_r, ready_w = os.pipe()
children = []
for w in range(int(live)):
    pid = os.fork()
    if pid == 0:
        write_all()
        os.write(ready_w, b"x")
        while not os.path.exists(stop):
            time.sleep(0.05)
        os._exit(0)
    children.append(pid)
for _ in children:
    os.read(ready_r, 1)
print("ready", flush=True)
for pid in children:
    os.waitpid(pid, 0)
"""

# prometheus_client: one process that writes each worker's files in turn (the value class asks
# for the process id whenever it writes), as bench/series.py does.
THEIRS = FAMILIES + """
series, dead, live = sys.argv[1:4]
worker = [0]
values.ValueClass = values.MultiProcessValue(process_identifier=lambda: worker[0])

for w in range(int(dead)):
    worker[0] = 2_000_000 + w
    write_dead(w)
for w in range(int(live)):
    worker[0] = 1_000_000 + w
    write_all()
"""


def recording(ctx: Context, table) -> dict:
    full_store()  # record_request in its steady state, as bench/record.py has it
    mode_on, mode_off = series_mode_switches(os.path.join(ctx.workdir, "metrics-record"))

    ours = Counter("bench_requests", "Requests", ["method", "route"])
    f = dict(record=_core.record_request, ours=ours, kept=ours.labels("GET", LABELS["r"]),
             floor=ctx.floor.noop4, **NAMES, **LABELS)
    variants = {
        "empty": Variant(loop("pass")),
        "floor": Variant(loop("floor(m, p, s, d)", **f)),
        "record": Variant(loop("record(m, p, s, d)", **f)),
        "kept": Variant(loop("kept.inc()", **f)),
        "labels": Variant(loop("ours.labels(m, r).inc()", **f)),
        "record_on": Variant(loop("record(m, p, s, d)", **f), mode_on, mode_off),
        "kept_on": Variant(loop("kept.inc()", **f), mode_on, mode_off),
        "labels_on": Variant(loop("ours.labels(m, r).inc()", **f), mode_on, mode_off),
    }
    prometheus_client = try_import("prometheus_client")
    if prometheus_client is not None:
        theirs = prometheus_client.Counter("peer_requests", "Requests", ["method", "route"],
                                           registry=prometheus_client.CollectorRegistry())
        g = dict(theirs=theirs, their_kept=theirs.labels("GET", LABELS["r"]), m="GET", **LABELS)
        variants["their_kept"] = Variant(loop("their_kept.inc()", **g))
        variants["their_labels"] = Variant(loop("theirs.labels(m, r).inc()", **g))
    t = measure(variants, ctx.repeats, ctx.target_s)
    _core.set_multiproc_dir(None)
    net = {k: v.minus(t["empty"]) for k, v in t.items() if k != "empty"}

    def over(key, other):
        return paired_ratio(t, key, other, "empty")

    ratios = {}
    table.add("metrics_floor", "floor: no-op C function, four arguments", net["floor"],
              "1.00× floor", "floor")
    table.add("metrics_record", "record_request(), for comparison", net["record"],
              f"{x(over('record', 'floor'))} floor", "part")
    for key, label in (("kept", "Counter child kept by the caller: child.inc()"),
                       ("labels", "counter.labels(method, route).inc() at every call")):
        ratios[key] = over(key, "record")
        table.add(f"metrics_{key}", label, net[key], f"{x(ratios[key])} record_request()",
                  ratio=ratios[key])
    table.add("metrics_record_on", "record_request(), multi-worker mode on", net["record_on"],
              "", "part")
    for key, label in (("kept_on", "child.inc(), multi-worker mode on"),
                       ("labels_on", "labels(...).inc(), multi-worker mode on")):
        ratios[key] = over(key, "record_on")
        table.add(f"metrics_{key}", label, net[key], f"{x(ratios[key])} record_request(), "
                  "mode on", ratio=ratios[key])
    for key, mine, label in (("their_kept", "kept", "prometheus_client child.inc()"),
                             ("their_labels", "labels",
                              "prometheus_client labels(...).inc()")):
        if key in net:
            ratios[key] = over(key, mine)
            table.add(f"metrics_{key}", label, net[key], f"{x(ratios[key])} vantorel", "peer",
                      ratio=ratios[key])
    if prometheus_client is not None:
        directory = os.path.join(ctx.workdir, "metrics-prometheus-record")
        vtr_dir = os.path.join(ctx.workdir, "metrics-record-child")
        os.makedirs(directory)
        child = measure_in_child(PROMETHEUS_MULTIPROC_CHILD, ctx.repeats, ctx.target_s,
                                 child_env(PROMETHEUS_MULTIPROC_DIR=directory,
                                           VTR_MULTIPROC_DIR=vtr_dir))
        for key, mine, label in (("their_kept", "kept", "prometheus_client multiprocess mode, "
                                  "child.inc()"),
                                 ("their_labels", "labels", "prometheus_client multiprocess "
                                  "mode, labels(...).inc()")):
            ratios[key + "_mp"] = paired_ratio(child, key, mine, "empty")
            table.add(f"metrics_{key}_mp", label, child[key].minus(child["empty"]),
                      f"{x(ratios[key + '_mp'])} vantorel, mode on (both in a child process)",
                      "peer", ratio=ratios[key + "_mp"])
    _core.clear_requests()
    return ratios


def recording_goals(results: Results, ratios: dict) -> None:
    results.goal("Counter child's inc() against record_request (mode off; on)", "≤ 1.5×",
                 f"{x(ratios['kept'])}; {x(ratios['kept_on'])}",
                 max(ratios["kept"], ratios["kept_on"]) <= 1.5)
    # On PyPy prometheus_client's Python is compiled by the JIT, and vantorel's call crosses
    # the C-API layer (some 40 ns, below the floor of a C call of four arguments there): the
    # goal is CPython's; PyPy's ratio is in its table.
    if "their_kept_mp" in ratios and sys.implementation.name != "pypy":
        results.goal("prometheus_client multiprocess child.inc() against vantorel's (mode on)",
                     "≥ 20× dearer", x(ratios["their_kept_mp"]), ratios["their_kept_mp"] >= 20)


def scale(ctx: Context):
    """(series, dead workers, live workers): the goal's in a full run, fewer in a quick one."""
    return (10_000, 500, 8) if not ctx.quick else (2_000, 100, 8)


def section(ctx: Context, results: Results) -> None:
    table = results.table("metrics", "Your own metrics: recording, and the page over many "
                                     "workers")
    ratios = recording(ctx, table)
    recording_goals(results, ratios)
    if sys.implementation.name == "pypy":
        table.print()
        table.note("the page is the same C code on every interpreter: CPython's table has it")
        return

    series, dead, live = scale(ctx)
    directory = os.path.join(ctx.workdir, "metrics-page")
    stop = os.path.join(ctx.workdir, "metrics-page-stop")
    os.makedirs(directory)
    made = time.perf_counter()
    writer = subprocess.Popen([sys.executable, "-c", OURS, str(series), str(dead), str(live), stop],
                              env=child_env(VTR_MULTIPROC_DIR=directory), stdout=subprocess.PIPE)
    try:
        assert writer.stdout.readline() == b"ready\n"
        table.note(f"{live} live workers and {dead} dead ones wrote vantorel's files in "
                   f"{time.perf_counter() - made:.1f} s")
        _core.set_multiproc_dir(directory)
        begin = time.perf_counter_ns()
        _native.series_text()  # the first merge folds the dead workers' files
        first_ns = time.perf_counter_ns() - begin
        files = os.listdir(directory)
        assert sum(name.endswith(".series") for name in files) <= live + 2, files
        page = _native.series_text()
        _core.set_multiproc_dir(None)

        def switch():
            _core.set_multiproc_dir(directory)
            _native.series_failure()

        def off():
            _core.set_multiproc_dir(None)

        variants = {"page": Variant(loop("f()", f=_native.series_text), switch, off)}
        prometheus_client = try_import("prometheus_client")
        if prometheus_client is not None:
            from prometheus_client.multiprocess import MultiProcessCollector

            theirs = os.path.join(ctx.workdir, "metrics-page-prometheus")
            os.makedirs(theirs)
            made = time.perf_counter()
            subprocess.run([sys.executable, "-c", THEIRS, str(series), str(dead), str(live)],
                           env=child_env(PROMETHEUS_MULTIPROC_DIR=theirs), check=True)
            table.note(f"the same series in prometheus_client's files took "
                       f"{time.perf_counter() - made:.1f} s to write")
            registry = prometheus_client.CollectorRegistry()
            MultiProcessCollector(registry, path=theirs)
            generate_latest = prometheus_client.generate_latest
            their_page = generate_latest(registry).decode()
            # Some 30 s a call in a full run: one call a repeat, in every tenth repeat.
            variants["prometheus"] = Variant(loop("f(r)", f=generate_latest, r=registry),
                                             calls=1, every=10)
        t = measure(variants, ctx.repeats // 4 + 1, ctx.target_s * 5)
    finally:
        with open(stop, "w"):
            pass
        writer.wait()
        _core.set_multiproc_dir(None)

    count = sum(line.startswith("bench_") for line in page.splitlines())
    table.add("metrics_page", f"series_text(), {series:,} series × {live} live workers + an "
              f"archive of {dead} dead ({count:,} samples, {len(page):,} bytes)", t["page"],
              series=float(series), dead=float(dead))
    dearer = float("nan")
    if "prometheus" in t:
        dearer = paired_ratio(t, "prometheus", "page")
        samples = sum(line.startswith("bench_") for line in their_page.splitlines())
        table.add("metrics_page_prometheus", f"prometheus_client multiprocess generate_latest(), "
                  f"the same series in {len(os.listdir(theirs)):,} files ({samples:,} samples)",
                  t["prometheus"], f"{x(dearer)} vantorel", "peer", ratio=dearer)
    table.add("metrics_first_fold", f"the first page there: folds {dead} dead workers' files",
              Stat.of([first_ns]), "once")
    table.print()

    what = f"the page, {series:,} series × {live} workers + {dead} dead"
    if "prometheus" in t:
        results.goal(f"{what}, against prometheus_client's multiprocess generate_latest()",
                     "≥ 50× cheaper", x(dearer), dearer >= 50)
    else:
        results.goal(what, "≥ 50× cheaper", "prometheus_client not installed", None)


if __name__ == "__main__":
    run_alone("metrics")
