#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <deque>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "core/error.h"
#include "core/json_read.h"
#include "core/json_write.h"
#include "tests/test_util.h"

namespace quarvel {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr std::int64_t kMin64 = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kMax64 = std::numeric_limits<std::int64_t>::max();
constexpr std::uint64_t kMaxU64 = std::numeric_limits<std::uint64_t>::max();

// The message reading `text` fails with, or "" when it reads.
std::string failure_of(std::string_view text) {
  try {
    read_module_json(text);
  } catch (const Failure& f) {
    return f.message();
  }
  return "";
}

struct ErrorCase {
  std::string text;
  std::string description;
  int line;
  int column;
};

void expect_errors(const std::vector<ErrorCase>& cases) {
  for (const ErrorCase& c : cases)
    EXPECT_EQ(failure_of(c.text), unwrap_message(c.description, c.line, c.column)) << c.text;
}

// A module whose only function holds the given "ops" elements.
const std::string kOpsPrefix = R"({"functions":{"f":{"name":"f","params":[],"returns":[],"ops":[)";
std::string with_ops(std::string_view ops) { return kOpsPrefix + std::string(ops) + "]}}}"; }

// A module whose only parameter has the given "shape" value.
const std::string kShapePrefix =
    R"({"functions":{"f":{"name":"f","params":[{"name":"x","ty":{"dtype":"f32","shape":)";
std::string with_shape(std::string_view shape) {
  return kShapePrefix + std::string(shape) + R"(}}],"returns":[],"ops":[]}}})";
}

// The texts of a list, for comparisons.
std::vector<std::string> strings(List<Text> texts) { return {texts.begin(), texts.end()}; }

// Reads `op` as the only op of a module. The module is kept to the end of
// the program, so that the op's texts and lists stay valid.
Op read_one_op(std::string_view op) {
  static std::deque<Module> modules;
  const Module& m = modules.emplace_back(read_module_json(with_ops(op)));
  const Function* f = m.functions.find("f");
  EXPECT_TRUE(f != nullptr && f->ops.size() == 1) << op;
  return f != nullptr && !f->ops.empty() ? f->ops[0] : Op{};
}

// ---- errors -----------------------------------------------------------------

TEST(JsonReadErrors, Examples) {
  expect_errors({
      {"", "EOF while parsing a value", 1, 0},
      {"[]", "invalid length 1, expected struct Module with 2 elements", 1, 2},
      {"{}", "missing field `functions`", 1, 2},
      {R"("m")", R"(invalid type: string "m", expected struct Module)", 1, 3},
      {R"({"functions":[]})", "invalid type: sequence, expected a map", 1, 13},
      {R"({"functions":{},"functions":{}})", "duplicate field `functions`", 1, 27},
      {R"({"functions":{}} x)", "trailing characters", 1, 18},
      {"[[],{},1]", "trailing characters", 1, 8},
      {R"({"header_comments":null,"functions":{}})", "invalid type: null, expected a sequence", 1, 23},
      {R"({"functions":{"f":{"name":"f"}}})", "missing field `params`", 1, 30},
      {R"({"functions":{"f":["f"]}})", "invalid length 2, expected struct Function with 5 elements", 1, 23},
      {R"({"functions":{"f":{"name":100000000000000000000}}})",
       "invalid type: floating point `1e+20`, expected a string", 1, 47},
      {R"({"functions":{"f":{"name":"f","params":[],"returns":[],"ops":[],}}})", "trailing comma", 1, 65},
      {R"({"functions":{"f":{"name":"f","params":[],"returns":[],"ops":[]}})", "EOF while parsing an object", 1, 65},
      {R"([[],{"f":{"name":"f","params":5,"returns":[],"ops":[]}}])",
       "invalid type: integer `5`, expected a sequence", 1, 31},
      {R"([[],{"f":["f",[],[["x",["f32",[1.5]]]],[],[]]]])",
       "data did not match any variant of untagged enum Dim", 1, 35},
      {R"([[],{"f":["f",[],[["x",["f32",[1.5, 2]]]],[],[]]]])",
       "data did not match any variant of untagged enum Dim", 1, 36},
      {R"([[],{"f":["f",[],[],[],[{"kind":"iota","outputs":["y"],"output_types":[null],"args":[true]}]]}])",
       "data did not match any variant of untagged enum Atom", 1, 90},
      {R"([[],{"f":["f",[],[],[],[{"kind":"view","pattern":"","axes":{"i":1.5},"outputs":[],"output_types":[],"args":[]}]]}])",
       "invalid type: floating point `1.5`, expected i64", 1, 67},
      // Lines count line feeds; columns restart after each one.
      {"\n{\"functions\":{},\n \"x\": 1,\n \"functions\":{}}", "duplicate field `functions`", 4, 12},
      {"\xef\xbb\xbf{\"functions\":{}}", "expected value", 1, 1},
      {"  \n", "EOF while parsing a value", 2, 0},
  });
}

TEST(JsonReadErrors, ExactMessages) {
  // Descriptions are quoted inside the message: their own quotes and
  // backslashes gain a backslash.
  EXPECT_EQ(failure_of("{}"),
            "called `Result::unwrap()` on an `Err` value: "
            "Error(\"missing field `functions`\", line: 1, column: 2)");
  EXPECT_EQ(failure_of(R"("m")"),
            "called `Result::unwrap()` on an `Err` value: "
            R"(Error("invalid type: string \"m\", expected struct Module", line: 1, column: 3))");
  EXPECT_EQ(failure_of(R"({"functions":{"a)" "\x01"),
            "called `Result::unwrap()` on an `Err` value: "
            R"(Error("control character (\\u0000-\\u001F) found while parsing a string", line: 1, column: 17))");
  EXPECT_EQ(failure_of(with_ops(R"({"kind":"a\"b\n","outputs":[],"output_types":[],"args":[]})")),
            "called `Result::unwrap()` on an `Err` value: "
            R"(Error("unknown op kind: a\"b\n", line: 1, column: 121))");
}

