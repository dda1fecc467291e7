#include "core/series_writer.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <utility>

#include "core/files.h"
#include "core/series_fold.h"
#include "core/series_layout.h"
#include "core/series_own_file.h"
#include "core/series_reader.h"
#include "core/series_region.h"

namespace vantorel::series::writer {

Writer SERIES;
// Forks seen by this process's children: a child must not go on writing its parent's file.
std::atomic<std::uint64_t> FORKS{0};

namespace {

using namespace layout;

constexpr std::uint64_t INITIAL_LOCAL_CAPACITY = 64;
// A file that waits for the directory's lock is tried again this long after (the lock is held
// for one fold's batch at a time).
constexpr std::uint64_t RETRY_AFTER_NS = 50'000'000;

void count_fork() noexcept { FORKS.fetch_add(1, std::memory_order_relaxed); }

std::uint64_t limit_from_environment() {
  const char* value = std::getenv("VTR_SERIES_LIMIT");
  if (value == nullptr) return DEFAULT_LIMIT;
  std::string_view text(value);
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  std::uint64_t limit = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), limit);
  if (text.empty() || ec != std::errc{} || end != text.data() + text.size()) return DEFAULT_LIMIT;
  return std::min(limit, MAX_LIMIT);
}

// Caller holds SERIES.mutex. One more slot's room in the current region: process memory doubles,
// this worker's file doubles on disk (its blocks reserved first, as when it was made) and is
// mapped again. False when it cannot: the caller counts under an overflow key.
bool grow(Writer& w) {
  Region& r = w.current();
  const std::uint64_t capacity = std::min(2 * r.capacity, MAX_CAPACITY);
  if (capacity <= r.capacity) return false;
  if (Table* table = w.current_table()) {
    table->grow_to(capacity);
    w.active = &w.current();
    return true;
  }
  const std::size_t size = region_bytes(capacity);
  if (!w.file_fd || ftruncate(w.file_fd.get(), static_cast<off_t>(size)) != 0 ||
      files::reserve(w.file_fd.get(), size) != 0) {
    return false;
  }
  void* addr = mremap(r.base, region_bytes(r.capacity), size, MREMAP_MAYMOVE);
  if (addr == MAP_FAILED) return false;
  r.base = static_cast<std::byte*>(addr);
  r.capacity = capacity;
  // After the blocks exist: a reader that sees the new capacity finds the file that long.
  r.store(r.header().capacity, capacity);
  return true;
}

// Caller holds SERIES.mutex. Adds every published slot of `from` (another region of this
// process) into the current region: counts add up; a gauge keeps its latest value.
void add_region(Writer& w, const Region& from) {
  // Its requests were counted under the bounds in force, which the current region describes
  // first (a region too full for that takes none of them).
  const bool http_described = ensure_duration_descriptor(w);
  const std::uint64_t claimed = std::min(from.header().claimed, from.capacity);
  for (std::uint64_t i = 0; i < claimed; ++i) {
    const Slot& s = from.slot(i);
    if (s.check == 0 || is_descriptor(s.key)) continue;
    const std::uint64_t family = family_of(s.key);
    if (family == 0 && !http_described) continue;
    const FamilyState* state = family == 0 ? nullptr : &w.families[family - 1];
    std::uint64_t at = 0;
    if (s.key == OVERFLOW_KEY) {
      at = 0;
    } else {
      const Region& r = *w.active;
      const std::size_t size = key_size(s.key);
      at = w.index.find(s.check, [&](std::uint64_t j) {
        return r.slot(j).key == s.key && std::memcmp(r.slot(j).bytes, s.bytes, size) == 0;
      });
      if (at == 0) {
        if (state != nullptr && state->descriptor_slot == 0) {
          const std::uint64_t d = descriptor_key(family, state->descriptor.size());
          const std::uint64_t described =
              claim_slot(w, d, state->descriptor, {},
                         key_hash(d, state->descriptor.data(), state->descriptor.size()));
          if (described == 0) continue;
          w.families[family - 1].descriptor_slot = described;
        }
        at = claim_slot(w, s.key, {s.bytes, size}, {}, s.check);
        if (at == 0) continue;
      }
    }
    const Region& r = *w.active;
    Slot& into = r.slot(at);
    if (state == nullptr) {
      for (std::size_t v = 0; v < std::size(s.values); ++v) r.add(into.values[v], s.values[v]);
      continue;
    }
    std::uint64_t values[VALUE_WORDS];
    for (std::size_t v = 0; v < VALUE_WORDS; ++v) values[v] = r.load(into.values[v]);
    Family latest = state->family;
    if (latest.kind == Kind::gauge) latest.mode = GaugeMode::mostrecent;
    combine(latest, chunk_of(s.key), values, s.values, false);
    for (std::size_t v = 0; v < VALUE_WORDS; ++v) r.store(into.values[v], values[v]);
  }
  rebuild_index(w);
}

