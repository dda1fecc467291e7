// record_request() and the other request-store functions, and the RequestMetric class.
#include "core/request_metrics.h"

#include "binding/args.h"
#include "binding/boundary.h"
#include "binding/entries.h"
#include "binding/record_type.h"
#include "core/numfmt.h"
#include "core/texts.h"

namespace vantorel::binding {
namespace {

using request_metrics::RequestMetric;
using Metric = RecordType<RequestMetric>;

constexpr Field<RequestMetric> FIELDS[] = {
    {"method", [](const RequestMetric& r) { return to_py(r.method); }},
    {"path", [](const RequestMetric& r) { return to_py(r.path); }},
    {"status_code", [](const RequestMetric& r) { return to_py(r.status_code); }},
    {"duration_ms", [](const RequestMetric& r) { return to_py(r.duration_ms); }},
    {"timestamp", [](const RequestMetric& r) { return to_py(r.timestamp); }},
};

std::string describe(const RequestMetric& r) {
  std::string out = "RequestMetric(";
  out += r.method;
  out += ' ';
  out += r.path;
  out += ' ';
  numfmt::append_uint(out, r.status_code);
  out += ' ';
  numfmt::append_fixed(out, r.duration_ms, 2);
  out += "ms)";
  return out;
}

constexpr RecordSpec<RequestMetric> SPEC{"RequestMetric", texts::REQUEST_METRIC_DOC, FIELDS,
                                         &describe};

constexpr const char* RECORD_PARAMS[] = {"method", "path", "status_code", "duration_ms"};
constexpr Signature RECORD_SIGNATURE{"record_request", RECORD_PARAMS, 4};

// An exact str of ASCII characters is its own UTF-8: its text, read in place. (PyPy fills these
// fields in when it hands a str to C; should it ever not have, the general converter reads it.)
bool plain_text(PyObject* obj, std::string_view& text) {
  if (!PyUnicode_CheckExact(obj)) return false;
#ifdef PYPY_VERSION
  if (!PyUnicode_IS_READY(obj)) return false;
#endif
  if (!PyUnicode_IS_COMPACT_ASCII(obj)) return false;
  text = std::string_view(static_cast<const char*>(PyUnicode_DATA(obj)),
                          static_cast<std::size_t>(PyUnicode_GET_LENGTH(obj)));
  return true;
}

// An exact int from 0 to 65535.
bool plain_status(PyObject* obj, std::uint16_t& status) {
  if (!PyLong_CheckExact(obj)) return false;
#if defined(PYPY_VERSION)
  // PyPy keeps no digits in the object. Of its conversions this is the cheapest by far (a third
  // of PyLong_AsLongLong); on overflow the general converter raises the interpreter's own error.
  const Py_ssize_t value = PyLong_AsSsize_t(obj);
  if (value == -1 && PyErr_Occurred() != nullptr) {
    PyErr_Clear();
    return false;
  }
#elif PY_VERSION_HEX >= 0x030C0000
  auto* number = reinterpret_cast<PyLongObject*>(obj);
  if (!PyUnstable_Long_IsCompact(number)) return false;
  const Py_ssize_t value = PyUnstable_Long_CompactValue(number);
#else
  // Read from the object itself: such a value is one digit of its representation (30 bits), or
  // none for 0.
  const Py_ssize_t digits = Py_SIZE(obj);
  if (digits != 0 && digits != 1) return false;
  const Py_ssize_t value =
      digits == 0 ? 0 : static_cast<Py_ssize_t>(reinterpret_cast<PyLongObject*>(obj)->ob_digit[0]);
#endif
  if (value < 0 || value > 65535) return false;
  status = static_cast<std::uint16_t>(value);
  return true;
}

// An exact float. PyPy's PyFloat_AS_DOUBLE is a function call, but it fills in the field as
// CPython does.
bool plain_duration(PyObject* obj, double& duration) {
  if (!PyFloat_CheckExact(obj)) return false;
  duration = reinterpret_cast<PyFloatObject*>(obj)->ob_fval;
  return true;
}

// The middleware's arguments: the exact types str, str, int and float, the texts ASCII. These are
// read in place; any others take the general converters, which give the same values and own
// every error message.
bool record_plain(PyObject* const* slot) {
  std::string_view method, path;
  std::uint16_t status_code = 0;
  double duration_ms = 0.0;
  if (!plain_text(slot[0], method) || !plain_text(slot[1], path) ||
      !plain_status(slot[2], status_code) || !plain_duration(slot[3], duration_ms)) {
    return false;
  }
  request_metrics::record(method, path, status_code, duration_ms);
  return true;
}

PyObject* record_request(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* slot[4];
    if (!bind(RECORD_SIGNATURE, args, nargs, kwnames, slot)) return nullptr;
    if (record_plain(slot)) return none();
    auto method = to_text(slot[0], "method");
    if (!method) return nullptr;
    auto path = to_text(slot[1], "path");
    if (!path) return nullptr;
    auto status_code = to_u16(slot[2], "status_code");
    if (!status_code) return nullptr;
    auto duration_ms = to_f64(slot[3], "duration_ms");
    if (!duration_ms) return nullptr;
    request_metrics::record(*method, *path, *status_code, *duration_ms);
    return none();
  });
}

