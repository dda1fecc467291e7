"""Many threads and processes at once: recording, reading, aggregating, rendering, switching the
multi-worker directory and changing the limit. Nothing crashes or hangs, the store ends within its
limit, and no count is lost in the shards.

Every scenario runs in child processes (the mode is process-global), each with the interpreter's
switch interval at a microsecond so that threads interleave between almost every pair of calls.
Loops end when the work is done, not after a time; the children's timeouts only guard against a
hang.
"""
import json
import subprocess

import pytest

from multiproc_helpers import BUCKET_BOUNDS_MS, CHILD_TIMEOUT_S, child_argv, child_env, run_child

# Shared by the children: durations whose microseconds are exact, and the shard words a set of
# records must produce.
COMMON = """
import random, threading, traceback

sys.setswitchinterval(1e-6)
BOUNDS = %r
DURATIONS = [0.25, 1.5, 3.0, 30.0, 700.0, 4999.999, 20000.0]
STATUSES = [200, 204, 399, 400, 404, 500, 503]


class Tally:
    '''What the shard words must say about the records counted here.'''
    def __init__(self):
        self.count = self.errors = self.sum_us = self.max_us = 0
        self.min_us = 2**64 - 1
        self.buckets = [0] * 14

    def add(self, status, duration):
        micros = round(duration * 1000)
        self.count += 1
        self.errors += status >= 400
        self.sum_us += micros
        self.min_us = min(self.min_us, micros)
        self.max_us = max(self.max_us, micros)
        self.buckets[next((i for i, b in enumerate(BOUNDS) if duration <= b), 13)] += 1

    def words(self):
        return [self.count, self.errors, self.sum_us, self.min_us, self.max_us] + self.buckets


def shard_words(directory, pid=None):
    path = shard_path(directory, pid)
    if not os.path.exists(path):
        return Tally().words()
    w = words(path)
    return w[2:7] + w[8:]


FAILURES = []


def guarded(body):
    def run(*args):
        try:
            body(*args)
        except BaseException:
            FAILURES.append(traceback.format_exc(limit=-2))
    return threading.Thread(target=run, args=())
""" % (BUCKET_BOUNDS_MS,)

STORM = COMMON + """
RECORDERS, RECORDS = int(sys.argv[1]), int(sys.argv[2])
LIMITS = [0, 1, 2, 7, 64, 300]
switch = threading.Lock()
mode = {"dir": None, "last_path": None}
tallies = {"A": Tally(), "B": Tally(), None: Tally()}
recorded = threading.Event()
ready = threading.Semaphore(0)  # one release per other thread, after its first round
seen = {"switches": 0, "reads": 0, "aggregates": 0, "renders": 0, "limits": 0, "longest": 0}


def rounds(name):
    '''Until the recorders are done, counting; the first round lets the recorders start.'''
    first = True
    while True:
        yield
        seen[name] += 1
        if first:
            ready.release()
            first = False
        if recorded.is_set():
            return


def switch_to(target):
    # Callers hold `switch`.
    core.set_multiproc_dir(target)
    mode["dir"] = target if target and target.strip() else None


def recorder(seed):
    rng = random.Random(seed)
    targets = ["A", None, "B", " ", "A", ""]
    for i in range(RECORDS):
        status, duration = rng.choice(STATUSES), rng.choice(DURATIONS)
        path = "/t%d/%d" % (seed, i)
        # Under the lock the mode cannot change between this record and its tally.
        with switch:
            if i % 50 == 0:  # recorders switch too: every mode surely gets records
                switch_to(targets[(seed + i // 50) % len(targets)])
            core.record_request("GET", path, status, duration)
            tallies[mode["dir"]].add(status, duration)
            mode["last_path"] = path


def switcher():
    rng = random.Random(1)
    for _ in rounds("switches"):
        with switch:
            switch_to(rng.choice(["A", "B", None, "A", " ", ""]))
            assert core.get_multiproc_dir() == mode["dir"]
            assert core.multiproc_enabled() is (mode["dir"] is not None)


def reader():
    for _ in rounds("reads"):
        records = core.get_requests()
        seen["longest"] = max(seen["longest"], len(records))
        assert len(records) <= max(LIMITS)
        for r in records[-3:]:
            d = r.to_dict()
            assert d["method"] == "GET" and d["path"].startswith("/t"), d
            assert d["status_code"] in STATUSES and d["duration_ms"] in DURATIONS, d
            assert repr(r).startswith("RequestMetric(GET /t")


def aggregator():
    for _ in rounds("aggregates"):
        a = core.aggregate()
        d = a.to_dict()
        assert 0 <= d["total_errors"] <= d["total_requests"]
        assert 0.0 <= d["error_rate"] <= 100.0
        if d["total_requests"]:
            assert d["min_latency_ms"] <= d["avg_latency_ms"] <= d["max_latency_ms"] <= 20000.0
        assert repr(a).startswith("AggregatedMetrics(total=")


def renderer():
    for _ in rounds("renders"):
        text = core.metrics_text()
        lines = text.split("\\n")
        assert text.endswith("\\n\\n") and len(lines) == 13 * 4 + 1, text
        assert [l.split()[0] for l in lines[2::4] if l] == [
            "vtr_requests_total", "vtr_errors_total", "vtr_error_rate_percent",
            "vtr_latency_avg_ms", "vtr_latency_min_ms", "vtr_latency_max_ms",
            "vtr_latency_p50_ms", "vtr_latency_p95_ms", "vtr_latency_p99_ms",
            "vtr_process_cpu_percent", "vtr_process_memory_rss_bytes",
            "vtr_process_memory_virtual_bytes", "vtr_process_threads"]
        assert [a["metric"] for a in core.check_alerts(-1, -1, -1)] == [
            "cpu_percent", "memory_rss_mb", "memory_virtual_mb"]
        assert core.snapshot().threads >= 1


def limiter():
    rng = random.Random(2)
    for _ in rounds("limits"):
        core.set_max_requests(rng.choice(LIMITS))
        assert core.get_max_requests() >= 1
        if rng.random() < 0.05:
            core.clear_requests()


core.set_max_requests(64)  # from here on the limit is one of LIMITS
recorders = [guarded(lambda s=s: recorder(s)) for s in range(RECORDERS)]
others = [guarded(f) for f in (switcher, reader, reader, aggregator, renderer, limiter)]
for t in others:
    t.start()
for _ in others:
    ready.acquire(timeout=60)
for t in recorders:
    t.start()
for t in recorders:
    t.join()
recorded.set()
for t in others:
    t.join()

final = {"A": shard_words("A"), "B": shard_words("B")}
store = core.get_requests()
out({
    "failures": FAILURES, "seen": seen,
    "shards": final, "expected": {k: tallies[k].words() for k in ("A", "B")},
    "off": tallies[None].count,
    "store": len(store), "limit": core.get_max_requests(),
    "newest": store[-1].path if store else None, "last": mode["last_path"],
    "listing": {d: sorted(os.listdir(d)) for d in ("A", "B") if os.path.isdir(d)},
    "pid": os.getpid(),
})
"""