using Gauges = std::array<std::uint64_t, METHOD_CLASS_COUNT>;

// Requests in progress move with the table, so that one that began before a switch and ends
// after it leaves the gauges balanced.
Gauges take_gauges(const Region& r) {
  Gauges gauges{};
  for (std::size_t i = 0; i < METHOD_CLASS_COUNT; ++i) {
    gauges[i] = r.load(r.header().in_progress[i]);
    r.store(r.header().in_progress[i], 0);
  }
  return gauges;
}

void put_gauges(const Region& r, const Gauges& gauges) {
  for (std::size_t i = 0; i < METHOD_CLASS_COUNT; ++i) r.add(r.header().in_progress[i], gauges[i]);
}

// Caller holds SERIES.mutex. Takes the outcome of opening the file: the file, or waiting for
// the directory's lock in process memory, or the failure (then process memory too).
void settle(Writer& w, Opened opened) {
  if (opened.region.base != nullptr) {
    w.file = opened.region;
    w.file_fd = std::move(opened.fd);
    publish_cpu(w);
  } else if (opened.busy) {
    if (w.waiting.region.base == nullptr) {
      w.waiting.grow_to(std::min(INITIAL_LOCAL_CAPACITY, limit_now() + 1));
    }
    w.retry_at_ns = coarse_now_ns() + RETRY_AFTER_NS;
  } else {
    w.failure = multiproc::OpenFailure{opened.step, opened.error, *w.directory};
  }
}

void drop_file(Writer& w) {
  if (w.file.base != nullptr) munmap(w.file.base, region_bytes(w.file.capacity));
  w.file = Region{};
  w.file_fd = files::Fd();
}

// Caller holds SERIES.mutex. The series of a table that is left go into the current one.
void move_table(Writer& w, Table& from) {
  if (from.region.base == nullptr) return;
  const Gauges gauges = take_gauges(from.region);
  Table taken;
  std::swap(taken, from);
  rebuild_index(w);
  add_region(w, taken.region);
  put_gauges(w.current(), gauges);
}

// Caller holds SERIES.mutex. Moves the table to this process's file in `directory`, or to
// process memory for nullopt (or when the file cannot be had).
void switch_region(Writer& w, const std::optional<std::string>& directory) {
  ensure_local(w);
  // Taken before the old file goes: a reopened file may be the same file.
  const Gauges gauges = take_gauges(w.current());
  // What was counted while waiting for the lock of a directory that is now left goes on in the
  // new table: counted, like every request, wherever this process counts now.
  Table waited;
  std::swap(waited, w.waiting);
  drop_file(w);
  w.failure.reset();
  w.retry_at_ns = 0;
  w.directory = directory;
  if (directory) settle(w, open_file(*directory, limit_now()));
  put_gauges(w.current(), gauges);
  rebuild_index(w);
  if (waited.region.base != nullptr) add_region(w, waited.region);
}

// Caller holds SERIES.mutex, while waiting: tries the file again, and moves what was counted
// meanwhile into it.
void retry_file(Writer& w) {
  settle(w, open_file(*w.directory, limit_now()));
  if (w.file.base == nullptr && w.failure == std::nullopt) return;  // still busy
  w.retry_at_ns = 0;
  move_table(w, w.waiting);
}

