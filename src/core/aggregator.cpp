#include "core/aggregator.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <memory>
#include <vector>

#include "core/multiproc.h"
#include "core/request_metrics.h"

namespace vantorel::aggregator {
namespace {

constexpr std::uint64_t SIGN = std::uint64_t{1} << 63;

// Maps a double to an unsigned integer whose order is IEEE 754 totalOrder: -NaN < -inf < ... <
// -0 < +0 < ... < +inf < +NaN. Equal keys are bit-identical doubles. Negative values have all
// their bits flipped, the others only the sign bit; written without a branch, since the signs
// come in no predictable order.
std::uint64_t total_order_key(double value) {
  const auto bits = std::bit_cast<std::uint64_t>(value);
  const auto negative = static_cast<std::uint64_t>(std::bit_cast<std::int64_t>(bits) >> 63);
  return bits ^ (negative | SIGN);
}

double from_key(std::uint64_t key) {
  return std::bit_cast<double>((key & SIGN) != 0 ? key & ~SIGN : ~key);
}

double to_double(std::uint64_t value) { return static_cast<double>(value); }

constexpr std::size_t MAX_RANKS = 3;
constexpr int DIGIT_BITS = 11;
constexpr std::size_t DIGITS = std::size_t{1} << DIGIT_BITS;  // slices per counting round
constexpr std::uint64_t NO_SLICE = DIGITS;

// A slice larger than this is narrowed by another counting round rather than by nth_element.
constexpr std::size_t SMALL_SLICE = 2048;

// The first counting round needs no extremes: its slices are fixed, 64 per binade of positive
// durations from 2^-10 ms (about a microsecond) to 2^22 ms (70 minutes), the first and the last
// slice also holding everything below and above (negative durations, zero, infinities, NaN). So it
// can count in the same pass that sums.
constexpr int COARSE_SHIFT = 46;  // a key's sign, exponent and top 6 mantissa bits
constexpr std::uint64_t COARSE_BASE = (SIGN >> COARSE_SHIFT) | (std::uint64_t{1023 - 10} << 6);

std::uint64_t coarse_slice(std::uint64_t key) {
  const std::uint64_t top = key >> COARSE_SHIFT;
  const std::uint64_t above = top > COARSE_BASE ? top - COARSE_BASE : 0;
  return std::min<std::uint64_t>(above, DIGITS - 1);
}

struct KeyRange {
  std::uint64_t low = 0, high = 0;
};

KeyRange coarse_range(std::uint64_t slice) {
  KeyRange range{(COARSE_BASE + slice) << COARSE_SHIFT,
                 ((COARSE_BASE + slice + 1) << COARSE_SHIFT) - 1};
  if (slice == 0) range.low = 0;
  if (slice == DIGITS - 1) range.high = UINT64_MAX;
  return range;
}

using Counts =
    std::vector<std::size_t>;  // one per slice, on the heap: callers may run on small stacks

// The slices that hold the ranks (ascending): the distinct ones, padded with NO_SLICE, which no key
// falls in; for each rank, which of them holds it and the rank's position inside that slice.
struct Located {
  std::uint64_t slice[MAX_RANKS] = {NO_SLICE, NO_SLICE, NO_SLICE};
  std::size_t distinct = 0;
  std::size_t owner[MAX_RANKS] = {};
  std::size_t offset[MAX_RANKS] = {};
};

Located locate(const Counts& counts, std::span<const std::size_t> ranks) {
  Located at;
  std::size_t seen = 0, slice = 0;
  for (std::size_t r = 0; r < ranks.size(); ++r) {
    while (seen + counts[slice] <= ranks[r]) seen += counts[slice++];
    if (at.distinct == 0 || at.slice[at.distinct - 1] != slice) at.slice[at.distinct++] = slice;
    at.owner[r] = at.distinct - 1;
    at.offset[r] = ranks[r] - seen;
  }
  return at;
}

// The keys of the located slices: slice_at(i) and key_at(i) give the slice and the key of the i-th
// of n. One pass notes down, without a branch, where the wanted keys are (their number is known
// from the counts); a second goes through those few only. A branch in the first pass would be
// cheap to predict, but would keep the compiler from holding the loop in registers.
template <class SliceAt, class KeyAt>
void gather(std::size_t n, SliceAt slice_at, KeyAt key_at, const Located& at, const Counts& counts,
            std::vector<std::uint64_t> (&gathered)[MAX_RANKS]) {
  std::size_t wanted = 0;
  for (std::size_t d = 0; d < at.distinct; ++d) wanted += counts[at.slice[d]];
  auto positions = std::make_unique_for_overwrite<std::size_t[]>(wanted + 1);  // +1: see below
  const std::uint64_t first = at.slice[0], second = at.slice[1], third = at.slice[2];
  std::size_t found = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint64_t slice = slice_at(i);
    positions[found] = i;  // kept only if wanted; found never exceeds `wanted`
    found += ((slice == first) | (slice == second) | (slice == third)) ? 1 : 0;
  }
  for (std::size_t d = 0; d < at.distinct; ++d) gathered[d].reserve(counts[at.slice[d]]);
  for (std::size_t k = 0; k < found; ++k) {
    const std::size_t i = positions[k];
    const std::uint64_t slice = slice_at(i);
    gathered[slice == first ? 0 : slice == second ? 1 : 2].push_back(key_at(i));
  }
}

void select_ranks(std::span<const std::uint64_t> keys, std::uint64_t low, std::uint64_t high,
                  std::span<const std::size_t> ranks, std::span<std::uint64_t> out);

// Finds each rank among the gathered keys of its slice: by another counting round over the
// slice's key range when the slice is large, else by nth_element.
template <class RangeOf>
void select_in_slices(std::vector<std::uint64_t> (&gathered)[MAX_RANKS], RangeOf range_of,
                      const Located& at, std::span<const std::size_t> ranks,
                      std::span<std::uint64_t> out) {
  for (std::size_t d = 0; d < at.distinct; ++d) {
    std::span<std::uint64_t> candidates(gathered[d]);
    std::size_t local_ranks[MAX_RANKS];
    std::size_t first = MAX_RANKS, count = 0;
    for (std::size_t r = 0; r < ranks.size(); ++r) {
      if (at.owner[r] != d) continue;
      if (first == MAX_RANKS) first = r;
      local_ranks[count++] = at.offset[r];
    }
    if (candidates.size() > SMALL_SLICE) {
      const KeyRange range = range_of(at.slice[d]);
      select_ranks(candidates, range.low, range.high, std::span(local_ranks, count),
                   out.subspan(first, count));
      continue;
    }
    for (std::size_t k = 0; k < count; ++k) {
      auto nth = candidates.begin() + static_cast<std::ptrdiff_t>(local_ranks[k]);
      std::nth_element(candidates.begin(), nth, candidates.end());
      out[first + k] = *nth;
    }
  }
}

// Finds the keys of the given ranks (ascending) among `keys`, all of which lie in [low, high].
// The range is cut into DIGITS equal slices; one counting pass tells in which slice each rank
// lies, one more pass gathers those few slices, and each is then searched the same way, or by
// nth_element once it is small. Every pass is linear, and the counting pass takes no branch that
// depends on the data.
void select_ranks(std::span<const std::uint64_t> keys, std::uint64_t low, std::uint64_t high,
                  std::span<const std::size_t> ranks, std::span<std::uint64_t> out) {
  if (low == high) {
    for (auto& value : out) value = low;
    return;
  }
  // high - low wraps consistently should the range end past UINT64_MAX.
  const int spread = static_cast<int>(std::bit_width(high - low));
  const int shift = spread > DIGIT_BITS ? spread - DIGIT_BITS : 0;
  Counts counts(DIGITS, 0);
  for (const std::uint64_t key : keys) ++counts[(key - low) >> shift];
  const Located at = locate(counts, ranks);
  if (shift == 0) {  // every slice holds a single key value
    for (std::size_t r = 0; r < ranks.size(); ++r) out[r] = low + at.slice[at.owner[r]];
    return;
  }
  std::vector<std::uint64_t> gathered[MAX_RANKS];
  gather(
      keys.size(), [&](std::size_t i) { return (keys[i] - low) >> shift; },
      [&](std::size_t i) { return keys[i]; }, at, counts, gathered);
  select_in_slices(
      gathered,
      [low, shift](std::uint64_t slice) {
        const std::uint64_t slice_low = low + (slice << shift);
        return KeyRange{slice_low, slice_low + ((std::uint64_t{1} << shift) - 1)};
      },
      at, ranks, out);
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
  out.error_rate = (to_double(errors) / static_cast<double>(n)) * 100.0;

  // Every figure below the average is one element of the durations in totalOrder, so a selection
  // on integer keys gives exactly what a full sort would, in linear time. Two passes: the first
  // sums in store order (its rounding depends on it: a chain of dependent additions, which bounds
  // the pass), and in its shadow finds the extremes and counts the keys into fixed slices; the
  // second gathers the few slices that hold the percentiles.
  Counts counts(DIGITS, 0);
  auto slices = std::make_unique_for_overwrite<std::uint16_t[]>(n);
  double sum = 0.0;
  std::uint64_t low = UINT64_MAX, high = 0;
  for (std::size_t i = 0; i < n; ++i) {
    sum += durations_ms[i];
    const std::uint64_t key = total_order_key(durations_ms[i]);
    low = std::min(low, key);
    high = std::max(high, key);
    const std::uint64_t slice = coarse_slice(key);
    slices[i] = static_cast<std::uint16_t>(slice);
    ++counts[slice];
  }
  out.avg_latency_ms = sum / static_cast<double>(n);
  out.min_latency_ms = from_key(low);
  out.max_latency_ms = from_key(high);

  const std::size_t ranks[] = {percentile_index(n, 0.5), percentile_index(n, 0.95),
                               percentile_index(n, 0.99)};
  std::uint64_t selected[MAX_RANKS];
  const Located at = locate(counts, ranks);
  std::vector<std::uint64_t> gathered[MAX_RANKS];
  gather(
      n, [&](std::size_t i) { return std::uint64_t{slices[i]}; },
      [&](std::size_t i) { return total_order_key(durations_ms[i]); }, at, counts, gathered);
  select_in_slices(gathered, coarse_range, at, ranks, selected);
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
  out.min_latency_ms =
      totals.min_us == multiproc::NO_MIN_US ? 0.0 : to_double(totals.min_us) / 1000.0;
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
