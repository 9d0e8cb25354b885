// The one-call pipeline from a source file and a TOML configuration file to
// the JSON form of the flattened module, and the weight renaming it ends with.
//
// Nothing here depends on the embedding: failures end the call with a
// `Failure` (core/error.h), which the caller turns into its own error.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/ast.h"
#include "core/text_buffer.h"
#include "core/toml_config.h"

namespace quarvel {

// The compact JSON form of the module that `qrv_path` holds, configured,
// axis-inferred, flattened from `entry` and with its weight references
// renamed. The steps run in this order, each to its end, and the first
// failure ends the call with that step's own message:
//   1. the source file is read and parsed (before the configuration file is
//      touched): the messages of `parse_file`;
//   2. the configuration values are read from `config_path` (`load_config`):
//      "failed to read {config_path}: ...", "failed to parse {config_path}: ...",
//      "unexpected value in vector section";
//   3. they are substituted (`apply_config`, which cannot fail);
//   4. axis sizes are inferred: the messages of `infer_axes`;
//   5. the module is flattened from `entry` with `cache_keys` as a set
//      (duplicates collapse): the messages of `flatten_module`, among them
//      its bounds;
//   6. the weight names are read from a second, independent reading of
//      `config_path` (`load_weights`), with the read and parse messages of
//      step 2;
//   7. weight references are renamed (`rename_weight_args`, which cannot fail);
//   8. the result is written as JSON.
// The configuration file is read twice: one that changes between steps 2 and
// 6 gives its old values and its new weight names. The modules the call
// builds belong to it and are dropped at its end; only the JSON text is
// returned.
std::string load_flat_json(const std::string& qrv_path, const std::string& config_path,
                           const std::string& entry, const std::vector<std::string>& cache_keys);
// The same text appended to `out`, which may write into storage of the
// caller's (the final result object, say). A failing step ends the call
// before anything is written.
void load_flat_json(const std::string& qrv_path, const std::string& config_path,
                    const std::string& entry, const std::vector<std::string>& cache_keys,
                    TextBuffer& out);

// The new text of one weight reference, or nothing when it stays as it is.
// A text that `map` holds whole gives its value unchanged. Otherwise the
// reference is split at every "."; parts of ASCII digits only, and empty
// parts, are indices, the other parts joined with "." the key. The key's
// value has each index, in order and as written, put in place of its first
// "{}" left: an index without a hole is dropped, a hole without an index
// stays. A key that `map` does not hold gives nothing.
std::optional<std::string> resolve_weight_name(std::string_view reference, const WeightMap& map);

// A module equal to `module` except that every `Str` argument of every
// operation that begins with the bytes "weights." and resolves through `map`
// holds its new text. The renaming is one step: a new text is not looked up
// again. Outputs, types, parameters, returns, kind fields and comments stay
// as they are, even when they begin with "weights.".
//
// The result is built over `module`'s context: unchanged lists and texts are
// shared by handle, and only the argument lists that change and their new
// texts are added to the context. `module` itself is not changed.
Module rename_weight_args(const Module& module, const WeightMap& map);
// The same for a module the caller no longer needs: its functions are taken
// over and their operations rewritten in place, so that no operation list is
// copied (the pipeline's flattened module).
Module rename_weight_args(Module&& module, const WeightMap& map);

}  // namespace quarvel
