// The module object: one ordered registration table, from which __all__ follows.
#include "binding/boundary.h"
#include "binding/entries.h"
#include "binding/py.h"
#include "binding/texts.h"

namespace vantorel::binding {
namespace {

PyObject* hello(PyObject*, PyObject*) {
  return guarded([] { return to_py(texts::GREETING); });
}

}  // namespace

bool main_interpreter_only([[maybe_unused]] const char* module) {
#ifndef PYPY_VERSION  // PyPy runs one interpreter per process
  if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
    PyErr_Format(PyExc_ImportError,
                 "%s cannot be imported in a subinterpreter: its state belongs to the whole "
                 "process; import it in the main interpreter only",
                 module);
    return false;
  }
#endif
  return true;
}

PyMethodDef HELLO = {"hello", &hello, METH_NOARGS, "hello()\n--\n\n"};

namespace {

struct Entry {
  const char* name;
  PyMethodDef* function;                   // a function, or
  PyTypeObject* (*make_class)(PyObject*);  // a class, or
  PyObject* (*make_constant)();            // a constant
};

const Entry ENTRIES[] = {
    {"hello", &HELLO, nullptr, nullptr},
    {"snapshot", &SNAPSHOT, nullptr, nullptr},
    {"Snapshot", nullptr, &make_snapshot_type, nullptr},
    {"record_request", &RECORD_REQUEST, nullptr, nullptr},
    {"get_requests", &GET_REQUESTS, nullptr, nullptr},
    {"clear_requests", &CLEAR_REQUESTS, nullptr, nullptr},
    {"set_max_requests", &SET_MAX_REQUESTS, nullptr, nullptr},
    {"get_max_requests", &GET_MAX_REQUESTS, nullptr, nullptr},
    {"RequestMetric", nullptr, &make_request_metric_type, nullptr},
    {"set_multiproc_dir", &SET_MULTIPROC_DIR, nullptr, nullptr},
    {"get_multiproc_dir", &GET_MULTIPROC_DIR, nullptr, nullptr},
    {"multiproc_enabled", &MULTIPROC_ENABLED, nullptr, nullptr},
    {"aggregate", &AGGREGATE, nullptr, nullptr},
    {"AggregatedMetrics", nullptr, &make_aggregated_metrics_type, nullptr},
    {"metrics_text", &METRICS_TEXT, nullptr, nullptr},
    {"PROMETHEUS_CONTENT_TYPE", nullptr, nullptr, &make_content_type},
    {"check_alerts", &CHECK_ALERTS, nullptr, nullptr},
};

PyModuleDef MODULE_DEF = {
    PyModuleDef_HEAD_INIT, "_core", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// The module of this process, once initialisation succeeded. A repeated import gets it back.
PyObject* MODULE = nullptr;

PyObject* make_entry(PyObject* module, PyObject* module_name, const Entry& entry) {
  if (entry.function != nullptr) return PyCFunction_NewEx(entry.function, module, module_name);
  if (entry.make_class != nullptr) {
    PyTypeObject* type = entry.make_class(module);
    return reinterpret_cast<PyObject*>(type);  // the new reference of the type's creation
  }
  return entry.make_constant();
}

PyObject* initialise() {
  PyRef module = PyRef::steal(PyModule_Create(&MODULE_DEF));
  if (!module) return nullptr;
  PyRef name_of_module = PyRef::steal(module_name(module.get()));
  if (!name_of_module || !create_panic_exception()) return nullptr;
  // An empty docstring, not the module type's (PyPy falls back to that one otherwise).
  PyRef doc = PyRef::steal(to_py(std::string_view()));
  if (!doc || PyObject_SetAttrString(module.get(), "__doc__", doc.get()) < 0) return nullptr;
  PyRef all = PyRef::steal(PyList_New(0));
  if (!all || PyModule_AddObject(module.get(), "__all__", all.get()) < 0) return nullptr;
  PyObject* all_names = all.release();  // the module holds it now
  for (const Entry& entry : ENTRIES) {
    PyRef value = PyRef::steal(make_entry(module.get(), name_of_module.get(), entry));
    if (!value) return nullptr;
    PyRef name = PyRef::steal(PyUnicode_InternFromString(entry.name));
    if (!name || PyList_Append(all_names, name.get()) < 0 ||
        PyObject_SetAttr(module.get(), name.get(), value.get()) < 0) {
      return nullptr;
    }
  }
  // Not one of the public entries (it is not in __all__), but reachable for `except` clauses.
  if (PyObject_SetAttrString(module.get(), "PanicException", panic_exception()) < 0) return nullptr;
  if (!PyRef::steal(make_native_module(name_of_module.get()))) return nullptr;
  MODULE = module.get();
  Py_INCREF(MODULE);
  return module.release();
}

}  // namespace
}  // namespace vantorel::binding

// The interpreter looks this name up: it is not ours to choose.
PyMODINIT_FUNC PyInit__core() {  // NOLINT(bugprone-reserved-identifier)
  using namespace vantorel::binding;
  return guarded([]() -> PyObject* {
    if (!main_interpreter_only("vantorel._core")) return nullptr;
    if (MODULE != nullptr) {
      Py_INCREF(MODULE);
      return MODULE;
    }
    return initialise();
  });
}
