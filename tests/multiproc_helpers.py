"""Shared pieces of the multi-worker tests: crafted shards, dead pids, worker processes and a
racer that changes a shard while a worker merges.

The shard layout is the package's (vantorel.multiproc): every crafted shard is read back by the
core, so a wrong layout there fails these tests. The mode is process-global, so every test that
switches it runs its Python code in a child interpreter (`run_child`). Children print one JSON
document on their last line of output.
"""

import json
import os
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path
from typing import List, Optional, Tuple

from vantorel.multiproc import (  # noqa: F401 - re-exported for the tests
    BUCKET_BOUNDS_MS,
    BUCKET_COUNT,
    NO_MIN_US,
    SHARD_SIZE,
    pack_shard as pack,
    unpack_shard,
)

U64_MAX = 2**64 - 1

# Long enough for a slow machine; only a guard against a merge that hangs (e.g. on a FIFO).
CHILD_TIMEOUT_S = 120

PRELUDE = """\
import json, math, os, sys
import vantorel._core as core
from vantorel.multiproc import SHARD_LAYOUT

def agg():
    return core.aggregate().to_dict()

def words(path):
    with open(path, "rb") as f:
        return list(SHARD_LAYOUT.unpack(f.read(SHARD_LAYOUT.size)))

def shard_path(directory, pid=None):
    return os.path.join(directory, "vtr-%d.shard" % (os.getpid() if pid is None else pid))

def mapped_shards():
    with open("/proc/self/maps") as f:
        return sorted({line.split(None, 5)[5].strip() for line in f
                       if line.rstrip().endswith(".shard") and len(line.split(None, 5)) == 6})

def out(value):
    print(json.dumps(value))
"""


def child_env(multiproc_dir=None, **extra):
    """This environment less VTR_MULTIPROC_DIR, then with the given value (str or bytes)."""
    env = {k: v for k, v in os.environ.items() if k != "VTR_MULTIPROC_DIR"}
    env.update(extra)
    if multiproc_dir is not None:
        if isinstance(multiproc_dir, bytes):
            env = {os.fsencode(k): os.fsencode(v) for k, v in env.items()}
            env[b"VTR_MULTIPROC_DIR"] = multiproc_dir
        else:
            env["VTR_MULTIPROC_DIR"] = multiproc_dir
    return env


def child_argv(code):
    return [sys.executable, "-c", PRELUDE + textwrap.dedent(code)]


def run_child(code, cwd, multiproc_dir=None, prefix=(), **extra_env):
    """Runs `code` after PRELUDE in a fresh interpreter and returns its last printed JSON value."""
    proc = subprocess.run(
        [*prefix, *child_argv(code)],
        cwd=cwd,
        env=child_env(multiproc_dir, **extra_env),
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        timeout=CHILD_TIMEOUT_S,
        check=False,
    )
    assert proc.returncode == 0, f"exit {proc.returncode}: {proc.stderr.decode(errors='replace')}"
    lines = proc.stdout.decode().strip().splitlines()
    return json.loads(lines[-1]) if lines else None


def read_aggregate(directory, cwd):
    """The aggregate seen by a fresh worker of `directory` (whose own shard is empty)."""
    return run_child("out(agg())", cwd, multiproc_dir=str(directory))


def one_bucket(index, n=1):
    buckets = [0] * BUCKET_COUNT
    buckets[index] = n
    return buckets


def read_shard(path):
    with open(path, "rb") as f:
        data = f.read()
    assert len(data) == SHARD_SIZE
    shard = unpack_shard(data)
    shard["buckets"] = list(shard["buckets"])
    return shard


def dead_pid():
    """A pid whose process has exited and been reaped."""
    proc = subprocess.Popen(["true"])
    proc.wait()
    return proc.pid


