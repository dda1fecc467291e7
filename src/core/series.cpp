#include "core/series.h"

#include <dirent.h>
#include <fcntl.h>
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
#include <limits>
#include <memory>
#include <mutex>
#include <tuple>
#include <utility>

#include "core/files.h"
#include "core/utf8.h"

namespace vantorel::series {

static_assert(sizeof(Header) == HEADER_SIZE);
static_assert(offsetof(Header, magic) == 0);
static_assert(offsetof(Header, pid) == 8);
static_assert(offsetof(Header, incarnation) == 16);
static_assert(offsetof(Header, capacity) == 24);
static_assert(offsetof(Header, slot_size) == 32);
static_assert(offsetof(Header, claimed) == 40);
static_assert(offsetof(Header, in_progress) == 48);
static_assert(sizeof(Slot) == SLOT_SIZE && SLOT_SIZE % 8 == 0);
static_assert(offsetof(Slot, check) == 0);
static_assert(offsetof(Slot, key) == 8);
static_assert(offsetof(Slot, count) == 16);
static_assert(offsetof(Slot, sum_us) == 24);
static_assert(offsetof(Slot, buckets) == 32);
static_assert(offsetof(Slot, bytes) == SLOT_HEAD_SIZE);
// Other processes map the same words: an atomic that fell back to a process-local lock would
// protect nothing.
static_assert(std::atomic_ref<std::uint64_t>::is_always_lock_free);
static_assert(std::atomic_ref<std::uint64_t>::required_alignment <= alignof(Slot));

namespace {

constexpr std::uint64_t U64_MAX = std::numeric_limits<std::uint64_t>::max();
constexpr std::size_t HEAD_WORDS = SLOT_HEAD_SIZE / 8;
constexpr std::size_t SLOT_WORDS = SLOT_SIZE / 8;
constexpr std::string_view FILE_PREFIX = "vtr-";
constexpr std::string_view FILE_SUFFIX = ".series";
constexpr const char* ARCHIVE_NAME = "vtr-series.archive";
constexpr const char* ARCHIVE_TMP_NAME = "vtr-series.archive.tmp";
constexpr std::uint64_t INITIAL_LOCAL_CAPACITY = 64;
constexpr std::uint64_t READ_CHUNK_SLOTS = 32;
// Each fold pushes one incarnation onto the archive's ring of FOLDED_RING_SIZE: a batch must
// stay well below it, or a crash before its deletes could forget that a file was folded.
constexpr std::size_t MAX_FOLDS_PER_MERGE = 64;
// A writer setting up its file, and series_fold(), wait this long for a merger's fold to end.
constexpr int LOCK_TRIES = 100;
constexpr long LOCK_PAUSE_NS = 2'000'000;

// The archive: this header, then records, each the 18 head words of a slot followed by its key
// bytes padded to whole words. It is only ever replaced whole, by rename.
struct ArchiveHeader {
  std::uint64_t magic;         // ARCHIVE_MAGIC
  std::uint64_t slot_size;     // SLOT_SIZE: the layout's version
  std::uint64_t record_words;  // the records' length, in words
  std::uint64_t folded_count;  // entries of `folded` in use, oldest first
  std::uint64_t reserved[4];
  std::uint64_t folded[FOLDED_RING_SIZE];  // incarnations of the last files folded
};
static_assert(offsetof(ArchiveHeader, folded) == 64);
static_assert(sizeof(ArchiveHeader) % 8 == 0);

constexpr std::size_t MAX_ARCHIVE_BYTES =
    sizeof(ArchiveHeader) + (ARCHIVE_KEYS_PER_LIMIT * MAX_LIMIT + 1) * SLOT_SIZE;

std::atomic_ref<std::uint64_t> word(std::uint64_t& w) { return std::atomic_ref<std::uint64_t>(w); }

std::uint64_t own_pid() { return static_cast<std::uint32_t>(getpid()); }

std::size_t region_bytes(std::uint64_t capacity) { return HEADER_SIZE + capacity * SLOT_SIZE; }

bool capacity_sane(std::uint64_t capacity) { return capacity >= 1 && capacity <= MAX_LIMIT + 1; }

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
  std::uint64_t sum = 0;
  return __builtin_add_overflow(a, b, &sum) ? U64_MAX : sum;
}

std::uint64_t fmix(std::uint64_t x) {
  x ^= x >> 33;
  x *= 0xFF51AFD7ED558CCDu;
  x ^= x >> 33;
  x *= 0xC4CEB9FE1A85EC53u;
  x ^= x >> 33;
  return x;
}

std::size_t method_size(std::uint64_t key) { return (key >> 16) & 0xFFFFu; }
std::size_t route_size(std::uint64_t key) { return (key >> 32) & 0xFFFFu; }
std::size_t key_size(std::uint64_t key) {
  return key == OVERFLOW_KEY ? 0 : method_size(key) + route_size(key);
}

// The overflow key, or a status with lengths within the caps and nothing else.
bool key_in_range(std::uint64_t key) {
  if (key == OVERFLOW_KEY) return true;
  return (key >> 48) == 0 && method_size(key) <= MAX_METHOD_BYTES &&
         route_size(key) <= MAX_ROUTE_BYTES;
}

std::string file_name(std::uint64_t pid) {
  std::string name(FILE_PREFIX);
  char digits[24];
  const auto end = std::to_chars(digits, digits + sizeof digits, pid).ptr;
  name.append(digits, end);
  name += FILE_SUFFIX;
  return name;
}

bool is_file_name(std::string_view name) {
  return name.size() > FILE_PREFIX.size() + FILE_SUFFIX.size() && name.starts_with(FILE_PREFIX) &&
         name.ends_with(FILE_SUFFIX) && utf8::valid(name);
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

// A key as the record path sees it: the caller's texts, cut to their caps, never copied (only a
// new slot gets a copy).
struct Key {
  std::string_view method, route;
  std::uint64_t word = 0;
  std::uint64_t hash = 0;
};

std::uint64_t load8(const char* p) {
  std::uint64_t w;
  std::memcpy(&w, p, 8);
  return w;
}

// 1 to 8 bytes as one word, without reading past them (and without a call into the C library).
std::uint64_t load_tail(const char* p, std::size_t n) {
  if (n == 8) return load8(p);
  if (n >= 4) {
    std::uint32_t a, b;
    std::memcpy(&a, p, 4);
    std::memcpy(&b, p + n - 4, 4);
    return std::uint64_t{a} << 32 | b;
  }
  const auto byte = [&](std::size_t i) { return std::uint64_t{static_cast<unsigned char>(p[i])}; };
  return byte(0) << 16 | byte(n >> 1) << 8 | byte(n - 1);
}

constexpr std::uint64_t K1 = 0x9E3779B97F4A7C15u, K2 = 0xC2B2AE3D27D4EB4Fu;

// One multiply per word. Each step is a bijection of the word for a given state, so two keys of
// the same lengths that differ in one word never share a hash, and a torn key (one whose bytes a
// reader caught half-written) fails its check unless it differs in several words and collides
// by chance (2^-64).
std::uint64_t absorb(std::uint64_t h, const char* p, std::size_t n) {
  for (; n > 8; p += 8, n -= 8) {
    h = (h ^ load8(p)) * K1;
    h ^= h >> 29;
  }
  if (n > 0) {
    h = (h ^ load_tail(p, n)) * K1;
    h ^= h >> 29;
  }
  return h;
}

// The hash of a key word and its two texts. The key word holds both lengths, so hashing the
// texts one after the other cannot confuse one split for another.
std::uint64_t hash_parts(std::uint64_t key, std::string_view method, std::string_view route) {
  std::uint64_t h = (key ^ K2) * K1;
  h = absorb(h, method.data(), method.size());
  h = absorb(h, route.data(), route.size());
  h ^= h >> 32;
  h *= K2;
  h ^= h >> 29;
  return h != 0 ? h : 1;  // 0 means "not yet published"
}

void make_key(std::string_view method, std::string_view route, std::uint16_t status, Key& key) {
  // The caps count code points; text that is not UTF-8 (the binding never passes any) is still
  // cut within the slot's room.
  key.method = method.substr(
      0, std::min(utf8::prefix_size(method, MAX_METHOD_CODE_POINTS), MAX_METHOD_BYTES));
  key.route =
      route.substr(0, std::min(utf8::prefix_size(route, MAX_ROUTE_CODE_POINTS), MAX_ROUTE_BYTES));
  key.word = std::uint64_t{status} | std::uint64_t{key.method.size()} << 16 |
             std::uint64_t{key.route.size()} << 32;
  key.hash = hash_parts(key.word, key.method, key.route);
}

// Equal bytes. Keys are short: up to 16 bytes take two overlapping loads a side, without a call
// into the C library.
bool same_bytes(const char* a, const char* b, std::size_t n) {
  if (n > 16) return std::memcmp(a, b, n) == 0;
  if (n >= 8) return load8(a) == load8(b) && load8(a + n - 8) == load8(b + n - 8);
  return n == 0 || load_tail(a, n) == load_tail(b, n);
}

bool same_texts(const char* bytes, const Key& key) {
  const std::size_t m = key.method.size();
  return same_bytes(bytes, key.method.data(), m) &&
         same_bytes(bytes + m, key.route.data(), key.route.size());
}

// A table of slots: process memory, or a worker's file mapped MAP_SHARED.
struct Region {
  std::byte* base = nullptr;
  std::uint64_t capacity = 0;
  bool mapped = false;

  [[nodiscard]] Header& header() const { return *reinterpret_cast<Header*>(base); }
  [[nodiscard]] Slot& slot(std::uint64_t i) const {
    return *reinterpret_cast<Slot*>(base + HEADER_SIZE + i * SLOT_SIZE);
  }
  // Forked children may share a mapped file's words: there, every change is an atomic RMW.
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

void init_region(const Region& r, std::uint64_t incarnation) {
  Header& h = r.header();
  r.store(h.pid, own_pid());
  r.store(h.incarnation, incarnation);
  r.store(h.capacity, r.capacity);
  r.store(h.slot_size, SLOT_SIZE);
  r.store(h.claimed, 1);  // slot 0: the overflow key
  for (std::uint64_t& gauge : h.in_progress) r.store(gauge, 0);
  Slot& overflow = r.slot(0);
  r.store(overflow.key, OVERFLOW_KEY);
  r.publish(overflow, key_hash(OVERFLOW_KEY, nullptr, 0));
  if (r.mapped) {
    word(h.magic).store(FILE_MAGIC, std::memory_order_release);
  } else {
    h.magic = FILE_MAGIC;
  }
}

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
  std::unique_ptr<std::uint64_t[]> local_words;
  Region local;  // process memory: the table while the mode is off or the file cannot be had
  Region file;   // this worker's file while the series are in the directory
  Index index;   // over current()
  std::optional<multiproc::OpenFailure> failure;

  Region& current() { return file.base != nullptr ? file : local; }
};

Writer SERIES;

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

// Caller holds SERIES.mutex. Replaces the local region by one of `capacity` slots holding the
// old one's slots (an empty, initialised one the first time).
void allocate_local(Writer& w, std::uint64_t capacity) {
  auto words = std::make_unique<std::uint64_t[]>(region_bytes(capacity) / 8);
  const Region grown{reinterpret_cast<std::byte*>(words.get()), capacity, false};
  if (w.local.base != nullptr) {
    std::memcpy(grown.base, w.local.base,
                region_bytes(std::min(w.local.header().claimed, w.local.capacity)));
    grown.header().capacity = capacity;
  } else {
    init_region(grown, new_incarnation());
  }
  w.local_words = std::move(words);
  w.local = grown;
}

// Caller holds SERIES.mutex. The index over the current region's published slots. A slot
// counts only when its check is its key's hash: an adopted file may end with a slot that its
// writer claimed but never finished.
void rebuild_index(Writer& w) {
  const Region& r = w.current();
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
  if (w.local.base == nullptr) {
    allocate_local(w, std::min(INITIAL_LOCAL_CAPACITY, limit_word().load() + 1));
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
    if (r->mapped) return r->slot(0);
    // Process memory grows: doubling, up to what the limit needs.
    allocate_local(w, std::max(std::min(2 * r->capacity, limit + 1), claimed + 1));
    rebuild_index(w);
    r = &w.current();
  }
  std::uint64_t at = 0;
  if (r->mapped) {
    // Forked children that share the mapping claim from the same counter.
    at = word(r->header().claimed).fetch_add(1, std::memory_order_relaxed);
    if (at >= r->capacity) return r->slot(0);
  } else {
    at = r->header().claimed++;
  }
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

// Caller holds SERIES.mutex.
Slot& slot_for(Writer& w, const Key& key) {
  const Region& r = w.current();
  const std::uint64_t found = w.index.find(key.hash, [&](std::uint64_t i) {
    const Slot& s = r.slot(i);  // published by this process: its key no longer changes
    return s.key == key.word && same_texts(s.bytes, key);
  });
  return found != 0 ? r.slot(found) : claim(w, key);
}

// This process's file in a directory, mapped, or why it could not be had.
struct Opened {
  Region region;
  const char* step = "";
  int error = 0;
};

Opened failed(const char* step, int error) { return {Region{}, step, error}; }

bool lock_directory(int dir_fd, int tries) {
  for (int attempt = 1;; ++attempt) {
    if (flock(dir_fd, LOCK_EX | LOCK_NB) == 0) return true;
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK || attempt >= tries) return false;
    timespec pause{0, LOCK_PAUSE_NS};
    nanosleep(&pause, nullptr);
  }
}

void unlock_directory(int dir_fd) { flock(dir_fd, LOCK_UN); }

// Whether the archive's ring names `incarnation`: that file's series are in the archive already.
bool archive_names(int dir_fd, std::uint64_t incarnation) {
  const int fd = files::open_for_reading(dir_fd, ARCHIVE_NAME);
  if (fd < 0) return false;
  ArchiveHeader head{};
  struct stat st {};
  const bool read = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
                    files::read_at(fd, &head, sizeof head, 0) == sizeof head;
  close(fd);
  if (!read || head.magic != ARCHIVE_MAGIC || head.folded_count > FOLDED_RING_SIZE) return false;
  return std::find(head.folded, head.folded + head.folded_count, incarnation) !=
         head.folded + head.folded_count;
}

// Caller holds the directory's lock (when it could be had). Creates or adopts this process's
// file. Adopted: a file with our pid that a merge has not folded already, from an earlier
// switch of this process or from a dead namesake; its counts go on.
Opened open_in(int dir_fd, std::uint64_t limit) {
  const std::string name = file_name(own_pid());
  // A symlink planted under our name must not make us cut some other file and write into it.
  const int fd =
      openat(dir_fd, name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0666);
  if (fd < 0) return failed("open", errno);
  Opened result;
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return failed("not a regular file", 0);
  }
  Header head{};
  const bool adopt = files::read_at(fd, &head, HEADER_SIZE, 0) == HEADER_SIZE &&
                     head.magic == FILE_MAGIC && head.pid == own_pid() &&
                     head.slot_size == SLOT_SIZE && capacity_sane(head.capacity) &&
                     st.st_size >= static_cast<off_t>(region_bytes(head.capacity)) &&
                     !archive_names(dir_fd, head.incarnation);
  const std::uint64_t capacity = adopt ? head.capacity : limit + 1;
  const std::size_t size = region_bytes(capacity);
  // Cut to nothing first: whatever the file held must read as zeros.
  if (!adopt && (ftruncate(fd, 0) != 0 || ftruncate(fd, static_cast<off_t>(size)) != 0)) {
    result = failed("set length", errno);
  } else if (const int err = files::reserve(fd, size); err != 0) {
    result = failed("reserve space", err);
  } else if (void* addr = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
             addr == MAP_FAILED) {
    result = failed("mmap", errno);
  } else {
    result.region = Region{static_cast<std::byte*>(addr), capacity, true};
    if (!adopt) init_region(result.region, new_incarnation());
  }
  close(fd);
  // A file we meant to initialise and could not is nobody's: left behind, no merge would ever
  // delete it.
  if (result.region.base == nullptr && !adopt) unlinkat(dir_fd, name.c_str(), 0);
  return result;
}

Opened open_file(const std::string& directory, std::uint64_t limit) {
  // The OS would silently cut the path at the first NUL and write somewhere else.
  if (directory.find('\0') != std::string::npos) return failed("invalid directory", 0);
  if (const int err = files::create_dir_all(directory); err != 0) return failed("mkdir", err);
  const int dir_fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir_fd < 0) return failed("open directory", errno);
  // Merges fold under this lock. Holding it, we cannot adopt a dead namesake's file that a
  // merge is folding and about to delete. (Should another process hold it for long, we go on
  // without: the pid of a worker that just died is seldom handed out again at once.)
  const bool locked = lock_directory(dir_fd, LOCK_TRIES);
  Opened opened = open_in(dir_fd, limit);
  if (locked) unlock_directory(dir_fd);
  close(dir_fd);
  return opened;
}

