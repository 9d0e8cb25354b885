// Helpers shared by the C++ tests: failure messages, fixture files and small
// builders of model values.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/ast.h"
#include "core/error.h"
#include "core/parse.h"

namespace quarvel {

// The message of the failure `f` ends with, or a marker when it succeeds.
inline std::string failure_of(const std::function<void()>& f) {
  try {
    f();
  } catch (const Failure& e) {
    return e.message();
  }
  return "<no failure>";
}

// The message that ends a call on a JSON error.
inline std::string unwrap_message(std::string_view description, int line, int column) {
  return "called `Result::unwrap()` on an `Err` value: Error(" + quoted_text(description) +
         ", line: " + std::to_string(line) + ", column: " + std::to_string(column) + ")";
}

inline std::string repeat(std::string_view s, std::size_t n) {
  std::string out;
  out.reserve(s.size() * n);
  for (std::size_t i = 0; i < n; ++i) out += s;
  return out;
}

// The text of tests/fixtures/<name>.
inline std::string read_fixture(const std::string& name) {
  const std::string path = std::string(QUARVEL_FIXTURES) + "/" + name;
  std::ifstream file(path, std::ios::binary);
  EXPECT_TRUE(file) << "cannot read " << path;
  std::stringstream buffer;
  buffer << file.rdbuf();
  return buffer.str();
}

// A scratch directory for the files a test writes, removed with the fixture.
class ScratchDir : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = ::testing::TempDir() + "quarvel_XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    std::error_code ec;
    // A test may have taken the permissions away from what it wrote.
    for (const auto& entry : std::filesystem::directory_iterator(dir_, ec))
      std::filesystem::permissions(entry.path(), std::filesystem::perms::owner_all, ec);
    std::filesystem::remove_all(dir_, ec);
  }
  // Writes `content` to the file `name` of the directory; returns its path.
  std::string write(const std::string& name, const std::string& content) {
    const std::string path = dir_ + "/" + name;
    std::ofstream(path, std::ios::binary) << content;
    return path;
  }
  std::string dir_;
};

// Builders of model values in a context that the test keeps alive (usually
// the context of the module under test: `Context& ctx = module.ctx();`).
inline TypeRef ty(Context& ctx, std::string_view dtype, std::initializer_list<Dim> shape = {}) {
  return ctx.type(dtype, shape);
}

inline Op make_op(Context& ctx, OpKind kind, std::initializer_list<std::string_view> outputs = {},
                  std::initializer_list<TypeRef> types = {}, std::initializer_list<Atom> args = {},
                  std::initializer_list<std::string_view> comments = {}) {
  auto texts = [&ctx](std::initializer_list<std::string_view> items) {
    std::vector<Text> copies;
    for (std::string_view item : items) copies.push_back(ctx.text(item));
    return ctx.list(copies);
  };
  Op op;
  op.head = ctx.head(kind, texts(comments));
  op.outputs = texts(outputs);
  op.output_types = ctx.list(types);
  op.args = ctx.list(args);
  return op;
}

// Changes the fields of `op`'s kind, a K, by `change`; the new head is
// interned in `ctx`.
template <class K, class Change>
void change_kind(Context& ctx, Op& op, Change&& change) {
  OpKind kind = op.kind();
  change(std::get<K>(kind));
  op.head = ctx.head(op, kind);
}
inline void set_comments(Context& ctx, Op& op, Comments comments) {
  op.head = ctx.head(op.kind(), comments);
}

// [[[...[1]...]]], `depth` lists deep, built without recursion.
inline LiteralValue deeply_nested_list(Context& ctx, int depth) {
  LiteralValue value = LiteralValue::integer(1);
  for (int i = 0; i < depth; ++i) value = LiteralValue::list(ctx.list({value}));
  return value;
}

}  // namespace quarvel
