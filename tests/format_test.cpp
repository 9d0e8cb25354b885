#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.h"
#include "core/format.h"
#include "core/parse.h"
#include "core/text_buffer.h"
#include "tests/test_util.h"

namespace quarvel {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr std::uint64_t kWide = 100;

Dim c(std::int64_t n) { return Dim::concrete(n); }
Dim n(std::string_view name) { return Dim::named(name); }  // a literal: static

// Each test builds its values in the context of the fixture, which lives as
// long as the test.
class Format : public ::testing::Test {
 protected:
  std::shared_ptr<Context> context = std::make_shared<Context>();
  Context& ctx = *context;

  TypeRef ty(std::string_view dtype, std::initializer_list<Dim> shape = {}) {
    return quarvel::ty(ctx, dtype, shape);
  }
  TypeRef f32(std::initializer_list<Dim> shape) { return ty("f32", shape); }

  Op make_op(OpKind kind, std::initializer_list<std::string_view> outputs = {},
             std::initializer_list<TypeRef> types = {}, std::initializer_list<Atom> args = {},
             std::initializer_list<std::string_view> comments = {}) {
    return quarvel::make_op(ctx, std::move(kind), outputs, types, args, comments);
  }

  Comments texts(const std::vector<std::string_view>& items) {
    std::vector<Text> copies;
    for (std::string_view item : items) copies.push_back(ctx.text(item));
    return ctx.list(copies);
  }

  Function make_function(std::string_view name, std::vector<Param> params = {},
                         std::vector<Param> returns = {}, std::vector<Op> ops = {},
                         std::vector<std::string_view> comments = {}) {
    return Function{ctx.text(name), texts(comments), ctx.list(params), ctx.list(returns),
                    std::move(ops)};
  }

  Module module_of(std::vector<Function> functions, std::vector<std::string_view> header = {}) {
    Module m(context);
    m.header_comments = texts(header);
    for (Function& f : functions) {
      const Text key = f.name;
      m.functions.insert(key, std::move(f));
    }
    return m;
  }

  LiteralValue list(std::initializer_list<LiteralValue> items) {
    return LiteralValue::list(ctx.list(items));
  }

