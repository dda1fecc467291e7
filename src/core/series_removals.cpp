#include "core/series_removals.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <new>
#include <utility>

#include "core/files.h"

namespace vantorel::series::removals {
namespace {

// "VTRRMV01" in a little-endian file, then the number of removals and each one: its time, 1 for
// a whole family, the value's bits, the count, the name's length, the number of labels, the
// number of buckets, the labels' lengths, the buckets, then the name and the labels' bytes,
// padded to whole words.
constexpr std::uint64_t MAGIC = 0x3130564D52525456;
// More than any real list: a larger file is no list of ours.
constexpr std::size_t MAX_BYTES = std::size_t{64} << 20;
constexpr const char* TMP_NAME = "vtr-series.removals.tmp";

void put(std::vector<std::uint64_t>& out, std::uint64_t word) { out.push_back(word); }

void put_bytes(std::vector<std::uint64_t>& out, std::string_view bytes) {
  const std::size_t at = out.size();
  out.resize(at + (bytes.size() + 7) / 8, 0);
  if (!bytes.empty()) std::memcpy(&out[at], bytes.data(), bytes.size());
}

// A reader over the file's words that fails, once and for all, past their end.
struct Words {
  const std::vector<std::uint64_t>& words;
  std::size_t at = 0;
  bool ok = true;

