"""``python -m vantorel``: demo, inspect and prepare, and the shard-directory helpers."""

from __future__ import annotations

import errno
import grp
import json
import os
import pwd
import re
import shutil
import stat
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Optional, Sequence

import pytest

from multiproc_helpers import dead_pid, nobody_prefix, pack
from vantorel import multiproc
from vantorel.cli import main, render_inspect

CLI = [sys.executable, "-m", "vantorel"]


def run_cli(*args: str, env_extra: Optional[dict] = None, timeout: float = 120,
            prefix: Sequence[str] = ()) -> subprocess.CompletedProcess:
    env = {k: v for k, v in os.environ.items() if k != multiproc.ENV_VAR}
    env.update(env_extra or {})
    return subprocess.run([*prefix, *CLI, *args], capture_output=True, text=True, env=env,
                          timeout=timeout)


def shard_bytes(pid: int, **fields: int) -> bytes:
    """A shard of ``pid`` updated now."""
    return pack(pid=pid, updated_at=int(time.time()), **fields)


@pytest.fixture
def reachable():
    """A directory that nobody may enter (pytest's own temporary directories are closed to
    other users), holding a file and a directory of root's that only root may write."""
    base = Path(tempfile.mkdtemp(prefix="vtr-cli-"))
    try:
        os.chmod(base, 0o755)
        (base / "file").write_text("not a directory")
        (base / "roots").mkdir()
        os.chmod(base / "roots", 0o755)
        yield base
    finally:
        shutil.rmtree(base)


def owner_of(path: Path) -> str:
    info = os.stat(path)
    return f"{pwd.getpwuid(info.st_uid).pw_name}:{grp.getgrgid(info.st_gid).gr_name}"


# ---------------------------------------------------------------------------------------------
# demo


def test_demo_drives_real_requests_and_prints_every_section(tmp_path):
    shard_dir = tmp_path / "shards"
    done = run_cli("demo", "--requests", "400", "--concurrency", "4", "--seed", "7",
                   env_extra={multiproc.ENV_VAR: str(shard_dir)})
    assert done.returncode == 0, done.stderr
    out = done.stdout
    headings = [line for line in out.splitlines() if line.startswith("== ")]
    assert [h.split(":")[0] for h in headings] == [
        "== Aggregate", "== Requests by path", "== Process snapshot", "== Alerts",
        "== Prometheus text"]
    assert headings[-1] == ("== Prometheus text: GET /metrics -> 200, "
                            "text/plain; version=0.0.4; charset=utf-8 ==")
    assert re.search(r"^Sent 400 requests in [\d.]+ s: 200 x\d+, 201 x\d+, 404 x\d+",
                     out, re.M)
    assert "  AggregatedMetrics(total=400, errors=" in out
    assert "\nvtr_requests_total 400\n" in out
    # 1100 item ids are one route; the demo's own scrape of /metrics is not recorded.
    assert re.search(r"^ +\d+  /api/items/\{item_id\}$", out, re.M)
    assert "/metrics" not in out.split("== Requests by path")[1].split("==")[0]
    # Each of the app's routes has its series; only paths it has no route for are unmatched.
    counted = [line for line in out.splitlines() if line.startswith("vtr_http_requests_total{")]
    routes = {re.search(r'route="([^"]*)"', line)[1] for line in counted}
    assert {"/", "/api/items", "/api/items/{item_id}", "/api/search", "/api/checkout"} <= routes
    assert routes <= {"/", "/api/items", "/api/items/{item_id}", "/api/search", "/api/checkout",
                      "/api/report", "<unmatched>"}
    unmatched = [line for line in counted if 'route="<unmatched>"' in line]
    assert unmatched and all('status="404"' in line for line in unmatched)
    assert done.stderr.splitlines()[-1].startswith("[" + "#" * 40 + "] 400/400 100%")
    # The demo counts in its own process only, even with a shard directory in the environment.
    assert not shard_dir.exists()


