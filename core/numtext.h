// Texts of numbers shared by the JSON form, the printer and messages.
#pragma once

#include <cstdint>
#include <string>

namespace quarvel {

// The powers of ten that are exact doubles, 1e0 to 1e22: a whole number
// below 2^53 times or divided by one of them is rounded once, correctly.
inline constexpr double kExactPowersOfTen[] = {
    1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
    1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// Decimal digits, "-" before a negative value, never "+".
void append_int(std::string& out, std::int64_t value);
void append_uint(std::string& out, std::uint64_t value);

// The shortest digits that read back to |x| (finite, nonzero), with the
// decimal exponent of the first digit: |x| = d1.d2...dn * 10^exponent.
struct ShortestDigits {
  char digits[20];
  int count;
  int exponent;
};
ShortestDigits shortest_digits(double x);

// JSON float text of a finite value: positional for decimal exponents -5 to
// 15, exponent text (1e+16, 1.5e-7) otherwise; always holds "." or "e".
void append_json_float(std::string& out, double x);
std::string json_float_text(double x);

// Printer float text: always positional, "inf"/"-inf", "NaN.0", and ".0"
// after an integral value.
void append_printer_float(std::string& out, double x);
std::string format_float(double x);

}  // namespace quarvel
