"""Request middleware: one ``record_request`` call per finished HTTP request.

``MetricsMiddleware`` wraps any ASGI application (Starlette, FastAPI, Litestar, Django's
``ASGIHandler``); ``WSGIMetricsMiddleware`` wraps any WSGI application (Flask, Django's
``WSGIHandler``). Both record the method, the path (or the route template), the status and the
time from the start of the request until the response was sent completely.

The middleware never breaks a request: whatever goes wrong in its own bookkeeping is logged on
the ``vantorel`` logger and swallowed, and exceptions of the application pass through unchanged.
"""

from __future__ import annotations

import logging
import re
import threading
from time import perf_counter
from typing import Any, Callable, Iterable, Iterator, Optional, Pattern, Tuple

from . import _core

__all__ = [
    "DEFAULT_MAX_PATH_LENGTH",
    "MAX_METHOD_LENGTH",
    "ROUTE_KEY",
    "DjangoRouteMiddleware",
    "MetricsMiddleware",
    "WSGIMetricsMiddleware",
]

DEFAULT_MAX_PATH_LENGTH = 256
"""Recorded paths are cut to this many characters unless the middleware is told otherwise."""

MAX_METHOD_LENGTH = 32
"""Recorded methods are cut to this many characters: a client chooses the method too."""

ROUTE_KEY = "vantorel.route"
"""Key in the ASGI scope or the WSGI environ under which an application may leave the route
template of the request (``/items/{item_id}``); the middleware records it instead of the path."""

# Recorded when the client went away before the application started a response.
CLIENT_CLOSED_REQUEST = 499

# What the middleware's own bookkeeping may raise. The core's PanicException derives from
# BaseException so that applications do not swallow it; here it must not reach the application.
_OWN_FAILURES = (Exception, getattr(_core, "PanicException", Exception))

_LOG = logging.getLogger("vantorel")
_WARNED = False
_WARNED_LOCK = threading.Lock()


def _report_failure() -> None:
    """Logs a failure of the middleware's own bookkeeping: the first one as a warning with its
    traceback, later ones at debug level, so that a persistent fault cannot flood the log."""
    global _WARNED
    try:
        with _WARNED_LOCK:
            first = not _WARNED
            _WARNED = True
        if first:
            _LOG.warning("vantorel: a request could not be recorded", exc_info=True)
        else:
            _LOG.debug("vantorel: a request could not be recorded", exc_info=True)
    except Exception:  # logging itself is misconfigured: nothing left to tell
        pass


class _Options:
    """The settings shared by both middlewares: which requests to skip and how to name paths."""

    __slots__ = ("metrics_paths", "exclude_paths", "exclude_methods", "group_paths",
                 "max_path_length")

    def __init__(
        self,
        metrics_path: Optional[str],
        exclude_paths: Iterable[str | Pattern[str]],
        exclude_methods: Iterable[str],
        group_paths: bool,
        max_path_length: Optional[int],
    ) -> None:
        if isinstance(exclude_paths, (str, re.Pattern)):
            exclude_paths = [exclude_paths]
        if isinstance(exclude_methods, str):
            exclude_methods = [exclude_methods]
        if max_path_length is not None:
            if isinstance(max_path_length, bool) or not isinstance(max_path_length, int):
                raise TypeError("max_path_length must be an int or None")
            if max_path_length < 1:
                raise ValueError("max_path_length must be at least 1")
        paths: Tuple[str, ...] = ()
        if metrics_path:
            stripped = metrics_path.rstrip("/") or "/"
            paths = (stripped, stripped + "/") if stripped != "/" else ("/",)
        self.metrics_paths = frozenset(paths)
        self.exclude_paths = tuple(re.compile(p) for p in exclude_paths)
        self.exclude_methods = frozenset(m.upper() for m in exclude_methods)
        self.group_paths = bool(group_paths)
        self.max_path_length = max_path_length

    def excluded(self, method: str, path: str) -> bool:
        if path in self.metrics_paths:
            return True
        if self.exclude_methods and method.upper() in self.exclude_methods:
            return True
        return any(p.fullmatch(path) for p in self.exclude_paths)

    def recorded_path(self, path: str) -> str:
        limit = self.max_path_length
        if limit is not None and len(path) > limit:
            return path[:limit]
        return path