TEST(JsonReadErrors, RecordsListsAndSyntax) {
  expect_errors({
      {R"({"functions":{"f":{"name":"f","comments":null,"params":[],"returns":[],"ops":[]}}})",
       R"(invalid type: null, expected a sequence)", 1, 45},
      {R"([[],{"f":["f",[],[],[]]}])",
       R"(invalid length 4, expected struct Function with 5 elements)", 1, 23},
      {R"([[],{"f":["f",[],[],[],[],0]}])",
       R"(trailing characters)", 1, 27},
      {R"([[],{"f":["f",[],[],[],[], ]}])",
       R"(trailing comma)", 1, 28},
      {R"({"functions":{"f":{"name":"f","name":"f","params":[],"returns":[],"ops":[]}}})",
       R"(duplicate field `name`)", 1, 36},
      {R"({"functions":{"f":{"params":[],"ops":[]}}})",
       R"(missing field `name`)", 1, 40},
      {R"({"functions":{"f":{"name":"f","params":[],"ops":[]}}})",
       R"(missing field `returns`)", 1, 51},
      {R"({"functions":{"f":{"name":"f","params":[{"name":"x","ty":{}}],"returns":[],"ops":[]}}})",
       R"(missing field `dtype`)", 1, 59},
      {R"({"functions":{"f":{"name":"f","params":[{"name":"x","ty":{"dtype":"f32"}}],"returns":[],"ops":[]}}})",
       R"(missing field `shape`)", 1, 72},
      {R"({"functions":{"f":{"name":"f","params":[["x"]],"returns":[],"ops":[]}}})",
       R"(invalid length 1, expected struct Param with 2 elements)", 1, 45},
      {R"({"functions":{"f":{"name":"f","params":[["x",[]]],"returns":[],"ops":[]}}})",
       R"(invalid length 0, expected struct TensorType with 2 elements)", 1, 47},
      {R"({"functions":{"f":{"name":"f","params":[{"name":"x","ty":"f32"}],"returns":[],"ops":[]}}})",
       R"(invalid type: string "f32", expected struct TensorType)", 1, 62},
      {R"({"functions":{"f":{"name":"f","params":[7],"returns":[],"ops":[]}}})",
       R"(invalid type: integer `7`, expected struct Param)", 1, 41},
      {R"({"functions":{"f":5}})",
       R"(invalid type: integer `5`, expected struct Function)", 1, 19},
      {R"({"functions":{"f":{"name":"f","params":{},"returns":[],"ops":[]}}})",
       R"(invalid type: map, expected a sequence)", 1, 39},
      {R"({"functions":{"f":{"name":["f"],"params":[],"returns":[],"ops":[]}}})",
       R"(invalid type: sequence, expected a string)", 1, 26},
      {R"({"functions":{"f":{"name":-1.5e3,"params":[],"returns":[],"ops":[]}}})",
       R"(invalid type: floating point `-1500.0`, expected a string)", 1, 32},
      {R"({"functions":{"f":{"name":-7,"params":[],"returns":[],"ops":[]}}})",
       R"(invalid type: integer `-7`, expected a string)", 1, 28},
      {R"({"functions":{"f":{"name":-0,"params":[],"returns":[],"ops":[]}}})",
       R"(invalid type: floating point `-0.0`, expected a string)", 1, 28},
      {R"({"functions":{"f":{"name":false,"params":[],"returns":[],"ops":[]}}})",
       R"(invalid type: boolean `false`, expected a string)", 1, 31},
      {R"({"functions":{"f":{"name":"f","comments":["\"q\n", 3],"params":[],"returns":[],"ops":[]}}})",
       R"(invalid type: integer `3`, expected a string)", 1, 52},
      {R"({"header_comments":[1],"functions":{}})",
       R"(invalid type: integer `1`, expected a string)", 1, 21},
      {R"("a\"b")",
       R"(invalid type: string "a\"b", expected struct Module)", 1, 6},
      {R"({"functions":{})",
       R"(EOF while parsing an object)", 1, 15},
      {R"({"functions":{"f":{"name":"f","params":[)",
       R"(EOF while parsing a list)", 1, 40},
      {R"({"functions":{"f":{"name":"f","params":[],)",
       R"(EOF while parsing a value)", 1, 42},
      {R"({"functions":{"f":{"name":"f","params":[] "x")",
       R"(expected `,` or `}`)", 1, 43},
      {R"({"header_comments":["a",],"functions":{}})",
       R"(trailing comma)", 1, 25},
      {R"({"functions" {}})",
       R"(expected `:`)", 1, 14},
      {R"({"functions")",
       R"(EOF while parsing an object)", 1, 12},
      {R"({"functions":)",
       R"(EOF while parsing a value)", 1, 13},
      {R"({,"functions":{}})",
       R"(key must be a string)", 1, 2},
      {R"({"functions":{}}})",
       R"(trailing characters)", 1, 17},
      {R"({"functions":{"f":{"name":"f","params":[],"returns":[],"ops":[]},}})",
       R"(trailing comma)", 1, 66},
      {R"({"functions":{"f" {}}})",
       R"(expected `:`)", 1, 19},
      {R"({"functions":{3:{}}})",
       R"(key must be a string)", 1, 15},
      {R"({"functions":{},"x":[tru]})",
       R"(expected ident)", 1, 25},
      {R"({"functions":{},"x":{"a":[1,{"b":nul}]}})",
       R"(expected ident)", 1, 37},
      {R"({"functions":{},"x":[1,2)",
       R"(EOF while parsing a list)", 1, 24},
      {R"({"functions":{},"x":{"a":1)",
       R"(EOF while parsing an object)", 1, 26},
      {R"({"functions":{},"x":[1,)",
       R"(EOF while parsing a value)", 1, 23},
      {R"({"functions":{},"x":[)",
       R"(EOF while parsing a list)", 1, 21},
      {R"({"functions":{},"x":{)",
       R"(EOF while parsing an object)", 1, 21},
      {R"({"functions":{},"x":{"a")",
       R"(EOF while parsing an object)", 1, 24},
      {R"({"functions":{},"x":"ab)",
       R"(EOF while parsing a string)", 1, 23},
      {R"({"functions":{},"x":])",
       R"(expected value)", 1, 21},
      {R"({"functions":{"\u00e9\ud83d\ude00":{"name":"f","params":[],"returns":[],"ops":[]}},"functions":1})",
       R"(duplicate field `functions`)", 1, 94},
      {"{\"functions\":{\"a\x01""\":1}}",
       R"(control character (\u0000-\u001F) found while parsing a string)", 1, 17},
      {R"({"functions":{"a\q":1}})",
       R"(invalid escape)", 1, 18},
      {R"({"functions":{"a\u12x4":1}})",
       R"(invalid escape)", 1, 22},
      {R"({"functions":{"a\u12)",
       R"(EOF while parsing a string)", 1, 20},
      {R"({"functions":{"a\)",
       R"(EOF while parsing a string)", 1, 17},
      {R"({"functions":{"\udc00":1}})",
       R"(lone leading surrogate in hex escape)", 1, 21},
      {R"({"functions":{"\ud800":1}})",
       R"(unexpected end of hex escape)", 1, 22},
      {R"({"functions":{"\ud800\n":1}})",
       R"(unexpected end of hex escape)", 1, 23},
      {R"({"functions":{"\ud800\u0041":1}})",
       R"(lone leading surrogate in hex escape)", 1, 27},
      {R"({"functions":{"\ud800)",
       R"(EOF while parsing a string)", 1, 21},
      {R"({"functions":{"\ud800\)",
       R"(EOF while parsing a string)", 1, 22},
      {R"({"functions":{"f":{"name":-)",
       R"(EOF while parsing a value)", 1, 27},
      {R"({"functions":{"f":{"name":1.)",
       R"(EOF while parsing a value)", 1, 28},
      {R"({"functions":{"f":{"name":1e)",
       R"(EOF while parsing a value)", 1, 28},
      {R"({"functions":{"f":{"name":1e-)",
       R"(EOF while parsing a value)", 1, 29},
      {R"({"functions":{"f":{"name":tr)",
       R"(EOF while parsing a value)", 1, 28},
  });
}

TEST(JsonReadErrors, Numbers) {
  expect_errors({
      {R"({"functions":{"f":{"name":01,"params":[],"returns":[],"ops":[]}}})",
       R"(invalid number)", 1, 28},
      {R"({"functions":{"f":{"name":-x,"params":[],"returns":[],"ops":[]}}})",
       R"(invalid number)", 1, 28},
      {R"({"functions":{"f":{"name":-,,"params":[],"returns":[],"ops":[]}}})",
       R"(invalid number)", 1, 28},
      {R"({"functions":{"f":{"name":1.,,"params":[],"returns":[],"ops":[]}}})",
       R"(invalid number)", 1, 29},
      {R"({"functions":{"f":{"name":1.e5,"params":[],"returns":[],"ops":[]}}})",
       R"(invalid number)", 1, 29},
      {R"({"functions":{"f":{"name":1e,,"params":[],"returns":[],"ops":[]}}})",
       R"(invalid number)", 1, 29},
      {R"({"functions":{"f":{"name":1e+,,"params":[],"returns":[],"ops":[]}}})",
       R"(invalid number)", 1, 30},
      {R"({"functions":{"f":{"name":1e400,"params":[],"returns":[],"ops":[]}}})",
       R"(number out of range)", 1, 31},
      {R"({"functions":{"f":{"name":-1.8e308,"params":[],"returns":[],"ops":[]}}})",
       R"(number out of range)", 1, 34},
      {R"({"functions":{"f":{"name":1e-400,"params":[],"returns":[],"ops":[]}}})",
       R"(invalid type: floating point `0.0`, expected a string)", 1, 32},
      {R"({"functions":{"f":{"name":-1e-400,"params":[],"returns":[],"ops":[]}}})",
       R"(invalid type: floating point `-0.0`, expected a string)", 1, 33},
      {R"({"functions":{"f":{"name":18446744073709551615,"params":[],"returns":[],"ops":[]}}})",
       R"(invalid type: integer `18446744073709551615`, expected a string)", 1, 46},
      {R"({"functions":{"f":{"name":18446744073709551616,"params":[],"returns":[],"ops":[]}}})",
       R"(invalid type: floating point `1.8446744073709552e+19`, expected a string)", 1, 46},
      {R"({"functions":{"f":{"name":-9223372036854775808,"params":[],"returns":[],"ops":[]}}})",
       R"(invalid type: integer `-9223372036854775808`, expected a string)", 1, 46},
      {R"({"functions":{"f":{"name":-9223372036854775809,"params":[],"returns":[],"ops":[]}}})",
       R"(invalid type: floating point `-9.223372036854776e+18`, expected a string)", 1, 46},
      {R"({"functions":{"f":{"name":1E2,"params":[],"returns":[],"ops":[]}}})",
       R"(invalid type: floating point `100.0`, expected a string)", 1, 29},
      {R"({"functions":{"f":{"name":nulL,"params":[],"returns":[],"ops":[]}}})",
       R"(expected ident)", 1, 30},
      {R"({"functions":{"f":{"name":+1,"params":[],"returns":[],"ops":[]}}})",
       R"(expected value)", 1, 27},
  });
  // Digits beyond the largest double, with or without an exponent, fail at
  // the number's last byte.
  const std::string prefix = R"({"functions":{"f":{"name":)";
  const std::string huge = "1" + std::string(400, '0');
  const std::string tiny_then_huge = "0." + std::string(400, '0') + "1e100000000000000000000";
  const std::string tiny = "1" + std::string(400, '0') + "e-800";
  expect_errors({
      {prefix + huge + "}}}", "number out of range", 1, static_cast<int>(prefix.size() + huge.size())},
      {prefix + tiny_then_huge + "}}}", "number out of range", 1,
       static_cast<int>(prefix.size() + tiny_then_huge.size())},
      {prefix + tiny + "}}}", "invalid type: floating point `0.0`, expected a string", 1,
       static_cast<int>(prefix.size() + tiny.size())},
  });
}