  // The one statement line of an op with the single untyped output y.
  std::string statement(const Op& op) {
    Op with_output = op;
    with_output.outputs = ctx.list({Text("y")});
    const std::string text =
        format_module(module_of({make_function("f", {}, {}, {with_output})}), kWide);
    const std::string head = "f() -> () {\n  y = ";
    const std::string tail = "\n}\n";
    EXPECT_EQ(text.substr(0, head.size()), head) << text;
    if (text.size() < head.size() + tail.size()) return text;
    EXPECT_EQ(text.substr(text.size() - tail.size()), tail) << text;
    return text.substr(head.size(), text.size() - head.size() - tail.size());
  }
};

TEST_F(Format, Example) {
  Function f = make_function(
      "f", {{"x", f32({c(4), n("n")})}, {"weight", ty("*")}}, {{"y", f32({c(4)})}},
      {make_op(Map{"relu"}, {"h"}, {f32({c(4)})}, {Atom::str("x")}),
       make_op(Call{"g"}, {"a", "bb"}, {f32({c(4)}), f32({c(4)})},
               {Atom::str("h"), Atom::str("weight.a"), Atom::integer(2), Atom::real(0.5)},
               {"// pair"}),
       make_op(Read{"i -> i"}, {"y"}, {std::nullopt}, {Atom::str("a")})},
      {"// doc"});
  const Module m = module_of({f, make_function("g")});
  EXPECT_EQ(format_module(m, 40),
            "f(\n"
            "  x     : f32[4, n],\n"
            "  weight: *\n"
            ") -> (y: f32[4]) {\n"
            "  // doc\n"
            "  h : f32[4] = map[relu](x)\n"
            "\n"
            "  // pair\n"
            "  a : f32[4],\n"
            "  bb: f32[4] = call[g](h, weight.a, 2, 0.5)\n"
            "  y          = read[\"i -> i\"](a)\n"
            "}\n"
            "\n"
            "g() -> () {\n"
            "}\n");
}

TEST_F(Format, AppendsToABuffer) {
  // Written after text already in the buffer: the header width counts only the
  // header, and a broken header replaces only its own line.
  const Function f = make_function("f", {{"x", f32({c(4)})}, {"w", ty("*")}}, {},
                                   {make_op(Map{"relu"}, {"h"}, {f32({c(4)})}, {Atom::str("x")})});
  const std::string one_line = "f(x: f32[4], w: *) -> () {";
  for (std::uint64_t width : {std::uint64_t{one_line.size()}, std::uint64_t{one_line.size() - 1}}) {
    SCOPED_TRACE(width);
    const Module m = module_of({f, make_function("g")}, {"// head"});
    TextBuffer out(0);
    out += std::string(200, '#');
    format_module(m, width, out);
    EXPECT_EQ(out.view(), std::string(200, '#') + format_module(m, width));
  }
  TextBuffer empty(0);
  format_module(Module{}, kWide, empty);
  EXPECT_EQ(empty.view(), "\n");
}

TEST_F(Format, HeaderWidth) {
  // "main(x: f32[4, n], w: *) -> (y: f32[4]) {" is 42 bytes.
  const Function main = make_function("main", {{"x", f32({c(4), n("n")})}, {"w", ty("*", {c(3)})}},
                                      {{"y", f32({c(4)})}, {"z", ty("*")}});
  const std::string one_line = "main(x: f32[4, n], w: *) -> (y: f32[4], z: *) {\n}\n";
  const std::string broken = "main(\n  x: f32[4, n],\n  w: *\n) -> (y: f32[4], z: *) {\n}\n";
  const std::uint64_t length = one_line.find('\n');
  struct Case {
    std::uint64_t width;
    const std::string& text;
  } cases[] = {{length, one_line},
               {length + 1, one_line},
               {std::numeric_limits<std::uint64_t>::max(), one_line},
               {length - 1, broken},
               {0, broken}};
  for (const Case& k : cases) EXPECT_EQ(format_module(module_of({main}), k.width), k.text) << k.width;

  // Width 0 breaks even an empty header; the returns always stay on the last line.
  EXPECT_EQ(format_module(module_of({make_function("g", {}, {{"r", ty("i8")}})}), 0),
            "g(\n) -> (r: i8[]) {\n}\n");

  // Byte lengths, not characters: "é" is two bytes in the header and in the colon column.
  const Function accented = make_function("\xc3\xa9", {{"\xc3\xa9\xc3\xa9", ty("i8")}, {"ab", ty("i8")}});
  const std::string accented_line = "\xc3\xa9(\xc3\xa9\xc3\xa9: i8[], ab: i8[]) -> () {";
  ASSERT_EQ(accented_line.size(), 32u);
  EXPECT_EQ(format_module(module_of({accented}), 32), accented_line + "\n}\n");
  EXPECT_EQ(format_module(module_of({accented}), 31),
            "\xc3\xa9(\n  \xc3\xa9\xc3\xa9: i8[],\n  ab  : i8[]\n) -> () {\n}\n");
}

TEST_F(Format, ColumnsArePerFunction) {
  const Function wide = make_function(
      "a", {}, {},
      {make_op(Iota{}, {"x"}, {ty("i32", {c(1)})}),
       make_op(Iota{}, {"long_name"}, {ty("i8")}),
       make_op(Iota{}, {"y"}, {}),
       make_op(Iota{}, {"\xc3\xa9"}, {ty("*", {c(4)})})});
  const Function narrow = make_function("b", {}, {}, {make_op(Iota{}, {"x"}, {ty("i8")})});
  const Function untyped = make_function("c", {}, {}, {make_op(Iota{}, {"x"}, {}), make_op(Iota{}, {"yy"}, {})});
  EXPECT_EQ(format_module(module_of({wide, narrow, untyped}), kWide),
            "a() -> () {\n"
            "  x        : i32[1] = iota()\n"
            "  long_name: i8[]   = iota()\n"
            "  y                 = iota()\n"
            "  \xc3\xa9       : *      = iota()\n"
            "}\n"
            "\n"
            "b() -> () {\n"
            "  x: i8[] = iota()\n"
            "}\n"
            "\n"
            "c() -> () {\n"
            "  x  = iota()\n"
            "  yy = iota()\n"
            "}\n");
}

// Moves its block on every request and spoils the old one (kept until the
// end), so that a writer that keeps a pointer into the buffer across a write
// is caught.
class MovingStorage final : public TextStorage {
 public:
  MovingStorage() = default;
  MovingStorage(const MovingStorage&) = delete;
  MovingStorage& operator=(const MovingStorage&) = delete;
  ~MovingStorage() {
    for (char* block : blocks_) std::free(block);
  }

