"""Hypothesis against the whole binding: every function, every argument position, arbitrary objects
and keyword soup; the three classes' constructors, properties, methods and descriptors, applied to
their own instances and to anything else.

Plain Python functions of the same signatures predict the matching (the interpreter's own arity and
keyword messages), and an independent model of the conversions the rest: the exception type (and
wording, where it is the module's own) of the first argument that fails to convert, or the exact
values stored. The number of examples per test is
VTR_FUZZ_EXAMPLES (default 150), so CI runs in bounded time and a long local run is one variable
away. Everything that could switch the multi-worker mode on runs in a child process.
"""
import json
import math
import operator
import os
import re
import subprocess
import sys

import pytest
from hypothesis import HealthCheck, assume, event, given, settings
from hypothesis import strategies as st

from helpers import Floaty, Index, Text
from vantorel import _core

EXAMPLES = int(os.environ.get("VTR_FUZZ_EXAMPLES", "150"))
FUZZ = settings(max_examples=EXAMPLES, deadline=None, suppress_health_check=list(HealthCheck))


class Boom(Exception):
    """Raised by the hostile objects' dunders: must pass through the binding unchanged."""


class Halt(BaseException):
    """Not even an Exception: must pass through unchanged as well."""


class Raising:
    """Raises `error` (a class) from its one conversion dunder."""

    def __init__(self, error):
        self.error = error

    def refuse(self):
        raise self.error(f"{type(self).__name__} refused")

    def __repr__(self):
        return f"{type(self).__name__}({self.error.__name__})"


class RaisingIndex(Raising):
    __index__ = Raising.refuse


class RaisingFloat(Raising):
    __float__ = Raising.refuse


class Int(int):
    def __index__(self):  # ignored: an int is read directly
        return 12345


class Float(float):
    def __float__(self):  # ignored: a float is read directly
        return 99.0


class Weird:
    pass


Weird.__qualname__ = "Outer.<locals>.Weird"


def instance(kind):
    if kind == 0:
        _core.record_request("GET", "/fuzz", 503, 2.5)
        return _core.get_requests()[-1]
    return _core.aggregate() if kind == 1 else _core.snapshot()


# The Unicode White_Space property: what the multi-worker switch takes for blank. (str.strip() also
# strips U+001C to U+001F, which are not blank there.)
WHITE_SPACE = set("\t\n\x0b\x0c\r \x85\xa0\u1680\u2028\u2029\u202f\u205f\u3000") | {
    chr(c) for c in range(0x2000, 0x200B)
}


def is_blank(text):
    return all(c in WHITE_SPACE for c in text)


texts = st.text(max_size=12) | st.sampled_from(["\ud800", "a\udfff", "é", "", "   ", "x\x00y"])
integers = st.integers() | st.sampled_from(
    [0, 1, -1, 399, 400, 65535, 65536, 2**63 - 1, 2**63, -(2**63), -(2**63) - 1, 2**64 - 1, 2**64,
     2**1100]
)
anything = st.one_of(
    st.none(),
    st.booleans(),
    integers,
    st.floats(allow_nan=True, allow_infinity=True),
    texts,
    st.binary(max_size=6),
    st.builds(bytearray, st.binary(max_size=4)),
    st.complex_numbers(allow_nan=True),
    st.lists(st.integers(), max_size=2),
    st.tuples(st.integers()),
    st.dictionaries(st.text(max_size=3), st.integers(), max_size=2),
    st.builds(Index, integers | st.sampled_from(["7", 2.5, None])),
    st.builds(Floaty, st.floats() | st.sampled_from([1, "2.5", None])),
    st.builds(RaisingIndex, st.sampled_from([TypeError, Boom, Halt, OverflowError])),
    st.builds(RaisingFloat, st.sampled_from([TypeError, Boom, Halt, ValueError])),
    st.builds(Text, texts),
    st.builds(Int, integers),
    st.builds(Float, st.floats()),
    st.sampled_from([object(), Weird(), Weird, int, math, _core, _core.hello, Ellipsis,
                     NotImplemented]),
    st.builds(instance, st.integers(0, 2)),
)


# The model. Each outcome is ("ok", value) or ("raise", type, text, exact): `exact` says whether
# `text` is the whole message (the module's own words) or only its beginning (the prefix the module
# puts before the interpreter's words).
def ok(value):
    return ("ok", value)


def fails(error, text="", exact=False):
    return ("raise", error, text, exact)


def renamed(name):
    return fails(TypeError, f"argument '{name}': ")


