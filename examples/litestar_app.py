"""A Litestar application with request metrics, ready for uvicorn.

    uvicorn examples.litestar_app:app --host 127.0.0.1 --port 8000
    curl http://127.0.0.1:8000/items/42 && curl http://127.0.0.1:8000/metrics
"""

import asyncio

from litestar import Litestar, asgi, get
from litestar.exceptions import NotFoundException
from litestar.types import Receive, Scope, Send

from vantorel.endpoint import make_asgi_app
from vantorel.middleware import MetricsMiddleware


@get("/")
async def homepage() -> dict:
    return {"hello": "world"}


@get("/items/{item_id:int}")
async def item(item_id: int) -> dict:
    await asyncio.sleep(0.002)  # a database look-up, say
    if item_id > 1000:
        raise NotFoundException("no such item")
    return {"id": item_id, "name": f"item {item_id}"}


metrics_app = make_asgi_app()


@asgi("/metrics")
async def metrics(scope: Scope, receive: Receive, send: Send) -> None:
    await metrics_app(scope, receive, send)


# Wrapped around the whole application, so that requests that match no handler (404, 405) are
# recorded too; "/items/{item_id}" for every item, and /metrics itself is not recorded.
app = MetricsMiddleware(Litestar(route_handlers=[homepage, item, metrics]))
