// The Prometheus text exposition (format 0.0.4) of the aggregate and the process snapshot.
// Stateless; any thread.
#pragma once

#include <string>
#include <string_view>

#include "core/exposition.h"

namespace vantorel::prometheus {

inline constexpr std::string_view CONTENT_TYPE = "text/plain; version=0.0.4; charset=utf-8";

// The whole document: nine request blocks, then four process blocks unless the snapshot failed.
// metrics_text() is the 0.0.4 one; the endpoints ask for OpenMetrics too (no constant labels:
// this document is fixed).
[[nodiscard]] std::string render(bool openmetrics = false);

}  // namespace vantorel::prometheus
