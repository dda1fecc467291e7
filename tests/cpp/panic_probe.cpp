// A test-only extension that drives the module's call boundary (binding/boundary.cpp, compiled in
// unchanged) with C++ failures that the real entry points never meet in normal operation.
#include <stdexcept>

#include "binding/boundary.h"

namespace {

using vantorel::binding::guarded;

PyObject* throw_runtime(PyObject*, PyObject* message) {
  return guarded([&]() -> PyObject* { throw std::runtime_error(PyUnicode_AsUTF8(message)); });
}

PyObject* throw_unknown(PyObject*, PyObject*) {
  return guarded([]() -> PyObject* { throw 42; });
}

PyObject* arm(PyObject*, PyObject*) {
  if (!vantorel::binding::create_panic_exception()) return nullptr;
  PyObject* type = vantorel::binding::panic_exception();
  Py_INCREF(type);
  return type;
}

PyMethodDef METHODS[] = {{"throw_runtime", &throw_runtime, METH_O, nullptr},
                         {"throw_unknown", &throw_unknown, METH_NOARGS, nullptr},
                         {"arm", &arm, METH_NOARGS, nullptr},
                         {nullptr, nullptr, 0, nullptr}};

PyModuleDef MODULE = {
    PyModuleDef_HEAD_INIT, "panic_probe", nullptr, -1, METHODS, nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_panic_probe() { return PyModule_Create(&MODULE); }
