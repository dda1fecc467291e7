"""``python -m vantorel demo``: the middleware at work, with nothing but the standard library.

A small WSGI shop API runs under ``wsgiref`` (one thread per connection) on 127.0.0.1, wrapped
in ``WSGIMetricsMiddleware`` with the metrics endpoint at ``/metrics``. Client threads send it
a mix of requests over real HTTP; then the demo prints what the core made of them.
"""

from __future__ import annotations

import collections
import http.client
import json
import random
import socketserver
import sys
import threading
import time
from typing import Any, Callable, Dict, Iterable, List, Optional, TextIO, Tuple
from wsgiref.simple_server import WSGIRequestHandler, WSGIServer, make_server

from . import _core
from .endpoint import make_wsgi_app
from .middleware import ROUTE_KEY, WSGIMetricsMiddleware

# (weight, method, path maker): the traffic mix, fast reads dominating as on a real service.
_MIX: List[Tuple[int, str, Callable[[random.Random], str]]] = [
    (20, "GET", lambda r: "/"),
    (25, "GET", lambda r: "/api/items"),
    (25, "GET", lambda r: f"/api/items/{r.randint(1, 1100)}"),
    (10, "POST", lambda r: "/api/items"),
    (8, "GET", lambda r: f"/api/search?q={r.choice(['lamp', 'desk', 'chair', 'mug'])}"),
    (1, "GET", lambda r: "/api/report"),
    (6, "GET", lambda r: "/api/checkout"),
    (5, "GET", lambda r: f"/static/{r.choice(['app.js', 'site.css', 'logo.png', 'x.map'])}"),
]

_STATUS_TEXT = {200: "200 OK", 201: "201 Created", 404: "404 Not Found",
                500: "500 Internal Server Error", 503: "503 Service Unavailable"}


_ROUTES = frozenset(["/", "/api/items", "/api/search", "/api/report", "/api/checkout"])


def _shop_app(environ: Dict[str, Any], start_response: Callable[..., Any]) -> Iterable[bytes]:
    """The demo's own application: latencies and failures typical of a small API."""
    rng = random.Random()
    method = environ["REQUEST_METHOD"]
    path = environ.get("PATH_INFO", "/")
    status, sleep_ms = 200, 0.0
    body: Dict[str, Any] = {"ok": True}
    # Tell the middleware the route, as a framework would: 1100 item ids make one route, and
    # only paths that no route serves count as <unmatched>.
    if path in _ROUTES:
        environ[ROUTE_KEY] = path
    elif path.startswith("/api/items/"):
        environ[ROUTE_KEY] = "/api/items/{item_id}"
    if path == "/":
        sleep_ms = rng.uniform(0.0, 1.0)
    elif path == "/api/items" and method == "POST":
        status, sleep_ms = 201, rng.uniform(5.0, 15.0)
    elif path == "/api/items":
        sleep_ms = rng.uniform(1.0, 4.0)
        body = {"items": list(range(20))}
    elif path.startswith("/api/items/"):
        item = path.rsplit("/", 1)[1]
        sleep_ms = rng.uniform(2.0, 8.0)
        if not item.isdigit() or int(item) > 1000:
            status, body = 404, {"error": "no such item"}
    elif path == "/api/search":
        sleep_ms = rng.uniform(20.0, 80.0)
    elif path == "/api/report":
        sleep_ms = rng.uniform(150.0, 400.0)
    elif path == "/api/checkout":
        sleep_ms = rng.uniform(3.0, 12.0)
        roll = rng.random()
        if roll < 0.15:
            status, body = 500, {"error": "payment backend failed"}
        elif roll < 0.25:
            status, body = 503, {"error": "try again later"}
    else:
        status, body = 404, {"error": "not found"}
    if sleep_ms:
        time.sleep(sleep_ms / 1000.0)
    data = json.dumps(body).encode()
    start_response(_STATUS_TEXT[status], [("Content-Type", "application/json"),
                                          ("Content-Length", str(len(data)))])
    return [data]


def _router(app: Callable[..., Iterable[bytes]]) -> Callable[..., Iterable[bytes]]:
    metrics = make_wsgi_app()

    def route(environ: Dict[str, Any], start_response: Callable[..., Any]) -> Iterable[bytes]:
        if environ.get("PATH_INFO") == "/metrics":
            return metrics(environ, start_response)
        return app(environ, start_response)

    return route


class _Server(socketserver.ThreadingMixIn, WSGIServer):
    daemon_threads = True
    request_queue_size = 128  # several clients connect at once; the default of 5 drops SYNs


class _QuietHandler(WSGIRequestHandler):
    def log_message(self, format: str, *args: Any) -> None:  # noqa: A002 - the base's name
        pass


class _Progress:
    def __init__(self, total: int, stream: TextIO) -> None:
        self.total = total
        self.stream = stream
        self.live = bool(getattr(stream, "isatty", lambda: False)())
        self.started = time.perf_counter()

    def line(self, done: int) -> str:
        filled = done * 40 // self.total
        elapsed = max(time.perf_counter() - self.started, 1e-9)
        return (f"[{'#' * filled}{'.' * (40 - filled)}] {done}/{self.total} "
                f"{done * 100 // self.total:3d}%  {done / elapsed:6.0f} req/s")

    def update(self, done: int) -> None:
        if self.live:
            self.stream.write("\r" + self.line(done))
            self.stream.flush()

    def finish(self, done: int) -> None:
        self.stream.write(("\r" if self.live else "") + self.line(done) + "\n")
        self.stream.flush()


