#include "core/flatten.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "core/error.h"
#include "core/flatten_detail.h"
#include "core/interrupt.h"
#include "core/parse.h"
#include "tests/test_util.h"

namespace quarvel {
namespace {

// One op as a line: "outputs = word(args)", where word is the map function,
// "cache[var]" for a cache op, else the kind word.
std::string show(const Op& op) {
  std::string s;
  for (std::size_t i = 0; i < op.outputs.size(); ++i) (s += (i ? "," : "")) += op.outputs[i];
  s += " = ";
  if (const Map* m = std::get_if<Map>(&op.kind())) {
    s += m->function;
  } else if (const Cache* c = std::get_if<Cache>(&op.kind())) {
    ((s += "cache[") += c->var) += "]";
  } else {
    s += kind_word(op.kind());
  }
  s += "(";
  for (std::size_t i = 0; i < op.args.size(); ++i) {
    if (i) s += ", ";
    const Atom& a = op.args[i];
    if (a.is_str())
      s += a.as_str();
    else if (a.is_int())
      s += std::to_string(a.as_int());
    else
      s += std::to_string(a.as_float());
  }
  return s + ")";
}

std::vector<std::string> shown(const std::vector<Op>& ops) {
  std::vector<std::string> out;
  for (const Op& op : ops) out.push_back(show(op));
  return out;
}

// A parameter as "name dtype[dims]".
std::string show(const Param& p) {
  std::string s = std::string(p.name) + " " + std::string(p.ty->dtype) + "[";
  for (std::size_t i = 0; i < p.ty->shape.size(); ++i) {
    const Dim& d = p.ty->shape[i];
    s += (i ? "," : "") + (d.is_concrete() ? std::to_string(d.value()) : std::string(d.name()));
  }
  return s + "]";
}

template <class Params>
std::vector<std::string> shown(const Params& params) {
  std::vector<std::string> out;
  for (const Param& p : params) out.push_back(show(p));
  return out;
}

std::vector<std::string> flat_ops(std::string_view source, std::string_view entry = "main") {
  Module m = parse_source(source);
  return shown(flatten_function(m, build_symbol_set(m), entry));
}

Function only_function(const Module& m) {
  EXPECT_EQ(m.functions.size(), 1u);
  return m.functions.at_position(0).second;
}

// ---------------------------------------------------------------------------
// Inlining and unrolling: the names of the flat body.

TEST(FlattenFunction, Names) {
  struct Case {
    const char* what;
    const char* source;
    std::vector<std::string> ops;
  } cases[] = {
      {"prefixes compose outermost first; a return takes the call's output",
       R"(main(x: f32[]) -> (y: f32[]) {
            h = call[block](x)
            y = map[relu](h)
          }
          block(a: f32[]) -> (r: f32[]) {
            t = call[g](a)
            r = map[neg](t)
          }
          g(b: f32[]) -> (o: f32[]) {
            u = map[exp](b)
            o = map[log](u)
          })",
       {"h.t.u = exp(x)", "h.t = log(h.t.u)", "h = neg(h.t)", "y = relu(h)"}},
      {"a loop inside a called function",
       R"(main(x: f32[]) -> (y: f32[]) {
            y = call[block](x)
          }
          block(a: f32[]) -> (r: f32[]) {
            a = loop[step, 2](a)
            r = map[neg](a)
          }
          step(s: f32[]) -> (o: f32[]) {
            u = map[exp](s)
            o = map[log](u)
          })",
       {"y.loop0.u = exp(x)", "y.a_1 = log(y.loop0.u)", "y.loop1.u = exp(y.a_1)",
        "y.a_2 = log(y.loop1.u)", "y = neg(y.a_2)"}},
      {"three iterations thread x and index w.*; later uses read x_3",
       R"(main(x: f32[], w: *) -> (z: f32[]) {
            x = loop[layer, 3](x, w.*)
            z = map[relu](x)
          }
          layer(a: f32[], p: f32[]) -> (b: f32[]) {
            b = map[add](a, p)
          })",
       {"x_1 = add(x, w.0)", "x_2 = add(x_1, w.1)", "x_3 = add(x_2, w.2)", "z = relu(x_3)"}},
      {"count 0 emits nothing and never looks its body up; later uses read x_0",
       R"(main(x: f32[]) -> (z: f32[]) {
            x = loop[absent, 0](x)
            z = map[relu](x)
          })",
       {"z = relu(x_0)"}},
      {"two loops share the iteration prefixes",
       R"(main(x: f32[], y: f32[]) -> (z: f32[]) {
            x = loop[step, 2](x)
            y = loop[step, 1](y)
            z = map[add](x, y)
          }
          step(s: f32[]) -> (o: f32[]) {
            u = map[exp](s)
            o = map[log](u)
          })",
       {"loop0.u = exp(x)", "x_1 = log(loop0.u)", "loop1.u = exp(x_1)", "x_2 = log(loop1.u)",
        "loop0.u = exp(y)", "y_1 = log(loop0.u)", "z = add(x_2, y_1)"}},
      {"two calls with one output name define the same locals twice",
       R"(main(x: f32[]) -> (h: f32[]) {
            h = call[step](x)
            h = call[step](h)
          }
          step(s: f32[]) -> (o: f32[]) {
            u = map[exp](s)
            o = map[log](u)
          })",
       {"h.u = exp(x)", "h = log(h.u)", "h.u = exp(h)", "h = log(h.u)"}},
      {"only the first argument equal to the output is threaded",
       R"(main(x: f32[]) -> (x: f32[]) {
            x = loop[pair, 2](x, x)
          }
          pair(a: f32[], b: f32[]) -> (o: f32[]) {
            o = map[add](a, b)
          })",
       {"x_1 = add(x, x)", "x_2 = add(x_1, x)"}},
      {"surplus parameters are fields of the last argument",
       R"(main(x: f32[], layer: *) -> (h: f32[]) {
            h = call[attn](x, layer)
          }
          attn(x: f32[], wq: f32[], wk: f32[], wv: f32[]) -> (o: f32[]) {
            o = map[f](x, wq, wk, wv)
          })",
       {"h = f(x, layer.wq, layer.wk, layer.wv)"}},
      {"a number as last argument leaves the surplus parameters unbound",
       R"(main(x: f32[]) -> (h: f32[]) {
            h = call[attn](x, 7)
          }
          attn(x: f32[], wq: f32[], wk: f32[], wv: f32[]) -> (o: f32[]) {
            o = map[f](x, wq, wk, wv)
          })",
       {"h = f(x, h.wq, h.wk, h.wv)"}},
      {"a number binds nothing by position",
       R"(main(x: f32[]) -> (h: f32[]) {
            h = call[g](3, x)
          }
          g(a: f32[], b: f32[]) -> (o: f32[]) {
            o = map[f](a, b)
          })",
       {"h = f(h.a, x)"}},
      {"a wildcard parameter also renames its dotted uses",
       R"(main(x: f32[]) -> (y: f32[]) {
            y = call[lin](x, weights.l0)
          }
          lin(x: f32[], p: *) -> (o: f32[]) {
            o = map[f](x, p, p.wq.bias, pq)
          })",
       {"y = f(x, weights.l0, weights.l0.wq.bias, y.pq)"}},
      {"a wildcard in the surplus range binds only its whole name",
       R"(main(x: f32[], layer: *) -> (y: f32[]) {
            y = call[lin](x, layer)
          }
          lin(x: f32[], q: f32[], p: *) -> (o: f32[]) {
            o = map[f](x, q, p, p.wq)
          })",
       {"y = f(x, layer.q, layer.p, y.p.wq)"}},
      {"a typed parameter does not rename its dotted uses",
       R"(main(x: f32[], w: f32[]) -> (y: f32[]) {
            y = call[g](x, w)
          }
          g(x: f32[], p: f32[]) -> (o: f32[]) {
            o = map[f](p, p.x)
          })",
       {"y = f(w, y.p.x)"}},
      {"overlapping wildcards: the longest parameter name wins",
       R"(main(x: f32[]) -> (y: f32[]) {
            y = call[amb](w1, w2)
          }
          amb(p: *, p.a: *) -> (o: f32[]) {
            o = map[f](p.a.b, p.a, p.b, p.ab, p)
          })",
       {"y = f(w2.b, w2, w1.b, w1.ab, w1)"}},
      {"overlapping wildcards in the other order: the same rule",
       R"(main(x: f32[]) -> (y: f32[]) {
            y = call[amb](w2, w1)
          }
          amb(p.a: *, p: *) -> (o: f32[]) {
            o = map[f](p.a.b, p.a, p.b, p.ab, p)
          })",
       {"y = f(w2.b, w2, w1.b, w1.ab, w1)"}},
      {"a return named like a parameter keeps the parameter's binding",
       R"(main(x: f32[]) -> (y: f32[]) {
            y = call[inplace](x)
          }
          inplace(a: f32[]) -> (a: f32[]) {
            a = map[neg](a)
          })",
       {"x = neg(x)"}},
      {"param. names and used dimension names are never rewritten",
       R"(main(x: f32[n]) -> (y: f32[n]) {
            y = call[g](x, n)
          }
          g(a: f32[], b: f32[]) -> (o: f32[]) {
            n = map[exp](a)
            m = map[exp](a)
            o = map[f](n, m, param.eps, b)
          })",
       {"n = exp(x)", "y.m = exp(x)", "y = f(n, y.m, param.eps, n)"}},
      {"a cache slot takes the index of its innermost loop",
       R"(main(x: f32[]) -> (y: f32[]) {
            x = loop[outer, 2](x)
            y = call[leaf](x)
          }
          outer(a: f32[]) -> (b: f32[]) {
            a = loop[inner, 2](a)
            b = call[leaf](a)
          }
          inner(a: f32[]) -> (b: f32[]) {
            b = call[leaf](a)
          }
          leaf(a: f32[]) -> (b: f32[]) {
            b: f32[] = cache[kv.*, init](a)
          })",
       {"loop0.a_1 = cache[kv.0](x)", "loop0.a_2 = cache[kv.1](loop0.a_1)",
        "x_1 = cache[kv.0](loop0.a_2)", "loop1.a_1 = cache[kv.0](x_1)",
        "loop1.a_2 = cache[kv.1](loop1.a_1)", "x_2 = cache[kv.1](loop1.a_2)",
        "y = cache[kv.*](x_2)"}},
      {"one callee bound at sites of three shapes, in the entry and in a callee",
       R"(main(x: f32[], y: f32[], z: f32[]) -> (s: f32[]) {
            p = call[g](x, y, z)
            q = call[g](x, rec)
            r = call[g](x, 7)
            s = call[g](x, y, z)
            t = call[h](x)
          }
          h(a: f32[]) -> (o: f32[]) {
            u = call[g](a, rec)
            o = call[g](a, a, a)
          }
          g(a: f32[], b: f32[], c: f32[]) -> (o: f32[]) {
            o = map[f](a, b, c)
          })",
       {"p = f(x, y, z)", "q = f(x, rec.b, rec.c)", "r = f(x, r.b, r.c)", "s = f(x, y, z)",
        "t.u = f(x, t.rec.b, t.rec.c)", "t = f(x, x, x)"}},
  };
  for (const Case& c : cases) EXPECT_EQ(flat_ops(c.source), c.ops) << c.what;
}

