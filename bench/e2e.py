"""Throughput end to end: one uvicorn worker serving a trivial FastAPI endpoint, bare and behind
each middleware, driven over loopback by wrk. The server and wrk are pinned to different cores;
the variants take turns in every round, after a warm-up of each.

    python bench/e2e.py [--quick]
"""
from __future__ import annotations

import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import time
from typing import Dict, List, Optional

from harness import (Context, Results, Stat, Table, format_ns, paired_difference, paired_ratio,
                     run_alone, try_import)

VARIANTS = {
    "bare": "FastAPI app alone",
    "floor": "pass-through floor: send wrapped, one record_request",
    "vantorel": "vantorel MetricsMiddleware",
    "starlette_exporter": "starlette_exporter PrometheusMiddleware",
    "instrumentator": "prometheus-fastapi-instrumentator",
}
CONNECTIONS = 16

# wrk's own summary of a run, as one JSON line: its text output rounds and changes units.
WRK_SCRIPT = """
done = function(summary, latency, requests)
  local e = summary.errors
  io.write(string.format(
    '{"requests": %d, "duration_us": %d, "socket_errors": %d, "bad_status": %d}\\n',
    summary.requests, summary.duration, e.connect + e.read + e.write + e.timeout, e.status))
end
"""


def build_app(variant: str):
    from middleware import AsgiTimingFloor, fastapi_app

    app = fastapi_app()
    if variant == "floor":
        app.add_middleware(AsgiTimingFloor)
    elif variant == "vantorel":
        from vantorel.middleware import MetricsMiddleware
        app.add_middleware(MetricsMiddleware)
    elif variant == "starlette_exporter":
        from starlette_exporter import PrometheusMiddleware
        app.add_middleware(PrometheusMiddleware)
    elif variant == "instrumentator":
        from prometheus_fastapi_instrumentator import Instrumentator
        Instrumentator().instrument(app)
    return app


def serve(variant: str, port: int) -> None:
    """The server of one variant, until SIGTERM; then how many requests vantorel's store holds,
    so that the run can tell that the middleware under test recorded them."""
    import uvicorn

    from vantorel import _core

    # uvicorn shuts down gracefully on SIGTERM, then raises it again for the handler it found
    # installed: let that handler be one that returns, so that the count below gets printed.
    signal.signal(signal.SIGTERM, lambda signum, frame: None)
    uvicorn.run(build_app(variant), host="127.0.0.1", port=port, log_level="warning",
                access_log=False)
    print(json.dumps({"recorded": len(_core.get_requests())}), flush=True)


class Server:
    """One variant's server, pinned to `core`, listening on a free loopback port."""

    def __init__(self, variant: str, core: int) -> None:
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            self.port = s.getsockname()[1]
        self.process = subprocess.Popen(
            ["taskset", "-c", str(core), sys.executable, os.path.abspath(__file__), "--serve",
             variant, "--port", str(self.port)], stdout=subprocess.PIPE)
        deadline = time.monotonic() + 30
        while True:
            if self.process.poll() is not None:
                raise RuntimeError(f"the {variant} server exited with {self.process.returncode}")
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=0.2).close()
                return
            except OSError:
                if time.monotonic() > deadline:
                    self.stop()
                    raise RuntimeError(f"the {variant} server did not listen within 30 s") from None
                time.sleep(0.1)

    def stop(self) -> Optional[int]:
        """Ends the server; how many requests its vantorel store held (None if it did not say)."""
        self.process.send_signal(signal.SIGTERM)
        try:
            out, _ = self.process.communicate(timeout=30)
        except subprocess.TimeoutExpired:
            self.process.kill()
            out, _ = self.process.communicate()
        lines = out.decode().strip().splitlines()
        return json.loads(lines[-1])["recorded"] if lines else None


def summary_script(directory: str) -> str:
    path = os.path.join(directory, "summary.lua")
    with open(path, "w") as f:
        f.write(WRK_SCRIPT)
    return path


def wrk(core: int, script: str, port: int, seconds: int) -> Dict[str, int]:
    """wrk's summary of one run (see WRK_SCRIPT); a socket error or a status other than 2xx/3xx
    fails the run."""
    command = ["taskset", "-c", str(core), "wrk", "-t1", f"-c{CONNECTIONS}", f"-d{seconds}s",
               "--timeout", "5s", "-s", script, f"http://127.0.0.1:{port}/items/42"]
    out = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, check=True,
                         timeout=seconds + 30).stdout.decode()
    summary = json.loads(out.strip().splitlines()[-1])
    if summary["socket_errors"] or summary["bad_status"] or not summary["requests"]:
        raise RuntimeError(f"wrk on port {port}: {summary}")
    return summary


