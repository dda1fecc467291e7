"""WSGI middleware: records every HTTP request once the server has closed its response."""

from __future__ import annotations

import sys
from typing import (Any, Callable, ClassVar, Dict, Iterable, Iterator, List, Optional, Set,
                    Tuple)

from .recorder import (CLIENT_CLOSED_REQUEST, WRAPPED_KEY, Exchange, Middleware, Recorder,
                       report_failure)
from .routes import WsgiRoutes, wsgi_text
from .sizes import content_length
from .traces import Ids, current_span_ids, parse_traceparent


_STATUS_CODES: Dict[str, int] = {}  # "200 OK": 200, for the status lines seen so far
# Types of response iterables that are neither sized nor a server's file wrapper (Flask's and
# Django's): the common case, settled with one set lookup.
_UNSIZED: Set[type] = set()


def _status_code(status: Any) -> int:
    code = int(str(status).split(None, 1)[0])
    if status.__class__ is str and len(_STATUS_CODES) < 256:
        _STATUS_CODES[status] = code
    return code


class _CountingInput:
    """wsgi.input of a request without Content-Length (a chunked one): counts what the
    application reads."""

    __slots__ = ("stream", "count")

    def __init__(self, stream: Any) -> None:
        self.stream = stream
        self.count = 0

    def read(self, *args: Any) -> bytes:
        data: bytes = self.stream.read(*args)
        self.count += len(data)
        return data

    def readline(self, *args: Any) -> bytes:
        line: bytes = self.stream.readline(*args)
        self.count += len(line)
        return line

    def readlines(self, *args: Any) -> List[bytes]:
        lines: List[bytes] = self.stream.readlines(*args)
        self.count += sum(map(len, lines))
        return lines

    def __iter__(self) -> Iterator[bytes]:
        for line in self.stream:
            self.count += len(line)
            yield line

    def __getattr__(self, name: str) -> Any:
        return getattr(self.stream, name)


class _Exchange(Exchange):
    """One HTTP request under way. The application gets its ``start_response``; the server gets
    the exchange back as the response iterable, and closing it ends the request."""

    # trace: set as the response starts (exemplars on). The rest: the body_sizes option's.
    __slots__ = ("environ", "server_start_response", "request", "result", "exhausted", "trace",
                 "request_length", "counted_input", "response_length", "sent")
    trace: Optional[Ids]
    request_length: Optional[int]
    counted_input: Optional[_CountingInput]
    response_length: Optional[int]
    sent: Optional[int]
    # The classes this one becomes for a sized response, and for a list or tuple.
    sized_type: ClassVar[type]
    list_type: ClassVar[type]

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
            if self.recorder.exemplars:
                # Inside the application: a span that it or a tracing middleware on either side
                # of this one made current is current here, and may not be once it returns.
                # Most requests have no trace context at all: two lookups settle that.
                self.trace = (self.find_trace() if "HTTP_TRACEPARENT" in self.environ
                              or "opentelemetry.trace" in sys.modules else None)
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

    def find_trace(self) -> Optional[Ids]:
        ids = current_span_ids()
        if ids is None:
            header = self.environ.get("HTTP_TRACEPARENT")
            if header is not None:
                ids = parse_traceparent(header)
        return ids

    def trace_ids(self) -> Optional[Ids]:
        try:
            return self.trace
        except AttributeError:  # no response started: the header is still there
            return self.find_trace()


class _Sized:
    """For a sized response: servers use ``len()`` to set Content-Length."""

    __slots__ = ()
    result: Any

    def __len__(self) -> int:
        return len(self.result)


class _Listed(_Sized):
    """For a list or tuple, which can neither fail nor stall while the server iterates it."""

    __slots__ = ()

    def __iter__(self) -> Iterator[bytes]:
        return iter(self.result)


class _SizedExchange(_Sized, _Exchange):
    __slots__ = ()


class _ListExchange(_Listed, _Exchange):
    __slots__ = ()


class _CountedExchange(_Exchange):
    """An exchange that also counts the body sizes (the body_sizes option): Content-Length where
    the request or the response gives it, else what passed: the bytes the application read from
    ``wsgi.input``, and the chunks of the response as the server takes them."""

    __slots__ = ()

    def __init__(self, recorder: Recorder, routes: WsgiRoutes, environ: Dict[str, Any],
                 start_response: Callable[..., Any], method: str, path: str) -> None:
        self.request_length = content_length(environ.get("CONTENT_LENGTH"))
        self.counted_input = None
        if self.request_length is None:
            stream = environ.get("wsgi.input")
            if stream is not None and environ.get("HTTP_TRANSFER_ENCODING"):
                self.counted_input = environ["wsgi.input"] = _CountingInput(stream)
            else:
                self.request_length = 0  # neither Content-Length nor a chunked body: none
        self.response_length = None
        self.sent = 0
        super().__init__(recorder, routes, environ, start_response, method, path)

    def start_response(self, status: str, headers: Any, exc_info: Any = None) -> Any:
        try:
            for name, value in headers:
                if name.lower() == "content-length":
                    self.response_length = content_length(value)
        except Exception:
            report_failure()
        return super().start_response(status, headers, exc_info)

    def __iter__(self) -> Iterator[bytes]:
        # _Exchange.__iter__ with a count: apart, so that without the option no chunk pays it.
        try:
            for chunk in self.result:
                self.sent += len(chunk)  # type: ignore[operator]
                yield chunk
        except Exception:
            self.finish(500)
            raise
        self.exhausted = True
        self.finish(self.status if self.status is not None else 500)

    def body_sizes(self, method: str) -> Tuple[Optional[int], Optional[int]]:
        request = self.request_length
        if request is None and self.counted_input is not None:
            request = self.counted_input.count
        if method == "HEAD":
            return request, 0  # a server sends no body in answer to HEAD, whatever it was given
        if self.response_length is not None:
            return request, self.response_length
        if self.__class__ is _CountedListExchange:
            return request, sum(map(len, self.result))
        return request, self.sent


class _CountedSizedExchange(_Sized, _CountedExchange):
    __slots__ = ()


class _CountedListExchange(_Listed, _CountedExchange):
    __slots__ = ()


_Exchange.sized_type = _SizedExchange
_Exchange.list_type = _ListExchange
_CountedExchange.sized_type = _CountedSizedExchange
_CountedExchange.list_type = _CountedListExchange


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
    _exchange_types = (_Exchange, _CountedExchange)

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
                exchange = self._exchange_type(recorder, self._routes, environ, start_response,
                                               method, path)
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
                exchange.__class__ = exchange.list_type
                exchange.exhausted = True
            elif kind is environ.get("wsgi.file_wrapper"):
                exchange.sent = None  # the server sends the file: unknown without Content-Length
                hooked = _file_response(exchange, result)
                if hooked is not None:
                    return hooked
            elif hasattr(kind, "__len__"):
                exchange.__class__ = exchange.sized_type
            elif len(_UNSIZED) < 64:
                _UNSIZED.add(kind)
            exchange.result = result
            return exchange
        except Exception:
            report_failure()
            return result