TEST(FlattenFunction, BodyWithoutCallsIsCopied) {
  Module m = parse_source(R"(main(x: f32[2]) -> (y: f32[2]) {
    t: f32[2] = map[relu](x)
    // second
    y: f32[2] = view["a -> a"](t, a=2)
    (): () = iota()
  })");
  EXPECT_EQ(flatten_function(m, {}, "main"), m.functions.find("main")->ops);
}

TEST(FlattenFunction, InlinedOpsKeepTheirOwnTypesAndComments) {
  Module m = parse_source(R"(main(x: f32[2]) -> (y: f32[2]) {
    y: i8[9] = call[g](x)
  }
  g(a: f32[2]) -> (b: f32[2]) {
    t: f32[3] = map[exp](a)
    // last
    b = map[neg](t)
  })");
  std::vector<Op> ops = flatten_function(m, {}, "main");
  ASSERT_EQ(ops.size(), 2u);
  const Function& g = *m.functions.find("g");
  EXPECT_EQ(ops[0].output_types, g.ops[0].output_types);
  EXPECT_EQ(ops[1].output_types, g.ops[1].output_types);
  EXPECT_TRUE(ops[0].comments().empty());
  EXPECT_EQ(ops[1].comments(), g.ops[1].comments());
}

// ---------------------------------------------------------------------------
// The pieces on their own.

TEST(RenameVar, Rules) {
  struct Case {
    std::string name;
    NameMap bindings, wildcards;
    NameSet symbols;
    std::string expected;
  } cases[] = {
      {"t", {}, {}, {}, "h.t"},
      {"x", {{"x", "a"}}, {}, {}, "a"},
      {"x", {{"x", "a"}}, {}, {"x"}, "x"},                 // symbols first
      {"x.y", {{"x", "a"}}, {}, {}, "h.x.y"},               // bindings take whole names only
      {"p", {{"p", "b"}}, {{"p", "w"}}, {}, "b"},           // bindings before wildcards
      {"p", {}, {{"p", "weights.l0"}}, {}, "weights.l0"},
      {"p.wq", {}, {{"p", "weights.l0"}}, {}, "weights.l0.wq"},
      {"pq", {}, {{"p", "weights.l0"}}, {}, "h.pq"},
      {"p.", {}, {{"p", "w"}}, {}, "w."},
      {".x", {}, {{"", "w"}}, {}, "w.x"},
      {"", {}, {{"", "w"}}, {}, "w"},
      {"p.a.b", {}, {{"p", "w1"}, {"p.a", "w2"}}, {}, "w2.b"},
      {"p.ab", {}, {{"p", "w1"}, {"p.a", "w2"}}, {}, "w1.ab"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(rename_var(c.name, c.bindings, c.wildcards, "h.", c.symbols), c.expected) << c.name;

  // Many bindings: the hashed lookup gives the same answers.
  NameMap many;
  for (int i = 0; i < 40; ++i) many["p" + std::to_string(i)] = "a" + std::to_string(i);
  EXPECT_EQ(rename_var("p37", many, many, "h.", {}), "a37");
  EXPECT_EQ(rename_var("p37.z", many, many, "h.", {}), "a37.z");
  EXPECT_EQ(rename_var("p40", many, many, "h.", {}), "h.p40");
}

TEST(RenameOp, RewritesNamesOnly) {
  Module m = parse_source(R"(f(x: f32[]) -> (y: f32[]) {
    // note
    (y, z): (f32[2]) = cache[kv.*, init, ext](x, 3, 1.5, w.q)
  })");
  Context& ctx = m.ctx();
  const Op& op = m.functions.find("f")->ops[0];
  Op r = rename_op(ctx, op, {{"x", "in"}}, {{"w", "weights"}}, "p.", {});
  EXPECT_EQ(r.kind(), op.kind());
  EXPECT_EQ(r.outputs, ctx.list<Text>({"p.y", "p.z"}));
  EXPECT_EQ(r.output_types, op.output_types);
  EXPECT_EQ(r.args, ctx.list<Atom>({Atom::str("in"), Atom::integer(3), Atom::real(1.5),
                                       Atom::str("weights.q")}));
  EXPECT_EQ(r.comments(), op.comments());
}

TEST(RenameCacheSlot, TrailingStarOnly) {
  struct Case {
    std::string var, expected;
  } cases[] = {{"kv.*", "kv.7"}, {".*", ".7"}, {"*", "*"}, {"kv*", "kv*"}, {"kv.*.x", "kv.*.x"}, {"", ""}};
  Context ctx;
  for (const Case& c : cases) {
    Op op = make_op(ctx, Cache{c.var, "init", std::nullopt}, {"c"});
    EXPECT_EQ(std::get<Cache>(rename_cache_slot(ctx, op, 7).kind()).var, c.expected) << c.var;
  }
  Op other = make_op(ctx, Read{"kv.*"}, {"kv.*"}, {}, {Atom::str("kv.*")});
  EXPECT_EQ(rename_cache_slot(ctx, other, 1), other);
}

TEST(SubstituteArgs, WholeTextsOnly) {
  Context ctx;
  Args args = ctx.list<Atom>({Atom::str("x"), Atom::str("x.y"), Atom::str("xx"), Atom::integer(1),
                         Atom::str("z")});
  EXPECT_EQ(substitute_args(ctx, args, {{"x", "x_3"}, {"z", "x"}}),
            ctx.list<Atom>({Atom::str("x_3"), Atom::str("x.y"), Atom::str("xx"),
                               Atom::integer(1), Atom::str("x")}));
}

TEST(InlineCall, BindsAtTheCallSite) {
  Module m = parse_source(R"(g(a: f32[], w: *) -> (o: f32[], p: f32[]) {
    t = map[exp](a, w.b)
    o = map[log](t)
    p = map[neg](t)
  })");
  Op call = make_op(m.ctx(), Call{"g"}, {"y"}, {}, {Atom::str("x"), Atom::str("weights")},
                    {"// dropped"});
  EXPECT_EQ(shown(inline_call(m, {}, call, "pre")),
            (std::vector<std::string>{"pre.t = exp(x, weights.b)", "y = log(pre.t)",
                                      "pre.p = neg(pre.t)"}));
}

