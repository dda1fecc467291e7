"""Per-route series in one process: what a request adds, bad input, the caps, the overflow key,
the in-progress gauges, and the document that series_text() renders, read back by
prometheus_client's parser, by promtool and against the kernel's figures."""

import math
import os
import resource
import shutil
import subprocess
import sys

import psutil
import pytest
from prometheus_client.parser import text_string_to_metric_families

from helpers import Floaty, Index, Text
from vantorel import _core, _native, series

FAMILIES = [
    ("vtr_http_requests", "counter"),
    ("vtr_http_request_duration_seconds", "histogram"),
    ("vtr_http_requests_in_progress", "gauge"),
    ("vtr_http_requests_overflow", "counter"),
    ("process_cpu_seconds", "counter"),
    ("process_resident_memory_bytes", "gauge"),
    ("process_virtual_memory_bytes", "gauge"),
    ("process_start_time_seconds", "gauge"),
    ("process_open_fds", "gauge"),
    ("process_max_fds", "gauge"),
]


def reset():
    # series_clear() keeps the in-progress gauges (requests in flight must end balanced), so a
    # test's gauges are balanced here, by the calls that move them.
    for method, n in _native.series_snapshot()[1].items():
        for _ in range(-n):
            _native.series_start(method)
        for _ in range(n):
            _native.series_finish(method, "/", "/", 200, 0.0)
    _native.series_set_limit(series.DEFAULT_LIMIT)
    _native.series_set_methods([])
    _native.series_clear()
    _core.clear_requests()


@pytest.fixture(autouse=True)
def fresh_series():
    reset()
    yield
    reset()


def one_bucket(index):
    return tuple(int(i == index) for i in range(len(series.BUCKET_BOUNDS_SECONDS) + 1))


def families(doc):
    return {f.name: f for f in text_string_to_metric_families(doc)}


def sample(doc, name, **labels):
    (value,) = [s.value for f in text_string_to_metric_families(doc) for s in f.samples
                if s.name == name and s.labels == labels]
    return value


# (duration_ms, bucket, microseconds added to the sum). Bounds are inclusive; NaN and negative
# durations count in the first bucket and +Inf or 1e12 ms and more in the last, adding nothing.
DURATIONS = [
    (0.0, 0, 0),
    (0.0015, 0, 1),
    (1.0, 0, 1000),
    (1.0000001, 1, 1000),
    (10000.0, 12, 10_000_000),
    (10000.5, 13, 10_000_500),
    (999_999_999_999.0, 13, 999_999_999_999_000),
    (float("nan"), 0, 0),
    (-5.0, 0, 0),
    (-0.0, 0, 0),
    (float("-inf"), 0, 0),
    (float("inf"), 13, 0),
    (1e12, 13, 0),
    (1e300, 13, 0),
]


@pytest.mark.parametrize("duration,bucket,micros", DURATIONS, ids=[repr(d[0]) for d in DURATIONS])
def test_one_duration_and_the_sum_after_it(duration, bucket, micros):
    _native.series_observe("GET", "/d", 200, duration)
    ((*key, count, sum_us, buckets),) = series.snapshot().series
    assert (key, count, sum_us, buckets) == (["GET", "/d", 200], 1, micros, one_bucket(bucket))
    # One bad value must not spoil the sum for the requests after it.
    _native.series_observe("GET", "/d", 200, 2.5)
    doc = _native.series_text()
    labels = {"method": "GET", "route": "/d"}
    assert sample(doc, "vtr_http_request_duration_seconds_sum", **labels) == (micros + 2500) / 1e6
    assert sample(doc, "vtr_http_request_duration_seconds_count", **labels) == 2
    assert sample(doc, "vtr_http_requests_total", status="200", **labels) == 2


def replaced(text):
    return "".join("\ufffd" if "\ud800" <= c <= "\udfff" else c for c in text)


