// Configuration readers over arbitrary documents: every input must end in a
// result or a Failure, never in a crash or a sanitizer report.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/error.h"
#include "core/parse.h"
#include "python/flat_load.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  // The file reader refuses anything else before the parser sees it.
  if (!quarvel::valid_utf8(text)) return 0;
  try {
    quarvel::config_from_toml(text, "fuzz.toml");
  } catch (const quarvel::Failure&) {
  }
  try {
    const quarvel::WeightMap map = quarvel::weights_from_toml(text, "fuzz.toml");
    for (const auto& entry : map) {
      (void)quarvel::resolve_weight_name(entry.first + ".0..12", map);
      (void)quarvel::resolve_weight_name(entry.second, map);
    }
  } catch (const quarvel::Failure&) {
  }
  return 0;
}