def per_second(summary: Dict[str, int]) -> float:
    return summary["requests"] / (summary["duration_us"] / 1e6)


def cores() -> List[int]:
    """The cores this process may run on (PyPy 3.9's os has no sched_getaffinity)."""
    if hasattr(os, "sched_getaffinity"):
        return sorted(os.sched_getaffinity(0))
    return list(range(os.cpu_count() or 1))


def missing() -> List[str]:
    why = [f"{tool} not found" for tool in ("wrk", "taskset") if shutil.which(tool) is None]
    why += [f"{module} not importable" for module in ("fastapi", "uvicorn")
            if try_import(module) is None]
    if len(cores()) < 2:
        why.append("fewer than two cores to pin the server and wrk apart")
    return why


def section(ctx: Context, results: Results) -> None:
    table = results.table("e2e", "Throughput end to end: uvicorn and wrk over loopback", "rps")
    why = missing()
    if why:
        table.note("skipped: " + "; ".join(why))
        results.goal("middleware end to end (uvicorn, wrk)", "≤ 3 % of bare throughput",
                     "not measured here", None)
        return
    variants = [v for v in VARIANTS if v in ("bare", "floor", "vantorel") or try_import(
        {"starlette_exporter": "starlette_exporter",
         "instrumentator": "prometheus_fastapi_instrumentator"}[v]) is not None]
    # Many short rounds: what a neighbour takes from one core then falls in a few rounds only.
    rounds, seconds, warm_up = (3, 1, 1) if ctx.quick else (20, 1, 2)
    server_core, wrk_core = cores()[:2]
    script = summary_script(ctx.workdir)
    import uvicorn
    table.note(f"one uvicorn {uvicorn.__version__} worker ("
               f"{'uvloop' if try_import('uvloop') else 'asyncio'} loop, "
               f"{'httptools' if try_import('httptools') else 'h11'}) on core {server_core}, "
               f"wrk with {CONNECTIONS} connections on core {wrk_core}; {rounds} rounds of "
               f"{seconds} s per variant after {warm_up} s of warm-up, the variants taking "
               "turns in every round")

    servers: Dict[str, Server] = {}
    rps: Dict[str, List[float]] = {v: [] for v in variants}
    try:
        for v in variants:
            servers[v] = Server(v, server_core)
        for v in variants:
            wrk(wrk_core, script, servers[v].port, warm_up)
        for r in range(rounds):
            # Each round starts with the next variant, so that none always runs first.
            for v in variants[r % len(variants):] + variants[:r % len(variants)]:
                rps[v].append(per_second(wrk(wrk_core, script, servers[v].port, seconds)))
    finally:
        recorded = {v: server.stop() for v, server in servers.items()}
    for v in variants:
        # The floor and vantorel record every request (up to the store's 10 000); no one else.
        assert bool(recorded[v]) == (v in ("floor", "vantorel")), (v, recorded[v])

    add_rows(results, table, rps)


def add_rows(results: Results, table: Table, rps: Dict[str, List[float]]) -> None:
    """The rows and the goal from requests per second of each variant in each round, "bare"
    first; costs are taken within a round."""
    t = {v: Stat.of(values) for v, values in rps.items()}
    per_request = {v: Stat.of([1e9 / value for value in values]) for v, values in rps.items()}
    table.add("e2e_bare", VARIANTS["bare"], t["bare"], "", "floor")
    for v in list(rps)[1:]:
        cost = (1 - paired_ratio(t, v, "bare")) * 100
        added = paired_difference(per_request, v, "bare")
        table.add(f"e2e_{v}", VARIANTS[v], t[v],
                  f"{cost:.1f} % of bare throughput, +{format_ns(added)} per request",
                  {"floor": "floor", "vantorel": "vantorel"}.get(v, "peer"),
                  cost_percent=cost, added_ns=added)
    table.print()
    ours = results.figure("e2e_vantorel").figures
    results.goal("middleware end to end (uvicorn, wrk)", "≤ 3 % of bare throughput",
                 f"{ours['cost_percent']:.1f} % (+{format_ns(ours['added_ns'])} per request)",
                 ours["cost_percent"] <= 3)

if __name__ == "__main__":
    if "--serve" in sys.argv:
        serve(sys.argv[sys.argv.index("--serve") + 1],
              int(sys.argv[sys.argv.index("--port") + 1]))
    else:
        run_alone("e2e")
