"""snapshot() beside the bare system calls it makes and beside psutil's figures of the same.

    python bench/snapshot.py [--quick]
"""
from __future__ import annotations

from harness import (Context, Results, Variant, format_ns, loop, measure, paired_ratio,
                     run_alone, try_import, x)

from vantorel import _core


def section(ctx: Context, results: Results) -> None:
    table = results.table("snapshot", "snapshot()")
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
    floor_share = paired_ratio(t, "floor", "vantorel")
    over_floor = paired_ratio(t, "vantorel", "floor")
    table.add("snapshot_floor", "floor: the same /proc reads in bare C", t["floor"],
              f"{x(floor_share)} vantorel", "floor", ratio=floor_share)
    table.add("snapshot", "vantorel snapshot()", t["vantorel"], f"{x(over_floor)} floor",
              ratio=over_floor)
    dearer = {}
    for key, label in (("psutil", "psutil cpu_percent + memory_info + num_threads"),
                       ("psutil_oneshot", "psutil, the same inside oneshot()")):
        if key in t:
            dearer[key] = paired_ratio(t, key, "vantorel")
            table.add(key, label, t[key], f"{x(dearer[key])} vantorel", "peer",
                      ratio=dearer[key])
    table.print()
    results.goal("snapshot()", "≤ 8 µs", format_ns(ours), ours <= 8000)
    if dearer:
        cheaper = min(dearer.values())
        results.goal("snapshot() against psutil (its faster form)", "≥ 8× cheaper", x(cheaper),
                     cheaper >= 8)
    else:
        results.goal("snapshot() against psutil", "≥ 8× cheaper", "psutil not installed", None)


if __name__ == "__main__":
    run_alone("snapshot")
