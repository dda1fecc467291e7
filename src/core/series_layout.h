// The series files' layout and the keys' rules, shared by the writer, the readers and the fold:
// sizes and names, the key word, the key hash and what makes a slot or an archive record valid.
// Stateless; any thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/series.h"

namespace vantorel::series::layout {

inline constexpr std::size_t HEAD_WORDS = SLOT_HEAD_SIZE / 8;
inline constexpr std::size_t SLOT_WORDS = SLOT_SIZE / 8;
inline constexpr std::size_t HEADER_WORDS = HEADER_SIZE / 8;
inline constexpr std::string_view FILE_PREFIX = "vtr-";
inline constexpr std::string_view FILE_SUFFIX = ".series";
inline constexpr const char* ARCHIVE_NAME = "vtr-series.archive";
inline constexpr const char* ARCHIVE_TMP_NAME = "vtr-series.archive.tmp";

// The archive: this header, then records, each the 18 head words of a slot followed by its key
// bytes padded to whole words. It is only ever replaced whole, by rename.
struct ArchiveHeader {
  std::uint64_t magic;         // ARCHIVE_MAGIC
  std::uint64_t slot_size;     // SLOT_SIZE: the records' layout
  std::uint64_t record_words;  // the records' length, in words
  std::uint64_t folded_count;  // entries of `folded` in use, oldest first
  // The end of the earlier layout's head (whose `folded` follows here).
  std::uint64_t folds_total;  // files folded into this archive over its life
  // The last this-many folds are all named by `folded`: a reader that saw folds_total F before
  // it read the workers' files, and F' in the archive after, knows that every file folded in
  // between is named when F' - F <= ring_covers.
  std::uint64_t ring_covers;
  std::uint64_t key_limit;          // the largest key limit of the files folded into it
  std::uint64_t cpu_us;             // CPU time of the workers folded into it
  std::uint64_t earliest_start_us;  // the earliest start among them, Unix µs; 0 unknown
  std::uint64_t reserved[7];
  std::uint64_t folded[FOLDED_RING_SIZE];  // incarnations of the last files folded
};
// The earlier layout's head: the first four words, four zero words, then its ring.
inline constexpr std::size_t ARCHIVE_HEADER_SIZE_V1 = (8 + FOLDED_RING_SIZE) * 8;

inline std::atomic_ref<std::uint64_t> word(std::uint64_t& w) {
  return std::atomic_ref<std::uint64_t>(w);
}

[[nodiscard]] std::uint64_t own_pid();

// The bytes of a region of `capacity` slots behind a header of `header_size` bytes.
[[nodiscard]] inline std::size_t region_bytes(std::uint64_t capacity,
                                              std::size_t header_size = HEADER_SIZE) {
  return header_size + capacity * SLOT_SIZE;
}
[[nodiscard]] inline bool capacity_sane(std::uint64_t capacity) {
  return capacity >= 1 && capacity <= MAX_LIMIT + 1;
}
[[nodiscard]] inline std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
  std::uint64_t sum = 0;
  return __builtin_add_overflow(a, b, &sum) ? ~std::uint64_t{0} : sum;
}
[[nodiscard]] inline std::size_t padded_words(std::size_t bytes) { return (bytes + 7) / 8; }

[[nodiscard]] inline std::size_t method_size(std::uint64_t key) { return (key >> 16) & 0xFFFFu; }
[[nodiscard]] inline std::size_t route_size(std::uint64_t key) { return (key >> 32) & 0xFFFFu; }
[[nodiscard]] inline std::size_t key_size(std::uint64_t key) {
  return key == OVERFLOW_KEY ? 0 : method_size(key) + route_size(key);
}
// The overflow key, or a status with lengths within the caps and nothing else.
[[nodiscard]] bool key_in_range(std::uint64_t key);

[[nodiscard]] std::string file_name(std::uint64_t pid);
[[nodiscard]] bool is_file_name(std::string_view name);

// A slot or record read from a file: published, its key in range and whole (the check is its
// hash: a key torn by a racing writer fails it), its texts UTF-8.
[[nodiscard]] bool valid_record(const std::uint64_t* head, const char* bytes);

// A key as the record path sees it: the caller's texts, cut to their caps, never copied (only a
// new slot gets a copy).
struct Key {
  std::string_view method, route;
  std::uint64_t word = 0;
  std::uint64_t hash = 0;
};
void make_key(std::string_view method, std::string_view route, std::uint16_t status, Key& key);
[[nodiscard]] bool same_texts(const char* bytes, const Key& key);

// A bijective mix of 64 bits (murmur3's finaliser).
[[nodiscard]] std::uint64_t fmix(std::uint64_t x);

}  // namespace vantorel::series::layout
