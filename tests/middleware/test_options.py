"""The middleware's options (exclusions, caps) and its own failures, which stay its own."""

from __future__ import annotations

import logging
import os
import re
import threading
import time
from typing import Any, List

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from vantorel import _core, middleware, series
from vantorel.middleware import MetricsMiddleware, WSGIMetricsMiddleware, recorder

from scripted import call_wsgi, hello_app, plain_response, recorded, serve, wsgi_hello


EXCLUSION_CASES = [
    ({}, "GET", "/metrics", False),
    ({}, "GET", "/metrics/", False),
    ({}, "GET", "/metrics/x", True),
    ({"metrics_path": None}, "GET", "/metrics", True),
    ({"metrics_path": "/internal/metrics"}, "GET", "/internal/metrics", False),
    ({"metrics_path": "/internal/metrics"}, "GET", "/metrics", True),
    ({"exclude_paths": [r"/health"]}, "GET", "/health", False),
    ({"exclude_paths": [r"/health"]}, "GET", "/healthz", True),  # the whole path must match
    ({"exclude_paths": [r"/static/.*"]}, "GET", "/static/a/b.css", False),
    ({"exclude_paths": r"/static/.*"}, "GET", "/api/static/a", True),
    ({"exclude_methods": ["options", "HEAD"]}, "OPTIONS", "/x", False),
    ({"exclude_methods": ["options", "HEAD"]}, "head", "/x", False),
    ({"exclude_methods": ["OPTIONS"]}, "GET", "/x", True),
    # A bare str is one pattern or one method, not a sequence of one-character ones.
    ({"exclude_paths": "/healthz"}, "GET", "/healthz", False),
    ({"exclude_paths": "/healthz"}, "GET", "/", True),
    ({"exclude_methods": "get"}, "GET", "/x", False),
    # Patterns are joined into one alternation only where that keeps their meaning.
    ({"exclude_paths": [r"/a/(x|y)", r"/b/\d+"]}, "GET", "/b/12", False),
    ({"exclude_paths": [r"/a/(x|y)", r"/b/\d+"]}, "GET", "/a/x/b/1", True),
    ({"exclude_paths": [r"/(a)", r"/(\w)\1"]}, "GET", "/bb", False),
    ({"exclude_paths": [r"/(?P<x>a)", r"/(?P<x>b)"]}, "GET", "/b", False),
    ({"exclude_paths": [r"/x", r"(?i)/abc"]}, "GET", "/X", True),
    ({"exclude_paths": [re.compile(r"/ABC", re.I), r"/x.*"]}, "GET", "/abc", False),
]
EXCLUSION_IDS = [f"{m} {p} {'recorded' if r else 'skipped'} {o}" for o, m, p, r in
                 EXCLUSION_CASES]


@pytest.mark.parametrize("options, method, path, is_recorded", EXCLUSION_CASES,
                         ids=EXCLUSION_IDS)
def test_exclusions_asgi(options, method, path, is_recorded):
    client = serve(MetricsMiddleware(hello_app, **options), path, method)
    assert client.status() == 200
    assert recorded() == ([(method, path, 200)] if is_recorded else [])


@pytest.mark.parametrize("options, method, path, is_recorded", EXCLUSION_CASES,
                         ids=EXCLUSION_IDS)
def test_exclusions_wsgi(options, method, path, is_recorded):
    status, _, _ = call_wsgi(WSGIMetricsMiddleware(wsgi_hello, **options), path, method)
    assert status == "200 OK"
    assert recorded() == ([(method, path, 200)] if is_recorded else [])


def test_lone_surrogates_are_recorded_as_replacement_characters():
    # A method and a path no UTF-8 holds: the request is recorded all the same, as the series
    # store writes a label.
    serve(MetricsMiddleware(hello_app), "/a\udc80", "G\ud800")
    assert recorded() == [("G\ufffd", "/a\ufffd", 200)]
    assert [(s.method, s.route) for s in series.snapshot().series] == \
        [("OTHER", series.UNMATCHED_ROUTE)]


def test_long_paths_and_methods_are_cut():
    long_path = "/" + "a" * 5000
    serve(MetricsMiddleware(hello_app, max_path_length=100), long_path, "X" * 100)
    serve(MetricsMiddleware(hello_app, max_path_length=None), long_path)
    serve(MetricsMiddleware(hello_app), long_path)
    assert recorded() == [("X" * middleware.MAX_METHOD_LENGTH, long_path[:100], 200),
                          ("GET", long_path, 200),
                          ("GET", long_path[:middleware.DEFAULT_MAX_PATH_LENGTH], 200)]


@settings(max_examples=60, deadline=None)
@given(path=st.text(st.characters(blacklist_categories=("Cs",)), max_size=300),
       limit=st.integers(1, 64))
