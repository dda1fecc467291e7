// The binding's published texts: the greeting, the argument errors (printf formats for
// PyErr_Format), the record classes' texts and docstrings, and the internal failure's. They are
// part of the module's interface: applications and their tests compare them verbatim, so they
// must not be reworded. Messages that mirror the interpreter's own wording keep that wording for
// the same reason.
#pragma once

#include <string_view>

namespace vantorel::binding::texts {

inline constexpr std::string_view GREETING = "vantorel v0.3.0 \u2014 Kerrow core running!";

// Argument errors (printf formats for PyErr_Format).
inline constexpr const char* ARGUMENT_NAMED = "argument '%s': %U";  // wraps a TypeError's text
inline constexpr const char* NOT_TEXT = "'%U' object cannot be converted to 'PyString'";
inline constexpr const char* NOT_TEXT_UNNAMED = "'%s' object cannot be converted to 'PyString'";
inline constexpr const char* NOT_FLOATS = "%s must be a list or tuple of numbers";
inline constexpr const char* OUT_OF_RANGE = "out of range integral type conversion attempted";
inline constexpr const char* TOO_MANY_POSITIONAL =
    "%s() takes %zu positional arguments but %zu %s given";
inline constexpr const char* TOO_MANY_POSITIONAL_RANGE =
    "%s() takes from %zu to %zu positional arguments but %zu %s given";
inline constexpr const char* UNEXPECTED_KEYWORD = "%s() got an unexpected keyword argument '%U'";
inline constexpr const char* MULTIPLE_VALUES = "%s() got multiple values for argument '%U'";
inline constexpr const char* MISSING_POSITIONAL =
    "%s() missing %zu required positional argument%s: %s";

// The record classes.
inline constexpr const char* NO_CONSTRUCTOR = "No constructor defined for %s";
inline constexpr const char* WRONG_SELF =
    "descriptor '%s' requires a '%s' object but received a '%s'";
// On PyPy, where the interpreter does not enforce the class shape, the binding raises the
// interpreter's own texts.
inline constexpr const char* NOT_WRITABLE = "attribute '%U' of '%s' objects is not writable";
inline constexpr const char* NO_ATTRIBUTE = "'%s' object has no attribute '%U'";
inline constexpr const char* NO_ATTRIBUTE_REPR = "'%s' object has no attribute '%S'";
inline constexpr const char* NOT_A_BASE_TYPE = "type '%s' is not an acceptable base type";
inline constexpr const char* CANNOT_PICKLE = "cannot pickle '%s' object";
inline constexpr const char* REQUEST_METRIC_DOC =
    "Python-facing version of `request_metrics::RequestMetric`.";
inline constexpr const char* AGGREGATED_METRICS_DOC =
    "Python-facing version of `aggregator::AggregatedMetrics`.";

// Internal failures.
inline constexpr const char* PANIC_EXCEPTION_NAME = "vantorel._core.PanicException";
inline constexpr const char* PANIC_EXCEPTION_DOC =
    "An unexpected internal failure inside the native core. Derived from BaseException, so that\n"
    "`except Exception` handlers let it through.";
inline constexpr const char* PANIC_DEFAULT_MESSAGE = "internal failure in the native core";
inline constexpr const char* UNCAUGHT_PANIC = "uncaught panic at ffi boundary\n";

}  // namespace vantorel::binding::texts
