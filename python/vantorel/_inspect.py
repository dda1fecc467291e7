"""``python -m vantorel inspect``: a read-only view of a shard directory, as a table or as JSON
(each worker's shard, the merged totals and histogram, the per-route series, the application's
own families), once or refreshed."""

from __future__ import annotations

import json
import os
import stat
import sys
import time
from dataclasses import dataclass
from datetime import datetime
from typing import Any, Dict, List, Optional, Sequence, TextIO, Tuple

from . import metrics, multiproc, series

PROG = "python -m vantorel"
_BAR_WIDTH = 40


def _ms(us: float) -> str:
    return f"{us / 1000.0:.2f}"


def _age(updated_at: int, now: float) -> str:
    if not updated_at:
        return "-"
    seconds = int(now - updated_at)
    if seconds < 0:
        return "just now"
    if seconds < 120:
        return f"{seconds}s ago"
    if seconds < 7200:
        return f"{seconds // 60}m ago"
    return datetime.fromtimestamp(updated_at).strftime("%Y-%m-%d %H:%M")


def _bucket_labels() -> List[str]:
    labels = [f"<= {int(b)} ms" for b in multiproc.BUCKET_BOUNDS_MS]
    labels.append(f"> {int(multiproc.BUCKET_BOUNDS_MS[-1])} ms")
    return labels


def _bar_char(stream: TextIO) -> str:
    encoding = getattr(stream, "encoding", None) or "ascii"
    try:
        "\u2588".encode(encoding)
    except (UnicodeEncodeError, LookupError):
        return "#"
    return "\u2588"


# A user's and a group's name, or the number when there is none.
_user = multiproc._user_name
_group = multiproc._group_name


def access_notes(directory: str, shards: Sequence[multiproc.ShardFile]) -> List[str]:
    """Who may create shards in the directory, where that explains a worker that cannot count
    here or lets strangers count: every local user may, or no live worker has a shard here and
    only the owner (and root) may. Nothing when the directory cannot be examined."""
    try:
        info = os.stat(directory)
    except OSError:
        return []
    mode = stat.S_IMODE(info.st_mode)
    owner = f"owner {_user(info.st_uid)}:{_group(info.st_gid)}, mode {mode:04o}"
    everyone = multiproc.open_to_everyone(directory)
    if everyone is not None:
        return [everyone]
    if any(s.counted for s in shards):
        return []
    writers = []
    if mode & 0o300 == 0o300:
        writers.append(_user(info.st_uid))
    if mode & 0o030 == 0o030:
        writers.append(f"members of group {_group(info.st_gid)}")
    if info.st_uid != 0 or not writers:
        writers.append("root")
    return [f"only {' and '.join(writers)} may create files here ({owner}): workers that run "
            "as another user cannot create their shards, and each counts alone"]


def render_inspect(directory: str, shards: Sequence[multiproc.ShardFile], now: float,
                   bar: str = "#", notes: Sequence[str] = ()) -> str:
    """The text that ``inspect`` shows for one reading of a directory, with ``access_notes``."""
    merged = multiproc.merge(shards)
    lines = []
    valid = [s for s in shards if s.problem is None]
    dead = [s for s in valid if not s.alive]
    lines.append(f"Shard directory {directory}: {len(shards)} shard file(s), "
                 f"{merged.workers} live worker(s), {len(dead)} dead")
    lines.append("")
    if not shards:
        lines.append("  (no shard files: no worker has recorded here yet)")
    else:
        header = (f"  {'PID':>8}  {'STATE':<5}  {'REQUESTS':>9}  {'ERRORS':>7}  {'ERR%':>6}  "
                  f"{'AVG ms':>9}  {'MIN ms':>9}  {'MAX ms':>9}  UPDATED")
        lines.append(header)
        for s in shards:
            if s.problem is not None:
                lines.append(f"  {s.name}: {s.problem} (not counted)")
                continue
            rate = f"{s.errors / s.count * 100.0:.1f}" if s.count else "0.0"
            avg = _ms(s.sum_us / s.count) if s.count else "0.00"
            low = _ms(s.min_us) if s.count and s.min_us != multiproc.NO_MIN_US else "-"
            high = _ms(s.max_us) if s.count else "-"
            state = "live" if s.alive else "dead"
            line = (f"  {s.pid:>8}  {state:<5}  {s.count:>9}  {s.errors:>7}  {rate:>6}  "
                    f"{avg:>9}  {low:>9}  {high:>9}  {_age(s.updated_at, now)}")
            if not s.alive:
                line += "  (not counted)"
            lines.append(line)
    lines.extend(f"  note: {note}" for note in notes)
    lines.append("")
    lines.append(f"Merged over {merged.workers} live worker(s):")
    lines.append(f"  requests {merged.count}   errors {merged.errors} "
                 f"({merged.error_rate:.1f}%)")
    lines.append(f"  latency ms: avg {merged.avg_latency_ms:.2f}   "
                 f"min {merged.min_latency_ms:.2f}   max {merged.max_latency_ms:.2f}   "
                 f"p50 {merged.quantile_ms(0.5):.2f}   p95 {merged.quantile_ms(0.95):.2f}   "
                 f"p99 {merged.quantile_ms(0.99):.2f}")
    lines.append("")
    lines.append("Latency histogram (live workers):")
    peak = max(merged.buckets) if merged.buckets else 0
    for label, value in zip(_bucket_labels(), merged.buckets):
        width = round(value / peak * _BAR_WIDTH) if peak else 0
        if value and not width:
            width = 1  # a bucket that holds anything shows at least one mark
        share = f"{value / merged.count * 100.0:5.1f}%" if merged.count else "    -"
        lines.append(f"  {label:>11} |{bar * width:<{_BAR_WIDTH}}| {value:>9}  {share}")
    return "\n".join(lines) + "\n"


