"""gunicorn settings for several workers that report one set of metrics.

    export VTR_MULTIPROC_DIR=/run/myapp/vantorel   # one directory per deployment
    gunicorn -c examples/gunicorn.conf.py examples.flask_app:app
    # or, started as root, with workers that run as another user:
    gunicorn -c examples/gunicorn.conf.py --user www-data --group www-data examples.flask_app:app

Every worker counts its requests into VTR_MULTIPROC_DIR/vtr-<pid>.shard; /metrics, answered by
any worker, sums the shards of the live workers.
"""

import os
import tempfile

from vantorel import multiproc

bind = os.environ.get("BIND", "127.0.0.1:8000")
workers = int(os.environ.get("WEB_CONCURRENCY", "3"))

# Set here, in the master, before any worker starts: workers read it once, at their first request.
shard_dir = os.environ.get("VTR_MULTIPROC_DIR") or os.path.join(
    tempfile.gettempdir(), "vantorel-" + bind.replace(":", "-")
)


def on_starting(server):
    # Creates the directory, deletes the shards of an earlier run (a new worker that got an old
    # worker's pid would otherwise carry on with its counts) and exports VTR_MULTIPROC_DIR. The
    # directory is given to the workers' user and group (--user and --group, by default the
    # master's own) with mode 0750: workers that run as another user than the master could not
    # create their shards in a directory the master made, and no other local user may add counts.
    multiproc.prepare_shard_dir(shard_dir, uid=server.cfg.uid, gid=server.cfg.gid)


def child_exit(server, worker):
    # A worker that died or was replaced leaves the totals of its shard at once, and its
    # per-route series move into the directory's archive, where they keep counting.
    multiproc.mark_process_dead(worker.pid, shard_dir)
