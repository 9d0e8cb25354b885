#include "core/json_write.h"

#include <array>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "core/numtext.h"

namespace quarvel {

namespace {

// The output text. Writers ask for room once per piece and then store bytes
// without further checks; the text grows by doubling.
class JsonText {
 public:
  explicit JsonText(std::size_t expected) {
    text_.resize(expected < 128 ? 128 : expected);
    pos_ = text_.data();
    end_ = pos_ + text_.size();
  }

  // Room for `n` more bytes; returns where they go (see `advance_to`).
  char* room(std::size_t n) {
    if (static_cast<std::size_t>(end_ - pos_) < n) grow(n);
    return pos_;
  }
  void advance_to(char* p) { pos_ = p; }

  void put(char c) {
    room(1);
    *pos_++ = c;
  }
  // A fixed text: member names with their quotes and colon, brackets, null.
  template <std::size_t N>
  void lit(const char (&text)[N]) {
    room(N - 1);
    std::memcpy(pos_, text, N - 1);
    pos_ += N - 1;
  }
  void bytes(const char* data, std::size_t n) {
    room(n);
    std::memcpy(pos_, data, n);
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
    append_json_float(scratch_, x);
    bytes(scratch_.data(), scratch_.size());
  }

  std::string take() && {
    text_.resize(static_cast<std::size_t>(pos_ - text_.data()));
    return std::move(text_);
  }

