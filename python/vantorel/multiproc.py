"""Multi-worker deployments: the shard directory's life cycle and a read-only view of it.

Each worker counts its requests into ``DIR/vtr-<pid>.shard`` once ``VTR_MULTIPROC_DIR`` names
the directory, and ``aggregate()`` / ``metrics_text()`` in any worker sum the shards of all live
workers. ``prepare_shard_dir`` readies the directory for a new deployment before its workers
start, and refuses one that live processes still count in (``DirectoryInUseError``); the
server's master calls ``mark_process_dead`` whenever it reaps a worker. ``read_shard_dir`` and
``merge`` read the directory without changing it (``python -m vantorel inspect``).
``warn_if_mode_off`` tells the operator, once per worker, when the variable is set but the
worker could not set up its shard.

A shard (``SHARD_LAYOUT``) is 176 bytes: 22 unsigned 64-bit words in the machine's native byte
order, as the core writes them through its mapping; that is little-endian on every platform the
core runs on. In order: the ``SHARD_FIELDS`` marker (1 once initialised), pid, count, errors
(status >= 400), sum_us, min_us (``NO_MIN_US`` while empty), max_us, updated_at (Unix seconds),
then ``BUCKET_COUNT`` per-bucket counters whose upper bounds are ``BUCKET_BOUNDS_MS`` plus an
overflow bucket. This is the one definition of that layout on the Python side.
"""

from __future__ import annotations

import errno
import logging
import os
import stat
import struct
import threading
from typing import Any, Dict, Iterable, NamedTuple, Optional, Sequence, Tuple, Union

from . import _native

__all__ = [
    "BUCKET_BOUNDS_MS",
    "BUCKET_COUNT",
    "ENV_VAR",
    "DirectoryInUseError",
    "NO_MIN_US",
    "SHARD_FIELDS",
    "SHARD_LAYOUT",
    "SHARD_SIZE",
    "MergedShards",
    "ShardFile",
    "histogram_quantile",
    "is_shard_name",
    "mark_process_dead",
    "merge",
    "pack_shard",
    "prepare_shard_dir",
    "read_shard",
    "read_shard_dir",
    "shard_path",
    "unpack_shard",
    "warn_if_mode_off",
]

ENV_VAR = "VTR_MULTIPROC_DIR"
BUCKET_BOUNDS_MS: Tuple[float, ...] = _native.BUCKET_BOUNDS_MS
BUCKET_COUNT: int = len(BUCKET_BOUNDS_MS) + 1
NO_MIN_US: int = 2**64 - 1
# The words before the buckets, in file order.
SHARD_FIELDS: Tuple[str, ...] = ("marker", "pid", "count", "errors", "sum_us", "min_us",
                                 "max_us", "updated_at")
# "=": native order with standard sizes and no padding, like the core's struct of u64 words.
SHARD_LAYOUT = struct.Struct(f"={len(SHARD_FIELDS) + BUCKET_COUNT}Q")
SHARD_SIZE: int = SHARD_LAYOUT.size
_PREFIX = "vtr-"
_SUFFIX = ".shard"

PathLike = Union[str, "os.PathLike[str]"]


def _directory(path: Optional[PathLike]) -> str:
    if path is None:
        value = os.environ.get(ENV_VAR, "")
        if not value.strip():
            raise ValueError(f"no shard directory given and {ENV_VAR} is not set")
        return value
    value = os.fspath(path)
    if not isinstance(value, str) or not value.strip():
        raise ValueError("the shard directory must be a non-blank str path")
    return value


def is_shard_name(name: str) -> bool:
    """Whether a merge looks at a directory entry of this name (``vtr-*.shard``)."""
    return name.startswith(_PREFIX) and name.endswith(_SUFFIX)


def pack_shard(*, marker: int = 1, pid: int = 0, count: int = 0, errors: int = 0,
               sum_us: int = 0, min_us: int = NO_MIN_US, max_us: int = 0, updated_at: int = 0,
               buckets: Optional[Iterable[int]] = None) -> bytes:
    """The 176 bytes of a shard holding these words (an empty, initialised shard by default)."""
    counts = tuple(buckets) if buckets is not None else (0,) * BUCKET_COUNT
    if len(counts) != BUCKET_COUNT:
        raise ValueError(f"a shard has {BUCKET_COUNT} buckets, not {len(counts)}")
    return SHARD_LAYOUT.pack(marker, pid, count, errors, sum_us, min_us, max_us, updated_at,
                             *counts)


