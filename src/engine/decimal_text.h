// Decimal numbers as 16-bit text, for the run's texts and result names. Private to the engine.
#ifndef VELLOMIR_ENGINE_DECIMAL_TEXT_H_
#define VELLOMIR_ENGINE_DECIMAL_TEXT_H_

#include <cstdint>
#include <string>

namespace vellomir {

inline std::u16string DecimalText(int64_t value) {
  const std::string digits = std::to_string(value);
  return std::u16string(digits.begin(), digits.end());
}

}  // namespace vellomir

#endif  // VELLOMIR_ENGINE_DECIMAL_TEXT_H_
