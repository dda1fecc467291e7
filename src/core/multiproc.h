// Multi-worker mode: this process's shard writer (STATE, with its own mutex) and the merge of every
// worker's shard in the shared directory. Call from any thread.
//
// A shard is a 176-byte file "vtr-<pid>.shard" of 22 native-endian u64 words, mapped MAP_SHARED by
// its owner. Other workers map it too: counters change only by atomic read-modify-write.
#pragma once

#include <array>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vantorel::multiproc {

inline constexpr std::size_t SHARD_SIZE = 176;
inline constexpr std::size_t BUCKET_COUNT = 14;
inline constexpr std::array<double, BUCKET_COUNT - 1> BUCKET_BOUNDS_MS{
    1, 2, 5, 10, 25, 50, 100, 250, 500, 1000, 2500, 5000, 10000};
inline constexpr std::uint64_t NO_MIN_US = std::numeric_limits<std::uint64_t>::max();

// The file layout, word by word. Never read or written through this struct's fields directly on a
// live mapping: use atomic_ref on the words.
struct Shard {
  std::uint64_t marker;  // 1 once the owner initialised the shard
  std::uint64_t pid;     // owner, zero-extended from 32 bits
  std::uint64_t count;
  std::uint64_t errors;  // status >= 400
  std::uint64_t sum_us;  // wraps modulo 2^64
  std::uint64_t min_us;  // NO_MIN_US while nothing was recorded
  std::uint64_t max_us;
  std::uint64_t updated_at;  // Unix seconds; informational
  std::uint64_t buckets[BUCKET_COUNT];
};

struct MergedTotals {
  std::array<std::uint64_t, BUCKET_COUNT> buckets{};
  std::uint64_t count = 0;
  std::uint64_t errors = 0;
  std::uint64_t sum_us = 0;  // saturating
  std::uint64_t min_us = NO_MIN_US;
  std::uint64_t max_us = 0;
};

// Why the last attempt to switch the mode on failed: the step (a fixed text such as "mkdir" or
// "reserve space"), its errno (0 where there is none) and the directory as given.
struct OpenFailure {
  const char* step = "";
  int error = 0;
  std::string directory;
};

// Switches the mode off (nullopt, empty or blank) or on with `directory`. Never fails: an unusable
// directory leaves the mode off.
void set_dir(std::optional<std::string_view> directory);
// The directory while the mode is on. The first call in a process may read VTR_MULTIPROC_DIR.
[[nodiscard]] std::optional<std::string> dir();
// Set while the mode is off because the last attempt to switch it on (from VTR_MULTIPROC_DIR or
// set_dir) failed; nullopt while it is on, or off by choice. The module never reports this
// itself: the package asks, to tell the operator.
[[nodiscard]] std::optional<OpenFailure> last_failure();

namespace detail {
extern std::atomic<bool> KNOWN_DISABLED;       // owned and written by multiproc.cpp
extern std::atomic<std::uint64_t> GENERATION;  // likewise
}  // namespace detail

// Grows by one on every switch of the mode (on, off, on again with the same directory, and the
// first read of VTR_MULTIPROC_DIR), never lower than 1. Components that keep files of their own
// in the directory follow the mode with it: one load per request to see whether it moved.
inline std::uint64_t generation() noexcept {
  return detail::GENERATION.load(std::memory_order_acquire);
}

// The directory while the mode is on (nullopt while off), and the generation of the switch that
// made it so. Like dir(), the first call in a process may read VTR_MULTIPROC_DIR.
struct Current {
  std::optional<std::string> directory;
  std::uint64_t generation = 0;
};
[[nodiscard]] Current current();

// True while the mode is known to be off, so that record() would do nothing: one load, for the
// per-request path to test before it calls record().
inline bool known_disabled() noexcept {
  return detail::KNOWN_DISABLED.load(std::memory_order_acquire);
}

// Counts one request into this process's shard when the mode is on, stamping the shard with
// `unix_seconds` (the request store passes the time it has just read). No system call, no
// allocation.
void record(std::uint16_t status_code, double duration_ms, std::uint64_t unix_seconds);

// nullopt while the mode is off; otherwise the sum over the live workers' shards. Deletes shards
// whose owner is gone.
[[nodiscard]] std::optional<MergedTotals> merged();

// The sum of these shards, as merged() sums the live workers' (counts wrap, the sum saturates).
[[nodiscard]] MergedTotals sum(std::span<const Shard> shards);

// The pids of the live owners of the shards in `directory`, sorted; read only.
[[nodiscard]] std::vector<std::uint64_t> live_owners(const std::string& directory);

[[nodiscard]] double histogram_quantile(std::span<const std::uint64_t, BUCKET_COUNT> buckets,
                                        double q, double max_ms);
// The same estimate over any bucket layout: `buckets` holds one more count than `bounds` (the
// finite upper bounds, ascending, at least one), the last above them.
[[nodiscard]] double bucket_quantile(std::span<const std::uint64_t> buckets,
                                     std::span<const double> bounds, double q, double max_ms);

// The first bucket whose bound is >= the duration; the overflow bucket above the last bound, or
// for NaN. Inline: two record paths call it per request.
[[nodiscard]] inline std::size_t bucket_index(double duration_ms) {
  for (std::size_t i = 0; i < BUCKET_BOUNDS_MS.size(); ++i) {
    if (duration_ms <= BUCKET_BOUNDS_MS[i]) return i;
  }
  return BUCKET_COUNT - 1;
}

// Whole microseconds, truncated; 0 for NaN and negative durations, saturated from 2^64 on.
[[nodiscard]] inline std::uint64_t to_micros(double duration_ms) {
  if (std::isnan(duration_ms) || duration_ms < 0.0) return 0;
  const double micros = duration_ms * 1000.0;
  // 2^64 is the first double past the range; the cast would be undefined from there on.
  if (micros >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
  return static_cast<std::uint64_t>(micros);
}

}  // namespace vantorel::multiproc
