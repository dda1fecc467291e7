"""The metrics endpoint apps: ASGI, WSGI and the Django view."""

from __future__ import annotations

import asyncio
import gzip
from typing import List

import pytest

from vantorel import _core, _native
from vantorel.endpoint import make_asgi_app, make_wsgi_app

from scripted import call_wsgi, http_scope, serve, wsgi_environ


def sample_lines(text: str) -> List[str]:
    """The request figures of a document: they do not move between two renderings."""
    return [line for line in text.split("\n")
            if line and not line.startswith("vtr_process_") and "process" not in line]


@pytest.mark.parametrize("encoding", [None, "gzip", "br, gzip;q=0.5", "gzip;q=0"])
@pytest.mark.parametrize("with_series", [True, False], ids=["series", "metrics_text"])
@pytest.mark.parametrize("kind", ["asgi", "wsgi"])
def test_metrics_endpoint_serves_the_document(kind, with_series, encoding):
    _core.record_request("GET", "/x", 503, 12.5)
    _native.series_observe("GET", "/x", 503, 12.5)
    if kind == "asgi":
        scope = http_scope("/metrics")
        if encoding is not None:
            scope["headers"].append((b"accept-encoding", encoding.encode()))
        client = serve(make_asgi_app(series=with_series), scope=scope)
        status, body = client.status(), client.body()
        headers = {k.decode(): v.decode() for k, v in client.sent[0]["headers"]}
    else:
        environ = wsgi_environ("/metrics")
        if encoding is not None:
            environ["HTTP_ACCEPT_ENCODING"] = encoding
        status_line, header_list, body = call_wsgi(make_wsgi_app(series=with_series),
                                                   environ=environ)
        status, headers = int(status_line.split()[0]), {k.lower(): v for k, v in header_list}
    assert status == 200
    assert headers["content-type"] == "text/plain; version=0.0.4; charset=utf-8"
    assert int(headers["content-length"]) == len(body)
    gzipped = encoding in ("gzip", "br, gzip;q=0.5")
    assert headers.get("content-encoding") == ("gzip" if gzipped else None)
    text = (gzip.decompress(body) if gzipped else body).decode()
    expected = _core.metrics_text() + (_native.series_text() if with_series else "")
    assert sample_lines(text) == sample_lines(expected)
    assert "vtr_requests_total 1\n" in text and "vtr_errors_total 1\n" in text
    labelled = 'vtr_http_requests_total{method="GET",route="/x",status="503"} 1\n'
    assert (labelled in text, "process_open_fds " in text) == (with_series, with_series)


@pytest.mark.parametrize("kind", ["asgi", "wsgi"])
@pytest.mark.parametrize("method", ["HEAD", "POST", "DELETE"])
def test_metrics_endpoint_methods(kind, method):
    if kind == "asgi":
        client = serve(make_asgi_app(), "/metrics", method)
        status, body = client.status(), client.body()
        headers = {k.decode(): v.decode() for k, v in client.sent[0]["headers"]}
    else:
        status_line, header_list, body = call_wsgi(make_wsgi_app(), "/metrics", method)
        status, headers = int(status_line.split()[0]), {k.lower(): v for k, v in header_list}
    if method == "HEAD":
        assert (status, body) == (200, b"")
        assert int(headers["content-length"]) > 1000
    else:
        assert (status, body, headers["allow"]) == (405, b"Method Not Allowed\n", "GET, HEAD")


def test_asgi_metrics_app_answers_lifespan():
    messages = [{"type": "lifespan.startup"}, {"type": "lifespan.shutdown"}]
    sent: List[dict] = []

    async def receive():
        return messages.pop(0)

    async def send(message):
        sent.append(message)

    asyncio.run(make_asgi_app()({"type": "lifespan"}, receive, send))
    assert sent == [{"type": "lifespan.startup.complete"}, {"type": "lifespan.shutdown.complete"}]


def test_django_metrics_view(django_project):
    from django.test import RequestFactory

    from vantorel.endpoint import django_metrics_view

    _core.record_request("GET", "/x", 200, 1.0)
    response = django_metrics_view(RequestFactory().get("/metrics"))
    assert response.status_code == 200
    assert response["Content-Type"] == "text/plain; version=0.0.4; charset=utf-8"
    assert b"vtr_requests_total 1\n" in response.content
    assert django_metrics_view(RequestFactory().post("/metrics")).status_code == 405


@pytest.mark.parametrize("method, status", [("get", 200), ("head", 200), ("post", 405),
                                            ("put", 405), ("delete", 405)])
def test_django_metrics_view_under_csrf_protection(django_project, method, status):
    from django.test import Client, override_settings

    # A view with no state to protect: CsrfViewMiddleware lets every method reach it.
    with override_settings(MIDDLEWARE=["django.middleware.csrf.CsrfViewMiddleware"]):
        response = getattr(Client(enforce_csrf_checks=True), method)("/metrics")
    assert response.status_code == status
    if status == 405:
        assert response["Allow"] == "GET, HEAD"
