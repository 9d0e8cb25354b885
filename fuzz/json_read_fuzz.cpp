// Module JSON and configuration JSON read from arbitrary bytes: every input
// must either read or end with a Failure; what reads must write and read back
// to the same text.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/error.h"
#include "core/json_read.h"
#include "core/json_write.h"
#include "core/config.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  try {
    const std::string written = quarvel::write_module_json(quarvel::read_module_json(text));
    if (quarvel::write_module_json(quarvel::read_module_json(written)) != written) __builtin_trap();
  } catch (const quarvel::Failure&) {
  }
  try {
    quarvel::read_config_map_json(text);
  } catch (const quarvel::Failure&) {
  }
  return 0;
}
