// The per-request calls' plain arguments, read in place: an exact str of ASCII characters, an
// exact int from 0 to 65535, an exact float. Any other argument takes the general converters of
// args.h, which give the same values and own every error message.
#pragma once

#include <cstdint>
#include <string_view>

#include "binding/py.h"

namespace vantorel::binding {

// An exact str of ASCII characters is its own UTF-8: its text, read in place. (PyPy fills these
// fields in when it hands a str to C; should it ever not have, the general converter reads it.)
inline bool plain_text(PyObject* obj, std::string_view& text) {
  if (!PyUnicode_CheckExact(obj)) return false;
#ifdef PYPY_VERSION
  if (!PyUnicode_IS_READY(obj)) return false;
#endif
  if (!PyUnicode_IS_COMPACT_ASCII(obj)) return false;
  text = std::string_view(static_cast<const char*>(PyUnicode_DATA(obj)),
                          static_cast<std::size_t>(PyUnicode_GET_LENGTH(obj)));
  return true;
}

// An exact int from 0 to 65535.
inline bool plain_status(PyObject* obj, std::uint16_t& status) {
  if (!PyLong_CheckExact(obj)) return false;
#if defined(PYPY_VERSION)
  // PyPy keeps no digits in the object. Of its conversions this is the cheapest by far (a third
  // of PyLong_AsLongLong); on overflow the general converter raises the interpreter's own error.
  const Py_ssize_t value = PyLong_AsSsize_t(obj);
  if (value == -1 && PyErr_Occurred() != nullptr) {
    PyErr_Clear();
    return false;
  }
#elif PY_VERSION_HEX >= 0x030C0000
  auto* number = reinterpret_cast<PyLongObject*>(obj);
  if (!PyUnstable_Long_IsCompact(number)) return false;
  const Py_ssize_t value = PyUnstable_Long_CompactValue(number);
#else
  // Read from the object itself: such a value is one digit of its representation (30 bits), or
  // none for 0.
  const Py_ssize_t digits = Py_SIZE(obj);
  if (digits != 0 && digits != 1) return false;
  const Py_ssize_t value =
      digits == 0 ? 0 : static_cast<Py_ssize_t>(reinterpret_cast<PyLongObject*>(obj)->ob_digit[0]);
#endif
  if (value < 0 || value > 65535) return false;
  status = static_cast<std::uint16_t>(value);
  return true;
}

// An exact float. PyPy's PyFloat_AS_DOUBLE is a function call, but it fills in the field as
// CPython does.
inline bool plain_duration(PyObject* obj, double& duration) {
  if (!PyFloat_CheckExact(obj)) return false;
  duration = reinterpret_cast<PyFloatObject*>(obj)->ob_fval;
  return true;
}

}  // namespace vantorel::binding
