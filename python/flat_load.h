// The one-call pipeline from a source file and a TOML configuration file to
// the JSON form of the flattened module.
#pragma once

#include <string>
#include <vector>

namespace quarvel {

std::string load_flat_json(const std::string& qrv_path, const std::string& config_path,
                           const std::string& entry, const std::vector<std::string>& cache_keys);

}  // namespace quarvel
