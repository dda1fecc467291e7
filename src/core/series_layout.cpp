#include "core/series_layout.h"

#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstring>

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
static_assert(sizeof(Slot) == SLOT_SIZE && SLOT_SIZE % 8 == 0);
static_assert(offsetof(Slot, check) == 0);
static_assert(offsetof(Slot, key) == 8);
static_assert(offsetof(Slot, count) == 16);
static_assert(offsetof(Slot, sum_us) == 24);
static_assert(offsetof(Slot, buckets) == 32);
static_assert(offsetof(Slot, bytes) == SLOT_HEAD_SIZE);
static_assert(offsetof(layout::ArchiveHeader, folds_total) == 32);
static_assert(offsetof(layout::ArchiveHeader, folded) == 128);
static_assert(sizeof(layout::ArchiveHeader) % 8 == 0);
// Other processes map the same words: an atomic that fell back to a process-local lock would
// protect nothing.
static_assert(std::atomic_ref<std::uint64_t>::is_always_lock_free);
static_assert(std::atomic_ref<std::uint64_t>::required_alignment <= alignof(Slot));

namespace layout {
namespace {

std::uint64_t load8(const char* p) {
  std::uint64_t w;
  std::memcpy(&w, p, 8);
  return w;
}

// 1 to 8 bytes as one word, without reading past them (and without a call into the C library).
std::uint64_t load_tail(const char* p, std::size_t n) {
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

constexpr std::uint64_t K1 = 0x9E3779B97F4A7C15u, K2 = 0xC2B2AE3D27D4EB4Fu;

// One multiply per word. Each step is a bijection of the word for a given state, so two keys of
// the same lengths that differ in one word never share a hash, and a torn key (one whose bytes a
// reader caught half-written) fails its check unless it differs in several words and collides
// by chance (2^-64).
std::uint64_t absorb(std::uint64_t h, const char* p, std::size_t n) {
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
std::uint64_t hash_parts(std::uint64_t key, std::string_view method, std::string_view route) {
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
bool same_bytes(const char* a, const char* b, std::size_t n) {
  if (n > 16) return std::memcmp(a, b, n) == 0;
  if (n >= 8) return load8(a) == load8(b) && load8(a + n - 8) == load8(b + n - 8);
  return n == 0 || load_tail(a, n) == load_tail(b, n);
}

}  // namespace

std::uint64_t own_pid() { return static_cast<std::uint32_t>(getpid()); }

bool key_in_range(std::uint64_t key) {
  if (key == OVERFLOW_KEY) return true;
  return (key >> 48) == 0 && method_size(key) <= MAX_METHOD_BYTES &&
         route_size(key) <= MAX_ROUTE_BYTES;
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
  const std::size_t m = method_size(key);
  return utf8::valid({bytes, m}) && utf8::valid({bytes + m, route_size(key)});
}

void make_key(std::string_view method, std::string_view route, std::uint16_t status, Key& key) {
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

bool same_texts(const char* bytes, const Key& key) {
  const std::size_t m = key.method.size();
  return same_bytes(bytes, key.method.data(), m) &&
         same_bytes(bytes + m, key.route.data(), key.route.size());
}

std::uint64_t fmix(std::uint64_t x) {
  x ^= x >> 33;
  x *= 0xFF51AFD7ED558CCDu;
  x ^= x >> 33;
  x *= 0xC4CEB9FE1A85EC53u;
  x ^= x >> 33;
  return x;
}

}  // namespace layout

std::uint64_t key_hash(std::uint64_t key, const char* bytes, std::size_t size) {
  const std::size_t m = std::min(layout::method_size(key), size);
  return layout::hash_parts(key, std::string_view(bytes, m), std::string_view(bytes + m, size - m));
}

std::size_t method_class(std::string_view method) {
  for (std::size_t i = 0; i + 1 < METHOD_CLASS_COUNT; ++i) {
    if (method == METHOD_CLASSES[i]) return i;
  }
  return METHOD_CLASS_COUNT - 1;
}

}  // namespace vantorel::series
