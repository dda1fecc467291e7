// The per-route series functions of vantorel._native: recording (series_start, series_finish,
// series_observe), the limit, the exposition and the merged series, the fold of a dead worker's
// file, and why the series file could not be had.
#include "core/series.h"

#include <span>
#include <string>
#include <utility>
#include <vector>

#include "binding/args.h"
#include "binding/boundary.h"
#include "binding/entries.h"
#include "binding/request_args.h"
#include "core/exposition.h"
#include "core/prometheus.h"
#include "core/request.h"
#include "core/series_text.h"

namespace vantorel::binding {
namespace {

constexpr const char* START_PARAMS[] = {"method"};
constexpr Signature START_SIGNATURE{"series_start", START_PARAMS, 1};
constexpr RequestLayout START_LAYOUT{.method = 0, .method_is_label = true};

PyObject* series_start(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* slot[1];
    if (!bind(START_SIGNATURE, args, nargs, kwnames, slot)) return nullptr;
    RequestArgs request;
    if (!request.read(START_LAYOUT, slot)) return nullptr;
    series::start(request.method);
    return none();
  });
}

constexpr const char* FINISH_PARAMS[] = {"method", "path", "route", "status_code", "duration_ms"};
constexpr Signature FINISH_SIGNATURE{"series_finish", FINISH_PARAMS, 5};

constexpr RequestLayout FINISH_LAYOUT{
    .method = 0, .path = 1, .route = 2, .status = 3, .duration = 4};

PyObject* series_finish(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* slot[5];
    if (!bind(FINISH_SIGNATURE, args, nargs, kwnames, slot)) return nullptr;
    // method and path as record_request() converts them: the same values and the same errors
    // (a lone surrogate raises UnicodeEncodeError). Nothing is recorded unless all convert.
    RequestArgs r;
    if (!r.read(FINISH_LAYOUT, slot)) return nullptr;
    request::finish(r.method, r.path, r.route, r.status_code, r.duration_ms);
    return none();
  });
}

constexpr const char* TRACED_PARAMS[] = {"method",      "path",     "route",  "status_code",
                                         "duration_ms", "trace_id", "span_id"};
constexpr Signature TRACED_SIGNATURE{"series_finish_traced", TRACED_PARAMS, 7};

// Hex digits as a number: nullopt unless all `digits` of them are hex.
std::optional<std::uint64_t> from_hex(std::string_view text) {
  std::uint64_t value = 0;
  for (const char c : text) {
    const int digit = c >= '0' && c <= '9'   ? c - '0'
                      : c >= 'a' && c <= 'f' ? c - 'a' + 10
                      : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                             : -1;
    if (digit < 0) return std::nullopt;
    value = value << 4 | static_cast<std::uint64_t>(digit);
  }
  return value;
}

// series_finish() with the request's trace: a 32-digit hex trace id and a 16-digit hex span id,
// kept as the exemplars of its bucket and its count. Ids of another shape (or all zeros) keep
// no exemplar; the request counts all the same.
PyObject* series_finish_traced(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* slot[7];
    if (!bind(TRACED_SIGNATURE, args, nargs, kwnames, slot)) return nullptr;
    RequestArgs r;
    if (!r.read(FINISH_LAYOUT, slot)) return nullptr;
    auto trace = to_text(slot[5], "trace_id");
    if (!trace) return nullptr;
    auto span = to_text(slot[6], "span_id");
    if (!span) return nullptr;
    const auto hi = trace->size() == 32 ? from_hex(trace->substr(0, 16)) : std::nullopt;
    const auto lo = trace->size() == 32 ? from_hex(trace->substr(16)) : std::nullopt;
    const auto span_id = span->size() == 16 ? from_hex(*span) : std::nullopt;
    const bool traced = hi && lo && span_id && (*hi | *lo) != 0;
    const series::Exemplar ids{traced ? *hi : 0, traced ? *lo : 0, traced ? *span_id : 0, 0, 0};
    request::finish(r.method, r.path, r.route, r.status_code, r.duration_ms,
                    traced ? &ids : nullptr);
    return none();
  });
}

constexpr const char* OBSERVE_PARAMS[] = {"method", "route", "status_code", "duration_ms"};
constexpr Signature OBSERVE_SIGNATURE{"series_observe", OBSERVE_PARAMS, 4};
constexpr RequestLayout OBSERVE_LAYOUT{
    .method = 0, .route = 1, .status = 2, .duration = 3, .method_is_label = true};

PyObject* series_observe(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* slot[4];
    if (!bind(OBSERVE_SIGNATURE, args, nargs, kwnames, slot)) return nullptr;
    RequestArgs r;
    if (!r.read(OBSERVE_LAYOUT, slot)) return nullptr;
    series::observe(r.method, r.route, r.status_code, r.duration_ms);
    return none();
  });
}

