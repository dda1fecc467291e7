"""The ASGI and WSGI middleware and the metrics endpoint apps, driven in-process.

Real servers over HTTP are in test_servers.py; here the messages an ASGI server or a WSGI server
would exchange are scripted, so that disconnects, failing sends and exceptions happen exactly
where a test wants them.
"""

from __future__ import annotations

import asyncio
import gzip
import io
import logging
import os
import re
import sys
import threading
import time
from typing import Any, Dict, List, Optional

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from vantorel import _core, _native, middleware, series
from vantorel.endpoint import make_asgi_app, make_wsgi_app
from vantorel.middleware import MetricsMiddleware, WSGIMetricsMiddleware, recorder, routes


def recorded() -> List[tuple]:
    return [(r.method, r.path, r.status_code) for r in _core.get_requests()]


# ---------------------------------------------------------------------------------------------
# An ASGI server in miniature


def http_scope(path: str = "/", method: str = "GET") -> Dict[str, Any]:
    return {
        "type": "http", "asgi": {"version": "3.0"}, "http_version": "1.1",
        "method": method, "scheme": "http", "path": path, "raw_path": path.encode(),
        "root_path": "", "query_string": b"", "headers": [(b"host", b"testserver")],
        "client": ("127.0.0.1", 50000), "server": ("127.0.0.1", 8000),
    }


class Client:
    """Plays the server's side of one ASGI HTTP request."""

    def __init__(self, disconnect_after_body: bool = False,
                 fail_send_on: Optional[str] = None, send_delay: float = 0.0) -> None:
        self.sent: List[dict] = []
        self.disconnect_after_body = disconnect_after_body
        self.fail_send_on = fail_send_on
        self.send_delay = send_delay
        self._request_sent = False

    async def receive(self) -> dict:
        if not self._request_sent:
            self._request_sent = True
            return {"type": "http.request", "body": b"", "more_body": False}
        if self.disconnect_after_body:
            return {"type": "http.disconnect"}
        await asyncio.sleep(3600)
        raise AssertionError("unreachable")

    async def send(self, message: dict) -> None:
        if self.fail_send_on is not None and message["type"] == self.fail_send_on:
            raise OSError("connection reset by peer")
        if self.send_delay and not message.get("more_body", False):
            await asyncio.sleep(self.send_delay)
        self.sent.append(message)

    def status(self) -> Optional[int]:
        starts = [m for m in self.sent if m["type"] == "http.response.start"]
        return starts[0]["status"] if starts else None

    def body(self) -> bytes:
        return b"".join(m.get("body", b"") for m in self.sent if m["type"] == "http.response.body")


def serve(app: Any, path: str = "/", method: str = "GET", client: Optional[Client] = None,
          scope: Optional[dict] = None) -> Client:
    client = client or Client()
    asyncio.run(app(scope or http_scope(path, method), client.receive, client.send))
    return client


async def plain_response(send: Any, status: int = 200, body: bytes = b"ok") -> None:
    await send({"type": "http.response.start", "status": status,
                "headers": [(b"content-type", b"text/plain")]})
    await send({"type": "http.response.body", "body": body})


async def hello_app(scope: dict, receive: Any, send: Any) -> None:
    await plain_response(send)


class Boom(Exception):
    pass


# ---------------------------------------------------------------------------------------------
# ASGI: what is recorded and when


def test_asgi_records_method_path_status_and_duration_until_the_last_send():
    client = Client(send_delay=0.05)  # the final body takes 50 ms to go out

    async def app(scope, receive, send):
        await send({"type": "http.response.start", "status": 201, "headers": []})
        await send({"type": "http.response.body", "body": b"a", "more_body": True})
        await asyncio.sleep(0.03)
        await send({"type": "http.response.body", "body": b"b"})

    serve(MetricsMiddleware(app), "/orders", "POST", client)
    assert client.status() == 201 and client.body() == b"ab"
    [request] = _core.get_requests()
    assert (request.method, request.path, request.status_code) == ("POST", "/orders", 201)
    assert request.duration_ms >= 80.0


def test_asgi_records_when_the_response_is_complete_not_when_the_app_returns():
    seen_inside: List[list] = []

    async def app(scope, receive, send):
        await plain_response(send, 202)
        # Work after the response (Starlette's background tasks) is not the client's wait.
        seen_inside.append(recorded())

    serve(MetricsMiddleware(app), "/jobs")
    assert seen_inside == [[("GET", "/jobs", 202)]]
    assert recorded() == [("GET", "/jobs", 202)]


@pytest.mark.parametrize("after_start", [False, True], ids=["before-start", "after-start"])
def test_asgi_handler_exception_is_recorded_as_500_and_propagates_unchanged(after_start):
    error = Boom("handler failed")

    async def app(scope, receive, send):
        if after_start:
            await send({"type": "http.response.start", "status": 200, "headers": []})
            await send({"type": "http.response.body", "body": b"x", "more_body": True})
        raise error

    with pytest.raises(Boom) as caught:
        serve(MetricsMiddleware(app), "/fail")
    assert caught.value is error
    assert recorded() == [("GET", "/fail", 500)]


def test_asgi_exception_after_the_response_completed_keeps_the_sent_status():
    async def app(scope, receive, send):
        await plain_response(send, 200)
        raise Boom("background task failed")

    with pytest.raises(Boom):
        serve(MetricsMiddleware(app), "/done")
    assert recorded() == [("GET", "/done", 200)]


def test_asgi_error_middleware_inside_records_the_500_it_sends_once():
    async def app(scope, receive, send):
        # What Starlette's ServerErrorMiddleware does: answer 500, then re-raise.
        await plain_response(send, 500, b"Internal Server Error")
        raise Boom("handler failed")

    with pytest.raises(Boom):
        serve(MetricsMiddleware(app), "/err")
    assert recorded() == [("GET", "/err", 500)]


