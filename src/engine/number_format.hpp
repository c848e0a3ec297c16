// Numbers as the messages and the representation write them: the shortest
// digit string that reads back to the same value in the value's own width,
// laid out positionally (never an exponent), no trailing ".0", "-" on every
// negative value including -0, and "NaN", "inf", "-inf" for the specials.
#pragma once

#include <string>

namespace qx {

std::string format_f64(double value);
std::string format_f32(float value);

}  // namespace qx