def as_index(obj, name):
    try:
        return ok(int.__index__(obj) if isinstance(obj, int) else operator.index(obj))
    except TypeError:
        return renamed(name)
    except BaseException as e:  # noqa: B036 - Halt too
        return fails(type(e))


def to_text(obj, name):
    if isinstance(obj, str):
        value = str.__str__(obj)
        try:
            value.encode("utf-8")
        except UnicodeEncodeError:
            return fails(UnicodeEncodeError)
        return ok(value)
    qualname = type(obj).__qualname__
    return fails(TypeError, f"argument '{name}': '{qualname}' object cannot be converted to "
                 "'PyString'", exact=True)


def to_u16(obj, name):
    outcome = as_index(obj, name)
    if outcome[0] == "raise":
        return outcome
    value = outcome[1]
    if not -(2**63) <= value < 2**63:
        return fails(OverflowError)
    if not 0 <= value <= 65535:
        return fails(OverflowError, "out of range integral type conversion attempted", exact=True)
    return ok(value)


def to_u64(obj, name):
    outcome = as_index(obj, name)
    if outcome[0] == "ok" and not 0 <= outcome[1] < 2**64:
        return fails(OverflowError)
    return outcome


def to_f64(obj, name):
    if isinstance(obj, float):
        return ok(float.__float__(obj))
    kind = type(obj)
    if hasattr(kind, "__float__"):
        try:
            value = kind.__float__(obj)
        except TypeError:
            return renamed(name)
        except BaseException as e:  # noqa: B036
            return fails(type(e))
        return ok(value) if type(value) is float else renamed(name)
    if hasattr(kind, "__index__"):
        outcome = as_index(obj, name)
        if outcome[0] == "raise":
            return outcome
        try:
            return ok(float(outcome[1]))
        except OverflowError:
            return fails(OverflowError)
    return renamed(name)


def optional(convert):
    return lambda obj, name: ok(None) if obj is None else convert(obj, name)


# The reference: plain functions with the module's signatures, which return what they were given.
# The interpreter matching a call to one of them is the oracle for matching: its TypeError texts,
# or which value lands in which parameter.
def record_request(method, path, status_code, duration_ms):
    return [method, path, status_code, duration_ms]


def set_max_requests(max):  # noqa: A002 - the module's own parameter name
    return [max]


def set_multiproc_dir(dir=None):  # noqa: A002
    return [dir]


def check_alerts(cpu_percent=None, memory_rss_mb=None, memory_virtual_mb=None):
    return [cpu_percent, memory_rss_mb, memory_virtual_mb]


# name -> (reference, converter of each parameter); the other functions take nothing.
SIGNATURES = {
    "record_request": (record_request, [to_text, to_text, to_u16, to_f64]),
    "set_max_requests": (set_max_requests, [to_u64]),
    "set_multiproc_dir": (set_multiproc_dir, [optional(to_text)]),
    "check_alerts": (check_alerts, [optional(to_f64)] * 3),
}
NO_ARGUMENTS = ["hello", "snapshot", "get_requests", "clear_requests", "get_max_requests",
                "get_multiproc_dir", "multiproc_enabled", "aggregate", "metrics_text"]
CLASSES = ["Snapshot", "RequestMetric", "AggregatedMetrics"]


def parameters(name):
    code = SIGNATURES[name][0].__code__
    return list(code.co_varnames[:code.co_argcount])


SUGGESTION = re.compile(r"\. Did you mean '[a-z_]+'\?$")


def matched(name, args, kwargs):
    """The reference's values for the call, or None and the text of the TypeError it raised.

    The module words every message as this interpreter does, but it matches as CPython does and
    says some things its own way, in its published texts: it counts positional arguments before
    it looks at keywords (interpreters look at keywords first); it reports the first keyword, in
    call order, that has no place or one already taken (PyPy reports taken places first and
    counts the unknown keywords together); it says "takes 1 positional arguments"; it names a
    keyword by its characters, where CPython shows str() of a str subclass; and it suggests no
    parameter for an unknown keyword, as CPython does from 3.13 ("Did you mean 'method'?").
    """
    reference = SIGNATURES[name][0]
    if len(args) > reference.__code__.co_argcount:
        kwargs = {}
    keywords = [(str.__str__(k), v) for k, v in kwargs.items()]
    # One keyword more at a time: the first refusal that is not about a missing argument.
    for n in range(1, len(keywords)):
        try:
            reference(*args, **dict(keywords[:n]))
        except TypeError as error:
            if not str(error).startswith(f"{name}() missing "):
                return None, SUGGESTION.sub("", str(error))
    try:
        return reference(*args, **dict(keywords)), None
    except TypeError as error:
        text = SUGGESTION.sub("", str(error))
    return None, text.replace(" takes 1 positional argument but ",
                              " takes 1 positional arguments but ")


