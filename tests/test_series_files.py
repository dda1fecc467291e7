"""Per-route series in multi-worker mode, with real processes: workers' files and their merge,
the series following _core's directory, dead workers folded into the archive exactly once while
several processes merge at once, a writer racing readers, hostile directory entries, and files
that cannot be had."""

import bisect
import errno
import json
import os
import shutil
import signal
import struct
import subprocess
import sys
import textwrap
import time

import pytest
from prometheus_client.parser import text_string_to_metric_families

from multiproc_helpers import CHILD_TIMEOUT_S, dead_pid
from servers import free_port, live_children, request, wait_for
from vantorel import metrics, series
from vantorel.multiproc import BUCKET_BOUNDS_MS

# The worker file's header: magic, pid, incarnation, capacity, slot_size, claimed, the ten
# in-progress gauges, the owner's start ticks, start time and CPU time, then reserved words, in
# native-endian u64 words.
HEADER = struct.Struct("=32Q")
PID_OFFSET = 8  # the incarnation follows
START_TICKS = 16  # the word
SLOT_SIZE = 1296  # 18 words (check, key, count, sum_us, 14 buckets), then 1152 key bytes
SLOT_HEAD_SIZE = 144

PRELUDE = """\
import json, os, sys, time
import vantorel._core as core
from vantorel import _native

def out(value):
    print(json.dumps(value), flush=True)

def wait_for(path):
    while not os.path.exists(path):
        time.sleep(0.005)
"""


def env_for(multiproc_dir=None):
    env = {k: v for k, v in os.environ.items()
           if k not in ("VTR_MULTIPROC_DIR", series.LIMIT_ENV_VAR)}
    if multiproc_dir is not None:
        env["VTR_MULTIPROC_DIR"] = str(multiproc_dir)
    return env


def start(code, cwd, multiproc_dir=None, args=()):
    argv = [sys.executable, "-c", PRELUDE + textwrap.dedent(code), *map(str, args)]
    return subprocess.Popen(argv, cwd=cwd, env=env_for(multiproc_dir), stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)


def finish(proc):
    stdout, stderr = proc.communicate(timeout=CHILD_TIMEOUT_S)
    assert proc.returncode == 0, stderr
    return json.loads(stdout.strip().splitlines()[-1])


def run(code, cwd, multiproc_dir=None, args=()):
    return finish(start(code, cwd, multiproc_dir, args))


def model(requests):
    """The series of (method, route, status, duration_ms) requests, by the rules: the first
    bucket whose bound is >= the duration, whole microseconds added to the sum."""
    table = {}
    for method, route, status, duration in requests:
        count, sum_us, buckets = table.get((method, route, status), (0, 0, [0] * 14))
        buckets = list(buckets)
        buckets[bisect.bisect_left(BUCKET_BOUNDS_MS, duration)] += 1
        table[method, route, status] = (count + 1, sum_us + int(duration * 1000), buckets)
    return [[*key, *value] for key, value in sorted(table.items())]


def as_lists(merged):
    return [[*s[:5], list(s[5])] for s in merged[0]]


def names(directory):
    return sorted(os.listdir(directory))


WORKER = """
i = int(sys.argv[1])
for k in range(i + 1):
    _native.series_start("GET")
    _native.series_finish("GET", "/items/%d" % k, "/items/{id}", 200, 5.0)
_native.series_start("POST")
_native.series_finish("POST", "/form", "/form", 500 + i, 100.0)
_native.series_start("POST")  # still in progress while the worker lives
out(os.getpid())
wait_for(sys.argv[2])
"""


def worker_requests(i):
    return [("GET", "/items/{id}", 200, 5.0)] * (i + 1) + [("POST", "/form", 500 + i, 100.0)]