@pytest.mark.parametrize(
    "args, message",
    [
        ([], "the following arguments are required: COMMAND"),
        (["demo", "--requests", "0"], "argument --requests: must be at least 1, not 0"),
        (["inspect", "/tmp", "--interval", "0"],
         "argument --interval: must be greater than 0, not 0"),
        (["frobnicate"], "invalid choice: 'frobnicate'"),
        (["prepare", "/tmp/x", "--user", "no-such-user"], "argument --user: no user "
         "'no-such-user'"),
        (["prepare", "/tmp/x", "--group", "no-such-group"], "argument --group: no group "
         "'no-such-group'"),
    ],
    ids=["no-command", "zero-requests", "zero-interval", "unknown", "unknown-user",
         "unknown-group"],
)
def test_usage_errors(args, message, capsys):
    with pytest.raises(SystemExit) as caught:
        main(args)
    assert caught.value.code == 2
    assert message in capsys.readouterr().err


# ---------------------------------------------------------------------------------------------
# inspect


RECORDER = """
import json, sys
from vantorel import _core
for status, ms in [(200, 0.4), (200, 3.0), (404, 7.5), (500, 120.0), (200, 20000.0), (200, 1.0)]:
    _core.record_request("GET", "/", status, ms)
print(json.dumps(_core.aggregate().to_dict()), flush=True)
sys.stdin.readline()
"""


@pytest.fixture
def shard_dir(tmp_path):
    """A directory as a deployment leaves it: one live worker that recorded six requests with
    the real core, one dead worker's shard, and two files that are no shards."""
    directory = tmp_path / "shards"
    env = {k: v for k, v in os.environ.items() if k != multiproc.ENV_VAR}
    env[multiproc.ENV_VAR] = str(directory)
    worker = subprocess.Popen([sys.executable, "-c", RECORDER], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, text=True, env=env)
    try:
        aggregate = json.loads(worker.stdout.readline())
        dead = dead_pid()
        (directory / f"vtr-{dead}.shard").write_bytes(
            shard_bytes(dead, count=5, errors=5, sum_us=5000, min_us=1000, max_us=1000,
                        buckets=[5] + [0] * 13))
        (directory / "vtr-77.shard").write_bytes(shard_bytes(77, count=9, marker=0))
        (directory / "vtr-78.shard").write_bytes(b"\x01" * 100)
        (directory / "notes.txt").write_text("not a shard")
        yield directory, worker.pid, dead, aggregate
    finally:
        worker.stdin.close()
        worker.wait(timeout=30)


def test_inspect_json_merges_like_the_core_and_deletes_nothing(shard_dir):
    directory, live, dead, aggregate = shard_dir
    before = sorted(os.listdir(directory))
    done = run_cli("inspect", str(directory), "--json")
    assert done.returncode == 0, done.stderr
    document = json.loads(done.stdout)
    merged = document.pop("merged")
    assert merged.pop("workers") == 1
    buckets = merged.pop("buckets")
    assert merged == aggregate  # the same nine figures as aggregate() in the live worker
    assert buckets[0] == {"le_ms": 1, "count": 2}
    assert buckets[13] == {"le_ms": None, "count": 1}
    shards = {s["file"]: s for s in document["shards"]}
    assert set(shards) == {f"vtr-{live}.shard", f"vtr-{dead}.shard", "vtr-77.shard",
                           "vtr-78.shard"}
    assert (shards[f"vtr-{live}.shard"]["counted"], shards[f"vtr-{dead}.shard"]["alive"]) == (
        True, False)
    assert shards["vtr-77.shard"]["problem"] == "not initialised (marker 0)"
    assert shards["vtr-78.shard"]["problem"] == "short file (100 bytes)"
    assert sorted(os.listdir(directory)) == before


