"""The application's own metrics in one process, and against prometheus_client: the same module
instrumented with either library gives Prometheus the same families, labels and values; the
argument errors carry prometheus_client's messages; bad numbers; the helpers; the overflow
series; and one page with a prometheus_client registry appended, read by its parser and by
promtool."""

import asyncio
import itertools
import logging
import math
import os
import shutil
import subprocess
import sys
import time

import prometheus_client
import pytest
from hypothesis import given, settings, strategies as st
from prometheus_client.parser import text_string_to_metric_families

from vantorel import _core, _native, metrics
from vantorel.endpoint import make_wsgi_app
from vantorel.metrics import Counter, Gauge, Histogram, Summary

_numbers = itertools.count()


def unique(base):
    """A family name no other test of this process has defined."""
    return f"t{next(_numbers)}_{base}"


def page():
    return _core.metrics_text() + _native.series_text()


def stored(doc, prefix, pids=None):
    """What Prometheus stores of a page's families named ``prefix...``: by family, its type,
    help and samples ({(sample name, labels): float value}); ``_created`` samples left out (vantorel
    writes none), ``le`` as written (Prometheus stores the text: a bound written otherwise would
    start another series), ``pid`` labels through ``pids`` (each run has its own processes)."""
    families = {}
    for family in text_string_to_metric_families(doc):
        if not family.name.startswith(prefix) or family.name.endswith("_created"):
            continue
        samples = {}
        for s in family.samples:
            if s.name.endswith("_created"):
                continue
            labels = dict(s.labels)
            if "pid" in labels:
                labels["pid"] = pids[labels["pid"]]
            samples[(s.name, tuple(sorted(labels.items())))] = float(s.value)  # as Prometheus
        families[family.name] = (family.type, family.documentation, samples)
    return families


# One instrumented module, imported under either library (LIB). Dyadic amounts: the sums are
# exact whatever order the workers' values are added in.
SHOP = '''
import os
if os.environ["LIB"] == "prometheus_client":
    from prometheus_client import Counter, Gauge, Histogram, Summary
else:
    from vantorel.metrics import Counter, Gauge, Histogram, Summary

REQUESTS = Counter("shop_requests_total", "Requests by handler\\nand code \\\\ status",
                   ["handler", "code"])
FAILURES = Counter("failures", "Failed jobs", namespace="shop", subsystem="jobs")
PAID = Counter("shop_paid", "Money taken", ["currency"], unit="euros")
IN_FLIGHT = Gauge("shop_in_flight", "Requests in flight", multiprocess_mode="livesum")
PEAK = Gauge("shop_peak_items", "Largest basket", ["shop"], multiprocess_mode="max")
LOW = Gauge("shop_low_items", "Smallest basket", multiprocess_mode="min")
EACH = Gauge("shop_worker_value", "Per worker", multiprocess_mode="liveall")
STOCK = Gauge("shop_stock", "Stock", multiprocess_mode="sum")
LAST = Gauge("shop_last_order", "Last order", multiprocess_mode="mostrecent")
LATENCY = Histogram("shop_latency", "Latency", ["handler"], unit="seconds",
                    buckets=(0.25, 1, 2.5))
DEFAULT = Histogram("shop_default_seconds", "Default buckets")
SIZES = Summary("shop_payload_bytes", "Payload sizes", ["kind"])


@FAILURES.count_exceptions(KeyError)
def fail(error):
    raise error


def work(worker, single):
    for i in range(40):
        REQUESTS.labels("checkout", 200 if i % 8 else 500).inc()
    REQUESTS.labels(handler='a"b\\\\c\\nd\u00e9', code="200").inc(2.5)
    for error in (KeyError, KeyError, ValueError):
        try:
            fail(error)
        except Exception:
            pass
    PAID.labels("EUR").inc(10.25 * (worker + 1))
    with IN_FLIGHT.track_inprogress():
        IN_FLIGHT.inc(3)
    IN_FLIGHT.dec(1)
    PEAK.labels("x").set(10 + worker * 5)
    LOW.set(7 - worker)
    EACH.set(worker + 0.5)
    STOCK.set(100)
    STOCK.inc(worker)
    LAST.set(1000 + worker)
    for value in (0.125, 0.5, 0.75, 2, 3.5, 100):
        LATENCY.labels("checkout").observe(value)
    LATENCY.labels(handler="cart").observe(0.25)
    DEFAULT.observe(0.0625)
    SIZES.labels("json").observe(512)
    SIZES.labels("json").observe(1024 * (worker + 1))
    if single:  # prometheus_client cannot remove in its multiprocess mode
        REQUESTS.labels("gone", 404).inc()
        REQUESTS.remove("gone", 404)
'''