TEST(InlineCall, ArgumentCountAgainstParameters) {
  struct Case {
    std::size_t args, params;
    std::string message;
  } cases[] = {
      {3, 2, "range end index 3 out of range for slice of length 2"},
      {0, 1, "range end index 18446744073709551615 out of range for slice of length 1"},
      {1, 0, "range end index 1 out of range for slice of length 0"},
      {0, 0, "<no failure>"},
      {1, 3, "<no failure>"},
      {2, 2, "<no failure>"},
  };
  for (const Case& c : cases) {
    Module m;
    Context& ctx = m.ctx();
    std::vector<Param> params;
    for (std::size_t i = 0; i < c.params; ++i)
      params.push_back({ctx.text("p" + std::to_string(i)), ty(ctx, "f32")});
    m.functions.insert("g", Function{"g", {}, ctx.list(params), {}, {}});
    Op call = make_op(ctx, Call{"g"}, {"y"});
    call.args = ctx.list(std::vector<Atom>(c.args, Atom::str("a")));
    EXPECT_EQ(failure_of([&] { inline_call(m, {}, call, "y"); }), c.message)
        << c.args << " args, " << c.params << " params";
  }
}

TEST(SymbolSet, DeclaredAndUsedInOneFunction) {
  Module m = parse_source(R"(f(x: f32[n, k], w: *) -> (y: f32[r]) {
    a: f32[s] = map[f](n, q, r, s, param.eps, param., para.x, m, t)
    b = map[f](t)
  }
  g(x: f32[]) -> (y: f32[t]) {
    y = map[f](k, m)
  })");
  // A wildcard parameter's dimensions count too.
  Function& f = *m.functions.find("f");
  std::vector<Param> params(f.params.begin(), f.params.end());
  params[1].ty = ty(m.ctx(), params[1].ty->dtype, {Dim::named("q")});
  f.params = m.ctx().list(params);
  EXPECT_EQ(build_symbol_set(m), (NameSet{"n", "q", "r", "s", "param.eps", "param."}));
}

// ---------------------------------------------------------------------------
// Failures.

TEST(FlattenFunction, Failures) {
  struct Case {
    const char* what;
    const char* source;
    std::string message;
  } cases[] = {
      {"entry missing", "f(x: f32[]) -> (y: f32[]) { }", "no entry found for key"},
      {"call target missing", "main(x: f32[]) -> (y: f32[]) { y = call[nope](x) }",
       "no entry found for key"},
      {"loop body missing", "main(x: f32[]) -> (x: f32[]) { x = loop[nope, 2](x) }",
       "no entry found for key"},
      {"call without outputs", "main(x: f32[]) -> (y: f32[]) { (): () = call[nope](x) }",
       "index out of bounds: the len is 0 but the index is 0"},
      {"loop without outputs", "main(x: f32[]) -> (y: f32[]) { (): () = loop[nope, 2](x) }",
       "index out of bounds: the len is 0 but the index is 0"},
      {"named count, tested first", "main(x: f32[]) -> (y: f32[]) { (): () = loop[nope, n](x) }",
       "Loop count 'n' not resolved before flattening"},
      {"named param. count", "main(x: f32[]) -> (x: f32[]) { x = loop[b, param.layers](x) }",
       "Loop count 'param.layers' not resolved before flattening"},
      {"no threaded argument", "main(x: f32[]) -> (y: f32[]) { y = loop[b, 2](x) }",
       "Loop must have a threaded arg matching output name"},
      {"no arguments at all", "main(x: f32[]) -> (y: f32[]) { y = loop[b, 0]() }",
       "Loop must have a threaded arg matching output name"},
      {"a second loop on one output sees the first one's last name",
       R"(main(x: f32[]) -> (x: f32[]) {
            x = loop[b, 1](x)
            x = loop[b, 1](x)
          }
          b(a: f32[]) -> (o: f32[]) { o = map[neg](a) })",
       "Loop must have a threaded arg matching output name"},
      {"too many arguments",
       R"(main(x: f32[]) -> (y: f32[]) { y = call[g](x, x, x) }
          g(a: f32[], b: f32[]) -> (o: f32[]) { })",
       "range end index 3 out of range for slice of length 2"},
      {"no arguments to a callee with parameters",
       R"(main(x: f32[]) -> (y: f32[]) { y = call[g]() }
          g(a: f32[]) -> (o: f32[]) { })",
       "range end index 18446744073709551615 out of range for slice of length 1"},
      {"the callee's own failure comes before its arity",
       R"(main(x: f32[]) -> (y: f32[]) { y = call[g]() }
          g(a: f32[]) -> (o: f32[]) { o = call[nope](a) })",
       "no entry found for key"},
      {"the first failure in body order wins",
       R"(main(x: f32[]) -> (y: f32[]) {
            y = loop[b, n](x)
            y = call[nope](x)
          })",
       "Loop count 'n' not resolved before flattening"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(failure_of([&] { flat_ops(c.source); }), c.message) << c.what;
}

TEST(FlattenFunction, EmptyCountNameFailsOnTheCount) {
  // What a loop read from JSON without a usable count carries.
  Module m = parse_source("main(x: f32[]) -> (x: f32[]) { x = loop[b, 1](x) }");
  change_kind<Loop>(m.ctx(), m.functions.find("main")->ops[0],
                    [](Loop& loop) { loop.count = LoopCount::named(""); });
  EXPECT_EQ(failure_of([&] { flatten_function(m, {}, "main"); }),
            "Loop count '' not resolved before flattening");
}

TEST(FlattenFunction, Cycles) {
  struct Case {
    const char* what;
    const char* source;
    std::string message;
  } cases[] = {
      {"direct", "main(x: f32[]) -> (y: f32[]) { y = call[main](x) }", "call cycle: main -> main"},
      {"through a loop body",
       R"(main(x: f32[]) -> (x: f32[]) { x = call[block](x) }
          block(a: f32[]) -> (a: f32[]) { a = loop[main, 2](a) })",
       "call cycle: main -> block -> main"},
      {"below the entry",
       R"(main(x: f32[]) -> (y: f32[]) { y = call[a](x) }
          a(x: f32[]) -> (y: f32[]) { y = call[b](x) }
          b(x: f32[]) -> (y: f32[]) {
            t = map[neg](x)
            y = call[a](t)
          })",
       "call cycle: a -> b -> a"},
      {"a loop of count 0 never reaches its body",
       R"(main(x: f32[]) -> (x: f32[]) {
            x = loop[main, 0](x)
            x = map[neg](x)
          })",
       "<no failure>"},
      {"a function used twice is no cycle",
       R"(main(x: f32[]) -> (y: f32[]) {
            t = call[g](x)
            y = call[h](t)
          }
          h(x: f32[]) -> (y: f32[]) { y = call[g](x) }
          g(x: f32[]) -> (y: f32[]) { y = map[neg](x) })",
       "<no failure>"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(failure_of([&] { flat_ops(c.source); }), c.message) << c.what;
}

TEST(FlattenFunction, SizeBounds) {
  struct Case {
    const char* what;
    std::string source;
    std::string message;
  } cases[] = {
      {"a count near 2^64",
       "main(x: f32[]) -> (x: f32[]) { x = loop[b, -1](x) }\n"
       "b(a: f32[]) -> (o: f32[]) { o = map[neg](a) }",
       "loop count 18446744073709551615 exceeds the limit of 16777216 iterations"},
      {"a count just over the limit, empty body",
       "main(x: f32[]) -> (x: f32[]) { x = loop[b, 16777217](x) }\n"
       "b(a: f32[]) -> (o: f32[]) { }",
       "loop count 16777217 exceeds the limit of 16777216 iterations"},
      {"count times body over the limit",
       "main(x: f32[]) -> (x: f32[]) { x = loop[b, 4097](x) }\n"
       "b(a: f32[]) -> (a: f32[]) { a = loop[c, 4096](a) }\n"
       "c(a: f32[]) -> (o: f32[]) { o = map[neg](a) }",
       "flattened function exceeds 16777216 operations"},
      {"a missing body of a huge loop is reported as missing",
       "main(x: f32[]) -> (x: f32[]) { x = loop[nope, -1](x) }", "no entry found for key"},
      {"a huge loop without a threaded argument",
       "main(x: f32[]) -> (y: f32[]) { y = loop[nope, -1](x) }",
       "Loop must have a threaded arg matching output name"},
  };
  for (const Case& c : cases) {
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(failure_of([&] { flat_ops(c.source); }), c.message) << c.what;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20)) << c.what;
  }
}

