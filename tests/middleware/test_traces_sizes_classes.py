"""The middleware options beyond what is recorded by default: exemplars (from the W3C traceparent
header or the current OpenTelemetry span), body-size histograms, and status classes; driven in
process through the scripted servers of scripted.py."""

from __future__ import annotations

import io
import os
import subprocess
import sys
from typing import Dict, List, Optional, Tuple

import pytest
from prometheus_client.openmetrics.parser import text_string_to_metric_families as parse_om

from vantorel import _core, _native
from vantorel.middleware import MetricsMiddleware, WSGIMetricsMiddleware
from vantorel.middleware.traces import parse_traceparent

from scripted import Client, call_wsgi, http_scope, serve, wsgi_environ

TRACE, SPAN = "4bf92f3577b34da6a3ce929d0e0e4736", "00f067aa0ba902b7"
SAMPLED = f"00-{TRACE}-{SPAN}-01"

TRACEPARENTS = [
    ("sampled", SAMPLED, (TRACE, SPAN)),
    ("sampled-with-other-flags", f"00-{TRACE}-{SPAN}-03", (TRACE, SPAN)),
    ("surrounding-whitespace", f" \t{SAMPLED} ", (TRACE, SPAN)),
    ("later-version-more-fields", f"cc-{TRACE}-{SPAN}-01-what-comes-next", (TRACE, SPAN)),
    ("unsampled", f"00-{TRACE}-{SPAN}-00", None),
    ("version-ff", f"ff-{TRACE}-{SPAN}-01", None),
    ("version-00-more-fields", f"{SAMPLED}-extra", None),
    ("upper-case", SAMPLED.upper(), None),
    ("not-hex", f"00-{TRACE[:-1]}g-{SPAN}-01", None),
    ("zero-trace-id", f"00-{'0' * 32}-{SPAN}-01", None),
    ("zero-span-id", f"00-{TRACE}-{'0' * 16}-01", None),
    ("short-trace-id", f"00-{TRACE[1:]}-{SPAN}-01", None),
    ("long-span-id", f"00-{TRACE}-{SPAN}0-01", None),
    ("one-digit-flags", f"00-{TRACE}-{SPAN}-1", None),
    ("underscores", SAMPLED.replace("-", "_"), None),
    ("too-long", f"01-{TRACE}-{SPAN}-01-" + "x" * 600, None),
    ("empty", "", None),
]


@pytest.mark.parametrize("value, ids", [c[1:] for c in TRACEPARENTS],
                         ids=[c[0] for c in TRACEPARENTS])
def test_traceparent_parsing(value, ids):
    assert parse_traceparent(value) == ids


def exemplars() -> Dict[Tuple[str, Optional[str]], Tuple[str, str]]:
    """{(sample name, le): (trace_id, span_id)} of the exemplars on the OpenMetrics page."""
    found = {}
    for family in parse_om(_native.series_page(True, "") + "# EOF\n"):
        for s in family.samples:
            if s.exemplar is not None:
                found[(s.name, s.labels.get("le"))] = (s.exemplar.labels["trace_id"],
                                                       s.exemplar.labels["span_id"])
    return found


async def asgi_app(scope, receive, send):
    await send({"type": "http.response.start", "status": 200, "headers": []})
    await send({"type": "http.response.body", "body": b"ok"})


def wsgi_app(environ, start_response):
    start_response("200 OK", [])
    return [b"ok"]


def request(kind: str, options: dict, traceparent: Optional[str] = None, app=None) -> None:
    if kind == "asgi":
        scope = http_scope("/t")
        if traceparent is not None:
            scope["headers"].append((b"traceparent", traceparent.encode()))
        serve(MetricsMiddleware(app or asgi_app, **options), scope=scope)
    else:
        environ = wsgi_environ("/t")
        if traceparent is not None:
            environ["HTTP_TRACEPARENT"] = traceparent
        call_wsgi(WSGIMetricsMiddleware(app or wsgi_app, **options), environ=environ)


@pytest.mark.parametrize("body_sizes", [False, True], ids=["alone", "with-body-sizes"])
@pytest.mark.parametrize("kind", ["asgi", "wsgi"])
def test_exemplars_from_the_traceparent_header(kind, body_sizes):
    options = {"exemplars": True, "body_sizes": body_sizes}
    request(kind, {"body_sizes": body_sizes}, SAMPLED)  # the option off: no exemplar
    for _, value, _ids in TRACEPARENTS[4:]:  # every header to ignore
        request(kind, options, value)
    request(kind, options)  # no header at all
    assert exemplars() == {}
    request(kind, options, f"00-{TRACE}-{SPAN}-01")
    assert exemplars() == {("vtr_http_requests_total", None): (TRACE, SPAN),
                           ("vtr_http_request_duration_seconds_bucket", "0.001"): (TRACE, SPAN)}
    assert sum(s[3] for s in _native.series_snapshot()[0]) == len(TRACEPARENTS) - 1