DRIVER = '''
import os, sys
sys.path.insert(0, os.getcwd())
import shop
worker, workers = int(sys.argv[1]), int(sys.argv[2])
shop.work(worker, workers == 1)
print(os.getpid(), flush=True)
if worker + 1 < workers:
    sys.stdin.read()  # alive until the last worker has answered the scrape
elif os.environ["LIB"] == "prometheus_client":
    from prometheus_client import REGISTRY, CollectorRegistry, generate_latest
    registry = REGISTRY
    if os.environ.get("PROMETHEUS_MULTIPROC_DIR"):
        from prometheus_client.multiprocess import MultiProcessCollector
        registry = CollectorRegistry()
        MultiProcessCollector(registry)
    sys.stdout.write(generate_latest(registry).decode())
else:
    from vantorel import _core, _native
    sys.stdout.write(_core.metrics_text() + _native.series_text())
'''


def run_shop(tmp_path, lib, workers):
    """The page after ``workers`` processes ran the shop one after the other, all alive."""
    run_dir = tmp_path / lib
    (run_dir / "files").mkdir(parents=True)
    (run_dir / "shop.py").write_text(SHOP)
    env = {k: v for k, v in os.environ.items()
           if k not in ("VTR_MULTIPROC_DIR", "PROMETHEUS_MULTIPROC_DIR")}
    env["LIB"] = lib
    if workers > 1:
        env["PROMETHEUS_MULTIPROC_DIR" if lib == "prometheus_client" else
            "VTR_MULTIPROC_DIR"] = str(run_dir / "files")
    waiting, pids = [], {}
    try:
        for worker in range(workers):
            proc = subprocess.Popen([sys.executable, "-c", DRIVER, str(worker), str(workers)],
                                    cwd=run_dir, env=env, stdin=subprocess.PIPE,
                                    stdout=subprocess.PIPE, text=True)
            waiting.append(proc)
            pids[proc.stdout.readline().strip()] = worker
        doc = waiting[-1].stdout.read()
    finally:
        for proc in waiting:
            proc.stdin.close()
            proc.wait(timeout=60)
            proc.stdout.close()
    assert [proc.returncode for proc in waiting] == [0] * workers
    return stored(doc, "shop_", pids)


@pytest.mark.parametrize("workers", [1, 2], ids=["one process", "two workers"])
def test_the_same_module_gives_prometheus_the_same_series(tmp_path, workers):
    ours = run_shop(tmp_path, "vantorel", workers)
    theirs = run_shop(tmp_path, "prometheus_client", workers)
    assert len(ours) == 12
    assert ours == theirs


@given(st.lists(st.tuples(st.text(st.characters(blacklist_categories=("Cs",)), max_size=12),
                          st.floats(allow_nan=False, allow_infinity=False, width=64)),
                min_size=1, max_size=8))
@settings(max_examples=30, deadline=None)
def test_any_label_text_and_value_reads_back_as_prometheus_client_writes_it(changes):
    prefix = unique("p")
    registry = prometheus_client.CollectorRegistry()
    peers = (prometheus_client.Counter(prefix + "_c", "c", ["l"], registry=registry),
             prometheus_client.Gauge(prefix + "_g", "g", ["l"], registry=registry),
             prometheus_client.Histogram(prefix + "_h", "h", ["l"], registry=registry,
                                         buckets=(0, 1e-300, 7, 1e300)))
    own = (Counter(prefix + "_c", "c", ["l"]), Gauge(prefix + "_g", "g", ["l"]),
           Histogram(prefix + "_h", "h", ["l"], buckets=(0, 1e-300, 7, 1e300)))
    for metrics_of in (peers, own):
        counter, gauge, histogram = metrics_of
        for text, value in changes:
            counter.labels(text).inc(abs(value))
            gauge.labels(text).set(value)
            histogram.labels(text).observe(value)
    theirs = stored(prometheus_client.generate_latest(registry).decode(), prefix)
    assert stored(page(), prefix) == theirs


def _fresh(lib, **registry):
    """A name never used in this process, for either library."""
    return unique("m")


