// The Prometheus text exposition (format 0.0.4) of the per-route series and of the standard
// process families: the document that goes beside metrics_text(). Stateless; any thread.
#pragma once

#include <string>
#include <string_view>

#include "core/exposition.h"
#include "core/series.h"
#include "core/snapshot.h"

namespace vantorel::series_text {

// The families, in this order, each with HELP and TYPE lines even without samples:
// vtr_http_requests_total, vtr_http_request_duration_seconds, vtr_http_requests_in_progress (all
// ten method classes), vtr_http_requests_overflow_total, then the six process_* families (one
// whose figure cannot be read is left out): the deployment's when the merge has them (multi-worker
// mode), else `figures`. Every block ends with an empty line.
// The application's families follow the HTTP ones, before the process families. In
// OpenMetrics (`format`), samples carry their exemplars and every family its format's head;
// constant labels go on every sample.
[[nodiscard]] std::string render(const series::Merged& merged,
                                 const snapshot::ProcessFigures& figures,
                                 const exposition::Format& format = {});
// The document for series::merged() and this process's figures.
[[nodiscard]] std::string render(const exposition::Format& format = {});

// Appends `value` as a label value: backslash, double quote and newline escaped.
void append_label_value(std::string& out, std::string_view value);

}  // namespace vantorel::series_text
