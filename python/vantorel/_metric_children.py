"""The series of the application's families (children of the native value classes, so that a
kept child's ``inc()`` is the native method) and the helpers that time a block or count what
leaves it: ``time()``, ``count_exceptions()``, ``track_inprogress()``."""

from __future__ import annotations

import functools
import inspect
import time as _time
from timeit import default_timer
from types import TracebackType
from typing import Any, Callable, Optional, Tuple, Type, TypeVar, Union, cast

from . import _native

_F = TypeVar("_F", bound=Callable[..., Any])
_Exceptions = Union[Type[BaseException], Tuple[Type[BaseException], ...]]


def _wrap(f: _F, context: Callable[[], Any]) -> _F:
    """``f`` run inside a fresh ``context()`` per call; a coroutine function is awaited inside
    it (prometheus_client's decorators would time or count only the coroutine's creation)."""
    if inspect.iscoroutinefunction(f):
        @functools.wraps(f)
        async def awaited(*args: Any, **kwargs: Any) -> Any:
            with context():
                return await f(*args, **kwargs)

        return cast(_F, awaited)

    @functools.wraps(f)
    def wrapped(*args: Any, **kwargs: Any) -> Any:
        with context():
            return f(*args, **kwargs)

    return cast(_F, wrapped)


class _Timer:
    """``time()``'s context manager and decorator: the seconds spent inside, to ``observe`` (or a
    gauge's ``set``) when it is left. ``duration`` holds them afterwards."""

    __slots__ = ("_metric", "_callback", "_start", "duration")

    def __init__(self, metric: Any, callback: str) -> None:
        self._metric = metric
        self._callback = callback
        self._start = 0.0
        self.duration: Optional[float] = None

    def __enter__(self) -> "_Timer":
        self._start = default_timer()
        return self

    def __exit__(self, typ: Optional[Type[BaseException]], value: Optional[BaseException],
                 traceback: Optional[TracebackType]) -> None:
        self.duration = max(default_timer() - self._start, 0.0)  # the clock can go back
        getattr(self._metric, self._callback)(self.duration)

    def labels(self, *labelvalues: Any, **labelkwargs: Any) -> None:
        """Chooses the child inside the block: ``with h.time() as t: ... t.labels("x")``."""
        self._metric = self._metric.labels(*labelvalues, **labelkwargs)

    def __call__(self, f: _F) -> _F:
        # A new timer per call: the decorated function may run in several threads at once.
        return _wrap(f, lambda: _Timer(self._metric, self._callback))


class _ExceptionCounter:
    __slots__ = ("_counter", "_exception")

    def __init__(self, counter: Any, exception: _Exceptions) -> None:
        self._counter = counter
        self._exception = exception

    def __enter__(self) -> None:
        pass

    def __exit__(self, typ: Optional[Type[BaseException]], value: Optional[BaseException],
                 traceback: Optional[TracebackType]) -> None:
        if isinstance(value, self._exception):
            self._counter.inc()

    def __call__(self, f: _F) -> _F:
        return _wrap(f, lambda: self)


class _InprogressTracker:
    __slots__ = ("_gauge",)

    def __init__(self, gauge: Any) -> None:
        self._gauge = gauge

    def __enter__(self) -> None:
        self._gauge.inc()

    def __exit__(self, typ: Optional[Type[BaseException]], value: Optional[BaseException],
                 traceback: Optional[TracebackType]) -> None:
        self._gauge.dec()

    def __call__(self, f: _F) -> _F:
        return _wrap(f, lambda: self)


# The children: one series each. inc(), dec(), set() and observe() are the native methods
# themselves, so a child the caller keeps costs no Python frame per call; the helpers are plain
# Python. __slots__ = (): no instance dictionary.


class CounterChild(_native.CounterValue):
    """One series of a ``Counter``: ``inc(amount=1)``, ``count_exceptions()``."""

    __slots__ = ()

    def count_exceptions(self, exception: _Exceptions = Exception) -> _ExceptionCounter:
        """Counts the exceptions of that type leaving a block or a function (decorator and
        context manager)."""
        return _ExceptionCounter(self, exception)


class GaugeChild(_native.GaugeValue):
    """One series of a ``Gauge``: ``inc``, ``dec``, ``set``, ``set_to_current_time``,
    ``track_inprogress``, ``time``."""

    __slots__ = ()

    def set_to_current_time(self) -> None:
        self.set(_time.time())

    def track_inprogress(self) -> _InprogressTracker:
        """Up by one while a block or a function runs (decorator and context manager)."""
        return _InprogressTracker(self)

    def time(self) -> _Timer:
        """Sets the gauge to the seconds a block or a function took."""
        return _Timer(self, "set")


class _MostRecentGaugeChild(GaugeChild):
    # A value that is only ever set: the most recent one wins across workers, which an
    # increment of one worker's own value would make meaningless (prometheus_client's rule).
    __slots__ = ()

    def inc(self, amount: float = 1) -> None:
        raise RuntimeError("inc must not be used with the mostrecent mode")

    def dec(self, amount: float = 1) -> None:
        raise RuntimeError("dec must not be used with the mostrecent mode")


class HistogramChild(_native.HistogramValue):
    """One series of a ``Histogram``: ``observe(amount)``, ``time()``."""

    __slots__ = ()

    def time(self) -> _Timer:
        """Observes the seconds a block or a function took."""
        return _Timer(self, "observe")


class SummaryChild(_native.SummaryValue):
    """One series of a ``Summary``: ``observe(amount)``, ``time()``."""

    __slots__ = ()

    def time(self) -> _Timer:
        """Observes the seconds a block or a function took."""
        return _Timer(self, "observe")


