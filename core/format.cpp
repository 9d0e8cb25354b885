#include "core/format.h"

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <cstring>
#include <string_view>
#include <variant>

#include "core/numtext.h"
#include "core/text_buffer.h"

namespace quarvel {

namespace {

// The printer float text.
void write_float(TextBuffer& out, double x) { out.put_via(append_printer_float, x); }

void write_dim(TextBuffer& out, const Dim& dim) {
  if (dim.is_concrete()) {
    out.put_int(dim.value());
  } else {
    out += dim.name();
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
  write_separated(out, ty.shape, ", ", write_dim);
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

// The statements of a function repeat a few types: the text of the type
// written last is copied from where it stands instead of being built again.
// Used within one function's statements, after its header is final.
class TypeTexts {
 public:
  void write(TextBuffer& out, const TensorType& ty) {
    if (&ty == type_) {
      char* to = out.room(length_);  // may move the buffer: read from the offset after
      std::memcpy(to, out.data() + offset_, length_);
      out.advance_to(to + length_);
      return;
    }
    offset_ = out.size();
    write_tensor_type(out, ty);
    length_ = out.size() - offset_;
    type_ = &ty;
  }

 private:
  const TensorType* type_ = nullptr;  // types are interned: one pointer, one text
  std::size_t offset_ = 0;
  std::size_t length_ = 0;
};

void write_param(TextBuffer& out, const Param& param) {
  out += param.name;
  out += ": ";
  write_tensor_type(out, *param.ty);
}

void write_atom(TextBuffer& out, const Atom& atom) {
  atom.visit(Overloaded{
      [&](std::int64_t n) { out.put_int(n); },
      [&](double x) { write_float(out, x); },
      [&](Text name) { out += name; },  // bare: never quoted or escaped
  });
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

void write_quoted_pattern(TextBuffer& out, Text pattern) {
  out += '"';
  out += pattern;  // never escaped
  out += '"';
}

void write_axes(TextBuffer& out, const Axes& axes) {
  for (const Axis& axis : axes) {
    out += ", ";
    out += axis.name;
    out += '=';
    out.put_int(axis.size);
  }
}

// The closing bracket of the kind's fields and the arguments in parentheses.
void write_call_args(TextBuffer& out, const Args& args) {
  out += "](";
  write_separated(out, args, ", ", write_atom);
  out += ')';
}

// The kind word, its fields and the arguments.
void write_right_hand_side(TextBuffer& out, const Op& op) {
  out += kind_word(op.kind());
  // The kinds with a pattern: the pattern, then their axes or reduction.
  const auto pattern_fields = [&](const auto& k) {
    out += '[';
    write_quoted_pattern(out, k.pattern);
    if constexpr (requires { k.axes; }) write_axes(out, k.axes);
    if constexpr (requires { k.reduction; }) {
      out += ", ";
      out += k.reduction;
    }
    write_call_args(out, op.args);
  };
  std::visit(Overloaded{
                 [&](const View& k) { pattern_fields(k); },
                 [&](const Map& k) {
                   out += '[';
                   out += k.function;
                   write_call_args(out, op.args);
                 },
                 [&](const Fold& k) { pattern_fields(k); },
                 [&](const Tile& k) { pattern_fields(k); },
                 [&](const Read& k) { pattern_fields(k); },
                 [&](const Write& k) { pattern_fields(k); },
                 [&](const Contract& k) { pattern_fields(k); },
                 [&](const Literal& k) {
                   out += '(';
                   write_literal_value(out, k.value);
                   out += ')';
                 },
                 [&](const Iota&) {
                   out += '(';
                   write_separated(out, op.args, ", ", write_atom);
                   out += ')';
                 },
                 [&](const Random& k) {
                   // The arguments of a random op are never printed.
                   out += '[';
                   write_float(out, k.lower);
                   out += ", ";
                   write_float(out, k.upper);
                   out += ']';
                 },
                 [&](const Call& k) {
                   out += '[';
                   out += k.target;
                   write_call_args(out, op.args);
                 },
                 [&](const Loop& k) {
                   out += '[';
                   out += k.target;
                   out += ", ";
                   if (k.count.is_concrete()) {
                     out.put_uint(k.count.value());
                   } else {
                     out += k.count.name();
                   }
                   write_call_args(out, op.args);
                 },
                 [&](const Cache& k) {
                   out += '[';
                   out += k.var;
                   out += ", ";
                   out += k.init;
                   if (k.extend) {
                     out += ", ";
                     out += *k.extend;
                   }
                   write_call_args(out, op.args);
                 },
             },
             op.kind());
}

// The declared type of output i, or nothing; entries past the outputs are ignored.
const TensorType* output_type(const Op& op, std::size_t i) {
  return i < op.output_types.size() ? op.output_types[i].get() : nullptr;
}

void write_header(TextBuffer& out, const Function& function, std::uint64_t width) {
  const std::size_t start = out.size();
  out += function.name;
  out += '(';
  write_separated(out, function.params, ", ", write_param);
  out += ") -> (";
  write_separated(out, function.returns, ", ", write_param);
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
  write_separated(out, function.params, ",\n", [name_width](TextBuffer& out, const Param& param) {
    out += "  ";
    out += param.name;
    out.spaces(name_width - param.name.size());
    out += ": ";
    write_tensor_type(out, *param.ty);
  });
  if (!function.params.empty()) out += '\n';
  out += ") -> (";
  write_separated(out, function.returns, ", ", write_param);
  out += ") {\n";
}

void write_op(TextBuffer& out, const Op& op, std::size_t k, std::size_t name_width,
              std::size_t type_width, TypeTexts& types) {
  if (!op.comments().empty()) {
    if (k > 0) out += '\n';
    for (const Text comment : op.comments()) {
      out += "  ";
      out += comment;
      out += '\n';
    }
  }
  const std::size_t count = op.outputs.size();
  for (std::size_t i = 0; i < count; ++i) {
    const Text name = op.outputs[i];
    const TensorType* ty = output_type(op, i);
    out += "  ";
    out += name;
    if (i + 1 < count) {
      if (ty) {
        out.spaces(name_width - name.size());
        out += ": ";
        types.write(out, *ty);
      }
      // An untyped output inside the list is the bare name and its comma.
      out += ",\n";
      continue;
    }
    out.spaces(name_width - name.size());
    if (ty) {
      out += ": ";
      const std::size_t mark = out.size();
      types.write(out, *ty);
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
  for (const Text comment : function.comments) {
    out += "  ";
    out += comment;
    out += '\n';
  }
  std::size_t name_width = 0;
  std::size_t type_width = 0;
  const TensorType* measured = nullptr;  // the type measured last
  for (const Op& op : function.ops) {
    for (std::size_t i = 0; i < op.outputs.size(); ++i) {
      name_width = std::max(name_width, op.outputs[i].size());
      const TensorType* ty = output_type(op, i);
      if (ty && ty != measured) {
        type_width = std::max(type_width, tensor_type_length(*ty));
        measured = ty;
      }
    }
  }
  TypeTexts types;
  for (std::size_t k = 0; k < function.ops.size(); ++k)
    write_op(out, function.ops[k], k, name_width, type_width, types);
  out += "}\n";
}

// A rough size of the text, from the function records alone.
std::size_t estimate_source_size(const Module& module) {
  std::size_t size = 128;
  for (const auto& entry : module.functions) size += 128 + 64 * entry.second.ops.size();
  return size;
}

}  // namespace

void format_module(const Module& module, std::uint64_t width, TextBuffer& out) {
  out.reserve(estimate_source_size(module));
  if (module.header_comments.empty() && module.functions.empty()) {
    out += '\n';
    return;
  }
  for (const Text comment : module.header_comments) {
    out += comment;
    out += '\n';
  }
  if (!module.header_comments.empty()) out += '\n';
  Separator blank_line(out, '\n');
  for (const auto& entry : module.functions) {
    blank_line();
    write_function(out, entry.second, width);
  }
}

std::string format_module(const Module& module, std::uint64_t width) {
  TextBuffer out(estimate_source_size(module));
  format_module(module, width, out);
  return std::move(out).take();
}

}  // namespace quarvel
