#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
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

// Values are built in the context of a module that lives as long as the test.
class JsonWrite : public ::testing::Test {
 protected:
  Module held_;
  Context& ctx = held_.ctx();

  template <class T>
  List<T> list(std::initializer_list<T> items) {
    return ctx.list(items);
  }
  List<Text> texts(std::initializer_list<Text> items) { return ctx.list(items); }
  std::string op_json(const Op& op);
  std::string args_json(std::initializer_list<Atom> args);
  std::string literal_json(LiteralValue value);
};

// The JSON text of one op, cut out of the module that holds it alone.
std::string JsonWrite::op_json(const Op& op) {
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
std::string JsonWrite::args_json(std::initializer_list<Atom> args) {
  Op op = make_op(ctx, Iota{});
  op.args = ctx.list(args);
  const std::string text = op_json(op);
  const std::string head = R"({"kind":"iota","outputs":[],"output_types":[],"args":[)";
  EXPECT_EQ(text.substr(0, head.size()), head) << text;
  return text.substr(head.size(), text.size() - head.size() - 2);
}

std::string JsonWrite::literal_json(LiteralValue value) {
  const std::string text = op_json(make_op(ctx, Literal{value}));
  const std::string head = R"({"kind":"literal","value":)";
  const std::string tail = R"(,"outputs":[],"output_types":[],"args":[]})";
  EXPECT_EQ(text.substr(0, head.size()), head) << text;
  return text.substr(head.size(), text.size() - head.size() - tail.size());
}

TEST_F(JsonWrite, FloatTextInEveryFloatPlace) {
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
    EXPECT_EQ(op_json(make_op(ctx, Random{c.value, c.value})),
              std::string(R"({"kind":"random","lower":)") + c.text + R"(,"upper":)" + c.text +
                  R"(,"outputs":[],"output_types":[],"args":[]})");
  }
}

TEST_F(JsonWrite, NonFiniteValuesPerPlace) {
  EXPECT_EQ(args_json({Atom::real(kInf), Atom::real(-kInf), Atom::real(kNaN), Atom::real(-kNaN)}),
            "null,null,null,null");
  EXPECT_EQ(op_json(make_op(ctx, Random{-kInf, kNaN})),
            R"({"kind":"random","lower":null,"upper":null,"outputs":[],"output_types":[],"args":[]})");
  EXPECT_EQ(op_json(make_op(ctx, Random{kInf, 1.0})),
            R"({"kind":"random","lower":null,"upper":1.0,"outputs":[],"output_types":[],"args":[]})");
  EXPECT_EQ(literal_json(LiteralValue::real(kInf)), R"("inf")");
  EXPECT_EQ(literal_json(LiteralValue::real(-kInf)), R"("-inf")");
  EXPECT_EQ(literal_json(LiteralValue::real(kNaN)), R"("nan")");
  EXPECT_EQ(literal_json(LiteralValue::real(-kNaN)), R"("nan")");  // a sign bit does not make it -inf
  using L = LiteralValue;
  const auto lst = [&](std::initializer_list<L> items) { return L::list(ctx.list(items)); };
  EXPECT_EQ(literal_json(lst({L::integer(1), L::real(2.5), L::real(kInf),
                              lst({L::integer(-3)})})),
            R"([1,2.5,"inf",[-3]])");
  EXPECT_EQ(literal_json(lst({lst({L::real(-kInf), L::real(kNaN)}), lst({}), lst({})})),
            R"([["-inf","nan"],[],[]])");
  EXPECT_EQ(literal_json(lst({})), "[]");
}

TEST_F(JsonWrite, IntegerTexts) {
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
    AxesBuilder axes;
    axes.insert("a", c.value);
    EXPECT_EQ(op_json(make_op(ctx, View{"p", ctx.axes(axes)})),
              R"({"kind":"view","pattern":"p","axes":{"a":)" + t +
                  R"(},"outputs":[],"output_types":[],"args":[]})");
    Op typed = make_op(ctx, Iota{}, {}, {ty(ctx, "i8", {Dim::concrete(c.value)})});
    EXPECT_EQ(op_json(typed), R"({"kind":"iota","outputs":[],"output_types":[{"dtype":"i8","shape":[)" +
                                  t + R"(]}],"args":[]})");
  }
  // The loop count is unsigned: no sign, up to the largest 64-bit value.
  for (std::uint64_t count : {std::uint64_t{0}, std::uint64_t{3}, std::numeric_limits<std::uint64_t>::max()}) {
    EXPECT_EQ(op_json(make_op(ctx, Loop{"body", LoopCount::concrete(count)})),
              R"({"kind":"loop","target":"body","count":)" + std::to_string(count) +
                  R"(,"outputs":[],"output_types":[],"args":[]})");
  }
}

