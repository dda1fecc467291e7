"""The shard file: what its owner writes into it; which files a merge counts, skips or deletes."""

import os

import pytest

from multiproc_helpers import (
    NO_MIN_US,
    SHARD_SIZE,
    U64_MAX,
    dead_pid,
    one_bucket,
    pack,
    read_aggregate,
    read_shard,
    run_child,
    totals_while_racing,
    zero_aggregate,
)

LIVE_PID = os.getpid()  # this test process: alive for as long as any merge below runs


@pytest.mark.parametrize("umask", [0o022, 0o077, 0o000], ids=["umask022", "umask077", "umask000"])
def test_fresh_shard_contents_and_permissions(tmp_path, umask):
    directory = tmp_path / "a" / "b" / "shards"
    result = run_child(
        f"""
        os.umask({umask})
        before = int(__import__("time").time())
        enabled = core.multiproc_enabled()
        after = int(__import__("time").time())
        out([enabled, os.getpid(), before, after])
        """,
        tmp_path,
        multiproc_dir=str(directory),
    )
    enabled, pid, before, after = result
    assert enabled is True
    path = directory / f"vtr-{pid}.shard"
    assert sorted(os.listdir(directory)) == [path.name]
    shard = read_shard(path)
    assert before <= shard.pop("updated_at") <= after
    assert shard == {
        "marker": 1,
        "pid": pid,
        "count": 0,
        "errors": 0,
        "sum_us": 0,
        "min_us": NO_MIN_US,
        "max_us": 0,
        "buckets": [0] * 14,
    }
    assert os.stat(path).st_mode & 0o777 == 0o666 & ~umask
    for created in (tmp_path / "a", tmp_path / "a" / "b", directory):
        assert os.stat(created).st_mode & 0o777 == 0o777 & ~umask


def test_existing_directory_keeps_its_permissions(tmp_path):
    directory = tmp_path / "shards"
    directory.mkdir(mode=0o700)
    os.chmod(directory, 0o710)
    run_child("out(core.multiproc_enabled())", tmp_path, multiproc_dir=str(directory))
    assert os.stat(directory).st_mode & 0o777 == 0o710


# (duration_ms, bucket, microseconds). Buckets are chosen on the raw double, bounds inclusive.
DURATIONS = [
    (1.0, 0, 1000),
    (0.2, 0, 200),
    (1.0000001, 1, 1000),
    (2.0, 1, 2000),
    (2.0000000001, 2, 2000),
    (9.99, 3, 9990),
    (10000.0, 12, 10_000_000),
    (10000.5, 13, 10_000_500),
    (-5.0, 0, 0),
    (-0.0, 0, 0),
    (float("-inf"), 0, 0),
    (float("nan"), 13, 0),
    (float("inf"), 13, U64_MAX),
    (1e300, 13, U64_MAX),
    (2**64 / 1000, 13, U64_MAX),  # exactly 2**64 microseconds: the first value past the range
    (1.8446744073709548e16, 13, 18446744073709547520),
    (1.5, 1, 1500),
    (0.0015, 0, 1),
    (0.0009, 0, 0),
]


@pytest.fixture(scope="module")
def recorded_shards(tmp_path_factory):
    """One shard per duration, each recorded into a fresh directory by one child."""
    root = tmp_path_factory.mktemp("durations")
    values = [repr(d) for d, _, _ in DURATIONS]
    return run_child(
        f"""
        result = []
        for i, d in enumerate([{", ".join(f"float({v!r})" for v in values)}]):
            directory = os.path.join({str(root)!r}, str(i))
            core.set_multiproc_dir(directory)
            core.record_request("GET", "/", 200, d)
            result.append(words(shard_path(directory)))
        out(result)
        """,
        root,
    )


@pytest.mark.parametrize(
    "index,duration,bucket,micros",
    [(i, *row) for i, row in enumerate(DURATIONS)],
    ids=[repr(d) for d, _, _ in DURATIONS],
)
def test_bucket_and_microseconds_of_one_record(recorded_shards, index, duration, bucket, micros):
    words = recorded_shards[index]
    assert words[2:7] == [1, 0, micros, micros, micros]  # count, errors, sum, min, max
    assert words[8:] == one_bucket(bucket)


