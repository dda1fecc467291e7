"""Multi-worker mode: switching it on and off, and real worker processes sharing one directory."""

import json
import os
import shutil
import subprocess
import tempfile

import pytest

from multiproc_helpers import (
    nobody_prefix,
    CHILD_TIMEOUT_S,
    child_argv,
    child_env,
    read_aggregate,
    read_shard,
    run_child,
    zero_aggregate,
)

REPORT_MODE = """
out([core.multiproc_enabled(), core.get_multiproc_dir(), sorted(os.listdir("."))])
"""


def test_import_alone_touches_nothing(tmp_path):
    result = run_child(
        """
        before = os.path.exists("shards")
        out([before, core.get_multiproc_dir(), os.path.isdir("shards")])
        """,
        tmp_path,
        multiproc_dir="shards",
    )
    assert result == [False, "shards", True]


@pytest.mark.parametrize(
    "value",
    ["", "   ", "\t\n\r\x0b\x0c", "\u0085", "\u00a0", "\u1680",
     "\u2000\u2005\u200a", "\u2028\u2029", "\u202f\u205f\u3000"],
    ids=["empty", "spaces", "ascii-controls", "nel", "nbsp", "ogham", "en-to-hair", "separators",
         "narrow-math-ideographic"],
)
def test_blank_variable_leaves_mode_off(tmp_path, value):
    assert run_child(REPORT_MODE, tmp_path, multiproc_dir=value) == [False, None, []]


@pytest.mark.parametrize(
    "value",
    [b"\xff", b"shards\xc0\xaf", b"\xed\xa0\x80", b"sh\xe2\x82"],
    ids=["invalid-byte", "overlong", "surrogate", "truncated"],
)
def test_variable_not_utf8_leaves_mode_off(tmp_path, value):
    assert run_child(REPORT_MODE, tmp_path, multiproc_dir=value) == [False, None, []]


@pytest.mark.parametrize(
    "value",
    [" shards", "shards ", "\u200b", "\u180e", "\ufeff", "\x1c"],
    ids=["leading-blank", "trailing-blank", "zero-width-space", "mongolian-vowel-separator", "bom",
         "file-separator"],
)
def test_variable_used_exactly_as_given(tmp_path, value):
    enabled, directory, listing = run_child(REPORT_MODE, tmp_path, multiproc_dir=value)
    assert (enabled, directory, listing) == (True, value, [value])
    assert len(os.listdir(tmp_path / value)) == 1


def test_variable_read_once_at_first_use(tmp_path):
    result = run_child(
        """
        os.environ["VTR_MULTIPROC_DIR"] = "late"
        first = core.get_multiproc_dir()
        os.environ["VTR_MULTIPROC_DIR"] = "later"
        out([first, core.get_multiproc_dir(), sorted(os.listdir("."))])
        """,
        tmp_path,
    )
    assert result == ["late", "late", ["late"]]


@pytest.mark.parametrize(
    "call",
    ["core.set_multiproc_dir(None)", "core.set_multiproc_dir()", "core.set_multiproc_dir(dir='')",
     "core.set_multiproc_dir('   ')", "core.set_multiproc_dir('\\u3000\\n')"],
    ids=["none", "no-argument", "empty", "blanks", "unicode-blanks"],
)
def test_switching_off_ignores_the_variable(tmp_path, call):
    result = run_child(
        f"""
        {call}
        core.record_request("GET", "/", 200, 5.0)
        out([core.multiproc_enabled(), core.get_multiproc_dir(), sorted(os.listdir(".")),
             agg()["total_requests"]])
        """,
        tmp_path,
        multiproc_dir="shards",
    )
    assert result == [False, None, [], 1]


