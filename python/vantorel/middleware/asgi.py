"""ASGI middleware: records every HTTP request once its response has gone out completely."""

from __future__ import annotations

from types import MethodType
from typing import Any, Callable, Dict, Iterable, Optional, Pattern

from .recorder import (CLIENT_CLOSED_REQUEST, DEFAULT_MAX_PATH_LENGTH, Recorder,
                       report_failure)
from .routes import AsgiRoutes


class _Exchange:
    """One HTTP request under way: what its messages told so far, and the recording that ends
    it, exactly once. The application gets ``exchange.send`` as its ``send`` and the exchange
    itself as its ``receive``: most requests never call that, and nothing is made for it."""

    __slots__ = ("recorder", "routes", "scope", "server_receive", "server_send", "method", "path",
                 "root_path", "started", "status", "trailers", "gone", "done")

    def __init__(self, recorder: Recorder, routes: AsgiRoutes, scope: Dict[str, Any], receive: Any,
                 send: Any, method: str, path: str) -> None:
        self.recorder = recorder
        self.routes = routes
        self.scope = scope
        self.server_receive = receive
        self.server_send = send
        self.method = method
        self.path = path
        self.root_path = scope.get("root_path", "")  # routers rewrite it inside Mounts
        self.status: Optional[int] = None  # set when the response starts
        self.trailers = False
        self.gone = False  # the server told that the client has left
        self.done = False
        self.started = recorder.start(method)

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
            # finish(), written out: the way of every request, and one Python call less.
            self.done = True
            # The template even when group_paths is off: the per-route series need it.
            try:
                template = self.routes.template(self.scope, self.method, self.path,
                                                self.root_path)
            except Exception:
                template = None
                report_failure()
            self.recorder.finish(self.method, self.path, template,
                                 self.status if self.status is not None else 500, self.started)

    def gone_status(self) -> int:
        return self.status if self.status is not None else CLIENT_CLOSED_REQUEST

    def finish(self, status: int) -> None:
        if self.done:
            return
        self.done = True
        # The template even when group_paths is off: the per-route series need it.
        try:
            template = self.routes.template(self.scope, self.method, self.path,
                                            self.root_path)
        except Exception:
            template = None
            report_failure()
        self.recorder.finish(self.method, self.path, template, status, self.started)


class MetricsMiddleware:
    """ASGI middleware that records every HTTP request with ``record_request``.

    ``metrics_path`` (default ``"/metrics"``, ``None`` to record it too) is never recorded;
    ``exclude_paths`` are regular expressions that must match the whole raw path;
    ``exclude_methods`` are compared case-insensitively. With ``group_paths`` the route template
    (``/items/{item_id}``) is recorded where the framework knows it; otherwise, and for requests
    that matched no route, the raw path, cut to ``max_path_length`` characters.

    Add it with ``app.add_middleware(MetricsMiddleware)`` or wrap an application:
    ``app = MetricsMiddleware(app)``.
    """

    def __init__(
        self,
        app: Callable[..., Any],
        *,
        metrics_path: Optional[str] = "/metrics",
        exclude_paths: Iterable[str | Pattern[str]] = (),
        exclude_methods: Iterable[str] = (),
        group_paths: bool = True,
        max_path_length: Optional[int] = DEFAULT_MAX_PATH_LENGTH,
    ) -> None:
        self.app = app
        self._recorder = Recorder(metrics_path, exclude_paths, exclude_methods, group_paths,
                                  max_path_length)
        self._routes = AsgiRoutes(app)

    async def __call__(self, scope: Dict[str, Any], receive: Callable[..., Any],
                       send: Callable[..., Any]) -> None:
        exchange: Optional[_Exchange] = None
        try:
            if scope["type"] == "http":
                method = scope["method"]
                path = scope["path"]
                recorder = self._recorder
                if path not in recorder.skipped_paths and (
                        recorder.skips_by_rule is None
                        or not recorder.skips_by_rule(method, path)):
                    exchange = _Exchange(recorder, self._routes, scope, receive, send, method,
                                         path)
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
