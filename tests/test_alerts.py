"""check_alerts(): thresholds against a fresh snapshot of this process."""

import math
import os
from decimal import Decimal
from fractions import Fraction

import pytest

from vantorel import _core

MB = 1024 * 1024
PAGE = os.sysconf("SC_PAGE_SIZE")
METRICS = ["cpu_percent", "memory_rss_mb", "memory_virtual_mb"]


def fired(*args, **kwargs):
    return [a["metric"] for a in _core.check_alerts(*args, **kwargs)]


def test_every_alert_has_the_four_keys_in_order():
    alerts = _core.check_alerts(-1, -1, -1)
    assert [a["metric"] for a in alerts] == METRICS
    for a in alerts:
        assert list(a) == ["metric", "value", "threshold", "severity"]
        assert a["severity"] == "warning"
        assert type(a["value"]) is float and type(a["threshold"]) is float
        assert a["threshold"] == -1.0
    cpu, rss, virt = (a["value"] for a in alerts)
    assert cpu >= 0.0
    # Divided by a power of two, so exact: the byte counts come back as whole pages.
    assert (rss * MB) % PAGE == 0 and (virt * MB) % PAGE == 0
    assert 0 < rss < virt


@pytest.mark.parametrize(
    "args, kwargs, expected",
    [
        ((), {}, []),
        ((None, None, None), {}, []),
        ((), {"memory_virtual_mb": None}, []),
        ((None, None, -1), {}, ["memory_virtual_mb"]),
        ((), {"memory_virtual_mb": -1, "cpu_percent": -1}, ["cpu_percent", "memory_virtual_mb"]),
        ((), {"memory_rss_mb": 0}, ["memory_rss_mb"]),
        ((-1,), {"memory_rss_mb": None}, ["cpu_percent"]),
        ((math.nan, math.nan, math.nan), {}, []),
        ((math.inf, math.inf, math.inf), {}, []),
        ((-math.inf, -math.inf, -math.inf), {}, METRICS),
        ((None, 1e12, -math.inf), {}, ["memory_virtual_mb"]),
    ],
    ids=[
        "omitted",
        "all-none",
        "none-keyword",
        "virtual-only",
        "keywords-any-order",
        "rss-int-zero",
        "cpu-only",
        "nan-never-fires",
        "inf-never-fires",
        "minus-inf-always-fires",
        "huge-rss-threshold",
    ],
)
def test_which_alerts_fire(args, kwargs, expected):
    assert fired(*args, **kwargs) == expected


class Floaty:
    def __float__(self):
        return -2.5


class Indexy:
    def __index__(self):
        return -3


@pytest.mark.parametrize(
    "threshold, as_float",
    [
        (0, 0.0),
        (-7, -7.0),
        (False, 0.0),
        (True, 1.0),
        (-(2**70), -(2.0**70)),
        (Decimal("-1.5"), -1.5),
        (Fraction(-1, 4), -0.25),
        (Floaty(), -2.5),
        (Indexy(), -3.0),
    ],
    ids=["int", "neg-int", "false", "true", "big-int", "decimal", "fraction", "float", "index"],
)
def test_threshold_is_converted_to_float(threshold, as_float):
    [alert] = _core.check_alerts(memory_rss_mb=threshold)
    assert type(alert["threshold"]) is float
    assert alert["threshold"] == as_float


def test_threshold_equal_to_the_figure_does_not_fire():
    # The virtual size of a quiet interpreter rarely moves; retry the rare time it does.
    for _ in range(20):
        figure = _core.snapshot().memory_virtual / MB
        at_figure = _core.check_alerts(memory_virtual_mb=figure)
        just_below = _core.check_alerts(memory_virtual_mb=math.nextafter(figure, -math.inf))
        if _core.snapshot().memory_virtual / MB == figure:
            break
    else:
        pytest.fail("the virtual memory size never held still across two snapshots")
    assert at_figure == []
    assert just_below[0]["value"] == figure


@pytest.mark.parametrize(
    "args, kwargs, parameter, type_name",
    [
        (("high",), {}, "cpu_percent", "str"),
        ((1.0, []), {}, "memory_rss_mb", "list"),
        ((None, None, b"1"), {}, "memory_virtual_mb", "bytes"),
        ((), {"memory_virtual_mb": {}, "memory_rss_mb": 2.0}, "memory_virtual_mb", "dict"),
        (("a", "b"), {}, "cpu_percent", "str"),
        ((), {"memory_rss_mb": "1", "cpu_percent": object()}, "cpu_percent", "object"),
    ],
    ids=["cpu", "rss", "virtual", "virtual-keyword", "first-of-two", "parameter-order"],
)
def test_bad_threshold_names_its_parameter(args, kwargs, parameter, type_name):
    with pytest.raises(TypeError) as exc:
        _core.check_alerts(*args, **kwargs)
    assert type(exc.value) is TypeError
    message = str(exc.value)
    assert message.startswith(f"argument '{parameter}': ")
    assert type_name in message


def test_float_overflow_is_not_wrapped():
    with pytest.raises(OverflowError) as exc:
        _core.check_alerts(memory_rss_mb=10**400)
    assert not str(exc.value).startswith("argument")