def _record(method: str, path: str, status: int, started: float) -> None:
    duration_ms = (perf_counter() - started) * 1000.0
    if len(method) > MAX_METHOD_LENGTH:
        method = method[:MAX_METHOD_LENGTH]
    if not 0 <= status <= 65535:
        status = 0
    try:
        _core.record_request(method, path, status, duration_ms)
    except UnicodeEncodeError:
        # Lone surrogates cannot be stored as UTF-8; keep the request with them replaced.
        _core.record_request(_clean(method), _clean(path), status, duration_ms)


def _clean(text: str) -> str:
    return text.encode("utf-8", "replace").decode("utf-8")


# ---------------------------------------------------------------------------------------------
# Route templates


def _match_is_full(match: Any) -> bool:
    # Starlette's Match enum, compared by name so that Starlette need not be importable here.
    return getattr(match, "name", None) == "FULL"


def _starlette_template(app: Any, scope: dict) -> Optional[str]:
    """Walks a Starlette-style router (Starlette, FastAPI) the way it routed the request and
    joins the templates of the matched Mounts and the final Route."""
    routes = getattr(app, "routes", None)
    prefix = ""
    for _depth in range(16):  # mounts nest a few levels at most; never loop forever
        if not routes:
            return None
        partial = None
        for route in routes:
            try:
                match, child_scope = route.matches(scope)
            except Exception:
                continue
            if _match_is_full(match):
                break
            if partial is None and getattr(match, "name", None) == "PARTIAL":
                partial = (route, child_scope)  # the path matched, the method did not: a 405
        else:
            if partial is None:
                return None
            route, child_scope = partial
        path = getattr(route, "path", None)
        sub_routes = getattr(route, "routes", None)
        if sub_routes is not None and not hasattr(route, "endpoint"):
            # A Mount (or Host): go on matching in its routes with its child scope.
            if isinstance(path, str):
                prefix += path
            if not sub_routes:
                return prefix + "/{path:path}" if isinstance(path, str) else None
            scope = {**scope, **child_scope}
            routes = sub_routes
            continue
        if not isinstance(path, str):
            return None
        return prefix + path
    return None


def _asgi_template(scope: dict, entry_scope: dict, candidates: Tuple[Any, ...]) -> Optional[str]:
    explicit = scope.get(ROUTE_KEY)
    if isinstance(explicit, str) and explicit:
        return explicit
    litestar = scope.get("path_template")
    if isinstance(litestar, str) and litestar:
        return litestar
    for app in candidates:
        if app is not None and getattr(app, "routes", None):
            template = _starlette_template(app, entry_scope)
            if template is not None:
                return template
    route = scope.get("route")
    path = getattr(route, "path", None)
    if isinstance(path, str) and path and not hasattr(route, "routes"):
        return path
    return None


# ---------------------------------------------------------------------------------------------
# ASGI


