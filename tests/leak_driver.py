"""Calls one entry point of vantorel._core, or one of its failure paths, many times and reports
what the process holds before and after: resident and virtual memory, open file descriptors,
objects tracked by the garbage collector, shard mappings, and the reference counts of the objects
the calls touch. test_leaks.py runs it in child processes and judges the figures.

    python leak_driver.py GROUP CALLS [CASE ...]     one JSON line per case on stdout

GROUP names a list of cases below; "clock" expects to run under libfaketime with a clock before
1970, "noproc" under `unshare -m` (it hides /proc while it calls, and shows it again to measure).
The multi-worker groups switch the mode, so the driver always runs in its own process, with the
current directory as its scratch space.
"""
import ctypes
import gc
import itertools
import json
import os
import sys

import vantorel._core as core
from helpers import Floaty, Index, Text  # beside this script: found when it runs on its own
from vantorel.multiproc import SHARD_SIZE, pack_shard

PAGE = os.sysconf("SC_PAGE_SIZE")


class BadIndex:
    def __index__(self):
        raise ValueError("no index today")


CAUSE = KeyError("the cause every renamed error keeps")


class RefusesFloat:
    def __float__(self):
        raise TypeError("no float today") from CAUSE


# Objects passed in as arguments: a call that leaked a reference to its argument would show here.
METHOD = "".join(["GE", "T"])  # not interned: counted on its own
PATH = "/leak/" + "p" * 40
WIDE_PATH = "/caf\u00e9/\u00fcber/" + "\U0001f600" * 3
TEXT = Text("POST")
STATUS = Index(404)
DURATION = 12.5 + 0.0
FLOATY = Floaty()
BAD_INDEX = BadIndex()
REFUSES = RefusesFloat()
SURROGATE = "/\udc80"
LIMIT = 64


def fresh_store(records=LIMIT):
    core.clear_requests()
    core.set_max_requests(LIMIT)
    for i in range(records):
        core.record_request(METHOD, PATH, 200 if i % 4 else 500, float(i))


def instances():
    fresh_store()
    return core.get_requests()[0], core.aggregate(), core.snapshot()


def cycling(*calls):
    """One call per invocation, taking the given calls in turn."""
    following = itertools.cycle(calls).__next__
    return lambda: following()()


def each_field(obj, names):
    getters = [getattr(type(obj), name).__get__ for name in names]
    return lambda: [get(obj) for get in getters]


def watching(*objects):
    """A set-up for a call that needs no preparation, watching `objects`."""
    return lambda call: lambda: (call, list(objects))


