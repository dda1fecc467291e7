"""Shard directories that fight back: random bytes of random sizes under random names (UTF-8 or
not), symlinks to /dev/zero, to directories, to other users' files and to nowhere, FIFOs, sockets,
a directory replaced while the mode is on, files that grow, get rewritten or get swapped while a
merge reads them, and a reader that is not their owner. Nothing crashes or blocks, only valid
shards are counted, only dead workers' shards are deleted, and no symlink is ever followed into
writing anything.
"""
import hashlib
import math
import os
import random
import shutil
import socket
import stat
import tempfile

import pytest

from multiproc_helpers import (
    nobody_prefix,
    BUCKET_BOUNDS_MS,
    NO_MIN_US,
    SHARD_SIZE,
    U64_MAX,
    dead_pid,
    pack,
    read_aggregate,
    run_child,
    totals_while_racing,
    zero_aggregate,
)
from vantorel.multiproc import SHARD_LAYOUT

U64 = 2**64
LIVE_PIDS = [os.getpid(), os.getppid(), 1]  # alive for as long as any merge below runs
STRAY_TOKENS = [b"\xff", b"\xc0\xae", b"\xed\xa0\x80", b"\xf4\x90\x80\x80", b"\xe2\x82",
                "é".encode(), "\u2028".encode(), b"\n", b" ", b"\x7f", b"\x01"]


# The merge as its rules say, over the word lists of the shards that count.
def merged(shards):
    totals = {"buckets": [0] * 14, "count": 0, "errors": 0, "sum_us": 0, "min_us": NO_MIN_US,
              "max_us": 0}
    for w in shards:
        totals["count"] = (totals["count"] + w[2]) % U64
        totals["errors"] = (totals["errors"] + w[3]) % U64
        totals["sum_us"] = min(totals["sum_us"] + w[4], U64_MAX)
        totals["min_us"] = min(totals["min_us"], w[5])
        totals["max_us"] = max(totals["max_us"], w[6])
        totals["buckets"] = [(a + b) % U64 for a, b in zip(totals["buckets"], w[8:])]
    return totals


def quantile(buckets, q, max_ms):
    total = sum(buckets) % U64
    if total == 0:
        return 0.0
    rank = q * float(total)
    prev = 0
    for i, n in enumerate(buckets):
        cum = (prev + n) % U64
        if rank <= float(cum):
            lower = 0.0 if i == 0 else float(BUCKET_BOUNDS_MS[i - 1])
            upper = float(BUCKET_BOUNDS_MS[i]) if i < 13 else max(max_ms, 10000.0)
            if n == 0:
                return lower
            return lower + ((rank - float(prev)) / float(n)) * (upper - lower)
        prev = cum
    return max_ms


def aggregate_of(totals):
    if totals["count"] == 0:
        return zero_aggregate()
    count, max_ms = float(totals["count"]), float(totals["max_us"]) / 1000.0
    return {
        "total_requests": totals["count"],
        "total_errors": totals["errors"],
        "error_rate": (float(totals["errors"]) / count) * 100.0,
        "avg_latency_ms": (float(totals["sum_us"]) / count) / 1000.0,
        "min_latency_ms": 0.0 if totals["min_us"] == NO_MIN_US else totals["min_us"] / 1000.0,
        "max_latency_ms": max_ms,
        "p50_latency_ms": quantile(totals["buckets"], 0.5, max_ms),
        "p95_latency_ms": quantile(totals["buckets"], 0.95, max_ms),
        "p99_latency_ms": quantile(totals["buckets"], 0.99, max_ms),
    }


def is_shard_name(name):
    try:
        name.decode("utf-8")
    except UnicodeDecodeError:
        return False
    return name.startswith(b"vtr-") and name.endswith(b".shard") and len(name) >= 10


def marker_word(value):
    """The first eight bytes of a shard whose marker is `value`."""
    return pack(marker=value)[:8]


def random_words(rng, pid):
    huge = rng.random() < 0.1  # now and then counters that wrap and sums that saturate
    top = U64_MAX if huge else 1 << 40
    buckets = [rng.randrange(0, top) if rng.random() < 0.4 else 0 for _ in range(14)]
    low, high = sorted(rng.randrange(0, top) for _ in range(2))
    return [1, pid, rng.randrange(0, top), rng.randrange(0, top), rng.randrange(0, top),
            rng.choice([low, NO_MIN_US]), high, rng.randrange(0, top)] + buckets