def test_workers_files_and_their_sum(tmp_path):
    directory = tmp_path / "shards"
    stop = tmp_path / "stop"
    workers = []
    for i in range(3):
        proc = subprocess.Popen(
            [sys.executable, "-c", PRELUDE + WORKER, str(i), str(stop)], cwd=tmp_path,
            env=env_for(directory), stdout=subprocess.PIPE, text=True)
        workers.append((proc, int(proc.stdout.readline())))
    expected = model([r for i in range(3) for r in worker_requests(i)])
    try:
        for pid in (pid for _, pid in workers):
            assert {f"vtr-{pid}.shard", f"vtr-{pid}.series"} <= set(names(directory))
        read = "out([_native.series_snapshot(), _native.series_read_dir(%r)])" % str(directory)
        live, read_only = run(read, tmp_path, multiproc_dir=directory)
        assert as_lists(live) == as_lists(read_only) == expected
        assert live[1]["POST"] == read_only[1]["POST"] == 3
    finally:
        stop.touch()
        for proc, _ in workers:
            proc.wait(timeout=CHILD_TIMEOUT_S)
    before = names(directory)
    # A read-only merge changes nothing; the next merge folds the dead workers' files.
    assert as_lists(run(f"out(_native.series_read_dir({str(directory)!r}))", tmp_path)) == expected
    assert names(directory) == before
    for _ in range(2):
        merged = run("out(_native.series_snapshot())", tmp_path, multiproc_dir=directory)
        assert as_lists(merged) == expected
        assert merged[1]["POST"] == 0
    left = [n for n in names(directory) if n.endswith(".series")]
    assert all(f"vtr-{pid}.series" not in left for _, pid in workers)
    assert series.ARCHIVE_NAME in names(directory)


def test_the_series_follow_the_directory(tmp_path):
    result = run(
        """
        read = lambda d: _native.series_read_dir(d)
        core.set_multiproc_dir("d1")
        _native.series_start("GET")  # ends after three switches
        _native.series_observe("GET", "/a", 200, 1.0)
        core.set_multiproc_dir("d2")
        _native.series_observe("GET", "/b", 200, 1.0)
        in_d2 = [read("d1"), read("d2")]
        core.set_multiproc_dir(None)
        _native.series_observe("GET", "/c", 200, 1.0)
        local = _native.series_snapshot()
        core.set_multiproc_dir("d1")  # back: its own file is adopted and counts on
        _native.series_observe("GET", "/a", 200, 1.0)
        _native.series_finish("GET", "/", "/a", 200, 1.0)
        out([in_d2, local, read("d1"), read("d2"), os.getpid(), sorted(os.listdir("d1"))])
        """,
        tmp_path,
    )
    (d1_then, d2_then), local, d1, d2, pid, files = result
    def keys(merged):
        return {(s[1], s[3]) for s in merged[0]}

    assert (keys(d1_then), keys(d2_then), keys(local)) == ({("/a", 1)}, {("/b", 1)}, {("/c", 1)})
    assert (d1_then[1]["GET"], d2_then[1]["GET"], local[1]["GET"]) == (0, 1, 1)
    assert (keys(d1), keys(d2)) == ({("/a", 3)}, {("/b", 1)})
    assert d1[1]["GET"] == d2[1]["GET"] == 0
    assert files == [f"vtr-{pid}.series", f"vtr-{pid}.shard"]


MERGER = """
previous, seen, merges, fell = {}, set(), 0, []
while True:
    stopping = os.path.exists(sys.argv[1])
    merged = _native.series_snapshot()
    counts = {}
    for method, route, status, count, _, _ in merged[0]:
        key = "%s %s %s" % (method, route, status)
        if key in counts:
            fell.append("twice: " + key)
        counts[key] = count
    fell += ["%s: %d -> %d" % (k, v, counts.get(k, 0)) for k, v in previous.items()
             if counts.get(k, 0) < v]
    previous = counts
    merges += 1
    if merges == 1:
        out("ready")
    if stopping:
        break
out([fell, merges, merged])
"""

FOLD_WORKER = """
i = int(sys.argv[1])
for _ in range(10):
    _native.series_observe("GET", "/shared", 200, 3.0)
for _ in range(i + 1):
    _native.series_observe("PUT", "/w%d" % i, 200 + i, 700.0)
_native.series_start("PUT")
out(os.getpid())
time.sleep(600)
"""


