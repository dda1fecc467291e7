// This process's writer of the store, shared by the two files that make it up:
// series_writer.cpp (where the table lives: process memory or this worker's file, following the
// multi-worker switch, forks and the directory's lock) and series_record.cpp (what requests and
// the application's metrics add to it). SERIES has its own mutex; never hold it while calling
// another component that locks.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/files.h"
#include "core/series.h"
#include "core/series_family.h"
#include "core/series_layout.h"
#include "core/series_removals.h"

namespace vantorel::series::writer {

// A table of slots: process memory, or this worker's file mapped MAP_SHARED.
struct Region {
  std::byte* base = nullptr;
  std::uint64_t capacity = 0;
  bool mapped = false;

  [[nodiscard]] Header& header() const { return *reinterpret_cast<Header*>(base); }
  [[nodiscard]] Slot& slot(std::uint64_t i) const {
    return *reinterpret_cast<Slot*>(base + HEADER_SIZE + i * SLOT_SIZE);
  }
  // Readers in other processes pread a mapped file while we write it: words change whole.
  [[nodiscard]] std::uint64_t load(const std::uint64_t& w) const {
    return mapped ? layout::word(const_cast<std::uint64_t&>(w)).load(std::memory_order_relaxed) : w;
  }
  void add(std::uint64_t& w, std::uint64_t value) const {
    if (mapped) {
      layout::word(w).fetch_add(value, std::memory_order_relaxed);
    } else {
      w += value;
    }
  }
  void store(std::uint64_t& w, std::uint64_t value) const {
    if (mapped) {
      layout::word(w).store(value, std::memory_order_relaxed);
    } else {
      w = value;
    }
  }
  // The check goes last, with release order: a reader that sees it sees the key before it.
  void publish(Slot& s, std::uint64_t hash) const {
    if (mapped) {
      layout::word(s.check).store(hash, std::memory_order_release);
    } else {
      s.check = hash;
    }
  }
};

// A table in process memory, grown by doubling.
class Table {
 public:
  Region region;

  // Holds `capacity` slots from now on, keeping the claimed ones (an empty, initialised table
  // the first time).
  void grow_to(std::uint64_t capacity);
  void reset() {
    words_.reset();
    region = Region{};
  }

 private:
  std::unique_ptr<std::uint64_t[]> words_;
};

// Process-local open addressing over one region: key hash -> slot. Never more than half full.
class Index {
 public:
  void reset(std::uint64_t capacity);
  void insert(std::uint64_t hash, std::uint64_t slot);

  // The slot whose key `same` accepts, or 0.
  template <class Same>
  [[nodiscard]] std::uint64_t find(std::uint64_t hash, Same&& same) const {
    for (std::size_t i = hash & mask_;; i = (i + 1) & mask_) {
      const Entry& e = entries_[i];
      if (e.slot == 0) return 0;
      if (e.hash == hash && same(e.slot)) return e.slot;
    }
  }

 private:
  struct Entry {
    std::uint64_t hash = 0;
    std::uint64_t slot = 0;  // 0: empty (the HTTP family's overflow key is never indexed)
  };
  std::vector<Entry> entries_;
  std::size_t mask_ = 0;
  std::size_t size_ = 0;
};

// One of the application's families, as this process defined it.
struct FamilyState {
  Family family;
  std::string descriptor;             // encode_family(family)
  std::uint64_t keys = 0;             // label sets in the current region
  std::uint64_t descriptor_slot = 0;  // where the current region describes it; 0: not yet
};

struct Writer {
  std::mutex mutex;
  std::uint64_t generation = 0;  // of the multiproc switch followed; 0 before the first
  std::uint64_t forks = 0;       // FORKS as last seen
  Table local;                   // the table while the mode is off, or while the file cannot be had
  Table waiting;                 // while this worker's file waits for the directory's lock
  Region file;                   // this worker's file while the series are in the directory
  files::Fd file_fd;             // kept open, so that the file can grow
  Index index;                   // over current()
  Region* active = nullptr;      // current(), as rebuild_index() last found it: the record path's
  // Grows whenever slot numbers may have changed (another region, a cleared one): a metric's
  // child that kept the numbers of its slots looks them up again.
  std::uint64_t epoch = 1;
  std::uint64_t http_keys = 0;                 // the HTTP family's keys in the current region
  std::uint64_t duration_descriptor_slot = 0;  // the HTTP family's descriptor's, 0: none
  std::vector<FamilyState> families;           // the family numbered n at n - 1
  std::optional<std::string> directory;        // the mode's, as last followed
  std::optional<multiproc::OpenFailure> failure;
  std::uint64_t retry_at_ns = 0;  // while waiting: when to try the lock again
  std::uint64_t publish_at_ns = 0;
  std::uint32_t until_publish_check = 1;
  std::vector<std::string> extra_methods;
  std::vector<removals::Removal> removals;  // while the mode is off

  Region& current() {
    if (file.base != nullptr) return file;
    return waiting.region.base != nullptr ? waiting.region : local.region;
  }
  // The process-memory table behind current(), or nullptr for the file.
  Table* current_table() {
    if (file.base != nullptr) return nullptr;
    return waiting.region.base != nullptr ? &waiting : &local;
  }
};

extern Writer SERIES;
extern std::atomic<std::uint64_t> FORKS;

inline constexpr std::uint64_t U64_MAX = ~std::uint64_t{0};
// Requests publish the owner's CPU time into its file at most this often; they look at the
// clock only every PUBLISH_CHECK_EVERY requests.
inline constexpr std::uint64_t PUBLISH_EVERY_NS = 1'000'000'000;
inline constexpr std::uint32_t PUBLISH_CHECK_EVERY = 64;

// The duration histogram's bounds in force: the shard's, or those set_duration_bounds() took
// (each set is kept for the life of the process, so that the record path reads it unlocked).
struct DurationBounds {
  std::vector<double> seconds;
  std::size_t count = 0;                      // seconds.size()
  std::array<double, BUCKET_COUNT - 1> ms{};  // the same in milliseconds, as requests compare
  // The HTTP family's descriptor (encode_family) that the current region must hold before it
  // counts a request; nullopt for the shard's bounds, which a region without one has.
  std::optional<std::string> descriptor;
};
[[nodiscard]] const DurationBounds& duration_bounds_now();
// Caller holds SERIES.mutex. Claims the HTTP family's descriptor in the current region when the
// bounds in force need one there and it has none yet; false when the region is full.
bool ensure_duration_descriptor(Writer& w);

[[nodiscard]] std::uint64_t coarse_now_ns();
// The HTTP family's key limit: VTR_SERIES_LIMIT, read at the first use in a process, or set.
[[nodiscard]] std::atomic<std::uint64_t>& limit_word();
[[nodiscard]] std::uint64_t limit_now();

// Caller holds SERIES.mutex: the functions below.
void ensure_local(Writer& w);
// The index, the counts of keys and where families are described, over the current region.
void rebuild_index(Writer& w);
// A new slot with this key (its bytes `a` then `b`), published; 0 when the region is full and
// cannot grow.
[[nodiscard]] std::uint64_t claim_slot(Writer& w, std::uint64_t key, std::string_view a,
                                       std::string_view b, std::uint64_t hash);
void publish_cpu(Writer& w);

// SERIES.mutex, taken once the writer follows the mode: a load and a compare when nothing moved.
[[nodiscard]] std::unique_lock<std::mutex> lock_following_mode();

}  // namespace vantorel::series::writer
