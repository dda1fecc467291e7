#include "core/exposition.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>

#include "core/numfmt.h"

namespace vantorel::exposition {
namespace {

constexpr std::uint64_t TWO_TO_53 = std::uint64_t{1} << 53;

// 16 hex digits of `value` at `at`.
char* put_hex(char* at, std::uint64_t value) {
  constexpr char HEX[] = "0123456789abcdef";
  for (int shift = 60; shift >= 0; shift -= 4) *at++ = HEX[(value >> shift) & 0xF];
  return at;
}

// Whole microseconds as seconds: the digits, then up to six decimals without trailing zeros.
void append_micros(std::string& out, std::uint64_t micros) {
  numfmt::append_uint(out, micros / 1'000'000u);
  std::uint64_t rest = micros % 1'000'000u;
  if (rest == 0) return;
  char decimals[7] = {'.', '0', '0', '0', '0', '0', '0'};
  for (std::size_t i = 6; i > 0; rest /= 10, --i) decimals[i] = static_cast<char>('0' + rest % 10);
  std::size_t size = sizeof decimals;
  while (decimals[size - 1] == '0') --size;
  out.append(decimals, size);
}

}  // namespace

void head(std::string& out, const Format& format, std::string_view name, std::string_view type,
          std::string_view help, std::string_view unit) {
  std::string_view family = name;
  if (format.openmetrics && type == "counter" && family.ends_with("_total")) {
    family.remove_suffix(6);
  }
  out += "# HELP ";
  out += family;
  out += ' ';
  for (const char c : help) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '"' && format.openmetrics) {
      out += "\\\"";
    } else {
      out += c;
    }
  }
  out += "\n# TYPE ";
  out += family;
  out += ' ';
  out += type;
  out += '\n';
  if (format.openmetrics && !unit.empty()) {
    out += "# UNIT ";
    out += family;
    out += ' ';
    out += unit;
    out += '\n';
  }
}

void open_sample(std::string& out, const Format& format, std::string_view name,
                 std::string_view labels, std::string_view more) {
  out += name;
  if (!format.constant.empty() || !labels.empty() || !more.empty()) {
    out += '{';
    bool first = true;
    for (const std::string_view part : {std::string_view(format.constant), labels, more}) {
      if (part.empty()) continue;
      if (!first) out += ',';
      out += part;
      first = false;
    }
    out += '}';
  }
  out += ' ';
}

void label_value(std::string& out, std::string_view value) {
  std::size_t plain = 0;
  for (std::size_t i = 0; i < value.size(); ++i) {
    const char c = value[i];
    if (c != '\\' && c != '"' && c != '\n') continue;
    out.append(value.data() + plain, i - plain);
    out += c == '\n' ? "\\n" : c == '"' ? "\\\"" : "\\\\";
    plain = i + 1;
  }
  out.append(value.data() + plain, value.size() - plain);
}

void go_float(std::string& out, double value) {
  if (std::isinf(value)) {
    out += value > 0 ? "+Inf" : "-Inf";
    return;
  }
  if (std::isnan(value)) {
    out += "NaN";
    return;
  }
  // The shortest digits that read back, and the decimal exponent of the first one.
  char buffer[64];
  const auto end =
      std::to_chars(buffer, buffer + sizeof buffer, std::abs(value), std::chars_format::scientific)
          .ptr;
  const std::string_view text(buffer, static_cast<std::size_t>(end - buffer));
  const std::size_t e = text.find('e');
  std::string digits;
  for (const char c : text.substr(0, e)) {
    if (c != '.') digits += c;
  }
  int exponent = 0;
  std::from_chars(text.data() + e + 1 + (text[e + 1] == '+'), text.data() + text.size(), exponent);
  std::string repr = value < 0 || (value == 0 && std::signbit(value)) ? "-" : "";
  if (exponent < -4 || exponent >= 16) {
    // Python's repr: d.ddde+XX, the exponent with at least two digits.
    repr += digits[0];
    if (digits.size() > 1) {
      repr += '.';
      repr.append(digits, 1);
    }
    repr += exponent < 0 ? "e-" : "e+";
    const int magnitude = std::abs(exponent);
    if (magnitude < 10) repr += '0';
    repr += std::to_string(magnitude);
    out += repr;
    return;
  }
  if (exponent < 0) {
    repr += "0.";
    repr.append(static_cast<std::size_t>(-exponent - 1), '0');
    repr += digits;
  } else {
    const auto whole = static_cast<std::size_t>(exponent) + 1;
    if (digits.size() < whole) digits.append(whole - digits.size(), '0');
    repr += digits.substr(0, whole);
    repr += '.';
    repr += digits.size() > whole ? digits.substr(whole) : std::string("0");
  }
  // Go writes an exponent sooner than Python: from seven digits before the point on.
  const std::size_t dot = repr.find('.');
  if (value > 0 && dot > 6) {
    std::string mantissa = repr.substr(0, 1) + "." + repr.substr(1, dot - 1) + repr.substr(dot + 1);
    while (!mantissa.empty() && (mantissa.back() == '0' || mantissa.back() == '.')) {
      mantissa.pop_back();
    }
    out += mantissa;
    out += "e+";
    if (dot - 1 < 10) out += '0';
    out += std::to_string(dot - 1);
    return;
  }
  out += repr;
}

void count(std::string& out, std::uint64_t value) {
  // Whole numbers below 2^53 print as their digits, exactly what shortest round-trip gives
  // them, without its detour through a double.
  if (value < TWO_TO_53) {
    numfmt::append_uint(out, value);
  } else {
    numfmt::append_shortest(out, static_cast<double>(value));
  }
}

void exemplar(std::string& out, const Format& format, const series::Exemplar& exemplar) {
  if (!format.openmetrics || exemplar.time_us == 0) return;
  // The ids put together in place: one append, not one per digit.
  constexpr std::string_view OPEN = " # {trace_id=\"", SPAN = "\",span_id=\"", CLOSE = "\"} ";
  char ids[OPEN.size() + 32 + SPAN.size() + 16 + CLOSE.size()];
  char* at = std::copy(OPEN.begin(), OPEN.end(), ids);
  at = put_hex(put_hex(at, exemplar.trace_hi), exemplar.trace_lo);
  at = std::copy(SPAN.begin(), SPAN.end(), at);
  at = put_hex(at, exemplar.span);
  at = std::copy(CLOSE.begin(), CLOSE.end(), at);
  out.append(ids, static_cast<std::size_t>(at - ids));
  // The value (a duration in seconds, or a count's 1) and the time, both to the microsecond:
  // written as the integers they are, far cheaper than a shortest double each.
  const double micros = std::round(exemplar.value * 1e6);
  if (micros >= 0 && micros < 1e15) {
    append_micros(out, static_cast<std::uint64_t>(micros));
  } else {
    numfmt::append_shortest(out, exemplar.value);
  }
  out += ' ';
  append_micros(out, exemplar.time_us);
}

}  // namespace vantorel::exposition
