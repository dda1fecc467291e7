#include "core/multiproc.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
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

}  // namespace detail

namespace {

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

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF. Calls `on_code_point`
// for each code point; false as soon as the bytes are not UTF-8.
template <class F>
bool decode_utf8(std::string_view text, F&& on_code_point) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::uint32_t cp = 0;
    std::size_t extra = 0;
    std::uint32_t min_cp = 0;
    if (lead < 0x80) {
      cp = lead;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      cp = lead & 0x1Fu;
      extra = 1;
      min_cp = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      cp = lead & 0x0Fu;
      extra = 2;
      min_cp = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      cp = lead & 0x07u;
      extra = 3;
      min_cp = 0x10000;
    } else {
      return false;
    }
    if (text.size() - i - 1 < extra) return false;
    for (std::size_t k = 1; k <= extra; ++k) {
      const auto cont = static_cast<unsigned char>(text[i + k]);
      if ((cont & 0xC0u) != 0x80u) return false;
      cp = (cp << 6) | (cont & 0x3Fu);
    }
    if (cp < min_cp || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    on_code_point(cp);
    i += extra + 1;
  }
  return true;
}

bool valid_utf8(std::string_view text) {
  return decode_utf8(text, [](std::uint32_t) {});
}

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
      decode_utf8(text, [&](std::uint32_t cp) { blank = blank && is_white_space(cp); });
  return decoded && blank;
}

bool is_directory(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The path without its last component, as "mkdir -p" walks it; nullopt above the root.
std::optional<std::string> parent_of(const std::string& path) {
  std::size_t end = path.find_last_not_of('/');
  if (end == std::string::npos) return std::nullopt;  // "/" (or "//") has no parent
  const std::size_t slash = path.rfind('/', end);
  if (slash == std::string::npos) return std::string();
  const std::size_t parent_end = path.find_last_not_of('/', slash);
  if (parent_end == std::string::npos) return std::string("/");
  return path.substr(0, parent_end + 1);
}

// 0 or an errno. An existing directory (or a symlink to one) is no error.
int create_dir_all(const std::string& path) {
  if (path.empty()) return 0;
  if (mkdir(path.c_str(), 0777) == 0) return 0;
  int err = errno;
  if (err != ENOENT) {
    if (is_directory(path)) return 0;
    // "File exists" would hide the real problem: something that is not a directory.
    return err == EEXIST ? ENOTDIR : err;
  }
  const std::optional<std::string> parent = parent_of(path);
  if (!parent) return err;
  if (const int parent_err = create_dir_all(*parent); parent_err != 0) return parent_err;
  if (mkdir(path.c_str(), 0777) == 0) return 0;
  err = errno;
  return is_directory(path) ? 0 : err;
}

// 0 or an errno. Gives the first `size` bytes of the file real blocks. ftruncate alone leaves a
// hole, and the first store through the mapping would then need a block that a full file system
// (a full /tmp or /dev/shm) cannot give: the kernel answers that with SIGBUS, which kills the host.
int reserve(int fd, std::size_t size) {
  int err = 0;
  do {
    err = posix_fallocate(fd, 0, static_cast<off_t>(size));
  } while (err == EINTR);
  return err;
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
  if (const int err = create_dir_all(directory); err != 0) return failed("mkdir", err);

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
  } else if (const int err = reserve(fd, SHARD_SIZE); err != 0) {
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

// A pid that the kernel can hand out: 1 to 2^31 - 1. Zero and "negative" values would make
// kill() probe a process group (0, -n) or every process (-1) instead of one process.
bool is_process_id(std::uint64_t pid_low32) { return pid_low32 >= 1 && pid_low32 <= 0x7FFFFFFF; }

bool owner_alive(std::uint64_t pid_word) {
  const std::uint64_t pid = pid_word & 0xFFFFFFFFu;
  if (!is_process_id(pid)) return false;
  return kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

bool is_shard_name(std::string_view name) {
  return name.size() >= 10 && name.starts_with("vtr-") && name.ends_with(".shard") &&
         valid_utf8(name);
}

// The first SHARD_SIZE bytes of a regular file; false for anything shorter. Readers never map a
// shard: its owner or anyone else may cut the file while we read, and a read past the end of a
// mapping is a SIGBUS for the whole host application. A short read is just a short file.
bool read_shard(int dir_fd, const char* name, Shard& out) {
  // O_NONBLOCK: a FIFO named like a shard must not hang the merge in open(). O_NOFOLLOW: owners
  // create regular files, never symlinks, and a symlink could lead to any file on the host.
  const int fd = openat(dir_fd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = false;
  struct stat st {};
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size >= static_cast<off_t>(SHARD_SIZE)) {
    unsigned char bytes[SHARD_SIZE];
    std::size_t done = 0;
    while (done < SHARD_SIZE) {
      const ssize_t n = pread(fd, bytes + done, SHARD_SIZE - done, static_cast<off_t>(done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
    ok = done == SHARD_SIZE;
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
  DIR* listing = fdopendir(dir_fd);
  if (listing == nullptr) {
    close(dir_fd);
    return totals;
  }
  for (;;) {
    const dirent* entry = readdir(listing);
    // A failing readdir would fail again at the same position: end the scan with what we have.
    if (entry == nullptr) break;
    if (entry->d_type != DT_REG && entry->d_type != DT_UNKNOWN) continue;
    if (!is_shard_name(entry->d_name)) continue;
    Shard shard{};
    if (!read_shard(dir_fd, entry->d_name, shard)) continue;
    if (shard.marker != MARKER) continue;
    if (!owner_alive(shard.pid)) {
      unlinkat(dir_fd, entry->d_name, 0);  // someone else may have won the race: fine
      continue;
    }
    add_into(totals, shard);
  }
  closedir(listing);
  return totals;
}

double histogram_quantile(std::span<const std::uint64_t, BUCKET_COUNT> buckets, double q,
                          double max_ms) {
  std::uint64_t total = 0;
  for (const std::uint64_t b : buckets) total += b;
  if (total == 0) return 0.0;
  const double rank = q * static_cast<double>(total);
  std::uint64_t prev = 0;
  for (std::size_t i = 0; i < BUCKET_COUNT; ++i) {
    const std::uint64_t cum = prev + buckets[i];
    if (rank <= static_cast<double>(cum)) {
      double lower = i == 0 ? 0.0 : BUCKET_BOUNDS_MS[i - 1];
      double upper = 0.0;
      if (i < BUCKET_COUNT - 1) {
        upper = BUCKET_BOUNDS_MS[i];
      } else {
        // The overflow bucket reaches up to the largest duration actually seen.
        lower = BUCKET_BOUNDS_MS.back();
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

std::size_t bucket_index(double duration_ms) {
  for (std::size_t i = 0; i < BUCKET_BOUNDS_MS.size(); ++i) {
    if (duration_ms <= BUCKET_BOUNDS_MS[i]) return i;
  }
  return BUCKET_COUNT - 1;  // above the last bound, or NaN
}

std::uint64_t to_micros(double duration_ms) {
  if (std::isnan(duration_ms) || duration_ms < 0.0) return 0;
  const double micros = duration_ms * 1000.0;
  // 2^64 is the first double past the range; the cast would be undefined from there on.
  if (micros >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
  return static_cast<std::uint64_t>(micros);
}

}  // namespace vantorel::multiproc