@pytest.mark.parametrize(
    "script, expected_status",
    [
        ("cancel-before-start", 499),
        ("cancel-mid-body", 206),
        ("disconnect-then-return", 206),
        ("disconnect-before-start", 499),
        ("send-fails-mid-body", 206),
    ],
    ids=lambda v: str(v),
)
def test_asgi_client_that_leaves_mid_response_is_still_recorded(script, expected_status):
    client = Client(disconnect_after_body=True,
                    fail_send_on="http.response.body" if script == "send-fails-mid-body"
                    else None)

    async def app(scope, receive, send):
        await receive()
        if script.endswith("before-start"):
            if script.startswith("cancel"):
                raise asyncio.CancelledError()
            assert (await receive())["type"] == "http.disconnect"
            return
        await send({"type": "http.response.start", "status": 206, "headers": []})
        if script == "cancel-mid-body":
            raise asyncio.CancelledError()
        if script == "disconnect-then-return":
            assert (await receive())["type"] == "http.disconnect"
            return  # a streaming response stops when its client has gone
        await send({"type": "http.response.body", "body": b"x", "more_body": True})

    if script.startswith("cancel"):
        with pytest.raises(asyncio.CancelledError):
            serve(MetricsMiddleware(app), "/stream", client=client)
    elif script == "send-fails-mid-body":
        with pytest.raises(OSError, match="connection reset by peer"):
            serve(MetricsMiddleware(app), "/stream", client=client)
    else:
        serve(MetricsMiddleware(app), "/stream", client=client)
    assert recorded() == [("GET", "/stream", expected_status)]


def test_asgi_invalid_message_refused_by_the_server_is_a_500_not_a_disconnect():
    client = Client(fail_send_on=None)

    async def strict_send(message):
        raise RuntimeError("Expected ASGI message 'http.response.start'")

    async def app(scope, receive, send):
        await send({"type": "http.response.body", "body": b"too early"})

    with pytest.raises(RuntimeError):
        asyncio.run(MetricsMiddleware(app)(http_scope("/bad"), client.receive, strict_send))
    assert recorded() == [("GET", "/bad", 500)]


def test_asgi_app_that_returns_without_a_response_is_recorded_as_500():
    async def app(scope, receive, send):
        return None

    serve(MetricsMiddleware(app), "/nothing")
    assert recorded() == [("GET", "/nothing", 500)]


@pytest.mark.parametrize(
    "messages",
    [
        [{"type": "http.response.start", "status": 200, "headers": [], "trailers": True},
         {"type": "http.response.body", "body": b"x"},
         {"type": "http.response.trailers", "headers": [], "more_trailers": False}],
        [{"type": "http.response.start", "status": 200, "headers": []},
         {"type": "http.response.pathsend", "path": "/etc/hostname"}],
        [{"type": "http.response.start", "status": 200, "headers": []},
         {"type": "http.response.zerocopysend", "file": 0, "more_body": False}],
    ],
    ids=["trailers", "pathsend", "zerocopysend"],
)
def test_asgi_response_extensions_end_the_request_at_their_final_message(messages):
    progress: List[int] = []

    async def app(scope, receive, send):
        for message in messages:
            progress.append(len(_core.get_requests()))
            await send(message)
        progress.append(len(_core.get_requests()))

    serve(MetricsMiddleware(app), "/file")
    # Nothing is recorded until the last message has gone out, and then exactly once.
    assert progress == [0] * len(messages) + [1]
    assert recorded() == [("GET", "/file", 200)]


@pytest.mark.parametrize("kind", ["lifespan", "websocket"])
def test_asgi_non_http_scopes_pass_through_unrecorded(kind):
    seen = []

    async def app(scope, receive, send):
        seen.append(scope["type"])

    asyncio.run(MetricsMiddleware(app)({"type": kind}, Client().receive, Client().send))
    assert seen == [kind]
    assert recorded() == []


# ---------------------------------------------------------------------------------------------
# Options: exclusions, caps


EXCLUSION_CASES = [
    ({}, "GET", "/metrics", False),
    ({}, "GET", "/metrics/", False),
    ({}, "GET", "/metrics/x", True),
    ({"metrics_path": None}, "GET", "/metrics", True),
    ({"metrics_path": "/internal/metrics"}, "GET", "/internal/metrics", False),
    ({"metrics_path": "/internal/metrics"}, "GET", "/metrics", True),
    ({"exclude_paths": [r"/health"]}, "GET", "/health", False),
    ({"exclude_paths": [r"/health"]}, "GET", "/healthz", True),  # the whole path must match
    ({"exclude_paths": [r"/static/.*"]}, "GET", "/static/a/b.css", False),
    ({"exclude_paths": r"/static/.*"}, "GET", "/api/static/a", True),
    ({"exclude_methods": ["options", "HEAD"]}, "OPTIONS", "/x", False),
    ({"exclude_methods": ["options", "HEAD"]}, "head", "/x", False),
    ({"exclude_methods": ["OPTIONS"]}, "GET", "/x", True),
    # A bare str is one pattern or one method, not a sequence of one-character ones.
    ({"exclude_paths": "/healthz"}, "GET", "/healthz", False),
    ({"exclude_paths": "/healthz"}, "GET", "/", True),
    ({"exclude_methods": "get"}, "GET", "/x", False),
    # Patterns are joined into one alternation only where that keeps their meaning.
    ({"exclude_paths": [r"/a/(x|y)", r"/b/\d+"]}, "GET", "/b/12", False),
    ({"exclude_paths": [r"/a/(x|y)", r"/b/\d+"]}, "GET", "/a/x/b/1", True),
    ({"exclude_paths": [r"/(a)", r"/(\w)\1"]}, "GET", "/bb", False),
    ({"exclude_paths": [r"/(?P<x>a)", r"/(?P<x>b)"]}, "GET", "/b", False),
    ({"exclude_paths": [r"/x", r"(?i)/abc"]}, "GET", "/X", True),
    ({"exclude_paths": [re.compile(r"/ABC", re.I), r"/x.*"]}, "GET", "/abc", False),
]
EXCLUSION_IDS = [f"{m} {p} {'recorded' if r else 'skipped'} {o}" for o, m, p, r in
                 EXCLUSION_CASES]


