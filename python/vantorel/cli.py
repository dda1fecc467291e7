"""``python -m vantorel``: the demo, a read-only view of a shard directory, and its preparation.

    python -m vantorel demo [--requests N] [--concurrency C]
    python -m vantorel inspect DIR [--watch] [--interval S] [--json]
    python -m vantorel prepare DIR [--user USER] [--group GROUP] [--force]
"""

from __future__ import annotations

import argparse
import errno
import grp
import os
import pwd
import stat
import sys
from pathlib import Path
from typing import Optional, Sequence, Tuple

from . import multiproc
from ._inspect import PROG as _PROG
from ._inspect import _group, _inspect, _user, access_notes, render_families, render_inspect

__all__ = ["access_notes", "main", "render_families", "render_inspect"]


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
        "and shows each worker's counts, the merged totals, the latency histogram, the busiest "
        "routes and the busiest series of the application's own metrics.",
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
        help="create a shard directory and delete the files left by an earlier run",
        description="Run once for a new deployment, before its workers start (for example "
        "before uvicorn --workers): creates DIR and deletes the shard, series and archive "
        "files in it. Run it as the workers' user, or as root with --user (and --group) "
        "naming that user. Exits with 1, saying what is wrong, when live processes still "
        "count in DIR or when the workers could not count there.",
    )
    prepare.add_argument("directory", metavar="DIR", help="the shard directory")
    prepare.add_argument("--user", type=_uid, default=None, metavar="USER",
                         help="give DIR to this user (name or uid), mode 0700; needs root")
    prepare.add_argument("--group", type=_gid, default=None, metavar="GROUP",
                         help="give DIR to this group (name or gid), mode 0750; needs root")
    prepare.add_argument("--force", action="store_true",
                         help="delete the files of live processes too (they then count into "
                         "deleted files until they restart)")
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
        return _prepare(args.directory, args.user, args.group, args.force)
    raise AssertionError(args.command)  # argparse only lets the commands above through


def _uid(text: str) -> int:
    try:
        return int(text) if text.isdigit() else pwd.getpwnam(text).pw_uid
    except KeyError:
        raise argparse.ArgumentTypeError(f"no user {text!r}") from None


def _gid(text: str) -> int:
    try:
        return int(text) if text.isdigit() else grp.getgrnam(text).gr_gid
    except KeyError:
        raise argparse.ArgumentTypeError(f"no group {text!r}") from None


def _prepare(directory: str, uid: Optional[int] = None, gid: Optional[int] = None,
             force: bool = False) -> int:
    try:
        cleared = multiproc._prepare(directory, uid, gid, force,
                                     "--force deletes their files anyway")
    except multiproc.DirectoryInUseError as exc:
        print(f"{_PROG} prepare: {exc}", file=sys.stderr)
        return 1
    except OSError as exc:
        print(f"{_PROG} prepare: {_prepare_problem(directory, exc)}", file=sys.stderr)
        return 1
    except ValueError as exc:
        print(f"{_PROG} prepare: {exc}", file=sys.stderr)
        return 1
    if uid is None and gid is None and not os.access(directory, os.W_OK | os.X_OK):
        # Nothing needed deleting, so nothing failed; but workers run as this user could not
        # create their shards here.
        info = os.stat(directory)
        print(f"{_PROG} prepare: uid {os.geteuid()} may not create files in {directory} "
              f"(owner {_user(info.st_uid)}:{_group(info.st_gid)}, mode "
              f"{stat.S_IMODE(info.st_mode):04o}), so workers run as this user could not count "
              "there. Give it to the workers' user (as root: prepare --user), or choose a "
              "directory that user owns",
              file=sys.stderr)
        return 1
    if any(cleared):
        print(f"{directory}: ready; deleted {cleared.shards} shard file(s), {cleared.series} "
              f"series file(s) and {cleared.archive} archive and removal list file(s) of an "
              "earlier run")
    else:
        print(f"{directory}: ready; nothing to delete")
    note = multiproc.open_to_everyone(directory)
    if note is not None:
        print(f"{_PROG} prepare: warning: {note}", file=sys.stderr)
    return 0


_RUN_AS = ("Run prepare as a user who may write there (the workers' user, or root with --user), "
           "or choose a directory that the workers' user owns")


def _kind(mode: int) -> str:
    kinds = [(stat.S_ISREG, "a file"), (stat.S_ISFIFO, "a FIFO"), (stat.S_ISSOCK, "a socket"),
             (stat.S_ISCHR, "a device"), (stat.S_ISBLK, "a device")]
    return next((name for test, name in kinds if test(mode)), "not a directory")


def _blocking_file(path: str) -> Optional[Tuple[str, str]]:
    """The first component of ``path`` that exists and is no directory, with what it is."""
    whole = Path(os.path.abspath(path))
    for part in reversed([whole, *whole.parents]):  # from the root down
        try:
            mode = os.stat(part).st_mode
        except OSError:
            return None
        if not stat.S_ISDIR(mode):
            return str(part), _kind(mode)
    return None


def _prepare_problem(directory: str, exc: OSError) -> str:
    """What went wrong in words an operator can act on; the bare errno text says too little."""
    if exc.errno in (errno.EEXIST, errno.ENOTDIR):
        blocking = _blocking_file(directory)
        if blocking is not None:
            part, kind = blocking
            if os.path.abspath(directory) == part:
                return (f"{directory} is {kind}, not a directory: name the directory for the "
                        "shard files (the value of VTR_MULTIPROC_DIR), or move it out of the way")
            return f"cannot create {directory}: {part} is {kind}, not a directory"
    if exc.errno in (errno.EACCES, errno.EPERM):
        target = exc.filename or directory
        if os.path.lexists(target) and target != directory:
            what = f"cannot delete {target}"
        elif os.path.isdir(target):
            what = f"cannot read or change {target}"
        else:
            what = f"cannot create {target}"
        return f"permission denied: {what} as uid {os.geteuid()}. " + _RUN_AS
    where = f": {exc.filename}" if exc.filename else ""
    return f"cannot prepare {directory}: {exc.strerror or exc}{where}"


# ---------------------------------------------------------------------------------------------
# inspect
