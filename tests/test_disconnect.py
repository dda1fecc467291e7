"""A client that leaves before the response started, against a real uvicorn: recorded as 499.

uvicorn drops what an application sends to a client that has gone and raises nothing, so the
application finishes as if the response went out; only the server's own flag tells.
"""

from __future__ import annotations

import collections
import json
import socket

import pytest

from servers import free_port, request, running, server_env, uvicorn_cmd, wait_for

pytestmark = pytest.mark.deployment

SLOW_APP = '''
import asyncio

from starlette.applications import Starlette
from starlette.responses import JSONResponse, PlainTextResponse
from starlette.routing import Route

from vantorel import _core
from vantorel.middleware import MetricsMiddleware

STARTED = []


async def slow(request):
    STARTED.append(True)
    await asyncio.sleep(1.0)
    return PlainTextResponse("done")


async def debug_started(request):
    return JSONResponse(len(STARTED))


async def debug_requests(request):
    return JSONResponse([r.to_dict() for r in _core.get_requests()])


app = Starlette(routes=[Route("/slow", slow), Route("/debug/started", debug_started),
                        Route("/debug/requests", debug_requests)])
app.add_middleware(MetricsMiddleware, exclude_paths=[r"/debug/.*"])
'''


def test_client_that_leaves_before_the_response_started_is_recorded_as_499(tmp_path):
    pytest.importorskip("uvicorn")
    pytest.importorskip("starlette")
    (tmp_path / "slow_app.py").write_text(SLOW_APP)
    port = free_port()
    with running(uvicorn_cmd("slow_app:app", port, tmp_path), port, tmp_path / "uvicorn.log",
                 server_env(), ready_path="/debug/requests"):
        clients = [socket.create_connection(("127.0.0.1", port), timeout=10) for _ in range(2)]
        for sock in clients:
            sock.sendall(b"GET /slow HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
        # Both handlers are sleeping: the clients hang up before any response starts.
        wait_for(lambda: json.loads(request(port, "/debug/started")[2]) == 2, 10.0,
                 "both slow requests to reach their handler", interval=0.02)
        for sock in clients:
            sock.close()
        assert request(port, "/slow")[0] == 200  # a client that waits gets its answer

        def all_recorded():
            found = json.loads(request(port, "/debug/requests")[2])
            return found if len(found) == 3 else None

        found = wait_for(all_recorded, 10.0, "the three requests to be recorded")
    seen = collections.Counter((r["method"], r["path"], r["status_code"]) for r in found)
    assert seen == {("GET", "/slow", 499): 2, ("GET", "/slow", 200): 1}
    assert all(r["duration_ms"] >= 1000.0 for r in found)