def test_inspect_table_and_histogram(shard_dir):
    directory, live, dead, _ = shard_dir
    shards = multiproc.read_shard_dir(directory)
    lines = render_inspect(str(directory), shards, time.time(), bar="#").splitlines()
    assert lines[0] == (f"Shard directory {directory}: 4 shard file(s), 1 live worker(s), "
                        "1 dead")
    assert lines[2].split() == ["PID", "STATE", "REQUESTS", "ERRORS", "ERR%", "AVG", "ms",
                                "MIN", "ms", "MAX", "ms", "UPDATED"]
    rows = {line.split()[0]: line for line in lines[3:7]}
    assert rows[str(live)].split()[:8] == [str(live), "live", "6", "2", "33.3", "3355.32",
                                           "0.40", "20000.00"]
    assert rows[str(dead)].split()[:8] == [str(dead), "dead", "5", "5", "100.0", "1.00",
                                           "1.00", "1.00"]
    assert rows[str(dead)].endswith("  (not counted)")
    assert rows["vtr-77.shard:"] == "  vtr-77.shard: not initialised (marker 0) (not counted)"
    assert rows["vtr-78.shard:"] == "  vtr-78.shard: short file (100 bytes) (not counted)"
    assert "Merged over 1 live worker(s):" in lines
    assert "  requests 6   errors 2 (33.3%)" in lines
    histogram = lines[lines.index("Latency histogram (live workers):") + 1:]
    assert histogram[0] == "      <= 1 ms |" + "#" * 40 + "|         2   33.3%"
    assert histogram[1] == "      <= 2 ms |" + " " * 40 + "|         0    0.0%"
    assert histogram[2] == "      <= 5 ms |" + "#" * 20 + " " * 20 + "|         1   16.7%"
    assert histogram[12] == "  <= 10000 ms |" + " " * 40 + "|         0    0.0%"
    assert histogram[13] == "   > 10000 ms |" + "#" * 20 + " " * 20 + "|         1   16.7%"
    assert len(histogram) == 14


def test_inspect_watch_refreshes_and_stops(shard_dir):
    directory = shard_dir[0]
    done = run_cli("inspect", str(directory), "--watch", "--interval", "0.1",
                   "--iterations", "3")
    assert done.returncode == 0, done.stderr
    assert done.stdout.count("Shard directory ") == 3
    assert done.stdout.count("every 0.1s (Ctrl-C to stop)") == 3


def test_inspect_watch_stops_quietly_when_its_reader_does(shard_dir):
    piped = subprocess.run(
        ["bash", "-c", 'set -o pipefail; "$@" | head -n 3', "bash", *CLI, "inspect",
         str(shard_dir[0]), "--watch", "--interval", "0.05"],
        capture_output=True, text=True, timeout=60,
        env={k: v for k, v in os.environ.items() if k != multiproc.ENV_VAR})
    assert (piped.returncode, piped.stderr, len(piped.stdout.splitlines())) == (0, "", 3)


def test_inspect_empty_and_missing_directories(tmp_path):
    done = run_cli("inspect", str(tmp_path))
    assert done.returncode == 0
    assert "  (no shard files: no worker has recorded here yet)" in done.stdout.splitlines()
    assert "  requests 0   errors 0 (0.0%)" in done.stdout.splitlines()
    missing = tmp_path / "nope"
    done = run_cli("inspect", str(missing))
    assert (done.returncode, done.stdout) == (1, "")
    assert done.stderr == (f"python -m vantorel inspect: cannot read {missing}: "
                           "No such file or directory\n")


CLOSED = ("workers that run as another user cannot create their shards, and each counts alone")
OPEN = ("and so add to the counts: give the directory to the workers' user with mode 0750 "
        "(prepare_shard_dir(uid=..., gid=...))")
