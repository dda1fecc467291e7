#include "binding/boundary.h"

#include <cstdio>
#include <cstdlib>

namespace vantorel::binding {
namespace {

PyObject* PANIC_EXCEPTION = nullptr;

[[noreturn]] void abort_at_boundary() {
  std::fputs("uncaught panic at ffi boundary\n", stderr);
  std::abort();
}

}  // namespace

PyObject* panic_exception() { return PANIC_EXCEPTION; }

bool create_panic_exception() {
  if (PANIC_EXCEPTION != nullptr) return true;
  PANIC_EXCEPTION = PyErr_NewExceptionWithDoc(
      "vantorel._core.PanicException",
      "An unexpected internal failure inside the native core. Derived from BaseException, so that\n"
      "`except Exception` handlers let it through.",
      PyExc_BaseException, nullptr);
  return PANIC_EXCEPTION != nullptr;
}

void raise_panic(const char* message) noexcept {
  if (PANIC_EXCEPTION == nullptr) abort_at_boundary();
  PyErr_SetString(PANIC_EXCEPTION, message != nullptr && *message != '\0'
                                       ? message
                                       : "internal failure in the native core");
  if (PyErr_Occurred() == nullptr) abort_at_boundary();
}

}  // namespace vantorel::binding