TEST(JsonReadErrors, ColumnsCountBytes) {
  expect_errors({
      {"{\"functions\":{\"\xc3\xa9\":5}}", "invalid type: integer `5`, expected struct Function", 1, 20},
      {"{\"functions\":{\n\"\xc3\xa9\":5}}", "invalid type: integer `5`, expected struct Function", 2, 6},
      {"{\"functions\":{}\r\n,\"x\":\t[\n\n  tru]}", "expected ident", 4, 6},
  });
}

TEST(JsonReadErrors, Dims) {
  expect_errors({
      {R"({"functions":{"f":{"name":"f","params":[{"name":"x","ty":{"dtype":"f32","shape":[4.0]}}],"returns":[],"ops":[]}}})",
       R"(data did not match any variant of untagged enum Dim)", 1, 85},
      {R"({"functions":{"f":{"name":"f","params":[{"name":"x","ty":{"dtype":"f32","shape":[-0]}}],"returns":[],"ops":[]}}})",
       R"(data did not match any variant of untagged enum Dim)", 1, 84},
      {R"({"functions":{"f":{"name":"f","params":[{"name":"x","ty":{"dtype":"f32","shape":[1e2]}}],"returns":[],"ops":[]}}})",
       R"(data did not match any variant of untagged enum Dim)", 1, 85},
      {R"({"functions":{"f":{"name":"f","params":[{"name":"x","ty":{"dtype":"f32","shape":[true]}}],"returns":[],"ops":[]}}})",
       R"(data did not match any variant of untagged enum Dim)", 1, 86},
      {R"({"functions":{"f":{"name":"f","params":[{"name":"x","ty":{"dtype":"f32","shape":[null]}}],"returns":[],"ops":[]}}})",
       R"(data did not match any variant of untagged enum Dim)", 1, 86},
      {R"({"functions":{"f":{"name":"f","params":[{"name":"x","ty":{"dtype":"f32","shape":[[]]}}],"returns":[],"ops":[]}}})",
       R"(data did not match any variant of untagged enum Dim)", 1, 84},
      {R"({"functions":{"f":{"name":"f","params":[{"name":"x","ty":{"dtype":"f32","shape":[{}]}}],"returns":[],"ops":[]}}})",
       R"(data did not match any variant of untagged enum Dim)", 1, 84},
      {R"({"functions":{"f":{"name":"f","params":[{"name":"x","ty":{"dtype":"f32","shape":[9223372036854775808]}}],"returns":[],"ops":[]}}})",
       R"(data did not match any variant of untagged enum Dim)", 1, 101},
      {R"({"functions":{"f":{"name":"f","params":[{"name":"x","ty":{"dtype":"f32","shape":[[1,[2]]]}}],"returns":[],"ops":[]}}})",
       R"(data did not match any variant of untagged enum Dim)", 1, 89},
      {R"({"functions":{"f":{"name":"f","params":[{"name":"x","ty":{"dtype":"f32","shape":[{"a":[1]}]}}],"returns":[],"ops":[]}}})",
       R"(data did not match any variant of untagged enum Dim)", 1, 91},
      {R"({"functions":{"f":{"name":"f","params":[{"name":"x","ty":{"dtype":"f32","shape":[1, true ,2]}}],"returns":[],"ops":[]}}})",
       R"(data did not match any variant of untagged enum Dim)", 1, 90},
      {R"({"functions":{"f":{"name":"f","params":[{"name":"x","ty":{"dtype":"f32","shape":[1e400]}}],"returns":[],"ops":[]}}})",
       R"(number out of range)", 1, 86},
      {R"({"functions":{"f":{"name":"f","params":[{"name":"x","ty":{"dtype":"f32","shape":[[1e400]]}}],"returns":[],"ops":[]}}})",
       R"(number out of range)", 1, 87},
      {R"({"functions":{"f":{"name":"f","params":[{"name":"x","ty":{"dtype":"f32","shape":[[tru]]}}],"returns":[],"ops":[]}}})",
       R"(expected ident)", 1, 86},
      {R"({"functions":{"f":{"name":"f","params":[{"name":"x","ty":{"dtype":"f32","shape":{}}}],"returns":[],"ops":[]}}})",
       R"(invalid type: map, expected a sequence)", 1, 80},
  });
}

TEST(JsonReadErrors, Atoms) {
  expect_errors({
      {R"({"functions":{"f":{"name":"f","params":[],"returns":[],"ops":[{"kind":"iota","outputs":[],"output_types":[],"args":[null]}]}}})",
       R"(data did not match any variant of untagged enum Atom)", 1, 121},
      {R"({"functions":{"f":{"name":"f","params":[],"returns":[],"ops":[{"kind":"iota","outputs":[],"output_types":[],"args":[true]}]}}})",
       R"(data did not match any variant of untagged enum Atom)", 1, 121},
      {R"({"functions":{"f":{"name":"f","params":[],"returns":[],"ops":[{"kind":"iota","outputs":[],"output_types":[],"args":[[1]]}]}}})",
       R"(data did not match any variant of untagged enum Atom)", 1, 120},
      {R"({"functions":{"f":{"name":"f","params":[],"returns":[],"ops":[{"kind":"iota","outputs":[],"output_types":[],"args":[{}]}]}}})",
       R"(data did not match any variant of untagged enum Atom)", 1, 119},
      {R"({"functions":{"f":{"name":"f","params":[],"returns":[],"ops":[{"kind":"iota","outputs":[],"output_types":[],"args":[null, 1]}]}}})",
       R"(data did not match any variant of untagged enum Atom)", 1, 122},
      {R"({"functions":{"f":{"name":"f","params":[],"returns":[],"ops":[{"kind":"iota","outputs":[],"output_types":[],"args":[1e400]}]}}})",
       R"(number out of range)", 1, 121},
      {R"({"functions":{"f":{"name":"f","params":[],"returns":[],"ops":[{"kind":"iota","outputs":[],"output_types":[],"args":"x"}]}}})",
       R"(invalid type: string "x", expected a sequence)", 1, 118},
  });
}

TEST(JsonReadErrors, Axes) {
  expect_errors({
      {R"({"functions":{"f":{"name":"f","params":[],"returns":[],"ops":[{"kind":"view","axes":{"i":9223372036854775808},"outputs":[],"output_types":[],"args":[]}]}}})",
       R"(invalid value: integer `9223372036854775808`, expected i64)", 1, 108},
      {R"({"functions":{"f":{"name":"f","params":[],"returns":[],"ops":[{"kind":"view","axes":{"i":-0},"outputs":[],"output_types":[],"args":[]}]}}})",
       R"(invalid type: floating point `-0.0`, expected i64)", 1, 91},
      {R"({"functions":{"f":{"name":"f","params":[],"returns":[],"ops":[{"kind":"view","axes":{"i":"n"},"outputs":[],"output_types":[],"args":[]}]}}})",
       R"(invalid type: string "n", expected i64)", 1, 92},
      {R"({"functions":{"f":{"name":"f","params":[],"returns":[],"ops":[{"kind":"view","axes":{"i":null},"outputs":[],"output_types":[],"args":[]}]}}})",
       R"(invalid type: null, expected i64)", 1, 93},
      {R"({"functions":{"f":{"name":"f","params":[],"returns":[],"ops":[{"kind":"view","axes":{"i":[2]},"outputs":[],"output_types":[],"args":[]}]}}})",
       R"(invalid type: sequence, expected i64)", 1, 89},
      {R"({"functions":{"f":{"name":"f","params":[],"returns":[],"ops":[{"kind":"view","axes":{"i":1,},"outputs":[],"output_types":[],"args":[]}]}}})",
       R"(trailing comma)", 1, 92},
  });
}

