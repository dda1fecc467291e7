"""The metrics endpoint's options, through the ASGI and WSGI apps: the format chosen by the
scraper's Accept header, the OpenMetrics page as prometheus_client's strict parser reads it (and
the text page as promtool does), constant labels, and the credentials a scrape must bring."""

from __future__ import annotations

import base64
import gzip
import shutil
import subprocess
from typing import Dict, Tuple

import pytest
from prometheus_client.openmetrics.parser import text_string_to_metric_families as parse_om
from prometheus_client.parser import text_string_to_metric_families as parse_text

from vantorel import _core, _native
from vantorel.endpoint import OPENMETRICS_CONTENT_TYPE, make_asgi_app, make_wsgi_app

from scripted import call_wsgi, http_scope, serve, wsgi_environ

TEXT = "text/plain; version=0.0.4; charset=utf-8"
OM = OPENMETRICS_CONTENT_TYPE
TRACE, SPAN = "4bf92f3577b34da6a3ce929d0e0e4736", "00f067aa0ba902b7"


def scrape(kind: str, headers: Dict[str, str], method: str = "GET",
           **options) -> Tuple[int, Dict[str, str], bytes]:
    """(status, headers with lowercase names, body) of one request to a new endpoint app."""
    if kind == "asgi":
        scope = http_scope("/metrics", method)
        scope["headers"] += [(k.lower().encode(), v.encode("latin-1"))
                             for k, v in headers.items()]
        client = serve(make_asgi_app(**options), scope=scope)
        return (client.status(), {k.decode(): v.decode() for k, v in client.sent[0]["headers"]},
                client.body())
    environ = wsgi_environ("/metrics", method)
    environ.update({"HTTP_" + k.upper().replace("-", "_"): v for k, v in headers.items()})
    status, header_list, body = call_wsgi(make_wsgi_app(**options), environ=environ)
    return int(status[:3]), {k.lower(): v for k, v in header_list}, body


PROMETHEUS_2 = ("application/openmetrics-text;version=1.0.0,application/openmetrics-text;"
                "version=0.0.1;q=0.75,text/plain;version=0.0.4;q=0.5,*/*;q=0.1")
PROMETHEUS_3 = ("application/openmetrics-text;version=1.0.0;escaping=allow-utf-8;q=0.5,"
                "application/openmetrics-text;version=0.0.1;q=0.4,text/plain;version=1.0.0;"
                "escaping=allow-utf-8;q=0.3,text/plain;version=0.0.4;q=0.2,*/*;q=0.1")
ACCEPT_CASES = [
    ("prometheus-2", PROMETHEUS_2, OM),
    ("prometheus-3", PROMETHEUS_3, OM),
    ("text-only-scrape", "text/plain;version=0.0.4", TEXT),
    ("absent", None, TEXT),
    ("empty", "", TEXT),
    ("anything", "*/*", TEXT),
    ("browser", "text/html,application/xhtml+xml,*/*;q=0.8", TEXT),
    ("openmetrics-alone", "application/openmetrics-text", OM),
    ("upper-case-and-spaces", " APPLICATION/OpenMetrics-Text ; Version=1.0.0 ", OM),
    ("openmetrics-refused", "application/openmetrics-text;q=0, text/plain", TEXT),
    ("text-preferred", "application/openmetrics-text;q=0.3,text/plain;q=0.9", TEXT),
    ("anything-preferred", "application/openmetrics-text;q=0.5,*/*", TEXT),
    ("tie-goes-to-openmetrics", "text/plain;q=0.5,application/openmetrics-text;q=0.5", OM),
    ("text-refused-by-name", "text/plain;q=0,*/*,application/openmetrics-text;q=0.1", OM),
    ("unknown-version", "application/openmetrics-text;version=2.0.0", TEXT),
    ("invalid-quality", "application/openmetrics-text;q=abc", TEXT),
    ("quality-above-one", "application/openmetrics-text;q=7", TEXT),
    ("nan-quality", "application/openmetrics-text;q=nan", TEXT),
    ("garbage", ";;;,,,===;q=;version", TEXT),
    ("not-latin-1", "application/openmetrics-text\u00ff\u00fe", TEXT),
    ("huge-list-openmetrics-last", "text/x;q=0.1," * 20000 + "application/openmetrics-text", TEXT),
    ("huge-list-openmetrics-first", "application/openmetrics-text," + "x/y;q=0.1," * 20000, OM),
]


@pytest.mark.parametrize("accept, content_type", [case[1:] for case in ACCEPT_CASES],
                         ids=[case[0] for case in ACCEPT_CASES])
