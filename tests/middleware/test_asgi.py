"""The ASGI middleware, driven in-process by scripted servers: what is recorded and when."""

from __future__ import annotations

import asyncio
from typing import List

import pytest

from vantorel import _core
from vantorel.middleware import MetricsMiddleware

from scripted import Boom, Client, http_scope, plain_response, recorded, serve


def test_asgi_records_method_path_status_and_duration_until_the_last_send():
    client = Client(send_delay=0.05)  # the final body takes 50 ms to go out

    async def app(scope, receive, send):
        await send({"type": "http.response.start", "status": 201, "headers": []})
        await send({"type": "http.response.body", "body": b"a", "more_body": True})
        await asyncio.sleep(0.03)
        await send({"type": "http.response.body", "body": b"b"})

    serve(MetricsMiddleware(app), "/orders", "POST", client)
    assert client.status() == 201 and client.body() == b"ab"
    [request] = _core.get_requests()
    assert (request.method, request.path, request.status_code) == ("POST", "/orders", 201)
    assert request.duration_ms >= 80.0


def test_asgi_records_when_the_response_is_complete_not_when_the_app_returns():
    seen_inside: List[list] = []

    async def app(scope, receive, send):
        await plain_response(send, 202)
        # Work after the response (Starlette's background tasks) is not the client's wait.
        seen_inside.append(recorded())

    serve(MetricsMiddleware(app), "/jobs")
    assert seen_inside == [[("GET", "/jobs", 202)]]
    assert recorded() == [("GET", "/jobs", 202)]


@pytest.mark.parametrize("after_start", [False, True], ids=["before-start", "after-start"])
def test_asgi_handler_exception_is_recorded_as_500_and_propagates_unchanged(after_start):
    error = Boom("handler failed")

    async def app(scope, receive, send):
        if after_start:
            await send({"type": "http.response.start", "status": 200, "headers": []})
            await send({"type": "http.response.body", "body": b"x", "more_body": True})
        raise error

    with pytest.raises(Boom) as caught:
        serve(MetricsMiddleware(app), "/fail")
    assert caught.value is error
    assert recorded() == [("GET", "/fail", 500)]


def test_asgi_exception_after_the_response_completed_keeps_the_sent_status():
    async def app(scope, receive, send):
        await plain_response(send, 200)
        raise Boom("background task failed")

    with pytest.raises(Boom):
        serve(MetricsMiddleware(app), "/done")
    assert recorded() == [("GET", "/done", 200)]


def test_asgi_error_middleware_inside_records_the_500_it_sends_once():
    async def app(scope, receive, send):
        # What Starlette's ServerErrorMiddleware does: answer 500, then re-raise.
        await plain_response(send, 500, b"Internal Server Error")
        raise Boom("handler failed")

    with pytest.raises(Boom):
        serve(MetricsMiddleware(app), "/err")
    assert recorded() == [("GET", "/err", 500)]


@pytest.mark.parametrize(
    "script, expected_status",
    [
        ("cancel-before-start", 499),
        ("cancel-mid-body", 206),
        ("disconnect-then-return", 206),
        ("disconnect-before-start", 499),
        ("send-fails-mid-body", 206),
    ],
    ids=lambda v: str(v),
)
def test_asgi_client_that_leaves_mid_response_is_still_recorded(script, expected_status):
    client = Client(disconnect_after_body=True,
                    fail_send_on="http.response.body" if script == "send-fails-mid-body"
                    else None)

    async def app(scope, receive, send):
        await receive()
        if script.endswith("before-start"):
            if script.startswith("cancel"):
                raise asyncio.CancelledError()
            assert (await receive())["type"] == "http.disconnect"
            return
        await send({"type": "http.response.start", "status": 206, "headers": []})
        if script == "cancel-mid-body":
            raise asyncio.CancelledError()
        if script == "disconnect-then-return":
            assert (await receive())["type"] == "http.disconnect"
            return  # a streaming response stops when its client has gone
        await send({"type": "http.response.body", "body": b"x", "more_body": True})

    if script.startswith("cancel"):
        with pytest.raises(asyncio.CancelledError):
            serve(MetricsMiddleware(app), "/stream", client=client)
    elif script == "send-fails-mid-body":
        with pytest.raises(OSError, match="connection reset by peer"):
            serve(MetricsMiddleware(app), "/stream", client=client)
    else:
        serve(MetricsMiddleware(app), "/stream", client=client)
    assert recorded() == [("GET", "/stream", expected_status)]


def test_asgi_invalid_message_refused_by_the_server_is_a_500_not_a_disconnect():
    client = Client(fail_send_on=None)

    async def strict_send(message):
        raise RuntimeError("Expected ASGI message 'http.response.start'")

    async def app(scope, receive, send):
        await send({"type": "http.response.body", "body": b"too early"})

    with pytest.raises(RuntimeError):
        asyncio.run(MetricsMiddleware(app)(http_scope("/bad"), client.receive, strict_send))
    assert recorded() == [("GET", "/bad", 500)]


def test_asgi_app_that_returns_without_a_response_is_recorded_as_500():
    async def app(scope, receive, send):
        return None

    serve(MetricsMiddleware(app), "/nothing")
    assert recorded() == [("GET", "/nothing", 500)]


@pytest.mark.parametrize(
    "messages",
    [
        [{"type": "http.response.start", "status": 200, "headers": [], "trailers": True},
         {"type": "http.response.body", "body": b"x"},
         {"type": "http.response.trailers", "headers": [], "more_trailers": False}],
        [{"type": "http.response.start", "status": 200, "headers": []},
         {"type": "http.response.pathsend", "path": "/etc/hostname"}],
        [{"type": "http.response.start", "status": 200, "headers": []},
         {"type": "http.response.zerocopysend", "file": 0, "more_body": False}],
    ],
    ids=["trailers", "pathsend", "zerocopysend"],
)
def test_asgi_response_extensions_end_the_request_at_their_final_message(messages):
    progress: List[int] = []

    async def app(scope, receive, send):
        for message in messages:
            progress.append(len(_core.get_requests()))
            await send(message)
        progress.append(len(_core.get_requests()))

    serve(MetricsMiddleware(app), "/file")
    # Nothing is recorded until the last message has gone out, and then exactly once.
    assert progress == [0] * len(messages) + [1]
    assert recorded() == [("GET", "/file", 200)]


@pytest.mark.parametrize("kind", ["lifespan", "websocket"])
def test_asgi_non_http_scopes_pass_through_unrecorded(kind):
    seen = []

    async def app(scope, receive, send):
        seen.append(scope["type"])

    asyncio.run(MetricsMiddleware(app)({"type": kind}, Client().receive, Client().send))
    assert seen == [kind]
    assert recorded() == []