// Caller holds SERIES.mutex. Moves the table to this process's file in `directory`, or to
// process memory for nullopt (or when the file cannot be had).
void switch_region(Writer& w, const std::optional<std::string>& directory) {
  ensure_local(w);
  // Requests in progress move with the table, so that one that began before the switch and
  // ends after it leaves the gauges balanced. Taken before the old file goes: a reopened file
  // may be the same file.
  std::array<std::uint64_t, METHOD_CLASS_COUNT> gauges{};
  {
    const Region& old = w.current();
    for (std::size_t i = 0; i < METHOD_CLASS_COUNT; ++i) {
      gauges[i] = old.load(old.header().in_progress[i]);
      old.store(old.header().in_progress[i], 0);
    }
  }
  if (w.file.base != nullptr) munmap(w.file.base, region_bytes(w.file.capacity));
  w.file = Region{};
  w.failure.reset();
  if (directory) {
    const Opened opened = open_file(*directory, limit_word().load());
    if (opened.region.base != nullptr) {
      w.file = opened.region;
    } else {
      w.failure = multiproc::OpenFailure{opened.step, opened.error, *directory};
    }
  }
  const Region& now = w.current();
  for (std::size_t i = 0; i < METHOD_CLASS_COUNT; ++i) {
    now.store(now.header().in_progress[i], gauges[i]);
  }
  rebuild_index(w);
}