# (owner, mode, a live worker's shard in it, the note)
ACCESS = {
    "roots": ((0, 0), 0o755, False, "only root may create files here ({owner}, mode 0755): "
              + CLOSED),
    "roots-in-use": ((0, 0), 0o755, True, None),
    "workers": ((65534, 65534), 0o750, False,
                "only nobody and root may create files here ({owner}, mode 0750): " + CLOSED),
    "group": ((0, 65534), 0o770, False, "only root and members of group nogroup may create files "
              "here ({owner}, mode 0770): " + CLOSED),
    "everyone": ((0, 0), 0o777, True, "every local user may create files here ({owner}, mode "
                 "0777), " + OPEN),
    "everyone-sticky": ((0, 0), 0o1777, False, "every local user may create files here ({owner}, "
                        "mode 1777), " + OPEN),
}


@pytest.mark.parametrize("case", list(ACCESS))
def test_inspect_says_who_may_create_shards(tmp_path, capsys, case):
    if os.geteuid() != 0:
        pytest.skip("needs root to give the directory to other users")
    (uid, gid), mode, in_use, note = ACCESS[case]
    directory = tmp_path / "shards"
    directory.mkdir()
    if in_use:
        (directory / "vtr-1.shard").write_bytes(shard_bytes(os.getpid()))
    os.chown(directory, uid, gid)
    os.chmod(directory, mode)
    assert main(["inspect", str(directory)]) == 0
    notes = [line for line in capsys.readouterr().out.splitlines() if "note:" in line]
    assert main(["inspect", str(directory), "--json"]) == 0
    document = json.loads(capsys.readouterr().out)
    if note is None:
        assert (notes, document["notes"]) == ([], [])
    else:
        expected = note.format(owner="owner " + owner_of(directory))
        assert (notes, document["notes"]) == (["  note: " + expected], [expected])


@pytest.mark.parametrize(
    "buckets, q, max_ms, expected",
    [
        ([0, 0, 1] + [0] * 11, 0.5, 3.0, 3.5),
        ([0, 0, 1] + [0] * 11, 0.95, 3.0, 4.85),
        ([100] + [0] * 13, 0.99, 0.4, 0.99),
        ([0] * 13 + [1], 0.5, 20000.0, 15000.0),
        ([0] * 13 + [1], 0.99, 20000.0, 19900.0),
        ([0] * 14, 0.5, 7.0, 0.0),
        ([1] * 14, 1.5, 7.0, 7.0),
        ([0, 4] + [0] * 12, 0.0, 2.0, 0.0),
    ],
    ids=["3ms-p50", "3ms-p95", "sub-ms-p99", "overflow-p50", "overflow-p99", "empty",
         "q-above-1", "q-0-empty-first-bucket"],
)
def test_histogram_quantile(buckets, q, max_ms, expected):
    assert multiproc.histogram_quantile(buckets, q, max_ms) == pytest.approx(expected)


# ---------------------------------------------------------------------------------------------
# prepare and the shard-directory helpers


def test_prepare_creates_the_directory_and_deletes_only_shards(tmp_path):
    directory = tmp_path / "a" / "b"
    directory.mkdir(parents=True)
    gone = dead_pid()
    for name in ("vtr-1.shard", "vtr-22.shard", "vtr-x.shard"):
        (directory / name).write_bytes(shard_bytes(gone))
    (directory / "vtr-3.shard").mkdir()
    (directory / "keep.txt").write_text("mine")
    # A new deployment's per-route counters start from zero: the series go too.
    for name in ("vtr-5.series", "vtr-6.series", "vtr-series.archive", "vtr-series.archive.tmp"):
        (directory / name).write_bytes(b"old")
    (directory / "vtr-series.archive.bak").write_text("mine")
    done = run_cli("prepare", str(directory))
    assert (done.returncode, done.stderr) == (0, "")
    assert done.stdout == (f"{directory}: ready; deleted 3 shard file(s), 2 series file(s) and "
                           "2 archive and removal list file(s) of an earlier run\n")
    assert sorted(os.listdir(directory)) == ["keep.txt", "vtr-3.shard", "vtr-series.archive.bak"]
    fresh = tmp_path / "new" / "dir"
    assert run_cli("prepare", str(fresh)).stdout == f"{fresh}: ready; nothing to delete\n"
    assert fresh.is_dir()
    os.chmod(fresh, 0o777)  # as inspect would say, every local user could add counts
    done = run_cli("prepare", str(fresh))
    assert (done.returncode, done.stderr) == (0, "python -m vantorel prepare: warning: every local "
                                              f"user may create files here (owner "
                                              f"{owner_of(fresh)}, mode 0777), " + OPEN + "\n")