def test_exemplars_from_the_current_opentelemetry_span():
    pytest.importorskip("opentelemetry.trace")
    from opentelemetry import context, trace
    from opentelemetry.trace import NonRecordingSpan, SpanContext, TraceFlags

    def span(trace_id: int, sampled: bool):
        flags = TraceFlags(TraceFlags.SAMPLED if sampled else TraceFlags.DEFAULT)
        ctx = SpanContext(trace_id, 0xABC, is_remote=False, trace_flags=flags)
        return trace.set_span_in_context(NonRecordingSpan(ctx))

    def traced_asgi(trace_id, sampled):
        async def app(scope, receive, send):
            token = context.attach(span(trace_id, sampled))  # as a tracing middleware inside
            try:
                await asgi_app(scope, receive, send)
            finally:
                context.detach(token)
        return app

    def traced_wsgi(trace_id, sampled):
        def app(environ, start_response):
            token = context.attach(span(trace_id, sampled))
            try:
                return wsgi_app(environ, start_response)
            finally:
                context.detach(token)  # before the server iterates and closes the response
        return app

    header = f"00-{'1' * 32}-{'2' * 16}-01"
    for kind, traced in (("asgi", traced_asgi), ("wsgi", traced_wsgi)):
        _native.series_clear()
        request(kind, {"exemplars": True}, header, traced(0x123, True))
        assert set(exemplars().values()) == {(f"{0x123:032x}", f"{0xABC:016x}")}
        _native.series_clear()
        request(kind, {"exemplars": True}, header, traced(0x456, False))  # unsampled: header
        assert set(exemplars().values()) == {("1" * 32, "2" * 16)}
    # A span current around the middleware (a tracing middleware outside it) counts too.
    _native.series_clear()
    token = context.attach(span(0x789, True))
    try:
        request("wsgi", {"exemplars": True})
    finally:
        context.detach(token)
    assert set(exemplars().values()) == {(f"{0x789:032x}", f"{0xABC:016x}")}


