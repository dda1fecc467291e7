#include "core/request_metrics.h"

#include <time.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "core/multiproc.h"

namespace vantorel::request_metrics {
namespace {

// Reuses the buffer of `text` unless it is far larger than needed: one long path must not pin
// its memory in a slot for the life of the process.
void assign_text(std::string& text, std::string_view value) {
  constexpr std::size_t KEEP_CAPACITY = 1024;
  if (text.capacity() > KEEP_CAPACITY && text.capacity() / 2 > value.size()) {
    text = std::string(value);
  } else {
    text.assign(value);
  }
}

// A growable circular array: front = oldest. It grows when an append finds it full and never
// shrinks, so a full store recycles its slots without reallocating.
class Ring {
 public:
  [[nodiscard]] std::size_t size() const noexcept { return size_; }

  // Appends a record and evicts the oldest beyond `limit`. Once the store is full, the oldest slot
  // is rewritten in place as the newest: its texts' buffers are reused, so the steady state of a
  // full store allocates nothing.
  void append(std::string_view method, std::string_view path, std::uint16_t status_code,
              double duration_ms, std::uint64_t timestamp, std::uint64_t limit) {
    RequestMetric* slot;
    if (size_ > 0 && size_ >= limit) {
      // Evict the oldest, keeping its buffers for the new record at the back.
      slot = &slots_[head_];
      if (size_ < capacity_) {
        RequestMetric& back = slots_[index(size_)];
        std::swap(*slot, back);
        slot = &back;
      }
      head_ = index(1);
    } else {
      if (size_ == capacity_) grow(limit);
      slot = &slots_[index(size_)];
      ++size_;
    }
    assign_text(slot->method, method);
    assign_text(slot->path, path);
    slot->status_code = status_code;
    slot->duration_ms = duration_ms;
    slot->timestamp = timestamp;
    trim_to(limit);
  }

  void pop_front() noexcept {
    slots_[head_] = RequestMetric{};  // releases the texts; the slot stays reserved
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

  template <class F>
  void for_each(F&& visit) const {
    for (std::size_t i = 0; i < size_; ++i) visit(slots_[index(i)]);
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
    auto slots = std::make_unique<RequestMetric[]>(capacity);
    for (std::size_t i = 0; i < size_; ++i) slots[i] = std::move(slots_[index(i)]);
    slots_ = std::move(slots);
    capacity_ = capacity;
    head_ = 0;
  }

  std::unique_ptr<RequestMetric[]> slots_;
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

std::uint64_t unix_seconds() {
  // The coarse clock costs a quarter of the precise one and lags it by at most a tick or two. Its
  // whole second is therefore exact unless it reads within MARGIN_NS of the next second; only
  // then is the precise clock read.
  constexpr long MARGIN_NS = 50'000'000;
  timespec now{};
  if (clock_gettime(CLOCK_REALTIME_COARSE, &now) != 0 || now.tv_sec < 0 ||
      now.tv_nsec >= 1'000'000'000L - MARGIN_NS) {
    clock_gettime(CLOCK_REALTIME, &now);
  }
  return now.tv_sec < 0 ? 0 : static_cast<std::uint64_t>(now.tv_sec);
}

void record(std::string_view method, std::string_view path, std::uint16_t status_code,
            double duration_ms) {
  const std::uint64_t timestamp = unix_seconds();
  // The shard writer takes its own lock; it must be released before the store's is taken.
  multiproc::record(status_code, duration_ms);
  const std::uint64_t limit = MAX_REQUESTS.load(std::memory_order_relaxed);
  std::scoped_lock lock(STORE.mutex);
  STORE.ring.append(method, path, status_code, duration_ms, timestamp, limit);
}

std::vector<RequestMetric> get_all() {
  std::scoped_lock lock(STORE.mutex);
  std::vector<RequestMetric> copy;
  copy.reserve(STORE.ring.size());
  STORE.ring.for_each([&](const RequestMetric& metric) { copy.push_back(metric); });
  return copy;
}

Samples get_samples() {
  Samples samples;
  std::scoped_lock lock(STORE.mutex);
  samples.durations_ms.reserve(STORE.ring.size());
  STORE.ring.for_each([&](const RequestMetric& metric) {
    samples.durations_ms.push_back(metric.duration_ms);
    samples.errors += metric.status_code > 399 ? 1 : 0;
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