TEST(JsonReadErrors, OpRecords) {
  expect_errors({
      {R"({"functions":{"f":{"name":"f","params":[],"returns":[],"ops":["x"]}}})",
       R"(invalid type: string "x", expected struct OpRaw)", 1, 65},
      {R"({"functions":{"f":{"name":"f","params":[],"returns":[],"ops":[5]}}})",
       R"(invalid type: integer `5`, expected struct OpRaw)", 1, 63},
      {R"({"functions":{"f":{"name":"f","params":[],"returns":[],"ops":[[]]}}})",
       R"(invalid length 0, expected struct OpRaw with 17 elements)", 1, 64},
      {R"({"functions":{"f":{"name":"f","params":[],"returns":[],"ops":[["iota"]]}}})",
       R"(invalid length 13, expected struct OpRaw with 17 elements)", 1, 70},
      {R"({"functions":{"f":{"name":"f","params":[],"returns":[],"ops":[["iota","p","f","r",{},null,null,null,"t",null,"v","i",null]]}}})",
       R"(invalid length 13, expected struct OpRaw with 17 elements)", 1, 122},
      {R"({"functions":{"f":{"name":"f","params":[],"returns":[],"ops":[["iota","p","f","r",{},null,null,null,"t",null,"v","i",null,[]]]}}})",
       R"(invalid length 14, expected struct OpRaw with 17 elements)", 1, 125},
      {R"({"functions":{"f":{"name":"f","params":[],"returns":[],"ops":[["iota","p","f","r",{},null,null,null,"t",null,"v","i",null,[],[]]]}}})",
       R"(invalid length 15, expected struct OpRaw with 17 elements)", 1, 128},
      {R"({"functions":{"f":{"name":"f","params":[],"returns":[],"ops":[["iota","p","f","r",{},null,null,null,"t",null,"v","i",null,[],[],[],[],0]]}}})",
       R"(trailing characters)", 1, 135},
      {R"({"functions":{"f":{"name":"f","params":[],"returns":[],"ops":[{}]}}})",
       R"(missing field `kind`)", 1, 64},
      {R"({"functions":{"f":{"name":"f","params":[],"returns":[],"ops":[{"kind":"iota"}]}}})",
       R"(missing field `outputs`)", 1, 77},
      {R"({"functions":{"f":{"name":"f","params":[],"returns":[],"ops":[{"kind":"nope","args":[]}]}}})",
       R"(missing field `outputs`)", 1, 87},
      {R"({"functions":{"f":{"name":"f","params":[],"returns":[],"ops":[{"kind":"iota","outputs":[]}]}}})",
       R"(missing field `output_types`)", 1, 90},
      {R"({"functions":{"f":{"name":"f","params":[],"returns":[],"ops":[{"kind":"iota","outputs":[],"output_types":[]}]}}})",
       R"(missing field `args`)", 1, 108},
      {R"({"functions":{"f":{"name":"f","params":[],"returns":[],"ops":[{"kind":"literal","value":null,"value" :null}]}}})",
       R"(duplicate field `value`)", 1, 101},
      {R"({"functions":{"f":{"name":"f","params":[],"returns":[],"ops":[{"kind":5}]}}})",
       R"(invalid type: integer `5`, expected a string)", 1, 71},
      {R"({"functions":{"f":{"name":"f","params":[],"returns":[],"ops":[{"kind":"view","pattern":null}]}}})",
       R"(invalid type: null, expected a string)", 1, 91},
      {R"({"functions":{"f":{"name":"f","params":[],"returns":[],"ops":[{"kind":"random","lower":"1"}]}}})",
       R"(invalid type: string "1", expected f64)", 1, 90},
      {R"({"functions":{"f":{"name":"f","params":[],"returns":[],"ops":[{"kind":"random","lower":true}]}}})",
       R"(invalid type: boolean `true`, expected f64)", 1, 91},
      {R"({"functions":{"f":{"name":"f","params":[],"returns":[],"ops":[{"kind":"view","axes":[]}]}}})",
       R"(invalid type: sequence, expected a map)", 1, 84},
      {R"({"functions":{"f":{"name":"f","params":[],"returns":[],"ops":[{"kind":"view","outputs":"y"}]}}})",
       R"(invalid type: string "y", expected a sequence)", 1, 90},
      {R"({"functions":{"f":{"name":"f","params":[],"returns":[],"ops":[{"kind":"literal","value":"Inf"}]}}})",
       R"(unexpected string: Inf)", 1, 93},
      {R"({"functions":{"f":{"name":"f","params":[],"returns":[],"ops":[{"kind":"literal","value":true}]}}})",
       R"(invalid type: boolean `true`, expected integer, float, "inf"/"-inf", or array)", 1, 92},
      {R"({"functions":{"f":{"name":"f","params":[],"returns":[],"ops":[{"kind":"literal","value":[1, null]}]}}})",
       R"(invalid type: null, expected integer, float, "inf"/"-inf", or array)", 1, 96},
      {R"({"functions":{"f":{"name":"f","params":[],"returns":[],"ops":[{"kind":"literal","value":{}}]}}})",
       R"(invalid type: map, expected integer, float, "inf"/"-inf", or array)", 1, 90},
      {R"({"functions":{"f":{"name":"f","params":[],"returns":[],"ops":[{"kind":"literal","value":{ "a": 1}}]}}})",
       R"(invalid type: map, expected integer, float, "inf"/"-inf", or array)", 1, 90},
      {R"({"functions":{"f":{"name":"f","params":[],"returns":[],"ops":[{"kind":"literal","value":[[1], {"a": 1}]}]}}})",
       R"(invalid type: map, expected integer, float, "inf"/"-inf", or array)", 1, 95},
      {R"({"functions":{"f":{"name":"f","params":[],"returns":[],"ops":[{"kind":"literal","value":nul}]}}})",
       R"(expected ident)", 1, 92},
      {R"({"functions":{"f":{"name":"f","params":[],"returns":[],"ops":[{"kind":"View","outputs":[],"output_types":[],"args":[]}]}}})",
       R"(unknown op kind: View)", 1, 119},
      {R"({"functions":{"f":{"name":"f","params":[],"returns":[],"ops":[{"kind":"view ","outputs":[],"output_types":[],"args":[]} , {"kind":"iota"}]}}})",
       R"(unknown op kind: view )", 1, 122},
      {R"({"functions":{"f":{"name":"f","params":[],"returns":[],"ops":[{"kind":"map","lower":"x","outputs":[],"output_types":[],"args":[]}]}}})",
       R"(invalid type: string "x", expected f64)", 1, 87},
      {R"({"functions":{"f":{"name":"f","params":[],"returns":[],"ops":[{"kind":"iota","value":"x","outputs":[],"output_types":[],"args":[]}]}}})",
       R"(unexpected string: x)", 1, 88},
      {R"({"functions":{"f":{"name":"f","params":[],"returns":[],"ops":[{"kind":"iota","outputs":[],"output_types":[nulx],"args":[]}]}}})",
       R"(expected ident)", 1, 110},
      {R"({"functions":{"f":{"name":"f","params":[],"returns":[],"ops":[{"kind":"iota","outputs":[],"output_types":[5],"args":[]}]}}})",
       R"(invalid type: integer `5`, expected struct TensorType)", 1, 107},
      {R"({"functions":{"f":{"name":"f","params":[],"returns":[],"ops":[{"kind":"iota","outputs":[],"output_types":[],"args":[],"extend":7}]}}})",
       R"(invalid type: integer `7`, expected a string)", 1, 128},
      {R"({"functions":{"f":{"name":"f","params":[],"returns":[],"ops":[{"kind":"loop","count":[1,]}]}}})",
       R"(trailing comma)", 1, 89},
      {R"({"functions":{"f":{"name":"f","params":[],"returns":[],"ops":[{"kind":"iota","outputs":[],"output_types":[],"args":[],"note":[1,]}]}}})",
       R"(trailing comma)", 1, 129},
      {R"({"functions":{"f":{"name":"f","params":[],"returns":[],"ops":[{"kind":"iota","outputs":[],"output_types":[],"args":[],"note":{"a":1,}}]}}})",
       R"(trailing comma)", 1, 133},
      {R"({"functions":{"f":{"name":"f","params":[],"returns":[],"ops":[{"kind":"iota","outputs":[],"output_types":[],"args":[],"note":{"a" 1}}]}}})",
       R"(expected `:`)", 1, 131},
      {R"({"functions":{"f":{"name":"f","params":[],"returns":[],"ops":[{"kind":"iota","outputs":[],"output_types":[],"args":[],"note":{1:1}}]}}})",
       R"(key must be a string)", 1, 127},
      {R"({"functions":{"f":{"name":"f","params":[],"returns":[],"ops":[{"kind":"iota","outputs":[],"output_types":[],"args":[],"note":[1 2]}]}}})",
       R"(expected `,` or `]`)", 1, 129},
      {R"({"functions":{"f":{"name":"f","params":[],"returns":[],"ops":[{"kind":"iota","outputs":[],"output_types":[],"args":[],"note":{"a":1 "b":2}}]}}})",
       R"(expected `,` or `}`)", 1, 133},
      {R"({"functions":{"f":{"name":"f","params":[],"returns":[],"ops":[{"kind":"iota","outputs":[],"output_types":[],"args":[],"note":[01]}]}}})",
       R"(invalid number)", 1, 128},
      {R"({"functions":{"f":{"name":"f","params":[],"returns":[],"ops":[{"kind":"iota","outputs":[],"output_types":[],"args":[],"note":"\x"}]}}})",
       R"(invalid escape)", 1, 128},
      {R"({"functions":{"f":{"name":"f","params":[],"returns":[],"ops":[{"kind":"iota","outputs":[],"output_types":[],"args":[],"note":[tru]}]}}})",
       R"(expected ident)", 1, 130},
      {R"({"functions":{"f":{"name":"f","params":[],"returns":[],"ops":[{"kind":"literal","value":nu)",
       R"(EOF while parsing a value)", 1, 90},
  });
}

