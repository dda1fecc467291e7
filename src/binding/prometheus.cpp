// metrics_text() and PROMETHEUS_CONTENT_TYPE.
#include "core/prometheus.h"

#include "binding/boundary.h"
#include "binding/entries.h"

namespace vantorel::binding {
namespace {

PyObject* metrics_text(PyObject*, PyObject*) {
  return guarded([] { return to_py(std::string_view(prometheus::render())); });
}

}  // namespace

PyMethodDef METRICS_TEXT = {
    "metrics_text", &metrics_text, METH_NOARGS,
    "metrics_text()\n--\n\n"
    "Returns all current metrics formatted as Prometheus text exposition format.\n"
    "Reads from the global request store and the current process snapshot."};

PyObject* make_content_type() { return to_py(prometheus::CONTENT_TYPE); }

}  // namespace vantorel::binding
