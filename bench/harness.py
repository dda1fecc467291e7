"""What every benchmark table shares: the compiled floors, loops compiled for each call shape,
medians of interleaved repeats and ratios taken within a repeat, the results the tables add their
rows to, and the entry point that runs tables (one alone, or all of them from run.py)."""
from __future__ import annotations

import argparse
import gc
import importlib
import importlib.util
import json
import os
import random
import shutil
import statistics
import subprocess
import sys
import sysconfig
import tempfile
import time
from dataclasses import dataclass, field
from typing import Callable, Dict, Iterator, List, Optional, Tuple

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)

# Every table, in the order of a full run and of docs/performance.md: bench/<name>.py each.
TABLES = ("record", "aggregate", "snapshot", "metrics_text", "merge", "series", "metrics",
          "middleware", "exemplars", "e2e")


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


def try_import(name: str):
    try:
        return __import__(name, fromlist=["_"])
    except Exception:  # not installed, or does not load on this interpreter
        return None


# ------------------------------------------------------------------------------------------------
# Timing


@dataclass
class Variant:
    """One contender of a group: run(n) makes n calls. setup and teardown run outside the clock
    around every repeat (switching a mode on and off, for instance). A contender a hundred times
    slower than the others takes its turn only in every `every`-th repeat."""
    run: Callable[[int], object]
    setup: Optional[Callable[[], None]] = None
    teardown: Optional[Callable[[], None]] = None
    calls: int = 0  # calls per repeat; 0: calibrated
    every: int = 1


@dataclass
class Stat:
    median_ns: float
    low_ns: float  # first quartile
    high_ns: float  # third quartile
    repeats: int
    samples: List[float] = field(default_factory=list)
    rounds: List[int] = field(default_factory=list)  # the repeat each sample was taken in

    @classmethod
    def of(cls, samples: List[float], rounds: Optional[List[int]] = None) -> "Stat":
        low, high = _quartiles(samples)
        return cls(statistics.median(samples), low, high, len(samples), list(samples),
                   list(rounds) if rounds is not None else list(range(len(samples))))

    def minus(self, other: "Stat") -> "Stat":
        """This figure less `other`'s median (the empty loop, say), quartiles shifted alike."""
        m = other.median_ns
        return Stat(self.median_ns - m, self.low_ns - m, self.high_ns - m, self.repeats,
                    [s - m for s in self.samples], self.rounds)


def _quartiles(values: List[float]) -> Tuple[float, float]:
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


# PyPy's JIT compiles a loop or a function once it has run some 1600 times, and a request goes
# through many functions: until then a web framework runs ten times slower than it will.
JIT_WARM_UP_CALLS = 3000 if sys.implementation.name == "pypy" else 0


def warm_up(variant: Variant, calls: int, limit_s: float) -> None:
    """Runs the variant `calls` times, or for limit_s if that ends first."""
    done, batch = 0, 1
    deadline = time.perf_counter() + limit_s
    while done < calls and time.perf_counter() < deadline:
        _timed(variant, batch)
        done += batch
        batch = min(batch * 2, calls - done) or 1


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
    # A cold first run overstates the time per call, and a JIT speeds the calls up as it
    # compiles them: time whole repeats until the estimate stops falling.
    for _ in range(5):
        calls = max(1, int(target_s * 1e9 / max(per_call_ns, 1.0)))
        warmer = _timed(variant, calls)
        if warmer > per_call_ns * 0.9:
            break
        per_call_ns = warmer
    return max(1, int(target_s * 1e9 / max(per_call_ns, 1.0)))


def measure(variants: Dict[str, Variant], repeats: int, target_s: float,
            equal_calls: bool = False) -> Dict[str, Stat]:
    """Median time per call of each variant. The variants take turns within every repeat, so that
    a noisy neighbour slows all of them alike; each repeat is one timed run of many calls.

    With equal_calls, every variant makes as many calls per repeat as the slowest one makes in
    target_s: whatever a repeat costs once (starting the event loop, caches cold after the other
    contenders ran) is then spread over the same number of calls, and differences between the
    contenders are differences between their calls."""
    if JIT_WARM_UP_CALLS:
        for v in variants.values():
            warm_up(v, JIT_WARM_UP_CALLS, 1.0)
    calls = {name: calibrate(v, target_s) for name, v in variants.items()}
    if equal_calls:
        calls = dict.fromkeys(calls, min(calls.values()))
    for name, v in variants.items():
        _timed(v, min(calls[name], 1000))  # warm up (and let a JIT compile the loop)
    samples: Dict[str, List[float]] = {name: [] for name in variants}
    rounds: Dict[str, List[int]] = {name: [] for name in variants}
    names = list(variants)
    order = random.Random(repeats)
    for repeat in range(repeats):
        # A new order in every repeat: none always runs first, and none always runs right after
        # the same other one (whose code and data it would find in the caches, or not).
        order.shuffle(names)
        for name in names:
            if repeat % variants[name].every == 0:
                samples[name].append(_timed(variants[name], calls[name]))
                rounds[name].append(repeat)
    return {name: Stat.of(samples[name], rounds[name]) for name in variants}