# (method, route) as given; the key is each cut to its cap, lone surrogates replaced.
TEXTS = {
    "long-method": ("M" * 40, "/r"),
    "multibyte-cut": ("GET", "/" + "é" * 300),
    "four-byte-cut": ("\U0001d11e" * 33, "/" + "\U0001d11e" * 300),
    "surrogates": ("\ud800GET", "/a\udfffb\ud83d\ude00"),
    "surrogate-past-cap": ("GET", "/" + "a" * 300 + "\ud800"),
    "huge": ("GET" * 10**5, "/" + "x" * 10**6),
    "str-subclass": (Text("PUT"), Text("/sub\udc80")),
    "empty": ("", ""),
}


@pytest.fixture
def shard_buckets_after():
    yield
    _native.series_clear()
    series.set_duration_buckets(series.BUCKET_BOUNDS_SECONDS)


def test_duration_buckets_of_ones_own(shard_buckets_after):
    series.set_duration_buckets([0.05, 0.5])
    assert series.get_duration_buckets() == (0.05, 0.5)
    for duration in (10.0, 50.0, 50.001, 500.0, 600.0, math.inf, math.nan):
        _native.series_observe("GET", "/d", 200, duration)
    ((*_, count, sum_us, buckets),) = series.snapshot().series
    assert (count, sum_us, buckets, series.snapshot().bounds) == (
        7, 1_210_001, (3, 2, 2), (0.05, 0.5))
    doc = _native.series_text()
    assert [(s.labels["le"], s.value) for f in text_string_to_metric_families(doc)
            for s in f.samples if s.name.endswith("_bucket")] == \
        [("0.05", 3), ("0.5", 5), ("+Inf", 7)]
    # Counted under them, the process keeps them; the same ones again change nothing.
    series.set_duration_buckets((0.05, 0.5))
    with pytest.raises(ValueError, match="before this process counts its first request"):
        series.set_duration_buckets([0.1])


@pytest.mark.parametrize("bounds,error", [
    ([], ValueError), ([0.1 * i for i in range(1, 15)], ValueError), ([0.5, 0.1], ValueError),
    ([0.1, 0.1], ValueError), ([0.0, 1.0], ValueError), ([-1.0], ValueError),
    ([math.inf], ValueError), ([math.nan], ValueError), ("0.1", TypeError), ([None], TypeError),
])
def test_duration_buckets_refused(bounds, error, shard_buckets_after):
    with pytest.raises(error):
        series.set_duration_buckets(bounds)
    assert series.get_duration_buckets() == series.BUCKET_BOUNDS_SECONDS


@pytest.mark.parametrize("method,route", TEXTS.values(), ids=TEXTS.keys())
def test_texts_are_capped_and_cleaned(method, route):
    # A method that is no standard one (nor an extra one) is labelled OTHER.
    label = str.__str__(method) if method in series.METHOD_CLASSES else "OTHER"
    expected = (label, replaced(str.__str__(route)[:series.MAX_ROUTE_LENGTH]))
    # The rule is the middleware's too, for the request it records (the very text if it holds
    # no lone surrogate).
    cleaned = _native.label_text(route)
    assert cleaned == replaced(str.__str__(route))
    assert (cleaned is route) == (cleaned == route)
    _native.series_start(method)
    _native.series_observe(method, route, 201, 3.0)
    _native.series_finish("GET", "/path", route, 202, 4.0)
    got = [(s.method, s.route, s.status) for s in series.snapshot().series]
    assert sorted(got) == sorted([(*expected, 201), ("GET", expected[1], 202)])
    gauges = dict.fromkeys(series.METHOD_CLASSES, 0)
    gauges["GET"] -= 1
    gauges[method if method in ("GET", "PUT") else "OTHER"] += 1
    assert series.snapshot().in_progress == gauges


