"""Request middleware: one ``record_request`` call per finished HTTP request.

``MetricsMiddleware`` wraps any ASGI application (Starlette, FastAPI, Litestar, Django's
``ASGIHandler``); ``WSGIMetricsMiddleware`` wraps any WSGI application (Flask, Django's
``WSGIHandler``). Both record the method, the path (or the route template), the status and the
time from the start of the request until the response was sent completely.

The middleware never breaks a request: whatever goes wrong in its own bookkeeping is logged on
the ``vantorel`` logger and swallowed, and exceptions of the application pass through unchanged.
"""

from .asgi import MetricsMiddleware
from .django import DjangoRouteMiddleware
from .recorder import DEFAULT_MAX_PATH_LENGTH, MAX_METHOD_LENGTH, ROUTE_KEY
from .wsgi import WSGIMetricsMiddleware

__all__ = [
    "DEFAULT_MAX_PATH_LENGTH",
    "MAX_METHOD_LENGTH",
    "ROUTE_KEY",
    "DjangoRouteMiddleware",
    "MetricsMiddleware",
    "WSGIMetricsMiddleware",
]
