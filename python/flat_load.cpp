#include "python/flat_load.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <system_error>
#include <utility>

#include "core/error.h"
#include "core/flatten.h"
#include "core/json_write.h"
#include "core/parse.h"
#include "core/resolve.h"

// The TOML parser is used header-only and without exceptions; this is the only
// translation unit that includes it. Its internal assertions are switched off:
// some malformed inputs trip them, and an assertion would end the process
// instead of failing the call.
#define TOML_EXCEPTIONS 0
#define TOML_HEADER_ONLY 1
#define TOML_ENABLE_FORMATTERS 0
#define TOML_ASSERT(expr) ((void)0)
#include <toml++/toml.h>

namespace quarvel {

namespace {

// ---- reading the file -------------------------------------------------------

[[noreturn]] void fail_read(const std::string& path, std::string_view why) {
  std::string message = "failed to read ";
  message += path;
  message += ": ";
  message += why;
  fail(std::move(message));
}

[[noreturn]] void fail_read_errno(const std::string& path, int err) {
  fail_read(path, std::generic_category().message(err));
}

// ---- parse error text -------------------------------------------------------

bool is_lead_byte(char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }

// "TOML parse error at line L, column C", the offending line under a
// line-number gutter with a caret under the column (counted in characters),
// then the description.
std::string render_toml_error(std::string_view text, std::size_t line, std::size_t column,
                              std::string_view description) {
  std::string_view shown;
  std::size_t start = 0;
  bool found = line >= 1;
  for (std::size_t l = 1; found && l < line; ++l) {
    const std::size_t nl = text.find('\n', start);
    if (nl == std::string_view::npos) found = false;
    else start = nl + 1;
  }
  if (found) {
    const std::size_t end = text.find('\n', start);
    shown = text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
    if (!shown.empty() && shown.back() == '\r') shown.remove_suffix(1);
  }

  const std::string number = std::to_string(line);
  const std::string gutter(number.size(), ' ');
  std::string out;
  out.reserve(96 + 2 * shown.size() + description.size());
  out += "TOML parse error at line ";
  out += number;
  out += ", column ";
  out += std::to_string(column);
  out += '\n';
  out += gutter;
  out += " |\n";
  out += number;
  out += " | ";
  out += shown;
  out += '\n';
  out += gutter;
  out += " | ";
  // One pad per character before the column; tabs are kept so that the caret
  // lines up under the same character. At most one place past the line's end.
  std::size_t pads = column > 0 ? column - 1 : 0;
  for (std::size_t i = 0; i < shown.size() && pads > 0; ++i) {
    if (!is_lead_byte(shown[i])) continue;
    out += shown[i] == '\t' ? '\t' : ' ';
    --pads;
  }
  out += '^';
  out += '\n';
  out += description;
  return out;
}

[[noreturn]] void fail_parse(std::string_view path, std::string_view text, std::size_t line,
                             std::size_t column, std::string_view description) {
  std::string message = "failed to parse ";
  message += path;
  message += ": ";
  message += render_toml_error(text, line, column, description);
  fail(std::move(message));
}

// ---- nesting bound ----------------------------------------------------------

// The end of the string literal that starts at `i` (a quote), or the newline
// that ends an unterminated one-line literal.
std::size_t skip_string(std::string_view text, std::size_t i) {
  const std::size_t n = text.size();
  const char q = text[i];
  const bool basic = q == '"';
  if (i + 2 < n && text[i + 1] == q && text[i + 2] == q) {
    i += 3;
    while (i < n) {
      const char c = text[i];
      if (basic && c == '\\') {
        i += 2;
      } else if (c == q) {
        std::size_t run = 0;
        while (i < n && text[i] == q) ++run, ++i;
        if (run >= 3) return i;
      } else {
        ++i;
      }
    }
    return n;
  }
  ++i;
  while (i < n) {
    const char c = text[i];
    if (c == q) return i + 1;
    if (c == '\n') return i;
    i += basic && c == '\\' ? 2 : 1;
  }
  return n;
}

// The offset at which the document's tables, keys and arrays would nest more
// than kMaxTomlNesting levels deep, or npos. The count is an upper bound of
// the depth of the tree the parser builds: a table header counts two levels
// per key part (each part may be an array of tables), a dotted key one level
// per dot, an inline table or array one level plus the dots of its key.
std::size_t find_excess_nesting(std::string_view text) {
  const std::size_t n = text.size();
  std::vector<std::size_t> open;  // levels added by each open bracket or brace
  std::size_t open_sum = 0;
  std::size_t header = 0;    // levels of the current table header
  std::size_t key_dots = 0;  // dots of the key whose value is being read
  std::size_t run_dots = 0;  // dots since the last separator
  bool in_header = false;
  bool line_has_content = false;
  auto depth = [&] {
    return in_header ? 2 * (run_dots + 1) : header + open_sum + key_dots + run_dots;
  };
  std::size_t i = text.substr(0, 3) == "\xEF\xBB\xBF" ? 3 : 0;
  while (i < n) {
    const char c = text[i];
    switch (c) {
      case '#':
        while (i < n && text[i] != '\n') ++i;
        continue;
      case '"':
      case '\'':
        i = skip_string(text, i);
        line_has_content = true;
        continue;
      case '\n':
        if (open.empty()) {
          key_dots = 0;
          line_has_content = false;
        }
        run_dots = 0;
        break;
      case ' ':
      case '\t':
      case '\r':
        break;
      case '.':
        ++run_dots;
        line_has_content = true;
        if (depth() > kMaxTomlNesting) return i;
        break;
      case '=':
        key_dots = run_dots;
        run_dots = 0;
        line_has_content = true;
        break;
      case ',':
        key_dots = 0;
        run_dots = 0;
        break;
      case '[':
        if (in_header) break;  // the second bracket of [[...]]
        if (open.empty() && !line_has_content) {
          in_header = true;
          run_dots = 0;
          line_has_content = true;
          break;
        }
        [[fallthrough]];
      case '{':
        open.push_back(1 + key_dots);
        open_sum += open.back();
        key_dots = 0;
        run_dots = 0;
        line_has_content = true;
        if (depth() > kMaxTomlNesting) return i;
        break;
      case ']':
        if (in_header) {
          header = 2 * (run_dots + 1);
          in_header = false;
          run_dots = 0;
          break;
        }
        [[fallthrough]];
      case '}':
        if (!open.empty()) {
          open_sum -= open.back();
          open.pop_back();
        }
        key_dots = 0;
        run_dots = 0;
        break;
      default:
        line_has_content = true;
        break;
    }
    ++i;
  }
  return std::string_view::npos;
}

// ---- the document -----------------------------------------------------------

toml::table parse_toml(std::string_view text, std::string_view path) {
  if (const std::size_t at = find_excess_nesting(text); at != std::string_view::npos) {
    const std::string_view before = text.substr(0, at);
    const std::size_t nl = before.rfind('\n');
    std::size_t line = 1;
    for (char c : before)
      if (c == '\n') ++line;
    std::size_t column = 1;
    for (char c : before.substr(nl == std::string_view::npos ? 0 : nl + 1))
      if (is_lead_byte(c)) ++column;
    fail_parse(path, text, line, column,
               "tables, keys and arrays nested more than " + std::to_string(kMaxTomlNesting) +
                   " levels deep");
  }
  toml::parse_result result = toml::parse(text, std::string_view{});
  if (!result) {
    const toml::parse_error& error = result.error();
    fail_parse(path, text, error.source().begin.line, error.source().begin.column,
               error.description());
  }
  return std::move(result).table();
}

// The elements of a TOML array as floats, integers converted to the nearest.
std::vector<double> toml_array_to_list(const toml::array& array) {
  std::vector<double> list;
  list.reserve(array.size());
  for (const toml::node& element : array) {
    if (const auto* i = element.as_integer()) list.push_back(static_cast<double>(i->get()));
    else if (const auto* f = element.as_floating_point()) list.push_back(f->get());
    else fail("unexpected value in vector section");
  }
  return list;
}

// Adds the string values of `table` and of all its sub-tables under keys
// "{prefix}.{key}...", walking keys in ascending byte order and finishing a
// sub-table before the next key. The walk keeps its own stack.
void flatten_weights_table(const toml::table& table, std::string prefix, WeightMap& map) {
  struct Frame {
    toml::table::const_iterator it;
    toml::table::const_iterator end;
    std::size_t prefix_size;
  };
  std::string key = std::move(prefix);
  std::vector<Frame> stack;
  stack.push_back({table.cbegin(), table.cend(), key.size()});
  while (!stack.empty()) {
    Frame& top = stack.back();
    if (top.it == top.end) {
      stack.pop_back();
      continue;
    }
    const toml::key& name = (*top.it).first;
    const toml::node& value = (*top.it).second;
    ++top.it;
    key.resize(top.prefix_size);
    key += '.';
    key += name.str();
    if (const auto* s = value.as_string()) {
      map.insert_or_assign(key, s->get());
    } else if (const auto* sub = value.as_table()) {
      stack.push_back({sub->cbegin(), sub->cend(), key.size()});
    }
  }
}

bool is_index_part(std::string_view part) {
  for (char c : part)
    if (c < '0' || c > '9') return false;
  return true;
}

}  // namespace

// ---- public readers ---------------------------------------------------------

std::string read_config_text(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) fail_read_errno(path, errno);
  std::string text;
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0)
    text.reserve(static_cast<std::size_t>(st.st_size));
  char buffer[65536];
  for (;;) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got == 0) break;
    if (got < 0) {
      if (errno == EINTR) continue;
      const int err = errno;
      ::close(fd);
      fail_read_errno(path, err);
    }
    text.append(buffer, static_cast<std::size_t>(got));
  }
  ::close(fd);
  if (!valid_utf8(text)) fail_read(path, "stream did not contain valid UTF-8");
  return text;
}

