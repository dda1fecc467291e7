"""vantorel beside its floors and its peers, in one run.

    python bench/run.py            # full run: writes docs/performance.md and docs/performance.png
    python bench/run.py --quick    # under a minute: prints the table, writes to a temporary folder
    python bench/run.py --also /path/to/pypy/bin/python   # adds that interpreter's rows

Every figure is the median over repeats of the mean time per call within one repeat, measured in
this process (the multi-worker peers of prometheus_client excepted: their mode is fixed at import,
so they run in a child process). The contenders of one table take turns within every repeat, so
that a noisy neighbour slows them all alike; the quartiles say how noisy a figure was. Per-call
figures of the call-sized rows have the cost of the Python loop itself taken off.

A peer that is not installed is left out with a note; see the bench extra of pyproject.toml.
"""
from __future__ import annotations

import argparse
import asyncio
import collections
import json
import math
import os
import random
import shutil
import struct
import subprocess
import sys
import tempfile
import time
from dataclasses import asdict, dataclass, field
from typing import Dict, List, Optional

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import (  # noqa: E402
    Stat, Variant, format_ns, interpreter, load_floor, loop, measure, paired_ratio)

import vantorel  # noqa: E402
from vantorel import _core  # noqa: E402

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SECTIONS = ("record", "aggregate", "snapshot", "metrics_text", "merge", "middleware")


# ------------------------------------------------------------------------------------------------
# Results


@dataclass
class Row:
    section: str
    label: str
    ns: float  # median time per call
    low_ns: float
    high_ns: float
    compare: str = ""  # the ratio to its floor or peer, as text
    kind: str = "vantorel"  # vantorel | part (of a vantorel row) | floor | peer
    key: str = ""  # stable name for goals and charts


@dataclass
class Goal:
    what: str
    target: str
    figure: str
    met: Optional[bool]  # None: could not be measured here


@dataclass
class Results:
    interpreter: str
    quick: bool
    rows: List[Row] = field(default_factory=list)
    goals: List[Goal] = field(default_factory=list)
    notes: List[str] = field(default_factory=list)
    series: Dict[str, Dict[str, List[float]]] = field(default_factory=dict)  # for the chart
    load: List[float] = field(default_factory=list)

    def add(self, section: str, key: str, label: str, stat: Stat, compare: str = "",
            kind: str = "vantorel") -> Row:
        row = Row(section, label, stat.median_ns, stat.low_ns, stat.high_ns, compare, kind, key)
        self.rows.append(row)
        return row

    def goal(self, what: str, target: str, figure: str, met: Optional[bool]) -> None:
        self.goals.append(Goal(what, target, figure, met))

    def note(self, text: str) -> None:
        self.notes.append(text)
        print(f"  note: {text}")

    def figure(self, key: str) -> Optional[Row]:
        return next((r for r in self.rows if r.key == key), None)


def x(ratio: float) -> str:
    return f"{ratio:.2f}×" if ratio < 10 else f"{ratio:.0f}×"


def try_import(name: str):
    try:
        return __import__(name, fromlist=["_"])
    except Exception:  # not installed, or does not load on this interpreter
        return None


@dataclass
class Context:
    quick: bool
    floor: object
    workdir: str

    @property
    def repeats(self) -> int:
        """Many short repeats: a neighbour's burst spoils a few of them, and the median drops
        those."""
        return 51 if self.quick else 201

    @property
    def target_s(self) -> float:
        """How long one timed repeat of a call-sized contender lasts."""
        return 0.002

    @property
    def middleware_repeats(self) -> int:
        return 15 if self.quick else 41

    @property
    def middleware_s(self) -> float:
        """A whole request takes some 100 µs: a repeat needs a few hundred of them."""
        return 0.02 if self.quick else 0.04


def print_rows(results: Results, section: str) -> None:
    rows = [r for r in results.rows if r.section == section]
    width = max(len(r.label) for r in rows)
    for r in rows:
        print(f"  {r.label:<{width}}  {format_ns(r.ns):>11}  {r.compare}")


# ------------------------------------------------------------------------------------------------
# record_request


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


