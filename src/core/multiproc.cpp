#include "core/multiproc.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "core/clock.h"
#include "core/files.h"
#include "core/utf8.h"

namespace vantorel::multiproc {

static_assert(sizeof(Shard) == SHARD_SIZE);
static_assert(offsetof(Shard, marker) == 0);
static_assert(offsetof(Shard, pid) == 8);
static_assert(offsetof(Shard, count) == 16);
static_assert(offsetof(Shard, errors) == 24);
static_assert(offsetof(Shard, sum_us) == 32);
static_assert(offsetof(Shard, min_us) == 40);
static_assert(offsetof(Shard, max_us) == 48);
static_assert(offsetof(Shard, updated_at) == 56);
static_assert(offsetof(Shard, buckets) == 64);
static_assert(sizeof(Shard::buckets) == BUCKET_COUNT * sizeof(std::uint64_t));
// Other processes map the same words: an atomic that fell back to a process-local lock would
// protect nothing.
static_assert(std::atomic_ref<std::uint64_t>::is_always_lock_free);
static_assert(std::atomic_ref<std::uint64_t>::required_alignment <= alignof(Shard));

namespace detail {

// True only while the slot is known to be disabled; written under the mutex, read without it so
// that the common "mode off" request costs one load. Never true while the slot is uninitialised,
// so the first record still reads the environment.
std::atomic<bool> KNOWN_DISABLED{false};

// Starts at 1, so that a follower that has never synchronised (0) always differs.
std::atomic<std::uint64_t> GENERATION{1};

}  // namespace detail

namespace {

using detail::GENERATION;
using detail::KNOWN_DISABLED;

constexpr std::uint64_t MARKER = 1;
constexpr std::uint64_t U64_MAX = std::numeric_limits<std::uint64_t>::max();

enum class Mode { uninitialised, disabled, enabled };

// The writer slot. `shard` is this process's MAP_SHARED mapping while `mode` is enabled.
struct State {
  Mode mode = Mode::uninitialised;
  std::string directory;
  Shard* shard = nullptr;
  std::optional<OpenFailure> failure;  // why the mode is off, when opening failed
};

struct Global {
  std::mutex mutex;
  State slot;
};

Global STATE;

std::atomic_ref<std::uint64_t> word(std::uint64_t& w) { return std::atomic_ref<std::uint64_t>(w); }

std::uint64_t own_pid() { return static_cast<std::uint32_t>(getpid()); }

bool valid_utf8(std::string_view text) { return utf8::valid(text); }

// The Unicode White_Space property.
bool is_white_space(std::uint32_t cp) {
  return (cp >= 0x09 && cp <= 0x0D) || cp == 0x20 || cp == 0x85 || cp == 0xA0 || cp == 0x1680 ||
         (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 || cp == 0x202F ||
         cp == 0x205F || cp == 0x3000;
}

// Empty or white space only. Bytes that are not UTF-8 are not blank: they name something.
bool is_blank(std::string_view text) {
  bool blank = true;
  const bool decoded =
      utf8::decode(text, [&](std::uint32_t cp) { blank = blank && is_white_space(cp); });
  return decoded && blank;
}

// This process's shard, mapped, or why it could not be had.
struct Opened {
  Shard* shard = nullptr;
  const char* step = "";  // the step that failed while shard is nullptr
  int error = 0;
};

Opened failed(const char* step, int error) { return {nullptr, step, error}; }

// Creates or adopts this process's shard in `directory` and maps it. Touches no state.
Opened open_writer(const std::string& directory) {
  // The OS would silently cut the path at the first NUL and write somewhere else.
  if (directory.find('\0') != std::string::npos) return failed("invalid directory", 0);
  if (const int err = files::create_dir_all(directory); err != 0) return failed("mkdir", err);

  std::string path = directory;
  path += "/vtr-";
  path += std::to_string(own_pid());
  path += ".shard";

  // The directory may be shared with other users: a symlink planted under our name must not make
  // us cut some other file to 176 bytes and write counters into it.
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0666);
  if (fd < 0) return failed("open", errno);
  Opened result;
  if (struct stat st{}; fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    result = failed("not a regular file", 0);
  } else if (ftruncate(fd, static_cast<off_t>(SHARD_SIZE)) != 0) {
    result = failed("set length", errno);
  } else if (const int err = files::reserve(fd, SHARD_SIZE); err != 0) {
    result = failed("reserve space", err);
  } else if (void* addr = mmap(nullptr, SHARD_SIZE, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
             addr == MAP_FAILED) {
    result = failed("mmap", errno);
  } else {
    result.shard = static_cast<Shard*>(addr);
  }
  close(fd);
  if (result.shard == nullptr) return result;

  Shard* shard = result.shard;
  const std::uint64_t pid = own_pid();
  if (word(shard->marker).load(std::memory_order_relaxed) == MARKER &&
      word(shard->pid).load(std::memory_order_relaxed) == pid) {
    return result;  // our own shard from an earlier open (or a dead namesake's): keep counting
  }
  word(shard->marker).store(0, std::memory_order_relaxed);
  word(shard->pid).store(0, std::memory_order_relaxed);
  word(shard->count).store(0, std::memory_order_relaxed);
  word(shard->errors).store(0, std::memory_order_relaxed);
  word(shard->sum_us).store(0, std::memory_order_relaxed);
  word(shard->min_us).store(0, std::memory_order_relaxed);
  word(shard->max_us).store(0, std::memory_order_relaxed);
  word(shard->updated_at).store(0, std::memory_order_relaxed);
  for (std::uint64_t& bucket : shard->buckets) word(bucket).store(0, std::memory_order_relaxed);
  word(shard->marker).store(MARKER, std::memory_order_relaxed);
  word(shard->pid).store(pid, std::memory_order_relaxed);
  word(shard->min_us).store(NO_MIN_US, std::memory_order_relaxed);
  word(shard->updated_at).store(wallclock::unix_seconds(), std::memory_order_relaxed);
  return result;
}

// Caller holds STATE.mutex. `failure` says why, when the mode is off because opening failed.
void set_slot_disabled(State& slot, std::optional<OpenFailure> failure = std::nullopt) {
  if (slot.shard != nullptr) munmap(slot.shard, SHARD_SIZE);
  slot.shard = nullptr;
  slot.directory.clear();
  slot.mode = Mode::disabled;
  slot.failure = std::move(failure);
  KNOWN_DISABLED.store(true, std::memory_order_release);
  GENERATION.fetch_add(1, std::memory_order_release);
}

// Caller holds STATE.mutex. Switches to the result of open_writer(directory).
void set_slot_opened(State& slot, std::string directory, const Opened& opened) {
  if (opened.shard == nullptr) {
    return set_slot_disabled(slot, OpenFailure{opened.step, opened.error, std::move(directory)});
  }
  // The old mapping goes only now that the new one exists.
  if (slot.shard != nullptr) munmap(slot.shard, SHARD_SIZE);
  slot.shard = opened.shard;
  slot.directory = std::move(directory);
  slot.mode = Mode::enabled;
  slot.failure.reset();
  KNOWN_DISABLED.store(false, std::memory_order_release);
  GENERATION.fetch_add(1, std::memory_order_release);
}

// Caller holds STATE.mutex. Reads VTR_MULTIPROC_DIR once per process, and never after set_dir.
void ensure_init(State& slot) {
  if (slot.mode != Mode::uninitialised) return;
  const char* value = std::getenv("VTR_MULTIPROC_DIR");
  if (value == nullptr) return set_slot_disabled(slot);
  std::string directory(value);
  if (is_blank(directory)) return set_slot_disabled(slot);
  if (!valid_utf8(directory)) {
    return set_slot_disabled(slot, OpenFailure{"invalid directory", 0, std::move(directory)});
  }
  const Opened opened = open_writer(directory);
  set_slot_opened(slot, std::move(directory), opened);
}

void atomic_min(std::uint64_t& target, std::uint64_t value) {
  auto ref = word(target);
  std::uint64_t current = ref.load(std::memory_order_relaxed);
  while (value < current && !ref.compare_exchange_weak(current, value, std::memory_order_relaxed)) {
  }
}

void atomic_max(std::uint64_t& target, std::uint64_t value) {
  auto ref = word(target);
  std::uint64_t current = ref.load(std::memory_order_relaxed);
  while (value > current && !ref.compare_exchange_weak(current, value, std::memory_order_relaxed)) {
  }
}

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
  std::uint64_t sum = 0;
  return __builtin_add_overflow(a, b, &sum) ? U64_MAX : sum;
}

bool is_shard_name(std::string_view name) {
  return name.size() >= 10 && name.starts_with("vtr-") && name.ends_with(".shard") &&
         valid_utf8(name);
}

// The first SHARD_SIZE bytes of a regular file; false for anything shorter. A short read is just
// a short file.
bool read_shard(int dir_fd, const char* name, Shard& out) {
  const int fd = files::open_for_reading(dir_fd, name);
  if (fd < 0) return false;
  bool ok = false;
  struct stat st {};
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size >= static_cast<off_t>(SHARD_SIZE)) {
    unsigned char bytes[SHARD_SIZE];
    ok = files::read_at(fd, bytes, SHARD_SIZE, 0) == SHARD_SIZE;
    if (ok) std::memcpy(&out, bytes, SHARD_SIZE);
  }
  close(fd);
  return ok;
}

void add_into(MergedTotals& totals, const Shard& shard) {
  // count, errors and buckets wrap like the shard words themselves; only the sum saturates.
  for (std::size_t i = 0; i < BUCKET_COUNT; ++i) totals.buckets[i] += shard.buckets[i];
  totals.count += shard.count;
  totals.errors += shard.errors;
  totals.sum_us = saturating_add(totals.sum_us, shard.sum_us);
  if (shard.min_us < totals.min_us) totals.min_us = shard.min_us;
  if (shard.max_us > totals.max_us) totals.max_us = shard.max_us;
}

// Calls visit(name, shard) for every initialised shard in the directory. The listing gets its
// own descriptor (closedir() closes it); dir_fd stays the caller's.
template <class Visit>
void scan_shards(int dir_fd, Visit&& visit) {
  const int list_fd = fcntl(dir_fd, F_DUPFD_CLOEXEC, 0);
  if (list_fd < 0) return;
  DIR* listing = fdopendir(list_fd);
  if (listing == nullptr) {
    close(list_fd);
    return;
  }
  for (;;) {
    const dirent* entry = readdir(listing);
    // A failing readdir would fail again at the same position: end the scan with what we have.
    if (entry == nullptr) break;
    if (entry->d_type != DT_REG && entry->d_type != DT_UNKNOWN) continue;
    if (!is_shard_name(entry->d_name)) continue;
    Shard shard{};
    if (!read_shard(dir_fd, entry->d_name, shard) || shard.marker != MARKER) continue;
    visit(entry->d_name, shard);
  }
  closedir(listing);
}

}  // namespace

