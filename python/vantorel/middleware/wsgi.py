"""WSGI middleware: records every HTTP request once the server has closed its response."""

from __future__ import annotations

from typing import Any, Callable, Dict, Iterable, Iterator, Optional, Set

from .recorder import (CLIENT_CLOSED_REQUEST, WRAPPED_KEY, Exchange, Middleware, Recorder,
                       report_failure)
from .routes import WsgiRoutes, wsgi_text


_STATUS_CODES: Dict[str, int] = {}  # "200 OK": 200, for the status lines seen so far
# Types of response iterables that are neither sized nor a server's file wrapper (Flask's and
# Django's): the common case, settled with one set lookup.
_UNSIZED: Set[type] = set()


def _status_code(status: Any) -> int:
    code = int(str(status).split(None, 1)[0])
    if status.__class__ is str and len(_STATUS_CODES) < 256:
        _STATUS_CODES[status] = code
    return code


class _Exchange(Exchange):
    """One HTTP request under way. The application gets its ``start_response``; the server gets
    the exchange back as the response iterable, and closing it ends the request."""

    __slots__ = ("environ", "server_start_response", "request", "result", "exhausted")

    def __init__(self, recorder: Recorder, routes: WsgiRoutes, environ: Dict[str, Any],
                 start_response: Callable[..., Any], method: str, path: str) -> None:
        self.environ = environ
        self.server_start_response = start_response
        self.request: Any = None
        self.result: Any = None
        self.exhausted = False
        self.begin(recorder, routes, method, path)

    def start_response(self, status: str, headers: Any, exc_info: Any = None) -> Any:
        try:
            code = _STATUS_CODES.get(status)
            self.status = code if code is not None else _status_code(status)
            # Flask routes into the request object and clears this key once the app returns.
            self.request = self.environ.get("werkzeug.request")
        except Exception:
            report_failure()
        if exc_info is None:
            return self.server_start_response(status, headers)
        return self.server_start_response(status, headers, exc_info)

    def __iter__(self) -> Iterator[bytes]:
        try:
            for chunk in self.result:
                yield chunk
        except Exception:
            self.finish(500)
            raise
        # The server asks for more only once it has sent the last chunk. It closes the response
        # next; a test client (Flask's, Werkzeug's) may never do so.
        self.exhausted = True
        self.finish(self.status if self.status is not None else 500)

    def __bool__(self) -> bool:
        return True

    def close(self) -> None:
        try:
            close = getattr(self.result, "close", None)
            if close is not None:
                close()
        except Exception:
            self.finish(500)
            raise
        finally:
            if not self.done:
                status = self.status
                if status is None:  # no response: the app failed to start one, or the
                    status = 500 if self.exhausted else CLIENT_CLOSED_REQUEST  # client left
                self.finish(status)

    def template(self, status: int) -> Optional[str]:
        routes: WsgiRoutes = self.routes
        return routes.template(self.environ, self.request, status)


class _SizedExchange(_Exchange):
    """For a sized response: servers use ``len()`` to set Content-Length."""

    __slots__ = ()

    def __len__(self) -> int:
        return len(self.result)


class _ListExchange(_SizedExchange):
    """For a list or tuple, which can neither fail nor stall while the server iterates it."""

    __slots__ = ()

    def __iter__(self) -> Iterator[bytes]:
        return iter(self.result)


def _file_response(exchange: _Exchange, result: Any) -> Optional[Iterable[bytes]]:
    # Wrapping would cost the server its sendfile fast path; hook close() instead.
    inner_close = getattr(result, "close", None)

    def close() -> None:
        try:
            if inner_close is not None:
                inner_close()
        finally:
            exchange.finish(exchange.gone_status())

    try:
        result.close = close
    except Exception:
        return None
    hooked: Iterable[bytes] = result
    return hooked


class WSGIMetricsMiddleware(Middleware):
    """WSGI middleware that records every HTTP request: into the ring of recent requests (as
    ``record_request`` does) and into its per-route series.

    The request ends when the server closes the response iterable, so streamed bodies and slow
    clients count in full. Options as for ``MetricsMiddleware``. Route templates come from an
    ``environ["vantorel.route"]`` left by the application (see ``DjangoRouteMiddleware``) or,
    for Flask and other Werkzeug applications, from the application's own URL map.

    Wrap the application: ``app.wsgi_app = WSGIMetricsMiddleware(app.wsgi_app)`` for Flask,
    ``application = WSGIMetricsMiddleware(get_wsgi_application())`` for Django.
    """

    _routes_for = WsgiRoutes

    def __call__(self, environ: Dict[str, Any],
                 start_response: Callable[..., Any]) -> Iterable[bytes]:
        exchange: Optional[_Exchange] = None
        try:
            environ[WRAPPED_KEY] = True
            method = environ["REQUEST_METHOD"]
            path = environ.get("PATH_INFO") or ""
            if not path.isascii():
                path = wsgi_text(path)
            script_name = environ.get("SCRIPT_NAME")
            if script_name:
                path = wsgi_text(script_name) + path
            recorder = self._recorder
            if path not in recorder.skipped_paths and (
                    recorder.skips_by_rule is None or not recorder.skips_by_rule(method, path)):
                exchange = _Exchange(recorder, self._routes, environ, start_response, method,
                                     path)
        except Exception:
            report_failure()
        if exchange is None:
            unrecorded: Iterable[bytes] = self.app(environ, start_response)
            return unrecorded
        try:
            result: Iterable[bytes] = self.app(environ, exchange.start_response)
        except Exception:
            exchange.finish(500)
            raise
        except BaseException:
            exchange.finish(exchange.gone_status())
            raise
        # The exchange becomes the response iterable; for a sized response it takes the class
        # that keeps len(), rather than a second object per request.
        try:
            kind = result.__class__
            if kind in _UNSIZED:
                pass
            elif kind is list or kind is tuple:
                # The response was complete, with its start_response call, on return.
                exchange.__class__ = _ListExchange
                exchange.exhausted = True
            elif kind is environ.get("wsgi.file_wrapper"):
                hooked = _file_response(exchange, result)
                if hooked is not None:
                    return hooked
            elif hasattr(kind, "__len__"):
                exchange.__class__ = _SizedExchange
            elif len(_UNSIZED) < 64:
                _UNSIZED.add(kind)
            exchange.result = result
            return exchange
        except Exception:
            report_failure()
            return result
