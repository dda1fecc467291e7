"""The exemplars option and the OpenMetrics page: the whole middleware per request with
exemplars off (as by default), on for requests without trace context, and on for requests with a
sampled traceparent header, beside the bare application; and the OpenMetrics page (an exemplar
on every bucket and every count) beside the text page 0.0.4 over the same 1000 series.

    python bench/exemplars.py [--quick]

Timings of a few dozen nanoseconds on a request of some 50 µs are below this machine's noise:
bench/instructions.py counts the instructions per request of the same contenders.
"""
from __future__ import annotations

import sys

import middleware
from harness import (Context, Results, Table, Variant, added_ratio, format_ns, loop, measure,
                     paired_difference, paired_ratio, run_alone, x)
from middleware import fastapi_app, flask_app, starlette_app

from vantorel import _core, _native

TRACEPARENT = "00-4bf92f3577b34da6a3ce929d0e0e4736-00f067aa0ba902b7-01"


def asgi_runner(app, traced: bool):
    """run(n): n requests through the ASGI app, with or without a sampled traceparent."""
    return middleware.asgi_runner(app, [(b"traceparent", TRACEPARENT.encode())] if traced else ())


def wsgi_runner(app, traced: bool):
    return middleware.wsgi_runner(app, {"HTTP_TRACEPARENT": TRACEPARENT} if traced else None)


def middleware_rows(ctx: Context, results: Results, table: Table, stack: str) -> None:
    from vantorel.middleware import MetricsMiddleware, WSGIMetricsMiddleware

    if stack == "asgi":
        make = fastapi_app if fastapi_app() is not None else starlette_app
        framework = "FastAPI" if make is fastapi_app else "Starlette"

        def variant(traced=False, **options):
            if options.get("bare"):
                return Variant(asgi_runner(make(), traced))
            app = make()
            app.add_middleware(MetricsMiddleware, **options)
            return Variant(asgi_runner(app, traced))
    else:
        make, framework = flask_app, "Flask"

        def variant(traced=False, **options):
            if options.get("bare"):
                return Variant(wsgi_runner(make(), traced))
            return Variant(wsgi_runner(WSGIMetricsMiddleware(make(), **options), traced))

    variants = {"bare": variant(bare=True), "off": variant(),
                "on": variant(exemplars=True), "traced": variant(True, exemplars=True)}
    variants["traced"].run(1)
    assert "trace_id" in _native.series_page(True, ""), "no exemplar recorded"
    t = measure(variants, ctx.middleware_repeats, ctx.middleware_s, equal_calls=True)
    table.add(f"{stack}_ex_bare", f"{framework} app alone", t["bare"], "", "floor")
    for key, label in (("off", "middleware, exemplars off (default)"),
                       ("on", "exemplars on, no trace context"),
                       ("traced", "exemplars on, sampled traceparent")):
        added = paired_difference(t, key, "bare")
        figures = {"added_ns": added}
        compare = f"+{format_ns(added)} per request"
        if key != "off":
            figures["to_off"] = paired_ratio(t, key, "off")
            figures["added_to_off"] = added_ratio(t, key, "off", "bare")
            compare += (f"; {figures['to_off']:.3f}× the request with exemplars off, its "
                        f"middleware adding {x(figures['added_to_off'])} as much")
        table.add(f"{stack}_ex_{key}", f"{framework}: {label}", t[key], compare, **figures)
        if key != "off" and sys.implementation.name != "pypy":  # CPython's goals, as elsewhere
            more = figures["to_off"] - 1
            limit = 0.03 if key == "on" else 0.15
            what = "without trace context" if key == "on" else "with a sampled traceparent"
            results.goal(f"{framework} request with exemplars on, {what}, against exemplars off",
                         f"≤ {limit:.0%} more per request", f"{more:+.1%}", more <= limit)


SERIES = """
for m in ("GET", "POST"):
    for k in range(100):
        for s in (200, 201, 404, 500, 503):
            for b, ms in enumerate((0.5, 1.5, 3, 7, 20, 40, 70, 200, 400, 700, 2000, 4000,
                                    7000, 20000)):
                _native.series_finish_traced(m, "/p", "/api/things/{id}/r%d" % k, s, ms,
                                             "%032x" % (k * 10 + b + 1) if traced else "",
                                             "%016x" % (s + b))
"""


def page_rows(ctx: Context, results: Results, table: Table) -> None:
    """The two pages over 1000 series (200 histograms): without exemplars, and with one on
    every bucket and every count, the most a page can carry."""
    for traced in (False, True):
        _native.series_clear()
        exec(SERIES, {"_native": _native, "traced": traced})
        om = _native.metrics_openmetrics() + _native.series_page(True, "") + "# EOF\n"
        text = _core.metrics_text() + _native.series_page(False, "")
        assert om.count("trace_id") == (200 * 14 + 1000 if traced else 0)
        variants = {
            "text": Variant(loop("_core.metrics_text() + page(False, '')", _core=_core,
                                 page=_native.series_page)),
            "openmetrics": Variant(loop("om() + page(True, '') + '# EOF\\n'",
                                        om=_native.metrics_openmetrics,
                                        page=_native.series_page)),
        }
        t = measure(variants, ctx.repeats, max(ctx.target_s, 0.05))
        ratio = paired_ratio(t, "openmetrics", "text")
        sizes = len(om.encode()) / len(text.encode())
        which = "exemplars on every bucket and count" if traced else "no exemplars"
        key = "traced" if traced else "plain"
        table.add(f"page_text_{key}", f"text page 0.0.4, 1000 series, {which}", t["text"], "",
                  "floor")
        table.add(f"page_openmetrics_{key}", f"OpenMetrics page, 1000 series, {which}",
                  t["openmetrics"], f"{x(ratio)} the text page ({sizes:.2f}× its bytes)",
                  ratio=ratio, bytes_ratio=sizes)
        if sys.implementation.name != "pypy":
            results.goal(f"OpenMetrics page against the text page over the same series, {which}",
                         "≤ 1.2×", x(ratio), ratio <= 1.2)
    _native.series_clear()


def section(ctx: Context, results: Results) -> None:
    table = results.table("exemplars", "Exemplars: the middleware per request, and the "
                                       "OpenMetrics page")
    _core.set_multiproc_dir(None)
    middleware_rows(ctx, results, table, "asgi")
    if flask_app() is not None:
        middleware_rows(ctx, results, table, "wsgi")
    page_rows(ctx, results, table)
    _core.clear_requests()
    table.print()


if __name__ == "__main__":
    run_alone("exemplars")