ConfigMap config_from_toml(std::string_view text, std::string_view path) {
  const toml::table root = parse_toml(text, path);
  ConfigMap config;
  for (std::string_view section : {"shape", "scalar", "vector"}) {
    const toml::table* table = root.get_as<toml::table>(section);
    if (table == nullptr) continue;
    for (const auto& [key, value] : *table) {
      if (const auto* i = value.as_integer()) {
        config.insert_or_assign(std::string(key.str()), ConfigValue{i->get()});
      } else if (const auto* f = value.as_floating_point()) {
        config.insert_or_assign(std::string(key.str()), ConfigValue{f->get()});
      } else if (const auto* a = value.as_array()) {
        config.insert_or_assign(std::string(key.str()), ConfigValue{toml_array_to_list(*a)});
      }
    }
  }
  return config;
}

WeightMap weights_from_toml(std::string_view text, std::string_view path) {
  const toml::table root = parse_toml(text, path);
  WeightMap map;
  if (const toml::table* weights = root.get_as<toml::table>("weights"))
    flatten_weights_table(*weights, "weights", map);
  return map;
}

ConfigMap load_config(const std::string& config_path) {
  const std::string text = read_config_text(config_path);
  return config_from_toml(text, config_path);
}

WeightMap load_weights(const std::string& config_path) {
  const std::string text = read_config_text(config_path);
  return weights_from_toml(text, config_path);
}

