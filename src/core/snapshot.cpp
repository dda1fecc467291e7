#include "core/snapshot.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstddef>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <utility>
#include <variant>

#include "core/files.h"
#include "core/texts.h"

namespace vantorel::snapshot {
namespace {

// A monotonic reading as the clock gives it: the CPU percent formula takes the elapsed time apart
// into whole seconds and nanoseconds.
struct Instant {
  std::int64_t sec = 0;
  std::int64_t nsec = 0;
};

// The previous successful collection. Only a successful collection replaces it: a failed one
// (clock or /proc) leaves the measuring interval running from the last good sample.
struct State {
  std::uint64_t last_cpu_time_ms = 0;
  std::optional<Instant> last_sample_at;
};

struct {
  std::mutex mutex;
  State state;
} STATE;

long positive_sysconf(int name, long fallback) {
  const long value = ::sysconf(name);
  return value > 0 ? value : fallback;
}

std::uint64_t ticks_per_second() {
  static const auto TICKS = static_cast<std::uint64_t>(positive_sysconf(_SC_CLK_TCK, 100));
  return TICKS;
}

std::uint64_t page_size() {
  static const auto PAGE = static_cast<std::uint64_t>(positive_sysconf(_SC_PAGESIZE, 4096));
  return PAGE;
}

// ticks * 1000 / hz with integer division, split so that the product cannot overflow.
std::uint64_t ticks_to_ms(std::uint64_t ticks) {
  const std::uint64_t hz = ticks_per_second();
  return ticks / hz * 1000 + ticks % hz * 1000 / hz;
}

// The monotonic clock cannot fail on Linux; should it ever, the errno is returned instead.
Result<Instant> monotonic_now() {
  timespec ts{};
  if (::clock_gettime(CLOCK_MONOTONIC, &ts) != 0) {
    return Failure{std::string(texts::CLOCK_ERROR) + std::generic_category().message(errno)};
  }
  return Instant{ts.tv_sec, ts.tv_nsec};
}

// now - then in milliseconds, zero when the clock seems to have gone backwards.
double elapsed_ms(const Instant& then, const Instant& now) {
  std::int64_t sec = now.sec - then.sec;
  std::int64_t nsec = now.nsec - then.nsec;
  if (nsec < 0) {
    nsec += 1'000'000'000;
    --sec;
  }
  if (sec < 0) return 0.0;
  return (static_cast<double>(sec) + static_cast<double>(nsec) / 1e9) * 1000.0;
}

using files::Fd;

// Reads a small /proc file into `buffer`. A /proc seq file hands over its whole text in the first
// read when the buffer is large enough, so one read() suffices (no second read to see the end). A
// longer text would be cut short harmlessly: the fields used come early in the line.
std::optional<std::string_view> read_proc_file(const char* path, char* buffer, std::size_t size) {
  Fd fd(::open(path, O_RDONLY | O_CLOEXEC));
  if (!fd) return std::nullopt;
  ssize_t n;
  do {
    n = ::read(fd.get(), buffer, size);
  } while (n < 0 && errno == EINTR);
  if (n <= 0) return std::nullopt;
  return std::string_view(buffer, static_cast<std::size_t>(n));
}

// Splits off the next space-separated field of `rest`, which then starts after it.
std::string_view next_field(std::string_view& rest) {
  const auto start = rest.find_first_not_of(" \n");
  if (start == std::string_view::npos) {
    rest = {};
    return {};
  }
  rest.remove_prefix(start);
  const auto end = rest.find_first_of(" \n");
  const std::string_view field = rest.substr(0, end);
  rest.remove_prefix(end == std::string_view::npos ? rest.size() : end);
  return field;
}

std::optional<std::uint64_t> to_u64(std::string_view field) {
  std::uint64_t value = 0;
  const auto [end, ec] = std::from_chars(field.data(), field.data() + field.size(), value);
  if (ec != std::errc{} || end != field.data() + field.size() || field.empty()) {
    return std::nullopt;
  }
  return value;
}

}  // namespace

std::optional<ProcStat> parse_stat(std::string_view text) {
  // The command name sits between the first '(' and the LAST ')': it may itself hold spaces and
  // parentheses, so only the fields after the last ')' are counted.
  const auto open = text.find('(');
  const auto close = text.rfind(')');
  if (open == std::string_view::npos || close == std::string_view::npos || close < open) {
    return std::nullopt;
  }
  std::string_view rest = text.substr(close + 1);
  // Field 3 (state) is the first after the name; utime and stime are fields 14 and 15,
  // num_threads field 20, starttime field 22, vsize and rss fields 23 and 24.
  constexpr int UTIME = 14, STIME = 15, THREADS = 20, START = 22, VSIZE = 23, RSS = 24;
  ProcStat stat;
  for (int number = 3; number <= RSS; ++number) {
    const std::string_view field = next_field(rest);
    if (field.empty()) return std::nullopt;
    if (number == 3) stat.state = field[0];
    std::uint64_t* target = number == UTIME     ? &stat.utime_ticks
                            : number == STIME   ? &stat.stime_ticks
                            : number == THREADS ? &stat.num_threads
                            : number == START   ? &stat.starttime_ticks
                            : number == VSIZE   ? &stat.vsize_bytes
                            : number == RSS     ? &stat.rss_pages
                                                : nullptr;
    if (target == nullptr) continue;
    const auto value = to_u64(field);
    if (!value) return std::nullopt;
    *target = *value;
  }
  return stat;
}

std::optional<ProcStatm> parse_statm(std::string_view text) {
  const auto size = to_u64(next_field(text));
  const auto resident = to_u64(next_field(text));
  if (!size || !resident) return std::nullopt;
  return ProcStatm{*size, *resident};
}

std::optional<std::uint64_t> parse_btime(std::string_view text) {
  while (!text.empty()) {
    const auto end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (!line.starts_with("btime ")) continue;
    line.remove_prefix(6);
    return to_u64(next_field(line));
  }
  return std::nullopt;
}

Result<Snapshot> collect() {
  Snapshot snap;
  snap.pid = static_cast<std::uint32_t>(::getpid());

  // The wall clock is read before the lock: a clock before 1970 must leave STATE alone. (A failing
  // CLOCK_REALTIME, which Linux never reports, is taken as the same clock error.)
  timespec wall{};
  if (::clock_gettime(CLOCK_REALTIME, &wall) != 0 || wall.tv_sec < 0) {
    return Failure{std::string(texts::CLOCK_BEFORE_EPOCH)};
  }
  snap.timestamp = static_cast<std::uint64_t>(wall.tv_sec);

  char pid_buffer[16];
  const auto pid_end = std::to_chars(pid_buffer, pid_buffer + sizeof pid_buffer, snap.pid).ptr;
  const std::string_view pid_text(pid_buffer, static_cast<std::size_t>(pid_end - pid_buffer));

  std::scoped_lock lock(STATE.mutex);
  State& state = STATE.state;

  char stat_buffer[2048];
  const auto stat_text = read_proc_file("/proc/self/stat", stat_buffer, sizeof stat_buffer);
  const auto stat = stat_text ? parse_stat(*stat_text) : std::nullopt;
  if (!stat) {
    return Failure{std::string(texts::PROCESS_NOT_FOUND_BEFORE_PID) + std::string(pid_text) +
                   std::string(texts::PROCESS_NOT_FOUND_AFTER_PID)};
  }

  // One file gives every figure, in 3 system calls; they bound the cost of a snapshot. The kernel
  // computes the memory figures of /proc/<pid>/statm (total_vm and the resident page counters) and
  // the thread count of the /proc/<pid>/task listing (the thread group) from the very counters
  // that fill these fields, so reading statm and listing task too would give the same figures for
  // 7 more system calls.
  snap.memory_rss = stat->rss_pages * page_size();
  snap.memory_virtual = stat->vsize_bytes;
  snap.threads = stat->num_threads > 0 ? stat->num_threads - 1 : 0;  // not the main thread

  // Taken after the files were read, so the interval covers the CPU time just read.
  auto now_or_failure = monotonic_now();
  if (auto* failure = std::get_if<Failure>(&now_or_failure)) return std::move(*failure);
  const Instant now = std::get<Instant>(now_or_failure);

  const std::uint64_t cpu_ms = ticks_to_ms(stat->utime_ticks + stat->stime_ticks);
  if (state.last_sample_at) {
    const double elapsed = elapsed_ms(*state.last_sample_at, now);
    if (elapsed > 0) {
      // CPU time read lower than last time (it should never be) counts as no CPU used.
      const std::uint64_t used_ms =
          cpu_ms > state.last_cpu_time_ms ? cpu_ms - state.last_cpu_time_ms : 0;
      snap.cpu_percent = static_cast<double>(used_ms) / elapsed * 100.0;
    }
  }
  state.last_cpu_time_ms = cpu_ms;
  state.last_sample_at = now;
  return snap;
}

namespace {

// /proc/stat holds a line per CPU and a long "intr" line before "btime": on a large machine it
// runs to tens of kilobytes, so it is read to the end. The boot time is read once per process.
std::optional<std::uint64_t> boot_time() {
  static std::atomic<std::uint64_t> BOOT_TIME{0};  // 0: not read yet
  if (const std::uint64_t known = BOOT_TIME.load(std::memory_order_relaxed); known != 0) {
    return known;
  }
  Fd fd(::open("/proc/stat", O_RDONLY | O_CLOEXEC));
  if (!fd) return std::nullopt;
  std::string text;
  char buffer[8192];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
  }
  const auto btime = parse_btime(text);
  if (btime && *btime != 0) BOOT_TIME.store(*btime, std::memory_order_relaxed);
  return btime;
}

// The entries of /proc/<pid>/fd ("self" for this process), the listing's own descriptor among
// them for this process, as other tools count them (psutil, prometheus_client, node_exporter).
std::optional<std::uint64_t> count_open_fds(const char* fd_dir) {
  DIR* listing = ::opendir(fd_dir);
  if (listing == nullptr) return std::nullopt;
  std::uint64_t count = 0;
  while (const dirent* entry = ::readdir(listing)) {
    const std::string_view name(entry->d_name);
    if (name != "." && name != "..") ++count;
  }
  ::closedir(listing);
  return count;
}

// "/proc/<pid>/<leaf>", or "/proc/self/<leaf>" for pid 0.
std::string proc_path(std::uint32_t pid, std::string_view leaf) {
  std::string path = "/proc/";
  if (pid == 0) {
    path += "self";
  } else {
    char digits[16];
    path.append(digits, std::to_chars(digits, digits + sizeof digits, pid).ptr);
  }
  path += '/';
  path += leaf;
  return path;
}

// The soft limit of the "Max open files" line of /proc/<pid>/limits.
std::optional<std::uint64_t> soft_fd_limit(std::uint32_t pid) {
  char buffer[4096];
  const auto text = read_proc_file(proc_path(pid, "limits").c_str(), buffer, sizeof buffer);
  if (!text) return std::nullopt;
  constexpr std::string_view LINE = "Max open files";
  const auto at = text->find(LINE);
  if (at == std::string_view::npos) return std::nullopt;
  std::string_view rest = text->substr(at + LINE.size());
  return to_u64(next_field(rest));  // "unlimited" is no number: left out
}

}  // namespace

