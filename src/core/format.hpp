// Message formatting shared by every error text.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace quelt {

// Shortest round-trip decimal in positional notation: 2.0 -> "2",
// 1e-7 -> "0.0000001", NaN -> "NaN", infinities -> "inf" / "-inf", -0.0 -> "-0".
std::string fmt_float(double v);

// Three digits after the point and a plain exponent: 0.00123 -> "1.230e-3",
// 2.0 -> "2.000e0", 12345678901 -> "1.235e10"; NaN -> "NaN", inf -> "inf".
std::string fmt_exp3(double v);

// A string in double quotes with backslash escapes for '"', '\\' and control
// characters (\n, \r, \t, \0, others as \u{XX}).
std::string quoted(std::string_view s);

// A byte count in gigabytes (10^9 bytes) with three significant digits:
// 4.6e9 -> "4.6 GB", 8e18 -> "8e+09 GB".
std::string fmt_gigabytes(double bytes);

// Decimal integer.
inline std::string fmt_uint(std::uint64_t v) { return std::to_string(v); }

}  // namespace quelt
