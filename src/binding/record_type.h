// The Python classes that wrap one core record each (RequestMetric, AggregatedMetrics, Snapshot).
// One field table drives the read-only properties and to_dict(), so no field is missed. Instances
// are made only by the module's functions: no constructor, not subclassable, no __dict__.
#pragma once

#include <cstring>
#include <new>
#include <span>
#include <string>
#include <vector>

#include "binding/boundary.h"
#include "binding/py.h"
#include "binding/texts.h"

namespace vantorel::binding {

template <class Record>
struct Field {
  const char* name;
  PyObject* (*get)(const Record&);
  bool in_dict = true;  // derived properties stay out of to_dict()
};

template <class Record>
struct RecordSpec {
  const char* name;  // the bare class name
  const char* doc;   // nullptr: no class docstring
  std::span<const Field<Record>> fields;
  std::string (*repr)(const Record&);
};

// Builds the type for a class: a heap type on CPython, a static one on PyPy (see record_type.cpp).
// Shared by every RecordType so that the interpreter-specific details live in one place. `slots`
// must end with {0, nullptr}.
PyTypeObject* make_record_type(PyObject* module, const char* name, int basicsize,
                               PyType_Slot* slots);

template <class Record>
class RecordType {
 public:
  static PyTypeObject* create(PyObject* module, const RecordSpec<Record>& spec) {
    SPEC = &spec;
    // Kept for the life of the process: the type points into these tables.
    auto* getset = new std::vector<PyGetSetDef>();
    auto* keys = new std::vector<PyObject*>();
    for (const Field<Record>& field : spec.fields) {
      getset->push_back({field.name, &get_field, nullptr, nullptr,
                         const_cast<void*>(static_cast<const void*>(&field))});
      PyObject* key = PyUnicode_InternFromString(field.name);
      if (key == nullptr) return nullptr;
      keys->push_back(key);
    }
    getset->push_back({nullptr, nullptr, nullptr, nullptr, nullptr});
    KEYS = keys;
    static PyMethodDef methods[] = {
        {"to_dict", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&to_dict)),
         METH_NOARGS, "to_dict($self)\n--\n\n"},
        {nullptr, nullptr, 0, nullptr}};
    std::vector<PyType_Slot> slots{
        {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc)},
        {Py_tp_repr, reinterpret_cast<void*>(&repr)},
        {Py_tp_getset, getset->data()},
        {Py_tp_methods, methods},
        {Py_tp_new, reinterpret_cast<void*>(&no_constructor)},
    };
    if (spec.doc != nullptr) slots.push_back({Py_tp_doc, const_cast<char*>(spec.doc)});
    slots.push_back({0, nullptr});
    TYPE = make_record_type(module, spec.name, static_cast<int>(sizeof(Object)), slots.data());
    return TYPE;
  }

  // A new instance holding `value`; nullptr with an exception set if it cannot be created.
  static PyObject* wrap(Record&& value) {
#ifdef PYPY_VERSION
    PyObject* self = TYPE->tp_alloc(TYPE, 0);  // PyType_GetSlot refuses a static type
#else
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(TYPE, Py_tp_alloc));
    PyObject* self = alloc(TYPE, 0);
#endif
    if (self == nullptr) return nullptr;
    auto* object = reinterpret_cast<Object*>(self);
    new (&object->value) Record(std::move(value));
    object->built = true;
    return self;
  }

 private:
  struct Object {
    PyObject_HEAD
    Record value;
    // Set once `value` is constructed. PyPy's object.__new__ ignores tp_new and hands out
    // zero-filled instances whose record was never built; in those it stays false.
    bool built;
  };

  // The record of `self`, or nullptr with TypeError set. CPython's descriptors check the type of
  // `self` before calling us; PyPy's __repr__ wrapper does not, so `RequestMetric.__repr__(x)` can
  // arrive with any object at all.
  static const Record* record_of(PyObject* self, const char* member) {
    if (Py_TYPE(self) != TYPE) {
      PyErr_Format(PyExc_TypeError, texts::WRONG_SELF, member, SPEC->name, Py_TYPE(self)->tp_name);
      return nullptr;
    }
    const auto* object = reinterpret_cast<const Object*>(self);
    if (!object->built) {
      PyErr_Format(PyExc_TypeError, texts::NO_CONSTRUCTOR, SPEC->name);
      return nullptr;
    }
    return &object->value;
  }

  static PyObject* get_field(PyObject* self, void* closure) {
    return guarded([&]() -> PyObject* {
      const auto* field = static_cast<const Field<Record>*>(closure);
      const Record* record = record_of(self, field->name);
      return record != nullptr ? field->get(*record) : nullptr;
    });
  }

  static PyObject* to_dict(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
      const Record* record = record_of(self, "to_dict");
      if (record == nullptr) return nullptr;
      PyRef dict = PyRef::steal(PyDict_New());
      if (!dict) return nullptr;
      for (std::size_t i = 0; i < SPEC->fields.size(); ++i) {
        const Field<Record>& field = SPEC->fields[i];
        if (!field.in_dict) continue;
        PyRef item = PyRef::steal(field.get(*record));
        if (!item || PyDict_SetItem(dict.get(), (*KEYS)[i], item.get()) < 0) return nullptr;
      }
      return dict.release();
    });
  }

  static PyObject* repr(PyObject* self) {
    return guarded([&]() -> PyObject* {
      const Record* record = record_of(self, "__repr__");
      return record != nullptr ? to_py(SPEC->repr(*record)) : nullptr;
    });
  }

  static PyObject* no_constructor(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_Format(PyExc_TypeError, texts::NO_CONSTRUCTOR, SPEC->name);
    return nullptr;
  }

  static void dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    auto* object = reinterpret_cast<Object*>(self);
    if (object->built) object->value.~Record();
#ifdef PYPY_VERSION
    type->tp_free(self);  // the instance of a static type holds no reference to it
#else
    auto free_memory = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_memory(self);
    Py_DECREF(type);
#endif
  }

  static inline PyTypeObject* TYPE = nullptr;
  static inline const RecordSpec<Record>* SPEC = nullptr;
  static inline const std::vector<PyObject*>* KEYS = nullptr;
};

}  // namespace vantorel::binding
