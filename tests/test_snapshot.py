"""snapshot() and Snapshot, checked against the kernel's own /proc figures and psutil."""

import glob
import hashlib
import inspect
import json
import os
import select
import shutil
import subprocess
import sys
import textwrap
import threading
import time

import psutil
import pytest

from vantorel import _core

PAGE = os.sysconf("SC_PAGE_SIZE")
MB = 1024 * 1024
CLOCK_ERROR = "clock error: second time provided was later than self"
REQUEST_BLOCK_LINES = 9 * 4


# These helpers are also pasted into child processes (run_child), after imports of os, select, time.
def stat_fields():
    """Fields of /proc/self/stat from field 3 (state) on: field n is at index n - 3."""
    with open("/proc/self/stat") as f:
        text = f.read()
    return text[text.rindex(")") + 1 :].split()


def kernel_cpu_ms():
    """utime + stime in whole milliseconds, as the kernel charges them."""
    fields = stat_fields()
    ticks = int(fields[11]) + int(fields[12])
    return ticks * 1000 // os.sysconf("SC_CLK_TCK")


def burn_cpu(seconds):
    """Spins on this thread until the kernel has charged the process `seconds` more CPU time."""
    target = kernel_cpu_ms() + seconds * 1000
    while kernel_cpu_ms() < target:
        for _ in range(20000):
            pass


def measured_percent(start, end):
    """CPU percent between two (monotonic seconds, kernel CPU ms) readings."""
    return (end[1] - start[1]) / ((end[0] - start[0]) * 1000) * 100


def reading():
    return (time.monotonic(), kernel_cpu_ms())


def idle(seconds):
    # Not time.sleep(): under libfaketime its clock_nanosleep fails with EINVAL.
    select.select([], [], [], seconds)


HELPERS = "\n".join(
    inspect.getsource(f)
    for f in (stat_fields, kernel_cpu_ms, burn_cpu, measured_percent, reading, idle)
)


def run_child(tmp_path, *parts, prefix=(), env=None):
    """Runs the code `parts` in a fresh interpreter; they print one JSON line, which is returned."""
    script = "import json, os, select, sys, time\nfrom vantorel import _core\n" + HELPERS
    script += "\n".join(textwrap.dedent(part) for part in parts)
    proc = subprocess.run(
        [*prefix, sys.executable, "-c", script],
        capture_output=True,
        text=True,
        timeout=120,
        cwd=tmp_path,
        env={**os.environ, **(env or {})},
    )
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout.strip().splitlines()[-1])


def statm_bytes():
    with open("/proc/self/statm") as f:
        size, resident = f.read().split()[:2]
    return int(size) * PAGE, int(resident) * PAGE


def assert_interval(cpu_percent, right, wrong):
    """`cpu_percent` must be the interval figure `right`, and plainly not `wrong`."""
    assert abs(right - wrong) > 15, (right, wrong)  # the two readings must be told apart
    assert abs(cpu_percent - right) < 10, (cpu_percent, right, wrong)


def settled_task_count():
    # A joined thread may still be listed in /proc for a moment after join() returns.
    deadline = time.monotonic() + 5
    while len(os.listdir("/proc/self/task")) != threading.active_count():
        if time.monotonic() > deadline:
            break
        time.sleep(0.01)
    return len(os.listdir("/proc/self/task"))


def test_figures_match_the_kernel_and_psutil():
    proc = psutil.Process()
    before_wall = int(time.time())
    virt_before, rss_before = statm_bytes()
    mem_before = proc.memory_info()
    snap = _core.snapshot()
    mem_after = proc.memory_info()
    virt_after, rss_after = statm_bytes()
    after_wall = int(time.time())

    assert snap.pid == os.getpid()
    assert before_wall <= snap.timestamp <= after_wall
    # statm counts pages; the figures are read from it, so they are whole pages.
    assert snap.memory_rss % PAGE == 0 and snap.memory_virtual % PAGE == 0
    slack = 4 * MB  # the interpreter may touch or map memory between the readings
    assert min(rss_before, rss_after) - slack <= snap.memory_rss
    assert snap.memory_rss <= max(rss_before, rss_after) + slack
    assert min(virt_before, virt_after) - slack <= snap.memory_virtual
    assert snap.memory_virtual <= max(virt_before, virt_after) + slack
    assert abs(snap.memory_rss - (mem_before.rss + mem_after.rss) / 2) <= slack
    assert abs(snap.memory_virtual - (mem_before.vms + mem_after.vms) / 2) <= slack
    assert 0 < snap.memory_rss < snap.memory_virtual


