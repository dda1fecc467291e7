// The merge of a directory's series: every worker's file and the archive, each key once, and the
// deployment's process figures beside them.
#include <fcntl.h>
#include <sys/file.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "core/clock.h"
#include "core/files.h"
#include "core/series_fold.h"
#include "core/series_layout.h"
#include "core/series_reader.h"
#include "core/series_removals.h"
#include "core/series_sums.h"
#include "core/series_writer.h"

namespace vantorel::series {
namespace {

using namespace layout;
using reader::Archive;
using reader::ArchiveState;
using reader::Source;
using sums::KeyRef;
using sums::KeyTable;

// A merge reads the directory again when folds it cannot see through land while it reads;
// the last attempt holds the directory's shared lock, so that none can.
constexpr int READ_ATTEMPTS = 4;
constexpr int SHARED_LOCK_TRIES = 100;
constexpr long SHARED_LOCK_PAUSE_NS = 2'000'000;

constexpr std::string_view OVERFLOW_METHOD = "OTHER";
constexpr std::string_view OVERFLOW_ROUTE = "<overflow>";

void add_gauges(Merged& merged, const Source& source) {
  for (std::size_t i = 0; i < METHOD_CLASS_COUNT; ++i) {
    merged.in_progress[i] += static_cast<std::int64_t>(source.in_progress[i]);
  }
}

// The method and route labels of a key.
std::pair<std::string_view, std::string_view> labels_of(const KeyRef& ref) {
  if (ref.key == OVERFLOW_KEY) return {OVERFLOW_METHOD, OVERFLOW_ROUTE};
  const std::size_t m = method_size(ref.key);
  return {ref.bytes.substr(0, m), ref.bytes.substr(m)};
}

// The series in document order: by method, route, then status, the overflow key's last. Sorted
// as labels beside their entry, so that each Series is built once, in place.
void fill_series(Merged& merged, const KeyTable& sums) {
  struct Order {
    std::string_view method, route;
    std::uint32_t status;  // past every status for the overflow key, whose status is OTHER
    std::size_t entry;
  };
  const auto& entries = sums.entries();
  std::vector<Order> order;
  order.reserve(entries.size());
  for (std::size_t e = 0; e < entries.size(); ++e) {
    const auto& [ref, totals] = entries[e];
    if (family_of(ref.key) != 0) continue;
    const bool overflow = ref.key == OVERFLOW_KEY;
    // Every table holds the overflow key; it shows once something was counted under it.
    if (overflow && std::all_of(totals.words.begin(), totals.words.end(),
                                [](std::uint64_t w) { return w == 0; })) {
      continue;
    }
    const auto [method, route] = labels_of(ref);
    order.push_back(
        {method, route, overflow ? 0x10000u : static_cast<std::uint32_t>(ref.key & 0xFFFFu), e});
  }
  std::sort(order.begin(), order.end(), [](const Order& a, const Order& b) {
    if (const int c = a.method.compare(b.method); c != 0) return c < 0;
    if (const int c = a.route.compare(b.route); c != 0) return c < 0;
    return a.status < b.status;
  });
  merged.series.resize(order.size());
  for (std::size_t i = 0; i < order.size(); ++i) {
    const auto& [ref, totals] = entries[order[i].entry];
    Series& s = merged.series[i];
    s.method.assign(order[i].method);
    s.route.assign(order[i].route);
    s.overflow = ref.key == OVERFLOW_KEY;
    s.status = s.overflow ? 0 : static_cast<std::uint16_t>(order[i].status);
    s.count = totals.words[HTTP_COUNT];
    s.sum_us = totals.words[HTTP_SUM_US];
    std::copy(totals.words.begin() + HTTP_BUCKETS, totals.words.end(), s.buckets.begin());
    if (totals.exemplars) s.exemplars = *totals.exemplars;
    if (s.overflow) merged.overflow += s.count;
  }
}

// The application's families' samples: each key's slots (a histogram's several) gathered into
// one sample; the families by name, their samples in the order of their keys' bytes, then pid,
// the overflow series last.
void fill_families(Merged& merged, const KeyTable& sums, const sums::Families& families) {
  // Keys of one series sit apart in the table (one per slot of a histogram): gather them by a
  // sort on what names the series, then fill each once.
  struct Part {
    std::uint32_t family;
    std::uint64_t pid;
    bool overflow;
    std::string_view labels;
    std::size_t chunk;
    const sums::Totals* totals;
  };
  std::vector<Part> parts;
  for (const auto& [ref, totals] : sums.entries()) {
    const auto family = static_cast<std::uint32_t>(family_of(ref.key));
    if (family == 0) continue;
    parts.push_back({family, (ref.key >> 24) & 0xFFFFFFu, is_overflow(ref.key), ref.bytes,
                     chunk_of(ref.key), &totals});
  }
  std::sort(parts.begin(), parts.end(), [](const Part& a, const Part& b) {
    if (a.family != b.family) return a.family < b.family;
    if (a.overflow != b.overflow) return b.overflow;
    if (a.labels != b.labels) return a.labels < b.labels;
    if (a.pid != b.pid) return a.pid < b.pid;
    return a.chunk < b.chunk;
  });
  std::vector<std::vector<Sample>> by_family(families.list().size());
  for (std::size_t i = 0; i < parts.size();) {
    const Part& head = parts[i];
    const Family& family = families.at(head.family);
    Sample sample;
    sample.pid = head.pid;
    sample.overflow = head.overflow;
    if (!head.overflow) {
      // Every key's labels were decoded once already, as the source was summed.
      const auto values = decode_labels(head.labels, family.labels.size());
      if (values) sample.labels.assign(values->begin(), values->end());
    }
    if (family.kind == Kind::histogram) sample.buckets.assign(family.buckets(), 0);
    std::size_t j = i;
    for (;
         j < parts.size() && parts[j].family == head.family && parts[j].overflow == head.overflow &&
         parts[j].labels == head.labels && parts[j].pid == head.pid;
         ++j) {
      const std::uint64_t* words = parts[j].totals->words.data();
      const std::size_t chunk = parts[j].chunk;
      switch (family.kind) {
        case Kind::counter:
        case Kind::gauge:
          sample.value = as_double(words[VALUE]);
          sample.changed_us = words[CHANGED];
          break;
        case Kind::summary:
          sample.count = words[SUMMARY_COUNT];
          sample.value = as_double(words[SUMMARY_SUM]);
          break;
        case Kind::histogram:
          if (chunk == 0) sample.value = as_double(words[VALUE]);
          for (std::size_t b = 0; b < family.buckets(); ++b) {
            const BucketPlace place = bucket_place(b);
            if (place.chunk == chunk) sample.buckets[b] = words[place.word];
          }
          break;
      }
    }
    if (family.kind == Kind::histogram) {
      for (const std::uint64_t n : sample.buckets) sample.count += n;
    }
    by_family[head.family - 1].push_back(std::move(sample));
    i = j;
  }
  for (std::size_t f = 0; f < by_family.size(); ++f) {
    if (by_family[f].empty()) continue;
    merged.families.push_back(
        {families.at(static_cast<std::uint32_t>(f + 1)), std::move(by_family[f])});
  }
  std::sort(
      merged.families.begin(), merged.families.end(),
      [](const FamilySamples& a, const FamilySamples& b) { return a.family.name < b.family.name; });
  merged.refused = families.refused();
  // Nothing counted anywhere: the bounds this process counts under.
  merged.duration_bounds = families.duration_bounds().value_or(duration_bounds());
}

template <class T>
void add_known(std::optional<T>& sum, const std::optional<T>& value) {
  if (value) sum = sum.value_or(T{}) + *value;
}

// The deployment's process figures: CPU time as every worker last published it, dead ones'
// (folded or not) included, so the sum never goes back; memory and descriptors of the live ones
// as /proc shows them; the earliest start of all. `local` stands for this process when it has
// no file of its own.
snapshot::ProcessFigures deployment_figures(const std::vector<Source>& sources,
                                            const Archive& archive, const Source* local) {
  snapshot::ProcessFigures figures;
  std::uint64_t cpu_us = archive.cpu_us, earliest_us = archive.earliest_start_us;
  const auto take_start = [&](std::uint64_t start_us) {
    if (start_us != 0 && (earliest_us == 0 || start_us < earliest_us)) earliest_us = start_us;
  };
  const auto take_live = [&](const snapshot::ProcessFigures& f) {
    add_known(figures.resident_bytes, f.resident_bytes);
    add_known(figures.virtual_bytes, f.virtual_bytes);
    add_known(figures.open_fds, f.open_fds);
    add_known(figures.max_fds, f.max_fds);
  };
  for (const Source& source : sources) {
    if (archive.names(source.incarnation)) continue;
    cpu_us = saturating_add(cpu_us, source.cpu_us);
    take_start(source.started_at_us);
    if (source.alive && source.stat) {
      take_live(
          snapshot::figures_of(static_cast<std::uint32_t>(source.owner.pid_word), *source.stat));
    }
  }
  if (local != nullptr) {
    const snapshot::ProcessFigures own = snapshot::process_figures();
    cpu_us = saturating_add(cpu_us, snapshot::own_cpu_us());
    if (own.start_time_seconds)
      take_start(static_cast<std::uint64_t>(*own.start_time_seconds * 1e6));
    take_live(own);
  }
  figures.cpu_seconds = static_cast<double>(cpu_us) / 1e6;
  if (earliest_us != 0) figures.start_time_seconds = static_cast<double>(earliest_us) / 1e6;
  return figures;
}

// Whether every file folded while the merge read the directory is named by the archive it read
// last: `before` was read before the workers' files, `after` after them.
bool sees_every_fold(const Archive& before, const Archive& after) {
  return after.folds_total >= before.folds_total &&
         after.folds_total - before.folds_total <= after.ring_covers;
}

// The merge of a directory, folding dead workers' files when `fold_dead`; `local` (this
// process's table) joins the sum when given.
//
// The workers' files are read before the archive, and a file counts unless the archive read
// afterwards names its incarnation. So a fold by another process counts exactly once, whenever
// it happens:
// - it renamed the new archive before we read the archive: the archive names the file and holds
//   its series; the file, read or not, is skipped;
// - it renamed after: the archive neither names nor holds it, and we read the file, which it
//   deletes only after its rename;
// - it stopped between rename and delete: the archive names the file; skipped, as in the first
//   case, until a later fold deletes it (every fold first deletes such files, so the ring never
//   forgets one that is still there).
// The ring names only the last folds, so a merge that more folds overtook than the ring covers
// (the archive's fold count says so) reads again.
Merged merge_directory(const std::string& directory, bool fold_dead, const Source* local,
                       bool raw = false, bool exemplars = false) {
  std::vector<Source> sources;
  Archive archive;
  const files::Fd dir_fd(directory.find('\0') == std::string::npos
                             ? open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)
                             : -1);
  for (int attempt = 1; dir_fd; ++attempt) {
    const bool last = attempt == READ_ATTEMPTS;
    const bool locked =
        last && files::lock(dir_fd.get(), LOCK_SH, SHARED_LOCK_TRIES, SHARED_LOCK_PAUSE_NS);
    const Archive before = reader::read_archive(dir_fd.get(), false);
    sources = reader::read_workers(dir_fd.get(), true, exemplars);
    if (fold_dead && !locked) {
      std::vector<std::string> dead;
      for (const Source& source : sources) {
        if (!source.alive && !before.names(source.incarnation)) dead.push_back(source.name);
      }
      fold_step::fold_dead(dir_fd.get(), dead, limit());
    }
    archive = reader::read_archive(dir_fd.get());
    if (locked) files::unlock(dir_fd.get());
    if (last || sees_every_fold(before, archive)) break;
  }
  const std::vector<removals::Removal> removed =
      dir_fd ? removals::read(dir_fd.get()) : std::vector<removals::Removal>{};
  const removals::Cut cut(raw ? std::vector<removals::Removal>{} : removed);
  const auto gone = [&](const Family& family, std::string_view labels, std::uint64_t changed) {
    return cut.removed(family, labels, changed);
  };
  // Workers mostly share their keys: the largest source is the likely count.
  std::size_t expected = archive.records.count;
  for (const Source& source : sources) expected = std::max(expected, source.count);
  Merged merged;
  KeyTable sums(expected);
  sums::Families families;
  if (archive.state == ArchiveState::valid) {
    sums::add_source(sums, families, archive.records, gone);
  }
  for (const Source& source : sources) {
    if (!archive.names(source.incarnation)) sums::add_source(sums, families, source, gone);
    if (source.alive) add_gauges(merged, source);
  }
  if (local != nullptr) {
    sums::add_source(sums, families, *local, gone);
    add_gauges(merged, *local);
  }
  fill_series(merged, sums);
  fill_families(merged, sums, families);
  if (!raw) removals::apply(merged, removed);
  merged.deployment = deployment_figures(sources, archive, local);
  return merged;
}

// This process's merge: of the directory while the mode is on, else of its own table. `raw`:
// with nothing removed (what removals are made from).
Merged merge_own(bool raw, bool exemplars = false) {
  const writer::View view = writer::prepare_merge(exemplars);
  if (view.directory) {
    return merge_directory(*view.directory, true, view.local ? &*view.local : nullptr, raw,
                           exemplars);
  }
  const removals::Cut cut(raw ? std::vector<removals::Removal>{} : view.removals);
  const auto gone = [&](const Family& family, std::string_view labels, std::uint64_t changed) {
    return cut.removed(family, labels, changed);
  };
  Merged merged;
  KeyTable sums(view.local->count);
  sums::Families families;
  reader::Source local = *view.local;
  local.owner.pid_word = 0;  // one process: its gauges shown per worker need no pid label
  sums::add_source(sums, families, local, gone);
  add_gauges(merged, *view.local);
  fill_series(merged, sums);
  fill_families(merged, sums, families);
  if (!raw) removals::apply(merged, view.removals);
  return merged;
}

// The directory's lock, for a removal: waited for up to half a second (a fold holds it for one
// batch at a time).
constexpr int REMOVAL_LOCK_TRIES = 250;

}  // namespace

