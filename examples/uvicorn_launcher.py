"""Starts uvicorn with several workers that report one set of metrics.

    VTR_MULTIPROC_DIR=/run/myapp/vantorel python examples/uvicorn_launcher.py
    curl http://127.0.0.1:8000/items/42 && curl http://127.0.0.1:8000/metrics
"""

import os

import uvicorn

from vantorel.multiproc import prepare_shard_dir

if __name__ == "__main__":
    # uvicorn starts each worker as a new interpreter that imports this file again: outside
    # this block, every worker would prepare the directory and start uvicorn once more.
    prepare_shard_dir(os.environ.get("VTR_MULTIPROC_DIR", "/run/myapp/vantorel"))  # exports it
    uvicorn.run(os.environ.get("APP", "starlette_app:app"), host="127.0.0.1",
                port=int(os.environ.get("PORT", "8000")),
                workers=int(os.environ.get("WEB_CONCURRENCY", "4")))