// f0 calls f1, which calls f2, ... up to f<n-1>, which holds one op.
Module call_chain(int n) {
  Module m;
  Context& ctx = m.ctx();
  const List<Param> x = ctx.list({Param{"x", ty(ctx, "f32")}});
  const List<Param> y = ctx.list({Param{"y", ty(ctx, "f32")}});
  for (int i = 0; i < n; ++i) {
    Function f{ctx.text("f" + std::to_string(i)), {}, x, y, {}};
    if (i + 1 < n)
      f.ops.push_back(make_op(ctx, Call{ctx.text("f" + std::to_string(i + 1))}, {"y"}, {},
                              {Atom::str("x")}));
    else
      f.ops.push_back(make_op(ctx, Map{"neg"}, {"y"}, {}, {Atom::str("x")}));
    m.functions.insert(f.name, f);
  }
  return m;
}

TEST(FlattenFunction, NestingDepthIsBounded) {
  Module deep = call_chain(100000);
  EXPECT_EQ(failure_of([&] { flatten_module(deep, "f0", {}); }),
            "call nesting exceeds 256 levels at function 'f257'");
  // 256 nested inlinings below the entry are fine.
  Module ok = call_chain(257);
  EXPECT_EQ(shown(only_function(flatten_module(ok, "f0", {})).ops),
            (std::vector<std::string>{"y = neg(x)"}));
  EXPECT_EQ(failure_of([&] { flatten_module(call_chain(258), "f0", {}); }),
            "call nesting exceeds 256 levels at function 'f257'");
}

// A function met first near the entry and again deep down is nested as deep
// as its deepest site: the bound and the function it names do not depend on
// where it was met first.
TEST(FlattenFunction, NestingDepthCountsEverySite) {
  // main calls `shared` first, then c1 -> c2 -> ... -> c<chain> -> shared;
  // shared calls b1 -> b2 -> b3, then d1 -> ... -> d10 (or loops over d1).
  auto module = [](int chain, bool loop) {
    Module m;
    Context& ctx = m.ctx();
    const List<Param> x = ctx.list({Param{"x", ty(ctx, "f32")}});
    auto add = [&](const std::string& name, std::vector<std::string> callees) {
      Function f{ctx.text(name), {}, x, x, {}};
      for (const std::string& c : callees) {
        if (loop && c == "d1")
          f.ops.push_back(make_op(ctx, Loop{ctx.text(c), LoopCount::concrete(2)}, {"x"}, {},
                                  {Atom::str("x")}));
        else
          f.ops.push_back(make_op(ctx, Call{ctx.text(c)}, {"x"}, {}, {Atom::str("x")}));
      }
      f.ops.push_back(make_op(ctx, Map{"neg"}, {"x"}, {}, {Atom::str("x")}));
      m.functions.insert(f.name, f);
    };
    add("main", {"shared", "c1"});
    for (int i = 1; i <= chain; ++i)
      add("c" + std::to_string(i), {i < chain ? "c" + std::to_string(i + 1) : "shared"});
    add("shared", {"b1", "d1"});
    for (int i = 1; i <= 3; ++i)
      add("b" + std::to_string(i), {i < 3 ? "b" + std::to_string(i + 1) : ""});
    for (int i = 1; i <= 10; ++i)
      add("d" + std::to_string(i), {i < 10 ? "d" + std::to_string(i + 1) : ""});
    m.functions.insert("", Function{"", {}, x, x, {}});
    return m;
  };
  struct Case {
    int chain;
    bool loop;
    std::string message;
  } cases[] = {
      {244, false, "<no failure>"},  // the leaf below d10 at the last allowed level
      {245, false, "call nesting exceeds 256 levels at function ''"},
      {250, false, "call nesting exceeds 256 levels at function 'd6'"},
      {250, true, "call nesting exceeds 256 levels at function 'd6'"},
      {255, false, "call nesting exceeds 256 levels at function 'b1'"},
      {256, false, "call nesting exceeds 256 levels at function 'shared'"},
  };
  for (const Case& c : cases) {
    Module m = module(c.chain, c.loop);
    EXPECT_EQ(failure_of([&] { flatten_module(m, "main", {}); }), c.message)
        << c.chain << (c.loop ? " with a loop" : "");
  }
}

// Modules over a bound are refused from their sizes alone: quickly, and
// before the result's context receives anything.
TEST(FlattenModule, RefusedBeforeAnyWork) {
  std::string fan_out = "main(x: f32[]) -> (y: f32[]) { y = call[g25](x) }\n"
                        "g0(a: f32[]) -> (o: f32[]) { o = map[neg](a) }\n";
  for (int k = 1; k <= 25; ++k) {
    const std::string below = "g" + std::to_string(k - 1);
    fan_out += "g" + std::to_string(k) + "(a: f32[]) -> (o: f32[]) { t = call[" + below +
               "](a)\n o = call[" + below + "](t) }\n";
  }
  struct Case {
    const char* what;
    std::string source;
    std::string message;
  } cases[] = {
      {"a loop of the limit followed by one more op",
       "main(x: f32[]) -> (y: f32[]) {\n x = loop[b, 16777216](x)\n y = map[neg](x)\n}\n"
       "b(a: f32[]) -> (o: f32[]) { o = map[neg](a) }",
       "flattened function exceeds 16777216 operations"},
      {"calls fanning out to 2^25 leaves", fan_out,
       "flattened function exceeds 16777216 operations"},
      {"operations within the limit, their arguments not",
       "main(x: f32[]) -> (x: f32[]) { x = loop[b, 16777216](x) }\n"
       "b(a: f32[]) -> (o: f32[]) { o = map[f](a, a, a, 1, 2.5) }",
       "flattened function exceeds 67108864 outputs and arguments"},
      {"cache slots lowering past the limit",
       "main(x: f32[]) -> (x: f32[]) { x = loop[b, 16777216](x) }\n"
       "b(a: f32[]) -> (o: f32[]) { o: f32[] = cache[kv.*, init](a) }\n"
       "init(a: f32[]) -> (o: f32[]) { t = map[neg](a)\n o = map[neg](t) }",
       "flattened function exceeds 16777216 operations"},
      {"a 1000-byte local in each of 2^23 iterations (took 6 s and 5.5 GB to refuse)",
       "main(x: f32[]) -> (x: f32[]) { x = loop[b, 8388608](x) }\n"
       "b(a: f32[]) -> (o: f32[]) {\n " + std::string(1000, 'n') + " = map[neg](a)\n"
       " o = map[neg](" + std::string(1000, 'n') + ")\n}",
       "flattened function exceeds 4294967296 bytes of new names"},
      {"a 1000-byte field of a wildcard parameter in each of 2^23 iterations",
       "main(x: f32[], w: *) -> (x: f32[]) { x = loop[b, 8388608](x, w.*) }\n"
       "b(a: f32[], p: *) -> (o: f32[]) { o = map[add](a, p." + std::string(1000, 'k') + ") }",
       "flattened function exceeds 4294967296 bytes of new names"},
      {"a 1000-byte starred argument in each of 2^23 iterations",
       "main(x: f32[]) -> (x: f32[]) { x = loop[b, 8388608](x, " + std::string(1000, 'w') +
           ".*) }\n"
       "b(a: f32[], p: f32[]) -> (o: f32[]) { o = map[add](a, p) }",
       "flattened function exceeds 4294967296 bytes of new names"},
      {"a 1000-byte starred cache slot in each of 2^23 iterations",
       "main(x: f32[]) -> (x: f32[]) { x = loop[b, 8388608](x) }\n"
       "b(a: f32[]) -> (o: f32[]) { o: f32[] = cache[" + std::string(1000, 'k') +
           ".*, init](a) }\n"
       "init(a: f32[]) -> (o: f32[]) { o = map[neg](a) }",
       "flattened function exceeds 4294967296 bytes of new names"},
      {"loops in loops, 2^22 locals of 1100 bytes",
       "main(x: f32[]) -> (x: f32[]) { x = loop[outer, 2048](x) }\n"
       "outer(a: f32[]) -> (a: f32[]) { a = loop[b, 2048](a) }\n"
       "b(a: f32[]) -> (o: f32[]) {\n " + std::string(1100, 'n') + " = map[neg](a)\n"
       " o = map[neg](" + std::string(1100, 'n') + ")\n}",
       "flattened function exceeds 4294967296 bytes of new names"},
  };
  for (const Case& c : cases) {
    Module m = parse_source(c.source);
    const std::size_t before = m.ctx().bytes_reserved();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(failure_of([&] { flatten_module(m, "main", {}); }), c.message) << c.what;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2)) << c.what;
    EXPECT_EQ(m.ctx().bytes_reserved(), before) << c.what;
  }
}