TEST(OpConversion, FailuresEndTheCallWithTheirOwnMessage) {
  const std::string tail = R"(,"outputs":["y"],"output_types":[null],"args":[])";
  struct Case {
    std::string op;
    std::string message;
  } cases[] = {
      {R"({"kind":"random")" + tail + "}", "random requires 'lower' field"},
      {R"({"kind":"random","lower":null)" + tail + "}", "random requires 'lower' field"},
      {R"({"kind":"random","upper":1)" + tail + "}", "random requires 'lower' field"},
      {R"({"kind":"random","lower":0)" + tail + "}", "random requires 'upper' field"},
      {R"({"kind":"random","lower":0,"upper":null)" + tail + "}", "random requires 'upper' field"},
      {R"({"kind":"loop","count":-1)" + tail + "}", "called `Option::unwrap()` on a `None` value"},
      {R"({"kind":"loop","count":-0)" + tail + "}", "called `Option::unwrap()` on a `None` value"},
      {R"({"kind":"loop","count":2.5)" + tail + "}", "called `Option::unwrap()` on a `None` value"},
      {R"({"kind":"loop","count":3.0)" + tail + "}", "called `Option::unwrap()` on a `None` value"},
      {R"({"kind":"loop","count":1e2)" + tail + "}", "called `Option::unwrap()` on a `None` value"},
      {R"({"kind":"loop","count":18446744073709551616)" + tail + "}",
       "called `Option::unwrap()` on a `None` value"},
      // Each op is converted before the next element is read.
      {R"({"kind":"random")" + tail + "}, tru", "random requires 'lower' field"},
  };
  for (const Case& c : cases) EXPECT_EQ(failure_of(with_ops(c.op)), c.message) << c.op;
  // An unknown kind ends the reading before a later syntax error is seen.
  EXPECT_EQ(failure_of(kOpsPrefix + R"({"kind":"nope")" + tail + "},\n  x"),
            unwrap_message("unknown op kind: nope", 2, 2));
}

// ---- values -----------------------------------------------------------------

TEST(JsonRead, ModuleForms) {
  for (std::string_view text : {R"({"functions":{}})", R"({"header_comments":[],"functions":{}})",
                                " \t\r\n{ \"functions\" : { } } \n", R"([[],{}])",
                                R"({"functions":{},"x":1,"x":[{"y":null}]})"}) {
    Module m = read_module_json(text);
    EXPECT_TRUE(m.header_comments.empty() && m.functions.empty()) << text;
  }
  const Module commented = read_module_json(R"([["// c"],{}])");
  EXPECT_EQ(strings(commented.header_comments), std::vector<std::string>{"// c"});

  Context ctx;
  Function expected{"f", {}, ctx.list({Param{"x", ctx.type("f32", {Dim::concrete(2)})}}), {}, {}};
  for (std::string_view text : {
           R"({"functions":{"f":{"ops":[],"returns":[],"params":[{"name":"x","ty":{"dtype":"f32","shape":[2]}}],"name":"f"}}})",
           R"({"functions":{"f":["f",[],[["x",["f32",[2]]]],[],[]]}})",
           R"({"functions":{"f":{"name":"f","params":[["x",{"dtype":"f32","shape":[2]}]],"returns":[],"ops":[]}}})",
           R"({"functions":{"f":{"name":"f","params":[{"name":"x","ty":["f32",[2]]}],"returns":[],"ops":[],"deep":)"
           "[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[{\"a\":[1,-2.5e-3,\"\\u0000\",true,false,null,{}]}]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]}}}",
       }) {
    Module m = read_module_json(text);
    const Function* f = m.functions.find("f");
    ASSERT_NE(f, nullptr) << text;
    EXPECT_EQ(*f, expected) << text;
  }
}

TEST(JsonRead, FunctionMapKeepsKeysAndOrder) {
  Module m = read_module_json(
      R"({"functions":{"a":{"name":"a","params":[],"returns":[],"ops":[]},)"
      R"("g":{"name":"h","params":[],"returns":[],"ops":[]},)"
      R"("a":{"name":"second","params":[],"returns":[],"ops":[]}}})");
  ASSERT_EQ(m.functions.size(), 2u);
  EXPECT_EQ(m.functions.at_position(0).first, "a");
  EXPECT_EQ(m.functions.at_position(0).second.name, "second");
  EXPECT_EQ(m.functions.at_position(1).first, "g");
  EXPECT_EQ(m.functions.at_position(1).second.name, "h");
}

TEST(JsonRead, Strings) {
  struct Case {
    std::string json;  // a JSON string, quotes included
    std::string text;
  } cases[] = {
      {R"("")", ""},
      {R"("plain")", "plain"},
      {R"("\"\\\/\b\f\n\r\t")", "\"\\/\b\f\n\r\t"},
      {R"("na\u006de")", "name"},
      {R"("\u0000x")", std::string("\0x", 2)},
      {R"("\u00e9\u4e2d\uD83D\uDE00")", "\xc3\xa9\xe4\xb8\xad\xf0\x9f\x98\x80"},
      {"\"\xc3\xa9\xe4\xb8\xad\xf0\x9f\x98\x80\x7f\"", "\xc3\xa9\xe4\xb8\xad\xf0\x9f\x98\x80\x7f"},
      {R"("a\nb\u0041c")", "a\nbAc"},
  };
  for (const Case& c : cases) {
    Module m = read_module_json(R"({"header_comments":[)" + c.json + R"(],"functions":{}})");
    ASSERT_EQ(m.header_comments.size(), 1u);
    EXPECT_EQ(m.header_comments[0], c.text) << c.json;
  }
  // A key written with escapes is the member it spells.
  EXPECT_EQ(read_module_json(R"({"\u0066unctions":{}})"), Module{});
  const Module named = read_module_json(with_shape(R"(["na\u006de"])"));
  Context ctx;
  EXPECT_EQ(named.functions.find("f")->params[0].ty->shape, ctx.list({Dim::named("name")}));
}

TEST(JsonRead, MalformedUtf8IsRefused) {
  // Callers pass Python text, which is always UTF-8; other bytes inside a
  // string are refused after its closing quote rather than stored.
  for (std::string bytes : {"\x80", "\xc3", "\xc0\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80",
                            "\xe0\x80\xaf", "\xf8\x88\x80\x80\x80", "\xff"}) {
    const std::string text = "{\"functions\":{},\"header_comments\":[\"a" + bytes + "b\"]}";
    const int column = static_cast<int>(text.size()) - 2;
    EXPECT_EQ(failure_of(text), unwrap_message("invalid unicode code point", 1, column)) << text;
  }
  // A later syntax error in the same string comes first.
  EXPECT_EQ(failure_of("{\"functions\":{\"\xff\\q\":1}}"), unwrap_message("invalid escape", 1, 18));
}

// Every text of the module is its own: the input may go once it is read.
TEST(JsonRead, ModuleOwnsItsTexts) {
  auto text = std::make_unique<std::string>(
      R"({"header_comments":["// h"],"functions":{"f\u00e9":{"name":"f","comments":["// c"],)"
      R"("params":[{"name":"x","ty":{"dtype":"f32","shape":["n",2]}}],"returns":[],"ops":[)"
      R"({"kind":"view","pattern":"a b -> b a","axes":{"a":2,"b\"":3},"outputs":["y"],)"
      R"("output_types":[{"dtype":"f\u0033\u0032","shape":["n",2]},{"dtype":"*","shape":["m"]}],)"
      R"("args":["x","s\n"]},{"kind":"cache","var":"v","init":"i","extend":"e","outputs":[],)"
      R"("output_types":[],"args":[]},{"kind":"loop","target":"t","count":"k","outputs":[],)"
      R"("output_types":[],"args":[]}]}}})");
  const Module m = read_module_json(*text);
  const std::string written = write_module_json(m);
  text->assign(text->size(), '#');
  text.reset();
  EXPECT_EQ(write_module_json(m),
            R"({"header_comments":["// h"],"functions":{"fé":{"name":"f","comments":["// c"],)"
            R"("params":[{"name":"x","ty":{"dtype":"f32","shape":["n",2]}}],"returns":[],"ops":[)"
            R"({"kind":"view","pattern":"a b -> b a","axes":{"a":2,"b\"":3},"outputs":["y"],)"
            R"("output_types":[{"dtype":"f32","shape":["n",2]},{"dtype":"*","shape":["m"]}],)"
            R"("args":["x","s\n"]},{"kind":"cache","var":"v","init":"i","extend":"e","outputs":[],)"
            R"("output_types":[],"args":[]},{"kind":"loop","target":"t","count":"k","outputs":[],)"
            R"("output_types":[],"args":[]}]}}})");
  EXPECT_EQ(write_module_json(m), written);
}

