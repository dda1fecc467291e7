#include "core/series_text.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "core/exposition.h"
#include "core/numfmt.h"

namespace vantorel::series_text {
namespace {

using exposition::Format;
using series::Series;

constexpr std::string_view REQUESTS = "vtr_http_requests_total";
constexpr std::string_view DURATION = "vtr_http_request_duration_seconds";
constexpr std::string_view IN_PROGRESS = "vtr_http_requests_in_progress";
constexpr std::string_view OVERFLOW = "vtr_http_requests_overflow_total";

// Every sample line of the four request families takes about 90 bytes; a histogram has 16 per
// method and route.
constexpr std::size_t BYTES_PER_SERIES = 1600;
constexpr std::size_t FIXED_BYTES = 4096;

constexpr std::uint64_t TWO_TO_53 = std::uint64_t{1} << 53;
constexpr std::uint64_t SATURATED = std::numeric_limits<std::uint64_t>::max();

void append_gauge(std::string& out, std::int64_t value) {
  if (value < 0 && value > -static_cast<std::int64_t>(TWO_TO_53)) {
    out += '-';
    numfmt::append_uint(out, static_cast<std::uint64_t>(-value));
  } else if (value >= 0) {
    exposition::count(out, static_cast<std::uint64_t>(value));
  } else {
    numfmt::append_shortest(out, static_cast<double>(value));
  }
}

// The le label values: the bucket bounds in seconds ("0.001" ... "10" for the shard's), then
// "+Inf".
std::vector<std::string> le_texts(const std::vector<double>& bounds) {
  std::vector<std::string> texts(bounds.size() + 1);
  for (std::size_t i = 0; i < bounds.size(); ++i) {
    texts[i] = "le=\"";
    numfmt::append_shortest(texts[i], bounds[i]);
    texts[i] += '"';
  }
  texts.back() = "le=\"+Inf\"";
  return texts;
}

// method="...",route="..." of one series.
std::string route_labels(const Series& s) {
  std::string labels = "method=\"";
  exposition::label_value(labels, s.method);
  labels += "\",route=\"";
  exposition::label_value(labels, s.route);
  labels += '"';
  return labels;
}

void append_requests(std::string& out, const series::Merged& merged, const Format& format) {
  exposition::head(out, format, REQUESTS, "counter",
                   "HTTP requests that have finished, by method, route template and status code.");
  for (const Series& s : merged.series) {
    std::string labels = route_labels(s);
    labels += ",status=\"";
    if (s.overflow) {
      labels += "OTHER";
    } else if (s.status >= 1 && s.status <= 5) {
      // A status class (series::set_status_classes).
      labels += static_cast<char>('0' + s.status);
      labels += "xx";
    } else {
      numfmt::append_uint(labels, s.status);
    }
    labels += '"';
    exposition::open_sample(out, format, REQUESTS, labels);
    exposition::count(out, s.count);
    exposition::exemplar(out, format, s.exemplars[series::BUCKET_COUNT]);
    out += '\n';
  }
  exposition::end_family(out, format);
}

// One histogram per method and route: the series of its statuses, consecutive once sorted.
// Each bucket's exemplar is the most recent of theirs.
void append_durations(std::string& out, const series::Merged& merged, const Format& format) {
  exposition::head(out, format, DURATION, "histogram",
                   "How long HTTP requests took, from their arrival to the end of the response, "
                   "in seconds, by method and route template.",
                   "seconds");
  const auto& all = merged.series;
  const std::vector<std::string> le = le_texts(merged.duration_bounds);
  const std::size_t shown = std::min(le.size(), series::BUCKET_COUNT);
  const std::string bucket = std::string(DURATION) + "_bucket";
  const std::string sum = std::string(DURATION) + "_sum";
  const std::string count = std::string(DURATION) + "_count";
  for (std::size_t i = 0; i < all.size();) {
    std::array<std::uint64_t, series::BUCKET_COUNT> buckets{};
    series::Exemplars exemplars{};
    std::uint64_t sum_us = 0;
    std::size_t j = i;
    for (; j < all.size() && all[j].method == all[i].method && all[j].route == all[i].route; ++j) {
      for (std::size_t b = 0; b < series::BUCKET_COUNT; ++b) {
        buckets[b] += all[j].buckets[b];
        if (all[j].exemplars[b].time_us > exemplars[b].time_us) exemplars[b] = all[j].exemplars[b];
      }
      if (__builtin_add_overflow(sum_us, all[j].sum_us, &sum_us)) sum_us = SATURATED;
    }
    const std::string labels = route_labels(all[i]);
    std::uint64_t cumulative = 0;
    for (std::size_t b = 0; b < shown; ++b) {
      cumulative += buckets[b];
      exposition::open_sample(out, format, bucket, labels, le[b]);
      exposition::count(out, cumulative);
      exposition::exemplar(out, format, exemplars[b]);
      out += '\n';
    }
    exposition::open_sample(out, format, sum, labels);
    numfmt::append_shortest(out, static_cast<double>(sum_us) / 1e6);
    out += '\n';
    // The count is the +Inf bucket's, so that the histogram agrees with itself even when a
    // writer was half-way through one request as its file was read.
    exposition::open_sample(out, format, count, labels);
    exposition::count(out, cumulative);
    out += '\n';
    i = j;
  }
  exposition::end_family(out, format);
}

void append_in_progress(std::string& out, const series::Merged& merged, const Format& format) {
  exposition::head(out, format, IN_PROGRESS, "gauge",
                   "HTTP requests that have started and not yet finished, by method.");
  for (std::size_t i = 0; i < series::METHOD_CLASS_COUNT; ++i) {
    std::string labels = "method=\"";
    labels += series::METHOD_CLASSES[i];
    labels += '"';
    exposition::open_sample(out, format, IN_PROGRESS, labels);
    append_gauge(out, merged.in_progress[i]);
    out += '\n';
  }
  exposition::end_family(out, format);
}

// A family of one sample without labels of its own (but the constant ones).
void append_single(std::string& out, const Format& format, std::string_view name,
                   std::string_view type, std::string_view help, double value,
                   std::string_view unit = {}) {
  exposition::head(out, format, name, type, help, unit);
  exposition::open_sample(out, format, name, {});
  numfmt::append_shortest(out, value);
  out += '\n';
  exposition::end_family(out, format);
}

// The label pairs of a sample of the application's: its family's labels (each "<overflow>" for
// the overflow series), and the worker's pid for a gauge shown per worker.
std::string sample_labels(const series::Family& family, const series::Sample& sample) {
  std::string labels;
  for (std::size_t i = 0; i < family.labels.size(); ++i) {
    if (i > 0) labels += ',';
    labels += family.labels[i];
    labels += "=\"";
    exposition::label_value(labels, sample.overflow ? std::string_view("<overflow>")
                                                    : std::string_view(sample.labels[i]));
    labels += '"';
  }
  // A process counting alone has no workers to tell apart (pid 0 from its merge).
  if (family.kind == series::Kind::gauge && series::per_worker(family.mode) && sample.pid != 0) {
    if (!labels.empty()) labels += ',';
    labels += "pid=\"";
    numfmt::append_uint(labels, sample.pid);
    labels += '"';
  }
  return labels;
}

// The application's families, each with its samples: a counter as name_total, a histogram's
// cumulative buckets (le), _sum and _count, a summary's _count and _sum.
void append_families(std::string& out, const series::Merged& merged, const Format& format) {
  constexpr std::string_view TYPES[] = {"", "counter", "gauge", "histogram", "summary"};
  for (const series::FamilySamples& entry : merged.families) {
    const series::Family& family = entry.family;
    const std::string name =
        family.name + (family.kind == series::Kind::counter ? "_total" : std::string());
    exposition::head(out, format, name, TYPES[static_cast<int>(family.kind)], family.help);
    std::vector<std::string> le;
    if (family.kind == series::Kind::histogram) {
      for (const double bound : family.bounds) {
        le.emplace_back("le=\"");
        exposition::go_float(le.back(), bound);
        le.back() += '"';
      }
      le.emplace_back("le=\"+Inf\"");
    }
    for (const series::Sample& sample : entry.samples) {
      const std::string labels = sample_labels(family, sample);
      switch (family.kind) {
        case series::Kind::counter:
        case series::Kind::gauge:
          exposition::open_sample(out, format, name, labels);
          numfmt::append_shortest(out, sample.value);
          out += '\n';
          break;
        case series::Kind::summary:
          exposition::open_sample(out, format, name + "_count", labels);
          exposition::count(out, sample.count);
          out += '\n';
          exposition::open_sample(out, format, name + "_sum", labels);
          numfmt::append_shortest(out, sample.value);
          out += '\n';
          break;
        case series::Kind::histogram: {
          std::uint64_t cumulative = 0;
          for (std::size_t b = 0; b < sample.buckets.size(); ++b) {
            cumulative += sample.buckets[b];
            exposition::open_sample(out, format, name + "_bucket", labels, le[b]);
            exposition::count(out, cumulative);
            out += '\n';
          }
          exposition::open_sample(out, format, name + "_sum", labels);
          numfmt::append_shortest(out, sample.value);
          out += '\n';
          exposition::open_sample(out, format, name + "_count", labels);
          exposition::count(out, cumulative);
          out += '\n';
          break;
        }
      }
    }
    exposition::end_family(out, format);
  }
}

template <class T>
std::optional<double> as_double(const std::optional<T>& figure) {
  if (!figure) return std::nullopt;
  return static_cast<double>(*figure);
}

struct ProcessFamily {
  std::string_view name, type, help, deployment_help, unit;
};

constexpr ProcessFamily PROCESS_FAMILIES[] = {
    {"process_cpu_seconds_total", "counter",
     "CPU time this process has used, user and system together, in seconds.",
     "CPU time the deployment's worker processes have used, user and system together, in "
     "seconds, dead workers' included: each worker's as it last published it.",
     "seconds"},
    {"process_resident_memory_bytes", "gauge", "Resident memory of this process, in bytes.",
     "Resident memory of the deployment's live worker processes, summed, in bytes.", "bytes"},
    {"process_virtual_memory_bytes", "gauge", "Virtual memory of this process, in bytes.",
     "Virtual memory of the deployment's live worker processes, summed, in bytes.", "bytes"},
    {"process_start_time_seconds", "gauge",
     "When this process started, in seconds since the Unix epoch.",
     "When the deployment's first worker process started, in seconds since the Unix epoch.",
     "seconds"},
    {"process_open_fds",
     "gauge",
     "File descriptors this process has open.",
     "File descriptors the deployment's live worker processes have open, summed.",
     {}},
    {"process_max_fds",
     "gauge",
     "The most file descriptors this process may have open (its soft limit).",
     "The most file descriptors the deployment's live worker processes may have open (their "
     "soft limits), summed.",
     {}},
};

// The standard process families: of this process, or in multi-worker mode of the deployment
// (the workers of the directory); one whose figure could not be read is left out.
void append_process(std::string& out, const snapshot::ProcessFigures& f, bool deployment,
                    const Format& format) {
  const std::optional<double> values[] = {
      f.cpu_seconds,        as_double(f.resident_bytes), as_double(f.virtual_bytes),
      f.start_time_seconds, as_double(f.open_fds),       as_double(f.max_fds)};
  for (std::size_t i = 0; i < std::size(PROCESS_FAMILIES); ++i) {
    const ProcessFamily& family = PROCESS_FAMILIES[i];
    if (!values[i]) continue;
    append_single(out, format, family.name, family.type,
                  deployment ? family.deployment_help : family.help, *values[i], family.unit);
  }
}

}  // namespace

void append_label_value(std::string& out, std::string_view value) {
  exposition::label_value(out, value);
}

std::string render(const series::Merged& merged, const snapshot::ProcessFigures& figures,
                   const exposition::Format& format) {
  std::string out;
  out.reserve(FIXED_BYTES + merged.series.size() * BYTES_PER_SERIES);
  append_requests(out, merged, format);
  append_durations(out, merged, format);
  append_in_progress(out, merged, format);
  append_single(out, format, OVERFLOW, "counter",
                "Requests counted under the overflow series because the series limit was reached.",
                static_cast<double>(merged.overflow));
  append_families(out, merged, format);
  if (merged.deployment) {
    append_process(out, *merged.deployment, true, format);
  } else {
    append_process(out, figures, false, format);
  }
  return out;
}

std::string render(const exposition::Format& format) {
  const series::Merged merged = series::merged(format.openmetrics);
  return render(
      merged, merged.deployment ? snapshot::ProcessFigures{} : snapshot::process_figures(), format);
}

}  // namespace vantorel::series_text