namespace {

struct {
  std::mutex mutex;
  std::vector<std::string> names;
} LAST_REFUSED;

}  // namespace

Merged merged(bool exemplars) {
  Merged merged = merge_own(false, exemplars);
  std::scoped_lock lock(LAST_REFUSED.mutex);
  LAST_REFUSED.names = merged.refused;
  return merged;
}

std::vector<std::string> last_refused() {
  std::scoped_lock lock(LAST_REFUSED.mutex);
  return LAST_REFUSED.names;
}

bool remove(std::uint32_t number, const std::optional<std::vector<std::string>>& labels) {
  const std::optional<Family> removed = family(number);
  if (!removed) return false;
  const Merged raw = merge_own(true);
  std::vector<removals::Removal> added =
      removals::make(raw, removed->name, labels, wallclock::unix_us());
  const writer::View view = writer::prepare_merge();
  if (!view.directory) {
    writer::add_removals(std::move(added));
    return true;
  }
  const files::Fd dir_fd(view.directory->find('\0') == std::string::npos
                             ? open(view.directory->c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)
                             : -1);
  if (!dir_fd || !files::lock(dir_fd.get(), LOCK_EX, REMOVAL_LOCK_TRIES, 2'000'000)) return false;
  std::vector<removals::Removal> list = removals::read(dir_fd.get());
  removals::add(list, std::move(added));
  const bool written = removals::write(dir_fd.get(), list) == 0;
  files::unlock(dir_fd.get());
  return written;
}

Merged read_dir(const std::string& directory) { return merge_directory(directory, false, nullptr); }

std::vector<std::uint64_t> live_owners(const std::string& directory) {
  std::vector<std::uint64_t> pids;
  if (directory.find('\0') != std::string::npos) return pids;
  const files::Fd dir_fd(open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir_fd) return pids;
  for (const Source& source : reader::read_workers(dir_fd.get(), false)) {
    if (source.alive) pids.push_back(source.owner.pid_word & 0xFFFFFFFFu);
  }
  std::sort(pids.begin(), pids.end());
  pids.erase(std::unique(pids.begin(), pids.end()), pids.end());
  return pids;
}

}  // namespace vantorel::series
