// Where calls leave the interpreter and come back: every entry point runs its body in guarded(),
// so that no C++ exception ever unwinds into the interpreter.
#pragma once

#include <exception>
#include <new>

#include "binding/py.h"
#include "core/result.h"

namespace vantorel::binding {

// The class of internal failures, derived from BaseException. Created at module initialisation.
PyObject* panic_exception();
bool create_panic_exception();

// Sets PanicException with `message` (or a generic text); aborts the process when even that
// cannot be raised, rather than return into the interpreter in an undefined state.
void raise_panic(const char* message) noexcept;

// Raises a core Failure as RuntimeError with its message; returns nullptr for the caller to return.
PyObject* raise_failure(const Failure& failure);

template <class F>
auto guarded(F&& body) noexcept -> decltype(body()) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    std::terminate();  // out of memory ends the process
  } catch (const std::exception& e) {
    raise_panic(e.what());
  } catch (...) {
    raise_panic(nullptr);
  }
  return {};
}

}  // namespace vantorel::binding
