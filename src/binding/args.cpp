#include "binding/args.h"

#include <string>

#include "binding/texts.h"

namespace vantorel::binding {
namespace {

// The pending exception, normalised, as one object (the interpreter's own representation since
// 3.12); restore() puts it back.
PyRef take_exception() {
#if PY_VERSION_HEX >= 0x030C0000
  return PyRef::steal(PyErr_GetRaisedException());
#else
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  return PyRef::steal(value);
#endif
}

void restore(PyRef exception) {
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(exception.release());
#else
  PyObject* value = exception.release();
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(value));
  Py_INCREF(type);
  PyErr_Restore(type, value, PyException_GetTraceback(value));
#endif
}

// A conversion failed: an error that is exactly TypeError is replaced by "argument '<name>': "
// plus its text, keeping its cause. Other errors (OverflowError, UnicodeEncodeError) pass as they
// are.
void name_argument(const char* name) {
  PyRef error = take_exception();
  if (!error) return;
  if (Py_TYPE(error.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
    restore(std::move(error));
    return;
  }
  PyRef text = PyRef::steal(PyObject_Str(error.get()));
  if (!text) return;
  PyRef message = PyRef::steal(PyUnicode_FromFormat(texts::ARGUMENT_NAMED, name, text.get()));
  if (!message) return;
  PyRef renamed =
      PyRef::steal(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
  if (!renamed) return;
  PyException_SetCause(renamed.get(), PyException_GetCause(error.get()));  // steals the cause
  PyErr_SetObject(PyExc_TypeError, renamed.get());
}

std::string quoted_list(const std::string* names, std::size_t count) {
  std::string out;
  for (std::size_t i = 0; i < count; ++i) {
    if (i > 0) out += count == 2 ? " and " : (i + 1 == count ? ", and " : ", ");
    out += '\'';
    out += names[i];
    out += '\'';
  }
  return out;
}

constexpr std::size_t MAX_PARAMS = 8;

}  // namespace

bool bind_other(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                PyObject** slots) {
  const std::size_t total = sig.params.size();
  const auto given = static_cast<std::size_t>(nargs);
  if (given > total) {
    if (sig.required == total) {
      PyErr_Format(PyExc_TypeError, texts::TOO_MANY_POSITIONAL, sig.name, total, given,
                   given == 1 ? "was" : "were");
    } else {
      PyErr_Format(PyExc_TypeError, texts::TOO_MANY_POSITIONAL_RANGE, sig.name, sig.required, total,
                   given, given == 1 ? "was" : "were");
    }
    return false;
  }
  for (std::size_t i = 0; i < total; ++i) slots[i] = i < given ? args[i] : nullptr;

  const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < keywords; ++k) {
    PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
    std::size_t index = total;
    for (std::size_t i = 0; i < total; ++i) {
      if (PyUnicode_CompareWithASCIIString(keyword, sig.params[i]) == 0) {
        index = i;
        break;
      }
    }
    if (index == total) {
      PyErr_Format(PyExc_TypeError, texts::UNEXPECTED_KEYWORD, sig.name, keyword);
      return false;
    }
    if (slots[index] != nullptr) {
      PyErr_Format(PyExc_TypeError, texts::MULTIPLE_VALUES, sig.name, keyword);
      return false;
    }
    slots[index] = args[nargs + k];
  }

  std::string missing[MAX_PARAMS];
  std::size_t count = 0;
  for (std::size_t i = 0; i < sig.required && i < MAX_PARAMS; ++i) {
    if (slots[i] == nullptr) missing[count++] = sig.params[i];
  }
  if (count > 0) {
    PyErr_Format(PyExc_TypeError, texts::MISSING_POSITIONAL, sig.name, count, count == 1 ? "" : "s",
                 quoted_list(missing, count).c_str());
    return false;
  }
  return true;
}

std::optional<std::string> directory_argument(const char* function, PyObject* const* args,
                                              Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* PARAMS[] = {"directory"};
  const Signature signature{function, PARAMS, 1};
  PyObject* slot[1];
  if (!bind(signature, args, nargs, kwnames, slot)) return std::nullopt;
  auto directory = to_text(slot[0], "directory");
  if (!directory) return std::nullopt;
  return std::string(*directory);
}

std::optional<std::vector<double>> to_floats(PyObject* obj, const char* name) {
  if (!PyList_Check(obj) && !PyTuple_Check(obj)) {
    PyErr_Format(PyExc_TypeError, texts::NOT_FLOATS, name);
    return std::nullopt;
  }
  PyRef items = PyRef::steal(PySequence_Fast(obj, "expected a sequence"));
  if (!items) return std::nullopt;
  std::vector<double> values;
  for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.get()); ++i) {
    auto value = to_f64(PySequence_Fast_GET_ITEM(items.get(), i), name);
    if (!value) return std::nullopt;
    values.push_back(*value);
  }
  return values;
}

