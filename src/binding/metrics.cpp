// The application's own metrics in vantorel._native: family_define(), the four value classes
// (CounterValue, GaugeValue, HistogramValue, SummaryValue: one series each, subclassed by
// vantorel.metrics), and the merged families as Python data. Names, labels and buckets are
// checked by the package, with the messages its users know; here only what the store needs.
#include <cmath>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "binding/args.h"
#include "binding/boundary.h"
#include "binding/entries.h"
#include "binding/py.h"
#include "core/series.h"

namespace vantorel::binding {
namespace {

using series::Handle;
using series::Kind;

struct ValueObject {
  PyObject_HEAD
  Handle handle;
  bool built;
};

ValueObject* as_value(PyObject* self) { return reinterpret_cast<ValueObject*>(self); }

// A tuple of str: the strings, or nullopt with an exception set.
std::optional<std::vector<std::string>> texts_of(PyObject* obj, const char* name) {
  if (!PyTuple_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "%s must be a tuple of str", name);
    return std::nullopt;
  }
  std::vector<std::string> out;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(obj); ++i) {
    auto text = to_text(PyTuple_GET_ITEM(obj, i), name);
    if (!text) return std::nullopt;
    out.emplace_back(*text);
  }
  return out;
}

constexpr const char* DEFINE_PARAMS[] = {"name",    "kind", "documentation", "labelnames",
                                         "buckets", "mode", "limit"};
constexpr Signature DEFINE_SIGNATURE{"family_define", DEFINE_PARAMS, 7};

PyObject* family_define(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* slot[7];
    if (!bind(DEFINE_SIGNATURE, args, nargs, kwnames, slot)) return nullptr;
    series::Family family;
    auto name = to_text(slot[0], "name");
    auto kind = to_text(slot[1], "kind");
    auto help = to_text(slot[2], "documentation");
    if (!name || !kind || !help) return nullptr;
    family.name = *name;
    family.help = *help;
    constexpr std::string_view KINDS[] = {"counter", "gauge", "histogram", "summary"};
    std::size_t k = 0;
    while (k < std::size(KINDS) && KINDS[k] != *kind) ++k;
    if (k == std::size(KINDS)) {
      PyErr_SetString(PyExc_ValueError, "kind must be counter, gauge, histogram or summary");
      return nullptr;
    }
    family.kind = static_cast<Kind>(k + 1);
    auto labels = texts_of(slot[3], "labelnames");
    if (!labels) return nullptr;
    family.labels = std::move(*labels);
    if (!PyTuple_Check(slot[4])) {
      PyErr_SetString(PyExc_TypeError, "buckets must be a tuple of float");
      return nullptr;
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(slot[4]); ++i) {
      auto bound = to_f64(PyTuple_GET_ITEM(slot[4], i), "buckets");
      if (!bound) return nullptr;
      family.bounds.push_back(*bound);
    }
    auto mode = to_text(slot[5], "mode");
    auto limit = to_u64(slot[6], "limit");
    if (!mode || !limit) return nullptr;
    const auto gauge_mode = series::gauge_mode(*mode);
    if (!gauge_mode) {
      PyErr_SetString(PyExc_ValueError, "unknown gauge mode");
      return nullptr;
    }
    family.mode = *gauge_mode;
    family.limit = std::max<std::uint64_t>(*limit, 1);
    auto defined = series::define_family(std::move(family));
    if (const auto* why = std::get_if<std::string>(&defined)) {
      PyErr_SetString(PyExc_ValueError, why->c_str());
      return nullptr;
    }
    return PyLong_FromUnsignedLong(std::get<std::uint32_t>(defined));
  });
}

