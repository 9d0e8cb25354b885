#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/error.h"
#include "core/parse.h"
#include "core/resolve.h"
#include "tests/test_util.h"

namespace quarvel {
namespace {

using Tokens = std::vector<std::string_view>;

TEST(AxisTokens, Scanner) {
  struct Case {
    std::string text;
    Tokens expected;
  } cases[] = {
      {"b h w -> b (h w)", {"b", "h", "w", "b", "(", "h", "w", ")"}},
      {"a->a b", {"a", "a", "b"}},
      {"", {}},
      {" ,;-> ", {}},
      {"2h", {"2", "h"}},
      {"h2 h_2 _ _x9", {"h2", "h_2", "_", "_x9"}},
      {"a.b", {"a", "b"}},
      {"....", {"..."}},
      {".. .", {}},
      {"x...y", {"x", "...", "y"}},
      {"((a))", {"(", "(", "a", ")", ")"}},
      {"007 12x", {"007", "12", "x"}},
      // Names start with an ASCII letter or underscore, then take word
      // characters of any script.
      {"caf\xc3\xa9 x", {"caf\xc3\xa9", "x"}},                 // é continues a name
      {"\xc3\xa9t\xc3\xa9", {"t\xc3\xa9"}},                    // but cannot start one
      {"\xce\xb1\xce\xb2 a\xce\xb1", {"a\xce\xb1"}},           // Greek letters likewise
      {"e\xcc\x81x", {"e\xcc\x81x"}},                          // combining acute accent (Mn)
      {"\xcc\x81x", {"x"}},                                    // a mark alone starts nothing
      {"a\xe2\x80\x8d" "b", {"a\xe2\x80\x8d" "b"}},            // zero width joiner
      {"a\xe2\x80\xbf" "b", {"a\xe2\x80\xbf" "b"}},            // undertie (Pc)
      {"a\xe2\x80\x8b" "b", {"a", "b"}},                       // zero width space separates
      // Decimal digits (Nd) of any script.
      {"h\xd9\xa3 x", {"h\xd9\xa3", "x"}},                     // Arabic-Indic three inside a name
      {"\xd9\xa3\xd9\xa4", {"\xd9\xa3\xd9\xa4"}},              // a run of them is a token
      {"\xd9\xa3h", {"\xd9\xa3", "h"}},                        // a digit run stops at a letter
      {"1\xd9\xa3" "2", {"1\xd9\xa3" "2"}},                    // mixed-script digit run
      {"\xef\xbc\x91\xef\xbc\x92", {"\xef\xbc\x91\xef\xbc\x92"}},  // fullwidth digits
      {"x\xc2\xb2y \xc2\xb2", {"x", "y"}},                     // superscript two is not Nd
      {"\xe2\x85\xab a\xe2\x85\xab", {"a\xe2\x85\xab"}},         // roman numeral twelve (Nl)
      // White space of any kind separates and vanishes.
      {"\xe3\x80\x80" "a\xc2\xa0" "b\xe2\x80\xa8", {"a", "b"}},
      // Ill-formed bytes separate like any other character.
      {"a\xff" "b", {"a", "b"}},
      {"a\xe2\x82", {"a"}},
      {"\xc3", {}},
      {"a\xed\xa0\x80" "b", {"a", "b"}},                       // encoded surrogate
  };
  for (const Case& c : cases) EXPECT_EQ(scan_axis_tokens(c.text), c.expected) << c.text;
}

AxisTerm name(std::string s) { return AxisTerm{std::move(s)}; }
AxisTerm group(std::vector<std::string> members) { return AxisTerm{std::move(members)}; }

TEST(AxisPatternSide, Terms) {
  struct Case {
    std::string text;
    AxisPattern expected;
  } cases[] = {
      {" ( a ... ) ... x , 1 ", {true, {group({"a", "..."}), name("x"), name("1")}}},
      {"", {false, {}}},
      {"...", {true, {}}},
      {"b (h w)", {false, {name("b"), group({"h", "w"})}}},
      {"()", {false, {group({})}}},
      {"( ( a )", {false, {group({"(", "a"})}}},  // groups do not nest
      {"a ) b", {false, {name("a"), name(")"), name("b")}}},
      {"(a) ... (b)", {true, {group({"a"}), group({"b"})}}},
      {"\xe3\x80\x80x\xe2\x80\x83", {false, {name("x")}}},  // ideographic space, em space
      {"(h\xd9\xa3 \xd9\xa3)", {false, {group({"h\xd9\xa3", "\xd9\xa3"})}}},
  };
  for (const Case& c : cases) EXPECT_EQ(parse_axis_pattern(c.text), c.expected) << c.text;
}

TEST(AxisPatternSide, UnclosedGroupFails) {
  struct Case {
    std::string text;
    std::string message;
  } cases[] = {
      {"(a b", "index out of bounds: the len is 3 but the index is 3"},
      {"a (", "index out of bounds: the len is 2 but the index is 2"},
      {"(", "index out of bounds: the len is 1 but the index is 1"},
      {"(a) (b ...", "index out of bounds: the len is 6 but the index is 6"},
  };
  for (const Case& c : cases) {
    try {
      parse_axis_pattern(c.text);
      ADD_FAILURE() << "no failure for " << c.text;
    } catch (const Failure& f) {
      EXPECT_EQ(f.message(), c.message) << c.text;
    }
  }
}

using AxisList = std::vector<std::pair<std::string, std::int64_t>>;

AxisList axes_list(const Axes& axes) {
  AxisList out;
  for (const auto& [k, v] : axes) out.emplace_back(k, v);
  return out;
}

// The axes of the last operation of function f.
AxisList inferred_axes(const Module& module) {
  const Function* f = module.functions.find("f");
  if (f == nullptr || f->ops.empty()) return {{"<no op>", 0}};
  const OpKind& kind = f->ops.back().kind();
  if (const auto* v = std::get_if<View>(&kind)) return axes_list(v->axes);
  if (const auto* t = std::get_if<Tile>(&kind)) return axes_list(t->axes);
  return {{"<not view or tile>", 0}};
}

// Each body is the last statement of f(x: <input>) -> (y: *).
TEST(InferAxes, Sizes) {
  struct Case {
    const char* input;
    const char* body;
    AxisList expected;
  } cases[] = {
      {"f32[2, 3, 4]", R"~(y: f32[2, 12] = view["b h w -> b (h w)"](x))~", {}},
      {"f32[2, 3]", R"~(y: f32[2, 12] = view["b n -> b (n k)"](x))~", {{"k", 4}}},
      {"f32[2, 3]", R"~(y: f32[2, 3, 5] = tile["h w -> h w c"](x))~", {{"c", 5}}},
      {"f32[6, 4]", R"~(y: f32[2, 3, 4] = view["(h w) c -> h w c"](x))~", {{"h", 2}, {"w", 3}}},
      {"f32[2, 3, 4]", R"~(y: f32[2, 3, 4, 5] = tile["... c -> ... c d"](x))~", {{"d", 5}}},
      {"f32[2, 3, 4]", R"~(y: f32[2, 3, 20] = view["... c -> ... (c k)"](x))~", {{"k", 5}}},
      {"f32[2]", R"~(y: f32[2, 7] = tile["a->a b"](x))~", {{"b", 7}}},
      {"f32[5, 3]", R"~(y: f32[5, 6] = view["b h -> b (2 h)"](x))~", {{"2", 2}}},
      // Repeated output name: first position, later size.
      {"f32[2]", R"~(y: f32[2, 3, 4, 5] = tile["a -> a b c b"](x))~", {{"b", 5}, {"c", 4}}},
      // A further arrow on the output side is dropped with the other punctuation.
      {"f32[2]", R"~(y: f32[3, 4] = view["a -> b -> c"](x))~", {{"b", 3}, {"c", 4}}},
      // Argument 0 without a type: the output side is still read.
      {"f32[2]", R"~(y: f32[6] = view["a -> (a b)"](z))~", {}},
      {"f32[2]", R"~(y: f32[6, 2] = view["a -> a b"](z))~", {{"b", 2}}},
      {"f32[2]", R"~(y: f32[6, 2] = view["a -> a b"](3))~", {{"b", 2}}},
      {"f32[2]", R"~(y: f32[6, 2] = view["a -> a b"]())~", {{"b", 2}}},
      // Group products of 0 or less, also by wrapping, record nothing.
      {"f32[0, 3]", R"~(y: f32[12] = view["a b -> (a b c)"](x))~", {}},
      {"f32[-2, 3]", R"~(y: f32[12] = view["a b -> (a b c)"](x))~", {}},
      {"f32[4294967296, 4294967296]", R"~(y: f32[12] = view["a b -> (a b c)"](x))~", {}},
      {"f32[4611686018427387904, 2]", R"~(y: f32[12] = view["a b -> (a b c)"](x))~", {}},
      {"f32[4294967297, 4294967297]", R"~(y: f32[-9223372036854775807] = view["a b -> (a b c)"](x))~",
       {{"c", -9223372036854775807 / 8589934593}}},  // wrapped product 8589934593
      // Declared 0 with a positive product gives 0; division truncates toward zero.
      {"f32[3]", R"~(y: f32[0] = view["a -> (a k)"](x))~", {{"k", 0}}},
      {"f32[2]", R"~(y: f32[-7] = view["a -> (a k)"](x))~", {{"k", -3}}},
      {"f32[2]", R"~(y: f32[7] = view["a -> (a k)"](x))~", {{"k", 3}}},
      // Several unknown members, or one occurring twice, record nothing.
      {"f32[2]", R"~(y: f32[12] = view["a -> (a k m)"](x))~", {}},
      {"f32[2]", R"~(y: f32[12] = view["a -> (k a k)"](x))~", {}},
      // Named dimensions bind and record nothing.
      {"f32[n, 3]", R"~(y: f32[12] = view["a b -> (a b c)"](x))~", {}},
      {"f32[2]", R"~(y: f32[2, m] = tile["a -> a b"](x))~", {}},
      {"f32[2]", R"~(y: f32[2, m] = view["a -> a (b)"](x))~", {}},
      // Terms beyond the shape bind nothing; with an ellipsis positions may be negative.
      {"f32[2]", R"~(y: f32[2] = tile["a b c -> a b c d"](x))~", {}},
      {"f32[4]", R"~(y: f32[7, 8] = view["... a b -> ... a b c"](x))~", {{"c", 8}}},
      {"f32[4]", R"~(y: f32[24] = view["... a b -> (b k)"](x))~", {{"k", 6}}},
      {"f32[4]", R"~(y: f32[24] = view["... a b -> ... (b k) q"](x))~", {{"q", 24}}},
      // A group on the input side binds nothing but takes its position.
      {"f32[6, 4]", R"~(y: f32[4, 9] = view["(h w) c -> c k"](x))~", {{"k", 9}}},
      {"f32[6, 4]", R"~(y: f32[24] = view["(h w) c -> (h c)"](x))~", {{"h", 6}}},
      // Names beginning with an ASCII digit are never sized or recorded...
      {"f32[2, 5]", R"~(y: f32[2, 20] = view["a 4 -> a (4 k)"](x))~", {}},
      {"f32[2]", R"~(y: f32[2, 9] = tile["a -> a 7"](x))~", {}},
      // ...but a digit run of another script is an ordinary name here.
      {"f32[2, 5]", "y: f32[2, 20] = view[\"a \xd9\xa3 -> a (\xd9\xa3 k)\"](x)", {{"k", 4}}},
      {"f32[2]", "y: f32[2, 9] = tile[\"a -> a \xd9\xa3\"](x)", {{"\xd9\xa3", 9}}},
      {"f32[2]", "y: f32[2, 9] = tile[\"a -> a h\xc3\xa9\"](x)", {{"h\xc3\xa9", 9}}},
      {"f32[2]", "y: f32[2, 9] = tile[\"a -> a\xc2\xb2 b\"](x)", {{"b", 9}}},
      // A stray ")" is a name like any other.
      {"f32[2]", R"~(y: f32[2, 9] = tile["a -> a )"](x))~", {{")", 9}}},
  };
  for (const Case& c : cases) {
    const std::string source =
        std::string("f(x: ") + c.input + ") -> (y: *) {\n  " + c.body + "\n}\n";
    EXPECT_EQ(inferred_axes(infer_axes(parse_source(source))), c.expected) << source;
  }
}

TEST(InferAxes, Environment) {
  struct Case {
    const char* what;
    const char* source;
    AxisList expected;
  } cases[] = {
      {"an operation's own typed outputs are visible to it",
       R"~(f(z: f32[2]) -> (y: *) { y: f32[12], w: f32[3] = view["a -> (a k)"](w) })~",
       {{"k", 4}}},
      {"a later parameter of the same name replaces the earlier",
       R"~(f(x: f32[2], x: f32[5]) -> (y: *) { y: f32[20] = view["a -> (a k)"](x) })~",
       {{"k", 4}}},
      {"an operation's output replaces a parameter",
       R"~(f(x: f32[2]) -> (y: *) {
            x: f32[5] = map[copy](x)
            y: f32[20] = view["a -> (a k)"](x)
          })~",
       {{"k", 4}}},
      {"an untyped output leaves the earlier type",
       R"~(f(x: f32[5]) -> (y: *) {
            x = map[copy](x)
            y: f32[20] = view["a -> (a k)"](x)
          })~",
       {{"k", 4}}},
      {"outputs beyond the types get no type",
       R"~(f(z: f32[2]) -> (y: *) {
            (x, w): (f32[9]) = map[copy](z)
            y: f32[20] = view["a -> (a k)"](w)
          })~",
       {}},
      {"types beyond the outputs bind nothing",
       R"~(f(z: f32[2]) -> (y: *) {
            (w): (f32[4], f32[5]) = map[copy](z)
            y: f32[20] = view["a -> (a k)"](w)
          })~",
       {{"k", 5}}},
      {"each function has its own environment",
       R"~(g(x: f32[5]) -> (y: *) { y: f32[5] = map[copy](x) }
          f(q: f32[2]) -> (y: *) { y: f32[20] = view["a -> (a k)"](x) })~",
       {}},
      {"a wildcard parameter has an empty shape",
       R"~(f(x: *) -> (y: *) { y: f32[20, 3] = view["a -> (a k) b"](x) })~",
       {{"b", 3}}},
  };
  for (const Case& c : cases)
    EXPECT_EQ(inferred_axes(infer_axes(parse_source(c.source))), c.expected) << c.what;

  // Wildcard parameters are in the environment with whatever shape they carry.
  Module m = parse_source(R"~(f(x: *) -> (y: *) { y: f32[20] = view["a -> (a k)"](x) })~");
  Function* f = m.functions.find("f");
  f->params = m.ctx().list({Param{f->params[0].name, m.ctx().type("*", {Dim::concrete(5)})}});
  EXPECT_EQ(inferred_axes(infer_axes(m)), (AxisList{{"k", 4}}));

  // Environments of hundreds of names: a parameter stays visible to the end of
  // a long function, and its outputs do not reach the next function.
  std::string long_source = "f(x: f32[2]) -> (y: *) {\n";
  for (int i = 0; i < 300; ++i)
    long_source += "  t" + std::to_string(i) + ": f32[3] = map[copy](x)\n";
  long_source += "  y: f32[20] = view[\"a -> (a k)\"](x)\n}\n";
  long_source += "g(q: f32[2]) -> (y: *) {\n  y: f32[20] = view[\"a -> (a k)\"](t5)\n}\n";
  const Module filled = infer_axes(parse_source(long_source));
  EXPECT_EQ(inferred_axes(filled), (AxisList{{"k", 10}}));
  EXPECT_TRUE(std::get<View>(filled.functions.find("g")->ops.back().kind()).axes.empty());
}