def section_record(ctx: Context, results: Results) -> None:
    print(f"\nrecord_request, per call, Python loop taken off ({results.interpreter})")
    _core.set_multiproc_dir(None)
    _core.clear_requests()
    _core.set_max_requests(10_000)
    for i in range(10_000):  # a full store: the steady state of a running application
        _core.record_request("GET", f"/warm/{i}", 200, 1.0)
    shard_dir = os.path.join(ctx.workdir, "record-shards")
    names = dict(m="GET", p="/api/items", s=200, d=12.5)

    def mode_on():
        _core.set_multiproc_dir(shard_dir)

    def mode_off():
        _core.set_multiproc_dir(None)

    record = _core.record_request
    variants = {
        "empty": Variant(loop("pass")),
        "empty_fresh": Variant(loop("f'/api/items/{i}'")),
        "floor": Variant(loop("floor(m, p, s, d)", floor=ctx.floor.noop4, **names)),
        "floor_fresh": Variant(loop("floor(m, f'/api/items/{i}', s, d)", floor=ctx.floor.noop4,
                                    **names)),
        "deque": Variant(loop("store(m, p, s, d)", store=deque_store(), **names)),
        "off": Variant(loop("record(m, p, s, d)", record=record, **names)),
        "off_fresh": Variant(loop("record(m, f'/api/items/{i}', s, d)", record=record, **names)),
        "on": Variant(loop("record(m, p, s, d)", record=record, **names), mode_on, mode_off),
        "on_fresh": Variant(loop("record(m, f'/api/items/{i}', s, d)", record=record, **names),
                            mode_on, mode_off),
    }
    prometheus_client = try_import("prometheus_client")
    if prometheus_client is not None:
        _, observe = prometheus_pattern(prometheus_client)
        variants["prometheus"] = Variant(loop("observe(m, p, s, d)", observe=observe, **names))
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
    results.add("record", "floor", "floor: no-op C function, same four arguments", net["floor"],
                "1.00× floor", "floor")
    results.add("record", "floor_fresh", "floor, path built per call", net["floor_fresh"],
                "1.00× floor", "floor")
    results.add("record", "deque", "plain Python deque ring buffer", net["deque"],
                f"{x(ratio['deque'])} floor", "peer")
    labels = {"off": "vantorel, multi-worker mode off", "on": "vantorel, multi-worker mode on"}
    for mode in ("off", "on"):
        results.add("record", mode, labels[mode], net[mode], f"{x(ratio[mode])} floor")
        results.add("record", f"{mode}_fresh", labels[mode] + ", path built per call",
                    net[f"{mode}_fresh"], f"{x(ratio[mode + '_fresh'])} floor")
    off = net["off"].median_ns
    if "prometheus" in net:
        dearer = paired_ratio(t, "prometheus", "off", "empty")
        results.add("record", "prometheus", "prometheus_client Counter + Histogram",
                    net["prometheus"], f"{x(dearer)} vantorel", "peer")
    multiproc = prometheus_multiproc_record(ctx)
    if multiproc is not None:
        results.add("record", "prometheus_mp", "prometheus_client, multiprocess mode", multiproc,
                    f"{x(multiproc.median_ns / off)} vantorel", "peer")
    print_rows(results, "record")

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
    results.series["record"] = {r.key: [r.ns] for r in results.rows if r.section == "record"}


PROMETHEUS_MULTIPROC_CHILD = """
import json, sys
sys.path.insert(0, {bench!r})
from harness import Variant, loop, measure
import prometheus_client
from run import prometheus_pattern
_, observe = prometheus_pattern(prometheus_client)
names = dict(m="GET", p="/api/items", s=200, d=12.5)
t = measure({{"empty": Variant(loop("pass")),
             "prometheus": Variant(loop("observe(m, p, s, d)", observe=observe, **names))}},
            {repeats}, {target_s})
print(json.dumps([t["prometheus"].median_ns - t["empty"].median_ns,
                  t["prometheus"].low_ns - t["empty"].median_ns,
                  t["prometheus"].high_ns - t["empty"].median_ns, t["prometheus"].repeats]))
"""


def child_env(**extra) -> Dict[str, str]:
    env = {k: v for k, v in os.environ.items()
           if k not in ("VTR_MULTIPROC_DIR", "PROMETHEUS_MULTIPROC_DIR")}
    env.update(extra)
    return env


def prometheus_multiproc_record(ctx: Context) -> Optional[Stat]:
    """prometheus_client's multiprocess mode is chosen at import: measured in a child process."""
    if try_import("prometheus_client") is None:
        return None
    directory = os.path.join(ctx.workdir, "prometheus-record")
    os.makedirs(directory)
    code = PROMETHEUS_MULTIPROC_CHILD.format(bench=os.path.dirname(os.path.abspath(__file__)),
                                             repeats=ctx.repeats, target_s=ctx.target_s)
    out = subprocess.run([sys.executable, "-c", code], env=child_env(PROMETHEUS_MULTIPROC_DIR=
                         directory), stdout=subprocess.PIPE, check=True).stdout
    median, low, high, repeats = json.loads(out.decode().strip().splitlines()[-1])
    return Stat(median, low, high, repeats)


# ------------------------------------------------------------------------------------------------
# aggregate()


def nearest_rank(ordered, q):
    n = len(ordered)
    r = (n - 1.0) * q
    whole = int(r)
    return ordered[min(whole + (1 if r - whole >= 0.5 else 0), n - 1)]


def python_aggregate(durations, statuses):
    """The same nine figures in plain Python: a sum in store order and a full sort."""
    n = len(durations)
    errors = sum(1 for s in statuses if s > 399)
    total = 0.0
    for d in durations:
        total += d
    ordered = sorted(durations)
    return (n, errors, (errors / n) * 100.0, total / n, ordered[0], ordered[-1],
            nearest_rank(ordered, 0.5), nearest_rank(ordered, 0.95), nearest_rank(ordered, 0.99))


def numpy_aggregate(np, durations, statuses):
    """The same figures with numpy, the data already in arrays. Its sum is pairwise, not in store
    order, so the average may differ in the last bits."""
    n = len(durations)
    ranks = [min(int(math.floor((n - 1.0) * q + 0.5)), n - 1) for q in (0.5, 0.95, 0.99)]
    errors = int(np.count_nonzero(statuses > 399))
    part = np.partition(durations, ranks)
    return (n, errors, errors / n * 100.0, float(durations.sum()) / n, float(durations.min()),
            float(durations.max()), *(float(part[r]) for r in ranks))