def _drive(port: int, plan: List[Tuple[str, str]], concurrency: int, progress: _Progress,
           halfway: Callable[[], None]) -> Tuple["collections.Counter[int]", int]:
    """Sends every planned request over HTTP, calling ``halfway`` once half of them are done;
    returns the statuses seen and the number of requests that failed to connect."""
    statuses: collections.Counter[int] = collections.Counter()
    lock = threading.Lock()
    state = {"next": 0, "done": 0, "failed": 0}

    def worker() -> None:
        while True:
            with lock:
                index = state["next"]
                if index >= len(plan):
                    return
                state["next"] = index + 1
            method, path = plan[index]
            status: Optional[int] = None
            try:
                conn = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
                try:
                    body = b'{"name": "lamp"}' if method == "POST" else None
                    headers = {"Content-Type": "application/json"} if body else {}
                    conn.request(method, path, body=body, headers=headers)
                    response = conn.getresponse()
                    response.read()
                    status = response.status
                finally:
                    conn.close()
            except (OSError, http.client.HTTPException):
                status = None
            with lock:
                state["done"] += 1
                if status is None:
                    state["failed"] += 1
                else:
                    statuses[status] += 1

    threads = [threading.Thread(target=worker, daemon=True) for _ in range(concurrency)]
    for t in threads:
        t.start()
    called = False
    while any(t.is_alive() for t in threads):
        progress.update(state["done"])
        if not called and state["done"] * 2 >= len(plan):
            called = True
            halfway()
        time.sleep(0.05)
    if not called:
        halfway()
    for t in threads:
        t.join()
    progress.finish(state["done"])
    return statuses, state["failed"]


def _fetch(port: int, path: str) -> Tuple[int, str, str]:
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
    try:
        conn.request("GET", path)
        response = conn.getresponse()
        return response.status, response.getheader("Content-Type", ""), response.read().decode()
    finally:
        conn.close()


def run_demo(requests: int = 3000, concurrency: int = 8, seed: Optional[int] = None,
             cpu_alert: float = 50.0, rss_alert_mb: float = 256.0,
             out: Optional[TextIO] = None, err: Optional[TextIO] = None) -> int:
    out = out or sys.stdout
    err = err or sys.stderr
    # The demo counts its own requests only: no shard directory, an empty store.
    _core.set_multiproc_dir(None)
    _core.clear_requests()
    rng = random.Random(seed)
    weights = [w for w, _, _ in _MIX]
    plan = [(method, make(rng)) for _, method, make in rng.choices(_MIX, weights, k=requests)]

    app = WSGIMetricsMiddleware(_shop_app)
    server = make_server("127.0.0.1", 0, _router(app), server_class=_Server,
                         handler_class=_QuietHandler)
    port = server.server_address[1]
    serving = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.05},
                               daemon=True)
    serving.start()
    try:
        print(f"Serving a small WSGI app with WSGIMetricsMiddleware on http://127.0.0.1:{port}",
              file=out)
        print(f"Sending {requests} requests from {concurrency} threads...", file=out)
        out.flush()
        # Every measurement reports the CPU used since the one before: start the interval now,
        # measure the first half of the run with snapshot() and the second with check_alerts().
        _core.snapshot()
        halfway: List[Any] = []
        started = time.perf_counter()
        statuses, failed = _drive(port, plan, concurrency, _Progress(requests, err),
                                  lambda: halfway.append(_core.snapshot()))
        elapsed = time.perf_counter() - started
        alerts = _core.check_alerts(cpu_percent=cpu_alert, memory_rss_mb=rss_alert_mb)
        time.sleep(0.5)  # let the scrape below measure an interval of its own, not a few µs
        metrics_status, content_type, metrics = _fetch(port, "/metrics")
    finally:
        server.shutdown()
        server.server_close()

    seen = ", ".join(f"{code} x{n}" for code, n in sorted(statuses.items()))
    print(f"\nSent {requests} requests in {elapsed:.1f} s: {seen}"
          + (f", {failed} failed to connect" if failed else ""), file=out)

    agg = _core.aggregate()
    print("\n== Aggregate: aggregate() ==", file=out)
    print(f"  {agg!r}", file=out)
    for key, value in agg.to_dict().items():
        shown = f"{value:.3f}" if isinstance(value, float) else str(value)
        print(f"  {key:<16} {shown}", file=out)
    window = _core.get_max_requests()
    if requests > window:
        print(f"  (the ring buffer keeps the newest {window} requests; the figures cover those)",
              file=out)

    routes = collections.Counter(r.path for r in _core.get_requests())
    print("\n== Requests by path: get_requests() ==", file=out)
    for path, n in routes.most_common(8):
        print(f"  {n:>6}  {path}", file=out)

    snap = halfway[0]
    print("\n== Process snapshot: snapshot(), halfway through the run ==", file=out)
    print(f"  {snap!r}", file=out)
    print(f"  CPU {snap.cpu_percent:.1f}% over the first half, resident "
          f"{snap.memory_rss_mb:.1f} MB, {snap.threads} threads besides the main one", file=out)

    print(f"\n== Alerts: check_alerts(cpu_percent={cpu_alert:g}, "
          f"memory_rss_mb={rss_alert_mb:g}), at the end of the run ==", file=out)
    if not alerts:
        print("  none fired", file=out)
    for alert in alerts:
        print(f"  {alert['severity']}: {alert['metric']} {alert['value']:.1f} > "
              f"{alert['threshold']:g}", file=out)

    print(f"\n== Prometheus text: GET /metrics -> {metrics_status}, {content_type} ==", file=out)
    out.write(metrics)
    out.flush()
    return 0 if metrics_status == 200 and not failed else 1
