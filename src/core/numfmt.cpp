#include "core/numfmt.h"

#include <charconv>
#include <cmath>
#include <string_view>
#include <system_error>

namespace vantorel::numfmt {
namespace {

// Room for the longest fixed-point forms: DBL_MAX has 309 integer digits and the smallest
// subnormal needs 324 fraction digits in shortest form.
constexpr std::size_t BUFFER_SIZE = 400;

// Returns true when `value` was not finite and its text has been appended.
bool append_special(std::string& out, double value, std::string_view nan, std::string_view pos_inf,
                    std::string_view neg_inf) {
  if (std::isnan(value)) {
    out += nan;
  } else if (std::isinf(value)) {
    out += value > 0 ? pos_inf : neg_inf;
  } else {
    return false;
  }
  return true;
}

}  // namespace

void append_fixed(std::string& out, double value, int decimals) {
  if (append_special(out, value, "NaN", "inf", "-inf")) return;
  char buffer[BUFFER_SIZE + 64];
  // to_chars with a precision rounds the exact binary value, ties to even, like printf("%.*f").
  auto [end, ec] =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, decimals);
  if (ec == std::errc{}) out.append(buffer, end);
}

std::string fixed(double value, int decimals) {
  std::string out;
  append_fixed(out, value, decimals);
  return out;
}

void append_shortest(std::string& out, double value) {
  if (append_special(out, value, "NaN", "+Inf", "-Inf")) return;
  char buffer[BUFFER_SIZE];
  // From 2^53 up every double is a whole number, and fixed format would print all the digits of
  // its exact binary value (1e23 as 99999999999999991611392). The fewest significant digits come
  // from scientific format; they are then written out positionally with trailing zeros.
  constexpr double TWO_TO_53 = 9007199254740992.0;
  if (std::fabs(value) >= TWO_TO_53) {
    auto [end, ec] =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
    if (ec != std::errc{}) return;
    const std::string_view text(buffer, static_cast<std::size_t>(end - buffer));
    const std::size_t e = text.find('e');
    int exponent = 0;
    std::from_chars(text.data() + e + (text[e + 1] == '+' ? 2 : 1), end, exponent);
    int digits = 0;
    for (char c : text.substr(0, e)) {
      if (c == '-') {
        out += c;
      } else if (c != '.') {
        out += c;
        ++digits;
      }
    }
    out.append(static_cast<std::size_t>(exponent - (digits - 1)), '0');
    return;
  }
  // Below 2^53, fixed format without a precision gives the shortest digits that round-trip.
  auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed);
  if (ec == std::errc{}) out.append(buffer, end);
}

std::string shortest(double value) {
  std::string out;
  append_shortest(out, value);
  return out;
}

void append_uint(std::string& out, std::uint64_t value) {
  char buffer[24];
  auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
  if (ec == std::errc{}) out.append(buffer, end);
}

}  // namespace vantorel::numfmt