class _AsgiCycle:
    """What one HTTP request's messages told so far, and the one recording it ends with."""

    __slots__ = ("method", "path", "started", "status", "response_started", "trailers",
                 "disconnected", "send_failed", "done")

    def __init__(self, method: str, path: str, started: float) -> None:
        self.method = method
        self.path = path
        self.started = started
        self.status = 0
        self.response_started = False
        self.trailers = False
        self.disconnected = False
        self.send_failed = False
        self.done = False


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
        self._options = _Options(metrics_path, exclude_paths, exclude_methods, group_paths,
                                 max_path_length)

    async def __call__(self, scope: dict, receive: Callable[..., Any],
                       send: Callable[..., Any]) -> None:
        started = perf_counter()
        try:
            cycle: Optional[_AsgiCycle] = None
            if scope.get("type") == "http":
                method = str(scope.get("method") or "")
                path = str(scope.get("path") or "")
                if not self._options.excluded(method, path):
                    cycle = _AsgiCycle(method, path, started)
                    # Routers write into the scope as they route; keep what it was on entry.
                    entry_scope = dict(scope) if self._options.group_paths else scope
                    entry_app = scope.get("app")
        except Exception:
            _report_failure()
            cycle = None
        if cycle is None:
            await self.app(scope, receive, send)
            return

        async def receive_wrapper() -> Any:
            message = await receive()
            if isinstance(message, dict) and message.get("type") == "http.disconnect":
                cycle.disconnected = True
            return message

        async def send_wrapper(message: Any) -> None:
            final = False
            try:
                kind = message.get("type")
                if kind == "http.response.start":
                    cycle.status = int(message.get("status", 0))
                    cycle.response_started = True
                    cycle.trailers = bool(message.get("trailers", False))
                elif cycle.trailers:
                    final = kind == "http.response.trailers" and not message.get(
                        "more_trailers", False)
                elif kind in ("http.response.body", "http.response.zerocopysend"):
                    final = not message.get("more_body", False)
                elif kind == "http.response.pathsend":
                    final = True
            except Exception:
                _report_failure()
            try:
                await send(message)
            except OSError:
                # How servers say that the client has gone (ASGI 2.4), whatever the app does next.
                cycle.send_failed = True
                raise
            if final:
                self._finish(cycle, scope, entry_scope, entry_app, cycle.status)

        try:
            await self.app(scope, receive_wrapper, send_wrapper)
        except Exception:
            if cycle.send_failed or cycle.disconnected:
                self._finish(cycle, scope, entry_scope, entry_app, self._gone_status(cycle))
            else:
                self._finish(cycle, scope, entry_scope, entry_app, 500)
            raise
        except BaseException:
            # Cancellation: the server dropped the request, normally because the client left.
            self._finish(cycle, scope, entry_scope, entry_app, self._gone_status(cycle))
            raise
        if not cycle.done:
            if cycle.send_failed or cycle.disconnected:
                status = self._gone_status(cycle)
            elif cycle.response_started:
                status = cycle.status
            else:
                status = 500  # the server answers a response that never started with a 500
            self._finish(cycle, scope, entry_scope, entry_app, status)

    @staticmethod
    def _gone_status(cycle: _AsgiCycle) -> int:
        return cycle.status if cycle.response_started else CLIENT_CLOSED_REQUEST

    def _finish(self, cycle: _AsgiCycle, scope: dict, entry_scope: dict, entry_app: Any,
                status: int) -> None:
        if cycle.done:
            return
        cycle.done = True
        try:
            path = cycle.path
            options = self._options
            if options.group_paths:
                template = _asgi_template(scope, entry_scope,
                                          (entry_app, self.app, scope.get("app")))
                if template is not None:
                    path = template
            _record(cycle.method, options.recorded_path(path), status, cycle.started)
        except _OWN_FAILURES:
            _report_failure()


# ---------------------------------------------------------------------------------------------
# WSGI


def _wsgi_text(value: Any) -> str:
    """A WSGI "native string" holds the raw bytes as latin-1; show them as the UTF-8 they are."""
    text = str(value or "")
    try:
        return text.encode("latin-1").decode("utf-8", "replace")
    except UnicodeEncodeError:
        return text


