// Failure values for core operations that can fail. Core code returns them; it never throws on
// purpose. Only the binding turns a Failure into a Python exception.
#pragma once

#include <string>
#include <utility>
#include <variant>

namespace vantorel {

struct Failure {
  std::string message;
};

template <class T>
using Result = std::variant<T, Failure>;

}  // namespace vantorel