void set_dir(std::optional<std::string_view> directory) {
  std::scoped_lock lock(STATE.mutex);
  State& slot = STATE.slot;
  if (!directory || is_blank(*directory)) return set_slot_disabled(slot);
  std::string copy(*directory);
  const Opened opened = open_writer(copy);
  set_slot_opened(slot, std::move(copy), opened);
}

std::optional<std::string> dir() {
  std::scoped_lock lock(STATE.mutex);
  ensure_init(STATE.slot);
  if (STATE.slot.mode != Mode::enabled) return std::nullopt;
  return STATE.slot.directory;
}

void record(std::uint16_t status_code, double duration_ms, std::uint64_t unix_seconds) {
  if (KNOWN_DISABLED.load(std::memory_order_acquire)) return;
  std::scoped_lock lock(STATE.mutex);
  State& slot = STATE.slot;
  if (slot.mode == Mode::uninitialised) ensure_init(slot);
  if (slot.mode != Mode::enabled) return;
  Shard& shard = *slot.shard;
  constexpr auto relaxed = std::memory_order_relaxed;
  word(shard.count).fetch_add(1, relaxed);
  if (status_code >= 400) word(shard.errors).fetch_add(1, relaxed);
  const std::uint64_t micros = to_micros(duration_ms);
  word(shard.sum_us).fetch_add(micros, relaxed);
  atomic_min(shard.min_us, micros);
  atomic_max(shard.max_us, micros);
  word(shard.buckets[bucket_index(duration_ms)]).fetch_add(1, relaxed);
  word(shard.updated_at).store(unix_seconds, relaxed);
}

