#include "core/series_family.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

#include "core/series.h"
#include "core/utf8.h"

namespace vantorel::series {
namespace {

// The descriptor's head: kind, mode, then the label count, the bound count, the name's length,
// the help's length (two bytes each, little-endian), then the limit (four bytes).
constexpr std::size_t DESCRIPTOR_HEAD = 14;

void put16(std::string& out, std::size_t value) {
  out += static_cast<char>(value & 0xFF);
  out += static_cast<char>((value >> 8) & 0xFF);
}

std::size_t get16(std::string_view bytes, std::size_t at) {
  return static_cast<std::size_t>(static_cast<unsigned char>(bytes[at])) |
         static_cast<std::size_t>(static_cast<unsigned char>(bytes[at + 1])) << 8;
}

}  // namespace

std::optional<GaugeMode> gauge_mode(std::string_view name) {
  for (std::size_t i = 0; i < std::size(GAUGE_MODE_NAMES); ++i) {
    if (name == GAUGE_MODE_NAMES[i]) return static_cast<GaugeMode>(i);
  }
  return std::nullopt;
}

bool is_live(GaugeMode mode) {
  switch (mode) {
    case GaugeMode::all:
    case GaugeMode::sum:
    case GaugeMode::max:
    case GaugeMode::min:
    case GaugeMode::mostrecent:
      return false;
    default:
      return true;
  }
}

bool per_worker(GaugeMode mode) { return mode == GaugeMode::all || mode == GaugeMode::liveall; }

bool Family::same_layout(const Family& other) const {
  return name == other.name && kind == other.kind && labels == other.labels &&
         (kind != Kind::gauge || mode == other.mode) &&
         (kind != Kind::histogram || bounds == other.bounds);
}

std::size_t Family::chunks() const {
  if (kind != Kind::histogram) return 1;
  return bucket_place(buckets() - 1).chunk + 1;
}

std::optional<std::string> encode_family(const Family& family) {
  if (family.labels.size() > MAX_LABELS || family.bounds.size() + 1 > MAX_BUCKETS ||
      family.name.size() > 0xFFFF || family.limit > 0xFFFFFFFFu) {
    return std::nullopt;
  }
  std::string out;
  out += static_cast<char>(family.kind);
  out += static_cast<char>(family.mode);
  put16(out, family.labels.size());
  put16(out, family.bounds.size());
  put16(out, family.name.size());
  const std::size_t help_at = out.size();
  put16(out, 0);  // the help's length, once known
  put16(out, family.limit & 0xFFFF);
  put16(out, family.limit >> 16);
  out += family.name;
  for (const std::string& label : family.labels) {
    if (label.size() > 0xFF) return std::nullopt;
    out += static_cast<char>(label.size());
    out += label;
  }
  for (const double bound : family.bounds) {
    char bits[8];
    std::memcpy(bits, &bound, 8);
    out.append(bits, 8);
  }
  if (out.size() > KEY_BYTES) return std::nullopt;
  // The help goes last and is cut to fit, at a character's boundary.
  std::string_view help = family.help;
  help = help.substr(0, std::min(help.size(), KEY_BYTES - out.size()));
  while (!help.empty() && !utf8::valid(help)) help.remove_suffix(1);
  out += help;
  out[help_at] = static_cast<char>(help.size() & 0xFF);
  out[help_at + 1] = static_cast<char>(help.size() >> 8);
  return out;
}

std::optional<Family> decode_family(std::string_view bytes) {
  if (bytes.size() < DESCRIPTOR_HEAD) return std::nullopt;
  Family family;
  const auto kind = static_cast<std::uint8_t>(bytes[0]);
  const auto mode = static_cast<std::uint8_t>(bytes[1]);
  if (kind < 1 || kind > 4 || mode >= std::size(GAUGE_MODE_NAMES)) return std::nullopt;
  family.kind = static_cast<Kind>(kind);
  family.mode = static_cast<GaugeMode>(mode);
  const std::size_t labels = get16(bytes, 2), bounds = get16(bytes, 4);
  const std::size_t name = get16(bytes, 6), help = get16(bytes, 8);
  family.limit = get16(bytes, 10) | get16(bytes, 12) << 16;
  if (labels > MAX_LABELS || bounds + 1 > MAX_BUCKETS) return std::nullopt;
  std::size_t at = DESCRIPTOR_HEAD;
  if (bytes.size() - at < name) return std::nullopt;
  family.name.assign(bytes.substr(at, name));
  at += name;
  for (std::size_t i = 0; i < labels; ++i) {
    if (at >= bytes.size()) return std::nullopt;
    const auto size = static_cast<std::size_t>(static_cast<unsigned char>(bytes[at++]));
    if (bytes.size() - at < size) return std::nullopt;
    family.labels.emplace_back(bytes.substr(at, size));
    at += size;
  }
  if ((bytes.size() - at) / 8 < bounds) return std::nullopt;
  for (std::size_t i = 0; i < bounds; ++i, at += 8) {
    double bound = 0;
    std::memcpy(&bound, bytes.data() + at, 8);
    if (!std::isfinite(bound) || (i > 0 && !(bound > family.bounds.back()))) return std::nullopt;
    family.bounds.push_back(bound);
  }
  if (bytes.size() - at != help) return std::nullopt;
  family.help.assign(bytes.substr(at));
  if (family.name.empty() || !utf8::valid(family.name) || !utf8::valid(family.help)) {
    return std::nullopt;
  }
  if (family.kind != Kind::histogram && bounds != 0) return std::nullopt;
  return family;
}

std::optional<std::string> encode_labels(std::span<const std::string_view> values) {
  std::string out;
  for (const std::string_view value : values) {
    if (value.size() > 0xFFFF || out.size() + 2 + value.size() > KEY_BYTES) return std::nullopt;
    put16(out, value.size());
    out += value;
  }
  return out;
}

std::optional<std::vector<std::string_view>> decode_labels(std::string_view bytes,
                                                           std::size_t count) {
  std::vector<std::string_view> values;
  std::size_t at = 0;
  for (std::size_t i = 0; i < count; ++i) {
    if (bytes.size() - at < 2) return std::nullopt;
    const std::size_t size = get16(bytes, at);
    at += 2;
    if (bytes.size() - at < size) return std::nullopt;
    values.push_back(bytes.substr(at, size));
    if (!utf8::valid(values.back())) return std::nullopt;
    at += size;
  }
  if (at != bytes.size()) return std::nullopt;
  return values;
}

BucketPlace bucket_place(std::size_t bucket) {
  if (bucket < FIRST_CHUNK_BUCKETS) return {0, 2 + bucket};
  const std::size_t rest = bucket - FIRST_CHUNK_BUCKETS;
  return {1 + rest / CHUNK_BUCKETS, rest % CHUNK_BUCKETS};
}

double as_double(std::uint64_t bits) { return std::bit_cast<double>(bits); }
std::uint64_t as_bits(double value) { return std::bit_cast<std::uint64_t>(value); }

void combine(const Family& family, std::size_t chunk, std::uint64_t* into,
             const std::uint64_t* from, bool first) {
  if (first) {
    std::copy(from, from + VALUE_WORDS, into);
    return;
  }
  const auto add_double = [&](std::size_t word) {
    into[word] = as_bits(as_double(into[word]) + as_double(from[word]));
  };
  const auto latest = [&](std::size_t word) { into[word] = std::max(into[word], from[word]); };
  switch (family.kind) {
    case Kind::counter:
      add_double(VALUE);
      latest(CHANGED);
      return;
    case Kind::summary:
      into[SUMMARY_COUNT] += from[SUMMARY_COUNT];
      add_double(SUMMARY_SUM);
      latest(SUMMARY_CHANGED);
      return;
    case Kind::histogram: {
      std::size_t word = 0;
      if (chunk == 0) {
        add_double(VALUE);
        latest(CHANGED);
        word = 2;
      }
      for (; word < VALUE_WORDS; ++word) into[word] += from[word];
      return;
    }
    case Kind::gauge:
      break;
  }
  const double mine = as_double(into[VALUE]), theirs = as_double(from[VALUE]);
  switch (family.mode) {
    case GaugeMode::max:
    case GaugeMode::livemax:
      if (theirs > mine || std::isnan(mine)) into[VALUE] = from[VALUE];
      break;
    case GaugeMode::min:
    case GaugeMode::livemin:
      if (theirs < mine || std::isnan(mine)) into[VALUE] = from[VALUE];
      break;
    case GaugeMode::mostrecent:
    case GaugeMode::livemostrecent:
      if (from[CHANGED] >= into[CHANGED]) into[VALUE] = from[VALUE];
      break;
    default:  // sum, livesum (all and liveall are never combined: one series per worker)
      add_double(VALUE);
  }
  latest(CHANGED);
}

}  // namespace vantorel::series