def unpack_shard(data: bytes) -> Dict[str, Any]:
    """The words of the first 176 bytes of ``data`` by name, ``buckets`` as a tuple."""
    words = SHARD_LAYOUT.unpack_from(data)
    fields: Dict[str, Any] = dict(zip(SHARD_FIELDS, words))
    fields["buckets"] = words[len(SHARD_FIELDS):]
    return fields


def shard_path(pid: int, path: Optional[PathLike] = None) -> str:
    """The file in which the worker ``pid`` counts its requests."""
    return os.path.join(_directory(path), f"{_PREFIX}{int(pid)}{_SUFFIX}")


class DirectoryInUseError(RuntimeError):
    """``prepare_shard_dir`` found files of live processes in the directory and deleted nothing:
    they would go on counting into files that no merge reads any more. ``pids`` lists them."""

    def __init__(self, directory: str, pids: Sequence[int], remedy: str) -> None:
        self.directory = directory
        self.pids = list(pids)
        listed = ", ".join(str(pid) for pid in self.pids)
        super().__init__(f"{directory} is in use: live process(es) {listed} count there, and "
                         "would go on counting into deleted files. Stop them first, or choose "
                         f"another directory; {remedy}")


class Cleared(NamedTuple):
    """What preparing a directory deleted, by kind."""

    shards: int
    series: int
    archive: int  # the series archive, the list of removed series, and their temporary files


def prepare_shard_dir(path: Optional[PathLike] = None, *, export: bool = True,
                      uid: Optional[int] = None, gid: Optional[int] = None,
                      force: bool = False) -> str:
    """Creates the shard directory and deletes the files an earlier run left in it: its
    workers' shards and series, and the series archive.

    Call it once for a new deployment, before any of its workers starts: from gunicorn's
    ``when_ready`` hook, or before ``uvicorn --workers``. A worker that is given the pid of a
    dead worker would otherwise adopt that worker's counts. With ``export`` (the default) the
    directory is also put into ``os.environ["VTR_MULTIPROC_DIR"]``, so workers started from
    here inherit it. ``path`` defaults to that variable. Returns the directory.

    A directory in which live processes count (a deployment that still runs, a worker that a
    server respawned after this ran) is left as it is: ``DirectoryInUseError`` names them.
    ``force=True`` deletes their files all the same; they then count into files that nobody
    reads until they restart.

    Every worker creates its own shard in the directory, so the workers' user must be able to
    write it. When the workers run as another user than the caller (gunicorn's ``--user`` and
    ``--group``), pass that user's ``uid`` and ``gid`` (in gunicorn's hooks:
    ``server.cfg.uid`` and ``server.cfg.gid``): the directory then belongs to them, with mode
    0750 (0700 when only ``uid`` is given), so the workers can create their shards and no
    other local user can add or change counts. Owner and mode are changed only where they
    differ, and never through a symbolic link (OSError ELOOP). Giving the directory away needs
    root: a caller that is not root gets PermissionError unless the directory already has that
    owner, which is the case when the workers run as the caller (gunicorn's defaults are the
    caller's own ids). A directory that every local user may write is prepared, with a warning
    on the ``vantorel`` logger.
    """
    if not isinstance(force, bool):
        raise TypeError("force must be a bool")
    directory = _directory(path)
    _prepare(directory, uid, gid, force, "force=True deletes their files anyway")
    note = open_to_everyone(directory)
    if note is not None:
        _LOG.warning("%s: %s", directory, note)
    if export:
        os.environ[ENV_VAR] = directory
    return directory


def _prepare(directory: str, uid: Optional[int], gid: Optional[int], force: bool,
             remedy: str) -> Cleared:
    """prepare_shard_dir without the export and the warning; ``remedy`` ends the refusal."""
    os.makedirs(directory, exist_ok=True)
    if not force:
        from . import _native

        # The merges' own rule of who is alive, so that what is refused here is exactly what
        # they would still count.
        owners = _native.live_owners(directory)
        if owners:
            raise DirectoryInUseError(directory, owners, remedy)
    if uid is not None or gid is not None:
        _hand_over(directory, uid, gid)
    return _delete_files(directory)