TEST_F(JsonWrite, StringEscapes) {
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
    AxesBuilder axes;
    axes.insert(c.text, 1);
    EXPECT_EQ(op_json(make_op(ctx, Tile{"", ctx.axes(axes)})), R"({"kind":"tile","pattern":"","axes":{)" + c.json +
                                                    R"(:1},"outputs":[],"output_types":[],"args":[]})");
  }
}

// Texts of every length up to past two words, with one stop at every place
// (or none): plain runs go out a word at a time, and a stop may fall anywhere
// in a word. Each text is a heap block of its exact length, so that a read
// past its end shows under the address sanitizer.
TEST_F(JsonWrite, StringStopsAtEveryPlace) {
  struct Stop {
    char byte;
    std::string escaped;
  } stops[] = {{'"', R"(\")"}, {'\\', R"(\\)"}, {'\n', R"(\n)"}, {'\x01', R"(\u0001)"},
               {'\x1f', R"(\u001f)"}};
  const std::string plain = " ~\x7f\xc3\xa9" "az09";  // the ends of the plain range, and beyond ASCII
  for (std::size_t n = 1; n <= 20; ++n) {
    for (std::size_t at = 0; at <= n; ++at) {
      for (const Stop& stop : stops) {
        const auto bytes = std::make_unique<char[]>(n);
        std::string json = "\"";
        for (std::size_t i = 0; i < n; ++i) {
          bytes[i] = i == at ? stop.byte : plain[i % plain.size()];
          json += i == at ? stop.escaped : std::string(1, bytes[i]);
        }
        json += '"';
        SCOPED_TRACE(json);
        EXPECT_EQ(args_json({Atom::str(Text(bytes.get(), n))}), json);
        if (at == n) break;  // no stop: one pass is enough
      }
    }
  }
}

TEST_F(JsonWrite, KindMembers) {
  AxesBuilder builder;
  builder.insert("b", 4);
  builder.insert("a", -1);
  builder.insert("b", 5);  // replaced in place
  const Axes axes = ctx.axes(builder);
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
  for (const Case& c : cases) EXPECT_EQ(op_json(make_op(ctx, c.kind)), c.json + common);
}

