#include "binding/record_type.h"

#include <cstring>
#include <iterator>
#include <string>
#include <vector>

namespace vantorel::binding {
namespace {

#ifdef PYPY_VERSION
// Says what CPython says about an instance's attributes, naming the bare class; PyPy would name
// it with its module (see no_attribute below).
int refuse_setattr(PyObject* self, PyObject* name, PyObject* value) {
  // The interpreter refuses a new __class__ itself, with the TypeError that CPython raises.
  if (PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, "__class__") == 0) {
    if (value != nullptr) return PyObject_GenericSetAttr(self, name, value);
    PyErr_SetString(PyExc_TypeError, "can't delete __class__ attribute");
    return -1;
  }
  PyTypeObject* type = Py_TYPE(self);
  // Look in the class's namespace without fetching the attribute: fetching a property from the
  // class makes PyPy call its getter without an instance.
  PyRef names = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__dict__"));
  const int found = names ? PySequence_Contains(names.get(), name) : -1;
  if (found < 0) PyErr_Clear();
  if (found == 1) {
    PyErr_Format(PyExc_AttributeError, texts::NOT_WRITABLE, name, type->tp_name);
  } else {
    PyErr_Format(PyExc_AttributeError, texts::NO_ATTRIBUTE, type->tp_name, name);
  }
  return -1;
}

// PyPy lets a class without Py_TPFLAGS_BASETYPE be subclassed; __init_subclass__ refuses it.
PyObject* refuse_subclass(PyObject* cls, PyObject*, PyObject*) {
  PyObject* bases = PyObject_GetAttrString(cls, "__bases__");
  PyObject* base = bases != nullptr && PyTuple_Check(bases) && PyTuple_GET_SIZE(bases) > 0
                       ? PyTuple_GET_ITEM(bases, 0)
                       : cls;
  PyErr_Format(PyExc_TypeError, texts::NOT_A_BASE_TYPE,
               reinterpret_cast<PyTypeObject*>(base)->tp_name);
  Py_XDECREF(bases);
  return nullptr;
}

// PyPy pickles the instance of a C type as an empty object that cannot be loaded again; CPython
// refuses. copy.copy and copy.deepcopy ask the same method, so they refuse too.
PyObject* refuse_pickle(PyObject* self, PyObject*) {
  PyErr_Format(PyExc_TypeError, texts::CANNOT_PICKLE, Py_TYPE(self)->tp_name);
  return nullptr;
}

// The interpreter's own messages name a static type by its dotted name ("'vantorel._core.
// RequestMetric' object has no attribute 'x'"). It calls __getattr__ only after a lookup failed,
// so this costs nothing on the way to a field and says it as CPython does.
PyObject* no_attribute(PyObject* self, PyObject* name) {
  PyErr_Format(PyExc_AttributeError, texts::NO_ATTRIBUTE_REPR, Py_TYPE(self)->tp_name, name);
  return nullptr;
}

PyMethodDef PYPY_METHODS[] = {
    {"__reduce__", &refuse_pickle, METH_NOARGS, nullptr},
    {"__reduce_ex__", &refuse_pickle, METH_O, nullptr},
    {"__getattr__", &no_attribute, METH_O, nullptr},
    {"__init_subclass__",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&refuse_subclass)),
     METH_VARARGS | METH_KEYWORDS | METH_CLASS, nullptr},
    {nullptr, nullptr, 0, nullptr}};

// PyPy takes a type made by PyType_FromSpec for a class written in Python: its attributes can be
// replaced, its instances get a __dict__ and may have their __class__ changed. A statically laid
// out type readied by PyType_Ready is a built-in to PyPy, which refuses all three, once the
// namespace it is readied with holds `__slots__ = ()`. What stays open is PyPy's rule for every
// class an extension defines: a class attribute can be deleted, an instance weakly referenced, and
// the interpreter's own messages (`object of type 'vantorel._core.RequestMetric' has no len()`)
// name the class with its module.
PyTypeObject* make_static_type(const char* qualified, int basicsize, const PyType_Slot* slots) {
  auto* type = new PyTypeObject{};  // lives as long as the process
  Py_SET_REFCNT(type, 1);
  type->tp_name = qualified;  // PyPy derives __module__ from the dotted name
  type->tp_basicsize = basicsize;
  type->tp_flags = Py_TPFLAGS_DEFAULT;
  type->tp_setattro = &refuse_setattr;
  auto* methods = new std::vector<PyMethodDef>();
  for (const PyType_Slot* slot = slots; slot->slot != 0; ++slot) {
    switch (slot->slot) {
      case Py_tp_dealloc:
        type->tp_dealloc = reinterpret_cast<destructor>(slot->pfunc);
        break;
      case Py_tp_repr:
        type->tp_repr = reinterpret_cast<reprfunc>(slot->pfunc);
        break;
      case Py_tp_new:
        type->tp_new = reinterpret_cast<newfunc>(slot->pfunc);
        break;
      case Py_tp_getset:
        type->tp_getset = static_cast<PyGetSetDef*>(slot->pfunc);
        break;
      case Py_tp_doc:
        type->tp_doc = static_cast<const char*>(slot->pfunc);
        break;
      case Py_tp_methods:
        for (auto* method = static_cast<PyMethodDef*>(slot->pfunc); method->ml_name != nullptr;
             ++method) {
          methods->push_back(*method);
        }
        break;
      default:
        PyErr_Format(PyExc_SystemError, "record types take no slot %d", slot->slot);
        return nullptr;
    }
  }
  methods->insert(methods->end(), std::begin(PYPY_METHODS), std::end(PYPY_METHODS));
  type->tp_methods = methods->data();

  PyRef no_slots = PyRef::steal(PyTuple_New(0));
  type->tp_dict = PyDict_New();
  if (!no_slots || type->tp_dict == nullptr ||
      PyDict_SetItemString(type->tp_dict, "__slots__", no_slots.get()) < 0 ||
      PyType_Ready(type) < 0) {
    return nullptr;
  }
  // The layout is settled; CPython's classes show no __slots__ either.
  if (PyObject_DelAttrString(reinterpret_cast<PyObject*>(type), "__slots__") < 0) return nullptr;
  // Instances of a static type hold no reference to it: this one keeps it alive for them.
  Py_INCREF(type);
  return type;
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

#ifdef PYPY_VERSION
  PyTypeObject* type = make_static_type(qualified->c_str(), basicsize, slots);
#else
  unsigned int flags = Py_TPFLAGS_DEFAULT;
#ifdef Py_TPFLAGS_IMMUTABLETYPE
  flags |= Py_TPFLAGS_IMMUTABLETYPE;
#endif
  PyType_Spec spec = {qualified->c_str(), basicsize, 0, flags, slots};
  auto* type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
#endif
  if (type == nullptr) return nullptr;
  // Messages about instances name the bare class, as for the interpreter's own types. Both
  // interpreters took __name__ and __module__ from the dotted name already.
  type->tp_name = std::strrchr(type->tp_name, '.') + 1;
  return type;
}

}  // namespace vantorel::binding
