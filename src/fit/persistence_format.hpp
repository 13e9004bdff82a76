// Constants of the byte layout shared by the writer (fit/persistence_write.cpp)
// and the reader (fit/persistence_read.cpp) of a fitted model.
#pragma once

#include <array>
#include <cstdint>

namespace quelt::persist {

inline constexpr std::array<std::uint8_t, 5> kMagic = {'Q', 'U', 'E', 'L', 'T'};
inline constexpr std::uint8_t kArrayVersion = 1;
inline constexpr std::uint32_t kLinkVariants = 4;
inline constexpr std::uint32_t kPredictorVariants = 7;
inline constexpr std::uint32_t kMarginVariants = 1;

}  // namespace quelt::persist
