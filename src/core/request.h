// A finished request, as record_request() and the middleware report it: the ring of recent
// requests, this worker's shard and (for the middleware's report) the request's per-route
// series, in turn, stamped with one reading of the wall clock. Any thread; each component takes
// its own lock, one after the other.
#pragma once

#include <cstdint>
#include <string_view>

#include "core/clock.h"
#include "core/multiproc.h"
#include "core/request_metrics.h"
#include "core/series.h"

namespace vantorel::request {

// Inline, as the calls they stand for: these are the per-request paths.

// The ring and the shard: record_request().
inline void record(std::string_view method, std::string_view path, std::uint16_t status_code,
                   double duration_ms) {
  const std::uint64_t timestamp = wallclock::unix_seconds();
  if (!multiproc::known_disabled()) multiproc::record(status_code, duration_ms, timestamp);
  request_metrics::record(method, path, status_code, duration_ms, timestamp);
}

// The ring, the shard and the series of (method, route, status), whose in-progress gauge goes
// down; `traced` (trace and span ids) is kept as the exemplar of its bucket and of its count.
inline void finish(std::string_view method, std::string_view path, std::string_view route,
                   std::uint16_t status_code, double duration_ms,
                   const series::Exemplar* traced = nullptr) {
  record(method, path, status_code, duration_ms);
  if (traced != nullptr) {
    series::finish_traced(method, route, status_code, duration_ms, traced->trace_hi,
                          traced->trace_lo, traced->span);
  } else {
    series::finish(method, route, status_code, duration_ms);
  }
}

}  // namespace vantorel::request
