#include "core/series_own_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <utility>

#include "core/series_fold.h"
#include "core/series_layout.h"
#include "core/series_reader.h"

namespace vantorel::series::writer {
namespace {

using namespace layout;

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

Opened failed(const char* step, int error) {
  Opened opened;
  opened.step = step;
  opened.error = error;
  return opened;
}

Opened map_file(files::Fd fd, std::uint64_t capacity) {
  const std::size_t size = region_bytes(capacity);
  if (const int err = files::reserve(fd.get(), size); err != 0) return failed("reserve space", err);
  void* addr = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0);
  if (addr == MAP_FAILED) return failed("mmap", errno);
  Opened opened;
  opened.region = Region{static_cast<std::byte*>(addr), capacity, true};
  opened.fd = std::move(fd);
  return opened;
}

// A new file under our name: nobody else can know it yet, so no lock is needed.
Opened create_file(int dir_fd, const std::string& name, std::uint64_t limit, const Identity& me) {
  // A symlink planted under our name must not make us write some other file.
  files::Fd fd(openat(dir_fd, name.c_str(),
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
                      : map_file(std::move(fd), capacity);
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
Opened take_name_locked(int dir_fd, files::Fd fd, const std::string& name, std::uint64_t limit,
                        const Identity& me) {
  struct stat st {};
  Header head{};
  const bool whole = fstat(fd.get(), &st) == 0 &&
                     files::read_at(fd.get(), &head, HEADER_SIZE, 0) == HEADER_SIZE &&
                     whole_file(head, st);
  reader::Source source;
  if (reader::read_worker_file(dir_fd, name.c_str(), source, false)) {
    const FoldOutcome outcome = fold_step::fold_locked(dir_fd, {name}, limit);
    // Alive under our own pid: a file whose owner's start is unknown cannot be told from ours;
    // and a fold that cannot write the archive must not lose the file. Either way its counts go
    // on here, as they did before starts were known.
    if ((outcome == FoldOutcome::alive || outcome == FoldOutcome::failed) && whole) {
      return map_file(std::move(fd), head.capacity);
    }
  }
  if (unlinkat(dir_fd, name.c_str(), 0) != 0 && errno != ENOENT) return failed("open", errno);
  Opened again = create_file(dir_fd, name, limit, me);
  if (again.exists) return failed("open", EEXIST);
  return again;
}

// This process's file in the directory: a new one, or its own from an earlier switch, or the
// name taken over under the directory's lock (busy when a fold holds it: we never wait for it,
// with the interpreter's lock held, behind a fold of many files).
Opened open_in(int dir_fd, std::uint64_t limit, const Identity& me) {
  const std::string name = file_name(me.pid);
  Opened created = create_file(dir_fd, name, limit, me);
  if (!created.exists) return created;
  files::Fd fd(openat(dir_fd, name.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  if (!fd) return failed("open", errno);
  struct stat st {};
  if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return failed("not a regular file", 0);
  Header head{};
  // Ours from an earlier switch of this process: no fold touches the file of a live owner.
  if (me.start_ticks != 0 && files::read_at(fd.get(), &head, HEADER_SIZE, 0) == HEADER_SIZE &&
      whole_file(head, st) && head.pid == me.pid && head.start_ticks == me.start_ticks &&
      !reader::read_archive(dir_fd, false).names(head.incarnation)) {
    return map_file(std::move(fd), head.capacity);
  }
  if (!files::lock(dir_fd, LOCK_EX, 1, 0)) {
    Opened busy;
    busy.busy = true;
    return busy;
  }
  Opened taken = take_name_locked(dir_fd, std::move(fd), name, limit, me);
  files::unlock(dir_fd);
  return taken;
}

}  // namespace

void init_region(const Region& r, const Identity& me) {
  Header& h = r.header();
  r.store(h.pid, me.pid);
  r.store(h.incarnation, new_incarnation());
  r.store(h.capacity, r.capacity);
  r.store(h.slot_size, SLOT_SIZE);
  r.store(h.claimed, 1);  // slot 0: the HTTP family's overflow key
  for (std::uint64_t& gauge : h.in_progress) r.store(gauge, 0);
  r.store(h.start_ticks, me.start_ticks);
  r.store(h.started_at_us, me.started_at_us);
  r.store(h.cpu_us, r.mapped ? snapshot::own_cpu_us() : 0);
  r.store(h.limit, limit_now());
  Slot& overflow = r.slot(0);
  r.store(overflow.key, OVERFLOW_KEY);
  r.publish(overflow, key_hash(OVERFLOW_KEY, nullptr, 0));
  if (r.mapped) {
    word(h.magic).store(FILE_MAGIC, std::memory_order_release);
  } else {
    h.magic = FILE_MAGIC;
  }
}

Opened open_file(const std::string& directory, std::uint64_t limit) {
  // The OS would silently cut the path at the first NUL and write somewhere else.
  if (directory.find('\0') != std::string::npos) return failed("invalid directory", 0);
  if (const int err = files::create_dir_all(directory); err != 0) return failed("mkdir", err);
  const files::Fd dir_fd(open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir_fd) return failed("open directory", errno);
  return open_in(dir_fd.get(), limit, own_identity());
}

}  // namespace vantorel::series::writer