@dataclass
class RouteRow:
    """One route of ``inspect``'s table: the series of one (method, route), every status."""

    method: str
    route: str
    requests: int
    errors: int  # status 400 or more
    sum_us: int
    buckets: List[int]
    bounds_ms: Tuple[float, ...]  # the buckets' finite upper bounds

    def quantile_ms(self, q: float) -> float:
        # No maximum is kept per series: a rank in the overflow bucket reads as its lower bound.
        return multiproc.histogram_quantile(self.buckets, q, self.bounds_ms[-1], self.bounds_ms)


def route_rows(snapshot: series.Snapshot) -> List[RouteRow]:
    """The series of a directory by (method, route), busiest in time first."""
    rows: Dict[Tuple[str, str], RouteRow] = {}
    bounds_ms = tuple(bound * 1000.0 for bound in snapshot.bounds)
    for s in snapshot.series:
        row = rows.get((s.method, s.route))
        if row is None:
            row = rows[(s.method, s.route)] = RouteRow(s.method, s.route, 0, 0, 0,
                                                       [0] * len(s.buckets), bounds_ms)
        row.requests += s.count
        if s.status is not None and s.status >= 400:
            row.errors += s.count
        row.sum_us += s.sum_us
        for i, value in enumerate(s.buckets):
            row.buckets[i] += value
    return sorted(rows.values(), key=lambda r: (-r.sum_us, -r.requests, r.method, r.route))


_MAX_ROUTE_ROWS = 25


def render_routes(snapshot: series.Snapshot, limit: int = _MAX_ROUTE_ROWS) -> str:
    """``inspect``'s per-route table: requests, errors, p50 and p99 from the buckets, and each
    route's share of the time spent in requests."""
    rows = route_rows(snapshot)
    busy = sum(snapshot.in_progress.values())
    lines = [f"Routes: {len(rows)} route(s) over every worker's life, dead workers' included; "
             f"{busy} request(s) in progress"]
    if snapshot.overflow:
        lines.append(f"  note: {snapshot.overflow} request(s) counted under the overflow series "
                     f"(more distinct keys than the limit of {series.get_limit()})")
    if not rows:
        lines.append("  (no series: no request has been recorded here yet)")
        return "\n".join(lines) + "\n"
    total_us = sum(r.sum_us for r in rows)
    width = min(max(len(r.route) for r in rows[:limit]), 48)
    lines.append(f"  {'METHOD':<7} {'ROUTE':<{width}}  {'REQUESTS':>9}  {'ERRORS':>7}  "
                 f"{'ERR%':>6}  {'p50 ms':>9}  {'p99 ms':>9}  {'TIME%':>6}")
    for r in rows[:limit]:
        route = r.route if len(r.route) <= width else r.route[:width - 1] + "\u2026"
        rate = f"{r.errors / r.requests * 100.0:.1f}" if r.requests else "0.0"
        share = f"{r.sum_us / total_us * 100.0:.1f}" if total_us else "0.0"
        lines.append(f"  {r.method:<7} {route:<{width}}  {r.requests:>9}  {r.errors:>7}  "
                     f"{rate:>6}  {r.quantile_ms(0.5):>9.2f}  {r.quantile_ms(0.99):>9.2f}  "
                     f"{share:>6}")
    if len(rows) > limit:
        lines.append(f"  ... and {len(rows) - limit} more route(s) (--json lists them all)")
    return "\n".join(lines) + "\n"


