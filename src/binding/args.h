// Argument matching and conversion for the module's functions. bind() owns every arity and keyword
// message; the to_* converters own the per-argument wording ("argument 'x': ...").
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "binding/py.h"

namespace vantorel::binding {

// A function's Python name and its parameters in signature order; the first `required` of them
// are required, the rest default to None.
struct Signature {
  const char* name;
  std::span<const char* const> params;
  std::size_t required;
};

// Every call but the usual one: keywords, defaults, and the arity and keyword errors.
bool bind_other(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                PyObject** slots);

// Matches a METH_FASTCALL | METH_KEYWORDS call against `sig`, filling `slots` (one per parameter)
// with borrowed references, or nullptr for an optional parameter not given. On a mismatch sets
// TypeError and returns false. The usual call, every parameter by position, is decided here
// inline; record_request() takes it on every request.
inline bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                 PyObject** slots) {
  if (static_cast<std::size_t>(nargs) == sig.params.size() && kwnames == nullptr) {
    for (std::size_t i = 0; i < sig.params.size(); ++i) slots[i] = args[i];
    return true;
  }
  return bind_other(sig, args, nargs, kwnames, slots);
}

std::optional<std::string_view> to_text(PyObject* obj, const char* name);

// The argument of a function whose only parameter is `directory`, `function` naming it in the
// arity and keyword errors.
std::optional<std::string> directory_argument(const char* function, PyObject* const* args,
                                              Py_ssize_t nargs, PyObject* kwnames);
// A list or tuple of numbers, each as to_f64 converts it.
std::optional<std::vector<double>> to_floats(PyObject* obj, const char* name);
std::optional<std::uint16_t> to_u16(PyObject* obj, const char* name);
std::optional<std::uint64_t> to_u64(PyObject* obj, const char* name);
std::optional<double> to_f64(PyObject* obj, const char* name);

// The optional forms: absent or None gives an empty inner value. The outer optional is empty when
// a Python exception was set.
std::optional<std::optional<std::string_view>> to_optional_text(PyObject* obj, const char* name);
std::optional<std::optional<double>> to_optional_f64(PyObject* obj, const char* name);

}  // namespace vantorel::binding