def expected_outcome(name, args, kwargs):
    """The whole call: matching as the reference does it, then conversion in parameter order."""
    given, text = matched(name, args, kwargs)
    if given is None:
        return fails(TypeError, text, exact=True), None
    values = []
    for param, value, convert in zip(parameters(name), given, SIGNATURES[name][1]):
        outcome = convert(value, param)
        if outcome[0] == "raise":
            return outcome, None
        values.append(outcome[1])
    return ok(None), values


def same_float(a, b):
    if math.isnan(a) or math.isnan(b):
        return math.isnan(a) and math.isnan(b)
    return a == b and math.copysign(1, a) == math.copysign(1, b)


def assert_raised_as(outcome, error):
    _, kind, text, exact = outcome
    assert type(error) is kind, (error, outcome)
    if exact:
        assert str(error) == text
    else:
        assert str(error).startswith(text)


keyword_names = st.sampled_from(
    ["method", "path", "status_code", "duration_ms", "max", "dir", "cpu_percent", "memory_rss_mb",
     "memory_virtual_mb", "status", "Method", "method\x00", "méthode", "\ud800", "", "self"]
) | st.text(max_size=6)


# Values of the right kind for each parameter, so that calls get past matching and the early
# parameters often enough to reach the later ones.
PLAUSIBLE = {
    "text": st.text(max_size=8) | st.builds(Text, st.text(max_size=4)),
    "u16": st.integers(0, 65535) | st.booleans() | st.builds(Index, st.integers(0, 65535)),
    "u64": st.integers(0, 2**64 - 1) | st.builds(Index, st.integers(0, 2**64 - 1)),
    "f64": st.floats() | st.integers(-(2**60), 2**60) | st.builds(Floaty, st.floats())
    | st.builds(Index, st.integers(-(2**60), 2**60)),
    "blank": st.none() | st.sampled_from(["", " ", "\u3000\t"]),
}
PARAM_KINDS = {
    "record_request": ["text", "text", "u16", "f64"],
    "set_max_requests": ["u64"],
    "set_multiproc_dir": ["blank"],
    "check_alerts": ["f64", "f64", "f64"],
}


@st.composite
def calls(draw):
    """A call that mostly matches its signature: each parameter given by position, by keyword or
    not at all, with a plausible or an arbitrary value, keywords in any order, and now and then
    one positional argument too many or a keyword from the soup."""
    name = draw(st.sampled_from(sorted(SIGNATURES)))
    names = parameters(name)
    values = [
        draw(PLAUSIBLE[kind] if draw(st.integers(0, 4)) else anything)
        for kind in PARAM_KINDS[name]
    ]
    positional = draw(st.integers(0, len(names)))
    args = values[:positional]
    keywords = [(n, v) for n, v in zip(names[positional:], values[positional:])
                if draw(st.integers(0, 9)) > 0]
    if draw(st.integers(0, 9)) == 0:
        args.append(draw(anything))
    if draw(st.integers(0, 9)) == 0:
        keywords.append((draw(keyword_names | st.builds(Text, keyword_names)), draw(anything)))
    kwargs = dict(draw(st.permutations(keywords)))
    return name, args, kwargs


soup = st.tuples(
    st.sampled_from(sorted(SIGNATURES)),
    st.lists(anything, max_size=6),
    st.dictionaries(keyword_names | st.builds(Text, keyword_names), anything, max_size=5),
)