def _routes_json(snapshot: series.Snapshot) -> Dict[str, Any]:
    rows = route_rows(snapshot)
    total_us = sum(r.sum_us for r in rows)
    return {
        "in_progress": dict(snapshot.in_progress),
        "overflow_requests": snapshot.overflow,
        "bucket_bounds_seconds": list(snapshot.bounds),
        "routes": [
            {
                "method": r.method,
                "route": r.route,
                "requests": r.requests,
                "errors": r.errors,
                "sum_us": r.sum_us,
                "p50_latency_ms": r.quantile_ms(0.5),
                "p99_latency_ms": r.quantile_ms(0.99),
                "time_share": r.sum_us / total_us if total_us else 0.0,
                "buckets": r.buckets,
            }
            for r in rows
        ],
        "series": [s._asdict() for s in snapshot.series],
    }


_MAX_FAMILY_ROWS = 25


def _activity(family: metrics.Family, sample: metrics.Sample) -> float:
    """How busy a series is: a histogram's or summary's observations, a counter's value, the
    size of a gauge's."""
    if family.kind in ("histogram", "summary"):
        return float(sample.count)
    size = abs(sample.value)
    return 0.0 if size != size else size  # NaN: idle


def _series_name(family: metrics.Family, sample: metrics.Sample) -> str:
    """The series as the page names it: name{label="value",...}."""
    name = family.name + ("_total" if family.kind == "counter" else "")
    values = [metrics.OVERFLOW_LABEL] * len(family.labelnames) if sample.overflow else \
        list(sample.labels)
    pairs = [f"{label}={json.dumps(value, ensure_ascii=False)}"
             for label, value in zip(family.labelnames, values)]
    if family.kind == "gauge" and family.mode in ("all", "liveall"):
        pairs.append(f'pid="{sample.pid}"')
    return name + ("{" + ",".join(pairs) + "}" if pairs else "")


def _special(value: float) -> Optional[str]:
    """NaN and the infinities as the page writes them; None for a finite value."""
    if value != value:
        return "NaN"
    if value in (float("inf"), float("-inf")):
        return "+Inf" if value > 0 else "-Inf"
    return None


def _number(value: float) -> str:
    special = _special(value)
    if special is not None:
        return special
    if value == int(value) and abs(value) < 1e15:
        return str(int(value))
    return f"{value:.6g}"


def render_families(found: metrics.Families, limit: int = _MAX_FAMILY_ROWS) -> str:
    """``inspect``'s table of the application's own metrics: each family's kind and series,
    then the busiest series (observations of histograms and summaries, values of counters,
    sizes of gauges), dead workers' counts included."""
    count = sum(len(f.samples) for f in found.families)
    families = len(found.families)
    lines = [f"Your metrics: {families} famil{'y' if families == 1 else 'ies'}, {count} series, "
             "dead workers' counts included"]
    for name in found.refused:
        lines.append(f"  note: {name} is defined with another layout by some worker; the "
                     "samples of that layout are left out")
    if not found.families:
        lines.append("  (no families: no worker has defined a metric here yet)")
        return "\n".join(lines) + "\n"
    for family in found.families:
        mode = f", mode {family.mode}" if family.kind == "gauge" else ""
        overflow = sum(1 for s in family.samples if s.overflow)
        note = "  (overflow series in use: more label sets than the limit)" if overflow else ""
        lines.append(f"  {family.name:<40} {family.kind}{mode}, {len(family.samples)} series"
                     f"{note}")
    rows = sorted(((f, s) for f in found.families for s in f.samples),
                  key=lambda fs: (-_activity(*fs), fs[0].name, fs[1].labels))
    shown = rows[:limit]
    names = [_series_name(f, s) for f, s in shown]
    width = min(max(len(n) for n in names), 72) if names else 6
    lines.append("")
    lines.append(f"  {'SERIES':<{width}}  {'KIND':<9}  {'VALUE/COUNT':>14}  {'SUM':>14}")
    for (family, sample), name in zip(shown, names):
        if len(name) > width:
            name = name[:width - 1] + "\u2026"
        observed = family.kind in ("histogram", "summary")
        first = _number(float(sample.count)) if observed else _number(sample.value)
        total = _number(sample.value) if observed else ""
        lines.append(f"  {name:<{width}}  {family.kind:<9}  {first:>14}  {total:>14}")
    if len(rows) > limit:
        lines.append(f"  ... and {len(rows) - limit} more series (--json lists them all)")
    return "\n".join(lines) + "\n"