// Types are interned: equal types read anywhere are one type of the module,
// whatever their JSON text; types whose texts differ a little stay apart.
TEST(JsonRead, EqualTypesAreOneType) {
  const std::string f32_2 = R"({"dtype":"f32","shape":[2]})";
  const Module m = read_module_json(
      R"({"functions":{"f":{"name":"f","params":[{"name":"x","ty":)" + f32_2 +
      R"(},{"name":"y","ty":["f32",[2]]}],"returns":[{"name":"z","ty":{"shape":[2],"dtype":"f\u0033\u0032"}}],"ops":[)"
      R"({"kind":"iota","outputs":[],"output_types":[)" + f32_2 + "," + f32_2 +
      R"(,{"dtype":"f32","shape":[2,3]},{"dtype":"f32","shape":[2] },{"dtype":"f32","shape":[3]},)" + f32_2 +
      R"(,{"dtype":"f32","shape":[2,"n"]}],"args":[]}]}}})");
  const Function& f = *m.functions.find("f");
  const TensorType* one = f.params[0].ty.get();
  EXPECT_EQ(f.params[1].ty.get(), one);
  EXPECT_EQ(f.returns[0].ty.get(), one);
  const OutputTypes& types = f.ops[0].output_types;
  ASSERT_EQ(types.size(), 7u);
  for (std::size_t i : {0, 1, 3, 5}) EXPECT_EQ(types[i].get(), one) << i;
  Context ctx;
  EXPECT_EQ(types[2], ctx.type("f32", {Dim::concrete(2), Dim::concrete(3)}));
  EXPECT_EQ(types[4], ctx.type("f32", {Dim::concrete(3)}));
  EXPECT_EQ(types[6], ctx.type("f32", {Dim::concrete(2), Dim::named("n")}));
  EXPECT_EQ(*one, *ctx.type("f32", {Dim::concrete(2)}));
}

// A type record read before is not read again, but where the same text would
// fail it still fails the same way.
TEST(JsonRead, RepeatedTypeTextsFailAlike) {
  const std::string ty = R"({"dtype":"f32","shape":[2]})";
  const std::string head = kOpsPrefix + R"({"kind":"iota","outputs":[],"output_types":[)" + ty + ",";
  expect_errors({
      {head + ty, "EOF while parsing a list", 1, static_cast<int>(head.size() + ty.size())},
      {head + R"({"dtype":"f32","shape":[2],"shape":[2]}],"args":[]}]}}})", "duplicate field `shape`", 1,
       static_cast<int>(head.size() + 34)},
      {head + ty.substr(0, ty.size() - 1), "EOF while parsing an object", 1,
       static_cast<int>(head.size() + ty.size() - 1)},
  });
}

TEST(JsonRead, DimsAtomsAxes) {
  Module m = read_module_json(with_shape(R"([4,"n",-1,-9223372036854775808,9223372036854775807,"",0])"));
  Context ctx;
  EXPECT_EQ(m.functions.find("f")->params[0].ty->shape,
            (ctx.list({Dim::concrete(4), Dim::named("n"), Dim::concrete(-1),
                              Dim::concrete(kMin64), Dim::concrete(kMax64), Dim::named(""),
                              Dim::concrete(0)})));

  Op op = read_one_op(
      R"({"kind":"iota","outputs":[],"output_types":[],)"
      R"("args":[1,1.0,"x",-0,9223372036854775808,"inf",18446744073709551615,-9223372036854775809,5e-324,1e-400,-7]})");
  ASSERT_EQ(op.args.size(), 11u);
  EXPECT_EQ(op.args[0], Atom::integer(1));
  EXPECT_EQ(op.args[1], Atom::real(1.0));
  EXPECT_EQ(op.args[2], Atom::str("x"));
  ASSERT_TRUE(op.args[3].is_float());
  EXPECT_TRUE(op.args[3].as_float() == 0 && std::signbit(op.args[3].as_float()));
  EXPECT_EQ(op.args[4], Atom::real(9223372036854775808.0));
  EXPECT_EQ(op.args[5], Atom::str("inf"));
  EXPECT_EQ(op.args[6], Atom::real(18446744073709551616.0));
  EXPECT_EQ(op.args[7], Atom::real(-9223372036854775808.0));
  EXPECT_EQ(op.args[8], Atom::real(std::numeric_limits<double>::denorm_min()));
  ASSERT_TRUE(op.args[9].is_float());
  EXPECT_TRUE(op.args[9].as_float() == 0 && !std::signbit(op.args[9].as_float()));
  EXPECT_EQ(op.args[10], Atom::integer(-7));

  op = read_one_op(
      R"({"kind":"view","axes":{"i":2,"j":-3,"i":5,"":-9223372036854775808},"outputs":[],"output_types":[],"args":[]})");
  const auto& axes = std::get<View>(op.kind()).axes;
  ASSERT_EQ(axes.size(), 3u);
  EXPECT_EQ(axes[0], (Axis{"i", 5}));
  EXPECT_EQ(axes[1], (Axis{"j", -3}));
  EXPECT_EQ(axes[2], (Axis{"", kMin64}));
}

TEST(JsonRead, FloatsAreCorrectlyRounded) {
  struct Case {
    std::string text;
    double value;
  } cases[] = {
      {"0.1", 0.1},
      {"1e300", 1e300},
      {"1.7976931348623157e308", std::numeric_limits<double>::max()},
      {"2.2250738585072011e-308", 2.2250738585072011e-308},
      {"4.9406564584124654e-324", std::numeric_limits<double>::denorm_min()},
      {"2.4703282292062328e-324", std::numeric_limits<double>::denorm_min()},  // just above half
      {"9007199254740993", 9007199254740992.0},  // unsigned, exact in the class, then rounded
      {"0.30000000000000004", 0.30000000000000004},
      {"123456789012345678901234567890", 1.2345678901234568e29},
      {"1E+2", 100.0},
      {"-0.0", -0.0},
  };
  for (const Case& c : cases) {
    Op op = read_one_op(R"({"kind":"random","lower":)" + c.text +
                        R"(,"upper":0,"outputs":[],"output_types":[],"args":[]})");
    const double lower = std::get<Random>(op.kind()).lower;
    EXPECT_EQ(std::bit_cast<std::uint64_t>(lower), std::bit_cast<std::uint64_t>(c.value)) << c.text;
  }
}