  char* resize(char* data, std::size_t used, std::size_t capacity) override {
    auto* block = static_cast<char*>(std::malloc(capacity));
    if (block == nullptr) throw std::bad_alloc();
    if (used > 0) {
      std::memcpy(block, data, used);
      std::memset(data, '?', used);
    }
    blocks_.push_back(block);
    return block;
  }

 private:
  std::vector<char*> blocks_;
};

TEST_F(Format, RepeatedTypes) {
  // Runs of one type and changes between types, over texts that outgrow the
  // first guess of their size at different places of their lines.
  const TypeRef wide =
      ty("f32", {c(1000000), c(2000000), c(3000000), c(4000000), c(5000000), c(6000000), n("n")});
  const TypeRef small = ty("i8");
  const std::string wide_text = "f32[1000000, 2000000, 3000000, 4000000, 5000000, 6000000, n]";
  for (int count = 400; count < 420; ++count) {
    SCOPED_TRACE(count);
    std::vector<Op> ops;
    std::string expected = "f() -> () {\n";
    for (int i = 0; i < count; ++i) {
      const bool is_wide = i % 7 != 3;
      const std::string name = "v" + std::to_string(i % 10);  // two bytes: one column
      ops.push_back(make_op(Iota{}, {name}, {is_wide ? wide : small}));
      expected += "  " + name + ": " +
                  (is_wide ? wide_text : "i8[]" + std::string(wide_text.size() - 4, ' ')) +
                  " = iota()\n";
    }
    expected += "}\n";
    const Module m = module_of({make_function("f", {}, {}, ops)});
    EXPECT_EQ(format_module(m, kWide), expected);
    MovingStorage storage;
    TextBuffer out(storage);
    format_module(m, kWide, out);
    EXPECT_EQ(out.view(), expected);
  }
}

TEST_F(Format, OutputLines) {
  // Untyped outputs inside the list are the bare name and a comma; type entries
  // past the outputs are ignored; an op without outputs writes no statement.
  const Function f = make_function(
      "f", {}, {},
      {make_op(Call{"g"}, {"a", "bbb", "c"}, {std::nullopt, f32({c(2)})}, {Atom::str("x")}),
       make_op(Call{"g"}, {"d", "e"}, {f32({}), std::nullopt, f32({c(9)})}),
       make_op(Call{"g"}, {}, {f32({c(1)})}, {}, {"// gone"}),
       make_op(Call{"g"}, {"p", "q"}, {}, {}, {"// untyped"})});
  EXPECT_EQ(format_module(module_of({f}), kWide),
            "f() -> () {\n"
            "  a,\n"
            "  bbb: f32[2],\n"
            "  c           = call[g](x)\n"
            "  d  : f32[],\n"
            "  e           = call[g]()\n"
            "\n"
            "  // gone\n"
            "\n"
            "  // untyped\n"
            "  p,\n"
            "  q           = call[g]()\n"
            "}\n");
}

TEST_F(Format, CommentsAndBlankLines) {
  EXPECT_EQ(format_module(Module{}, kWide), "\n");
  EXPECT_EQ(format_module(module_of({}, {"// a", "// b"}), kWide), "// a\n// b\n\n");

  // The blank line goes before every commented op but the first, also when
  // the ops before it printed nothing.
  const Function f = make_function(
      "f", {}, {},
      {make_op(Iota{}, {}, {}, {}, {"// first"}), make_op(Iota{}, {}, {}, {}, {"// second"}),
       make_op(Iota{}, {"x"}), make_op(Iota{}, {"y"}, {}, {}, {"// third", "// more"})},
      {"// doc", "//"});
  const Function g = make_function("g", {}, {}, {}, {"// only comments"});
  EXPECT_EQ(format_module(module_of({f, g}, {"// header"}), kWide),
            "// header\n"
            "\n"
            "f() -> () {\n"
            "  // doc\n"
            "  //\n"
            "  // first\n"
            "\n"
            "  // second\n"
            "  x = iota()\n"
            "\n"
            "  // third\n"
            "  // more\n"
            "  y = iota()\n"
            "}\n"
            "\n"
            "g() -> () {\n"
            "  // only comments\n"
            "}\n");
}

TEST_F(Format, RightHandSides) {
  AxesBuilder builder;
  builder.insert("b", 4);
  builder.insert("a", -1);
  const Axes axes = ctx.axes(builder);
  const std::initializer_list<Atom> xy = {Atom::str("x"), Atom::str("y")};
  using L = LiteralValue;
  struct Case {
    Op op;
    std::string text;
  } cases[] = {
      {make_op(View{"a b -> b a", {}}, {}, {}, {Atom::str("x")}), R"(view["a b -> b a"](x))"},
      {make_op(View{"a b -> b a", axes}, {}, {}, {Atom::str("x")}), R"(view["a b -> b a", b=4, a=-1](x))"},
      {make_op(View{"", {}}), R"(view[""]())"},
      {make_op(Map{"add"}, {}, {}, xy), "map[add](x, y)"},
      {make_op(Map{""}, {}, {}, {Atom::str("x")}), "map[](x)"},
      {make_op(Fold{"i j -> i", "sum"}, {}, {}, {Atom::str("x")}), R"(fold["i j -> i", sum](x))"},
      {make_op(Tile{"i -> i j", axes}, {}, {}, {Atom::str("x")}), R"(tile["i -> i j", b=4, a=-1](x))"},
      {make_op(Read{"v d, s -> s d"}, {}, {}, xy), R"(read["v d, s -> s d"](x, y))"},
      {make_op(Write{"i -> i", "max"}, {}, {}, xy), R"(write["i -> i", max](x, y))"},
      {make_op(Contract{"a b, b c -> a c"}, {}, {}, xy), R"(contract["a b, b c -> a c"](x, y))"},
      {make_op(Contract{"say \"hi\" \\n"}), R"(contract["say "hi" \n"]())"},  // never escaped
      {make_op(Literal{L::integer(-7)}), "literal(-7)"},
      {make_op(Literal{L::real(2.0)}), "literal(2.0)"},
      {make_op(Literal{list({})}), "literal([])"},
      {make_op(Literal{list({list({L::integer(1), L::integer(2)}), list({L::real(3.5), L::real(kInf)})})}),
       "literal([[1, 2], [3.5, inf]])"},
      {make_op(Literal{list({L::real(-kInf), list({}), list({list({L::real(kNaN)})})})}),
       "literal([-inf, [], [[NaN.0]]])"},
      {make_op(Literal{L::integer(1)}, {}, {}, {Atom::str("ignored")}), "literal(1)"},
      {make_op(Iota{}, {}, {}, {Atom::integer(8)}), "iota(8)"},
      {make_op(Random{0.0, 1.0}), "random[0.0, 1.0]"},
      {make_op(Random{-kInf, 1e16}, {}, {}, xy), "random[-inf, 10000000000000000.0]"},
      {make_op(Call{"g"}, {}, {}, xy), "call[g](x, y)"},
      {make_op(Loop{"body", LoopCount::concrete(3)}, {}, {}, xy), "loop[body, 3](x, y)"},
      {make_op(Loop{"body", LoopCount::concrete(std::numeric_limits<std::uint64_t>::max())}),
       "loop[body, 18446744073709551615]()"},
      {make_op(Loop{"body", LoopCount::named("param.layers")}), "loop[body, param.layers]()"},
      {make_op(Cache{"kv.*", "init", std::nullopt}, {}, {}, {Atom::str("k")}), "cache[kv.*, init](k)"},
      {make_op(Cache{"kv", "init", "grow"}, {}, {}, {Atom::str("k")}), "cache[kv, init, grow](k)"},
      {make_op(Cache{"", "", std::nullopt}), "cache[, ]()"},
      // Arguments print bare: names with spaces or arrows, signed integers.
      {make_op(Call{"g"}, {}, {}, {Atom::str("a b"), Atom::str("->"), Atom::str(""), Atom::integer(-9223372036854775807 - 1)}),
       "call[g](a b, ->, , -9223372036854775808)"},
  };
  for (const Case& k : cases) EXPECT_EQ(statement(k.op), k.text);
}

TEST_F(Format, FloatTexts) {
  struct Case {
    double value;
    std::string text;
  } cases[] = {
      {0.0, "0.0"},
      {-0.0, "-0.0"},
      {1.0, "1.0"},
      {-2.5, "-2.5"},
      {0.5, "0.5"},
      {0.1 + 0.2, "0.30000000000000004"},
      {1e-7, "0.0000001"},
      {1e16, "10000000000000000.0"},
      {1e21, "1000000000000000000000.0"},
      {123456.789, "123456.789"},
      {1e300, "1" + std::string(300, '0') + ".0"},
      {5e-324, "0." + std::string(323, '0') + "5"},
      {kNaN, "NaN.0"},
      {kInf, "inf"},
      {-kInf, "-inf"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.text);
    EXPECT_EQ(statement(make_op(Iota{}, {}, {}, {Atom::real(k.value)})), "iota(" + k.text + ")");
    EXPECT_EQ(statement(make_op(Literal{LiteralValue::real(k.value)})), "literal(" + k.text + ")");
    EXPECT_EQ(statement(make_op(Random{k.value, k.value})), "random[" + k.text + ", " + k.text + "]");
  }
}

TEST_F(Format, TypeTexts) {
  const Function f = make_function(
      "f", {{"a", ty("*", {c(2), n("n")})}, {"b", ty("i1")}, {"c", ty("f16", {n("..."), c(-1), n("param.d")})}},
      {{"r", ty("*")}});
  EXPECT_EQ(format_module(module_of({f}), kWide),
            "f(a: *, b: i1[], c: f16[..., -1, param.d]) -> (r: *) {\n}\n");
}

// Prints [[[...[1]...]]] without recursion.
TEST_F(Format, DeeplyNestedLiteralDoesNotRecurse) {
  constexpr int kDepth = 300000;
  LiteralValue value = deeply_nested_list(ctx, kDepth);
  Module m = module_of({make_function("f")});
  m.functions.find("f")->ops.push_back(make_op(Literal{value}, {"y"}));
  EXPECT_EQ(format_module(m, kWide), "f() -> () {\n  y = literal(" + std::string(kDepth, '[') + "1" +
                                         std::string(kDepth, ']') + ")\n}\n");
}

// ---- Printed text read back, once the parser is in place ----

// Random has no arguments, outputs inside output lists are typed, and the
// first op of each function has no comments: the printed form of this module
// reads back to the same module, but for the axes, which print inside the
// square brackets where the parser does not take them.
constexpr const char* kRoundTrip = R"(// small module
// two header lines

main(tokens: i32[b, s], weights: *, scale: f32[]) -> (out: f32[b, s, 64], st: f32[b, 64]) {
  // entry
  e: f32[b, s, 64] = read["v d, b s -> b s d"](weights.embed, tokens)
  h: f32[b, s, 8, 8] = view["b s (h d) -> b s h d"](e, h=8, d=8)
  t: f32[b, s, 8, 8, 2] = tile["b s h d -> b s h d r"](h, r=2)
  m: f32[b, s, 8, 8] = fold["b s h d r -> b s h d", max](t)
  r: f32[b, s, 64] = random[-0.5, 1e-7]
  l: f32[2, 3] = literal([[1, -2, 3.5], [inf, - inf, 0.0]])
  z: f32[] = literal(-0.0)

  // state
  c: f32[b, s, 64] = cache[kv.*, kv_init, kv_grow](e)
  k: f32[b, s, 64] = cache[kc, kv_init](e)
  o: f32[b, s, 64] = loop[body, 12](c, weights.layers.*)
  p: f32[b, s, 64] = loop[body, param.layers](o, weights.layers.*)
  (q, st): (f32[b, s, 64], f32[b, 64]) = call[pair](p, k, scale, 2, 0.25)
  w: f32[b, s, 64] = write["b s d -> b s d", add](q, -3)
  i: i64[s] = iota(s)
  out: f32[b, s, 64] = contract["b s d, d e -> b s e"](w, weights.head)
}

body(x: f32[b, s, 64], w: *) -> (y: f32[b, s, 64]) {
  y: f32[b, s, 64] = map[add](x, w.bias)
}

pair(x: f32[b, s, 64], k: f32[b, s, 64], scale: f32[], n: i64[], f: f32[]) -> (a: f32[b, s, 64], b2: f32[b, 64]) {
  a : f32[b, s, 64] = map[mul](x, scale)
  // reduce
  b2: f32[b, 64] = fold["b s d -> b d", sum](k)
}

kv_init(k: f32[b, s, 64]) -> (c: f32[b, s, 64]) {
  c: f32[b, s, 64] = map[copy](k)
}

kv_grow(c: f32[b, t, 64], k: f32[b, s, 64]) -> (n: f32[b, t, 64]) {
  n: f32[b, t, 64] = map[concat](c, k)
}
)";