 private:
  [[gnu::noinline]] void grow(std::size_t n) {
    const std::size_t used = static_cast<std::size_t>(pos_ - text_.data());
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

constexpr std::array<bool, 256> make_escape_table() {
  std::array<bool, 256> table{};
  for (int c = 0; c < 0x20; ++c) table[c] = true;
  table['"'] = true;
  table['\\'] = true;
  return table;
}
constexpr std::array<bool, 256> kNeedsEscape = make_escape_table();

// A JSON string: the bytes between double quotes, with the double quote, the
// backslash and the control bytes escaped. Everything else, non-ASCII bytes
// included, is copied as it stands, a whole run of such bytes at a time.
void write_string_json(JsonText& out, std::string_view text) {
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
void write_strings_json(JsonText& out, const Strings& items) {
  out.put('[');
  bool first = true;
  for (const std::string& item : items) {
    if (!first) out.put(',');
    first = false;
    write_string_json(out, item);
  }
  out.put(']');
}

// A finite float as JSON float text; null for the infinities and not-a-number.
void write_number_or_null_json(JsonText& out, double x) {
  if (std::isfinite(x)) {
    out.put_float(x);
  } else {
    out.lit("null");
  }
}

void write_dim_json(JsonText& out, const Dim& dim) {
  if (dim.is_concrete()) {
    out.put_int(dim.value());
  } else {
    write_string_json(out, dim.name());
  }
}

void write_tensor_type_json(JsonText& out, const TensorType& ty) {
  out.lit("{\"dtype\":");
  write_string_json(out, ty.dtype);
  out.lit(",\"shape\":[");
  bool first = true;
  for (const Dim& dim : ty.shape) {
    if (!first) out.put(',');
    first = false;
    write_dim_json(out, dim);
  }
  out.lit("]}");
}

void write_param_json(JsonText& out, const Param& param) {
  out.lit("{\"name\":");
  write_string_json(out, param.name);
  out.lit(",\"ty\":");
  write_tensor_type_json(out, param.ty);
  out.put('}');
}

void write_params_json(JsonText& out, const std::vector<Param>& params) {
  out.put('[');
  bool first = true;
  for (const Param& param : params) {
    if (!first) out.put(',');
    first = false;
    write_param_json(out, param);
  }
  out.put(']');
}

void write_atom_json(JsonText& out, const Atom& atom) {
  switch (atom.v.index()) {
    case 0: out.put_int(atom.as_int()); break;
    case 1: write_number_or_null_json(out, atom.as_float()); break;
    default: write_string_json(out, atom.as_str()); break;
  }
}

void write_literal_scalar_json(JsonText& out, const LiteralValue& value) {
  if (value.is_int()) {
    out.put_int(value.as_int());
    return;
  }
  const double x = value.as_float();
  if (std::isinf(x)) {
    if (x > 0) {
      out.lit("\"inf\"");
    } else {
      out.lit("\"-inf\"");
    }
  } else if (std::isnan(x)) {
    out.lit("\"nan\"");
  } else {
    out.put_float(x);
  }
}

// Lists nest to any depth, so the walk keeps its own stack of open lists
// instead of recursing.
void write_literal_value_json(JsonText& out, const LiteralValue& root) {
  struct OpenList {
    const LiteralValue* next;
    const LiteralValue* end;
  };
  std::vector<OpenList> open;
  const LiteralValue* value = &root;
  for (;;) {
    if (value->is_list()) {
      const std::vector<LiteralValue>& items = value->as_list();
      out.put('[');
      if (!items.empty()) {
        open.push_back({items.data() + 1, items.data() + items.size()});
        value = items.data();
        continue;
      }
      out.put(']');
    } else {
      write_literal_scalar_json(out, *value);
    }
    // Close every list whose last item has been written; move to the next item.
    for (;;) {
      if (open.empty()) return;
      OpenList& list = open.back();
      if (list.next != list.end) {
        out.put(',');
        value = list.next++;
        break;
      }
      out.put(']');
      open.pop_back();
    }
  }
}

void write_axes_json(JsonText& out, const Axes& axes) {
  if (axes.empty()) return;
  out.lit(",\"axes\":{");
  bool first = true;
  for (const auto& [name, size] : axes) {
    if (!first) out.put(',');
    first = false;
    write_string_json(out, name);
    out.put(':');
    out.put_int(size);
  }
  out.put('}');
}

// The members of the op's kind, each with its leading comma.
void write_kind_members_json(JsonText& out, const OpKind& kind) {
  switch (kind.index()) {
    case 0: {
      const auto& k = std::get<View>(kind);
      out.lit(",\"pattern\":");
      write_string_json(out, k.pattern);
      write_axes_json(out, k.axes);
      break;
    }
    case 1:
      out.lit(",\"function\":");
      write_string_json(out, std::get<Map>(kind).function);
      break;
    case 2: {
      const auto& k = std::get<Fold>(kind);
      out.lit(",\"pattern\":");
      write_string_json(out, k.pattern);
      out.lit(",\"reduction\":");
      write_string_json(out, k.reduction);
      break;
    }
    case 3: {
      const auto& k = std::get<Tile>(kind);
      out.lit(",\"pattern\":");
      write_string_json(out, k.pattern);
      write_axes_json(out, k.axes);
      break;
    }
    case 4:
      out.lit(",\"pattern\":");
      write_string_json(out, std::get<Read>(kind).pattern);
      break;
    case 5: {
      const auto& k = std::get<Write>(kind);
      out.lit(",\"pattern\":");
      write_string_json(out, k.pattern);
      out.lit(",\"reduction\":");
      write_string_json(out, k.reduction);
      break;
    }
    case 6:
      out.lit(",\"pattern\":");
      write_string_json(out, std::get<Contract>(kind).pattern);
      break;
    case 7:
      out.lit(",\"value\":");
      write_literal_value_json(out, std::get<Literal>(kind).value);
      break;
    case 8:
      break;
    case 9: {
      const auto& k = std::get<Random>(kind);
      out.lit(",\"lower\":");
      write_number_or_null_json(out, k.lower);
      out.lit(",\"upper\":");
      write_number_or_null_json(out, k.upper);
      break;
    }
    case 10:
      out.lit(",\"target\":");
      write_string_json(out, std::get<Call>(kind).target);
      break;
    case 11: {
      const auto& k = std::get<Loop>(kind);
      out.lit(",\"target\":");
      write_string_json(out, k.target);
      out.lit(",\"count\":");
      if (k.count.is_concrete()) {
        out.put_uint(k.count.value());
      } else {
        write_string_json(out, k.count.name());
      }
      break;
    }
    default: {
      const auto& k = std::get<Cache>(kind);
      out.lit(",\"var\":");
      write_string_json(out, k.var);
      out.lit(",\"init\":");
      write_string_json(out, k.init);
      if (k.extend) {
        out.lit(",\"extend\":");
        write_string_json(out, *k.extend);
      }
      break;
    }
  }
}

void write_op_json(JsonText& out, const Op& op) {
  out.lit("{\"kind\":\"");
  const std::string_view word = kind_word(op.kind);
  out.bytes(word.data(), word.size());  // kind words need no escaping
  out.put('"');
  write_kind_members_json(out, op.kind);
  out.lit(",\"outputs\":");
  write_strings_json(out, op.outputs);
  out.lit(",\"output_types\":[");
  bool first = true;
  for (const std::optional<TensorType>& ty : op.output_types) {
    if (!first) out.put(',');
    first = false;
    if (ty) {
      write_tensor_type_json(out, *ty);
    } else {
      out.lit("null");
    }
  }
  out.lit("],\"args\":[");
  first = true;
  for (const Atom& atom : op.args) {
    if (!first) out.put(',');
    first = false;
    write_atom_json(out, atom);
  }
  out.put(']');
  if (!op.comments.empty()) {
    out.lit(",\"comments\":");
    write_strings_json(out, op.comments);
  }
  out.put('}');
}

void write_function_json(JsonText& out, const Function& function) {
  out.lit("{\"name\":");
  write_string_json(out, function.name);
  if (!function.comments.empty()) {
    out.lit(",\"comments\":");
    write_strings_json(out, function.comments);
  }
  out.lit(",\"params\":");
  write_params_json(out, function.params);
  out.lit(",\"returns\":");
  write_params_json(out, function.returns);
  out.lit(",\"ops\":[");
  const std::size_t count = function.ops.size();
  for (std::size_t i = 0; i < count; ++i) {
    if (i > 0) out.put(',');
    write_op_json(out, function.ops[i]);
  }
  out.lit("]}");
}

void write_constraints_json(JsonText& out, const Constraints& constraints) {
  // Both containers are ordered by the bytes of their keys already.
  out.lit("{\"params\":[");
  bool first = true;
  for (const std::string& param : constraints.params) {
    if (!first) out.put(',');
    first = false;
    write_string_json(out, param);
  }
  out.lit("],\"weights\":{");
  first = true;
  for (const auto& [function, weights] : constraints.weights) {
    if (!first) out.put(',');
    first = false;
    write_string_json(out, function);
    out.lit(":{");
    bool first_weight = true;
    for (const auto& [arg, ty] : weights) {
      if (!first_weight) out.put(',');
      first_weight = false;
      write_string_json(out, arg);
      out.put(':');
      write_tensor_type_json(out, ty);
    }
    out.put('}');
  }
  out.lit("}}");
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
  JsonText out(estimate_module_size(module));
  out.put('{');
  if (!module.header_comments.empty()) {
    out.lit("\"header_comments\":");
    write_strings_json(out, module.header_comments);
    out.put(',');
  }
  out.lit("\"functions\":{");
  bool first = true;
  for (const auto& [key, function] : module.functions) {
    if (!first) out.put(',');
    first = false;
    write_string_json(out, key);
    out.put(':');
    write_function_json(out, function);
  }
  out.lit("}}");
  return std::move(out).take();
}

std::string write_check_report_json(const CheckReport& report) {
  JsonText out(128);
  out.lit("{\"errors\":");
  write_strings_json(out, report.errors);
  out.lit(",\"constraints\":");
  write_constraints_json(out, report.constraints);
  out.put('}');
  return std::move(out).take();
}

}  // namespace quarvel
