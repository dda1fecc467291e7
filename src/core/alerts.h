// Threshold checks over a fresh process snapshot. Stateless; any thread.
#pragma once

#include <optional>
#include <string_view>
#include <vector>

#include "core/result.h"
#include "core/snapshot.h"

namespace vantorel::alerts {

struct Alert {
  std::string_view metric;  // "cpu_percent", "memory_rss_mb" or "memory_virtual_mb"
  double value;             // in the unit of its threshold
  double threshold;
};

struct Thresholds {
  std::optional<double> cpu_percent;
  std::optional<double> memory_rss_mb;
  std::optional<double> memory_virtual_mb;
};

// The alerts that fire for `snap`, in the order cpu, rss, virtual. Strict comparison.
[[nodiscard]] std::vector<Alert> evaluate(const snapshot::Snapshot& snap, const Thresholds& limits);

// Collects a snapshot (always, even with no threshold) and evaluates it.
[[nodiscard]] Result<std::vector<Alert>> check(const Thresholds& limits);

}  // namespace vantorel::alerts
