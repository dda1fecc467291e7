// What each component's binding file contributes to the module: its functions' method
// definitions and its class builders. module.cpp registers them in one ordered table.
#pragma once

#include <optional>

#include "binding/py.h"
#include "core/multiproc.h"

namespace vantorel::binding {

extern PyMethodDef HELLO;
extern PyMethodDef SNAPSHOT;
extern PyMethodDef RECORD_REQUEST;
extern PyMethodDef GET_REQUESTS;
extern PyMethodDef CLEAR_REQUESTS;
extern PyMethodDef SET_MAX_REQUESTS;
extern PyMethodDef GET_MAX_REQUESTS;
extern PyMethodDef SET_MULTIPROC_DIR;
extern PyMethodDef GET_MULTIPROC_DIR;
extern PyMethodDef MULTIPROC_ENABLED;
extern PyMethodDef AGGREGATE;
extern PyMethodDef METRICS_TEXT;
extern PyMethodDef CHECK_ALERTS;

PyTypeObject* make_snapshot_type(PyObject* module);
PyTypeObject* make_request_metric_type(PyObject* module);
PyTypeObject* make_aggregated_metrics_type(PyObject* module);

PyObject* make_content_type();

// vantorel._native's per-route series functions (series.cpp), a table ending in a null entry.
extern PyMethodDef SERIES_METHODS[];

// vantorel._native's application metrics (metrics.cpp): its functions, and its value classes
// added to the module (false with an exception set).
extern PyMethodDef METRICS_METHODS[];
bool add_value_types(PyObject* module);

// Creates vantorel._native beside the module named `core_name` and registers it in sys.modules.
// A new reference, or nullptr with an exception set.
PyObject* make_native_module(PyObject* core_name);

// Why a file of the multi-worker mode could not be had, as (step, errno, directory), or None.
PyObject* failure_to_py(const std::optional<multiproc::OpenFailure>& failure);

// The state behind both of the library's modules is process-wide, while a module object belongs to
// one interpreter: a subinterpreter that imported it would wipe its attributes (to None, for every
// interpreter) when it is destroyed. Module initialisation therefore refuses any interpreter but
// the main one: false, with ImportError set.
bool main_interpreter_only(const char* module);

}  // namespace vantorel::binding