// The values' constructor: Class(family, labelvalues), the family's number and a tuple of str.
PyObject* value_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* number = nullptr;
    PyObject* values = nullptr;
    static const char* keywords[] = {"family", "labelvalues", nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO", const_cast<char**>(keywords), &number,
                                     &values)) {
      return nullptr;
    }
    auto family_number = to_u64(number, "family");
    if (!family_number) return nullptr;
    const auto family = series::family(static_cast<std::uint32_t>(*family_number));
    if (!family || *family_number > 0xFFFFFFFFu) {
      PyErr_SetString(PyExc_ValueError, "no such family");
      return nullptr;
    }
    auto labels = texts_of(values, "labelvalues");
    if (!labels) return nullptr;
    if (labels->size() != family->labels.size()) {
      PyErr_SetString(PyExc_ValueError, "Incorrect label count");
      return nullptr;
    }
    std::vector<std::string_view> views(labels->begin(), labels->end());
    auto encoded = series::encode_labels(views);
    if (!encoded) {
      PyErr_Format(PyExc_ValueError,
                   "label values too long: at most %d bytes of UTF-8 in all, with 2 more per label",
                   static_cast<int>(series::KEY_BYTES));
      return nullptr;
    }
    PyRef self = PyRef::steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    ValueObject* value = as_value(self.get());
    new (&value->handle) Handle{};
    value->handle.family = static_cast<std::uint32_t>(*family_number);
    value->handle.labels = std::move(*encoded);
    value->built = true;
    return self.release();
  });
}

void value_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  if (as_value(self)->built) as_value(self)->handle.~Handle();
  PyObject_GC_UnTrack(self);
  auto* free = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free(self);
  Py_DECREF(type);
}

int value_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  return 0;
}

// The one optional number of inc() and dec() (1 when absent), or the one required number of
// set() and observe(): a float, an int, or anything float() takes.
bool number_arg(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, const char* function,
                const char* param, bool required, double& out) {
  PyObject* given = nullptr;
  if (kwnames == nullptr && nargs <= 1) {
    given = nargs == 1 ? args[0] : nullptr;
  } else {
    const char* params[] = {param};
    const Signature signature{function, params, required ? 1u : 0u};
    PyObject* slot[1];
    if (!bind(signature, args, nargs, kwnames, slot)) return false;
    given = slot[0];
  }
  if (given == nullptr) {
    if (required) {
      PyErr_Format(PyExc_TypeError, "%s() missing 1 required positional argument: '%s'", function,
                   param);
      return false;
    }
    out = 1.0;
    return true;
  }
  if (PyFloat_CheckExact(given)) {
    out = PyFloat_AS_DOUBLE(given);
    return true;
  }
  out = PyFloat_AsDouble(given);
  return !(out == -1.0 && PyErr_Occurred());
}

bool built(PyObject* self) {
  if (as_value(self)->built) return true;
  PyErr_SetString(PyExc_TypeError, "a value that was never built");
  return false;
}

PyObject* counter_inc(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    double amount = 0;
    if (!built(self) || !number_arg(args, nargs, kwnames, "inc", "amount", false, amount)) {
      return nullptr;
    }
    if (!(amount >= 0)) {
      PyErr_SetString(PyExc_ValueError,
                      std::isnan(amount)
                          ? "Counters can only be incremented by finite amounts, not NaN."
                          : "Counters can only be incremented by non-negative amounts.");
      return nullptr;
    }
    if (std::isinf(amount)) {
      PyErr_SetString(PyExc_ValueError,
                      "Counters can only be incremented by finite amounts, not infinity.");
      return nullptr;
    }
    series::add(as_value(self)->handle, amount);
    return none();
  });
}

PyObject* gauge_inc(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    double amount = 0;
    if (!built(self) || !number_arg(args, nargs, kwnames, "inc", "amount", false, amount)) {
      return nullptr;
    }
    series::add(as_value(self)->handle, amount);
    return none();
  });
}

PyObject* gauge_dec(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    double amount = 0;
    if (!built(self) || !number_arg(args, nargs, kwnames, "dec", "amount", false, amount)) {
      return nullptr;
    }
    series::add(as_value(self)->handle, -amount);
    return none();
  });
}

PyObject* gauge_set(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    double value = 0;
    if (!built(self) || !number_arg(args, nargs, kwnames, "set", "value", true, value)) {
      return nullptr;
    }
    series::set(as_value(self)->handle, value);
    return none();
  });
}

PyObject* value_observe(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    double amount = 0;
    if (!built(self) || !number_arg(args, nargs, kwnames, "observe", "amount", true, amount)) {
      return nullptr;
    }
    series::observe(as_value(self)->handle, amount);
    return none();
  });
}

