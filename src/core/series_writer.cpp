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

namespace vantorel::series {
namespace {

using namespace layout;

constexpr std::uint64_t U64_MAX = std::numeric_limits<std::uint64_t>::max();
constexpr std::uint64_t INITIAL_LOCAL_CAPACITY = 64;
// A file that waits for the directory's lock is tried again this long after (the lock is held
// for one fold's batch at a time).
constexpr std::uint64_t RETRY_AFTER_NS = 50'000'000;
// Requests publish the owner's CPU time into its file at most this often; they look at the
// clock only every PUBLISH_CHECK_EVERY requests.
constexpr std::uint64_t PUBLISH_EVERY_NS = 1'000'000'000;
constexpr std::uint32_t PUBLISH_CHECK_EVERY = 64;

std::uint64_t coarse_now_ns() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1'000'000'000u +
         static_cast<std::uint64_t>(now.tv_nsec);
}

// Where one duration counts, and what it adds to the sum.
struct Observation {
  std::size_t bucket = 0;
  std::uint64_t micros = 0;
};

Observation observation_of(double duration_ms) {
  // NaN and negative durations: counted, in the first bucket, adding nothing.
  if (!(duration_ms >= 0.0)) return {0, 0};
  // +Inf, and anything no real request lasts, would wrap or poison the sum.
  if (duration_ms >= ABSURD_DURATION_MS) return {BUCKET_COUNT - 1, 0};
  return {multiproc::bucket_index(duration_ms), multiproc::to_micros(duration_ms)};
}

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
  [[nodiscard]] std::uint64_t load(std::uint64_t& w) const {
    return mapped ? word(w).load(std::memory_order_relaxed) : w;
  }
  void add(std::uint64_t& w, std::uint64_t value) const {
    if (mapped) {
      word(w).fetch_add(value, std::memory_order_relaxed);
    } else {
      w += value;
    }
  }
  void store(std::uint64_t& w, std::uint64_t value) const {
    if (mapped) {
      word(w).store(value, std::memory_order_relaxed);
    } else {
      w = value;
    }
  }
  // The check goes last, with release order: a reader that sees it sees the key before it.
  void publish(Slot& s, std::uint64_t hash) const {
    if (mapped) {
      word(s.check).store(hash, std::memory_order_release);
    } else {
      s.check = hash;
    }
  }
};

// Who writes a file: the pid and, where /proc tells, when this process started.
struct Identity {
  std::uint64_t pid = 0;
  std::uint64_t start_ticks = 0;
  std::uint64_t started_at_us = 0;
};

Identity own_identity() {
  Identity me{own_pid(), 0, 0};
  if (const auto stat = snapshot::read_stat(0)) {
    me.start_ticks = stat->starttime_ticks;
    if (const auto start = snapshot::start_time_seconds(me.start_ticks)) {
      me.started_at_us = static_cast<std::uint64_t>(*start * 1e6);
    }
  }
  return me;
}

std::uint64_t new_incarnation() {
  static std::atomic<std::uint64_t> counter{0};
  std::uint64_t value = 0;
  // The system call, not glibc's wrapper: that came with glibc 2.25, after the oldest glibc we
  // build for. Flag 1 is GRND_NONBLOCK.
  if (syscall(SYS_getrandom, &value, sizeof value, 1) != static_cast<long>(sizeof value)) {
    // No entropy yet this early in boot, or a kernel older than 3.17 (ENOSYS): the clock, the
    // pid and a counter differ enough.
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    value = fmix(static_cast<std::uint64_t>(now.tv_sec) * 1'000'000'000u +
                 static_cast<std::uint64_t>(now.tv_nsec)) ^
            fmix(own_pid() << 32 | counter.fetch_add(1, std::memory_order_relaxed));
  }
  return value != 0 ? value : 1;
}

void init_region(const Region& r, const Identity& me) {
  Header& h = r.header();
  r.store(h.pid, me.pid);
  r.store(h.incarnation, new_incarnation());
  r.store(h.capacity, r.capacity);
  r.store(h.slot_size, SLOT_SIZE);
  r.store(h.claimed, 1);  // slot 0: the overflow key
  for (std::uint64_t& gauge : h.in_progress) r.store(gauge, 0);
  r.store(h.start_ticks, me.start_ticks);
  r.store(h.started_at_us, me.started_at_us);
  r.store(h.cpu_us, r.mapped ? snapshot::own_cpu_us() : 0);
  Slot& overflow = r.slot(0);
  r.store(overflow.key, OVERFLOW_KEY);
  r.publish(overflow, key_hash(OVERFLOW_KEY, nullptr, 0));
  if (r.mapped) {
    word(h.magic).store(FILE_MAGIC, std::memory_order_release);
  } else {
    h.magic = FILE_MAGIC;
  }
}

