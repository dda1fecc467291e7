"""Real servers on 127.0.0.1, real HTTP: uvicorn with Starlette, gunicorn with Flask in
multi-worker mode, uvicorn --workers, the examples as documented, and a real Prometheus.

Every server is started by its test on a port the test picked and stopped by the same test.
"""

from __future__ import annotations

import collections
import grp
import json
import os
import pwd
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
from pathlib import Path
from typing import List, Optional

import pytest

from vantorel import multiproc

from multiproc_helpers import reachable_by_nobody
from servers import (EXAMPLES, free_port, live_children, new_workers, proc_stat, prometheus_query,
                     request, route_count, running, running_prometheus, scrape, server_env,
                     settled_scrape, stale_run, uvicorn_cmd, wait_for)

pytestmark = pytest.mark.deployment


# ---------------------------------------------------------------------------------------------
# uvicorn + Starlette, one process


STARLETTE_APP = '''
import asyncio

from starlette.applications import Starlette
from starlette.responses import JSONResponse, StreamingResponse
from starlette.routing import Route

from vantorel import _core
from vantorel.endpoint import make_asgi_app
from vantorel.middleware import MetricsMiddleware


async def item(request):
    await asyncio.sleep(0.02)
    return JSONResponse({"id": request.path_params["item_id"]})


async def boom(request):
    raise RuntimeError("handler failed")


async def stream(request):
    async def chunks():
        for _ in range(100_000):  # 1000 s: only a hang-up ends it
            yield b"x" * 65536
            await asyncio.sleep(0.01)
    return StreamingResponse(chunks())


async def debug_requests(request):
    return JSONResponse([r.to_dict() for r in _core.get_requests()])


app = Starlette(routes=[
    Route("/items/{item_id:int}", item),
    Route("/boom", boom),
    Route("/stream", stream),
    Route("/debug/requests", debug_requests),
    Route("/metrics", make_asgi_app()),
])
app.add_middleware(MetricsMiddleware, exclude_paths=[r"/debug/.*"])
'''


