"""The per-route series under worker churn, with real processes: a fold killed between renaming
the archive and deleting its files, a merge overtaken by more folds than the archive's ring
holds, a new worker given a dead worker's pid while a fold holds the directory, a scrape that
finds many dead workers, the archive's owner and mode, files that claim the largest sizes, the
archive's key cap, a pid the kernel gave to an unrelated process, and the deployment's process
figures. An LD_PRELOAD shim (stop_at.c) stops or kills a process at a chosen call, so that each
interleaving happens every time."""

import grp
import json
import os
import pwd
import shutil
import signal
import stat
import struct
import subprocess
import sys
import tempfile
import textwrap
import time

import psutil
import pytest
from prometheus_client.parser import text_string_to_metric_families

from multiproc_helpers import CHILD_TIMEOUT_S, nobody_prefix
from test_series_files import PRELUDE, as_lists, env_for, finish, model, run, start_ticks
from vantorel import series

RING = 256  # the incarnations of the last folded files that the archive keeps
PID_OFFSET, START_TICKS = 8, 16 * 8
V2_MAGIC = 0x3230524553525456


@pytest.fixture(scope="module")
def shim(tmp_path_factory):
    compiler = shutil.which("cc") or shutil.which("gcc")
    if compiler is None:
        pytest.skip("needs a C compiler for the LD_PRELOAD shim")
    library = tmp_path_factory.mktemp("shim") / "stop_at.so"
    source = os.path.join(os.path.dirname(__file__), "stop_at.c")
    subprocess.run([compiler, "-shared", "-fPIC", "-O1", source, "-o", str(library), "-ldl"],
                   check=True, capture_output=True)
    return str(library)


def stopping(shim, call, match, action="stop"):
    """The environment under which a process stops (or dies) at its first `call` on `match`.
    The shim goes after whatever is preloaded already (the sanitizers' runtimes must come
    first)."""
    preload = ":".join(filter(None, [os.environ.get("LD_PRELOAD"), shim]))
    return {"LD_PRELOAD": preload, "STOP_AT_CALL": call, "STOP_AT_MATCH": match,
            "STOP_AT_ACTION": action}


def spawn(code, cwd, extra_env=None, multiproc_dir=None, args=()):
    env = {**env_for(multiproc_dir), **(extra_env or {})}
    argv = [sys.executable, "-c", PRELUDE + textwrap.dedent(code), *map(str, args)]
    return subprocess.Popen(argv, cwd=cwd, env=env, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)


def wait_stopped(pid):
    deadline = time.monotonic() + CHILD_TIMEOUT_S
    while psutil.Process(pid).status() != psutil.STATUS_STOPPED:
        assert time.monotonic() < deadline, "the process never reached its stop"
        time.sleep(0.01)


@pytest.fixture(scope="module")
def template(tmp_path_factory):
    """The file of an exited worker with a small limit (3 keys, 4 slots), the series in it, and
    its requests in progress (one GET)."""
    root = tmp_path_factory.mktemp("template")
    proc = subprocess.run(
        [sys.executable, "-c", PRELUDE + textwrap.dedent("""
            _native.series_finish("GET", "/", "/a", 200, 1.5)
            _native.series_finish("GET", "/", "/a", 200, 30.0)
            _native.series_finish("POST", "/", "/b", 404, 2.0)
            _native.series_start("GET")
            out(os.getpid())
            """)], cwd=root, env={**env_for(root / "d"), series.LIMIT_ENV_VAR: "3"},
        capture_output=True, text=True, timeout=CHILD_TIMEOUT_S, check=True)
    pid = json.loads(proc.stdout.splitlines()[-1])
    image = (root / "d" / f"vtr-{pid}.series").read_bytes()
    return image, model([("GET", "/a", 200, 1.5), ("GET", "/a", 200, 30.0),
                         ("POST", "/b", 404, 2.0)])


def clone(image, pid, ticks=None):
    """The image as the file of process `pid` with an incarnation of its own; the owner's start
    (files that have one) becomes `ticks` when given."""
    words = struct.pack("=QQ", pid, int.from_bytes(os.urandom(8), "little") | 1)
    image = image[:PID_OFFSET] + words + image[PID_OFFSET + 16:]
    if ticks is not None and struct.unpack_from("=Q", image)[0] == V2_MAGIC:
        image = image[:START_TICKS] + struct.pack("=Q", ticks) + image[START_TICKS + 8:]
    return image


def free_pids(n):
    """`n` pids that name no process, from the top of the range down: the kernel hands out pids
    upwards, so none of them is given to a process during a test."""
    with open("/proc/sys/kernel/pid_max") as f:
        top = int(f.read()) - 1
    pids = []
    while len(pids) < n:
        if not os.path.exists(f"/proc/{top}"):
            pids.append(top)
        top -= 1
    return pids


