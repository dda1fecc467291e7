// set_multiproc_dir(), get_multiproc_dir() and multiproc_enabled().
#include "core/multiproc.h"

#include "binding/args.h"
#include "binding/boundary.h"
#include "binding/entries.h"

namespace vantorel::binding {
namespace {

constexpr const char* SET_DIR_PARAMS[] = {"dir"};
constexpr Signature SET_DIR_SIGNATURE{"set_multiproc_dir", SET_DIR_PARAMS, 0};

PyObject* set_multiproc_dir(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* slot[1];
    if (!bind(SET_DIR_SIGNATURE, args, nargs, kwnames, slot)) return nullptr;
    auto directory = to_optional_text(slot[0], "dir");
    if (!directory) return nullptr;
    multiproc::set_dir(*directory);
    return none();
  });
}

PyObject* get_multiproc_dir(PyObject*, PyObject*) {
  return guarded([]() -> PyObject* {
    std::optional<std::string> directory = multiproc::dir();
    return directory ? to_py(std::string_view(*directory)) : none();
  });
}

PyObject* multiproc_enabled(PyObject*, PyObject*) {
  return guarded([] { return PyBool_FromLong(multiproc::dir().has_value() ? 1 : 0); });
}

}  // namespace

PyMethodDef SET_MULTIPROC_DIR = {
    "set_multiproc_dir", as_method(&set_multiproc_dir), METH_FASTCALL | METH_KEYWORDS,
    "set_multiproc_dir(dir=None)\n--\n\n"
    "Enables shared multi-worker aggregation, writing this process's shard into\n"
    "`dir`. Pass `None` to disable. Usually configured via the\n"
    "`VTR_MULTIPROC_DIR` environment variable instead."};
PyMethodDef GET_MULTIPROC_DIR = {
    "get_multiproc_dir", &get_multiproc_dir, METH_NOARGS,
    "get_multiproc_dir()\n--\n\nReturns the active multiproc directory, or `None` when disabled."};
PyMethodDef MULTIPROC_ENABLED = {
    "multiproc_enabled", &multiproc_enabled, METH_NOARGS,
    "multiproc_enabled()\n--\n\nTrue when multi-worker aggregation is active."};

}  // namespace vantorel::binding
