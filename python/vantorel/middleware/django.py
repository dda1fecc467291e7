"""Django middleware that hands the matched URL pattern to the metrics middleware around
Django's handler."""

from __future__ import annotations

from typing import Any, Callable

from .recorder import ROUTE_KEY, report_failure
from .routes import wsgi_text


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