// A forked child shares its parent's mapping of the parent's file: it leaves it (its own view
// only; the parent's counts stay the parent's) and opens a file of its own.
void leave_parent(Writer& w) {
  drop_file(w);
  w.waiting.reset();
  w.retry_at_ns = 0;
}

// Brings the writer to multiproc's latest switch and to a fork. Takes multiproc's lock, then
// ours: never both.
void follow_mode() {
  const multiproc::Current mode = multiproc::current();
  std::scoped_lock lock(SERIES.mutex);
  const std::uint64_t forks = FORKS.load(std::memory_order_relaxed);
  const bool forked = forks != SERIES.forks;
  if (!forked && mode.generation <= SERIES.generation) return;  // another thread got there
  if (forked) {
    SERIES.forks = forks;
    leave_parent(SERIES);
  }
  switch_region(SERIES, mode.directory);
  SERIES.generation = mode.generation;
}

// Caller holds SERIES.mutex.
reader::Source read_local(const Region& r, bool exemplars) {
  reader::Source out;
  out.owner = {own_pid(), 0};
  out.alive = true;
  for (std::size_t i = 0; i < METHOD_CLASS_COUNT; ++i) {
    out.in_progress[i] = r.header().in_progress[i];
  }
  const std::uint64_t claimed = std::min(r.header().claimed, r.capacity);
  for (std::uint64_t i = 0; i < claimed; ++i) {
    const Slot& s = r.slot(i);
    if (s.check != 0) {
      reader::append_record(out, reinterpret_cast<const std::uint64_t*>(&s), s.bytes,
                            key_size(s.key));
      if (exemplars) reader::keep_exemplars(out, s.key, s.bytes);
    }
  }
  return out;
}

}  // namespace

void Table::grow_to(std::uint64_t capacity) {
  auto words = std::make_unique<std::uint64_t[]>(region_bytes(capacity) / 8);
  const Region grown{reinterpret_cast<std::byte*>(words.get()), capacity, false};
  if (region.base != nullptr) {
    std::memcpy(grown.base, region.base,
                region_bytes(std::min(region.header().claimed, region.capacity)));
    grown.header().capacity = capacity;
  } else {
    init_region(grown, Identity{own_pid(), 0, 0});
  }
  words_ = std::move(words);
  region = grown;
}

void Index::reset(std::uint64_t capacity) {
  entries_.assign(std::bit_ceil(std::max<std::uint64_t>(16, 2 * capacity)), Entry{});
  mask_ = entries_.size() - 1;
  size_ = 0;
}

void Index::insert(std::uint64_t hash, std::uint64_t slot) {
  // Kept at most half full: a region that grew is indexed anew.
  if (2 * (size_ + 1) > entries_.size()) {
    std::vector<Entry> old = std::move(entries_);
    entries_.assign(2 * old.size(), Entry{});
    mask_ = entries_.size() - 1;
    size_ = 0;
    for (const Entry& e : old) {
      if (e.slot != 0) insert(e.hash, e.slot);
    }
  }
  std::size_t i = hash & mask_;
  while (entries_[i].slot != 0) i = (i + 1) & mask_;
  entries_[i] = Entry{hash, slot};
  ++size_;
}

std::uint64_t coarse_now_ns() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1'000'000'000u +
         static_cast<std::uint64_t>(now.tv_nsec);
}

// Read from the environment at the first use in a process.
std::atomic<std::uint64_t>& limit_word() {
  static std::atomic<std::uint64_t> LIMIT{limit_from_environment()};
  return LIMIT;
}

std::uint64_t limit_now() { return limit_word().load(std::memory_order_relaxed); }

void ensure_local(Writer& w) {
  if (w.local.region.base == nullptr) {
    static const bool WATCHING_FORKS = pthread_atfork(nullptr, nullptr, &count_fork) == 0;
    (void)WATCHING_FORKS;
    w.local.grow_to(std::min(INITIAL_LOCAL_CAPACITY, limit_now() + 1));
  }
}