constexpr const char* LIMIT_PARAMS[] = {"n"};
constexpr Signature SET_LIMIT_SIGNATURE{"series_set_limit", LIMIT_PARAMS, 1};

PyObject* series_set_limit(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* slot[1];
    if (!bind(SET_LIMIT_SIGNATURE, args, nargs, kwnames, slot)) return nullptr;
    auto limit = to_u64(slot[0], "n");
    if (!limit) return nullptr;
    series::set_limit(*limit);
    return none();
  });
}

constexpr const char* METHODS_PARAMS[] = {"methods"};
constexpr Signature SET_METHODS_SIGNATURE{"series_set_methods", METHODS_PARAMS, 1};

// A list or tuple of str, each a method as the core keeps it (1 to 32 code points); the core's
// list is replaced only once every item converted.
PyObject* series_set_methods(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* slot[1];
    if (!bind(SET_METHODS_SIGNATURE, args, nargs, kwnames, slot)) return nullptr;
    // Not any sequence: a str is one too, and would give one method per character.
    if (!PyList_Check(slot[0]) && !PyTuple_Check(slot[0])) {
      PyErr_SetString(PyExc_TypeError, "methods must be a list or tuple of str");
      return nullptr;
    }
    PyRef items = PyRef::steal(PySequence_Fast(slot[0], "methods must be a list or tuple of str"));
    if (!items) return nullptr;
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.get());
    if (n > static_cast<Py_ssize_t>(series::MAX_EXTRA_METHODS)) {
      PyErr_Format(PyExc_ValueError, "at most %d extra methods",
                   static_cast<int>(series::MAX_EXTRA_METHODS));
      return nullptr;
    }
    std::vector<std::string> methods;
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject* item = PySequence_Fast_GET_ITEM(items.get(), i);
      auto text = to_text(item, "methods");
      if (!text) return nullptr;
      const Py_ssize_t length = PyUnicode_GetLength(item);
      if (length < 1 || length > static_cast<Py_ssize_t>(series::MAX_METHOD_CODE_POINTS)) {
        PyErr_Format(PyExc_ValueError, "a method has 1 to %d characters, not %zd",
                     static_cast<int>(series::MAX_METHOD_CODE_POINTS), length);
        return nullptr;
      }
      methods.emplace_back(*text);
    }
    series::set_extra_methods(std::move(methods));
    return none();
  });
}

PyObject* series_get_methods(PyObject*, PyObject*) {
  return guarded([]() -> PyObject* { return sequence_to_py(series::extra_methods()); });
}

// The duration histogram's bounds, in seconds: ValueError with the core's reason when it
// refuses them.
PyObject* series_set_duration_bounds(PyObject*, PyObject* bounds) {
  return guarded([&]() -> PyObject* {
    auto values = to_floats(bounds, "bounds");
    if (!values) return nullptr;
    if (const std::optional<std::string> error = series::set_duration_bounds(*values)) {
      PyErr_SetString(PyExc_ValueError, error->c_str());
      return nullptr;
    }
    return none();
  });
}

PyObject* series_get_duration_bounds(PyObject*, PyObject*) {
  return guarded([] { return sequence_to_py(series::duration_bounds()); });
}

PyObject* series_get_limit(PyObject*, PyObject*) {
  return guarded([] { return to_py(series::limit()); });
}

PyObject* series_clear(PyObject*, PyObject*) {
  return guarded([] {
    series::clear();
    return none();
  });
}

PyObject* series_text(PyObject*, PyObject*) {
  return guarded([] { return to_py(std::string_view(series_text::render())); });
}

constexpr const char* PAGE_PARAMS[] = {"openmetrics", "constant_labels"};
constexpr Signature PAGE_SIGNATURE{"series_page", PAGE_PARAMS, 2};

// series_text() in either format, with constant labels (written label pairs, checked by the
// package) on every sample.
PyObject* series_page(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* slot[2];
    if (!bind(PAGE_SIGNATURE, args, nargs, kwnames, slot)) return nullptr;
    const int openmetrics = PyObject_IsTrue(slot[0]);
    if (openmetrics < 0) return nullptr;
    auto constant = to_text(slot[1], "constant_labels");
    if (!constant) return nullptr;
    const exposition::Format format{openmetrics == 1, std::string(*constant)};
    return to_py(std::string_view(series_text::render(format)));
  });
}

PyObject* metrics_openmetrics(PyObject*, PyObject*) {
  return guarded([] { return to_py(std::string_view(prometheus::render(true))); });
}

constexpr const char* CLASSES_PARAMS[] = {"on"};
constexpr Signature CLASSES_SIGNATURE{"series_set_status_classes", CLASSES_PARAMS, 1};