def test_clients_cannot_fill_the_series_budget_with_made_up_methods():
    _native.series_set_limit(5)
    _native.series_set_methods(["PROPFIND", "M" * 32])
    try:
        for i in range(1000):
            _native.series_finish("X%d" % i, "/p", "/r", 200, 1.0)
        for method in ("GET", "PROPFIND", "M" * 32, "M" * 33, "propfind"):
            _native.series_finish(method, "/p", "/r", 200, 1.0)
        got = {(s.method, s.route, s.count) for s in series.snapshot().series}
        assert got == {("OTHER", "/r", 1002), ("GET", "/r", 1), ("PROPFIND", "/r", 1),
                       ("M" * 32, "/r", 1)}
        # The ring keeps what the client sent.
        assert {r.method for r in _core.get_requests()} >= {"X999", "M" * 33, "propfind"}
        assert _native.series_get_methods() == ("PROPFIND", "M" * 32)
    finally:
        reset()
    for bad, error in [(["M" * 33], ValueError), ([""], ValueError), (["A"] * 65, ValueError),
                       ([1], TypeError), ("GET", TypeError)]:
        with pytest.raises(error):
            _native.series_set_methods(bad)
    assert _native.series_get_methods() == ()


# Arguments whose conversion fails: series_finish must fail exactly as record_request does for
# the same method, path, status code and duration, and record nothing anywhere.
BAD_ARGUMENTS = {
    "method-int": (1, "/", 200, 1.0),
    "method-surrogate": ("G\udc00", "/", 200, 1.0),
    "path-bytes": ("GET", b"/", 200, 1.0),
    "path-surrogate": ("GET", "/\ud800", 200, 1.0),
    "status-high": ("GET", "/", 70000, 1.0),
    "status-float": ("GET", "/", 200.0, 1.0),
    "duration-str": ("GET", "/", 200, "1"),
    "duration-huge-int": ("GET", "/", 200, 10**400),
}


@pytest.mark.parametrize("args", BAD_ARGUMENTS.values(), ids=BAD_ARGUMENTS.keys())
def test_finish_fails_like_record_request(args):
    method, path, status, duration = args
    with pytest.raises(BaseException) as expected:
        _core.record_request(*args)
    with pytest.raises(BaseException) as got:
        _native.series_finish(method, path, "/route", status, duration)
    assert (type(got.value), str(got.value)) == (type(expected.value), str(expected.value))
    assert _core.get_requests() == []
    assert series.snapshot() == ([], dict.fromkeys(series.METHOD_CLASSES, 0), 0)


GOOD_ARGUMENTS = {
    "plain": ("GET", "/items/1", 200, 12.5),
    "converted": (Text("PATCH"), Text("/é"), Index(204), Floaty(2.5)),
    "int-duration": ("POST", "/", True, 3),
    "nan": ("GET", "/", 500, float("nan")),
}


@pytest.mark.parametrize("args", GOOD_ARGUMENTS.values(), ids=GOOD_ARGUMENTS.keys())
def test_finish_records_the_ring_like_record_request(args):
    _core.record_request(*args)
    method, path, status, duration = args
    _native.series_finish(method, path, "/tpl", status, duration)
    first, second = (r.to_dict() for r in _core.get_requests())
    assert abs(first.pop("timestamp") - second.pop("timestamp")) <= 1
    assert repr(first) == repr(second)  # repr: NaN equals itself
    ((m, route, s, count, _, _),) = series.snapshot().series
    assert (m, route, s, count) == (str.__str__(method), "/tpl", int(status), 1)


def test_overflow_key_and_its_counter():
    _native.series_set_limit(2)
    for i in range(5):
        for _ in range(i + 1):
            _native.series_observe("GET", f"/r{i}", 200, 1.5)
    _native.series_observe("GET", "/r0", 200, 1.5)  # a known key keeps its series
    snap = series.snapshot()
    assert [(s.method, s.route, s.status, s.count) for s in snap.series] == [
        ("GET", "/r0", 200, 2), ("GET", "/r1", 200, 2), ("OTHER", "<overflow>", None, 12)]
    assert snap.overflow == 12
    doc = _native.series_text()
    assert sample(doc, "vtr_http_requests_overflow_total") == 12
    assert sample(doc, "vtr_http_requests_total", method="OTHER", route="<overflow>",
                  status="OTHER") == 12
    assert sample(doc, "vtr_http_request_duration_seconds_bucket", method="OTHER",
                  route="<overflow>", le="0.002") == 12
    # Memory stays bounded whatever clients send: ten thousand new keys, still three series.
    for i in range(10_000):
        _native.series_observe("GET", f"/flood/{i}", 404, 1.0)
    assert len(series.snapshot().series) == 3
    for value, limit in [(0, 0), (10**9, series.MAX_LIMIT), (7, 7)]:
        _native.series_set_limit(value)
        assert _native.series_get_limit() == limit
    with pytest.raises(OverflowError):
        _native.series_set_limit(-1)


