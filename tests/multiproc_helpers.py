"""Shared pieces of the multi-worker tests: the shard layout, crafted shards and worker processes.

The mode is process-global, so every test that switches it runs its Python code in a child
interpreter (`run_child`). Children print one JSON document on their last line of output.
"""

import json
import os
import shutil
import struct
import subprocess
import sys
import textwrap

SHARD_SIZE = 176
U64_MAX = 2**64 - 1
NO_MIN_US = U64_MAX
BUCKET_BOUNDS_MS = (1, 2, 5, 10, 25, 50, 100, 250, 500, 1000, 2500, 5000, 10000)
FIELDS = ("marker", "pid", "count", "errors", "sum_us", "min_us", "max_us", "updated_at")
WORDS = struct.Struct("<22Q")

# Long enough for a slow machine; only a guard against a merge that hangs (e.g. on a FIFO).
CHILD_TIMEOUT_S = 120

PRELUDE = """\
import json, math, os, struct, sys
import vantorel._core as core

def agg():
    return core.aggregate().to_dict()

def words(path):
    with open(path, "rb") as f:
        return list(struct.unpack("<22Q", f.read(176)))

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


def pack(marker=1, pid=0, count=0, errors=0, sum_us=0, min_us=NO_MIN_US, max_us=0,
         updated_at=0, buckets=None):
    buckets = list(buckets) if buckets is not None else [0] * 14
    assert len(buckets) == 14
    return WORDS.pack(marker, pid, count, errors, sum_us, min_us, max_us, updated_at, *buckets)


def one_bucket(index, n=1):
    buckets = [0] * 14
    buckets[index] = n
    return buckets


def unpack(data):
    values = WORDS.unpack(data[:SHARD_SIZE])
    shard = dict(zip(FIELDS, values))
    shard["buckets"] = list(values[8:])
    return shard


def read_shard(path):
    with open(path, "rb") as f:
        data = f.read()
    assert len(data) == SHARD_SIZE
    return unpack(data)


def dead_pid():
    """A pid whose process has exited and been reaped."""
    proc = subprocess.Popen(["true"])
    proc.wait()
    return proc.pid


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


def nobody_prefix(read_anything=False):
    """A setpriv prefix that runs a command as nobody, without the right to signal root's
    processes; None where that is impossible (not root, no setpriv). With `read_anything`, the
    command keeps the right to read every file (needed when the interpreter lives under a 0700
    home directory)."""
    if os.geteuid() != 0 or shutil.which("setpriv") is None:
        return None
    prefix = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"]
    if read_anything:
        prefix += ["--inh-caps=+dac_read_search", "--ambient-caps=+dac_read_search"]
    probe = subprocess.run(
        [*prefix, sys.executable, "-c", "import vantorel._core, os; os.kill(1, 0)"],
        capture_output=True, check=False)
    return prefix if b"PermissionError" in probe.stderr else None