LIVE_WORKER = """
import os, sys
from vantorel import _core, _native
_core.record_request("GET", "/", 200, 1.0)
_native.series_observe("GET", "/", 200, 1.0)
print(os.getpid(), flush=True)
sys.stdin.readline()
"""


def test_prepare_refuses_a_directory_that_live_workers_count_in(tmp_path):
    directory = tmp_path / "shards"
    env = {k: v for k, v in os.environ.items() if k != multiproc.ENV_VAR}
    workers = [subprocess.Popen([sys.executable, "-c", LIVE_WORKER], stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE, text=True,
                                env={**env, multiproc.ENV_VAR: str(directory)})
               for _ in range(2)]
    try:
        pids = sorted(int(w.stdout.readline()) for w in workers)
        files = sorted(os.listdir(directory))
        assert len(files) == 4
        done = run_cli("prepare", str(directory))
        assert (done.returncode, done.stdout) == (1, "")
        assert done.stderr == (
            f"python -m vantorel prepare: {directory} is in use: live process(es) {pids[0]}, "
            f"{pids[1]} count there, and would go on counting into deleted files. Stop them "
            "first, or choose another directory; --force deletes their files anyway\n")
        with pytest.raises(multiproc.DirectoryInUseError) as caught:
            multiproc.prepare_shard_dir(directory, export=False)
        assert (caught.value.directory, caught.value.pids) == (str(directory), pids)
        assert str(caught.value).endswith("; force=True deletes their files anyway")
        with pytest.raises(TypeError, match="^force must be a bool$"):
            multiproc.prepare_shard_dir(directory, export=False, force="yes")
        assert sorted(os.listdir(directory)) == files  # nothing deleted
        forced = run_cli("prepare", str(directory), "--force")
        assert (forced.returncode, forced.stdout) == (
            0, f"{directory}: ready; deleted 2 shard file(s), 2 series file(s) and 0 archive "
               "and removal list file(s) of an earlier run\n")
    finally:
        for w in workers:
            w.stdin.close()
            w.wait(timeout=30)
    assert os.listdir(directory) == []


def test_prepare_shard_dir_exports_the_directory(tmp_path, monkeypatch):
    monkeypatch.setenv(multiproc.ENV_VAR, "placeholder")  # restored after the test
    directory = tmp_path / "shards"
    assert multiproc.prepare_shard_dir(directory) == str(directory)
    assert os.environ[multiproc.ENV_VAR] == str(directory)
    gone = dead_pid()
    (directory / f"vtr-{gone}.shard").write_bytes(shard_bytes(gone))
    assert multiproc.prepare_shard_dir() == str(directory)  # from the environment
    assert os.listdir(directory) == []
    other = tmp_path / "other"
    multiproc.prepare_shard_dir(other, export=False)
    assert os.environ[multiproc.ENV_VAR] == str(directory)


# (the path given, what to plant first, run as nobody, the start of the complaint)
PREPARE_MISTAKES = {
    "a-file": ("file", None, False, "{path} is a file, not a directory: name the directory for "
               "the shard files (the value of VTR_MULTIPROC_DIR), or move it out of the way"),
    "a-fifo": ("fifo", os.mkfifo, False, "{path} is a FIFO, not a directory: "),
    "under-a-file": ("file/shards", None, False,
                     "cannot create {path}: {base}/file is a file, not a directory"),
    "create-denied": ("roots/shards", None, True,
                      "permission denied: cannot create {path} as uid 65534. Run prepare as a "
                      "user who may write there"),
    "delete-denied": ("roots", lambda p: open(os.path.join(p, "vtr-1.shard"), "w").close(), True,
                      "permission denied: cannot delete {path}/vtr-1.shard as uid 65534. "),
    "not-writable": ("roots", None, True,
                     "uid 65534 may not create files in {path} (owner root:root, mode 0755), so "
                     "workers run as this user could not count there. Give it to the workers' "
                     "user (as root: prepare --user), or choose a directory that user owns"),
}