@pytest.mark.parametrize("extra", [0, 1, 3, 8], ids=["none", "one", "three", "eight"])
def test_threads_leaves_out_the_main_thread(extra):
    base = settled_task_count()
    release = threading.Event()
    workers = [threading.Thread(target=release.wait) for _ in range(extra)]
    for w in workers:
        w.start()
    try:
        listed_before = len(os.listdir("/proc/self/task"))
        snap = _core.snapshot()
        by_psutil = psutil.Process().num_threads()
        listed_after = len(os.listdir("/proc/self/task"))
    finally:
        release.set()
        for w in workers:
            w.join()
    assert listed_before == listed_after == by_psutil == base + extra
    assert snap.threads == by_psutil - 1


@pytest.mark.parametrize(
    "call, expected",
    [
        ("_core.snapshot().cpu_percent", 0.0),
        (
            "_core.check_alerts(cpu_percent=-1.0)",
            [{"metric": "cpu_percent", "value": 0.0, "threshold": -1.0, "severity": "warning"}],
        ),
        (
            "[l for l in _core.metrics_text().splitlines() if l.startswith('vtr_process_cpu')]",
            ["vtr_process_cpu_percent 0"],
        ),
    ],
    ids=["snapshot", "check_alerts", "metrics_text"],
)
def test_first_collection_in_a_process_reports_no_cpu(tmp_path, call, expected):
    # The process has been busy before its first collection: that must not count.
    out = run_child(tmp_path, "burn_cpu(0.2)", f"print(json.dumps({call}))")
    assert out == expected


def test_single_threaded_interpreter_reports_no_threads(tmp_path):
    out = run_child(
        tmp_path,
        'print(json.dumps([_core.snapshot().threads, len(os.listdir("/proc/self/task"))]))',
    )
    assert out == [0, 1]


def test_busy_loop_reads_about_one_cpu():
    _core.snapshot()
    start = reading()
    burn_cpu(0.5)
    snap = _core.snapshot()
    end = reading()
    expected = measured_percent(start, end)
    assert abs(snap.cpu_percent - expected) < 10
    # One thread spinning is one CPU, less whatever a busy 2-core machine takes from it.
    assert 40 < snap.cpu_percent < 110


