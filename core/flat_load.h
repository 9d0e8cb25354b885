// The one-call pipeline from a source file and a TOML configuration file to
// the JSON form of the flattened module, and the configuration readers and
// weight renaming it is made of.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/ast.h"
#include "python/config.h"

namespace quarvel {

std::string load_flat_json(const std::string& qrv_path, const std::string& config_path,
                           const std::string& entry, const std::vector<std::string>& cache_keys);

// Weight key ("weights.layer.attn") to target name; the name may hold "{}"
// holes that the index parts of a reference fill.
using WeightMap = TextMap<std::string>;

// Keys, tables and arrays nested deeper than this are refused before the TOML
// parser sees the text (its tree building and teardown recurse per level).
inline constexpr std::size_t kMaxTomlNesting = 1000;

// The whole file at `path` as UTF-8 text; fails with "failed to read {path}: {why}".
std::string read_config_text(const std::string& path);

// The configuration values and the weight names of a TOML document. `path`
// only names the document in the "failed to parse {path}: {error}" message.
ConfigMap config_from_toml(std::string_view text, std::string_view path);
WeightMap weights_from_toml(std::string_view text, std::string_view path);

// Each reads and parses the file on its own.
ConfigMap load_config(const std::string& config_path);
WeightMap load_weights(const std::string& config_path);

// The new text of one weight reference, or nothing when it stays as it is.
std::optional<std::string> resolve_weight_name(std::string_view reference, const WeightMap& map);

// Renames, in place, every `Str` argument of every operation that begins
// "weights." and resolves through `map`.
void rename_weight_args(Module& module, const WeightMap& map);

}  // namespace quarvel