# (id, construction or call, exception, message, whether prometheus_client raises the same).
# Calls get the library and, for prometheus_client, registry=... of its own.
ERRORS = [
    ("empty name", lambda lib, **r: lib.Counter("", "d", **r), ValueError,
     "Metric name should not be empty", True),
    ("bad name", lambda lib, **r: lib.Counter("1abc", "d", **r), ValueError,
     "invalid metric name 1abc", True),
    ("bad namespace", lambda lib, **r: lib.Gauge("x", "d", namespace="my-app", **r), ValueError,
     "invalid metric name my-app_x", True),
    ("bad label", lambda lib, **r: lib.Counter(_fresh(lib), "d", ["a-b"], **r), ValueError,
     "Invalid label metric name: a-b", True),
    # prometheus_client lets a final newline through, and the page breaks there.
    ("name ending in a newline", lambda lib, **r: lib.Counter("nl\n", "d", **r), ValueError,
     "invalid metric name nl\n", False),
    ("label ending in a newline", lambda lib, **r: lib.Counter(_fresh(lib), "d", ["a\n"], **r),
     ValueError, "Invalid label metric name: a\n", False),
    ("reserved label", lambda lib, **r: lib.Counter(_fresh(lib), "d", ["__x"], **r), ValueError,
     "Reserved label metric name: __x", True),
    # prometheus_client 0.26 misspells this message ("methe fric"); older ones say it so.
    ("le", lambda lib, **r: lib.Histogram(_fresh(lib), "d", ["le"], **r), ValueError,
     "Reserved label metric name: le", False),
    ("quantile", lambda lib, **r: lib.Summary(_fresh(lib), "d", ["quantile"], **r), ValueError,
     "Reserved label metric name: quantile", False),
    ("pid of a per-worker gauge",
     lambda lib, **r: lib.Gauge(_fresh(lib), "d", ["pid"], multiprocess_mode="liveall"),
     ValueError, "Reserved label metric name: pid", False),
    ("duplicate label", lambda lib, **r: lib.Counter(_fresh(lib), "d", ["a", "a"]), ValueError,
     "Duplicate label names: a, a", False),
    ("labels as one str", lambda lib, **r: lib.Counter(_fresh(lib), "d", "queue"), TypeError,
     "labelnames must be a sequence of str, not a single str", False),
    ("mode", lambda lib, **r: lib.Gauge(_fresh(lib), "d", multiprocess_mode="avg", **r),
     ValueError, "Invalid multiprocess mode: avg", True),
    ("unsorted", lambda lib, **r: lib.Histogram(_fresh(lib), "d", buckets=(2, 1), **r),
     ValueError, "Buckets not in sorted order", True),
    ("only +Inf", lambda lib, **r: lib.Histogram(_fresh(lib), "d", buckets=[math.inf], **r),
     ValueError, "Must have at least two buckets", True),
    ("no buckets", lambda lib, **r: lib.Histogram(_fresh(lib), "d", buckets=(), **r),
     ValueError, "Must have at least two buckets", True),
    ("NaN bound", lambda lib, **r: lib.Histogram(_fresh(lib), "d", buckets=(math.nan, 1)),
     ValueError, "Bucket bounds must be finite numbers (besides the last, +Inf)", False),
    ("-Inf bound", lambda lib, **r: lib.Histogram(_fresh(lib), "d", buckets=(-math.inf, 1)),
     ValueError, "Bucket bounds must be finite numbers (besides the last, +Inf)", False),
    ("repeated bound", lambda lib, **r: lib.Histogram(_fresh(lib), "d", buckets=(1, 1, 2)),
     ValueError, "Bucket bounds must be distinct", False),
    ("254 bounds", lambda lib, **r: lib.Histogram(_fresh(lib), "d", buckets=range(254)),
     ValueError, "At most 253 buckets besides +Inf, not 254", False),
    ("max_series 0", lambda lib, **r: lib.Counter(_fresh(lib), "d", max_series=0), ValueError,
     "max_series must be between 1 and 100000, not 0", False),
    ("max_series True", lambda lib, **r: lib.Counter(_fresh(lib), "d", max_series=True),
     TypeError, "max_series must be an int, not bool", False),
    ("HTTP family", lambda lib, **r: lib.Gauge("vtr_http_requests_total", "d"), ValueError,
     "Name used by vantorel's own metrics: vtr_http_requests_total", False),
    ("HTTP histogram's sample", lambda lib, **r: lib.Counter(
        "vtr_http_request_duration_seconds_count", "d"), ValueError,
     "Name used by vantorel's own metrics: vtr_http_request_duration_seconds_count", False),
    ("figure", lambda lib, **r: lib.Summary("vtr_latency_p99_ms", "d"), ValueError,
     "Name used by vantorel's own metrics: vtr_latency_p99_ms", False),
    ("process family", lambda lib, **r: lib.Counter("process_cpu_seconds_total", "d"),
     ValueError, "Name used by vantorel's own metrics: process_cpu_seconds, "
     "process_cpu_seconds_total", False),
    ("defined twice", lambda lib, **r: [lib.Gauge("twice", "d", **r) for _ in range(2)],
     ValueError, "Duplicated timeseries in CollectorRegistry: {'twice'}", True),
    ("a sample name taken", lambda lib, **r: [lib.Histogram("taken", "d", **r),
                                              lib.Gauge("taken_count", "d", **r)],
     ValueError, "Duplicated timeseries in CollectorRegistry: {'taken_count'}", True),
    ("labels of none", lambda lib, **r: lib.Counter("plain", "d", **r).labels("x"), ValueError,
     "No label names were set when constructing counter:plain", True),
    ("label count", lambda lib, **r: lib.Counter(_fresh(lib), "d", ["a"], **r).labels(), ValueError,
     "Incorrect label count", True),
    ("label names", lambda lib, **r: lib.Counter(_fresh(lib), "d", ["a"], **r).labels(b=1),
     ValueError, "Incorrect label names", True),
    ("both ways", lambda lib, **r: lib.Counter(_fresh(lib), "d", ["a"], **r).labels(1, a=1),
     ValueError, "Can't pass both *args and **kwargs", True),
    ("parent of labels", lambda lib, **r: lib.Histogram(_fresh(lib), "d", ["a"], **r).observe(1),
     ValueError, "histogram metric is missing label values", True),
    ("negative", lambda lib, **r: lib.Counter(_fresh(lib), "d", **r).inc(-1), ValueError,
     "Counters can only be incremented by non-negative amounts.", True),
    ("NaN", lambda lib, **r: lib.Counter(_fresh(lib), "d").inc(math.nan), ValueError,
     "Counters can only be incremented by finite amounts, not NaN.", False),
    ("infinity", lambda lib, **r: lib.Counter(_fresh(lib), "d", ["a"]).labels("x").inc(math.inf),
     ValueError, "Counters can only be incremented by finite amounts, not infinity.", False),
    ("remove", lambda lib, **r: lib.Counter(_fresh(lib), "d", ["a"], **r).remove(), ValueError,
     "Incorrect label count (expected 1, got ())", True),
    ("mostrecent inc", lambda lib, **r: lib.Gauge(_fresh(lib), "d", ["a"], **r,
                                                  multiprocess_mode="mostrecent").inc(),
     RuntimeError, "inc must not be used with the mostrecent mode", True),
    ("long labels", lambda lib, **r: lib.Gauge(_fresh(lib), "d", ["a", "b"]).labels(
        "x" * 1000, "y" * 200), ValueError, "label values too long: at most 1152 bytes of "
     "UTF-8 in all, with 2 more per label", False),
]


