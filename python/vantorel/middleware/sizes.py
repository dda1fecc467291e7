"""The body-size histograms of the middleware's ``body_sizes`` option:
``vtr_http_request_size_bytes{method, route}`` and ``vtr_http_response_size_bytes{method, route}``,
two of the application's families in the store, defined in each process at its first observation
(in a pre-forking server, in the worker, never in the master).

Their method labels follow the per-route series' rules (the standard methods, those that
``vantorel.series.set_extra_methods`` names, ``OTHER`` for the rest) and their routes are the
series' routes, so that clients cannot make series at will.
"""

from __future__ import annotations

import threading
from typing import AnyStr, Dict, Optional, Tuple

from .. import _native
from ..series import MAX_ROUTE_LENGTH, METHOD_CLASSES, OVERFLOW_METHOD

REQUEST_SIZE = "vtr_http_request_size_bytes"
RESPONSE_SIZE = "vtr_http_response_size_bytes"

BUCKETS_BYTES: Tuple[float, ...] = (0.0, 64.0, 256.0, 1024.0, 4096.0, 16384.0, 65536.0,
                                    262144.0, 1048576.0, 4194304.0, 16777216.0, 67108864.0)
"""Upper bounds of the buckets, in bytes: 0 (no body) and powers of 4 from 64 B to 64 MiB."""

_HELP = {
    REQUEST_SIZE: "Sizes of HTTP request bodies in bytes, by method and route template: "
                  "Content-Length where the request gives it, else the bytes received.",
    RESPONSE_SIZE: "Sizes of HTTP response bodies in bytes, by method and route template: "
                   "Content-Length where the response gives it, else the bytes sent.",
}

_Pair = Tuple[_native.HistogramValue, _native.HistogramValue]

# The values of each (method, route) as the middleware passes them: building one encodes its
# key, so it is done once. Methods are a client's choice, so the cache stops growing at this
# size; past it, values are built per request (the series they count in stay bounded).
_MAX_CACHED = 4096
_values: Dict[Tuple[str, str], _Pair] = {}
_families: Optional[Tuple[int, int]] = None
_lock = threading.Lock()
_STANDARD_METHODS = frozenset(METHOD_CLASSES) - {OVERFLOW_METHOD}


def _define() -> Tuple[int, int]:
    global _families
    with _lock:
        if _families is None:
            limit = _native.series_get_limit()
            _families = tuple(  # type: ignore[assignment]
                _native.family_define(name, "histogram", _HELP[name], ("method", "route"),
                                      BUCKETS_BYTES, "livesum", limit)
                for name in (REQUEST_SIZE, RESPONSE_SIZE))
        assert _families is not None
        return _families


def _pair(method: str, route: str) -> _Pair:
    request_family, response_family = _families or _define()
    label = method
    if label not in _STANDARD_METHODS and label not in _native.series_get_methods():
        label = OVERFLOW_METHOD
    labels = (label, route[:MAX_ROUTE_LENGTH])
    pair = (_native.HistogramValue(request_family, labels),
            _native.HistogramValue(response_family, labels))
    if len(_values) < _MAX_CACHED:
        _values[(method, route)] = pair
    return pair


def observe(method: str, route: str, request_bytes: Optional[int],
            response_bytes: Optional[int]) -> None:
    """Counts one request's body sizes (None: not known, not counted). ``method`` is cut to 32
    characters already, and both are free of lone surrogates."""
    pair = _values.get((method, route))
    if pair is None:
        pair = _pair(method, route)
    if request_bytes is not None:
        pair[0].observe(request_bytes)
    if response_bytes is not None:
        pair[1].observe(response_bytes)


def forget() -> None:
    """Drops the cached values: after ``set_extra_methods``, a method may take another label."""
    _values.clear()


def content_length(value: Optional[AnyStr]) -> Optional[int]:
    """A Content-Length header's value as an int; None when absent or not a plain number."""
    if value is None:
        return None
    value = value.strip()
    if not value.isascii() or not value.isdigit() or len(value) > 18:
        return None
    return int(value)
