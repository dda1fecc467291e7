#include "core/request_metrics.h"

#include <time.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <utility>

#include "core/multiproc.h"

namespace vantorel::request_metrics {
namespace {

// A growable circular array: front = oldest. Capacity doubles (at least 4) when an append finds
// it full and never shrinks, so a full store recycles its slots without reallocating.
class Ring {
 public:
  [[nodiscard]] std::size_t size() const noexcept { return size_; }

  void push_back(RequestMetric&& metric) {
    if (size_ == capacity_) grow();
    slots_[index(size_)] = std::move(metric);
    ++size_;
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

  void grow() {
    std::size_t capacity = std::max<std::size_t>(4, capacity_ * 2);
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
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return now.tv_sec < 0 ? 0 : static_cast<std::uint64_t>(now.tv_sec);
}

void record(std::string_view method, std::string_view path, std::uint16_t status_code,
            double duration_ms) {
  RequestMetric metric{std::string(method), std::string(path), status_code, duration_ms,
                       unix_seconds()};
  // The shard writer takes its own lock; it must be released before the store's is taken.
  multiproc::record(status_code, duration_ms);
  const std::uint64_t limit = MAX_REQUESTS.load(std::memory_order_relaxed);
  std::scoped_lock lock(STORE.mutex);
  STORE.ring.push_back(std::move(metric));
  STORE.ring.trim_to(limit);
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
