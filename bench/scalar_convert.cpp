// Compiled with -fno-tree-vectorize (see CMakeLists.txt): the scalar anchor.
#include "anchors.h"

namespace kr2270::bench {

void ScalarCodeToValue(std::int32_t* codes, std::int32_t count, double* values,
                       std::int32_t zero_code, std::int32_t full_code, double span, double offset) {
  for (std::int32_t i = 0; i < count; ++i) {
    std::uint32_t word = static_cast<std::uint32_t>(codes[i]);
    if ((word & 0x800000u) != 0) {
      word |= 0xFF000000u;
    } else {
      word &= 0x00FFFFFFu;
    }
    const auto code = static_cast<std::int32_t>(word);
    codes[i] = code;
    values[i] = static_cast<double>(code - zero_code) * (span - offset) /
                    static_cast<double>(full_code - zero_code) +
                offset;
  }
}

}  // namespace kr2270::bench
