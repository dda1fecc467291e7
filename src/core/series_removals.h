// Series that the application removed (a metric's remove() or clear()), so that every worker's
// page leaves them out until they change again: a removed counter, histogram or summary shows
// only what was added after its removal (its totals then are kept as a baseline to subtract),
// a removed gauge only a value set after it. In multi-worker mode the list is the directory's
// file "vtr-series.removals", replaced whole by rename under the directory's lock; otherwise it
// lives in the process. Stateless functions; any thread.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "core/series.h"

namespace vantorel::series::removals {

struct Removal {
  std::string family;
  std::optional<std::vector<std::string>> labels;  // nullopt: the whole family (clear())
  std::uint64_t at_us = 0;                         // when, Unix µs
  Sample baseline;                                 // the series' totals then
};

inline constexpr const char* FILE_NAME = "vtr-series.removals";

// The directory's list; empty when there is none or it cannot be read.
[[nodiscard]] std::vector<Removal> read(int dir_fd);
// 0 or an errno. Caller holds the directory's lock.
[[nodiscard]] int write(int dir_fd, const std::vector<Removal>& removals);

// Adds `added` to `list`: a removal of the same series (or family) replaces the older one.
void add(std::vector<Removal>& list, std::vector<Removal> added);

// Which gauge values a merge leaves out: those set no later than their series' (or family's)
// removal. Applied to each source's values before they are combined, so that a removed max or
// sum gauge shows only what was set after it.
class Cut {
 public:
  explicit Cut(const std::vector<Removal>& list);
  [[nodiscard]] bool removed(const Family& family, std::string_view labels,
                             std::uint64_t changed_us) const;

 private:
  std::map<std::string, std::uint64_t> series_;  // family, then its label values, \0 apart
  std::map<std::string, std::uint64_t> whole_;   // family
};

// Subtracts from `merged` the baselines of the removed counters, histograms and summaries, and
// leaves out those that nothing was added to since.
void apply(Merged& merged, const std::vector<Removal>& list);

// The removals that remove() (labels given) or clear() (nullopt) of a family make now, from
// the merged series.
[[nodiscard]] std::vector<Removal> make(const Merged& merged, const std::string& family,
                                        const std::optional<std::vector<std::string>>& labels,
                                        std::uint64_t now_us);

}  // namespace vantorel::series::removals
