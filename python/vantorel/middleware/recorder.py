"""What both middlewares share: their options, the caps on what a client chooses, and the step
that ends every recorded request with one call into the core.

``Exchange.begin`` runs as a recorded request arrives and ``Exchange.finish`` exactly once when
it has ended; the ASGI and WSGI middlewares only work out when that is and with which status,
and, with the options that ask for them, its trace and its body sizes.
"""

from __future__ import annotations

import logging
import os
import re
import sys
import threading
from time import perf_counter
from typing import Any, Callable, Iterable, List, Match, Optional, Pattern, Set, Tuple

from .. import _core, _native
from ..series import UNMATCHED_ROUTE
from . import sizes
from .traces import Ids

DEFAULT_MAX_PATH_LENGTH = 256
"""Recorded paths are cut to this many characters unless the middleware is told otherwise."""

MAX_METHOD_LENGTH = _native.MAX_METHOD_LENGTH
"""Recorded methods are cut to this many characters: a client chooses the method too."""

ROUTE_KEY = "vantorel.route"
"""Key in the ASGI scope or the WSGI environ under which an application may leave the route
template of the request (``/items/{item_id}``); the middleware records it instead of the path."""

WRAPPED_KEY = "vantorel.wrapped"
"""Key that the WSGI and ASGI middlewares set in the environ or scope of every HTTP request that
passes through them: ``DjangoRouteMiddleware`` inside then leaves the recording to them."""

# Recorded when the client went away before the application started a response.
CLIENT_CLOSED_REQUEST = 499

# What the middleware's own bookkeeping may raise. The core's PanicException derives from
# BaseException so that applications do not swallow it; here it must not reach the application.
_OWN_FAILURES = (Exception, getattr(_core, "PanicException", Exception))

_LOG = logging.getLogger("vantorel")
_WARNED = False
_WARNED_LOCK = threading.Lock()

# A pattern without these characters matches exactly itself, so a set lookup can replace it.
_REGEX_SYNTAX = frozenset(".^$*+?{}[]\\|()")
# What changes meaning once patterns are joined into one alternation: back-references and
# conditionals (group numbers shift), and global inline flags (they would apply to every pattern).
_UNJOINABLE = re.compile(r"\\[1-9]|\(\?P=|\(\?\(|\(\?[aiLmsux]+\)")


def report_failure() -> None:
    """Logs a failure of the middleware's own bookkeeping: the first one as a warning with its
    traceback, later ones at debug level, so that a persistent fault cannot flood the log."""
    global _WARNED
    try:
        with _WARNED_LOCK:
            first = not _WARNED
            _WARNED = True
        if first:
            _LOG.warning("vantorel: a request could not be recorded", exc_info=True)
        else:
            _LOG.debug("vantorel: a request could not be recorded", exc_info=True)
    except Exception:  # logging itself is misconfigured: nothing left to tell
        pass


def _first_request_in_process() -> None:
    """Runs once in every process, at its first recorded request: in a pre-forking server that
    is in each worker, never in the master that imported the application. The per-process
    set-up of the recording belongs here, and nowhere else: so far, telling the operator when
    VTR_MULTIPROC_DIR is set but this worker could not join the other workers."""
    from .. import multiproc

    multiproc.warn_if_mode_off()


_PROCESS_READY = False
_PROCESS_LOCK = threading.Lock()


def _begin_process() -> None:
    global _PROCESS_READY
    with _PROCESS_LOCK:  # two threads' first requests: one runs the set-up, the other waits
        if not _PROCESS_READY:
            _first_request_in_process()
            _PROCESS_READY = True


def _forked_child() -> None:
    global _PROCESS_READY, _PROCESS_LOCK
    _PROCESS_READY = False
    _PROCESS_LOCK = threading.Lock()  # another thread may have held it at the fork


os.register_at_fork(after_in_child=_forked_child)


# Each lone surrogate as U+FFFD, as the core writes one into a label.
_clean = _native.label_text


# The two calls into the core per request: one as it arrives (the in-progress gauge), one as it
# ends (the ring of recent requests, the per-route series and the gauge again).
_series_start = _native.series_start
_series_finish = _native.series_finish
_series_finish_traced = _native.series_finish_traced