@FUZZ
@given(call=st.one_of(calls(), calls(), calls(), soup))
def test_functions_with_parameters(call):
    name, args, kwargs = call
    outcome, values = expected_outcome(name, args, kwargs)
    if name == "set_multiproc_dir":
        # A text that is not blank would switch this process's mode on, wherever a wrong match put
        # it: those run in a process of their own (the last test below).
        assume(not any(isinstance(v, str) and not is_blank(v) for v in [*args, *kwargs.values()]))
    event(f"{name}: " + ("ok" if outcome[0] == "ok" else outcome[1].__name__))
    _core.clear_requests()
    _core.set_max_requests(10000)
    _core.record_request("GET", "/before", 200, 1.0)
    try:
        result = getattr(_core, name)(*args, **kwargs)
    except BaseException as error:  # noqa: B036 - Halt passes through too
        assert outcome[0] == "raise", (error, outcome)
        assert_raised_as(outcome, error)
        assert [r.path for r in _core.get_requests()] == ["/before"]
        assert _core.get_max_requests() == 10000
        return
    assert outcome[0] == "ok", (result, outcome)
    if name == "record_request":
        assert result is None
        last = _core.get_requests()[-1]
        assert (last.method, last.path, last.status_code) == tuple(values[:3])
        assert type(last.duration_ms) is float and same_float(last.duration_ms, values[3])
    elif name == "set_max_requests":
        assert result is None
        assert _core.get_max_requests() == max(values[0], 1)
        _core.set_max_requests(10000)
    elif name == "set_multiproc_dir":
        assert result is None and _core.multiproc_enabled() is False
    else:
        metrics = ["cpu_percent", "memory_rss_mb", "memory_virtual_mb"]
        assert type(result) is list
        assert [a["metric"] for a in result] == [m for m in metrics if m in
                                                 {a["metric"] for a in result}]
        for alert in result:
            threshold = values[metrics.index(alert["metric"])]
            assert threshold is not None and alert["value"] > threshold
            assert list(alert) == ["metric", "value", "threshold", "severity"]
            assert same_float(alert["threshold"], threshold) and alert["severity"] == "warning"


RESULT_TYPES = {
    "hello": str, "snapshot": _core.Snapshot, "get_requests": list, "clear_requests": type(None),
    "get_max_requests": int, "get_multiproc_dir": type(None), "multiproc_enabled": bool,
    "aggregate": _core.AggregatedMetrics, "metrics_text": str,
}


@FUZZ
@given(name=st.sampled_from(NO_ARGUMENTS), args=st.lists(anything, max_size=3),
       kwargs=st.dictionaries(keyword_names, anything, max_size=2))
def test_functions_without_parameters(name, args, kwargs):
    function = getattr(_core, name)
    if args or kwargs:
        with pytest.raises(TypeError):
            function(*args, **kwargs)
    else:
        assert type(function()) is RESULT_TYPES[name]


@FUZZ
@given(cls=st.sampled_from(CLASSES), args=st.lists(anything, max_size=3),
       kwargs=st.dictionaries(keyword_names, anything, max_size=2))
def test_classes_cannot_be_called(cls, args, kwargs):
    with pytest.raises(TypeError) as exc:
        getattr(_core, cls)(*args, **kwargs)
    assert str(exc.value) == f"No constructor defined for {cls}"


FIELDS = {
    "RequestMetric": ["method", "path", "status_code", "duration_ms", "timestamp"],
    "AggregatedMetrics": ["total_requests", "total_errors", "error_rate", "avg_latency_ms",
                          "min_latency_ms", "max_latency_ms", "p50_latency_ms", "p95_latency_ms",
                          "p99_latency_ms"],
    "Snapshot": ["pid", "cpu_percent", "memory_rss", "memory_virtual", "threads", "timestamp",
                 "memory_rss_mb"],
}


@FUZZ
@given(
    method=st.text(max_size=8), path=st.text(max_size=8), status=st.integers(0, 65535),
    duration=st.floats(allow_nan=True), attribute=st.sampled_from(sum(FIELDS.values(), []))
    | st.text(max_size=6).filter(lambda n: not n.startswith("__")),
    value=anything, args=st.lists(anything, max_size=2),
)
def test_instances_are_read_only(method, path, status, duration, attribute, value, args):
    _core.clear_requests()
    _core.record_request(method, path, status, duration)
    for instance in [_core.get_requests()[0], _core.aggregate(), _core.snapshot()]:
        cls = type(instance).__name__
        as_dict = instance.to_dict()
        before = repr(instance)
        assert before.startswith(cls + "(")
        with pytest.raises(AttributeError):
            setattr(instance, attribute, value)
        with pytest.raises(AttributeError):
            delattr(instance, attribute)
        if args:
            with pytest.raises(TypeError):
                instance.to_dict(*args)
        assert repr(instance) == before
        assert json.dumps(instance.to_dict(), sort_keys=True) == json.dumps(as_dict, sort_keys=True)
        for field in FIELDS[cls]:
            if field in as_dict:
                got = getattr(instance, field)
                assert type(got) is type(as_dict[field])
                assert got == as_dict[field] or same_float(got, as_dict[field])
    record = _core.get_requests()[0]
    assert (record.method, record.path, record.status_code) == (method, path, status)
    assert same_float(record.duration_ms, duration)


