// What requests and the application's own metrics add to this process's table (series_region.h).
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "core/clock.h"
#include "core/series_layout.h"
#include "core/series_region.h"

namespace vantorel::series {
namespace {

using namespace layout;
using writer::Region;
using writer::SERIES;
using writer::Writer;

// Where one duration counts, and what it adds to the sum.
struct Observation {
  std::size_t bucket = 0;
  std::uint64_t micros = 0;
};

Observation observation_of(double duration_ms, const writer::DurationBounds& bounds) {
  // NaN and negative durations: counted, in the first bucket, adding nothing.
  if (!(duration_ms >= 0.0)) return {0, 0};
  // +Inf, and anything no real request lasts, would wrap or poison the sum.
  if (duration_ms >= ABSURD_DURATION_MS) return {bounds.count, 0};
  std::size_t bucket = 0;
  while (bucket < bounds.count && duration_ms > bounds.ms[bucket]) ++bucket;
  return {bucket, multiproc::to_micros(duration_ms)};
}

// The shard's bounds, exact in milliseconds as requests compare them, and without a descriptor.
const writer::DurationBounds& shard_bounds() {
  static const writer::DurationBounds BOUNDS = [] {
    writer::DurationBounds b;
    b.count = multiproc::BUCKET_BOUNDS_MS.size();
    std::copy(multiproc::BUCKET_BOUNDS_MS.begin(), multiproc::BUCKET_BOUNDS_MS.end(), b.ms.begin());
    b.seconds.resize(b.count);
    std::transform(multiproc::BUCKET_BOUNDS_MS.begin(), multiproc::BUCKET_BOUNDS_MS.end(),
                   b.seconds.begin(), [](double ms) { return ms / 1000.0; });
    return b;
  }();
  return BOUNDS;
}

std::atomic<const writer::DurationBounds*> DURATION_BOUNDS{&shard_bounds()};

// Caller holds SERIES.mutex. The slot of an HTTP key: its own, or the overflow key's past the
// limit or when the region is full. Inline: it is most of the record path.
[[gnu::always_inline]] inline Slot& http_slot(Writer& w, const Key& key) {
  const Region& r = *w.active;
  const std::uint64_t found = w.index.find(key.hash, [&](std::uint64_t i) {
    const Slot& s = r.slot(i);  // published by this process: its key no longer changes
    return s.key == key.word && same_texts(s.bytes, key);
  });
  if (found != 0) return r.slot(found);
  // A region counts no request under other bounds than the shard's before it describes them.
  if (w.duration_descriptor_slot == 0 && !writer::ensure_duration_descriptor(w)) {
    return w.active->slot(0);
  }
  if (w.http_keys >= writer::limit_now()) return w.active->slot(0);
  const std::uint64_t at = writer::claim_slot(w, key.word, key.method, key.route, key.hash);
  if (at == 0) return w.active->slot(0);
  ++w.http_keys;
  return w.active->slot(at);
}

std::atomic<bool> STATUS_CLASSES{false};

std::uint16_t series_status(std::uint16_t status) {
  if (STATUS_CLASSES.load(std::memory_order_relaxed) && status >= 100 && status <= 599) {
    return static_cast<std::uint16_t>(status / 100);
  }
  return status;
}

// Caller holds SERIES.mutex. Keeps an exemplar as the `index`th of an HTTP slot: its words, then
// its check, last and with release order (other processes read the file).
void put_exemplar(const Region& r, Slot& s, std::size_t index, const Exemplar& exemplar) {
  auto* at = reinterpret_cast<std::uint64_t*>(s.bytes + EXEMPLAR_AT) + index * EXEMPLAR_WORDS;
  std::uint64_t words[EXEMPLAR_WORDS] = {0,
                                         exemplar.trace_hi,
                                         exemplar.trace_lo,
                                         exemplar.span,
                                         as_bits(exemplar.value),
                                         exemplar.time_us};
  for (std::size_t i = 1; i < EXEMPLAR_WORDS; ++i) r.store(at[i], words[i]);
  const std::uint64_t check = exemplar_check(words + 1);
  if (r.mapped) {
    word(at[0]).store(check, std::memory_order_release);
  } else {
    at[0] = check;
  }
}

// Caller holds SERIES.mutex. A traced request's exemplars: of its bucket (its duration in
// seconds) and of its count (1). Kept apart from the record path, which most requests take
// without a trace.
[[gnu::noinline]] void keep_trace(const Region& r, Slot& s, std::size_t bucket, double duration_ms,
                                  const Exemplar& traced) {
  if (key_size(s.key) > EXEMPLAR_AT) return;
  Exemplar exemplar = traced;
  exemplar.time_us = wallclock::unix_us();
  exemplar.value = duration_ms / 1000.0;
  put_exemplar(r, s, bucket, exemplar);
  exemplar.value = 1.0;
  put_exemplar(r, s, BUCKET_COUNT, exemplar);
}

// Caller holds SERIES.mutex. The label of a method that is not a standard one.
std::string_view label_of(const Writer& w, std::string_view method) {
  for (const std::string& extra : w.extra_methods) {
    if (method == extra) return method;
  }
  return METHOD_CLASSES[METHOD_CLASS_COUNT - 1];
}

// Caller holds SERIES.mutex: at most every PUBLISH_CHECK_EVERY changes, a look at the clock.
void maybe_publish(Writer& w, const Region& r) {
  if (r.mapped && --w.until_publish_check == 0) {
    w.until_publish_check = writer::PUBLISH_CHECK_EVERY;
    if (writer::coarse_now_ns() >= w.publish_at_ns) writer::publish_cpu(w);
  }
}

// `traced`: the request's trace ids, kept as the exemplars of its bucket and its count (the
// trace and span ids; the rest is filled in here).
void record(std::string_view method, std::string_view route, std::uint16_t status,
            double duration_ms, bool finished, const Exemplar* traced = nullptr) {
  const std::size_t method_index = method_class(method);
  const bool standard = method_index + 1 < METHOD_CLASS_COUNT;
  status = series_status(status);
  Key key;
  if (standard) make_key(method, route, status, key);  // the usual case, before the lock
  const writer::DurationBounds* bounds = &writer::duration_bounds_now();
  Observation seen = observation_of(duration_ms, *bounds);
  const auto lock = writer::lock_following_mode();
  // Bounds set since (under this lock, before the process's first count) are those to count by.
  if (&writer::duration_bounds_now() != bounds)
    seen = observation_of(duration_ms, writer::duration_bounds_now());
  if (!standard) make_key(label_of(SERIES, method), route, status, key);
  Slot& s = http_slot(SERIES, key);
  const Region& r = *SERIES.active;  // after http_slot: process memory may have grown
  r.add(s.values[HTTP_BUCKETS + seen.bucket], 1);
  r.add(s.values[HTTP_SUM_US], seen.micros);
  r.add(s.values[HTTP_COUNT], 1);
  if (finished) r.add(r.header().in_progress[method_index], writer::U64_MAX);  // minus one
  if (traced != nullptr) keep_trace(r, s, seen.bucket, duration_ms, *traced);
  maybe_publish(SERIES, r);
}

std::uint64_t find_slot(const Writer& w, std::uint64_t key, std::string_view bytes,
                        std::uint64_t hash) {
  const Region& r = *w.active;
  return w.index.find(hash, [&](std::uint64_t i) {
    const Slot& s = r.slot(i);
    return s.key == key && same_bytes(s.bytes, bytes.data(), bytes.size());
  });
}

// Caller holds SERIES.mutex. The slot of a key of family `number`, found or claimed; 0 when the
// region is full and cannot grow.
std::uint64_t slot_of(Writer& w, std::uint64_t key, std::string_view bytes) {
  const std::uint64_t hash = key_hash(key, bytes.data(), bytes.size());
  const std::uint64_t found = find_slot(w, key, bytes, hash);
  return found != 0 ? found : writer::claim_slot(w, key, bytes, {}, hash);
}

// Caller holds SERIES.mutex. Looks up the slots of a handle again when the table has changed
// since: the family's descriptor first (a file holds no samples of a family it does not
// describe), then the slots of its label values, or its overflow series' past its limit.
bool resolve(Writer& w, Handle& handle) {
  if (handle.epoch == w.epoch) return true;
  writer::FamilyState& state = w.families[handle.family - 1];
  const std::uint64_t number = handle.family;
  if (state.descriptor_slot == 0) {
    state.descriptor_slot =
        slot_of(w, descriptor_key(number, state.descriptor.size()), state.descriptor);
    if (state.descriptor_slot == 0) return false;
  }
  const std::size_t chunks = state.family.chunks();
  bool overflow = false;
  for (std::size_t chunk = 0; chunk < chunks && !overflow; ++chunk) {
    const std::uint64_t key = sample_key(number, chunk, handle.labels.size());
    const std::uint64_t hash = key_hash(key, handle.labels.data(), handle.labels.size());
    std::uint64_t at = find_slot(w, key, handle.labels, hash);
    if (at == 0 && (chunk > 0 || state.keys < state.family.limit)) {
      at = writer::claim_slot(w, key, handle.labels, {}, hash);
      if (at != 0 && chunk == 0) ++state.keys;
    }
    overflow = at == 0;
    handle.slots[chunk] = at;
  }
  for (std::size_t chunk = 0; chunk < chunks && overflow; ++chunk) {
    handle.slots[chunk] = slot_of(w, overflow_key(number, chunk), {});
    if (handle.slots[chunk] == 0) return false;
  }
  handle.epoch = w.epoch;
  return true;
}

void add_double(const Region& r, std::uint64_t& word, double amount) {
  r.store(word, as_bits(as_double(r.load(word)) + amount));
}

// A change to one series: `apply` gets the region and the handle's slots, under the lock, once
// they are found; nothing happens when they cannot be had (a full region that cannot grow).
template <class Apply>
void change(Handle& handle, Apply&& apply) {
  const auto lock = writer::lock_following_mode();
  if (handle.family == 0 || handle.family > SERIES.families.size()) return;
  if (!resolve(SERIES, handle)) return;
  const Region& r = *SERIES.active;
  apply(r, SERIES.families[handle.family - 1].family);
  maybe_publish(SERIES, r);
}

}  // namespace

namespace writer {

const DurationBounds& duration_bounds_now() {
  return *DURATION_BOUNDS.load(std::memory_order_acquire);
}

bool ensure_duration_descriptor(Writer& w) {
  if (w.duration_descriptor_slot != 0) return true;
  const DurationBounds& bounds = duration_bounds_now();
  if (!bounds.descriptor) return true;
  const std::string& bytes = *bounds.descriptor;
  const std::uint64_t key = descriptor_key(0, bytes.size());
  w.duration_descriptor_slot =
      claim_slot(w, key, bytes, {}, key_hash(key, bytes.data(), bytes.size()));
  return w.duration_descriptor_slot != 0;
}

}  // namespace writer

void start(std::string_view method) {
  const std::size_t method_index = method_class(method);
  const auto lock = writer::lock_following_mode();
  const Region& r = *SERIES.active;
  r.add(r.header().in_progress[method_index], 1);
}

void observe(std::string_view method, std::string_view route, std::uint16_t status,
             double duration_ms) {
  record(method, route, status, duration_ms, false);
}

void finish(std::string_view method, std::string_view route, std::uint16_t status,
            double duration_ms) {
  record(method, route, status, duration_ms, true);
}

void finish_traced(std::string_view method, std::string_view route, std::uint16_t status,
                   double duration_ms, std::uint64_t trace_hi, std::uint64_t trace_lo,
                   std::uint64_t span) {
  const Exemplar traced{trace_hi, trace_lo, span, 0.0, 0};
  record(method, route, status, duration_ms, true, &traced);
}

void set_status_classes(bool on) { STATUS_CLASSES.store(on, std::memory_order_relaxed); }

const std::vector<double>& shard_duration_bounds() { return shard_bounds().seconds; }

std::optional<std::string> set_duration_bounds(const std::vector<double>& bounds) {
  if (auto problem = duration_bounds_problem(bounds)) return problem;
  auto set = std::make_unique<writer::DurationBounds>();
  set->seconds = bounds;
  set->count = bounds.size();
  for (std::size_t i = 0; i < bounds.size(); ++i) set->ms[i] = bounds[i] * 1000.0;
  set->descriptor = duration_descriptor(bounds);
  const auto lock = writer::lock_following_mode();
  if (writer::duration_bounds_now().seconds == bounds) return std::nullopt;
  const Region& r = *SERIES.active;
  if (SERIES.http_keys != 0 || r.load(r.slot(0).values[HTTP_COUNT]) != 0 ||
      SERIES.duration_descriptor_slot != 0) {
    return std::string("the bounds must be set before this process counts its first request");
  }
  // Kept for the life of the process: a request on another thread may be reading the old one.
  DURATION_BOUNDS.store(set.release(), std::memory_order_release);
  return std::nullopt;
}

std::vector<double> duration_bounds() { return writer::duration_bounds_now().seconds; }

void set_extra_methods(std::vector<std::string> methods) {
  if (methods.size() > MAX_EXTRA_METHODS) methods.resize(MAX_EXTRA_METHODS);
  std::scoped_lock lock(SERIES.mutex);
  SERIES.extra_methods = std::move(methods);
}

std::vector<std::string> extra_methods() {
  std::scoped_lock lock(SERIES.mutex);
  return SERIES.extra_methods;
}

void clear() {
  std::scoped_lock lock(SERIES.mutex);
  writer::ensure_local(SERIES);
  const Region& old = SERIES.local.region;
  std::array<std::uint64_t, METHOD_CLASS_COUNT> gauges{};
  std::copy(std::begin(old.header().in_progress), std::end(old.header().in_progress),
            gauges.begin());
  SERIES.local.reset();
  writer::ensure_local(SERIES);
  std::copy(gauges.begin(), gauges.end(), std::begin(SERIES.local.region.header().in_progress));
  if (SERIES.current_table() == &SERIES.local) writer::rebuild_index(SERIES);
}

std::variant<std::uint32_t, std::string> define_family(Family family) {
  std::optional<std::string> descriptor = encode_family(family);
  if (!descriptor) return std::string("the family's name, labels and buckets do not fit in a key");
  std::scoped_lock lock(SERIES.mutex);
  for (std::size_t i = 0; i < SERIES.families.size(); ++i) {
    const Family& known = SERIES.families[i].family;
    if (known.name != family.name) continue;
    if (known.same_layout(family)) return static_cast<std::uint32_t>(i + 1);
    return "a family named " + family.name + " is already defined with another layout";
  }
  if (SERIES.families.size() >= MAX_FAMILIES) return std::string("too many families");
  SERIES.families.push_back({std::move(family), std::move(*descriptor), 0, 0});
  return static_cast<std::uint32_t>(SERIES.families.size());
}

std::optional<Family> family(std::uint32_t number) {
  std::scoped_lock lock(SERIES.mutex);
  if (number == 0 || number > SERIES.families.size()) return std::nullopt;
  return SERIES.families[number - 1].family;
}

void add(Handle& handle, double amount) {
  change(handle, [&](const Region& r, const Family& family) {
    Slot& s = r.slot(handle.slots[0]);
    add_double(r, s.values[VALUE], amount);
    if (family.kind == Kind::gauge) r.store(s.values[CHANGED], wallclock::unix_us());
  });
}

void set(Handle& handle, double value) {
  change(handle, [&](const Region& r, const Family&) {
    Slot& s = r.slot(handle.slots[0]);
    r.store(s.values[VALUE], as_bits(value));
    r.store(s.values[CHANGED], wallclock::unix_us());
  });
}

void observe(Handle& handle, double value) {
  change(handle, [&](const Region& r, const Family& family) {
    Slot& first = r.slot(handle.slots[0]);
    // Like the HTTP family's durations: NaN and -Inf count in the first bucket, +Inf in the
    // last, and none of them adds to the sum.
    const bool finite = std::isfinite(value);
    if (family.kind == Kind::summary) {
      r.add(first.values[SUMMARY_COUNT], 1);
      if (finite) add_double(r, first.values[SUMMARY_SUM], value);
      return;
    }
    const auto& bounds = family.bounds;
    const std::size_t bucket =
        std::isnan(value)
            ? 0
            : static_cast<std::size_t>(std::lower_bound(bounds.begin(), bounds.end(), value) -
                                       bounds.begin());
    const BucketPlace place = bucket_place(bucket);
    r.add(r.slot(handle.slots[place.chunk]).values[place.word], 1);
    if (finite) add_double(r, first.values[VALUE], value);
  });
}

std::vector<double> values(Handle& handle) {
  std::vector<double> out;
  change(handle, [&](const Region& r, const Family& family) {
    const Slot& first = r.slot(handle.slots[0]);
    if (family.kind == Kind::summary) {
      out = {static_cast<double>(r.load(first.values[SUMMARY_COUNT])),
             as_double(r.load(first.values[SUMMARY_SUM]))};
    } else if (family.kind != Kind::histogram) {
      out = {as_double(r.load(first.values[VALUE]))};
    } else {
      out = {as_double(r.load(first.values[VALUE]))};
      for (std::size_t b = 0; b < family.buckets(); ++b) {
        const BucketPlace place = bucket_place(b);
        out.push_back(
            static_cast<double>(r.load(r.slot(handle.slots[place.chunk]).values[place.word])));
      }
    }
  });
  return out;
}

}  // namespace vantorel::series
