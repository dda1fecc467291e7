"""What the metrics endpoint decides before it renders: the format a scraper asked for (its
``Accept`` header), and the constant labels an application adds to every family of the series
(checked once, when the endpoint is made).

Plain functions over text, so that each endpoint (ASGI, WSGI, Django) asks them the same way;
none of them can fail on what a client sends.
"""

from __future__ import annotations

import logging
import os
import re
from typing import List, Mapping, Optional, Tuple

from . import _native

OPENMETRICS_CONTENT_TYPE = "application/openmetrics-text; version=1.0.0; charset=utf-8"
"""The Content-Type of the OpenMetrics 1.0.0 page."""

# A scraper's Accept header is read up to this many characters and media ranges: Prometheus sends
# some 150 characters in 4 to 5 ranges, and a header of any size costs no more than this.
_MAX_ACCEPT_CHARS = 2048
_MAX_ACCEPT_RANGES = 32

# The OpenMetrics versions whose pages are the same document: 0.0.1 is what Prometheus names the
# draft it parses exactly as 1.0.0.
_OPENMETRICS_VERSIONS = (None, "1.0.0", "0.0.1")
# How specific a media range that admits the text format is: the most specific one present
# decides its quality, as HTTP says.
_TEXT_RANKS = {"text/plain": 2, "text/*": 1, "*/*": 0}


def _quality(value: str) -> float:
    """A q parameter's value; an invalid one (not a number from 0 to 1) refuses the range."""
    try:
        q = float(value)
    except ValueError:
        return 0.0
    return q if 0.0 <= q <= 1.0 else 0.0  # NaN fails both comparisons


def prefers_openmetrics(accept: Optional[str]) -> bool:
    """Whether an Accept header asks for OpenMetrics over the text format 0.0.4.

    OpenMetrics is chosen only when the header names ``application/openmetrics-text`` (no
    version, 1.0.0 or 0.0.1) with a quality above 0 and at least that of the most specific range
    admitting ``text/plain`` (``text/plain``, ``text/*``, ``*/*``); everything else, an empty or
    unreadable header included, gets the text format, which every scraper reads.
    """
    if not accept:
        return False
    openmetrics_q = 0.0
    text_q = 0.0
    text_rank = -1
    ranges = accept[:_MAX_ACCEPT_CHARS].split(",", _MAX_ACCEPT_RANGES)[:_MAX_ACCEPT_RANGES]
    for media_range in ranges:
        media, _, parameters = media_range.partition(";")
        media = media.strip().lower()
        rank = _TEXT_RANKS.get(media)
        if rank is None and media != "application/openmetrics-text":
            continue
        q = 1.0
        version = None
        if parameters:
            for parameter in parameters.split(";"):
                name, _, value = parameter.partition("=")
                name = name.strip().lower()
                if name == "q":
                    q = _quality(value.strip())
                elif name == "version":
                    version = value.strip().strip('"')
        if rank is None:
            if version in _OPENMETRICS_VERSIONS and q > openmetrics_q:
                openmetrics_q = q
        elif rank > text_rank:
            text_rank, text_q = rank, q
        elif rank == text_rank and q > text_q:
            text_q = q
    return openmetrics_q > 0.0 and openmetrics_q >= text_q


# Names by Prometheus's rules, matched whole (fullmatch: "$" would let a final newline through).
METRIC_NAME = re.compile(r"[a-zA-Z_:][a-zA-Z0-9_:]*")
LABEL_NAME = re.compile(r"[a-zA-Z_][a-zA-Z0-9_]*")

RESERVED_LABEL_NAMES = frozenset({"method", "route", "status", "le", "pid", "quantile"})
"""Label names that the families of the series have (or that Prometheus gives a meaning):
a constant label may not take one of them."""

_LOG = logging.getLogger("vantorel")


def _escape(value: str) -> str:
    return value.replace("\\", "\\\\").replace("\"", "\\\"").replace("\n", "\\n")


class ConstantLabels:
    """The constant labels of one endpoint, checked when it is made: ``text()`` writes them as
    label pairs (``service="api",version="1.2"``), in the order given.

    The application's families may be defined later than the endpoint, and in a pre-forking
    server the endpoint is often made in the master, which must not read the store. So their
    label names are checked at the first scrape of each process instead: a constant label that
    one of them has too is left out of the page (two labels of one name would make Prometheus
    refuse the whole scrape), and the ``vantorel`` logger says so once.
    """

    __slots__ = ("_pairs", "_text", "_checked_in")

    def __init__(self, labels: Optional[Mapping[str, str]]) -> None:
        self._pairs: List[Tuple[str, str]] = []
        if labels is not None and not isinstance(labels, Mapping):
            raise TypeError("constant_labels must be a mapping of label names to values")
        for name, value in (labels or {}).items():
            if not isinstance(name, str) or not isinstance(value, str):
                raise TypeError("constant_labels must map str label names to str values")
            if not LABEL_NAME.fullmatch(name) or name.startswith("__"):
                raise ValueError(f"constant_labels: {name!r} is not a valid label name "
                                 "(letters, digits and _, not starting with a digit nor __)")
            if name in RESERVED_LABEL_NAMES:
                raise ValueError(f"constant_labels: {name!r} is a label of the page's "
                                 "families already")
            try:
                value.encode("utf-8")
            except UnicodeEncodeError:
                raise ValueError(f"constant_labels: the value of {name!r} is not valid "
                                 "Unicode text (a lone surrogate)") from None
            self._pairs.append((name, f'{name}="{_escape(value)}"'))
        self._text = ",".join(pair for _, pair in self._pairs)
        self._checked_in = 0  # the pid of the process that checked the application's labels

    def __bool__(self) -> bool:
        return bool(self._pairs)

    def text(self) -> str:
        """The label pairs for this scrape."""
        if self._pairs and self._checked_in != os.getpid():
            self._check_application_labels()
        return self._text

    def _check_application_labels(self) -> None:
        self._checked_in = os.getpid()
        families, _ = _native.families_snapshot()
        taken = {name for family in families for name in family[4]}
        clashing = [name for name, _ in self._pairs if name in taken]
        if clashing:
            self._pairs = [(name, pair) for name, pair in self._pairs if name not in taken]
            self._text = ",".join(pair for _, pair in self._pairs)
            _LOG.error("vantorel: constant label(s) %s left out of the metrics page: the "
                       "application's families have label(s) of that name",
                       ", ".join(clashing))
