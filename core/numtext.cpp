#include "core/numtext.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <system_error>

namespace quarvel {

void append_uint(std::string& out, std::uint64_t value) {
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof buf, value);
  out.append(buf, r.ptr);
}

void append_int(std::string& out, std::int64_t value) {
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof buf, value);
  out.append(buf, r.ptr);
}

namespace {

// The digits of |x| when it reads back from a decimal m * 10^-k with m below
// 10^15 and k at most 22, as most values written in a source do: such a
// decimal is the only one of at most 15 significant digits that reads back
// to |x| (any two that did would print alike to 15 digits), so it is the
// shortest. m and 10^k are exact doubles, and their quotient, rounded once,
// is |x| exactly when the decimal reads back to |x|.
bool short_decimal_digits(double x, ShortestDigits& d) {
  const double a = std::fabs(x);
  if (!(a >= 1e-22 && a < 1e15)) return false;
  for (int k = 0; k <= 22; ++k) {
    const double scaled = a * kExactPowersOfTen[k];
    if (scaled >= 1e15) return false;
    if (scaled != std::floor(scaled) || scaled / kExactPowersOfTen[k] != a) continue;
    auto m = static_cast<std::uint64_t>(scaled);
    char buf[20];
    const char* const end = std::to_chars(buf, buf + sizeof buf, m).ptr;
    const int length = static_cast<int>(end - buf);
    d.count = length;
    std::memcpy(d.digits, buf, static_cast<std::size_t>(length));
    while (d.count > 1 && d.digits[d.count - 1] == '0') --d.count;
    d.exponent = length - 1 - k;
    return true;
  }
  return false;
}

}  // namespace

ShortestDigits shortest_digits(double x) {
  ShortestDigits d{};
  if (short_decimal_digits(x, d)) return d;
  // Scientific form gives the shortest round-trip digits as d.ddde[+-]XX.
  char buf[40];
  auto r = std::to_chars(buf, buf + sizeof buf, std::fabs(x), std::chars_format::scientific);
  const char* p = buf;
  for (; p < r.ptr && *p != 'e'; ++p)
    if (*p != '.') d.digits[d.count++] = *p;
  while (d.count > 1 && d.digits[d.count - 1] == '0') --d.count;
  int exponent = 0;
  std::from_chars(p + 1 + (p[1] == '+' ? 1 : 0), r.ptr, exponent);
  d.exponent = exponent;
  return d;
}

namespace {

// Full positional layout of nonzero digits: 0.000ddd, dd.ddd or ddd000.0.
void append_positional(std::string& out, const ShortestDigits& d) {
  const int n = d.count;
  const int e = d.exponent;
  if (e < 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-e - 1), '0');
    out.append(d.digits, static_cast<std::size_t>(n));
  } else if (e <= n - 2) {
    out.append(d.digits, static_cast<std::size_t>(e + 1));
    out += '.';
    out.append(d.digits + e + 1, static_cast<std::size_t>(n - e - 1));
  } else {
    out.append(d.digits, static_cast<std::size_t>(n));
    out.append(static_cast<std::size_t>(e - n + 1), '0');
    out += ".0";
  }
}

}  // namespace

void append_json_float(std::string& out, double x) {
  if (std::signbit(x)) out += '-';
  if (x == 0) {
    out += "0.0";
    return;
  }
  const ShortestDigits d = shortest_digits(x);
  const int n = d.count;
  const int e = d.exponent;
  if (e >= -5 && e <= 15) {
    append_positional(out, d);
    return;
  }
  out += d.digits[0];
  if (n > 1) {
    out += '.';
    out.append(d.digits + 1, static_cast<std::size_t>(n - 1));
  }
  out += e > 0 ? "e+" : "e-";
  append_int(out, e > 0 ? e : -e);
}

std::string json_float_text(double x) {
  std::string out;
  append_json_float(out, x);
  return out;
}

void append_printer_float(std::string& out, double x) {
  if (std::isinf(x)) {
    out += x > 0 ? "inf" : "-inf";
    return;
  }
  if (std::isnan(x)) {
    out += "NaN.0";
    return;
  }
  if (std::signbit(x)) out += '-';
  if (x == 0) {
    out += "0.0";
    return;
  }
  append_positional(out, shortest_digits(x));
}

std::string format_float(double x) {
  std::string out;
  append_printer_float(out, x);
  return out;
}

}  // namespace quarvel
