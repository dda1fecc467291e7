"""ASGI and WSGI servers in miniature: the messages a server would exchange, scripted, so that
disconnects, failing sends and exceptions happen exactly where a test wants them; and what the
core recorded, the per-route series and the in-progress gauge; a small Flask app."""

from __future__ import annotations

import asyncio
import io
from typing import Any, Dict, List, Optional

import pytest

from vantorel import _core, series


def recorded() -> List[tuple]:
    return [(r.method, r.path, r.status_code) for r in _core.get_requests()]


# ---------------------------------------------------------------------------------------------
# An ASGI server in miniature


def http_scope(path: str = "/", method: str = "GET") -> Dict[str, Any]:
    return {
        "type": "http", "asgi": {"version": "3.0"}, "http_version": "1.1",
        "method": method, "scheme": "http", "path": path,
        "raw_path": path.encode("utf-8", "surrogatepass"),
        "root_path": "", "query_string": b"", "headers": [(b"host", b"testserver")],
        "client": ("127.0.0.1", 50000), "server": ("127.0.0.1", 8000),
    }


class Client:
    """Plays the server's side of one ASGI HTTP request."""

    def __init__(self, disconnect_after_body: bool = False,
                 fail_send_on: Optional[str] = None, send_delay: float = 0.0) -> None:
        self.sent: List[dict] = []
        self.disconnect_after_body = disconnect_after_body
        self.fail_send_on = fail_send_on
        self.send_delay = send_delay
        self._request_sent = False

    async def receive(self) -> dict:
        if not self._request_sent:
            self._request_sent = True
            return {"type": "http.request", "body": b"", "more_body": False}
        if self.disconnect_after_body:
            return {"type": "http.disconnect"}
        await asyncio.sleep(3600)
        raise AssertionError("unreachable")

    async def send(self, message: dict) -> None:
        if self.fail_send_on is not None and message["type"] == self.fail_send_on:
            raise OSError("connection reset by peer")
        if self.send_delay and not message.get("more_body", False):
            await asyncio.sleep(self.send_delay)
        self.sent.append(message)

    def status(self) -> Optional[int]:
        starts = [m for m in self.sent if m["type"] == "http.response.start"]
        return starts[0]["status"] if starts else None

    def body(self) -> bytes:
        return b"".join(m.get("body", b"") for m in self.sent if m["type"] == "http.response.body")


def serve(app: Any, path: str = "/", method: str = "GET", client: Optional[Client] = None,
          scope: Optional[dict] = None) -> Client:
    client = client or Client()
    asyncio.run(app(scope or http_scope(path, method), client.receive, client.send))
    return client


async def plain_response(send: Any, status: int = 200, body: bytes = b"ok") -> None:
    await send({"type": "http.response.start", "status": status,
                "headers": [(b"content-type", b"text/plain")]})
    await send({"type": "http.response.body", "body": body})


async def hello_app(scope: dict, receive: Any, send: Any) -> None:
    await plain_response(send)


class Boom(Exception):
    pass


def wsgi_hello(environ: dict, start_response: Any) -> List[bytes]:
    start_response("200 OK", [("Content-Type", "text/plain")])
    return [b"hello"]


def wsgi_environ(path: str = "/", method: str = "GET") -> dict:
    return {
        "REQUEST_METHOD": method, "SCRIPT_NAME": "", "PATH_INFO": path, "QUERY_STRING": "",
        "SERVER_NAME": "testserver", "SERVER_PORT": "80", "SERVER_PROTOCOL": "HTTP/1.1",
        "HTTP_HOST": "testserver", "wsgi.version": (1, 0), "wsgi.url_scheme": "http",
        "wsgi.input": io.BytesIO(), "wsgi.errors": io.StringIO(), "wsgi.multithread": False,
        "wsgi.multiprocess": False, "wsgi.run_once": False,
    }


def call_wsgi(app: Any, path: str = "/", method: str = "GET",
              environ: Optional[dict] = None) -> tuple:
    """What a WSGI server does: call, iterate, close. Returns (status, headers, body)."""
    seen: Dict[str, Any] = {}

    def start_response(status, headers, exc_info=None):
        seen["status"], seen["headers"] = status, headers
        return lambda data: None

    result = app(environ or wsgi_environ(path, method), start_response)
    try:
        body = b"".join(result)
    finally:
        if hasattr(result, "close"):
            result.close()
    return seen.get("status"), seen.get("headers"), body


class Closing:
    """A response iterable that says when the server closed it."""

    def __init__(self, chunks: List[bytes]) -> None:
        self.chunks = chunks
        self.closed = False

    def __iter__(self):
        return iter(self.chunks)

    def close(self) -> None:
        self.closed = True


def series_counts() -> Dict[tuple, int]:
    return {(s.method, s.route, s.status): s.count for s in series.snapshot().series}


def in_progress() -> int:
    return series.snapshot().in_progress["GET"]


def flask_app() -> Any:
    pytest.importorskip("flask")
    from flask import Flask

    app = Flask("vantorel_test")

    @app.route("/items/<int:item_id>")
    def item(item_id):
        return f"item {item_id}"

    @app.route("/boom/<int:n>")
    def boom(n):
        raise Boom("from a Flask view")

    app.config["PROPAGATE_EXCEPTIONS"] = True
    return app
