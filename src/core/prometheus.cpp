#include "core/prometheus.h"

#include <span>
#include <variant>

#include "core/aggregator.h"
#include "core/numfmt.h"
#include "core/snapshot.h"

namespace vantorel::prometheus {
namespace {

// Thirteen blocks of ordinary values take about 1.7 kB.
constexpr std::size_t INITIAL_CAPACITY = 2048;

// One block per figure: HELP, TYPE and its one sample line, then an empty line.
struct Block {
  std::string_view name, type, help;
  double value;
};

void push_blocks(std::string& out, std::span<const Block> blocks,
                 const exposition::Format& format) {
  for (const Block& block : blocks) {
    exposition::head(out, format, block.name, block.type, block.help);
    exposition::open_sample(out, format, block.name, {});
    numfmt::append_shortest(out, block.value);
    out += '\n';
    exposition::end_family(out, format);
  }
}

}  // namespace

std::string render(bool openmetrics) {
  const exposition::Format format{openmetrics, {}};
  // The aggregate and the snapshot are taken one after the other, each under its own lock.
  const aggregator::AggregatedMetrics agg = aggregator::compute();

  std::string out;
  out.reserve(INITIAL_CAPACITY);
  const Block requests[] = {
      {"vtr_requests_total", "counter", "Total HTTP requests recorded",
       static_cast<double>(agg.total_requests)},
      {"vtr_errors_total", "counter", "Total HTTP errors (status >= 400)",
       static_cast<double>(agg.total_errors)},
      {"vtr_error_rate_percent", "gauge", "HTTP error rate as a percentage", agg.error_rate},
      {"vtr_latency_avg_ms", "gauge", "Average request latency in milliseconds",
       agg.avg_latency_ms},
      {"vtr_latency_min_ms", "gauge", "Minimum request latency in milliseconds",
       agg.min_latency_ms},
      {"vtr_latency_max_ms", "gauge", "Maximum request latency in milliseconds",
       agg.max_latency_ms},
      {"vtr_latency_p50_ms", "gauge", "P50 request latency in milliseconds", agg.p50_latency_ms},
      {"vtr_latency_p95_ms", "gauge", "P95 request latency in milliseconds", agg.p95_latency_ms},
      {"vtr_latency_p99_ms", "gauge", "P99 request latency in milliseconds", agg.p99_latency_ms},
  };
  push_blocks(out, requests, format);

  // A failed snapshot is not reported: the document then simply ends after the request blocks.
  const auto collected = snapshot::collect();
  if (const auto* snap = std::get_if<snapshot::Snapshot>(&collected)) {
    const Block process[] = {
        {"vtr_process_cpu_percent", "gauge", "Process CPU usage percentage", snap->cpu_percent},
        {"vtr_process_memory_rss_bytes", "gauge", "Process RSS memory in bytes",
         static_cast<double>(snap->memory_rss)},
        {"vtr_process_memory_virtual_bytes", "gauge", "Process virtual memory in bytes",
         static_cast<double>(snap->memory_virtual)},
        {"vtr_process_threads", "gauge", "Number of process threads",
         static_cast<double>(snap->threads)},
    };
    push_blocks(out, process, format);
  }
  return out;
}

}  // namespace vantorel::prometheus
