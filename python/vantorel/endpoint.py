"""The metrics endpoint: ``metrics_text()`` and the per-route series, in the format the scraper
asks for.

``make_asgi_app()`` and ``make_wsgi_app()`` build small applications to mount at ``/metrics``;
``django_metrics_view`` (or ``make_django_view()``) is the same as a Django view. GET and HEAD
are answered, every other method gets 405. The document is ``_core.metrics_text()`` followed by
the families of ``vantorel.series`` (per-route counters and histograms, requests in progress,
the application's own families of ``vantorel.metrics`` and the standard ``process_*``
families); ``series=False`` serves ``metrics_text()`` alone. ``prometheus_registry`` appends the
families of a prometheus_client registry (``vantorel.bridge``), in the same format. A scraper
whose ``Accept`` header prefers OpenMetrics 1.0.0 (as Prometheus's does) gets it, with the
exemplars of the series, as ``OPENMETRICS_CONTENT_TYPE``; any other gets the text format 0.0.4
(``PROMETHEUS_CONTENT_TYPE``). The body is gzip-compressed when the scraper accepts it, as
Prometheus does. In multi-worker mode any worker serves the totals of all workers.
"""

from __future__ import annotations

import gzip
from typing import Any, Callable, Dict, Iterable, List, Mapping, Optional, Sequence, Tuple

from . import _core, _native, bridge, metrics, multiproc
from ._exposition import OPENMETRICS_CONTENT_TYPE, ConstantLabels, prefers_openmetrics
from ._guard import Guard

__all__ = ["OPENMETRICS_CONTENT_TYPE", "django_metrics_view", "make_asgi_app",
           "make_django_view", "make_wsgi_app"]

_ALLOWED = "GET, HEAD"
_METHOD_NOT_ALLOWED = b"Method Not Allowed\n"
_UNAUTHORIZED = b"Unauthorized\n"
# zlib's usual compromise: a 100 KB document shrinks some 10 times in well under a millisecond.
_GZIP_LEVEL = 6


class _Endpoint:
    """One endpoint's options, checked once: the series or not, the constant labels on every
    sample of the series' families, and the credentials a scrape must bring (if any)."""

    __slots__ = ("series", "constant_labels", "guard", "registry")

    def __init__(self, series: bool, constant_labels: Optional[Mapping[str, str]],
                 bearer_token: Optional[str], basic_auth: Optional[Sequence[str]],
                 prometheus_registry: Optional[Any] = None) -> None:
        self.series = bool(series)
        self.registry = bridge.resolve(prometheus_registry)
        self.guard = Guard(bearer_token, basic_auth)
        self.constant_labels = ConstantLabels(constant_labels)
        if self.constant_labels and not self.series:
            raise ValueError("constant_labels go on the series' families: series=False serves "
                             "only the 13 figures of metrics_text(), whose document is fixed")


def _render(options: _Endpoint, openmetrics: bool) -> Tuple[str, bytes]:
    """(Content-Type, body) of the page in one format."""
    multiproc.warn_if_mode_off()  # once per process: a worker that counts alone says so
    if options.series:
        metrics.warn_if_refused()  # what the latest page left out, once per process
    if openmetrics:
        # The 13 figures of metrics_text() in OpenMetrics, then the series; one # EOF ends it.
        text = _native.metrics_openmetrics()
        if options.series:
            text += _native.series_page(True, options.constant_labels.text())
        if options.registry is not None:
            text += bridge.text(options.registry, text, openmetrics=True)
        return OPENMETRICS_CONTENT_TYPE, (text + "# EOF\n").encode("utf-8")
    text = _core.metrics_text()
    if options.series:
        text += _native.series_page(False, options.constant_labels.text())
    if options.registry is not None:
        text += bridge.text(options.registry, text)
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


def _response(options: _Endpoint, method: str, accept: Optional[str],
              accept_encoding: Optional[str],
              authorization: Optional[str]) -> Tuple[int, List[Tuple[str, str]], bytes]:
    """(status, headers, body) of one request to the endpoint, from its method and its Accept,
    Accept-Encoding and Authorization headers (None where absent)."""
    if options.guard and not options.guard.allows(authorization):
        # Before anything else: without credentials, not even which methods exist.
        return 401, [("Content-Type", "text/plain; charset=utf-8"),
                     ("Content-Length", str(len(_UNAUTHORIZED))),
                     ("WWW-Authenticate", options.guard.challenge)], (
                         b"" if method == "HEAD" else _UNAUTHORIZED)
    if method not in ("GET", "HEAD"):
        return 405, [("Content-Type", "text/plain; charset=utf-8"),
                     ("Content-Length", str(len(_METHOD_NOT_ALLOWED))),
                     ("Allow", _ALLOWED)], _METHOD_NOT_ALLOWED
    content_type, body = _render(options, prefers_openmetrics(accept))
    headers = [("Content-Type", content_type), ("Vary", "Accept, Accept-Encoding")]
    if _accepts_gzip(accept_encoding):
        body = gzip.compress(body, compresslevel=_GZIP_LEVEL)
        headers.append(("Content-Encoding", "gzip"))
    headers.append(("Content-Length", str(len(body))))
    return 200, headers, b"" if method == "HEAD" else body