// Brings the writer to multiproc's latest switch. Takes multiproc's lock, then ours: never both.
void follow_mode() {
  const multiproc::Current mode = multiproc::current();
  std::scoped_lock lock(SERIES.mutex);
  if (mode.generation <= SERIES.generation) return;  // another thread got there, or further
  switch_region(SERIES, mode.directory);
  SERIES.generation = mode.generation;
}

// SERIES.mutex, taken once the writer follows the mode: one load when nothing moved.
std::unique_lock<std::mutex> lock_following_mode() {
  const std::uint64_t seen = multiproc::generation();
  std::unique_lock lock(SERIES.mutex);
  if (SERIES.generation != seen) {
    lock.unlock();
    follow_mode();
    lock.lock();
  }
  return lock;
}

void record(std::string_view method, std::string_view route, std::uint16_t status,
            double duration_ms, bool finished) {
  Key key;
  make_key(method, route, status, key);
  const Observation seen = observation_of(duration_ms);
  const std::size_t method_index = finished ? method_class(method) : 0;
  const auto lock = lock_following_mode();
  Slot& s = slot_for(SERIES, key);
  const Region& r = SERIES.current();  // after slot_for: process memory may have grown
  r.add(s.buckets[seen.bucket], 1);
  r.add(s.sum_us, seen.micros);
  r.add(s.count, 1);
  if (finished) r.add(r.header().in_progress[method_index], U64_MAX);  // minus one
}

