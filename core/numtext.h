// Texts of numbers shared by the JSON form, the printer and messages.
#pragma once

#include <cstdint>
#include <string>

namespace quarvel {

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