PyObject* get_requests(PyObject*, PyObject*) {
  return guarded([]() -> PyObject* {
    std::vector<RequestMetric> records = request_metrics::get_all();
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(records.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < records.size(); ++i) {
      PyObject* item = Metric::wrap(std::move(records[i]));
      if (item == nullptr) return nullptr;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
  });
}

PyObject* clear_requests(PyObject*, PyObject*) {
  return guarded([]() -> PyObject* {
    request_metrics::clear();
    return none();
  });
}

constexpr const char* MAX_PARAMS[] = {"max"};
constexpr Signature SET_MAX_SIGNATURE{"set_max_requests", MAX_PARAMS, 1};

PyObject* set_max_requests(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* slot[1];
    if (!bind(SET_MAX_SIGNATURE, args, nargs, kwnames, slot)) return nullptr;
    auto max = to_u64(slot[0], "max");
    if (!max) return nullptr;
    request_metrics::set_max_requests(*max);
    return none();
  });
}

PyObject* get_max_requests(PyObject*, PyObject*) {
  return guarded([] { return to_py(request_metrics::max_requests()); });
}

}  // namespace

PyMethodDef RECORD_REQUEST = {
    "record_request", as_method(&record_request), METH_FASTCALL | METH_KEYWORDS,
    "record_request(method, path, status_code, duration_ms)\n--\n\n"
    "Records a request. Called by the Python middleware on every request."};
PyMethodDef GET_REQUESTS = {"get_requests", &get_requests, METH_NOARGS,
                            "get_requests()\n--\n\nReturns all recorded metrics as a Python list."};
PyMethodDef CLEAR_REQUESTS = {
    "clear_requests", &clear_requests, METH_NOARGS,
    "clear_requests()\n--\n\nClears the store \u2014 for tests and manual resets."};
PyMethodDef SET_MAX_REQUESTS = {
    "set_max_requests", as_method(&set_max_requests), METH_FASTCALL | METH_KEYWORDS,
    "set_max_requests(max)\n--\n\n"
    "Sets the maximum number of requests retained in the ring buffer.\n"
    "Once exceeded, the oldest entries are evicted first. Values < 1 clamp to 1."};
PyMethodDef GET_MAX_REQUESTS = {
    "get_max_requests", &get_max_requests, METH_NOARGS,
    "get_max_requests()\n--\n\nReturns the current retention capacity of the request store."};

PyTypeObject* make_request_metric_type(PyObject* module) { return Metric::create(module, SPEC); }

}  // namespace vantorel::binding
