"""The whole middleware per request, the application called in process: the bare application, the
plainest timing middleware (the floor), vantorel's middleware with its defaults, and the peers.
The floor and each middleware are given as what they add to the bare application.

    python bench/middleware.py [--quick]
"""
from __future__ import annotations

import asyncio
import sys
from time import perf_counter
from typing import Dict, Optional

from harness import (Context, Results, Table, Variant, added_ratio, format_ns, measure,
                     paired_difference, run_alone, try_import, x)

from vantorel import _core

PATH = "/items/42"


class AsgiTimingFloor:
    """The plainest ASGI timing middleware: it wraps send, reads perf_counter and makes one
    record_request call with the raw path when the response ends."""

    def __init__(self, app):
        self.app = app

    async def __call__(self, scope, receive, send):
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return
        start = perf_counter()
        status = 500

        async def send_wrapper(message):
            nonlocal status
            if message["type"] == "http.response.start":
                status = message["status"]
            await send(message)
            if message["type"] == "http.response.body" and not message.get("more_body", False):
                _core.record_request(scope["method"], scope["path"], status,
                                     (perf_counter() - start) * 1000.0)

        await self.app(scope, receive, send_wrapper)


def wsgi_timing_floor(app):
    """The plainest WSGI timing middleware: it wraps start_response and the response, reads
    perf_counter and makes one record_request call with the raw path when the response ends."""

    def middleware(environ, start_response):
        start = perf_counter()
        status = 500

        def start_response_wrapper(status_line, headers, exc_info=None):
            nonlocal status
            status = int(status_line[:3])
            return start_response(status_line, headers, exc_info)

        response = app(environ, start_response_wrapper)
        try:
            yield from response
        finally:
            if hasattr(response, "close"):
                response.close()
            _core.record_request(environ["REQUEST_METHOD"], environ["PATH_INFO"], status,
                                 (perf_counter() - start) * 1000.0)

    return middleware


def asgi_scope():
    return {"type": "http", "asgi": {"version": "3.0", "spec_version": "2.3"},
            "http_version": "1.1", "method": "GET", "scheme": "http", "path": PATH,
            "raw_path": PATH.encode(), "query_string": b"", "root_path": "",
            "headers": [(b"host", b"testserver"), (b"user-agent", b"bench")],
            "client": ("127.0.0.1", 50000), "server": ("testserver", 80)}


def asgi_runner(app, headers=()):
    """run(n): n requests through the ASGI app, on one event loop, no network; ``headers`` are
    added to the request's."""
    scope = asgi_scope()
    scope["headers"] += list(headers)
    event_loop = asyncio.new_event_loop()
    request = {"type": "http.request", "body": b"", "more_body": False}

    async def receive():
        return request

    async def send(message):
        if message["type"] == "http.response.start" and message["status"] != 200:
            raise AssertionError(message)

    async def many(n):
        for _ in range(n):
            await app(dict(scope), receive, send)

    def run(n):
        event_loop.run_until_complete(many(n))

    return run


def fastapi_app():
    """A trivial FastAPI endpoint; None where FastAPI does not install (PyPy)."""
    fastapi = try_import("fastapi")
    if fastapi is None:
        return None
    app = fastapi.FastAPI()

    @app.get("/items/{item_id}")
    async def item(item_id: int):  # async: a plain def would run in a thread pool
        return {"item_id": item_id}

    return app


def starlette_app():
    from starlette.applications import Starlette
    from starlette.responses import JSONResponse
    from starlette.routing import Route

    async def item(request):
        return JSONResponse({"item_id": request.path_params["item_id"]})

    return Starlette(routes=[Route("/items/{item_id:int}", item)])


def wsgi_runner(app, extra_environ=None):
    from werkzeug.test import EnvironBuilder
    builder = EnvironBuilder(path=PATH, method="GET")
    environ = builder.get_environ()
    builder.close()
    environ.update(extra_environ or {})
    status = []

    def start_response(s, headers, exc_info=None):
        status.append(s)

    def run(n):
        for _ in range(n):
            env = dict(environ)
            result = app(env, start_response)
            for _chunk in result:
                pass
            close = getattr(result, "close", None)
            if close:
                close()
        if not status[-1].startswith("200"):
            raise AssertionError(status[-1])
        status.clear()

    return run


def flask_app():
    flask = try_import("flask")
    if flask is None:
        return None
    app = flask.Flask("bench")

    @app.route("/items/<int:item_id>")
    def item(item_id):
        return {"item_id": item_id}

    return app


def check_recording(variants: Dict[str, Variant], expected: Dict[str, Optional[str]]) -> None:
    """One request through each contender: the floor records the raw path, vantorel the route
    template, the others nothing in vantorel's store."""
    for key, variant in variants.items():
        _core.clear_requests()
        variant.run(1)
        recorded = [(r.path, r.status_code) for r in _core.get_requests()]
        want = [(expected[key], 200)] if expected.get(key) else []
        assert recorded == want, (key, recorded, want)
    _core.clear_requests()


