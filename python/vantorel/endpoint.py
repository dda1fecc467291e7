"""The metrics endpoint: ``metrics_text()`` and the per-route series, in the format the scraper
asks for.

``make_asgi_app()`` and ``make_wsgi_app()`` build small applications to mount at ``/metrics``;
``django_metrics_view`` (or ``make_django_view()``) is the same as a Django view. GET and HEAD
are answered, every other method gets 405. The document is ``_core.metrics_text()`` followed by
the families of ``vantorel.series`` (per-route counters and histograms, requests in progress,
the application's families and the standard ``process_*`` families); ``series=False`` serves
``metrics_text()`` alone. A scraper whose ``Accept`` header prefers OpenMetrics 1.0.0 (as
Prometheus's does) gets it, with the exemplars of the series, as ``OPENMETRICS_CONTENT_TYPE``;
any other gets the text format 0.0.4 (``PROMETHEUS_CONTENT_TYPE``). The body is
gzip-compressed when the scraper accepts it, as Prometheus does. In multi-worker mode any worker
serves the totals of all workers.
"""

from __future__ import annotations

import gzip
from typing import Any, Callable, Dict, Iterable, List, Optional, Tuple

from . import _core, _native, multiproc
from ._exposition import OPENMETRICS_CONTENT_TYPE, prefers_openmetrics

__all__ = ["OPENMETRICS_CONTENT_TYPE", "django_metrics_view", "make_asgi_app",
           "make_django_view", "make_wsgi_app"]

_ALLOWED = "GET, HEAD"
_METHOD_NOT_ALLOWED = b"Method Not Allowed\n"
# zlib's usual compromise: a 100 KB document shrinks some 10 times in well under a millisecond.
_GZIP_LEVEL = 6


def _render(series: bool, openmetrics: bool) -> Tuple[str, bytes]:
    """(Content-Type, body) of the page in one format."""
    multiproc.warn_if_mode_off()  # once per process: a worker that counts alone says so
    if openmetrics:
        # The 13 figures of metrics_text() in OpenMetrics, then the series; one # EOF ends it.
        text = _native.metrics_openmetrics()
        if series:
            text += _native.series_page(True, "")
        return OPENMETRICS_CONTENT_TYPE, (text + "# EOF\n").encode("utf-8")
    text = _core.metrics_text()
    if series:
        text += _native.series_page(False, "")
    return _core.PROMETHEUS_CONTENT_TYPE, text.encode("utf-8")


def _accepts_gzip(accept_encoding: Optional[str]) -> bool:
    """Whether an Accept-Encoding header admits gzip (``gzip`` or ``*``, with q above 0)."""
    if not accept_encoding:
        return False
    for item in accept_encoding.split(","):
        coding, _, params = item.partition(";")
        if coding.strip().lower() not in ("gzip", "*"):
            continue
        q = 1.0
        for param in params.split(";"):
            name, _, value = param.partition("=")
            if name.strip().lower() == "q":
                try:
                    q = float(value)
                except ValueError:
                    q = 0.0
        return q > 0.0
    return False


def _response(method: str, accept: Optional[str], accept_encoding: Optional[str],
              series: bool) -> Tuple[int, List[Tuple[str, str]], bytes]:
    """(status, headers, body) of one request to the endpoint, from its method and its Accept
    and Accept-Encoding headers (None where absent)."""
    if method not in ("GET", "HEAD"):
        return 405, [("Content-Type", "text/plain; charset=utf-8"),
                     ("Content-Length", str(len(_METHOD_NOT_ALLOWED))),
                     ("Allow", _ALLOWED)], _METHOD_NOT_ALLOWED
    content_type, body = _render(series, prefers_openmetrics(accept))
    headers = [("Content-Type", content_type), ("Vary", "Accept, Accept-Encoding")]
    if _accepts_gzip(accept_encoding):
        body = gzip.compress(body, compresslevel=_GZIP_LEVEL)
        headers.append(("Content-Encoding", "gzip"))
    headers.append(("Content-Length", str(len(body))))
    return 200, headers, b"" if method == "HEAD" else body


class _AsgiMetricsApp:
    # An instance, not a function: Starlette's Route treats a plain function as a
    # request -> response endpoint and any other callable as an ASGI application.

    def __init__(self, series: bool) -> None:
        self.series = series

    async def __call__(self, scope: Dict[str, Any], receive: Callable[..., Any],
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
        accept = accept_encoding = None
        for name, value in scope.get("headers") or ():
            name = name.lower()
            if name == b"accept":  # several Accept headers are one list
                text = value.decode("latin-1")
                accept = text if accept is None else accept + "," + text
            elif name == b"accept-encoding":
                accept_encoding = value.decode("latin-1")
        status, headers, body = _response(scope.get("method", "GET"), accept, accept_encoding,
                                          self.series)
        await send({
            "type": "http.response.start",
            "status": status,
            "headers": [(k.lower().encode("latin-1"), v.encode("latin-1")) for k, v in headers],
        })
        await send({"type": "http.response.body", "body": body})


def make_asgi_app(*, series: bool = True) -> Callable[..., Any]:
    """An ASGI application serving the metrics.

    Starlette: ``Route("/metrics", make_asgi_app())``; FastAPI:
    ``app.add_route("/metrics", make_asgi_app())``. It also runs on its own under any ASGI
    server (lifespan events are acknowledged). ``series=False`` leaves out the per-route and
    process families.
    """
    return _AsgiMetricsApp(series)


_REASONS = {200: "200 OK", 405: "405 Method Not Allowed"}


def make_wsgi_app(*, series: bool = True) -> Callable[..., Iterable[bytes]]:
    """A WSGI application serving the metrics.

    Flask: ``DispatcherMiddleware(app.wsgi_app, {"/metrics": make_wsgi_app()})`` from
    ``werkzeug.middleware.dispatcher``; any WSGI server can also run it on its own.
    ``series=False`` leaves out the per-route and process families.
    """

    def metrics_app(environ: Dict[str, Any], start_response: Callable[..., Any]) -> List[bytes]:
        status, headers, body = _response(environ.get("REQUEST_METHOD", "GET"),
                                          environ.get("HTTP_ACCEPT"),
                                          environ.get("HTTP_ACCEPT_ENCODING"), series)
        start_response(_REASONS[status], headers)
        return [body]

    return metrics_app


def make_django_view(*, series: bool = True) -> Callable[[Any], Any]:
    """A Django view serving the metrics: ``path("metrics", make_django_view())``.
    ``series=False`` leaves out the per-route and process families."""

    def view(request: Any) -> Any:
        from django.http import HttpResponse  # type: ignore[import-untyped]

        status, headers, body = _response(request.method, request.META.get("HTTP_ACCEPT"),
                                          request.META.get("HTTP_ACCEPT_ENCODING"), series)
        response = HttpResponse(body, status=status)
        for name, value in headers:
            response[name] = value
        return response

    # What django.views.decorators.csrf.csrf_exempt marks, without importing Django here: the
    # view changes nothing, so CsrfViewMiddleware must let a POST through to get its 405, not a
    # 403.
    view.csrf_exempt = True  # type: ignore[attr-defined]
    return view


django_metrics_view = make_django_view()
django_metrics_view.__doc__ = (
    """A Django view serving the metrics: ``path("metrics", django_metrics_view)``.""")