std::optional<std::string_view> to_text(PyObject* obj, const char* name) {
  if (!PyUnicode_Check(obj)) {
    PyRef qualname = PyRef::steal(
        PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__"));
    if (qualname && PyUnicode_Check(qualname.get())) {
      PyErr_Format(PyExc_TypeError, texts::NOT_TEXT, qualname.get());
    } else {
      PyErr_Clear();
      PyErr_Format(PyExc_TypeError, texts::NOT_TEXT_UNNAMED, Py_TYPE(obj)->tp_name);
    }
    name_argument(name);
    return std::nullopt;
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
  if (data == nullptr) {
    name_argument(name);  // UnicodeEncodeError for lone surrogates passes unchanged
    return std::nullopt;
  }
  return std::string_view(data, static_cast<std::size_t>(size));
}

std::optional<std::uint16_t> to_u16(PyObject* obj, const char* name) {
  long long value;
  if (PyLong_Check(obj)) {
    value = PyLong_AsLongLong(obj);
  } else {
    // Only __index__: a float is refused on every interpreter version alike.
    PyRef index = PyRef::steal(PyNumber_Index(obj));
    if (!index) {
      name_argument(name);
      return std::nullopt;
    }
    value = PyLong_AsLongLong(index.get());
  }
  if (value == -1 && PyErr_Occurred() != nullptr) {
    name_argument(name);
    return std::nullopt;
  }
  if (value < 0 || value > 65535) {
    PyErr_SetString(PyExc_OverflowError, texts::OUT_OF_RANGE);
    return std::nullopt;
  }
  return static_cast<std::uint16_t>(value);
}

std::optional<std::uint64_t> to_u64(PyObject* obj, const char* name) {
  PyRef index;
  if (!PyLong_Check(obj)) {
    index = PyRef::steal(PyNumber_Index(obj));
    if (!index) {
      name_argument(name);
      return std::nullopt;
    }
    obj = index.get();
  }
  const unsigned long long value = PyLong_AsUnsignedLongLong(obj);
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) {
    name_argument(name);
    return std::nullopt;
  }
  return static_cast<std::uint64_t>(value);
}

std::optional<double> to_f64(PyObject* obj, const char* name) {
  if (PyFloat_Check(obj)) return PyFloat_AS_DOUBLE(obj);
  double value = PyFloat_AsDouble(obj);
#ifdef PYPY_VERSION
  // PyPy's float conversion ignores __index__; CPython's uses it when there is no __float__ (and
  // only then: a __float__ that raises is the answer).
  if (value == -1.0 && PyErr_Occurred() != nullptr && PyIndex_Check(obj) &&
      PyErr_ExceptionMatches(PyExc_TypeError) &&
      !PyObject_HasAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__float__")) {
    PyErr_Clear();
    PyRef index = PyRef::steal(PyNumber_Index(obj));
    value = index ? PyLong_AsDouble(index.get()) : -1.0;
  }
#endif
  if (value == -1.0 && PyErr_Occurred() != nullptr) {
    name_argument(name);
    return std::nullopt;
  }
  return value;
}

std::optional<std::optional<std::string_view>> to_optional_text(PyObject* obj, const char* name) {
  if (obj == nullptr || obj == Py_None) return std::optional<std::string_view>{};
  auto text = to_text(obj, name);
  if (!text) return std::nullopt;
  return std::optional<std::string_view>{*text};
}

std::optional<std::optional<double>> to_optional_f64(PyObject* obj, const char* name) {
  if (obj == nullptr || obj == Py_None) return std::optional<double>{};
  auto value = to_f64(obj, name);
  if (!value) return std::nullopt;
  return std::optional<double>{*value};
}

}  // namespace vantorel::binding