def open_to_everyone(directory: PathLike) -> Optional[str]:
    """A warning when every local user may create files in the directory, and so add to its
    counts; None otherwise, or when it cannot be examined."""
    try:
        info = os.stat(directory)
    except OSError:
        return None
    mode = stat.S_IMODE(info.st_mode)
    if mode & 0o003 != 0o003:
        return None
    owner = f"owner {_user_name(info.st_uid)}:{_group_name(info.st_gid)}, mode {mode:04o}"
    return (f"every local user may create files here ({owner}), and so add to the counts: "
            "give the directory to the workers' user with mode 0750 "
            "(prepare_shard_dir(uid=..., gid=...))")


def _user_name(uid: int) -> str:
    import pwd

    try:
        return pwd.getpwuid(uid).pw_name
    except KeyError:
        return str(uid)


def _group_name(gid: int) -> str:
    import grp

    try:
        return grp.getgrgid(gid).gr_name
    except KeyError:
        return str(gid)


def _hand_over(directory: str, uid: Optional[int], gid: Optional[int]) -> None:
    # Through a descriptor opened without following a final symlink: as root, chown on a path
    # would give whatever a link planted there (in /tmp, say) points to to the workers' user.
    try:
        fd = os.open(directory, os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW | os.O_CLOEXEC)
    except OSError as exc:
        if exc.errno in (errno.ELOOP, errno.ENOTDIR) and os.path.islink(directory):
            raise OSError(errno.ELOOP, "the shard directory is a symbolic link: give the "
                          "directory itself, so that its owner is not changed through a link",
                          directory) from None
        raise
    try:
        before = os.fstat(fd)
        # The owner first: that is the step a caller who is not root may be refused, and then
        # nothing has changed.
        if (uid is not None and before.st_uid != uid) or (gid is not None and
                                                          before.st_gid != gid):
            os.fchown(fd, -1 if uid is None else uid, -1 if gid is None else gid)
        mode = 0o700 if gid is None else 0o750
        if stat.S_IMODE(before.st_mode) != mode:
            os.fchmod(fd, mode)
    finally:
        os.close(fd)


def _delete_files(directory: str) -> Cleared:
    from . import series

    deleted = {"shards": 0, "series": 0, "archive": 0}
    with os.scandir(directory) as entries:
        for entry in entries:
            if is_shard_name(entry.name):
                kind = "shards"
            elif series.is_series_name(entry.name):
                kind = "series"
            elif series.is_series_file_name(entry.name):
                kind = "archive"
            else:
                continue
            try:
                if entry.is_dir(follow_symlinks=False):
                    continue
                os.unlink(entry.path)
                deleted[kind] += 1
            except FileNotFoundError:
                pass
    return Cleared(**deleted)


def mark_process_dead(pid: int, path: Optional[PathLike] = None) -> bool:
    """Deletes the shard of a worker that has exited, so that its counts leave the totals at
    once and a later worker with the same pid starts from zero, and moves its per-route series
    into the directory's archive, where they keep counting. Call it from gunicorn's
    ``child_exit`` hook. Returns whether a shard was deleted."""
    from . import series

    directory = _directory(path)
    try:
        series.fold(directory, pid)
    except (OSError, ValueError):
        pass  # alive after all, or the fold cannot be done now: a later scrape does it
    try:
        os.unlink(shard_path(pid, directory))
    except FileNotFoundError:
        return False
    return True


_LOG = logging.getLogger("vantorel")
_WARN_LOCK = threading.Lock()
_checked_in_pid = 0  # the process that has already checked; a forked child checks again

# What to do about a failed step, where the step and its errno say it clearly.
_REMEDIES = {
    errno.EACCES: "make the directory writable by uid {uid} (in the server's master, "
                  "prepare_shard_dir(uid=..., gid=...) does that)",
    errno.ENOTDIR: "that path, or a part of it, names a file, not a directory",
    errno.ENOSPC: "the file system is full",
    errno.EDQUOT: "the disk quota is used up",
    errno.EROFS: "the file system is read-only",
}
_REMEDIES[errno.EPERM] = _REMEDIES[errno.EACCES]


