#include "binding/boundary.h"

#include <cstdio>
#include <cstdlib>

#include "binding/texts.h"

namespace vantorel::binding {
namespace {

PyObject* PANIC_EXCEPTION = nullptr;

[[noreturn]] void abort_at_boundary() {
  std::fputs(texts::UNCAUGHT_PANIC, stderr);
  std::abort();
}

}  // namespace

PyObject* panic_exception() { return PANIC_EXCEPTION; }

bool create_panic_exception() {
  if (PANIC_EXCEPTION != nullptr) return true;
  PANIC_EXCEPTION = PyErr_NewExceptionWithDoc(
      texts::PANIC_EXCEPTION_NAME, texts::PANIC_EXCEPTION_DOC, PyExc_BaseException, nullptr);
  return PANIC_EXCEPTION != nullptr;
}

void raise_panic(const char* message) noexcept {
  if (PANIC_EXCEPTION == nullptr) abort_at_boundary();
  PyErr_SetString(PANIC_EXCEPTION,
                  message != nullptr && *message != '\0' ? message : texts::PANIC_DEFAULT_MESSAGE);
  if (PyErr_Occurred() == nullptr) abort_at_boundary();
}

PyObject* raise_failure(const Failure& failure) {
  PyErr_SetString(PyExc_RuntimeError, failure.message.c_str());
  return nullptr;
}

}  // namespace vantorel::binding
