// Text the engine writes, without touching the heap: a message must still be
// reportable when memory has run out.
//
// Numbers are written as the messages and the representation show them: the
// shortest digit string that reads back to the same value in the value's own
// width, laid out positionally (never an exponent), no trailing ".0", "-" on
// every negative value including -0, and "NaN", "inf", "-inf" for the
// specials.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <string_view>

namespace qx {

// A text in a fixed buffer, always null-terminated, with room for the
// longest text the engine and the binding write: the representation of a
// limiter, whose three doubles may each take kLongestNumber characters,
// beside some 200 of its own. A text never outgrows it, so nothing is ever
// cut (a test writes the longest one).
class Text {
 public:
  // The longest number written: a negative double at the bottom of the
  // normal range, "-0." and 307 zeros before its 17 significant digits
  // (subnormals have fewer digits and as many places); the largest double
  // takes 309 digits.
  static constexpr std::size_t kLongestNumber = 327;
  static constexpr std::size_t kCapacity = 4 * kLongestNumber + 512;

  Text() = default;
  Text(std::string_view text) { *this += text; }

  Text& operator+=(std::string_view text);
  Text& operator+=(const Text& text) { return *this += text.view(); }
  Text& operator+=(char ch) { return *this += std::string_view(&ch, 1); }

  std::string_view view() const { return {data_, size_}; }
  const char* c_str() const { return data_; }
  std::size_t size() const { return size_; }

  friend bool operator==(const Text& a, std::string_view b) { return a.view() == b; }
  friend std::ostream& operator<<(std::ostream& out, const Text& text);

 private:
  char data_[kCapacity + 1] = {};
  std::size_t size_ = 0;
};

Text format_f64(double value);
Text format_f32(float value);
// Plain decimal digits, with a leading "-" for negative values.
Text format_u64(std::uint64_t value);
Text format_i64(std::int64_t value);

}  // namespace qx
