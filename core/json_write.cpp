#include "core/json_write.h"

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

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
// included, is copied as it stands, a whole run of such bytes at a time.
// Most of the writer's time is spent in this loop; starting it on a cache line
// keeps its speed from depending on where the code around it lands.
[[gnu::aligned(64)]] void write_string_json(TextBuffer& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  // At most six bytes per input byte, and the quotes.
  char* p = out.room(text.size() * 6 + 2);
  *p++ = '"';
  const char* run = text.data();
  const char* const end = run + text.size();
  for (const char* q = run; q != end; ++q) {
    const auto byte = static_cast<unsigned char>(*q);
    if (!kNeedsEscape[byte]) continue;
    const auto length = static_cast<std::size_t>(q - run);
    std::memcpy(p, run, length);
    p += length;
    run = q + 1;
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
  const auto length = static_cast<std::size_t>(end - run);
  std::memcpy(p, run, length);
  p += length;
  *p++ = '"';
  out.advance_to(p);
}

template <class Strings>
void write_strings_json(TextBuffer& out, const Strings& items) {
  out += '[';
  bool first = true;
  for (const std::string& item : items) {
    if (!first) out += ',';
    first = false;
    write_string_json(out, item);
  }
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
  bool first = true;
  for (const Dim& dim : ty.shape) {
    if (!first) out += ',';
    first = false;
    write_dim_json(out, dim);
  }
  out += "]}";
}

void write_param_json(TextBuffer& out, const Param& param) {
  out += "{\"name\":";
  write_string_json(out, param.name);
  out += ",\"ty\":";
  write_tensor_type_json(out, param.ty);
  out += '}';
}

void write_params_json(TextBuffer& out, const std::vector<Param>& params) {
  out += '[';
  bool first = true;
  for (const Param& param : params) {
    if (!first) out += ',';
    first = false;
    write_param_json(out, param);
  }
  out += ']';
}

void write_atom_json(TextBuffer& out, const Atom& atom) {
  switch (atom.v.index()) {
    case 0: out.put_int(atom.as_int()); break;
    case 1: write_number_or_null_json(out, atom.as_float()); break;
    default: write_string_json(out, atom.as_str()); break;
  }
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
  write_literal_lists(out, root, ",", [](TextBuffer& out, const LiteralValue& number) {
    write_literal_scalar_json(out, number);
  });
}

void write_axes_json(TextBuffer& out, const Axes& axes) {
  if (axes.empty()) return;
  out += ",\"axes\":{";
  bool first = true;
  for (const auto& [name, size] : axes) {
    if (!first) out += ',';
    first = false;
    write_string_json(out, name);
    out += ':';
    out.put_int(size);
  }
  out += '}';
}

// The members of the op's kind, each with its leading comma.
void write_kind_members_json(TextBuffer& out, const OpKind& kind) {
  switch (kind.index()) {
    case 0: {
      const auto& k = std::get<View>(kind);
      out += ",\"pattern\":";
      write_string_json(out, k.pattern);
      write_axes_json(out, k.axes);
      break;
    }
    case 1:
      out += ",\"function\":";
      write_string_json(out, std::get<Map>(kind).function);
      break;
    case 2: {
      const auto& k = std::get<Fold>(kind);
      out += ",\"pattern\":";
      write_string_json(out, k.pattern);
      out += ",\"reduction\":";
      write_string_json(out, k.reduction);
      break;
    }
    case 3: {
      const auto& k = std::get<Tile>(kind);
      out += ",\"pattern\":";
      write_string_json(out, k.pattern);
      write_axes_json(out, k.axes);
      break;
    }
    case 4:
      out += ",\"pattern\":";
      write_string_json(out, std::get<Read>(kind).pattern);
      break;
    case 5: {
      const auto& k = std::get<Write>(kind);
      out += ",\"pattern\":";
      write_string_json(out, k.pattern);
      out += ",\"reduction\":";
      write_string_json(out, k.reduction);
      break;
    }
    case 6:
      out += ",\"pattern\":";
      write_string_json(out, std::get<Contract>(kind).pattern);
      break;
    case 7:
      out += ",\"value\":";
      write_literal_value_json(out, std::get<Literal>(kind).value);
      break;
    case 8:
      break;
    case 9: {
      const auto& k = std::get<Random>(kind);
      out += ",\"lower\":";
      write_number_or_null_json(out, k.lower);
      out += ",\"upper\":";
      write_number_or_null_json(out, k.upper);
      break;
    }
    case 10:
      out += ",\"target\":";
      write_string_json(out, std::get<Call>(kind).target);
      break;
    case 11: {
      const auto& k = std::get<Loop>(kind);
      out += ",\"target\":";
      write_string_json(out, k.target);
      out += ",\"count\":";
      if (k.count.is_concrete()) {
        out.put_uint(k.count.value());
      } else {
        write_string_json(out, k.count.name());
      }
      break;
    }
    default: {
      const auto& k = std::get<Cache>(kind);
      out += ",\"var\":";
      write_string_json(out, k.var);
      out += ",\"init\":";
      write_string_json(out, k.init);
      if (k.extend) {
        out += ",\"extend\":";
        write_string_json(out, *k.extend);
      }
      break;
    }
  }
}

void write_op_json(TextBuffer& out, const Op& op) {
  out += "{\"kind\":\"";
  const std::string_view word = kind_word(op.kind);
  out += word;  // kind words need no escaping
  out += '"';
  write_kind_members_json(out, op.kind);
  out += ",\"outputs\":";
  write_strings_json(out, op.outputs);
  out += ",\"output_types\":[";
  bool first = true;
  for (const std::optional<TensorType>& ty : op.output_types) {
    if (!first) out += ',';
    first = false;
    if (ty) {
      write_tensor_type_json(out, *ty);
    } else {
      out += "null";
    }
  }
  out += "],\"args\":[";
  first = true;
  for (const Atom& atom : op.args) {
    if (!first) out += ',';
    first = false;
    write_atom_json(out, atom);
  }
  out += ']';
  if (!op.comments.empty()) {
    out += ",\"comments\":";
    write_strings_json(out, op.comments);
  }
  out += '}';
}

void write_function_json(TextBuffer& out, const Function& function) {
  out += "{\"name\":";
  write_string_json(out, function.name);
  if (!function.comments.empty()) {
    out += ",\"comments\":";
    write_strings_json(out, function.comments);
  }
  out += ",\"params\":";
  write_params_json(out, function.params);
  out += ",\"returns\":";
  write_params_json(out, function.returns);
  out += ",\"ops\":[";
  const std::size_t count = function.ops.size();
  for (std::size_t i = 0; i < count; ++i) {
    if (i > 0) out += ',';
    write_op_json(out, function.ops[i]);
  }
  out += "]}";
}

void write_constraints_json(TextBuffer& out, const Constraints& constraints) {
  // Both containers are ordered by the bytes of their keys already.
  out += "{\"params\":[";
  bool first = true;
  for (const std::string& param : constraints.params) {
    if (!first) out += ',';
    first = false;
    write_string_json(out, param);
  }
  out += "],\"weights\":{";
  first = true;
  for (const auto& [function, weights] : constraints.weights) {
    if (!first) out += ',';
    first = false;
    write_string_json(out, function);
    out += ":{";
    bool first_weight = true;
    for (const auto& [arg, ty] : weights) {
      if (!first_weight) out += ',';
      first_weight = false;
      write_string_json(out, arg);
      out += ':';
      write_tensor_type_json(out, ty);
    }
    out += '}';
  }
  out += "}}";
}

// A rough size of the text, so that the buffer rarely grows. Only the
// function records are looked at: reading every op would cost a walk of its own.
std::size_t estimate_module_size(const Module& module) {
  std::size_t size = 128;
  for (const auto& entry : module.functions) size += 256 + 160 * entry.second.ops.size();
  return size;
}

}  // namespace

std::string write_module_json(const Module& module) {
  TextBuffer out(estimate_module_size(module));
  out += '{';
  if (!module.header_comments.empty()) {
    out += "\"header_comments\":";
    write_strings_json(out, module.header_comments);
    out += ',';
  }
  out += "\"functions\":{";
  bool first = true;
  for (const auto& [key, function] : module.functions) {
    if (!first) out += ',';
    first = false;
    write_string_json(out, key);
    out += ':';
    write_function_json(out, function);
  }
  out += "}}";
  return std::move(out).take();
}

std::string write_check_report_json(const CheckReport& report) {
  TextBuffer out(128);
  out += "{\"errors\":";
  write_strings_json(out, report.errors);
  out += ",\"constraints\":";
  write_constraints_json(out, report.constraints);
  out += '}';
  return std::move(out).take();
}

}  // namespace quarvel