def test_uvicorn_starlette_records_every_request(tmp_path):
    pytest.importorskip("uvicorn")
    pytest.importorskip("starlette")
    (tmp_path / "starlette_test_app.py").write_text(STARLETTE_APP)
    port = free_port()
    cmd = uvicorn_cmd("starlette_test_app:app", port, tmp_path)
    with running(cmd, port, tmp_path / "uvicorn.log", server_env(),
                 ready_path="/debug/requests"):
        for item_id in range(1, 6):
            assert request(port, f"/items/{item_id}")[0] == 200
        assert request(port, "/boom")[0] == 500
        assert request(port, "/nope")[0] == 404
        assert request(port, "/items/1", method="DELETE")[0] == 405

        # A client that reads a little of a long stream and hangs up.
        with socket.create_connection(("127.0.0.1", port), timeout=10) as sock:
            sock.sendall(b"GET /stream HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
            received = 0
            while received < 200_000:
                chunk = sock.recv(65536)
                assert chunk
                received += len(chunk)

        def all_recorded():
            status, _, body = request(port, "/debug/requests")
            found = json.loads(body)
            return found if len(found) == 9 else None

        found = wait_for(all_recorded, 15.0, "the disconnected stream to be recorded")
        metrics = scrape(port)

    seen = collections.Counter((r["method"], r["path"], r["status_code"]) for r in found)
    assert seen == {
        ("GET", "/items/{item_id:int}", 200): 5,
        ("GET", "/boom", 500): 1,
        ("GET", "/nope", 404): 1,
        ("DELETE", "/items/{item_id:int}", 405): 1,
        ("GET", "/stream", 200): 1,
    }
    assert all(r["duration_ms"] >= 20.0 for r in found if r["path"] == "/items/{item_id:int}"
               and r["method"] == "GET")
    # /metrics and /debug/* are not counted; the 9 requests above are.
    assert metrics["vtr_requests_total"] == 9
    assert metrics["vtr_errors_total"] == 3
    assert metrics["vtr_process_memory_rss_bytes"] > 0
    assert "RuntimeError: handler failed" in (tmp_path / "uvicorn.log").read_text()


# ---------------------------------------------------------------------------------------------
# gunicorn + Flask, one process: a client that hangs up mid-stream


FLASK_APP = '''
import time

from flask import Flask, Response, jsonify

from vantorel import _core
from vantorel.middleware import WSGIMetricsMiddleware

app = Flask(__name__)


@app.route("/stream")
def stream():
    def chunks():
        for _ in range(100_000):  # 1000 s: only a hang-up ends it
            yield b"x" * 65536
            time.sleep(0.01)
    return Response(chunks(), mimetype="application/octet-stream")


@app.route("/boom")
def boom():
    raise RuntimeError("view failed")


@app.route("/debug/requests")
def debug_requests():
    return jsonify([r.to_dict() for r in _core.get_requests()])


app.wsgi_app = WSGIMetricsMiddleware(app.wsgi_app, exclude_paths=[r"/debug/.*"])
'''


def test_gunicorn_flask_records_a_client_that_hangs_up(tmp_path):
    pytest.importorskip("gunicorn")
    pytest.importorskip("flask")
    (tmp_path / "flask_test_app.py").write_text(FLASK_APP)
    port = free_port()
    cmd = [sys.executable, "-m", "gunicorn", "-b", f"127.0.0.1:{port}", "--workers", "1",
           "--chdir", str(tmp_path), "flask_test_app:app"]
    with running(cmd, port, tmp_path / "gunicorn.log", server_env(),
                 ready_path="/debug/requests"):
        assert request(port, "/boom")[0] == 500
        with socket.create_connection(("127.0.0.1", port), timeout=10) as sock:
            sock.sendall(b"GET /stream HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
            received = 0
            while received < 200_000:
                chunk = sock.recv(65536)
                assert chunk
                received += len(chunk)

        def both_recorded():
            found = json.loads(request(port, "/debug/requests")[2])
            return found if len(found) == 2 else None

        found = wait_for(both_recorded, 15.0, "the hung-up stream to be recorded")
    assert [(r["method"], r["path"], r["status_code"]) for r in found] == [
        ("GET", "/boom", 500), ("GET", "/stream", 200)]


# ---------------------------------------------------------------------------------------------
# gunicorn + Flask, three workers, the documented gunicorn.conf.py


def test_gunicorn_three_workers_report_one_total(tmp_path):
    pytest.importorskip("gunicorn")
    pytest.importorskip("flask")
    shard_dir = tmp_path / "shards"
    stale_run(shard_dir, 1000)
    port = free_port()
    env = server_env(VTR_MULTIPROC_DIR=str(shard_dir), BIND=f"127.0.0.1:{port}",
                     WEB_CONCURRENCY="3")
    cmd = [sys.executable, "-m", "gunicorn", "-c", str(EXAMPLES / "gunicorn.conf.py"),
           "--chdir", str(EXAMPLES), "flask_app:app"]
    with running(cmd, port, tmp_path / "gunicorn.log", env, ready_path="/metrics") as proc:
        # when_ready cleared the earlier run's files: none of its series counts.
        assert route_count(scrape(port), "/stale") == 0
        workers = wait_for(lambda: len(live_children(proc.pid)) == 3
                           and live_children(proc.pid), 20.0, "three workers")

        served = collections.Counter()
        for _ in range(45):
            status, _, body = request(port, "/worker")
            assert status == 200
            served[json.loads(body)["pid"]] += 1
        for _ in range(6):
            assert request(port, "/items/5000")[0] == 404
        assert set(served) <= set(workers)

        # Whichever worker answers the scrape, it reports every worker's requests.
        settled_scrape(port, (51, 6))
        for _ in range(6):
            metrics = scrape(port)
            assert (metrics["vtr_requests_total"], metrics["vtr_errors_total"]) == (51, 6)

        shards = {s.pid: s for s in multiproc.read_shard_dir(shard_dir) if s.counted}
        assert sum(s.count for s in shards.values()) == 51
        victim, _ = served.most_common(1)[0]
        lost = shards[victim]
        assert lost.count >= served[victim]

        os.kill(victim, signal.SIGKILL)
        # A zombie still answers the liveness probe; once gunicorn has reaped it, it is gone.
        wait_for(lambda: proc_stat(victim) is None, 15.0, "gunicorn to reap the worker")
        metrics = scrape(port)
        assert metrics["vtr_requests_total"] == 51 - lost.count
        assert metrics["vtr_errors_total"] == 6 - lost.errors

        replaced = wait_for(lambda: len(live_children(proc.pid)) == 3
                            and live_children(proc.pid), 20.0, "a replacement worker")
        assert victim not in replaced
        for _ in range(9):
            assert request(port, "/worker")[0] == 200
        settled_scrape(port, (51 - lost.count + 9, 6 - lost.errors))
    assert not (shard_dir / f"vtr-{victim}.shard").exists()


def test_gunicorn_recipe_never_wipes_a_live_deployment(tmp_path):
    """A second gunicorn started by mistake, a reload (HUP) and a binary upgrade (USR2) leave
    the running deployment's files alone: every request it served stays counted, once."""
    pytest.importorskip("gunicorn")
    pytest.importorskip("flask")
    shard_dir = tmp_path / "shards"
    port = free_port()
    pidfile = tmp_path / "gunicorn.pid"
    # The script, not "-m gunicorn": an upgrade runs the master's argv again, and a path to
    # gunicorn/__main__.py would put gunicorn's own "http" package before the standard one.
    cmd = [str(Path(sys.executable).with_name("gunicorn")), "-c",
           str(EXAMPLES / "gunicorn.conf.py"), "--chdir", str(EXAMPLES), "--pid", str(pidfile),
           "flask_app:app"]
    env = server_env(VTR_MULTIPROC_DIR=str(shard_dir), BIND=f"127.0.0.1:{port}",
                     WEB_CONCURRENCY="2")
    sent = 0

    def send(n: int) -> None:
        nonlocal sent
        for _ in range(n):
            assert request(port, "/worker")[0] == 200
        sent += n

    def all_counted() -> None:
        wait_for(lambda: route_count(scrape(port), "/worker") == sent, 15.0,
                 f"the {sent} requests sent to be counted")

    upgraded: Optional[int] = None
    mistakes: List[subprocess.Popen] = []
    try:
        with running(cmd, port, tmp_path / "first.log", env, ready_path="/metrics") as first:
            workers = new_workers(first.pid, 2)
            send(20)
            # By mistake: a second deployment on the same address, and one on another address
            # that was given the same directory.
            for name, bind in [("same-address", f"127.0.0.1:{port}"),
                               ("same-directory", f"127.0.0.1:{free_port()}")]:
                with open(tmp_path / f"{name}.log", "wb") as log:
                    mistakes.append(subprocess.Popen(cmd[:-3] + [cmd[-1]], stdout=log,
                                                     stderr=subprocess.STDOUT,
                                                     env={**env, "BIND": bind}))
            send(20)
            assert [m.wait(timeout=30) for m in mistakes] == [1, 1]
            assert "Connection in use" in (tmp_path / "same-address.log").read_text()
            refused = (tmp_path / "same-directory.log").read_text()
            named = re.search(r"is in use: live process\(es\) ([\d, ]+) count there", refused)
            assert named and {int(pid) for pid in named[1].split(", ")} <= set(workers), refused
            all_counted()

            os.kill(first.pid, signal.SIGHUP)  # new workers, the same master
            workers = new_workers(first.pid, 2, workers)
            send(10)
            all_counted()

            # A binary upgrade: a new master beside the old one, whose workers still serve.
            os.kill(first.pid, signal.SIGUSR2)
            upgraded = int(wait_for(lambda: pidfile.with_name("gunicorn.pid.2").exists()
                                    and pidfile.with_name("gunicorn.pid.2").read_text(),
                                    20.0, "the new master"))
            new_workers(upgraded, 2)
            send(10)
            os.kill(first.pid, signal.SIGTERM)  # the old master and its workers leave
            first.wait(timeout=30)
        send(10)
        all_counted()
        assert "in use" not in (tmp_path / "first.log").read_text()
    finally:
        for mistake in mistakes:
            if mistake.poll() is None:
                mistake.terminate()
                mistake.wait(timeout=30)
        if upgraded is not None and proc_stat(upgraded) is not None:
            os.kill(upgraded, signal.SIGTERM)
            wait_for(lambda: proc_stat(upgraded) is None, 30.0, "the new master to stop")


# ---------------------------------------------------------------------------------------------
# The same recipe with the workers switched to nobody by a master that runs as root


def test_gunicorn_recipe_with_workers_as_nobody(tmp_path):
    pytest.importorskip("gunicorn")
    pytest.importorskip("flask")
    if os.geteuid() != 0 or shutil.which("setpriv") is None:
        pytest.skip("needs root (and setpriv to check the set-up) to start workers as nobody")
    try:
        pwd.getpwnam("nobody"), grp.getgrnam("nogroup")
    except KeyError:
        pytest.skip("there is no user nobody or no group nogroup")
    prefix = reachable_by_nobody(tmp_path / "keep")
    if prefix is None:
        pytest.skip("nobody cannot load this interpreter's modules")
    # Not under tmp_path: nobody may not enter pytest's directories.
    base = Path(tempfile.mkdtemp(prefix="vtr-gunicorn-"))
    try:
        os.chmod(base, 0o755)
        shard_dir = base / "shards"
        port = free_port()
        env = server_env(VTR_MULTIPROC_DIR=str(shard_dir), BIND=f"127.0.0.1:{port}",
                         WEB_CONCURRENCY="3")
        cmd = [*prefix, sys.executable, "-m", "gunicorn", "-c", str(EXAMPLES / "gunicorn.conf.py"),
               "--chdir", str(EXAMPLES), "--user", "nobody", "--group", "nogroup",
               "flask_app:app"]
        log = tmp_path / "gunicorn.log"
        with running(cmd, port, log, env, ready_path="/metrics"):
            for item_id in range(20, 1201, 20):  # from 1020 on: 404
                assert request(port, f"/items/{item_id}")[0] == (200 if item_id <= 1000 else 404)
            # Every worker counts: any scrape shows all 60 requests, not one worker's share.
            settled_scrape(port, (60, 10))
            for _ in range(6):
                metrics = scrape(port)
                assert (metrics["vtr_requests_total"], metrics["vtr_errors_total"]) == (60, 10)
            shards = [s for s in multiproc.read_shard_dir(shard_dir) if s.counted]
            owners = {os.stat(shard_dir / s.name).st_uid for s in shards}
        info = os.stat(shard_dir)
        assert (info.st_uid, info.st_gid, info.st_mode & 0o7777) == (65534, 65534, 0o750)
        assert sum(s.count for s in shards) == 60 and owners == {65534}
        assert "multi-worker mode is off" not in log.read_text(errors="replace")
    finally:
        shutil.rmtree(base)


# ---------------------------------------------------------------------------------------------
# uvicorn --workers, prepared with the command line


def test_uvicorn_workers_recipe(tmp_path):
    pytest.importorskip("uvicorn")
    pytest.importorskip("starlette")
    shard_dir = tmp_path / "shards"
    stale_run(shard_dir, 500)
    prepared = subprocess.run([sys.executable, "-m", "vantorel", "prepare", str(shard_dir)],
                              capture_output=True, text=True, timeout=60)
    assert prepared.returncode == 0, prepared.stderr
    assert prepared.stdout == (f"{shard_dir}: ready; deleted 1 shard file(s), 1 series file(s) "
                               "and 0 archive and removal list file(s) of an earlier run\n")

    port = free_port()
    cmd = uvicorn_cmd("starlette_app:app", port, EXAMPLES, "--workers", "2")
    env = server_env(VTR_MULTIPROC_DIR=str(shard_dir))
    with running(cmd, port, tmp_path / "uvicorn.log", env, ready_path="/metrics"):
        for item_id in range(30):
            assert request(port, f"/items/{item_id}")[0] == 200
        assert request(port, "/items/2000")[0] == 404
        settled_scrape(port, (31, 1))
        for _ in range(4):
            metrics = scrape(port)
            assert (metrics["vtr_requests_total"], metrics["vtr_errors_total"]) == (31, 1)
        assert route_count(metrics, "/stale") == 0
    assert sum(s.count for s in multiproc.read_shard_dir(shard_dir)) == 31


def test_uvicorn_launcher_example(tmp_path):
    pytest.importorskip("uvicorn")
    pytest.importorskip("starlette")
    port = free_port()
    env = server_env(VTR_MULTIPROC_DIR=str(tmp_path / "shards"), PORT=str(port),
                     WEB_CONCURRENCY="2", APP="starlette_app:app")
    cmd = [sys.executable, str(EXAMPLES / "uvicorn_launcher.py")]
    with running(cmd, port, tmp_path / "launcher.log", env, ready_path="/metrics"):
        for item_id in range(20):
            assert request(port, f"/items/{item_id}")[0] == 200
        settled_scrape(port, (20, 0))
        for _ in range(4):
            metrics = scrape(port)
            assert (metrics["vtr_requests_total"], metrics["vtr_errors_total"]) == (20, 0)


# ---------------------------------------------------------------------------------------------
# The examples, run the way the README says


EXAMPLE_SERVERS = {
    "starlette-uvicorn": ("uvicorn", "starlette_app:app"),
    "fastapi-uvicorn": ("uvicorn", "fastapi_app:app"),
    "litestar-uvicorn": ("uvicorn", "litestar_app:app"),
    "flask-gunicorn": ("gunicorn", "flask_app:app"),
    "django-gunicorn": ("gunicorn", "django_app:application"),
    "django-uvicorn": ("uvicorn", "django_app:asgi_application"),
}


@pytest.mark.parametrize("name", list(EXAMPLE_SERVERS))
def test_examples_serve_their_metrics(tmp_path, name):
    server, app = EXAMPLE_SERVERS[name]
    pytest.importorskip(server)
    pytest.importorskip(name.split("-")[0])
    port = free_port()
    if server == "uvicorn":
        cmd = uvicorn_cmd(app, port, EXAMPLES)
    else:
        cmd = [sys.executable, "-m", "gunicorn", "-b", f"127.0.0.1:{port}", "--chdir",
               str(EXAMPLES), app]
    with running(cmd, port, tmp_path / "server.log", server_env(), ready_path="/metrics"):
        assert request(port, "/items/7")[0] == 200
        assert request(port, "/items/7000")[0] == 404
        metrics = scrape(port)
    assert (metrics["vtr_requests_total"], metrics["vtr_errors_total"]) == (2, 1)


# ---------------------------------------------------------------------------------------------
# A real Prometheus scraping the endpoint


def test_prometheus_scrapes_the_endpoint(tmp_path):
    pytest.importorskip("uvicorn")
    pytest.importorskip("starlette")
    if shutil.which("prometheus") is None:
        pytest.skip("the prometheus server is not installed")
    app_port, prom_port = free_port(), free_port()
    cmd = uvicorn_cmd("starlette_app:app", app_port, EXAMPLES)
    with running(cmd, app_port, tmp_path / "uvicorn.log", server_env(), ready_path="/metrics"):
        for item_id in range(25):
            assert request(app_port, f"/items/{item_id}")[0] == 200
        assert request(app_port, "/checkout", method="POST")[0] == 500
        with running_prometheus(tmp_path, prom_port, "vantorel", [app_port]):
            wait_for(lambda: prometheus_query(prom_port, "vtr_requests_total") == "26", 30.0,
                     "Prometheus to scrape vtr_requests_total 26", interval=0.5)
            assert prometheus_query(prom_port, "vtr_errors_total") == "1"
            assert prometheus_query(prom_port, 'up{job="vantorel"}') == "1"
