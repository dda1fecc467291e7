"""ASGI middleware: records every HTTP request once its response has gone out completely."""

from __future__ import annotations

from types import MethodType
from typing import Any, Callable, Dict, Optional, Tuple

from .recorder import (CLIENT_CLOSED_REQUEST, WRAPPED_KEY, Exchange, Middleware, Recorder,
                       report_failure)
from .routes import AsgiRoutes
from .sizes import content_length
from .traces import Ids, current_span_ids, parse_traceparent


class _Exchange(Exchange):
    """One HTTP request under way: what its messages told so far, and the recording that ends
    it, exactly once. The application gets ``exchange.send`` as its ``send`` and the exchange
    itself as its ``receive``: most requests never call that, and nothing is made for it."""

    __slots__ = ("scope", "server_receive", "server_send", "root_path", "trailers", "gone")

    def __init__(self, recorder: Recorder, routes: AsgiRoutes, scope: Dict[str, Any], receive: Any,
                 send: Any, method: str, path: str) -> None:
        self.scope = scope
        self.server_receive = receive
        self.server_send = send
        self.root_path = scope.get("root_path", "")  # routers rewrite it inside Mounts
        self.trailers = False
        self.gone = False  # the server told that the client has left
        self.begin(recorder, routes, method, path)

    async def __call__(self) -> Any:
        message = await self.server_receive()
        if isinstance(message, dict) and message.get("type") == "http.disconnect":
            self.gone = True
        return message

    async def send(self, message: Any) -> None:
        final = False
        try:
            kind = message["type"]
            if kind == "http.response.body":
                final = not self.trailers and not ("more_body" in message
                                                   and message["more_body"])
            elif kind == "http.response.start":
                # uvicorn drops what is sent once the client has left, without a word (no
                # OSError as in ASGI 2.4); it keeps a flag on the object behind ``receive``.
                receive = self.server_receive
                if receive.__class__ is MethodType and getattr(
                        receive.__self__, "disconnected", False) is True:
                    self.status = CLIENT_CLOSED_REQUEST  # this response reaches nobody
                else:
                    status = message["status"]
                    self.status = status if status.__class__ is int else int(status)
                if "trailers" in message and message["trailers"]:
                    self.trailers = True
            elif self.trailers:
                final = kind == "http.response.trailers" and not message.get(
                    "more_trailers", False)
            elif kind == "http.response.zerocopysend":
                final = not message.get("more_body", False)
            elif kind == "http.response.pathsend":
                final = True
        except Exception:
            report_failure()
        try:
            await self.server_send(message)
        except OSError:
            # How servers say that the client has gone (ASGI 2.4), whatever the app does next.
            self.gone = True
            raise
        if final and not self.done:
            self.finish(self.status if self.status is not None else 500)

    def template(self, status: int) -> Optional[str]:
        routes: AsgiRoutes = self.routes
        return routes.template(self.scope, self.method, self.path, self.root_path, status)

    def trace_ids(self) -> Optional[Ids]:
        # Asked as the request ends, from the application's last send: a span that the
        # application or a tracing middleware on either side of this one made current is
        # current here too.
        ids = current_span_ids()
        if ids is None:
            for name, value in self.scope.get("headers") or ():  # lowercase, as ASGI says
                if name == b"traceparent":
                    return parse_traceparent(value.decode("latin-1"))
        return ids