TEST(InferAxes, OperationsLeftAsTheyAre) {
  const char* bodies[] = {
      R"~(y: f32[2, 3] = view["a b"](x))~",                // no arrow
      R"~(y: f32[2, 3] = view["a -> a b"](x, q=9))~",      // axes already given
      R"~(y = view["a -> a b"](x))~",                      // untyped first output
      R"~(y, z: f32[2, 3] = view["a -> a b"](x))~",        // only a later output typed
      R"~(y: f32[2, 3] = fold["a -> a b", add](x))~",      // other kinds
      R"~(y: f32[2, 3] = contract["a -> a b"](x))~",
      R"~(y = view["(a -> a"](x))~",                       // malformed but never read
      R"~(y: f32[2, 3] = tile["(a -> a ("](x, q=1))~",
  };
  for (const char* body : bodies) {
    const Module m =
        parse_source(std::string("f(x: f32[2]) -> (y: *) {\n  ") + body + "\n}\n");
    EXPECT_EQ(infer_axes(m), m) << body;
  }
}

TEST(InferAxes, Failures) {
  struct Case {
    const char* body;
    const char* message;
  } cases[] = {
      {R"~((): () = iota())~", "index out of bounds: the len is 0 but the index is 0"},
      {R"~((y): () = view["a -> a b"](x))~", "index out of bounds: the len is 0 but the index is 0"},
      {R"~((y): () = map[copy](x))~", "index out of bounds: the len is 0 but the index is 0"},
      {R"~(y: f32[2] = view["(a b -> a"](x))~",
       "index out of bounds: the len is 3 but the index is 3"},
      {R"~(y: f32[2] = tile["a -> a ("](x))~",
       "index out of bounds: the len is 2 but the index is 2"},
      // The input side is read first.
      {R"~(y: f32[2] = tile["( -> a ("](x))~",
       "index out of bounds: the len is 1 but the index is 1"},
  };
  for (const Case& c : cases) {
    const Module m =
        parse_source(std::string("f(x: f32[2]) -> (y: *) {\n  ") + c.body + "\n}\n");
    try {
      infer_axes(m);
      ADD_FAILURE() << "no failure for " << c.body;
    } catch (const Failure& f) {
      EXPECT_EQ(f.message(), c.message) << c.body;
    }
  }
}

TEST(InferAxes, WholeModuleCopy) {
  const Module input = parse_source(R"~(// head
    g(x: f32[2, 3]) -> (y: *) {
      y: f32[2, 3, 4] = tile["a b -> a b c"](x)
      w: f32[6] = view["a b -> (a b)"](x)
    }
    f(x: f32[6]) -> (y: *) { y: f32[2, 3] = view["(a b) -> a b"](x) }
  )~");
  const Module before = input;
  Module expected = input;
  Context axes_ctx;
  AxesBuilder g_axes;
  g_axes.insert("c", 4);
  const Axes g_inferred = axes_ctx.axes(g_axes);
  change_kind<Tile>(expected.ctx(), expected.functions.find("g")->ops[0],
                    [&](Tile& tile) { tile.axes = g_inferred; });
  AxesBuilder f_axes;
  f_axes.insert("a", 2);
  f_axes.insert("b", 3);
  const Axes f_inferred = axes_ctx.axes(f_axes);
  change_kind<View>(expected.ctx(), expected.functions.find("f")->ops[0],
                    [&](View& view) { view.axes = f_inferred; });

  const Module result = infer_axes(input);
  EXPECT_EQ(result, expected);
  EXPECT_EQ(input, before);
  EXPECT_EQ(infer_axes(Module(input)), expected);

  // The result is built over the input's context and shares what did not change.
  EXPECT_EQ(result.context, input.context);
  const Op& unchanged_in = input.functions.find("g")->ops[1];
  const Op& unchanged_out = result.functions.find("g")->ops[1];
  EXPECT_EQ(unchanged_out.outputs.data(), unchanged_in.outputs.data());
  EXPECT_EQ(unchanged_out.args.data(), unchanged_in.args.data());
  EXPECT_EQ(unchanged_out.output_types[0].get(), unchanged_in.output_types[0].get());
  EXPECT_EQ(result.functions.find("g")->params.data(), input.functions.find("g")->params.data());
}

}  // namespace
}  // namespace quarvel
