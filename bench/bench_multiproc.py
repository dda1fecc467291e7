"""Multi-worker mode: the cost of recording with the mode on, and of merging many workers' shards.

Run directly with the interpreter that has vantorel (and prometheus_client) installed:

    python bench/bench_multiproc.py

1. record_request() with the mode off and with the mode on, each in its own process (the mode is
   process-global).
2. aggregate() and metrics_text() over 4, 16 and 64 live shards, beside prometheus_client's
   MultiProcessCollector + generate_latest over files written by the same number of workers with the
   equivalent metrics (two counters and a histogram with the same bucket bounds).

Every figure is the median over repeats of the mean time per call within one repeat.
"""

import json
import os
import shutil
import statistics
import struct
import subprocess
import sys
import tempfile
import textwrap

REPEATS = 7
RECORD_CALLS = 200_000
MERGE_CALLS = 200
WORKER_COUNTS = (4, 16, 64)
BOUNDS_MS = (1, 2, 5, 10, 25, 50, 100, 250, 500, 1000, 2500, 5000, 10000)

TIMER = """
import json, os, statistics, sys, time

def median_us(fn, calls, repeats):
    fn()  # warm-up: first use opens the shard, imports, JITs
    per_call = []
    for _ in range(repeats):
        start = time.perf_counter()
        for _ in range(calls):
            fn()
        per_call.append((time.perf_counter() - start) / calls * 1e6)
    return statistics.median(per_call)
"""


def run(code, env_extra=None):
    env = {k: v for k, v in os.environ.items()
           if k not in ("VTR_MULTIPROC_DIR", "PROMETHEUS_MULTIPROC_DIR")}
    env.update(env_extra or {})
    out = subprocess.run([sys.executable, "-c", TIMER + textwrap.dedent(code)], env=env,
                         stdout=subprocess.PIPE, check=True).stdout
    return json.loads(out.decode().strip().splitlines()[-1])


def bench_record(workdir):
    code = f"""
    import vantorel._core as core
    durations = [0.3, 4.2, 17.0, 120.5, 3000.0]
    state = {{"i": 0}}
    def one():
        i = state["i"] = state["i"] + 1
        core.record_request("GET", "/items", 500 if i % 50 == 0 else 200, durations[i % 5])
    print(json.dumps([core.multiproc_enabled(), median_us(one, {RECORD_CALLS}, {REPEATS})]))
    """
    off_enabled, off = run(code)
    on_enabled, on = run(code, {"VTR_MULTIPROC_DIR": os.path.join(workdir, "record")})
    assert (off_enabled, on_enabled) == (False, True)
    return off, on


def craft_shards(directory, count, live_pids):
    """`count` shards of live processes, with requests spread over the buckets."""
    os.makedirs(directory)
    for i in range(count):
        buckets = [(i + 3 * b) % 17 for b in range(14)]
        n = sum(buckets)
        words = [1, live_pids[i], n, n // 10, n * 12_345, 150, 15_000_000, 0, *buckets]
        with open(os.path.join(directory, f"vtr-{1_000_000 + i}.shard"), "wb") as f:
            f.write(struct.pack("<22Q", *words))


def bench_vantorel_merge(directory):
    return run(
        f"""
        import vantorel._core as core
        assert core.multiproc_enabled()
        print(json.dumps([core.aggregate().total_requests > 0,
                          median_us(core.aggregate, {MERGE_CALLS}, {REPEATS}),
                          median_us(core.metrics_text, {MERGE_CALLS}, {REPEATS})]))
        """,
        {"VTR_MULTIPROC_DIR": directory},
    )


PROMETHEUS_WORKER = f"""
from prometheus_client import Counter, Histogram
requests = Counter("vtr_requests", "Total HTTP requests recorded")
errors = Counter("vtr_errors", "Total HTTP errors (status >= 400)")
latency = Histogram("vtr_latency_ms", "Request latency in milliseconds",
                    buckets={BOUNDS_MS!r} + (float("inf"),))
for i in range(50):
    requests.inc()
    if i % 10 == 0:
        errors.inc()
    latency.observe((i * 37) % 12000)
"""


def bench_prometheus_merge(directory, workers):
    os.makedirs(directory)
    env = {**os.environ, "PROMETHEUS_MULTIPROC_DIR": directory}
    for _ in range(workers):
        subprocess.run([sys.executable, "-c", PROMETHEUS_WORKER], env=env, check=True)
    return run(
        f"""
        from prometheus_client import CollectorRegistry, generate_latest
        from prometheus_client.multiprocess import MultiProcessCollector
        registry = CollectorRegistry()
        MultiProcessCollector(registry, path={directory!r})
        text = generate_latest(registry)
        print(json.dumps([len(os.listdir({directory!r})), b"vtr_requests_total" in text,
                          median_us(lambda: generate_latest(registry), {MERGE_CALLS},
                                    {REPEATS})]))
        """
    )


def main():
    workdir = tempfile.mkdtemp(prefix="vtr-bench-")
    sleepers = []
    try:
        print(f"{sys.implementation.name} {sys.version.split()[0]}; median of {REPEATS} repeats")
        off, on = bench_record(workdir)
        print(f"record_request, mode off: {off:8.3f} us/call")
        print(f"record_request, mode on:  {on:8.3f} us/call  (on/off {on / off:.2f}x)")

        sleepers = [subprocess.Popen(["sleep", "3600"]) for _ in range(max(WORKER_COUNTS))]
        live = [p.pid for p in sleepers]
        for n in WORKER_COUNTS:
            ours = os.path.join(workdir, f"vtr-{n}")
            craft_shards(ours, n - 1, live)  # the reader's own shard makes n
            counted, aggregate_us, text_us = bench_vantorel_merge(ours)
            theirs = os.path.join(workdir, f"prom-{n}")
            files, rendered, prom_us = bench_prometheus_merge(theirs, n)
            assert counted and rendered
            print(f"{n:3d} workers: aggregate() {aggregate_us:9.1f} us, metrics_text() "
                  f"{text_us:9.1f} us | prometheus_client generate_latest {prom_us:9.1f} us "
                  f"over {files} files | prometheus/aggregate {prom_us / aggregate_us:6.1f}x, "
                  f"prometheus/metrics_text {prom_us / text_us:6.1f}x")
    finally:
        for p in sleepers:
            p.kill()
            p.wait()
        shutil.rmtree(workdir, ignore_errors=True)


if __name__ == "__main__":
    main()