Module without_axes(Module m) {
  for (auto& entry : m.functions) {
    for (Op& op : entry.second.ops) {
      if (std::holds_alternative<View>(op.kind()))
        change_kind<View>(m.ctx(), op, [](View& view) { view.axes = Axes{}; });
      if (std::holds_alternative<Tile>(op.kind()))
        change_kind<Tile>(m.ctx(), op, [](Tile& tile) { tile.axes = Axes{}; });
    }
  }
  return m;
}

TEST_F(Format, PrintedSourceReadsBack) {
  for (const std::string& source : {std::string(kRoundTrip), read_fixture("decoder.qrv")}) {
    ASSERT_FALSE(source.empty());
    const Module first = parse_source(source);
    const Module expected = without_axes(first);
    ASSERT_FALSE(expected == first);  // both sources give some op axes
    for (std::uint64_t width : {std::uint64_t{0}, std::uint64_t{60}, std::uint64_t{100}}) {
      SCOPED_TRACE(width);
      const Module second = parse_source(format_module(first, width));
      EXPECT_TRUE(second == expected) << format_module(first, width);
      const std::string printed = format_module(second, width);
      const Module third = parse_source(printed);
      EXPECT_TRUE(third == second) << printed;
      EXPECT_EQ(format_module(third, width), printed);
    }
  }
}