BUCKETED_WORKER = """
from vantorel import series
if sys.argv[1] != "shard":
    series.set_duration_buckets([0.05, 0.5])
for duration in json.loads(sys.argv[2]):
    _native.series_finish("GET", "/x", "/x", 200, duration)
out(os.getpid())
"""


def test_duration_buckets_across_workers_and_the_archive(tmp_path):
    # One worker folded into the archive and one dead but not yet folded, both under (50 ms,
    # 500 ms]; one dead worker under the shard's buckets, which the merge leaves out.
    directory = tmp_path / "shards"
    first = run(BUCKETED_WORKER, tmp_path, directory, ["custom", "[10, 50, 200]"])
    assert series.fold(directory, first)
    run(BUCKETED_WORKER, tmp_path, directory, ["custom", "[600]"])
    run(BUCKETED_WORKER, tmp_path, directory, ["shard", "[1]"])

    def looks(snapshot):
        ((*_, count, _, buckets),) = snapshot.series
        return count, buckets, snapshot.bounds

    assert looks(series.read_dir(directory)) == (4, (2, 1, 1), (0.05, 0.5))
    assert series.DURATION_FAMILY in metrics.read_dir(directory).refused
    # A worker's scrape folds both dead ones: the stranger's requests never join the archive.
    page = run("""
        from vantorel import series
        series.set_duration_buckets([0.05, 0.5])
        out(_native.series_text())
    """, tmp_path, directory)
    assert [(s.labels["le"], s.value) for f in text_string_to_metric_families(page)
            for s in f.samples if s.name.endswith("_bucket")] == \
        [("0.05", 2), ("0.5", 3), ("+Inf", 4)]
    assert looks(series.read_dir(directory)) == (4, (2, 1, 1), (0.05, 0.5))
    assert metrics.read_dir(directory).refused == ()


def test_dead_workers_fold_exactly_once_while_processes_merge(tmp_path):
    directory = tmp_path / "shards"
    stop = tmp_path / "stop"
    workers = [subprocess.Popen([sys.executable, "-c", PRELUDE + FOLD_WORKER, str(i)],
                                cwd=tmp_path, env=env_for(directory), stdout=subprocess.PIPE,
                                text=True) for i in range(6)]
    for proc in workers:
        assert int(proc.stdout.readline()) == proc.pid
    mergers = [subprocess.Popen([sys.executable, "-c", PRELUDE + MERGER, str(stop)], cwd=tmp_path,
                                env=env_for(directory), stdout=subprocess.PIPE, text=True)
               for _ in range(3)]
    try:
        for proc in mergers:
            assert proc.stdout.readline().strip() == '"ready"'
        for proc in workers:  # each dies while the mergers merge
            proc.send_signal(signal.SIGKILL)
            proc.wait(timeout=CHILD_TIMEOUT_S)
            time.sleep(0.05)
        time.sleep(0.3)
    finally:
        stop.touch()
        for proc in workers:
            proc.kill()
            proc.wait()
    expected = model([r for i in range(6) for r in
                      [("GET", "/shared", 200, 3.0)] * 10 + [("PUT", f"/w{i}", 200 + i, 700.0)] *
                      (i + 1)])
    for proc in mergers:
        stdout, _ = proc.communicate(timeout=CHILD_TIMEOUT_S)
        fell, merges, final = json.loads(stdout.strip().splitlines()[-1])
        assert fell == [] and merges > 2
        assert as_lists(final) == expected
        assert final[1]["PUT"] == 0  # dead workers' requests are no longer in progress
    # The fresh document names every key once.
    doc = run("out(_native.series_text())", tmp_path, multiproc_dir=directory)
    totals = [tuple(sorted(s.labels.items())) for f in text_string_to_metric_families(doc)
              for s in f.samples if s.name == "vtr_http_requests_total"]
    assert len(totals) == len(set(totals)) == len(expected)
    assert not any(f"vtr-{p.pid}.series" in names(directory) for p in workers)
    assert "vtr-series.archive.tmp" not in names(directory)