def _werkzeug_template(app: Any, environ: dict) -> Optional[str]:
    # Flask keeps its routing table on the application; a bound ``app.wsgi_app`` leads back to it.
    owner = app if hasattr(app, "url_map") else getattr(app, "__self__", None)
    url_map = getattr(owner, "url_map", None)
    if url_map is None or not hasattr(url_map, "bind_to_environ"):
        return None
    try:
        rule, _args = url_map.bind_to_environ(environ).match(return_rule=True)
    except Exception:  # NotFound, MethodNotAllowed, RequestRedirect: no template
        return None
    template = getattr(rule, "rule", None)
    if not isinstance(template, str):
        return None
    return _wsgi_text(environ.get("SCRIPT_NAME")) + template


class _WsgiCycle:
    __slots__ = ("method", "path", "started", "status", "exhausted", "done")

    def __init__(self, method: str, path: str, started: float) -> None:
        self.method = method
        self.path = path
        self.started = started
        self.status: Optional[int] = None
        self.exhausted = False
        self.done = False


class WSGIMetricsMiddleware:
    """WSGI middleware that records every HTTP request with ``record_request``.

    The request ends when the server closes the response iterable, so streamed bodies and slow
    clients count in full. Options as for ``MetricsMiddleware``. Route templates come from an
    ``environ["vantorel.route"]`` left by the application (see ``DjangoRouteMiddleware``) or,
    for Flask and other Werkzeug applications, from the application's own URL map.

    Wrap the application: ``app.wsgi_app = WSGIMetricsMiddleware(app.wsgi_app)`` for Flask,
    ``application = WSGIMetricsMiddleware(get_wsgi_application())`` for Django.
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
        self._options = _Options(metrics_path, exclude_paths, exclude_methods, group_paths,
                                 max_path_length)

    def __call__(self, environ: dict, start_response: Callable[..., Any]) -> Iterable[bytes]:
        started = perf_counter()
        try:
            method = str(environ.get("REQUEST_METHOD") or "")
            path = _wsgi_text(environ.get("SCRIPT_NAME")) + _wsgi_text(environ.get("PATH_INFO"))
            cycle: Optional[_WsgiCycle] = None
            if not self._options.excluded(method, path):
                cycle = _WsgiCycle(method, path, started)
        except Exception:
            _report_failure()
            cycle = None
        if cycle is None:
            return self.app(environ, start_response)

        def start_response_wrapper(status: str, headers: Any, exc_info: Any = None) -> Any:
            try:
                cycle.status = int(str(status).split(None, 1)[0])
            except Exception:
                _report_failure()
            if exc_info is None:
                return start_response(status, headers)
            return start_response(status, headers, exc_info)

        try:
            result = self.app(environ, start_response_wrapper)
        except Exception:
            self._finish(cycle, environ, 500)
            raise
        except BaseException:
            self._finish(cycle, environ, self._gone_status(cycle))
            raise
        try:
            return self._wrap(result, cycle, environ)
        except Exception:
            _report_failure()
            return result

    def _wrap(self, result: Any, cycle: _WsgiCycle, environ: dict) -> Iterable[bytes]:
        file_wrapper = environ.get("wsgi.file_wrapper")
        if isinstance(file_wrapper, type) and isinstance(result, file_wrapper):
            # Wrapping would cost the server its sendfile fast path; hook close() instead.
            inner_close = getattr(result, "close", None)

            def close() -> None:
                try:
                    if inner_close is not None:
                        inner_close()
                finally:
                    self._finish(cycle, environ, cycle.status if cycle.status is not None
                                 else CLIENT_CLOSED_REQUEST)

            try:
                result.close = close
                return result
            except Exception:
                pass
        if hasattr(type(result), "__len__"):
            return _SizedResponse(self, result, cycle, environ)
        return _Response(self, result, cycle, environ)

    @staticmethod
    def _gone_status(cycle: _WsgiCycle) -> int:
        return cycle.status if cycle.status is not None else CLIENT_CLOSED_REQUEST

    def _finish(self, cycle: _WsgiCycle, environ: dict, status: int) -> None:
        if cycle.done:
            return
        cycle.done = True
        try:
            path = cycle.path
            options = self._options
            if options.group_paths:
                template = environ.get(ROUTE_KEY)
                if not (isinstance(template, str) and template):
                    template = _werkzeug_template(self.app, environ)
                if template is not None:
                    path = template
            _record(cycle.method, options.recorded_path(path), status, cycle.started)
        except _OWN_FAILURES:
            _report_failure()


class _Response:
    """The application's response iterable, passed through; closing it ends the request."""

    __slots__ = ("_middleware", "_result", "_iterator", "_cycle", "_environ")

    def __init__(self, middleware: WSGIMetricsMiddleware, result: Any, cycle: _WsgiCycle,
                 environ: dict) -> None:
        self._middleware = middleware
        self._result = result
        self._iterator: Optional[Iterator[bytes]] = None
        self._cycle = cycle
        self._environ = environ

    def __iter__(self) -> Iterator[bytes]:
        return self

    def __next__(self) -> bytes:
        if self._iterator is None:
            try:
                self._iterator = iter(self._result)
            except Exception:
                self._middleware._finish(self._cycle, self._environ, 500)
                raise
        try:
            return next(self._iterator)
        except StopIteration:
            self._cycle.exhausted = True
            raise
        except Exception:
            self._middleware._finish(self._cycle, self._environ, 500)
            raise

    def __bool__(self) -> bool:
        return True

    def close(self) -> None:
        cycle = self._cycle
        close = getattr(self._result, "close", None)
        try:
            if close is not None:
                close()
        except Exception:
            self._middleware._finish(cycle, self._environ, 500)
            raise
        finally:
            if cycle.exhausted:
                status = cycle.status if cycle.status is not None else 500
            else:  # the server stopped early: the client went away
                status = cycle.status if cycle.status is not None else CLIENT_CLOSED_REQUEST
            self._middleware._finish(cycle, self._environ, status)


