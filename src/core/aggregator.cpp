#include "core/aggregator.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <vector>

#include "core/multiproc.h"
#include "core/request_metrics.h"

namespace vantorel::aggregator {
namespace {

// Maps a double to an unsigned integer whose order is IEEE 754 totalOrder: -NaN < -inf < ... <
// -0 < +0 < ... < +inf < +NaN. Equal keys are bit-identical doubles.
std::uint64_t total_order_key(double value) {
  const auto bits = std::bit_cast<std::uint64_t>(value);
  return (bits >> 63) != 0 ? ~bits : bits | (std::uint64_t{1} << 63);
}

double from_key(std::uint64_t key) {
  return std::bit_cast<double>((key >> 63) != 0 ? key & ~(std::uint64_t{1} << 63) : ~key);
}

double to_double(std::uint64_t value) { return static_cast<double>(value); }

constexpr int DIGIT_BITS = 11;

// Finds the keys of the given ranks (ascending) among `keys`, whose smallest and largest are
// `low` and `high`. One counting pass over the bits just below the prefix that all keys share
// tells in which narrow slice each rank lies; only those slices are gathered and selected. This
// avoids the mispredicted branches of a comparison-based selection over the whole array.
void select_ranks(std::span<const std::uint64_t> keys, std::uint64_t low, std::uint64_t high,
                  std::span<const std::size_t> ranks, std::span<std::uint64_t> out) {
  if (low == high) {
    for (auto& value : out) value = low;
    return;
  }
  const int spread = static_cast<int>(std::bit_width(low ^ high));
  const int shift = spread > DIGIT_BITS ? spread - DIGIT_BITS : 0;
  const std::uint64_t base = low >> shift;
  std::vector<std::uint32_t> counts(std::size_t{1} << DIGIT_BITS, 0);
  for (std::uint64_t key : keys) ++counts[(key >> shift) - base];

  // The slice of each rank, and the rank's position inside its slice.
  std::size_t slice[3] = {}, offset[3] = {};
  std::size_t seen = 0, bucket = 0;
  for (std::size_t r = 0; r < ranks.size(); ++r) {
    while (seen + counts[bucket] <= ranks[r]) seen += counts[bucket++];
    slice[r] = bucket;
    offset[r] = ranks[r] - seen;
  }
  if (shift == 0) {  // every slice holds a single key value
    for (std::size_t r = 0; r < ranks.size(); ++r) out[r] = base + slice[r];
    return;
  }
  std::vector<std::uint64_t> gathered[3];
  for (std::size_t r = 0; r < ranks.size(); ++r) {
    if (r > 0 && slice[r] == slice[r - 1]) continue;
    gathered[r].reserve(counts[slice[r]]);
  }
  for (std::uint64_t key : keys) {
    const std::uint64_t digit = (key >> shift) - base;
    for (std::size_t r = 0; r < ranks.size(); ++r) {
      if (digit == slice[r]) {
        gathered[r].push_back(key);
        break;
      }
    }
  }
  for (std::size_t r = 0; r < ranks.size(); ++r) {
    std::size_t owner = r;
    while (owner > 0 && slice[owner - 1] == slice[r]) --owner;
    auto& candidates = gathered[owner];
    auto nth = candidates.begin() + static_cast<std::ptrdiff_t>(offset[r]);
    std::nth_element(candidates.begin(), nth, candidates.end());
    out[r] = *nth;
  }
}

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
  std::vector<std::uint64_t> keys(n);
  std::uint64_t low = UINT64_MAX, high = 0;
  for (std::size_t i = 0; i < n; ++i) {
    keys[i] = total_order_key(durations_ms[i]);
    low = std::min(low, keys[i]);
    high = std::max(high, keys[i]);
  }
  out.min_latency_ms = from_key(low);
  out.max_latency_ms = from_key(high);

  const std::size_t ranks[] = {percentile_index(n, 0.5), percentile_index(n, 0.95),
                               percentile_index(n, 0.99)};
  std::uint64_t selected[3];
  select_ranks(keys, low, high, ranks, selected);
  out.p50_latency_ms = from_key(selected[0]);
  out.p95_latency_ms = from_key(selected[1]);
  out.p99_latency_ms = from_key(selected[2]);
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