# Each case: (name, set-up, exception each call must raise or None). The set-up prepares the
# process and returns the call and the objects it touches, whose reference counts must not move.
# Building the lists has no effect: only a set-up does anything.
def local_cases():
    def on_instances(make):
        def set_up():
            r, a, s = instances()
            return make(r, a, s), [r, a, s]
        return set_up

    def stored(call, *objects):
        return lambda: (fresh_store(), (call, list(objects)))[1]

    no_arguments = ["hello", "snapshot", "get_requests", "clear_requests", "get_max_requests",
                    "get_multiproc_dir", "multiproc_enabled", "aggregate", "metrics_text"]
    w = watching
    return [
        ("hello", w()(core.hello), None),
        ("record_request", stored(lambda: core.record_request(METHOD, PATH, 200, DURATION),
                                  METHOD, PATH, DURATION), None),
        ("record_request-keywords", stored(lambda: core.record_request(
            method=METHOD, path=WIDE_PATH, status_code=STATUS, duration_ms=FLOATY),
            METHOD, WIDE_PATH, STATUS, FLOATY), None),
        ("record_request-subclass-text", stored(lambda: core.record_request(
            TEXT, WIDE_PATH, True, 7), TEXT, WIDE_PATH), None),
        ("get_requests", stored(core.get_requests), None),
        ("clear_requests", w(METHOD, PATH)(cycling(
            lambda: core.record_request(METHOD, PATH, 200, 1.0), core.clear_requests)), None),
        ("set_max_requests", stored(cycling(
            lambda: core.set_max_requests(1), lambda: core.set_max_requests(LIMIT),
            lambda: core.record_request(METHOD, PATH, 200, 1.0)), METHOD, PATH), None),
        ("get_max_requests", w()(core.get_max_requests), None),
        ("set_multiproc_dir-off", w()(cycling(
            lambda: core.set_multiproc_dir(None), lambda: core.set_multiproc_dir(dir=" \u3000"))),
         None),
        ("get_multiproc_dir-off", w()(core.get_multiproc_dir), None),
        ("multiproc_enabled-off", w()(core.multiproc_enabled), None),
        ("aggregate", stored(core.aggregate), None),
        ("aggregate-empty", lambda: (core.clear_requests(), (core.aggregate, []))[1], None),
        ("RequestMetric-fields", on_instances(lambda r, a, s: each_field(
            r, ["method", "path", "status_code", "duration_ms", "timestamp"])), None),
        ("RequestMetric-to_dict-repr", on_instances(lambda r, a, s: cycling(r.to_dict, r.__repr__)),
         None),
        ("AggregatedMetrics-fields", on_instances(lambda r, a, s: each_field(a, [
            "total_requests", "total_errors", "error_rate", "avg_latency_ms", "min_latency_ms",
            "max_latency_ms", "p50_latency_ms", "p95_latency_ms", "p99_latency_ms"])), None),
        ("AggregatedMetrics-to_dict-repr", on_instances(
            lambda r, a, s: cycling(a.to_dict, a.__repr__)), None),
        ("Snapshot-fields", on_instances(lambda r, a, s: each_field(s, [
            "pid", "cpu_percent", "memory_rss", "memory_virtual", "threads", "timestamp",
            "memory_rss_mb"])), None),
        ("Snapshot-to_dict-repr", on_instances(lambda r, a, s: cycling(s.to_dict, s.__repr__)),
         None),
        # Argument errors, each path on its own.
        ("record_request-missing-all", w()(core.record_request), TypeError),
        ("record_request-missing-two", w(METHOD, PATH)(
            lambda: core.record_request(METHOD, PATH)), TypeError),
        ("record_request-too-many", w(METHOD, PATH, DURATION)(
            lambda: core.record_request(METHOD, PATH, 200, DURATION, 5)), TypeError),
        ("record_request-multiple", w(METHOD, PATH)(
            lambda: core.record_request(METHOD, PATH, 200, DURATION, method=METHOD)), TypeError),
        ("record_request-unexpected", w(METHOD, PATH)(
            lambda: core.record_request(METHOD, PATH, status=200, duration_ms=DURATION)),
         TypeError),
        ("record_request-bytes-method", w(PATH)(
            lambda: core.record_request(b"GET", PATH, 200, DURATION)), TypeError),
        ("record_request-none-path", w(METHOD)(
            lambda: core.record_request(METHOD, None, 200, DURATION)), TypeError),
        ("record_request-surrogate", w(METHOD, SURROGATE)(
            lambda: core.record_request(METHOD, SURROGATE, 200, DURATION)), UnicodeEncodeError),
        ("record_request-status-range", w(METHOD, PATH)(cycling(
            lambda: core.record_request(METHOD, PATH, 70000, DURATION),
            lambda: core.record_request(METHOD, PATH, -1, DURATION),
            lambda: core.record_request(METHOD, PATH, Index(1 << 20), DURATION))),
         OverflowError),
        ("record_request-status-int64", w(METHOD, PATH)(
            lambda: core.record_request(METHOD, PATH, 1 << 70, DURATION)), OverflowError),
        ("record_request-status-str", w(METHOD, PATH)(
            lambda: core.record_request(METHOD, PATH, "200", DURATION)), TypeError),
        ("record_request-status-raises", w(METHOD, PATH, BAD_INDEX)(
            lambda: core.record_request(METHOD, PATH, BAD_INDEX, DURATION)), ValueError),
        ("record_request-duration-str", w(METHOD, PATH)(
            lambda: core.record_request(METHOD, PATH, 200, "1")), TypeError),
        ("record_request-duration-cause", w(METHOD, PATH, REFUSES, CAUSE)(
            lambda: core.record_request(METHOD, PATH, 200, REFUSES)), TypeError),
        ("record_request-duration-huge", w(METHOD, PATH)(
            lambda: core.record_request(METHOD, PATH, 200, 1 << 1100)), OverflowError),
        ("set_max_requests-arity", w()(cycling(
            core.set_max_requests, lambda: core.set_max_requests(1, 2),
            lambda: core.set_max_requests(maximum=3))), TypeError),
        ("set_max_requests-range", w()(cycling(
            lambda: core.set_max_requests(-1), lambda: core.set_max_requests(1 << 64))),
         OverflowError),
        ("set_max_requests-float", w()(lambda: core.set_max_requests(2.5)), TypeError),
        ("set_multiproc_dir-errors", w()(cycling(
            lambda: core.set_multiproc_dir(3), lambda: core.set_multiproc_dir(None, None),
            lambda: core.set_multiproc_dir(bogus=1))), TypeError),
        ("set_multiproc_dir-surrogate", w(SURROGATE)(
            lambda: core.set_multiproc_dir(SURROGATE)), UnicodeEncodeError),
        ("check_alerts-errors", w(REFUSES, CAUSE)(cycling(
            lambda: core.check_alerts(1, 2, 3, 4), lambda: core.check_alerts("x"),
            lambda: core.check_alerts(memory_virtual_mb=REFUSES), lambda: core.check_alerts(x=1))),
         TypeError),
        ("no-argument-functions-given-one", w()(cycling(*[
            (lambda f: lambda: f(1))(getattr(core, name)) for name in no_arguments])),
         TypeError),
        ("classes-called", w()(cycling(
            core.RequestMetric, lambda: core.AggregatedMetrics(1), lambda: core.Snapshot(pid=1))),
         TypeError),
        ("instances-assigned", on_instances(lambda r, a, s: cycling(
            lambda: setattr(r, "path", PATH), lambda: setattr(a, "extra", 1),
            lambda: delattr(s, "pid"))), AttributeError),
        ("descriptors-on-foreign-objects", on_instances(lambda r, a, s: cycling(
            lambda: core.RequestMetric.__repr__(a), lambda: core.Snapshot.to_dict(r),
            lambda: core.AggregatedMetrics.total_requests.__get__(s))), TypeError),
    ]