@pytest.mark.parametrize("recorders,records", [(4, 3000), (8, 800)], ids=["4x3000", "8x800"])
def test_thread_storm_loses_no_count(tmp_path, recorders, records):
    result = run_child(f"sys.argv[1:] = ['{recorders}', '{records}']\n" + STORM, tmp_path)
    assert result["failures"] == []
    seen = result["seen"]
    assert min(seen[k] for k in ("switches", "reads", "aggregates", "renders", "limits")) > 0, seen
    # Every record made while the mode was on is in the shard of the directory it was on in.
    assert result["shards"] == result["expected"]
    total_on = sum(result["expected"][k][0] for k in ("A", "B"))
    assert total_on + result["off"] == recorders * records
    assert total_on > 0 and result["off"] > 0
    for listing in result["listing"].values():
        assert listing == [f"vtr-{result['pid']}.shard"]
    assert result["store"] <= result["limit"]
    if result["store"]:
        assert result["newest"] == result["last"]


FORKS = COMMON + """
import time
DIRECTORY, STOP = sys.argv[1], sys.argv[2]
CHILDREN, THREADS, RECORDS = (int(a) for a in sys.argv[3:6])
core.set_multiproc_dir(DIRECTORY)
tally = Tally()
for _ in range(60000):  # the reader is merging before anything is written
    if os.path.exists(STOP + ".reading"):
        break
    time.sleep(0.01)


def record_all(seed, into):
    rng = random.Random(seed)
    for _ in range(RECORDS):
        status, duration = rng.choice(STATUSES), rng.choice(DURATIONS)
        core.record_request("GET", "/", status, duration)
        into.add(status, duration)


pids = []
for c in range(CHILDREN):
    pid = os.fork()
    if pid == 0:
        # A worker forked after the shard was opened: its threads count into the parent's shard.
        mine = [Tally() for _ in range(THREADS)]
        threads = [guarded(lambda t=t: record_all(1000 * c + t, mine[t])) for t in range(THREADS)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        code = 1 if FAILURES else 0
        sys.stdout.flush()
        os._exit(code)
    pids.append(pid)

# The parent records too, on its own threads, while its children do.
parent = [Tally() for _ in range(THREADS)]
threads = [guarded(lambda t=t: record_all(7 + t, parent[t])) for t in range(THREADS)]
for t in threads:
    t.start()
for t in threads:
    t.join()
statuses = [os.waitpid(pid, 0)[1] for pid in pids]
# The reader stops merging while this process still lives: after it exits, its shard is a dead
# worker's, and the next merge would rightly delete it.
open(STOP, "w").close()
for _ in range(60000):
    if os.path.exists(STOP + ".done"):
        break
    time.sleep(0.01)
expected = Tally()
for c in range(CHILDREN):
    for t in range(THREADS):
        rng = random.Random(1000 * c + t)
        for _ in range(RECORDS):
            expected.add(rng.choice(STATUSES), rng.choice(DURATIONS))
for t in parent:
    for k in ("count", "errors", "sum_us"):
        setattr(expected, k, getattr(expected, k) + getattr(t, k))
    expected.min_us = min(expected.min_us, t.min_us)
    expected.max_us = max(expected.max_us, t.max_us)
    expected.buckets = [a + b for a, b in zip(expected.buckets, t.buckets)]
out({"failures": FAILURES, "statuses": statuses, "pid": os.getpid(),
     "shard": shard_words(DIRECTORY), "expected": expected.words(), "merged": agg()})
"""

