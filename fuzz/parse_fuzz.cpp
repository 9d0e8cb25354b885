// Parses arbitrary UTF-8 text; failures with a message are expected, any
// other outcome (a crash, a sanitizer report, a stray exception) is a bug.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/error.h"
#include "core/parse.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view source(reinterpret_cast<const char*>(data), size);
  if (!quarvel::valid_utf8(source)) return -1;  // not a text the callers can pass
  try {
    const quarvel::Module m = quarvel::parse_source(source);
    (void)m;
  } catch (const quarvel::Failure&) {
  }
  return 0;
}