std::optional<double> start_time_seconds(std::uint64_t start_ticks) {
  const auto btime = boot_time();
  if (!btime) return std::nullopt;
  return static_cast<double>(*btime) +
         static_cast<double>(start_ticks) / static_cast<double>(ticks_per_second());
}

std::optional<ProcStat> read_stat(std::uint32_t pid) {
  char buffer[2048];
  const auto text = read_proc_file(proc_path(pid, "stat").c_str(), buffer, sizeof buffer);
  return text ? parse_stat(*text) : std::nullopt;
}

ProcessFigures figures_of(std::uint32_t pid, const ProcStat& stat) {
  ProcessFigures figures;
  figures.cpu_seconds = static_cast<double>(stat.utime_ticks + stat.stime_ticks) /
                        static_cast<double>(ticks_per_second());
  figures.resident_bytes = stat.rss_pages * page_size();
  figures.virtual_bytes = stat.vsize_bytes;
  figures.start_time_seconds = start_time_seconds(stat.starttime_ticks);
  figures.open_fds = count_open_fds(proc_path(pid, "fd").c_str());
  if (pid == 0) {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0) figures.max_fds = limit.rlim_cur;
  } else {
    figures.max_fds = soft_fd_limit(pid);
  }
  return figures;
}

ProcessFigures process_figures() {
  if (const auto stat = read_stat(0)) return figures_of(0, *stat);
  ProcessFigures figures;
  figures.open_fds = count_open_fds("/proc/self/fd");
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0) figures.max_fds = limit.rlim_cur;
  return figures;
}

std::uint64_t own_cpu_us() {
  timespec cpu{};
  if (::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu) != 0 || cpu.tv_sec < 0) return 0;
  return static_cast<std::uint64_t>(cpu.tv_sec) * 1'000'000u +
         static_cast<std::uint64_t>(cpu.tv_nsec) / 1000u;
}

}  // namespace vantorel::snapshot