@pytest.fixture
def classic_names():
    """prometheus_client checks names by the classic rules only when told to."""
    from prometheus_client import validation

    was = validation.get_legacy_validation()
    validation.enable_legacy_validation()
    yield
    if not was:
        validation.disable_legacy_validation()


@pytest.mark.parametrize("call, error, message, peer", [case[1:] for case in ERRORS],
                         ids=[case[0] for case in ERRORS])
def test_argument_errors(classic_names, call, error, message, peer):
    with pytest.raises(error) as raised:
        call(metrics)
    assert str(raised.value) == message
    if peer:
        with pytest.raises(error) as theirs:
            call(prometheus_client, registry=prometheus_client.CollectorRegistry())
        assert str(theirs.value) == message


def test_children_are_kept_per_label_values_and_count_natively():
    counter = Counter(unique("kept"), "d", ["method", "code"])
    child = counter.labels("GET", 200)
    assert counter.labels("GET", "200") is child is counter.labels(code=200, method="GET")
    # The kept child's inc is the native method itself: no Python frame per call.
    assert not hasattr(child.inc, "__code__")
    child.inc()
    child.inc(2.5)
    counter.labels(method="GET", code="200").inc()
    assert child._values() == [4.5]
    plain = Gauge(unique("plain"), "d")
    assert not hasattr(plain.set, "__code__")
    plain.set(3)
    plain.dec(0.5)
    assert plain._value._values() == [2.5]