// New names are counted against a budget of their own. (A 200 KB module whose
// loop body names a 100 KB local made 200 MB of names per 1000 iterations,
// without end.)
TEST(FlattenModule, NewNameBytesAreBounded) {
  const std::string local(1000, 'n');
  Module m = parse_source("main(x: f32[]) -> (x: f32[]) { x = loop[b, 1000](x) }\n"
                          "b(a: f32[]) -> (o: f32[]) {\n " + local + " = map[neg](a)\n"
                          " o = map[neg](" + local + ")\n}");
  const std::size_t before = m.ctx().bytes_reserved();
  constexpr std::uint64_t kBudget = 100000;  // a tenth of what the loop needs
  EXPECT_EQ(failure_of([&] { flatten_module(m, "main", {}, kBudget); }),
            "flattened function exceeds 4294967296 bytes of new names");
  // What was made before the refusal, in chunks of the context: far below
  // the 1 MB of names of the whole result.
  EXPECT_LT(m.ctx().bytes_reserved() - before, 4 * kBudget);

  const Function f = only_function(flatten_module(m, "main", {}));
  ASSERT_EQ(f.ops.size(), 2000u);
  EXPECT_EQ(f.ops[1998].outputs[0].size(), local.size() + std::string_view("loop999.").size());
  EXPECT_EQ(only_function(flatten_module(m, "main", {}, 4000000)), f);
}

// Before any name is made, the plan works out how many bytes of new names a
// flattening makes at least; over the bound, the module is refused then. The
// plan must never count more than is made: with room for exactly what is
// made, every module here flattens, and with one byte less it is refused.
TEST(FlattenModule, PlannedNameBytesNeverExceedWhatIsMade) {
  struct Case {
    const char* what;
    std::string source;
    bool exact;  // every new name is planned
  } cases[] = {
      {"a loop over a body with a local",
       "main(x: f32[]) -> (x: f32[]) { x = loop[b, 120](x) }\n"
       "b(a: f32[]) -> (o: f32[]) { t = map[neg](a)\n o = map[neg](t) }",
       true},
      {"calls in calls, outputs with dots, a loop of none",
       "main(x: f32[]) -> (y: f32[]) { h.1 = call[f](x)\n h.2 = call[f](h.1)\n"
       " y = loop[g, 0](y) }\n"
       "f(a: f32[]) -> (o: f32[]) { t = call[g](a)\n o = map[neg](t) }\n"
       "g(a: f32[]) -> (o: f32[]) { u = map[neg](a)\n v.w = map[neg](u)\n o = map[neg](v.w) }",
       true},
      {"names left behind by loops, a callee that uses them",
       "main(x: f32[]) -> (y: f32[]) { y = call[f](x) }\n"
       "f(a: f32[]) -> (o: f32[]) { s = map[neg](a)\n s = loop[g, 11](s)\n"
       " o = map[add](s, s_11) }\n"
       "g(a: f32[]) -> (o: f32[]) { t = map[neg](a)\n o = map[neg](t) }",
       true},
      {"a parameter with the head of a local, one named like an iteration",
       "main(x: f32[]) -> (y: f32[]) { y = call[f](x, x, x) }\n"
       "f(a: f32[], t.q: f32[], loop3: f32[]) -> (o: f32[]) { t = call[g](a)\n"
       " o = loop[g, 5](o) }\n"
       "g(a: f32[]) -> (o: f32[]) { u = map[neg](a)\n o = map[neg](u) }",
       false},
      {"wildcards and a record",
       "main(x: f32[], w: *) -> (y: f32[]) { y = call[f](x, w)\n z = call[r](x, w) }\n"
       "f(a: f32[], p: *) -> (o: f32[]) { o = map[add](a, p.k.v)\n q = map[neg](p) }\n"
       "r(a: f32[], b: f32[], c: f32[]) -> (o: f32[]) { o = map[add](a, b, c) }",
       true},
      {"records and wildcards in a loop, a starred argument",
       "main(x: f32[], w: *) -> (x: f32[]) { x = loop[r, 12](x, w.*) }\n"
       "r(a: f32[], b: *, c: f32[]) -> (a: f32[]) { a = map[add](a, b.k, c) }",
       true},
      {"symbols and named dimensions",
       "main(x: f32[n]) -> (y: f32[n]) { y = call[f](x) }\n"
       "f(a: f32[n]) -> (o: f32[n]) { t = map[scale](a, param.s, n)\n"
       " param.s = map[neg](t)\n o = map[neg](param.s) }",
       true},
      {"cache slots in a loop, lowered",
       "main(x: f32[]) -> (x: f32[]) { x = loop[b, 3](x) }\n"
       "b(a: f32[]) -> (o: f32[]) { o: f32[] = cache[kv.*, init](a) }\n"
       "init(a: f32[]) -> (o: f32[]) { t = map[neg](a)\n o = map[neg](t) }",
       false},
  };
  for (const Case& c : cases) {
    Module m = parse_source(c.source);
    FlatNameBytes bytes;
    const Function f = only_function(flatten_module(m, "main", {}, kMaxFlatNameBytes, &bytes));
    EXPECT_LE(bytes.planned, bytes.made) << c.what;
    if (c.exact) {
      EXPECT_EQ(bytes.planned, bytes.made) << c.what;
    } else {
      EXPECT_GT(bytes.planned, 0u) << c.what;
    }
    EXPECT_EQ(only_function(flatten_module(m, "main", {}, bytes.made)), f) << c.what;
    EXPECT_EQ(failure_of([&] { flatten_module(m, "main", {}, bytes.made - 1); }),
              "flattened function exceeds 4294967296 bytes of new names")
        << c.what;
  }
}

// The same on random modules whose names collide on purpose: dotted names,
// wildcard parameters, records, symbols and dimensions, names like those an
// unrolled loop makes, parameters named like the heads of locals.
TEST(FlattenModule, PlannedNameBytesOnRandomModules) {
  std::mt19937 rng(20261210);
  auto pick = [&](std::size_t n) { return static_cast<std::size_t>(rng() % n); };
  const std::vector<std::string> pool = {"a", "b", "t", "t.q", "t.q.r", "p", "p.k", "p.k.v",
                                         "loop1", "loop1.u", "x_2", "x", "o", "param.s", "n",
                                         "y.t", "w"};
  int making = 0;  // modules whose flattening makes names
  for (int round = 0; round < 6000; ++round) {
    const std::size_t functions = 1 + pick(4);
    std::vector<std::size_t> arity(functions);
    std::string source;
    for (std::size_t f = functions; f-- > 0;) {
      const std::string fname = f == 0 ? "main" : "f" + std::to_string(f);
      arity[f] = 1 + pick(3);
      source += fname + "(";
      for (std::size_t i = 0; i < arity[f]; ++i) {
        source += (i ? ", " : "") + pool[pick(pool.size())] + (pick(3) == 0 ? ": *" : ": f32[n]");
      }
      source += ") -> (" + pool[pick(pool.size())] + ": f32[n]) {\n";
      const std::size_t ops = pick(5);
      for (std::size_t k = 0; k < ops; ++k) {
        const std::string out = pool[pick(pool.size())];
        std::string args;
        const std::size_t n = 1 + pick(3);
        for (std::size_t i = 0; i < n; ++i) {
          args += (i ? ", " : "") + (pick(6) == 0   ? std::string("2")
                                     : pick(6) == 0 ? pool[pick(pool.size())] + ".*"
                                                    : pool[pick(pool.size())]);
        }
        const std::size_t callee = f + 1 + pick(functions);
        if (callee < functions && pick(4) != 0) {
          const std::string target = "f" + std::to_string(callee);
          if (pick(2) == 0) {
            source += " " + out + " = call[" + target + "](" + args + ")\n";
          } else {
            static const int counts[] = {0, 1, 3, 10, 11, 101};
            source += " " + out + " = loop[" + target + ", " + std::to_string(counts[pick(6)]) +
                      "](" + out + ", " + args + ")\n";
          }
        } else {
          source += " " + out + " = map[f](" + args + ")\n";
        }
      }
      source += "}\n";
    }
    Module m = parse_source(source);
    FlatNameBytes bytes;
    Module flat;
    try {
      flat = flatten_module(m, "main", {}, kMaxFlatNameBytes, &bytes);
    } catch (const Failure&) {
      continue;  // an arity or a loop the module gets wrong
    }
    ASSERT_LE(bytes.planned, bytes.made) << source;
    EXPECT_EQ(only_function(flatten_module(m, "main", {}, bytes.made)),
              only_function(flat)) << source;
    if (bytes.made > 0) {
      ++making;
      EXPECT_EQ(failure_of([&] { flatten_module(m, "main", {}, bytes.made - 1); }),
                "flattened function exceeds 4294967296 bytes of new names")
          << source;
    }
  }
  EXPECT_GT(making, 500);  // the generator reaches what is checked here
}

