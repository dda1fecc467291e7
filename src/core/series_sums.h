// Sums of records by key, for the merge and for the fold's new archive: keys and their totals in
// the order first seen, and the application's families of all the sources, each numbered once
// by name (a file numbers its families its own way). The texts are views into the sources'
// records, which must outlive the table. Not thread-safe: one table per merge or fold.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/series_family.h"
#include "core/series_reader.h"

namespace vantorel::series::sums {

struct KeyRef {
  std::uint64_t key;
  std::string_view bytes;
  std::uint64_t hash;  // the record's check
};

// The value words of a key, gathered, and the most recent exemplars of the live sources.
struct Totals {
  std::array<std::uint64_t, VALUE_WORDS> words{};
  bool seen = false;
  std::unique_ptr<Exemplars> exemplars;
};

inline void take_exemplars(Totals& t, const Exemplars& from) {
  if (!t.exemplars) t.exemplars = std::make_unique<Exemplars>();
  for (std::size_t i = 0; i < EXEMPLARS; ++i) {
    if (from[i].time_us > (*t.exemplars)[i].time_us) (*t.exemplars)[i] = from[i];
  }
}

// The HTTP family: counts and buckets wrap like the words they come from; only the sum
// saturates.
inline void add_http(Totals& t, const std::uint64_t* head) {
  const std::uint64_t* values = head + 2;
  t.words[HTTP_COUNT] += values[HTTP_COUNT];
  t.words[HTTP_SUM_US] = layout::saturating_add(t.words[HTTP_SUM_US], values[HTTP_SUM_US]);
  for (std::size_t i = HTTP_BUCKETS; i < VALUE_WORDS; ++i) t.words[i] += values[i];
  t.seen = true;
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

// The families of a merge or a fold: the first layout seen under a name is kept; a source that
// describes another one under the same name has that family left out (and the name is noted
// once), so that nothing unlike is ever summed. The same for the HTTP family's duration buckets,
// whose layout the first source that counted a request or described them sets (one without a
// descriptor counts under the shard's bounds).
class Families {
 public:
  // The merge's numbers of the source's families (0: left out, or not described), by the
  // source's own number; at 0, 1 when its HTTP series are taken.
  std::vector<std::uint32_t> map(const reader::Source& source);

  [[nodiscard]] const std::vector<Family>& list() const { return list_; }
  [[nodiscard]] const Family& at(std::uint32_t number) const { return list_[number - 1]; }
  [[nodiscard]] const std::vector<std::string>& refused() const { return refused_; }
  // The duration bounds of the HTTP series taken, in seconds; nullopt when no source set them.
  [[nodiscard]] const std::optional<std::vector<double>>& duration_bounds() const {
    return duration_bounds_;
  }

 private:
  void refuse(const std::string& name);

  std::vector<Family> list_;
  std::vector<std::string> refused_;
  std::optional<std::vector<double>> duration_bounds_;
};

// What a source adds: every key of the HTTP family, and the application's families' samples
// under the merge's numbers. A gauge that only the live show counts from a live source only;
// one shown per worker gets the worker's pid in its key (bits 24-47) for a merge, and none is
// kept by a fold (`for_archive`), which keeps nothing of a dead worker that must not stay.
// `admit(family, key, bytes)` may send a new key elsewhere (the fold's caps): it returns the
// key to use.
template <class Admit, class Gone>
void add_source(KeyTable& sums, Families& families, const reader::Source& source, bool for_archive,
                Admit&& admit, Gone&& gone) {
  const std::vector<std::uint32_t> numbers = families.map(source);
  std::size_t ordinal = 0;
  auto exemplars = source.exemplars.begin();
  reader::for_each_record(
      source.records, [&](const std::uint64_t* head, const char* bytes, std::size_t size) {
        const std::size_t record = ordinal++;
        const std::uint64_t key = head[1];
        const std::uint64_t own = layout::family_of(key);
        if (own == 0) {
          if (numbers[0] == 0 || layout::is_descriptor(key)) return;
          KeyRef ref = admit(0, KeyRef{key, std::string_view(bytes, size), head[0]});
          Totals& totals = sums.at(ref);
          add_http(totals, head);
          // Only a live worker's: the page shows what the deployment is doing now.
          if (exemplars != source.exemplars.end() && exemplars->first == record) {
            if (source.alive && !for_archive) take_exemplars(totals, exemplars->second);
            ++exemplars;
          }
          return;
        }
        if (layout::is_descriptor(key) || own >= numbers.size() || numbers[own] == 0) return;
        const std::uint32_t number = numbers[own];
        const Family& family = families.at(number);
        std::uint64_t merged = (key & ~(layout::FAMILY_MASK << layout::FAMILY_SHIFT)) |
                               std::uint64_t{number} << layout::FAMILY_SHIFT;
        if (family.kind == Kind::gauge) {
          if (for_archive && (is_live(family.mode) || per_worker(family.mode))) return;
          if (is_live(family.mode) && !source.alive) return;
          if (per_worker(family.mode)) merged |= (source.owner.pid_word & 0xFFFFFFu) << 24;
          if (gone(family, std::string_view(bytes, size), head[2 + CHANGED])) return;
        }
        if (!layout::is_overflow(key) &&
            !decode_labels(std::string_view(bytes, size), family.labels.size())) {
          return;  // label values that do not fit the family's labels
        }
        KeyRef ref{merged, std::string_view(bytes, size), key_hash(merged, bytes, size)};
        ref = admit(number, ref);
        Totals& totals = sums.at(ref);
        combine(family, layout::chunk_of(ref.key), totals.words.data(), head + 2, !totals.seen);
        totals.seen = true;
      });
}

// The merge's sum: nothing is sent elsewhere; `gone` says which gauge values were removed.
template <class Gone>
void add_source(KeyTable& sums, Families& families, const reader::Source& source, Gone&& gone) {
  add_source(
      sums, families, source, false, [](std::uint32_t, const KeyRef& ref) { return ref; }, gone);
}

}  // namespace vantorel::series::sums