@pytest.mark.parametrize("kind, value, expected", [
    ("gauge", math.nan, {"": math.nan}),
    ("gauge", math.inf, {"": math.inf}),
    ("gauge", -math.inf, {"": -math.inf}),
    ("histogram", math.nan, {"_bucket:1.0": 1, "_bucket:+Inf": 2, "_sum": 2.0, "_count": 2}),
    ("histogram", -math.inf, {"_bucket:1.0": 1, "_bucket:+Inf": 2, "_sum": 2.0, "_count": 2}),
    ("histogram", math.inf, {"_bucket:1.0": 0, "_bucket:+Inf": 2, "_sum": 2.0, "_count": 2}),
    ("summary", math.nan, {"_count": 2, "_sum": 2.0}),
    ("summary", math.inf, {"_count": 2, "_sum": 2.0}),
], ids=lambda v: repr(v) if isinstance(v, float) else None)
def test_non_finite_numbers(kind, value, expected):
    name = unique("odd")
    if kind == "gauge":
        Gauge(name, "d").set(value)
    else:
        metric = (Histogram(name, "d", buckets=[1]) if kind == "histogram" else
                  Summary(name, "d"))
        metric.observe(2.0)  # +Inf's bucket, and the sum that the odd value leaves alone
        metric.observe(value)
    got = {}
    for family in text_string_to_metric_families(page()):
        for s in family.samples:
            if s.name.startswith(name):
                le = s.labels.get("le")
                got[s.name[len(name):] + (":" + le if le else "")] = repr(float(s.value))
    assert got == {k: repr(float(v)) for k, v in expected.items()}  # repr: NaN equals NaN


def test_helpers_time_count_and_track():
    latency = Histogram(unique("latency"), "d", ["step"], buckets=[0.05, 10])
    summary = Summary(unique("summary"), "d")
    duration = Gauge(unique("duration"), "d")
    errors = Counter(unique("errors"), "d", ["kind"])
    busy = Gauge(unique("busy"), "d")
    stamp = Gauge(unique("stamp"), "d", ["x"], multiprocess_mode="livemostrecent")

    @latency.labels("sync").time()
    @errors.labels("key").count_exceptions(KeyError)
    def slow(seconds):
        """Sleeps."""
        assert busy._value._values() == [0]
        time.sleep(seconds)
        raise KeyError

    @summary.time()
    @busy.track_inprogress()
    async def awaited():
        await asyncio.sleep(0.06)
        return busy._value._values()

    for _ in range(2):
        with pytest.raises(KeyError):
            slow(0.06)
    with errors.labels("value").count_exceptions((ValueError, TypeError)):
        pass
    assert slow.__name__ == "slow" and slow.__doc__ == "Sleeps."
    assert asyncio.run(awaited()) == [1.0]
    with duration.time() as timer, latency.time() as inside:
        inside.labels("block")
    before = time.time()
    stamp.labels("a").set_to_current_time()
    after = time.time()

    assert latency.labels("sync")._values()[1:] == [0, 2, 0]
    assert latency.labels("block")._values()[1:] == [1, 0, 0]
    assert 0.12 <= latency.labels("sync")._values()[0] < 1
    assert summary._value._values()[0] == 1 and summary._value._values()[1] >= 0.06
    assert duration._value._values() == [timer.duration]
    assert [errors.labels(k)._values() for k in ("key", "value")] == [[2.0], [0.0]]
    assert busy._value._values() == [0]
    assert before <= stamp.labels("a")._values()[0] <= after


def test_label_sets_past_the_limit_count_in_one_overflow_series():
    name = unique("jobs")
    jobs = Counter(name, "d", ["queue", "kind"], max_series=2)
    for i in range(5):
        jobs.labels(f"q{i}", "x").inc(i + 1)
    jobs.labels("q0", "x").inc(10)  # within the limit: still its own
    samples = {tuple(s.labels.values()): s.value for f in text_string_to_metric_families(page())
               for s in f.samples if s.name == name + "_total"}
    assert samples == {("q0", "x"): 11, ("q1", "x"): 2, ("<overflow>", "<overflow>"): 12}