@pytest.mark.parametrize("case", list(PREPARE_MISTAKES))
def test_prepare_says_what_is_wrong(reachable, case):
    name, plant, as_nobody, complaint = PREPARE_MISTAKES[case]
    prefix = nobody_prefix(read_anything=True) if as_nobody else []
    if prefix is None:
        pytest.skip("needs root and setpriv to run prepare as nobody")
    path = reachable / name
    if plant is not None:
        plant(str(path))
    before = sorted(os.listdir(reachable)), sorted(os.listdir(reachable / "roots"))
    done = run_cli("prepare", str(path), prefix=prefix)
    assert (done.returncode, done.stdout) == (1, "")
    assert done.stderr.startswith("python -m vantorel prepare: "
                                  + complaint.format(path=path, base=reachable)), done.stderr
    assert done.stderr.count("\n") == 1
    assert (sorted(os.listdir(reachable)), sorted(os.listdir(reachable / "roots"))) == before


def test_prepare_shard_dir_gives_the_directory_to_the_workers(reachable):
    if os.geteuid() != 0:
        pytest.skip("only root may give a directory to another user")
    shards = reachable / "shards"
    done = run_cli("prepare", str(shards), "--user", "nobody", "--group", "nogroup")
    assert (done.returncode, done.stderr) == (0, "")
    info = os.stat(shards)
    assert (info.st_uid, info.st_gid, stat.S_IMODE(info.st_mode)) == (65534, 65534, 0o750)
    (shards / "vtr-1.shard").write_bytes(shard_bytes(dead_pid()))
    os.chmod(shards, 0o777)
    multiproc.prepare_shard_dir(shards, export=False, uid=65534, gid=65534)  # again: closed again
    assert (os.listdir(shards), stat.S_IMODE(os.stat(shards).st_mode)) == ([], 0o750)
    alone = reachable / "alone"
    multiproc.prepare_shard_dir(alone, export=False, uid=65534)
    info = os.stat(alone)
    assert (info.st_uid, info.st_gid, stat.S_IMODE(info.st_mode)) == (65534, 0, 0o700)
    # Never through a link: it would give whatever the link points to to the workers.
    os.symlink(reachable / "roots", reachable / "link")
    with pytest.raises(OSError) as caught:
        multiproc.prepare_shard_dir(reachable / "link", export=False, uid=65534, gid=65534)
    assert caught.value.errno == errno.ELOOP
    info = os.stat(reachable / "roots")
    assert (info.st_uid, info.st_gid, stat.S_IMODE(info.st_mode)) == (0, 0, 0o755)


NOT_ROOT = """
import os, sys
from vantorel import multiproc
directory = sys.argv[1]
multiproc.prepare_shard_dir(directory, export=False, uid=65534, gid=0)  # already so: no change
try:
    multiproc.prepare_shard_dir(directory, export=False, uid=0)
except PermissionError:
    print("refused")
"""


def test_prepare_shard_dir_as_the_workers_user(reachable):
    prefix = nobody_prefix(read_anything=True)
    if prefix is None:
        pytest.skip("needs root and setpriv to run as nobody")
    shards = reachable / "shards"
    shards.mkdir()
    os.chown(shards, 65534, 0)  # a group that nobody is not in: changing to it would fail
    os.chmod(shards, 0o750)
    done = subprocess.run([*prefix, sys.executable, "-c", NOT_ROOT, str(shards)],
                          capture_output=True, text=True, timeout=60)
    assert (done.returncode, done.stdout, done.stderr) == (0, "refused\n", "")
    info = os.stat(shards)  # refused before anything changed
    assert (info.st_uid, info.st_gid, stat.S_IMODE(info.st_mode)) == (65534, 0, 0o750)