def _fullmatchers(
        patterns: List[Pattern[str]]) -> Tuple[Callable[[str], Optional[Match[str]]], ...]:
    """The ``fullmatch`` of each pattern, joined into one alternation where that keeps their
    meaning: one regular expression scan per request, whatever the number of patterns."""
    joinable = [p for p in patterns
                if p.flags == re.UNICODE and not _UNJOINABLE.search(p.pattern)]
    others = [p for p in patterns if p not in joinable]
    if len(joinable) > 1:
        try:
            joinable = [re.compile("|".join(f"(?:{p.pattern})" for p in joinable))]
        except re.error:  # a group name used twice
            pass
    return tuple(p.fullmatch for p in joinable + others)


class Recorder:
    """The options of one middleware, checked once, and the per-request steps around them."""

    __slots__ = ("group_paths", "skipped_paths", "skips_by_rule", "_fullmatchers", "_methods",
                 "max_path_length", "exemplars", "body_sizes")

    def __init__(
        self,
        metrics_path: Optional[str],
        exclude_paths: Iterable[str | Pattern[str]],
        exclude_methods: Iterable[str],
        group_paths: bool,
        max_path_length: Optional[int],
        exemplars: bool = False,
        body_sizes: bool = False,
    ) -> None:
        for name, value in (("exemplars", exemplars), ("body_sizes", body_sizes)):
            if not isinstance(value, bool):
                raise TypeError(f"{name} must be True or False")
        if isinstance(exclude_paths, (str, re.Pattern)):
            exclude_paths = [exclude_paths]
        if isinstance(exclude_methods, str):
            exclude_methods = [exclude_methods]
        if max_path_length is not None:
            if isinstance(max_path_length, bool) or not isinstance(max_path_length, int):
                raise TypeError("max_path_length must be an int or None")
            if max_path_length < 1:
                raise ValueError("max_path_length must be at least 1")
        exact: Set[str] = set()
        if metrics_path:
            stripped = metrics_path.rstrip("/") or "/"
            exact.update((stripped, stripped + "/") if stripped != "/" else ("/",))
        patterns: List[Pattern[str]] = []
        for pattern in exclude_paths:
            if isinstance(pattern, str) and not _REGEX_SYNTAX.intersection(pattern):
                exact.add(pattern)
            elif isinstance(pattern, str) or (isinstance(pattern, re.Pattern)
                                              and isinstance(pattern.pattern, str)):
                patterns.append(re.compile(pattern))
            else:
                raise TypeError("exclude_paths must hold regular expressions (str or re.Pattern)")
        methods: Set[str] = set()
        for method in exclude_methods:
            if not isinstance(method, str):
                raise TypeError("exclude_methods must hold str")
            methods.add(method.upper())
        self.group_paths = bool(group_paths)
        # Raw paths never recorded: for most applications this set is the whole check.
        self.skipped_paths = frozenset(exact)
        self._fullmatchers = _fullmatchers(patterns)
        self._methods = frozenset(methods)
        # None, or what else leaves a request out: its method, or a path pattern.
        self.skips_by_rule = self._skips_by_rule if patterns or methods else None
        self.max_path_length = sys.maxsize if max_path_length is None else max_path_length
        self.exemplars = exemplars
        self.body_sizes = body_sizes

    def _skips_by_rule(self, method: str, path: str) -> bool:
        if self._methods and method.upper() in self._methods:
            return True
        for fullmatch in self._fullmatchers:
            if fullmatch(path) is not None:
                return True
        return False