@pytest.mark.parametrize("options, method, path, is_recorded", EXCLUSION_CASES,
                         ids=EXCLUSION_IDS)
def test_exclusions_asgi(options, method, path, is_recorded):
    client = serve(MetricsMiddleware(hello_app, **options), path, method)
    assert client.status() == 200
    assert recorded() == ([(method, path, 200)] if is_recorded else [])


@pytest.mark.parametrize("options, method, path, is_recorded", EXCLUSION_CASES,
                         ids=EXCLUSION_IDS)
def test_exclusions_wsgi(options, method, path, is_recorded):
    status, _, _ = call_wsgi(WSGIMetricsMiddleware(wsgi_hello, **options), path, method)
    assert status == "200 OK"
    assert recorded() == ([(method, path, 200)] if is_recorded else [])


def test_long_paths_and_methods_are_cut():
    long_path = "/" + "a" * 5000
    serve(MetricsMiddleware(hello_app, max_path_length=100), long_path, "X" * 100)
    serve(MetricsMiddleware(hello_app, max_path_length=None), long_path)
    serve(MetricsMiddleware(hello_app), long_path)
    assert recorded() == [("X" * middleware.MAX_METHOD_LENGTH, long_path[:100], 200),
                          ("GET", long_path, 200),
                          ("GET", long_path[:middleware.DEFAULT_MAX_PATH_LENGTH], 200)]


@settings(max_examples=60, deadline=None)
@given(path=st.text(st.characters(blacklist_categories=("Cs",)), max_size=300),
       limit=st.integers(1, 64))
def test_any_path_is_recorded_as_its_prefix(path, limit):
    _core.clear_requests()
    serve(MetricsMiddleware(hello_app, max_path_length=limit, metrics_path=None), path)
    assert recorded() == [("GET", path[:limit], 200)]


@pytest.mark.parametrize(
    "kwargs, error, message",
    [
        ({"max_path_length": 0}, ValueError, "max_path_length must be at least 1"),
        ({"max_path_length": 2.5}, TypeError, "max_path_length must be an int or None"),
        ({"max_path_length": True}, TypeError, "max_path_length must be an int or None"),
        ({"exclude_paths": ["("]}, Exception, None),
        ({"exclude_paths": [b"/x"]}, TypeError,
         "exclude_paths must hold regular expressions (str or re.Pattern)"),
        ({"exclude_methods": [None]}, TypeError, "exclude_methods must hold str"),
    ],
    ids=["zero", "float", "bool", "bad-regex", "bytes-pattern", "not-a-method"],
)
def test_bad_options_fail_at_construction_not_per_request(kwargs, error, message):
    for cls in (MetricsMiddleware, WSGIMetricsMiddleware):
        with pytest.raises(error) as caught:
            cls(hello_app, **kwargs)
        if message is not None:
            assert str(caught.value) == message


def test_status_outside_the_core_range_is_recorded_as_0():
    async def app(scope, receive, send):
        await plain_response(send, 70000)

    serve(MetricsMiddleware(app), "/odd")
    assert recorded() == [("GET", "/odd", 0)]


# ---------------------------------------------------------------------------------------------
# The middleware's own failures stay its own


class BrokenCore:
    def __init__(self, error: BaseException) -> None:
        self.calls = 0
        self.error = error

    def __call__(self, *args: Any) -> None:  # the one call that ends a request
        self.calls += 1
        raise self.error


@pytest.mark.parametrize("error", [RuntimeError("store unavailable"),
                                   _core.PanicException("store unavailable")],
                         ids=["exception", "panic"])
def test_a_failing_record_never_fails_the_request_and_is_logged_once(error, monkeypatch,
                                                                     caplog):
    broken = BrokenCore(error)
    monkeypatch.setattr(recorder, "_series_finish", broken)
    monkeypatch.setattr(recorder, "_WARNED", False)
    caplog.set_level(logging.DEBUG, logger="vantorel")
    for _ in range(3):
        assert serve(MetricsMiddleware(hello_app), "/a").body() == b"ok"
    status, _, body = call_wsgi(WSGIMetricsMiddleware(wsgi_hello), "/b")
    assert (status, body) == ("200 OK", b"hello")
    assert broken.calls == 4
    levels = [(r.levelname, r.getMessage()) for r in caplog.records]
    assert levels == [("WARNING", "vantorel: a request could not be recorded")] + [
        ("DEBUG", "vantorel: a request could not be recorded")] * 3
    assert caplog.records[0].exc_info[1] is error


def test_a_route_that_fails_to_match_falls_back_to_the_raw_path():
    class ExplodingRoute:
        path = "/never"
        endpoint = None

        def matches(self, scope):
            raise KeyError("broken route")

    class App:
        routes = [ExplodingRoute()]

        async def __call__(self, scope, receive, send):
            await plain_response(send)

    serve(MetricsMiddleware(App()), "/items/3")
    assert recorded() == [("GET", "/items/3", 200)]