class Junk:
    """Fills a directory with random entries and knows what a merge must make of them."""

    def __init__(self, directory, outside, seed, entries):
        self.directory, self.outside = directory, outside
        self.rng = random.Random(seed)
        self.counted, self.deleted, self.links = [], set(), {}
        self.dead = [dead_pid(), 0, 0x80000000, 0xFFFFFFFF, 1 << 32]
        outside.mkdir()
        self.outside_shard = outside / "elsewhere.shard"
        self.outside_shard.write_bytes(pack(pid=os.getpid(), count=5, buckets=[5] + [0] * 13))
        names = set()
        while len(names) < entries:
            names.add(self.name())
        for name in sorted(names):
            self.make(name)

    def name(self):
        rng = self.rng
        token = b"".join(rng.choice([bytes([rng.randrange(0x30, 0x7B)])] * 40 + STRAY_TOKENS)
                         for _ in range(rng.randrange(0, 6)))
        prefix, suffix = rng.choice([(b"vtr-", b".shard")] * 6 + [
            (b"VTR-", b".shard"), (b"vtr-", b".shard.tmp"), (b".vtr-", b".shard"), (b"", b""),
            (b"vtr-", b""), (b"shard-vtr-", b".shard")])
        name = prefix + token + suffix
        return name if name not in (b"", b".", b"..") else b"x"

    def make(self, name):
        rng, path = self.rng, os.path.join(bytes(self.directory), name)
        kind = rng.choices(["junk", "live", "dead", "short", "marker", "special"],
                           [25, 25, 15, 10, 10, 15])[0]
        if kind == "special":
            return self.special(name, path)
        pid = rng.choice(self.dead if kind == "dead" else LIVE_PIDS)
        words = random_words(rng, pid | (rng.choice([0, 1 << 32]) if kind == "live" else 0))
        image = SHARD_LAYOUT.pack(*words)
        if kind == "junk":
            image = bytes(rng.randrange(256) for _ in range(rng.randrange(0, 600)))
            if image[:8] == marker_word(1):
                image = b"\x02" + image[1:]
        elif kind == "short":
            image = image[:rng.randrange(0, SHARD_SIZE)]
        elif kind == "marker":
            image = marker_word(rng.choice([0, 2, U64_MAX, 1 << 32])) + image[8:]
        else:
            image += bytes(rng.randrange(256) for _ in range(rng.choice([0, 0, 1, 200])))
        with open(path, "wb") as f:
            f.write(image)
        if not is_shard_name(name) or len(image) < SHARD_SIZE or image[:8] != marker_word(1):
            return
        low = words[1] & 0xFFFFFFFF
        if 1 <= low <= 0x7FFFFFFF and low in LIVE_PIDS:
            self.counted.append(words)
        else:
            self.deleted.add(name)

    def special(self, name, path):
        choice = self.rng.choice(["fifo", "dir", "socket", "zero", "shard", "outside-dir",
                                  "dangling"])
        if choice == "fifo":
            os.mkfifo(path)
        elif choice == "dir":
            os.mkdir(path)
        elif choice == "socket":
            with socket.socket(socket.AF_UNIX) as s:
                try:
                    s.bind(path)
                except OSError:  # a path longer than a socket address holds
                    os.mkfifo(path)
        else:
            target = {"zero": b"/dev/zero", "shard": bytes(self.outside_shard),
                      "outside-dir": bytes(self.outside),
                      "dangling": bytes(self.outside / "never-created")}[choice]
            os.symlink(target, path)
            self.links[name] = target

    def expected(self):
        return aggregate_of(merged(self.counted))


def digest(path):
    return hashlib.sha256(path.read_bytes()).hexdigest(), os.stat(path).st_mtime_ns


@pytest.mark.parametrize("seed,entries", [(1, 150), (2, 150), (3, 150), (4, 600), (5, 2000)],
                         ids=["seed1", "seed2", "seed3", "seed4-600", "seed5-2000"])
def test_random_directory_counts_only_valid_shards(tmp_path, seed, entries):
    directory = tmp_path / "shards"
    directory.mkdir()
    junk = Junk(directory, tmp_path / "outside", seed, entries)
    before = set(os.listdir(bytes(directory)))
    outside = digest(junk.outside_shard)
    result = read_aggregate(directory, tmp_path)
    expected = junk.expected()
    assert result.keys() == expected.keys()
    for key, value in expected.items():
        got = result[key]
        assert got == value or (math.isnan(got) and math.isnan(value)), (key, got, value)
    after = set(os.listdir(bytes(directory)))
    # Exactly the dead workers' shards are gone; the reader left its own behind.
    assert before - after == junk.deleted
    (own,) = after - before
    assert own.startswith(b"vtr-") and own.endswith(b".shard")
    for name, target in junk.links.items():
        assert os.readlink(os.path.join(bytes(directory), name)) == target
    assert digest(junk.outside_shard) == outside
    assert not (junk.outside / "never-created").exists()
    assert os.listdir(junk.outside) == ["elsewhere.shard"]


