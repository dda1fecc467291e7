#include "core/exposition.h"

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
