"""Django middleware: records every request that no WSGI or ASGI middleware of this package
records around Django's handler, and names the matched URL pattern for whichever records it."""

from __future__ import annotations

from typing import Any, Callable, Optional

from .recorder import (DEFAULT_MAX_PATH_LENGTH, ROUTE_KEY, WRAPPED_KEY, Exchange, Recorder,
                       report_failure)
from .routes import wsgi_text


class _Exchange(Exchange):
    """One request under way inside Django's handler."""

    __slots__ = ("request", "response_close")

    def __init__(self, recorder: Recorder, request: Any, method: str, path: str) -> None:
        self.request = request
        self.response_close: Optional[Callable[[], Any]] = None
        self.begin(recorder, None, method, path)

    def template(self, status: int) -> Optional[str]:
        route = self.request.META.get(ROUTE_KEY)
        return route if isinstance(route, str) and route else None

    def respond(self, response: Any) -> None:
        """Ends the request with the response, or, for a streaming one, when it is closed:
        Django's handler and its test client close every response once it has been sent."""
        try:
            status = response.status_code
            self.status = status
            if not response.streaming:
                self.finish(status)
                return
            self.response_close = response.close
            response.close = self.close_response
        except Exception:
            report_failure()
            self.finish(self.status if self.status is not None else 500)

    def close_response(self) -> None:
        close, self.response_close = self.response_close, None  # no cycle left behind
        try:
            if close is not None:
                close()
        finally:
            self.finish(self.gone_status())


class DjangoRouteMiddleware:
    """Django middleware that records every request (method, URL pattern such as
    ``/items/<int:pk>/``, status, duration) and its per-route series.

    Add ``"vantorel.middleware.DjangoRouteMiddleware"`` at the top of ``MIDDLEWARE``: the
    duration then covers every other middleware and the view, and for a streaming response the
    streaming too. Where ``WSGIMetricsMiddleware`` or ``MetricsMiddleware`` wraps Django's
    handler (``wsgi.py``, ``asgi.py``), that one records, from the first byte of the request to
    the last of the response, and this one only hands it the URL pattern: each request is
    recorded once either way. It works in Django's sync and async request paths, with the
    default options (``/metrics`` is not recorded).
    """

    sync_capable = True
    async_capable = True

    def __init__(self, get_response: Callable[..., Any]) -> None:
        self.get_response = get_response
        self._recorder = Recorder("/metrics", (), (), True, DEFAULT_MAX_PATH_LENGTH)
        self._is_async = _is_coroutine_function(get_response)
        if self._is_async:
            from asgiref.sync import markcoroutinefunction  # Django's own dependency

            markcoroutinefunction(self)

    def __call__(self, request: Any) -> Any:
        if self._is_async:
            return self.__acall__(request)
        exchange = self._begin(request)
        if exchange is None:
            return self.get_response(request)
        try:
            response = self.get_response(request)
        except Exception:  # Django turns a view's exceptions into responses: rare here
            exchange.finish(500)
            raise
        except BaseException:
            exchange.finish(exchange.gone_status())
            raise
        exchange.respond(response)
        return response

    async def __acall__(self, request: Any) -> Any:
        exchange = self._begin(request)
        if exchange is None:
            return await self.get_response(request)
        try:
            response = await self.get_response(request)
        except Exception:
            exchange.finish(500)
            raise
        except BaseException:  # cancelled: the client left
            exchange.finish(exchange.gone_status())
            raise
        exchange.respond(response)
        return response

    def _begin(self, request: Any) -> Optional[_Exchange]:
        """The exchange that records this request, or None where a middleware of this package
        around Django's handler records it or its options leave it out."""
        try:
            if WRAPPED_KEY in request.META:
                return None
            scope = getattr(request, "scope", None)
            if isinstance(scope, dict) and WRAPPED_KEY in scope:
                return None
            method = request.method
            path = request.path
            recorder = self._recorder
            if path in recorder.skipped_paths or (recorder.skips_by_rule is not None
                                                  and recorder.skips_by_rule(method, path)):
                return None
            return _Exchange(recorder, request, method, path)
        except Exception:
            report_failure()
            return None

    def process_view(self, request: Any, view_func: Any, view_args: Any,
                     view_kwargs: Any) -> None:
        try:
            route = getattr(getattr(request, "resolver_match", None), "route", None)
            if isinstance(route, str):  # "" is the root route: "/"
                template = wsgi_text(request.META.get("SCRIPT_NAME")) + "/" + route.lstrip("/")
                request.META[ROUTE_KEY] = template  # the WSGI environ itself under WSGIHandler
                scope = getattr(request, "scope", None)
                if isinstance(scope, dict):
                    scope[ROUTE_KEY] = template
        except Exception:
            report_failure()
        return None


def _is_coroutine_function(func: Any) -> bool:
    try:
        from asgiref.sync import iscoroutinefunction

        return bool(iscoroutinefunction(func))
    except ImportError:
        import inspect

        return inspect.iscoroutinefunction(func)