def fill_store(n: int, seed: int = 7):
    rng = random.Random(seed)
    durations = [rng.lognormvariate(math.log(20), 1.0) for _ in range(n)]
    statuses = [rng.choice((200, 200, 200, 201, 404, 500)) for _ in range(n)]
    _core.clear_requests()
    _core.set_max_requests(n)
    record = _core.record_request
    for d, s in zip(durations, statuses):
        record("GET", "/api/items/12345", s, d)
    return durations, statuses


def section_aggregate(ctx: Context, results: Results) -> None:
    print(f"\naggregate() over the stored requests ({results.interpreter})")
    np = try_import("numpy")
    _core.set_multiproc_dir(None)
    sizes = (1_000, 10_000, 100_000, 1_000_000)
    python_limit = 100_000 if ctx.quick else 1_000_000
    series: Dict[str, List[float]] = {"n": [], "vantorel": [], "python": [], "numpy": []}
    for n in sizes:
        durations, statuses = fill_store(n)
        figures = python_aggregate(durations, statuses)
        a = _core.aggregate()
        ours = (a.total_requests, a.total_errors, a.error_rate, a.avg_latency_ms,
                a.min_latency_ms, a.max_latency_ms, a.p50_latency_ms, a.p95_latency_ms,
                a.p99_latency_ms)
        assert ours == figures, (ours, figures)  # the benchmark measures the right thing
        variants = {"vantorel": Variant(loop("aggregate()", aggregate=_core.aggregate))}
        if np is not None:
            d_arr, s_arr = np.array(durations), np.array(statuses)
            variants["numpy"] = Variant(loop("f(np, d, s)", f=numpy_aggregate, np=np, d=d_arr,
                                             s=s_arr))
        t = measure(variants, ctx.repeats if n <= 100_000 else ctx.repeats // 3, ctx.target_s)
        if n <= python_limit:  # a hundred times slower: fewer repeats, noise matters less
            python = Variant(loop("f(d, s)", f=python_aggregate, d=durations, s=statuses))
            t.update(measure({"python": python}, 3 if n >= 100_000 else 9, ctx.target_s))
        ours_ns = t["vantorel"].median_ns
        results.add("aggregate", f"vantorel_{n}", f"vantorel aggregate(), {n:,} requests",
                    t["vantorel"], f"{ours_ns / n:.2f} ns per request")
        series["n"].append(n)
        series["vantorel"].append(ours_ns)
        for peer, label in (("python", "pure Python (sum, sorted)"),
                            ("numpy", "numpy (sum, partition), data in arrays")):
            if peer in t:
                results.add("aggregate", f"{peer}_{n}", f"{label}, {n:,} requests", t[peer],
                            f"{x(t[peer].median_ns / ours_ns)} vantorel", "peer")
                series[peer].append(t[peer].median_ns)
            else:
                series[peer].append(float("nan"))
    _core.clear_requests()
    _core.set_max_requests(10_000)
    print_rows(results, "aggregate")

    at_10k = results.figure("vantorel_10000").ns
    results.goal("aggregate() at 10 000 requests", "≤ 40 µs", format_ns(at_10k), at_10k <= 40_000)
    # Linear growth: the exponent of a power law through the figures from 10 000 up.
    ns = series["vantorel"]
    slope = math.log(ns[-1] / ns[1]) / math.log(sizes[-1] / sizes[1])
    per_request = ", ".join(f"{v / n:.2f}" for v, n in zip(ns, sizes))
    results.goal("aggregate() grows linearly", "cost ∝ n (exponent ≈ 1)",
                 f"exponent {slope:.2f} from 10k to 1M; ns per request {per_request}",
                 0.85 <= slope <= 1.15)
    results.series["aggregate"] = series


# ------------------------------------------------------------------------------------------------
# snapshot() and metrics_text()


def section_snapshot(ctx: Context, results: Results) -> None:
    print(f"\nsnapshot() ({results.interpreter})")
    variants = {
        "floor": Variant(loop("f()", f=ctx.floor.proc_reads)),
        "vantorel": Variant(loop("f()", f=_core.snapshot)),
    }
    psutil = try_import("psutil")
    if psutil is not None:
        proc = psutil.Process()
        proc.cpu_percent()

        def plain():
            proc.cpu_percent()
            proc.memory_info()
            proc.num_threads()

        def oneshot():
            with proc.oneshot():  # reads /proc/<pid>/stat once for all three figures
                proc.cpu_percent()
                proc.memory_info()
                proc.num_threads()

        variants["psutil"] = Variant(loop("f()", f=plain))
        variants["psutil_oneshot"] = Variant(loop("f()", f=oneshot))
    t = measure(variants, ctx.repeats, ctx.target_s)
    ours = t["vantorel"].median_ns
    results.add("snapshot", "snapshot_floor", "floor: the same /proc reads in bare C",
                t["floor"], f"{x(t['floor'].median_ns / ours)} vantorel", "floor")
    results.add("snapshot", "snapshot", "vantorel snapshot()", t["vantorel"],
                f"{x(ours / t['floor'].median_ns)} floor")
    for key, label in (("psutil", "psutil cpu_percent + memory_info + num_threads"),
                       ("psutil_oneshot", "psutil, the same inside oneshot()")):
        if key in t:
            results.add("snapshot", key, label, t[key], f"{x(t[key].median_ns / ours)} vantorel",
                        "peer")
    print_rows(results, "snapshot")
    results.goal("snapshot()", "≤ 8 µs", format_ns(ours), ours <= 8000)
    if "psutil" in t:
        cheaper = min(t["psutil"].median_ns, t["psutil_oneshot"].median_ns) / ours
        results.goal("snapshot() against psutil (its faster form)", "≥ 8× cheaper", x(cheaper),
                     cheaper >= 8)
    else:
        results.goal("snapshot() against psutil", "≥ 8× cheaper", "psutil not installed", None)


def scrape_registry(prometheus_client):
    """A prometheus_client registry as an instrumented application has it after 10 000 requests:
    the middleware's labelled counter and histogram over a few routes, and the process collector."""
    registry, observe = prometheus_pattern(prometheus_client)
    from prometheus_client.process_collector import ProcessCollector
    ProcessCollector(registry=registry)
    rng = random.Random(1)
    routes = [(m, p) for m in ("GET", "POST") for p in ("/", "/login", "/api/items",
                                                       "/api/items/{id}", "/health")]
    for _ in range(10_000):
        method, path = rng.choice(routes)
        observe(method, path, rng.choice((200, 200, 200, 404, 500)), rng.expovariate(1 / 20))
    return registry


def section_metrics_text(ctx: Context, results: Results) -> None:
    print(f"\nmetrics_text() with 10 000 stored requests ({results.interpreter})")
    _core.set_multiproc_dir(None)
    fill_store(10_000)
    variants = {
        "text": Variant(loop("f()", f=_core.metrics_text)),
        "aggregate": Variant(loop("f()", f=_core.aggregate)),
        "snapshot": Variant(loop("f()", f=_core.snapshot)),
    }
    prometheus_client = try_import("prometheus_client")
    if prometheus_client is not None:
        registry = scrape_registry(prometheus_client)
        variants["prometheus"] = Variant(loop("f(r)", f=prometheus_client.generate_latest,
                                              r=registry))
    t = measure(variants, ctx.repeats, ctx.target_s)
    ours = t["text"].median_ns
    results.add("metrics_text", "metrics_text", "vantorel metrics_text()", t["text"])
    results.add("metrics_text", "text_aggregate", "its aggregate() alone", t["aggregate"],
                f"{t['aggregate'].median_ns / ours:.0%} of metrics_text()", "part")
    results.add("metrics_text", "text_snapshot", "its snapshot() alone", t["snapshot"],
                f"{t['snapshot'].median_ns / ours:.0%} of metrics_text()", "part")
    if "prometheus" in t:
        size = len(prometheus_client.generate_latest(registry))
        results.add("metrics_text", "generate_latest",
                    f"prometheus_client generate_latest(), process collector ({size:,} bytes)",
                    t["prometheus"], f"{x(t['prometheus'].median_ns / ours)} vantorel", "peer")
    _core.clear_requests()
    _core.set_max_requests(10_000)
    print_rows(results, "metrics_text")
    results.goal("metrics_text() at 10 000 requests", "≤ 60 µs", format_ns(ours), ours <= 60_000)


# ------------------------------------------------------------------------------------------------
# Multi-worker merge


def write_shard(directory: str, name: str, pid: int, i: int) -> None:
    buckets = [(i + 3 * b) % 17 for b in range(14)]
    n = sum(buckets)
    words = [1, pid, n, n // 10, n * 12_345, 150, 15_000_000, 0, *buckets]
    with open(os.path.join(directory, name), "wb") as f:
        f.write(struct.pack("<22Q", *words))


def dead_pids(count: int) -> List[int]:
    """Process ids that no process can have: above the kernel's pid_max."""
    with open("/proc/sys/kernel/pid_max") as f:
        pid_max = int(f.read())
    return [pid_max + 1 + k for k in range(count)]


PROMETHEUS_MERGE_CHILD = """
import json, os, sys
sys.path.insert(0, {bench!r})
from harness import Variant, loop, measure
from prometheus_client import CollectorRegistry, Counter, Histogram, generate_latest, values
from prometheus_client.multiprocess import MultiProcessCollector
# One file set per worker: the value class asks for the "process id" whenever it writes.
worker = [0]
values.ValueClass = values.MultiProcessValue(process_identifier=lambda: worker[0])
requests = Counter("vtr_requests", "Total HTTP requests recorded")
errors = Counter("vtr_errors", "Total HTTP errors (status >= 400)")
latency = Histogram("vtr_latency_ms", "Request latency in milliseconds",
                    buckets=(1, 2, 5, 10, 25, 50, 100, 250, 500, 1000, 2500, 5000, 10000,
                             float("inf")))
for w in range({workers}):
    worker[0] = 1_000_000 + w
    for i in range(20):
        requests.inc()
        if i % 10 == 0:
            errors.inc()
        latency.observe((i * 37) % 12000)
registry = CollectorRegistry()
MultiProcessCollector(registry)
assert b"vtr_requests_total" in generate_latest(registry)
t = measure({{"merge": Variant(loop("f(r)", f=generate_latest, r=registry))}}, {repeats},
            {target_s})["merge"]
print(json.dumps([t.median_ns, t.low_ns, t.high_ns, t.repeats, len(os.listdir({directory!r}))]))
"""


def prometheus_merge(ctx: Context, workers: int):
    if try_import("prometheus_client") is None:
        return None
    directory = os.path.join(ctx.workdir, f"prometheus-merge-{workers}")
    os.makedirs(directory)
    code = PROMETHEUS_MERGE_CHILD.format(bench=os.path.dirname(os.path.abspath(__file__)),
                                         workers=workers, repeats=ctx.repeats,
                                         target_s=ctx.target_s * 2, directory=directory)
    out = subprocess.run([sys.executable, "-c", code],
                         env=child_env(PROMETHEUS_MULTIPROC_DIR=directory),
                         stdout=subprocess.PIPE, check=True).stdout
    median, low, high, repeats, files = json.loads(out.decode().strip().splitlines()[-1])
    return Stat(median, low, high, repeats), files


def section_merge(ctx: Context, results: Results) -> None:
    print(f"\nmulti-worker merge: aggregate() with the mode on ({results.interpreter})")
    pid = os.getpid()
    series: Dict[str, List[float]] = {"live": [], "vantorel": [], "floor": [], "prometheus": []}
    for live in (4, 16, 64):
        directory = os.path.join(ctx.workdir, f"shards-{live}")
        os.makedirs(directory)
        for i in range(live - 1):  # this process's own shard makes `live`
            write_shard(directory, f"vtr-{1_000_000 + i}.shard", pid, i)
        _core.set_multiproc_dir(directory)
        assert _core.aggregate().total_requests > 0
        t = measure({"floor": Variant(loop("f(p)", f=ctx.floor.shard_scan, p=directory)),
                     "vantorel": Variant(loop("f()", f=_core.aggregate))},
                    ctx.repeats, ctx.target_s * 2)
        _core.set_multiproc_dir(None)
        ours = t["vantorel"].median_ns
        results.add("merge", f"merge_{live}", f"vantorel, {live} live shards", t["vantorel"],
                    f"{x(ours / t['floor'].median_ns)} floor")
        results.add("merge", f"merge_floor_{live}",
                    f"floor: the same system calls in bare C, {live} shards", t["floor"], "",
                    "floor")
        series["live"].append(live)
        series["vantorel"].append(ours)
        series["floor"].append(t["floor"].median_ns)
        peer = prometheus_merge(ctx, live)
        if peer is not None:
            stat, files = peer
            results.add("merge", f"prometheus_merge_{live}",
                        f"prometheus_client MultiProcessCollector, {live} workers ({files} files)",
                        stat, f"{x(stat.median_ns / ours)} vantorel", "peer")
            series["prometheus"].append(stat.median_ns)
        else:
            series["prometheus"].append(float("nan"))

    # 64 live shards and 1000 of dead workers: the first merge deletes them, later ones never
    # see them again. The directory afterwards is measured beside one that only ever held 64
    # shards, and so are the bare system calls over both: a directory does not always shrink
    # when its files go (ext4 keeps its blocks), and listing it then costs the same in bare C.
    stale = os.path.join(ctx.workdir, "shards-stale")
    os.makedirs(stale)
    for i in range(63):
        write_shard(stale, f"vtr-{1_000_000 + i}.shard", pid, i)
    for k, dead in enumerate(dead_pids(1000)):
        write_shard(stale, f"vtr-{dead}.shard", dead, k)
    _core.set_multiproc_dir(stale)
    start = time.perf_counter_ns()
    first = _core.aggregate()
    first_ns = time.perf_counter_ns() - start
    assert len(os.listdir(stale)) == 64 and first.total_requests > 0
    live = os.path.join(ctx.workdir, "shards-64")

    def switch_to(directory):
        return lambda: _core.set_multiproc_dir(directory)

    t = measure({
        "live": Variant(loop("f()", f=_core.aggregate), switch_to(live)),
        "after": Variant(loop("f()", f=_core.aggregate), switch_to(stale)),
        "live_floor": Variant(loop("f(p)", f=ctx.floor.shard_scan, p=live)),
        "after_floor": Variant(loop("f(p)", f=ctx.floor.shard_scan, p=stale)),
    }, ctx.repeats, ctx.target_s * 2)
    _core.set_multiproc_dir(None)
    results.add("merge", "merge_stale_first",
                "vantorel, 64 live + 1000 stale shards: the first merge (deletes them)",
                Stat(first_ns, first_ns, first_ns, 1), "once")
    after = paired_ratio(t, "after", "live")
    after_floor = paired_ratio(t, "after_floor", "live_floor")
    results.add("merge", "merge_stale_after", "vantorel, the same directory afterwards",
                t["after"], f"{x(after)} a directory of 64 live shards")
    results.add("merge", "merge_stale_floor", "floor: the same system calls, that directory",
                t["after_floor"], f"{x(after_floor)} over a directory of 64 live shards", "floor")
    at_64 = results.figure("merge_64").ns
    print_rows(results, "merge")
    results.goal("merge over 64 live shards", "≤ 120 µs", format_ns(at_64), at_64 <= 120_000)
    results.goal("merge cost depends on live shards only",
                 "after reaping 1000 stale shards, as dear as 64 live alone (to the floor's own "
                 "difference)", f"{x(after)} (the bare system calls: {x(after_floor)})",
                 after <= max(1.2, after_floor * 1.1))
    results.series["merge"] = series


# ------------------------------------------------------------------------------------------------
# The whole middleware, in process


def asgi_scope():
    return {"type": "http", "asgi": {"version": "3.0", "spec_version": "2.3"},
            "http_version": "1.1", "method": "GET", "scheme": "http", "path": "/items/42",
            "raw_path": b"/items/42", "query_string": b"", "root_path": "",
            "headers": [(b"host", b"testserver"), (b"user-agent", b"bench")],
            "client": ("127.0.0.1", 50000), "server": ("testserver", 80)}


def asgi_runner(app):
    """run(n): n requests through the ASGI app, on one event loop, no network."""
    scope = asgi_scope()
    loop_ = asyncio.new_event_loop()
    request = {"type": "http.request", "body": b"", "more_body": False}

    async def receive():
        return request

    async def send(message):
        if message["type"] == "http.response.start" and message["status"] != 200:
            raise AssertionError(message)

    async def many(n):
        for _ in range(n):
            await app(dict(scope), receive, send)

    def run(n):
        loop_.run_until_complete(many(n))

    return run


def fastapi_app(fastapi):
    app = fastapi.FastAPI()

    @app.get("/items/{item_id}")
    async def item(item_id: int):  # async: a plain def would run in a thread pool
        return {"item_id": item_id}

    return app


def wsgi_runner(app):
    from werkzeug.test import EnvironBuilder
    builder = EnvironBuilder(path="/items/42", method="GET")
    environ = builder.get_environ()
    builder.close()
    status = []

    def start_response(s, headers, exc_info=None):
        status.append(s)

    def run(n):
        for _ in range(n):
            env = dict(environ)
            result = app(env, start_response)
            for _chunk in result:
                pass
            close = getattr(result, "close", None)
            if close:
                close()
        if not status[-1].startswith("200"):
            raise AssertionError(status[-1])
        status.clear()

    return run


def flask_app(flask):
    app = flask.Flask("bench")

    @app.route("/items/<int:item_id>")
    def item(item_id):
        return {"item_id": item_id}

    return app


def section_middleware(ctx: Context, results: Results) -> None:
    print(f"\nthe whole middleware per request, apps called in process ({results.interpreter})")
    middleware = try_import("vantorel.middleware")
    _core.set_multiproc_dir(None)
    _core.clear_requests()
    fastapi = try_import("fastapi")
    if fastapi is None or middleware is None:
        results.note("ASGI rows skipped: fastapi or vantorel.middleware not importable")
    else:
        variants = {"bare": Variant(asgi_runner(fastapi_app(fastapi)))}
        app = fastapi_app(fastapi)
        app.add_middleware(middleware.MetricsMiddleware)
        variants["vantorel"] = Variant(asgi_runner(app))
        starlette_exporter = try_import("starlette_exporter")
        if starlette_exporter is not None:
            app = fastapi_app(fastapi)
            app.add_middleware(starlette_exporter.PrometheusMiddleware)
            variants["starlette_exporter"] = Variant(asgi_runner(app))
        instrumentator = try_import("prometheus_fastapi_instrumentator")
        if instrumentator is not None:
            app = fastapi_app(fastapi)
            instrumentator.Instrumentator().instrument(app)
            variants["instrumentator"] = Variant(asgi_runner(app))
        _core.clear_requests()
        t = measure(variants, ctx.middleware_repeats, ctx.middleware_s)
        recorded = _core.get_requests()[-1]
        assert (recorded.path, recorded.status_code) == ("/items/{item_id}", 200), recorded
        bare = t["bare"].median_ns
        ours = t["vantorel"].median_ns - bare
        results.add("middleware", "asgi_bare", "FastAPI app alone (ASGI)", t["bare"], "", "floor")
        labels = {"vantorel": "vantorel MetricsMiddleware",
                  "starlette_exporter": "starlette_exporter PrometheusMiddleware",
                  "instrumentator": "prometheus-fastapi-instrumentator"}
        for key, label in labels.items():
            if key not in t:
                continue
            extra = t[key].median_ns - bare
            compare = f"+{format_ns(extra)} per request"
            if key != "vantorel":
                compare += f" ({x(extra / ours)} vantorel's)"
            results.add("middleware", f"asgi_{key}", label, t[key], compare,
                        "vantorel" if key == "vantorel" else "peer")
    flask = try_import("flask")
    if flask is None or middleware is None:
        results.note("WSGI rows skipped: flask or vantorel.middleware not importable")
    else:
        variants = {"bare": Variant(wsgi_runner(flask_app(flask)))}
        app = flask_app(flask)
        variants["vantorel"] = Variant(wsgi_runner(middleware.WSGIMetricsMiddleware(app)))
        flask_exporter = try_import("prometheus_flask_exporter")
        if flask_exporter is not None:
            app = flask_app(flask)
            flask_exporter.PrometheusMetrics(app, registry=try_import("prometheus_client")
                                             .CollectorRegistry())
            variants["flask_exporter"] = Variant(wsgi_runner(app))
        _core.clear_requests()
        t = measure(variants, ctx.middleware_repeats, ctx.middleware_s)
        recorded = _core.get_requests()[-1]
        assert (recorded.path, recorded.status_code) == ("/items/<int:item_id>", 200), recorded
        bare = t["bare"].median_ns
        ours = t["vantorel"].median_ns - bare
        results.add("middleware", "wsgi_bare", "Flask app alone (WSGI)", t["bare"], "", "floor")
        results.add("middleware", "wsgi_vantorel", "vantorel WSGIMetricsMiddleware",
                    t["vantorel"], f"+{format_ns(ours)} per request")
        if "flask_exporter" in t:
            theirs = t["flask_exporter"].median_ns - bare
            results.add("middleware", "wsgi_flask_exporter", "prometheus-flask-exporter",
                        t["flask_exporter"],
                        f"+{format_ns(theirs)} per request ({x(theirs / ours)} vantorel's)",
                        "peer")
    _core.clear_requests()
    if any(r.section == "middleware" for r in results.rows):
        print_rows(results, "middleware")


# ------------------------------------------------------------------------------------------------
# Output


def markdown(all_results: List[Results]) -> str:
    lines = ["# Performance", "",
             "Generated by `python bench/run.py` (`--quick` for a run of a few seconds). Each "
             "figure is the median over repeats of the mean time per call within one repeat; the "
             "contenders of a table took turns within every repeat, each repeat starting with the "
             "next one. *Quartiles* give the spread of the repeats. Call-sized rows have the cost "
             "of the Python loop itself taken off, and their ratios to the floor are medians of "
             "the ratios within each repeat, which cancels most of what a busy machine adds to "
             "both. On a shared machine the ratios of the call-sized rows still move by some 0.1 "
             "from run to run.", "",
             "![vantorel beside its floors and peers](performance.png)", "",
             "## What bounds each figure", "",
             "- `record_request`: the coarse wall clock read through the vDSO (some 5 ns here) and "
             "the atomic read-modify-writes of the store's lock; in multi-worker mode also the "
             "shard writer's lock and three atomic adds on the shared page. On PyPy, the int "
             "argument costs a call into the interpreter (PyPy keeps no digits in the C object).",
             "- `aggregate()`: two linear passes over the durations; the first is a chain of "
             "dependent additions, since the sum keeps store order.",
             "- `snapshot()`: three system calls (open, read, close of `/proc/self/stat`).",
             "- `metrics_text()`: its `aggregate()` and its `snapshot()`.",
             "- The merge: five system calls per shard (open, fstat, pread, close, and the "
             "signal-0 probe of its owner).",
             "- The middleware: the framework's own Python, and the route lookup of the "
             "middleware.", ""]
    for results in all_results:
        lines += [f"## {results.interpreter}{' (quick run)' if results.quick else ''}", ""]
        if results.load:
            lines += [f"Load average of the machine (2 cores) before and after the run: "
                      f"{results.load[0]:.2f} and {results.load[-1]:.2f}.", ""]
        lines += ["### Goals", "", "| what | goal | measured | met |", "|---|---|---|---|"]
        for g in results.goals:
            met = "n/a" if g.met is None else ("yes" if g.met else "**no**")
            lines.append(f"| {g.what} | {g.target} | {g.figure} | {met} |")
        lines.append("")
        titles = {"record": "record_request, per call",
                  "aggregate": "aggregate() over the stored requests",
                  "snapshot": "snapshot()",
                  "metrics_text": "metrics_text() with 10 000 stored requests",
                  "merge": "Multi-worker merge (aggregate() with the mode on)",
                  "middleware": "The whole middleware per request, app called in process"}
        for section in SECTIONS:
            rows = [r for r in results.rows if r.section == section]
            if not rows:
                continue
            lines += [f"### {titles[section]}", "", "| | time | quartiles | compared |",
                      "|---|---:|---:|---|"]
            for r in rows:
                label = f"**{r.label}**" if r.kind == "vantorel" else r.label
                quartiles = f"{format_ns(r.low_ns)} – {format_ns(r.high_ns)}"
                lines.append(f"| {label} | {format_ns(r.ns)} | {quartiles} | {r.compare} |")
            lines.append("")
        for note in results.notes:
            lines += [f"- {note}"]
        if results.notes:
            lines.append("")
    return "\n".join(lines)


def chart(all_results: List[Results], path: str) -> bool:
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except Exception:
        print("  (matplotlib not installed: no chart)")
        return False
    main = all_results[0]
    fig, axes = plt.subplots(2, 3, figsize=(17, 9.5))
    fig.suptitle(f"vantorel beside its floors and peers — {main.interpreter}", fontsize=14)
    colours = {"vantorel": "#1f6fb4", "part": "#8fb8de", "floor": "#9a9a9a", "peer": "#d9822b"}

    def bars(ax, rows, title, unit_ns=1.0, unit="ns", log=False):
        rows = [r for r in rows if r is not None]
        labels = [r.label.replace(", ", ",\n", 1) for r in rows]
        values = [r.ns / unit_ns for r in rows]
        ax.barh(range(len(rows)), values, color=[colours[r.kind] for r in rows])
        ax.set_yticks(range(len(rows)), labels, fontsize=7.5)
        ax.invert_yaxis()
        ax.set_title(title, fontsize=10)
        ax.set_xlabel(unit)
        if log:
            ax.set_xscale("log")
        for i, v in enumerate(values):
            ax.text(v, i, f" {v:,.0f}" if v >= 1000 else f" {v:.3g}", va="center", fontsize=7)

    by_key = {r.key: r for r in main.rows}
    record_rows = [by_key.get(k) for k in ("floor", "deque", "off", "on", "off_fresh", "on_fresh",
                                           "prometheus", "prometheus_mp")]
    for other in all_results[1:]:  # the other interpreters' floor and record_request
        name = other.interpreter.split()[0]
        record_rows += [Row(**{**asdict(r), "label": f"{name}: {r.label}"}) for r in other.rows
                        if r.key in ("floor", "off")]
    bars(axes[0][0], record_rows, "record_request per call", log=True)
    agg = main.series.get("aggregate")
    ax = axes[0][1]
    if agg:
        for name, colour, style in (("vantorel", colours["vantorel"], "o-"),
                                    ("numpy", colours["peer"], "s--"),
                                    ("python", "#b04a4a", "^:")):
            ax.plot(agg["n"], [v / 1000 for v in agg[name]], style, color=colour, label=name)
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.set_xlabel("stored requests")
        ax.set_ylabel("µs per aggregate()")
        ax.set_title("aggregate(): cost grows linearly", fontsize=10)
        ax.legend(fontsize=8)
        ax.grid(True, which="both", alpha=0.3)
    bars(axes[0][2], [by_key.get(k) for k in ("snapshot_floor", "snapshot", "psutil_oneshot",
                                               "psutil")], "snapshot()", 1000, "µs")
    bars(axes[1][0], [by_key.get(k) for k in ("text_snapshot", "text_aggregate", "metrics_text",
                                               "generate_latest")],
         "metrics_text(), 10 000 requests", 1000, "µs", log=True)
    merge = main.series.get("merge")
    ax = axes[1][1]
    if merge:
        ax.plot(merge["live"], [v / 1000 for v in merge["vantorel"]], "o-",
                color=colours["vantorel"], label="vantorel aggregate()")
        ax.plot(merge["live"], [v / 1000 for v in merge["floor"]], "o:", color=colours["floor"],
                label="floor: the system calls alone")
        if not all(math.isnan(v) for v in merge["prometheus"]):
            ax.plot(merge["live"], [v / 1000 for v in merge["prometheus"]], "s--",
                    color=colours["peer"], label="prometheus_client multiprocess")
        stale = by_key.get("merge_stale_after")
        if stale:
            ax.plot([64], [stale.ns / 1000], "x", color="black", markersize=9,
                    label="64 live after reaping 1000 stale")
        ax.set_yscale("log")
        ax.set_xlabel("live shards")
        ax.set_ylabel("µs per merge")
        ax.set_title("Multi-worker merge", fontsize=10)
        ax.legend(fontsize=8)
        ax.grid(True, which="both", alpha=0.3)
    bars(axes[1][2], [by_key.get(k) for k in ("asgi_bare", "asgi_vantorel",
                                               "asgi_starlette_exporter", "asgi_instrumentator",
                                               "wsgi_bare", "wsgi_vantorel",
                                               "wsgi_flask_exporter")],
         "Whole request through the middleware", 1000, "µs")
    for ax in axes.flat:
        if not ax.has_data():
            ax.set_visible(False)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return True


def run_sections(args) -> Results:
    results = Results(interpreter(), args.quick)
    results.load.append(os.getloadavg()[0])
    workdir = tempfile.mkdtemp(prefix="vtr-bench-")
    ctx = Context(args.quick, load_floor(), workdir)
    chosen = args.sections.split(",") if args.sections else list(SECTIONS)
    functions = {"record": section_record, "aggregate": section_aggregate,
                 "snapshot": section_snapshot, "metrics_text": section_metrics_text,
                 "merge": section_merge, "middleware": section_middleware}
    try:
        for name in chosen:
            functions[name](ctx, results)
    finally:
        _core.set_multiproc_dir(None)
        shutil.rmtree(workdir, ignore_errors=True)
    results.load.append(os.getloadavg()[0])
    return results


def load_results(data: dict) -> Results:
    results = Results(data["interpreter"], data["quick"])
    results.rows = [Row(**r) for r in data["rows"]]
    results.goals = [Goal(**g) for g in data["goals"]]
    results.notes = data["notes"]
    results.series = data["series"]
    results.load = data["load"]
    return results


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer repeats: under a minute")
    parser.add_argument("--sections", help=f"comma-separated, of {','.join(SECTIONS)}")
    parser.add_argument("--out", help="folder for performance.md and performance.png "
                                      "(default: docs/ for a full run, a temporary one for --quick)")
    parser.add_argument("--also", action="append", default=[], metavar="PYTHON",
                        help="another interpreter with vantorel installed whose rows to add")
    parser.add_argument("--json", help=argparse.SUPPRESS)  # used by --also
    args = parser.parse_args()

    print(f"{interpreter()}, vantorel {vantorel.__version__}, "
          f"{'quick' if args.quick else 'full'} run")
    results = run_sections(args)
    print("\ngoals:")
    for g in results.goals:
        met = "n/a" if g.met is None else ("met" if g.met else "MISSED")
        print(f"  {g.what}: {g.figure} (goal {g.target}) {met}")
    if args.json:
        with open(args.json, "w") as f:
            json.dump(asdict(results), f)
        return

    all_results = [results]
    for other in args.also:
        handle, path = tempfile.mkstemp(suffix=".json")
        os.close(handle)
        command = [other, os.path.abspath(__file__), "--json", path,
                   "--sections", args.sections or "record,aggregate,snapshot,metrics_text"]
        if args.quick:
            command.append("--quick")
        print(f"\n--- {other} ---")
        subprocess.run(command, check=True, cwd=os.getcwd())
        with open(path) as f:
            all_results.append(load_results(json.load(f)))
        os.unlink(path)

    out = args.out or (tempfile.mkdtemp(prefix="vtr-bench-out-") if args.quick
                       else os.path.join(REPO, "docs"))
    os.makedirs(out, exist_ok=True)
    with open(os.path.join(out, "performance.md"), "w") as f:
        f.write(markdown(all_results))
    drawn = chart(all_results, os.path.join(out, "performance.png"))
    print(f"\nwrote {os.path.join(out, 'performance.md')}"
          f"{' and performance.png' if drawn else ''}")


if __name__ == "__main__":
    main()
