// Byte classes of JSON string text, shared by the JSON reader and writer.
#pragma once

#include <array>

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

}  // namespace quarvel
