#include "core/format.h"

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <string_view>
#include <vector>

#include "core/numtext.h"
#include "core/text_buffer.h"

namespace quarvel {

namespace {

// The printer float text.
void write_float(TextBuffer& out, double x) { out.put_via(append_printer_float, x); }

void write_dims(TextBuffer& out, const Shape& shape) {
  bool first = true;
  for (const Dim& dim : shape) {
    if (!first) out += ", ";
    first = false;
    if (dim.is_concrete()) {
      out.put_int(dim.value());
    } else {
      out += dim.name();
    }
  }
}

// "*" for a wildcard, whatever its shape; otherwise f32[4, n].
void write_tensor_type(TextBuffer& out, const TensorType& ty) {
  if (ty.is_wildcard()) {
    out += '*';
    return;
  }
  out += ty.dtype;
  out += '[';
  write_dims(out, ty.shape);
  out += ']';
}

std::size_t int_text_length(std::int64_t value) {
  char buf[24];
  return static_cast<std::size_t>(std::to_chars(buf, buf + sizeof buf, value).ptr - buf);
}

// Byte length of the text `write_tensor_type` gives.
std::size_t tensor_type_length(const TensorType& ty) {
  if (ty.is_wildcard()) return 1;
  std::size_t length = ty.dtype.size() + 2;
  for (const Dim& dim : ty.shape)
    length += dim.is_concrete() ? int_text_length(dim.value()) : dim.name().size();
  if (ty.shape.size() > 1) length += 2 * (ty.shape.size() - 1);
  return length;
}

void write_param(TextBuffer& out, const Param& param) {
  out += param.name;
  out += ": ";
  write_tensor_type(out, param.ty);
}

void write_param_list(TextBuffer& out, const std::vector<Param>& params) {
  bool first = true;
  for (const Param& param : params) {
    if (!first) out += ", ";
    first = false;
    write_param(out, param);
  }
}

void write_atoms(TextBuffer& out, const Args& args) {
  bool first = true;
  for (const Atom& atom : args) {
    if (!first) out += ", ";
    first = false;
    switch (atom.v.index()) {
      case 0: out.put_int(atom.as_int()); break;
      case 1: write_float(out, atom.as_float()); break;
      default: out += atom.as_str(); break;
    }
  }
}

void write_literal_value(TextBuffer& out, const LiteralValue& root) {
  write_literal_lists(out, root, ", ", [](TextBuffer& out, const LiteralValue& number) {
    if (number.is_int()) {
      out.put_int(number.as_int());
    } else {
      write_float(out, number.as_float());
    }
  });
}

void write_quoted_pattern(TextBuffer& out, const std::string& pattern) {
  out += '"';
  out += pattern;  // never escaped
  out += '"';
}

void write_axes(TextBuffer& out, const Axes& axes) {
  for (const auto& [name, size] : axes) {
    out += ", ";
    out += name;
    out += '=';
    out.put_int(size);
  }
}

void write_call_args(TextBuffer& out, const Args& args) {
  out += "](";
  write_atoms(out, args);
  out += ')';
}

void write_right_hand_side(TextBuffer& out, const Op& op) {
  const OpKind& kind = op.kind;
  switch (kind.index()) {
    case 0: {
      const auto& k = std::get<View>(kind);
      out += "view[";
      write_quoted_pattern(out, k.pattern);
      write_axes(out, k.axes);
      break;
    }
    case 1:
      out += "map[";
      out += std::get<Map>(kind).function;
      break;
    case 2: {
      const auto& k = std::get<Fold>(kind);
      out += "fold[";
      write_quoted_pattern(out, k.pattern);
      out += ", ";
      out += k.reduction;
      break;
    }
    case 3: {
      const auto& k = std::get<Tile>(kind);
      out += "tile[";
      write_quoted_pattern(out, k.pattern);
      write_axes(out, k.axes);
      break;
    }
    case 4:
      out += "read[";
      write_quoted_pattern(out, std::get<Read>(kind).pattern);
      break;
    case 5: {
      const auto& k = std::get<Write>(kind);
      out += "write[";
      write_quoted_pattern(out, k.pattern);
      out += ", ";
      out += k.reduction;
      break;
    }
    case 6:
      out += "contract[";
      write_quoted_pattern(out, std::get<Contract>(kind).pattern);
      break;
    case 7:
      out += "literal(";
      write_literal_value(out, std::get<Literal>(kind).value);
      out += ')';
      return;
    case 8:
      out += "iota(";
      write_atoms(out, op.args);
      out += ')';
      return;
    case 9: {
      // The arguments of a random op are never printed.
      const auto& k = std::get<Random>(kind);
      out += "random[";
      write_float(out, k.lower);
      out += ", ";
      write_float(out, k.upper);
      out += ']';
      return;
    }
    case 10:
      out += "call[";
      out += std::get<Call>(kind).target;
      break;
    case 11: {
      const auto& k = std::get<Loop>(kind);
      out += "loop[";
      out += k.target;
      out += ", ";
      if (k.count.is_concrete()) {
        out.put_uint(k.count.value());
      } else {
        out += k.count.name();
      }
      break;
    }
    default: {
      const auto& k = std::get<Cache>(kind);
      out += "cache[";
      out += k.var;
      out += ", ";
      out += k.init;
      if (k.extend) {
        out += ", ";
        out += *k.extend;
      }
      break;
    }
  }
  write_call_args(out, op.args);
}

// The declared type of output i, or nothing; entries past the outputs are ignored.
const TensorType* output_type(const Op& op, std::size_t i) {
  if (i >= op.output_types.size() || !op.output_types[i]) return nullptr;
  return &*op.output_types[i];
}

void write_header(TextBuffer& out, const Function& function, std::uint64_t width) {
  const std::size_t start = out.size();
  out += function.name;
  out += '(';
  write_param_list(out, function.params);
  out += ") -> (";
  write_param_list(out, function.returns);
  out += ") {";
  if (out.size() - start <= width) {
    out += '\n';
    return;
  }
  // Too long: one line per parameter, colons in one column.
  out.truncate(start);
  out += function.name;
  out += "(\n";
  std::size_t name_width = 0;
  for (const Param& param : function.params) name_width = std::max(name_width, param.name.size());
  for (std::size_t i = 0; i < function.params.size(); ++i) {
    const Param& param = function.params[i];
    out += "  ";
    out += param.name;
    out.spaces(name_width - param.name.size());
    out += ": ";
    write_tensor_type(out, param.ty);
    if (i + 1 < function.params.size()) out += ',';
    out += '\n';
  }
  out += ") -> (";
  write_param_list(out, function.returns);
  out += ") {\n";
}

void write_op(TextBuffer& out, const Op& op, std::size_t k, std::size_t name_width,
              std::size_t type_width) {
  if (!op.comments.empty()) {
    if (k > 0) out += '\n';
    for (const std::string& comment : op.comments) {
      out += "  ";
      out += comment;
      out += '\n';
    }
  }
  const std::size_t count = op.outputs.size();
  for (std::size_t i = 0; i < count; ++i) {
    const std::string& name = op.outputs[i];
    const TensorType* ty = output_type(op, i);
    out += "  ";
    out += name;
    if (i + 1 < count) {
      if (ty) {
        out.spaces(name_width - name.size());
        out += ": ";
        write_tensor_type(out, *ty);
      }
      // An untyped output inside the list is the bare name and its comma.
      out += ",\n";
      continue;
    }
    out.spaces(name_width - name.size());
    if (ty) {
      out += ": ";
      const std::size_t mark = out.size();
      write_tensor_type(out, *ty);
      out.spaces(type_width - (out.size() - mark));
    } else if (type_width > 0) {
      out.spaces(2 + type_width);
    }
    out += " = ";
    write_right_hand_side(out, op);
    out += '\n';
  }
}

void write_function(TextBuffer& out, const Function& function, std::uint64_t width) {
  write_header(out, function, width);
  for (const std::string& comment : function.comments) {
    out += "  ";
    out += comment;
    out += '\n';
  }
  std::size_t name_width = 0;
  std::size_t type_width = 0;
  for (const Op& op : function.ops) {
    for (std::size_t i = 0; i < op.outputs.size(); ++i) {
      name_width = std::max(name_width, op.outputs[i].size());
      if (const TensorType* ty = output_type(op, i))
        type_width = std::max(type_width, tensor_type_length(*ty));
    }
  }
  for (std::size_t k = 0; k < function.ops.size(); ++k)
    write_op(out, function.ops[k], k, name_width, type_width);
  out += "}\n";
}

// A rough size of the text, from the function records alone.
std::size_t estimate_source_size(const Module& module) {
  std::size_t size = 128;
  for (const auto& entry : module.functions) size += 128 + 64 * entry.second.ops.size();
  return size;
}

}  // namespace

std::string format_module(const Module& module, std::uint64_t width) {
  if (module.header_comments.empty() && module.functions.empty()) return "\n";
  TextBuffer out(estimate_source_size(module));
  for (const std::string& comment : module.header_comments) {
    out += comment;
    out += '\n';
  }
  if (!module.header_comments.empty()) out += '\n';
  bool first = true;
  for (const auto& entry : module.functions) {
    if (!first) out += '\n';
    first = false;
    write_function(out, entry.second, width);
  }
  return std::move(out).take();
}

}  // namespace quarvel
