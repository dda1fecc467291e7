// Measures the current process from /proc: CPU percent since the previous successful collection,
// resident and virtual memory, threads; and the figures of the standard process families. STATE
// (the previous CPU sample) has its own mutex; call collect() and process_figures() from any
// thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "core/result.h"

namespace vantorel::snapshot {

// Megabytes, in display texts and alert thresholds alike, are units of 2^20 bytes.
inline constexpr double BYTES_PER_MB = 1048576.0;
inline double megabytes(std::uint64_t bytes) { return static_cast<double>(bytes) / BYTES_PER_MB; }

struct Snapshot {
  std::uint32_t pid = 0;
  double cpu_percent = 0.0;
  std::uint64_t memory_rss = 0;      // bytes
  std::uint64_t memory_virtual = 0;  // bytes
  std::uint64_t threads = 0;         // threads other than the main thread
  std::uint64_t timestamp = 0;       // whole Unix seconds
};

// The fields of /proc/<pid>/stat that the snapshot uses.
struct ProcStat {
  char state = '?';  // R, S, D, Z (a zombie: exited, not yet reaped), ...
  std::uint64_t utime_ticks = 0;
  std::uint64_t stime_ticks = 0;
  std::uint64_t num_threads = 0;      // the main thread included
  std::uint64_t starttime_ticks = 0;  // since boot
  std::uint64_t vsize_bytes = 0;
  std::uint64_t rss_pages = 0;
};

// The first two fields of /proc/<pid>/statm.
struct ProcStatm {
  std::uint64_t size_pages = 0;
  std::uint64_t resident_pages = 0;
};

[[nodiscard]] std::optional<ProcStat> parse_stat(std::string_view text);
[[nodiscard]] std::optional<ProcStatm> parse_statm(std::string_view text);
// The boot time, in Unix seconds, from the "btime" line of /proc/stat.
[[nodiscard]] std::optional<std::uint64_t> parse_btime(std::string_view text);

// The standard process families' figures for this process; nullopt where one cannot be read.
struct ProcessFigures {
  std::optional<double> cpu_seconds;  // user and system
  std::optional<std::uint64_t> resident_bytes;
  std::optional<std::uint64_t> virtual_bytes;
  std::optional<double> start_time_seconds;  // Unix seconds
  std::optional<std::uint64_t> open_fds;
  std::optional<std::uint64_t> max_fds;  // the soft limit
};
[[nodiscard]] ProcessFigures process_figures();

// /proc/<pid>/stat of another process (0: this one); nullopt when it cannot be read (gone, or
// hidden from us).
[[nodiscard]] std::optional<ProcStat> read_stat(std::uint32_t pid);
// The standard families' figures of process `pid`, whose stat was just read; the descriptor
// figures only where its /proc entries may be read.
[[nodiscard]] ProcessFigures figures_of(std::uint32_t pid, const ProcStat& stat);
// When a process whose starttime field is `start_ticks` started, in Unix seconds.
[[nodiscard]] std::optional<double> start_time_seconds(std::uint64_t start_ticks);
// CPU time of this process, user and system, in whole microseconds; 0 if it cannot be read.
[[nodiscard]] std::uint64_t own_cpu_us();

// Fails with "clock error: ..." when the wall clock is before 1970, or "process N not found by
// sysinfo" when the process's own /proc entry cannot be read.
[[nodiscard]] Result<Snapshot> collect();

}  // namespace vantorel::snapshot