// What one source (a worker's file, this process's table, the archive) holds: its valid
// records, each the 18 head words of a slot and the key bytes padded to whole words.
struct Source {
  std::string name;  // the directory entry
  std::uint64_t pid = 0;
  std::uint64_t incarnation = 0;
  bool alive = false;
  std::array<std::uint64_t, METHOD_CLASS_COUNT> in_progress{};
  std::vector<std::uint64_t> records;
  std::size_t count = 0;  // of records
};

std::size_t padded_words(std::size_t bytes) { return (bytes + 7) / 8; }

void append_record(Source& source, const std::uint64_t* head, const char* bytes, std::size_t size) {
  const std::size_t at = source.records.size();
  source.records.resize(at + HEAD_WORDS + padded_words(size));
  std::memcpy(&source.records[at], head, SLOT_HEAD_SIZE);
  if (size > 0) std::memcpy(&source.records[at + HEAD_WORDS], bytes, size);
  ++source.count;
}

template <class F>
void for_each_record(const std::vector<std::uint64_t>& records, F&& visit) {
  for (std::size_t at = 0; at < records.size();) {
    const std::uint64_t* head = &records[at];
    const std::size_t size = key_size(head[1]);
    visit(head, reinterpret_cast<const char*>(head + HEAD_WORDS), size);
    at += HEAD_WORDS + padded_words(size);
  }
}

