// The binding's one owned-reference type and small conversions to Python objects. Everything in
// src/binding runs with the interpreter lock held and never releases it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <iterator>
#include <string_view>
#include <utility>
#include <vector>

namespace vantorel::binding {

// Owns one reference; null means a Python exception is set.
class PyRef {
 public:
  PyRef() = default;
  static PyRef steal(PyObject* p) noexcept { return PyRef(p); }  // adopts a new reference
  static PyRef borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return PyRef(p);
  }
  PyRef(PyRef&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  PyRef& operator=(PyRef&& o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { Py_XDECREF(p_); }
  PyObject* get() const noexcept { return p_; }
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  explicit PyRef(PyObject* p) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};

// Texts in the core are valid UTF-8: they were encoded from Python str objects.
inline PyObject* to_py(std::string_view text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
}
inline PyObject* to_py(std::uint64_t value) { return PyLong_FromUnsignedLongLong(value); }
inline PyObject* to_py(std::uint32_t value) { return PyLong_FromUnsignedLong(value); }
inline PyObject* to_py(std::uint16_t value) { return PyLong_FromLong(value); }
inline PyObject* to_py(double value) { return PyFloat_FromDouble(value); }

// A new tuple (a list with AsList) of the items, each converted by to_py.
template <bool AsList = false, class Items>
PyObject* sequence_to_py(const Items& items) {
  const auto size = static_cast<Py_ssize_t>(std::size(items));
  PyRef sequence = PyRef::steal(AsList ? PyList_New(size) : PyTuple_New(size));
  if (!sequence) return nullptr;
  Py_ssize_t i = 0;
  for (const auto& item : items) {
    PyObject* value = to_py(item);
    if (value == nullptr) return nullptr;
    if constexpr (AsList) {
      PyList_SET_ITEM(sequence.get(), i++, value);
    } else {
      PyTuple_SET_ITEM(sequence.get(), i++, value);
    }
  }
  return sequence.release();
}

// The module's name as the interpreter reports it ("vantorel._core" when imported through the
// package). PyPy has no PyModule_GetNameObject.
inline PyObject* module_name(PyObject* module) {
  return PyObject_GetAttrString(module, "__name__");
}

// A function of one of the other calling conventions (METH_FASTCALL | METH_KEYWORDS, say) as the
// PyCFunction that PyMethodDef stores; the interpreter calls it back as its flags say.
template <class F>
PyCFunction as_method(F* function) noexcept {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

inline PyObject* none() {
  Py_INCREF(Py_None);
  return Py_None;
}

}  // namespace vantorel::binding
