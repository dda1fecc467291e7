"""``python -m vantorel``: the demo, a read-only view of a shard directory, and its preparation.

    python -m vantorel demo [--requests N] [--concurrency C]
    python -m vantorel inspect DIR [--watch] [--interval S] [--json]
    python -m vantorel prepare DIR
"""

from __future__ import annotations

import argparse
import json
import os
import sys
import time
from datetime import datetime
from typing import List, Optional, Sequence, TextIO

from . import multiproc

__all__ = ["main", "render_inspect"]

_PROG = "python -m vantorel"
_BAR_WIDTH = 40


def _positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid int value: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, not {value}")
    return value


def _positive_float(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid float value: {text!r}") from None
    if not value > 0:
        raise argparse.ArgumentTypeError(f"must be greater than 0, not {text}")
    return value


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=_PROG,
        description="Request metrics for Python web applications: demo and shard tools.",
    )
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    commands.required = True

    demo = commands.add_parser(
        "demo",
        help="serve a small app with the middleware and drive real HTTP requests through it",
        description="Starts a small WSGI app with the middleware on 127.0.0.1, sends it mixed "
        "HTTP requests from several threads, then prints the aggregate, the process snapshot, "
        "the alerts and the Prometheus text. Needs nothing but the standard library.",
    )
    demo.add_argument("--requests", type=_positive_int, default=3000, metavar="N",
                      help="number of requests to send (default: 3000)")
    demo.add_argument("--concurrency", type=_positive_int, default=8, metavar="C",
                      help="client threads (default: 8)")
    demo.add_argument("--seed", type=int, default=None,
                      help="seed for the mix of requests (default: random)")
    demo.add_argument("--cpu-alert", type=float, default=50.0, metavar="PERCENT",
                      help="CPU threshold for check_alerts (default: 50)")
    demo.add_argument("--rss-alert-mb", type=float, default=256.0, metavar="MB",
                      help="resident memory threshold for check_alerts (default: 256)")

    inspect = commands.add_parser(
        "inspect",
        help="show the workers' shards in a multi-worker directory (read-only)",
        description="Reads the shard files of a multi-worker directory without changing them "
        "and shows each worker's counts, the merged totals and the latency histogram.",
    )
    inspect.add_argument("directory", metavar="DIR", help="the shard directory "
                         "(the value of VTR_MULTIPROC_DIR)")
    inspect.add_argument("--watch", action="store_true", help="refresh until interrupted")
    inspect.add_argument("--interval", type=_positive_float, default=2.0, metavar="S",
                         help="seconds between refreshes with --watch (default: 2)")
    inspect.add_argument("--iterations", type=_positive_int, default=None, metavar="N",
                         help="with --watch, stop after N refreshes")
    inspect.add_argument("--json", action="store_true", help="print JSON instead of a table")

    prepare = commands.add_parser(
        "prepare",
        help="create a shard directory and delete shards left by an earlier run",
        description="Run once before the workers start (for example before uvicorn "
        "--workers): creates DIR and deletes the vtr-*.shard files in it.",
    )
    prepare.add_argument("directory", metavar="DIR", help="the shard directory")
    return parser


def main(argv: Optional[Sequence[str]] = None) -> int:
    args = _parser().parse_args(argv)
    if args.command == "demo":
        from ._demo import run_demo

        return run_demo(requests=args.requests, concurrency=args.concurrency, seed=args.seed,
                        cpu_alert=args.cpu_alert, rss_alert_mb=args.rss_alert_mb)
    if args.command == "inspect":
        return _inspect(args.directory, watch=args.watch, interval=args.interval,
                        iterations=args.iterations, as_json=args.json)
    if args.command == "prepare":
        return _prepare(args.directory)
    raise AssertionError(args.command)  # argparse only lets the commands above through


def _prepare(directory: str) -> int:
    try:
        with os.scandir(directory) as entries:
            before = sum(1 for e in entries if e.name.startswith("vtr-")
                         and e.name.endswith(".shard") and not e.is_dir(follow_symlinks=False))
    except OSError:
        before = 0
    try:
        multiproc.prepare_shard_dir(directory, export=False)
    except (OSError, ValueError) as exc:
        print(f"{_PROG} prepare: {exc}", file=sys.stderr)
        return 1
    print(f"{directory}: ready, {before} old shard file(s) deleted")
    return 0


# ---------------------------------------------------------------------------------------------
# inspect


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


def render_inspect(directory: str, shards: Sequence[multiproc.ShardFile], now: float,
                   bar: str = "#") -> str:
    """The text that ``inspect`` shows for one reading of a directory."""
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


def _inspect_json(directory: str, shards: Sequence[multiproc.ShardFile]) -> str:
    merged = multiproc.merge(shards)
    document = {
        "directory": directory,
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
    return json.dumps(document, indent=2) + "\n"


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
                message = f"{_PROG} inspect: cannot read {directory}: {exc.strerror or exc}"
                if not watch:
                    print(message, file=sys.stderr)
                    return 1
                text = message + "\n"
            else:
                if as_json:
                    text = _inspect_json(directory, shards)
                else:
                    text = render_inspect(directory, shards, time.time(), bar)
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