def _pairs(t: Dict[str, Stat], a: str, b: str,
           baseline: Optional[str]) -> Iterator[Tuple[float, float]]:
    """(a, b) from each repeat that measured both (and the baseline), less the baseline's time in
    that repeat when one is given."""
    of_b = dict(zip(t[b].rounds, t[b].samples))
    of_base = dict(zip(t[baseline].rounds, t[baseline].samples)) if baseline else {}
    for r, value in zip(t[a].rounds, t[a].samples):
        if r in of_b and (baseline is None or r in of_base):
            base = of_base[r] if baseline else 0.0
            yield value - base, of_b[r] - base


def paired_ratio(t: Dict[str, Stat], numerator: str, denominator: str,
                 baseline: Optional[str] = None) -> float:
    """Median over the repeats of numerator / denominator within each repeat (both less the
    baseline's time in that repeat, when given). The contenders of one repeat ran back to back,
    so a ratio taken within a repeat cancels most of what a busy machine adds to both."""
    ratios = [a / b for a, b in _pairs(t, numerator, denominator, baseline) if b > 0]
    return statistics.median(ratios) if ratios else float("nan")


def paired_difference(t: Dict[str, Stat], minuend: str, subtrahend: str) -> float:
    """Median over the repeats of minuend - subtrahend within each repeat: what a wrapper adds."""
    differences = [a - b for a, b in _pairs(t, minuend, subtrahend, None)]
    return statistics.median(differences) if differences else float("nan")


def added_ratio(t: Dict[str, Stat], numerator: str, denominator: str, baseline: str) -> float:
    """What numerator adds to the baseline over what denominator adds, each addition a median of
    differences within a repeat. Not a median of ratios within a repeat: an addition of a few µs
    to some 100 µs is smaller than the repeat-to-repeat noise, so in many repeats the
    denominator would be near zero or negative."""
    return (paired_difference(t, numerator, baseline) /
            paired_difference(t, denominator, baseline))


# ------------------------------------------------------------------------------------------------
# Results


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


def format_value(value: float, unit: str) -> str:
    return f"{value:,.0f}/s" if unit == "rps" else format_ns(value)


def x(ratio: float) -> str:
    return f"{ratio:.2f}×" if ratio < 10 else f"{ratio:.0f}×"


@dataclass
class Row:
    section: str
    key: str  # stable name for goals, the chart and the README
    label: str
    value: float  # the median: ns per call, or requests per second in an "rps" table
    low: float  # quartiles
    high: float
    compare: str = ""  # the comparison to its floor or peer, as text
    kind: str = "vantorel"  # vantorel | part (of a vantorel row) | floor | peer
    figures: Dict[str, float] = field(default_factory=dict)  # the numbers `compare` shows


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
    tables: Dict[str, Dict] = field(default_factory=dict)  # section: title, unit, notes
    series: Dict[str, Dict[str, List[float]]] = field(default_factory=dict)  # for the chart
    load: List[float] = field(default_factory=list)

    def table(self, section: str, title: str, unit: str = "ns") -> "Table":
        print(f"\n{title} ({self.interpreter})")
        self.tables[section] = {"title": title, "unit": unit, "notes": []}
        return Table(self, section)

    def goal(self, what: str, target: str, figure: str, met: Optional[bool]) -> None:
        self.goals.append(Goal(what, target, figure, met))

    def note(self, text: str) -> None:
        self.notes.append(text)
        print(f"  note: {text}")

    def figure(self, key: str) -> Optional[Row]:
        return next((r for r in self.rows if r.key == key), None)

    @classmethod
    def load_json(cls, data: dict) -> "Results":
        results = cls(data["interpreter"], data["quick"])
        results.rows = [Row(**r) for r in data["rows"]]
        results.goals = [Goal(**g) for g in data["goals"]]
        for name in ("notes", "tables", "series", "load"):
            setattr(results, name, data[name])
        return results


