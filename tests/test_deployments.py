"""Gunicorn deployments scraped by a real Prometheus: two as two instances, whose per-route series
add up exactly across workers and instances, and no counter goes backwards when a worker is
killed or a master reloads; and one with every option on, whose three workers' exemplars
Prometheus keeps, scraped with a bearer token and with basic auth, and against which every query
of the Grafana dashboard in examples/ returns data."""

from __future__ import annotations

import bisect
import concurrent.futures
import http.client as http_client
import os
import shutil
import signal
import sys
import time
import urllib.parse
import json

import pytest

from servers import (EXAMPLES, free_port, live_children, proc_stat, query, request, running,
                     running_prometheus, server_env, value, wait_for)
from vantorel.series import BUCKET_BOUNDS_SECONDS

pytestmark = pytest.mark.deployment

# Every item takes some 150 ms, inside the (100, 250] ms bucket; what the client measures on top
# (tens of ms more under PyPy on a loaded machine, and a new worker's first requests are slow
# ones) may carry its p99 into the next bucket, but never below the server's. Requests
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
        # Each duration the server measured lies between the 150 ms sleep and what the client
        # measured, and so does its p99: the estimate lies between the lower bound of 150 ms's
        # bucket and the upper bound of the client's p99's bucket.
        durations.sort()
        p99 = durations[round((len(durations) - 1) * 0.99)]
        lowest = BUCKET_BOUNDS_SECONDS[bisect.bisect_left(BUCKET_BOUNDS_SECONDS, 0.15) - 1]
        highest = BUCKET_BOUNDS_SECONDS[bisect.bisect_left(BUCKET_BOUNDS_SECONDS, p99)]
        assert lowest < estimate <= highest, (p99, estimate)


# Every option of the middleware and of the endpoint at once, as a deployment would set them.
TRACED_APP = """
import os
import time

from flask import Flask, request
from werkzeug.middleware.dispatcher import DispatcherMiddleware

from vantorel.endpoint import make_wsgi_app
from vantorel.middleware import WSGIMetricsMiddleware

app = Flask(__name__)


@app.route("/work/<int:ms>", methods=["GET", "POST"])
def work(ms):
    time.sleep(ms / 1000)
    return request.get_data() + str(os.getpid()).encode(), int(request.args.get("status", 200))


app.wsgi_app = DispatcherMiddleware(
    WSGIMetricsMiddleware(app.wsgi_app, exemplars=True, body_sizes=True, status_classes=True),
    {"/metrics": make_wsgi_app(constant_labels={"service": "shop"}, bearer_token="t0ken",
                               basic_auth=("prom", "pa55"))})
open("loaded-%d" % os.getpid(), "w").close()
"""

PROMETHEUS_WITH_AUTH = """\
global:
  scrape_interval: 1s
  scrape_timeout: 1s
scrape_configs:
  - job_name: shop
    authorization:
      credentials: t0ken
    static_configs:
      - targets: ["127.0.0.1:{port}"]
  - job_name: shop-basic
    basic_auth:
      username: prom
      password: pa55
    static_configs:
      - targets: ["127.0.0.1:{port}"]
"""


def http(port: int, path: str, method: str = "GET", body: bytes = b"",
         headers: dict = None) -> tuple:
    conn = http_client.HTTPConnection("127.0.0.1", port, timeout=30)
    try:
        conn.request(method, path, body=body or None, headers=dict(headers or {},
                                                                   Connection="close"))
        response = conn.getresponse()
        return response.status, response.read()
    finally:
        conn.close()


def api(port: int, endpoint: str, **params):
    status, body = http(port, f"/api/v1/{endpoint}?" + urllib.parse.urlencode(params))
    answer = json.loads(body)
    assert status == 200 and answer["status"] == "success", answer
    return answer["data"]


def dashboard_queries(job: str):
    """Every PromQL expression of the Grafana dashboard, with the variables Grafana fills in."""
    dashboard = json.loads((EXAMPLES / "grafana-dashboard.json").read_text())
    for panel in dashboard["panels"]:
        for target in panel["targets"]:
            yield panel["title"], target["expr"].replace("$__rate_interval", "1m").replace(
                "$job", job)


@pytest.mark.skipif(shutil.which("prometheus") is None, reason="the prometheus server is not "
                    "installed")