class _CountedExchange(_Exchange):
    """An exchange that also counts the body sizes (the body_sizes option): it reads the request
    headers once as the request arrives, for Content-Length and, in the same pass, traceparent;
    it counts the request body's bytes when there is no Content-Length, and the response's
    until its start gives one."""

    __slots__ = ("traceparent", "request_length", "received", "response_length", "sent")

    def __init__(self, recorder: Recorder, routes: AsgiRoutes, scope: Dict[str, Any], receive: Any,
                 send: Any, method: str, path: str) -> None:
        self.traceparent: Optional[bytes] = None
        length = None
        for name, value in scope.get("headers") or ():
            if name == b"content-length":
                length = value
            elif name == b"traceparent":
                self.traceparent = value
        self.request_length = content_length(length)
        self.received = 0
        self.response_length: Optional[int] = None
        self.sent = 0
        super().__init__(recorder, routes, scope, receive, send, method, path)

    async def __call__(self) -> Any:
        message = await super().__call__()
        try:
            if self.request_length is None and message["type"] == "http.request":
                self.received += len(message.get("body", b""))
        except Exception:
            report_failure()
        return message

    async def send(self, message: Any) -> None:
        try:
            kind = message["type"]
            if kind == "http.response.body":
                self.sent += len(message.get("body", b""))
            elif kind == "http.response.start":
                for name, value in message.get("headers") or ():
                    if name.lower() == b"content-length":
                        self.response_length = content_length(value)
        except Exception:
            report_failure()
        await super().send(message)  # the last body ends the request there, counted

    def trace_ids(self) -> Optional[Ids]:
        ids = current_span_ids()
        if ids is None and self.traceparent is not None:
            ids = parse_traceparent(self.traceparent.decode("latin-1"))
        return ids

    def body_sizes(self, method: str) -> Tuple[Optional[int], Optional[int]]:
        request = self.request_length if self.request_length is not None else self.received
        if method == "HEAD":
            return request, 0  # a server sends no body in answer to HEAD, whatever it was given
        return request, self.response_length if self.response_length is not None else self.sent


class MetricsMiddleware(Middleware):
    """ASGI middleware that records every HTTP request: into the ring of recent requests (as
    ``record_request`` does) and into its per-route series.

    ``metrics_path`` (default ``"/metrics"``, ``None`` to record it too) is never recorded;
    ``exclude_paths`` are regular expressions that must match the whole raw path;
    ``exclude_methods`` are compared case-insensitively. With ``group_paths`` the route template
    (``/items/{item_id}``) is recorded where the framework knows it; otherwise, and for requests
    that matched no route, the raw path, cut to ``max_path_length`` characters.

    ``exemplars=True`` keeps each request's trace (the current OpenTelemetry span, or else its
    sampled W3C ``traceparent`` header) as the exemplar of its latency bucket and of its count,
    shown in OpenMetrics. ``body_sizes=True`` counts the request and response body sizes in
    ``vtr_http_request_size_bytes`` and ``vtr_http_response_size_bytes``. ``status_classes=True``
    counts the series by status class (``2xx``), process-wide.

    Add it with ``app.add_middleware(MetricsMiddleware)`` or wrap an application:
    ``app = MetricsMiddleware(app)``.
    """

    _routes_for = AsgiRoutes
    _exchange_types = (_Exchange, _CountedExchange)

    async def __call__(self, scope: Dict[str, Any], receive: Callable[..., Any],
                       send: Callable[..., Any]) -> None:
        exchange: Optional[_Exchange] = None
        try:
            if scope["type"] == "http":
                scope[WRAPPED_KEY] = True
                method = scope["method"]
                path = scope["path"]
                recorder = self._recorder
                if path not in recorder.skipped_paths and (
                        recorder.skips_by_rule is None
                        or not recorder.skips_by_rule(method, path)):
                    exchange = self._exchange_type(recorder, self._routes, scope, receive, send,
                                                   method, path)
        except Exception:
            report_failure()
        if exchange is None:
            await self.app(scope, receive, send)
            return
        try:
            await self.app(scope, exchange, exchange.send)
        except Exception:
            exchange.finish(exchange.gone_status() if exchange.gone else 500)
            raise
        except BaseException:
            # Cancellation: the server dropped the request, normally because the client left.
            exchange.finish(exchange.gone_status())
            raise
        if not exchange.done:
            if exchange.gone:
                exchange.finish(exchange.gone_status())
            elif exchange.status is not None:
                exchange.finish(exchange.status)
            else:
                exchange.finish(500)  # the server answers a response that never started so
