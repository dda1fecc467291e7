"""The metrics endpoint: ``metrics_text()`` served as ``PROMETHEUS_CONTENT_TYPE``.

``make_asgi_app()`` and ``make_wsgi_app()`` build small applications to mount at ``/metrics``;
``django_metrics_view`` is the same as a Django view. GET and HEAD are answered, every other
method gets 405. In multi-worker mode any worker serves the totals of all live workers.
"""

from __future__ import annotations

from typing import Any, Callable, Iterable, List, Tuple

from . import _core

__all__ = ["django_metrics_view", "make_asgi_app", "make_wsgi_app"]

_ALLOWED = "GET, HEAD"


def _render() -> bytes:
    return _core.metrics_text().encode("utf-8")


class _AsgiMetricsApp:
    # An instance, not a function: Starlette's Route treats a plain function as a
    # request -> response endpoint and any other callable as an ASGI application.

    async def __call__(self, scope: dict, receive: Callable[..., Any],
                       send: Callable[..., Any]) -> None:
        kind = scope.get("type")
        if kind == "lifespan":
            while True:
                message = await receive()
                if message["type"] == "lifespan.startup":
                    await send({"type": "lifespan.startup.complete"})
                elif message["type"] == "lifespan.shutdown":
                    await send({"type": "lifespan.shutdown.complete"})
                    return
        if kind != "http":
            if kind == "websocket":
                await send({"type": "websocket.close", "code": 1008})
            return
        method = scope.get("method", "GET")
        if method not in ("GET", "HEAD"):
            body = b"Method Not Allowed\n"
            await send({
                "type": "http.response.start",
                "status": 405,
                "headers": [
                    (b"content-type", b"text/plain; charset=utf-8"),
                    (b"content-length", str(len(body)).encode("ascii")),
                    (b"allow", _ALLOWED.encode("ascii")),
                ],
            })
            await send({"type": "http.response.body", "body": body})
            return
        body = _render()
        await send({
            "type": "http.response.start",
            "status": 200,
            "headers": [
                (b"content-type", _core.PROMETHEUS_CONTENT_TYPE.encode("ascii")),
                (b"content-length", str(len(body)).encode("ascii")),
            ],
        })
        await send({"type": "http.response.body", "body": b"" if method == "HEAD" else body})


def make_asgi_app() -> Callable[..., Any]:
    """An ASGI application serving the metrics.

    Starlette: ``Route("/metrics", make_asgi_app())``; FastAPI:
    ``app.add_route("/metrics", make_asgi_app())``. It also runs on its own under any ASGI
    server (lifespan events are acknowledged).
    """
    return _AsgiMetricsApp()


def make_wsgi_app() -> Callable[..., Iterable[bytes]]:
    """A WSGI application serving the metrics.

    Flask: ``DispatcherMiddleware(app.wsgi_app, {"/metrics": make_wsgi_app()})`` from
    ``werkzeug.middleware.dispatcher``; any WSGI server can also run it on its own.
    """

    def metrics_app(environ: dict, start_response: Callable[..., Any]) -> List[bytes]:
        method = environ.get("REQUEST_METHOD", "GET")
        headers: List[Tuple[str, str]]
        if method not in ("GET", "HEAD"):
            body = b"Method Not Allowed\n"
            headers = [
                ("Content-Type", "text/plain; charset=utf-8"),
                ("Content-Length", str(len(body))),
                ("Allow", _ALLOWED),
            ]
            start_response("405 Method Not Allowed", headers)
            return [body]
        body = _render()
        headers = [
            ("Content-Type", _core.PROMETHEUS_CONTENT_TYPE),
            ("Content-Length", str(len(body))),
        ]
        start_response("200 OK", headers)
        return [b"" if method == "HEAD" else body]

    return metrics_app


def django_metrics_view(request: Any) -> Any:
    """A Django view serving the metrics: ``path("metrics", django_metrics_view)``."""
    from django.http import HttpResponse, HttpResponseNotAllowed  # type: ignore[import-untyped]

    if request.method not in ("GET", "HEAD"):
        return HttpResponseNotAllowed(["GET", "HEAD"])
    return HttpResponse(_render(), content_type=_core.PROMETHEUS_CONTENT_TYPE)


# What django.views.decorators.csrf.csrf_exempt marks, without importing Django here: the view
# changes nothing, so CsrfViewMiddleware must let a POST through to get its 405, not a 403.
django_metrics_view.csrf_exempt = True  # type: ignore[attr-defined]