def test_errors_counted_from_status_400(tmp_path):
    statuses = [0, 200, 399, 400, 404, 503, 65535]
    words = run_child(
        f"""
        core.set_multiproc_dir({str(tmp_path / "s")!r})
        for status in {statuses!r}:
            core.record_request("GET", "/", status, 1.0)
        out(words(shard_path({str(tmp_path / "s")!r})))
        """,
        tmp_path,
    )
    assert words[2:4] == [7, 4]


def test_counters_wrap_and_min_max_follow_records(tmp_path):
    directory = tmp_path / "s"
    words = run_child(
        f"""
        d = {str(directory)!r}
        core.set_multiproc_dir(d)
        core.record_request("GET", "/", 200, float("inf"))  # sum reaches 2**64 - 1
        core.record_request("GET", "/", 200, 7.5)
        core.record_request("GET", "/", 200, 0.25)
        out(words(shard_path(d)))
        """,
        tmp_path,
    )
    assert words[2:7] == [3, 0, (U64_MAX + 7500 + 250) % 2**64, 250, U64_MAX]
    assert words[8:] == [1, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1]


# How an owner treats a file already lying under its own name: (size, marker, own pid) -> adopted.
EXISTING = [
    (SHARD_SIZE, 1, True, True),
    (300, 1, True, True),
    (SHARD_SIZE, 1, False, False),
    (SHARD_SIZE, 0, True, False),
    (SHARD_SIZE, 2, True, False),
    (100, 1, True, True),  # extended with zero bytes; marker and pid still say "ours"
    (8, 1, True, False),  # the pid word reads 0 once extended
    (0, 1, True, False),
]


@pytest.mark.parametrize(
    "size,marker,own_pid,adopted",
    EXISTING,
    ids=["own", "own-300-bytes", "other-pid", "marker-0", "marker-2", "short-100", "short-8",
         "empty"],
)
def test_owner_adopts_only_its_own_initialised_shard(tmp_path, size, marker, own_pid, adopted):
    directory = tmp_path / "s"
    directory.mkdir()
    result = run_child(
        f"""
        d = {str(directory)!r}
        pid = os.getpid() if {own_pid!r} else {LIVE_PID}
        image = SHARD_LAYOUT.pack({marker}, pid, 5, 2, 12345, 100, 9000, 7,
                                  *([0, 0, 5] + [0] * 11))
        image = (image + b"\\xab" * 200)[:{size}]
        with open(shard_path(d), "wb") as f:
            f.write(image)
        core.set_multiproc_dir(d)
        core.record_request("GET", "/", 500, 3.0)
        out([os.getpid(), os.path.getsize(shard_path(d)), words(shard_path(d))])
        """,
        tmp_path,
    )
    pid, size_after, words = result
    assert size_after == SHARD_SIZE
    assert words[:2] == [1, pid]
    if adopted:
        assert words[2:7] == [6, 3, 15345, 100, 9000]
        assert words[8:] == one_bucket(2, 6)
    else:
        assert words[2:7] == [1, 1, 3000, 3000, 3000]
        assert words[8:] == one_bucket(2)


def craft(path, **fields):
    path.write_bytes(pack(**fields))


def seven(pid=LIVE_PID, marker=1):
    """A shard image holding seven requests of 3 ms, one of them an error."""
    return pack(marker=marker, pid=pid, count=7, errors=1, sum_us=21_000, min_us=3000,
                max_us=3000, buckets=one_bucket(2, 7))


def writes(content):
    return lambda path: path.write_bytes(content())


def make_fifo(path):
    os.mkfifo(path)


def make_dir(path):
    path.mkdir()


def make_symlink_to_live_shard(path):
    target = path.parent.parent / "elsewhere.shard"
    target.write_bytes(seven())
    os.symlink(target, path)