@pytest.mark.parametrize("value,limit", [("3", 3), (" 12\t", 12), ("0", 0), ("abc", 1000),
                                         ("-4", 1000), ("", 1000), ("999999999", 100000)],
                         ids=["3", "spaces", "zero", "junk", "negative", "empty", "huge"])
def test_limit_from_the_environment(value, limit):
    code = ("from vantorel import _native; _native.series_observe('GET', '/', 200, 1.0); "
            "print(_native.series_get_limit())")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True,
                         env={**os.environ, series.LIMIT_ENV_VAR: value})
    assert int(out.stdout) == limit


def test_in_progress_by_method_class():
    methods = ["GET", "GET", "POST", "get", "PROPFIND", "PATCH", "OPTIONS"]
    for method in methods:
        _native.series_start(method)
    _native.series_finish("GET", "/", "/", 200, 1.0)
    _native.series_finish("PROPFIND", "/", "/", 207, 1.0)
    expected = dict.fromkeys(series.METHOD_CLASSES, 0) | {
        "GET": 1, "POST": 1, "OTHER": 1, "PATCH": 1, "OPTIONS": 1}
    assert series.snapshot().in_progress == expected
    gauges = families(_native.series_text())["vtr_http_requests_in_progress"]
    assert {s.labels["method"]: s.value for s in gauges.samples} == expected
    assert [s.labels["method"] for s in gauges.samples] == list(series.METHOD_CLASSES)


HOSTILE = ['a"b', "back\\slash", "new\nline", '\\"\n\\n', "é\u2028\x00", "{}=,"]


def test_whole_document_read_by_prometheus_client():
    _native.series_set_methods(HOSTILE)  # methods of their own: their labels are escaped too
    for i, text in enumerate(HOSTILE):
        _native.series_observe(text, text, 200 + i, 0.5 * i)
    _native.series_finish("GET", "/x", "/items/{id}", 404, 30.0)
    _native.series_finish("GET", "/y", "/items/{id}", 200, 3000.0)
    doc = _core.metrics_text() + _native.series_text()
    parsed = families(doc)
    new = {name: parsed[name] for name, _ in FAMILIES}
    assert [(f.name, f.type) for f in new.values()] == FAMILIES
    assert all(f.documentation for f in new.values())
    requests = {(s.labels["method"], s.labels["route"], s.labels["status"]): s.value
                for s in new["vtr_http_requests"].samples}
    assert requests == {**{(t, t, str(200 + i)): 1 for i, t in enumerate(HOSTILE)},
                        ("GET", "/items/{id}", "404"): 1, ("GET", "/items/{id}", "200"): 1}
    buckets = [(s.labels["le"], s.value) for s in new["vtr_http_request_duration_seconds"].samples
               if s.name.endswith("_bucket") and s.labels["route"] == "/items/{id}"]
    assert [le for le, _ in buckets] == [f"{b:g}" for b in series.BUCKET_BOUNDS_SECONDS] + ["+Inf"]
    assert [v for _, v in buckets] == [0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 1, 2, 2, 2]
    assert sample(doc, "vtr_http_request_duration_seconds_sum", method="GET",
                  route="/items/{id}") == 3.03


def test_empty_families_keep_their_help_and_type():
    doc = _native.series_text()
    for name, kind in FAMILIES[:3]:
        full = name + "_total" if kind == "counter" else name
        assert f"# HELP {full} " in doc and f"# TYPE {full} {kind}\n" in doc
    assert "vtr_http_requests_total{" not in doc and "_bucket{" not in doc
    assert sample(doc, "vtr_http_requests_overflow_total") == 0