class Middleware:
    """What both middlewares take: the application they wrap and the recording options, checked
    once by their recorder. Each middleware names the route finder of its protocol."""

    _routes_for: Callable[[Any], Any]  # AsgiRoutes or WsgiRoutes, of the application
    # The protocol's exchange, and the one that also counts body sizes.
    _exchange_types: Tuple[Callable[..., Any], Callable[..., Any]]

    def __init__(
        self,
        app: Callable[..., Any],
        *,
        metrics_path: Optional[str] = "/metrics",
        exclude_paths: Iterable[str | Pattern[str]] = (),
        exclude_methods: Iterable[str] = (),
        group_paths: bool = True,
        max_path_length: Optional[int] = DEFAULT_MAX_PATH_LENGTH,
        exemplars: bool = False,
        body_sizes: bool = False,
        status_classes: bool = False,
    ) -> None:
        if not isinstance(status_classes, bool):
            raise TypeError("status_classes must be True or False")
        self.app = app
        self._recorder = Recorder(metrics_path, exclude_paths, exclude_methods, group_paths,
                                  max_path_length, exemplars, body_sizes)
        self._routes = type(self)._routes_for(app)
        self._exchange_type = self._exchange_types[body_sizes]
        if status_classes:
            # Process-wide and for good: the core counts every series of this process by class
            # from now on, whichever middleware (or series.observe) records. False asks for
            # nothing, so that another middleware's True stands.
            _native.series_set_status_classes(True)


class Exchange:
    """One recorded request under way, in either protocol: its recorder, what it will be recorded
    as, and the step that ends it exactly once."""

    __slots__ = ("recorder", "routes", "method", "path", "started", "status", "done")

    def begin(self, recorder: Recorder, routes: Any, method: str, path: str) -> None:
        """Called once for every request that will be recorded, as it arrives."""
        self.recorder = recorder
        self.routes = routes
        self.method = method
        self.path = path
        self.status: Optional[int] = None  # set when the response starts
        self.done = False
        try:
            try:
                _series_start(method)
            except UnicodeEncodeError:
                _series_start(_clean(method))
        except _OWN_FAILURES:
            report_failure()
        if not _PROCESS_READY:
            _begin_process()
        self.started = perf_counter()  # the moment that the duration counts from

    def template(self, status: int) -> Optional[str]:
        """The route template the request matched, or None (each protocol finds it its way).
        ``status`` is the one being recorded: a 405 matched a route, but not its method."""
        raise NotImplementedError

    def trace_ids(self) -> Optional[Ids]:
        """The trace to keep as the request's exemplar, or None; asked only with the exemplars
        option on, each protocol finding it its way."""
        return None

    def body_sizes(self, method: str) -> Tuple[Optional[int], Optional[int]]:
        """The request's and the response's body sizes in bytes, None where not known; asked
        only with the body_sizes option on, each protocol counting them its way."""
        return None, None

    def gone_status(self) -> int:
        return self.status if self.status is not None else CLIENT_CLOSED_REQUEST

    def finish(self, status: int) -> None:
        """Ends the request with one call into the core, the first time it is called; never
        raises."""
        if self.done:
            return
        duration_ms = (perf_counter() - self.started) * 1000.0
        self.done = True
        try:
            # The template even when group_paths is off: the per-route series need it.
            template = self.template(status)
        except Exception:
            template = None
            report_failure()
        try:
            method = self.method
            path = self.path
            recorder = self.recorder
            if template is None:
                route = UNMATCHED_ROUTE
            else:
                route = template
                if recorder.group_paths:
                    path = template
            if len(path) > recorder.max_path_length:
                path = path[:recorder.max_path_length]
            if len(method) > MAX_METHOD_LENGTH:
                method = method[:MAX_METHOD_LENGTH]
            if not 0 <= status <= 65535:
                status = 0
            ids = None
            if recorder.exemplars:
                try:
                    ids = self.trace_ids()
                except Exception:  # a tracer's failure costs the exemplar, not the request
                    report_failure()
            try:
                if ids is None:
                    _series_finish(method, path, route, status, duration_ms)
                else:
                    _series_finish_traced(method, path, route, status, duration_ms, ids[0],
                                          ids[1])
            except UnicodeEncodeError:
                # Lone surrogates cannot be stored as UTF-8; keep the request with them replaced.
                method, path, route = _clean(method), _clean(path), _clean(route)
                if ids is None:
                    _series_finish(method, path, route, status, duration_ms)
                else:
                    _series_finish_traced(method, path, route, status, duration_ms, ids[0],
                                          ids[1])
            if recorder.body_sizes:
                request_bytes, response_bytes = self.body_sizes(method)
                sizes.observe(method, route, request_bytes, response_bytes)
        except _OWN_FAILURES:
            report_failure()
