#include "core/request_metrics.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <utility>

namespace vantorel::request_metrics {
namespace {

// Copies `size` bytes. Methods and paths are short: up to 32 bytes go by a few overlapping loads
// and stores, without a call into the C library.
[[gnu::always_inline]] inline void copy_text(char* to, const char* from,
                                             std::size_t size) noexcept {
  if (size > 32) {
    std::memcpy(to, from, size);
  } else if (size >= 16) {
    char a[16], b[16];
    std::memcpy(a, from, 16);
    std::memcpy(b, from + size - 16, 16);
    std::memcpy(to, a, 16);
    std::memcpy(to + size - 16, b, 16);
  } else if (size >= 8) {
    std::uint64_t a, b;
    std::memcpy(&a, from, 8);
    std::memcpy(&b, from + size - 8, 8);
    std::memcpy(to, &a, 8);
    std::memcpy(to + size - 8, &b, 8);
  } else if (size >= 4) {
    std::uint32_t a, b;
    std::memcpy(&a, from, 4);
    std::memcpy(&b, from + size - 4, 4);
    std::memcpy(to, &a, 4);
    std::memcpy(to + size - 4, &b, 4);
  } else if (size > 0) {
    const char first = from[0], middle = from[size / 2], last = from[size - 1];
    to[0] = first;
    to[size / 2] = middle;
    to[size - 1] = last;
  }
}

// The method and path of one stored request, back to back in one buffer: inside the slot when
// they are short, as nearly all are, else on the heap. A rewritten slot reuses its heap buffer
// unless that is far larger than needed: one long path must not pin its memory in a slot for the
// life of the process.
class Texts {
 public:
  Texts() noexcept = default;
  Texts(const Texts&) = delete;
  Texts& operator=(const Texts&) = delete;
  Texts(Texts&& other) noexcept { take(other); }
  Texts& operator=(Texts&& other) noexcept {
    if (this != &other) {
      release();
      take(other);
    }
    return *this;
  }
  ~Texts() { delete[] heap_; }

  void assign(std::string_view method, std::string_view path) {
    char* data = reserve(method.size() + path.size());
    copy_text(data, method.data(), method.size());
    copy_text(data + method.size(), path.data(), path.size());
    method_size_ = method.size();
    size_ = method.size() + path.size();
  }

  [[nodiscard]] std::string_view method() const noexcept { return {data(), method_size_}; }
  [[nodiscard]] std::string_view path() const noexcept {
    return {data() + method_size_, size_ - method_size_};
  }

  void release() noexcept {
    delete[] heap_;
    heap_ = nullptr;
    method_size_ = size_ = 0;
  }

 private:
  static constexpr std::size_t LOCAL_CAPACITY = 40;  // a slot of 64 bytes
  static constexpr std::size_t KEEP_CAPACITY = 1024;

  [[nodiscard]] const char* data() const noexcept { return heap_ != nullptr ? heap_ : local_; }

  // While the texts are on the heap, local_ holds the heap buffer's capacity.
  [[nodiscard]] std::size_t heap_capacity() const noexcept {
    std::size_t capacity;
    std::memcpy(&capacity, local_, sizeof capacity);
    return capacity;
  }

  char* reserve(std::size_t size) {
    if (heap_ != nullptr) {
      const std::size_t capacity = heap_capacity();
      if (size <= capacity && !(capacity > KEEP_CAPACITY && capacity / 2 > size)) return heap_;
      release();
    }
    if (size <= LOCAL_CAPACITY) return local_;
    method_size_ = size_ = 0;  // consistent should the allocation fail
    heap_ = new char[size];
    std::memcpy(local_, &size, sizeof size);
    return heap_;
  }

  void take(Texts& other) noexcept {
    heap_ = std::exchange(other.heap_, nullptr);
    method_size_ = std::exchange(other.method_size_, 0);
    size_ = std::exchange(other.size_, 0);
    std::memcpy(local_, other.local_, LOCAL_CAPACITY);
  }

  char* heap_ = nullptr;
  std::size_t method_size_ = 0;
  std::size_t size_ = 0;
  char local_[LOCAL_CAPACITY];
};

static_assert(sizeof(Texts) == 64);

// A growable circular array: front = oldest. It grows when an append finds it full and never
// shrinks, so a full store recycles its slots without reallocating. Each field lives in its own
// column, so that aggregation copies 8 bytes of duration and reads 2 of status per request instead
// of walking whole records.
class Ring {
 public:
  [[nodiscard]] std::size_t size() const noexcept { return size_; }

  // Appends a record and evicts the oldest beyond `limit`. Once the store is full, the oldest slot
  // is rewritten in place as the newest: its text buffer is reused, so the steady state of a full
  // store allocates nothing.
  void append(std::string_view method, std::string_view path, std::uint16_t status_code,
              double duration_ms, std::uint64_t timestamp, std::uint64_t limit) {
    std::size_t at;
    if (size_ > 0 && size_ >= limit) {
      // Evict the oldest, keeping its text buffer for the new record at the back.
      at = head_;
      if (size_ < capacity_) {
        const std::size_t back = index(size_);
        std::swap(texts_[at], texts_[back]);
        at = back;
      }
      head_ = index(1);
    } else {
      if (size_ == capacity_) grow(limit);
      at = index(size_);
      ++size_;
    }
    texts_[at].assign(method, path);
    status_codes_[at] = status_code;
    durations_ms_[at] = duration_ms;
    timestamps_[at] = timestamp;
    trim_to(limit);
  }