def another_users_file(path, content):
    path.write_bytes(content)
    if os.geteuid() == 0:
        os.chown(path, 65534, 65534)
    os.chmod(path, 0o600)
    return path


# What a symlink planted where a reader or a writer meets it may point at.
TARGETS = {
    "dev-zero": lambda tmp: "/dev/zero",
    "directory": lambda tmp: str(tmp),
    "other-users-file": lambda tmp: str(another_users_file(tmp / "theirs", b"precious" * 40)),
    "live-shard": lambda tmp: str(another_users_file(tmp / "live.shard", pack(
        pid=os.getpid(), count=9))),
    "dead-shard": lambda tmp: str(another_users_file(tmp / "dead.shard", pack(
        pid=dead_pid(), count=9))),
    "nowhere": lambda tmp: str(tmp / "never-created"),
}


@pytest.mark.parametrize("target", list(TARGETS), ids=list(TARGETS))
def test_symlinks_are_never_followed(tmp_path, target):
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    pointed = TARGETS[target](elsewhere)
    directory = tmp_path / "shards"
    directory.mkdir()
    snapshot = {p.name: digest(p) for p in elsewhere.iterdir() if p.is_file()}
    os.symlink(pointed, directory / "vtr-link.shard")
    result = run_child(
        f"""
        links = {str(directory)!r}
        # As a reader: a link named like a shard is neither counted nor deleted.
        read = agg()
        # As a writer: a link planted under this process's own name keeps the mode off.
        os.mkdir("own")
        os.symlink({pointed!r}, shard_path("own"))
        core.set_multiproc_dir("own")
        out([read, os.path.islink(os.path.join(links, "vtr-link.shard")),
             core.multiproc_enabled(), mapped_shards()])
        """,
        tmp_path,
        multiproc_dir=str(directory),
    )
    read, link_kept, enabled, mapped = result
    assert read == zero_aggregate()
    assert link_kept is True
    assert (enabled, mapped) == (False, [])
    assert {p.name: digest(p) for p in elsewhere.iterdir() if p.is_file()} == snapshot
    assert not (elsewhere / "never-created").exists()
    assert os.readlink(directory / "vtr-link.shard") == pointed


# What the shard directory becomes while the mode is on: (what a merge then counts, whether
# switching to the same path again turns the mode on). The child makes the replacement.
REPLACEMENTS = {
    "a-file": (0, False),
    "a-fifo": (0, False),
    "a-symlink-to-dev-zero": (0, False),
    "a-dangling-symlink": (0, False),
    "a-symlink-to-another-directory": (7, True),
}


@pytest.mark.parametrize("replacement", list(REPLACEMENTS), ids=list(REPLACEMENTS))
def test_directory_replaced_while_on(tmp_path, replacement):
    counted, reopens = REPLACEMENTS[replacement]
    other = tmp_path / "other"
    other.mkdir()
    (other / "vtr-worker.shard").write_bytes(pack(pid=os.getpid(), count=7, errors=7,
                                                  buckets=[7] + [0] * 13))
    result = run_child(REPLACE_AND_CHECK, tmp_path, REPLACEMENT=replacement)
    while_replaced, text, enabled, directory, again, restored, mapped, pid = result
    assert while_replaced["total_requests"] == counted
    assert f"\nvtr_requests_total {counted}\n" in text
    assert (enabled, directory) == (True, "d")  # still on, recording into the unlinked file
    assert again is reopens
    # Back to a real directory: a fresh shard that counts from zero.
    assert restored["total_requests"] == 1
    assert mapped == [str(tmp_path / "d" / f"vtr-{pid}.shard")]


