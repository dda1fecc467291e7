// Sums of records by key, for the merge and for the fold's new archive: keys and their totals in
// the order first seen. The texts are views into the sources' records, which must outlive the
// table. Not thread-safe: one table per merge or fold.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

#include "core/series_reader.h"

namespace vantorel::series::sums {

struct KeyRef {
  std::uint64_t key;
  std::string_view bytes;
  std::uint64_t hash;  // the record's check
};

struct Totals {
  std::uint64_t count = 0;
  std::uint64_t sum_us = 0;
  std::array<std::uint64_t, BUCKET_COUNT> buckets{};
};

// Counts and buckets wrap like the words they come from; only the sum saturates.
inline void add_into(Totals& t, const std::uint64_t* head) {
  t.count += head[2];
  t.sum_us = layout::saturating_add(t.sum_us, head[3]);
  for (std::size_t i = 0; i < BUCKET_COUNT; ++i) t.buckets[i] += head[4 + i];
}

// Keys and their totals in the order first seen: open addressing over a dense vector, so that
// a merge allocates per table, not per key.
class KeyTable {
 public:
  explicit KeyTable(std::size_t expected) {
    entries_.reserve(expected);
    index_.assign(std::bit_ceil(std::max<std::size_t>(16, 2 * expected)), 0);
  }

  // The totals of `ref`, or nullptr.
  [[nodiscard]] Totals* find(const KeyRef& ref) {
    const std::size_t mask = index_.size() - 1;
    for (std::size_t i = ref.hash & mask; index_[i] != 0; i = (i + 1) & mask) {
      auto& [other, totals] = entries_[index_[i] - 1];
      if (other.hash == ref.hash && other.key == ref.key && other.bytes == ref.bytes) {
        return &totals;
      }
    }
    return nullptr;
  }

  Totals& at(const KeyRef& ref) {
    if (Totals* found = find(ref)) return *found;
    if (2 * (entries_.size() + 1) > index_.size()) grow();
    const std::size_t mask = index_.size() - 1;
    std::size_t i = ref.hash & mask;
    while (index_[i] != 0) i = (i + 1) & mask;
    entries_.emplace_back(ref, Totals{});
    index_[i] = entries_.size();
    return entries_.back().second;
  }

  [[nodiscard]] const std::vector<std::pair<KeyRef, Totals>>& entries() const { return entries_; }

 private:
  void grow() {
    index_.assign(2 * index_.size(), 0);
    const std::size_t mask = index_.size() - 1;
    for (std::size_t e = 0; e < entries_.size(); ++e) {
      std::size_t i = entries_[e].first.hash & mask;
      while (index_[i] != 0) i = (i + 1) & mask;
      index_[i] = e + 1;
    }
  }

  std::vector<std::pair<KeyRef, Totals>> entries_;
  std::vector<std::size_t> index_;  // an entry's position + 1; 0: free
};

inline void add_source(KeyTable& sums, const reader::Source& source) {
  reader::for_each_record(
      source.records, [&](const std::uint64_t* head, const char* bytes, std::size_t size) {
        add_into(sums.at(KeyRef{head[1], std::string_view(bytes, size), head[0]}), head);
      });
}

}  // namespace vantorel::series::sums