  void pop_front() noexcept {
    texts_[head_].release();  // the slot stays reserved
    head_ = index(1);
    --size_;
  }

  void trim_to(std::uint64_t limit) noexcept {
    while (size_ > limit) pop_front();
  }

  void clear() noexcept {
    while (size_ > 0) pop_front();
    head_ = 0;
  }

  [[nodiscard]] RequestMetric at(std::size_t offset) const {
    const std::size_t i = index(offset);
    return RequestMetric{std::string(texts_[i].method()), std::string(texts_[i].path()),
                         status_codes_[i], durations_ms_[i], timestamps_[i]};
  }

  // Calls visit(durations, statuses) for the stored records, oldest first, in at most two runs
  // of consecutive slots.
  template <class F>
  void for_each_run(F&& visit) const {
    const std::size_t first = std::min(size_, capacity_ - head_);
    if (first > 0) {
      visit(std::span<const double>(&durations_ms_[head_], first),
            std::span<const std::uint16_t>(&status_codes_[head_], first));
    }
    if (size_ > first) {
      visit(std::span<const double>(&durations_ms_[0], size_ - first),
            std::span<const std::uint16_t>(&status_codes_[0], size_ - first));
    }
  }

 private:
  [[nodiscard]] std::size_t index(std::size_t offset) const noexcept {
    std::size_t i = head_ + offset;
    return i >= capacity_ ? i - capacity_ : i;
  }

  // Doubles the capacity (at least 4 slots), but not past the limit: a store that fills up to its
  // limit then has no free slot, and each new record rewrites the oldest slot in place.
  void grow(std::uint64_t limit) {
    std::size_t capacity = std::max<std::size_t>(4, capacity_ * 2);
    if (limit > capacity_ && limit < capacity) capacity = static_cast<std::size_t>(limit);
    auto texts = std::make_unique<Texts[]>(capacity);
    auto status_codes = std::make_unique_for_overwrite<std::uint16_t[]>(capacity);
    auto durations_ms = std::make_unique_for_overwrite<double[]>(capacity);
    auto timestamps = std::make_unique_for_overwrite<std::uint64_t[]>(capacity);
    for (std::size_t i = 0; i < size_; ++i) {
      const std::size_t from = index(i);
      texts[i] = std::move(texts_[from]);
      status_codes[i] = status_codes_[from];
      durations_ms[i] = durations_ms_[from];
      timestamps[i] = timestamps_[from];
    }
    texts_ = std::move(texts);
    status_codes_ = std::move(status_codes);
    durations_ms_ = std::move(durations_ms);
    timestamps_ = std::move(timestamps);
    capacity_ = capacity;
    head_ = 0;
  }

  std::unique_ptr<Texts[]> texts_;
  std::unique_ptr<std::uint16_t[]> status_codes_;
  std::unique_ptr<double[]> durations_ms_;
  std::unique_ptr<std::uint64_t[]> timestamps_;
  std::size_t capacity_ = 0;
  std::size_t head_ = 0;
  std::size_t size_ = 0;
};

struct Store {
  std::mutex mutex;
  Ring ring;
};

Store STORE;
std::atomic<std::uint64_t> MAX_REQUESTS{DEFAULT_MAX_REQUESTS};

}  // namespace

void record(std::string_view method, std::string_view path, std::uint16_t status_code,
            double duration_ms, std::uint64_t timestamp) {
  const std::uint64_t limit = MAX_REQUESTS.load(std::memory_order_relaxed);
  std::scoped_lock lock(STORE.mutex);
  STORE.ring.append(method, path, status_code, duration_ms, timestamp, limit);
}

std::vector<RequestMetric> get_all() {
  std::scoped_lock lock(STORE.mutex);
  std::vector<RequestMetric> copy;
  copy.reserve(STORE.ring.size());
  for (std::size_t i = 0; i < STORE.ring.size(); ++i) copy.push_back(STORE.ring.at(i));
  return copy;
}

Samples get_samples() {
  Samples samples;
  std::scoped_lock lock(STORE.mutex);
  samples.durations_ms.reserve(STORE.ring.size());
  STORE.ring.for_each_run(
      [&](std::span<const double> durations_ms, std::span<const std::uint16_t> status_codes) {
        samples.durations_ms.insert(samples.durations_ms.end(), durations_ms.begin(),
                                    durations_ms.end());
        std::uint64_t errors = 0;
        for (const std::uint16_t status : status_codes) errors += status > 399 ? 1 : 0;
        samples.errors += errors;
      });
  return samples;
}

void clear() {
  std::scoped_lock lock(STORE.mutex);
  STORE.ring.clear();
}

void set_max_requests(std::uint64_t max) {
  const std::uint64_t limit = max > 1 ? max : 1;
  MAX_REQUESTS.store(limit, std::memory_order_relaxed);
  std::scoped_lock lock(STORE.mutex);
  STORE.ring.trim_to(limit);
}

std::uint64_t max_requests() { return MAX_REQUESTS.load(std::memory_order_relaxed); }

}  // namespace vantorel::request_metrics