// A table in process memory, grown by doubling.
class Table {
 public:
  Region region;

  // Holds `capacity` slots from now on, keeping the claimed ones (an empty, initialised table
  // the first time).
  void grow_to(std::uint64_t capacity) {
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
  void reset(std::uint64_t capacity) {
    entries_.assign(std::bit_ceil(std::max<std::uint64_t>(16, 2 * capacity)), Entry{});
    mask_ = entries_.size() - 1;
  }

  void insert(std::uint64_t hash, std::uint64_t slot) {
    std::size_t i = hash & mask_;
    while (entries_[i].slot != 0) i = (i + 1) & mask_;
    entries_[i] = Entry{hash, slot};
  }

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
    std::uint64_t slot = 0;  // 0: empty (the overflow key is never indexed)
  };
  std::vector<Entry> entries_;
  std::size_t mask_ = 0;
};

struct Writer {
  std::mutex mutex;
  std::uint64_t generation = 0;  // of the multiproc switch followed; 0 before the first
  std::uint64_t forks = 0;       // FORKS as last seen
  Table local;                   // the table while the mode is off, or while the file cannot be had
  Table waiting;                 // while this worker's file waits for the directory's lock
  Region file;                   // this worker's file while the series are in the directory
  Index index;                   // over current()
  Region* active = nullptr;      // current(), as rebuild_index() last found it: the record path's
  std::optional<std::string> directory;  // the mode's, as last followed
  std::optional<multiproc::OpenFailure> failure;
  std::uint64_t retry_at_ns = 0;  // while waiting: when to try the lock again
  std::uint64_t publish_at_ns = 0;
  std::uint32_t until_publish_check = 1;
  std::vector<std::string> extra_methods;

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

Writer SERIES;

// Forks seen by this process's children: a child must not go on writing its parent's file.
std::atomic<std::uint64_t> FORKS{0};
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

// Read from the environment at the first use in a process.
std::atomic<std::uint64_t>& limit_word() {
  static std::atomic<std::uint64_t> LIMIT{limit_from_environment()};
  return LIMIT;
}

// Caller holds SERIES.mutex. The index over the current region's published slots. A slot
// counts only when its check is its key's hash: an adopted file may end with a slot that its
// writer claimed but never finished.
void rebuild_index(Writer& w) {
  w.active = &w.current();
  const Region& r = *w.active;
  w.index.reset(r.capacity);
  const std::uint64_t claimed = std::min(r.load(r.header().claimed), r.capacity);
  for (std::uint64_t i = 1; i < claimed; ++i) {
    const Slot& s = r.slot(i);
    if (s.check != 0 && key_in_range(s.key) && s.key != OVERFLOW_KEY &&
        key_hash(s.key, s.bytes, key_size(s.key)) == s.check) {
      w.index.insert(s.check, i);
    }
  }
}

void ensure_local(Writer& w) {
  if (w.local.region.base == nullptr) {
    static const bool WATCHING_FORKS = pthread_atfork(nullptr, nullptr, &count_fork) == 0;
    (void)WATCHING_FORKS;
    w.local.grow_to(std::min(INITIAL_LOCAL_CAPACITY, limit_word().load() + 1));
  }
}

// Caller holds SERIES.mutex. A new key's slot, or the overflow key's past the limit or past the
// file's capacity.
Slot& claim(Writer& w, const Key& key) {
  const std::uint64_t limit = limit_word().load(std::memory_order_relaxed);
  Region* r = &w.current();
  const std::uint64_t claimed = r->load(r->header().claimed);
  if (claimed - 1 >= limit) return r->slot(0);
  if (claimed >= r->capacity) {
    Table* table = w.current_table();
    if (table == nullptr) return r->slot(0);
    // Process memory grows: doubling, up to what the limit needs.
    table->grow_to(std::max(std::min(2 * r->capacity, limit + 1), claimed + 1));
    rebuild_index(w);
    r = &w.current();
  }
  // One writer per region, under SERIES.mutex: slots are claimed and published in order.
  const std::uint64_t at = claimed;
  r->store(r->header().claimed, at + 1);
  Slot& s = r->slot(at);
  r->store(s.key, key.word);
  if (!key.method.empty()) std::memcpy(s.bytes, key.method.data(), key.method.size());
  if (!key.route.empty()) {
    std::memcpy(s.bytes + key.method.size(), key.route.data(), key.route.size());
  }
  r->publish(s, key.hash);
  w.index.insert(key.hash, at);
  return s;
}

// Caller holds SERIES.mutex. Inline: it is most of the record path.
[[gnu::always_inline]] inline Slot& slot_for(Writer& w, const Key& key) {
  const Region& r = *w.active;
  const std::uint64_t found = w.index.find(key.hash, [&](std::uint64_t i) {
    const Slot& s = r.slot(i);  // published by this process: its key no longer changes
    return s.key == key.word && same_texts(s.bytes, key);
  });
  return found != 0 ? r.slot(found) : claim(w, key);
}

// Caller holds SERIES.mutex. Adds every published slot of `from` (another region of this
// process) into the current region.
void add_region(Writer& w, const Region& from) {
  const std::uint64_t claimed = std::min(from.header().claimed, from.capacity);
  for (std::uint64_t i = 0; i < claimed; ++i) {
    const Slot& s = from.slot(i);
    if (s.check == 0) continue;
    Slot* into = nullptr;
    if (s.key == OVERFLOW_KEY) {
      into = &w.current().slot(0);
    } else {
      const std::size_t m = method_size(s.key);
      const Key key{{s.bytes, m}, {s.bytes + m, route_size(s.key)}, s.key, s.check};
      into = &slot_for(w, key);
    }
    const Region& r = w.current();
    r.add(into->count, s.count);
    r.add(into->sum_us, s.sum_us);
    for (std::size_t b = 0; b < BUCKET_COUNT; ++b) r.add(into->buckets[b], s.buckets[b]);
  }
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

void publish_cpu(Writer& w) {
  if (w.file.base == nullptr) return;
  w.file.store(w.file.header().cpu_us, snapshot::own_cpu_us());
  w.publish_at_ns = coarse_now_ns() + PUBLISH_EVERY_NS;
}

// This process's file in a directory, mapped; or why it could not be had; or `busy`: the name
// is taken and only the directory's lock (held by a fold) lets us find out by whom.
struct Opened {
  Region region;
  const char* step = "";
  int error = 0;
  bool exists = false;  // create_file: the name is taken
  bool busy = false;
};

Opened failed(const char* step, int error) { return {Region{}, step, error, false, false}; }

Opened map_file(int fd, std::uint64_t capacity) {
  const std::size_t size = region_bytes(capacity);
  if (const int err = files::reserve(fd, size); err != 0) return failed("reserve space", err);
  void* addr = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (addr == MAP_FAILED) return failed("mmap", errno);
  Opened opened;
  opened.region = Region{static_cast<std::byte*>(addr), capacity, true};
  return opened;
}

// A new file under our name: nobody else can know it yet, so no lock is needed.
Opened create_file(int dir_fd, const std::string& name, std::uint64_t limit, const Identity& me) {
  // A symlink planted under our name must not make us write some other file.
  const files::Fd fd(openat(dir_fd, name.c_str(),
                            O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0666));
  if (!fd) {
    if (errno != EEXIST) return failed("open", errno);
    Opened taken;
    taken.exists = true;
    return taken;
  }
  const std::uint64_t capacity = limit + 1;
  Opened result = ftruncate(fd.get(), static_cast<off_t>(region_bytes(capacity))) != 0
                      ? failed("set length", errno)
                      : map_file(fd.get(), capacity);
  if (result.region.base != nullptr) {
    init_region(result.region, me);
  } else {
    // A file we meant to initialise and could not is nobody's: left behind, no merge would ever
    // delete it.
    unlinkat(dir_fd, name.c_str(), 0);
  }
  return result;
}

bool whole_file(const Header& head, const struct stat& st) {
  return head.magic == FILE_MAGIC && head.slot_size == SLOT_SIZE && capacity_sane(head.capacity) &&
         st.st_size >= static_cast<off_t>(region_bytes(head.capacity));
}

// Caller holds the directory's lock. Our name is taken by `fd`: a dead namesake's file (the
// kernel gave us its pid before a fold deleted it), one that the archive already holds, or
// something else. A worker file is folded first, so that its counts go on in the archive;
// then the name is ours.
Opened take_name_locked(int dir_fd, int fd, const std::string& name, std::uint64_t limit,
                        const Identity& me) {
  struct stat st {};
  Header head{};
  const bool whole = fstat(fd, &st) == 0 &&
                     files::read_at(fd, &head, HEADER_SIZE, 0) == HEADER_SIZE &&
                     whole_file(head, st);
  reader::Source source;
  if (reader::read_worker_file(dir_fd, name.c_str(), source, false)) {
    const FoldOutcome outcome = fold_step::fold_locked(dir_fd, {name}, limit);
    // Alive under our own pid: a file whose owner's start is unknown cannot be told from ours;
    // and a fold that cannot write the archive must not lose the file. Either way its counts go
    // on here, as they did before starts were known.
    if ((outcome == FoldOutcome::alive || outcome == FoldOutcome::failed) && whole) {
      return map_file(fd, head.capacity);
    }
  }
  if (unlinkat(dir_fd, name.c_str(), 0) != 0 && errno != ENOENT) return failed("open", errno);
  Opened again = create_file(dir_fd, name, limit, me);
  return again.exists ? failed("open", EEXIST) : again;
}

// This process's file in the directory: a new one, or its own from an earlier switch, or the
// name taken over under the directory's lock (busy when a fold holds it: we never wait for it,
// with the interpreter's lock held, behind a fold of many files).
Opened open_in(int dir_fd, std::uint64_t limit, const Identity& me) {
  const std::string name = file_name(me.pid);
  Opened created = create_file(dir_fd, name, limit, me);
  if (!created.exists) return created;
  const files::Fd fd(openat(dir_fd, name.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  if (!fd) return failed("open", errno);
  struct stat st {};
  if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return failed("not a regular file", 0);
  Header head{};
  // Ours from an earlier switch of this process: no fold touches the file of a live owner.
  if (me.start_ticks != 0 && files::read_at(fd.get(), &head, HEADER_SIZE, 0) == HEADER_SIZE &&
      whole_file(head, st) && head.pid == me.pid && head.start_ticks == me.start_ticks &&
      !reader::read_archive(dir_fd, false).names(head.incarnation)) {
    return map_file(fd.get(), head.capacity);
  }
  if (!files::lock(dir_fd, LOCK_EX, 1, 0)) {
    Opened busy;
    busy.busy = true;
    return busy;
  }
  Opened taken = take_name_locked(dir_fd, fd.get(), name, limit, me);
  files::unlock(dir_fd);
  return taken;
}

Opened open_file(const std::string& directory, std::uint64_t limit) {
  // The OS would silently cut the path at the first NUL and write somewhere else.
  if (directory.find('\0') != std::string::npos) return failed("invalid directory", 0);
  if (const int err = files::create_dir_all(directory); err != 0) return failed("mkdir", err);
  const files::Fd dir_fd(open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir_fd) return failed("open directory", errno);
  return open_in(dir_fd.get(), limit, own_identity());
}

// Caller holds SERIES.mutex. Takes the outcome of opening the file: the file, or waiting for
// the directory's lock in process memory, or the failure (then process memory too).
void settle(Writer& w, const Opened& opened) {
  if (opened.region.base != nullptr) {
    w.file = opened.region;
    publish_cpu(w);
  } else if (opened.busy) {
    if (w.waiting.region.base == nullptr) {
      w.waiting.grow_to(std::min(INITIAL_LOCAL_CAPACITY, limit_word().load() + 1));
    }
    w.retry_at_ns = coarse_now_ns() + RETRY_AFTER_NS;
  } else {
    w.failure = multiproc::OpenFailure{opened.step, opened.error, *w.directory};
  }
}

// Caller holds SERIES.mutex. The series of a table that is left go into the current one.
void move_table(Writer& w, Table& from) {
  if (from.region.base == nullptr) return;
  const Gauges gauges = take_gauges(from.region);
  Table taken = std::move(from);
  from.reset();
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
  Table waited = std::move(w.waiting);
  w.waiting.reset();
  if (w.file.base != nullptr) munmap(w.file.base, region_bytes(w.file.capacity));
  w.file = Region{};
  w.failure.reset();
  w.retry_at_ns = 0;
  w.directory = directory;
  if (directory) settle(w, open_file(*directory, limit_word().load()));
  put_gauges(w.current(), gauges);
  rebuild_index(w);
  if (waited.region.base != nullptr) add_region(w, waited.region);
}

// Caller holds SERIES.mutex, while waiting: tries the file again, and moves what was counted
// meanwhile into it.
void retry_file(Writer& w) {
  settle(w, open_file(*w.directory, limit_word().load()));
  if (w.file.base == nullptr && w.failure == std::nullopt) return;  // still busy
  w.retry_at_ns = 0;
  move_table(w, w.waiting);
}

// A forked child shares its parent's mapping of the parent's file: it leaves it (its own view
// only; the parent's counts stay the parent's) and opens a file of its own.
void leave_parent(Writer& w) {
  if (w.file.base != nullptr) munmap(w.file.base, region_bytes(w.file.capacity));
  w.file = Region{};
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

// SERIES.mutex, taken once the writer follows the mode: a load and a compare when nothing moved.
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

// Caller holds SERIES.mutex. The label of a method that is not a standard one.
std::string_view label_of(const Writer& w, std::string_view method) {
  for (const std::string& extra : w.extra_methods) {
    if (method == extra) return method;
  }
  return METHOD_CLASSES[METHOD_CLASS_COUNT - 1];
}

void record(std::string_view method, std::string_view route, std::uint16_t status,
            double duration_ms, bool finished) {
  const std::size_t method_index = method_class(method);
  const bool standard = method_index + 1 < METHOD_CLASS_COUNT;
  Key key;
  if (standard) make_key(method, route, status, key);  // the usual case, before the lock
  const Observation seen = observation_of(duration_ms);
  const auto lock = lock_following_mode();
  if (!standard) make_key(label_of(SERIES, method), route, status, key);
  Slot& s = slot_for(SERIES, key);
  const Region& r = *SERIES.active;  // after slot_for: process memory may have grown
  r.add(s.buckets[seen.bucket], 1);
  r.add(s.sum_us, seen.micros);
  r.add(s.count, 1);
  if (finished) r.add(r.header().in_progress[method_index], U64_MAX);  // minus one
  if (r.mapped && --SERIES.until_publish_check == 0) {
    SERIES.until_publish_check = PUBLISH_CHECK_EVERY;
    if (coarse_now_ns() >= SERIES.publish_at_ns) publish_cpu(SERIES);
  }
}

// Caller holds SERIES.mutex.
reader::Source read_local(const Region& r) {
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
    }
  }
  return out;
}

}  // namespace

namespace writer {

View prepare_merge() {
  const auto lock = lock_following_mode();
  View view;
  view.directory = SERIES.directory;
  publish_cpu(SERIES);
  if (!view.directory || SERIES.file.base == nullptr) view.local = read_local(SERIES.current());
  return view;
}

}  // namespace writer

void start(std::string_view method) {
  const std::size_t method_index = method_class(method);
  const auto lock = lock_following_mode();
  const Region& r = *SERIES.active;
  r.add(r.header().in_progress[method_index], 1);
}

void observe(std::string_view method, std::string_view route, std::uint16_t status,
             double duration_ms) {
  record(method, route, status, duration_ms, false);
}

void finish(std::string_view method, std::string_view route, std::uint16_t status,
            double duration_ms) {
  record(method, route, status, duration_ms, true);
}

void set_limit(std::uint64_t limit) { limit_word().store(std::min(limit, MAX_LIMIT)); }

std::uint64_t limit() { return limit_word().load(); }

void set_extra_methods(std::vector<std::string> methods) {
  if (methods.size() > MAX_EXTRA_METHODS) methods.resize(MAX_EXTRA_METHODS);
  std::scoped_lock lock(SERIES.mutex);
  SERIES.extra_methods = std::move(methods);
}

std::vector<std::string> extra_methods() {
  std::scoped_lock lock(SERIES.mutex);
  return SERIES.extra_methods;
}

void clear() {
  std::scoped_lock lock(SERIES.mutex);
  ensure_local(SERIES);
  const Gauges gauges = take_gauges(SERIES.local.region);
  SERIES.local.reset();
  ensure_local(SERIES);
  put_gauges(SERIES.local.region, gauges);
  if (SERIES.current_table() == &SERIES.local) rebuild_index(SERIES);
}

std::optional<multiproc::OpenFailure> last_failure() {
  const auto lock = lock_following_mode();
  return SERIES.failure;
}

}  // namespace vantorel::series
