#include "core/series_text.h"

#include <array>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "core/numfmt.h"
#include "core/prometheus.h"

namespace vantorel::series_text {
namespace {

using series::Series;

constexpr std::string_view REQUESTS = "vtr_http_requests_total";
constexpr std::string_view DURATION = "vtr_http_request_duration_seconds";
constexpr std::string_view IN_PROGRESS = "vtr_http_requests_in_progress";
constexpr std::string_view OVERFLOW = "vtr_http_requests_overflow_total";

// Every sample line of the four request families takes about 90 bytes; a histogram has 16 per
// method and route.
constexpr std::size_t BYTES_PER_SERIES = 1600;
constexpr std::size_t FIXED_BYTES = 4096;

// Whole numbers below 2^53 print as their digits, exactly what shortest round-trip gives them,
// without its detour through a double.
constexpr std::uint64_t TWO_TO_53 = std::uint64_t{1} << 53;
constexpr std::uint64_t SATURATED = std::numeric_limits<std::uint64_t>::max();  // saturated

void append_count(std::string& out, std::uint64_t value) {
  if (value < TWO_TO_53) {
    numfmt::append_uint(out, value);
  } else {
    numfmt::append_shortest(out, static_cast<double>(value));
  }
}

void append_gauge(std::string& out, std::int64_t value) {
  if (value < 0 && value > -static_cast<std::int64_t>(TWO_TO_53)) {
    out += '-';
    numfmt::append_uint(out, static_cast<std::uint64_t>(-value));
  } else if (value >= 0) {
    append_count(out, static_cast<std::uint64_t>(value));
  } else {
    numfmt::append_shortest(out, static_cast<double>(value));
  }
}

void append_seconds(std::string& out, std::uint64_t micros) {
  numfmt::append_shortest(out, static_cast<double>(micros) / 1e6);
}

using prometheus::push_head;
using prometheus::push_metric;

// The le label values: the bucket bounds in seconds ("0.001" ... "10"), then "+Inf".
const std::array<std::string, series::BUCKET_COUNT>& le_texts() {
  static const std::array<std::string, series::BUCKET_COUNT> TEXTS = [] {
    std::array<std::string, series::BUCKET_COUNT> texts;
    for (std::size_t i = 0; i + 1 < series::BUCKET_COUNT; ++i) {
      numfmt::append_shortest(texts[i], multiproc::BUCKET_BOUNDS_MS[i] / 1000.0);
    }
    texts.back() = "+Inf";
    return texts;
  }();
  return TEXTS;
}

// method="...",route="..." of one series.
void append_route_labels(std::string& out, const Series& s) {
  out += "method=\"";
  append_label_value(out, s.method);
  out += "\",route=\"";
  append_label_value(out, s.route);
  out += '"';
}

void append_requests(std::string& out, const series::Merged& merged) {
  push_head(out, REQUESTS, "counter",
            "HTTP requests that have finished, by method, route template and status code.");
  for (const Series& s : merged.series) {
    out += REQUESTS;
    out += '{';
    append_route_labels(out, s);
    out += ",status=\"";
    if (s.overflow) {
      out += "OTHER";
    } else {
      numfmt::append_uint(out, s.status);
    }
    out += "\"} ";
    append_count(out, s.count);
    out += '\n';
  }
  out += '\n';
}

void append_histogram_group(std::string& out, const Series& first,
                            const std::array<std::uint64_t, series::BUCKET_COUNT>& buckets,
                            std::uint64_t sum_us) {
  std::string labels;
  append_route_labels(labels, first);
  // DURATION + suffix + {labels + more}, then the value's place.
  const auto open_sample = [&](std::string_view suffix, std::string_view more) {
    out += DURATION;
    out += suffix;
    out += '{';
    out += labels;
    out += more;
    out += "} ";
  };
  const auto& le = le_texts();
  std::uint64_t cumulative = 0;
  for (std::size_t i = 0; i < series::BUCKET_COUNT; ++i) {
    cumulative += buckets[i];
    out += DURATION;
    out += "_bucket{";
    out += labels;
    out += ",le=\"";
    out += le[i];
    out += "\"} ";
    append_count(out, cumulative);
    out += '\n';
  }
  open_sample("_sum", "");
  append_seconds(out, sum_us);
  out += '\n';
  // The count is the +Inf bucket's, so that the histogram agrees with itself even when a writer
  // was half-way through one request as its file was read.
  open_sample("_count", "");
  append_count(out, cumulative);
  out += '\n';
}

// One histogram per method and route: the series of its statuses, consecutive once sorted.
void append_durations(std::string& out, const series::Merged& merged) {
  push_head(out, DURATION, "histogram",
            "How long HTTP requests took, from their arrival to the end of the response, in "
            "seconds, by method and route template.");
  const auto& all = merged.series;
  for (std::size_t i = 0; i < all.size();) {
    std::array<std::uint64_t, series::BUCKET_COUNT> buckets{};
    std::uint64_t sum_us = 0;
    std::size_t j = i;
    for (; j < all.size() && all[j].method == all[i].method && all[j].route == all[i].route; ++j) {
      for (std::size_t b = 0; b < series::BUCKET_COUNT; ++b) buckets[b] += all[j].buckets[b];
      if (__builtin_add_overflow(sum_us, all[j].sum_us, &sum_us)) sum_us = SATURATED;
    }
    append_histogram_group(out, all[i], buckets, sum_us);
    i = j;
  }
  out += '\n';
}

void append_in_progress(std::string& out, const series::Merged& merged) {
  push_head(out, IN_PROGRESS, "gauge",
            "HTTP requests that have started and not yet finished, by method.");
  for (std::size_t i = 0; i < series::METHOD_CLASS_COUNT; ++i) {
    out += IN_PROGRESS;
    out += "{method=\"";
    out += series::METHOD_CLASSES[i];
    out += "\"} ";
    append_gauge(out, merged.in_progress[i]);
    out += '\n';
  }
  out += '\n';
}

// HELP and TYPE of one of the application's families: its help text escaped as the format asks
// (backslash and newline).
void push_family_head(std::string& out, std::string_view name, std::string_view type,
                      std::string_view help) {
  out += "# HELP ";
  out += name;
  out += ' ';
  for (const char c : help) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  out += "\n# TYPE ";
  out += name;
  out += ' ';
  out += type;
  out += '\n';
}

// The label pairs of a sample, without braces: its family's labels (each "<overflow>" for the
// overflow series), and the worker's pid for a gauge shown per worker.
std::string sample_labels(const series::Family& family, const series::Sample& sample) {
  std::string labels;
  for (std::size_t i = 0; i < family.labels.size(); ++i) {
    if (i > 0) labels += ',';
    labels += family.labels[i];
    labels += "=\"";
    append_label_value(labels, sample.overflow ? std::string_view("<overflow>")
                                               : std::string_view(sample.labels[i]));
    labels += '"';
  }
  if (family.kind == series::Kind::gauge && series::per_worker(family.mode)) {
    if (!labels.empty()) labels += ',';
    labels += "pid=\"";
    numfmt::append_uint(labels, sample.pid);
    labels += '"';
  }
  return labels;
}

// name{labels[,more]} value
void push_sample(std::string& out, std::string_view name, std::string_view labels,
                 std::string_view more, double value) {
  out += name;
  if (!labels.empty() || !more.empty()) {
    out += '{';
    out += labels;
    if (!labels.empty() && !more.empty()) out += ',';
    out += more;
    out += '}';
  }
  out += ' ';
  numfmt::append_shortest(out, value);
  out += '\n';
}

void push_count(std::string& out, std::string_view name, std::string_view labels,
                std::string_view more, std::uint64_t value) {
  out += name;
  if (!labels.empty() || !more.empty()) {
    out += '{';
    out += labels;
    if (!labels.empty() && !more.empty()) out += ',';
    out += more;
    out += '}';
  }
  out += ' ';
  append_count(out, value);
  out += '\n';
}

// The application's families, each with its samples: a counter as name_total, a histogram's
// cumulative buckets (le), _sum and _count, a summary's _count and _sum.
void append_families(std::string& out, const series::Merged& merged) {
  for (const series::FamilySamples& entry : merged.families) {
    const series::Family& family = entry.family;
    std::string name = family.name;
    switch (family.kind) {
      case series::Kind::counter:
        name += "_total";
        push_family_head(out, name, "counter", family.help);
        break;
      case series::Kind::gauge:
        push_family_head(out, name, "gauge", family.help);
        break;
      case series::Kind::summary:
        push_family_head(out, name, "summary", family.help);
        break;
      case series::Kind::histogram:
        push_family_head(out, name, "histogram", family.help);
        break;
    }
    std::vector<std::string> le;
    if (family.kind == series::Kind::histogram) {
      for (const double bound : family.bounds) {
        le.emplace_back("le=\"");
        numfmt::append_shortest(le.back(), bound);
        le.back() += '"';
      }
      le.emplace_back("le=\"+Inf\"");
    }
    for (const series::Sample& sample : entry.samples) {
      const std::string labels = sample_labels(family, sample);
      switch (family.kind) {
        case series::Kind::counter:
        case series::Kind::gauge:
          push_sample(out, name, labels, {}, sample.value);
          break;
        case series::Kind::summary:
          push_count(out, name + "_count", labels, {}, sample.count);
          push_sample(out, name + "_sum", labels, {}, sample.value);
          break;
        case series::Kind::histogram: {
          std::uint64_t cumulative = 0;
          for (std::size_t b = 0; b < sample.buckets.size(); ++b) {
            cumulative += sample.buckets[b];
            push_count(out, name + "_bucket", labels, le[b], cumulative);
          }
          push_sample(out, name + "_sum", labels, {}, sample.value);
          push_count(out, name + "_count", labels, {}, cumulative);
          break;
        }
      }
    }
    out += '\n';
  }
}

template <class T>
std::optional<double> as_double(const std::optional<T>& figure) {
  if (!figure) return std::nullopt;
  return static_cast<double>(*figure);
}

struct ProcessFamily {
  std::string_view name, type, help, deployment_help;
};

constexpr ProcessFamily PROCESS_FAMILIES[] = {
    {"process_cpu_seconds_total", "counter",
     "CPU time this process has used, user and system together, in seconds.",
     "CPU time the deployment's worker processes have used, user and system together, in "
     "seconds, dead workers' included: each worker's as it last published it."},
    {"process_resident_memory_bytes", "gauge", "Resident memory of this process, in bytes.",
     "Resident memory of the deployment's live worker processes, summed, in bytes."},
    {"process_virtual_memory_bytes", "gauge", "Virtual memory of this process, in bytes.",
     "Virtual memory of the deployment's live worker processes, summed, in bytes."},
    {"process_start_time_seconds", "gauge",
     "When this process started, in seconds since the Unix epoch.",
     "When the deployment's first worker process started, in seconds since the Unix epoch."},
    {"process_open_fds", "gauge", "File descriptors this process has open.",
     "File descriptors the deployment's live worker processes have open, summed."},
    {"process_max_fds", "gauge",
     "The most file descriptors this process may have open (its soft limit).",
     "The most file descriptors the deployment's live worker processes may have open (their "
     "soft limits), summed."},
};

// The standard process families: of this process, or in multi-worker mode of the deployment
// (the workers of the directory); one whose figure could not be read is left out.
void append_process(std::string& out, const snapshot::ProcessFigures& f, bool deployment) {
  const std::optional<double> values[] = {
      f.cpu_seconds,        as_double(f.resident_bytes), as_double(f.virtual_bytes),
      f.start_time_seconds, as_double(f.open_fds),       as_double(f.max_fds)};
  for (std::size_t i = 0; i < std::size(PROCESS_FAMILIES); ++i) {
    const ProcessFamily& family = PROCESS_FAMILIES[i];
    if (!values[i]) continue;
    push_metric(out, family.name, family.type, deployment ? family.deployment_help : family.help,
                *values[i]);
  }
}

}  // namespace

void append_label_value(std::string& out, std::string_view value) {
  std::size_t plain = 0;
  for (std::size_t i = 0; i < value.size(); ++i) {
    const char c = value[i];
    if (c != '\\' && c != '"' && c != '\n') continue;
    out.append(value.data() + plain, i - plain);
    out += c == '\n' ? "\\n" : c == '"' ? "\\\"" : "\\\\";
    plain = i + 1;
  }
  out.append(value.data() + plain, value.size() - plain);
}

std::string render(const series::Merged& merged, const snapshot::ProcessFigures& figures) {
  std::string out;
  out.reserve(FIXED_BYTES + merged.series.size() * BYTES_PER_SERIES);
  append_requests(out, merged);
  append_durations(out, merged);
  append_in_progress(out, merged);
  push_metric(out, OVERFLOW, "counter",
              "Requests counted under the overflow series because the series limit was reached.",
              static_cast<double>(merged.overflow));
  append_families(out, merged);
  if (merged.deployment) {
    append_process(out, *merged.deployment, true);
  } else {
    append_process(out, figures, false);
  }
  return out;
}

std::string render() {
  const series::Merged merged = series::merged();
  return render(merged,
                merged.deployment ? snapshot::ProcessFigures{} : snapshot::process_figures());
}

}  // namespace vantorel::series_text
