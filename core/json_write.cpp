#include "core/json_write.h"

#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <variant>

#include "core/json_text.h"
#include "core/numtext.h"
#include "core/text_buffer.h"

namespace quarvel {

namespace {

// The JSON float text of a finite value.
void write_float(TextBuffer& out, double x) { out.put_via(append_json_float, x); }

constexpr std::array<bool, 256> kNeedsEscape = json_string_stops(false);

// A JSON string: the bytes between double quotes, with the double quote, the
// backslash and the control bytes escaped. Everything else, non-ASCII bytes
// included, is copied as it stands. Room for six bytes per byte of the text
// is taken first, so plain bytes go out eight at a time while they are
// scanned, even when a stop among them means that only some of them count.
// Most of the writer's time is spent in this loop; starting it on a cache line
// keeps its speed from depending on where the code around it lands.
[[gnu::aligned(64)]] void write_string_json(TextBuffer& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
  constexpr std::uint64_t kHigh = 0x8080808080808080ULL;
  // At most six bytes per input byte, and the quotes.
  char* p = out.room(text.size() * 6 + 2);
  *p++ = '"';
  const char* s = text.data();
  const std::size_t n = text.size();
  std::size_t i = 0;
  while (i < n) {
    // The plain bytes from i on: at least 6 * (n - i) + 1 bytes of room are left.
    if constexpr (std::endian::native == std::endian::little) {
      while (n - i >= 8) {
        std::uint64_t v;
        std::memcpy(&v, s + i, 8);
        std::memcpy(p, &v, 8);
        const std::uint64_t quote = v ^ (kOnes * '"');
        const std::uint64_t backslash = v ^ (kOnes * '\\');
        const std::uint64_t hits = (((quote - kOnes) & ~quote) | ((backslash - kOnes) & ~backslash) |
                                    ((v - kOnes * 0x20) & ~v)) &
                                   ~v & kHigh;
        if (hits != 0) {
          const std::size_t plain = static_cast<std::size_t>(std::countr_zero(hits)) >> 3;
          p += plain;
          i += plain;
          break;
        }
        p += 8;
        i += 8;
      }
    }
    while (i < n && !kNeedsEscape[static_cast<unsigned char>(s[i])]) *p++ = s[i++];
    if (i == n) break;
    const auto byte = static_cast<unsigned char>(s[i++]);
    *p++ = '\\';
    switch (byte) {
      case '"': *p++ = '"'; break;
      case '\\': *p++ = '\\'; break;
      case 0x08: *p++ = 'b'; break;
      case 0x09: *p++ = 't'; break;
      case 0x0A: *p++ = 'n'; break;
      case 0x0C: *p++ = 'f'; break;
      case 0x0D: *p++ = 'r'; break;
      default:
        *p++ = 'u';
        *p++ = '0';
        *p++ = '0';
        *p++ = kHex[byte >> 4];
        *p++ = kHex[byte & 0xF];
        break;
    }
  }
  *p++ = '"';
  out.advance_to(p);
}

void write_strings_json(TextBuffer& out, List<Text> items) {
  out += '[';
  write_separated(out, items, ',', write_string_json);
  out += ']';
}

// A finite float as JSON float text; null for the infinities and not-a-number.
void write_number_or_null_json(TextBuffer& out, double x) {
  if (std::isfinite(x)) {
    write_float(out, x);
  } else {
    out += "null";
  }
}

void write_dim_json(TextBuffer& out, const Dim& dim) {
  if (dim.is_concrete()) {
    out.put_int(dim.value());
  } else {
    write_string_json(out, dim.name());
  }
}

void write_tensor_type_json(TextBuffer& out, const TensorType& ty) {
  out += "{\"dtype\":";
  write_string_json(out, ty.dtype);
  out += ",\"shape\":[";
  write_separated(out, ty.shape, ',', write_dim_json);
  out += "]}";
}

using TypeWriter = ModuleJsonWriter::RecentTypes;

void write_params_json(TextBuffer& out, List<Param> params, TypeWriter& types) {
  out += '[';
  write_separated(out, params, ',', [&](TextBuffer& out, const Param& param) {
    out += "{\"name\":";
    write_string_json(out, param.name);
    out += ",\"ty\":";
    types(out, param.ty);
    out += '}';
  });
  out += ']';
}

void write_atom_json(TextBuffer& out, const Atom& atom) {
  atom.visit(Overloaded{[&](std::int64_t n) { out.put_int(n); },
                        [&](double x) { write_number_or_null_json(out, x); },
                        [&](Text s) { write_string_json(out, s); }});
}

void write_literal_scalar_json(TextBuffer& out, const LiteralValue& value) {
  if (value.is_int()) {
    out.put_int(value.as_int());
    return;
  }
  const double x = value.as_float();
  if (std::isinf(x)) {
    if (x > 0) {
      out += "\"inf\"";
    } else {
      out += "\"-inf\"";
    }
  } else if (std::isnan(x)) {
    out += "\"nan\"";
  } else {
    write_float(out, x);
  }
}

void write_literal_value_json(TextBuffer& out, const LiteralValue& root) {
  write_literal_lists(out, root, ',', write_literal_scalar_json);
}

void write_axes_json(TextBuffer& out, const Axes& axes) {
  if (axes.empty()) return;
  out += ",\"axes\":{";
  write_separated(out, axes, ',', [](TextBuffer& out, const Axis& axis) {
    write_string_json(out, axis.name);
    out += ':';
    out.put_int(axis.size);
  });
  out += '}';
}

// The members of the op's kind, each with its leading comma.
void write_kind_members_json(TextBuffer& out, const OpKind& kind) {
  const auto pattern = [&](Text text) {
    out += ",\"pattern\":";
    write_string_json(out, text);
  };
  const auto reduction = [&](Text text) {
    out += ",\"reduction\":";
    write_string_json(out, text);
  };
  const auto target = [&](Text text) {
    out += ",\"target\":";
    write_string_json(out, text);
  };
  std::visit(Overloaded{
                 [&](const View& k) {
                   pattern(k.pattern);
                   write_axes_json(out, k.axes);
                 },
                 [&](const Map& k) {
                   out += ",\"function\":";
                   write_string_json(out, k.function);
                 },
                 [&](const Fold& k) {
                   pattern(k.pattern);
                   reduction(k.reduction);
                 },
                 [&](const Tile& k) {
                   pattern(k.pattern);
                   write_axes_json(out, k.axes);
                 },
                 [&](const Read& k) { pattern(k.pattern); },
                 [&](const Write& k) {
                   pattern(k.pattern);
                   reduction(k.reduction);
                 },
                 [&](const Contract& k) { pattern(k.pattern); },
                 [&](const Literal& k) {
                   out += ",\"value\":";
                   write_literal_value_json(out, k.value);
                 },
                 [&](const Iota&) {},
                 [&](const Random& k) {
                   out += ",\"lower\":";
                   write_number_or_null_json(out, k.lower);
                   out += ",\"upper\":";
                   write_number_or_null_json(out, k.upper);
                 },
                 [&](const Call& k) { target(k.target); },
                 [&](const Loop& k) {
                   target(k.target);
                   out += ",\"count\":";
                   if (k.count.is_concrete()) {
                     out.put_uint(k.count.value());
                   } else {
                     write_string_json(out, k.count.name());
                   }
                 },
                 [&](const Cache& k) {
                   out += ",\"var\":";
                   write_string_json(out, k.var);
                   out += ",\"init\":";
                   write_string_json(out, k.init);
                   if (k.extend) {
                     out += ",\"extend\":";
                     write_string_json(out, *k.extend);
                   }
                 },
             },
             kind);
}

void write_op_json(TextBuffer& out, const Op& op, TypeWriter& types) {
  out += "{\"kind\":\"";
  out += kind_word(op.kind());  // kind words need no escaping
  out += '"';
  write_kind_members_json(out, op.kind());
  out += ",\"outputs\":";
  write_strings_json(out, op.outputs);
  out += ",\"output_types\":[";
  write_separated(out, op.output_types, ',', types);
  out += "],\"args\":[";
  write_separated(out, op.args, ',', write_atom_json);
  out += ']';
  if (!op.comments().empty()) {
    out += ",\"comments\":";
    write_strings_json(out, op.comments());
  }
  out += '}';
}

// A function up to its first op: everything but `function.ops`.
void write_function_head_json(TextBuffer& out, const Function& function, TypeWriter& types) {
  out += "{\"name\":";
  write_string_json(out, function.name);
  if (!function.comments.empty()) {
    out += ",\"comments\":";
    write_strings_json(out, function.comments);
  }
  out += ",\"params\":";
  write_params_json(out, function.params, types);
  out += ",\"returns\":";
  write_params_json(out, function.returns, types);
  out += ",\"ops\":[";
}



void write_constraints_json(TextBuffer& out, const Constraints& constraints) {
  // Both containers are ordered by the bytes of their keys already.
  out += "{\"params\":[";
  write_separated(out, constraints.params, ',', [](TextBuffer& out, const std::string& param) {
    write_string_json(out, param);
  });
  out += "],\"weights\":{";
  write_separated(out, constraints.weights, ',', [](TextBuffer& out, const auto& entry) {
    write_string_json(out, entry.first);
    out += ":{";
    write_separated(out, entry.second, ',', [](TextBuffer& out, const auto& weight) {
      write_string_json(out, weight.first);
      out += ':';
      TypeWriter()(out, weight.second);
    });
    out += '}';
  });
  out += "}}";
}

// A rough size of the text, so that the buffer rarely grows; an estimate too
// large costs nothing, as memory that is never written is never touched. Only
// the function records are looked at: reading every op would cost a walk of
// its own.
std::size_t estimate_module_size(const Module& module) {
  std::size_t size = 128;
  for (const auto& entry : module.functions) size += 256 + 192 * entry.second.ops.size();
  return size;
}

}  // namespace

// Types are interned, so a type that was written a moment ago is the same
// text again: the last few are remembered by their place in the output and
// copied from there.
void ModuleJsonWriter::RecentTypes::operator()(TextBuffer& out, TypeRef ty) {
  if (!ty) {
    out += "null";
    return;
  }
  for (const Written& w : written_) {
    if (w.type == ty.get()) {
      char* p = out.room(w.size);  // may move the text: take the source after it
      std::memcpy(p, out.data() + w.offset, w.size);
      out.advance_to(p + w.size);
      return;
    }
  }
  const std::size_t offset = out.size();
  write_tensor_type_json(out, *ty);
  written_[next_++ % written_.size()] = {ty.get(), offset, out.size() - offset};
}

void ModuleJsonWriter::header(const Comments& comments) {
  out_ += '{';
  if (!comments.empty()) {
    out_ += "\"header_comments\":";
    write_strings_json(out_, comments);
    out_ += ',';
  }
  out_ += "\"functions\":{";
}

void ModuleJsonWriter::function_head(Text key, const Function& fn) {
  if (!first_) out_ += ',';
  first_ = false;
  write_string_json(out_, key);
  out_ += ':';
  write_function_head_json(out_, fn, types_);
  first_op_ = true;
}

void ModuleJsonWriter::op(const Op& op) {
  if (!first_op_) out_ += ',';
  first_op_ = false;
  write_op_json(out_, op, types_);
}

void ModuleJsonWriter::function_end() { out_ += "]}"; }

void ModuleJsonWriter::function(Text key, const Function& fn) {
  function_head(key, fn);
  for (const Op& o : fn.ops) op(o);
  function_end();
}

void ModuleJsonWriter::finish() { out_ += "}}"; }

void write_module_json(const Module& module, TextBuffer& out) {
  out.reserve(estimate_module_size(module));
  ModuleJsonWriter writer(out);
  writer.header(module.header_comments);
  for (const auto& [key, fn] : module.functions) writer.function(key, fn);
  writer.finish();
}

void write_check_report_json(const CheckReport& report, TextBuffer& out) {
  out += "{\"errors\":[";
  write_separated(out, report.errors, ',', [](TextBuffer& out, const std::string& error) {
    write_string_json(out, error);
  });
  out += "],\"constraints\":";
  write_constraints_json(out, report.constraints);
  out += '}';
}

std::string write_module_json(const Module& module) {
  TextBuffer out(0);
  write_module_json(module, out);
  return std::move(out).take();
}

std::string write_check_report_json(const CheckReport& report) {
  TextBuffer out(128);
  write_check_report_json(report, out);
  return std::move(out).take();
}

}  // namespace quarvel