void rebuild_index(Writer& w) {
  w.active = &w.current();
  ++w.epoch;
  const Region& r = *w.active;
  w.index.reset(r.capacity);
  w.http_keys = 0;
  w.duration_descriptor_slot = 0;
  for (FamilyState& state : w.families) state.keys = state.descriptor_slot = 0;
  const std::uint64_t claimed = std::min(r.load(r.header().claimed), r.capacity);
  for (std::uint64_t i = 1; i < claimed; ++i) {
    const Slot& s = r.slot(i);
    // A slot counts only when its check is its key's hash: an adopted file may end with a slot
    // that its writer claimed but never finished.
    if (s.check == 0 || !key_in_range(s.key) || s.key == OVERFLOW_KEY ||
        key_hash(s.key, s.bytes, key_size(s.key)) != s.check) {
      continue;
    }
    w.index.insert(s.check, i);
    const std::uint64_t family = family_of(s.key);
    if (family == 0) {
      if (is_descriptor(s.key)) {
        w.duration_descriptor_slot = i;
      } else {
        ++w.http_keys;
      }
    } else if (family <= w.families.size()) {
      FamilyState& state = w.families[family - 1];
      if (is_descriptor(s.key)) {
        state.descriptor_slot = i;
      } else if (!is_overflow(s.key) && chunk_of(s.key) == 0) {
        ++state.keys;
      }
    }
  }
}

std::uint64_t claim_slot(Writer& w, std::uint64_t key, std::string_view a, std::string_view b,
                         std::uint64_t hash) {
  Region* r = w.active;
  const std::uint64_t claimed = r->load(r->header().claimed);
  if (claimed >= r->capacity) {
    if (!grow(w)) return 0;
    r = w.active;
  }
  // One writer per region, under SERIES.mutex: slots are claimed and published in order.
  r->store(r->header().claimed, claimed + 1);
  Slot& s = r->slot(claimed);
  r->store(s.key, key);
  if (!a.empty()) std::memcpy(s.bytes, a.data(), a.size());
  if (!b.empty()) std::memcpy(s.bytes + a.size(), b.data(), b.size());
  r->publish(s, hash);
  w.index.insert(hash, claimed);
  return claimed;
}

void publish_cpu(Writer& w) {
  if (w.file.base == nullptr) return;
  w.file.store(w.file.header().cpu_us, snapshot::own_cpu_us());
  w.publish_at_ns = coarse_now_ns() + PUBLISH_EVERY_NS;
}

std::unique_lock<std::mutex> lock_following_mode() {
  const std::uint64_t seen = multiproc::generation();
  std::unique_lock lock(SERIES.mutex);
  if (SERIES.generation != seen || SERIES.forks != FORKS.load(std::memory_order_relaxed)) {
    lock.unlock();
    follow_mode();
    lock.lock();
  }
  if (SERIES.retry_at_ns != 0 && coarse_now_ns() >= SERIES.retry_at_ns) retry_file(SERIES);
  return lock;
}

View prepare_merge(bool exemplars) {
  const auto lock = lock_following_mode();
  View view;
  view.directory = SERIES.directory;
  publish_cpu(SERIES);
  if (!view.directory || SERIES.file.base == nullptr)
    view.local = read_local(SERIES.current(), exemplars);
  if (!view.directory) view.removals = SERIES.removals;
  return view;
}

void add_removals(std::vector<removals::Removal> added) {
  std::scoped_lock lock(SERIES.mutex);
  removals::add(SERIES.removals, std::move(added));
}

}  // namespace vantorel::series::writer

namespace vantorel::series {

void set_limit(std::uint64_t limit) { writer::limit_word().store(std::min(limit, MAX_LIMIT)); }

std::uint64_t limit() { return writer::limit_now(); }

std::optional<multiproc::OpenFailure> last_failure() {
  const auto lock = writer::lock_following_mode();
  return writer::SERIES.failure;
}

}  // namespace vantorel::series