PyObject* series_set_status_classes(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* slot[1];
    if (!bind(CLASSES_SIGNATURE, args, nargs, kwnames, slot)) return nullptr;
    const int on = PyObject_IsTrue(slot[0]);
    if (on < 0) return nullptr;
    series::set_status_classes(on == 1);
    return none();
  });
}

// ([(method, route, status, count, sum_us, buckets)], {method class: in progress}, overflow,
// bounds); the overflow key's status is None.
PyObject* to_python(const series::Merged& merged) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(merged.series.size())));
  if (!list) return nullptr;
  const std::size_t shown = std::min(merged.duration_bounds.size() + 1, series::BUCKET_COUNT);
  for (std::size_t i = 0; i < merged.series.size(); ++i) {
    const series::Series& s = merged.series[i];
    PyRef buckets = PyRef::steal(sequence_to_py(std::span(s.buckets).first(shown)));
    PyRef method = PyRef::steal(to_py(std::string_view(s.method)));
    PyRef route = PyRef::steal(to_py(std::string_view(s.route)));
    PyRef status = PyRef::steal(s.overflow ? none() : to_py(s.status));
    PyRef count = PyRef::steal(to_py(s.count));
    PyRef sum_us = PyRef::steal(to_py(s.sum_us));
    if (!method || !route || !status || !count || !sum_us) return nullptr;
    PyObject* item = PyTuple_Pack(6, method.get(), route.get(), status.get(), count.get(),
                                  sum_us.get(), buckets.get());
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  PyRef in_progress = PyRef::steal(PyDict_New());
  if (!in_progress) return nullptr;
  for (std::size_t i = 0; i < series::METHOD_CLASS_COUNT; ++i) {
    PyRef value = PyRef::steal(PyLong_FromLongLong(merged.in_progress[i]));
    if (!value) return nullptr;
    const std::string name(series::METHOD_CLASSES[i]);
    if (PyDict_SetItemString(in_progress.get(), name.c_str(), value.get()) < 0) return nullptr;
  }
  PyRef overflow = PyRef::steal(to_py(merged.overflow));
  PyRef bounds = PyRef::steal(sequence_to_py(merged.duration_bounds));
  if (!overflow || !bounds) return nullptr;
  return PyTuple_Pack(4, list.get(), in_progress.get(), overflow.get(), bounds.get());
}

PyObject* series_snapshot(PyObject*, PyObject*) {
  return guarded([] { return to_python(series::merged()); });
}

PyObject* series_read_dir(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    auto directory = directory_argument("series_read_dir", args, nargs, kwnames);
    if (!directory) return nullptr;
    return to_python(series::read_dir(*directory));
  });
}

constexpr const char* FOLD_PARAMS[] = {"directory", "pid"};
constexpr Signature FOLD_SIGNATURE{"series_fold", FOLD_PARAMS, 2};

PyObject* series_fold(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* slot[2];
    if (!bind(FOLD_SIGNATURE, args, nargs, kwnames, slot)) return nullptr;
    auto directory = to_text(slot[0], "directory");
    if (!directory) return nullptr;
    auto pid = to_u64(slot[1], "pid");
    if (!pid) return nullptr;
    switch (series::fold(std::string(*directory), *pid)) {
      case series::FoldOutcome::folded:
        Py_RETURN_TRUE;
      case series::FoldOutcome::alive:
        PyErr_Format(PyExc_ValueError,
                     "process %llu is alive: only a dead worker's series can be folded",
                     static_cast<unsigned long long>(*pid));
        return nullptr;
      default:
        Py_RETURN_FALSE;
    }
  });
}

PyObject* series_failure(PyObject*, PyObject*) {
  return guarded([] { return failure_to_py(series::last_failure()); });
}

}  // namespace

