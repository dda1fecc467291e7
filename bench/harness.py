"""Timing helpers of the benchmarks: the compiled floor, loops compiled for each call shape, and
medians of interleaved repeats."""
from __future__ import annotations

import gc
import importlib.util
import os
import statistics
import subprocess
import sys
import sysconfig
import tempfile
import time
from dataclasses import dataclass, field
from typing import Callable, Dict, List, Optional

HERE = os.path.dirname(os.path.abspath(__file__))


def load_floor():
    """Compile bench/floor.c for this interpreter and import it."""
    out_dir = tempfile.mkdtemp(prefix="vtr-floor-")
    suffix = sysconfig.get_config_var("EXT_SUFFIX") or ".so"
    target = os.path.join(out_dir, "_floor" + suffix)
    include = sysconfig.get_paths()["include"]
    compiler = os.environ.get("CC", "cc")
    subprocess.run([compiler, "-O2", "-shared", "-fPIC", "-I", include,
                    os.path.join(HERE, "floor.c"), "-o", target], check=True)
    spec = importlib.util.spec_from_file_location("_floor", target)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def loop(body: str, **names) -> Callable[[int], None]:
    """A function run(n) that executes `body` n times, with `names` bound as local variables (as
    fast to reach as in a real caller) and the loop counter as `i`."""
    params = "".join(f", {name}={name}" for name in names)
    source = f"def run(n{params}):\n    for i in range(n):\n        {body}\n"
    namespace = dict(names)
    exec(compile(source, f"<loop {body}>", "exec"), namespace)
    return namespace["run"]


@dataclass
class Variant:
    """One contender of a group: run(n) makes n calls. setup and teardown run outside the clock
    around every repeat (switching a mode on and off, for instance)."""
    run: Callable[[int], object]
    setup: Optional[Callable[[], None]] = None
    teardown: Optional[Callable[[], None]] = None
    calls: int = 0  # calls per repeat; 0: calibrated


@dataclass
class Stat:
    median_ns: float
    low_ns: float  # first quartile
    high_ns: float  # third quartile
    repeats: int
    samples: List[float] = field(default_factory=list)

    def minus(self, other: "Stat") -> "Stat":
        """This figure less `other`'s median (the empty loop, say), quartiles shifted alike."""
        m = other.median_ns
        return Stat(self.median_ns - m, self.low_ns - m, self.high_ns - m, self.repeats,
                    [s - m for s in self.samples])

    @property
    def spread(self) -> float:
        """Interquartile range relative to the median: how noisy the figure was."""
        return (self.high_ns - self.low_ns) / self.median_ns if self.median_ns > 0 else 0.0


def _quartiles(values: List[float]):
    ordered = sorted(values)
    if len(ordered) < 4:
        return ordered[0], ordered[-1]
    q = statistics.quantiles(ordered, n=4)
    return q[0], q[2]


def _timed(variant: Variant, calls: int) -> float:
    if variant.setup:
        variant.setup()
    gc_was_enabled = gc.isenabled()
    gc.disable()
    try:
        start = time.perf_counter_ns()
        variant.run(calls)
        elapsed = time.perf_counter_ns() - start
    finally:
        if gc_was_enabled:
            gc.enable()
        if variant.teardown:
            variant.teardown()
    return elapsed / calls


def calibrate(variant: Variant, target_s: float) -> int:
    """Calls per repeat so that one repeat lasts about target_s (at least one call)."""
    if variant.calls:
        return variant.calls
    calls = 1
    while True:
        per_call_ns = _timed(variant, calls)
        if per_call_ns * calls >= target_s * 1e9 / 10 or calls >= 1 << 26:
            break
        calls *= 4
    return max(1, int(target_s * 1e9 / max(per_call_ns, 1.0)))


def measure(variants: Dict[str, Variant], repeats: int, target_s: float) -> Dict[str, Stat]:
    """Median time per call of each variant. The variants take turns within every repeat, so that
    a noisy neighbour slows all of them alike; each repeat is one timed run of many calls."""
    calls = {name: calibrate(v, target_s) for name, v in variants.items()}
    for name, v in variants.items():
        _timed(v, min(calls[name], 1000))  # warm up (and let a JIT compile the loop)
    samples: Dict[str, List[float]] = {name: [] for name in variants}
    names = list(variants)
    for repeat in range(repeats):
        # Each repeat starts with the next contender, so that none always runs first.
        for name in names[repeat % len(names):] + names[:repeat % len(names)]:
            samples[name].append(_timed(variants[name], calls[name]))
    out = {}
    for name, values in samples.items():
        low, high = _quartiles(values)
        out[name] = Stat(statistics.median(values), low, high, len(values), values)
    return out


def paired_ratio(t: Dict[str, Stat], numerator: str, denominator: str,
                 baseline: Optional[str] = None) -> float:
    """Median over the repeats of numerator / denominator within each repeat (both less the
    baseline's time in that repeat, when given). The contenders of one repeat ran back to back,
    so a ratio taken within a repeat cancels most of what a busy machine adds to both."""
    ratios = []
    for i in range(min(len(t[numerator].samples), len(t[denominator].samples))):
        base = t[baseline].samples[i] if baseline else 0.0
        den = t[denominator].samples[i] - base
        if den > 0:
            ratios.append((t[numerator].samples[i] - base) / den)
    return statistics.median(ratios) if ratios else float("nan")


def interpreter() -> str:
    impl = sys.implementation.name
    version = ".".join(str(p) for p in sys.implementation.version[:3])
    if impl == "pypy":
        return f"PyPy {version} (Python {sys.version.split()[0]})"
    return f"CPython {sys.version.split()[0]}"


def format_ns(ns: float) -> str:
    if ns < 1000:
        return f"{ns:.1f} ns"
    if ns < 1_000_000:
        return f"{ns / 1000:.2f} µs"
    return f"{ns / 1e6:.2f} ms"