def test_prometheus_keeps_the_exemplars_of_three_workers(tmp_path):
    pytest.importorskip("gunicorn")
    pytest.importorskip("flask")
    (tmp_path / "traced_app.py").write_text(TRACED_APP)
    port, prom_port = free_port(), free_port()
    env = server_env(VTR_MULTIPROC_DIR=str(tmp_path / "shards"), BIND=f"127.0.0.1:{port}",
                     WEB_CONCURRENCY="3")
    cmd = [sys.executable, "-m", "gunicorn", "-c", str(EXAMPLES / "gunicorn.conf.py"),
           "--chdir", str(tmp_path), "traced_app:app"]
    config = tmp_path / "prometheus.yml"
    config.write_text(PROMETHEUS_WITH_AUTH.format(port=port))
    prometheus = [shutil.which("prometheus"), f"--config.file={config}",
                  f"--storage.tsdb.path={tmp_path / 'tsdb'}",
                  f"--web.listen-address=127.0.0.1:{prom_port}",
                  "--enable-feature=exemplar-storage"]
    # Each traced request sleeps inside one latency bucket (le), with room above for what a
    # worker's first request costs (tens of ms under PyPy): 120 ms in (100, 250], 300 ms in
    # (250, 500], 1100 ms in (1000, 2500]; the unsampled one, 600 ms, in (500, 1000].
    traced = {"0.25": (120, "a" * 32, "1" * 16), "0.5": (300, "b" * 32, "2" * 16),
              "2.5": (1100, "c" * 32, "3" * 16)}
    unsampled = f"00-{'d' * 32}-{'4' * 16}-00"
    with running(cmd, port, tmp_path / "gunicorn.log", env, ready_path="/metrics") as master, \
            running(prometheus, prom_port, tmp_path / "prometheus.log", server_env(),
                    ready_path="/-/ready"), \
            concurrent.futures.ThreadPoolExecutor(4) as pool:
        wait_for(lambda: len(live_children(master.pid)) == 3 and all(
            (tmp_path / f"loaded-{pid}").exists() for pid in live_children(master.pid)),
            20.0, "three workers")
        assert http(port, "/metrics")[0] == 401
        started = time.time()
        # Sent together, the three sync workers take one each: the page merges their exemplars.
        answers = list(pool.map(lambda case: http(
            port, f"/work/{case[0]}", headers={"traceparent": f"00-{case[1]}-{case[2]}-01"}),
            traced.values()))
        assert [status for status, _ in answers] == [200] * 3
        assert len({body for _, body in answers}) == 3  # three pids
        assert http(port, "/work/600", headers={"traceparent": unsampled})[0] == 200
        assert http(port, "/work/1?status=503", "POST", b"x" * 5000)[0] == 503
        assert http(port, "/work/1", "POST", b"y" * 100)[0] == 200

        def seen():
            found = {}
            for series in api(prom_port, "query_exemplars", start=started - 5,
                              end=time.time() + 5,
                              query='vtr_http_request_duration_seconds_bucket{job="shop"}'):
                for exemplar in series["exemplars"]:
                    found[exemplar["labels"]["trace_id"]] = (series["seriesLabels"]["le"],
                                                             exemplar["labels"]["span_id"])
            return found if len(found) >= 3 else None

        found = wait_for(seen, 30.0, "Prometheus to store the exemplars", interval=0.5)
        assert found == {trace: (le, span) for le, (_, trace, span) in traced.items()}
        counted = api(prom_port, "query_exemplars", start=started - 5, end=time.time() + 5,
                      query='vtr_http_requests_total{job="shop"}')
        assert {e["labels"]["trace_id"] for s in counted for e in s["exemplars"]} <= {
            trace for _, trace, _ in traced.values()}

        # Both jobs scrape: one with the bearer token, one with basic auth.
        wait_for(lambda: [v for _, v in query(prom_port, 'sum(up{job=~"shop|shop-basic"})')]
                 == [2], 10.0, "both jobs up", interval=0.5)
        # Every request scraped: the 503 under its class, with the constant label; the bodies.
        wait_for(lambda: value(prom_port, 'sum(vtr_http_requests_total{job="shop"})') == 6,
                 10.0, "the six requests scraped", interval=0.5)
        assert value(prom_port, 'sum(vtr_http_requests_total{job="shop",service="shop",'
                                'status="5xx"})') == 1
        assert value(prom_port, 'sum(vtr_http_request_size_bytes_sum{job="shop"})') == 5100
        time.sleep(1.5)  # two more scrapes, so that every rate has two points
        for title, expression in dashboard_queries("shop"):
            result = api(prom_port, "query", query=expression)["result"]
            assert result, (title, expression)
