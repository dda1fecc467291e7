"""The WSGI middleware, driven in-process by scripted servers: what is recorded and when."""

from __future__ import annotations

import io
import time

import pytest

from vantorel import _core, middleware
from vantorel.middleware import WSGIMetricsMiddleware

from scripted import (Boom, Closing, call_wsgi, flask_app, in_progress, recorded, wsgi_environ,
                      wsgi_hello)


def test_wsgi_request_ends_when_the_body_is_exhausted_or_closed():
    inner = Closing([b"a", b"b"])

    def app(environ, start_response):
        start_response("404 Not Found", [])
        return inner

    result = WSGIMetricsMiddleware(app)(wsgi_environ("/gone"), lambda s, h, e=None: None)
    chunks = iter(result)
    assert [next(chunks), next(chunks)] == [b"a", b"b"]
    assert recorded() == []  # the server may not have sent the last chunk yet
    assert list(chunks) == []
    assert recorded() == [("GET", "/gone", 404)]  # a test client may never close it
    result.close()
    assert inner.closed
    result.close()
    assert recorded() == [("GET", "/gone", 404)]


def test_flask_test_client_responses_end_once_read():
    app = flask_app()
    app.wsgi_app = WSGIMetricsMiddleware(app.wsgi_app)
    client = app.test_client()
    before = in_progress()
    assert client.get("/items/1").data == b"item 1"  # read, and never closed
    with client.get("/items/2") as response:  # read, then closed
        assert response.data == b"item 2"
    assert in_progress() == before
    assert recorded() == [("GET", "/items/<int:item_id>", 200)] * 2


def test_wsgi_duration_covers_streaming_the_body():

    def app(environ, start_response):
        start_response("200 OK", [])
        yield b"a"
        time.sleep(0.05)
        yield b"b"

    assert call_wsgi(WSGIMetricsMiddleware(app), "/slow")[2] == b"ab"
    [request] = _core.get_requests()
    assert request.duration_ms >= 50.0


@pytest.mark.parametrize("where", ["call", "first-chunk", "later-chunk", "close"])
def test_wsgi_exception_is_recorded_as_500_and_propagates_unchanged(where):
    error = Boom(where)

    class FailingClose(Closing):
        def close(self):
            raise error

    def chunks():
        if where == "first-chunk":
            raise error
        yield b"a"
        raise error

    def app(environ, start_response):
        if where == "call":
            raise error
        start_response("200 OK", [])
        return FailingClose([b"a"]) if where == "close" else chunks()

    with pytest.raises(Boom) as caught:
        call_wsgi(WSGIMetricsMiddleware(app), "/boom")
    assert caught.value is error
    # Once the whole body has gone out, the status sent stays, as under ASGI.
    assert recorded() == [("GET", "/boom", 200 if where == "close" else 500)]


@pytest.mark.parametrize("started", [True, False], ids=["after-start", "before-start"])
def test_wsgi_client_that_leaves_mid_response_is_still_recorded(started):
    def app(environ, start_response):
        def chunks():
            start_response("200 OK", [])  # a lazy generator starts the response when iterated
            yield b"a"
            yield b"b"

        return chunks()

    result = WSGIMetricsMiddleware(app)(wsgi_environ("/stream"), lambda s, h, e=None: None)
    if started:
        assert next(iter(result)) == b"a"
    result.close()  # the server gave up: the socket is gone
    assert recorded() == [("GET", "/stream", 200 if started else 499)]


def test_wsgi_keeps_len_write_and_the_file_wrapper():
    written = []

    def start_response(status, headers, exc_info=None):
        return written.append

    def app(environ, start_response):
        write = start_response("200 OK", [])
        write(b"early")
        return [b"one"]

    result = WSGIMetricsMiddleware(app)(wsgi_environ("/len"), start_response)
    assert len(result) == 1 and written == [b"early"]
    result.close()

    class FileWrapper:
        def __init__(self, filelike, blksize=8192):
            self.filelike = filelike

        def __iter__(self):
            return iter([self.filelike.read()])

        def close(self):
            self.filelike.close()

    def file_app(environ, start_response):
        start_response("200 OK", [])
        return environ["wsgi.file_wrapper"](io.BytesIO(b"file body"))

    environ = wsgi_environ("/download")
    environ["wsgi.file_wrapper"] = FileWrapper
    result = WSGIMetricsMiddleware(file_app)(environ, start_response)
    assert type(result) is FileWrapper  # the server may still use sendfile
    assert recorded() == [("GET", "/len", 200)]
    result.close()
    assert result.filelike.closed
    assert recorded() == [("GET", "/len", 200), ("GET", "/download", 200)]


def test_wsgi_paths_are_decoded_as_utf8_and_joined_with_the_script_name():
    environ = wsgi_environ("/caf\u00c3\u00a9")  # "/café" as a WSGI latin-1 string
    environ["SCRIPT_NAME"] = "/shop"
    call_wsgi(WSGIMetricsMiddleware(wsgi_hello), environ=environ)
    assert recorded() == [("GET", "/shop/caf\u00e9", 200)]


def test_wsgi_application_provided_route_key():
    def app(environ, start_response):
        environ[middleware.ROUTE_KEY] = "/users/{id}"
        return wsgi_hello(environ, start_response)

    call_wsgi(WSGIMetricsMiddleware(app), "/users/5")
    assert recorded() == [("GET", "/users/{id}", 200)]
