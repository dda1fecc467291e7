"""Shared helpers of the benchmarks: the compiled floor, and medians of repeated timings."""
from __future__ import annotations

import importlib.util
import os
import statistics
import subprocess
import sys
import sysconfig
import tempfile
import time
from typing import Callable

HERE = os.path.dirname(os.path.abspath(__file__))


def load_floor():
    """Compile bench/floor.c for this interpreter (once per run) and import it."""
    out_dir = tempfile.mkdtemp(prefix="vtr-floor-")
    suffix = sysconfig.get_config_var("EXT_SUFFIX") or ".so"
    target = os.path.join(out_dir, "_floor" + suffix)
    include = sysconfig.get_paths()["include"]
    subprocess.run(["cc", "-O2", "-shared", "-fPIC", "-I", include,
                    os.path.join(HERE, "floor.c"), "-o", target], check=True)
    spec = importlib.util.spec_from_file_location("_floor", target)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def per_call_ns(fn: Callable[[], None], loops: int, repeats: int = 7) -> float:
    """Median over `repeats` of the time per call of `fn`, which itself runs `loops` calls."""
    fn()  # warm up
    samples = []
    for _ in range(repeats):
        start = time.perf_counter_ns()
        fn()
        samples.append((time.perf_counter_ns() - start) / loops)
    return statistics.median(samples)


def interleaved_ns(variants: dict[str, Callable[[], None]], loops: int,
                   repeats: int = 9) -> dict[str, float]:
    """Median time per call of each variant, the variants taking turns within every repeat so
    that a noisy neighbour slows all of them alike."""
    for fn in variants.values():
        fn()  # warm up
    samples: dict[str, list[float]] = {name: [] for name in variants}
    for _ in range(repeats):
        for name, fn in variants.items():
            start = time.perf_counter_ns()
            fn()
            samples[name].append((time.perf_counter_ns() - start) / loops)
    return {name: statistics.median(values) for name, values in samples.items()}


def report(rows: list[tuple[str, float, str]], unit: str = "ns") -> None:
    """Print rows of (label, figure, ratio text) as an aligned table."""
    width = max(len(r[0]) for r in rows)
    for label, figure, ratio in rows:
        print(f"  {label:<{width}}  {figure:>10.1f} {unit}  {ratio}")


def interpreter() -> str:
    impl = sys.implementation.name
    return f"{impl} {sys.version.split()[0]}"