TEST_F(JsonWrite, CommonOpMembers) {
  Op op = make_op(ctx, Call{"g"}, {}, {}, {Atom::str("x"), Atom::integer(2), Atom::real(0.5)});
  op.outputs = texts({"a", "b"});
  op.output_types = list({ty(ctx, "f32", {Dim::concrete(2), Dim::named("n")}), TypeRef()});
  EXPECT_EQ(op_json(op),
            R"({"kind":"call","target":"g","outputs":["a","b"],"output_types":[{"dtype":"f32","shape":[2,"n"]},null],"args":["x",2,0.5]})");

  // The type list is written with its own length, shorter or longer than the outputs.
  op.output_types = list({TypeRef()});
  set_comments(ctx, op, texts({"// one", "// two"}));
  EXPECT_EQ(op_json(op),
            R"({"kind":"call","target":"g","outputs":["a","b"],"output_types":[null],"args":["x",2,0.5],"comments":["// one","// two"]})");
  op.outputs = {};
  op.output_types = list({ty(ctx, "*"), ty(ctx, "*", {Dim::named("...")}), ty(ctx, "i1")});
  set_comments(ctx, op, {});
  EXPECT_EQ(op_json(op),
            R"({"kind":"call","target":"g","outputs":[],"output_types":[{"dtype":"*","shape":[]},{"dtype":"*","shape":["..."]},{"dtype":"i1","shape":[]}],"args":["x",2,0.5]})");
}

TEST_F(JsonWrite, ModuleAndFunctionMembers) {
  Module m;
  EXPECT_EQ(write_module_json(m), R"({"functions":{}})");
  m.header_comments = texts({"// a", "// b"});
  EXPECT_EQ(write_module_json(m), R"({"header_comments":["// a","// b"],"functions":{}})");

  // Keys are written as stored, in insertion order, whatever the function's own name.
  Function g;
  g.name = "other";
  g.comments = texts({"// doc"});
  g.params = list<Param>({{"x", ty(ctx, "f32", {Dim::concrete(2)})}, {"w", ty(ctx, "*")}});
  Function h;
  h.name = "h";
  h.returns = list<Param>({{"y", ty(ctx, "i32")}});
  m.header_comments = {};
  m.functions.insert("z", g);
  m.functions.insert("a", h);
  EXPECT_EQ(write_module_json(m),
            R"({"functions":{"z":{"name":"other","comments":["// doc"],"params":[{"name":"x","ty":{"dtype":"f32","shape":[2]}},{"name":"w","ty":{"dtype":"*","shape":[]}}],"returns":[],"ops":[]},)"
            R"("a":{"name":"h","params":[],"returns":[{"name":"y","ty":{"dtype":"i32","shape":[]}}],"ops":[]}}})");
}

TEST_F(JsonWrite, ExampleModule) {
  Op op = make_op(ctx, Map{"relu"}, {}, {}, {Atom::str("x")});
  op.outputs = texts({"y"});
  op.output_types = list({ty(ctx, "f32", {Dim::concrete(2)})});
  set_comments(ctx, op, texts({"// act"}));
  Function f;
  f.name = "f";
  f.params = list<Param>({{"x", ty(ctx, "f32", {Dim::concrete(2)})}});
  f.returns = list<Param>({{"y", ty(ctx, "f32", {Dim::concrete(2)})}});
  f.ops = {op};
  Module m;
  m.functions.insert("f", f);
  EXPECT_EQ(write_module_json(m),
            R"({"functions":{"f":{"name":"f","params":[{"name":"x","ty":{"dtype":"f32","shape":[2]}}],"returns":[{"name":"y","ty":{"dtype":"f32","shape":[2]}}],"ops":[{"kind":"map","function":"relu","outputs":["y"],"output_types":[{"dtype":"f32","shape":[2]}],"args":["x"],"comments":["// act"]}]}}})");
}

TEST_F(JsonWrite, CheckReport) {
  CheckReport report;
  EXPECT_EQ(write_check_report_json(report), R"({"errors":[],"constraints":{"params":[],"weights":{}}})");

  // Errors keep their order; params and both levels of weights come out in byte order.
  report.errors = {"z: second", "a: \"first\""};
  for (const char* p : {"param.ab", "param.a.b", "param.B", "param.a", "param.\xc3\xa9"})
    report.constraints.params.insert(p);
  auto& weights = report.constraints.weights;
  for (const char* fn : {"ab", "a", "B", "a.b"}) weights[fn];
  weights["a"]["w.ab"] = ty(ctx, "f32", {Dim::concrete(4)});
  weights["a"]["w.a"] = ty(ctx, "*");
  weights["a"]["w.B"] = ty(ctx, "i8", {Dim::named("n")});
  weights["a"]["w.a.b"] = ty(ctx, "f16");
  EXPECT_EQ(write_check_report_json(report),
            R"({"errors":["z: second","a: \"first\""],"constraints":{"params":["param.B","param.a","param.a.b","param.ab","param.)"
            "\xc3\xa9"
            R"("],"weights":{"B":{},"a":{"w.B":{"dtype":"i8","shape":["n"]},"w.a":{"dtype":"*","shape":[]},"w.a.b":{"dtype":"f16","shape":[]},"w.ab":{"dtype":"f32","shape":[4]}},"a.b":{},"ab":{}}}})");
}

// Builds [[[...[1]...]]] without recursion.
TEST_F(JsonWrite, DeeplyNestedLiteralDoesNotRecurse) {
  constexpr int kDepth = 300000;
  LiteralValue value = deeply_nested_list(ctx, kDepth);
  Module m = module_of({});
  m.functions.find("f")->ops.push_back(make_op(ctx, Literal{value}));
  const std::string text = write_module_json(m);
  const std::string expected = std::string(kDepth, '[') + "1" + std::string(kDepth, ']');
  EXPECT_NE(text.find(R"("value":)" + expected + ","), std::string::npos);
}

// ---- Source to JSON ----

TEST_F(JsonWrite, FromSource) {
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

TEST_F(JsonWrite, DecoderFixtureFromSource) {
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

// ---- the output buffer ----

// Hands out a new block on every request, copying the bytes in use and
// marking the rest with '#', so that a test sees every move of the text and
// every byte the buffer touches without writing it. The block left behind is
// scribbled over: whatever is still read from it shows.
class MovingStorage final : public TextStorage {
 public:
  char* resize(char* data, std::size_t used, std::size_t capacity) override {
    requests.push_back({data == nullptr ? 0 : used, capacity});
    auto block = std::make_unique<char[]>(capacity);
    std::memset(block.get(), '#', capacity);
    if (data != nullptr) {
      std::memcpy(block.get(), data, used);
      std::memset(data, '!', this->capacity);
    }
    blocks.push_back(std::move(block));
    this->capacity = capacity;
    return blocks.back().get();
  }

  struct Request {
    std::size_t used;
    std::size_t capacity;
  };
  std::vector<Request> requests;
  std::vector<std::unique_ptr<char[]>> blocks;
  std::size_t capacity = 0;
};

TEST(TextBuffer, StorageKeepsTheTextAcrossMovesAndIsNeverFilled) {
  MovingStorage storage;
  std::string expected;
  {
    TextBuffer out(storage);
    EXPECT_TRUE(storage.requests.empty());  // nothing is asked for before the first write
    for (int i = 0; i < 2000; ++i) {
      out += "item";
      out.put_int(i);
      out += ',';
      expected += "item" + std::to_string(i) + ",";
    }
    out.spaces(3);
    expected += "   ";
    EXPECT_EQ(out.view(), expected);
    EXPECT_EQ(out.data(), storage.blocks.back().get());
    // Every request keeps what was written and asks for more than it.
    ASSERT_GE(storage.requests.size(), 2u);
    EXPECT_EQ(storage.requests[0].used, 0u);
    for (std::size_t i = 1; i < storage.requests.size(); ++i)
      EXPECT_GT(storage.requests[i].capacity, storage.requests[i].used);
    // Past the written bytes the block is as the storage handed it out.
    const std::string_view block(storage.blocks.back().get(), storage.capacity);
    EXPECT_EQ(block.substr(expected.size()), std::string(storage.capacity - expected.size(), '#'));
    EXPECT_EQ(std::move(out).take(), expected);
  }
}

TEST_F(JsonWrite, WritersAppendToTheCallersBuffer) {
  const Module m = parse_source("f(x: f32[2]) -> (y: f32[2]) {\n  y: f32[2] = map[relu](x)\n}\n");
  CheckReport report;
  report.errors = {"e"};
  MovingStorage storage;
  TextBuffer out(storage);
  out += "module: ";
  write_module_json(m, out);
  out += "; report: ";
  write_check_report_json(report, out);
  EXPECT_EQ(out.view(), "module: " + write_module_json(m) + "; report: " + write_check_report_json(report));
}

// The writer copies a type written a moment ago from the text already out;
// the copy must hold when the text moves just then, and when more types than
// it remembers take turns. Types longer than the writer's estimate per op,
// made of many small pieces, make the text move, mostly while a type is
// copied; modules of 1 to 40 ops move it at many different places.
TEST_F(JsonWrite, RepeatedTypesAcrossMovesOfTheText) {
  const auto long_type = [&](int first) {
    std::vector<Dim> shape;
    std::string text = R"({"dtype":"f32","shape":[)";
    for (int k = 0; k < 40; ++k) {
      shape.push_back(Dim::concrete(1000000 + first + k));
      text += (k > 0 ? "," : "") + std::to_string(1000000 + first + k);
    }
    return std::pair(ctx.type("f32", shape), text + "]}");
  };
  const auto [x_type, x_text] = long_type(100);
  Function f;
  f.name = "f";
  f.params = list<Param>({{"x", x_type}});
  std::string expected_ops;
  std::size_t moves = 0;
  for (int i = 0; i < 40; ++i) {
    const auto [t, t_text] = long_type(i % 7);
    f.ops.push_back(make_op(ctx, Iota{}, {}, {t, TypeRef(), t}));
    if (i > 0) expected_ops += ',';
    expected_ops += R"({"kind":"iota","outputs":[],"output_types":[)" + t_text + ",null," + t_text +
                    R"(],"args":[]})";
    Module m;
    m.functions.insert("f", f);
    const std::string expected = R"({"functions":{"f":{"name":"f","params":[{"name":"x","ty":)" +
                                 x_text + R"(}],"returns":[],"ops":[)" + expected_ops + "]}}}";
    EXPECT_EQ(write_module_json(m), expected) << i;
    MovingStorage storage;
    TextBuffer out(storage);
    write_module_json(m, out);
    EXPECT_EQ(out.view(), expected) << i;
    moves += storage.requests.size() - 1;
  }
  EXPECT_GT(moves, 40u);
}

TEST(Separators, BetweenItemsOnly) {
  const auto written = [](auto write) {
    HeapTextStorage storage;
    TextBuffer out(storage);
    write(out);
    return std::string(out.view());
  };
  const auto put = [](TextBuffer& out, int i) { out.put_int(i); };
  const std::vector<int> none, one{1}, three{1, 2, 3};
  EXPECT_EQ(written([&](TextBuffer& out) { write_separated(out, none, ',', put); }), "");
  EXPECT_EQ(written([&](TextBuffer& out) { write_separated(out, one, ',', put); }), "1");
  EXPECT_EQ(written([&](TextBuffer& out) { write_separated(out, three, ',', put); }), "1,2,3");
  EXPECT_EQ(written([&](TextBuffer& out) { write_separated(out, three, ", ", put); }), "1, 2, 3");
  // Items of several lists, some skipped, under one separator.
  EXPECT_EQ(written([&](TextBuffer& out) {
              Separator comma(out, ", ");
              for (int i : three) {
                if (i == 2) continue;
                comma();
                out.put_int(i);
              }
              for (int i : one) {
                comma();
                out.put_int(10 * i);
              }
            }),
            "1, 3, 10");
  EXPECT_EQ(written([&](TextBuffer& out) {
              Separator comma(out, std::string_view(" | "));
              for (int i : none) {
                comma();
                out.put_int(i);
              }
            }),
            "");
}

}  // namespace
}  // namespace quarvel