@pytest.mark.parametrize(
    "call",
    ["core.set_multiproc_dir(None)", "core.set_multiproc_dir(' ')",
     "core.set_multiproc_dir('file/sub')", "core.set_multiproc_dir('file')",
     "core.set_multiproc_dir('elsewhere\\x00/x')"],
    ids=["none", "blank", "under-a-file", "a-file", "nul-in-name"],
)
def test_switching_off_releases_the_mapping(tmp_path, call):
    (tmp_path / "file").write_text("not a directory")
    result = run_child(
        f"""
        core.set_multiproc_dir("ok")
        core.record_request("GET", "/", 200, 5.0)
        before = mapped_shards()
        assert {call} is None
        out([before, mapped_shards(), core.multiproc_enabled(), core.get_multiproc_dir(),
             os.getpid(), agg()["total_requests"]])
        """,
        tmp_path,
    )
    before, after, enabled, directory, pid, total = result
    own = str(tmp_path / "ok" / f"vtr-{pid}.shard")
    assert (before, after, enabled, directory) == ([own], [], False, None)
    # The old shard stays on disk with its count; aggregation is back on the local store.
    assert read_shard(own)["count"] == 1
    assert total == 1
    assert (tmp_path / "file").read_text() == "not a directory"
    assert sorted(os.listdir(tmp_path)) == ["file", "ok"]


def test_unusable_variable_leaves_mode_off(tmp_path):
    (tmp_path / "file").write_text("x")
    assert run_child(REPORT_MODE, tmp_path, multiproc_dir="file/shards") == [False, None, ["file"]]


WARN_ONCE = """
import logging, threading
from vantorel import multiproc

logged = []


class Keep(logging.Handler):
    def emit(self, record):
        logged.append([record.name, record.levelname, record.getMessage()])


logging.getLogger("vantorel").addHandler(Keep())
exec(os.environ["SET_UP"])
said = []
threads = [threading.Thread(target=lambda: said.append(multiproc.warn_if_mode_off()))
           for _ in range(8)]
for t in threads:
    t.start()
for t in threads:
    t.join()
reader, writer = os.pipe()
child = os.fork()
if child == 0:  # a process of its own: it checks again
    os.write(writer, json.dumps(multiproc.warn_if_mode_off()).encode())
    os._exit(0)
os.close(writer)
os.waitpid(child, 0)
out([os.getpid(), child, said, logged, json.loads(os.read(reader, 65536))])
"""

# (variable relative to a directory that nobody can reach, set-up code, run as nobody, what the
# warning must say or None for no warning)
MODE_OFF = {
    "a-file": ("file", "", False,
               "mkdir failed with errno 20 (ENOTDIR: Not a directory) for '{dir}'"),
    "under-a-file": ("file/shards", "", False,
                     "mkdir failed with errno 20 (ENOTDIR: Not a directory) for '{dir}'"),
    "unwritable": ("roots", "", True,
                   "open failed with errno 13 (EACCES: Permission denied) for '{dir}'"),
    # uWSGI's --env under pyuwsgi sets the variable after Python has copied the environment.
    "unseen-by-python": ("file", "os.putenv('VTR_MULTIPROC_DIR', os.environ.pop("
                         "'VTR_MULTIPROC_DIR'))", False,
                         "mkdir failed with errno 20 (ENOTDIR: Not a directory) for '{dir}'"),
    "usable": ("shards", "", False, None),
    "blank": ("  ", "", False, None),
    "switched-off-in-code": ("shards", "core.set_multiproc_dir(None)", False, None),
}


