"""A FastAPI application with request metrics, ready for uvicorn or gunicorn.

    uvicorn examples.fastapi_app:app --host 127.0.0.1 --port 8000
    curl http://127.0.0.1:8000/items/42 && curl http://127.0.0.1:8000/metrics
"""

import asyncio

from fastapi import FastAPI, HTTPException

from vantorel.endpoint import make_asgi_app
from vantorel.middleware import MetricsMiddleware

app = FastAPI()


@app.get("/")
async def homepage():
    return {"hello": "world"}


@app.get("/items/{item_id}")
async def item(item_id: int):
    await asyncio.sleep(0.002)  # a database look-up, say
    if item_id > 1000:
        raise HTTPException(status_code=404, detail="no such item")
    return {"id": item_id, "name": f"item {item_id}"}


# Recorded as "/items/{item_id}", not one path per id; /metrics itself is not recorded.
app.add_middleware(MetricsMiddleware)
app.add_route("/metrics", make_asgi_app())
