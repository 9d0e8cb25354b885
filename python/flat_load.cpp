#include "python/flat_load.h"

#include "core/error.h"

namespace quarvel {

std::string load_flat_json(const std::string&, const std::string&, const std::string&,
                           const std::vector<std::string>&) {
  fail("load_flat_json is not built yet");
}

}  // namespace quarvel