TEST(JsonRead, OpsByKind) {
  const std::string common = R"("outputs":["y","z"],"output_types":[null,{"dtype":"f32","shape":[]}],"args":["x"])";
  const Op smallest = read_one_op(R"({"kind":"iota","outputs":[],"output_types":[],"args":[]})");
  Context expected;
  EXPECT_EQ(smallest, (Op{expected.head(Iota{}), {}, {}, {}}));
  EXPECT_EQ(read_one_op(R"({"outputs":[],"output_types":[],"args":[],"kind":"iota"})"), smallest);

  struct Case {
    std::string members;
    OpKind kind;
  } cases[] = {
      {R"("kind":"view","pattern":"a b -> b a","axes":{"a":2})", View{"a b -> b a", {}}},
      {R"("kind":"view")", View{}},
      {R"("kind":"map","function":"relu")", Map{"relu"}},
      {R"("kind":"map","pattern":"a -> b","lower":1,"note":[1,{"a":null}],"note":2)", Map{""}},
      {R"("kind":"fold","pattern":"a b -> a","reduction":"sum")", Fold{"a b -> a", "sum"}},
      {R"("kind":"tile","pattern":"a -> a b")", Tile{"a -> a b", {}}},
      {R"("kind":"read","pattern":"p")", Read{"p"}},
      {R"("kind":"write","pattern":"p","reduction":"add")", Write{"p", "add"}},
      {R"("kind":"contract","pattern":"a b, b c -> a c")", Contract{"a b, b c -> a c"}},
      {R"("kind":"literal")", Literal{LiteralValue::integer(0)}},
      {R"("kind":"literal","value":null)", Literal{LiteralValue::integer(0)}},
      {R"("kind":"random","lower":0,"upper":1)", Random{0.0, 1.0}},
      {R"("kind":"random","lower":5,"upper":-1.5)", Random{5.0, -1.5}},
      {R"("kind":"call","target":"g")", Call{"g"}},
      {R"("kind":"call")", Call{""}},
      {R"("kind":"loop","target":"body","count":7)", Loop{"body", LoopCount::concrete(7)}},
      {R"("kind":"cache","var":"kv","init":"i")", Cache{"kv", "i", std::nullopt}},
      {R"("kind":"cache","var":"kv","init":"i","extend":null)", Cache{"kv", "i", std::nullopt}},
      {R"("kind":"cache","var":"kv","init":"i","extend":"")", Cache{"kv", "i", Text()}},
      {R"("kind":"cache","var":"kv","init":"i","extend":"e")", Cache{"kv", "i", Text("e")}},
  };
  Context ctx;
  AxesBuilder axes;
  axes.insert("a", 2);
  std::get<View>(cases[0].kind).axes = ctx.axes(axes);
  for (const Case& c : cases) {
    const Op op = read_one_op("{" + c.members + "," + common + R"(,"comments":["// c"]})");
    EXPECT_EQ(op.kind(), c.kind) << c.members;
    EXPECT_EQ(strings(op.outputs), (std::vector<std::string>{"y", "z"}));
    EXPECT_EQ(op.output_types,
              (ctx.list<TypeRef>({TypeRef(), ctx.type("f32", {})})));
    EXPECT_EQ(op.args, ctx.list({Atom::str("x")}));
    EXPECT_EQ(strings(op.comments()), std::vector<std::string>{"// c"});
  }
}

TEST(JsonRead, LiteralValues) {
  using L = LiteralValue;
  Context ctx;
  const auto lst = [&](std::initializer_list<L> items) { return L::list(ctx.list(items)); };
  struct Case {
    std::string json;
    L value;
  } cases[] = {
      {"[]", lst({})},
      {R"([1, [2.5, "inf"]])", lst({L::integer(1), lst({L::real(2.5), L::real(kInf)})})},
      {R"("-inf")", L::real(-kInf)},
      {"1.0", L::real(1.0)},
      {"1e2", L::real(100.0)},
      {"9223372036854775807", L::integer(kMax64)},
      {"9223372036854775808", L::integer(kMin64)},
      {"18446744073709551615", L::integer(-1)},
      {"-9223372036854775808", L::integer(kMin64)},
      {"-9223372036854775809", L::real(-9223372036854775808.0)},
      {"18446744073709551616", L::real(18446744073709551616.0)},
      {"[[[]],[-3]]", lst({lst({lst({})}), lst({L::integer(-3)})})},
  };
  for (const Case& c : cases) {
    const Op op = read_one_op(R"({"kind":"literal","value":)" + c.json +
                              R"(,"outputs":[],"output_types":[],"args":[]})");
    EXPECT_EQ(std::get<Literal>(op.kind()).value, c.value) << c.json;
  }
  const auto value_of = [](std::string_view json) {
    return std::get<Literal>(read_one_op(R"({"kind":"literal","value":)" + std::string(json) +
                                         R"(,"outputs":[],"output_types":[],"args":[]})")
                                 .kind())
        .value;
  };
  EXPECT_TRUE(std::isnan(value_of(R"("nan")").as_float()));
  EXPECT_TRUE(std::signbit(value_of("-0").as_float()));
  for (std::string_view word : {"Inf", "+inf", "NaN", "infinity", "-nan", "inf "}) {
    const std::string op = R"({"kind":"literal","value":")" + std::string(word) + R"("})";
    EXPECT_EQ(failure_of(with_ops(op)),
              unwrap_message("unexpected string: " + std::string(word), 1,
                             static_cast<int>(kOpsPrefix.size() + op.size() - 1)));
  }
}

TEST(JsonRead, LoopCounts) {
  struct Case {
    std::string json;
    LoopCount count;
  } cases[] = {
      {"0", LoopCount::concrete(0)},
      {"18446744073709551615", LoopCount::concrete(kMaxU64)},
      {R"("n")", LoopCount::named("n")},
      {R"("")", LoopCount::named("")},
      {"null", LoopCount::named("")},
      {"true", LoopCount::named("")},
      {"[]", LoopCount::named("")},
      {R"({"a":[1,{"b":2}],"a":3})", LoopCount::named("")},
  };
  for (const Case& c : cases) {
    const Op op = read_one_op(R"({"kind":"loop","target":"b","count":)" + c.json +
                              R"(,"outputs":[],"output_types":[],"args":[]})");
    EXPECT_EQ(std::get<Loop>(op.kind()).count, c.count) << c.json;
  }
  EXPECT_EQ(std::get<Loop>(read_one_op(R"({"kind":"loop","outputs":[],"output_types":[],"args":[]})").kind()),
            (Loop{"", LoopCount::named("")}));
}

TEST(JsonRead, OpArrayForm) {
  const std::string sixteen =
      R"(["iota", "p", "f", "r", {}, null, null, null, "t", null, "v", "i", null, [], [], [])";
  Context ctx;
  EXPECT_EQ(read_one_op(sixteen + "]"), (Op{ctx.head(Iota{}), {}, {}, {}}));
  EXPECT_EQ(read_one_op(sixteen + ", []]"), (Op{ctx.head(Iota{}), {}, {}, {}}));
  EXPECT_EQ(read_one_op(R"(["cache","","","",{},null,null,null,"","2","v","i","e",["y"],[null],[1],["// c"]])"),
            make_op(ctx, Cache{"v", "i", Text("e")}, {"y"}, {TypeRef()}, {Atom::integer(1)}, {"// c"}));
  EXPECT_EQ(read_one_op(R"(["loop","","","",{},null,null,null,"b","n","","",null,[],[],[]])").kind(),
            OpKind(Loop{"b", LoopCount::named("n")}));
}

// ---- nesting ----------------------------------------------------------------

TEST(JsonReadNesting, BudgetOf128Containers) {
  // A dimension stands inside seven containers: 120 arrays around it are read
  // (and then fail as a dimension), 121 are one too many.
  EXPECT_EQ(failure_of(with_shape("[" + repeat("[", 120) + repeat("]", 120) + "]")),
            unwrap_message("data did not match any variant of untagged enum Dim", 1,
                           static_cast<int>(kShapePrefix.size() + 242)));
  EXPECT_EQ(failure_of(with_shape("[" + repeat("[", 121) + repeat("]", 121) + "]")),
            unwrap_message("recursion limit exceeded", 1, static_cast<int>(kShapePrefix.size() + 122)));

  // A literal value stands inside five: 122 nested lists make 127 containers.
  const auto literal = [](std::size_t depth) {
    return with_ops(R"({"kind":"literal","outputs":[],"output_types":[],"args":[],"value":)" +
                    repeat("[", depth) + repeat("]", depth) + "}");
  };
  Module m = read_module_json(literal(122));
  const LiteralValue* v = &std::get<Literal>(m.functions.find("f")->ops[0].kind()).value;
  int depth = 0;
  for (; v->is_list() && !v->as_list().empty(); v = &v->as_list()[0]) ++depth;
  EXPECT_EQ(depth, 121);
  const std::size_t value_at = literal(0).size() - 5;
  EXPECT_EQ(failure_of(literal(123)),
            unwrap_message("recursion limit exceeded", 1, static_cast<int>(value_at + 123)));
  // The budget holds however deep the text goes.
  EXPECT_EQ(failure_of(literal(1000000)),
            unwrap_message("recursion limit exceeded", 1, static_cast<int>(value_at + 123)));
  // Containers left give their unit back: siblings do not add up.
  EXPECT_NO_THROW(read_module_json(with_ops(R"({"kind":"literal","outputs":[],"output_types":[],"args":[],"value":[)" +
                                            repeat(repeat("[", 100) + repeat("]", 100) + ",", 50) + "1]}")));
}

TEST(JsonReadNesting, BufferedValuesTakeTheBudget) {
  // An argument and a loop count are read whole before they are looked at;
  // their arrays count against the budget together with the containers
  // around them, however deep the text goes.
  const std::string untagged = "data did not match any variant of untagged enum Atom";
  struct Case {
    std::string head;     // the op up to the value
    std::string tail;     // the rest of the op
    std::size_t fits;     // nested arrays still read
    bool fits_is_error;   // an argument made of arrays is no argument
  } cases[] = {
      {R"({"kind":"iota","outputs":[],"output_types":[],"args":[)", "]}", 121, true},
      {R"({"kind":"loop","outputs":[],"output_types":[],"args":[],"count":)", "}", 122, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.head);
    const auto text = [&](std::size_t depth) {
      return with_ops(c.head + repeat("[", depth) + repeat("]", depth) + c.tail);
    };
    const int value_at = static_cast<int>(kOpsPrefix.size() + c.head.size());
    const int fits = static_cast<int>(c.fits);
    EXPECT_EQ(failure_of(text(c.fits)),
              c.fits_is_error ? unwrap_message(untagged, 1, value_at + 2 * fits + 1) : "");
    for (std::size_t depth : {c.fits + 1, std::size_t{1000000}})
      EXPECT_EQ(failure_of(text(depth)), unwrap_message("recursion limit exceeded", 1, value_at + fits + 1));
  }
}

TEST(JsonReadNesting, UnknownMembersAreSkippedAtAnyDepth) {
  const std::size_t n = 1000000;
  EXPECT_EQ(read_module_json(R"({"functions":{},"x":)" + repeat("[", n) + repeat("]", n) + "}"), Module{});
  EXPECT_EQ(read_module_json(R"({"functions":{},"x":)" + repeat(R"({"a":[)", n) + "0" +
                             repeat("]}", n) + "}"),
            Module{});
  const std::string open = R"({"functions":{},"x":)" + repeat("[", n);
  EXPECT_EQ(failure_of(open), unwrap_message("EOF while parsing a list", 1, static_cast<int>(open.size())));
  const std::string bad = open + "1,]";
  EXPECT_EQ(failure_of(bad), unwrap_message("trailing comma", 1, static_cast<int>(bad.size())));
}

// ---- writer and reader together ----------------------------------------------

// Modules of every kind and value form, from a fixed seed.
class ModuleGenerator {
 public:
  explicit ModuleGenerator(std::uint64_t seed) : rng_(seed) {}

  Module module(bool with_nan) {
    with_nan_ = with_nan;
    Module m;
    ctx_ = &m.ctx();
    if (pick(2)) m.header_comments = texts({"// header", "// " + name()});
    const int functions = 1 + static_cast<int>(pick(4));
    for (int i = 0; i < functions; ++i) {
      Function f;
      f.name = text(name());
      if (pick(2)) f.comments = texts({"// " + name()});
      std::vector<Param> params;
      for (int k = static_cast<int>(pick(3)); k > 0; --k) params.push_back({text(name()), type()});
      f.params = ctx_->list(params);
      params.clear();
      for (int k = static_cast<int>(pick(3)); k > 0; --k) params.push_back({text(name()), type()});
      f.returns = ctx_->list(params);
      for (std::size_t kind = 0; kind < kKindCount; ++kind) f.ops.push_back(op(static_cast<OpTag>(kind)));
      const Text key = pick(4) == 0 ? text(name()) : f.name;
      m.functions.insert(key, std::move(f));
    }
    return m;
  }

 private:
  std::uint64_t pick(std::uint64_t n) { return rng_() % n; }

  Text text(const std::string& s) { return ctx_->text(s); }
  List<Text> texts(std::initializer_list<std::string> items) {
    std::vector<Text> copies;
    for (const std::string& item : items) copies.push_back(text(item));
    return ctx_->list(copies);
  }

  std::string name() {
    static const char* const pieces[] = {"x", "w.l0", "param.n", "...", "é", "中", "a\"b", "c\\d",
                                         "\n", "\t", "\x01", "\x7f", "/", "", "😀", "k"};
    std::string s;
    for (int i = static_cast<int>(1 + pick(3)); i > 0; --i) s += pieces[pick(16)];
    return s;
  }

  std::int64_t integer() {
    static const std::int64_t special[] = {0, 1, -1, kMin64, kMax64, 4, 512};
    return pick(3) ? special[pick(7)] : static_cast<std::int64_t>(rng_());
  }

  double real() {
    static const double special[] = {0.0, -0.0, 1.0, 0.5, 1e300, -1e300, 1e-300, 5e-324,
                                     2.2250738585072014e-308, 1e15, 1e16, 1e-5, 1e-6,
                                     std::numeric_limits<double>::max(), 0.1 + 0.2};
    if (pick(2)) return special[pick(15)];
    double x;
    do x = std::bit_cast<double>(rng_());
    while (!std::isfinite(x));
    return x;
  }

  LiteralValue literal(int depth) {
    switch (pick(depth < 4 ? 6 : 5)) {
      case 0: return LiteralValue::integer(integer());
      case 1: return LiteralValue::real(real());
      case 2: return LiteralValue::real(pick(2) ? kInf : -kInf);
      case 3: return with_nan_ ? LiteralValue::real(std::nan("")) : LiteralValue::real(real());
      case 4: return LiteralValue::list({});
      default: {
        std::vector<LiteralValue> items;
        for (int i = static_cast<int>(pick(4)); i > 0; --i) items.push_back(literal(depth + 1));
        return LiteralValue::list(ctx_->list(items));
      }
    }
  }

  TypeRef type() {
    const char* dtype = pick(5) ? "f32" : "*";
    std::vector<Dim> shape;
    std::vector<std::string> names;  // keeps the named dims' texts until the type is interned
    names.reserve(4);
    for (int i = static_cast<int>(pick(4)); i > 0; --i) {
      if (pick(2)) {
        shape.push_back(Dim::concrete(integer()));
      } else {
        shape.push_back(Dim::named(names.emplace_back(name())));
      }
    }
    return ctx_->type(dtype, shape);
  }

  Axes axes() {
    AxesBuilder a;
    std::vector<std::string> names;  // keeps the keys until the axes are frozen
    names.reserve(3);
    for (int i = static_cast<int>(pick(3)); i > 0; --i) a.insert(names.emplace_back(name()), integer());
    return ctx_->axes(a);
  }

  Op op(OpTag tag) {
    Op o;
    OpKind kind;
    switch (tag) {
      case OpTag::View: kind = View{text(name()), axes()}; break;
      case OpTag::Map: kind = Map{text(name())}; break;
      case OpTag::Fold: kind = Fold{text(name()), text(name())}; break;
      case OpTag::Tile: kind = Tile{text(name()), axes()}; break;
      case OpTag::Read: kind = Read{text(name())}; break;
      case OpTag::Write: kind = Write{text(name()), text(name())}; break;
      case OpTag::Contract: kind = Contract{text(name())}; break;
      case OpTag::Literal: kind = Literal{literal(0)}; break;
      case OpTag::Iota: kind = Iota{}; break;
      case OpTag::Random: kind = Random{real(), real()}; break;
      case OpTag::Call: kind = Call{text(name())}; break;
      case OpTag::Loop: {
        static const std::uint64_t counts[] = {0, 1, 12, kMaxU64, std::uint64_t{1} << 63};
        kind = Loop{text(name()), pick(3) ? LoopCount::concrete(counts[pick(5)]) : LoopCount::named(text(name()))};
        break;
      }
      case OpTag::Cache:
        kind = Cache{text(name()), text(name()), pick(2) ? std::optional<Text>(text(name())) : std::nullopt};
        break;
    }
    std::vector<Text> outputs;
    for (int i = static_cast<int>(pick(3)); i > 0; --i) outputs.push_back(text(name()));
    o.outputs = ctx_->list(outputs);
    std::vector<TypeRef> types;
    for (int i = static_cast<int>(pick(3)); i > 0; --i) types.push_back(pick(3) ? type() : TypeRef());
    o.output_types = ctx_->list(types);
    std::vector<Atom> args;
    for (int i = static_cast<int>(pick(4)); i > 0; --i) {
      switch (pick(3)) {
        case 0: args.push_back(Atom::integer(integer())); break;
        case 1: args.push_back(Atom::real(real())); break;
        default: args.push_back(Atom::str(text(name()))); break;
      }
    }
    o.args = ctx_->list(args);
    Comments comments;
    if (pick(2)) comments = texts({"// " + name()});
    o.head = ctx_->head(kind, comments);
    return o;
  }

  std::mt19937_64 rng_;
  bool with_nan_ = false;
  Context* ctx_ = nullptr;
};

TEST(JsonRoundTrip, WrittenModulesReadBackUnchanged) {
  ModuleGenerator gen(20240611);
  for (int i = 0; i < 300; ++i) {
    const bool with_nan = i % 3 == 0;
    const Module m = gen.module(with_nan);
    const std::string text = write_module_json(m);
    const Module back = read_module_json(text);
    EXPECT_EQ(write_module_json(back), text);
    if (!with_nan) {  // not-a-number is unequal to itself
      EXPECT_EQ(back, m) << text;
    }
  }
}

}  // namespace
}  // namespace quarvel
