// aggregate() and the AggregatedMetrics class.
#include "core/aggregator.h"

#include "binding/boundary.h"
#include "binding/entries.h"
#include "binding/record_type.h"
#include "binding/texts.h"
#include "core/numfmt.h"

namespace vantorel::binding {
namespace {

using aggregator::AggregatedMetrics;
using Aggregate = RecordType<AggregatedMetrics>;

constexpr Field<AggregatedMetrics> AGGREGATE_FIELDS[] = {
    {"total_requests", [](const AggregatedMetrics& a) { return to_py(a.total_requests); }},
    {"total_errors", [](const AggregatedMetrics& a) { return to_py(a.total_errors); }},
    {"error_rate", [](const AggregatedMetrics& a) { return to_py(a.error_rate); }},
    {"avg_latency_ms", [](const AggregatedMetrics& a) { return to_py(a.avg_latency_ms); }},
    {"min_latency_ms", [](const AggregatedMetrics& a) { return to_py(a.min_latency_ms); }},
    {"max_latency_ms", [](const AggregatedMetrics& a) { return to_py(a.max_latency_ms); }},
    {"p50_latency_ms", [](const AggregatedMetrics& a) { return to_py(a.p50_latency_ms); }},
    {"p95_latency_ms", [](const AggregatedMetrics& a) { return to_py(a.p95_latency_ms); }},
    {"p99_latency_ms", [](const AggregatedMetrics& a) { return to_py(a.p99_latency_ms); }},
};

std::string describe_aggregate(const AggregatedMetrics& a) {
  std::string out = "AggregatedMetrics(total=";
  numfmt::append_uint(out, a.total_requests);
  out += ", errors=";
  numfmt::append_uint(out, a.total_errors);
  out += ", error_rate=";
  numfmt::append_fixed(out, a.error_rate, 1);
  out += "%, avg=";
  numfmt::append_fixed(out, a.avg_latency_ms, 2);
  out += "ms, p50=";
  numfmt::append_fixed(out, a.p50_latency_ms, 2);
  out += "ms, p95=";
  numfmt::append_fixed(out, a.p95_latency_ms, 2);
  out += "ms, p99=";
  numfmt::append_fixed(out, a.p99_latency_ms, 2);
  out += "ms)";
  return out;
}

constexpr RecordSpec<AggregatedMetrics> AGGREGATE_SPEC{
    "AggregatedMetrics", texts::AGGREGATED_METRICS_DOC, AGGREGATE_FIELDS, &describe_aggregate};

PyObject* aggregate(PyObject*, PyObject*) {
  return guarded([] { return Aggregate::wrap(aggregator::compute()); });
}

}  // namespace

PyMethodDef AGGREGATE = {"aggregate", &aggregate, METH_NOARGS, "aggregate()\n--\n\n"};

PyTypeObject* make_aggregated_metrics_type(PyObject* module) {
  return Aggregate::create(module, AGGREGATE_SPEC);
}

}  // namespace vantorel::binding