// This process's own values of the series, as floats (see series::values).
PyObject* value_values(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    if (!built(self)) return nullptr;
    return sequence_to_py<true>(series::values(as_value(self)->handle));
  });
}

constexpr int FAST = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef COUNTER_METHODS[] = {{"inc", as_method(&counter_inc), FAST,
                                  "inc(amount=1)\n--\n\nAdds a finite, non-negative amount."},
                                 {"_values", &value_values, METH_NOARGS, nullptr},
                                 {nullptr, nullptr, 0, nullptr}};
PyMethodDef GAUGE_METHODS[] = {
    {"inc", as_method(&gauge_inc), FAST, "inc(amount=1)\n--\n\nAdds the amount."},
    {"dec", as_method(&gauge_dec), FAST, "dec(amount=1)\n--\n\nSubtracts the amount."},
    {"set", as_method(&gauge_set), FAST, "set(value)\n--\n\nSets the value."},
    {"_values", &value_values, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr}};
PyMethodDef OBSERVE_METHODS[] = {
    {"observe", as_method(&value_observe), FAST, "observe(amount)\n--\n\nCounts one observation."},
    {"_values", &value_values, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr}};

PyTypeObject* make_value_type(PyObject* module, const char* name, PyMethodDef* methods) {
  PyType_Slot slots[] = {{Py_tp_new, reinterpret_cast<void*>(&value_new)},
                         {Py_tp_dealloc, reinterpret_cast<void*>(&value_dealloc)},
                         {Py_tp_traverse, reinterpret_cast<void*>(&value_traverse)},
                         {Py_tp_methods, methods},
                         {0, nullptr}};
  PyType_Spec spec{name, static_cast<int>(sizeof(ValueObject)), 0,
                   Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, slots};
  PyObject* type = PyType_FromSpec(&spec);
  if (type == nullptr) return nullptr;
  const char* bare = std::strrchr(name, '.') + 1;
  if (PyModule_AddObject(module, bare, type) < 0) {
    Py_DECREF(type);
    return nullptr;
  }
  return reinterpret_cast<PyTypeObject*>(type);
}

// ([(name, kind, mode, help, labelnames, bounds, [(labels, pid, overflow, value, count,
// buckets)])], refused names)
PyObject* families_to_python(const series::Merged& merged) {
  constexpr const char* KINDS[] = {"", "counter", "gauge", "histogram", "summary"};
  PyRef list = PyRef::steal(PyList_New(0));
  if (!list) return nullptr;
  for (const series::FamilySamples& entry : merged.families) {
    const series::Family& f = entry.family;
    PyRef samples = PyRef::steal(PyList_New(0));
    if (!samples) return nullptr;
    for (const series::Sample& s : entry.samples) {
      PyRef labels = PyRef::steal(sequence_to_py(s.labels));
      PyRef buckets = PyRef::steal(sequence_to_py(s.buckets));
      if (!labels || !buckets) return nullptr;
      PyRef item = PyRef::steal(
          Py_BuildValue("(OKOdKO)", labels.get(), static_cast<unsigned long long>(s.pid),
                        s.overflow ? Py_True : Py_False, s.value,
                        static_cast<unsigned long long>(s.count), buckets.get()));
      if (!item || PyList_Append(samples.get(), item.get()) < 0) return nullptr;
    }
    PyRef labels = PyRef::steal(sequence_to_py(f.labels));
    PyRef bounds = PyRef::steal(sequence_to_py(f.bounds));
    if (!labels || !bounds) return nullptr;
    const std::string_view mode = series::GAUGE_MODE_NAMES[static_cast<std::size_t>(f.mode)];
    PyRef item = PyRef::steal(Py_BuildValue(
        "(s#ss#s#OOO)", f.name.data(), static_cast<Py_ssize_t>(f.name.size()),
        KINDS[static_cast<int>(f.kind)], mode.data(), static_cast<Py_ssize_t>(mode.size()),
        f.help.data(), static_cast<Py_ssize_t>(f.help.size()), labels.get(), bounds.get(),
        samples.get()));
    if (!item || PyList_Append(list.get(), item.get()) < 0) return nullptr;
  }
  PyRef refused = PyRef::steal(sequence_to_py(merged.refused));
  if (!refused) return nullptr;
  return PyTuple_Pack(2, list.get(), refused.get());
}

