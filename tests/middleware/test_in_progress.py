"""The per-route series and the in-progress gauge, written in the same two calls around
every request."""

from __future__ import annotations

import asyncio

import pytest

from vantorel import middleware, series
from vantorel.middleware import MetricsMiddleware, WSGIMetricsMiddleware

from scripted import (Boom, Client, call_wsgi, http_scope, in_progress, plain_response, recorded,
                      serve, series_counts)


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
