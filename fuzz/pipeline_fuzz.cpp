// The passes one after another on arbitrary source: parse, write the JSON
// form and read it back, check, infer axes, substitute a configuration and
// flatten with warm cache slots. The input is the source, optionally followed
// by a NUL byte, the configuration JSON, another NUL byte and the warm slot
// names, one per line. Failures with a message are expected; a crash, a
// sanitizer report, a stray exception or a broken invariant is a bug:
//  - the JSON form reads back to a module that writes the same text;
//  - no pass changes its input;
//  - a flattened module holds no call and no loop, and its JSON form reads
//    back too; written op by op as it is made, it has the same text;
//  - flattening makes at least the bytes of new names its plan counted.
// Flattening may legitimately build up to 2^24 ops; the interrupt hook ends
// any pass after a fixed amount of work, so that a run stays short.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/check.h"
#include "core/config.h"
#include "core/error.h"
#include "core/file_read.h"
#include "core/flat_json.h"
#include "core/flatten.h"
#include "core/flatten_detail.h"
#include "core/interrupt.h"
#include "core/json_read.h"
#include "core/json_write.h"
#include "core/parse.h"
#include "core/resolve.h"

namespace {

struct OutOfBudget {};
int g_polls = 0;

// The hook is polled every few thousand steps of a long loop.
void spend() {
  if (++g_polls > 64) throw OutOfBudget{};
}

std::string_view next_part(std::string_view& rest) {
  const std::size_t end = rest.find('\0');
  const std::string_view part = rest.substr(0, end);
  rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
  return part;
}

[[noreturn]] void broken() { __builtin_trap(); }

void check_round_trip(const quarvel::Module& module) {
  const std::string json = quarvel::write_module_json(module);
  if (quarvel::write_module_json(quarvel::read_module_json(json)) != json) broken();
}

void flatten(const quarvel::Module& module, const quarvel::CacheKeys& keys) {
  const std::string before = quarvel::write_module_json(module);
  const std::string_view entry =
      module.functions.contains("main") || module.functions.empty()
          ? std::string_view("main")
          : std::string_view(module.functions.at_position(0).first);
  // Written op by op as it is made, the flat module has the same text, or
  // the same failure. Both runs get the same budget of polls.
  const int polls = g_polls;
  auto streamed = [&] {
    g_polls = polls;
    quarvel::TextBuffer out(0);
    quarvel::write_flat_json(module, entry, keys, out);
    return std::move(out).take();
  };
  try {
    quarvel::FlatNameBytes name_bytes;
    const quarvel::Module flat =
        quarvel::flatten_module(module, entry, keys, quarvel::kMaxFlatNameBytes, &name_bytes);
    if (name_bytes.planned > name_bytes.made) broken();
    if (flat.functions.size() != 1) broken();
    for (const quarvel::Op& op : flat.functions.at_position(0).second.ops) {
      const quarvel::OpTag tag = quarvel::op_tag(op.kind());
      if (tag == quarvel::OpTag::Call || tag == quarvel::OpTag::Loop) broken();
    }
    if (streamed() != quarvel::write_module_json(flat)) broken();
    check_round_trip(flat);
  } catch (const quarvel::Failure& failure) {
    bool alike = false;
    try {
      streamed();
    } catch (const quarvel::Failure& again) {
      alike = again.message() == failure.message();
    }
    if (!alike) broken();
  }
  if (quarvel::write_module_json(module) != before) broken();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view rest(reinterpret_cast<const char*>(data), size);
  const std::string_view source = next_part(rest);
  const std::string_view config_text = next_part(rest);
  if (!quarvel::valid_utf8(source)) return -1;  // not a text the callers can pass
  quarvel::CacheKeys keys;
  for (std::size_t start = 0; start < rest.size();) {
    const std::size_t end = std::min(rest.find('\n', start), rest.size());
    keys.emplace(rest.substr(start, end - start));
    start = end + 1;
  }

  g_polls = 0;
  quarvel::set_interrupt_hook(spend);
  try {
    const quarvel::Module parsed = quarvel::parse_source(source);
    check_round_trip(parsed);
    const quarvel::Module module =
        quarvel::read_module_json(quarvel::write_module_json(parsed));
    const std::string text = quarvel::write_module_json(module);
    try {
      quarvel::check_module(module);
    } catch (const quarvel::Failure&) {
    }
    quarvel::Module inferred = module;
    try {
      inferred = quarvel::infer_axes(module);
    } catch (const quarvel::Failure&) {
    }
    if (quarvel::write_module_json(module) != text) broken();
    quarvel::ConfigMap config;
    try {
      config = quarvel::read_config_map_json(config_text);
    } catch (const quarvel::Failure&) {
    }
    const std::string inferred_text = quarvel::write_module_json(inferred);
    const quarvel::Module configured = quarvel::apply_config(inferred, config);
    if (quarvel::write_module_json(inferred) != inferred_text) broken();
    flatten(configured, keys);
    flatten(module, {});
  } catch (const quarvel::Failure&) {
  } catch (const OutOfBudget&) {
  }
  quarvel::set_interrupt_hook(nullptr);
  return 0;
}