@pytest.mark.skipif(shutil.which("promtool") is None, reason="needs promtool (Debian: prometheus)")
def test_promtool_has_nothing_to_say_about_the_new_families():
    for i, text in enumerate(HOSTILE):
        _native.series_observe(text, "/r", 200 + i, float(i))
    _native.series_set_limit(1)
    _native.series_observe("GET", "/over", 500, float("nan"))
    doc = _core.metrics_text() + _native.series_text()
    proc = subprocess.run(["promtool", "check", "metrics"], input=doc, capture_output=True,
                          text=True, timeout=60)
    assert proc.returncode in (0, 3), proc.stdout + proc.stderr  # 3: lint complaints only
    complaints = [line for line in (proc.stdout + proc.stderr).splitlines()
                  if line.startswith(("vtr_http", "process_"))]
    assert complaints == []


def boot_time() -> int:
    with open("/proc/stat") as stat:
        return next(int(line.split()[1]) for line in stat if line.startswith("btime "))


# /proc/stat's btime is the wall clock less the time since boot: it moves by as much as the clock
# is stepped (a virtual machine's clock catching up, say), and the core and psutil each read it
# once, maybe on either side of such a step.
BOOT_TIME_AT_START = boot_time()


def test_process_families_match_the_kernel():
    me = psutil.Process()
    before = me.cpu_times()
    fds_before = me.num_fds()
    doc = _native.series_text()
    after = me.cpu_times()
    fds_after = me.num_fds()
    memory = me.memory_info()
    value = {f.name: f.samples[0].value for f in text_string_to_metric_families(doc)
             if f.name.startswith("process_")}
    tick = 1 / os.sysconf("SC_CLK_TCK")
    assert before.user + before.system - tick <= value["process_cpu_seconds"]
    assert value["process_cpu_seconds"] <= after.user + after.system + tick
    assert abs(value["process_resident_memory_bytes"] - memory.rss) <= 4 * 1024 * 1024
    assert abs(value["process_virtual_memory_bytes"] - memory.vms) <= 16 * 1024 * 1024
    stepped = abs(boot_time() - BOOT_TIME_AT_START)
    assert math.isclose(value["process_start_time_seconds"], me.create_time(),
                        abs_tol=0.02 + stepped)
    assert fds_before == value["process_open_fds"] == fds_after
    assert value["process_max_fds"] == resource.getrlimit(resource.RLIMIT_NOFILE)[0]


def raises(call, error):
    def run():
        try:
            call()
        except error:
            return
        raise AssertionError("no error")
    return run


CONVERTED = (Text("GET"), Text("/é"), "/r\ud800" * 100, Index(200), Floaty())
LEAK_CASES = {
    "finish": lambda: _native.series_finish("GET", "/p", "/r", 200, 1.5),
    "finish-converted": lambda: _native.series_finish(*CONVERTED),
    "finish-surrogate": raises(lambda: _native.series_finish("GET", "/\ud800", "/", 200, 1.0),
                               UnicodeEncodeError),
    "observe-bad-status": raises(lambda: _native.series_observe("GET", "/", 1 << 20, 1.0),
                                 OverflowError),
    "start": lambda: _native.series_start("\udc80" + "M" * 50),
    "snapshot": _native.series_snapshot,
    "text": _native.series_text,
    "read-dir": lambda: _native.series_read_dir("/nonexistent/vtr"),
    "fold-live": raises(lambda: _native.series_fold("/nonexistent/vtr", os.getpid()), ValueError),
    "failure": _native.series_failure,
}


@pytest.mark.skipif(sys.implementation.name != "cpython", reason="reference counts are CPython's")
@pytest.mark.parametrize("call", LEAK_CASES.values(), ids=LEAK_CASES.keys())
def test_no_entry_leaks(call):
    import gc

    watched = [None, True, False, _native, *CONVERTED]

    def state():
        gc.collect()
        return ([sys.getrefcount(o) for o in watched], len(gc.get_objects()),
                len(os.listdir("/proc/self/fd")))

    for _ in range(100):
        call()
    refs, objects, fds = state()
    for _ in range(10_000):
        call()
    after_refs, after_objects, after_fds = state()
    assert all(abs(a - b) <= 100 for a, b in zip(after_refs, refs)), (refs, after_refs)
    assert after_objects - objects <= 50 and after_fds == fds