@pytest.mark.parametrize("case", list(MODE_OFF))
def test_mode_off_is_told_once_per_process(case):
    name, set_up, as_nobody, says = MODE_OFF[case]
    prefix = nobody_prefix(read_anything=True) if as_nobody else []
    if prefix is None:
        pytest.skip("needs root and setpriv to run a worker as nobody")
    base = tempfile.mkdtemp(prefix="vtr-warn-")  # under /tmp, which nobody can traverse
    try:
        os.chmod(base, 0o755)
        with open(os.path.join(base, "file"), "w") as f:
            f.write("not a directory")
        os.mkdir(os.path.join(base, "roots"), 0o755)
        value = name if name.isspace() else os.path.join(base, name)
        pid, child, said, logged, in_child = run_child(
            WARN_ONCE, base, multiproc_dir=value, prefix=prefix, SET_UP=set_up)
    finally:
        shutil.rmtree(base)
    if says is None:
        assert (said, logged, in_child) == ([None] * 8, [], None)
        return
    (text,) = [s for s in said if s is not None]
    assert said.count(None) == 7 and logged == [["vantorel", "WARNING", text]]
    assert text.startswith(f"VTR_MULTIPROC_DIR is set but multi-worker mode is off in process "
                           f"{pid}: " + says.format(dir=value))
    assert in_child == text.replace(f"process {pid}:", f"process {child}:")
    if as_nobody:
        assert "make the directory writable by uid 65534" in text


LIMIT_WARNING = """
import logging
from vantorel import multiproc, series
logged = []
handler = logging.Handler()
handler.emit = lambda record: logged.append([record.levelname, record.getMessage()])
logging.getLogger("vantorel").addHandler(handler)
exec(os.environ["SET_UP"])
series.observe("GET", "/", 200, 1.0)  # the core reads the variable at the first use
multiproc.warn_if_mode_off()
multiproc.warn_if_mode_off()  # once per process
out([series.get_limit(), logged])
"""

IGNORED = "VTR_SERIES_LIMIT={!r} is not a whole number, so the default limit of 1000 applies"
# (the variable, set-up code, the limit in force, what is logged)
SERIES_LIMITS = {
    "digits": (" 250\t", "", 250, None),
    "letters": ("abc", "", 1000, IGNORED.format("abc")),
    "negative": ("-5", "", 1000, IGNORED.format("-5")),
    "exponent": ("1e3", "", 1000, IGNORED.format("1e3")),
    "unreadable": ("18446744073709551616", "", 1000, "VTR_SERIES_LIMIT='18446744073709551616' "
                   "is too large to read, so the default limit of 1000 applies"),
    "above-the-cap": ("500000", "", 100000, "VTR_SERIES_LIMIT='500000' is above the highest "
                      "limit, so 100000 applies"),
    "blank": ("  ", "", 1000, None),
    "set-in-code": ("abc", "series.set_limit(300)", 300, None),
}


@pytest.mark.parametrize("case", list(SERIES_LIMITS))
def test_a_series_limit_that_is_ignored_is_told_once(tmp_path, case):
    value, set_up, limit, says = SERIES_LIMITS[case]
    got = run_child(LIMIT_WARNING, tmp_path, VTR_SERIES_LIMIT=value, SET_UP=set_up)
    assert got == [limit, [] if says is None else [["WARNING", says]]]


def test_planted_symlink_is_not_written_through(tmp_path):
    victim = tmp_path / "victim"
    victim.write_bytes(b"precious" * 100)
    result = run_child(
        f"""
        os.mkdir("shards")
        os.symlink({str(victim)!r}, shard_path("shards"))
        core.set_multiproc_dir("shards")
        out([core.multiproc_enabled(), mapped_shards()])
        """,
        tmp_path,
    )
    assert result == [False, []]
    assert victim.read_bytes() == b"precious" * 100


def test_fifo_under_own_name_leaves_mode_off(tmp_path):
    result = run_child(
        """
        os.mkdir("shards")
        os.mkfifo(shard_path("shards"))
        core.set_multiproc_dir("shards")
        out(core.multiproc_enabled())
        """,
        tmp_path,
    )
    assert result is False


def test_same_directory_twice_keeps_counting(tmp_path):
    result = run_child(
        """
        for _ in range(2):
            core.set_multiproc_dir("shards")
            core.record_request("GET", "/", 200, 1.0)
            core.record_request("GET", "/", 404, 1.0)
        core.set_multiproc_dir("shards")
        core.record_request("GET", "/", 200, 1.0)
        out([os.listdir("shards"), words(shard_path("shards")), mapped_shards()])
        """,
        tmp_path,
    )
    listing, words, mapped = result
    assert len(listing) == 1 and len(mapped) == 1
    assert words[2:4] == [5, 2]