def _families_json(found: metrics.Families) -> Dict[str, Any]:
    def number(value: float) -> Any:
        special = _special(value)  # JSON has no NaN nor infinities
        return value if special is None else special

    return {
        "refused": list(found.refused),
        "families": [
            {
                "name": f.name,
                "kind": f.kind,
                "mode": f.mode if f.kind == "gauge" else None,
                "documentation": f.documentation,
                "labelnames": list(f.labelnames),
                "bounds": list(f.bounds),
                "series": [
                    {
                        "labels": dict(zip(f.labelnames, s.labels)),
                        "overflow": s.overflow,
                        "pid": s.pid if f.kind == "gauge" and f.mode in ("all", "liveall")
                        else None,
                        "value": number(s.value),
                        "count": s.count,
                        "buckets": list(s.buckets),
                    }
                    for s in f.samples
                ],
            }
            for f in found.families
        ],
    }


def _inspect_json(directory: str, shards: Sequence[multiproc.ShardFile],
                  routes: Optional[series.Snapshot] = None,
                  families: Optional[metrics.Families] = None) -> str:
    merged = multiproc.merge(shards)
    document = {
        "directory": directory,
        "notes": access_notes(directory, shards),
        "shards": [
            {
                "file": s.name,
                "valid": s.problem is None,
                "problem": s.problem,
                "pid": s.pid,
                "alive": s.alive,
                "counted": s.counted,
                "count": s.count,
                "errors": s.errors,
                "sum_us": s.sum_us,
                "min_us": s.min_us,
                "max_us": s.max_us,
                "updated_at": s.updated_at,
                "buckets": list(s.buckets),
            }
            for s in shards
        ],
        "merged": {
            "workers": merged.workers,
            "total_requests": merged.count,
            "total_errors": merged.errors,
            "error_rate": merged.error_rate,
            "avg_latency_ms": merged.avg_latency_ms,
            "min_latency_ms": merged.min_latency_ms,
            "max_latency_ms": merged.max_latency_ms,
            "p50_latency_ms": merged.quantile_ms(0.5),
            "p95_latency_ms": merged.quantile_ms(0.95),
            "p99_latency_ms": merged.quantile_ms(0.99),
            "buckets": [
                {"le_ms": b, "count": c}
                for b, c in zip(list(multiproc.BUCKET_BOUNDS_MS) + [None], merged.buckets)
            ],
        },
    }
    if routes is not None:
        document["series"] = _routes_json(routes)
    if families is not None:
        document["metrics"] = _families_json(families)
    return json.dumps(document, indent=2) + "\n"


def _read_routes(directory: str) -> Optional[series.Snapshot]:
    try:
        return series.read_dir(directory)
    except OSError:
        return None


def _read_families(directory: str) -> Optional[metrics.Families]:
    try:
        return metrics.read_dir(directory)
    except OSError:
        return None


def _inspect(directory: str, *, watch: bool, interval: float, iterations: Optional[int],
             as_json: bool) -> int:
    out = sys.stdout
    clear = watch and out.isatty() and not as_json
    bar = _bar_char(out)
    shown = 0
    try:
        while True:
            try:
                shards = multiproc.read_shard_dir(directory)
            except OSError as exc:
                message = f"{PROG} inspect: cannot read {directory}: {exc.strerror or exc}"
                if not watch:
                    print(message, file=sys.stderr)
                    return 1
                text = message + "\n"
            else:
                routes = _read_routes(directory)
                families = _read_families(directory)
                if as_json:
                    text = _inspect_json(directory, shards, routes, families)
                else:
                    text = render_inspect(directory, shards, time.time(), bar,
                                          access_notes(directory, shards))
                    if routes is not None:
                        text += "\n" + render_routes(routes)
                    if families is not None:
                        text += "\n" + render_families(families)
            if clear:
                out.write("\x1b[H\x1b[2J")
            if watch and not as_json:
                stamp = datetime.now().strftime("%H:%M:%S")
                text = f"{stamp}, every {interval:g}s (Ctrl-C to stop)\n\n" + text
            out.write(text)
            out.flush()
            shown += 1
            if not watch or (iterations is not None and shown >= iterations):
                return 0
            time.sleep(interval)
            if not clear:
                out.write("\n")
    except KeyboardInterrupt:
        return 0
    except BrokenPipeError:
        # The reader has gone (`inspect --watch | head`): stop quietly. What is still buffered
        # would fail again when the interpreter flushes stdout on its way out.
        try:
            os.dup2(os.open(os.devnull, os.O_WRONLY), out.fileno())
        except (OSError, ValueError):
            pass
        return 0
