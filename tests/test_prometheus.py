"""metrics_text(): the exposition document, read back by two independent parsers."""

import math
import os
import shutil
import subprocess

import psutil
import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st
from prometheus_client.parser import text_string_to_metric_families

from vantorel import _core

PAGE = os.sysconf("SC_PAGE_SIZE")
MB = 1024 * 1024

METRICS = [
    ("vtr_requests_total", "counter", "Total HTTP requests recorded"),
    ("vtr_errors_total", "counter", "Total HTTP errors (status >= 400)"),
    ("vtr_error_rate_percent", "gauge", "HTTP error rate as a percentage"),
    ("vtr_latency_avg_ms", "gauge", "Average request latency in milliseconds"),
    ("vtr_latency_min_ms", "gauge", "Minimum request latency in milliseconds"),
    ("vtr_latency_max_ms", "gauge", "Maximum request latency in milliseconds"),
    ("vtr_latency_p50_ms", "gauge", "P50 request latency in milliseconds"),
    ("vtr_latency_p95_ms", "gauge", "P95 request latency in milliseconds"),
    ("vtr_latency_p99_ms", "gauge", "P99 request latency in milliseconds"),
    ("vtr_process_cpu_percent", "gauge", "Process CPU usage percentage"),
    ("vtr_process_memory_rss_bytes", "gauge", "Process RSS memory in bytes"),
    ("vtr_process_memory_virtual_bytes", "gauge", "Process virtual memory in bytes"),
    ("vtr_process_threads", "gauge", "Number of process threads"),
]


def samples(doc):
    """name -> value text of every sample line."""
    return dict(line.split(" ") for line in doc.splitlines() if line and not line.startswith("#"))


def test_document_layout_with_an_empty_store():
    doc = _core.metrics_text()
    assert doc.endswith("\n\n") and "\r" not in doc
    blocks = doc[:-2].split("\n\n")
    assert len(blocks) == len(METRICS)
    for block, (name, kind, help_text) in zip(blocks, METRICS):
        help_line, type_line, sample = block.split("\n")
        assert help_line == f"# HELP {name} {help_text}"
        assert type_line == f"# TYPE {name} {kind}"
        assert sample.startswith(f"{name} ")
    values = samples(doc)
    assert all(values[name] == "0" for name, _, _ in METRICS[:9])


def test_process_figures_match_the_kernel():
    tasks_before = len(os.listdir("/proc/self/task"))
    doc = _core.metrics_text()
    threads_by_psutil = psutil.Process().num_threads()
    with open("/proc/self/statm") as f:
        size, resident = (int(x) * PAGE for x in f.read().split()[:2])
    values = samples(doc)
    # Whole numbers print without a decimal point.
    assert int(values["vtr_process_threads"]) == tasks_before - 1 == threads_by_psutil - 1
    assert abs(int(values["vtr_process_memory_rss_bytes"]) - resident) <= 4 * MB
    assert abs(int(values["vtr_process_memory_virtual_bytes"]) - size) <= 4 * MB
    assert float(values["vtr_process_cpu_percent"]) >= 0.0


@pytest.mark.parametrize(
    "requests, expected",
    [
        (
            [(200, 10.0), (500, 20.0), (200, 30.0)],
            {
                "vtr_requests_total": "3",
                "vtr_errors_total": "1",
                "vtr_error_rate_percent": "33.33333333333333",
                "vtr_latency_avg_ms": "20",
            },
        ),
        ([(200, 20.0)], {"vtr_latency_p99_ms": "20", "vtr_latency_min_ms": "20"}),
        ([(200, 1.0)] * 1000, {"vtr_requests_total": "1000", "vtr_errors_total": "0"}),
        ([(200, 0.1)], {"vtr_latency_max_ms": "0.1"}),
        ([(200, 1e-7)], {"vtr_latency_min_ms": "0.0000001"}),
        ([(200, 1e21)], {"vtr_latency_max_ms": "1000000000000000000000"}),
        ([(200, 1.0), (200, math.nan)], {"vtr_latency_avg_ms": "NaN", "vtr_latency_max_ms": "NaN"}),
        (
            [(200, 1.0), (200, math.inf)],
            {"vtr_latency_avg_ms": "+Inf", "vtr_latency_max_ms": "+Inf"},
        ),
        ([(404, 5.0), (503, 5.0)], {"vtr_error_rate_percent": "100"}),
    ],
    ids=["error-rate", "whole", "thousand", "tenth", "tiny", "huge", "nan", "inf", "all-errors"],
)
def test_sample_values(requests, expected):
    for status, duration in requests:
        _core.record_request("GET", "/", status, duration)
    values = samples(_core.metrics_text())
    assert {name: values[name] for name in expected} == expected


def significant_digits(text):
    mantissa = text.lstrip("-").split("e")[0].replace(".", "")
    return mantissa.strip("0")


@settings(max_examples=300, deadline=None)
@given(st.floats(allow_nan=False, allow_infinity=False))
@example(1e23)  # whole, above 2**53: the shortest digits, then zeros, not the exact integer
@example(-0.0)
@example(5e-324)
def test_value_text_is_shortest_round_trip(duration):
    _core.clear_requests()
    _core.record_request("GET", "/", 200, duration)
    text = samples(_core.metrics_text())["vtr_latency_min_ms"]
    assert float(text) == duration and math.copysign(1, float(text)) == math.copysign(1, duration)
    assert "e" not in text and "E" not in text
    assert ("." in text) == (not duration.is_integer())
    # repr() is Python's own shortest round-trip form: the same digits, perhaps with an exponent.
    assert significant_digits(text) == significant_digits(repr(duration))


def test_prometheus_client_reads_the_same_values():
    for status, duration in [(200, 12.5), (404, 3.25), (200, 7.0)]:
        _core.record_request("GET", "/x", status, duration)
    doc = _core.metrics_text()
    families = list(text_string_to_metric_families(doc))
    # prometheus_client names a counter family without its _total suffix.
    assert [(f.name, f.type, f.documentation) for f in families] == [
        (name[: -len("_total")] if kind == "counter" else name, kind, help_text)
        for name, kind, help_text in METRICS
    ]
    parsed = {s.name: s.value for f in families for s in f.samples}
    assert all(not s.labels and s.timestamp is None for f in families for s in f.samples)
    assert parsed == {name: float(text) for name, text in samples(doc).items()}
    assert parsed["vtr_requests_total"] == 3 and parsed["vtr_latency_max_ms"] == 12.5


# promtool's linter wants base units (seconds) in metric names; that naming is this module's
# published interface, so these complaints are expected and nothing else is.
KNOWN_LINT = {
    f"vtr_latency_{stat}_ms metric names should not contain abbreviated units"
    for stat in ("avg", "min", "max", "p50", "p95", "p99")
}


@pytest.mark.skipif(shutil.which("promtool") is None, reason="needs promtool (Debian: prometheus)")
def test_promtool_accepts_the_document():
    _core.record_request("GET", "/", 500, math.nan)
    doc = _core.metrics_text()
    proc = subprocess.run(
        ["promtool", "check", "metrics"], input=doc, capture_output=True, text=True, timeout=60
    )
    # Exit status 1 is a parse error, 3 lint complaints only.
    assert proc.returncode in (0, 3), proc.stdout + proc.stderr
    complaints = {line for line in (proc.stdout + proc.stderr).splitlines() if line}
    assert complaints <= KNOWN_LINT
