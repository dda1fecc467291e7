"""metrics_text() over 10 000 stored requests, its parts, and prometheus_client's
generate_latest() over what an instrumented application holds after as many requests.

    python bench/metrics_text.py [--quick]
"""
from __future__ import annotations

import random

from aggregate import fill_store
from harness import (Context, Results, Variant, format_ns, loop, measure, paired_ratio,
                     run_alone, try_import, x)
from record import prometheus_pattern

from vantorel import _core


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


def section(ctx: Context, results: Results) -> None:
    table = results.table("metrics_text", "metrics_text() with 10 000 stored requests")
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
    table.add("metrics_text", "vantorel metrics_text()", t["text"])
    for key, label in (("aggregate", "its aggregate() alone"),
                       ("snapshot", "its snapshot() alone")):
        share = paired_ratio(t, key, "text")
        table.add(f"text_{key}", label, t[key], f"{share:.0%} of metrics_text()", "part",
                  ratio=share)
    if "prometheus" in t:
        size = len(prometheus_client.generate_latest(registry))
        dearer = paired_ratio(t, "prometheus", "text")
        table.add("generate_latest",
                  f"prometheus_client generate_latest(), process collector ({size:,} bytes)",
                  t["prometheus"], f"{x(dearer)} vantorel", "peer", ratio=dearer)
    _core.clear_requests()
    _core.set_max_requests(10_000)
    table.print()
    results.goal("metrics_text() at 10 000 requests", "≤ 60 µs", format_ns(ours), ours <= 60_000)


if __name__ == "__main__":
    run_alone("metrics_text")