# (id, file name, how to make it, counted, still there after the merge)
ODD_FILES = [
    ("plain", "vtr-1.shard", writes(seven), True, True),
    ("empty-id", "vtr-.shard", writes(seven), True, True),
    ("letters-id", "vtr-abc.shard", writes(seven), True, True),
    ("utf8-id", "vtr-é.shard", writes(seven), True, True),
    ("prefixed", "shard-vtr-1.shard", writes(seven), False, True),
    ("suffixed", "vtr-1.shard.tmp", writes(seven), False, True),
    ("upper-prefix", "VTR-1.shard", writes(seven), False, True),
    ("upper-suffix", "vtr-1.SHARD", writes(seven), False, True),
    ("not-utf8", b"vtr-\xff.shard", writes(seven), False, True),
    ("overlong-utf8", b"vtr-\xc0\xae.shard", writes(seven), False, True),
    ("100-bytes", "vtr-1.shard", writes(lambda: seven()[:100]), False, True),
    ("175-bytes", "vtr-1.shard", writes(lambda: seven()[:175]), False, True),
    ("0-bytes", "vtr-1.shard", writes(bytes), False, True),
    # A longer file is accepted; past byte 176 it is not read.
    ("300-bytes", "vtr-1.shard", writes(lambda: seven() + pack(pid=LIVE_PID, count=99)[:124]),
     True, True),
    ("zero-filled", "vtr-1.shard", writes(lambda: bytes(SHARD_SIZE)), False, True),
    ("marker-0", "vtr-1.shard", writes(lambda: seven(marker=0)), False, True),
    ("marker-2", "vtr-1.shard", writes(lambda: seven(marker=2)), False, True),
    ("dead-owner", "vtr-1.shard", writes(lambda: seven(pid=dead_pid())), False, False),
    ("dead-marker-0", "vtr-1.shard", writes(lambda: seven(pid=dead_pid(), marker=0)), False, True),
    # Only the low 32 bits name the process.
    ("high-pid-bits", "vtr-1.shard", writes(lambda: seven(pid=(1 << 32) | LIVE_PID)), True, True),
    # Ids no process can have: kill() would probe a process group or every process instead.
    ("pid-0", "vtr-1.shard", writes(lambda: seven(pid=0)), False, False),
    ("pid-2^32", "vtr-1.shard", writes(lambda: seven(pid=1 << 32)), False, False),
    ("pid-0xffffffff", "vtr-1.shard", writes(lambda: seven(pid=0xFFFFFFFF)), False, False),
    ("pid-2^31", "vtr-1.shard", writes(lambda: seven(pid=0x80000000)), False, False),
    ("pid-0xfffffffe", "vtr-1.shard", writes(lambda: seven(pid=0xFFFFFFFE)), False, False),
    ("directory", "vtr-dir.shard", make_dir, False, True),
    ("fifo", "vtr-fifo.shard", make_fifo, False, True),
    ("symlink", "vtr-link.shard", make_symlink_to_live_shard, False, True),
]


@pytest.mark.parametrize(
    "name,make,counted,remains", [row[1:] for row in ODD_FILES], ids=[row[0] for row in ODD_FILES]
)
def test_merge_counts_skips_or_deletes(tmp_path, name, make, counted, remains):
    directory = tmp_path / "shards"
    directory.mkdir()
    path = directory / os.fsdecode(name)
    make(path)
    result = read_aggregate(directory, tmp_path)
    if counted:
        assert result == {
            "total_requests": 7,
            "total_errors": 1,
            "error_rate": (1 / 7) * 100.0,
            "avg_latency_ms": 3.0,
            "min_latency_ms": 3.0,
            "max_latency_ms": 3.0,
            "p50_latency_ms": 2.0 + 3.5 / 7 * 3.0,
            "p95_latency_ms": 2.0 + 7 * 0.95 / 7 * 3.0,
            "p99_latency_ms": 2.0 + 7 * 0.99 / 7 * 3.0,
        }
    else:
        assert result == zero_aggregate()
    assert os.path.lexists(path) is remains


