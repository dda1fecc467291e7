// Checks of the core that Python cannot reach: histogram edges, /proc parsing of odd command
// names, rounding edges of the number formats, percentile indices, and the series document's
// figures past what a test can record (counts beyond 2^53, a saturated sum). Built against the core
// sources alone (no Python) and run by tests/test_core_cpp.py; prints one line per failure.
#include <array>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string>

#include "core/aggregator.h"
#include "core/multiproc.h"
#include "core/numfmt.h"
#include "core/series.h"
#include "core/series_text.h"
#include "core/snapshot.h"
#include "core/utf8.h"

namespace {

int FAILURES = 0;

void check(bool ok, const char* what, int line) {
  if (!ok) {
    std::printf("FAILED line %d: %s\n", line, what);
    ++FAILURES;
  }
}
#define CHECK(expr) check((expr), #expr, __LINE__)

using vantorel::multiproc::BUCKET_COUNT;
using vantorel::multiproc::histogram_quantile;
using Buckets = std::array<std::uint64_t, BUCKET_COUNT>;

double quantile(const Buckets& b, double q, double max_ms) {
  return histogram_quantile(std::span<const std::uint64_t, BUCKET_COUNT>(b), q, max_ms);
}

void histogram_edges() {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const Buckets empty{};
  for (double q : {0.0, 0.5, 1.0, 1.5, nan}) CHECK(quantile(empty, q, 7.0) == 0.0);

  Buckets three_ms{};
  three_ms[2] = 1;
  CHECK(quantile(three_ms, 0.5, 3.0) == 3.5);
  CHECK(quantile(three_ms, 0.0, 3.0) == 0.0);  // bucket 0 is empty: its lower bound
  CHECK(quantile(three_ms, 1.5, 3.0) == 3.0);  // past the last rank: the maximum
  CHECK(quantile(three_ms, nan, 3.0) == 3.0);

  Buckets slow{};
  slow[13] = 1;
  CHECK(quantile(slow, 0.5, 20000.0) == 15000.0);
  CHECK(quantile(slow, 0.99, 20000.0) == 19900.0);
  CHECK(quantile(slow, 0.5, nan) == 10000.0);    // no maximum known: the bucket has no width
  CHECK(quantile(slow, 0.5, 500.0) == 10000.0);  // a maximum below the bound does not shrink it

  CHECK(vantorel::multiproc::bucket_index(10000.0) == 12);
  CHECK(vantorel::multiproc::bucket_index(-std::numeric_limits<double>::infinity()) == 0);
  CHECK(vantorel::multiproc::to_micros(1e300) == std::numeric_limits<std::uint64_t>::max());
}

void proc_parsing() {
  using vantorel::snapshot::parse_stat;
  using vantorel::snapshot::parse_statm;
  const std::string tail =
      " S 1 2 3 4 5 6 7 8 9 10 111 222 13 14 15 16 17 18 19 333 444 25 26 27\n";
  for (const char* name : {"(python)", "(a) (b)", "(x y) R 1 2)", "()", "((()))"}) {
    const auto stat = parse_stat(std::string("4242 ") + name + tail);
    CHECK(stat.has_value());
    if (stat) {
      CHECK(stat->utime_ticks == 111 && stat->stime_ticks == 222);
      CHECK(stat->vsize_bytes == 333 && stat->rss_pages == 444);
      CHECK(stat->starttime_ticks == 19);
    }
  }
  CHECK(!parse_stat("4242 (python) S 1 2 3").has_value());  // cut short
  CHECK(!parse_stat("4242 python S 1 2").has_value());      // no name at all
  CHECK(!parse_stat("4242 (p) S 1 2 3 4 5 6 7 8 9 10 x 222 13 14 15 16 17 18 19 333 444 25")
             .has_value());  // a figure that is not a number
  using vantorel::snapshot::parse_btime;
  CHECK(parse_btime("cpu  1 2 3\nintr 9 8 7\nctxt 5\nbtime 1700000000\nprocesses 9\n") ==
        1700000000u);
  CHECK(!parse_btime("cpu 1\nbtime\n").has_value());
  CHECK(!parse_btime("cpu 1\nbtime 12x\n").has_value());
  CHECK(!parse_btime("cpu 1\nxbtime 12\n").has_value());
  const auto statm = parse_statm("2567 1043 700 1 0 350 0\n");
  CHECK(statm && statm->size_pages == 2567 && statm->resident_pages == 1043);
  CHECK(!parse_statm("").has_value());
}

void number_formats() {
  using vantorel::numfmt::fixed;
  using vantorel::numfmt::shortest;
  CHECK(fixed(0.125, 2) == "0.12");  // exact tie: even digit
  CHECK(fixed(0.375, 2) == "0.38");
  CHECK(fixed(2.5, 0) == "2");
  CHECK(fixed(0.05, 1) == "0.1");  // the double lies just above the tie
  CHECK(fixed(-0.0, 2) == "-0.00");
  CHECK(fixed(-0.001, 2) == "-0.00");
  CHECK(fixed(1e22, 1) == "10000000000000000000000.0");
  CHECK(fixed(std::nan(""), 2) == "NaN");
  CHECK(fixed(-std::numeric_limits<double>::infinity(), 1) == "-inf");

  CHECK(shortest(1e23) == "100000000000000000000000");
  CHECK(shortest(-1e23) == "-100000000000000000000000");
  CHECK(shortest(9007199254740993.0) == "9007199254740992");
  CHECK(shortest(123456789012345678.0) == "123456789012345680");
  CHECK(shortest(1e-7) == "0.0000001");
  CHECK(shortest(-0.0) == "-0");
  CHECK(shortest(std::numeric_limits<double>::denorm_min()).size() == 326);  // "0." + 324 digits
  CHECK(shortest(std::numeric_limits<double>::max()).size() == 309);
  CHECK(shortest(std::numeric_limits<double>::infinity()) == "+Inf");
}

void percentile_indices() {
  using vantorel::aggregator::percentile_index;
  struct Row {
    std::size_t n, p50, p95, p99;
  };
  for (const Row& r : {Row{1, 0, 0, 0}, Row{2, 1, 1, 1}, Row{4, 2, 3, 3}, Row{10, 5, 9, 9},
                       Row{20, 10, 18, 19}, Row{100, 50, 94, 98}, Row{1000, 500, 949, 989}}) {
    CHECK(percentile_index(r.n, 0.5) == r.p50);
    CHECK(percentile_index(r.n, 0.95) == r.p95);
    CHECK(percentile_index(r.n, 0.99) == r.p99);
  }
}

void merged_totals() {
  using vantorel::aggregator::from_merged;
  vantorel::multiproc::MergedTotals totals;
  CHECK(from_merged(totals).total_requests == 0);
  totals.count = 100;
  totals.buckets[0] = 100;
  totals.sum_us = 40000;
  totals.min_us = 400;
  totals.max_us = 400;
  const auto a = from_merged(totals);
  CHECK(a.avg_latency_ms == 0.4 && a.min_latency_ms == 0.4 && a.max_latency_ms == 0.4);
  CHECK(a.p50_latency_ms == 0.5 && a.p95_latency_ms == 0.95 && a.p99_latency_ms == 0.99);
}

void series_document() {
  using vantorel::series::Merged;
  using vantorel::series::Series;
  Merged merged;
  Series big;
  big.method = "GET";
  big.route = "/";
  big.status = 200;
  big.count = (std::uint64_t{1} << 53) + 1;                // past what a double holds exactly
  big.sum_us = std::numeric_limits<std::uint64_t>::max();  // saturated
  big.buckets[0] = big.count;
  merged.series.push_back(big);
  merged.in_progress[0] = -(std::int64_t{1} << 60);
  merged.in_progress[1] = -7;
  const std::string doc = vantorel::series_text::render(merged, {});
  const auto has = [&](const char* line) { return doc.find(line) != std::string::npos; };
  CHECK(
      has("\nvtr_http_requests_total{method=\"GET\",route=\"/\",status=\"200\"} "
          "9007199254740992\n"));
  CHECK(
      has("\nvtr_http_request_duration_seconds_sum{method=\"GET\",route=\"/\"} "
          "18446744073709.55\n"));
  CHECK(has("\nvtr_http_requests_in_progress{method=\"GET\"} -1152921504606847000\n"));
  CHECK(has("\nvtr_http_requests_in_progress{method=\"HEAD\"} -7\n"));
  CHECK(doc.find("process_") == std::string::npos);  // no figures: no process families

  std::string label;
  vantorel::series_text::append_label_value(label, "a\\b\"c\nd\re");
  CHECK(label == "a\\\\b\\\"c\\nd\re");

  using vantorel::utf8::prefix_size;
  CHECK(prefix_size("\xc3\xa9\xc3\xa9\xc3\xa9", 2) == 4);  // "ééé" cut to "éé"
  CHECK(prefix_size("\xf0\x9d\x84\x9ex", 1) == 4);
  CHECK(prefix_size("abc", 5) == 3 && prefix_size("", 0) == 0);
  CHECK(vantorel::series::method_class("GET ") == vantorel::series::METHOD_CLASS_COUNT - 1);
}

}  // namespace

int main() {
  histogram_edges();
  proc_parsing();
  number_formats();
  percentile_indices();
  merged_totals();
  series_document();
  std::printf("%d failures\n", FAILURES);
  return FAILURES == 0 ? 0 : 1;
}