class _SizedResponse(_Response):
    """Keeps ``len()`` of a list response, which servers use to set Content-Length."""

    __slots__ = ()

    def __len__(self) -> int:
        return len(self._result)


# ---------------------------------------------------------------------------------------------
# Django


class DjangoRouteMiddleware:
    """Django middleware that hands the matched URL pattern (``/items/<int:pk>/``) to the WSGI or
    ASGI middleware around Django, which records it instead of the raw path.

    Add ``"vantorel.middleware.DjangoRouteMiddleware"`` to ``MIDDLEWARE``; it works in both
    Django's sync and async request paths and changes nothing else.
    """

    sync_capable = True
    async_capable = True

    def __init__(self, get_response: Callable[..., Any]) -> None:
        self.get_response = get_response
        self._is_async = _is_coroutine_function(get_response)
        if self._is_async:
            from asgiref.sync import markcoroutinefunction  # Django's own dependency

            markcoroutinefunction(self)

    def __call__(self, request: Any) -> Any:
        if self._is_async:
            return self.__acall__(request)
        return self.get_response(request)

    async def __acall__(self, request: Any) -> Any:
        return await self.get_response(request)

    def process_view(self, request: Any, view_func: Any, view_args: Any,
                     view_kwargs: Any) -> None:
        try:
            route = getattr(getattr(request, "resolver_match", None), "route", None)
            if isinstance(route, str) and route:
                template = _wsgi_text(request.META.get("SCRIPT_NAME")) + "/" + route.lstrip("/")
                request.META[ROUTE_KEY] = template  # the WSGI environ itself under WSGIHandler
                scope = getattr(request, "scope", None)
                if isinstance(scope, dict):
                    scope[ROUTE_KEY] = template
        except Exception:
            _report_failure()
        return None


def _is_coroutine_function(func: Any) -> bool:
    try:
        from asgiref.sync import iscoroutinefunction

        return bool(iscoroutinefunction(func))
    except ImportError:
        import inspect

        return inspect.iscoroutinefunction(func)