// A slot or record read from a file: published, its key in range and whole (the check is its
// hash: a key torn by a racing writer fails it), its texts UTF-8.
bool valid_record(const std::uint64_t* head, const char* bytes) {
  const std::uint64_t check = head[0], key = head[1];
  if (check == 0 || !key_in_range(key)) return false;
  if (key_hash(key, bytes, key_size(key)) != check) return false;
  if (key == OVERFLOW_KEY) return true;
  const std::size_t m = method_size(key);
  return utf8::valid({bytes, m}) && utf8::valid({bytes + m, route_size(key)});
}

// A worker's file, read with pread (see files::read_at). False when it is no valid file.
bool read_worker_file(int dir_fd, const char* name, Source& out) {
  const int fd = files::open_for_reading(dir_fd, name);
  if (fd < 0) return false;
  struct stat st {};
  Header head{};
  bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
            st.st_size >= static_cast<off_t>(HEADER_SIZE) &&
            files::read_at(fd, &head, HEADER_SIZE, 0) == HEADER_SIZE;
  ok = ok && head.magic == FILE_MAGIC && head.slot_size == SLOT_SIZE &&
       capacity_sane(head.capacity) &&
       st.st_size >= static_cast<off_t>(region_bytes(head.capacity));
  if (ok) {
    out.pid = head.pid;
    out.incarnation = head.incarnation;
    std::copy(std::begin(head.in_progress), std::end(head.in_progress), out.in_progress.begin());
    const std::uint64_t slots = std::min(head.claimed, head.capacity);
    std::vector<std::uint64_t> chunk(READ_CHUNK_SLOTS * SLOT_WORDS);
    for (std::uint64_t first = 0; first < slots; first += READ_CHUNK_SLOTS) {
      const std::uint64_t n = std::min(READ_CHUNK_SLOTS, slots - first);
      const std::size_t want = n * SLOT_SIZE;
      const std::size_t got = files::read_at(fd, chunk.data(), want, region_bytes(first));
      for (std::size_t i = 0; i < got / SLOT_SIZE; ++i) {
        const std::uint64_t* slot = &chunk[i * SLOT_WORDS];
        const char* bytes = reinterpret_cast<const char*>(slot + HEAD_WORDS);
        if (valid_record(slot, bytes)) append_record(out, slot, bytes, key_size(slot[1]));
      }
      if (got < want) break;  // cut while we read: what was read is as good as any
    }
  }
  close(fd);
  return ok;
}

// Caller holds SERIES.mutex.
Source read_local(const Region& r) {
  Source out;
  out.pid = own_pid();
  out.alive = true;
  for (std::size_t i = 0; i < METHOD_CLASS_COUNT; ++i)
    out.in_progress[i] = r.header().in_progress[i];
  const std::uint64_t claimed = std::min(r.header().claimed, r.capacity);
  for (std::uint64_t i = 0; i < claimed; ++i) {
    const Slot& s = r.slot(i);
    if (s.check != 0) {
      append_record(out, reinterpret_cast<const std::uint64_t*>(&s), s.bytes, key_size(s.key));
    }
  }
  return out;
}

std::vector<Source> read_workers(int dir_fd) {
  std::vector<Source> sources;
  // The listing gets its own descriptor: closedir() closes it.
  const int list_fd = fcntl(dir_fd, F_DUPFD_CLOEXEC, 0);
  if (list_fd < 0) return sources;
  DIR* listing = fdopendir(list_fd);
  if (listing == nullptr) {
    close(list_fd);
    return sources;
  }
  for (;;) {
    const dirent* entry = readdir(listing);
    // A failing readdir would fail again at the same position: end the scan with what we have.
    if (entry == nullptr) break;
    if (entry->d_type != DT_REG && entry->d_type != DT_UNKNOWN) continue;
    if (!is_file_name(entry->d_name)) continue;
    Source source;
    if (!read_worker_file(dir_fd, entry->d_name, source)) continue;
    source.name = entry->d_name;
    source.alive = files::owner_alive(source.pid);
    sources.push_back(std::move(source));
  }
  closedir(listing);
  return sources;
}

