#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "core/error.h"
#include "core/config.h"
#include "tests/test_util.h"

namespace quarvel {
namespace {

std::string failure_of(std::string_view text) {
  try {
    read_config_map_json(text);
  } catch (const Failure& f) {
    return f.message();
  }
  return "";
}

ConfigValue value_of(std::string_view json) {
  const ConfigMap config = read_config_map_json(R"({"v":)" + std::string(json) + "}");
  EXPECT_EQ(config.size(), 1u) << json;
  return config.at("v");
}

TEST(ConfigRead, Table) {
  const ConfigMap config =
      read_config_map_json(R"({"n": 4, "h": 2.9, "v": [1, 2.5], "neg": -1, "param.x": 7})");
  const ConfigMap expected{{"n", {std::int64_t{4}}},
                           {"h", {2.9}},
                           {"v", {std::vector<double>{1.0, 2.5}}},
                           {"neg", {std::int64_t{-1}}},
                           {"param.x", {std::int64_t{7}}}};
  EXPECT_EQ(config, expected);
  EXPECT_TRUE(read_config_map_json(" {\n} \t").empty());
  EXPECT_EQ(read_config_map_json(R"({"n":1,"m":3,"n":2})"),
            (ConfigMap{{"n", {std::int64_t{2}}}, {"m", {std::int64_t{3}}}}));
  EXPECT_EQ(read_config_map_json(R"({"na\u006de":1,"":2,"N":3})"),
            (ConfigMap{{"name", {std::int64_t{1}}}, {"", {std::int64_t{2}}}, {"N", {std::int64_t{3}}}}));
}

TEST(ConfigRead, Values) {
  struct Case {
    std::string json;
    ConfigValue value;
  } cases[] = {
      {"9223372036854775807", {std::numeric_limits<std::int64_t>::max()}},
      {"-9223372036854775808", {std::numeric_limits<std::int64_t>::min()}},
      {"9223372036854775808", {9223372036854775808.0}},
      {"18446744073709551616", {18446744073709551616.0}},
      {"-9223372036854775809", {-9223372036854775808.0}},
      {"4.0", {4.0}},
      {"1e3", {1000.0}},
      {"0", {std::int64_t{0}}},
      {"[]", {std::vector<double>{}}},
      {"[1, -2, 2.5, 18446744073709551615, -0]", {std::vector<double>{1, -2, 2.5, 18446744073709551616.0, -0.0}}},
  };
  for (const Case& c : cases) EXPECT_EQ(value_of(c.json), c.value) << c.json;
  const ConfigValue negative_zero = value_of("-0");
  ASSERT_TRUE(std::holds_alternative<double>(negative_zero.v));
  EXPECT_TRUE(std::signbit(std::get<double>(negative_zero.v)));
}

TEST(ConfigRead, Failures) {
  const std::string untagged = "data did not match any variant of untagged enum ConfigValue";
  const std::string deep127 = R"({"a":)" + repeat("[", 126) + repeat("]", 126) + "}";
  const std::string deep128 = R"({"a":)" + repeat("[", 127) + repeat("]", 127) + "}";
  struct Case {
    std::string text;
    std::string description;
    int line;
    int column;
  } cases[] = {
      {R"({"a": true})", untagged, 1, 11},
      {R"({"a": "x", "b": 1})", untagged, 1, 9},
      {R"({"a": [1, "x"]})", untagged, 1, 15},
      {"[]", "invalid type: sequence, expected a map", 1, 0},
      {"5", "invalid type: integer `5`, expected a map", 1, 1},
      {R"({"a": 1} {})", "trailing characters", 1, 10},
      // Any string, nested arrays, the words, objects: none is a value.
      {R"({"a": "12"})", untagged, 1, 11},
      {R"({"a": [1, [2]]})", untagged, 1, 15},
      {R"({"a": false , "b": 1})", untagged, 1, 12},
      {R"({"a": null})", untagged, 1, 11},
      {"{\"a\": {\"n\": 1}\n }", untagged, 2, 2},
      {R"({"a": [null]})", untagged, 1, 13},
      // 127 containers are read whole, a 128th is refused.
      {deep127, untagged, 1, static_cast<int>(deep127.size())},
      {deep128, "recursion limit exceeded", 1, 5 + 127},
      // The JSON layer's own errors.
      {"", "EOF while parsing a value", 1, 0},
      {"\"x\"", R"(invalid type: string "x", expected a map)", 1, 3},
      {"-1.5", "invalid type: floating point `-1.5`, expected a map", 1, 4},
      {"nul", "EOF while parsing a value", 1, 3},
      {"{", "EOF while parsing an object", 1, 1},
      {R"({"a":1,})", "trailing comma", 1, 8},
      {R"({"a":[1,2,]})", "trailing comma", 1, 11},
      {R"({"a" 1})", "expected `:`", 1, 6},
      {R"({"a":1 "b":2})", "expected `,` or `}`", 1, 8},
      {R"({"a":1e400})", "number out of range", 1, 10},
      {R"({"a":01})", "invalid number", 1, 7},
      {R"({1:1})", "key must be a string", 1, 2},
      {R"({"a":1}})", "trailing characters", 1, 8},
  };
  for (const Case& c : cases)
    EXPECT_EQ(failure_of(c.text), unwrap_message(c.description, c.line, c.column)) << c.text;
}

}  // namespace
}  // namespace quarvel
