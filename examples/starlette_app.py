"""A Starlette application with request metrics, ready for uvicorn or gunicorn.

    uvicorn examples.starlette_app:app --host 127.0.0.1 --port 8000
    curl http://127.0.0.1:8000/items/42 && curl http://127.0.0.1:8000/metrics

FastAPI is the same: ``app.add_middleware(MetricsMiddleware)`` and
``app.add_route("/metrics", make_asgi_app())``.
"""

import asyncio

from starlette.applications import Starlette
from starlette.responses import JSONResponse, PlainTextResponse
from starlette.routing import Route

from vantorel.endpoint import make_asgi_app
from vantorel.middleware import MetricsMiddleware


async def homepage(request):
    return PlainTextResponse("hello\n")


async def item(request):
    item_id = request.path_params["item_id"]
    await asyncio.sleep(0.002)  # a database look-up, say
    if item_id > 1000:
        return JSONResponse({"error": "no such item"}, status_code=404)
    return JSONResponse({"id": item_id, "name": f"item {item_id}"})


async def checkout(request):
    raise RuntimeError("payment backend unreachable")  # recorded as 500, then Starlette answers


app = Starlette(
    routes=[
        Route("/", homepage),
        Route("/items/{item_id:int}", item),
        Route("/checkout", checkout, methods=["POST"]),
        Route("/metrics", make_asgi_app()),
    ],
)
# Recorded as "/items/{item_id:int}", not one path per id; /metrics itself is not recorded.
app.add_middleware(MetricsMiddleware, exclude_paths=[r"/healthz"])