def proc_cases():
    w = watching
    return [
        ("snapshot", w()(core.snapshot), None),
        ("check_alerts-none-given", w()(core.check_alerts), None),
        ("check_alerts-all-fire", w()(lambda: core.check_alerts(-1, -1.0, memory_virtual_mb=-1)),
         None),
        ("check_alerts-none-fire", w()(lambda: core.check_alerts(1e12, 1e12, 1e12)), None),
        ("metrics_text", lambda: (fresh_store(), (core.metrics_text, []))[1], None),
    ]


def shard_name(pid=None):
    return "vtr-%d.shard" % (os.getpid() if pid is None else pid)


def odd_directory(path):
    """A shard directory with one entry for every way a merge skips an entry, and a live one."""
    os.makedirs(path, exist_ok=True)
    live = pack_shard(pid=os.getppid(), count=3, errors=1, sum_us=6000, min_us=1000, max_us=3000,
                      buckets=[0, 1, 2] + [0] * 11)
    files = {"vtr-short.shard": live[:100], "vtr-marker0.shard": bytes(SHARD_SIZE),
             "vtr-long.shard": live + b"x" * 124, "vtr-live.shard": live,
             "notes.txt": b"hello"}
    for name, data in files.items():
        with open(os.path.join(path, name), "wb") as f:
            f.write(data)
    with open(os.path.join(os.fsencode(path), b"vtr-\xff.shard"), "wb") as f:
        f.write(live)
    os.mkfifo(os.path.join(path, "vtr-fifo.shard"))
    os.mkdir(os.path.join(path, "vtr-dir.shard"))
    os.symlink(os.path.join(path, "vtr-live.shard"), os.path.join(path, "vtr-link.shard"))


def switch_on(directory):
    core.set_multiproc_dir(directory)
    assert core.multiproc_enabled(), directory


def multiproc_cases():
    """Run with a scratch directory as the current directory."""
    def unusable(directory, plant):
        def set_up():
            os.makedirs(directory, exist_ok=True)
            plant(os.path.join(directory, shard_name()))
            return lambda: core.set_multiproc_dir(directory), []
        return set_up

    def on(directory, call, prepare=lambda: None):
        def set_up():
            prepare()
            switch_on(directory)
            return call, []
        return set_up

    def a_file():
        with open("file", "w") as f:
            f.write("not a directory")
        return lambda: core.set_multiproc_dir("file/sub"), []

    def gone():
        switch_on("gone")
        os.remove(os.path.join("gone", shard_name()))
        os.rmdir("gone")
        return core.aggregate, []

    w = watching
    return [
        ("set_multiproc_dir-same", w()(lambda: core.set_multiproc_dir("same")), None),
        ("set_multiproc_dir-switching", w()(cycling(
            lambda: core.set_multiproc_dir("a"), lambda: core.set_multiproc_dir(dir="b"),
            lambda: core.set_multiproc_dir(None))), None),
        ("set_multiproc_dir-under-a-file", a_file, None),
        ("set_multiproc_dir-own-name-a-directory", unusable("blocked", os.mkdir), None),
        ("set_multiproc_dir-own-name-a-fifo", unusable("fifo", os.mkfifo), None),
        ("set_multiproc_dir-own-name-a-symlink", unusable(
            "link", lambda p: os.symlink("/dev/zero", p)), None),
        ("record_request-mode-on", on("own", lambda: core.record_request(
            METHOD, PATH, 503, DURATION)), None),
        ("get_multiproc_dir-on", on("own", core.get_multiproc_dir), None),
        ("multiproc_enabled-on", on("own", core.multiproc_enabled), None),
        ("aggregate-merging-odd-files", on("odd", core.aggregate, lambda: odd_directory("odd")),
         None),
        ("metrics_text-merging", on("own", core.metrics_text), None),
        ("aggregate-directory-gone", gone, None),
    ]


