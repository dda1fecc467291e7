// Per-route series: counts, sums of durations and the shard histogram's buckets, keyed by
// (method, route, status), beside the request store. SERIES (the writer) has its own mutex; call
// any of these from any thread.
//
// The table lives in a region: process memory while multi-worker mode is off, the worker's file
// "vtr-<pid>.series" in the shard directory while it is on. The writer follows multiproc's mode
// by its generation, and a process forked after it opened its file writes a file of its own. A
// merge, in any process, sums the workers' files and the archive "vtr-series.archive", into which
// the first merge that finds a worker dead folds its series.
//
// A region is native-endian u64 words: a Header of HEADER_SIZE bytes, then `capacity` Slots of
// SLOT_SIZE bytes. Slot 0 is the overflow key. Slots are claimed in order and never reused; a
// slot is published by storing its `check` (a hash of its key) last, with release order, so a
// reader that recomputes the hash never takes a torn key for a real one. One process writes a
// file; others read it with pread only.
//
// The writer's files are split by step: series_layout (the format and the keys),
// series_writer.cpp (recording, a worker's own file), series_reader (reading files and the
// archive), series_fold (the archive and the fold of dead workers) and series_merge.cpp.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/multiproc.h"
#include "core/series_family.h"
#include "core/snapshot.h"