enum class ArchiveState {
  absent,       // no archive yet
  valid,        // read
  replaceable,  // something else under its name (garbage, a FIFO, a symlink): a fold replaces it
  unreadable,   // an archive we may not or could not read: no fold may replace it
};

struct Archive {
  ArchiveState state = ArchiveState::absent;
  std::vector<std::uint64_t> folded;  // oldest first
  Source records;

  [[nodiscard]] bool names(std::uint64_t incarnation) const {
    return std::find(folded.begin(), folded.end(), incarnation) != folded.end();
  }
};

Archive read_archive(int dir_fd) {
  Archive archive;
  const int fd = files::open_for_reading(dir_fd, ARCHIVE_NAME);
  if (fd < 0) {
    archive.state = errno == ENOENT  ? ArchiveState::absent
                    : errno == ELOOP ? ArchiveState::replaceable
                                     : ArchiveState::unreadable;
    return archive;
  }
  struct stat st {};
  if (fstat(fd, &st) != 0) {
    archive.state = ArchiveState::unreadable;
  } else if (!S_ISREG(st.st_mode) || st.st_size < static_cast<off_t>(sizeof(ArchiveHeader)) ||
             st.st_size > static_cast<off_t>(MAX_ARCHIVE_BYTES) || st.st_size % 8 != 0) {
    archive.state = ArchiveState::replaceable;
  } else {
    const auto size = static_cast<std::size_t>(st.st_size);
    std::vector<std::uint64_t> words(size / 8);
    // It is replaced by rename, never changed in place: a short read is an I/O error.
    archive.state = files::read_at(fd, words.data(), size, 0) == size ? ArchiveState::valid
                                                                      : ArchiveState::unreadable;
    ArchiveHeader head{};
    if (archive.state == ArchiveState::valid) std::memcpy(&head, words.data(), sizeof head);
    const std::size_t first = sizeof(ArchiveHeader) / 8;
    if (archive.state == ArchiveState::valid &&
        (head.magic != ARCHIVE_MAGIC || head.slot_size != SLOT_SIZE ||
         head.folded_count > FOLDED_RING_SIZE || head.record_words != words.size() - first)) {
      archive.state = ArchiveState::replaceable;
    }
    for (std::size_t at = first; archive.state == ArchiveState::valid && at < words.size();) {
      const std::uint64_t* rec = &words[at];
      const std::size_t span = words.size() - at < HEAD_WORDS || !key_in_range(rec[1])
                                   ? 0
                                   : HEAD_WORDS + padded_words(key_size(rec[1]));
      if (span == 0 || span > words.size() - at) {
        archive.state = ArchiveState::replaceable;  // not our layout
        break;
      }
      const char* bytes = reinterpret_cast<const char*>(rec + HEAD_WORDS);
      if (valid_record(rec, bytes)) append_record(archive.records, rec, bytes, key_size(rec[1]));
      at += span;
    }
    if (archive.state == ArchiveState::valid) {
      archive.folded.assign(head.folded, head.folded + head.folded_count);
    } else {
      archive.records.records.clear();
      archive.records.count = 0;
    }
  }
  close(fd);
  return archive;
}

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
void add_into(Totals& t, const std::uint64_t* head) {
  t.count += head[2];
  t.sum_us = saturating_add(t.sum_us, head[3]);
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

void add_source(KeyTable& sums, const Source& source) {
  for_each_record(
      source.records, [&](const std::uint64_t* head, const char* bytes, std::size_t size) {
        add_into(sums.at(KeyRef{head[1], std::string_view(bytes, size), head[0]}), head);
      });
}

void add_gauges(Merged& merged, const Source& source) {
  for (std::size_t i = 0; i < METHOD_CLASS_COUNT; ++i) {
    merged.in_progress[i] += static_cast<std::int64_t>(source.in_progress[i]);
  }
}

constexpr std::string_view OVERFLOW_METHOD = "OTHER";
constexpr std::string_view OVERFLOW_ROUTE = "<overflow>";

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
    const bool overflow = ref.key == OVERFLOW_KEY;
    // Every table holds the overflow key; it shows once something was counted under it.
    if (overflow && totals.count == 0 &&
        totals.buckets == std::array<std::uint64_t, BUCKET_COUNT>{}) {
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
    s.count = totals.count;
    s.sum_us = totals.sum_us;
    s.buckets = totals.buckets;
    if (s.overflow) merged.overflow += totals.count;
  }
}

