"""The application's own metrics across real worker processes: a metric created before a fork,
remove() and clear() seen by every worker, a family that two workers define differently,
inspect, and gunicorn replacing its workers under a real Prometheus."""

import concurrent.futures
import json
import os
import shutil
import signal
import subprocess
import sys
import time

import pytest
from prometheus_client.parser import text_string_to_metric_families

from multiproc_helpers import child_env
from servers import (EXAMPLES, free_port, live_children, proc_stat, query, request, running,
                     running_prometheus, server_env, value, wait_for)
from vantorel.cli import main
from vantorel.multiproc import prepare_shard_dir

# A worker that runs the Python expressions it is sent, one a line, and answers each with its
# result as JSON; page() is what its endpoint serves, as {sample name{labels}: value}.
WORKER = r'''
import json, logging, os, sys
from vantorel.endpoint import make_wsgi_app
from vantorel.metrics import Counter, Gauge
from prometheus_client.parser import text_string_to_metric_families

warnings = []
handler = logging.Handler()
handler.emit = lambda record: warnings.append(record.getMessage())
logging.getLogger("vantorel").addHandler(handler)
endpoint = make_wsgi_app()

def page():
    doc = b"".join(endpoint({"REQUEST_METHOD": "GET"}, lambda *a: None)).decode()
    return {s.name + json.dumps(s.labels, sort_keys=True): s.value
            for f in text_string_to_metric_families(doc) if f.name.startswith("app_")
            for s in f.samples}

print(os.getpid(), flush=True)
for line in sys.stdin:
    print(json.dumps(eval(line)), flush=True)
'''


class Worker:
    def __init__(self, directory, *setup):
        self.proc = subprocess.Popen([sys.executable, "-c", WORKER], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, text=True,
                                     env=child_env(str(directory)))
        self.pid = int(self.proc.stdout.readline())
        for statement in setup:
            self("exec(%r)" % statement)

    def __call__(self, expression):
        self.proc.stdin.write(expression + "\n")
        self.proc.stdin.flush()
        return json.loads(self.proc.stdout.readline())

    def stop(self):
        self.proc.stdin.close()
        assert self.proc.wait(timeout=30) == 0


def jobs(queue):
    return "app_jobs_total" + json.dumps({"queue": queue})


def test_remove_and_clear_reach_every_worker_and_the_archive(tmp_path):
    define = ("global JOBS, DEPTH; JOBS = Counter('app_jobs', 'Jobs', ['queue']); "
              "DEPTH = Gauge('app_depth', 'Depth', ['queue'], multiprocess_mode='sum')")
    a, b = Worker(tmp_path, define), Worker(tmp_path, define)
    try:
        a("[JOBS.labels(q).inc(n) for q, n in (('x', 2), ('y', 3))]")
        a("DEPTH.labels('x').set(5)")
        b("[JOBS.labels(q).inc() for q in 'xy']")
        b("DEPTH.labels('x').set(1)")
        assert a("page()") == b("page()") == {
            jobs("x"): 3, jobs("y"): 4, 'app_depth{"queue": "x"}': 6}

        b("JOBS.remove('x')")
        b("DEPTH.clear()")
        assert a("page()") == b("page()") == {jobs("y"): 4}
        a("JOBS.labels('x').inc(5)")  # a's child, kept across b's removal: only this shows
        a("DEPTH.labels('x').inc()")  # a gauge changed since the removal shows its value
        assert b("page()") == {jobs("x"): 5, jobs("y"): 4, 'app_depth{"queue": "x"}': 6}

        a.stop()  # the next scrape folds its file into the archive: a sum keeps its values
        assert b("page()") == {jobs("x"): 5, jobs("y"): 4, 'app_depth{"queue": "x"}': 6}
        b("JOBS.clear()")
        b("JOBS.labels('z').inc()")
        assert b("page()") == {jobs("z"): 1, 'app_depth{"queue": "x"}': 6}
        assert sorted(os.listdir(tmp_path)) == sorted(
            [f"vtr-{b.pid}.series", f"vtr-{b.pid}.shard", "vtr-series.archive",
             "vtr-series.removals"])
        b.stop()
        # The next run starts from a prepared directory: the earlier removals go with the rest.
        prepare_shard_dir(tmp_path, export=False)
        assert os.listdir(tmp_path) == []
        c = Worker(tmp_path, define)
        c("JOBS.labels('x').inc(7)")
        assert c("page()") == {jobs("x"): 7}
        c.stop()
    finally:
        for worker in (a, b):
            if worker.proc.poll() is None:
                worker.stop()


