// Configuration readers over arbitrary documents: every input must end in a
// result or a Failure, never in a crash or a sanitizer report. The weight
// names the document gives are then resolved, one by one and over a module.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/ast.h"
#include "core/error.h"
#include "core/file_read.h"
#include "core/flat_load.h"
#include "core/toml_config.h"

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
    quarvel::Module module;
    quarvel::Context& ctx = module.ctx();
    std::vector<quarvel::Atom> args;
    for (const auto& entry : map) {
      const std::string indexed = entry.first + ".0..12";
      (void)quarvel::resolve_weight_name(indexed, map);
      (void)quarvel::resolve_weight_name(entry.second, map);
      args.push_back(quarvel::Atom::str(ctx.text(indexed)));
      args.push_back(quarvel::Atom::str(ctx.text(entry.second)));
    }
    quarvel::Function main;
    main.name = "main";
    quarvel::Op op;
    op.head = ctx.head(quarvel::Map{"f"});
    op.args = ctx.list(args);
    main.ops.push_back(op);
    module.functions.insert("main", main);
    (void)quarvel::rename_weight_args(module, map);
  } catch (const quarvel::Failure&) {
  }
  return 0;
}