// ---------------------------------------------------------------------------
// Work in proportion to the result.

// A site binds only the parameters its callee's flat body names, a body
// without ops is not unrolled, and names that no op of a flat body holds are
// not renamed: none of those costs time per iteration. (Binding every
// parameter of every iteration took minutes here; renaming 100000 unused
// names in each of 2^16 iterations, 18 s.)
TEST(FlattenModule, BindingCostsWhatTheBodyUses) {
  std::string params;
  for (int i = 0; i < 1000; ++i) params += ", p" + std::to_string(i) + ": f32[1]";
  std::string many_params, symbols;
  for (int i = 0; i < 100000; ++i) {
    many_params += (i ? ", p" : "p") + std::to_string(i) + ": f32[1]";
    symbols += (i ? ", param.a" : "param.a") + std::to_string(i);
  }
  struct Case {
    const char* what;
    std::string source;
    std::size_t ops;
    std::string last;
  } cases[] = {
      {"an empty body of 1000 parameters, 2^24 times",
       "body(x: f32[1]" + params + ") -> (x: f32[1]) {}\n"
       "main(x: f32[1]) -> (x: f32[1]) { x = loop[body, 16777216](x) }",
       0, ""},
      {"one op naming one parameter, of 1000, 2^16 times",
       "body(x: f32[1]" + params + ") -> (y: f32[1]) { y = map[neg](x, p999) }\n"
       "main(x: f32[1], w: *) -> (x: f32[1]) { x = loop[body, 65536](x, w.*) }",
       65536, "x_65536 = neg(x_65535, w.65535.p999)"},
      {"a call to an empty body with 100000 names no op holds, 2^16 times",
       "h(" + many_params + ") -> (o: f32[1]) {}\n"
       "body(x: f32[1]) -> (t: f32[1]) { t = map[neg](x)\n u = call[h](" + symbols + ") }\n"
       "main(x: f32[1]) -> (x: f32[1]) { x = loop[body, 65536](x) }",
       65536, "x_65536 = neg(x_65535)"},
  };
  for (const Case& c : cases) {
    Module m = parse_source(c.source);
    const auto start = std::chrono::steady_clock::now();
    const Function f = only_function(flatten_module(m, "main", {}));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5)) << c.what;
    ASSERT_EQ(f.ops.size(), c.ops) << c.what;
    if (!f.ops.empty()) {
      EXPECT_EQ(show(f.ops.back()), c.last) << c.what;
    }
  }
}

// A callee with many wildcard parameters renames a long dotted name in one
// pass over it. (Looking up every prefix took seconds per site here.)
TEST(FlattenModule, RenamingIsLinearInTheNameLength) {
  std::string params, args;
  for (int i = 0; i < 17; ++i) {
    params += (i ? ", p" : "p") + std::to_string(i) + ": *";
    args += (i ? ", w" : "w") + std::to_string(i);
  }
  std::string tail;
  for (int i = 0; i < 200000; ++i) tail += ".x";
  const std::string source = "g(" + params + ") -> (o: f32[]) { o = map[f](p3" + tail +
                             ", p3.q" + tail + ") }\n"
                             "main(x: f32[]) -> (y: f32[]) {\n"
                             " y = call[g](" + args + ")\n y = call[g](" + args +
                             ")\n y = call[g](" + args + ")\n}";
  Module m = parse_source(source);
  const auto start = std::chrono::steady_clock::now();
  const Function f = only_function(flatten_module(m, "main", {}));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  ASSERT_EQ(f.ops.size(), 3u);
  for (const Op& op : f.ops) {
    ASSERT_EQ(op.args.size(), 2u);
    EXPECT_EQ(op.args[0].as_str(), "w3" + tail);
    EXPECT_EQ(op.args[1].as_str(), "w3.q" + tail);
  }
  // The same rule on its own: the longest parameter that the name starts
  // with, up to a dot, wins.
  NameMap wildcards;
  for (int i = 0; i < 17; ++i) wildcards["p" + std::string(i, 'x')] = "w" + std::to_string(i);
  EXPECT_EQ(rename_var("pxxx" + tail, {}, wildcards, "h.", {}), "w3" + tail);
  EXPECT_EQ(rename_var("pxx.xx" + tail, {}, wildcards, "h.", {}), "w2.xx" + tail);
  EXPECT_EQ(rename_var("pxxxxxxxxxxxxxxxxx" + tail, {}, wildcards, "h.", {}),
            "h.pxxxxxxxxxxxxxxxxx" + tail);
}

// Long flattenings poll the interrupt hook, and what the hook throws ends
// the call.
TEST(FlattenModule, PollsForInterrupts) {
  struct Interrupted {};
  static int polls;
  polls = 0;
  set_interrupt_hook([] {
    if (++polls == 3) throw Interrupted{};
  });
  Module m = parse_source(
      "main(x: f32[]) -> (x: f32[]) { x = loop[b, 200000](x) }\n"
      "b(a: f32[]) -> (o: f32[]) { o = map[neg](a) }");
  EXPECT_THROW(flatten_module(m, "main", {}), Interrupted);
  set_interrupt_hook(nullptr);
  EXPECT_EQ(polls, 3);
  EXPECT_EQ(only_function(flatten_module(m, "main", {})).ops.size(), 200000u);
}

// ---------------------------------------------------------------------------
// Module flattening and cache lowering.

TEST(FlattenModule, EntryWithoutCallsIsKeptAsItIs) {
  Module m = parse_source(R"(// head
  // two
  other(x: f32[]) -> (y: f32[]) { y = map[neg](x) }
  // about main
  main(x: f32[2], w: *) -> (y: f32[2]) {
    t: f32[2] = map[relu](x, w.b, param.k)
    // c
    y: f32[2] = map[neg](t)
  })");
  Module expected;
  expected.header_comments = m.header_comments;
  expected.functions.insert("main", *m.functions.find("main"));
  EXPECT_EQ(flatten_module(m, "main", {}), expected);
}

TEST(FlattenModule, KeyFromTheCallerNameFromTheFunction) {
  Module m = parse_source("real(x: f32[]) -> (y: f32[]) { y = map[neg](x) }");
  Module alias;
  Function f = *m.functions.find("real");
  f.comments = m.ctx().list<Text>({"// kept"});
  alias.functions.insert("alias", f);
  Module flat = flatten_module(alias, "alias", {});
  ASSERT_EQ(flat.functions.size(), 1u);
  EXPECT_EQ(flat.functions.at_position(0).first, "alias");
  EXPECT_EQ(flat.functions.at_position(0).second, f);
  EXPECT_EQ(failure_of([&] { flatten_module(alias, "real", {}); }), "no entry found for key");
}

