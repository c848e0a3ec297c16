// Shortest round-trip digits come from std::to_chars in scientific form with
// no precision (it is exact and shortest for the value's own width); this
// file only moves the decimal point. chars_format::fixed is avoided on
// purpose: for large values it prints the closest digits, not the shortest,
// e.g. the float 4294967808 would come out as "4294967808" not "4294968000".
#include "engine/number_format.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string_view>
#include <system_error>

namespace qx {
namespace {

// `sci` is "[-]d[.ddd]e[+-]xx"; writes its value positionally.
std::string positional(std::string_view sci) {
  std::string out;
  if (!sci.empty() && sci.front() == '-') {
    out.push_back('-');
    sci.remove_prefix(1);
  }
  const auto e_pos = sci.find('e');
  const std::string_view mantissa = sci.substr(0, e_pos);
  const int exponent = std::atoi(std::string(sci.substr(e_pos + 1)).c_str());

  std::string digits;
  for (char ch : mantissa) {
    if (ch != '.') digits.push_back(ch);
  }
  // Value = 0.digits × 10^(exponent + 1): the decimal point sits after
  // `point` digits (negative means leading zeros after "0.").
  const long point = static_cast<long>(exponent) + 1;
  const long count = static_cast<long>(digits.size());
  if (point <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-point), '0');
    out += digits;
  } else if (point >= count) {
    out += digits;
    out.append(static_cast<std::size_t>(point - count), '0');
  } else {
    out.append(digits, 0, static_cast<std::size_t>(point));
    out.push_back('.');
    out.append(digits, static_cast<std::size_t>(point), std::string::npos);
  }
  return out;
}

template <class F>
std::string format_float(F value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  if (value == 0) return std::signbit(value) ? "-0" : "0";
  char buffer[64];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value,
                                    std::chars_format::scientific);
  return positional(std::string_view(buffer, static_cast<std::size_t>(result.ptr - buffer)));
}

}  // namespace

std::string format_f64(double value) { return format_float(value); }
std::string format_f32(float value) { return format_float(value); }

}  // namespace qx