// The new archive: the old one's keys (all of them, in their order), then the folded files'
// new keys while there are fewer than ARCHIVE_KEYS_PER_LIMIT x limit; keys past that count
// under the overflow key. So only a deployment with more distinct keys than that can see a
// labelled series move into the overflow series when a worker dies.
std::vector<std::uint64_t> build_archive(const Archive& old, const std::vector<Source>& folding,
                                         std::uint64_t limit) {
  std::size_t expected = old.records.count;
  for (const Source& source : folding) expected += source.count;
  KeyTable entries(expected);
  std::size_t labelled = 0;
  const KeyRef overflow{OVERFLOW_KEY, {}, key_hash(OVERFLOW_KEY, nullptr, 0)};
  const std::uint64_t max_keys = ARCHIVE_KEYS_PER_LIMIT * limit;
  const auto add = [&](const std::uint64_t* head, const char* bytes, std::size_t size,
                       bool from_archive) {
    KeyRef ref{head[1], std::string_view(bytes, size), head[0]};
    if (ref.key != OVERFLOW_KEY && entries.find(ref) == nullptr) {
      if (!from_archive && labelled >= max_keys) {
        ref = overflow;
      } else {
        ++labelled;
      }
    }
    add_into(entries.at(ref), head);
  };
  for_each_record(old.records.records, [&](const std::uint64_t* head, const char* bytes,
                                           std::size_t size) { add(head, bytes, size, true); });
  std::vector<std::uint64_t> folded = old.folded;
  for (const Source& source : folding) {
    for_each_record(source.records, [&](const std::uint64_t* head, const char* bytes,
                                        std::size_t size) { add(head, bytes, size, false); });
    folded.push_back(source.incarnation);
  }
  if (folded.size() > FOLDED_RING_SIZE) {
    folded.erase(folded.begin(), folded.end() - static_cast<std::ptrdiff_t>(FOLDED_RING_SIZE));
  }

  ArchiveHeader head{};
  head.magic = ARCHIVE_MAGIC;
  head.slot_size = SLOT_SIZE;
  head.folded_count = folded.size();
  std::copy(folded.begin(), folded.end(), head.folded);
  std::vector<std::uint64_t> image(sizeof head / 8);
  for (const auto& [ref, totals] : entries.entries()) {
    std::uint64_t rec[HEAD_WORDS] = {ref.hash, ref.key, totals.count, totals.sum_us};
    std::copy(totals.buckets.begin(), totals.buckets.end(), rec + 4);
    const std::size_t at = image.size();
    image.resize(at + HEAD_WORDS + padded_words(ref.bytes.size()));
    std::memcpy(&image[at], rec, sizeof rec);
    if (!ref.bytes.empty())
      std::memcpy(&image[at + HEAD_WORDS], ref.bytes.data(), ref.bytes.size());
  }
  head.record_words = image.size() - sizeof head / 8;
  std::memcpy(image.data(), &head, sizeof head);
  return image;
}

// 0 or an errno. Written beside the archive, then renamed over it: readers see the old archive
// or the new one, never a part. On a full file system the fold is given up and nothing is lost.
int write_archive(int dir_fd, const std::vector<std::uint64_t>& image) {
  // A leftover of a fold that crashed, or anything planted under the name: never written through.
  unlinkat(dir_fd, ARCHIVE_TMP_NAME, 0);
  const int fd =
      openat(dir_fd, ARCHIVE_TMP_NAME, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) return errno;
  const auto* bytes = reinterpret_cast<const unsigned char*>(image.data());
  const std::size_t size = image.size() * 8;
  int err = 0;
  for (std::size_t done = 0; done < size && err == 0;) {
    const ssize_t n = write(fd, bytes + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      err = n < 0 ? errno : EIO;
    } else {
      done += static_cast<std::size_t>(n);
    }
  }
  if (close(fd) != 0 && err == 0) err = errno;
  if (err == 0 && renameat(dir_fd, ARCHIVE_TMP_NAME, dir_fd, ARCHIVE_NAME) != 0) err = errno;
  if (err != 0) unlinkat(dir_fd, ARCHIVE_TMP_NAME, 0);
  return err;
}