FORK = r'''
import json, os
from vantorel import _native
from vantorel.metrics import Counter, Histogram
from prometheus_client.parser import text_string_to_metric_families

JOBS = Counter("app_forked", "Jobs", ["queue"])
SECONDS = Histogram("app_forked_seconds", "Time", buckets=[1])
kept = JOBS.labels("x")
kept.inc()
SECONDS.observe(0.5)
ready_r, ready_w = os.pipe()
stop_r, stop_w = os.pipe()
child = os.fork()
if child == 0:
    kept.inc(10)
    JOBS.labels("y").inc()
    SECONDS.observe(2)
    os.write(ready_w, b"x")
    os.read(stop_r, 1)
    os._exit(0)
os.read(ready_r, 1)

def state():
    doc = _native.series_text()
    values = {s.name + ",".join(s.labels.values()): s.value
              for f in text_string_to_metric_families(doc) if f.name.startswith("app_")
              for s in f.samples}
    return values, sorted(os.listdir(os.environ["VTR_MULTIPROC_DIR"]))

alive = state()
os.write(stop_w, b"x")
os.waitpid(child, 0)
print(json.dumps([os.getpid(), child, alive, state()]))
'''


def test_a_metric_made_before_a_fork_counts_in_the_child_s_own_file(tmp_path):
    done = subprocess.run([sys.executable, "-c", FORK], env=child_env(str(tmp_path)),
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    parent, child, (alive, files_alive), (dead, files_dead) = json.loads(done.stdout)
    expected = {"app_forked_totalx": 11, "app_forked_totaly": 1,
                "app_forked_seconds_bucket1.0": 1, "app_forked_seconds_bucket+Inf": 2,
                "app_forked_seconds_sum": 0.5 + 2, "app_forked_seconds_count": 2}
    assert alive == dead == expected
    assert {f"vtr-{parent}.series", f"vtr-{child}.series"} <= set(files_alive)
    assert f"vtr-{child}.series" not in files_dead and "vtr-series.archive" in files_dead


def test_a_family_two_workers_define_differently_is_reported_once(tmp_path):
    a = Worker(tmp_path, "Counter('app_orders', 'Orders', ['shop']).labels('s').inc()")
    b = Worker(tmp_path, "Counter('app_orders', 'Orders', ['region']).labels('r').inc(2)")
    try:
        pages = [a("page()") for _ in range(3)]
        warnings = a("warnings")
    finally:
        a.stop()
        b.stop()
    # The page keeps one layout, whole, and leaves out the other's samples.
    assert pages[0] in ({'app_orders_total{"shop": "s"}': 1},
                        {'app_orders_total{"region": "r"}': 2})
    assert pages == [pages[0]] * 3
    assert [w for w in warnings if "app_orders" in w] == [
        f"process {a.pid}: workers define app_orders with different labels, buckets, kinds or "
        "gauge modes; the page shows only the layout seen first and leaves out the samples of "
        "the others. Deploy one definition to every worker"]


def test_inspect_shows_the_busiest_series(tmp_path, capsys):
    define = ("global JOBS, TEMP; JOBS = Counter('app_jobs', 'Jobs', ['queue'], max_series=30);"
              "TEMP = Gauge('app_temp', 'T', multiprocess_mode='liveall')")
    a, b = Worker(tmp_path, define), Worker(tmp_path, define)
    try:
        for worker in (a, b):
            worker("[JOBS.labels('q%d' % i).inc(i) for i in range(40)]")
            worker("TEMP.set(float('nan'))")
        a.stop()  # dead, not folded: inspect only reads
        assert main(["inspect", str(tmp_path)]) == 0
        table = capsys.readouterr().out
        assert main(["inspect", str(tmp_path), "--json"]) == 0
        document = json.loads(capsys.readouterr().out)["metrics"]
    finally:
        if b.proc.poll() is None:
            b.stop()
    lines = table[table.index("Your metrics:"):].splitlines()
    assert lines[:3] == ["Your metrics: 2 families, 32 series, dead workers' counts included",
                         "  app_jobs                                 counter, 31 series  "
                         "(overflow series in use: more label sets than the limit)",
                         "  app_temp                                 gauge, mode liveall, "
                         "1 series"]
    rows = [line.split() for line in lines[5:]]
    # The overflow series holds q30..q39 of both workers: 2 * (30 + ... + 39) = 690.
    assert rows[0] == ['app_jobs_total{queue="<overflow>"}', "counter", "690"]
    assert rows[1] == ['app_jobs_total{queue="q29"}', "counter", "58"]
    assert len(rows) == 26 and rows[-1][:3] == ["...", "and", "7"]
    jobs_family, temp = document["families"]
    assert len(jobs_family["series"]) == 31 and document["refused"] == []
    assert temp["series"] == [{"labels": {}, "overflow": False, "pid": b.pid, "value": "NaN",
                               "count": 0, "buckets": []}]


GAUGE_MODES = ("all", "liveall", "livesum", "sum", "max", "livemax", "min", "livemin",
               "mostrecent", "livemostrecent")

# Every worker sets its gauges once, when it loads the app, and leaves what it set in a file: its
# pid (max, min, all), 1 (sum) and, for mostrecent, minus the time, so that the most recent value
# is the smallest and no maximum could pass for it. Each request adds to a counter by parity, a
# histogram (i % 7 * 4 ms) and a summary (i).
CHURN_APP = """
import os, time
from vantorel.endpoint import make_wsgi_app
from vantorel.metrics import Counter, Gauge, Histogram, Summary

DONE = Counter("churn_done", "Requests done", ["parity"])
SECONDS = Histogram("churn_seconds", "Pretend durations", buckets=(0.001, 0.01, 0.1))
SIZES = Summary("churn_sizes", "Request numbers")
pid = os.getpid()
now = -time.time()
values = {"sum": 1, "livesum": 1, "mostrecent": now, "livemostrecent": now}
for mode in %r:
    Gauge("churn_" + mode, mode, multiprocess_mode=mode).set(values.get(mode, pid))
endpoint = make_wsgi_app()
with open("loaded-%%d" %% pid, "w") as f:
    f.write(repr(now))


def app(environ, start_response):
    if environ["PATH_INFO"] == "/metrics":
        return endpoint(environ, start_response)
    i = int(environ["PATH_INFO"][1:])
    DONE.labels("even" if i %% 2 == 0 else "odd").inc()
    SECONDS.observe(i %% 7 * 0.004)
    SIZES.observe(i)
    start_response("200 OK", [("Content-Type", "text/plain")])
    return [b"ok"]
""" % (GAUGE_MODES,)

# Each worker serves this many requests (scrapes included), then gunicorn replaces it.
MAX_REQUESTS = 3
REQUESTS = 600


@pytest.mark.deployment
@pytest.mark.skipif(shutil.which("prometheus") is None, reason="the prometheus server is not "
                    "installed")
def test_gunicorn_replacing_workers_under_prometheus(tmp_path):
    pytest.importorskip("gunicorn")
    (tmp_path / "churn_app.py").write_text(CHURN_APP)
    directory = tmp_path / "files"
    port, prom_port = free_port(), free_port()
    env = server_env(VTR_MULTIPROC_DIR=str(directory), BIND=f"127.0.0.1:{port}",
                     WEB_CONCURRENCY="3")
    cmd = [sys.executable, "-m", "gunicorn", "-c", str(EXAMPLES / "gunicorn.conf.py"),
           "--chdir", str(tmp_path), "--max-requests", str(MAX_REQUESTS), "churn_app:app"]

    def loaded(master):
        workers = live_children(master)
        return len(workers) == 3 and all(
            (tmp_path / f"loaded-{pid}").exists() for pid in workers) and workers

    def send(numbers, pool):
        assert list(pool.map(lambda i: request(port, f"/{i}")[0], numbers)) == [200] * len(
            numbers)

    started = time.monotonic()
    with running(cmd, port, tmp_path / "gunicorn.log", env, ready_path="/metrics") as master, \
            concurrent.futures.ThreadPoolExecutor(3) as pool:
        with running_prometheus(tmp_path, prom_port, "churn", [port]):
            send(range(0, REQUESTS // 2), pool)
            # SIGKILL of a worker, and a reload, each with no request in flight.
            victim = wait_for(lambda: loaded(master.pid), 30.0, "three loaded workers")[0]
            os.kill(victim, signal.SIGKILL)
            wait_for(lambda: proc_stat(victim) is None, 15.0, "gunicorn to reap the worker")
            old = wait_for(lambda: loaded(master.pid), 30.0, "three loaded workers")
            os.kill(master.pid, signal.SIGHUP)
            wait_for(lambda: not set(loaded(master.pid) or old) & set(old), 30.0,
                     "the reloaded workers")
            send(range(REQUESTS // 2, REQUESTS), pool)

            wait_for(lambda: [v for _, v in query(prom_port, "sum(churn_done_total)")]
                     == [REQUESTS], 30.0, "Prometheus to see every request", interval=0.5)
            time.sleep(2.5)  # a few more scrapes after the last request
            even = len(range(0, REQUESTS, 2))
            expected = {
                'churn_done_total{parity="even"}': even,
                'churn_done_total{parity="odd"}': REQUESTS - even,
                "churn_seconds_count": REQUESTS,
                'churn_seconds_bucket{le="0.001"}': len(range(0, REQUESTS, 7)),
                'churn_seconds_bucket{le="0.01"}': sum(1 for i in range(REQUESTS) if i % 7 < 3),
                "churn_sizes_count": REQUESTS,
                "churn_sizes_sum": sum(range(REQUESTS)),
            }
            for expression, total in expected.items():
                assert value(prom_port, f"sum({expression})") == total, expression
            for family in ("churn_done_total", "churn_seconds_bucket", "churn_seconds_count",
                           "churn_sizes_count", "churn_sizes_sum"):
                assert value(prom_port, f"sum(resets({family}[10m]))") == 0, family

        # Prometheus has stopped: with no scrape to count, the workers stop changing.
        ever = {int(path.name[7:]): float(path.read_text())
                for path in tmp_path.glob("loaded-*")}
        last = {}

        def settled():
            live = loaded(master.pid)
            page = {s.name + "".join(s.labels.values()): s.value for f in
                    text_string_to_metric_families(request(port, "/metrics")[2].decode())
                    if f.name.startswith("churn_") and f.type == "gauge" for s in f.samples}
            if not live or live != loaded(master.pid):
                return False
            files = sorted(os.listdir(directory))
            ever.update((int(path.name[7:]), float(path.read_text()))
                        for path in tmp_path.glob("loaded-*"))
            want = {
                **{f"churn_{mode}{pid}": pid for mode in ("all", "liveall") for pid in live},
                "churn_livesum": 3, "churn_sum": len(ever),
                "churn_max": max(ever), "churn_livemax": max(live),
                "churn_min": min(ever), "churn_livemin": min(live),
                "churn_mostrecent": min(ever.values()),
                "churn_livemostrecent": min(ever[pid] for pid in live),
            }
            want_files = sorted([f"vtr-{pid}.{kind}" for pid in live
                                 for kind in ("series", "shard")] + ["vtr-series.archive"])
            last.update(page=page, want=want, files=files, want_files=want_files)
            return page == want and files == want_files

        wait_for(settled, 30.0, f"the gauges and files of the live workers: {last}")
    # Over REQUESTS requests and the scrapes, gunicorn replaced some 200 workers (a test of
    # under a minute); every one of them loaded the app and set its gauges.
    assert len(ever) >= REQUESTS // MAX_REQUESTS // 2, len(ever)
    print(f"{len(ever)} workers in {time.monotonic() - started:.1f} s")