namespace vantorel::series {

inline constexpr std::size_t BUCKET_COUNT = multiproc::BUCKET_COUNT;
inline constexpr std::size_t METHOD_CLASS_COUNT = 10;
// The standard methods, then OTHER: the in-progress gauges' classes, and the series' method
// labels (any other method counts as OTHER unless set_extra_methods names it).
inline constexpr std::array<std::string_view, METHOD_CLASS_COUNT> METHOD_CLASSES{
    "GET", "HEAD", "POST", "PUT", "DELETE", "CONNECT", "OPTIONS", "TRACE", "PATCH", "OTHER"};
inline constexpr std::size_t MAX_EXTRA_METHODS = 64;

// Keys are cut to these many code points (UTF-8 takes at most 4 bytes for each).
inline constexpr std::size_t MAX_METHOD_CODE_POINTS = 32;
inline constexpr std::size_t MAX_ROUTE_CODE_POINTS = 256;
inline constexpr std::size_t MAX_METHOD_BYTES = 4 * MAX_METHOD_CODE_POINTS;
inline constexpr std::size_t MAX_ROUTE_BYTES = 4 * MAX_ROUTE_CODE_POINTS;
inline constexpr std::size_t KEY_BYTES = MAX_METHOD_BYTES + MAX_ROUTE_BYTES;

// Durations from this many milliseconds on (31 years) count in the overflow bucket and add
// nothing to the sum: one absurd value must not wrap it.
inline constexpr double ABSURD_DURATION_MS = 1e12;

inline constexpr std::uint64_t DEFAULT_LIMIT = 1000;
// A worker's file holds limit + 1 slots of SLOT_SIZE bytes for the HTTP family, and grows by
// doubling as the application's own families need slots, up to MAX_CAPACITY (some 1.3 GB).
inline constexpr std::uint64_t MAX_LIMIT = 100000;
inline constexpr std::uint64_t MAX_CAPACITY = std::uint64_t{1} << 20;
// The archive keeps this many times the limit in distinct keys, plus the overflow key.
inline constexpr std::uint64_t ARCHIVE_KEYS_PER_LIMIT = 4;
// The incarnations of the last folded files, kept in the archive.
inline constexpr std::size_t FOLDED_RING_SIZE = 256;

// The bytes "VTRSER02" and "VTRSAR02" in a little-endian file. Files and archives of the
// earlier layout ("VTRSER01", "VTRSAR01": shorter headers, the same slots and records) are
// still read and folded; only this layout is written.
inline constexpr std::uint64_t FILE_MAGIC = 0x3230524553525456;
inline constexpr std::uint64_t FILE_MAGIC_V1 = 0x3130524553525456;
inline constexpr std::uint64_t ARCHIVE_MAGIC = 0x3230524153525456;
inline constexpr std::uint64_t ARCHIVE_MAGIC_V1 = 0x3130524153525456;

inline constexpr std::size_t HEADER_SIZE = 256;
inline constexpr std::size_t HEADER_SIZE_V1 = 128;
inline constexpr std::size_t SLOT_HEAD_SIZE = 144;
inline constexpr std::size_t SLOT_SIZE = SLOT_HEAD_SIZE + KEY_BYTES;

struct Header {
  std::uint64_t magic;        // FILE_MAGIC, stored last when the region is initialised
  std::uint64_t pid;          // owner, zero-extended from 32 bits
  std::uint64_t incarnation;  // random, non-zero: names this initialisation of the file
  std::uint64_t capacity;     // slots in the region
  std::uint64_t slot_size;    // SLOT_SIZE
  std::uint64_t claimed;      // slots claimed so far; may run past capacity
  std::uint64_t in_progress[METHOD_CLASS_COUNT];  // i64 gauges, two's complement
  // The end of the earlier layout's header. With the pid, the owner's start (clock ticks after
  // boot, field 22 of /proc/<pid>/stat) tells the owner from a later process that was given
  // its pid; 0 where the owner could not read it, and then the pid alone decides.
  std::uint64_t start_ticks;
  std::uint64_t started_at_us;  // the owner's start, Unix microseconds; 0 where unknown
  std::uint64_t cpu_us;         // the owner's CPU time (user + system) as it last published it
  std::uint64_t limit;          // the HTTP family's key limit when the file was made
  std::uint64_t reserved[12];
};

// The HTTP family's overflow key (the key words: series_layout.h).
inline constexpr std::uint64_t OVERFLOW_KEY = std::uint64_t{1} << 63;

// Value words of the HTTP family's slots: the count, the sum of durations in whole
// microseconds (wrapping modulo 2^64), then the buckets. (Other families: series_family.h.)
inline constexpr std::size_t HTTP_COUNT = 0, HTTP_SUM_US = 1, HTTP_BUCKETS = 2;

struct Slot {
  std::uint64_t check;  // key_hash(key, bytes) once published; 0 before
  std::uint64_t key;
  std::uint64_t values[2 + BUCKET_COUNT];
  char bytes[KEY_BYTES];  // the HTTP family's method, then its route; another's label values
};

// One request's trace, kept beside a bucket's count (and the request counter's): OpenMetrics
// exemplars. A slot of the HTTP family whose key takes at most EXEMPLAR_AT bytes keeps one per
// bucket and one for its count, in the last EXEMPLAR_AREA bytes of its key bytes, each a check
// word (a hash of the other five, stored last) then the trace id, the span id, the value's bits
// and the time. Readers take only those whose check matches: a torn one is no exemplar.
struct Exemplar {
  std::uint64_t trace_hi = 0, trace_lo = 0, span = 0;
  double value = 0;
  std::uint64_t time_us = 0;  // Unix µs; 0: none
};
inline constexpr std::size_t EXEMPLARS = BUCKET_COUNT + 1;  // each bucket's, then the count's
inline constexpr std::size_t EXEMPLAR_WORDS = 6;
inline constexpr std::size_t EXEMPLAR_AREA = EXEMPLARS * EXEMPLAR_WORDS * 8;
inline constexpr std::size_t EXEMPLAR_AT = KEY_BYTES - EXEMPLAR_AREA;
using Exemplars = std::array<Exemplar, EXEMPLARS>;

// The series of one key, merged.
struct Series {
  std::string method, route;
  std::uint16_t status = 0;
  bool overflow = false;  // the overflow key (exposed as method OTHER, route <overflow>)
  std::uint64_t count = 0;
  std::uint64_t sum_us = 0;  // saturating
  std::array<std::uint64_t, BUCKET_COUNT> buckets{};
  Exemplars exemplars{};  // the most recent of the live workers'
};

// One series of one of the application's families, merged.
struct Sample {
  std::vector<std::string> labels;  // in the family's order; empty for its overflow series
  std::uint64_t pid = 0;            // a gauge shown per worker: the worker's
  bool overflow = false;
  double value = 0;                    // counter, gauge; histogram, summary: the sum
  std::uint64_t count = 0;             // histogram, summary
  std::vector<std::uint64_t> buckets;  // histogram: per bucket, +Inf's last
  std::uint64_t changed_us = 0;        // a gauge: when it last changed, Unix µs
};

struct FamilySamples {
  Family family;
  std::vector<Sample> samples;  // in a fixed order, the overflow series last
};

struct Merged {
  std::vector<Series> series;  // sorted by method, route, then status (the overflow key's last)
  // The finite upper bounds of the series' buckets, in seconds: the layout the merge kept
  // (Series::buckets holds one more bucket than bounds, the rest zero).
  std::vector<double> duration_bounds;
  std::vector<FamilySamples> families;  // the application's, by name
  // Names under which a file described another layout than the one kept: left out there.
  std::vector<std::string> refused;
  std::array<std::int64_t, METHOD_CLASS_COUNT> in_progress{};
  std::uint64_t overflow = 0;  // requests counted under the overflow key
  // Multi-worker mode only: the deployment's process figures. CPU time of every worker, dead
  // ones' included, as each last published it (so it never goes back); memory and descriptors
  // summed over the live workers whose /proc entries could be read; the earliest start.
  std::optional<snapshot::ProcessFigures> deployment;
};

enum class FoldOutcome {
  folded,  // the worker's series are in the archive and its file is gone
  absent,  // no valid series file of that worker
  alive,   // its owner is alive: refused
  busy,    // another process holds the directory's lock: the next merge folds it
  failed,  // the archive could not be written (a full file system, say): nothing was lost
};

[[nodiscard]] std::uint64_t key_hash(std::uint64_t key, const char* bytes, std::size_t size);
[[nodiscard]] std::size_t method_class(std::string_view method);

// `method` and `route` must be UTF-8; they are cut to their caps at a code point boundary.
void start(std::string_view method);  // a request began: its in-progress gauge goes up
void observe(std::string_view method, std::string_view route, std::uint16_t status,
             double duration_ms);
// observe(), and the in-progress gauge of `method` goes down: the request has ended.
void finish(std::string_view method, std::string_view route, std::uint16_t status,
            double duration_ms);
// finish(), keeping the request's trace as the exemplar of its bucket and of its count.
void finish_traced(std::string_view method, std::string_view route, std::uint16_t status,
                   double duration_ms, std::uint64_t trace_hi, std::uint64_t trace_lo,
                   std::uint64_t span);

// The duration histogram's finite upper bounds, in seconds (its le labels): the shard's
// (BUCKET_BOUNDS_MS) unless set. set_duration_bounds takes 1 to BUCKET_COUNT - 1 of them,
// positive, finite and ascending, while this process has counted no request in the series; the
// error otherwise. The workers of
// a directory must agree: a merge, like a fold, keeps the first layout it meets and leaves out
// the series of a file that describes another (Merged::refused names DURATION_FAMILY).
inline constexpr std::string_view DURATION_FAMILY = "vtr_http_request_duration_seconds";
[[nodiscard]] std::optional<std::string> set_duration_bounds(const std::vector<double>& bounds);
[[nodiscard]] std::vector<double> duration_bounds();
[[nodiscard]] const std::vector<double>& shard_duration_bounds();

// When on, the series count by status class: statuses 100-599 are kept as 1 to 5 and shown as
// "1xx" to "5xx" (others as they are). Process-wide; the ring keeps the exact status.
void set_status_classes(bool on);

// The number of distinct keys past which new keys count under the overflow key. The first use
// in a process may read VTR_SERIES_LIMIT; set_limit clamps to MAX_LIMIT.
void set_limit(std::uint64_t limit);
[[nodiscard]] std::uint64_t limit();

// Methods besides the standard ones that keep their own label (at most MAX_EXTRA_METHODS, each
// within the method cap); any other method is labelled OTHER. Replaces the earlier list.
void set_extra_methods(std::vector<std::string> methods);
[[nodiscard]] std::vector<std::string> extra_methods();

// A series of one of the application's own families, as its caller keeps it: the family's
// number, its label values (encode_labels), and the slots that hold it as last looked up.
struct Handle {
  std::uint32_t family = 0;
  std::string labels;
  std::uint64_t epoch = 0;
  std::array<std::uint64_t, MAX_CHUNKS> slots{};
};

// The number of a new family of the application's (from 1), or of the one this process already
// defined with that name and layout; why not otherwise.
[[nodiscard]] std::variant<std::uint32_t, std::string> define_family(Family family);
// The family numbered `number` in this process.
[[nodiscard]] std::optional<Family> family(std::uint32_t number);
void add(Handle& handle, double amount);     // a counter's or a gauge's value
void set(Handle& handle, double value);      // a gauge's
void observe(Handle& handle, double value);  // a histogram's or a summary's
// Removes one series of a family (`labels` given) or all of them (nullopt), in every worker's
// eyes: a merge leaves it out until it changes again, and then shows only what changed since.
// False when it could not be done (the directory's list could not be written).
bool remove(std::uint32_t number, const std::optional<std::vector<std::string>>& labels);
// The values of one series of this process (counter, gauge: the value; summary: count, sum;
// histogram: sum, then the per-bucket counts), for the package's own checks and tests.
[[nodiscard]] std::vector<double> values(Handle& handle);

// Empties the process-memory table (its in-progress gauges stay); never touches a file.
void clear();

// The series the exposition shows: this process's table while the mode is off; else the merge
// of the directory, which folds dead workers' files (plus this process's table while its own
// file could not be had, or waits for the directory's lock).
// `exemplars`: with the HTTP series' exemplars (only OpenMetrics shows them; reading them costs).
[[nodiscard]] Merged merged(bool exemplars = false);
// The refused names (Merged::refused) of this process's latest merged(): what a scrape that it
// answered left out. Empty before the first.
[[nodiscard]] std::vector<std::string> last_refused();
// The same merge of `directory`, read only: no fold, no delete.
[[nodiscard]] Merged read_dir(const std::string& directory);
// The pids of the live owners of the worker files in `directory`, sorted; read only.
[[nodiscard]] std::vector<std::uint64_t> live_owners(const std::string& directory);
// Folds the dead worker `pid`'s file in `directory` into the archive now.
[[nodiscard]] FoldOutcome fold(const std::string& directory, std::uint64_t pid);

// Why the series are in process memory while the mode is on: the step that failed to set up
// this worker's file, its errno and the directory; nullopt otherwise (and while the file only
// waits for the directory's lock).
[[nodiscard]] std::optional<multiproc::OpenFailure> last_failure();

}  // namespace vantorel::series
