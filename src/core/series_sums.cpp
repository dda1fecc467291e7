#include "core/series_sums.h"

namespace vantorel::series::sums {

void Families::refuse(const std::string& name) {
  if (std::find(refused_.begin(), refused_.end(), name) == refused_.end()) {
    refused_.push_back(name);
  }
}

std::vector<std::uint32_t> Families::map(const reader::Source& source) {
  std::vector<std::uint32_t> numbers(1, 0);
  std::optional<std::vector<double>> described;  // the source's duration bounds, if described
  bool counted = false;                          // whether it counted a request
  reader::for_each_record(
      source.records, [&](const std::uint64_t* head, const char* bytes, std::size_t size) {
        const std::uint64_t key = head[1];
        const std::uint64_t own = layout::family_of(key);
        if (!layout::is_descriptor(key)) {
          if (own == 0 && head[2 + HTTP_COUNT] != 0) counted = true;
          return;
        }
        std::optional<Family> family = decode_family(std::string_view(bytes, size));
        if (!family) return;
        if (own == 0) {
          if (family->name == DURATION_FAMILY && family->kind == Kind::histogram &&
              !layout::duration_bounds_problem(family->bounds)) {
            described = std::move(family->bounds);
          }
          return;
        }
        std::uint32_t number = 0;
        for (std::size_t i = 0; i < list_.size() && number == 0; ++i) {
          if (list_[i].name != family->name) continue;
          if (list_[i].same_layout(*family)) {
            number = static_cast<std::uint32_t>(i + 1);
          } else {
            refuse(family->name);
            return;
          }
        }
        if (number == 0) {
          if (list_.size() >= MAX_FAMILIES) return;
          list_.push_back(std::move(*family));
          number = static_cast<std::uint32_t>(list_.size());
        } else if (list_[number - 1].limit < family->limit) {
          list_[number - 1].limit = family->limit;  // the most any worker kept
        }
        if (numbers.size() <= own) numbers.resize(own + 1, 0);
        numbers[own] = number;
      });
  numbers[0] = 1;
  if (described || counted) {
    std::vector<double> bounds = described ? *std::move(described) : shard_duration_bounds();
    if (!duration_bounds_) {
      duration_bounds_ = std::move(bounds);
    } else if (*duration_bounds_ != bounds) {
      refuse(std::string(DURATION_FAMILY));
      numbers[0] = 0;
    }
  }
  return numbers;
}

}  // namespace vantorel::series::sums