PyMethodDef SERIES_METHODS[] = {
    {"series_start", as_method(&series_start), METH_FASTCALL | METH_KEYWORDS,
     "series_start(method)\n--\n\n"
     "A request has begun: the in-progress gauge of its method goes up. Call it once per\n"
     "request, and series_finish() once when the request has ended."},
    {"series_finish", as_method(&series_finish), METH_FASTCALL | METH_KEYWORDS,
     "series_finish(method, path, route, status_code, duration_ms)\n--\n\n"
     "A request has ended: records it into the request store exactly as record_request(method,\n"
     "path, status_code, duration_ms) does, counts it into the series of (method, route,\n"
     "status_code), and takes it off the in-progress gauge of its method."},
    {"series_finish_traced", as_method(&series_finish_traced), METH_FASTCALL | METH_KEYWORDS,
     "series_finish_traced(method, path, route, status_code, duration_ms, trace_id, span_id)\n"
     "--\n\n"
     "series_finish(), keeping the request's trace (a 32-digit hex trace id, a 16-digit hex\n"
     "span id) as the exemplar of its latency bucket and of its count. Ids of another shape\n"
     "keep no exemplar; the request counts all the same."},
    {"series_page", as_method(&series_page), METH_FASTCALL | METH_KEYWORDS,
     "series_page(openmetrics, constant_labels)\n--\n\n"
     "series_text() in OpenMetrics (with exemplars) or in the text format 0.0.4, with the\n"
     "written label pairs constant_labels ('' for none) on every sample."},
    {"metrics_openmetrics", &metrics_openmetrics, METH_NOARGS,
     "metrics_openmetrics()\n--\n\n"
     "metrics_text()'s thirteen figures in OpenMetrics."},
    {"series_set_status_classes", as_method(&series_set_status_classes),
     METH_FASTCALL | METH_KEYWORDS,
     "series_set_status_classes(on)\n--\n\n"
     "Counts the series by status class (2xx, 4xx, ...) instead of the exact status, in this\n"
     "process from now on; the request store keeps the exact status."},
    {"series_observe", as_method(&series_observe), METH_FASTCALL | METH_KEYWORDS,
     "series_observe(method, route, status_code, duration_ms)\n--\n\n"
     "Counts one request into the series of (method, route, status_code) only. Methods are\n"
     "cut to 32 characters and routes to 256; lone surrogates become U+FFFD."},
    {"series_set_limit", as_method(&series_set_limit), METH_FASTCALL | METH_KEYWORDS,
     "series_set_limit(n)\n--\n\n"
     "Sets how many distinct (method, route, status) keys this process keeps; requests with\n"
     "further keys count under the overflow series. Clamped to 100000. A worker's file keeps\n"
     "the limit in force when it was created."},
    {"series_set_duration_bounds", &series_set_duration_bounds, METH_O,
     "series_set_duration_bounds(bounds)\n--\n\n"
     "Sets the duration histogram's finite upper bounds in seconds (1 to 13, positive,\n"
     "ascending), before this process counts its first request; ValueError otherwise."},
    {"series_get_duration_bounds", &series_get_duration_bounds, METH_NOARGS,
     "series_get_duration_bounds()\n--\n\n"
     "The duration histogram's finite upper bounds in force, in seconds."},
    {"series_get_limit", &series_get_limit, METH_NOARGS,
     "series_get_limit()\n--\n\n"
     "The limit on distinct keys: 1000 unless set, or given by VTR_SERIES_LIMIT."},
    {"series_set_methods", as_method(&series_set_methods), METH_FASTCALL | METH_KEYWORDS,
     "series_set_methods(methods)\n--\n\n"
     "Sets the methods besides GET, HEAD, POST, PUT, DELETE, CONNECT, OPTIONS, TRACE and PATCH\n"
     "that keep their own method label in the series (a list or tuple of at most 64 str of 1 to\n"
     "32 characters); requests with any other method are counted under the method OTHER."},
    {"series_get_methods", &series_get_methods, METH_NOARGS,
     "series_get_methods()\n--\n\n"
     "The extra methods that keep their own label, as a tuple."},
    {"series_clear", &series_clear, METH_NOARGS,
     "series_clear()\n--\n\n"
     "Empties this process's own table of series (never a file): for tests and manual resets.\n"
     "The in-progress gauges stay."},
    {"series_text", &series_text, METH_NOARGS,
     "series_text()\n--\n\n"
     "The per-route families and the standard process families in the Prometheus text\n"
     "format, to serve after metrics_text()."},
    {"series_snapshot", &series_snapshot, METH_NOARGS,
     "series_snapshot()\n--\n\n"
     "The series that series_text() shows, as (series, in_progress, overflow, bounds): a list\n"
     "of (method, route, status, count, sum_us, buckets) sorted by method, route and status (the\n"
     "overflow series has method 'OTHER', route '<overflow>' and status None), a dict of\n"
     "requests in progress by method class, the requests counted under the overflow series, and\n"
     "the duration buckets' finite upper bounds in seconds (one fewer than each series' buckets)."},
    {"series_read_dir", as_method(&series_read_dir), METH_FASTCALL | METH_KEYWORDS,
     "series_read_dir(directory)\n--\n\n"
     "The merged series of a shard directory, in series_snapshot()'s shape, without changing\n"
     "anything in it."},
    {"series_fold", as_method(&series_fold), METH_FASTCALL | METH_KEYWORDS,
     "series_fold(directory, pid)\n--\n\n"
     "Folds the dead worker pid's series file into the directory's archive now and deletes\n"
     "it: True when done, False when there is no such file or it cannot be done now (a later\n"
     "merge does it). ValueError when the process is alive."},
    {"series_failure", &series_failure, METH_NOARGS,
     "series_failure()\n--\n\n"
     "Why this worker's series stay in its own memory while multi-worker mode is on: a tuple\n"
     "(step, errno, directory), errno 0 where the step has none; None otherwise."},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace vantorel::binding