def test_fold_now_and_a_fold_that_stopped_before_its_delete(tmp_path):
    directory = tmp_path / "shards"
    worker = run("""
        _native.series_finish("GET", "/", "/x", 200, 12.0)
        _native.series_finish("GET", "/", "/y", 404, 0.5)
        out(os.getpid())
        """, tmp_path, multiproc_dir=directory)
    expected = model([("GET", "/x", 200, 12.0), ("GET", "/y", 404, 0.5)])
    own = directory / f"vtr-{worker}.series"
    copy = tmp_path / "copy"
    shutil.copyfile(own, copy)
    result = run(f"""
        d = {str(directory)!r}
        try:
            _native.series_fold(d, os.getppid())
        except ValueError as exc:
            refused = str(exc)
        results = [_native.series_fold(d, {dead_pid()}), _native.series_fold(d, {worker}),
                   _native.series_fold(d, {worker})]
        out([refused, results, core.multiproc_enabled(), sorted(os.listdir(d))])
        """, tmp_path)
    refused, results, enabled, files = result
    assert refused == f"process {os.getpid()} is alive: only a dead worker's series can be folded"
    assert results == [False, True, False]
    # The master that folds never switches the mode on, nor leaves a file of its own.
    assert enabled is False
    assert set(files) == {series.ARCHIVE_NAME, f"vtr-{worker}.shard"}
    assert as_lists(run(f"out(_native.series_read_dir({str(directory)!r}))", tmp_path)) == expected
    # As if the fold had stopped between renaming the archive and deleting the file: the archive
    # names the file, so it is not counted again, and the next fold only deletes it.
    shutil.copyfile(copy, own)
    read = f"out(_native.series_read_dir({str(directory)!r}))"
    assert as_lists(run(read, tmp_path)) == expected
    assert run(f"out(_native.series_fold({str(directory)!r}, {worker}))", tmp_path) is True
    assert not own.exists()
    assert as_lists(run(read, tmp_path)) == expected


RACING_WRITER = """
_native.series_set_limit(4000)
core.set_multiproc_dir(sys.argv[1])
out(os.getpid())
n = 0
while not os.path.exists(sys.argv[2]):
    if n < 4000:  # new keys, paced to go on for as long as the reader reads
        _native.series_observe("GET", "/%d/" % n + chr(0x4E00 + n % 97) * (n % 250),
                               200 + n % 300, 1.0)
        n += 1
    time.sleep(0.0005)
out(n)
"""

RACING_READER = """
seen, bad, last_total = 0, [], 0
for _ in range(int(sys.argv[2])):
    merged = _native.series_read_dir(sys.argv[1])
    total = 0
    for method, route, status, count, _, _ in merged[0]:
        n = int(route.split("/")[1])
        if (method, route, status) != ("GET", "/%d/" % n + chr(0x4E00 + n % 97) * (n % 250),
                                       200 + n % 300) or count > 1:
            bad.append([method, route, status, count])
        total += count
    if total < last_total:
        bad.append(["went back", last_total, total])
    last_total = total
    seen = max(seen, len(merged[0]))
out([bad[:5], seen])
"""


def test_a_racing_writer_never_shows_a_torn_key(tmp_path):
    directory = tmp_path / "shards"
    stop = tmp_path / "stop"
    writer = start(RACING_WRITER, tmp_path, args=(directory, stop))
    try:
        pid = int(writer.stdout.readline())
        bad, seen = run(RACING_READER, tmp_path, args=(directory, 150))
    finally:
        stop.touch()
        written = finish(writer)
    assert bad == []
    assert 0 < seen <= written
    assert os.path.exists(directory / f"vtr-{pid}.series")


@pytest.fixture(scope="module")
def worker_file(tmp_path_factory):
    """The series file of a worker that has exited, and the series in it."""
    root = tmp_path_factory.mktemp("template")
    pid = run("""
        _native.series_finish("GET", "/", "/a", 200, 1.5)
        _native.series_finish("GET", "/", "/a", 200, 30.0)
        _native.series_finish("POST", "/", "/b", 404, 2.0)
        out(os.getpid())
        """, root, multiproc_dir=root / "d")
    image = (root / "d" / f"vtr-{pid}.series").read_bytes()
    return image, model([("GET", "/a", 200, 1.5), ("GET", "/a", 200, 30.0),
                         ("POST", "/b", 404, 2.0)])


