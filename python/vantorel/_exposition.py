"""What the metrics endpoint decides before it renders: the format a scraper asked for (its
``Accept`` header), and the constant labels an application adds to every family of the series.

Both are plain functions over text, so that each endpoint (ASGI, WSGI, Django) asks them the same
way; none of them can fail on what a client sends.
"""

from __future__ import annotations

from typing import Optional

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
