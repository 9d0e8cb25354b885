// Hashing and comparing the short texts of a module (names, dtypes), for the
// open-addressing tables of the parser and the passes. Not meant to resist
// chosen collisions: those tables probe linearly and stay at most half full.
#pragma once

#include <cstdint>
#include <cstring>
#include <functional>
#include <string_view>

namespace quarvel {

/// A 64-bit hash from at most two loads of eight bytes for texts up to 16
/// bytes; longer texts take the library's hash.
inline std::uint64_t text_hash(std::string_view text) {
  const char* s = text.data();
  const std::size_t n = text.size();
  if (n == 0) return 0x9e3779b97f4a7c15ull;
  std::uint64_t a;
  std::uint64_t b;
  if (n >= 8) {
    if (n > 16) return std::hash<std::string_view>{}(text);
    std::memcpy(&a, s, 8);
    std::memcpy(&b, s + n - 8, 8);
  } else if (n >= 4) {
    std::uint32_t x;
    std::uint32_t y;
    std::memcpy(&x, s, 4);
    std::memcpy(&y, s + n - 4, 4);
    a = x;
    b = y;
  } else {
    a = static_cast<unsigned char>(s[0]) | static_cast<unsigned char>(s[n / 2]) << 8 |
        static_cast<std::uint64_t>(static_cast<unsigned char>(s[n - 1])) << 16;
    b = 0;
  }
  const unsigned __int128 m =
      static_cast<unsigned __int128>(a ^ 0x9e3779b97f4a7c15ull) * (b ^ n ^ 0xe7037ed1a0b428dbull);
  return static_cast<std::uint64_t>(m) ^ static_cast<std::uint64_t>(m >> 64);
}

namespace detail {
// Whether the first and the last sizeof(Word) of `n` bytes (sizeof(Word) <=
// n <= 2 * sizeof(Word)) are equal: all of them, in two loads each.
template <class Word>
bool same_ends(const char* a, const char* b, std::size_t n) {
  Word x0, x1, y0, y1;
  std::memcpy(&x0, a, sizeof(Word));
  std::memcpy(&y0, b, sizeof(Word));
  std::memcpy(&x1, a + n - sizeof(Word), sizeof(Word));
  std::memcpy(&y1, b + n - sizeof(Word), sizeof(Word));
  return ((x0 ^ y0) | (x1 ^ y1)) == 0;
}
}  // namespace detail

/// Byte equality; texts up to 16 bytes are compared in at most two loads of
/// eight bytes instead of a call.
inline bool same_text(std::string_view a, std::string_view b) {
  const std::size_t n = a.size();
  if (n != b.size()) return false;
  if (n > 16) return std::memcmp(a.data(), b.data(), n) == 0;
  if (n >= 8) return detail::same_ends<std::uint64_t>(a.data(), b.data(), n);
  if (n >= 4) return detail::same_ends<std::uint32_t>(a.data(), b.data(), n);
  // One to three bytes: the first, middle and last byte cover them all.
  if (n == 0) return true;
  return a[0] == b[0] && a[n / 2] == b[n / 2] && a[n - 1] == b[n - 1];
}

}  // namespace quarvel