def start_ticks(pid):
    """When process `pid` started, in clock ticks after boot: field 22 of /proc/<pid>/stat."""
    with open(f"/proc/{pid}/stat") as f:
        return int(f.read().rpartition(")")[2].split()[19])


def with_pid(image, pid):
    """The image as the file of another process `pid` (its start ticks too, where it lives),
    with an incarnation of its own."""
    words = struct.pack("=QQ", pid, int.from_bytes(os.urandom(8), "little") | 1)
    image = image[:PID_OFFSET] + words + image[PID_OFFSET + 16:]
    ticks = start_ticks(pid) if os.path.exists(f"/proc/{pid}") else 0
    at = START_TICKS * 8
    return image[:at] + struct.pack("=Q", ticks) + image[at + 8:]


def plant(directory, outside, kind, image):
    """Puts one hostile entry into `directory`; returns the template's routes that a merge
    must count once more for it (a live owner's valid slots count, nothing else does)."""
    live = with_pid(image, os.getpid())
    path = directory / "vtr-hostile.series"
    if kind == "fifo":
        os.mkfifo(path)
    elif kind == "directory":
        path.mkdir()
    elif kind == "symlink-to-a-live-file":
        (outside / "live.series").write_bytes(live)
        path.symlink_to(outside / "live.series")
    elif kind == "symlink-to-dev-zero":
        path.symlink_to("/dev/zero")
    elif kind == "garbage":
        path.write_bytes(os.urandom(len(image)))
    elif kind == "short":
        path.write_bytes(live[:-1])
    elif kind == "long":
        path.write_bytes(live + os.urandom(5000))
        return {"/a", "/b"}
    elif kind == "name-not-utf8":
        with open(os.path.join(bytes(directory), b"vtr-\xff.series"), "wb") as f:
            f.write(live)
    elif kind == "unpublished-slots":  # claimed says 1000 slots; only the template's are keys
        header = list(HEADER.unpack_from(live))
        header[5] = 1000
        path.write_bytes(HEADER.pack(*header) + live[HEADER.size:])
        return {"/a", "/b"}
    elif kind == "torn-key":  # slot 1, (GET, /a, 200), no longer matches its check
        key_byte = HEADER.size + SLOT_SIZE + SLOT_HEAD_SIZE
        path.write_bytes(live[:key_byte] + b"H" + live[key_byte + 1:])
        return {"/b"}
    elif kind == "archive-garbage":
        (directory / series.ARCHIVE_NAME).write_bytes(os.urandom(3000))
    elif kind == "archive-symlink":
        (outside / "precious").write_bytes(b"precious")
        (directory / series.ARCHIVE_NAME).symlink_to(outside / "precious")
    elif kind == "archive-fifo":
        os.mkfifo(directory / series.ARCHIVE_NAME)
    return set()


HOSTILE_KINDS = ["fifo", "directory", "symlink-to-a-live-file", "symlink-to-dev-zero", "garbage",
                 "short", "long", "name-not-utf8", "unpublished-slots", "torn-key",
                 "archive-garbage", "archive-symlink", "archive-fifo"]