  std::uint64_t next() {
    if (at >= words.size()) {
      ok = false;
      return 0;
    }
    return words[at++];
  }
  std::string bytes(std::uint64_t size) {
    const std::uint64_t n = (size + 7) / 8;
    if (!ok || size > MAX_BYTES || words.size() - at < n) {
      ok = false;
      return {};
    }
    std::string out(reinterpret_cast<const char*>(&words[at]), size);
    at += n;
    return out;
  }
};

std::string key_of(std::string_view family, const std::vector<std::string>& labels) {
  std::string key(family);
  for (const std::string& label : labels) {
    key += '\0';
    key += label;
  }
  return key;
}

}  // namespace

std::vector<Removal> read(int dir_fd) {
  std::vector<Removal> list;
  const files::Fd fd(files::open_for_reading(dir_fd, FILE_NAME));
  struct stat st {};
  if (!fd || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size % 8 != 0 ||
      st.st_size < 16 || static_cast<std::size_t>(st.st_size) > MAX_BYTES) {
    return list;
  }
  try {
    std::vector<std::uint64_t> data(static_cast<std::size_t>(st.st_size) / 8);
    if (files::read_at(fd.get(), data.data(), data.size() * 8, 0) != data.size() * 8) return {};
    Words in{data};
    if (in.next() != MAGIC) return list;
    const std::uint64_t count = in.next();
    for (std::uint64_t i = 0; i < count && in.ok; ++i) {
      Removal r;
      r.at_us = in.next();
      const bool whole = in.next() == 1;
      const std::uint64_t bits = in.next();
      std::memcpy(&r.baseline.value, &bits, 8);
      r.baseline.count = in.next();
      const std::uint64_t name_size = in.next(), labels = in.next(), buckets = in.next();
      if (labels > MAX_LABELS || buckets > MAX_BUCKETS) return {};
      std::vector<std::uint64_t> sizes;
      for (std::uint64_t l = 0; l < labels; ++l) sizes.push_back(in.next());
      for (std::uint64_t b = 0; b < buckets; ++b) r.baseline.buckets.push_back(in.next());
      r.family = in.bytes(name_size);
      if (!whole) {
        r.labels.emplace();
        for (const std::uint64_t size : sizes) r.labels->push_back(in.bytes(size));
      }
      if (in.ok) list.push_back(std::move(r));
    }
  } catch (const std::bad_alloc&) {
    return {};
  }
  return list;
}

int write(int dir_fd, const std::vector<Removal>& removals) {
  std::vector<std::uint64_t> out;
  put(out, MAGIC);
  put(out, removals.size());
  for (const Removal& r : removals) {
    put(out, r.at_us);
    put(out, r.labels ? 0 : 1);
    std::uint64_t bits = 0;
    std::memcpy(&bits, &r.baseline.value, 8);
    put(out, bits);
    put(out, r.baseline.count);
    put(out, r.family.size());
    put(out, r.labels ? r.labels->size() : 0);
    put(out, r.baseline.buckets.size());
    if (r.labels) {
      for (const std::string& label : *r.labels) put(out, label.size());
    }
    for (const std::uint64_t n : r.baseline.buckets) put(out, n);
    put_bytes(out, r.family);
    if (r.labels) {
      for (const std::string& label : *r.labels) put_bytes(out, label);
    }
  }
  return files::replace(dir_fd, FILE_NAME, TMP_NAME, out.data(), out.size() * 8);
}

void add(std::vector<Removal>& list, std::vector<Removal> added) {
  for (Removal& r : added) {
    list.erase(std::remove_if(list.begin(), list.end(),
                              [&](const Removal& old) {
                                return old.family == r.family && old.labels == r.labels;
                              }),
               list.end());
    list.push_back(std::move(r));
  }
}

Cut::Cut(const std::vector<Removal>& list) {
  for (const Removal& r : list) {
    std::uint64_t& at = r.labels ? series_[key_of(r.family, *r.labels)] : whole_[r.family];
    at = std::max(at, r.at_us);
  }
}

bool Cut::removed(const Family& family, std::string_view labels, std::uint64_t changed_us) const {
  if (series_.empty() && whole_.empty()) return false;
  std::uint64_t at = 0;
  if (const auto found = whole_.find(family.name); found != whole_.end()) at = found->second;
  if (const auto values = decode_labels(labels, family.labels.size())) {
    const std::vector<std::string> texts(values->begin(), values->end());
    if (const auto found = series_.find(key_of(family.name, texts)); found != series_.end()) {
      at = std::max(at, found->second);
    }
  }
  return at != 0 && changed_us <= at;
}

void apply(Merged& merged, const std::vector<Removal>& list) {
  if (list.empty()) return;
  std::map<std::string, const Removal*> series;  // family, labels
  for (const Removal& r : list) {
    if (r.labels) series[key_of(r.family, *r.labels)] = &r;
  }
  for (FamilySamples& entry : merged.families) {
    const Family& family = entry.family;
    std::vector<Sample> kept;
    for (Sample& sample : entry.samples) {
      const auto found =
          sample.overflow ? series.end() : series.find(key_of(family.name, sample.labels));
      const Removal* removal = found == series.end() ? nullptr : found->second;
      if (family.kind == Kind::gauge) {  // cut before it was summed: see Cut
        kept.push_back(std::move(sample));
        continue;
      }
      if (removal != nullptr) {
        // What was added since: a worker never takes counts back, so no less than nothing.
        sample.value = std::max(0.0, sample.value - removal->baseline.value);
        sample.count -= std::min(sample.count, removal->baseline.count);
        for (std::size_t b = 0; b < sample.buckets.size() && b < removal->baseline.buckets.size();
             ++b) {
          sample.buckets[b] -= std::min(sample.buckets[b], removal->baseline.buckets[b]);
        }
        const bool nothing = sample.value == 0 && sample.count == 0 &&
                             std::all_of(sample.buckets.begin(), sample.buckets.end(),
                                         [](std::uint64_t n) { return n == 0; });
        if (nothing) continue;
      }
      kept.push_back(std::move(sample));
    }
    entry.samples = std::move(kept);
  }
  std::erase_if(merged.families, [](const FamilySamples& f) { return f.samples.empty(); });
}

std::vector<Removal> make(const Merged& merged, const std::string& family,
                          const std::optional<std::vector<std::string>>& labels,
                          std::uint64_t now_us) {
  std::vector<Removal> out;
  const auto entry = std::find_if(merged.families.begin(), merged.families.end(),
                                  [&](const FamilySamples& f) { return f.family.name == family; });
  if (labels) {
    Removal r{family, labels, now_us, {}};
    if (entry != merged.families.end()) {
      for (const Sample& sample : entry->samples) {
        if (!sample.overflow && sample.labels == *labels) r.baseline = sample;
      }
    }
    out.push_back(std::move(r));
    return out;
  }
  if (entry != merged.families.end()) {
    for (const Sample& sample : entry->samples) {
      if (!sample.overflow) out.push_back({family, sample.labels, now_us, sample});
    }
  }
  out.push_back({family, std::nullopt, now_us, {}});
  return out;
}

}  // namespace vantorel::series::removals