class Table:
    """The rows of one section, added in the order they are shown."""

    def __init__(self, results: Results, section: str) -> None:
        self.results = results
        self.section = section

    def add(self, key: str, label: str, stat: Stat, compare: str = "", kind: str = "vantorel",
            **figures: float) -> Row:
        row = Row(self.section, key, label, stat.median_ns, stat.low_ns, stat.high_ns, compare,
                  kind, figures)
        self.results.rows.append(row)
        return row

    def note(self, text: str) -> None:
        """A remark printed under the table (what stood in for what, what was left out)."""
        self.results.tables[self.section]["notes"].append(text)
        print(f"  note: {text}")

    def print(self) -> None:
        rows = [r for r in self.results.rows if r.section == self.section]
        if not rows:
            return
        unit = self.results.tables[self.section]["unit"]
        width = max(len(r.label) for r in rows)
        for r in rows:
            print(f"  {r.label:<{width}}  {format_value(r.value, unit):>11}  {r.compare}")


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
        return 101 if self.quick else 701

    @property
    def middleware_s(self) -> float:
        """A whole request takes some 100 µs, and what a middleware adds a few: short repeats of
        some ten requests keep the contenders close in time, so that a busy neighbour seldom
        slows one of them and not the next."""
        return 0.002


# ------------------------------------------------------------------------------------------------
# Child processes


def child_env(**extra: str) -> Dict[str, str]:
    """This environment without the multi-worker switches, plus `extra`."""
    env = {k: v for k, v in os.environ.items()
           if k not in ("VTR_MULTIPROC_DIR", "PROMETHEUS_MULTIPROC_DIR")}
    env.update(extra)
    return env


def measure_in_child(code: str, repeats: int, target_s: float,
                     env: Dict[str, str]) -> Dict[str, Stat]:
    """measure() in a fresh interpreter, for a contender whose mode is fixed at import. `code`
    runs with the harness imported and bench/ importable, and leaves the contenders in
    `variants`; all of them take turns there, so that ratios between them stay paired."""
    script = "\n".join([
        "import json, sys",
        f"sys.path.insert(0, {HERE!r})",
        "from dataclasses import asdict",
        "from harness import Variant, loop, measure",
        code,
        f"t = measure(variants, {repeats!r}, {target_s!r})",
        "print(json.dumps({name: asdict(stat) for name, stat in t.items()}))",
    ])
    out = subprocess.run([sys.executable, "-c", script], env=env, stdout=subprocess.PIPE,
                         check=True).stdout
    data = json.loads(out.decode().strip().splitlines()[-1])
    return {name: Stat(**stat) for name, stat in data.items()}


# ------------------------------------------------------------------------------------------------
# Running tables


def run_tables(names, quick: bool) -> Results:
    """Runs bench/<name>.py's section() for each name, in this process, into one Results."""
    from vantorel import _core

    results = Results(interpreter(), quick)
    results.load.append(os.getloadavg()[0])
    workdir = tempfile.mkdtemp(prefix="vtr-bench-")
    ctx = Context(quick, load_floor(), workdir)
    sys.path.insert(0, HERE)
    try:
        for name in names:
            start = time.monotonic()
            importlib.import_module(name).section(ctx, results)
            print(f"  ({time.monotonic() - start:.1f} s)")
    finally:
        _core.set_multiproc_dir(None)
        shutil.rmtree(workdir, ignore_errors=True)
    results.load.append(os.getloadavg()[0])
    return results


def print_goals(results: Results) -> None:
    if results.goals:
        print("\ngoals:")
    for g in results.goals:
        met = "n/a" if g.met is None else ("met" if g.met else "MISSED")
        print(f"  {g.what}: {g.figure} (goal {g.target}) {met}")


def run_alone(name: str) -> None:
    """`python bench/<name>.py [--quick]`: that one table, printed."""
    parser = argparse.ArgumentParser(description=f"the {name} table of the benchmarks")
    parser.add_argument("--quick", action="store_true", help="fewer repeats")
    args = parser.parse_args()
    print_goals(run_tables([name], args.quick))
