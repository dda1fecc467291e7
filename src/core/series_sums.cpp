#include "core/series_sums.h"

namespace vantorel::series::sums {

std::vector<std::uint32_t> Families::map(const reader::Source& source) {
  std::vector<std::uint32_t> numbers;
  reader::for_each_record(
      source.records, [&](const std::uint64_t* head, const char* bytes, std::size_t size) {
        const std::uint64_t key = head[1];
        if (!layout::is_descriptor(key)) return;
        const std::uint64_t own = layout::family_of(key);
        std::optional<Family> family = decode_family(std::string_view(bytes, size));
        if (!family) return;
        std::uint32_t number = 0;
        for (std::size_t i = 0; i < list_.size() && number == 0; ++i) {
          if (list_[i].name != family->name) continue;
          if (list_[i].same_layout(*family)) {
            number = static_cast<std::uint32_t>(i + 1);
          } else {
            if (std::find(refused_.begin(), refused_.end(), family->name) == refused_.end()) {
              refused_.push_back(family->name);
            }
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
  return numbers;
}

}  // namespace vantorel::series::sums