def test_remove_and_clear_in_one_process():
    name = unique("stock")
    stock = Gauge(name, "d", ["item"])
    for item in ("a", "b", "c"):
        stock.labels(item).set(5)
    kept = stock.labels("a")
    stock.remove("a")
    stock.labels("b").inc()

    def shown():
        return {s.labels["item"]: s.value for f in text_string_to_metric_families(page())
                for s in f.samples if s.name == name}

    assert shown() == {"b": 6, "c": 5}
    kept.set(7)  # a child kept past its removal counts again
    assert shown() == {"a": 7, "b": 6, "c": 5}
    stock.clear()
    assert shown() == {}
    stock.labels("c").set(1)
    assert shown() == {"c": 1}


PROMTOOL = shutil.which("promtool")


def test_one_page_with_a_prometheus_client_registry(tmp_path, monkeypatch, caplog):
    ours = unique("orders")
    Counter(ours, "Orders", ["shop"]).labels("x").inc()
    registry = prometheus_client.CollectorRegistry()
    for collector in (prometheus_client.ProcessCollector, prometheus_client.PlatformCollector,
                      prometheus_client.GCCollector):
        collector(registry=registry)
    legacy = unique("legacy")
    prometheus_client.Counter(legacy + "_total", "Old", ["q"], registry=registry).labels("a").inc()
    prometheus_client.Histogram(legacy + "_seconds", "Old", registry=registry).observe(0.3)
    prometheus_client.Info(legacy + "_build", "Old", registry=registry).info({"v": "1"})
    prometheus_client.Enum(legacy + "_state", "Old", states=["a", "b"], registry=registry)
    prometheus_client.Gauge(ours + "_total", "Clash", registry=registry).set(1)
    prometheus_client.Gauge("vtr_http_requests_in_progress", "Clash", registry=registry).set(1)

    with pytest.raises(TypeError, match="^prometheus_registry must be None, True or a "):
        make_wsgi_app(prometheus_registry="yes")
    app = make_wsgi_app(prometheus_registry=registry)
    caplog.set_level(logging.WARNING, logger="vantorel")
    for _ in range(2):  # two scrapes, one warning per family left out
        doc = b"".join(app({"REQUEST_METHOD": "GET"}, lambda *a: None)).decode()
    names = [f.name for f in text_string_to_metric_families(doc)]
    assert len(names) == len(set(names))
    assert {legacy, legacy + "_seconds", legacy + "_build_info", legacy + "_state", ours,
            "vtr_http_requests_in_progress", "process_cpu_seconds"} <= set(names)
    assert not [n for n in names if n.startswith("python_")]
    assert doc.count("# TYPE process_cpu_seconds_total ") == 1
    assert doc.count("# TYPE vtr_http_requests_in_progress ") == 1
    assert "Clash" not in doc
    warned = sorted(r.getMessage().split()[2] for r in caplog.records)
    assert warned == sorted([ours + "_total", "vtr_http_requests_in_progress"])  # once each
    if PROMTOOL:
        proc = subprocess.run([PROMTOOL, "check", "metrics"], input=doc, capture_output=True,
                              text=True, timeout=60)
        assert proc.returncode in (0, 3), proc.stdout + proc.stderr  # 3: lint complaints only
        assert [line for line in (proc.stdout + proc.stderr).splitlines()
                if line.startswith((ours, legacy))] == []

    # True: prometheus_client's multiprocess files, when its directory is set.
    files = tmp_path / "prometheus"
    files.mkdir()
    subprocess.run([sys.executable, "-c", "from prometheus_client import Counter; "
                    f"Counter('{legacy}_mp', 'Old', ['q']).labels('b').inc(3)"],
                   env={**os.environ, "PROMETHEUS_MULTIPROC_DIR": str(files)}, check=True)
    monkeypatch.setenv("PROMETHEUS_MULTIPROC_DIR", str(files))
    doc = b"".join(make_wsgi_app(prometheus_registry=True)(
        {"REQUEST_METHOD": "GET"}, lambda *a: None)).decode()
    assert stored(doc, legacy + "_mp")[legacy + "_mp"][2] == {
        (legacy + "_mp_total", (("q", "b"),)): 3.0}