def test_merge_sums_live_shards(tmp_path):
    directory = tmp_path / "shards"
    directory.mkdir()
    craft(directory / "vtr-a.shard", pid=LIVE_PID, count=3, errors=0, sum_us=9000, min_us=2500,
          max_us=4000, buckets=one_bucket(2, 3))
    craft(directory / "vtr-b.shard", pid=os.getppid(), count=1, errors=1, sum_us=20_000_000,
          min_us=20_000_000, max_us=20_000_000, buckets=one_bucket(13))
    craft(directory / "vtr-c.shard", pid=1)  # fresh: nothing recorded yet
    result = read_aggregate(directory, tmp_path)
    assert result == {
        "total_requests": 4,
        "total_errors": 1,
        "error_rate": 25.0,
        "avg_latency_ms": 20_009_000 / 4 / 1000.0,
        "min_latency_ms": 2.5,
        "max_latency_ms": 20000.0,
        "p50_latency_ms": 2.0 + (2.0 / 3) * 3.0,
        "p95_latency_ms": 10000.0 + (0.95 * 4 - 3) * 10000.0,
        "p99_latency_ms": 10000.0 + (0.99 * 4 - 3) * 10000.0,
    }


# (shards as keyword sets, expected fields of the aggregate)
TOTALS = [
    (
        [dict(count=1, sum_us=U64_MAX - 10, min_us=5, max_us=5, buckets=one_bucket(0)),
         dict(count=1, sum_us=100, min_us=5, max_us=5, buckets=one_bucket(0))],
        {"total_requests": 2, "avg_latency_ms": float(U64_MAX) / 2 / 1000.0},
    ),
    (
        [dict(count=U64_MAX, errors=U64_MAX, buckets=one_bucket(0, U64_MAX)),
         dict(count=2, errors=1, buckets=one_bucket(0, 2))],
        {"total_requests": 1, "total_errors": 0},
    ),
    (
        # The overflow bucket reaches at least to 10000 ms even when the maximum says less.
        [dict(count=2, sum_us=8_000_000, min_us=3_000_000, max_us=5_000_000,
              buckets=one_bucket(13, 2))],
        {"p50_latency_ms": 10000.0, "p99_latency_ms": 10000.0, "max_latency_ms": 5000.0},
    ),
    (
        [dict(count=5, sum_us=5000, min_us=1000, max_us=1000)],  # no bucket filled in
        {"total_requests": 5, "p50_latency_ms": 0.0, "p95_latency_ms": 0.0, "avg_latency_ms": 1.0},
    ),
    (
        [dict(count=4, buckets=one_bucket(5, 4))],  # nothing recorded into min and max
        {"min_latency_ms": 0.0, "max_latency_ms": 0.0, "p50_latency_ms": 25.0 + 0.5 * 25.0},
    ),
]


@pytest.mark.parametrize(
    "shards,expected",
    TOTALS,
    ids=["sum-saturates", "counts-wrap", "overflow-upper-10000", "no-buckets", "no-min-max"],
)
def test_merge_totals_edges(tmp_path, shards, expected):
    directory = tmp_path / "shards"
    directory.mkdir()
    for i, fields in enumerate(shards):
        craft(directory / f"vtr-{i}.shard", pid=LIVE_PID, **fields)
    result = read_aggregate(directory, tmp_path)
    assert {k: result[k] for k in expected} == expected


TRUNCATOR = """
import os, sys
path, stop = sys.argv[1], sys.argv[2]
with open(path, "rb") as f:
    image = f.read()
fd = os.open(path, os.O_RDWR)
print("ready", flush=True)
while not os.path.exists(stop):
    os.ftruncate(fd, 0)
    os.ftruncate(fd, 100)
    os.pwrite(fd, image, 0)
"""


def test_merge_survives_shard_shrinking_underneath(tmp_path):
    directory = tmp_path / "shards"
    directory.mkdir()
    shard = directory / "vtr-racing.shard"
    shard.write_bytes(seven())
    seen = totals_while_racing(TRUNCATOR, shard, tmp_path, directory, 4000)
    # A shrunk file is skipped, a whole one counted: never anything in between, never a crash.
    assert seen <= {0, 7}
