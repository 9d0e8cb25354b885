// Configuration values, their JSON reading and their substitution into a module.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/ast.h"

namespace quarvel {

struct ConfigValue {
  std::variant<std::int64_t, double, std::vector<double>> v;
  bool operator==(const ConfigValue&) const = default;
};

// Names are stored without the "param." prefix; a later insertion wins.
using ConfigMap = TextMap<ConfigValue>;

// One JSON object from name to number or array of numbers. A reading error
// ends the call in the unwrap form with the JSON error's debug form.
ConfigMap read_config_map_json(std::string_view text);

// A copy of `module` with configured dimensions and loop counts substituted,
// built over the module's context: what no name touches is shared with the
// input, which stays as it was. With an empty table the copy is the module.
Module apply_config(const Module& module, const ConfigMap& config);

}  // namespace quarvel