@pytest.mark.parametrize("kind", HOSTILE_KINDS, ids=HOSTILE_KINDS)
def test_hostile_entries(tmp_path, worker_file, kind):
    image, template = worker_file
    directory, outside = tmp_path / "shards", tmp_path / "outside"
    directory.mkdir()
    outside.mkdir()
    (directory / "vtr-dead.series").write_bytes(with_pid(image, dead_pid()))
    extra = plant(directory, outside, kind, image)
    expected = [[method, route, status, *(n * (1 + (route in extra)) for n in (count, sum_us)),
                 [b * (1 + (route in extra)) for b in buckets]]
                for method, route, status, count, sum_us, buckets in template]
    before = {n for n in os.listdir(bytes(directory)) if n != b"vtr-dead.series"}
    outside_before = {p.name: p.read_bytes() for p in outside.iterdir() if p.is_file()}
    read, folded, again = run(f"""
        d = {str(directory)!r}
        out([_native.series_read_dir(d), _native.series_snapshot(), _native.series_read_dir(d)])
        """, tmp_path, multiproc_dir=directory)
    assert as_lists(read) == as_lists(folded) == as_lists(again) == expected
    after = set(os.listdir(bytes(directory)))
    # The dead worker's file was folded; every hostile entry but an archive is left as it was.
    assert b"vtr-dead.series" not in after
    assert {n for n in before if not n.startswith(b"vtr-series.archive")} <= after
    assert {p.name: p.read_bytes() for p in outside.iterdir() if p.is_file()} == outside_before


FULL = {
    # A tmpfs that has room for the shard but not for the series file.
    "tmpfs-512k": ("reserve space", errno.ENOSPC),
    "name-taken-by-a-fifo": ("not a regular file", 0),
}
CAN_MOUNT = (os.geteuid() == 0 and shutil.which("unshare") is not None
             and shutil.which("mount") is not None)


@pytest.mark.parametrize("case", list(FULL), ids=list(FULL))
def test_a_file_that_cannot_be_had_leaves_the_series_local(tmp_path, case):
    if case.startswith("tmpfs") and not CAN_MOUNT:
        pytest.skip("needs root, unshare and mount")
    directory = tmp_path / "small"
    directory.mkdir()
    code = f"""
        import subprocess
        d = {str(directory)!r}
        if {case!r}.startswith("tmpfs"):
            subprocess.run(["mount", "-t", "tmpfs", "-o", "size=512k", "tmpfs", d], check=True)
        else:
            os.mkfifo(os.path.join(d, "vtr-%d.series" % os.getpid()))
        core.set_multiproc_dir(d)
        _native.series_start("GET")
        _native.series_finish("GET", "/", "/x", 200, 1.5)
        _native.series_observe("GET", "/x", 200, 1.5)
        out([core.multiproc_enabled(), _native.series_failure(), _native.series_snapshot(),
             sorted(os.listdir(d)), os.getpid()])
        """
    prefix = ["unshare", "-m", "--propagation", "private"] if case.startswith("tmpfs") else []
    proc = subprocess.run([*prefix, sys.executable, "-c", PRELUDE + textwrap.dedent(code)],
                          cwd=tmp_path, env=env_for(), capture_output=True, text=True,
                          timeout=CHILD_TIMEOUT_S)
    assert proc.returncode == 0, proc.stderr
    enabled, failure, merged, files, pid = json.loads(proc.stdout.strip().splitlines()[-1])
    assert enabled is True  # the shard was had: the mode is on
    assert failure == [*FULL[case], str(directory)]
    assert as_lists(merged) == model([("GET", "/x", 200, 1.5)] * 2)
    assert merged[1]["GET"] == 0
    assert f"vtr-{pid}.shard" in files
    assert (f"vtr-{pid}.series" in files) is case.startswith("name-taken")


def test_a_child_forked_after_first_use_counts_in_a_file_of_its_own(tmp_path):
    # A worker forks a child after its first request, then exits and is reaped: its file is
    # folded, and the child's later requests must still count (they went into the worker's
    # deleted file before).
    merged, files, worker, child = run("""
        worker = os.fork()
        if worker != 0:
            os.waitpid(worker, 0)
            os._exit(0)
        core.set_multiproc_dir("d")
        _native.series_observe("GET", "/before", 200, 1.0)
        r, w = os.pipe()
        if os.fork() != 0:
            os.read(r, 1)  # the child has counted its first requests
            os._exit(0)
        for _ in range(5):
            _native.series_observe("GET", "/child", 201, 1.0)
        worker = os.getppid()
        os.write(w, b"x")
        while os.path.exists("/proc/%d" % worker):
            time.sleep(0.01)
        _native.series_snapshot()  # finds the worker dead and folds its file
        for _ in range(5):
            _native.series_observe("GET", "/child", 201, 1.0)
        out([_native.series_read_dir("d"), sorted(os.listdir("d")), worker, os.getpid()])
        """, tmp_path)
    assert as_lists(merged) == model([("GET", "/before", 200, 1.0)] +
                                     [("GET", "/child", 201, 1.0)] * 10)
    assert f"vtr-{child}.series" in files and f"vtr-{worker}.series" not in files