def plant(directory, image, pids):
    for pid in pids:
        (directory / f"vtr-{pid}.series").write_bytes(clone(image, pid))


def times(expected, n):
    return [[m, r, s, c * n, t * n, [b * n for b in bs]] for m, r, s, c, t, bs in expected]


def read(directory, cwd):
    return as_lists(run(f"out(_native.series_read_dir({str(directory)!r}))", cwd))


FOLD_ALL = """
d = sys.argv[1]
for pid in json.loads(sys.argv[2]):
    assert _native.series_fold(d, pid) is True, pid
out(sorted(os.listdir(d)))
"""


def test_a_fold_killed_before_its_delete_is_never_counted_twice(tmp_path, shim, template):
    image, expected = template
    directory = tmp_path / "d"
    directory.mkdir()
    first, *rest = pids = free_pids(RING + 2)
    plant(directory, image, pids)
    folder = spawn(f"_native.series_fold({str(directory)!r}, {first})", tmp_path,
                   stopping(shim, "unlinkat", f"vtr-{first}.series", "kill"))
    folder.communicate(timeout=CHILD_TIMEOUT_S)
    assert folder.returncode == -signal.SIGKILL
    assert (directory / f"vtr-{first}.series").exists()  # folded, not deleted
    # More folds than the archive's ring holds, one worker at a time and no scrape between, as
    # a master's reaping hook makes them.
    left = run(FOLD_ALL, tmp_path, args=(directory, json.dumps(rest)))
    assert left == [series.ARCHIVE_NAME]
    assert read(directory, tmp_path) == times(expected, len(pids))


def test_a_merge_overtaken_by_more_folds_than_the_ring_holds_reads_again(tmp_path, shim,
                                                                         template):
    image, expected = template
    directory = tmp_path / "d"
    directory.mkdir()
    pids = free_pids(RING + 8)
    plant(directory, image, pids)
    # The reader stops once it has listed and read the workers' files, before the archive.
    reader = spawn(f"out(_native.series_read_dir({str(directory)!r}))", tmp_path,
                   stopping(shim, "closedir", str(directory)))
    try:
        wait_stopped(reader.pid)
        assert run(FOLD_ALL, tmp_path, args=(directory, json.dumps(pids))) == [
            series.ARCHIVE_NAME]
    finally:
        os.kill(reader.pid, signal.SIGCONT)
    assert as_lists(finish(reader)) == times(expected, len(pids))


CAN_UNSHARE_PIDS = (os.geteuid() == 0 and shutil.which("unshare") is not None
                    and os.path.exists("/proc/sys/kernel/ns_last_pid"))

# Pid 1 of a pid namespace of its own, where the next pid can be chosen: worker A counts and is
# reaped; a fold of A's file stops between its rename and its delete, holding the directory's
# lock; the kernel then gives A's pid to a new worker W, which counts while the fold still holds
# the lock, and again once it has gone on.
NAMESAKE = """
import signal, subprocess
d = sys.argv[1]
a = os.fork()
if a == 0:
    core.set_multiproc_dir(d)
    for _ in range(3):
        _native.series_observe("GET", "/a", 200, 1.0)
    os._exit(0)
os.waitpid(a, 0)
folder = subprocess.Popen([sys.executable, "-c",
                           "from vantorel import _native; _native.series_fold(%r, %d)" % (d, a)],
                          env=dict(os.environ, **json.loads(sys.argv[2])))
while open("/proc/%d/stat" % folder.pid).read().rpartition(")")[2].split()[0] != "T":
    time.sleep(0.01)
with open("/proc/sys/kernel/ns_last_pid", "w") as f:
    f.write(str(a - 1))
counted, go = os.pipe(), os.pipe()
w = os.fork()
if w == 0:
    core.set_multiproc_dir(d)
    for _ in range(5):
        _native.series_observe("GET", "/w", 200, 1.0)
    os.write(counted[1], b"x")
    os.read(go[0], 1)
    time.sleep(0.1)  # past the writer's wait before it tries the directory's lock again
    for _ in range(5):
        _native.series_observe("GET", "/w", 200, 1.0)
    out([[os.getpid(), a], _native.series_read_dir(d), sorted(os.listdir(d))])
    os._exit(0)
os.read(counted[0], 1)
folder.send_signal(signal.SIGCONT)
assert folder.wait() == 0
os.write(go[1], b"x")
os.waitpid(w, 0)
"""


