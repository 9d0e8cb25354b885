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

// Whether the parser is built (it fails on every input while it is a stub).
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

inline bool parser_ready() {
  try {
    parse_source("");
    return true;
  } catch (const Failure&) {
    return false;
  }
}

inline TensorType ty(std::string dtype, Shape shape = {}) {
  return TensorType{std::move(dtype), std::move(shape)};
}

inline Op make_op(OpKind kind, std::vector<std::string> outputs = {}, OutputTypes types = {},
                  Args args = {}, std::vector<std::string> comments = {}) {
  Op op;
  op.kind = std::move(kind);
  op.outputs = std::move(outputs);
  op.output_types = std::move(types);
  op.args = std::move(args);
  op.comments = std::move(comments);
  return op;
}

// [[[...[1]...]]], `depth` lists deep, built without recursion.
inline LiteralValue deeply_nested_list(int depth) {
  LiteralValue value = LiteralValue::integer(1);
  for (int i = 0; i < depth; ++i) {
    std::vector<LiteralValue> items;
    items.push_back(std::move(value));
    value = LiteralValue::list(std::move(items));
  }
  return value;
}

// Takes a value of `deeply_nested_list` apart one level at a time, so that
// destroying it does not recurse.
inline void take_apart(LiteralValue& held) {
  while (held.is_list() && !held.as_list().empty()) {
    LiteralValue inner = std::move(std::get<2>(held.v)[0]);
    held = std::move(inner);
  }
}

}  // namespace quarvel
