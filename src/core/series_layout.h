// The series files' layout and the keys' rules, shared by the writer, the readers and the fold:
// sizes and names, the key word, the key hash and what makes a slot or an archive record valid.
// Stateless; any thread.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/series.h"
#include "core/utf8.h"

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
  return capacity >= 1 && capacity <= MAX_CAPACITY;
}
[[nodiscard]] inline std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
  std::uint64_t sum = 0;
  return __builtin_add_overflow(a, b, &sum) ? ~std::uint64_t{0} : sum;
}
[[nodiscard]] inline std::size_t padded_words(std::size_t bytes) { return (bytes + 7) / 8; }

// The key word of the HTTP family (0): the status in bits 0-15, the method's length in bytes in
// bits 16-31, the route's in bits 32-47; OVERFLOW_KEY alone is its overflow key. Every other
// family has its number in bits 48-61, and the length of its key's bytes in bits 0-15; a
// sample's key holds its label values (and a histogram's slot number in bits 16-23), the
// overflow flag marks the family's overflow series (no bytes), and the descriptor flag the key
// that describes the family (its bytes: encode_family).
inline constexpr std::uint64_t DESCRIPTOR_FLAG = std::uint64_t{1} << 62;
inline constexpr unsigned FAMILY_SHIFT = 48;
inline constexpr std::uint64_t FAMILY_MASK = 0x3FFF;

[[nodiscard]] inline std::uint64_t family_of(std::uint64_t key) {
  return (key >> FAMILY_SHIFT) & FAMILY_MASK;
}
[[nodiscard]] inline bool is_overflow(std::uint64_t key) { return (key >> 63) != 0; }
[[nodiscard]] inline bool is_descriptor(std::uint64_t key) { return (key & DESCRIPTOR_FLAG) != 0; }
[[nodiscard]] inline std::size_t chunk_of(std::uint64_t key) { return (key >> 16) & 0xFF; }
[[nodiscard]] inline std::uint64_t sample_key(std::uint64_t family, std::size_t chunk,
                                              std::size_t size) {
  return family << FAMILY_SHIFT | std::uint64_t{chunk} << 16 | size;
}
[[nodiscard]] inline std::uint64_t overflow_key(std::uint64_t family, std::size_t chunk) {
  return family == 0 ? OVERFLOW_KEY : std::uint64_t{1} << 63 | sample_key(family, chunk, 0);
}
[[nodiscard]] inline std::uint64_t descriptor_key(std::uint64_t family, std::size_t size) {
  return DESCRIPTOR_FLAG | family << FAMILY_SHIFT | size;
}

[[nodiscard]] inline std::size_t method_size(std::uint64_t key) { return (key >> 16) & 0xFFFFu; }
[[nodiscard]] inline std::size_t route_size(std::uint64_t key) { return (key >> 32) & 0xFFFFu; }
[[nodiscard]] inline std::size_t key_size(std::uint64_t key) {
  if (family_of(key) != 0 || is_descriptor(key)) return key & 0xFFFFu;
  return key == OVERFLOW_KEY ? 0 : method_size(key) + route_size(key);
}
// A key word of one of the layouts above, with lengths within the caps and nothing else.
[[nodiscard]] bool key_in_range(std::uint64_t key);

// The HTTP family's descriptor of its duration bounds (seconds); nullopt for the shard's, which
// a region or an archive without one counts under.
[[nodiscard]] std::optional<std::string> duration_descriptor(const std::vector<double>& bounds);
// What is wrong with these as the HTTP duration buckets' finite upper bounds in seconds (1 to
// BUCKET_COUNT - 1 of them, positive, finite, ascending), or nullopt: the rule for the bounds a
// process sets and for those a file describes.
[[nodiscard]] std::optional<std::string> duration_bounds_problem(const std::vector<double>& bounds);

[[nodiscard]] std::string file_name(std::uint64_t pid);
[[nodiscard]] bool is_file_name(std::string_view name);

// A slot or record read from a file: published, its key in range and whole (the check is its
// hash: a key torn by a racing writer fails it), its texts UTF-8. (Whether another family's
// descriptor and label values make sense is the merge's business: it knows the family.)
[[nodiscard]] bool valid_record(const std::uint64_t* head, const char* bytes);

// The key hash and comparison, inline: the record path runs them for every request.

inline std::uint64_t load8(const char* p) {
  std::uint64_t w;
  std::memcpy(&w, p, 8);
  return w;
}

// 1 to 8 bytes as one word, without reading past them (and without a call into the C library).
inline std::uint64_t load_tail(const char* p, std::size_t n) {
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

inline constexpr std::uint64_t K1 = 0x9E3779B97F4A7C15u, K2 = 0xC2B2AE3D27D4EB4Fu;

// One multiply per word. Each step is a bijection of the word for a given state, so two keys of
// the same lengths that differ in one word never share a hash, and a torn key (one whose bytes a
// reader caught half-written) fails its check unless it differs in several words and collides
// by chance (2^-64).
inline std::uint64_t absorb(std::uint64_t h, const char* p, std::size_t n) {
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
inline std::uint64_t hash_parts(std::uint64_t key, std::string_view method,
                                std::string_view route) {
  std::uint64_t h = (key ^ K2) * K1;
  h = absorb(h, method.data(), method.size());
  h = absorb(h, route.data(), route.size());
  h ^= h >> 32;
  h *= K2;
  h ^= h >> 29;
  return h != 0 ? h : 1;  // 0 means "not yet published"
}

// Equal bytes. Keys are short: up to 16 bytes take two overlapping loads a side, without a call
// into the C library.
inline bool same_bytes(const char* a, const char* b, std::size_t n) {
  if (n > 16) return std::memcmp(a, b, n) == 0;
  if (n >= 8) return load8(a) == load8(b) && load8(a + n - 8) == load8(b + n - 8);
  return n == 0 || load_tail(a, n) == load_tail(b, n);
}

// A key as the record path sees it: the caller's texts, cut to their caps, never copied (only a
// new slot gets a copy).
struct Key {
  std::string_view method, route;
  std::uint64_t word = 0;
  std::uint64_t hash = 0;
};
inline void make_key(std::string_view method, std::string_view route, std::uint16_t status,
                     Key& key) {
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

inline bool same_texts(const char* bytes, const Key& key) {
  const std::size_t m = key.method.size();
  return same_bytes(bytes, key.method.data(), m) &&
         same_bytes(bytes + m, key.route.data(), key.route.size());
}

// A bijective mix of 64 bits (murmur3's finaliser).
[[nodiscard]] std::uint64_t fmix(std::uint64_t x);

// An exemplar's check word: a hash of its five other words, never 0 (0: none stored).
[[nodiscard]] std::uint64_t exemplar_check(const std::uint64_t* words);
// The exemplars of an HTTP slot's bytes (`key_size` of them the key's), as far as their checks
// hold; false when there is no room for them or none is stored.
bool read_exemplars(const char* bytes, std::size_t key_size, Exemplars& out);

}  // namespace vantorel::series::layout
