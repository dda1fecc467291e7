#include "core/alerts.h"

#include <utility>
#include <variant>

namespace vantorel::alerts {
namespace {

// Strict, and false for a NaN threshold, so a NaN never fires.
void check_one(std::vector<Alert>& fired, std::string_view metric, double value,
               const std::optional<double>& threshold) {
  if (threshold && value > *threshold) fired.push_back(Alert{metric, value, *threshold});
}

}  // namespace

std::vector<Alert> evaluate(const snapshot::Snapshot& snap, const Thresholds& limits) {
  std::vector<Alert> fired;
  check_one(fired, "cpu_percent", snap.cpu_percent, limits.cpu_percent);
  check_one(fired, "memory_rss_mb", snapshot::megabytes(snap.memory_rss), limits.memory_rss_mb);
  check_one(fired, "memory_virtual_mb", snapshot::megabytes(snap.memory_virtual),
            limits.memory_virtual_mb);
  return fired;
}

Result<std::vector<Alert>> check(const Thresholds& limits) {
  // The snapshot is taken even with no threshold given: every check ends the CPU interval.
  auto collected = snapshot::collect();
  if (auto* failure = std::get_if<Failure>(&collected)) return std::move(*failure);
  return evaluate(std::get<snapshot::Snapshot>(collected), limits);
}

}  // namespace vantorel::alerts
