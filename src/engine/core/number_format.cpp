// Shortest round-trip digits come from std::to_chars in scientific form with
// no precision (it is exact and shortest for the value's own width); this
// file only moves the decimal point. chars_format::fixed is avoided on
// purpose: for large values it prints the closest digits, not the shortest,
// e.g. the float 4294967808 would come out as "4294967808" not "4294968000".
#include "engine/core/number_format.hpp"

#include <charconv>
#include <cmath>
#include <cstring>
#include <ostream>
#include <system_error>

namespace qx {

Text& Text::operator+=(std::string_view text) {
  const std::size_t room = kCapacity - size_;
  const std::size_t n = text.size() < room ? text.size() : room;
  std::memcpy(data_ + size_, text.data(), n);
  size_ += n;
  data_[size_] = '\0';
  return *this;
}

std::ostream& operator<<(std::ostream& out, const Text& text) { return out << text.view(); }

namespace {

Text repeated(char ch, long count) {
  Text out;
  for (long i = 0; i < count; ++i) out += ch;
  return out;
}

// `sci` is "[-]d[.ddd]e[+-]xx"; writes its value positionally.
Text positional(std::string_view sci) {
  Text out;
  if (!sci.empty() && sci.front() == '-') {
    out += '-';
    sci.remove_prefix(1);
  }
  const auto e_pos = sci.find('e');
  const std::string_view mantissa = sci.substr(0, e_pos);
  std::string_view exponent_text = sci.substr(e_pos + 1);
  if (exponent_text.front() == '+') exponent_text.remove_prefix(1);  // from_chars takes '-' only
  int exponent = 0;
  std::from_chars(exponent_text.data(), exponent_text.data() + exponent_text.size(), exponent);

  char digits[32];
  long count = 0;
  for (char ch : mantissa) {
    if (ch != '.') digits[count++] = ch;
  }
  const std::string_view all(digits, static_cast<std::size_t>(count));
  // Value = 0.digits × 10^(exponent + 1): the decimal point sits after
  // `point` digits (negative means leading zeros after "0.").
  const long point = static_cast<long>(exponent) + 1;
  if (point <= 0) {
    out += "0.";
    out += repeated('0', -point);
    out += all;
  } else if (point >= count) {
    out += all;
    out += repeated('0', point - count);
  } else {
    out += all.substr(0, static_cast<std::size_t>(point));
    out += '.';
    out += all.substr(static_cast<std::size_t>(point));
  }
  return out;
}

template <class F>
Text format_float(F value) {
  if (std::isnan(value)) return Text("NaN");
  if (std::isinf(value)) return Text(value < 0 ? "-inf" : "inf");
  if (value == 0) return Text(std::signbit(value) ? "-0" : "0");
  char buffer[64];
  const auto result =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
  return positional(std::string_view(buffer, static_cast<std::size_t>(result.ptr - buffer)));
}

template <class I>
Text format_integer(I value) {
  char buffer[24];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  return Text(std::string_view(buffer, static_cast<std::size_t>(result.ptr - buffer)));
}

}  // namespace

Text format_f64(double value) { return format_float(value); }
Text format_f32(float value) { return format_float(value); }
Text format_u64(std::uint64_t value) { return format_integer(value); }
Text format_i64(std::int64_t value) { return format_integer(value); }

}  // namespace qx
