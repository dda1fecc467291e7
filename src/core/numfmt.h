// Number-to-text rules shared by every text the module produces: fixed point for the __repr__
// texts, shortest round-trip for Prometheus sample values. Pure functions; any thread.
#pragma once

#include <cstdint>
#include <string>

namespace vantorel::numfmt {

// Fixed point with exactly `decimals` digits, rounded correctly from the exact binary value
// (exact ties go to the even digit). "NaN", "inf", "-inf"; negative zero keeps its sign.
void append_fixed(std::string& out, double value, int decimals);
[[nodiscard]] std::string fixed(double value, int decimals);

// The fewest significant digits that read back as the same double, in plain positional
// notation (no exponent), no decimal point for whole numbers. "NaN", "+Inf", "-Inf", "-0".
void append_shortest(std::string& out, double value);
[[nodiscard]] std::string shortest(double value);

void append_uint(std::string& out, std::uint64_t value);

}  // namespace vantorel::numfmt
