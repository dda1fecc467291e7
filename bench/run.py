"""vantorel beside its floors and its peers, every table in one run.

    python bench/run.py            # full run: writes docs/performance.md, docs/performance.png
                                   # and the figures of README.md's Performance section
    python bench/run.py --quick    # some 15 s, no end-to-end table: prints the tables and writes
                                   # to a temporary folder
    python bench/run.py --also /path/to/pypy/bin/python   # adds that interpreter's rows

Each table is bench/<table>.py and runs alone too: `python bench/middleware.py --quick`. Every
figure is the median over repeats of the mean time per call within one repeat, measured in this
process (prometheus_client's multiprocess mode excepted: it is fixed at import, so it runs in a
child process, and so do the servers of the end-to-end table). The contenders of one table take
turns within every repeat, so that a noisy neighbour slows them all alike; the quartiles say how
noisy a figure was.

A peer that is not installed is left out with a note; see the bench extra of pyproject.toml.
"""
from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile
from dataclasses import asdict

from harness import REPO, TABLES, Results, interpreter, print_goals, run_tables
from report import chart, markdown, readme_block, replace_block

import vantorel

# What another interpreter (--also) runs: the end-to-end table serves FastAPI, which is
# CPython's only, and the merge reads the same files in the same C code on any interpreter.
ALSO_TABLES = ("record", "aggregate", "snapshot", "metrics_text", "series", "metrics",
               "middleware", "exemplars")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true",
                        help="fewer repeats and no end-to-end table: some 15 s")
    parser.add_argument("--sections", help=f"comma-separated, of {','.join(TABLES)}")
    parser.add_argument("--out", help="folder for performance.md and performance.png (default: "
                                      "docs/ for a full run, a temporary one for --quick)")
    parser.add_argument("--also", action="append", default=[], metavar="PYTHON",
                        help="another interpreter with vantorel installed whose rows to add")
    parser.add_argument("--json", help=argparse.SUPPRESS)  # used by --also
    args = parser.parse_args()

    if args.sections:
        chosen = args.sections.split(",")
    else:
        chosen = [t for t in TABLES if not (args.quick and t == "e2e")]
    unknown = sorted(set(chosen) - set(TABLES))
    if unknown:
        parser.error(f"no such table: {', '.join(unknown)}")
    print(f"{interpreter()}, vantorel {vantorel.__version__}, "
          f"{'quick' if args.quick else 'full'} run")
    if args.quick and "e2e" not in chosen:
        print("(the end-to-end table is left out of a quick run: python bench/e2e.py runs it)")
    results = run_tables(chosen, args.quick)
    print_goals(results)
    if args.json:
        with open(args.json, "w") as f:
            json.dump(asdict(results), f)
        return

    all_results = [results]
    for other in args.also:
        handle, path = tempfile.mkstemp(suffix=".json")
        os.close(handle)
        command = [other, os.path.abspath(__file__), "--json", path, "--sections",
                   ",".join(t for t in chosen if t in ALSO_TABLES)]
        if args.quick:
            command.append("--quick")
        print(f"\n--- {other} ---")
        subprocess.run(command, check=True, cwd=os.getcwd())
        with open(path) as f:
            all_results.append(Results.load_json(json.load(f)))
        os.unlink(path)

    docs = os.path.join(REPO, "docs")
    out = args.out or (tempfile.mkdtemp(prefix="vtr-bench-out-") if args.quick else docs)
    os.makedirs(out, exist_ok=True)
    with open(os.path.join(out, "performance.md"), "w") as f:
        f.write(markdown(all_results))
    drawn = chart(all_results, os.path.join(out, "performance.png"))
    print(f"\nwrote {os.path.join(out, 'performance.md')}"
          f"{' and performance.png' if drawn else ''}")
    # The README quotes the run that wrote docs/: a full run of every table.
    if os.path.abspath(out) == docs and not args.quick and chosen == list(TABLES):
        readme = os.path.join(REPO, "README.md")
        with open(readme, encoding="utf-8") as f:
            text = f.read()
        with open(readme, "w", encoding="utf-8") as f:
            f.write(replace_block(text, readme_block(all_results)))
        print(f"rewrote the figures of {readme}")


if __name__ == "__main__":
    sys.exit(main())