@FUZZ
@given(cls=st.sampled_from(CLASSES), target=anything,
       member=st.sampled_from(["to_dict", "__repr__", "property"]))
def test_descriptors_refuse_foreign_objects(cls, target, member):
    # Unbound methods and properties of one class applied to anything else: an instance of another
    # class, an int, a str ... must be refused, never read as if it held this class's record.
    owner = getattr(_core, cls)
    if isinstance(target, owner):
        return
    if member == "property":
        for field in FIELDS[cls]:
            descriptor = vars(owner)[field]
            if target is None:  # None stands for "read on the class"
                assert descriptor.__get__(None, owner) is descriptor
                continue
            with pytest.raises(TypeError):
                descriptor.__get__(target, owner)
    else:
        with pytest.raises(TypeError):
            getattr(owner, member)(target)


@pytest.mark.parametrize("cls", CLASSES)
def test_instances_made_behind_the_constructor(cls):
    # object.__new__ bypasses the missing constructor on some interpreters: whatever comes out
    # must hold no half-built record, only refuse to be read, and go away cleanly.
    owner = getattr(_core, cls)
    if sys.implementation.name != "pypy":
        with pytest.raises(TypeError):
            object.__new__(owner)  # refused outright
        return
    made = object.__new__(owner)
    message = f"No constructor defined for {cls}"
    for read in [repr, lambda o: o.to_dict()] + [
        operator.attrgetter(field) for field in FIELDS[cls]
    ]:
        with pytest.raises(TypeError) as exc:
            read(made)
        assert str(exc.value) == message
    del made


# The multi-worker switch with arbitrary texts: in a child process inside its own directory.
# Names stay relative and never climb out of it; a few fixed ones cannot be created at all.
SET_DIR_CHILD = """
import json, os, sys
from hypothesis import HealthCheck, given, settings, strategies as st
import vantorel._core as core

WHITE_SPACE = set(json.loads(sys.argv[2]))
UNUSABLE = ["/proc/vtr-nope", "/dev/null/x", "a" * 300, "file", "file/sub", "x\\x00y"]
parts = st.text(st.characters(blacklist_characters="/\\x00", blacklist_categories=("Cs",)),
                min_size=1, max_size=6).filter(lambda p: p not in (".", "..", "file"))
relative = st.lists(parts, min_size=1, max_size=3).map("/".join)
odd = st.sampled_from(["", " ", "\\u3000\\n", "\\x1c", "\\ud800", *UNUSABLE])
seen = {"on": 0, "off": 0, "raised": 0}

def mode():
    return core.multiproc_enabled(), core.get_multiproc_dir()

@settings(max_examples=int(sys.argv[1]), deadline=None, database=None,
          suppress_health_check=list(HealthCheck))
@given(value=st.none() | relative | odd, by_keyword=st.booleans())
def check(value, by_keyword):
    before = mode()
    try:
        core.set_multiproc_dir(dir=value) if by_keyword else core.set_multiproc_dir(value)
    except UnicodeEncodeError:
        assert value == "\\ud800" and mode() == before
        seen["raised"] += 1
        return
    blank = value is None or all(c in WHITE_SPACE for c in value)
    if core.multiproc_enabled():
        seen["on"] += 1
        assert core.get_multiproc_dir() == value and not blank
        assert os.path.getsize(os.path.join(value, "vtr-%d.shard" % os.getpid())) == 176
        count = core.aggregate().total_requests  # only this process's shards live here
        core.record_request("GET", "/", 200, 1.0)
        assert core.aggregate().total_requests == count + 1
    else:
        seen["off"] += 1
        assert core.get_multiproc_dir() is None
        assert blank or value in UNUSABLE, value

check()
print(json.dumps(seen))
"""


def test_set_multiproc_dir_with_arbitrary_texts(tmp_path):
    (tmp_path / "file").write_text("not a directory")
    env = {k: v for k, v in os.environ.items() if k != "VTR_MULTIPROC_DIR"}
    argv = [sys.executable, "-c", SET_DIR_CHILD, str(EXAMPLES), json.dumps(sorted(WHITE_SPACE))]
    proc = subprocess.run(argv, cwd=tmp_path, env=env, capture_output=True, text=True, timeout=600)
    assert proc.returncode == 0, proc.stderr
    seen = json.loads(proc.stdout.strip().splitlines()[-1])
    assert seen["on"] > 0 and seen["off"] > 0
    assert (tmp_path / "file").read_text() == "not a directory"
