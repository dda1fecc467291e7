// The text formats' line writing, shared by both documents (metrics_text()'s and the series'):
// Prometheus text 0.0.4, or OpenMetrics 1.0.0 with its exemplars, and constant labels that an
// application adds to every sample of the series' document. Stateless; any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/series.h"

namespace vantorel::exposition {

struct Format {
  bool openmetrics = false;
  // Label pairs for every sample, already written: a="b",c="d" (escaped); empty for none.
  std::string constant;
};

// HELP, TYPE (and, in OpenMetrics, UNIT where given) of a family whose samples are named
// `name`: OpenMetrics names a counter's family without its "_total". HELP is escaped as each
// format asks.
void head(std::string& out, const Format& format, std::string_view name, std::string_view type,
          std::string_view help, std::string_view unit = {});

// One sample line's start: name{constant,labels,more} then a space. Braces only where there
// is a label.
void open_sample(std::string& out, const Format& format, std::string_view name,
                 std::string_view labels, std::string_view more = {});

// The end of a family's block: an empty line in the text format 0.0.4; nothing in OpenMetrics,
// which has no empty lines.
inline void end_family(std::string& out, const Format& format) {
  if (!format.openmetrics) out += '\n';
}

// A label value, backslash, double quote and newline escaped.
void label_value(std::string& out, std::string_view value);

// A bucket bound as prometheus_client writes an `le` value (Python's repr of the float, with
// Go's switch to an exponent from 1e6 on: "1.0", "0.25", "1e+06"), so that an application that
// moves its histograms over keeps the same series.
void go_float(std::string& out, double value);

// A count: digits below 2^53, the shortest double past that.
void count(std::string& out, std::uint64_t value);

// In OpenMetrics, an exemplar after a sample's value (nothing when it has none): its trace and
// span ids, its value and its time.
void exemplar(std::string& out, const Format& format, const series::Exemplar& exemplar);

}  // namespace vantorel::exposition