Current current() {
  std::scoped_lock lock(STATE.mutex);
  ensure_init(STATE.slot);
  // Read under the mutex that every switch holds: the pair belongs to one switch.
  const std::uint64_t generation = GENERATION.load(std::memory_order_relaxed);
  if (STATE.slot.mode != Mode::enabled) return {std::nullopt, generation};
  return {STATE.slot.directory, generation};
}

std::optional<OpenFailure> last_failure() {
  std::scoped_lock lock(STATE.mutex);
  return STATE.slot.failure;
}

std::optional<MergedTotals> merged() {
  std::string directory;
  {
    std::scoped_lock lock(STATE.mutex);
    ensure_init(STATE.slot);
    if (STATE.slot.mode != Mode::enabled) return std::nullopt;
    directory = STATE.slot.directory;
  }

  MergedTotals totals;
  // Entries are opened and deleted relative to the listed directory itself, so a rename of the
  // directory mid-scan cannot send us into another one.
  const int dir_fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir_fd < 0) return totals;
  scan_shards(dir_fd, [&](const char* name, const Shard& shard) {
    if (!files::owner_alive(shard.pid)) {
      unlinkat(dir_fd, name, 0);  // someone else may have won the race: fine
      return;
    }
    add_into(totals, shard);
  });
  close(dir_fd);
  return totals;
}

