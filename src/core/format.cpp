#include "core/format.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "core/error.hpp"

namespace quelt {

std::string fmt_float(double v) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v > 0 ? "inf" : "-inf";
  // The longest fixed rendering of a double (smallest subnormal) is about
  // 1080 characters.
  char buf[1200];
  auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed);
  if (res.ec != std::errc()) invariant_failed("fmt_float: buffer too small");
  return std::string(buf, res.ptr);
}

std::string fmt_exp3(double v) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v > 0 ? "inf" : "-inf";
  char buf[64];
  int len = std::snprintf(buf, sizeof buf, "%.3e", v);
  std::string s(buf, static_cast<std::size_t>(len));
  // "%.3e" gives "1.230e-03"; drop the '+' and the exponent's leading zeros.
  auto e = s.find('e');
  std::string mant = s.substr(0, e);
  std::string ex = s.substr(e + 1);
  bool neg = false;
  std::size_t i = 0;
  if (i < ex.size() && (ex[i] == '+' || ex[i] == '-')) {
    neg = ex[i] == '-';
    ++i;
  }
  while (i + 1 < ex.size() && ex[i] == '0') ++i;
  return mant + "e" + (neg ? "-" : "") + ex.substr(i);
}

std::string quoted(std::string_view s) {
  std::string out;
  out.reserve(s.size() + 2);
  out.push_back('"');
  for (unsigned char c : s) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\0':
        out += "\\0";
        break;
      default:
        if (c < 0x20 || c == 0x7f) {
          char buf[16];
          std::snprintf(buf, sizeof buf, "\\u{%x}", c);
          out += buf;
        } else {
          out.push_back(static_cast<char>(c));
        }
    }
  }
  out.push_back('"');
  return out;
}

std::string QueltError::display() const {
  switch (kind) {
    case Kind::InvalidParameter:
      return "invalid parameter: " + message;
    case Kind::SingularSystem:
      return "singular system: " + message;
    case Kind::NotConverged:
      return "solver did not converge after " + fmt_uint(iters) +
             " iterations (last grad norm = " + fmt_exp3(grad_norm) + ")";
    case Kind::Linalg:
      return "linalg failure: " + message;
  }
  return message;
}

void invariant_failed(const std::string& msg) { throw InvariantViolation(msg); }

std::string fmt_gigabytes(double bytes) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.3g GB", bytes / 1e9);
  return buf;
}

}  // namespace quelt
