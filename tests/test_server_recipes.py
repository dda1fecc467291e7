"""The README's recipes for uWSGI, granian, hypercorn, waitress and daphne, run as written: the
directory prepared once, outside the server, then real requests and a real SIGKILL. Through a
worker that dies and is respawned, or a server that dies and is started again, every request
stays counted in the per-route series, once."""

from __future__ import annotations

import importlib.util
import os
import re
import signal
import subprocess
import sys
from contextlib import contextmanager
from pathlib import Path
from typing import Any, Dict, Iterator, List, Set
import pytest

from servers import (EXAMPLES, free_port, live_children, new_workers, proc_stat, request,
                     route_count, running, scrape, server_env, wait_for)
from vantorel import multiproc

pytestmark = pytest.mark.deployment


@contextmanager
def serving(cmd: List[str], port: int, log: Path, env: Dict[str, str],
            **options: Any) -> Iterator[subprocess.Popen]:
    """``running``, and no process of the server left behind: a worker that outlives its
    master (killed when it would not stop) is killed too."""
    workers: Set[int] = set()
    with running(cmd, port, log, env, **options) as master:
        try:
            yield master
        finally:
            workers.update(live_children(master.pid))
    for pid in workers:
        if proc_stat(pid) is not None:
            os.kill(pid, signal.SIGKILL)


def needs(module: str) -> None:
    if importlib.util.find_spec(module) is None:
        implementation = sys.implementation.name
        pytest.skip(f"{module} is not installed: the test extra leaves it out where it has no "
                    f"wheel ({implementation} {sys.version_info[0]}.{sys.version_info[1]})")


def script(name: str) -> str:
    """A console script installed beside this interpreter."""
    return str(Path(sys.executable).with_name(name))


def prepare(directory: Path) -> None:
    done = subprocess.run([sys.executable, "-m", "vantorel", "prepare", str(directory)],
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr


def send(port: int, path: str, n: int) -> None:
    for _ in range(n):
        assert request(port, path)[0] == 200


def counted(port: int, route: str, expected: int) -> None:
    """Waits until a scrape shows ``expected`` requests of ``route``, and checks that it stays
    there: a worker records a request just after its client got the last byte."""
    wait_for(lambda: route_count(scrape(port), route) == expected, 15.0,
             f"{expected} requests of {route} to be counted", interval=0.05)
    assert [route_count(scrape(port), route) for _ in range(4)] == [expected] * 4


def kill_a_worker(master: int, count: int) -> None:
    """SIGKILLs one of the ``count`` workers of ``master`` and waits until it has respawned."""
    victim = new_workers(master, count)[0]
    os.kill(victim, signal.SIGKILL)
    new_workers(master, count, [victim])


@pytest.mark.parametrize("lazy", [False, True], ids=["preforked", "lazy-apps"])
def test_uwsgi_recipe(tmp_path, lazy):
    needs("pyuwsgi")
    needs("flask")
    shard_dir = tmp_path / "shards"
    prepare(shard_dir)
    port = free_port()
    cmd = [script("uwsgi"), "--master", "--processes", "2", "--http-socket",
           f"127.0.0.1:{port}", "--chdir", str(EXAMPLES), "--module", "flask_app:app",
           "--env", f"VTR_MULTIPROC_DIR={shard_dir}", "--die-on-term",
           *(["--lazy-apps"] if lazy else [])]
    log = tmp_path / "uwsgi.log"

    def loaded(times: int) -> None:
        # uWSGI logs "... ready in N seconds ..." each time a process has loaded the app. A
        # lazy-apps worker killed while it loads leaves its replacement stuck until a signal.
        wait_for(lambda: log.read_text(errors="replace").count(" ready in ") >= times, 30.0,
                 f"the application to be loaded {times} time(s)")

    with serving(cmd, port, log, server_env(), ready_path="/worker") as master:
        loaded(2 if lazy else 1)
        send(port, "/worker", 30)
        kill_a_worker(master.pid, 2)
        loaded(3 if lazy else 1)  # a lazy-apps worker loads it again
        send(port, "/worker", 30)
        counted(port, "/worker", 61)  # and the readiness probe


def test_granian_recipe(tmp_path):
    needs("granian")
    needs("starlette")
    shard_dir = tmp_path / "shards"
    prepare(shard_dir)
    port = free_port()
    cmd = [script("granian"), "--interface", "asgi", "--host", "127.0.0.1", "--port", str(port),
           "--workers", "2", "--respawn-failed-workers", "--working-dir", str(EXAMPLES),
           "starlette_app:app"]
    env = server_env(VTR_MULTIPROC_DIR=str(shard_dir))
    log = tmp_path / "granian.log"

    def started(times: int) -> None:
        # Stopped while a respawned worker starts, granian waits for it forever.
        wait_for(lambda: len(re.findall(r"Started worker-\d+$", log.read_text(), re.M)) >= times,
                 30.0, f"{times} worker starts")

    with serving(cmd, port, log, env, ready_path="/") as master:
        started(2)
        send(port, "/", 30)
        kill_a_worker(master.pid, 2)
        started(3)
        send(port, "/", 30)
        counted(port, "/", 61)


# (the command in EXAMPLES, what it serves under /, the module it needs)
RESTARTED = {
    "hypercorn": (["-m", "hypercorn", "--workers", "2", "--bind", "127.0.0.1:{port}",
                   "starlette_app:app"], "starlette"),
    "waitress": (["-m", "waitress", "--listen=127.0.0.1:{port}", "flask_app:app"], "flask"),
    "daphne": (["-m", "daphne", "-b", "127.0.0.1", "-p", "{port}", "starlette_app:app"],
               "starlette"),
}


@pytest.mark.parametrize("server", list(RESTARTED))
def test_a_server_started_again_after_a_crash_carries_on(tmp_path, server):
    args, framework = RESTARTED[server]
    needs(server)
    needs(framework)
    shard_dir = tmp_path / "shards"
    prepare(shard_dir)
    port = free_port()
    cmd = [sys.executable, *(arg.format(port=port) for arg in args)]
    env = server_env(VTR_MULTIPROC_DIR=str(shard_dir))
    for run in range(2):  # as systemd's Restart= would start it again, without preparing
        log = tmp_path / f"{server}-{run}.log"
        with serving(cmd, port, log, env, ready_path="/", cwd=EXAMPLES) as started:
            if server == "hypercorn":  # each worker says so once it serves
                wait_for(lambda out=log: out.read_text().count("Running on") == 2, 30.0,
                         "both workers to serve")
            send(port, "/", 30)
            counted(port, "/", 31 * (run + 1))
            children = live_children(started.pid)
            if server == "hypercorn":
                # A worker that dies takes the whole server down with it.
                os.kill(next(s.pid for s in multiproc.read_shard_dir(shard_dir) if s.counted),
                        signal.SIGKILL)
            else:
                os.kill(started.pid, signal.SIGKILL)
            started.wait(timeout=30)
            wait_for(lambda gone=children: all(proc_stat(pid) is None for pid in gone), 30.0,
                     f"{server}'s processes to go")
