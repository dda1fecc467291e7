// The file-system steps that the shard and the series files share: creating the directory,
// giving a writer's file real blocks, opening and reading an entry that other processes may
// change or replace at any moment, and the liveness of a file's owner. Stateless; any thread.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "core/snapshot.h"

namespace vantorel::files {

// Owns one file descriptor and closes it; -1 is none.
class Fd {
 public:
  Fd() noexcept = default;
  explicit Fd(int fd) noexcept : fd_(fd) {}
  Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd& operator=(Fd&& other) noexcept {
    std::swap(fd_, other.fd_);
    return *this;
  }
  ~Fd();
  [[nodiscard]] int get() const noexcept { return fd_; }
  explicit operator bool() const noexcept { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// 0 or an errno. Creates the directory and its missing parents, like "mkdir -p". An existing
// directory (or a symlink to one) is no error.
[[nodiscard]] int create_dir_all(const std::string& path);

// 0 or an errno. Gives the first `size` bytes of the file real blocks. ftruncate alone leaves a
// hole, and the first store through a mapping would then need a block that a full file system
// (a full /tmp or /dev/shm) cannot give: the kernel answers that with SIGBUS, which kills the host.
[[nodiscard]] int reserve(int fd, std::size_t size);

// A pid that the kernel can hand out: 1 to 2^31 - 1. Zero and "negative" values would make
// kill() probe a process group (0, -n) or every process (-1) instead of one process.
[[nodiscard]] bool is_process_id(std::uint64_t pid_low32);

// Whether the process whose pid is the low 32 bits of `pid_word` exists. A process that we may
// not signal (EPERM) exists.
[[nodiscard]] bool owner_alive(std::uint64_t pid_word);

// A file's owner as its header names it: the pid word, and when the owner started, in clock
// ticks after boot (0 where it could not tell).
struct Owner {
  std::uint64_t pid_word = 0;
  std::uint64_t start_ticks = 0;
};

// What a look at an owner found: whether it is alive, and its /proc stat where it was read.
// The owner is gone when its pid names no process, a zombie (it has exited; its parent has not
// reaped it yet), or a process that started at another time: the kernel gave the pid to
// someone else. Where the process's start cannot be read (a
// /proc that hides other users' processes), the pid alone decides.
struct Look {
  bool alive = false;
  std::optional<snapshot::ProcStat> stat;
};
[[nodiscard]] Look look_at(const Owner& owner);

// This process's start in clock ticks after boot; 0 where /proc cannot tell.
[[nodiscard]] std::uint64_t own_start_ticks();

// flock() on a directory, without blocking: up to `tries` attempts `pause_ns` apart. `op` is
// LOCK_EX or LOCK_SH.
[[nodiscard]] bool lock(int dir_fd, int op, int tries, long pause_ns);
void unlock(int dir_fd);

// 0 or an errno. Replaces the directory's entry `name` whole: writes `size` bytes to `tmp_name`
// beside it (whatever was there first is removed, never written through), then renames it over
// `name`, so that readers see the old file or the new one, never a part. The new file takes the
// directory's mode (without execute bits) and, when we are root, its owner: whoever writes it (a
// root master, whatever its umask), the directory's users can read and replace it. On failure
// (a full file system, say) nothing is replaced.
[[nodiscard]] int replace(int dir_fd, const char* name, const char* tmp_name, const void* data,
                          std::size_t size);

// Opens the entry `name` of the directory `dir_fd` for reading as a merge does: never through a
// symlink (owners create regular files, and a link could lead to any file on the host), never
// blocking (a FIFO named like a worker's file must not hang the merge in open()). -1 with errno
// set on failure. The caller checks that it is a regular file.
[[nodiscard]] int open_for_reading(int dir_fd, const char* name);

// Reads up to `size` bytes at `offset`, retrying after signals; fewer at the end of the file.
// Readers never map another process's file: its owner or anyone else may cut the file while we
// read, and a read past the end of a mapping is a SIGBUS for the whole host application.
[[nodiscard]] std::size_t read_at(int fd, void* buffer, std::size_t size, std::uint64_t offset);

}  // namespace vantorel::files
