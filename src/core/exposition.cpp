#include "core/exposition.h"

#include <charconv>
#include <cmath>
#include <cstdlib>

#include "core/numfmt.h"

namespace vantorel::exposition {
namespace {

constexpr std::uint64_t TWO_TO_53 = std::uint64_t{1} << 53;

void append_hex(std::string& out, std::uint64_t value, int digits) {
  constexpr char HEX[] = "0123456789abcdef";
  for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) out += HEX[(value >> shift) & 0xF];
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
  out += " # {trace_id=\"";
  append_hex(out, exemplar.trace_hi, 16);
  append_hex(out, exemplar.trace_lo, 16);
  out += "\",span_id=\"";
  append_hex(out, exemplar.span, 16);
  out += "\"} ";
  numfmt::append_shortest(out, exemplar.value);
  out += ' ';
  numfmt::append_shortest(out, static_cast<double>(exemplar.time_us) / 1e6);
}

}  // namespace vantorel::exposition
