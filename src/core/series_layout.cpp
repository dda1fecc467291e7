#include "core/series_layout.h"

#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cmath>

#include "core/series_family.h"
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
static_assert(offsetof(Header, start_ticks) == HEADER_SIZE_V1);
static_assert(offsetof(Header, started_at_us) == HEADER_SIZE_V1 + 8);
static_assert(offsetof(Header, cpu_us) == HEADER_SIZE_V1 + 16);
static_assert(offsetof(Header, limit) == HEADER_SIZE_V1 + 24);
static_assert(sizeof(Slot) == SLOT_SIZE && SLOT_SIZE % 8 == 0);
static_assert(offsetof(Slot, check) == 0);
static_assert(offsetof(Slot, key) == 8);
static_assert(offsetof(Slot, values) == 16 && sizeof(Slot::values) == std::size_t{16} * 8);
static_assert(offsetof(Slot, bytes) == SLOT_HEAD_SIZE);
static_assert(offsetof(layout::ArchiveHeader, folds_total) == 32);
static_assert(offsetof(layout::ArchiveHeader, folded) == 128);
static_assert(sizeof(layout::ArchiveHeader) % 8 == 0);
// Other processes map the same words: an atomic that fell back to a process-local lock would
// protect nothing.
static_assert(std::atomic_ref<std::uint64_t>::is_always_lock_free);
static_assert(std::atomic_ref<std::uint64_t>::required_alignment <= alignof(Slot));

namespace layout {

std::uint64_t own_pid() { return static_cast<std::uint32_t>(getpid()); }

bool key_in_range(std::uint64_t key) {
  if (key == OVERFLOW_KEY) return true;
  const std::uint64_t family = family_of(key);
  if (family == 0 && !is_descriptor(key)) {
    return (key >> 48) == 0 && method_size(key) <= MAX_METHOD_BYTES &&
           route_size(key) <= MAX_ROUTE_BYTES;
  }
  if (is_descriptor(key)) {
    return !is_overflow(key) && (key & 0x0000FFFFFFFF0000u) == 0 && key_size(key) <= KEY_BYTES;
  }
  const bool no_bytes = !is_overflow(key) || key_size(key) == 0;
  return no_bytes && (key & 0x0000FFFFFF000000u) == 0 && chunk_of(key) < MAX_CHUNKS &&
         key_size(key) <= KEY_BYTES;
}

std::optional<std::string> duration_descriptor(const std::vector<double>& bounds) {
  if (bounds == shard_duration_bounds()) return std::nullopt;
  Family family;
  family.name = DURATION_FAMILY;
  family.kind = Kind::histogram;
  family.bounds = bounds;
  return encode_family(family);
}

std::optional<std::string> duration_bounds_problem(const std::vector<double>& bounds) {
  if (bounds.empty() || bounds.size() > BUCKET_COUNT - 1) {
    return "there must be 1 to " + std::to_string(BUCKET_COUNT - 1) + " bounds";
  }
  for (std::size_t i = 0; i < bounds.size(); ++i) {
    if (!std::isfinite(bounds[i]) || !(bounds[i] > (i > 0 ? bounds[i - 1] : 0.0))) {
      return std::string("the bounds must be positive, finite and ascending");
    }
  }
  return std::nullopt;
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

bool valid_record(const std::uint64_t* head, const char* bytes) {
  const std::uint64_t check = head[0], key = head[1];
  if (check == 0 || !key_in_range(key)) return false;
  if (key_hash(key, bytes, key_size(key)) != check) return false;
  if (key == OVERFLOW_KEY) return true;
  if (family_of(key) != 0 || is_descriptor(key)) return true;
  const std::size_t m = method_size(key);
  return utf8::valid({bytes, m}) && utf8::valid({bytes + m, route_size(key)});
}

std::uint64_t fmix(std::uint64_t x) {
  x ^= x >> 33;
  x *= 0xFF51AFD7ED558CCDu;
  x ^= x >> 33;
  x *= 0xC4CEB9FE1A85EC53u;
  x ^= x >> 33;
  return x;
}

std::uint64_t exemplar_check(const std::uint64_t* words) {
  std::uint64_t h = 0x6A09E667F3BCC908u;
  for (std::size_t i = 0; i < EXEMPLAR_WORDS - 1; ++i) h = fmix(h ^ words[i]);
  return h != 0 ? h : 1;
}

bool read_exemplars(const char* bytes, std::size_t key_size, Exemplars& out) {
  if (key_size > EXEMPLAR_AT) return false;
  bool any = false;
  for (std::size_t i = 0; i < EXEMPLARS; ++i) {
    std::uint64_t words[EXEMPLAR_WORDS];
    std::memcpy(words, bytes + EXEMPLAR_AT + i * EXEMPLAR_WORDS * 8, sizeof words);
    if (words[0] == 0 || words[0] != exemplar_check(words + 1)) continue;
    out[i] = Exemplar{words[1], words[2], words[3], 0.0, words[5]};
    std::memcpy(&out[i].value, &words[4], 8);
    any = true;
  }
  return any;
}

}  // namespace layout

std::uint64_t key_hash(std::uint64_t key, const char* bytes, std::size_t size) {
  // Another family's key bytes are one text; the HTTP family's, its method and its route.
  const std::size_t m =
      layout::family_of(key) != 0 ? size : std::min(layout::method_size(key), size);
  return layout::hash_parts(key, std::string_view(bytes, m), std::string_view(bytes + m, size - m));
}

std::size_t method_class(std::string_view method) {
  for (std::size_t i = 0; i + 1 < METHOD_CLASS_COUNT; ++i) {
    if (method == METHOD_CLASSES[i]) return i;
  }
  return METHOD_CLASS_COUNT - 1;
}

}  // namespace vantorel::series
