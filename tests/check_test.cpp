#include "core/check.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/error.h"
#include "core/parse.h"
#include "tests/test_util.h"

namespace quarvel {
namespace {

#define DASH "\xE2\x80\x94"

using Errors = std::vector<std::string>;

CheckReport check(std::string_view source) { return check_module(parse_source(source)); }
Errors errors_of(std::string_view source) { return check(source).errors; }

// A module of one function `main` with the given parameters and body and no
// returns.
std::string main_fn(std::string_view params, std::string_view body) {
  std::string s = "main(";
  s += params;
  s += ") -> () {\n";
  s += body;
  s += "\n}\n";
  return s;
}

struct Case {
  const char* name;
  std::string source;
  Errors errors;
};

void expect_errors(const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(errors_of(c.source), c.errors);
  }
}

Dim C(std::int64_t n) { return Dim::concrete(n); }
// `s` must outlive the dimension: a string literal, or a text of a context.
Dim N(std::string_view s) { return Dim::named(s); }

// ---- type agreement ---------------------------------------------------------

TEST(CompareTypes, Reasons) {
  Context ctx;
  auto ty = [&ctx](std::string_view dtype, std::initializer_list<Dim> shape) {
    return quarvel::ty(ctx, dtype, shape);
  };
  struct Row {
    const char* name;
    TypeRef a, b;
    std::optional<std::string> reason;
  };
  const std::vector<Row> rows = {
      {"equal", ty("f32", {C(2), C(3)}), ty("f32", {C(2), C(3)}), std::nullopt},
      {"dtype first", ty("f32", {C(3)}), ty("i32", {C(4), C(5)}), "dtype: f32 vs i32"},
      {"rank", ty("f32", {C(4)}), ty("f32", {C(2), C(4)}), "rank: 1 vs 2"},
      {"name matches integer", ty("f32", {N("n")}), ty("f32", {C(4)}), std::nullopt},
      {"dotted names differ", ty("f32", {N("a.x")}), ty("f32", {N("b.y")}),
       "dim 0: Named(\"a.x\") vs Named(\"b.y\")"},
      {"dotted against plain", ty("f32", {N("param.d")}), ty("f32", {N("d")}), std::nullopt},
      {"first differing position", ty("f32", {C(1), C(2), C(3)}), ty("f32", {C(1), C(5), C(6)}),
       "dim 1: Concrete(2) vs Concrete(5)"},
      {"marked suffix agrees", ty("f32", {N("..."), C(4)}), ty("f32", {C(2), C(3), C(4)}),
       std::nullopt},
      {"marked equal lengths", ty("f32", {N("..."), C(2)}), ty("f32", {C(4)}),
       "dim 0: Concrete(2) vs Concrete(4)"},
      {"marked, position within the suffix", ty("f32", {N("..."), C(7), C(4)}),
       ty("f32", {C(9), C(7), C(5)}), "dim 1: Concrete(4) vs Concrete(5)"},
      // The shorter shape is named first, even when it is the second argument.
      {"shorter second shape named first", ty("f32", {C(2), C(3), C(4)}), ty("f32", {N("..."), C(5)}),
       "dim 0: Concrete(5) vs Concrete(4)"},
      {"both marked", ty("f32", {N("..."), C(2)}), ty("f32", {N("..."), C(1), C(3)}),
       "dim 0: Concrete(2) vs Concrete(3)"},
      {"lone mark agrees with anything", ty("f32", {N("...")}), ty("f32", {C(2), C(3)}), std::nullopt},
      {"lone mark against scalar", ty("f32", {}), ty("f32", {N("...")}), std::nullopt},
      {"mark elsewhere is a plain name", ty("f32", {C(4), N("...")}), ty("f32", {C(4), C(5), C(6)}),
       "rank: 2 vs 3"},
      {"scalars", ty("f32", {}), ty("f32", {}), std::nullopt},
      {"wildcard dtype compared as text", ty("*", {}), ty("f32", {C(4)}), "dtype: * vs f32"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    EXPECT_EQ(compare_types(*r.a, *r.b), r.reason);
  }
}

TEST(CompareTypes, DimsCompatible) {
  struct Row {
    Dim x, y;
    bool ok;
  };
  const std::vector<Row> rows = {
      {C(4), C(4), true},          {C(4), C(5), false},         {C(4), N("a.b"), true},
      {N("a.b"), C(-1), true},     {N("n"), N("a.b"), true},    {N("a.b"), N("m"), true},
      {N("..."), N("a.b"), true},  {N("a.b"), N("a.b"), true},  {N("a.b"), N("a.c"), false},
      {N("param.d"), N("param.e"), false},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(debug_dim(r.x) + " " + debug_dim(r.y));
    EXPECT_EQ(dims_compatible(r.x, r.y), r.ok);
    EXPECT_EQ(dims_compatible(r.y, r.x), r.ok);
  }
}

TEST(CompareTypes, DebugTy) {
  Context ctx;
  TypeRef t = ty(ctx, "f32", {C(4), N("n")});
  EXPECT_EQ(debug_ty(*t), "Ty { dtype: \"f32\", shape: [Concrete(4), Named(\"n\")] }");
  TypeRef odd = ty(ctx, "a\"b", {N("x\ny")});
  EXPECT_EQ(debug_ty(*odd), "Ty { dtype: \"a\\\"b\", shape: [Named(\"x\\ny\")] }");
}

// ---- kind rules and their messages ------------------------------------------

TEST(Check, ViewReshape) {
  const std::string params = "x: f32[2, 3]";
  expect_errors({
      {"counts differ", main_fn(params, "y: f32[4, 2] = view[\"a b -> b a\"](x)"),
       {"main/y: view reshapes 6 elements to 8"}},
      {"counts equal", main_fn(params, "y: f32[3, 2] = view(x)"), {}},
      {"named declared dim", main_fn(params, "y: f32[n, 2] = view(x)"), {}},
      {"dtype taken from the argument", main_fn(params, "y: i32[6] = view(x)"),
       {"main/y: declared Ty { dtype: \"i32\", shape: [Concrete(6)] }, expected Ty { dtype: "
        "\"f32\", shape: [Concrete(6)] } " DASH " dtype: f32 vs i32"}},
      {"untyped argument", main_fn(params, "y: f32[7] = view(1, x)"), {}},
      {"no argument", main_fn(params, "y: f32[7] = view()"), {}},
      {"scalar counts one", main_fn("x: f32[]", "y: f32[1, 1] = view(x)\nz: f32[2] = view(x)"),
       {"main/z: view reshapes 1 elements to 2"}},
      {"negative sizes", main_fn("x: f32[-3, 2]", "y: f32[6] = view(x)"),
       {"main/y: view reshapes -6 elements to 6"}},
  });
}

TEST(Check, ViewCountsWrap) {
  // 2^32 * 2^32 wraps to 0; 2^32 * 2^31 wraps to the most negative value.
  Errors e = errors_of(main_fn("x: f32[4294967296, 4294967296], z: f32[4294967296, 2147483648]",
                               "y: f32[1] = view(x)\nw: f32[2] = view(z)"));
  EXPECT_EQ(e, (Errors{"main/y: view reshapes 0 elements to 1",
                       "main/w: view reshapes -9223372036854775808 elements to 2"}));
}

TEST(Check, ReadIndexDtype) {
  const std::string params = "t: f32[10, 4], i: i64[3], f: f32[3], c: int[3]";
  expect_errors({
      {"i64 index", main_fn(params, "y: f32[3, 4] = read[\"v d, s -> s d\"](t, i)"), {}},
      {"int index", main_fn(params, "y: f32[3, 4] = read(t, c)"), {}},
      {"f32 index", main_fn(params, "y: f32[3, 4] = read(t, f)"),
       {"main/y: read index dtype f32, expected integer"}},
      {"untyped index", main_fn(params, "y: f32[3, 4] = read(t, 3)"), {}},
      {"untyped table still checks the index", main_fn(params, "y: f32[3, 4] = read(0, f)"),
       {"main/y: read index dtype f32, expected integer"}},
      {"inferred from the table", main_fn(params, "y: i64[3, 4] = read(t, i)"),
       {"main/y: declared Ty { dtype: \"i64\", shape: [Concrete(3), Concrete(4)] }, expected Ty { "
        "dtype: \"f32\", shape: [Concrete(3), Concrete(4)] } " DASH " dtype: f32 vs i64"}},
  });
}

TEST(Check, MapShapes) {
  const std::string params = "a: f32[4], b: f32[5], n: f32[n], c: f32[4]";
  const std::string msg45 =
      "main/y: map[add] requires all inputs to share the same shape; input 0 has shape "
      "[Concrete(4)] but input 1 has shape [Concrete(5)]. Use an explicit `tile` to broadcast first.";
  expect_errors({
      {"different sizes", main_fn(params, "y: f32[4] = map[add](a, b)"), {msg45}},
      {"name against integer is no match",
       main_fn(params, "y: f32[n] = map[add](n, a)"),
       {"main/y: map[add] requires all inputs to share the same shape; input 0 has shape "
        "[Named(\"n\")] but input 1 has shape [Concrete(4)]. Use an explicit `tile` to broadcast "
        "first."}},
      {"numbers are not counted", main_fn(params, "y: f32[4] = map[add](1, a, 2.5, b)"), {msg45}},
      {"every differing input", main_fn(params, "y: f32[4] = map[add](a, c, b, n)"),
       {"main/y: map[add] requires all inputs to share the same shape; input 0 has shape "
        "[Concrete(4)] but input 2 has shape [Concrete(5)]. Use an explicit `tile` to broadcast "
        "first.",
        "main/y: map[add] requires all inputs to share the same shape; input 0 has shape "
        "[Concrete(4)] but input 3 has shape [Named(\"n\")]. Use an explicit `tile` to broadcast "
        "first."}},
      {"shape of input 0 is inferred", main_fn(params, "y: f32[5] = map[add](a, c)"),
       {"main/y: declared Ty { dtype: \"f32\", shape: [Concrete(5)] }, expected Ty { dtype: "
        "\"f32\", shape: [Concrete(4)] } " DASH " dim 0: Concrete(4) vs Concrete(5)"}},
      {"no typed input", main_fn(params, "y: i8[9] = map[add](1, 2)"), {}},
  });
}

TEST(Check, MapDtype) {
  // Every map below is declared f64; the message shows the inferred dtype.
  struct Row {
    const char* function;
    const char* args;
    const char* inferred;  // nullptr: agrees with the declaration
  };
  const std::vector<Row> rows = {
      {"f32", "i", "f32"},          {"bf16", "i", "bf16"},         {"relu", "i", "i32"},
      {"where", "c, h, i", "f16"},  {"where", "c, 0, i", "i32"},   {"where", "c", nullptr},
      {"where", "0, c", "bool"},    {"ge", "i, i", nullptr},       {"gt", "i", nullptr},
      {"le", "i", nullptr},         {"lt", "i", nullptr},          {"eq", "i", nullptr},
      {"ne", "i", nullptr},         {"GE", "i", "i32"},
  };
  for (const Row& r : rows) {
    std::string body = std::string("y: f64[4] = map[") + r.function + "](" + r.args + ")";
    SCOPED_TRACE(body);
    Errors expected;
    if (r.inferred)
      expected.push_back(std::string("main/y: declared Ty { dtype: \"f64\", shape: [Concrete(4)] }, "
                                     "expected Ty { dtype: \"") +
                         r.inferred + "\", shape: [Concrete(4)] } " DASH " dtype: " + r.inferred +
                         " vs f64");
    EXPECT_EQ(errors_of(main_fn("c: bool[4], h: f16[4], i: i32[4]", body)), expected);
  }
}

TEST(Check, OtherKinds) {
  const std::string params = "x: f32[2], k: i32[2]";
  auto mismatch = [](const char* declared, const char* inferred) {
    return std::string("main/y: declared Ty { dtype: \"") + declared +
           "\", shape: [Concrete(2)] }, expected Ty { dtype: \"" + inferred +
           "\", shape: [Concrete(2)] } " DASH " dtype: " + inferred + " vs " + declared;
  };
  expect_errors({
      {"fold", main_fn(params, "y: i32[2] = fold[\"a b -> a\", sum](x)"), {mismatch("i32", "f32")}},
      {"tile", main_fn(params, "y: i32[2] = tile(x)"), {mismatch("i32", "f32")}},
      {"write", main_fn(params, "y: i32[2] = write[\"a -> a\", add](x, k)"), {mismatch("i32", "f32")}},
      {"fold over an untyped first argument", main_fn(params, "y: i32[2] = fold[i, add](1, x)"), {}},
      {"contract takes the first typed argument", main_fn(params, "y: f32[2] = contract(1, k, x)"),
       {mismatch("f32", "i32")}},
      {"contract with nothing typed", main_fn(params, "y: f32[2] = contract(1, 2)"), {}},
      {"literal, iota and random agree",
       main_fn(params,
               "y: * = literal([1, 2])\nz: q7[9] = iota()\nw: * = random[0.0, 1.0]()\n"
               "(v): (*[3]) = literal(1)"),
       {}},
      {"wildcard declared output is compared", main_fn("x: f32[4]", "y: * = map[relu](x)\nz: f32[4] = map[relu](y)"),
       {"main/y: declared Ty { dtype: \"*\", shape: [] }, expected Ty { dtype: \"f32\", shape: "
        "[Concrete(4)] } " DASH " dtype: f32 vs *",
        "main/z: declared Ty { dtype: \"f32\", shape: [Concrete(4)] }, expected Ty { dtype: \"*\", "
        "shape: [] } " DASH " dtype: * vs f32"}},
  });
}

// ---- scope ------------------------------------------------------------------

TEST(Check, Scope) {
  expect_errors({
      {"unknown names", main_fn("x: f32[2]", "y: f32[2] = map[add](x, q, 3, 1.5, q)"),
       {"main/y: input 'q' not in scope", "main/y: input 'q' not in scope"}},
      {"untyped value leaves scope",
       main_fn("x: f32[2]", "t = map[relu](x, nope)\ny: f32[2] = map[relu](t)"),
       {"main/t: input 'nope' not in scope", "main/y: input 't' not in scope"}},
      {"wildcard roots", main_fn("x: f32[2], w: *", "y: f32[2] = map[add](x, w, w.x, w.x.y, ww, x.w)"),
       {"main/y: input 'ww' not in scope", "main/y: input 'x.w' not in scope"}},
      {"dimension names, also of later outputs",
       main_fn("x: f32[n, d.k]", "y: f32[2] = tile(x, n, d.k, m, d)\nz: f32[m] = iota()"),
       {"main/y: input 'd' not in scope"}},
      {"param names are accepted", main_fn("x: f32[2]", "y: f32[2] = map[add](x, param.q)"), {}},
      {"untyped first output, typed second",
       main_fn("x: f32[2]", "(a, b): (f32[9]) = map[relu](x)\n"
                            "c, d: f32[2] = map[relu](x, zz)\ne: f32[2] = map[relu](d)\n"
                            "g: f32[2] = map[relu](c)"),
       {"main/a: declared Ty { dtype: \"f32\", shape: [Concrete(9)] }, expected Ty { dtype: "
        "\"f32\", shape: [Concrete(2)] } " DASH " dim 0: Concrete(2) vs Concrete(9)",
        "main/c: input 'zz' not in scope", "main/g: input 'c' not in scope"}},
      {"declared type enters even when it disagrees",
       main_fn("x: f32[2]", "y: i32[2] = map[relu](x)\nz: f32[2] = map[relu](y)"),
       {"main/y: declared Ty { dtype: \"i32\", shape: [Concrete(2)] }, expected Ty { dtype: "
        "\"f32\", shape: [Concrete(2)] } " DASH " dtype: f32 vs i32",
        "main/z: declared Ty { dtype: \"f32\", shape: [Concrete(2)] }, expected Ty { dtype: "
        "\"i32\", shape: [Concrete(2)] } " DASH " dtype: i32 vs f32"}},
      {"types beyond the outputs name dimensions but bind nothing",
       main_fn("x: f32[2]", "(a): (f32[2], f32[q]) = map[relu](x)\nb: f32[2] = map[relu](a, q, x)"),
       {}},
      {"untyped output keeps an earlier type",
       main_fn("x: f32[2]", "x = map[relu](x)\ny: f32[2] = map[relu](x)"), {}},
      {"scopes are per function",
       "f(a: f32[2]) -> () {\n  b: f32[2] = map[relu](a)\n}\n"
       "g(c: f32[2]) -> () {\n  d: f32[2] = map[relu](b, a, c)\n}\n",
       {"g/d: input 'b' not in scope", "g/d: input 'a' not in scope"}},
  });
}

TEST(Check, ScopesOfLongFunctions) {
  // Scopes of hundreds of names, one function after another: every name of a
  // long function stays visible to its end, none reaches the next function,
  // and a later output of a known name replaces its type.
  std::string src = "big(v0: f32[2]) -> (v299: f32[2], v0: f32[3]) {\n";
  for (int i = 1; i < 300; ++i) {
    src += "  v" + std::to_string(i) + ": f32[2] = map[add](v" + std::to_string(i - 1) + ", v" +
           std::to_string(i / 2) + ")\n";
  }
  src += "  v0: f32[3] = iota()\n}\n";
  src += "small(x: f32[2]) -> (v1: f32[2]) {\n  y: f32[2] = map[add](x, v7)\n}\n";
  std::string again = src.substr(0, src.find("small("));  // the long function again
  again.replace(0, 3, "big2");
  src += again;
  EXPECT_EQ(errors_of(src), (Errors{"small/y: input 'v7' not in scope",
                                    "small: return 'v1' not found in env"}));
}

TEST(Check, WildcardParamDimsAreNotNamesButWildcardReturnDimsAre) {
  Module m = parse_source("main(w: *) -> (r: *) {\n  y: f32[2] = map[relu](a, b)\n}\n");
  Function* fn = m.functions.find("main");
  Context& ctx = m.ctx();
  fn->params = ctx.list({Param{fn->params[0].name, ty(ctx, "*", {N("a"), N("param.p")})}});
  fn->returns = ctx.list({Param{fn->returns[0].name, ty(ctx, "*", {N("b"), N("param.q")})}});
  CheckReport r = check_module(m);
  EXPECT_EQ(r.errors, Errors{"main/y: input 'a' not in scope"});
  EXPECT_EQ(r.constraints.params, (std::set<std::string>{"param.q"}));
}

TEST(Check, Returns) {
  expect_errors({
      {"agrees", "f(x: f32[2]) -> (x: f32[n]) {}\n", {}},
      {"not found", "f(x: f32[2]) -> (y: f32[2]) {}\n", {"f: return 'y' not found in env"}},
      {"wrong type", "f(x: f32[2]) -> (x: f32[3], x: i8[2]) {}\n",
       {"f: return 'x' dim 0: Concrete(2) vs Concrete(3)", "f: return 'x' dtype: f32 vs i8"}},
      {"wildcard return is skipped", "f(x: f32[2]) -> (y: *) {}\n", {}},
      {"wildcard parameter is not typed", "f(w: *) -> (w: f32[2]) {}\n",
       {"f: return 'w' not found in env"}},
      {"output replaces a parameter",
       "f(x: f32[2]) -> (x: f32[3]) {\n  x: f32[3] = iota()\n  y: f32[3] = map[relu](x)\n}\n", {}},
      {"untyped output does not count", "f() -> (y: f32[2]) {\n  y = iota()\n}\n",
       {"f: return 'y' not found in env"}},
  });
}

TEST(Check, ParamsRecorded) {
  const char* src =
      "main(x: f32[param.b, n], w: *) -> (r: f32[param.r], s: *) {\n"
      "  a = iota()\n"
      "  b, c: f32[param.out] = map[relu](param.arg, x)\n"
      "  param.typed: f32[2] = iota()\n"
      "  d: f32[2] = map[relu](param.typed)\n"
      "  e: f32[2] = loop[body, param.steps](x)\n"
      "  f = loop[body, param.untyped_steps](x)\n"
      "  g: f32[2] = loop[body, 3](x)\n"
      "  (h): (f32[2], f32[param.beyond_outputs]) = iota()\n"
      "}\n"
      "body(x: f32[param.b, n]) -> () {}\n";
  CheckReport r = check(src);
  EXPECT_EQ(r.constraints.params,
            (std::set<std::string>{"param.arg", "param.b", "param.out", "param.r", "param.steps"}));
}

TEST(Check, ModuleOrderAndKeys) {
  EXPECT_EQ(check(""), CheckReport{});
  // Messages follow the function map's order and use its keys.
  Module src = parse_source(
      "zz() -> (q: f32[]) {}\n"
      "aa(x: f32[2]) -> () {\n  y: f32[2] = map[relu](nope)\n}\n");
  Module m;
  for (const auto& [key, fn] : src.functions) m.functions.insert(key == "aa" ? "renamed" : key, fn);
  EXPECT_EQ(check_module(m).errors,
            (Errors{"zz: return 'q' not found in env", "renamed/y: input 'nope' not in scope"}));
}

TEST(Check, MessagesOfOneOpComeInOrder) {
  const char* src =
      "g(a: f32[4], b: f32[4]) -> () {}\n"
      "k(a: f32[3]) -> () {}\n"
      "main(x: f32[8, 5], w: *) -> () {\n"
      "  y: f32[1] = call[k](w.q)\n"
      "  v: f32[1] = call[unknown](w.q)\n"
      "  z: f32[1] = call[g](x, w.q, nope)\n"
      "}\n";
  EXPECT_EQ(errors_of(src),
            (Errors{"main/z: input 'nope' not in scope",
                    "main/z: arg 0 'a' " DASH " dim 0: 5 vs 4",
                    "main/z: weight 'w.q' used with conflicting types: TensorType { dtype: \"f32\", "
                    "shape: [Concrete(3)] } vs TensorType { dtype: \"f32\", shape: [Concrete(4)] }"}));
}

TEST(Check, MalformedOperationFails) {
  for (const char* body : {"(): () = iota()", "(y): () = iota()", "(y, z): () = call[g](x)"}) {
    SCOPED_TRACE(body);
    try {
      check(main_fn("x: f32[2]", std::string("a: f32[2] = iota()\nb: f32[2] = map[relu](nope)\n") + body));
      ADD_FAILURE() << "no failure";
    } catch (const Failure& f) {
      EXPECT_EQ(f.message(), "index out of bounds: the len is 0 but the index is 0");
    }
  }
}

// ---- calls and weights ------------------------------------------------------

TEST(CheckCall, Arguments) {
  const std::string callees =
      "g(a: f32[4], b: f32[3]) -> () {}\n"
      "h(a: f32[2, 3], b: f32[3]) -> () {}\n"
      "s(a: f32[], b: *) -> () {}\n";
  auto call = [&](const char* params, const char* op) {
    return callees + main_fn(params, op);
  };
  expect_errors({
      {"batched, fits", call("p: f32[8, 4], q: f32[3]", "y: f32[1] = call[g](p, q)"), {}},
      {"batched, integer differs", call("p: f32[8, 5], q: f32[3]", "y: f32[1] = call[g](p, q)"),
       {"main/y: arg 0 'a' " DASH " dim 0: 5 vs 4"}},
      {"batched mode reaches every argument", call("p: f32[8, 4], q: f32[5]", "y: f32[1] = call[g](p, q)"),
       {"main/y: arg 1 'b' " DASH " dim 0: 5 vs 3"}},
      {"plain mode", call("q: f32[5]", "y: f32[1] = call[g](1, q)"),
       {"main/y: arg 1 'b' " DASH " dim 0: Concrete(5) vs Concrete(3)"}},
      {"batched rank", call("p: f32[3], q: f32[5, 3]", "y: f32[1] = call[h](p, q)"),
       {"main/y: arg 0 'a' " DASH " rank: 1 < 2"}},
      {"plain rank", call("p: f32[3]", "y: f32[1] = call[h](p)"),
       {"main/y: arg 0 'a' " DASH " rank: 1 vs 2"}},
      {"batched dtype", call("p: i32[8, 4], q: f32[3]", "y: f32[1] = call[g](p, q)"),
       {"main/y: arg 0 'a' " DASH " dtype: i32 vs f32"}},
      {"batched ignores names", call("p: f32[8, n], q: f32[m]", "y: f32[1] = call[g](p, q)"), {}},
      {"batched signed integers", call("p: f32[2, -7]", "y: f32[1] = call[g](p)"),
       {"main/y: arg 0 'a' " DASH " dim 0: -7 vs 4"}},
      {"empty parameter shape takes any shape", call("p: f32[2, 9], q: i8[3]", "y: f32[1] = call[s](p, q)"), {}},
      {"empty parameter shape still checks dtype", call("p: i8[2, 9]", "y: f32[1] = call[s](p)"),
       {"main/y: arg 0 'a' " DASH " dtype: i8 vs f32"}},
      {"surplus arguments and parameters are not compared",
       call("p: i8[4], q: i8[3]", "y: f32[1] = call[g](1, 2.0, p, q)\nz: f32[1] = call[g](1)"), {}},
      {"unknown target infers nothing", call("p: i8[4]", "y: f32[1] = call[nothere](p)"), {}},
      {"result is the declared type", call("p: f32[4]", "y: i32[7] = call[g](p)\nz: i32[7] = map[relu](y)"), {}},
      {"untyped call is not checked", call("p: i32[4]", "y = call[g](p)"), {}},
      {"loop checks its target", call("p: i32[4]", "y: f32[1] = loop[g, 3](p)"),
       {"main/y: arg 0 'a' " DASH " dtype: i32 vs f32"}},
      {"cache checks its init function", call("p: i32[4]", "y: f32[1] = cache[kv.*, g, h](p)"),
       {"main/y: arg 0 'a' " DASH " dtype: i32 vs f32"}},
      {"call output may be a wildcard", call("p: f32[4]", "y: * = call[g](p)"), {}},
  });
}

TEST(CheckCall, Weights) {
  const char* src =
      "g(a: f32[4], b: f32[3], c: *) -> () {}\n"
      "eight(a: f32[8]) -> () {}\n"
      "main(w: *, x: f32[2]) -> () {\n"
      "  y: f32[1] = call[g](w.q, w.k, w.any)\n"
      "  z: f32[1] = call[eight](w.q)\n"
      "  v: f32[1] = call[g](w.q, x.k, w)\n"
      "  u = call[eight](w.k)\n"
      "  t: f32[1] = call[g](ww.q, 4)\n"
      "}\n";
  CheckReport r = check(src);
  EXPECT_EQ(r.errors,
            (Errors{"main/z: weight 'w.q' used with conflicting types: TensorType { dtype: \"f32\", "
                    "shape: [Concrete(4)] } vs TensorType { dtype: \"f32\", shape: [Concrete(8)] }",
                    "main/v: input 'x.k' not in scope", "main/t: input 'ww.q' not in scope"}));
  Context ctx;
  std::map<std::string, TypeRef> main_weights = {
      {"w.k", ty(ctx, "f32", {C(3)})},
      {"w.q", ty(ctx, "f32", {C(4)})},
  };
  EXPECT_EQ(r.constraints.weights, (std::map<std::string, std::map<std::string, TypeRef>>{
                                       {"main", main_weights}}));
}

TEST(CheckCall, WeightConflictComparesExactly) {
  // Names that the type comparison would accept still conflict as weights.
  const char* src =
      "p(a: f32[n]) -> () {}\n"
      "q(a: f32[4]) -> () {}\n"
      "r(a: f32[n]) -> () {}\n"
      "main(w: *) -> () {\n"
      "  y: f32[1] = call[p](w.a)\n"
      "  z: f32[1] = call[q](w.a)\n"
      "  v: f32[1] = call[r](w.a)\n"
      "}\n";
  EXPECT_EQ(errors_of(src),
            (Errors{"main/z: weight 'w.a' used with conflicting types: TensorType { dtype: \"f32\", "
                    "shape: [Named(\"n\")] } vs TensorType { dtype: \"f32\", shape: [Concrete(4)] }"}));
}

TEST(Check, ReportIsSortedByBytes) {
  const char* src =
      "zeta(w: *) -> (r: f32[param.z]) {\n"
      "  y: f32[1] = call[leaf](w.b)\n"
      "  z: f32[1] = call[leaf](w.a.b)\n"
      "  v: f32[1] = call[leaf](w.B)\n"
      "  u: f32[1] = call[leaf](w.ab)\n"
      "  t: f32[1] = call[leaf](w.a)\n"
      "}\n"
      "alpha(w: *) -> () {\n  y: f32[param.a.b] = call[leaf](w.x, param.ab, param.B)\n}\n"
      "Beta(w: *) -> () {\n  y: f32[param.a] = call[leaf](w.x)\n}\n"
      "leaf(a: f32[]) -> () {}\n";
  CheckReport r = check(src);
  std::vector<std::string> params(r.constraints.params.begin(), r.constraints.params.end());
  EXPECT_EQ(params, (std::vector<std::string>{"param.B", "param.a", "param.a.b", "param.ab", "param.z"}));
  std::vector<std::string> callers, zeta;
  for (const auto& [k, inner] : r.constraints.weights) callers.push_back(k);
  for (const auto& [k, t] : r.constraints.weights.at("zeta")) zeta.push_back(k);
  EXPECT_EQ(callers, (std::vector<std::string>{"Beta", "alpha", "zeta"}));
  EXPECT_EQ(zeta, (std::vector<std::string>{"w.B", "w.a", "w.a.b", "w.ab", "w.b"}));
}

TEST(Check, ModuleWithProblemsReturnsAReport) {
  const char* src =
      "main(x: f32[2, 3], w: *) -> (y: f32[9], missing: f32[]) {\n"
      "  a: f32[4, 2] = view(x)\n"
      "  b: i32[2, 3] = map[relu](x, ghost)\n"
      "  y: f32[9] = call[main](a, w.p)\n"
      "}\n";
  CheckReport r;
  ASSERT_NO_THROW(r = check(src));
  EXPECT_EQ(r.errors,
            (Errors{"main/a: view reshapes 6 elements to 8",
                    "main/b: input 'ghost' not in scope",
                    "main/b: declared Ty { dtype: \"i32\", shape: [Concrete(2), Concrete(3)] }, "
                    "expected Ty { dtype: \"f32\", shape: [Concrete(2), Concrete(3)] } " DASH
                    " dtype: f32 vs i32",
                    "main/y: arg 0 'x' " DASH " dim 0: Concrete(4) vs Concrete(2)",
                    "main: return 'missing' not found in env"}));
  EXPECT_TRUE(r.constraints.weights.empty());
}

}  // namespace
}  // namespace quarvel