@pytest.mark.parametrize("kind", ["asgi", "wsgi"])
@pytest.mark.parametrize("encoding", [None, "gzip"])
def test_accept_header_chooses_the_format(kind, accept, content_type, encoding):
    _native.series_finish_traced("GET", "/x", "/x", 200, 3.0, TRACE, SPAN)
    headers = {} if accept is None else {"Accept": accept}
    if encoding:
        headers["Accept-Encoding"] = encoding
    status, response, body = scrape(kind, headers)
    assert status == 200
    assert response["content-type"] == content_type
    assert response["vary"] == "Accept, Accept-Encoding"
    assert response.get("content-encoding") == encoding
    text = (gzip.decompress(body) if encoding else body).decode()
    if content_type == OM:
        assert text.endswith("\n# EOF\n") and text.count("# EOF") == 1
        assert f'trace_id="{TRACE}"' in text
        names = {family.name for family in parse_om(text)}
    else:
        assert "# EOF" not in text and "trace_id" not in text
        names = {family.name for family in parse_text(text)}
    assert {"vtr_requests", "vtr_http_requests", "vtr_http_request_duration_seconds"} <= names


def figures(families) -> Dict[str, float]:
    return {sample.name: sample.value for family in families for sample in family.samples
            if sample.name.startswith("vtr_") and not sample.labels}


def test_openmetrics_page_is_strict_and_agrees_with_the_text_page():
    _native.series_finish_traced("GET", "/items/1", "/items/{id}", 503, 42.0, TRACE, SPAN)
    _native.series_finish("POST", "/items", "/items", 201, 3.0)
    _native.series_finish_traced("POST", "/items", "/items", 201, 3.0, "0" * 32, SPAN)
    family = _native.family_define("shop_orders", "counter", 'Orders "placed"\nper shop.',
                                   ("shop",), (), "livesum", 10)
    _native.CounterValue(family, ("a\\b",)).inc(2)
    labels = {"service": 'api "v2"', "zone": "eu\\west\n1"}
    _, _, om_body = scrape("wsgi", {"Accept": PROMETHEUS_2}, constant_labels=labels)
    _, _, text_body = scrape("wsgi", {}, constant_labels=labels)
    om = list(parse_om(om_body.decode()))  # raises on anything OpenMetrics forbids
    text = list(parse_text(text_body.decode()))

    # The 13 figures: the same names and (the request figures) the same values in both.
    om_figures, text_figures = figures(om), figures(text)
    assert len(om_figures) == len(text_figures) == 13
    assert {k: v for k, v in om_figures.items() if "process" not in k} == {
        k: v for k, v in text_figures.items() if "process" not in k}
    assert om_figures["vtr_requests_total"] == 3 and om_figures["vtr_errors_total"] == 1

    # Exemplars: the traced request's on its bucket (42 ms: le 0.05) and on its count; the
    # request with an all-zero trace id counted without one.
    by_name = {f.name: f for f in om}
    exemplars = {(s.name, s.labels.get("le"), s.labels["method"]): s.exemplar
                 for s in by_name["vtr_http_request_duration_seconds"].samples
                 + by_name["vtr_http_requests"].samples if s.exemplar}
    assert set(exemplars) == {("vtr_http_request_duration_seconds_bucket", "0.05", "GET"),
                              ("vtr_http_requests_total", None, "GET")}
    for exemplar in exemplars.values():
        assert exemplar.labels == {"trace_id": TRACE, "span_id": SPAN}
    assert exemplars[("vtr_http_request_duration_seconds_bucket", "0.05", "GET")].value == 0.042
    assert by_name["vtr_http_request_duration_seconds"].unit == "seconds"

    # Constant labels, escaped, on every sample of the series' families and none of the 13.
    for families in (om, text):
        for f in families:
            for s in f.samples:
                expected = {} if s.name in om_figures else labels
                assert {k: s.labels[k] for k in labels if k in s.labels} == expected, s
    shop = [s for s in by_name["shop_orders"].samples]
    assert [(s.labels["shop"], s.value) for s in shop] == [("a\\b", 2.0)]


@pytest.mark.skipif(shutil.which("promtool") is None, reason="needs promtool (Debian: prometheus)")
def test_promtool_reads_the_text_page_with_constant_labels():
    _native.series_finish_traced("GET", "/x", "/x", 200, 3.0, TRACE, SPAN)
    _, _, body = scrape("asgi", {"Accept": "text/plain"}, constant_labels={"service": "a\"b"})
    proc = subprocess.run(["promtool", "check", "metrics"], input=body.decode(),
                          capture_output=True, text=True, timeout=60)
    assert proc.returncode in (0, 3), proc.stdout + proc.stderr  # 3: lint complaints only
    assert not [line for line in (proc.stdout + proc.stderr).splitlines()
                if line.startswith(("vtr_http", "process_", "error"))]


@pytest.mark.parametrize("labels, error, message", [
    ({"service": 1}, TypeError, "str values"),
    ([("service", "api")], TypeError, "mapping"),
    ({"1st": "x"}, ValueError, "not a valid label name"),
    ({"__name__": "x"}, ValueError, "not a valid label name"),
    ({"zone-a": "x"}, ValueError, "not a valid label name"),
    ({"": "x"}, ValueError, "not a valid label name"),
    ({"route": "x"}, ValueError, "label of the page's families"),
    ({"le": "x"}, ValueError, "label of the page's families"),
    ({"service": "\ud800"}, ValueError, "lone surrogate"),
], ids=["value-not-str", "not-a-mapping", "digit-first", "double-underscore", "dash", "empty",
        "route", "le", "surrogate"])
