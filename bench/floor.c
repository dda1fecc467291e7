/* The floor for a per-request call: a C builtin with the calling convention of record_request
 * (METH_FASTCALL | METH_KEYWORDS) that takes the same four arguments and does nothing with them. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

static PyObject* noop4(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  (void)self;
  (void)args;
  if (nargs != 4 || kwnames != NULL) {
    PyErr_SetString(PyExc_TypeError, "noop4() takes 4 positional arguments");
    return NULL;
  }
  Py_RETURN_NONE;
}

static PyMethodDef METHODS[] = {
    {"noop4", (PyCFunction)(void (*)(void))noop4, METH_FASTCALL | METH_KEYWORDS, NULL},
    {NULL, NULL, 0, NULL}};

static struct PyModuleDef MODULE = {PyModuleDef_HEAD_INIT, "_floor", NULL, -1, METHODS,
                                    NULL, NULL, NULL, NULL};

PyMODINIT_FUNC PyInit__floor(void) { return PyModule_Create(&MODULE); }
