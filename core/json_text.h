// Byte classes of JSON string text, shared by the JSON reader and writer.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace quarvel {

// A table that marks the bytes a JSON string cannot hold as they stand: the
// control bytes, the double quote and the backslash; with `non_ascii`, also
// every byte from 0x80 up.
constexpr std::array<bool, 256> json_string_stops(bool non_ascii) {
  std::array<bool, 256> table{};
  for (int c = 0; c < 0x20; ++c) table[c] = true;
  if (non_ascii)
    for (int c = 0x80; c < 0x100; ++c) table[c] = true;
  table['"'] = true;
  table['\\'] = true;
  return table;
}

template <bool NonAscii>
inline constexpr std::array<bool, 256> kJsonStringStops = json_string_stops(NonAscii);

// The index of the first byte of s[p, n) that the table `json_string_stops(
// NonAscii)` marks, or `n`. Eight bytes are looked at a time: a byte is a stop
// when it is the quote or the backslash (a zero byte after the exclusive
// or), below 0x20, or (with NonAscii) has its top bit set. Each test is exact
// for its lowest hit, which is all that is used.
template <bool NonAscii>
inline std::size_t json_plain_end(const unsigned char* s, std::size_t p, std::size_t n) {
  if constexpr (std::endian::native == std::endian::little) {
    constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
    constexpr std::uint64_t kHigh = 0x8080808080808080ULL;
    while (n - p >= 8) {
      std::uint64_t v;
      std::memcpy(&v, s + p, 8);
      const std::uint64_t quote = v ^ (kOnes * '"');
      const std::uint64_t backslash = v ^ (kOnes * '\\');
      std::uint64_t stops = ((quote - kOnes) & ~quote) | ((backslash - kOnes) & ~backslash) |
                            ((v - kOnes * 0x20) & ~v);
      if constexpr (NonAscii) stops |= v;
      if (const std::uint64_t hits = stops & kHigh) return p + (std::countr_zero(hits) >> 3);
      p += 8;
    }
  }
  while (p < n && !kJsonStringStops<NonAscii>[s[p]]) ++p;
  return p;
}

}  // namespace quarvel