def clock_cases():
    """Run under libfaketime with the clock before 1970."""
    w = watching
    return [
        ("snapshot-clock-error", w()(core.snapshot), RuntimeError),
        ("check_alerts-clock-error", w()(lambda: core.check_alerts(1.0)), RuntimeError),
        ("metrics_text-clock-error", w()(core.metrics_text), None),
        ("record_request-clock-before-1970", w(METHOD, PATH)(
            lambda: core.record_request(METHOD, PATH, 200, DURATION)), None),
    ]


LIBC = ctypes.CDLL(None, use_errno=True)


def hide_proc():
    if LIBC.mount(b"none", b"/proc", b"tmpfs", 0, None):
        raise OSError(ctypes.get_errno(), "mount /proc")


def show_proc():
    if LIBC.umount2(b"/proc", 0):
        raise OSError(ctypes.get_errno(), "umount /proc")


def noproc_cases():
    """Run under `unshare -m`: /proc is hidden while the calls run."""
    w = watching
    return [
        ("snapshot-not-found", w()(core.snapshot), RuntimeError),
        ("check_alerts-not-found", w()(core.check_alerts), RuntimeError),
        ("metrics_text-not-found", w()(core.metrics_text), None),
    ]


GROUPS = {"local": local_cases, "proc": proc_cases, "multiproc": multiproc_cases,
          "clock": clock_cases, "noproc": noproc_cases}


def watched():
    """Objects every call touches one way or another."""
    return {"None": None, "True": True, "False": False, "module": core,
            "PanicException": core.PanicException, "RequestMetric": core.RequestMetric,
            "AggregatedMetrics": core.AggregatedMetrics, "Snapshot": core.Snapshot}


def open_fds():
    return len(os.listdir("/proc/self/fd"))


def measure(objects):
    gc.collect()
    with open("/proc/self/statm") as f:
        size, resident = (int(x) * PAGE for x in f.read().split()[:2])
    with open("/proc/self/maps") as f:
        shard_maps = sum(1 for line in f if line.rstrip().endswith(".shard")
                         or line.rstrip().endswith(".shard (deleted)"))
    return {
        "rss": resident, "vm": size, "fds": open_fds(),
        "gc": len(gc.get_objects()), "shard_maps": shard_maps,
        "refs": {name: sys.getrefcount(obj) for name, obj in objects.items()},
    }


def run(name, call, expected, n):
    if expected is None:
        for _ in range(n):
            call()
        return
    for _ in range(n):
        try:
            call()
        except expected:
            pass
        else:
            raise AssertionError(f"{name}: no {expected.__name__} raised")


def objects_of(touched):
    return {**watched(), **{f"argument {i}": o for i, o in enumerate(touched)}}


def main():
    group, calls, names = sys.argv[1], int(sys.argv[2]), set(sys.argv[3:])
    warm_up = min(calls, 20_000)
    hidden = group == "noproc"
    for name, set_up, expected in GROUPS[group]():
        if names and name not in names:
            continue
        call, touched = set_up()
        objects = objects_of(touched)
        # Descriptors are counted from before the warm-up too: a leak of one per call would have
        # reached the process's limit long before the warm-up ended.
        start = open_fds()
        if hidden:
            hide_proc()
        run(name, call, expected, warm_up)
        if hidden:
            show_proc()
        before = measure(objects)
        if hidden:
            hide_proc()
        run(name, call, expected, calls)
        if hidden:
            show_proc()
        after = measure(objects)
        del call, touched, objects
        core.set_multiproc_dir(None)
        before["fds_at_start"] = start
        print(json.dumps({"case": name, "calls": calls, "before": before, "after": after}),
              flush=True)


if __name__ == "__main__":
    main()
