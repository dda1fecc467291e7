"""No entry point leaks: not a reference, not an object, not a file descriptor, not a mapping, not a
byte, on its success path, on each argument-error path or on each failure path.

Two checks share the cases of leak_driver.py (CPython only: reference counts are CPython's):
- in this process, every case that leaves the multi-worker mode alone, 10 000 calls each: the
  reference counts of None, True, False, the module, its classes and every argument object stay
  where they were, and so do the objects the collector tracks and the open file descriptors;
- with VTR_LEAK_CALLS set (CI sets 200000), every case in child processes, that many calls each
  after a warm-up of 20 000: besides the above, resident memory grows by less than 2 MiB and
  virtual memory by less than 8 MiB (a heap block leaked per call, 32 bytes at least, would show
  as 6 MB), and at most one shard stays mapped. The clock-error cases run under libfaketime at a
  time before 1970, the process-not-found cases under `unshare -m` with /proc hidden while they
  run.
"""
import concurrent.futures
import json
import os
import shutil
import subprocess
import sys

import pytest

import leak_driver

pytestmark = pytest.mark.skipif(
    sys.implementation.name != "cpython", reason="reference counts are CPython's"
)

MIB = 1 << 20
RSS_GROWTH_BYTES = 2 * MIB
VM_GROWTH_BYTES = 8 * MIB
GC_GROWTH = 50
# None, True and False are shared with the interpreter itself, which may settle a few references
# of its own in between; a leak of one per call moves them by the number of calls.
REF_SLACK = {"None": 100, "True": 100, "False": 100}
CALLS = int(os.environ.get("VTR_LEAK_CALLS", "0"))
IN_PROCESS_CALLS = 10_000

HERE = os.path.dirname(os.path.abspath(__file__))
DRIVER = os.path.join(HERE, "leak_driver.py")


def cases(*groups):
    return [(group, name, set_up, expected) for group in groups
            for name, set_up, expected in leak_driver.GROUPS[group]()]


def assert_flat(name, before, after, calls, memory=True):
    where = f"{name}, {calls} calls"
    for label, was in before["refs"].items():
        moved = after["refs"][label] - was
        assert abs(moved) <= REF_SLACK.get(label, 2), f"{where}: references to {label} {moved:+d}"
    assert after["gc"] - before["gc"] <= GC_GROWTH, f"{where}: {after['gc'] - before['gc']} objects"
    start = before.get("fds_at_start", before["fds"])
    assert after["fds"] == before["fds"] == start, \
        f"{where}: file descriptors {start} -> {before['fds']} -> {after['fds']}"
    assert after["shard_maps"] <= 1, f"{where}: {after['shard_maps']} shards mapped"
    if memory:
        rss, vm = after["rss"] - before["rss"], after["vm"] - before["vm"]
        assert rss < RSS_GROWTH_BYTES, f"{where}: resident memory grew by {rss // 1024} KiB"
        assert vm < VM_GROWTH_BYTES, f"{where}: virtual memory grew by {vm // 1024} KiB"


LOCAL = cases("local", "proc")


@pytest.mark.parametrize("group,name,set_up,expected", LOCAL, ids=[c[1] for c in LOCAL])
def test_flat_in_process(group, name, set_up, expected):
    call, touched = set_up()
    objects = leak_driver.objects_of(touched)
    start = leak_driver.open_fds()
    leak_driver.run(name, call, expected, 1000)
    before = leak_driver.measure(objects)
    before["fds_at_start"] = start
    leak_driver.run(name, call, expected, IN_PROCESS_CALLS)
    after = leak_driver.measure(objects)
    assert_flat(name, before, after, IN_PROCESS_CALLS, memory=False)


def prefix_for(group):
    """The command that puts a driver into its group's conditions, or None where it cannot."""
    if group == "clock":
        return ["faketime", "1969-12-31 23:00:00"] if shutil.which("faketime") else None
    if group == "noproc":
        if shutil.which("unshare") is None:
            return None
        probe = ["unshare", "-m", "--propagation", "private", "true"]
        return probe[:-1] if subprocess.run(probe, capture_output=True).returncode == 0 else None
    return []


def drive(group, scratch):
    prefix = prefix_for(group)
    if prefix is None:
        return group, None, f"cannot set up the conditions of the {group!r} cases here"
    env = {k: v for k, v in os.environ.items() if k != "VTR_MULTIPROC_DIR"}
    proc = subprocess.run([*prefix, sys.executable, DRIVER, group, str(CALLS)], cwd=scratch,
                          env=env, capture_output=True, text=True)
    results = {}
    for line in proc.stdout.splitlines():
        result = json.loads(line)
        results[result["case"]] = result
    return group, results, f"driver exit {proc.returncode}: {proc.stderr[-3000:]}"


@pytest.fixture(scope="module")
def million(tmp_path_factory):
    """Every group's driver, all at once: one process per group."""
    scratch = {group: tmp_path_factory.mktemp(group) for group in leak_driver.GROUPS}
    with concurrent.futures.ThreadPoolExecutor(len(scratch)) as pool:
        runs = pool.map(lambda group: drive(group, scratch[group]), scratch)
        return {group: (results, note) for group, results, note in runs}


ALL = cases(*leak_driver.GROUPS)


@pytest.mark.skipif(CALLS == 0, reason="set VTR_LEAK_CALLS (CI: 200000) to run")
@pytest.mark.parametrize("group,name", [c[:2] for c in ALL], ids=[f"{c[0]}:{c[1]}" for c in ALL])
def test_flat_over_many_calls(million, group, name):
    results, note = million[group]
    if results is None:
        pytest.skip(note)
    assert name in results, note
    result = results[name]
    assert result["calls"] == CALLS
    assert_flat(name, result["before"], result["after"], CALLS)
