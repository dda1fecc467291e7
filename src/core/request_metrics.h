// The process-wide store of the most recent requests: a bounded FIFO ring buffer. STORE has its own
// mutex and MAX_REQUESTS is a relaxed atomic beside it; call any of these from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vantorel::request_metrics {

struct RequestMetric {
  std::string method, path;
  std::uint16_t status_code = 0;
  double duration_ms = 0.0;
  std::uint64_t timestamp = 0;  // whole Unix seconds, 0 before 1970
};

// What aggregation needs of the store, without the texts: durations oldest first and the
// number of records whose status is 400 or more.
struct Samples {
  std::vector<double> durations_ms;
  std::uint64_t errors = 0;
};

inline constexpr std::uint64_t DEFAULT_MAX_REQUESTS = 10000;

// Appends a request stamped `timestamp` (whole Unix seconds), evicting the oldest past the
// limit. (request::record reads the clock and tells the shard too.)
void record(std::string_view method, std::string_view path, std::uint16_t status_code,
            double duration_ms, std::uint64_t timestamp);
[[nodiscard]] std::vector<RequestMetric> get_all();  // a copy, never a view
[[nodiscard]] Samples get_samples();
void clear();
void set_max_requests(std::uint64_t max);  // clamps to at least 1, evicts the oldest at once
[[nodiscard]] std::uint64_t max_requests();

}  // namespace vantorel::request_metrics