// ---- weight renaming --------------------------------------------------------

std::optional<std::string> resolve_weight_name(std::string_view reference, const WeightMap& map) {
  if (const auto exact = map.find(reference); exact != map.end()) return exact->second;

  // Parts of digits only (or empty) are indices; the others, joined, the key.
  std::string key;
  key.reserve(reference.size());
  std::vector<std::string_view> indices;
  std::size_t start = 0;
  for (;;) {
    const std::size_t dot = reference.find('.', start);
    const std::string_view part =
        reference.substr(start, dot == std::string_view::npos ? dot : dot - start);
    if (is_index_part(part)) {
      indices.push_back(part);
    } else {
      if (!key.empty()) key += '.';
      key += part;
    }
    if (dot == std::string_view::npos) break;
    start = dot + 1;
  }
  const auto found = map.find(key);
  if (found == map.end()) return std::nullopt;

  // Each index replaces the first "{}" still in the text. An empty index
  // removes its hole, which can join a '{' before it with a '}' after it into
  // a new hole; `out` never holds a hole, so the only one that can come
  // before the next in `tmpl` is such a joined one.
  const std::string_view tmpl = found->second;
  std::string out;
  out.reserve(tmpl.size() + reference.size());
  std::size_t i = 0;
  for (std::string_view index : indices) {
    if (!out.empty() && out.back() == '{' && i < tmpl.size() && tmpl[i] == '}') {
      out.pop_back();
      ++i;
    } else {
      const std::size_t hole = tmpl.find("{}", i);
      if (hole == std::string_view::npos) break;
      out.append(tmpl.substr(i, hole - i));
      i = hole + 2;
    }
    out.append(index);
  }
  out.append(tmpl.substr(i));
  return out;
}

void rename_weight_args(Module& module, const WeightMap& map) {
  if (map.empty()) return;
  for (auto& entry : module.functions) {
    for (Op& op : entry.second.ops) {
      for (Atom& arg : op.args) {
        if (!arg.is_str() || !starts_with(arg.as_str(), "weights.")) continue;
        if (std::optional<std::string> renamed = resolve_weight_name(arg.as_str(), map))
          arg.v = std::move(*renamed);
      }
    }
  }
}

// ---- the pipeline -----------------------------------------------------------

std::string load_flat_json(const std::string& qrv_path, const std::string& config_path,
                           const std::string& entry, const std::vector<std::string>& cache_keys) {
  Module flat;
  {
    Module parsed = parse_file(qrv_path);
    const ConfigMap config = load_config(config_path);
    Module configured = apply_config(parsed, config);
    parsed = Module{};
    const Module inferred = infer_axes(configured);
    configured = Module{};
    const CacheKeys keys(cache_keys.begin(), cache_keys.end());
    flat = flatten_module(inferred, entry, keys);
  }
  const WeightMap weights = load_weights(config_path);
  rename_weight_args(flat, weights);
  return write_module_json(flat);
}

}  // namespace quarvel
