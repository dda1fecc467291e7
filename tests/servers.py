"""Real servers for the tests: ports, HTTP requests and scrapes, a server started and always
stopped, /proc's view of a master's workers, and a real Prometheus scraping given ports."""

from __future__ import annotations

import http.client
import json
import os
import shutil
import socket
import subprocess
import sys
import textwrap
import time
import urllib.parse
from contextlib import contextmanager
from pathlib import Path
from typing import ContextManager, Dict, Iterable, Iterator, List, Optional, Tuple

from vantorel import multiproc

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"


CONTENT_TYPE = "text/plain; version=0.0.4; charset=utf-8"


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def request(port: int, path: str, method: str = "GET",
            timeout: float = 10.0) -> Tuple[int, Dict[str, str], bytes]:
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=timeout)
    try:
        conn.request(method, path, headers={"Connection": "close"})
        response = conn.getresponse()
        return response.status, {k.lower(): v for k, v in response.getheaders()}, response.read()
    finally:
        conn.close()


def scrape(port: int) -> Dict[str, float]:
    status, headers, body = request(port, "/metrics")
    assert status == 200
    assert headers["content-type"] == CONTENT_TYPE
    values = {}
    for line in body.decode().splitlines():
        if line and not line.startswith("#"):
            name, value = line.split(" ")
            values[name] = float(value)
    return values


def wait_for(predicate, timeout: float, what: str, interval: float = 0.1):
    deadline = time.monotonic() + timeout
    while True:
        result = predicate()
        if result:
            return result
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out after {timeout} s waiting for {what}")
        time.sleep(interval)


def settled_scrape(port: int, expected: Tuple[float, float]) -> Dict[str, float]:
    """A scrape once the figures read ``expected`` (requests, errors). A worker records a
    request when the server closes the response, just after the client got the last byte, so
    a scrape answered by another worker at that instant may miss it for a moment."""
    def matches():
        metrics = scrape(port)
        got = (metrics["vtr_requests_total"], metrics["vtr_errors_total"])
        return metrics if got == expected else None

    return wait_for(matches, 10.0, f"the totals {expected}", interval=0.05)


def server_env(**extra: str) -> Dict[str, str]:
    env = {k: v for k, v in os.environ.items() if k != multiproc.ENV_VAR}
    env.update(extra)
    return env


@contextmanager
def running(cmd: List[str], port: int, log: Path, env: Dict[str, str],
            cwd: Optional[Path] = None, ready_path: str = "/") -> Iterator[subprocess.Popen]:
    """Starts a server, waits until it answers HTTP on ``port``, and always stops it."""
    with open(log, "wb") as out:
        proc = subprocess.Popen(cmd, stdout=out, stderr=subprocess.STDOUT, env=env,
                                cwd=str(cwd) if cwd else None)
    try:
        def answers() -> bool:
            if proc.poll() is not None:
                raise AssertionError(f"server exited with {proc.returncode}:\n"
                                     + log.read_text(errors="replace")[-3000:])
            try:
                request(port, ready_path, timeout=2.0)
            except OSError:
                return False
            return True

        wait_for(answers, 30.0, f"{' '.join(cmd[:3])} on port {port}")
        yield proc
    finally:
        if proc.poll() is None:
            proc.terminate()
            try:
                proc.wait(timeout=15)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait(timeout=5)


def uvicorn_cmd(app: str, port: int, app_dir: Path, *extra: str) -> List[str]:
    return [sys.executable, "-m", "uvicorn", app, "--host", "127.0.0.1", "--port", str(port),
            "--app-dir", str(app_dir), "--no-access-log", *extra]


STALE_WORKER = """
import sys
from vantorel import _native
for _ in range(int(sys.argv[1])):
    _native.series_finish("GET", "/stale", "/stale", 200, 1.0)
"""


def stale_run(directory: Path, requests: int) -> None:
    """The shard and series of a worker of an earlier run that has exited: a merge would fold
    its series into the counters, so only preparing the directory keeps them out."""
    subprocess.run([sys.executable, "-c", STALE_WORKER, str(requests)], check=True, timeout=60,
                   env=server_env(VTR_MULTIPROC_DIR=str(directory)))
    assert len(os.listdir(directory)) == 2


def route_count(metrics: Dict[str, float], route: str) -> float:
    """The requests of one route in a scrape, over every method and status."""
    return sum(value for name, value in metrics.items()
               if name.startswith("vtr_http_requests_total{") and f'route="{route}"' in name)


def proc_stat(pid: int) -> Optional[Tuple[str, int]]:
    """(state, parent pid) of a process from /proc, or None once it has been reaped."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            stat = f.read()
    except OSError:
        return None
    fields = stat[stat.rindex(")") + 2:].split()  # the command name may hold anything
    return fields[0], int(fields[1])


def live_children(parent: int) -> List[int]:
    children = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            stat = proc_stat(int(entry))
            if stat is not None and stat[1] == parent and stat[0] != "Z":
                children.append(int(entry))
    return sorted(children)


def new_workers(master: int, count: int, old: Iterable[int] = ()) -> List[int]:
    """The ``count`` live children of ``master`` once none of them is one of ``old``."""
    def ready() -> Optional[List[int]]:
        now = live_children(master)
        return now if len(now) == count and not set(now) & set(old) else None

    return wait_for(ready, 30.0, f"{count} new workers of {master}")


def prometheus_query(port: int, query: str) -> Optional[str]:
    status, _, body = request(port, "/api/v1/query?query=" + urllib.parse.quote(query))
    if status != 200:
        return None
    result = json.loads(body)["data"]["result"]
    return result[0]["value"][1] if result else None


def running_prometheus(directory: Path, port: int, job: str,
                       targets: List[int]) -> ContextManager[subprocess.Popen]:
    """A Prometheus server on ``port`` that scrapes the local ``targets`` (ports) as ``job``
    every second, its configuration, data and log in ``directory``."""
    config = directory / "prometheus.yml"
    listed = ", ".join(f'"127.0.0.1:{target}"' for target in targets)
    config.write_text(textwrap.dedent(f"""\
        global:
          scrape_interval: 1s
          scrape_timeout: 1s
        scrape_configs:
          - job_name: {job}
            static_configs:
              - targets: [{listed}]
        """))
    cmd = [shutil.which("prometheus") or "prometheus", f"--config.file={config}",
           f"--storage.tsdb.path={directory / 'tsdb'}", f"--web.listen-address=127.0.0.1:{port}"]
    return running(cmd, port, directory / "prometheus.log", server_env(), ready_path="/-/ready")


def query(port: int, expression: str) -> List[Tuple[Dict[str, str], float]]:
    """The samples of a PromQL query, as (labels, value)."""
    status, _, body = request(port, "/api/v1/query?query=" + urllib.parse.quote(expression))
    assert status == 200, body
    result = json.loads(body)["data"]["result"]
    return [(sample["metric"], float(sample["value"][1])) for sample in result]


def value(port: int, expression: str) -> float:
    """The value of a PromQL query that returns one sample."""
    result = query(port, expression)
    assert len(result) == 1, (expression, result)
    return result[0][1]
