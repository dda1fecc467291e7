#include "core/files.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <optional>

namespace vantorel::files {
namespace {

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

}  // namespace

Fd::~Fd() {
  if (fd_ >= 0) ::close(fd_);
}

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

int reserve(int fd, std::size_t size) {
  int err = 0;
  do {
    err = posix_fallocate(fd, 0, static_cast<off_t>(size));
  } while (err == EINTR);
  return err;
}

bool is_process_id(std::uint64_t pid_low32) { return pid_low32 >= 1 && pid_low32 <= 0x7FFFFFFF; }

bool owner_alive(std::uint64_t pid_word) {
  const std::uint64_t pid = pid_word & 0xFFFFFFFFu;
  if (!is_process_id(pid)) return false;
  return kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

Look look_at(const Owner& owner) {
  Look look;
  const std::uint64_t pid = owner.pid_word & 0xFFFFFFFFu;
  if (!owner_alive(pid)) return look;
  look.stat = snapshot::read_stat(static_cast<std::uint32_t>(pid));
  // A zombie has exited: it writes nothing more, whoever is yet to reap it.
  look.alive =
      !look.stat || (look.stat->state != 'Z' &&
                     (owner.start_ticks == 0 || look.stat->starttime_ticks == owner.start_ticks));
  if (!look.alive) look.stat.reset();
  return look;
}

std::uint64_t own_start_ticks() {
  const auto stat = snapshot::read_stat(0);
  return stat ? stat->starttime_ticks : 0;
}

bool lock(int dir_fd, int op, int tries, long pause_ns) {
  for (int attempt = 1;; ++attempt) {
    if (flock(dir_fd, op | LOCK_NB) == 0) return true;
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK || attempt >= tries) return false;
    timespec pause{0, pause_ns};
    nanosleep(&pause, nullptr);
  }
}

void unlock(int dir_fd) { flock(dir_fd, LOCK_UN); }

int replace(int dir_fd, const char* name, const char* tmp_name, const void* data,
            std::size_t size) {
  unlinkat(dir_fd, tmp_name, 0);
  const Fd fd(openat(dir_fd, tmp_name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!fd) return errno;
  struct stat dir {};
  const bool owned = fstat(dir_fd, &dir) == 0 &&
                     (geteuid() != 0 || fchown(fd.get(), dir.st_uid, dir.st_gid) == 0) &&
                     fchmod(fd.get(), dir.st_mode & 0666) == 0;
  int err = owned ? 0 : errno;
  const auto* bytes = static_cast<const unsigned char*>(data);
  for (std::size_t done = 0; done < size && err == 0;) {
    const ssize_t n = write(fd.get(), bytes + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      err = n < 0 ? errno : EIO;
    } else {
      done += static_cast<std::size_t>(n);
    }
  }
  if (err == 0 && renameat(dir_fd, tmp_name, dir_fd, name) != 0) err = errno;
  if (err != 0) unlinkat(dir_fd, tmp_name, 0);
  return err;
}

int open_for_reading(int dir_fd, const char* name) {
  return openat(dir_fd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
}

std::size_t read_at(int fd, void* buffer, std::size_t size, std::uint64_t offset) {
  auto* bytes = static_cast<unsigned char*>(buffer);
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = pread(fd, bytes + done, size - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  return done;
}

}  // namespace vantorel::files
