"""Two gunicorn deployments scraped by a real Prometheus as two instances: the per-route series
add up exactly across workers and instances, and no counter goes backwards when a worker is
killed or a master reloads."""

from __future__ import annotations

import bisect
import concurrent.futures
import os
import shutil
import signal
import sys
import time
import urllib.parse
import json

import pytest

from test_servers import (EXAMPLES, free_port, live_children, proc_stat, request, running,
                          running_prometheus, server_env, wait_for)
from vantorel.series import BUCKET_BOUNDS_SECONDS

# Every item takes some 150 ms, inside the (100, 250] ms bucket: the client-measured p99 and the
# histogram's estimate must land in the same bucket. The client's p99 is the third slowest of 240
# requests, and the three new workers' first requests are slow ones (tens of ms more under PyPy
# on a loaded machine), so the bucket leaves 100 ms for what the client measures on top. Requests
# are sent only to workers that have loaded the application (each leaves a file saying so): one
# sent to a worker still importing would wait for it, which the server never measures.
APP = """
import os
import time

from flask import Flask, abort
from werkzeug.middleware.dispatcher import DispatcherMiddleware

from vantorel.endpoint import make_wsgi_app
from vantorel.middleware import WSGIMetricsMiddleware

app = Flask(__name__)


@app.route("/items/<int:item_id>")
def item(item_id):
    time.sleep(0.15)
    if item_id % 10 == 0:
        abort(404)
    return "ok"


app.wsgi_app = DispatcherMiddleware(WSGIMetricsMiddleware(app.wsgi_app),
                                    {"/metrics": make_wsgi_app()})
open("loaded-%d" % os.getpid(), "w").close()
"""


def query(port: int, expression: str):
    status, _, body = request(port, "/api/v1/query?query=" + urllib.parse.quote(expression))
    assert status == 200, body
    result = json.loads(body)["data"]["result"]
    return [(sample["metric"], float(sample["value"][1])) for sample in result]


def value(port: int, expression: str) -> float:
    result = query(port, expression)
    assert len(result) == 1, (expression, result)
    return result[0][1]


def send(ports, items, pool, durations):
    def one(i):
        started = time.perf_counter()
        status = request(ports[i % len(ports)], f"/items/{i}")[0]
        durations.append(time.perf_counter() - started)
        return status

    statuses = list(pool.map(one, items))
    assert statuses == [404 if i % 10 == 0 else 200 for i in items]


@pytest.mark.skipif(shutil.which("prometheus") is None, reason="the prometheus server is not "
                    "installed")
def test_prometheus_adds_up_two_deployments_through_a_kill_and_a_reload(tmp_path):
    pytest.importorskip("gunicorn")
    pytest.importorskip("flask")
    (tmp_path / "timed_app.py").write_text(APP)
    ports = [free_port(), free_port()]
    prom_port = free_port()

    def deployment(name, port, workers):
        env = server_env(VTR_MULTIPROC_DIR=str(tmp_path / name), BIND=f"127.0.0.1:{port}",
                         WEB_CONCURRENCY=str(workers))
        cmd = [sys.executable, "-m", "gunicorn", "-c", str(EXAMPLES / "gunicorn.conf.py"),
               "--chdir", str(tmp_path), "timed_app:app"]
        return running(cmd, port, tmp_path / f"{name}.log", env, ready_path="/metrics")

    durations: list = []
    with deployment("a", ports[0], 3) as a, deployment("b", ports[1], 2) as b, \
            running_prometheus(tmp_path, prom_port, "shop", ports), \
            concurrent.futures.ThreadPoolExecutor(4) as pool:
        def loaded(master, n):
            workers = live_children(master)
            return len(workers) == n and all(
                (tmp_path / f"loaded-{pid}").exists() for pid in workers) and workers

        workers_a = wait_for(lambda: loaded(a.pid, 3), 20.0, "three workers in a")
        wait_for(lambda: loaded(b.pid, 2), 20.0, "two workers in b")
        send(ports, range(0, 120), pool, durations)
        time.sleep(2.5)  # scraped with every worker alive

        # A worker of a dies (SIGKILL); b's master reloads (HUP: new workers, old ones leave).
        victim = workers_a[0]
        os.kill(victim, signal.SIGKILL)
        wait_for(lambda: proc_stat(victim) is None, 15.0, "gunicorn to reap the worker")
        old_b = live_children(b.pid)
        os.kill(b.pid, signal.SIGHUP)
        wait_for(lambda: loaded(b.pid, 2) and not set(live_children(b.pid)) & set(old_b),
                 20.0, "b's new workers")
        wait_for(lambda: loaded(a.pid, 3), 20.0, "a's replacement worker")

        send(ports, range(120, 240), pool, durations)
        total = 240
        wait_for(lambda: [v for _, v in query(prom_port, "sum(vtr_http_requests_total)")]
                 == [total], 30.0, f"Prometheus to see {total} requests", interval=0.5)
        time.sleep(2.5)  # a few more scrapes after the last request

        assert value(prom_port, "sum(vtr_http_requests_total)") == total
        assert value(prom_port, 'sum(vtr_http_requests_total{status="404"})') == total / 10
        assert value(prom_port, "count(count by (instance) (vtr_http_requests_total))") == 2
        assert value(prom_port, "sum(vtr_http_request_duration_seconds_count)") == total
        # Not one counter went backwards in any series over the whole run.
        for family in ("vtr_http_requests_total", "vtr_http_request_duration_seconds_count",
                       "vtr_http_request_duration_seconds_bucket"):
            assert value(prom_port, f"sum(resets({family}[10m]))") == 0, family

        estimate = value(prom_port, "histogram_quantile(0.99, sum by (le) "
                                    "(vtr_http_request_duration_seconds_bucket))")
        durations.sort()
        p99 = durations[round((len(durations) - 1) * 0.99)]
        bucket = bisect.bisect_left(BUCKET_BOUNDS_SECONDS, p99)
        lower = BUCKET_BOUNDS_SECONDS[bucket - 1] if bucket else 0.0
        assert lower < estimate <= BUCKET_BOUNDS_SECONDS[bucket], (p99, estimate)
