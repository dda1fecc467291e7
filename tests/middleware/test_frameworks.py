"""Route templates of real frameworks (Starlette, FastAPI, Litestar, Flask, Django), served
in-process."""

from __future__ import annotations

import asyncio
from typing import Any

import pytest

from vantorel import _core, series
from vantorel.endpoint import make_asgi_app
from vantorel.middleware import MetricsMiddleware, WSGIMetricsMiddleware, routes

from scripted import (Boom, Client, call_wsgi, flask_app, hello_app, http_scope, in_progress,
                      recorded, serve, series_counts)


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