READER = """
import os, sys
stop = sys.argv[1]
totals = []
for _ in range(1_000_000):
    if os.path.exists(stop):
        break
    totals.append(agg()["total_requests"])
    if len(totals) == 1:
        open(stop + ".reading", "w").close()
open(stop + ".done", "w").close()
out({"merges": len(totals), "monotonic": all(a <= b for a, b in zip(totals, totals[1:])),
     "last": totals[-1] if totals else None})
"""


@pytest.mark.parametrize("children,threads,records", [(6, 4, 2500), (3, 8, 1000)],
                         ids=["6procs-4threads", "3procs-8threads"])
def test_forked_processes_share_one_shard(tmp_path, children, threads, records):
    directory = tmp_path / "shards"
    directory.mkdir()
    stop = tmp_path / "stop"
    # A reader in another process merges the shard all the while it is being written.
    reader = subprocess.Popen(child_argv(READER) + [str(stop)], cwd=tmp_path,
                              env=child_env(str(directory)), stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE)
    try:
        result = run_child(
            f"sys.argv[1:] = [{str(directory)!r}, {str(stop)!r}, '{children}', '{threads}', "
            f"'{records}']\n"
            + FORKS, tmp_path)
    finally:
        stop.touch()
        out, err = reader.communicate(timeout=CHILD_TIMEOUT_S)
    assert reader.returncode == 0, err.decode()
    seen = json.loads(out.decode().strip().splitlines()[-1])
    assert result["failures"] == [] and result["statuses"] == [0] * children
    total = (children + 1) * threads * records
    assert result["expected"][0] == total
    assert result["shard"] == result["expected"]
    assert result["merged"]["total_requests"] == total
    # A count only ever grows: a reader never sees one go back, nor past the end.
    assert seen["monotonic"] is True
    assert seen["merges"] > 0 and seen["last"] <= total


FORK_UNDER_THREADS = COMMON + """
import signal
core.set_multiproc_dir("shards")
FORKS = int(sys.argv[1])
running = threading.Event()
running.set()
lock = threading.Lock()
made = {"records": 0}


def busy(kind):
    rng = random.Random(kind)
    while running.is_set():
        if kind == 0:
            with lock:
                core.record_request("GET", "/", 200, 1.5)
                made["records"] += 1
        elif kind == 1:
            core.aggregate()
            core.metrics_text()
        elif kind == 2:
            core.set_max_requests(rng.choice([1, 10, 100]))
            core.get_requests()
        else:
            core.get_multiproc_dir()
            core.snapshot()


threads = [guarded(lambda k=k: busy(k)) for k in range(4)]
for t in threads:
    t.start()
children = 0
for i in range(FORKS):
    pid = os.fork()
    if pid == 0:
        # Whatever the other threads were doing, the child can use every part of the module.
        signal.alarm(60)
        for _ in range(10):
            core.record_request("GET", "/child", 500, 3.0)
        core.aggregate()
        core.metrics_text()
        core.set_max_requests(5)
        core.get_requests()
        os._exit(0)
    assert os.waitpid(pid, 0)[1] == 0
    children += 1
running.clear()
for t in threads:
    t.join()
out({"failures": FAILURES, "children": children, "records": made["records"],
     "shard": shard_words("shards")})
"""


def test_fork_while_threads_call_the_module(tmp_path):
    forks = 40
    result = run_child(f"sys.argv[1:] = ['{forks}']\n" + FORK_UNDER_THREADS, tmp_path)
    assert result["failures"] == []
    assert result["children"] == forks
    count, errors = result["shard"][:2]
    assert (count, errors) == (result["records"] + 10 * forks, 10 * forks)