MergedTotals sum(std::span<const Shard> shards) {
  MergedTotals totals;
  for (const Shard& shard : shards) add_into(totals, shard);
  return totals;
}

std::vector<std::uint64_t> live_owners(const std::string& directory) {
  std::vector<std::uint64_t> pids;
  if (directory.find('\0') != std::string::npos) return pids;
  const int dir_fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir_fd < 0) return pids;
  scan_shards(dir_fd, [&](const char*, const Shard& shard) {
    if (files::owner_alive(shard.pid)) pids.push_back(shard.pid & 0xFFFFFFFFu);
  });
  close(dir_fd);
  std::sort(pids.begin(), pids.end());
  pids.erase(std::unique(pids.begin(), pids.end()), pids.end());
  return pids;
}

double histogram_quantile(std::span<const std::uint64_t, BUCKET_COUNT> buckets, double q,
                          double max_ms) {
  return bucket_quantile(buckets, BUCKET_BOUNDS_MS, q, max_ms);
}

double bucket_quantile(std::span<const std::uint64_t> buckets, std::span<const double> bounds,
                       double q, double max_ms) {
  std::uint64_t total = 0;
  for (const std::uint64_t b : buckets) total += b;
  if (total == 0) return 0.0;
  const double rank = q * static_cast<double>(total);
  std::uint64_t prev = 0;
  for (std::size_t i = 0; i < buckets.size(); ++i) {
    const std::uint64_t cum = prev + buckets[i];
    if (rank <= static_cast<double>(cum)) {
      double lower = i == 0 ? 0.0 : bounds[i - 1];
      double upper = 0.0;
      if (i < bounds.size()) {
        upper = bounds[i];
      } else {
        // The overflow bucket reaches up to the largest duration actually seen.
        lower = bounds.back();
        upper = std::isnan(max_ms) ? lower : std::max(max_ms, lower);
      }
      if (buckets[i] == 0) return lower;
      return lower + ((rank - static_cast<double>(prev)) / static_cast<double>(buckets[i])) *
                         (upper - lower);
    }
    prev = cum;
  }
  return max_ms;
}

}  // namespace vantorel::multiproc
