"""A prometheus_client registry on vantorel's page: the endpoints' ``prometheus_registry``
option.

Code that still defines metrics with prometheus_client keeps them on the one page the endpoint
serves: after vantorel's families come the registry's, rendered by prometheus_client itself,
without its process and platform families (``process_*``, ``python_info``, ``python_gc_*``:
vantorel's page has the process families, and in multi-worker mode they describe the whole
deployment, where prometheus_client's would describe the one worker that answers) and without
any family whose name, or one of whose sample names, is already on vantorel's page (the page
would be invalid with both). prometheus_client is imported only when a registry is asked for.
"""

from __future__ import annotations

import logging
import os
import re
import threading
from typing import Any, Iterator, Optional, Set

from .metrics import _sample_names

__all__ = ["PLATFORM_PREFIXES", "resolve", "text"]

_LOG = logging.getLogger("vantorel")

PLATFORM_PREFIXES = ("process_", "python_gc_", "python_info")
"""The families of prometheus_client's process, platform and GC collectors, left out."""

# The sample names prometheus_client's kinds take besides the family's own name (its
# registry's table), for the kinds vantorel does not define.
_OTHER_SUFFIXES = {
    "info": ("_info",),
    "gaugehistogram": ("_bucket", "_gsum", "_gcount"),
}

_TYPE_LINE = re.compile(r"^# TYPE (\S+) (\S+)$", re.MULTILINE)

_warned_lock = threading.Lock()
_warned: Set[str] = set()


def resolve(registry: Any) -> Optional[Any]:
    """The registry an endpoint appends, from its ``prometheus_registry`` option: None (none),
    True (prometheus_client's ``MultiProcessCollector`` over ``PROMETHEUS_MULTIPROC_DIR`` when
    that is set, else its default ``REGISTRY``), or any registry or collector with
    ``collect()``. Raises at construction, naming the option, when it cannot be had."""
    if registry is None or registry is False:
        return None
    if registry is True:
        try:
            import prometheus_client
        except ImportError as exc:
            raise ImportError("prometheus_registry=True needs prometheus_client installed "
                              "(pip install prometheus_client)") from exc
        if os.environ.get("PROMETHEUS_MULTIPROC_DIR"):
            from prometheus_client.multiprocess import MultiProcessCollector

            own = prometheus_client.CollectorRegistry()
            MultiProcessCollector(own)  # type: ignore[no-untyped-call]
            return own
        return prometheus_client.REGISTRY
    if not callable(getattr(registry, "collect", None)):
        raise TypeError("prometheus_registry must be None, True or a prometheus_client "
                        f"registry (an object with collect()), not {type(registry).__name__}")
    return registry


def _names(name: str, kind: str) -> Set[str]:
    if kind in ("counter", "gauge", "summary", "histogram"):
        return set(_sample_names(name, kind))
    return {name, *(name + suffix for suffix in _OTHER_SUFFIXES.get(kind, ()))}


def names_on_page(page: str) -> Set[str]:
    """Every sample name that the families of a page in the text format take: the names of
    their # TYPE lines, with the suffixes of their kinds (a counter's line names it with
    ``_total``)."""
    taken: Set[str] = set()
    for match in _TYPE_LINE.finditer(page):
        name, kind = match.group(1), match.group(2)
        if kind == "counter" and name.endswith("_total"):
            name = name[:-6]
        taken |= _names(name, kind)
    return taken


class _Kept:
    """The registry's families that the page can take."""

    def __init__(self, registry: Any, taken: Set[str]) -> None:
        self.registry = registry
        self.taken = taken

    def collect(self) -> Iterator[Any]:
        for metric in self.registry.collect():
            if metric.name.startswith(PLATFORM_PREFIXES):
                continue
            clash = _names(metric.name, metric.type) & self.taken
            if clash:
                _warn_once(metric.name, clash)
                continue
            yield metric


def _warn_once(name: str, clash: Set[str]) -> None:
    with _warned_lock:
        if name in _warned:
            return
        _warned.add(name)
    _LOG.warning("prometheus_client's family %s is left out of the page: its names clash with "
                 "vantorel's: %s", name, ", ".join(sorted(clash)))


def text(registry: Any, page: str, openmetrics: bool = False) -> str:
    """The registry's families that can follow ``page``, in the text format 0.0.4 or in
    OpenMetrics (without its ``# EOF``: the page ends once)."""
    kept = _Kept(registry, names_on_page(page))
    if not openmetrics:
        from prometheus_client.exposition import generate_latest

        return generate_latest(kept).decode("utf-8")
    from prometheus_client.openmetrics.exposition import generate_latest as generate_openmetrics

    written: str = generate_openmetrics(kept).decode("utf-8")  # type: ignore[no-untyped-call]
    return written[:-len("# EOF\n")] if written.endswith("# EOF\n") else written