def test_cpu_on_several_threads_is_not_clamped():
    data = b"x" * (1 << 20)
    stop = time.monotonic() + 0.6

    def hash_until_stop():
        # hashlib lets go of the interpreter lock for large buffers, so the threads run at once.
        while time.monotonic() < stop:
            hashlib.sha256(data).digest()

    _core.snapshot()
    start = reading()
    workers = [threading.Thread(target=hash_until_stop) for _ in range(2)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    snap = _core.snapshot()
    end = reading()
    expected = measured_percent(start, end)
    assert abs(snap.cpu_percent - expected) < max(10, expected / 10)
    if expected < 110:
        pytest.skip(f"the process got only {expected:.0f}% CPU from two busy threads here")
    assert snap.cpu_percent > 100


def bad_threshold():
    with pytest.raises(TypeError):
        _core.check_alerts(cpu_percent="high")


@pytest.mark.parametrize(
    "action, restarts",
    [
        (_core.snapshot, True),
        (_core.metrics_text, True),
        (_core.check_alerts, True),
        (bad_threshold, False),
    ],
    ids=["snapshot", "metrics_text", "check_alerts", "bad_threshold"],
)
def test_which_calls_restart_the_cpu_interval(action, restarts):
    _core.snapshot()
    first = reading()
    burn_cpu(0.4)
    action()
    middle = reading()
    idle(0.3)
    snap = _core.snapshot()
    end = reading()
    since_first, since_action = measured_percent(first, end), measured_percent(middle, end)
    if restarts:
        assert_interval(snap.cpu_percent, since_action, since_first)
    else:
        assert_interval(snap.cpu_percent, since_first, since_action)


# The command name sits between the first '(' and the last ')' of /proc/<pid>/stat; these names
# would shift every later field for a reader that stops at the first ')'.
ODD_NAMES = ["plain", "two words", "x) R 9 9 9 9 9", "a) (b) c) ", "((("]


@pytest.mark.parametrize("name", ODD_NAMES, ids=["plain", "space", "paren", "parens", "open"])
def test_cpu_is_read_past_any_command_name(tmp_path, name):
    out = run_child(
        tmp_path,
        f"""
        with open("/proc/self/comm", "w") as f:
            f.write({name!r})
        with open("/proc/self/stat") as f:
            shown = f.read()
        _core.snapshot()
        start = reading()
        burn_cpu(0.3)
        snap = _core.snapshot()
        print(json.dumps([shown, snap.cpu_percent, measured_percent(start, reading())]))
        """,
    )
    shown, cpu, expected = out
    assert f"({name})" in shown
    assert abs(cpu - expected) < 10


def faketime_library():
    found = glob.glob("/usr/lib/*/faketime/libfaketime.so.1") + glob.glob(
        "/usr/lib/faketime/libfaketime.so.1"
    )
    return found[0] if found else None


needs_faketime = pytest.mark.skipif(
    shutil.which("faketime") is None or faketime_library() is None,
    reason="needs faketime and libfaketime (Debian packages faketime, libfaketime)",
)

FAILING_CALLS = """
def failures():
    out = {}
    for name, call in [("snapshot", _core.snapshot), ("check_alerts", _core.check_alerts)]:
        try:
            call()
            out[name] = None
        except Exception as e:
            out[name] = [type(e).__name__, str(e)]
    out["metrics_text"] = _core.metrics_text()
    return out
"""


def assert_failed_everywhere(failures, message):
    assert failures["snapshot"] == ["RuntimeError", message]
    assert failures["check_alerts"] == ["RuntimeError", message]
    doc = failures["metrics_text"]
    lines = doc.splitlines()
    assert len(lines) == REQUEST_BLOCK_LINES and doc.endswith("\n\n")
    assert [line.split()[0] for line in lines[2::4]] == [
        "vtr_requests_total",
        "vtr_errors_total",
        "vtr_error_rate_percent",
        "vtr_latency_avg_ms",
        "vtr_latency_min_ms",
        "vtr_latency_max_ms",
        "vtr_latency_p50_ms",
        "vtr_latency_p95_ms",
        "vtr_latency_p99_ms",
    ]


@needs_faketime
def test_clock_before_1970_fails_every_caller(tmp_path):
    out = run_child(
        tmp_path,
        FAILING_CALLS,
        'print(json.dumps({"now": time.time(), **failures()}))',
        prefix=["faketime", "1969-12-31 23:00:00"],
    )
    assert out["now"] < 0  # faketime did reach the interpreter
    assert_failed_everywhere(out, CLOCK_ERROR)


@needs_faketime
def test_clock_error_does_not_restart_the_cpu_interval(tmp_path):
    # libfaketime rereads this file on every clock call: the clock jumps when the child writes it.
    fake = tmp_path / "faketime"
    fake.write_text("+0\n")
    out = run_child(
        tmp_path,
        FAILING_CALLS,
        f"""
        def set_clock(spec):
            with open({str(fake)!r}, "w") as f:
                f.write(spec + "\\n")

        _core.snapshot()
        first = reading()
        burn_cpu(0.4)
        set_clock("@1969-12-31 23:00:00")
        failed = failures()
        set_clock("+0")
        middle = reading()
        idle(0.3)
        snap = _core.snapshot()
        end = reading()
        print(json.dumps({{
            "failed": failed, "cpu": snap.cpu_percent,
            "since_first": measured_percent(first, end),
            "since_failure": measured_percent(middle, end),
        }}))
        """,
        env={
            "LD_PRELOAD": faketime_library(),
            "FAKETIME_TIMESTAMP_FILE": str(fake),
            "FAKETIME_NO_CACHE": "1",
            "FAKETIME_DONT_FAKE_MONOTONIC": "1",
        },
    )
    assert_failed_everywhere(out["failed"], CLOCK_ERROR)
    assert_interval(out["cpu"], out["since_first"], out["since_failure"])


def can_unshare_mounts():
    if shutil.which("unshare") is None:
        return False
    probe = subprocess.run(
        ["unshare", "-m", "--propagation", "private", "true"], capture_output=True
    )
    return probe.returncode == 0


needs_mount_namespace = pytest.mark.skipif(
    not can_unshare_mounts(),
    reason="needs `unshare -m` (root or CAP_SYS_ADMIN) to hide /proc files",
)

MOUNTS = """
import ctypes

LIBC = ctypes.CDLL(None, use_errno=True)
MS_BIND = 4096


def mount(source, target, fstype, flags):
    if LIBC.mount(source.encode(), target.encode(), fstype and fstype.encode(), flags, None):
        raise OSError(ctypes.get_errno(), "mount " + target)


def unmount(target):
    if LIBC.umount2(target.encode(), 0):
        raise OSError(ctypes.get_errno(), "umount " + target)
"""


@needs_mount_namespace
def test_process_missing_from_proc_fails_and_keeps_the_interval(tmp_path):
    out = run_child(
        tmp_path,
        MOUNTS,
        FAILING_CALLS,
        """
        _core.snapshot()
        first = reading()
        burn_cpu(0.4)
        mount("none", "/proc", "tmpfs", 0)  # an empty /proc: no entry for this process
        failed = failures()
        unmount("/proc")
        middle = reading()
        idle(0.3)
        snap = _core.snapshot()
        end = reading()
        print(json.dumps({
            "pid": os.getpid(), "failed": failed, "cpu": snap.cpu_percent,
            "since_first": measured_percent(first, end),
            "since_failure": measured_percent(middle, end),
        }))
        """,
        prefix=["unshare", "-m", "--propagation", "private"],
    )
    assert_failed_everywhere(out["failed"], f"process {out['pid']} not found by sysinfo")
    assert_interval(out["cpu"], out["since_first"], out["since_failure"])


@needs_mount_namespace
@pytest.mark.parametrize("name", ODD_NAMES, ids=["plain", "space", "paren", "parens", "open"])
def test_memory_falls_back_to_stat_without_statm(tmp_path, name):
    out = run_child(
        tmp_path,
        MOUNTS,
        f"""
        with open("/proc/self/comm", "w") as f:
            f.write({name!r})
        statm = "/proc/%d/statm" % os.getpid()
        mount("/dev/null", statm, None, MS_BIND)  # statm now reads as empty
        before = stat_fields()
        snap = _core.snapshot()
        after = stat_fields()
        with open("/proc/self/statm") as f:
            hidden = f.read()
        print(json.dumps({{
            "hidden": hidden, "rss": snap.memory_rss, "virt": snap.memory_virtual,
            "stat_virt": [int(before[20]), int(after[20])],
            "stat_rss": [int(before[21]) * os.sysconf("SC_PAGE_SIZE"),
                         int(after[21]) * os.sysconf("SC_PAGE_SIZE")],
        }}))
        """,
        prefix=["unshare", "-m", "--propagation", "private"],
    )
    assert out["hidden"] == ""
    # vsize (field 23) is in bytes, rss (field 24) in pages.
    assert min(out["stat_virt"]) <= out["virt"] <= max(out["stat_virt"])
    assert min(out["stat_rss"]) - 4 * MB <= out["rss"] <= max(out["stat_rss"]) + 4 * MB
    assert out["rss"] > 0


def test_snapshot_record():
    _core.snapshot()
    burn_cpu(0.05)  # so that the CPU figure has digits to round
    snap = _core.snapshot()
    d = snap.to_dict()
    assert list(d) == ["pid", "cpu_percent", "memory_rss", "memory_virtual", "threads", "timestamp"]
    assert d == {k: getattr(snap, k) for k in d}
    assert [type(v) for v in d.values()] == [int, float, int, int, int, int]
    assert type(snap.memory_rss_mb) is float
    assert snap.memory_rss_mb == snap.memory_rss / MB
    # Python's '.1f' rounds the exact binary value with ties to even, as the repr must.
    assert repr(snap) == (
        f"Snapshot(pid={snap.pid}, cpu={format(snap.cpu_percent, '.1f')}%, "
        f"rss={format(snap.memory_rss / MB, '.1f')}MB, "
        f"virt={format(snap.memory_virtual / MB, '.1f')}MB, "
        f"threads={snap.threads}, ts={snap.timestamp})"
    )