@pytest.mark.parametrize("factory", [make_asgi_app, make_wsgi_app])
def test_bad_constant_labels_fail_when_the_endpoint_is_made(factory, labels, error, message):
    with pytest.raises(error, match=message):
        factory(constant_labels=labels)


def test_constant_labels_need_the_series_and_give_way_to_an_application_label(caplog):
    with pytest.raises(ValueError, match="series=False"):
        make_wsgi_app(series=False, constant_labels={"service": "api"})
    app = make_wsgi_app(constant_labels={"service": "api", "zone": "eu"})
    # A family defined after the endpoint with a label of the same name: two labels of one
    # name would make Prometheus refuse the scrape, so that constant label is left out.
    family = _native.family_define("jobs_done", "counter", "Jobs.", ("zone",), (), "livesum", 10)
    _native.CounterValue(family, ("us",)).inc()
    _, _, body = call_wsgi(app, environ=wsgi_environ("/metrics"))
    text = body.decode()
    assert 'jobs_done_total{service="api",zone="us"} 1' in text
    assert 'zone="eu"' not in text and "zone" in caplog.text
    list(parse_text(text))


def basic(username: str, password: str) -> str:
    return "Basic " + base64.b64encode(f"{username}:{password}".encode()).decode()


AUTH_CASES = [
    ("bearer-right", {"bearer_token": "s3cr3t"}, "Bearer s3cr3t", 200),
    ("bearer-scheme-any-case", {"bearer_token": "s3cr3t"}, "bEaReR   s3cr3t ", 200),
    ("bearer-wrong", {"bearer_token": "s3cr3t"}, "Bearer s3cr3T", 401),
    ("bearer-prefix", {"bearer_token": "s3cr3t"}, "Bearer s3cr3", 401),
    ("bearer-absent", {"bearer_token": "s3cr3t"}, None, 401),
    ("bearer-given-basic", {"bearer_token": "s3cr3t"}, basic("prom", "s3cr3t"), 401),
    ("basic-right", {"basic_auth": ("prom", "pa:ss wörd")}, basic("prom", "pa:ss wörd"), 200),
    ("basic-wrong-user", {"basic_auth": ("prom", "pw")}, basic("prom2", "pw"), 401),
    ("basic-not-base64", {"basic_auth": ("prom", "pw")}, "Basic !!!", 401),
    ("either-bearer", {"bearer_token": "t", "basic_auth": ("prom", "pw")}, "Bearer t", 200),
    ("either-basic", {"bearer_token": "t", "basic_auth": ("prom", "pw")}, basic("prom", "pw"),
     200),
]


@pytest.mark.parametrize("options, authorization, status", [case[1:] for case in AUTH_CASES],
                         ids=[case[0] for case in AUTH_CASES])
@pytest.mark.parametrize("kind", ["asgi", "wsgi"])
@pytest.mark.parametrize("method", ["GET", "HEAD", "POST"])
def test_credentials_guard_the_endpoint(kind, options, authorization, status, method):
    _core.record_request("GET", "/secret-path", 200, 1.0)
    headers = {} if authorization is None else {"Authorization": authorization}
    got, response, body = scrape(kind, headers, method, **options)
    if status == 401:
        assert got == 401
        challenge = response["www-authenticate"]
        assert ("Bearer realm=" in challenge) == ("bearer_token" in options)
        assert ("Basic realm=" in challenge) == ("basic_auth" in options)
        assert body == (b"" if method == "HEAD" else b"Unauthorized\n")
        assert "allow" not in response
    else:
        assert got == {"GET": 200, "HEAD": 200, "POST": 405}[method]
        assert "www-authenticate" not in response
        assert (b"/secret-path" not in body) and ((b"vtr_requests_total 1" in body)
                                                  == (method == "GET"))


@pytest.mark.parametrize("options, error", [
    ({"bearer_token": ""}, ValueError), ({"bearer_token": "two words"}, ValueError),
    ({"bearer_token": b"bytes"}, TypeError), ({"basic_auth": ("a:b", "pw")}, ValueError),
    ({"basic_auth": ("", "pw")}, ValueError), ({"basic_auth": "prom:pw"}, TypeError),
    ({"basic_auth": ("prom", "pw\n")}, ValueError),
])
def test_bad_credentials_fail_when_the_endpoint_is_made(options, error):
    name = next(iter(options))
    with pytest.raises(error, match=name):
        make_asgi_app(**options)


def test_django_view_takes_the_options(django_project):  # noqa: F811 (the shared fixture)
    from django.test import RequestFactory

    from vantorel.endpoint import make_django_view

    view = make_django_view(constant_labels={"service": "api"}, bearer_token="t")
    factory = RequestFactory()
    assert view(factory.get("/metrics")).status_code == 401
    response = view(factory.get("/metrics", HTTP_AUTHORIZATION="Bearer t",
                                HTTP_ACCEPT="application/openmetrics-text"))
    assert response["Content-Type"] == OM
    assert b'process_open_fds{service="api"}' in response.content
