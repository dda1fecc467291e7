// The application's own families in the store, beside the built-in HTTP family: what a family
// is (its descriptor, kept in every file that holds its samples), how label values are laid
// out in a key, where a histogram's buckets lie in its slots, and how the values of one series
// from several workers combine. Stateless; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vantorel::series {

enum class Kind : std::uint8_t { counter = 1, gauge = 2, histogram = 3, summary = 4 };

// How a gauge's values from several workers combine. The live ones never show a dead worker's
// value; sum, max, min and mostrecent keep a dead worker's last value through its fold. all and
// liveall show one series per live worker (label pid): a dead worker's leave with its file, so
// that the page never grows with the workers that have come and gone.
enum class GaugeMode : std::uint8_t {
  all,
  liveall,
  livesum,
  sum,
  max,
  livemax,
  min,
  livemin,
  mostrecent,
  livemostrecent,
};

inline constexpr std::string_view GAUGE_MODE_NAMES[] = {
    "all",     "liveall", "livesum", "sum",        "max",
    "livemax", "min",     "livemin", "mostrecent", "livemostrecent"};

[[nodiscard]] std::optional<GaugeMode> gauge_mode(std::string_view name);
[[nodiscard]] bool is_live(GaugeMode mode);
[[nodiscard]] bool per_worker(GaugeMode mode);  // all, liveall

inline constexpr std::uint64_t DEFAULT_FAMILY_LIMIT = 1000;
inline constexpr std::size_t MAX_FAMILIES = 16383;
inline constexpr std::size_t MAX_LABELS = 64;
// A histogram's buckets, +Inf's included: its first slot holds the sum, the time of the last
// change and FIRST_CHUNK_BUCKETS buckets; each further slot CHUNK_BUCKETS more.
inline constexpr std::size_t FIRST_CHUNK_BUCKETS = 14;
inline constexpr std::size_t CHUNK_BUCKETS = 16;
inline constexpr std::size_t MAX_CHUNKS = 16;
inline constexpr std::size_t MAX_BUCKETS = FIRST_CHUNK_BUCKETS + (MAX_CHUNKS - 1) * CHUNK_BUCKETS;

struct Family {
  std::string name;  // as exposed; a counter's without "_total"
  Kind kind = Kind::counter;
  GaugeMode mode = GaugeMode::livesum;
  std::string help;
  std::vector<std::string> labels;
  std::vector<double> bounds;  // a histogram's finite upper bounds, ascending (+Inf implied)
  std::uint64_t limit = DEFAULT_FAMILY_LIMIT;

  // Same name, kind, mode, labels and bounds: the samples of both may be summed. (Help texts
  // and limits may differ between workers.)
  [[nodiscard]] bool same_layout(const Family& other) const;
  [[nodiscard]] std::size_t buckets() const { return bounds.size() + 1; }
  [[nodiscard]] std::size_t chunks() const;
};

// The descriptor's bytes, as a key holds them (help cut to fit); nullopt when even the rest
// does not fit in a key.
[[nodiscard]] std::optional<std::string> encode_family(const Family& family);
[[nodiscard]] std::optional<Family> decode_family(std::string_view bytes);

// Label values as a key holds them: each value's length in two bytes, then its UTF-8. nullopt
// when they do not fit in a key.
[[nodiscard]] std::optional<std::string> encode_labels(std::span<const std::string_view> values);
// The values of encoded labels; nullopt unless `count` values fill the bytes exactly.
[[nodiscard]] std::optional<std::vector<std::string_view>> decode_labels(std::string_view bytes,
                                                                         std::size_t count);

// Where bucket `b` of a histogram lies: its slot (chunk) and the value word in it.
struct BucketPlace {
  std::size_t chunk;
  std::size_t word;
};
[[nodiscard]] BucketPlace bucket_place(std::size_t bucket);

// The value words of one slot of a family's series. Word layouts, by kind:
// counter, gauge: value (a double's bits), time of the last change (Unix µs);
// summary: count, sum (a double's bits), time of the last change;
// histogram, first slot: sum (a double's bits), time of the last change, buckets; further
// slots: buckets.
inline constexpr std::size_t VALUE_WORDS = 16;
inline constexpr std::size_t VALUE = 0, CHANGED = 1;  // counter, gauge; histogram: sum, changed
inline constexpr std::size_t SUMMARY_COUNT = 0, SUMMARY_SUM = 1, SUMMARY_CHANGED = 2;

[[nodiscard]] double as_double(std::uint64_t bits);
[[nodiscard]] std::uint64_t as_bits(double value);

// Combines one source's value words of a series (`from`) into what was gathered (`into`), by
// the family's kind and mode: counters, histograms, summaries and summed gauges add; max, min
// and mostrecent gauges take theirs. `first`: nothing was gathered yet.
void combine(const Family& family, std::size_t chunk, std::uint64_t* into,
             const std::uint64_t* from, bool first);

}  // namespace vantorel::series