def test_any_path_is_recorded_as_its_prefix(path, limit):
    _core.clear_requests()
    serve(MetricsMiddleware(hello_app, max_path_length=limit, metrics_path=None), path)
    assert recorded() == [("GET", path[:limit], 200)]


@pytest.mark.parametrize(
    "kwargs, error, message",
    [
        ({"max_path_length": 0}, ValueError, "max_path_length must be at least 1"),
        ({"max_path_length": 2.5}, TypeError, "max_path_length must be an int or None"),
        ({"max_path_length": True}, TypeError, "max_path_length must be an int or None"),
        ({"exclude_paths": ["("]}, Exception, None),
        ({"exclude_paths": [b"/x"]}, TypeError,
         "exclude_paths must hold regular expressions (str or re.Pattern)"),
        ({"exclude_methods": [None]}, TypeError, "exclude_methods must hold str"),
    ],
    ids=["zero", "float", "bool", "bad-regex", "bytes-pattern", "not-a-method"],
)
def test_bad_options_fail_at_construction_not_per_request(kwargs, error, message):
    for cls in (MetricsMiddleware, WSGIMetricsMiddleware):
        with pytest.raises(error) as caught:
            cls(hello_app, **kwargs)
        if message is not None:
            assert str(caught.value) == message


def test_status_outside_the_core_range_is_recorded_as_0():
    async def app(scope, receive, send):
        await plain_response(send, 70000)

    serve(MetricsMiddleware(app), "/odd")
    assert recorded() == [("GET", "/odd", 0)]


# ---------------------------------------------------------------------------------------------
# The middleware's own failures stay its own


class BrokenCore:
    def __init__(self, error: BaseException) -> None:
        self.calls = 0
        self.error = error

    def __call__(self, *args: Any) -> None:  # the one call that ends a request
        self.calls += 1
        raise self.error


@pytest.mark.parametrize("error", [RuntimeError("store unavailable"),
                                   _core.PanicException("store unavailable")],
                         ids=["exception", "panic"])
def test_a_failing_record_never_fails_the_request_and_is_logged_once(error, monkeypatch,
                                                                     caplog):
    broken = BrokenCore(error)
    monkeypatch.setattr(recorder, "_series_finish", broken)
    monkeypatch.setattr(recorder, "_WARNED", False)
    caplog.set_level(logging.DEBUG, logger="vantorel")
    for _ in range(3):
        assert serve(MetricsMiddleware(hello_app), "/a").body() == b"ok"
    status, _, body = call_wsgi(WSGIMetricsMiddleware(wsgi_hello), "/b")
    assert (status, body) == ("200 OK", b"hello")
    assert broken.calls == 4
    levels = [(r.levelname, r.getMessage()) for r in caplog.records]
    assert levels == [("WARNING", "vantorel: a request could not be recorded")] + [
        ("DEBUG", "vantorel: a request could not be recorded")] * 3
    assert caplog.records[0].exc_info[1] is error


def test_a_route_that_fails_to_match_falls_back_to_the_raw_path():
    class ExplodingRoute:
        path = "/never"
        endpoint = None

        def matches(self, scope):
            raise KeyError("broken route")

    class App:
        routes = [ExplodingRoute()]

        async def __call__(self, scope, receive, send):
            await plain_response(send)

    serve(MetricsMiddleware(App()), "/items/3")
    assert recorded() == [("GET", "/items/3", 200)]


def test_first_request_hook_runs_once_per_process(monkeypatch):
    calls: List[int] = []

    def hook():
        calls.append(os.getpid())
        time.sleep(0.05)  # long enough for the other threads' first requests to arrive

    monkeypatch.setattr(recorder, "_first_request_in_process", hook)
    monkeypatch.setattr(recorder, "_PROCESS_READY", False)
    threads = [threading.Thread(target=call_wsgi, args=(WSGIMetricsMiddleware(wsgi_hello), "/b"))
               for _ in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    serve(MetricsMiddleware(hello_app), "/a")
    assert calls == [os.getpid()]
    assert len(recorded()) == 5
    child = os.fork()
    if child == 0:  # a pre-forked worker: its own first request
        try:
            call_wsgi(WSGIMetricsMiddleware(wsgi_hello), "/c")
            call_wsgi(WSGIMetricsMiddleware(wsgi_hello), "/c")
            os._exit(0 if calls[1:] == [os.getpid()] else 1)
        finally:
            os._exit(2)
    _, wait_status = os.waitpid(child, 0)
    assert os.waitstatus_to_exitcode(wait_status) == 0
    assert calls == [os.getpid()]


def test_an_application_provided_route_key_wins():
    async def app(scope, receive, send):
        scope[middleware.ROUTE_KEY] = "/users/{id}"
        await plain_response(send)

    serve(MetricsMiddleware(app), "/users/17")
    serve(MetricsMiddleware(app, group_paths=False), "/users/18")
    assert recorded() == [("GET", "/users/{id}", 200), ("GET", "/users/18", 200)]