@pytest.mark.skipif(not CAN_UNSHARE_PIDS, reason="needs root, unshare and ns_last_pid")
def test_a_new_worker_given_a_dead_workers_pid_while_a_fold_holds_the_directory(tmp_path, shim):
    directory = tmp_path / "d"
    stop = stopping(shim, "unlinkat", ".series")
    proc = subprocess.run(
        ["unshare", "--pid", "--fork", "--mount-proc", sys.executable, "-c",
         PRELUDE + textwrap.dedent(NAMESAKE), str(directory), json.dumps(stop)],
        cwd=tmp_path, env=env_for(), capture_output=True, text=True, timeout=CHILD_TIMEOUT_S)
    assert proc.returncode == 0, proc.stderr
    pids, merged, files = json.loads(proc.stdout.splitlines()[-1])
    assert pids[0] == pids[1]  # the kernel gave the new worker the dead one's pid
    assert as_lists(merged) == model([("GET", "/a", 200, 1.0)] * 3 + [("GET", "/w", 200, 1.0)] * 10)
    assert len([f for f in files if f.endswith(".series")]) == 1


def test_one_scrape_folds_every_dead_worker_it_finds(tmp_path, template):
    image, expected = template
    directory = tmp_path / "d"
    directory.mkdir()
    pids = free_pids(100)
    plant(directory, image, pids)
    merged, files, own = run(
        f"out([_native.series_snapshot(), sorted(os.listdir({str(directory)!r})), os.getpid()])",
        tmp_path, multiproc_dir=directory)
    assert as_lists(merged) == times(expected, len(pids))
    assert files == sorted([series.ARCHIVE_NAME, f"vtr-{own}.series", f"vtr-{own}.shard"])


def test_the_archive_takes_the_directorys_owner_and_mode(tmp_path, template):
    prefix = nobody_prefix(keep=tmp_path / "keep")
    if prefix is None:
        pytest.skip("needs root and setpriv to run a reader as nobody who can load the module")
    image, expected = template
    directory = tempfile.mkdtemp(prefix="vtr-owned-")
    try:
        uid, gid = pwd.getpwnam("nobody").pw_uid, grp.getgrnam("nogroup").gr_gid
        os.chown(directory, uid, gid)
        os.chmod(directory, 0o750)
        (pid,) = free_pids(1)
        with open(os.path.join(directory, f"vtr-{pid}.series"), "wb") as f:
            f.write(clone(image, pid))
        # A root master with a strict umask folds the worker it reaped.
        assert run(f"os.umask(0o077); out(_native.series_fold({directory!r}, {pid}))",
                   tmp_path) is True
        archive = os.stat(os.path.join(directory, series.ARCHIVE_NAME))
        assert (archive.st_uid, archive.st_gid, stat.S_IMODE(archive.st_mode)) == (uid, gid,
                                                                                   0o640)
        proc = subprocess.run(
            [*prefix, sys.executable, "-c",
             PRELUDE + f"out([os.getuid(), _native.series_read_dir({directory!r})])"],
            cwd=directory, env=env_for(), capture_output=True, text=True,
            timeout=CHILD_TIMEOUT_S)
        assert proc.returncode == 0, proc.stderr
        reader, merged = json.loads(proc.stdout.splitlines()[-1])
        assert reader == uid and as_lists(merged) == expected
    finally:
        shutil.rmtree(directory)


# Reads the directory under an address-space limit some 150 MB above what the interpreter uses,
# and says how many bytes its read calls returned (/proc/self/io).
BOUNDED_READER = """
import resource
def io_read():
    return int(open("/proc/self/io").read().split("rchar: ")[1].split()[0])
vm = int(open("/proc/self/status").read().split("VmSize:")[1].split()[0]) * 1024
resource.setrlimit(resource.RLIMIT_AS, (vm + (150 << 20), resource.RLIM_INFINITY))
before = io_read()
merged = _native.series_read_dir(sys.argv[1])
out([merged, io_read() - before])
"""


def test_a_reader_survives_files_that_claim_the_largest_sizes(tmp_path, template):
    image, expected = template
    directory = tmp_path / "d"
    directory.mkdir()
    header_size = 256 if struct.unpack_from("=Q", image)[0] == V2_MAGIC else 128
    slot_size = 1296
    capacity = 100_001  # the largest a file may have
    for pid in free_pids(4):
        # The template's slots, then a file claimed to the end and as long as it says: sparse.
        words = bytearray(clone(image, pid))
        struct.pack_into("=Q", words, 24, capacity)  # capacity
        struct.pack_into("=Q", words, 40, capacity)  # claimed
        path = directory / f"vtr-{pid}.series"
        path.write_bytes(words)
        os.truncate(path, header_size + capacity * slot_size)
    # An archive of the earlier layout that claims some 400 MB of records, and is all zeros.
    words = 50_000_000
    head = struct.pack("=8Q", 0x3130524153525456, slot_size, words, 0, 0, 0, 0, 0)
    archive = directory / series.ARCHIVE_NAME
    archive.write_bytes(head + bytes(8 * 256))
    os.truncate(archive, len(head) + 8 * 256 + 8 * words)
    merged, read_bytes = run(BOUNDED_READER, tmp_path, args=(directory,))
    assert as_lists(merged) == times(expected, 4)
    assert read_bytes < 20 << 20


