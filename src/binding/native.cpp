// vantorel._native: the package's private entries beside _core's fixed seventeen. Both modules
// must share one core (one request store, one multi-worker switch): a second shared object would
// link a second copy of it. So _core's initialisation creates this module too and registers it
// in sys.modules. (Loading a second init function from the same file does not work everywhere:
// PyPy hands back the module it already loaded from that path.)
#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "binding/args.h"
#include "binding/boundary.h"
#include "binding/entries.h"
#include "binding/py.h"
#include "binding/request_args.h"
#include "core/files.h"
#include "core/multiproc.h"
#include "core/series.h"
#include "core/series_layout.h"
#include "core/series_removals.h"

namespace vantorel::binding {
namespace {

PyObject* multiproc_failure(PyObject*, PyObject*) {
  return guarded([] { return failure_to_py(multiproc::last_failure()); });
}

PyObject* live_owners(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    const auto argument = directory_argument("live_owners", args, nargs, kwnames);
    if (!argument) return nullptr;
    const std::string& directory = *argument;
    std::vector<std::uint64_t> pids = multiproc::live_owners(directory);
    const std::vector<std::uint64_t> series_pids = series::live_owners(directory);
    pids.insert(pids.end(), series_pids.begin(), series_pids.end());
    std::sort(pids.begin(), pids.end());
    pids.erase(std::unique(pids.begin(), pids.end()), pids.end());
    return sequence_to_py<true>(pids);
  });
}

// A sequence of int, as u64 words; false with an exception set.
bool words_of(PyObject* obj, const char* name, std::uint64_t* out, std::size_t count) {
  PyRef items = PyRef::steal(PySequence_Fast(obj, "expected a sequence of int"));
  if (!items) return false;
  if (static_cast<std::size_t>(PySequence_Fast_GET_SIZE(items.get())) != count) {
    PyErr_Format(PyExc_ValueError, "%s must hold %zu int", name, count);
    return false;
  }
  for (std::size_t i = 0; i < count; ++i) {
    auto word = to_u64(PySequence_Fast_GET_ITEM(items.get(), static_cast<Py_ssize_t>(i)), name);
    if (!word) return false;
    out[i] = *word;
  }
  return true;
}

// shards_sum(shards): the merge's sum over shards given as their 22 words each, as (count,
// errors, sum_us, min_us, max_us, buckets).
PyObject* shards_sum(PyObject*, PyObject* shards) {
  return guarded([&]() -> PyObject* {
    PyRef items = PyRef::steal(PySequence_Fast(shards, "shards must be a sequence"));
    if (!items) return nullptr;
    std::vector<multiproc::Shard> read(
        static_cast<std::size_t>(PySequence_Fast_GET_SIZE(items.get())));
    for (std::size_t i = 0; i < read.size(); ++i) {
      std::uint64_t words[multiproc::SHARD_SIZE / 8];
      if (!words_of(PySequence_Fast_GET_ITEM(items.get(), static_cast<Py_ssize_t>(i)), "shards",
                    words, std::size(words))) {
        return nullptr;
      }
      std::memcpy(&read[i], words, sizeof words);
    }
    const multiproc::MergedTotals t = multiproc::sum(read);
    PyRef buckets = PyRef::steal(sequence_to_py(t.buckets));
    if (!buckets) return nullptr;
    return Py_BuildValue("(KKKKKO)", static_cast<unsigned long long>(t.count),
                         static_cast<unsigned long long>(t.errors),
                         static_cast<unsigned long long>(t.sum_us),
                         static_cast<unsigned long long>(t.min_us),
                         static_cast<unsigned long long>(t.max_us), buckets.get());
  });
}

constexpr const char* QUANTILE_PARAMS[] = {"buckets", "q", "max_ms", "bounds_ms"};
constexpr Signature QUANTILE_SIGNATURE{"histogram_quantile", QUANTILE_PARAMS, 3};

