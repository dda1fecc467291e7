"""Instructions per request of the middleware, counted by valgrind (cachegrind, no cache
simulation) rather than timed: a difference of a few dozen nanoseconds per request is far below
what a shared machine's timings can tell apart, and an instruction count does not move with the
neighbours.

Each contender runs in a fresh interpreter (PYTHONHASHSEED=0) twice, for SMALL and for LARGE
requests; the difference of the two counts divided by LARGE - SMALL is its cost per request,
start-up and warm-up cancelled out.

    python bench/instructions.py            # needs valgrind; some minutes
"""
from __future__ import annotations

import os
import re
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
SMALL, LARGE = 500, 2500

CHILD = """
import gc
import sys
sys.path.insert(0, {here!r})
from exemplars import asgi_runner, wsgi_runner
from middleware import fastapi_app, flask_app, starlette_app
from vantorel.middleware import MetricsMiddleware, WSGIMetricsMiddleware

stack, contender, n = sys.argv[1], sys.argv[2], int(sys.argv[3])
options = {{"bare": None, "off": {{}}, "on": {{"exemplars": True}},
           "traced": {{"exemplars": True}}}}[contender]
traced = contender == "traced"
if stack == "asgi":
    make = fastapi_app if fastapi_app() is not None else starlette_app
    app = make()
    if options is not None:
        app.add_middleware(MetricsMiddleware, **options)
    run = asgi_runner(app, traced)
else:
    app = flask_app()
    if options is not None:
        app = WSGIMetricsMiddleware(app, **options)
    run = wsgi_runner(app, traced)
run(200)  # every first-time path taken before the counted requests
# As the timed tables do: a collection of the oldest generation lands at one request count and
# not another, and would add thousands of instructions per request to one contender at random.
gc.collect()
gc.disable()
run(n)
"""


def instructions(stack: str, contender: str, requests: int) -> int:
    with tempfile.NamedTemporaryFile("w", suffix=".py", delete=False) as script:
        script.write(CHILD.format(here=HERE))
    try:
        out = subprocess.run(
            ["valgrind", "--tool=cachegrind", "--cache-sim=no", "--cachegrind-out-file=/dev/null",
             sys.executable, script.name, stack, contender, str(requests)],
            env=dict(os.environ, PYTHONHASHSEED="0"), capture_output=True, text=True,
            check=True).stderr
    finally:
        os.unlink(script.name)
    return int(re.search(r"I\s+refs:\s+([\d,]+)", out)[1].replace(",", ""))


def main() -> None:
    print(f"instructions per request ({sys.version.split()[0]}), "
          f"({LARGE} - {SMALL} requests) under cachegrind")
    for stack in ("asgi", "wsgi"):
        per = {}
        for contender in ("bare", "off", "on", "traced"):
            per[contender] = (instructions(stack, contender, LARGE)
                              - instructions(stack, contender, SMALL)) / (LARGE - SMALL)
        added = per["off"] - per["bare"]
        print(f"  {stack}: bare app {per['bare']:,.0f}; middleware with exemplars off adds "
              f"{added:,.0f}")
        for contender in ("on", "traced"):
            more = per[contender] - per["off"]
            print(f"  {stack}: exemplars {contender:6}: {per[contender]:,.0f} per request, "
                  f"{more:+,.0f} against off: {more / per['off']:+.2%} per request, "
                  f"{more / added:+.1%} of what the middleware adds")


if __name__ == "__main__":
    main()
