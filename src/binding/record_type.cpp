#include "binding/record_type.h"

#include <string>

namespace vantorel::binding {
namespace {

#ifdef PYPY_VERSION
// PyPy's C-API layer lets any heap type be subclassed and gives instances of such types a place
// for new attributes. These two hooks refuse both, as the interpreter does elsewhere.
int refuse_setattr(PyObject* self, PyObject* name, PyObject*) {
  PyTypeObject* type = Py_TYPE(self);
  // Look in the class's namespace without fetching the attribute: fetching a property from the
  // class makes PyPy call its getter without an instance.
  PyRef names = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__dict__"));
  const int found = names ? PySequence_Contains(names.get(), name) : -1;
  if (found < 0) PyErr_Clear();
  if (found == 1) {
    PyErr_Format(PyExc_AttributeError, "attribute '%U' of '%s' objects is not writable", name,
                 type->tp_name);
  } else {
    PyErr_Format(PyExc_AttributeError, "'%s' object has no attribute '%U'", type->tp_name, name);
  }
  return -1;
}

PyObject* refuse_subclass(PyObject* cls, PyObject*, PyObject*) {
  PyObject* bases = PyObject_GetAttrString(cls, "__bases__");
  PyObject* base = bases != nullptr && PyTuple_Check(bases) && PyTuple_GET_SIZE(bases) > 0
                       ? PyTuple_GET_ITEM(bases, 0)
                       : cls;
  PyErr_Format(PyExc_TypeError, "type '%s' is not an acceptable base type",
               reinterpret_cast<PyTypeObject*>(base)->tp_name);
  Py_XDECREF(bases);
  return nullptr;
}
#endif

}  // namespace

PyTypeObject* make_record_type(PyObject* module, const char* name, int basicsize,
                               PyType_Slot* slots) {
  PyRef name_of_module = PyRef::steal(module_name(module));
  if (!name_of_module) return nullptr;
  const char* prefix = PyUnicode_AsUTF8(name_of_module.get());
  if (prefix == nullptr) return nullptr;
  // The dotted name gives the class its __module__; the interpreter keeps the pointer, so the
  // text lives as long as the process.
  auto* qualified = new std::string(std::string(prefix) + "." + name);

  std::vector<PyType_Slot> all_slots;
  for (PyType_Slot* slot = slots; slot->slot != 0; ++slot) all_slots.push_back(*slot);
#ifdef PYPY_VERSION
  all_slots.push_back({Py_tp_setattro, reinterpret_cast<void*>(&refuse_setattr)});
#endif
  all_slots.push_back({0, nullptr});

  unsigned int flags = Py_TPFLAGS_DEFAULT;
#ifdef Py_TPFLAGS_IMMUTABLETYPE
  flags |= Py_TPFLAGS_IMMUTABLETYPE;
#endif
  PyType_Spec spec = {qualified->c_str(), basicsize, 0, flags, all_slots.data()};
  auto* type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
  if (type == nullptr) return nullptr;

#ifdef PYPY_VERSION
  static PyMethodDef init_subclass = {
      "__init_subclass__",
      reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&refuse_subclass)),
      METH_VARARGS | METH_KEYWORDS | METH_CLASS, nullptr};
  PyRef method = PyRef::steal(PyDescr_NewClassMethod(type, &init_subclass));
  if (!method || PyDict_SetItemString(type->tp_dict, "__init_subclass__", method.get()) < 0) {
    Py_DECREF(type);
    return nullptr;
  }
  // cpyext gives every heap type a __dict__ and a __weakref__ slot; ours have neither.
  for (const char* slot_name : {"__dict__", "__weakref__"}) {
    if (PyObject_DelAttrString(reinterpret_cast<PyObject*>(type), slot_name) < 0) PyErr_Clear();
  }
  PyType_Modified(type);
#else
  // Messages about instances name the bare class, as for the interpreter's own types.
  type->tp_name = std::strrchr(type->tp_name, '.') + 1;
#endif
  return type;
}

}  // namespace vantorel::binding