PyObject* histogram_quantile(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* slot[4];
    if (!bind(QUANTILE_SIGNATURE, args, nargs, kwnames, slot)) return nullptr;
    std::vector<double> bounds(multiproc::BUCKET_BOUNDS_MS.begin(),
                               multiproc::BUCKET_BOUNDS_MS.end());
    if (slot[3] != nullptr && slot[3] != Py_None) {
      auto given = to_floats(slot[3], "bounds_ms");
      if (!given) return nullptr;
      if (given->empty()) {
        PyErr_SetString(PyExc_ValueError, "bounds_ms must hold at least one bound");
        return nullptr;
      }
      bounds = std::move(*given);
    }
    std::vector<std::uint64_t> buckets(bounds.size() + 1);
    if (!words_of(slot[0], "buckets", buckets.data(), buckets.size())) return nullptr;
    auto q = to_f64(slot[1], "q");
    auto max_ms = to_f64(slot[2], "max_ms");
    if (!q || !max_ms) return nullptr;
    return PyFloat_FromDouble(multiproc::bucket_quantile(buckets, bounds, *q, *max_ms));
  });
}

PyObject* shard_owner_alive(PyObject*, PyObject* pid_word) {
  return guarded([&]() -> PyObject* {
    auto word = to_u64(pid_word, "pid_word");
    if (!word) return nullptr;
    return PyBool_FromLong(files::owner_alive(*word) ? 1 : 0);
  });
}

// label_text(text): the text as the series store writes it into a label, every lone surrogate
// replaced by U+FFFD; the very object when it has none.
PyObject* label_text(PyObject*, PyObject* text) {
  return guarded([&]() -> PyObject* {
    Label label;
    if (!label.convert(text, "text", static_cast<std::size_t>(PY_SSIZE_T_MAX))) return nullptr;
    if (!label.replaced()) {
      Py_INCREF(text);
      return text;
    }
    return PyUnicode_DecodeUTF8(label.text.data(), static_cast<Py_ssize_t>(label.text.size()),
                                "strict");
  });
}

