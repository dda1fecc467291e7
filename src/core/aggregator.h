// One summary record over the stored requests, or over all workers' shards when the multi-worker
// mode is on. Stateless; any thread.
#pragma once

#include <cstdint>
#include <span>

namespace vantorel::multiproc {
struct MergedTotals;
}

namespace vantorel::aggregator {

struct AggregatedMetrics {
  std::uint64_t total_requests = 0;
  std::uint64_t total_errors = 0;
  double error_rate = 0.0;  // percent, 0 to 100
  double avg_latency_ms = 0.0;
  double min_latency_ms = 0.0;
  double max_latency_ms = 0.0;
  double p50_latency_ms = 0.0;
  double p95_latency_ms = 0.0;
  double p99_latency_ms = 0.0;
};

// Asks the multi-worker merge first; only when that mode is off reads the local store.
[[nodiscard]] AggregatedMetrics compute();

// The exact local computation: durations in store order (oldest first), errors among them.
[[nodiscard]] AggregatedMetrics from_samples(std::span<const double> durations_ms,
                                             std::uint64_t errors);

// The multi-worker computation: counts, microsecond figures and histogram quantiles.
[[nodiscard]] AggregatedMetrics from_merged(const multiproc::MergedTotals& totals);

// Index of the q-th percentile among n sorted values (n > 0): round half away from zero.
[[nodiscard]] std::size_t percentile_index(std::size_t n, double q);

}  // namespace vantorel::aggregator
