// The Prometheus text exposition (format 0.0.4) of the aggregate and the process snapshot.
// Stateless; any thread.
#pragma once

#include <span>
#include <string>
#include <string_view>

namespace vantorel::prometheus {

inline constexpr std::string_view CONTENT_TYPE = "text/plain; version=0.0.4; charset=utf-8";

// Appends a family's HELP and TYPE lines; its samples follow.
void push_head(std::string& out, std::string_view name, std::string_view type,
               std::string_view help);

// Appends one block: HELP, TYPE and sample lines, then an empty line.
void push_metric(std::string& out, std::string_view name, std::string_view type,
                 std::string_view help, double value);

// One block of push_metric.
struct Block {
  std::string_view name, type, help;
  double value;
};

void push_blocks(std::string& out, std::span<const Block> blocks);

// The whole document: nine request blocks, then four process blocks unless the snapshot failed.
[[nodiscard]] std::string render();

}  // namespace vantorel::prometheus
