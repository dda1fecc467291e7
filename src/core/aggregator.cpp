#include "core/aggregator.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <vector>

#include "core/multiproc.h"
#include "core/request_metrics.h"

namespace vantorel::aggregator {
namespace {

// Maps a double to an integer whose signed order is IEEE 754 totalOrder: -NaN < -inf < ... <
// -0 < +0 < ... < +inf < +NaN. The map is its own inverse. Equal keys are bit-identical doubles.
std::int64_t total_order_key(std::uint64_t bits) {
  const auto word = static_cast<std::int64_t>(bits);
  return word ^ static_cast<std::int64_t>(static_cast<std::uint64_t>(word >> 63) >> 1);
}

double from_key(std::int64_t key) {
  return std::bit_cast<double>(static_cast<std::uint64_t>(total_order_key(
      static_cast<std::uint64_t>(key))));
}

double to_double(std::uint64_t value) { return static_cast<double>(value); }

}  // namespace

std::size_t percentile_index(std::size_t n, double q) {
  const double rank = (static_cast<double>(n) - 1.0) * q;
  const auto index = static_cast<std::size_t>(std::round(rank));  // halves away from zero
  return std::min(index, n - 1);
}

AggregatedMetrics from_samples(std::span<const double> durations_ms, std::uint64_t errors) {
  const std::size_t n = durations_ms.size();
  if (n == 0) return {};

  AggregatedMetrics out;
  out.total_requests = n;
  out.total_errors = errors;
  double sum = 0.0;
  for (double d : durations_ms) sum += d;  // store order: the rounding of the sum depends on it
  out.avg_latency_ms = sum / static_cast<double>(n);
  out.error_rate = (to_double(errors) / static_cast<double>(n)) * 100.0;

  // Every figure below is one element of the durations in totalOrder, so a selection on integer
  // keys gives exactly what a full sort would, in linear time.
  std::vector<std::int64_t> keys(n);
  std::int64_t low = INT64_MAX, high = INT64_MIN;
  for (std::size_t i = 0; i < n; ++i) {
    keys[i] = total_order_key(std::bit_cast<std::uint64_t>(durations_ms[i]));
    low = std::min(low, keys[i]);
    high = std::max(high, keys[i]);
  }
  out.min_latency_ms = from_key(low);
  out.max_latency_ms = from_key(high);

  const double quantiles[] = {0.5, 0.95, 0.99};
  double* targets[] = {&out.p50_latency_ms, &out.p95_latency_ms, &out.p99_latency_ms};
  auto first = keys.begin();  // everything before `first` is already <= the last selected key
  std::size_t done = 0;
  std::int64_t selected = low;
  for (int i = 0; i < 3; ++i) {
    const std::size_t index = percentile_index(n, quantiles[i]);
    if (i == 0 || index >= done) {
      auto nth = keys.begin() + static_cast<std::ptrdiff_t>(index);
      std::nth_element(first, nth, keys.end());
      selected = *nth;
      first = nth + 1;
      done = index + 1;
    }
    *targets[i] = from_key(selected);
  }
  return out;
}

AggregatedMetrics from_merged(const multiproc::MergedTotals& totals) {
  if (totals.count == 0) return {};
  AggregatedMetrics out;
  out.total_requests = totals.count;
  out.total_errors = totals.errors;
  const double count = to_double(totals.count);
  out.error_rate = (to_double(totals.errors) / count) * 100.0;
  out.avg_latency_ms = (to_double(totals.sum_us) / count) / 1000.0;
  out.min_latency_ms = totals.min_us == multiproc::NO_MIN_US ? 0.0 : to_double(totals.min_us) / 1000.0;
  out.max_latency_ms = to_double(totals.max_us) / 1000.0;
  std::span<const std::uint64_t, multiproc::BUCKET_COUNT> buckets(totals.buckets);
  out.p50_latency_ms = multiproc::histogram_quantile(buckets, 0.5, out.max_latency_ms);
  out.p95_latency_ms = multiproc::histogram_quantile(buckets, 0.95, out.max_latency_ms);
  out.p99_latency_ms = multiproc::histogram_quantile(buckets, 0.99, out.max_latency_ms);
  return out;
}

AggregatedMetrics compute() {
  if (auto totals = multiproc::merged()) return from_merged(*totals);
  const request_metrics::Samples samples = request_metrics::get_samples();
  return from_samples(samples.durations_ms, samples.errors);
}

}  // namespace vantorel::aggregator