@pytest.mark.parametrize("value", [None, "", "   "], ids=["unset", "empty", "blank"])
def test_prepare_shard_dir_needs_a_directory(value, monkeypatch):
    if value is None:
        monkeypatch.setenv(multiproc.ENV_VAR, "x")
        monkeypatch.delenv(multiproc.ENV_VAR)
    else:
        monkeypatch.setenv(multiproc.ENV_VAR, value)
    with pytest.raises(ValueError) as caught:
        multiproc.prepare_shard_dir()
    assert str(caught.value) == "no shard directory given and VTR_MULTIPROC_DIR is not set"


def test_mark_process_dead_removes_that_workers_shard(tmp_path):
    (tmp_path / "vtr-41.shard").write_bytes(shard_bytes(41))
    (tmp_path / "vtr-42.shard").write_bytes(shard_bytes(42))
    assert multiproc.mark_process_dead(41, tmp_path) is True
    assert multiproc.mark_process_dead(41, tmp_path) is False
    assert os.listdir(tmp_path) == ["vtr-42.shard"]
    # A worker's series are not lost with it: they move into the archive.
    worker = subprocess.run(
        [sys.executable, "-c", "import os; from vantorel import _native; "
         "_native.series_observe('GET', '/a', 200, 1.0); print(os.getpid())"],
        env={**os.environ, multiproc.ENV_VAR: str(tmp_path)}, capture_output=True, text=True,
        check=True)
    pid = int(worker.stdout)
    assert multiproc.mark_process_dead(pid, tmp_path) is True
    assert sorted(os.listdir(tmp_path)) == ["vtr-42.shard", "vtr-series.archive"]
    from vantorel import series
    assert [(s.route, s.count) for s in series.read_dir(tmp_path).series] == [("/a", 1)]
    assert multiproc.shard_path(42, tmp_path) == str(tmp_path / "vtr-42.shard")


def test_inspect_shows_the_routes_of_every_worker_dead_or_alive(tmp_path):
    # Two workers that have exited: their shards leave the totals, their series stay.
    for statuses in ((200, 200, 500), (200, 404)):
        code = ("from vantorel import _native\n"
                f"for i, status in enumerate({statuses!r}):\n"
                "    _native.series_finish('GET', '/items/7', '/items/{id}', status, 3.0 + i)\n"
                "_native.series_finish('POST', '/nope', '<unmatched>', 404, 30.0)\n")
        subprocess.run([sys.executable, "-c", code], check=True,
                       env={**os.environ, multiproc.ENV_VAR: str(tmp_path)})
    table = run_cli("inspect", str(tmp_path))
    assert table.returncode == 0, table.stderr
    routes = table.stdout[table.stdout.index("Routes: 2 route(s)"):].splitlines()
    # 30 ms twice: bucket (25, 50], so p50 = 25 + 1/2 * 25 and p99 = 25 + 1.98/2 * 25; 3, 4, 5,
    # 3 and 4 ms: bucket (2, 5], p50 = 2 + 2.5/5 * 3, p99 = 2 + 4.95/5 * 3; time 60 ms : 19 ms.
    assert routes[2].split() == ["POST", "<unmatched>", "2", "2", "100.0", "37.50", "49.75", "75.9"]
    assert routes[3].split() == ["GET", "/items/{id}", "5", "2", "40.0", "3.50", "4.97", "24.1"]
    document = json.loads(run_cli("inspect", str(tmp_path), "--json").stdout)["series"]
    assert [(r["route"], r["requests"], r["errors"], r["sum_us"]) for r in document["routes"]] == [
        ("<unmatched>", 2, 2, 60000), ("/items/{id}", 5, 2, 19000)]
    assert document["overflow_requests"] == 0 and sum(document["in_progress"].values()) == 0
