#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "core/error.h"
#include "core/json_write.h"
#include "core/parse.h"
#include "tests/test_util.h"

namespace quarvel {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr std::int64_t kMinInt = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kMaxInt = std::numeric_limits<std::int64_t>::max();

Module module_of(std::vector<Op> ops) {
  Function f;
  f.name = "f";
  f.ops = std::move(ops);
  Module m;
  m.functions.insert("f", std::move(f));
  return m;
}

// The JSON text of one op, cut out of the module that holds it alone.
std::string op_json(const Op& op) {
  const std::string text = write_module_json(module_of({op}));
  const std::string head = R"({"functions":{"f":{"name":"f","params":[],"returns":[],"ops":[)";
  const std::string tail = "]}}}";
  EXPECT_EQ(text.substr(0, head.size()), head) << text;
  EXPECT_GE(text.size(), head.size() + tail.size()) << text;
  if (text.size() < head.size() + tail.size()) return text;
  EXPECT_EQ(text.substr(text.size() - tail.size()), tail) << text;
  return text.substr(head.size(), text.size() - head.size() - tail.size());
}

// The "args" array of an iota op holding `args`, without its brackets.
std::string args_json(Args args) {
  const std::string text = op_json(make_op(Iota{}, {}, {}, std::move(args)));
  const std::string head = R"({"kind":"iota","outputs":[],"output_types":[],"args":[)";
  EXPECT_EQ(text.substr(0, head.size()), head) << text;
  return text.substr(head.size(), text.size() - head.size() - 2);
}

std::string literal_json(LiteralValue value) {
  const std::string text = op_json(make_op(Literal{std::move(value)}));
  const std::string head = R"({"kind":"literal","value":)";
  const std::string tail = R"(,"outputs":[],"output_types":[],"args":[]})";
  EXPECT_EQ(text.substr(0, head.size()), head) << text;
  return text.substr(head.size(), text.size() - head.size() - tail.size());
}

TEST(JsonWrite, FloatTextInEveryFloatPlace) {
  struct Case {
    double value;
    const char* text;
  } cases[] = {
      {0.0, "0.0"},
      {-0.0, "-0.0"},
      {1.0, "1.0"},
      {3.0, "3.0"},
      {0.5, "0.5"},
      {-2.5, "-2.5"},
      {100.0, "100.0"},
      {123456.789, "123456.789"},
      {0.1 + 0.2, "0.30000000000000004"},
      {1e15, "1000000000000000.0"},
      {9999999999999998.0, "9999999999999998.0"},
      {1e16, "1e+16"},
      {1.5e16, "1.5e+16"},
      {12345678901234567890.0, "1.2345678901234567e+19"},
      {std::numeric_limits<double>::max(), "1.7976931348623157e+308"},
      {-std::numeric_limits<double>::max(), "-1.7976931348623157e+308"},
      {1e-5, "0.00001"},
      {1.234e-5, "0.00001234"},
      {1e-6, "1e-6"},
      {1.5e-7, "1.5e-7"},
      {5e-324, "5e-324"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(args_json({Atom::real(c.value)}), c.text);
    EXPECT_EQ(literal_json(LiteralValue::real(c.value)), c.text);
    EXPECT_EQ(op_json(make_op(Random{c.value, c.value})),
              std::string(R"({"kind":"random","lower":)") + c.text + R"(,"upper":)" + c.text +
                  R"(,"outputs":[],"output_types":[],"args":[]})");
  }
}

TEST(JsonWrite, NonFiniteValuesPerPlace) {
  EXPECT_EQ(args_json({Atom::real(kInf), Atom::real(-kInf), Atom::real(kNaN), Atom::real(-kNaN)}),
            "null,null,null,null");
  EXPECT_EQ(op_json(make_op(Random{-kInf, kNaN})),
            R"({"kind":"random","lower":null,"upper":null,"outputs":[],"output_types":[],"args":[]})");
  EXPECT_EQ(op_json(make_op(Random{kInf, 1.0})),
            R"({"kind":"random","lower":null,"upper":1.0,"outputs":[],"output_types":[],"args":[]})");
  EXPECT_EQ(literal_json(LiteralValue::real(kInf)), R"("inf")");
  EXPECT_EQ(literal_json(LiteralValue::real(-kInf)), R"("-inf")");
  EXPECT_EQ(literal_json(LiteralValue::real(kNaN)), R"("nan")");
  EXPECT_EQ(literal_json(LiteralValue::real(-kNaN)), R"("nan")");  // a sign bit does not make it -inf
  using L = LiteralValue;
  EXPECT_EQ(literal_json(L::list({L::integer(1), L::real(2.5), L::real(kInf),
                                  L::list({L::integer(-3)})})),
            R"([1,2.5,"inf",[-3]])");
  EXPECT_EQ(literal_json(L::list({L::list({L::real(-kInf), L::real(kNaN)}), L::list({}), L::list({})})),
            R"([["-inf","nan"],[],[]])");
  EXPECT_EQ(literal_json(L::list({})), "[]");
}

TEST(JsonWrite, IntegerTexts) {
  struct Case {
    std::int64_t value;
    const char* text;
  } cases[] = {{0, "0"}, {7, "7"}, {-1, "-1"}, {kMaxInt, "9223372036854775807"},
               {kMinInt, "-9223372036854775808"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const std::string t = c.text;
    EXPECT_EQ(args_json({Atom::integer(c.value)}), t);
    EXPECT_EQ(literal_json(LiteralValue::integer(c.value)), t);
    Axes axes;
    axes.insert("a", c.value);
    EXPECT_EQ(op_json(make_op(View{"p", axes})),
              R"({"kind":"view","pattern":"p","axes":{"a":)" + t +
                  R"(},"outputs":[],"output_types":[],"args":[]})");
    Op typed = make_op(Iota{});
    typed.output_types.push_back(ty("i8", {Dim::concrete(c.value)}));
    EXPECT_EQ(op_json(typed), R"({"kind":"iota","outputs":[],"output_types":[{"dtype":"i8","shape":[)" +
                                  t + R"(]}],"args":[]})");
  }
  // The loop count is unsigned: no sign, up to the largest 64-bit value.
  for (std::uint64_t count : {std::uint64_t{0}, std::uint64_t{3}, std::numeric_limits<std::uint64_t>::max()}) {
    EXPECT_EQ(op_json(make_op(Loop{"body", LoopCount::concrete(count)})),
              R"({"kind":"loop","target":"body","count":)" + std::to_string(count) +
                  R"(,"outputs":[],"output_types":[],"args":[]})");
  }
}

TEST(JsonWrite, StringEscapes) {
  struct Case {
    std::string text;
    std::string json;
  } cases[] = {
      {"", R"("")"},
      {"plain", R"("plain")"},
      {"a\"b", R"("a\"b")"},
      {"a\\b", R"("a\\b")"},
      {"\b\t\n\f\r", R"("\b\t\n\f\r")"},
      {"\x01", R"("\u0001")"},
      {"\x1b", R"("\u001b")"},
      {"\x1f", R"("\u001f")"},
      {"\x0b", R"("\u000b")"},
      {std::string("a\0b", 3), R"("a\u0000b")"},
      {"a/b\x7f", "\"a/b\x7f\""},
      {"caf\xc3\xa9 \xe4\xb8\xad", "\"caf\xc3\xa9 \xe4\xb8\xad\""},
      // Unescaped runs around escapes, at both ends and between two escapes.
      {"\"ab\\\\cd\n", R"("\"ab\\\\cd\n")"},
      {"x\ty\"z", R"("x\ty\"z")"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.json);
    EXPECT_EQ(args_json({Atom::str(c.text)}), c.json);
    // Map keys are escaped the same way: the function key and an axis name.
    Function f;
    f.name = c.text;
    Module m;
    m.functions.insert(c.text, f);
    EXPECT_EQ(write_module_json(m), R"({"functions":{)" + c.json + R"(:{"name":)" + c.json +
                                        R"(,"params":[],"returns":[],"ops":[]}}})");
    Axes axes;
    axes.insert(c.text, 1);
    EXPECT_EQ(op_json(make_op(Tile{"", axes})), R"({"kind":"tile","pattern":"","axes":{)" + c.json +
                                                    R"(:1},"outputs":[],"output_types":[],"args":[]})");
  }
}

TEST(JsonWrite, KindMembers) {
  Axes axes;
  axes.insert("b", 4);
  axes.insert("a", -1);
  axes.insert("b", 5);  // replaced in place
  const std::string common = R"("outputs":[],"output_types":[],"args":[]})";
  struct Case {
    OpKind kind;
    std::string json;
  } cases[] = {
      {View{"a b -> b a", {}}, R"({"kind":"view","pattern":"a b -> b a",)"},
      {View{"", axes}, R"({"kind":"view","pattern":"","axes":{"b":5,"a":-1},)"},
      {Map{"relu"}, R"({"kind":"map","function":"relu",)"},
      {Map{""}, R"({"kind":"map","function":"",)"},
      {Fold{"i j -> i", "add"}, R"({"kind":"fold","pattern":"i j -> i","reduction":"add",)"},
      {Tile{"i -> i j", {}}, R"({"kind":"tile","pattern":"i -> i j",)"},
      {Tile{"i -> i j", axes}, R"({"kind":"tile","pattern":"i -> i j","axes":{"b":5,"a":-1},)"},
      {Read{"i, i -> i"}, R"({"kind":"read","pattern":"i, i -> i",)"},
      {Write{"", "max"}, R"({"kind":"write","pattern":"","reduction":"max",)"},
      {Contract{"a b, b c -> a c"}, R"({"kind":"contract","pattern":"a b, b c -> a c",)"},
      {Literal{LiteralValue::real(0.5)}, R"({"kind":"literal","value":0.5,)"},
      {Iota{}, R"({"kind":"iota",)"},
      {Random{0.0, 1.0}, R"({"kind":"random","lower":0.0,"upper":1.0,)"},
      {Call{"g"}, R"({"kind":"call","target":"g",)"},
      {Loop{"body", LoopCount::named("param.layers")},
       R"({"kind":"loop","target":"body","count":"param.layers",)"},
      {Cache{"kv.*", "init", std::nullopt}, R"({"kind":"cache","var":"kv.*","init":"init",)"},
      {Cache{"kv", "init", "grow"}, R"({"kind":"cache","var":"kv","init":"init","extend":"grow",)"},
      {Cache{"", "", ""}, R"({"kind":"cache","var":"","init":"","extend":"",)"},
  };
  for (const Case& c : cases) EXPECT_EQ(op_json(make_op(c.kind)), c.json + common);
}

TEST(JsonWrite, CommonOpMembers) {
  Op op = make_op(Call{"g"}, {}, {}, {Atom::str("x"), Atom::integer(2), Atom::real(0.5)});
  op.outputs = {"a", "b"};
  op.output_types = {ty("f32", {Dim::concrete(2), Dim::named("n")}), std::nullopt};
  EXPECT_EQ(op_json(op),
            R"({"kind":"call","target":"g","outputs":["a","b"],"output_types":[{"dtype":"f32","shape":[2,"n"]},null],"args":["x",2,0.5]})");

  // The type list is written with its own length, shorter or longer than the outputs.
  op.output_types = {std::nullopt};
  op.comments = {"// one", "// two"};
  EXPECT_EQ(op_json(op),
            R"({"kind":"call","target":"g","outputs":["a","b"],"output_types":[null],"args":["x",2,0.5],"comments":["// one","// two"]})");
  op.outputs = {};
  op.output_types = {ty("*"), ty("*", {Dim::named("...")}), ty("i1")};
  op.comments = {};
  EXPECT_EQ(op_json(op),
            R"({"kind":"call","target":"g","outputs":[],"output_types":[{"dtype":"*","shape":[]},{"dtype":"*","shape":["..."]},{"dtype":"i1","shape":[]}],"args":["x",2,0.5]})");
}

TEST(JsonWrite, ModuleAndFunctionMembers) {
  Module m;
  EXPECT_EQ(write_module_json(m), R"({"functions":{}})");
  m.header_comments = {"// a", "// b"};
  EXPECT_EQ(write_module_json(m), R"({"header_comments":["// a","// b"],"functions":{}})");

  // Keys are written as stored, in insertion order, whatever the function's own name.
  Function g;
  g.name = "other";
  g.comments = {"// doc"};
  g.params = {{"x", ty("f32", {Dim::concrete(2)})}, {"w", ty("*")}};
  Function h;
  h.name = "h";
  h.returns = {{"y", ty("i32")}};
  m.header_comments = {};
  m.functions.insert("z", g);
  m.functions.insert("a", h);
  EXPECT_EQ(write_module_json(m),
            R"({"functions":{"z":{"name":"other","comments":["// doc"],"params":[{"name":"x","ty":{"dtype":"f32","shape":[2]}},{"name":"w","ty":{"dtype":"*","shape":[]}}],"returns":[],"ops":[]},)"
            R"("a":{"name":"h","params":[],"returns":[{"name":"y","ty":{"dtype":"i32","shape":[]}}],"ops":[]}}})");
}

TEST(JsonWrite, ExampleModule) {
  Op op = make_op(Map{"relu"}, {}, {}, {Atom::str("x")});
  op.outputs = {"y"};
  op.output_types = {ty("f32", {Dim::concrete(2)})};
  op.comments = {"// act"};
  Function f;
  f.name = "f";
  f.params = {{"x", ty("f32", {Dim::concrete(2)})}};
  f.returns = {{"y", ty("f32", {Dim::concrete(2)})}};
  f.ops = {op};
  Module m;
  m.functions.insert("f", f);
  EXPECT_EQ(write_module_json(m),
            R"({"functions":{"f":{"name":"f","params":[{"name":"x","ty":{"dtype":"f32","shape":[2]}}],"returns":[{"name":"y","ty":{"dtype":"f32","shape":[2]}}],"ops":[{"kind":"map","function":"relu","outputs":["y"],"output_types":[{"dtype":"f32","shape":[2]}],"args":["x"],"comments":["// act"]}]}}})");
}

TEST(JsonWrite, CheckReport) {
  CheckReport report;
  EXPECT_EQ(write_check_report_json(report), R"({"errors":[],"constraints":{"params":[],"weights":{}}})");

  // Errors keep their order; params and both levels of weights come out in byte order.
  report.errors = {"z: second", "a: \"first\""};
  for (const char* p : {"param.ab", "param.a.b", "param.B", "param.a", "param.\xc3\xa9"})
    report.constraints.params.insert(p);
  auto& weights = report.constraints.weights;
  for (const char* fn : {"ab", "a", "B", "a.b"}) weights[fn];
  weights["a"]["w.ab"] = ty("f32", {Dim::concrete(4)});
  weights["a"]["w.a"] = ty("*");
  weights["a"]["w.B"] = ty("i8", {Dim::named("n")});
  weights["a"]["w.a.b"] = ty("f16");
  EXPECT_EQ(write_check_report_json(report),
            R"({"errors":["z: second","a: \"first\""],"constraints":{"params":["param.B","param.a","param.a.b","param.ab","param.)"
            "\xc3\xa9"
            R"("],"weights":{"B":{},"a":{"w.B":{"dtype":"i8","shape":["n"]},"w.a":{"dtype":"*","shape":[]},"w.a.b":{"dtype":"f16","shape":[]},"w.ab":{"dtype":"f32","shape":[4]}},"a.b":{},"ab":{}}}})");
}

// Builds [[[...[1]...]]] without recursion and takes it apart the same way.
TEST(JsonWrite, DeeplyNestedLiteralDoesNotRecurse) {
  constexpr int kDepth = 300000;
  LiteralValue value = deeply_nested_list(kDepth);
  Module m = module_of({});
  m.functions.find("f")->ops.push_back(make_op(Literal{std::move(value)}));
  const std::string text = write_module_json(m);
  const std::string expected = std::string(kDepth, '[') + "1" + std::string(kDepth, ']');
  EXPECT_NE(text.find(R"("value":)" + expected + ","), std::string::npos);

  take_apart(std::get<Literal>(m.functions.find("f")->ops[0].kind).value);
}

// ---- Source to JSON, once the parser is in place ----

TEST(JsonWrite, FromSource) {
  if (!parser_ready()) GTEST_SKIP() << "parser not available";
  const char* source = R"(// tiny
f(x: f32[2, n], w: *) -> (y: f32[2]) {
  // doc
  a: f32[2, n] = view["i (j k) -> i j k"](x, j=2)

  // step
  b, c: i32[] = call[g](a, w.p, -3, 1.5)
  y = literal([1, [2.5, inf], - inf])
  z = loop[body, 4](y)
  k = cache[kv.*, kv_init](z)
}
)";
  EXPECT_EQ(write_module_json(parse_source(source)),
            R"({"header_comments":["// tiny"],"functions":{"f":{"name":"f","comments":["// doc"],)"
            R"("params":[{"name":"x","ty":{"dtype":"f32","shape":[2,"n"]}},{"name":"w","ty":{"dtype":"*","shape":[]}}],)"
            R"("returns":[{"name":"y","ty":{"dtype":"f32","shape":[2]}}],"ops":[)"
            R"({"kind":"view","pattern":"i (j k) -> i j k","axes":{"j":2},"outputs":["a"],"output_types":[{"dtype":"f32","shape":[2,"n"]}],"args":["x"]},)"
            R"({"kind":"call","target":"g","outputs":["b","c"],"output_types":[null,{"dtype":"i32","shape":[]}],"args":["a","w.p",-3,1.5],"comments":["// step"]},)"
            R"({"kind":"literal","value":[1,[2.5,"inf"],"-inf"],"outputs":["y"],"output_types":[null],"args":[]},)"
            R"({"kind":"loop","target":"body","count":4,"outputs":["z"],"output_types":[null],"args":["y"]},)"
            R"({"kind":"cache","var":"kv.*","init":"kv_init","outputs":["k"],"output_types":[null],"args":["z"]}]}}})");
}

TEST(JsonWrite, DecoderFixtureFromSource) {
  if (!parser_ready()) GTEST_SKIP() << "parser not available";
  const std::string text = write_module_json(parse_source(read_fixture("decoder.qrv")));
  // Spot checks of the larger text: the cache with extend, the named loop count, the axes.
  EXPECT_NE(text.find(R"({"kind":"cache","var":"kv.*","init":"kv_init","extend":"kv_append","outputs":["kc"])"),
            std::string::npos);
  EXPECT_NE(text.find(R"({"kind":"loop","target":"block0","count":"param.layers","outputs":["h0"])"),
            std::string::npos);
  EXPECT_NE(text.find(R"({"kind":"view","pattern":"b s (h e) -> b s h e","axes":{"h":8},"outputs":["qh"])"),
            std::string::npos);
  EXPECT_EQ(text.rfind(R"({"header_comments":["// decoder model, generated","// shapes and weights come from the TOML file"],"functions":{"main":{"name":"main","params":[)", 0), 0u);
  EXPECT_EQ(text.back(), '}');
}

}  // namespace
}  // namespace quarvel