GUNICORN_APP = """
from vantorel import _native

def app(environ, start_response):
    method, path = environ["REQUEST_METHOD"], environ["PATH_INFO"]
    if path == "/series":
        start_response("200 OK", [("Content-Type", "text/plain; version=0.0.4")])
        return [_native.series_text().encode()]
    _native.series_start(method)
    status = 200 if path.startswith("/items/") else 404
    start_response("%d X" % status, [("Content-Length", "2")])
    route = "/items/{id}" if status == 200 else "<unmatched>"
    _native.series_finish(method, path, route, status, 2.0)
    return [b"ok"]
"""

GUNICORN_CONF = """
import os
from vantorel import series

def child_exit(server, worker):
    series.fold(os.environ["VTR_MULTIPROC_DIR"], worker.pid)
"""


@pytest.mark.deployment
def test_gunicorn_reloads_and_a_killed_worker_never_take_counts_back(tmp_path):
    pytest.importorskip("gunicorn")
    directory = tmp_path / "shards"
    (tmp_path / "series_app.py").write_text(GUNICORN_APP)
    (tmp_path / "conf.py").write_text(GUNICORN_CONF)
    port = free_port()
    cmd = [sys.executable, "-m", "gunicorn", "-c", str(tmp_path / "conf.py"), "-w", "2", "-b",
           f"127.0.0.1:{port}", "--chdir", str(tmp_path), "series_app:app"]
    log = open(tmp_path / "gunicorn.log", "wb")
    master = subprocess.Popen(cmd, stdout=log, stderr=subprocess.STDOUT, env=env_for(directory))
    seen = []

    def counts():
        status, _, body = request(port, "/series")
        assert status == 200
        values = {(s.labels["route"], s.labels["status"]): s.value
                  for f in text_string_to_metric_families(body.decode()) for s in f.samples
                  if s.name == "vtr_http_requests_total"}
        seen.append(values)
        return values

    def send(n):
        for i in range(n):
            assert request(port, f"/items/{i}" if i % 3 else "/nowhere")[0] in (200, 404)

    def expect(ok, unmatched):
        wanted = {("/items/{id}", "200"): ok, ("<unmatched>", "404"): unmatched}
        wait_for(lambda: counts() == wanted, 30.0, f"the counts {wanted}")

    try:
        first = wait_for(lambda: len(live_children(master.pid)) == 2 and
                         live_children(master.pid), 30.0, "two workers")
        wait_for(lambda: get_or_none(port) == 200, 30.0, "gunicorn to answer")
        send(30)
        expect(20, 10)
        master.send_signal(signal.SIGHUP)  # a reload: new workers, the old ones leave
        wait_for(lambda: not set(first) & set(live_children(master.pid)) and
                 len(live_children(master.pid)) == 2, 30.0, "the reload")
        send(30)
        expect(40, 20)
        victim = live_children(master.pid)[0]
        os.kill(victim, signal.SIGKILL)
        wait_for(lambda: victim not in live_children(master.pid) and
                 len(live_children(master.pid)) == 2, 30.0, "a replacement worker")
        send(15)
        expect(50, 25)
    finally:
        master.terminate()
        master.wait(timeout=30)
        log.close()
    # No scrape ever saw a count go down, whichever worker answered it.
    for before, after in zip(seen, seen[1:]):
        assert all(after.get(key, 0) >= value for key, value in before.items()), (before, after)
    files = [n for n in names(directory) if n.endswith(".series")]
    assert files == []  # every worker's series folded, by the master or a scrape
    assert series.ARCHIVE_NAME in names(directory)


def get_or_none(port):
    try:
        return request(port, "/series")[0]
    except OSError:
        return None
