// check_alerts().
#include "core/alerts.h"

#include "binding/args.h"
#include "binding/boundary.h"
#include "binding/entries.h"

namespace vantorel::binding {
namespace {

constexpr const char* PARAMS[] = {"cpu_percent", "memory_rss_mb", "memory_virtual_mb"};
constexpr Signature SIGNATURE{"check_alerts", PARAMS, 0};

PyObject* alert_dict(const alerts::Alert& alert) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  PyRef metric = PyRef::steal(to_py(alert.metric));
  PyRef value = PyRef::steal(to_py(alert.value));
  PyRef threshold = PyRef::steal(to_py(alert.threshold));
  PyRef severity = PyRef::steal(to_py(std::string_view("warning")));
  if (!metric || !value || !threshold || !severity ||
      PyDict_SetItemString(dict.get(), "metric", metric.get()) < 0 ||
      PyDict_SetItemString(dict.get(), "value", value.get()) < 0 ||
      PyDict_SetItemString(dict.get(), "threshold", threshold.get()) < 0 ||
      PyDict_SetItemString(dict.get(), "severity", severity.get()) < 0) {
    return nullptr;
  }
  return dict.release();
}

PyObject* check_alerts(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* slot[3];
    if (!bind(SIGNATURE, args, nargs, kwnames, slot)) return nullptr;
    alerts::Thresholds limits;
    std::optional<double>* targets[] = {&limits.cpu_percent, &limits.memory_rss_mb,
                                        &limits.memory_virtual_mb};
    for (std::size_t i = 0; i < 3; ++i) {
      auto limit = to_optional_f64(slot[i], PARAMS[i]);
      if (!limit) return nullptr;  // no snapshot is taken: the CPU interval stays as it was
      *targets[i] = *limit;
    }
    Result<std::vector<alerts::Alert>> result = alerts::check(limits);
    if (auto* failure = std::get_if<Failure>(&result)) return raise_failure(*failure);
    PyRef list = PyRef::steal(PyList_New(0));
    if (!list) return nullptr;
    for (const alerts::Alert& alert : std::get<std::vector<alerts::Alert>>(result)) {
      PyRef dict = PyRef::steal(alert_dict(alert));
      if (!dict || PyList_Append(list.get(), dict.get()) < 0) return nullptr;
    }
    return list.release();
  });
}

}  // namespace

PyMethodDef CHECK_ALERTS = {
    "check_alerts", as_method(&check_alerts), METH_FASTCALL | METH_KEYWORDS,
    "check_alerts(cpu_percent=None, memory_rss_mb=None, memory_virtual_mb=None)\n--\n\n"
    "`check_alerts(cpu_percent=None, memory_rss_mb=None, memory_virtual_mb=None)`.\n"
    "\n"
    "Collects a snapshot of the current process and returns the alerts that fired\n"
    "as a list of dicts: `{\"metric\", \"value\", \"threshold\", \"severity\"}`. Memory\n"
    "thresholds are in megabytes. `severity` is currently always `\"warning\"`."};

}  // namespace vantorel::binding