def test_opentelemetry_is_never_imported_by_the_middleware():
    code = f"""
import sys
from scripted import call_wsgi, wsgi_environ
from middleware.test_traces_sizes_classes import wsgi_app
from vantorel.middleware import WSGIMetricsMiddleware
environ = wsgi_environ("/t")
environ["HTTP_TRACEPARENT"] = {SAMPLED!r}
call_wsgi(WSGIMetricsMiddleware(wsgi_app, exemplars=True), environ=environ)
from vantorel import _native
assert "trace_id" in _native.series_page(True, "")
assert not [m for m in sys.modules if m.startswith("opentelemetry")], "imported"
"""
    subprocess.run([sys.executable, "-c", code], check=True, timeout=60,
                   cwd=os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def sizes() -> Dict[Tuple[str, str], Tuple[float, float]]:
    """{(family, method): (count, sum)} of the body-size histograms."""
    found: Dict[Tuple[str, str], List[float]] = {}
    for family in parse_om(_native.series_page(True, "") + "# EOF\n"):
        if family.name.startswith("vtr_http_re") and family.name.endswith("_size_bytes"):
            for s in family.samples:
                if s.name.endswith(("_count", "_sum")):
                    entry = found.setdefault((family.name[9:-11], s.labels["method"]), [0, 0])
                    entry[s.name.endswith("_sum")] = s.value
    return {key: (count, total) for key, (count, total) in found.items()}


def test_body_sizes_asgi():
    async def echo(scope, receive, send):
        body = b""
        while True:
            message = await receive()
            body += message.get("body", b"")
            if not message.get("more_body"):
                break
        length = [(b"content-length", str(len(body) + 1).encode())] if scope["method"] == "PUT" \
            else []
        await send({"type": "http.response.start", "status": 200, "headers": length})
        await send({"type": "http.response.body", "body": body, "more_body": True})
        await send({"type": "http.response.body", "body": b"!"})

    class Streaming(Client):
        def __init__(self, chunks):
            super().__init__()
            self.chunks = list(chunks)

        async def receive(self):
            return {"type": "http.request", "body": self.chunks.pop(0),
                    "more_body": bool(self.chunks)}

    app = MetricsMiddleware(echo, body_sizes=True)
    # POST: streamed both ways, no Content-Length; PUT: Content-Length both ways (the request's
    # says 10 and only 4 bytes are read); HEAD: no body goes out.
    serve(app, "/e", "POST", Streaming([b"abc", b"", b"defgh"]))
    scope = http_scope("/e", "PUT")
    scope["headers"].append((b"content-length", b"10"))
    serve(app, client=Streaming([b"wxyz"]), scope=scope)
    serve(app, "/e", "HEAD", Streaming([b""]))
    serve(app, "/e", "GET", Streaming([b"zz"]))
    serve(MetricsMiddleware(echo), "/e", "GET", Streaming([b"not counted"]))
    assert sizes() == {("request", "POST"): (1, 8), ("response", "POST"): (1, 9),
                       ("request", "PUT"): (1, 10), ("response", "PUT"): (1, 5),
                       ("request", "HEAD"): (1, 0), ("response", "HEAD"): (1, 0),
                       ("request", "GET"): (1, 2), ("response", "GET"): (1, 3)}


def test_body_sizes_wsgi():
    def app(environ, start_response):
        stream = environ["wsgi.input"]
        body = stream.readline() + b"".join(stream) if environ["REQUEST_METHOD"] == "POST" \
            else stream.read(2)
        if environ["REQUEST_METHOD"] == "PUT":
            start_response("200 OK", [("Content-Length", str(len(body) + 5))])
            return [body, b"12345"]
        start_response("200 OK", [])
        if environ["REQUEST_METHOD"] == "PATCH":
            return (b"x" * n for n in (1, 10, 100))  # a generator, read chunk by chunk
        return [body, b"!"]

    def call(method, body, **headers):
        environ = wsgi_environ("/w", method)
        environ["wsgi.input"] = io.BytesIO(body)
        environ.update(headers)
        status, _, _ = call_wsgi(WSGIMetricsMiddleware(app, body_sizes=True), environ=environ)
        assert status == "200 OK"

    call("POST", b"line one\nline two\n", HTTP_TRANSFER_ENCODING="chunked")  # counted as read
    call("PUT", b"abcdef", CONTENT_LENGTH="6")
    call("PATCH", b"", CONTENT_LENGTH="")
    call("HEAD", b"")
    assert sizes() == {("request", "POST"): (1, 18), ("response", "POST"): (1, 19),
                       ("request", "PUT"): (1, 6), ("response", "PUT"): (1, 7),
                       ("request", "PATCH"): (1, 0), ("response", "PATCH"): (1, 111),
                       ("request", "HEAD"): (1, 0), ("response", "HEAD"): (1, 0)}


@pytest.fixture
def exact_statuses():
    yield
    _native.series_set_status_classes(False)


def test_status_classes_are_process_wide(exact_statuses):
    def app_with(status):
        async def app(scope, receive, send):
            await send({"type": "http.response.start", "status": status, "headers": []})
            await send({"type": "http.response.body", "body": b""})
        return app

    serve(MetricsMiddleware(app_with(200)), "/s")
    serve(MetricsMiddleware(app_with(201), status_classes=True), "/s")
    serve(MetricsMiddleware(app_with(204)), "/s")  # another middleware, the option not given
    call_wsgi(WSGIMetricsMiddleware(lambda e, sr: [sr("404 Not Found", [])] and [b""]), "/s")
    counts = {(s[1], s[2]): s[3] for s in _native.series_snapshot()[0]}
    assert counts == {("<unmatched>", 200): 1, ("<unmatched>", 2): 2, ("<unmatched>", 4): 1}
    text = _native.series_text()
    assert 'status="2xx"} 2' in text and 'status="4xx"} 1' in text
    assert [r.status_code for r in _core.get_requests()] == [200, 201, 204, 404]


@pytest.mark.parametrize("option", ["exemplars", "body_sizes", "status_classes"])
@pytest.mark.parametrize("middleware", [MetricsMiddleware, WSGIMetricsMiddleware])
def test_options_must_be_bools(middleware, option):
    with pytest.raises(TypeError, match=option):
        middleware(asgi_app, **{option: "yes"})


def test_a_failing_tracer_costs_the_exemplar_not_the_request(monkeypatch, caplog):
    from vantorel.middleware import asgi

    def broken():
        raise RuntimeError("tracer down")

    monkeypatch.setattr(asgi, "current_span_ids", broken)
    serve(MetricsMiddleware(asgi_app, exemplars=True), "/t")
    assert [(r.path, r.status_code) for r in _core.get_requests()] == [("/t", 200)]
    assert exemplars() == {} and "could not be recorded" in caplog.text
