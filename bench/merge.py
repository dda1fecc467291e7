"""The multi-worker merge (aggregate() with the mode on) over 4, 16 and 64 live shards, beside the
bare system calls over the same files and prometheus_client's multiprocess collector over the
files of as many workers; then a directory that also holds 1000 shards of dead workers.

    python bench/merge.py [--quick]
"""
from __future__ import annotations

import os
import struct
import subprocess
import sys
import time
from typing import Dict, List

from harness import (Context, Results, Stat, Variant, child_env, format_ns, loop, measure,
                     paired_ratio, run_alone, try_import, x)

from vantorel import _core

LIVE = (4, 16, 64)


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


# The files of `workers` workers that counted requests, errors and latencies as vantorel does.
# Writing them needs the multiprocess mode, which prometheus_client fixes at import: a child
# writes them, and this process times the collector that reads them.
PROMETHEUS_FILES_CHILD = """
from prometheus_client import Counter, Histogram, values
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
"""


def prometheus_collector(ctx: Context, workers: int):
    """generate_latest over a MultiProcessCollector of `workers` workers' files, and how many
    files they are; None without prometheus_client."""
    prometheus_client = try_import("prometheus_client")
    if prometheus_client is None:
        return None
    from prometheus_client.multiprocess import MultiProcessCollector
    directory = os.path.join(ctx.workdir, f"prometheus-merge-{workers}")
    os.makedirs(directory)
    subprocess.run([sys.executable, "-c", PROMETHEUS_FILES_CHILD.format(workers=workers)],
                   env=child_env(PROMETHEUS_MULTIPROC_DIR=directory), check=True)
    registry = prometheus_client.CollectorRegistry()
    MultiProcessCollector(registry, path=directory)
    assert b"vtr_requests_total" in prometheus_client.generate_latest(registry)
    variant = Variant(loop("f(r)", f=prometheus_client.generate_latest, r=registry))
    return variant, len(os.listdir(directory))


def section(ctx: Context, results: Results) -> None:
    table = results.table("merge", "Multi-worker merge (aggregate() with the mode on)")
    repeat_s = ctx.target_s * (1 if ctx.quick else 2)  # a merge takes up to some 100 µs
    pid = os.getpid()
    series: Dict[str, List[float]] = {"live": [], "vantorel": [], "floor": [], "prometheus": []}
    for live in LIVE:
        directory = os.path.join(ctx.workdir, f"shards-{live}")
        os.makedirs(directory)
        for i in range(live - 1):  # this process's own shard makes `live`
            write_shard(directory, f"vtr-{1_000_000 + i}.shard", pid, i)
        peer = prometheus_collector(ctx, live)
        _core.set_multiproc_dir(directory)
        assert _core.aggregate().total_requests > 0
        variants = {"floor": Variant(loop("f(p)", f=ctx.floor.shard_scan, p=directory)),
                    "vantorel": Variant(loop("f()", f=_core.aggregate))}
        if peer is not None:
            variants["prometheus"] = peer[0]
        t = measure(variants, ctx.repeats, repeat_s)
        _core.set_multiproc_dir(None)
        over_floor = paired_ratio(t, "vantorel", "floor")
        table.add(f"merge_{live}", f"vantorel, {live} live shards", t["vantorel"],
                  f"{x(over_floor)} floor", ratio=over_floor)
        table.add(f"merge_floor_{live}", f"floor: the same system calls in bare C, {live} shards",
                  t["floor"], "", "floor")
        series["live"].append(live)
        series["vantorel"].append(t["vantorel"].median_ns)
        series["floor"].append(t["floor"].median_ns)
        if peer is not None:
            dearer = paired_ratio(t, "prometheus", "vantorel")
            table.add(f"prometheus_merge_{live}",
                      f"prometheus_client MultiProcessCollector, {live} workers ({peer[1]} files)",
                      t["prometheus"], f"{x(dearer)} vantorel", "peer", ratio=dearer)
            series["prometheus"].append(t["prometheus"].median_ns)
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
    live_dir = os.path.join(ctx.workdir, "shards-64")

    def switch_to(directory):
        return lambda: _core.set_multiproc_dir(directory)

    t = measure({
        "live": Variant(loop("f()", f=_core.aggregate), switch_to(live_dir)),
        "after": Variant(loop("f()", f=_core.aggregate), switch_to(stale)),
        "live_floor": Variant(loop("f(p)", f=ctx.floor.shard_scan, p=live_dir)),
        "after_floor": Variant(loop("f(p)", f=ctx.floor.shard_scan, p=stale)),
    }, ctx.repeats, repeat_s)
    _core.set_multiproc_dir(None)
    table.add("merge_stale_first",
              "vantorel, 64 live + 1000 stale shards: the first merge (deletes them)",
              Stat.of([first_ns]), "once")
    after = paired_ratio(t, "after", "live")
    after_floor = paired_ratio(t, "after_floor", "live_floor")
    table.add("merge_stale_after", "vantorel, the same directory afterwards", t["after"],
              f"{x(after)} a directory of 64 live shards", ratio=after)
    table.add("merge_stale_floor", "floor: the same system calls, that directory",
              t["after_floor"], f"{x(after_floor)} over a directory of 64 live shards", "floor",
              ratio=after_floor)
    at_64 = results.figure("merge_64").value
    table.print()
    results.goal("merge over 64 live shards", "≤ 120 µs", format_ns(at_64), at_64 <= 120_000)
    results.goal("merge cost depends on live shards only",
                 "after reaping 1000 stale shards, as dear as 64 live alone (to the floor's own "
                 "difference)", f"{x(after)} (the bare system calls: {x(after_floor)})",
                 after <= max(1.2, after_floor * 1.1))
    results.series["merge"] = series


if __name__ == "__main__":
    run_alone("merge")