REPLACE_AND_CHECK = """
import shutil
core.set_multiproc_dir("d")
for _ in range(3):
    core.record_request("GET", "/", 200, 1.0)
shutil.rmtree("d")
replacement = os.environ["REPLACEMENT"]
if replacement == "a-file":
    with open("d", "wb") as f:
        f.write(bytes(176))
elif replacement == "a-fifo":
    os.mkfifo("d")
else:
    os.symlink({"a-symlink-to-dev-zero": "/dev/zero", "a-dangling-symlink": "/nonexistent/vtr",
                "a-symlink-to-another-directory": "other"}[replacement], "d")
for _ in range(2):
    core.record_request("GET", "/", 200, 1.0)
while_replaced = agg()
text = core.metrics_text()
core.snapshot()
enabled, directory = core.multiproc_enabled(), core.get_multiproc_dir()
core.set_multiproc_dir("d")
again = core.multiproc_enabled()
if os.path.islink("d") or not os.path.isdir("d"):
    os.remove("d")
os.mkdir("d")
core.set_multiproc_dir("d")
core.record_request("GET", "/", 200, 1.0)
out([while_replaced, text, enabled, directory, again, agg(), mapped_shards(), os.getpid()])
"""

# Another process keeps changing one shard file while a worker merges the directory again and
# again. (Shrinking it is covered in test_shards.py.)
CHANGER = """
import os, random, sys
path, stop, how = sys.argv[1], sys.argv[2], sys.argv[3]
with open(path, "rb") as f:
    image = f.read()
size0 = len(image)
unmarked = b"\\0" * 8 + image[8:]
rng = random.Random(0)
fd = os.open(path, os.O_RDWR)
print("ready", flush=True)
while not os.path.exists(stop):
    if how == "grow":
        size = rng.choice([size0 + 1, 4096, 1 << 20, 1 << 30])
        os.ftruncate(fd, size)
        at = rng.randrange(size0, size - 63) if size > size0 + 64 else size0
        os.pwrite(fd, os.urandom(64), at)
        os.ftruncate(fd, size0)
    elif how == "rewrite":
        os.pwrite(fd, rng.choice([image, unmarked]), 0)
    else:  # swapped: another file renamed over it, now junk, now the shard again
        tmp = path + ".tmp"
        with open(tmp, "wb") as f:
            f.write(rng.choice([image, os.urandom(rng.randrange(0, 400)), b""]))
        os.rename(tmp, path)
"""


@pytest.mark.parametrize("how,possible", [("grow", {7}), ("rewrite", {0, 7}), ("swap", {0, 7})],
                         ids=["grown", "rewritten", "swapped"])
def test_shard_changing_under_the_merge(tmp_path, how, possible):
    directory = tmp_path / "shards"
    directory.mkdir()
    shard = directory / "vtr-changing.shard"
    shard.write_bytes(pack(pid=os.getpid(), count=7, errors=1, sum_us=21_000, min_us=3000,
                           max_us=3000, buckets=[0, 0, 7] + [0] * 11))
    seen = totals_while_racing(CHANGER, shard, tmp_path, directory, 3000, how, until=7)
    assert seen <= possible and 7 in seen


def test_reader_that_owns_nothing(tmp_path):
    prefix = nobody_prefix(keep=tmp_path / "keep")
    if prefix is None:
        pytest.skip("needs root and setpriv to run a reader as nobody who can load the module")
    directory = tempfile.mkdtemp(prefix="vtr-sticky-")
    try:
        os.chmod(directory, 0o1777)  # like /tmp: nobody may add files, not remove root's
        d = os.path.join
        readable = pack(pid=1, count=4, errors=1, buckets=[4] + [0] * 13)  # root's: EPERM, alive
        with open(d(directory, "vtr-readable.shard"), "wb") as f:
            f.write(readable)
        with open(d(directory, "vtr-secret.shard"), "wb") as f:
            f.write(pack(pid=1, count=1000))
        os.chmod(d(directory, "vtr-secret.shard"), 0o600)
        with open(d(directory, "vtr-dead.shard"), "wb") as f:
            f.write(pack(pid=dead_pid(), count=50))
        os.symlink(d(directory, "vtr-secret.shard"), d(directory, "vtr-link.shard"))
        before = sorted(os.listdir(directory))
        result = run_child("out([os.getuid(), agg(), agg()])", directory,
                           multiproc_dir=directory, prefix=prefix)
        uid, first, second = result
        assert uid != 0
        # The unreadable shard is skipped, the dead one cannot be removed and is skipped, the
        # link is not followed: only the readable live shard counts, both times.
        assert first["total_requests"] == second["total_requests"] == 4
        assert first["total_errors"] == 1
        after = sorted(os.listdir(directory))
        assert set(before) <= set(after) and len(after) == len(before) + 1
        owner = os.stat(d(directory, "vtr-secret.shard"))
        assert (owner.st_uid, stat.S_IMODE(owner.st_mode)) == (0, 0o600)
    finally:
        shutil.rmtree(directory)
