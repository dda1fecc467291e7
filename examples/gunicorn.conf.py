"""gunicorn settings for several workers that report one set of metrics.

    export VTR_MULTIPROC_DIR=/run/myapp/vantorel   # one directory per deployment
    gunicorn -c examples/gunicorn.conf.py examples.flask_app:app
    # or, started as root, with workers that run as another user:
    gunicorn -c examples/gunicorn.conf.py --user www-data --group www-data examples.flask_app:app

Every worker counts its requests into VTR_MULTIPROC_DIR/vtr-<pid>.shard and .series; /metrics,
answered by any worker, sums them.
"""

import os
import tempfile

from vantorel import multiproc

bind = os.environ.get("BIND", "127.0.0.1:8000")
workers = int(os.environ.get("WEB_CONCURRENCY", "3"))

shard_dir = os.environ.get("VTR_MULTIPROC_DIR") or os.path.join(
    tempfile.gettempdir(), "vantorel-" + bind.replace(":", "-")
)


def when_ready(server):
    # Runs in the master once its sockets are bound, before the first worker starts: a second
    # gunicorn started by mistake on the same address fails to bind and never gets here.
    if server.master_pid:
        # The new master of a binary upgrade (USR2): the old master's workers still serve and
        # count here. Its workers join them, and the counters carry on.
        os.environ[multiproc.ENV_VAR] = shard_dir
        return
    try:
        # Creates the directory, deletes the files of an earlier run and exports
        # VTR_MULTIPROC_DIR to the workers. The directory goes to the workers' user and group
        # (--user and --group, by default the master's own) with mode 0750.
        multiproc.prepare_shard_dir(shard_dir, uid=server.cfg.uid, gid=server.cfg.gid)
    except multiproc.DirectoryInUseError as exc:
        # Live processes of another deployment count here: stop rather than wipe their files.
        server.halt(reason=str(exc), exit_status=1)


def child_exit(server, worker):
    # A worker that died or was replaced leaves the totals of its shard at once; its per-route
    # series move into the directory's archive, where they keep counting.
    multiproc.mark_process_dead(worker.pid, shard_dir)