def test_the_archive_keeps_what_the_workers_kept_whatever_the_folders_limit(tmp_path):
    directory = tmp_path / "d"
    workers = [
        subprocess.run([sys.executable, "-c", PRELUDE + textwrap.dedent(f"""
            for k in range(30):
                _native.series_observe("GET", "/w{i}/%d" % k, 200, 1.0)
            out(os.getpid())
            """)], cwd=tmp_path, env={**env_for(directory), series.LIMIT_ENV_VAR: "30"},
            capture_output=True, text=True, timeout=CHILD_TIMEOUT_S, check=True)
        for i in range(3)]
    pids = [json.loads(w.stdout.splitlines()[-1]) for w in workers]
    # The master never set the workers' limit: it folds with a limit of 5 (archive cap 20).
    proc = subprocess.run([sys.executable, "-c", PRELUDE + FOLD_ALL, str(directory),
                           json.dumps(pids)], cwd=tmp_path,
                          env={**env_for(), series.LIMIT_ENV_VAR: "5"}, capture_output=True,
                          text=True, timeout=CHILD_TIMEOUT_S)
    assert proc.returncode == 0, proc.stderr
    merged = run(f"out(_native.series_read_dir({str(directory)!r}))", tmp_path)
    assert merged[2] == 0  # nothing in the overflow series
    assert {s[1] for s in merged[0]} == {f"/w{i}/{k}" for i in range(3) for k in range(30)}


def test_a_pid_given_to_an_unrelated_process_does_not_keep_a_dead_worker_alive(tmp_path,
                                                                               template):
    image, expected = template
    directory = tmp_path / "d"
    directory.mkdir()
    unrelated = subprocess.Popen(["sleep", "60"])
    try:
        # The dead worker's file, under the pid that the kernel has given to `sleep`.
        (directory / f"vtr-{unrelated.pid}.series").write_bytes(clone(image, unrelated.pid))
        assert start_ticks(unrelated.pid) != struct.unpack_from("=Q", image, START_TICKS)[0]
        merged, files, own = run(
            f"out([_native.series_snapshot(), sorted(os.listdir({str(directory)!r})), "
            "os.getpid()])", tmp_path, multiproc_dir=directory)
    finally:
        unrelated.kill()
        unrelated.wait()
    assert as_lists(merged) == expected
    assert merged[1]["GET"] == 0  # its request in progress ended with it
    assert f"vtr-{unrelated.pid}.series" not in files


DEPLOYMENT_WORKER = """
import sys
for line in sys.stdin:
    command = line.split()
    if command[0] == "burn":
        end = time.process_time() + float(command[1])
        while time.process_time() < end:
            pass
    elif command[0] == "request":
        _native.series_finish("GET", "/", "/r", 200, 1.0)
    elif command[0] == "scrape":
        out(_native.series_text())
        continue
    out("done")
"""


def figures(doc):
    return {f.name: f.samples[0].value for f in text_string_to_metric_families(doc)
            if f.name.startswith("process_")}


def test_the_process_families_describe_the_deployment(tmp_path):
    directory = tmp_path / "d"

    def worker():
        argv = [sys.executable, "-c", PRELUDE + textwrap.dedent(DEPLOYMENT_WORKER)]
        return subprocess.Popen(argv, cwd=tmp_path, env=env_for(directory),
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)

    def ask(proc, command):
        proc.stdin.write(command + "\n")
        proc.stdin.flush()
        return json.loads(proc.stdout.readline())

    procs = []
    try:
        procs += [worker(), worker()]
        first, second = procs
        ask(first, "request")
        ask(second, "request")
        ask(first, "burn 0.6")  # the first worker uses far more CPU than the second
        seen = [figures(ask(first, "scrape")), figures(ask(second, "scrape"))]
        rss = sum(psutil.Process(p.pid).memory_info().rss for p in procs)
        started = psutil.Process(first.pid).create_time()
        first.kill()
        first.wait()
        seen.append(figures(ask(second, "scrape")))  # folds the first worker
        procs.append(worker())
        seen.append(figures(ask(procs[2], "scrape")))
    finally:
        for proc in procs:
            proc.kill()
            proc.wait()
    cpu = [s["process_cpu_seconds"] for s in seen]
    assert cpu == sorted(cpu) and cpu[0] >= 0.6
    # One start for the deployment, whichever worker answers: its first worker's.
    assert len({s["process_start_time_seconds"] for s in seen}) == 1
    assert abs(seen[0]["process_start_time_seconds"] - started) < 0.05
    assert abs(seen[1]["process_resident_memory_bytes"] - rss) < rss / 4
