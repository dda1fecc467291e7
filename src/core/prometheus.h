// The Prometheus text exposition (format 0.0.4) of the aggregate and the process snapshot.
// Stateless; any thread.
#pragma once

#include <string>
#include <string_view>

namespace vantorel::prometheus {

inline constexpr std::string_view CONTENT_TYPE = "text/plain; version=0.0.4; charset=utf-8";

// Appends one block: HELP, TYPE and sample lines, then an empty line.
void push_metric(std::string& out, std::string_view name, std::string_view type,
                 std::string_view help, double value);

// The whole document: nine request blocks, then four process blocks unless the snapshot failed.
[[nodiscard]] std::string render();

}  // namespace vantorel::prometheus
