"""aggregate() over 1 000 to 1 000 000 stored requests, beside the same figures in plain Python
and in numpy, and whether its cost grows linearly.

    python bench/aggregate.py [--quick]
"""
from __future__ import annotations

import math
import random
from typing import Dict, List

from harness import (Context, Results, Variant, format_ns, loop, measure, paired_ratio,
                     run_alone, try_import, x)

from vantorel import _core

SIZES = (1_000, 10_000, 100_000, 1_000_000)


def percentile(ordered, q):
    """The duration at index round((n - 1) × q) of the sorted durations, halves rounded up."""
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
            percentile(ordered, 0.5), percentile(ordered, 0.95), percentile(ordered, 0.99))


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
    statuses = rng.choices((200, 200, 200, 201, 404, 500), k=n)
    _core.clear_requests()
    _core.set_max_requests(n)
    record = _core.record_request
    for d, s in zip(durations, statuses):
        record("GET", "/api/items/12345", s, d)
    return durations, statuses


def section(ctx: Context, results: Results) -> None:
    table = results.table("aggregate", "aggregate() over the stored requests")
    np = try_import("numpy")
    _core.set_multiproc_dir(None)
    python_limit = 100_000 if ctx.quick else 1_000_000
    series: Dict[str, List[float]] = {"n": [], "vantorel": [], "python": [], "numpy": []}
    for n in SIZES:
        durations, statuses = fill_store(n)
        figures = python_aggregate(durations, statuses)
        a = _core.aggregate()
        ours = (a.total_requests, a.total_errors, a.error_rate, a.avg_latency_ms,
                a.min_latency_ms, a.max_latency_ms, a.p50_latency_ms, a.p95_latency_ms,
                a.p99_latency_ms)
        assert ours == figures, (ours, figures)  # the benchmark measures the right thing
        repeats = ctx.repeats if n <= 100_000 else ctx.repeats // 3
        variants = {"vantorel": Variant(loop("aggregate()", aggregate=_core.aggregate))}
        if np is not None:
            d_arr, s_arr = np.array(durations), np.array(statuses)
            variants["numpy"] = Variant(loop("f(np, d, s)", f=numpy_aggregate, np=np, d=d_arr,
                                             s=s_arr))
        if n <= python_limit:
            # A hundred times slower: from 100 000 requests on it takes a turn in a few repeats
            # only, still beside the others; noise matters less at that size.
            wanted = repeats if n < 100_000 else (15 if n == 100_000 else 5)
            variants["python"] = Variant(loop("f(d, s)", f=python_aggregate, d=durations,
                                              s=statuses), every=max(1, repeats // wanted))
        t = measure(variants, repeats, ctx.target_s)
        ours_ns = t["vantorel"].median_ns
        table.add(f"vantorel_{n}", f"vantorel aggregate(), {n:,} requests", t["vantorel"],
                  f"{ours_ns / n:.2f} ns per request", per_request_ns=ours_ns / n)
        series["n"].append(n)
        series["vantorel"].append(ours_ns)
        for peer, label in (("python", "pure Python (sum, sorted)"),
                            ("numpy", "numpy (sum, partition), data in arrays")):
            if peer in t:
                ratio = paired_ratio(t, peer, "vantorel")
                table.add(f"{peer}_{n}", f"{label}, {n:,} requests", t[peer],
                          f"{x(ratio)} vantorel", "peer", ratio=ratio)
                series[peer].append(t[peer].median_ns)
            else:
                series[peer].append(float("nan"))
    _core.clear_requests()
    _core.set_max_requests(10_000)
    table.print()

    at_10k = results.figure("vantorel_10000").value
    results.goal("aggregate() at 10 000 requests", "≤ 40 µs", format_ns(at_10k), at_10k <= 40_000)
    # Linear growth: the exponent of a power law through the figures from 10 000 up.
    ns = series["vantorel"]
    slope = math.log(ns[-1] / ns[1]) / math.log(SIZES[-1] / SIZES[1])
    per_request = ", ".join(f"{v / n:.2f}" for v, n in zip(ns, SIZES))
    results.goal("aggregate() grows linearly", "cost ∝ n (exponent ≈ 1)",
                 f"exponent {slope:.2f} from 10k to 1M; ns per request {per_request}",
                 0.85 <= slope <= 1.15)
    results.series["aggregate"] = series


if __name__ == "__main__":
    run_alone("aggregate")