PyObject* families_snapshot(PyObject*, PyObject*) {
  return guarded([] { return families_to_python(series::merged()); });
}

PyObject* families_read_dir(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    auto directory = directory_argument("families_read_dir", args, nargs, kwnames);
    if (!directory) return nullptr;
    return families_to_python(series::read_dir(*directory));
  });
}

constexpr const char* REMOVE_PARAMS[] = {"family", "labelvalues"};
constexpr Signature REMOVE_SIGNATURE{"family_remove", REMOVE_PARAMS, 1};

// family_remove(family, labelvalues): one series; without labelvalues (None), all of them.
PyObject* family_remove(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* slot[2];
    if (!bind(REMOVE_SIGNATURE, args, nargs, kwnames, slot)) return nullptr;
    auto number = to_u64(slot[0], "family");
    if (!number) return nullptr;
    std::optional<std::vector<std::string>> labels;
    if (slot[1] != nullptr && slot[1] != Py_None) {
      labels = texts_of(slot[1], "labelvalues");
      if (!labels) return nullptr;
    }
    if (*number == 0 || *number > 0xFFFFFFFFu ||
        !series::family(static_cast<std::uint32_t>(*number))) {
      PyErr_SetString(PyExc_ValueError, "no such family");
      return nullptr;
    }
    return PyBool_FromLong(series::remove(static_cast<std::uint32_t>(*number), labels));
  });
}

PyObject* series_refused(PyObject*, PyObject*) {
  return guarded([] { return sequence_to_py(series::last_refused()); });
}

}  // namespace

PyMethodDef METRICS_METHODS[] = {
    {"series_refused", &series_refused, METH_NOARGS,
     "series_refused()\n--\n\n"
     "The families that this process's latest merge (a scrape, a snapshot) left out because\n"
     "some worker defined them with another layout, as a tuple of names."},
    {"family_remove", as_method(&family_remove), METH_FASTCALL | METH_KEYWORDS,
     "family_remove(family, labelvalues=None)\n--\n\n"
     "Removes one series of the family (a tuple of its label values), or all of them, in every\n"
     "worker's eyes: the page leaves it out until it changes again, and then shows only what\n"
     "changed since. False when the directory's list of removals could not be written."},
    {"family_define", as_method(&family_define), METH_FASTCALL | METH_KEYWORDS,
     "family_define(name, kind, documentation, labelnames, buckets, mode, limit)\n--\n\n"
     "Defines one of the application's families in the store and returns its number: the\n"
     "exposed name (a counter's without _total), 'counter', 'gauge', 'histogram' or 'summary',\n"
     "the help text, a tuple of label names, a histogram's finite upper bounds ascending (a\n"
     "tuple, else empty), a gauge's mode, and the label sets it keeps before its overflow\n"
     "series. The same name and layout again gives the same number; another layout under a\n"
     "name already defined is a ValueError."},
    {"families_snapshot", &families_snapshot, METH_NOARGS,
     "families_snapshot()\n--\n\n"
     "The application's families as series_text() shows them: ([(name, kind, mode, help,\n"
     "labelnames, bounds, [(labels, pid, overflow, value, count, buckets)])], refused), the\n"
     "families by name; refused names a family that a worker described with another layout."},
    {"families_read_dir", as_method(&families_read_dir), METH_FASTCALL | METH_KEYWORDS,
     "families_read_dir(directory)\n--\n\n"
     "The application's families of a shard directory, in families_snapshot()'s shape,\n"
     "without changing anything in it."},
    {nullptr, nullptr, 0, nullptr}};

bool add_value_types(PyObject* module) {
  return make_value_type(module, "vantorel._native.CounterValue", COUNTER_METHODS) != nullptr &&
         make_value_type(module, "vantorel._native.GaugeValue", GAUGE_METHODS) != nullptr &&
         make_value_type(module, "vantorel._native.HistogramValue", OBSERVE_METHODS) != nullptr &&
         make_value_type(module, "vantorel._native.SummaryValue", OBSERVE_METHODS) != nullptr;
}

}  // namespace vantorel::binding
