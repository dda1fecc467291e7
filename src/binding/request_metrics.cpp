// record_request() and the other request-store functions, and the RequestMetric class.
#include "core/request_metrics.h"

#include "binding/args.h"
#include "binding/boundary.h"
#include "binding/entries.h"
#include "binding/record_type.h"
#include "binding/request_args.h"
#include "binding/texts.h"
#include "core/numfmt.h"
#include "core/request.h"

namespace vantorel::binding {
namespace {

using request_metrics::RequestMetric;
using Metric = RecordType<RequestMetric>;

constexpr Field<RequestMetric> METRIC_FIELDS[] = {
    {"method", [](const RequestMetric& r) { return to_py(r.method); }},
    {"path", [](const RequestMetric& r) { return to_py(r.path); }},
    {"status_code", [](const RequestMetric& r) { return to_py(r.status_code); }},
    {"duration_ms", [](const RequestMetric& r) { return to_py(r.duration_ms); }},
    {"timestamp", [](const RequestMetric& r) { return to_py(r.timestamp); }},
};

std::string describe_metric(const RequestMetric& r) {
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

constexpr RecordSpec<RequestMetric> METRIC_SPEC{"RequestMetric", texts::REQUEST_METRIC_DOC,
                                                METRIC_FIELDS, &describe_metric};

constexpr const char* RECORD_PARAMS[] = {"method", "path", "status_code", "duration_ms"};
constexpr Signature RECORD_SIGNATURE{"record_request", RECORD_PARAMS, 4};

constexpr RequestLayout RECORD_LAYOUT{.method = 0, .path = 1, .status = 2, .duration = 3};

PyObject* record_request(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* slot[4];
    if (!bind(RECORD_SIGNATURE, args, nargs, kwnames, slot)) return nullptr;
    RequestArgs r;
    if (!r.read(RECORD_LAYOUT, slot)) return nullptr;
    request::record(r.method, r.path, r.status_code, r.duration_ms);
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

constexpr const char* MAX_REQUESTS_PARAMS[] = {"max"};
constexpr Signature SET_MAX_SIGNATURE{"set_max_requests", MAX_REQUESTS_PARAMS, 1};

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

PyTypeObject* make_request_metric_type(PyObject* module) {
  return Metric::create(module, METRIC_SPEC);
}

}  // namespace vantorel::binding
