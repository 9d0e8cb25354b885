#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "core/config.h"
#include "core/json_write.h"
#include "core/parse.h"
#include "tests/test_util.h"

namespace quarvel {
namespace {

constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
constexpr double kInf = std::numeric_limits<double>::infinity();

ConfigValue integer(std::int64_t i) { return ConfigValue{i}; }
ConfigValue real(double x) { return ConfigValue{x}; }
ConfigValue list(std::vector<double> xs) { return ConfigValue{std::move(xs)}; }

// n = 4, h = 2.9, v = [1, 2.5], neg = -1, param.x = 7
ConfigMap sample_table() {
  return {{"n", integer(4)},
          {"h", real(2.9)},
          {"v", list({1.0, 2.5})},
          {"neg", integer(-1)},
          {"param.x", integer(7)}};
}

// A dimension appears in a parameter, a return and an operation's output type;
// all three are substituted alike.
TEST(ApplyConfig, Dimensions) {
  struct Case {
    const char* before;
    Dim after;
  } cases[] = {
      {"param.n", Dim::concrete(4)},
      {"param.h", Dim::concrete(2)},
      {"param.v", Dim::named("param.v")},  // a List substitutes nothing
      {"n", Dim::named("n")},              // no prefix, no lookup
      {"param.m", Dim::named("param.m")},  // absent
      {"param.param.x", Dim::concrete(7)},
      {"param.neg", Dim::concrete(-1)},
      {"...", Dim::named("...")},
      {"5", Dim::concrete(5)},
  };
  const ConfigMap table = sample_table();
  Context ctx;
  for (const Case& c : cases) {
    const std::string d = c.before;
    const Module m = parse_source("f(x: f32[2, " + d + "]) -> (y: f32[" + d + "]) {\n  y: f32[" + d +
                                  "] = map[copy](x)\n}\n");
    const Module out = apply_config(m, table);
    const Function& f = *out.functions.find("f");
    EXPECT_EQ(f.params[0].ty->shape, ctx.list({Dim::concrete(2), c.after})) << d;
    EXPECT_EQ(f.returns[0].ty->shape, ctx.list({c.after})) << d;
    EXPECT_EQ(f.ops[0].output_types[0]->shape, ctx.list({c.after})) << d;
  }
}

TEST(ApplyConfig, LoopCounts) {
  struct Case {
    const char* before;
    LoopCount after;
  } cases[] = {
      {"n", LoopCount::concrete(4)},
      {"param.n", LoopCount::concrete(4)},
      {"h", LoopCount::named("h")},  // a Float does not set a count
      {"v", LoopCount::named("v")},
      {"neg", LoopCount::concrete(18446744073709551615u)},
      {"x", LoopCount::named("x")},  // the table holds param.x, not x
      {"param.param.x", LoopCount::concrete(7)},
      {"m", LoopCount::named("m")},
      {"3", LoopCount::concrete(3)},  // already a number
  };
  const ConfigMap table = sample_table();
  for (const Case& c : cases) {
    const Module m = parse_source(std::string("f(x: f32[2]) -> (y: *) {\n  y: f32[2] = loop[body, ") +
                                  c.before + "](x)\n}\n");
    const Module out = apply_config(m, table);
    EXPECT_EQ(std::get<Loop>(out.functions.find("f")->ops[0].kind()).count, c.after) << c.before;
  }
}

TEST(ApplyConfig, FloatToDimension) {
  struct Case {
    double value;
    std::int64_t dim;
  } cases[] = {
      {2.9, 2},
      {-2.9, -2},
      {-0.0, 0},
      {4.0, 4},
      {1e300, kMax},
      {kInf, kMax},
      {9223372036854775808.0, kMax},  // 2^63
      {9223372036854774784.0, 9223372036854774784},  // largest double below 2^63
      {-9223372036854775808.0, kMin},  // -2^63 fits exactly
      {-1e300, kMin},
      {-kInf, kMin},
      {std::numeric_limits<double>::quiet_NaN(), 0},
  };
  const Module m = parse_source("f(x: f32[param.d]) -> (y: *) {\n  y: f32[2] = loop[body, d](x)\n}\n");
  for (const Case& c : cases) {
    const Module out = apply_config(m, {{"d", real(c.value)}});
    const Function& f = *out.functions.find("f");
    EXPECT_EQ(f.params[0].ty->shape[0], Dim::concrete(c.dim)) << c.value;
    EXPECT_EQ(std::get<Loop>(f.ops[0].kind()).count, LoopCount::named("d")) << c.value;
  }
}

TEST(ApplyConfig, IntegerLoopCountBits) {
  const Module m = parse_source("f(x: f32[2]) -> (y: *) {\n  y: f32[2] = loop[body, c](x)\n}\n");
  struct Case {
    std::int64_t value;
    std::uint64_t count;
  } cases[] = {{0, 0}, {kMax, 9223372036854775807u}, {kMin, 9223372036854775808u}, {-2, 18446744073709551614u}};
  for (const Case& c : cases) {
    const Module out = apply_config(m, {{"c", integer(c.value)}});
    EXPECT_EQ(std::get<Loop>(out.functions.find("f")->ops[0].kind()).count,
              LoopCount::concrete(c.count))
        << c.value;
  }
}

// Wildcard types keep their shapes, absent output types stay absent, and no
// other place of the module is ever substituted, even when it spells a
// configured name.
TEST(ApplyConfig, OtherPlacesUntouched) {
  const Module m = parse_source(R"~(// header param.n
    f(x: *, w: f32[n, ...]) -> (y: *) {
      // param.n
      (a): (*[param.n]) = map[copy](x)
      b = map[param.n](param.n, n, 2.5)
      c: f32[2] = literal([4, 2.9])
      d: f32[2] = random[0.0, 1.0]()
      e: f32[2, 3] = view["n -> n param.n"](x, n=3)
      g: f32[2] = call[n](param.n)
      h: f32[2] = cache[n, n, n](x)
      i: f32[2] = tile["a b -> param.n"](x)
      j: f32[2] = loop[n, 5](x)
    }
    n(x: *) -> (y: *) { y = map[copy](x) }
  )~");
  Module wildcard_shapes = m;
  Function& w = *wildcard_shapes.functions.find("f");
  std::vector<Param> params(w.params.begin(), w.params.end());
  params[0].ty = wildcard_shapes.ctx().type(params[0].ty->dtype, {Dim::named("param.n")});
  w.params = wildcard_shapes.ctx().list(params);
  for (const Module& input : {m, wildcard_shapes})
    EXPECT_EQ(apply_config(input, sample_table()), input);
}

TEST(ApplyConfig, EmptyNames) {
  // "param." looks up the empty name, for dimensions and counts alike.
  Module m;
  Context& ctx = m.ctx();
  Function f;
  f.name = "body";
  f.params = ctx.list({Param{"x", ctx.type("f32", {Dim::named("param.")})}});
  Op op;
  op.head = ctx.head(Loop{"body", LoopCount::named("param.")});
  op.outputs = ctx.list<Text>({"y"});
  op.output_types = ctx.list({TypeRef()});
  f.ops.push_back(op);
  m.functions.insert("k", f);  // a key that differs from the function's name

  Module expected = m;
  Function& e = *expected.functions.find("k");
  e.params = ctx.list({Param{"x", ctx.type("f32", {Dim::concrete(5)})}});
  change_kind<Loop>(ctx, e.ops[0], [](Loop& loop) { loop.count = LoopCount::concrete(5); });

  EXPECT_EQ(apply_config(m, {{"", integer(5)}}), expected);
  EXPECT_EQ(apply_config(m, {{"param.", integer(5)}}), m);
}

// The result is built over the input's context: what no name touches is the
// input's own list or type, a changed type is the context's interned one, and
// the input, texts and all, stays as it was.
TEST(ApplyConfig, SharesWhatItDoesNotChange) {
  const Module m = parse_source(
      "f(x: f32[param.n, 2], w: f32[3]) -> (y: f32[param.n, 2]) {\n"
      "  a: f32[3] = map[copy](w)\n"
      "  y: f32[param.n, 2] = loop[body, n](x)\n"
      "}\n"
      "g(w: f32[3]) -> (v: f32[3]) {\n"
      "  v: f32[3] = map[copy](w)\n"
      "}\n");
  const std::string before = write_module_json(m);
  const Module out = apply_config(m, {{"n", integer(4)}});
  EXPECT_EQ(write_module_json(m), before);
  EXPECT_EQ(out.context, m.context);

  const Function& f_in = *m.functions.find("f");
  const Function& f = *out.functions.find("f");
  const TypeRef four_by_two = out.ctx().type("f32", {Dim::concrete(4), Dim::concrete(2)});
  EXPECT_EQ(f.params[0].ty.get(), four_by_two.get());
  EXPECT_EQ(f.returns[0].ty.get(), four_by_two.get());
  EXPECT_EQ(f.ops[1].output_types[0].get(), four_by_two.get());
  EXPECT_EQ(f.params[1].ty.get(), f_in.params[1].ty.get());  // f32[3] as it was
  EXPECT_EQ(f.ops[0].output_types.data(), f_in.ops[0].output_types.data());
  EXPECT_EQ(f.ops[0].outputs.data(), f_in.ops[0].outputs.data());
  EXPECT_EQ(f.ops[1].args.data(), f_in.ops[1].args.data());
  EXPECT_EQ(std::get<Loop>(f.ops[1].kind()).count, LoopCount::concrete(4));
  EXPECT_EQ(std::get<Loop>(f_in.ops[1].kind()).count, LoopCount::named("n"));

  // A function that no name touches keeps its lists.
  const Function& g_in = *m.functions.find("g");
  const Function& g = *out.functions.find("g");
  EXPECT_EQ(g.params.data(), g_in.params.data());
  EXPECT_EQ(g.returns.data(), g_in.returns.data());
  EXPECT_EQ(g.ops[0].output_types.data(), g_in.ops[0].output_types.data());

  // With an empty table the copy shares everything.
  const Module copy = apply_config(m, {});
  EXPECT_EQ(copy.context, m.context);
  EXPECT_EQ(copy.functions.find("f")->params.data(), f_in.params.data());
}

TEST(ApplyConfig, WholeModule) {
  const Module input = parse_file(QUARVEL_FIXTURES "/decoder.qrv");
  const Module before = input;

  // An empty table changes nothing.
  EXPECT_EQ(apply_config(input, {}), input);

  // Order, keys and comments survive; only configured places change, and the
  // input stays as it was.
  const Module out = apply_config(input, {{"batch", integer(2)}, {"layers", integer(3)}});
  EXPECT_EQ(input, before);
  ASSERT_EQ(out.functions.size(), input.functions.size());
  for (std::size_t i = 0; i < input.functions.size(); ++i) {
    EXPECT_EQ(out.functions.at_position(i).first, input.functions.at_position(i).first);
    EXPECT_EQ(out.functions.at_position(i).second.comments,
              input.functions.at_position(i).second.comments);
  }
  EXPECT_EQ(out.header_comments, input.header_comments);
  const Function& main = *out.functions.find("main");
  Context ctx;
  EXPECT_EQ(main.params[0].ty->shape, ctx.list({Dim::concrete(2), Dim::named("param.seq")}));
  EXPECT_EQ(std::get<Loop>(main.ops[1].kind()).count, LoopCount::concrete(3));
}

}  // namespace
}  // namespace quarvel