TEST(FlattenModule, CacheLowering) {
  const char* slot = R"(
    kv_init(k: f32[4]) -> (c: f32[4]) {
      t = map[copy](k)
      c = map[neg](t)
    }
    kv_ext(c: f32[4], k: f32[4]) -> (n: f32[4]) {
      t = map[concat](c, k)
      n = map[neg](t)
    })";
  struct Case {
    const char* what;
    std::string main;
    CacheKeys keys;
    std::vector<std::string> params, returns, ops;
  } cases[] = {
      {"cold slot: its init inlined under the slot's name",
       R"(main(x: f32[4]) -> (y: f32[4]) {
            // cached
            c: f32[4] = cache[kv, kv_init, kv_ext](x)
            y = map[add](x, c)
          })",
       {},
       {"x f32[4]"},
       {"y f32[4]", "kv f32[4]"},
       {"kv.t = copy(x)", "kv = neg(kv.t)", "y = add(x, c)"}},
      {"warm slot with extend",
       R"(main(x: f32[4]) -> (y: f32[4]) {
            c: f32[4] = cache[kv, kv_init, kv_ext](x)
            y = map[add](x, c)
          })",
       {"kv", "other"},
       {"x f32[4]", "kv f32[4]"},
       {"y f32[4]", "kv_new f32[4]"},
       {"kv_new.t = concat(kv, x)", "kv_new = neg(kv_new.t)", "y = add(x, c)"}},
      {"warm slot without extend passes through; its init is never looked up",
       R"(main(x: f32[4]) -> (y: f32[4]) {
            c: f32[4] = cache[kv, absent](x)
            y = map[add](x, c)
          })",
       {"kv"},
       {"x f32[4]", "kv f32[4]"},
       {"y f32[4]", "kv f32[4]"},
       {"y = add(x, c)"}},
      {"one slot twice: registered once, with the first type",
       R"(main(x: f32[4]) -> (y: f32[4]) {
            c: f32[4] = cache[kv, kv_init](x)
            d: f32[8] = cache[kv, kv_init](x)
          })",
       {},
       {"x f32[4]"},
       {"y f32[4]", "kv f32[4]"},
       {"kv.t = copy(x)", "kv = neg(kv.t)", "kv.t = copy(x)", "kv = neg(kv.t)"}},
      {"a slot named like a parameter or return keeps that one's type",
       R"(main(kv: f32[1]) -> (kv: f32[2]) {
            c: f32[4] = cache[kv, kv_init](kv)
          })",
       {"kv"},
       {"kv f32[1]"},
       {"kv f32[2]"},
       {}},
      {"slots of an unrolled loop, one of them warm",
       R"(main(x: f32[4]) -> (x: f32[4]) {
            x = loop[layer, 3](x)
          }
          layer(a: f32[4]) -> (b: f32[4]) {
            b: f32[4] = cache[kv.*, kv_init, kv_ext](a)
          })",
       {"kv.1", "kv.*"},
       {"x f32[4]", "kv.1 f32[4]"},
       {"x f32[4]", "kv.0 f32[4]", "kv.1_new f32[4]", "kv.2 f32[4]"},
       {"kv.0.t = copy(x)", "kv.0 = neg(kv.0.t)", "kv.1_new.t = concat(kv.1, x_1)",
        "kv.1_new = neg(kv.1_new.t)", "kv.2.t = copy(x_2)", "kv.2 = neg(kv.2.t)"}},
      {"slots lowering to nothing, to one op and to two, among plain ops",
       R"(main(x: f32[4]) -> (y: f32[4]) {
            h: f32[4] = cache[w0, kv_init](x)
            a = map[neg](x)
            c: f32[4] = cache[kv, kv_init](a)
            b = map[neg](a)
            d: f32[4] = cache[w, kv_init](b)
            e = map[neg](b)
            f: f32[4] = cache[z, empty](e)
            g: f32[4] = cache[u, one](e)
            y = map[neg](e)
          }
          empty(k: f32[4]) -> (c: f32[4]) { }
          one(k: f32[4]) -> (c: f32[4]) { c = map[copy](k) })",
       {"w0", "w"},
       {"x f32[4]", "w0 f32[4]", "w f32[4]"},
       {"y f32[4]", "w0 f32[4]", "kv f32[4]", "w f32[4]", "z f32[4]", "u f32[4]"},
       {"a = neg(x)", "kv.t = copy(a)", "kv = neg(kv.t)", "b = neg(a)", "e = neg(b)", "u = copy(e)",
        "y = neg(e)"}},
      {"an init function also called before",
       R"(main(x: f32[4]) -> (y: f32[4]) {
            p = call[kv_init](x)
            c: f32[4] = cache[kv, kv_init](p)
          })",
       {},
       {"x f32[4]"},
       {"y f32[4]", "kv f32[4]"},
       {"p.t = copy(x)", "p = neg(p.t)", "kv.t = copy(p)", "kv = neg(kv.t)"}},
      {"a cache op inside an init function is not lowered",
       R"(main(x: f32[4]) -> (y: f32[4]) {
            c: f32[4] = cache[kv, nested](x)
          }
          nested(k: f32[4]) -> (c: f32[4]) {
            c: f32[4] = cache[inner, kv_init](k)
          })",
       {},
       {"x f32[4]"},
       {"y f32[4]", "kv f32[4]"},
       {"kv = cache[inner](x)"}},
      {"an init that cannot be flattened is never looked at for a warm slot with extend",
       R"(main(x: f32[4]) -> (y: f32[4]) {
            a = map[neg](x)
            c: f32[4] = cache[kv, broken, kv_ext](x)
            y = map[add](x, c)
          }
          broken(k: f32[4]) -> (c: f32[4]) { c = call[nope](k) })",
       {"kv"},
       {"x f32[4]", "kv f32[4]"},
       {"y f32[4]", "kv_new f32[4]"},
       {"a = neg(x)", "kv_new.t = concat(kv, x)", "kv_new = neg(kv_new.t)", "y = add(x, c)"}},
      {"an init that calls the entry again is no cycle: the entry's cache op is copied",
       R"(main(x: f32[4]) -> (y: f32[4]) {
            c: f32[4] = cache[kv, again](x)
            y = map[neg](c)
          }
          again(k: f32[4]) -> (c: f32[4]) {
            c = call[main](k)
          })",
       {},
       {"x f32[4]"},
       {"y f32[4]", "kv f32[4]"},
       {"kv.c.c = cache[kv](x)", "kv = neg(kv.c.c)", "y = neg(c)"}},
      {"a loop body lowering its own slots binds itself at another shape between iterations",
       R"(main(x: f32[4]) -> (x: f32[4]) {
            x = loop[layer, 2](x)
          }
          layer(a: f32[4], b: f32[4]) -> (c: f32[4]) {
            t = map[neg](a, b)
            c: f32[4] = cache[kv.*, layer](t, 7)
          })",
       {},
       {"x f32[4]"},
       {"x f32[4]", "kv.0 f32[4]", "kv.1 f32[4]"},
       {"loop0.t = neg(x.a, x.b)", "kv.0.t = neg(loop0.t, kv.0.b)", "kv.0 = cache[kv.*](kv.0.t, 7)",
        "loop1.t = neg(x_1.a, x_1.b)", "kv.1.t = neg(loop1.t, kv.1.b)",
        "kv.1 = cache[kv.*](kv.1.t, 7)"}},
  };
  for (const Case& c : cases) {
    Module flat = flatten_module(parse_source("// h\n" + c.main + slot), "main", c.keys);
    EXPECT_EQ(flat.header_comments, flat.ctx().list<Text>({"// h"})) << c.what;
    const Function& f = only_function(flat);
    EXPECT_EQ(shown(f.params), c.params) << c.what;
    EXPECT_EQ(shown(f.returns), c.returns) << c.what;
    EXPECT_EQ(shown(f.ops), c.ops) << c.what;
  }
}

// Unrolling writes the iteration's number into the names it makes (outputs,
// prefixes, indexed arguments and slots): they are checked where the number
// gains a digit.
TEST(FlattenModule, UnrolledNamesAcrossDigitCounts) {
  Module m = parse_source(R"(
    main(x: f32[4], w: *) -> (y: f32[4]) {
      x = loop[layer, 1001](x, w.*)
      y = map[relu](x)
    }
    layer(a: f32[4], p: f32[4]) -> (b: f32[4]) {
      c: f32[4] = cache[kv.*, kv_init](a)
      t = map[add](a, p)
      b = map[mul](t, c)
    }
    kv_init(k: f32[4]) -> (c: f32[4]) {
      c = map[copy](k)
    })");
  const Function fn = only_function(flatten_module(m, "main", {}));
  const std::vector<std::string> ops = shown(fn.ops);
  const std::vector<std::string> returns = shown(fn.returns);
  ASSERT_EQ(ops.size(), 3u * 1001 + 1);
  ASSERT_EQ(returns.size(), 1u + 1001);
  for (int i : {0, 1, 8, 9, 10, 11, 98, 99, 100, 101, 999, 1000}) {
    const std::string n = std::to_string(i);
    const std::string in = i == 0 ? "x" : "x_" + n;
    EXPECT_EQ(ops[3 * i], "kv." + n + " = copy(" + in + ")");
    EXPECT_EQ(ops[3 * i + 1], "loop" + n + ".t = add(" + in + ", w." + n + ")");
    EXPECT_EQ(ops[3 * i + 2],
              "x_" + std::to_string(i + 1) + " = mul(loop" + n + ".t, loop" + n + ".c)");
    EXPECT_EQ(returns[1 + i], "kv." + n + " f32[4]");
  }
  EXPECT_EQ(ops.back(), "y = relu(x_1001)");
}

