#include "core/format.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <cstddef>
#include <string_view>
#include <vector>

#include "core/numtext.h"

namespace quarvel {

namespace {

// The output text: lines are appended to it, each followed by its line feed.
// Writers ask for room once per piece and then store bytes without further
// checks; the text grows by doubling.
class SourceText {
 public:
  explicit SourceText(std::size_t expected) {
    text_.resize(expected < 128 ? 128 : expected);
    pos_ = text_.data();
    end_ = pos_ + text_.size();
  }

  std::size_t size() const { return static_cast<std::size_t>(pos_ - text_.data()); }
  // Drops everything written after the first `n` bytes.
  void truncate(std::size_t n) { pos_ = text_.data() + n; }

  SourceText& operator+=(char c) {
    room(1);
    *pos_++ = c;
    return *this;
  }
  template <std::size_t N>
  SourceText& operator+=(const char (&text)[N]) {
    room(N - 1);
    std::memcpy(pos_, text, N - 1);
    pos_ += N - 1;
    return *this;
  }
  SourceText& operator+=(std::string_view text) {
    room(text.size());
    std::memcpy(pos_, text.data(), text.size());
    pos_ += text.size();
    return *this;
  }
  SourceText& operator+=(const std::string& text) { return *this += std::string_view(text); }

  void spaces(std::size_t n) {
    room(n);
    std::memset(pos_, ' ', n);
    pos_ += n;
  }
  void put_int(std::int64_t value) {
    room(20);
    pos_ = std::to_chars(pos_, pos_ + 20, value).ptr;
  }
  void put_uint(std::uint64_t value) {
    room(20);
    pos_ = std::to_chars(pos_, pos_ + 20, value).ptr;
  }
  void put_float(double x) {
    scratch_.clear();
    append_printer_float(scratch_, x);
    *this += std::string_view(scratch_);
  }

  std::string take() && {
    text_.resize(size());
    return std::move(text_);
  }

 private:
  void room(std::size_t n) {
    if (static_cast<std::size_t>(end_ - pos_) < n) grow(n);
  }
  [[gnu::noinline]] void grow(std::size_t n) {
    const std::size_t used = size();
    std::size_t size = text_.size() * 2;
    if (size < used + n) size = used + n;
    text_.resize(size);
    pos_ = text_.data() + used;
    end_ = text_.data() + text_.size();
  }

  std::string text_;
  char* pos_;
  char* end_;
  std::string scratch_;  // float texts
};

void write_dims(SourceText& out, const Shape& shape) {
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
void write_tensor_type(SourceText& out, const TensorType& ty) {
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

void write_param(SourceText& out, const Param& param) {
  out += param.name;
  out += ": ";
  write_tensor_type(out, param.ty);
}

void write_param_list(SourceText& out, const std::vector<Param>& params) {
  bool first = true;
  for (const Param& param : params) {
    if (!first) out += ", ";
    first = false;
    write_param(out, param);
  }
}

void write_atoms(SourceText& out, const Args& args) {
  bool first = true;
  for (const Atom& atom : args) {
    if (!first) out += ", ";
    first = false;
    switch (atom.v.index()) {
      case 0: out.put_int(atom.as_int()); break;
      case 1: out.put_float(atom.as_float()); break;
      default: out += atom.as_str(); break;
    }
  }
}

// Lists nest to any depth, so the walk keeps its own stack of open lists
// instead of recursing.
void write_literal_value(SourceText& out, const LiteralValue& root) {
  struct OpenList {
    const LiteralValue* next;
    const LiteralValue* end;
  };
  std::vector<OpenList> open;
  const LiteralValue* value = &root;
  for (;;) {
    if (value->is_list()) {
      const std::vector<LiteralValue>& items = value->as_list();
      out += '[';
      if (!items.empty()) {
        open.push_back({items.data() + 1, items.data() + items.size()});
        value = items.data();
        continue;
      }
      out += ']';
    } else if (value->is_int()) {
      out.put_int(value->as_int());
    } else {
      out.put_float(value->as_float());
    }
    for (;;) {
      if (open.empty()) return;
      OpenList& list = open.back();
      if (list.next != list.end) {
        out += ", ";
        value = list.next++;
        break;
      }
      out += ']';
      open.pop_back();
    }
  }
}

void write_quoted_pattern(SourceText& out, const std::string& pattern) {
  out += '"';
  out += pattern;  // never escaped
  out += '"';
}

void write_axes(SourceText& out, const Axes& axes) {
  for (const auto& [name, size] : axes) {
    out += ", ";
    out += name;
    out += '=';
    out.put_int(size);
  }
}

void write_call_args(SourceText& out, const Args& args) {
  out += "](";
  write_atoms(out, args);
  out += ')';
}

void write_right_hand_side(SourceText& out, const Op& op) {
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
      out.put_float(k.lower);
      out += ", ";
      out.put_float(k.upper);
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

void write_header(SourceText& out, const Function& function, std::uint64_t width) {
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

void write_op(SourceText& out, const Op& op, std::size_t k, std::size_t name_width,
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

void write_function(SourceText& out, const Function& function, std::uint64_t width) {
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
  SourceText out(estimate_source_size(module));
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