def totals_while_racing(racer, shard, tmp_path, directory, reads, *args, until=None):
    """The totals a fresh worker of `directory` sees over `reads` merges while `racer` works on
    `shard`, and after them, for up to 30 s, until it has seen the total `until` too (a loaded
    machine may not run the racer at all during the first `reads`). The racer is a script run as
    `racer SHARD STOP ARGS...`: it prints "ready", then changes SHARD until the file STOP exists,
    and must end cleanly."""
    stop = tmp_path / "stop"
    proc = subprocess.Popen([sys.executable, "-c", racer, str(shard), str(stop), *args],
                            stdout=subprocess.PIPE)
    try:
        assert proc.stdout.readline() == b"ready\n"
        seen = run_child(
            f"""
            import time
            seen = set()
            for _ in range({reads}):
                seen.add(agg()["total_requests"])
            deadline = time.monotonic() + 30
            while {until!r} is not None and {until!r} not in seen and time.monotonic() < deadline:
                seen.add(agg()["total_requests"])
            out(sorted(seen))
            """,
            tmp_path,
            multiproc_dir=str(directory),
        )
    finally:
        stop.touch()
        proc.communicate(timeout=60)
    assert proc.returncode == 0
    return set(seen)


def zero_aggregate():
    return {
        "total_requests": 0,
        "total_errors": 0,
        "error_rate": 0.0,
        "avg_latency_ms": 0.0,
        "min_latency_ms": 0.0,
        "max_latency_ms": 0.0,
        "p50_latency_ms": 0.0,
        "p95_latency_ms": 0.0,
        "p99_latency_ms": 0.0,
    }


AS_NOBODY = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"]

# Run by `unshare -m`: in a mount namespace of its own, lays an open tmpfs over CLOSED (say
# /root, mode 0700) and puts CLOSED/CHILD back in it, so that a worker which has become nobody
# can still load the interpreter's modules from there. Nothing changes outside the namespace.
REOPEN = """
set -e
keep=$1 closed=$2 child=$3
shift 3
mount --bind "$closed/$child" "$keep"
mount -t tmpfs -o mode=0755 vtr-reopen "$closed"
mkdir "$closed/$child"
mount --bind "$keep" "$closed/$child"
exec "$@"
"""


def closed_ancestor(path: str) -> Optional[Tuple[str, str]]:
    """The directory above ``path`` that other users may not enter, and the entry in it that
    leads to ``path``; None when others may reach ``path``. Only one is handled."""
    parts = Path(os.path.realpath(path)).parts
    closed = [i for i in range(1, len(parts)) if
              not os.stat(os.path.join(*parts[:i])).st_mode & 0o001]
    if len(closed) != 1:
        return None
    i = closed[0]
    return os.path.join(*parts[:i]), parts[i]


def reachable_by_nobody(keep: Path) -> Optional[List[str]]:
    """A prefix under which a root process whose children become nobody (or a process that
    starts as nobody) can still load this interpreter's modules ([] when nothing is needed), or
    None where that cannot be arranged."""
    # A worker imports from the master's sys.path after it has become nobody. (Python started
    # as nobody is no test: it may settle for another standard library that it can read.)
    paths = [p for p in sys.path if os.path.isdir(p)]

    def imports(prefix: List[str]) -> bool:
        probe = [*prefix, *AS_NOBODY, sys.executable, "-c",
                 "import os, sys\nfor p in sys.argv[1:]: os.listdir(p)", *paths]
        return subprocess.run(probe, capture_output=True, timeout=60).returncode == 0

    if imports([]):
        return []
    closed = closed_ancestor(sys.base_prefix)
    if closed is None or shutil.which("unshare") is None:
        return None
    keep.mkdir()
    prefix = ["unshare", "-m", "--propagation", "private", "sh", "-c", REOPEN, "sh", str(keep),
              *closed]
    return prefix if imports(prefix) else None


def nobody_prefix(read_anything=False, keep=None):
    """A setpriv prefix that runs a command as nobody, without the right to signal root's
    processes; None where that is impossible (not root, no setpriv). With `read_anything`, the
    command keeps the right to read every file (needed when the interpreter lives under a 0700
    home directory); without it, an interpreter under such a directory is made reachable by
    `reachable_by_nobody` in the directory `keep` when one is given."""
    if os.geteuid() != 0 or shutil.which("setpriv") is None:
        return None
    prefix = list(AS_NOBODY)
    if read_anything:
        prefix += ["--inh-caps=+dac_read_search", "--ambient-caps=+dac_read_search"]
    elif keep is not None:
        reopen = reachable_by_nobody(keep)
        if reopen is None:
            return None
        prefix = reopen + prefix
    probe = subprocess.run(
        [*prefix, sys.executable, "-c", "import vantorel._core, os; os.kill(1, 0)"],
        capture_output=True, check=False)
    return prefix if b"PermissionError" in probe.stderr else None
