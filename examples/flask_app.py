"""A Flask application with request metrics, ready for gunicorn.

    gunicorn -c examples/gunicorn.conf.py examples.flask_app:app
    curl http://127.0.0.1:8000/items/42 && curl http://127.0.0.1:8000/metrics
"""

import os
import time

from flask import Flask, abort, jsonify
from werkzeug.middleware.dispatcher import DispatcherMiddleware

from vantorel.endpoint import make_wsgi_app
from vantorel.middleware import WSGIMetricsMiddleware

app = Flask(__name__)


@app.route("/")
def homepage():
    return "hello\n"


@app.route("/items/<int:item_id>")
def item(item_id):
    time.sleep(0.002)  # a database look-up, say
    if item_id > 1000:
        abort(404)
    return jsonify(id=item_id, name=f"item {item_id}")


@app.route("/worker")
def worker():
    # Which worker answered: in multi-worker mode /metrics shows the same totals from any of them.
    return jsonify(pid=os.getpid())


# The middleware wraps Flask's own wsgi_app, where it finds the route ("/items/<int:item_id>"
# for every item); /metrics is served beside it.
app.wsgi_app = DispatcherMiddleware(
    WSGIMetricsMiddleware(app.wsgi_app), {"/metrics": make_wsgi_app()}
)
