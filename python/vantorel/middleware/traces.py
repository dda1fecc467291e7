"""Where a request's exemplar comes from: the current OpenTelemetry span, or the W3C
``traceparent`` header the request came with.

Only sampled traces are kept (a trace that was not sampled is recorded nowhere, and its id would
lead nowhere). OpenTelemetry is asked only when the application has imported it: this module
never imports it, and looks it up in ``sys.modules`` at each request (one dict lookup).
"""

from __future__ import annotations

import re
import sys
from typing import Optional, Tuple

Ids = Tuple[str, str]
"""A trace id (32 lowercase hex digits) and a span id (16), as the core keeps them."""

# version-traceid-parentid-flags, lowercase hex only. A version above 00 may carry more fields
# after its flags, each after a dash; 00 has exactly these four.
_TRACEPARENT = re.compile(r"([0-9a-f]{2})-([0-9a-f]{32})-([0-9a-f]{16})-([0-9a-f]{2})(-.*)?",
                          re.S)
# Longer than any traceparent a tracer sends (55 characters for version 00): not worth reading.
MAX_TRACEPARENT_LENGTH = 512
_ZERO_TRACE = "0" * 32
_ZERO_SPAN = "0" * 16


def parse_traceparent(value: str) -> Optional[Ids]:
    """The ids of a W3C ``traceparent`` header whose sampled flag is set; None for an unsampled
    trace and for any header that the W3C rules say to ignore: too long, not lowercase hex, the
    version ``ff``, fields of the wrong length, an all-zero trace id or span id, or version 00
    with more than its four fields."""
    if len(value) > MAX_TRACEPARENT_LENGTH:
        return None
    match = _TRACEPARENT.fullmatch(value.strip(" \t"))
    if match is None:
        return None
    version, trace_id, span_id, flags, rest = match.groups()
    if (version == "ff" or (version == "00" and rest is not None) or trace_id == _ZERO_TRACE
            or span_id == _ZERO_SPAN or not int(flags, 16) & 1):
        return None
    return trace_id, span_id


def current_span_ids() -> Optional[Ids]:
    """The ids of the current OpenTelemetry span when the application has imported
    OpenTelemetry and a valid, sampled span is current; None otherwise."""
    trace = sys.modules.get("opentelemetry.trace")
    if trace is None:
        return None
    context_module = sys.modules.get("opentelemetry.context")
    if context_module is None:  # opentelemetry.trace half-imported, in another thread
        return None
    context = context_module.get_current()
    if not context:  # nothing set in this context, no span either: the common case, kept cheap
        return None
    span_context = trace.get_current_span(context).get_span_context()
    if not span_context.is_valid or not span_context.trace_flags.sampled:
        return None
    return "%032x" % span_context.trace_id, "%016x" % span_context.span_id