class _AsgiMetricsApp:
    # An instance, not a function: Starlette's Route treats a plain function as a
    # request -> response endpoint and any other callable as an ASGI application.

    def __init__(self, options: _Endpoint) -> None:
        self.options = options

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
        accept = accept_encoding = authorization = None
        for name, value in scope.get("headers") or ():
            name = name.lower()
            if name == b"accept":  # several Accept headers are one list
                text = value.decode("latin-1")
                accept = text if accept is None else accept + "," + text
            elif name == b"accept-encoding":
                accept_encoding = value.decode("latin-1")
            elif name == b"authorization":
                authorization = value.decode("latin-1")
        status, headers, body = _response(self.options, scope.get("method", "GET"), accept,
                                          accept_encoding, authorization)
        await send({
            "type": "http.response.start",
            "status": status,
            "headers": [(k.lower().encode("latin-1"), v.encode("latin-1")) for k, v in headers],
        })
        await send({"type": "http.response.body", "body": body})


_OPTIONS_DOC = """
    ``series=False`` leaves out the per-route, application and process families.
    ``constant_labels`` (a mapping such as ``{"service": "api"}``) puts these labels on every
    sample of those families, not on the 13 figures of ``metrics_text()``: names as Prometheus
    allows them, none that the page's families have (method, route, status, le, pid, quantile);
    values are escaped. A bad option raises TypeError or ValueError here, never per scrape. A
    constant label that an application family has too is left out of the page, with an error
    on the ``vantorel`` logger at the first scrape of each process.

    ``bearer_token`` (a str) or ``basic_auth`` (a ``(username, password)`` pair), or both: a
    scrape without them is answered 401 with a ``WWW-Authenticate`` challenge and nothing about
    the metrics; they are compared in constant time.

    ``prometheus_registry=True`` (prometheus_client's ``MultiProcessCollector`` over
    ``PROMETHEUS_MULTIPROC_DIR`` when that is set, else its default registry), or a registry,
    appends prometheus_client's families in the page's format, without its process, platform
    and GC families and without any family whose names the page has (``vantorel.bridge``)."""


def make_asgi_app(*, series: bool = True, constant_labels: Optional[Mapping[str, str]] = None,
                  bearer_token: Optional[str] = None,
                  basic_auth: Optional[Sequence[str]] = None,
                  prometheus_registry: Optional[Any] = None) -> Callable[..., Any]:
    """An ASGI application serving the metrics.

    Starlette: ``Route("/metrics", make_asgi_app())``; FastAPI:
    ``app.add_route("/metrics", make_asgi_app())``. It also runs on its own under any ASGI
    server (lifespan events are acknowledged).
    """
    return _AsgiMetricsApp(_Endpoint(series, constant_labels, bearer_token, basic_auth,
                                     prometheus_registry))


make_asgi_app.__doc__ = (make_asgi_app.__doc__ or "").rstrip() + _OPTIONS_DOC


_REASONS = {200: "200 OK", 401: "401 Unauthorized", 405: "405 Method Not Allowed"}


def make_wsgi_app(*, series: bool = True, constant_labels: Optional[Mapping[str, str]] = None,
                  bearer_token: Optional[str] = None,
                  basic_auth: Optional[Sequence[str]] = None,
                  prometheus_registry: Optional[Any] = None) -> Callable[..., Iterable[bytes]]:
    """A WSGI application serving the metrics.

    Flask: ``DispatcherMiddleware(app.wsgi_app, {"/metrics": make_wsgi_app()})`` from
    ``werkzeug.middleware.dispatcher``; any WSGI server can also run it on its own.
    """
    options = _Endpoint(series, constant_labels, bearer_token, basic_auth, prometheus_registry)

    def metrics_app(environ: Dict[str, Any], start_response: Callable[..., Any]) -> List[bytes]:
        status, headers, body = _response(options, environ.get("REQUEST_METHOD", "GET"),
                                          environ.get("HTTP_ACCEPT"),
                                          environ.get("HTTP_ACCEPT_ENCODING"),
                                          environ.get("HTTP_AUTHORIZATION"))
        start_response(_REASONS[status], headers)
        return [body]

    return metrics_app


make_wsgi_app.__doc__ = (make_wsgi_app.__doc__ or "").rstrip() + _OPTIONS_DOC


def make_django_view(*, series: bool = True,
                     constant_labels: Optional[Mapping[str, str]] = None,
                     bearer_token: Optional[str] = None,
                     basic_auth: Optional[Sequence[str]] = None,
                     prometheus_registry: Optional[Any] = None) -> Callable[[Any], Any]:
    """A Django view serving the metrics: ``path("metrics", make_django_view())``."""
    options = _Endpoint(series, constant_labels, bearer_token, basic_auth, prometheus_registry)

    def view(request: Any) -> Any:
        from django.http import HttpResponse  # type: ignore[import-untyped]

        meta = request.META
        status, headers, body = _response(options, request.method, meta.get("HTTP_ACCEPT"),
                                          meta.get("HTTP_ACCEPT_ENCODING"),
                                          meta.get("HTTP_AUTHORIZATION"))
        response = HttpResponse(body, status=status)
        for name, value in headers:
            response[name] = value
        return response

    # What django.views.decorators.csrf.csrf_exempt marks, without importing Django here: the
    # view changes nothing, so CsrfViewMiddleware must let a POST through to get its 405, not a
    # 403.
    view.csrf_exempt = True  # type: ignore[attr-defined]
    return view


make_django_view.__doc__ = (make_django_view.__doc__ or "").rstrip() + _OPTIONS_DOC


django_metrics_view = make_django_view()
django_metrics_view.__doc__ = (
    """A Django view serving the metrics: ``path("metrics", django_metrics_view)``.""")