TEST(FlattenModule, ColdSlotCarriesTheCacheOpsTypesAndCommentsIntoNothing) {
  // The lowered ops are the init's own; the cache op's comments stay behind.
  Module m = parse_source(R"(main(x: f32[4]) -> (y: f32[4]) {
    t = map[neg](x)
    // gone
    c: f32[4] = cache[kv, kv_init](x)
  }
  kv_init(k: f32[4]) -> (c: f32[4]) {
    c: f32[9] = map[copy](k)
  })");
  const Function& f = only_function(flatten_module(m, "main", {}));
  ASSERT_EQ(f.ops.size(), 2u);
  EXPECT_TRUE(f.ops[1].comments().empty());
  EXPECT_EQ(f.ops[1].output_types, m.functions.find("kv_init")->ops[0].output_types);
}

TEST(FlattenModule, Failures) {
  const char* funcs = R"(
    kv_init(k: f32[4]) -> (c: f32[4]) { c = map[copy](k) }
    self_init(k: f32[4]) -> (c: f32[4]) { c = call[self_init](k) })";
  struct Case {
    const char* what;
    std::string main;
    CacheKeys keys;
    std::string message;
  } cases[] = {
      {"entry missing", "", {}, "no entry found for key"},
      {"a slot without types", "main(x: f32[]) -> (y: f32[]) { (): () = cache[kv, kv_init](x) }",
       {}, "cache slot must have a declared type"},
      {"a slot with an absent first type",
       "main(x: f32[]) -> (y: f32[]) { c = cache[kv, kv_init](x) }", {},
       "cache slot must have a declared type"},
      {"a warm slot needs a type too",
       "main(x: f32[]) -> (y: f32[]) { c = cache[kv, kv_init](x) }", {"kv"},
       "cache slot must have a declared type"},
      {"cold slot, init missing", "main(x: f32[]) -> (y: f32[]) { c: f32[] = cache[kv, nope](x) }",
       {}, "no entry found for key"},
      {"warm slot, extend missing",
       "main(x: f32[]) -> (y: f32[]) { c: f32[] = cache[kv, kv_init, nope](x) }", {"kv"},
       "no entry found for key"},
      {"flattening fails before any slot is examined",
       R"(main(x: f32[]) -> (y: f32[]) {
            c = cache[kv, kv_init](x)
            y = call[nope](x)
          })",
       {}, "no entry found for key"},
      {"an init function calling itself",
       "main(x: f32[]) -> (y: f32[]) { c: f32[] = cache[kv, self_init](x) }", {},
       "call cycle: self_init -> self_init"},
      {"an extend function with the wrong arity",
       "main(x: f32[]) -> (y: f32[]) { c: f32[] = cache[kv, kv_init, kv_init](x) }", {"kv"},
       "range end index 2 out of range for slice of length 1"},
  };
  for (const Case& c : cases) {
    Module m = parse_source(c.main + funcs);
    EXPECT_EQ(failure_of([&] { flatten_module(m, "main", c.keys); }), c.message) << c.what;
  }
}

NameSet name_set(const SlotNames& names) {
  NameSet out;
  for (std::size_t i = 0; i < names.size(); ++i) out.emplace(names[i]);
  return out;
}

TEST(CacheIo, FirstRegistrationWins) {
  Context ctx;
  CacheIo io;
  add_cache_output(io, "kv", ty(ctx, "f32", {Dim::concrete(1)}));
  add_cache_output(io, "kv", ty(ctx, "f16"));
  add_cache_output(io, "kv2", ty(ctx, "i8"));
  add_cache_input(io, "kv2", ty(ctx, "i4"));
  EXPECT_EQ(shown(io.outputs), (std::vector<std::string>{"kv f32[1]", "kv2 i8[]"}));
  EXPECT_EQ(shown(io.inputs), (std::vector<std::string>{"kv2 i4[]"}));
  EXPECT_EQ(name_set(io.output_names), (NameSet{"kv", "kv2"}));
  EXPECT_EQ(name_set(io.input_names), (NameSet{"kv2"}));
}

// Enough names to make the table grow several times, each added again in
// the same order (the repeats an unrolled loop makes), in reverse and out of
// order: the names stay in the order they came, only the first insertion of
// each is new, and each is found, among names of every length and others
// never added.
TEST(CacheIo, SlotNamesThroughGrowth) {
  std::vector<std::string> texts;
  for (int i = 0; i < 1000; ++i)
    texts.push_back(std::string(i % 23, 'k') + "." + std::to_string(i));
  std::vector<std::string> reversed(texts.rbegin(), texts.rend());
  std::vector<std::string> strided;
  for (std::size_t i = 0; i < texts.size(); ++i) strided.push_back(texts[i * 7 % texts.size()]);
  SlotNames names;
  for (const std::string& t : texts) EXPECT_TRUE(names.insert(t)) << t;
  for (const auto* again : {&texts, &reversed, &strided, &texts})
    for (const std::string& t : *again) EXPECT_FALSE(names.insert(t)) << t;
  ASSERT_EQ(names.size(), texts.size());
  for (std::size_t i = 0; i < texts.size(); ++i) EXPECT_EQ(names[i], texts[i]);
  for (const std::string& t : texts) {
    EXPECT_TRUE(names.contains(t)) << t;
    EXPECT_FALSE(names.contains(t + "x")) << t;
  }
  EXPECT_FALSE(names.contains(""));
  EXPECT_TRUE(names.insert(""));
  EXPECT_FALSE(names.insert(""));
  EXPECT_TRUE(names.contains(""));
  EXPECT_FALSE(SlotNames().contains("kv"));
}

// ---------------------------------------------------------------------------
// The decoder fixture, end to end.

std::string decoder_source(int layers) {
  std::string src = read_fixture("decoder.qrv");
  const std::string from = "param.layers", to = std::to_string(layers);
  for (std::size_t at = src.find(from); at != std::string::npos; at = src.find(from, at + to.size()))
    src.replace(at, from.size(), to);
  return src;
}

bool has_op(const std::vector<std::string>& ops, const std::string& op) {
  return std::find(ops.begin(), ops.end(), op) != ops.end();
}

TEST(FlattenModule, Decoder) {
  Module m = parse_source(decoder_source(4));
  const Function& f = only_function(flatten_module(m, "main", {}));
  std::vector<std::string> ops = shown(f.ops);
  // embed + 2 stacks of 4 layers of 24 ops (the mlp call inlined, the cache
  // lowered to its init) + copy + norm + head.
  EXPECT_EQ(ops.size(), 1u + 4 * 24 + 1 + 4 * 24 + 2);
  EXPECT_EQ(shown(f.params), (std::vector<std::string>{"tokens i32[param.batch,param.seq]", "weights *[]"}));
  EXPECT_EQ(shown(f.returns),
            (std::vector<std::string>{"logits f32[param.batch,param.seq,param.vocab]",
                                      "kv.0 f32[b,s,d]", "kv.1 f32[b,s,d]", "kv.2 f32[b,s,d]",
                                      "kv.3 f32[b,s,d]"}));
  for (const char* op : {
           "h0 = read(weights.embed, tokens)",
           "loop0.n1 = rmsnorm(h0, weights.stack0.0.norm1)",
           "loop0.q = contract(loop0.n1, weights.stack0.0.wq)",
           "kv.0 = copy(loop0.k)",
           "loop0.f.u = contract(loop0.n2, weights.stack0.0.mlp.up)",
           "h0_1 = add(loop0.r1, loop0.f)",
           "loop3.kh = view(loop3.kc)",
           "h0_4 = add(loop3.r1, loop3.f)",
           "h1 = copy(h0_4)",
           "loop1.n1 = rmsnorm(h1_1, weights.stack1.1.norm1)",
           "kv.3 = copy(loop3.k)",
           "n = rmsnorm(h1_4, weights.norm)",
       })
    EXPECT_TRUE(has_op(ops, op)) << op;
  EXPECT_FALSE(has_op(ops, "loop0.n1 = rmsnorm(h0_1, weights.stack0.0.norm1)"));

  // Warm slots with their extend function.
  const Function& warm = only_function(flatten_module(m, "main", {"kv.0", "kv.2"}));
  EXPECT_EQ(shown(warm.params),
            (std::vector<std::string>{"tokens i32[param.batch,param.seq]", "weights *[]",
                                      "kv.0 f32[b,s,d]", "kv.2 f32[b,s,d]"}));
  EXPECT_EQ(shown(warm.returns),
            (std::vector<std::string>{"logits f32[param.batch,param.seq,param.vocab]",
                                      "kv.0_new f32[b,s,d]", "kv.1 f32[b,s,d]",
                                      "kv.2_new f32[b,s,d]", "kv.3 f32[b,s,d]"}));
  EXPECT_TRUE(has_op(shown(warm.ops), "kv.2_new = concat(kv.2, loop2.k)"));
}

}  // namespace
}  // namespace quarvel