// Caller holds the directory's lock. Folds the named files whose owners are dead into the
// archive and deletes them. Each is read again here: since the caller listed it, another
// merger may have folded and deleted it, or a new worker with its pid may have adopted it.
FoldOutcome fold_locked(int dir_fd, const std::vector<std::string>& names, std::uint64_t limit) {
  std::vector<Source> dead;
  bool alive = false;
  for (const std::string& name : names) {
    Source source;
    if (!read_worker_file(dir_fd, name.c_str(), source)) continue;
    if (files::owner_alive(source.pid)) {
      alive = true;
      continue;
    }
    source.name = name;
    dead.push_back(std::move(source));
  }
  if (dead.empty()) return alive ? FoldOutcome::alive : FoldOutcome::absent;
  const Archive archive = read_archive(dir_fd);
  if (archive.state == ArchiveState::unreadable) return FoldOutcome::failed;
  // A file whose incarnation the archive names was folded by a merge that stopped before
  // deleting it: only the delete is left to do.
  std::vector<Source> unfolded;
  for (const Source& source : dead) {
    if (!archive.names(source.incarnation)) unfolded.push_back(source);
  }
  if (!unfolded.empty() && write_archive(dir_fd, build_archive(archive, unfolded, limit)) != 0) {
    return FoldOutcome::failed;
  }
  for (const Source& source : dead) unlinkat(dir_fd, source.name.c_str(), 0);
  return FoldOutcome::folded;
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
//   case, until a later fold deletes it.
Merged merge_directory(const std::string& directory, bool fold_dead, const Source* local) {
  std::vector<Source> sources;
  Archive archive;
  const int dir_fd = directory.find('\0') == std::string::npos
                         ? open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)
                         : -1;
  if (dir_fd >= 0) {
    sources = read_workers(dir_fd);
    std::vector<std::string> dead;
    for (const Source& source : sources) {
      if (!source.alive && dead.size() < MAX_FOLDS_PER_MERGE) dead.push_back(source.name);
    }
    // Busy: another process is folding; the next merge folds what is left.
    if (fold_dead && !dead.empty() && lock_directory(dir_fd, 1)) {
      (void)fold_locked(dir_fd, dead, limit_word().load());
      unlock_directory(dir_fd);
    }
    archive = read_archive(dir_fd);
    close(dir_fd);
  }
  // Workers mostly share their keys: the largest source is the likely count.
  std::size_t expected = archive.records.count;
  for (const Source& source : sources) expected = std::max(expected, source.count);
  Merged merged;
  KeyTable sums(expected);
  if (archive.state == ArchiveState::valid) add_source(sums, archive.records);
  for (const Source& source : sources) {
    if (!archive.names(source.incarnation)) add_source(sums, source);
    if (source.alive) add_gauges(merged, source);
  }
  if (local != nullptr) {
    add_source(sums, *local);
    add_gauges(merged, *local);
  }
  fill_series(merged, sums);
  return merged;
}

}  // namespace

std::uint64_t key_hash(std::uint64_t key, const char* bytes, std::size_t size) {
  const std::size_t m = std::min(method_size(key), size);
  return hash_parts(key, std::string_view(bytes, m), std::string_view(bytes + m, size - m));
}

std::size_t method_class(std::string_view method) {
  for (std::size_t i = 0; i + 1 < METHOD_CLASS_COUNT; ++i) {
    if (method == METHOD_CLASSES[i]) return i;
  }
  return METHOD_CLASS_COUNT - 1;
}

void start(std::string_view method) {
  const std::size_t method_index = method_class(method);
  const auto lock = lock_following_mode();
  const Region& r = SERIES.current();
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

void clear() {
  std::scoped_lock lock(SERIES.mutex);
  ensure_local(SERIES);
  std::array<std::uint64_t, METHOD_CLASS_COUNT> gauges{};
  std::copy(std::begin(SERIES.local.header().in_progress),
            std::end(SERIES.local.header().in_progress), gauges.begin());
  SERIES.local = Region{};
  SERIES.local_words.reset();
  ensure_local(SERIES);
  std::copy(gauges.begin(), gauges.end(), std::begin(SERIES.local.header().in_progress));
  if (SERIES.file.base == nullptr) rebuild_index(SERIES);
}

Merged merged() {
  { const auto lock = lock_following_mode(); }
  const std::optional<std::string> directory = multiproc::dir();
  std::optional<Source> local;
  {
    std::scoped_lock lock(SERIES.mutex);
    // While the mode is on, this process's table joins the sum only when its file could not be
    // had: its series are then nowhere else.
    if (!directory || SERIES.file.base == nullptr) local = read_local(SERIES.local);
  }
  if (directory) return merge_directory(*directory, true, local ? &*local : nullptr);
  Merged merged;
  KeyTable sums(local->count);
  add_source(sums, *local);
  add_gauges(merged, *local);
  fill_series(merged, sums);
  return merged;
}

Merged read_dir(const std::string& directory) { return merge_directory(directory, false, nullptr); }

std::vector<std::uint64_t> live_owners(const std::string& directory) {
  std::vector<std::uint64_t> pids;
  if (directory.find('\0') != std::string::npos) return pids;
  const int dir_fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir_fd < 0) return pids;
  for (const Source& source : read_workers(dir_fd)) {
    if (source.alive) pids.push_back(source.pid & 0xFFFFFFFFu);
  }
  close(dir_fd);
  std::sort(pids.begin(), pids.end());
  pids.erase(std::unique(pids.begin(), pids.end()), pids.end());
  return pids;
}

FoldOutcome fold(const std::string& directory, std::uint64_t pid) {
  if (files::owner_alive(pid)) return FoldOutcome::alive;
  if (directory.find('\0') != std::string::npos) return FoldOutcome::absent;
  const int dir_fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir_fd < 0) return FoldOutcome::absent;
  FoldOutcome outcome = FoldOutcome::busy;
  if (lock_directory(dir_fd, LOCK_TRIES)) {
    outcome = fold_locked(dir_fd, {file_name(pid)}, limit_word().load());
    unlock_directory(dir_fd);
  }
  close(dir_fd);
  return outcome;
}

std::optional<multiproc::OpenFailure> last_failure() {
  const auto lock = lock_following_mode();
  return SERIES.failure;
}

}  // namespace vantorel::series