SWITCHING_WORKER = """
core.set_multiproc_dir("a")
core.record_request("GET", "/", 500, 30.0)
core.set_multiproc_dir("b")
core.record_request("GET", "/", 200, 3.0)
core.record_request("GET", "/", 200, 3.0)
print(json.dumps([os.getpid(), mapped_shards()]), flush=True)
sys.stdin.read()
"""


def test_switching_directories(tmp_path):
    worker = subprocess.Popen(child_argv(SWITCHING_WORKER), cwd=tmp_path, env=child_env(),
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    try:
        pid, mapped = json.loads(worker.stdout.readline())
        # The old shard keeps its count and is still merged while its owner lives.
        old = read_aggregate(tmp_path / "a", tmp_path)
        new = read_aggregate(tmp_path / "b", tmp_path)
    finally:
        stop_workers([worker])
    assert mapped == [str(tmp_path / "b" / f"vtr-{pid}.shard")]
    assert (old["total_requests"], old["total_errors"], old["max_latency_ms"]) == (1, 1, 30.0)
    assert (new["total_requests"], new["total_errors"], new["max_latency_ms"]) == (2, 0, 3.0)


def test_directory_removed_while_on(tmp_path):
    result = run_child(
        """
        import shutil
        core.set_multiproc_dir("shards")
        core.record_request("GET", "/", 200, 3.0)
        os.remove(shard_path("shards"))
        own_file_gone = agg()
        shutil.rmtree("shards")
        core.record_request("GET", "/", 200, 3.0)
        out([own_file_gone, agg(), core.multiproc_enabled(), len(core.get_requests())])
        """,
        tmp_path,
    )
    assert result == [zero_aggregate(), zero_aggregate(), True, 2]


def test_mode_off_aggregates_the_local_store(tmp_path):
    result = run_child(
        """
        core.record_request("GET", "/", 200, 10.0)
        core.record_request("GET", "/", 500, 20.0)
        out([agg(), sorted(os.listdir("."))])
        """,
        tmp_path,
    )
    local, listing = result
    assert listing == []
    assert local["total_requests"] == 2 and local["p50_latency_ms"] == 20.0


# (durations, expected aggregate fields): percentiles interpolate inside the histogram bucket.
QUANTILES = [
    ([3.0], {"p50_latency_ms": 3.5, "p95_latency_ms": 4.85, "p99_latency_ms": 4.97,
             "min_latency_ms": 3.0, "max_latency_ms": 3.0, "avg_latency_ms": 3.0}),
    ([0.4] * 100, {"p50_latency_ms": 0.5, "p95_latency_ms": 0.95, "p99_latency_ms": 0.99,
                   "min_latency_ms": 0.4, "max_latency_ms": 0.4, "avg_latency_ms": 0.4}),
    ([20000.0], {"p50_latency_ms": 15000.0, "p99_latency_ms": 19900.0,
                 "max_latency_ms": 20000.0}),
]


@pytest.mark.parametrize("durations,expected", QUANTILES, ids=["3ms", "100x0.4ms", "20000ms"])
def test_histogram_quantiles(tmp_path, durations, expected):
    result = run_child(
        f"""
        for d in {durations!r}:
            core.record_request("GET", "/", 200, d)
        core.clear_requests()  # the merged figures do not come from the store
        out(agg())
        """,
        tmp_path,
        multiproc_dir="shards",
    )
    assert result["total_requests"] == len(durations)
    assert {k: result[k] for k in expected} == pytest.approx(expected, rel=1e-12)


def test_metrics_text_shows_merged_totals(tmp_path):
    text = run_child(
        """
        core.record_request("GET", "/", 503, 3.0)
        core.clear_requests()
        out(core.metrics_text())
        """,
        tmp_path,
        multiproc_dir="shards",
    )
    assert "\nvtr_requests_total 1\n" in text
    assert "\nvtr_errors_total 1\n" in text
    assert "\nvtr_latency_p50_ms 3.5\n" in text


FORKING_WORKER = """
core.set_multiproc_dir("shards")
children = []
for _ in range(4):
    pid = os.fork()
    if pid == 0:
        for i in range(20000):
            core.record_request("GET", "/", 500 if i % 4 == 0 else 200, 0.5 + i % 3000)
        os._exit(0)
    children.append(pid)
for i in range(20000):
    core.record_request("GET", "/", 200, 1.5)
statuses = [os.waitpid(pid, 0)[1] for pid in children]
out([statuses, os.getpid(), os.listdir("shards"), agg()])
"""


def test_forked_children_count_into_parent_shard(tmp_path):
    statuses, pid, listing, totals = run_child(FORKING_WORKER, tmp_path)
    assert statuses == [0, 0, 0, 0]
    assert listing == [f"vtr-{pid}.shard"]
    shard = read_shard(tmp_path / "shards" / listing[0])
    assert (shard["pid"], shard["count"], shard["errors"]) == (pid, 100_000, 20_000)
    assert sum(shard["buckets"]) == 100_000
    assert shard["min_us"] == 500 and shard["max_us"] == 2_999_500
    assert totals["total_requests"] == 100_000


LIVE_WORKER = """
core.get_multiproc_dir()
for i in range(int(sys.argv[1])):
    core.record_request("GET", "/", 500 if i == 0 else 200, float(sys.argv[2]))
print("ready", flush=True)
sys.stdin.read()  # alive until the test closes our stdin
"""


def start_workers(directory, cwd, specs):
    workers = []
    for count, duration in specs:
        argv = child_argv(LIVE_WORKER) + [str(count), str(duration)]
        worker = subprocess.Popen(argv, cwd=cwd, env=child_env(str(directory)),
                                  stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        workers.append(worker)
    for worker in workers:
        assert worker.stdout.readline() == b"ready\n"
    return workers


def stop_workers(workers):
    for worker in workers:
        worker.stdin.close()
    for worker in workers:
        assert worker.wait(timeout=CHILD_TIMEOUT_S) == 0


def test_live_workers_summed_and_exited_ones_removed(tmp_path):
    directory = tmp_path / "shards"
    workers = start_workers(directory, tmp_path, [(3, 2.0), (5, 20.0), (1, 2000.0)])
    try:
        live = read_aggregate(directory, tmp_path)
        assert len(os.listdir(directory)) == 4  # three workers and that reader
    finally:
        stop_workers(workers)
    assert (live["total_requests"], live["total_errors"]) == (9, 3)
    assert (live["min_latency_ms"], live["max_latency_ms"]) == (2.0, 2000.0)
    assert live["avg_latency_ms"] == (6000 + 100_000 + 2_000_000) / 9 / 1000.0

    # Every process above has exited and been reaped: the next merge collects their shards.
    result = run_child("out([os.getpid(), agg()])", tmp_path, multiproc_dir=str(directory))
    pid, after = result
    assert after == zero_aggregate()
    assert os.listdir(directory) == [f"vtr-{pid}.shard"]


def test_reader_of_another_user_counts_live_workers(tmp_path):
    prefix = nobody_prefix(read_anything=True)
    if prefix is None:
        pytest.skip("needs root and setpriv to run a reader as nobody")
    directory = tempfile.mkdtemp(prefix="vtr-shared-")
    try:
        os.chmod(directory, 0o777)  # the reader adds its own shard
        workers = start_workers(directory, tmp_path, [(4, 3.0)])
        try:
            result = run_child(
                "out([os.getuid(), agg()])", directory, multiproc_dir=directory, prefix=prefix
            )
        finally:
            stop_workers(workers)
        uid, seen = result
        assert uid != 0
        assert (seen["total_requests"], seen["total_errors"]) == (4, 1)
        assert len(os.listdir(directory)) == 2
    finally:
        shutil.rmtree(directory)