def added_rows(table: Table, t, stack: str, labels: Dict[str, str]) -> Dict[str, float]:
    """Rows of what each contender adds to the bare application, within each repeat; returns the
    ratio of each middleware's addition to the floor's."""
    to_floor = {}
    for key, label in labels.items():
        if key not in t:
            continue
        added = paired_difference(t, key, "bare")
        figures = {"added_ns": added}
        compare = f"+{format_ns(added)} per request"
        if key != "floor":
            to_floor[key] = figures["to_floor"] = added_ratio(t, key, "floor", "bare")
            compare += f", {x(to_floor[key])} the floor's"
        if key not in ("floor", "vantorel") and "vantorel" in t:
            figures["to_vantorel"] = added_ratio(t, key, "vantorel", "bare")
            compare += f", {x(figures['to_vantorel'])} vantorel's"
        kind = {"floor": "floor", "vantorel": "vantorel"}.get(key, "peer")
        table.add(f"{stack}_{key}", label, t[key], compare, kind, **figures)
    return to_floor


def asgi_rows(ctx: Context, results: Results, table: Table) -> Optional[float]:
    from vantorel.middleware import MetricsMiddleware

    make = fastapi_app
    framework, template = "FastAPI", "/items/{item_id}"
    if make() is None:
        make = starlette_app
        framework, template = "Starlette", "/items/{item_id:int}"
        table.note("ASGI: Starlette in place of FastAPI, which does not install on "
                   "PyPy; prometheus-fastapi-instrumentator needs FastAPI")

    def wrapped(middleware, **options):
        app = make()
        app.add_middleware(middleware, **options)
        return Variant(asgi_runner(app))

    variants = {"bare": Variant(asgi_runner(make())), "floor": wrapped(AsgiTimingFloor),
                "vantorel": wrapped(MetricsMiddleware)}
    starlette_exporter = try_import("starlette_exporter")
    if starlette_exporter is not None:
        variants["starlette_exporter"] = wrapped(starlette_exporter.PrometheusMiddleware)
    instrumentator = try_import("prometheus_fastapi_instrumentator")
    if instrumentator is not None and framework == "FastAPI":
        app = make()
        instrumentator.Instrumentator().instrument(app)
        variants["instrumentator"] = Variant(asgi_runner(app))
    check_recording(variants, {"floor": PATH, "vantorel": template})
    t = measure(variants, ctx.middleware_repeats, ctx.middleware_s, equal_calls=True)
    table.add("asgi_bare", f"{framework} app alone (ASGI)", t["bare"], "", "floor")
    to_floor = added_rows(table, t, "asgi", {
        "floor": "pass-through floor: send wrapped, one record_request",
        "vantorel": "vantorel MetricsMiddleware",
        "starlette_exporter": "starlette_exporter PrometheusMiddleware",
        "instrumentator": "prometheus-fastapi-instrumentator"})
    return to_floor["vantorel"]


def wsgi_rows(ctx: Context, results: Results, table: Table) -> Optional[float]:
    from vantorel.middleware import WSGIMetricsMiddleware

    if flask_app() is None:
        table.note("WSGI rows left out: Flask is not installed")
        return None
    variants = {"bare": Variant(wsgi_runner(flask_app())),
                "floor": Variant(wsgi_runner(wsgi_timing_floor(flask_app()))),
                "vantorel": Variant(wsgi_runner(WSGIMetricsMiddleware(flask_app())))}
    flask_exporter = try_import("prometheus_flask_exporter")
    if flask_exporter is not None:
        app = flask_app()
        flask_exporter.PrometheusMetrics(app, registry=try_import("prometheus_client")
                                         .CollectorRegistry())
        variants["flask_exporter"] = Variant(wsgi_runner(app))
    check_recording(variants, {"floor": PATH, "vantorel": "/items/<int:item_id>"})
    t = measure(variants, ctx.middleware_repeats, ctx.middleware_s, equal_calls=True)
    table.add("wsgi_bare", "Flask app alone (WSGI)", t["bare"], "", "floor")
    to_floor = added_rows(table, t, "wsgi", {
        "floor": "pass-through floor: start_response and response wrapped, one record_request",
        "vantorel": "vantorel WSGIMetricsMiddleware",
        "flask_exporter": "prometheus-flask-exporter"})
    return to_floor["vantorel"]


def section(ctx: Context, results: Results) -> None:
    table = results.table("middleware", "The whole middleware per request, app called in process")
    _core.set_multiproc_dir(None)
    ratios = {"ASGI": asgi_rows(ctx, results, table), "WSGI": wsgi_rows(ctx, results, table)}
    _core.clear_requests()
    table.print()
    if sys.implementation.name == "pypy":
        return  # the goal is CPython's; PyPy's figures are shown, not judged
    for interface, ratio in ratios.items():
        if ratio is None:
            results.goal(f"{interface} middleware against the pass-through floor",
                         "≤ 2× the floor's added cost", "not measured here", None)
        else:
            results.goal(f"{interface} middleware against the pass-through floor",
                         "≤ 2× the floor's added cost", x(ratio), ratio <= 2)


if __name__ == "__main__":
    run_alone("middleware")