PyMethodDef METHODS[] = {
    {"shards_sum", &shards_sum, METH_O,
     "shards_sum(shards)\n--\n\n"
     "The merge's sum over shards given as their 22 words each: (count, errors, sum_us,\n"
     "min_us, max_us, buckets); counts wrap modulo 2**64, the sum saturates."},
    {"histogram_quantile", as_method(&histogram_quantile), METH_FASTCALL | METH_KEYWORDS,
     "histogram_quantile(buckets, q, max_ms, bounds_ms=None)\n--\n\n"
     "The quantile q of the buckets in milliseconds, as aggregate() estimates it: the shards'\n"
     "14, or one more than the finite upper bounds bounds_ms."},
    {"shard_owner_alive", &shard_owner_alive, METH_O,
     "shard_owner_alive(pid_word)\n--\n\n"
     "Whether a merge counts the shard whose pid word this is: its owner's liveness."},
    {"multiproc_failure", &multiproc_failure, METH_NOARGS,
     "multiproc_failure()\n--\n\n"
     "Why multi-worker mode is off, when the last attempt to switch it on failed: a tuple\n"
     "(step, errno, directory), errno 0 where the step has none; None while the mode is on\n"
     "or was switched off on purpose."},
    {"live_owners", as_method(&live_owners), METH_FASTCALL | METH_KEYWORDS,
     "live_owners(directory)\n--\n\n"
     "The pids of the live processes that own a shard or series file in the directory, sorted,\n"
     "by the rules the merges use; reads only."},
    {"label_text", &label_text, METH_O,
     "label_text(text)\n--\n\n"
     "The text as the series store writes it into a label: every lone surrogate replaced by\n"
     "U+FFFD (the text itself when it has none)."},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace

PyObject* failure_to_py(const std::optional<multiproc::OpenFailure>& failure) {
  if (!failure) return none();
  PyRef step = PyRef::steal(to_py(std::string_view(failure->step)));
  PyRef error = PyRef::steal(PyLong_FromLong(failure->error));
  // The directory as given; bytes that are not UTF-8 (from the environment) are escaped.
  PyRef directory = PyRef::steal(
      PyUnicode_DecodeUTF8(failure->directory.data(),
                           static_cast<Py_ssize_t>(failure->directory.size()), "surrogateescape"));
  if (!step || !error || !directory) return nullptr;
  return PyTuple_Pack(3, step.get(), error.get(), directory.get());
}

namespace {

// PyModule_AddObjectRef, which Python 3.9 lacks: the module gets a reference of its own.
bool add_ref(PyObject* module, const char* name, PyObject* value) {
  Py_INCREF(value);
  if (PyModule_AddObject(module, name, value) == 0) return true;
  Py_DECREF(value);
  return false;
}

// The constants the package needs of the core, so that each is written once.
bool add_constants(PyObject* module) {
  PyRef bounds = PyRef::steal(sequence_to_py(multiproc::BUCKET_BOUNDS_MS));
  PyRef methods = PyRef::steal(sequence_to_py(series::METHOD_CLASSES));
  if (!bounds || !methods) return false;
  const struct {
    const char* name;
    std::uint64_t value;
  } numbers[] = {
      {"SHARD_SIZE", multiproc::SHARD_SIZE},
      {"SERIES_DEFAULT_LIMIT", series::DEFAULT_LIMIT},
      {"SERIES_MAX_LIMIT", series::MAX_LIMIT},
      {"MAX_METHOD_LENGTH", series::MAX_METHOD_CODE_POINTS},
      {"MAX_ROUTE_LENGTH", series::MAX_ROUTE_CODE_POINTS},
      {"MAX_EXTRA_METHODS", series::MAX_EXTRA_METHODS},
      {"FAMILY_DEFAULT_LIMIT", series::DEFAULT_FAMILY_LIMIT},
      {"FAMILY_MAX_BUCKETS", series::MAX_BUCKETS},
      {"FAMILY_MAX_LABELS", series::MAX_LABELS},
  };
  for (const auto& number : numbers) {
    PyRef value = PyRef::steal(to_py(number.value));
    if (!value || !add_ref(module, number.name, value.get())) return false;
  }
  const struct {
    const char* name;
    std::string_view value;
  } names[] = {
      {"SERIES_ARCHIVE_NAME", series::layout::ARCHIVE_NAME},
      {"SERIES_ARCHIVE_TMP_NAME", series::layout::ARCHIVE_TMP_NAME},
      {"SERIES_REMOVALS_NAME", series::removals::FILE_NAME},
      {"DURATION_FAMILY", series::DURATION_FAMILY},
  };
  for (const auto& name : names) {
    PyRef value = PyRef::steal(to_py(name.value));
    if (!value || !add_ref(module, name.name, value.get())) return false;
  }
  return add_ref(module, "BUCKET_BOUNDS_MS", bounds.get()) &&
         add_ref(module, "METHOD_CLASSES", methods.get());
}

}  // namespace

PyObject* make_native_module(PyObject* core_name) {
  // "vantorel._core" gives "vantorel._native"; a bare "_core" gives "_native".
  const Py_ssize_t at = PyUnicode_FindChar(core_name, '.', 0, PyUnicode_GetLength(core_name), -1);
  if (at == -2) return nullptr;
  PyRef prefix =
      PyRef::steal(at >= 0 ? PyUnicode_Substring(core_name, 0, at + 1) : to_py(std::string_view()));
  PyRef suffix = PyRef::steal(to_py(std::string_view("_native")));
  if (!prefix || !suffix) return nullptr;
  PyRef name = PyRef::steal(PyUnicode_Concat(prefix.get(), suffix.get()));
  if (!name) return nullptr;
  PyRef module = PyRef::steal(PyModule_NewObject(name.get()));
  if (!module || PyModule_AddFunctions(module.get(), METHODS) < 0 ||
      PyModule_AddFunctions(module.get(), SERIES_METHODS) < 0 ||
      PyModule_AddFunctions(module.get(), METRICS_METHODS) < 0 || !add_value_types(module.get()) ||
      !add_constants(module.get())) {
    return nullptr;
  }
  PyRef doc = PyRef::steal(to_py(
      std::string_view("Private native entries of the vantorel package, beside vantorel._core.")));
  if (!doc || PyObject_SetAttrString(module.get(), "__doc__", doc.get()) < 0) return nullptr;
  // Registered as imported, so that `import vantorel._native` finds it.
  if (PyDict_SetItem(PyImport_GetModuleDict(), name.get(), module.get()) < 0) return nullptr;
  return module.release();
}

}  // namespace vantorel::binding