def warn_if_mode_off() -> Optional[str]:
    """Logs one warning on the ``vantorel`` logger when ``VTR_MULTIPROC_DIR`` is set but this
    process could not switch multi-worker mode on, naming the step that failed and its errno,
    and returns its text; returns None when there is nothing to say or this process has
    already been checked. A ``VTR_SERIES_LIMIT`` that the core did not take as it stands (not
    a whole number, or above the highest limit) is told in the same check. Call it in workers
    only (the middleware and the metrics endpoint do, once per process): like any first use,
    it sets up this process's shard.
    """
    global _checked_in_pid
    pid = os.getpid()
    if _checked_in_pid == pid:
        return None
    with _WARN_LOCK:
        if _checked_in_pid == pid:
            return None
        _checked_in_pid = pid
        limit = _series_limit_message()
        if limit is not None:
            _LOG.warning("%s", limit)
        # The core reads the variable from the process's own environment, which os.environ may
        # not show: pyuwsgi applies uWSGI's --env after Python has copied the environment.
        from . import _core, _native

        if _core.multiproc_enabled():
            failure = _native.series_failure()
            if failure is None:
                return None
            message = _series_local_message(pid, *failure)
        else:
            failure = _native.multiproc_failure()
            if failure is None:
                return None  # blank by the core's rule, or switched off in code: nothing failed
            message = _mode_off_message(pid, *failure)
    _LOG.warning("%s", message)
    return message


def _series_limit_message() -> Optional[str]:
    """What to tell of a VTR_SERIES_LIMIT that the core did not take as it stands, by the core's
    rule: decimal digits between spaces or tabs, clamped to the highest limit, anything else
    the default. None when it was taken, or when the code set a limit of its own."""
    from . import series

    value = os.environ.get(series.LIMIT_ENV_VAR)
    text = (value or "").strip(" \t")
    if not text:
        return None  # blank: the default, as if unset
    if not (text.isascii() and text.isdigit()):
        applies, what = series.DEFAULT_LIMIT, "is not a whole number, so the default limit of"
    elif int(text) >= 2**64:
        applies, what = series.DEFAULT_LIMIT, "is too large to read, so the default limit of"
    elif int(text) > series.MAX_LIMIT:
        applies, what = series.MAX_LIMIT, "is above the highest limit, so"
    else:
        return None
    if series.get_limit() != applies:
        return None  # series.set_limit() has had its say
    return f"{series.LIMIT_ENV_VAR}={value!r} {what} {applies} applies"


def _failed_step(step: str, error: int, directory: str) -> str:
    where = f"for {directory!r}"
    if error:
        name = errno.errorcode.get(error, "unknown")
        what = f"{step} failed with errno {error} ({name}: {os.strerror(error)}) {where}"
    elif step == "not a regular file":
        what = f"its shard's name in {directory!r} is taken by something other than a file"
    elif step == "invalid directory":
        what = f"the directory {directory!r} holds a NUL byte or bytes that are not UTF-8"
    else:
        what = f"{step} failed {where}"
    return what


def _with_remedy(text: str, error: int) -> str:
    remedy = _REMEDIES.get(error, "")
    if remedy:
        text += "; " + remedy.format(uid=os.geteuid())
    return text + "."


def _mode_off_message(pid: int, step: str, error: int, directory: str) -> str:
    what = _failed_step(step, error, directory)
    return _with_remedy(
        f"{ENV_VAR} is set but multi-worker mode is off in process {pid}: {what}. "
        "This worker counts only its own requests, and a scrape it answers shows only those",
        error)


def _series_local_message(pid: int, step: str, error: int, directory: str) -> str:
    what = _failed_step(step, error, directory)
    return _with_remedy(
        f"multi-worker mode is on in process {pid}, but its per-route series stay in its own "
        f"memory: {what}. Only a scrape that this worker answers shows them", error)


# The read-only view of a directory's shards (python -m vantorel inspect) lives beside; its names
# stay importable from here.
from .shards import (  # noqa: E402 (it needs this module's layout first)
    MergedShards,
    ShardFile,
    histogram_quantile,
    merge,
    read_shard,
    read_shard_dir,
)