// Statements that recur share their storage within a module; statements
// that differ only in a zero's sign, in a comment or in an argument must not.
TEST_F(Format, RecurringStatementsKeepWhatSetsThemApart) {
  const std::string source =
      "f(x: f32[]) -> (y: f32[]) {\n"
      "  a = random[-0.0, 1.0]\n"
      "  b = random[0.0, 1.0]\n"
      "  c = map[add](x, -0.0)\n"
      "  d = map[add](x, 0.0)\n"
      "\n"
      "  // one\n"
      "  e = view[\"i -> i\"](x)\n"
      "  e = view[\"i -> i\"](x)\n"
      "}\n"
      "\n"
      "g(x: f32[]) -> (y: f32[]) {\n"
      "  b = random[0.0, 1.0]\n"
      "  a = random[-0.0, 1.0]\n"
      "  d = map[add](x, 0.0)\n"
      "  c = map[add](x, -0.0)\n"
      "  e = view[\"i -> i\"](x)\n"
      "\n"
      "  // two\n"
      "  e = view[\"i -> i\"](x)\n"
      "}\n";
  EXPECT_EQ(format_module(parse_source(source), 100), source);
}

TEST_F(Format, CanonicalTextOfSource) {
  // Loose spacing and optional commas in, canonical columns out. The parenthesised
  // output form with fewer types than names prints the rest as untyped outputs.
  const char* source =
      "f(x:f32[4 n] w:*)->(y:f32[4]){ //doc\n"
      "h:f32[4]=map[relu](x)   y=read[\"i -> i\"](h)\n"
      "(a, b, c): (f32[1]) = call[g](x)\n"
      "}\n";
  EXPECT_EQ(format_module(parse_source(source), 20),
            "f(\n"
            "  x: f32[4, n],\n"
            "  w: *\n"
            ") -> (y: f32[4]) {\n"
            "  //doc\n"
            "  h: f32[4] = map[relu](x)\n"
            "  y         = read[\"i -> i\"](h)\n"
            "  a: f32[1],\n"
            "  b,\n"
            "  c         = call[g](x)\n"
            "}\n");
}

}  // namespace
}  // namespace quarvel