def test_first_request_hook_runs_once_per_process(monkeypatch):
    calls: List[int] = []

    def hook():
        calls.append(os.getpid())
        time.sleep(0.05)  # long enough for the other threads' first requests to arrive

    monkeypatch.setattr(recorder, "_first_request_in_process", hook)
    monkeypatch.setattr(recorder, "_PROCESS_READY", False)
    threads = [threading.Thread(target=call_wsgi, args=(WSGIMetricsMiddleware(wsgi_hello), "/b"))
               for _ in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    serve(MetricsMiddleware(hello_app), "/a")
    assert calls == [os.getpid()]
    assert len(recorded()) == 5
    child = os.fork()
    if child == 0:  # a pre-forked worker: its own first request
        try:
            call_wsgi(WSGIMetricsMiddleware(wsgi_hello), "/c")
            call_wsgi(WSGIMetricsMiddleware(wsgi_hello), "/c")
            os._exit(0 if calls[1:] == [os.getpid()] else 1)
        finally:
            os._exit(2)
    _, wait_status = os.waitpid(child, 0)
    assert os.waitstatus_to_exitcode(wait_status) == 0
    assert calls == [os.getpid()]


def test_an_application_provided_route_key_wins():
    async def app(scope, receive, send):
        scope[middleware.ROUTE_KEY] = "/users/{id}"
        await plain_response(send)

    serve(MetricsMiddleware(app), "/users/17")
    serve(MetricsMiddleware(app, group_paths=False), "/users/18")
    assert recorded() == [("GET", "/users/{id}", 200), ("GET", "/users/18", 200)]


# ---------------------------------------------------------------------------------------------
# Route templates of real frameworks


def starlette_app(inside: bool) -> Any:
    starlette = pytest.importorskip("starlette")
    del starlette
    from starlette.applications import Starlette
    from starlette.responses import PlainTextResponse
    from starlette.routing import Mount, Route, Router

    async def ok(request):
        return PlainTextResponse("ok")

    async def boom(request):
        raise Boom("from a Starlette handler")

    routes = [
        Route("/items/{item_id:int}", ok),
        Route("/boom", boom),
        Mount("/api", routes=[Mount("/v1", routes=[Route("/users/{uid}", ok)])]),
        Mount("/static", app=hello_app),
        Route("/metrics", make_asgi_app()),
    ]
    if inside:
        app = Starlette(routes=routes)
        app.add_middleware(MetricsMiddleware)
        return app
    return MetricsMiddleware(Router(routes=routes))


@pytest.mark.parametrize("inside", [True, False], ids=["add_middleware", "wrapped"])
@pytest.mark.parametrize(
    "method, path, template, status",
    [
        ("GET", "/items/42", "/items/{item_id:int}", 200),
        ("DELETE", "/items/42", "/items/{item_id:int}", 405),
        ("GET", "/api/v1/users/7", "/api/v1/users/{uid}", 200),
        ("GET", "/static/css/site.css", "/static/{path:path}", 200),
        ("GET", "/items/abc", "/items/abc", 404),  # no route matched: the raw path
        ("GET", "/nope", "/nope", 404),
    ],
    ids=["route", "wrong-method", "nested-mount", "mounted-app", "no-int", "unrouted"],
)
def test_starlette_route_templates(inside, method, path, template, status):
    client = serve(starlette_app(inside), path, method)
    assert client.status() == status
    assert recorded() == [(method, template, status)]


def test_starlette_route_serves_the_metrics_app_unrecorded():
    client = serve(starlette_app(inside=True), "/metrics")
    assert client.status() == 200
    content_type = dict(client.sent[0]["headers"])[b"content-type"]
    assert content_type == _core.PROMETHEUS_CONTENT_TYPE.encode()
    assert b"vtr_requests_total 0\n" in client.body()
    assert recorded() == []


def test_starlette_handler_exception_recorded_as_500():
    with pytest.raises(Boom):
        serve(starlette_app(inside=True), "/boom")
    assert recorded() == [("GET", "/boom", 500)]


def test_fastapi_route_templates():
    pytest.importorskip("fastapi")
    from fastapi import APIRouter, FastAPI

    app = FastAPI()
    router = APIRouter(prefix="/shop")

    @router.get("/orders/{order_id}")
    async def order(order_id: int):
        return {"id": order_id}

    app.include_router(router)
    # One router included under two prefixes: each inclusion has its own template.
    inner = APIRouter(prefix="/users")

    @inner.get("/{user_id}")
    async def user(user_id: int):
        return {"id": user_id}

    app.include_router(inner, prefix="/v1")
    app.include_router(inner, prefix="/v2")
    app.add_middleware(MetricsMiddleware)
    assert serve(app, "/shop/orders/5").status() == 200
    assert serve(app, "/shop/orders/x").status() == 422
    assert serve(app, "/v1/users/1").status() == 200
    assert serve(app, "/v2/users/2").status() == 200
    assert recorded() == [("GET", "/shop/orders/{order_id}", 200),
                          ("GET", "/shop/orders/{order_id}", 422),
                          ("GET", "/v1/users/{user_id}", 200),
                          ("GET", "/v2/users/{user_id}", 200)]


@pytest.mark.filterwarnings("ignore::DeprecationWarning")
def test_litestar_route_templates():
    pytest.importorskip("litestar")
    from litestar import Litestar, get

    @get("/books/{book_id:int}")
    async def book(book_id: int) -> dict:
        return {"id": book_id}

    app = Litestar(route_handlers=[book], middleware=[MetricsMiddleware])
    assert serve(app, "/books/12").status() == 200
    assert recorded() == [("GET", "/books/{book_id}", 200)]


@pytest.mark.filterwarnings("ignore::DeprecationWarning")
def test_litestar_documented_recipe_records_requests_that_match_no_handler():
    pytest.importorskip("litestar")
    from litestar import Litestar, get

    @get("/items/{item_id:int}")
    async def item(item_id: int) -> dict:
        return {"id": item_id}

    @get("/boom")
    async def boom() -> dict:
        raise Boom("from a Litestar handler")

    # Litestar runs its own middleware list after routing: wrapped, the middleware sees 404s
    # and 405s as well.
    app = MetricsMiddleware(Litestar(route_handlers=[item, boom]))
    requests = [("GET", "/items/1"), ("GET", "/nope"), ("GET", "/boom"), ("POST", "/items/1"),
                ("GET", "/items/abc")]
    statuses = [serve(app, path, method).status() for method, path in requests]
    assert statuses == [200, 404, 500, 405, 404]
    assert recorded() == [("GET", "/items/{item_id}", 200), ("GET", "/nope", 404),
                          ("GET", "/boom", 500), ("POST", "/items/{item_id}", 405),
                          ("GET", "/items/abc", 404)]


def method_not_allowed_apps(framework: str) -> tuple:
    """(a function that serves a request and returns its status, the template of the route
    /items/<id> that answers GET only) in one framework."""
    pytest.importorskip(framework)
    if framework == "flask":
        app = flask_app()
        app.wsgi_app = WSGIMetricsMiddleware(app.wsgi_app)
        return lambda method, path: int(call_wsgi(app, path, method)[0][:3]), "/items/<int:item_id>"
    if framework == "django":
        from django.core.handlers.wsgi import WSGIHandler

        app = WSGIMetricsMiddleware(WSGIHandler())
        return (lambda method, path: int(call_wsgi(app, "/shop" + path + "/", method)[0][:3]),
                "/shop/items/<int:item_id>/")
    if framework == "litestar":
        from litestar import Litestar, get

        @get("/items/{item_id:int}")
        async def item(item_id: int) -> dict:
            return {"id": item_id}

        asgi = MetricsMiddleware(Litestar(route_handlers=[item]))
        template = "/items/{item_id}"
    else:
        from starlette.responses import PlainTextResponse

        async def ok(request):
            return PlainTextResponse("ok")

        if framework == "fastapi":
            from fastapi import FastAPI

            asgi = FastAPI()

            @asgi.get("/items/{item_id}")
            async def item_(item_id: int) -> dict:
                return {"id": item_id}

            asgi.add_middleware(MetricsMiddleware)
            template = "/items/{item_id}"
        else:
            from starlette.routing import Route, Router

            asgi = MetricsMiddleware(Router(routes=[Route("/items/{item_id:int}", ok)]))
            template = "/items/{item_id:int}"
    return lambda method, path: serve(asgi, path, method).status(), template


@pytest.mark.filterwarnings("ignore::DeprecationWarning")
@pytest.mark.parametrize("framework", ["starlette", "fastapi", "litestar", "flask", "django"])
def test_a_method_the_route_does_not_answer_counts_under_the_route(framework, request):
    if framework == "django":
        request.getfixturevalue("django_project")
    serve_one, template = method_not_allowed_apps(framework)
    assert [serve_one("GET", "/items/7"), serve_one("POST", "/items/7")] == [200, 405]
    assert recorded() == [("GET", template, 200), ("POST", template, 405)]
    assert series_counts() == {("GET", template, 200): 1, ("POST", template, 405): 1}


def test_route_memo_stays_bounded_under_random_paths():
    pytest.importorskip("starlette")
    from starlette.responses import PlainTextResponse
    from starlette.routing import Mount, Route, Router

    async def ok(request):
        return PlainTextResponse("ok")

    # Behind a Mount with a parameter every user name is another root path, matched again.
    app = MetricsMiddleware(Router(routes=[Mount("/u/{name}", routes=[Route("/p", ok)])]))
    names = [f"user{i}" for i in range(3 * routes._MEMO_SIZE)] + ["user0", "user1"]

    async def requests():
        for name in names:
            client = Client()
            await app(http_scope(f"/u/{name}/p"), client.receive, client.send)

    asyncio.run(requests())
    assert recorded() == [("GET", "/u/{name}/p", 200)] * len(names)
    assert len(app._routes._mounted) + len(app._routes._unrouted) <= routes._MEMO_SIZE


def flask_app() -> Any:
    pytest.importorskip("flask")
    from flask import Flask

    app = Flask("vantorel_test")

    @app.route("/items/<int:item_id>")
    def item(item_id):
        return f"item {item_id}"

    @app.route("/boom/<int:n>")
    def boom(n):
        raise Boom("from a Flask view")

    app.config["PROPAGATE_EXCEPTIONS"] = True
    return app


@pytest.mark.parametrize("wrap", ["wsgi_app", "app"])
def test_flask_route_templates(wrap):
    app = flask_app()
    if wrap == "wsgi_app":
        app.wsgi_app = WSGIMetricsMiddleware(app.wsgi_app)
        wsgi = app
    else:
        wsgi = WSGIMetricsMiddleware(app)
    assert call_wsgi(wsgi, "/items/9")[0] == "200 OK"
    assert call_wsgi(wsgi, "/items/x")[0] == "404 NOT FOUND"
    with pytest.raises(Boom):
        call_wsgi(wsgi, "/boom/1")  # Flask has let go of its request: matched again
    assert recorded() == [("GET", "/items/<int:item_id>", 200), ("GET", "/items/x", 404),
                          ("GET", "/boom/<int:n>", 500)]


@pytest.fixture(scope="module")
def django_project():
    pytest.importorskip("django")
    import django
    from django.conf import settings
    from django.http import HttpResponse, StreamingHttpResponse
    from django.urls import include, path
    from django.views.decorators.http import require_GET

    @require_GET
    def item(request, item_id):
        return HttpResponse(f"item {item_id}")

    def home(request):
        return HttpResponse("home")

    def stream(request):
        return StreamingHttpResponse(iter([b"a", b"b"]))

    from vantorel.endpoint import django_metrics_view

    module = type(sys)("vantorel_test_urls")
    module.urlpatterns = [path("", home), path("stream", stream),
                          path("shop/", include([path("items/<int:item_id>/", item)])),
                          path("metrics", django_metrics_view)]
    sys.modules[module.__name__] = module
    if not settings.configured:
        settings.configure(ROOT_URLCONF=module.__name__, ALLOWED_HOSTS=["*"],
                           MIDDLEWARE=["vantorel.middleware.DjangoRouteMiddleware"])
        django.setup()
    return module


def django_get(how: str, path: str) -> tuple:
    """(status, body) of a GET served by the Django project the way ``how`` names."""
    if how == "wsgi-wrapped":
        from django.core.handlers.wsgi import WSGIHandler

        status, _, body = call_wsgi(WSGIMetricsMiddleware(WSGIHandler()), path)
        return int(status[:3]), body
    if how == "asgi-wrapped":
        from django.core.handlers.asgi import ASGIHandler

        client = serve(MetricsMiddleware(ASGIHandler()), path)
        return client.status(), client.body()
    from django.test import AsyncClient, Client

    if how == "test-client":
        response = Client().get(path)
    else:
        response = asyncio.run(AsyncClient().get(path))
    if response.streaming:
        body = b"".join(response.streaming_content)
        response.close()  # what Django's test client leaves to the caller
    else:
        body = response.content
    return response.status_code, body


@pytest.mark.filterwarnings("ignore:StreamingHttpResponse must consume synchronous iterators")
@pytest.mark.parametrize("how", ["wsgi-wrapped", "asgi-wrapped", "test-client",
                                 "async-test-client"])
def test_django_records_every_request_once(django_project, how):
    before = in_progress()
    served = [django_get(how, path) for path in ("/", "/shop/items/3/", "/shop/items/x/",
                                                  "/stream")]
    assert [status for status, _ in served] == [200, 200, 404, 200]
    assert (served[1][1], served[3][1]) == (b"item 3", b"ab")
    # MIDDLEWARE alone records; with the WSGI or ASGI wrapper around Django it only names the
    # route, and the wrapper records.
    assert recorded() == [("GET", "/", 200), ("GET", "/shop/items/<int:item_id>/", 200),
                          ("GET", "/shop/items/x/", 404), ("GET", "/stream", 200)]
    assert in_progress() == before
    # The root route is a route too.
    assert set(series_counts()) == {("GET", "/", 200), ("GET", "/shop/items/<int:item_id>/", 200),
                                    ("GET", series.UNMATCHED_ROUTE, 404), ("GET", "/stream", 200)}


# ---------------------------------------------------------------------------------------------
# WSGI: what is recorded and when


def wsgi_hello(environ: dict, start_response: Any) -> List[bytes]:
    start_response("200 OK", [("Content-Type", "text/plain")])
    return [b"hello"]


def wsgi_environ(path: str = "/", method: str = "GET") -> dict:
    return {
        "REQUEST_METHOD": method, "SCRIPT_NAME": "", "PATH_INFO": path, "QUERY_STRING": "",
        "SERVER_NAME": "testserver", "SERVER_PORT": "80", "SERVER_PROTOCOL": "HTTP/1.1",
        "HTTP_HOST": "testserver", "wsgi.version": (1, 0), "wsgi.url_scheme": "http",
        "wsgi.input": io.BytesIO(), "wsgi.errors": io.StringIO(), "wsgi.multithread": False,
        "wsgi.multiprocess": False, "wsgi.run_once": False,
    }


def call_wsgi(app: Any, path: str = "/", method: str = "GET",
              environ: Optional[dict] = None) -> tuple:
    """What a WSGI server does: call, iterate, close. Returns (status, headers, body)."""
    seen: Dict[str, Any] = {}

    def start_response(status, headers, exc_info=None):
        seen["status"], seen["headers"] = status, headers
        return lambda data: None

    result = app(environ or wsgi_environ(path, method), start_response)
    try:
        body = b"".join(result)
    finally:
        if hasattr(result, "close"):
            result.close()
    return seen.get("status"), seen.get("headers"), body


class Closing:
    """A response iterable that says when the server closed it."""

    def __init__(self, chunks: List[bytes]) -> None:
        self.chunks = chunks
        self.closed = False

    def __iter__(self):
        return iter(self.chunks)

    def close(self) -> None:
        self.closed = True


def test_wsgi_request_ends_when_the_body_is_exhausted_or_closed():
    inner = Closing([b"a", b"b"])

    def app(environ, start_response):
        start_response("404 Not Found", [])
        return inner

    result = WSGIMetricsMiddleware(app)(wsgi_environ("/gone"), lambda s, h, e=None: None)
    chunks = iter(result)
    assert [next(chunks), next(chunks)] == [b"a", b"b"]
    assert recorded() == []  # the server may not have sent the last chunk yet
    assert list(chunks) == []
    assert recorded() == [("GET", "/gone", 404)]  # a test client may never close it
    result.close()
    assert inner.closed
    result.close()
    assert recorded() == [("GET", "/gone", 404)]


def test_flask_test_client_responses_end_once_read():
    app = flask_app()
    app.wsgi_app = WSGIMetricsMiddleware(app.wsgi_app)
    client = app.test_client()
    before = in_progress()
    assert client.get("/items/1").data == b"item 1"  # read, and never closed
    with client.get("/items/2") as response:  # read, then closed
        assert response.data == b"item 2"
    assert in_progress() == before
    assert recorded() == [("GET", "/items/<int:item_id>", 200)] * 2


def test_wsgi_duration_covers_streaming_the_body():
    import time

    def app(environ, start_response):
        start_response("200 OK", [])
        yield b"a"
        time.sleep(0.05)
        yield b"b"

    assert call_wsgi(WSGIMetricsMiddleware(app), "/slow")[2] == b"ab"
    [request] = _core.get_requests()
    assert request.duration_ms >= 50.0


@pytest.mark.parametrize("where", ["call", "first-chunk", "later-chunk", "close"])
def test_wsgi_exception_is_recorded_as_500_and_propagates_unchanged(where):
    error = Boom(where)

    class FailingClose(Closing):
        def close(self):
            raise error

    def chunks():
        if where == "first-chunk":
            raise error
        yield b"a"
        raise error

    def app(environ, start_response):
        if where == "call":
            raise error
        start_response("200 OK", [])
        return FailingClose([b"a"]) if where == "close" else chunks()

    with pytest.raises(Boom) as caught:
        call_wsgi(WSGIMetricsMiddleware(app), "/boom")
    assert caught.value is error
    # Once the whole body has gone out, the status sent stays, as under ASGI.
    assert recorded() == [("GET", "/boom", 200 if where == "close" else 500)]


@pytest.mark.parametrize("started", [True, False], ids=["after-start", "before-start"])
def test_wsgi_client_that_leaves_mid_response_is_still_recorded(started):
    def app(environ, start_response):
        def chunks():
            start_response("200 OK", [])  # a lazy generator starts the response when iterated
            yield b"a"
            yield b"b"

        return chunks()

    result = WSGIMetricsMiddleware(app)(wsgi_environ("/stream"), lambda s, h, e=None: None)
    if started:
        assert next(iter(result)) == b"a"
    result.close()  # the server gave up: the socket is gone
    assert recorded() == [("GET", "/stream", 200 if started else 499)]


def test_wsgi_keeps_len_write_and_the_file_wrapper():
    written = []

    def start_response(status, headers, exc_info=None):
        return written.append

    def app(environ, start_response):
        write = start_response("200 OK", [])
        write(b"early")
        return [b"one"]

    result = WSGIMetricsMiddleware(app)(wsgi_environ("/len"), start_response)
    assert len(result) == 1 and written == [b"early"]
    result.close()

    class FileWrapper:
        def __init__(self, filelike, blksize=8192):
            self.filelike = filelike

        def __iter__(self):
            return iter([self.filelike.read()])

        def close(self):
            self.filelike.close()

    def file_app(environ, start_response):
        start_response("200 OK", [])
        return environ["wsgi.file_wrapper"](io.BytesIO(b"file body"))

    environ = wsgi_environ("/download")
    environ["wsgi.file_wrapper"] = FileWrapper
    result = WSGIMetricsMiddleware(file_app)(environ, start_response)
    assert type(result) is FileWrapper  # the server may still use sendfile
    assert recorded() == [("GET", "/len", 200)]
    result.close()
    assert result.filelike.closed
    assert recorded() == [("GET", "/len", 200), ("GET", "/download", 200)]


def test_wsgi_paths_are_decoded_as_utf8_and_joined_with_the_script_name():
    environ = wsgi_environ("/caf\u00c3\u00a9")  # "/café" as a WSGI latin-1 string
    environ["SCRIPT_NAME"] = "/shop"
    call_wsgi(WSGIMetricsMiddleware(wsgi_hello), environ=environ)
    assert recorded() == [("GET", "/shop/caf\u00e9", 200)]


def test_wsgi_application_provided_route_key():
    def app(environ, start_response):
        environ[middleware.ROUTE_KEY] = "/users/{id}"
        return wsgi_hello(environ, start_response)

    call_wsgi(WSGIMetricsMiddleware(app), "/users/5")
    assert recorded() == [("GET", "/users/{id}", 200)]


# ---------------------------------------------------------------------------------------------
# The metrics endpoint apps


def sample_lines(text: str) -> List[str]:
    """The request figures of a document: they do not move between two renderings."""
    return [line for line in text.split("\n")
            if line and not line.startswith("vtr_process_") and "process" not in line]


@pytest.mark.parametrize("encoding", [None, "gzip", "br, gzip;q=0.5", "gzip;q=0"])
@pytest.mark.parametrize("with_series", [True, False], ids=["series", "metrics_text"])
@pytest.mark.parametrize("kind", ["asgi", "wsgi"])
def test_metrics_endpoint_serves_the_document(kind, with_series, encoding):
    _core.record_request("GET", "/x", 503, 12.5)
    _native.series_observe("GET", "/x", 503, 12.5)
    if kind == "asgi":
        scope = http_scope("/metrics")
        if encoding is not None:
            scope["headers"].append((b"accept-encoding", encoding.encode()))
        client = serve(make_asgi_app(series=with_series), scope=scope)
        status, body = client.status(), client.body()
        headers = {k.decode(): v.decode() for k, v in client.sent[0]["headers"]}
    else:
        environ = wsgi_environ("/metrics")
        if encoding is not None:
            environ["HTTP_ACCEPT_ENCODING"] = encoding
        status_line, header_list, body = call_wsgi(make_wsgi_app(series=with_series),
                                                   environ=environ)
        status, headers = int(status_line.split()[0]), {k.lower(): v for k, v in header_list}
    assert status == 200
    assert headers["content-type"] == "text/plain; version=0.0.4; charset=utf-8"
    assert int(headers["content-length"]) == len(body)
    gzipped = encoding in ("gzip", "br, gzip;q=0.5")
    assert headers.get("content-encoding") == ("gzip" if gzipped else None)
    text = (gzip.decompress(body) if gzipped else body).decode()
    expected = _core.metrics_text() + (_native.series_text() if with_series else "")
    assert sample_lines(text) == sample_lines(expected)
    assert "vtr_requests_total 1\n" in text and "vtr_errors_total 1\n" in text
    labelled = 'vtr_http_requests_total{method="GET",route="/x",status="503"} 1\n'
    assert (labelled in text, "process_open_fds " in text) == (with_series, with_series)


@pytest.mark.parametrize("kind", ["asgi", "wsgi"])
@pytest.mark.parametrize("method", ["HEAD", "POST", "DELETE"])
def test_metrics_endpoint_methods(kind, method):
    if kind == "asgi":
        client = serve(make_asgi_app(), "/metrics", method)
        status, body = client.status(), client.body()
        headers = {k.decode(): v.decode() for k, v in client.sent[0]["headers"]}
    else:
        status_line, header_list, body = call_wsgi(make_wsgi_app(), "/metrics", method)
        status, headers = int(status_line.split()[0]), {k.lower(): v for k, v in header_list}
    if method == "HEAD":
        assert (status, body) == (200, b"")
        assert int(headers["content-length"]) > 1000
    else:
        assert (status, body, headers["allow"]) == (405, b"Method Not Allowed\n", "GET, HEAD")


def test_asgi_metrics_app_answers_lifespan():
    messages = [{"type": "lifespan.startup"}, {"type": "lifespan.shutdown"}]
    sent: List[dict] = []

    async def receive():
        return messages.pop(0)

    async def send(message):
        sent.append(message)

    asyncio.run(make_asgi_app()({"type": "lifespan"}, receive, send))
    assert sent == [{"type": "lifespan.startup.complete"}, {"type": "lifespan.shutdown.complete"}]


def test_django_metrics_view(django_project):
    from django.test import RequestFactory

    from vantorel.endpoint import django_metrics_view

    _core.record_request("GET", "/x", 200, 1.0)
    response = django_metrics_view(RequestFactory().get("/metrics"))
    assert response.status_code == 200
    assert response["Content-Type"] == "text/plain; version=0.0.4; charset=utf-8"
    assert b"vtr_requests_total 1\n" in response.content
    assert django_metrics_view(RequestFactory().post("/metrics")).status_code == 405


@pytest.mark.parametrize("method, status", [("get", 200), ("head", 200), ("post", 405),
                                            ("put", 405), ("delete", 405)])
def test_django_metrics_view_under_csrf_protection(django_project, method, status):
    from django.test import Client, override_settings

    # A view with no state to protect: CsrfViewMiddleware lets every method reach it.
    with override_settings(MIDDLEWARE=["django.middleware.csrf.CsrfViewMiddleware"]):
        response = getattr(Client(enforce_csrf_checks=True), method)("/metrics")
    assert response.status_code == status
    if status == 405:
        assert response["Allow"] == "GET, HEAD"


# ---------------------------------------------------------------------------------------------
# The per-route series and the in-progress gauge, in the same two calls


def series_counts() -> Dict[tuple, int]:
    return {(s.method, s.route, s.status): s.count for s in series.snapshot().series}


def in_progress() -> int:
    return series.snapshot().in_progress["GET"]


def test_series_and_in_progress_around_every_request():
    seen = []
    before = in_progress()

    async def asgi_app(scope, receive, send):
        seen.append(in_progress())
        if scope["path"].startswith("/users/"):
            scope[middleware.ROUTE_KEY] = "/users/{id}"
        if scope["path"] == "/boom":
            raise Boom()
        if scope["path"] == "/slow":
            await asyncio.sleep(3600)  # cancelled: the client left
        await plain_response(send)

    def wsgi_app(environ, start_response):
        seen.append(in_progress())
        if environ["PATH_INFO"] == "/boom":
            raise Boom()
        start_response("200 OK", [])
        return [b"ok"]

    serve(MetricsMiddleware(asgi_app), "/users/1")
    serve(MetricsMiddleware(asgi_app, group_paths=False), "/users/2")
    serve(MetricsMiddleware(asgi_app), "/nowhere")
    with pytest.raises(Boom):
        serve(MetricsMiddleware(asgi_app), "/boom")

    async def leave():
        task = asyncio.ensure_future(MetricsMiddleware(asgi_app)(
            http_scope("/slow"), Client().receive, Client().send))
        await asyncio.sleep(0.01)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task

    asyncio.run(leave())
    assert call_wsgi(WSGIMetricsMiddleware(wsgi_app), "/w")[0] == "200 OK"
    with pytest.raises(Boom):
        call_wsgi(WSGIMetricsMiddleware(wsgi_app), "/boom")

    # Each request was in progress while its handler ran, and none is once they have ended.
    assert seen == [before + 1] * 7 and in_progress() == before
    # Routes are templates, whatever group_paths says of the ring; else one label.
    unmatched = series.UNMATCHED_ROUTE
    assert series_counts() == {("GET", "/users/{id}", 200): 2, ("GET", unmatched, 200): 2,
                               ("GET", unmatched, 500): 2, ("GET", unmatched, 499): 1}
    assert recorded()[:2] == [("GET", "/users/{id}", 200), ("GET", "/users/2", 200)]
