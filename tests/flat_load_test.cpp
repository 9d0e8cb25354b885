#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "core/error.h"
#include "core/flat_load.h"
#include "tests/test_util.h"

namespace quarvel {
namespace {

ConfigValue Int(std::int64_t v) { return ConfigValue{v}; }
ConfigValue Float(double v) { return ConfigValue{v}; }
ConfigValue List(std::vector<double> v) { return ConfigValue{std::move(v)}; }

// ---- configuration values ---------------------------------------------------

TEST(ConfigFromToml, Values) {
  struct Case {
    const char* toml;
    ConfigMap expected;
  } cases[] = {
      {"[shape]\nn = 4\n", {{"n", Int(4)}}},
      {"[scalar]\neps = 1e-5\n", {{"eps", Float(0.00001)}}},
      {"[vector]\nv = [1, 2.5]\nw = []\n", {{"v", List({1.0, 2.5})}, {"w", List({})}}},
      // vector beats scalar beats shape, whatever the order in the file
      {"[shape]\nn = 4\n[scalar]\nn = 2.5\n", {{"n", Float(2.5)}}},
      {"[shape]\nn = 4\n[scalar]\nn = 2.5\n[vector]\nn = [8]\n", {{"n", List({8.0})}}},
      {"[vector]\nn = [8]\n[scalar]\nn = 2.5\n[shape]\nn = 4\n", {{"n", List({8.0})}}},
      // the table does not decide the kind
      {"[vector]\nn = 3\n[shape]\nx = [1]\n", {{"n", Int(3)}, {"x", List({1.0})}}},
      // other kinds are skipped without a message
      {"[shape]\ns = \"x\"\nb = true\nd = 1979-05-27\nt = 07:32:00\n"
       "dt = 1979-05-27T07:32:00Z\ni = { a = 1 }\nk.j = 1\nn = 1\n[shape.sub]\nx = 1\n",
       {{"n", Int(1)}}},
      // keys as TOML gives them, quoted and unescaped
      {"# caf\xc3\xa9\n[shape]\n\"a b\" = 1\n\"\\u00e9\" = 2\n'param.x' = 3 # \xc3\xa9\n",
       {{"a b", Int(1)}, {"\xc3\xa9", Int(2)}, {"param.x", Int(3)}}},
      {"[shape]\nmax = 9223372036854775807\nmin = -9223372036854775808\nh = 0x10\n",
       {{"max", Int(std::numeric_limits<std::int64_t>::max())},
        {"min", Int(std::numeric_limits<std::int64_t>::min())},
        {"h", Int(16)}}},
      // integers in a list go to the nearest float
      {"[vector]\nv = [9007199254740993, -0.0]\n", {{"v", List({9007199254740992.0, -0.0})}}},
      // root entries that are not tables, or tables under other keys
      {"shape = 3\nscalar = [1]\nvector = \"x\"\n[other]\nn = 1\n", {}},
      {"[[shape]]\nn = 1\n", {}},
      {"n = 1\n", {}},
      {"", {}},
      {"# only a comment\n", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.toml);
    EXPECT_EQ(config_from_toml(c.toml, "c.toml"), c.expected);
  }
}

TEST(ConfigFromToml, InfinitiesAndNan) {
  const ConfigMap m = config_from_toml("[scalar]\na = inf\nb = -inf\nc = nan\nd = +inf\n", "c");
  ASSERT_EQ(m.size(), 4u);
  EXPECT_EQ(m.at("a"), Float(std::numeric_limits<double>::infinity()));
  EXPECT_EQ(m.at("b"), Float(-std::numeric_limits<double>::infinity()));
  EXPECT_EQ(m.at("d"), Float(std::numeric_limits<double>::infinity()));
  ASSERT_EQ(m.at("c").v.index(), 1u);
  EXPECT_TRUE(std::isnan(std::get<double>(m.at("c").v)));
}

TEST(ConfigFromToml, ArrayElementOfAnotherKindFails) {
  for (const char* toml : {
           "[vector]\nv = [1, \"a\"]\n",
           "[shape]\nv = [[1]]\n",
           "[scalar]\nv = [true]\n",
           "[vector]\nv = [{ a = 1 }]\n",
           "[shape]\nv = [1979-05-27]\n",
           "[[scalar.v]]\na = 1\n",  // an array of tables is an array
       }) {
    SCOPED_TRACE(toml);
    EXPECT_EQ(failure_of([&] { config_from_toml(toml, "c.toml"); }),
              "unexpected value in vector section");
  }
  // the weights reader does not look at the value tables
  EXPECT_TRUE(weights_from_toml("[vector]\nv = [1, \"a\"]\n", "c.toml").empty());
}

// ---- parse errors -----------------------------------------------------------

TEST(TomlErrors, ExactText) {
  struct Case {
    std::string toml;
    std::string expected;
  } cases[] = {
      {"a = = 1\n",
       "failed to parse cfg/c.toml: TOML parse error at line 1, column 5\n"
       "  |\n"
       "1 | a = = 1\n"
       "  |     ^\n"
       "Error while parsing value: could not determine value type"},
      // the column counts characters; a tab before it stays a tab under it
      {"\tk = \"\xc3\xa9\" x\r\n",
       "failed to parse cfg/c.toml: TOML parse error at line 1, column 10\n"
       "  |\n"
       "1 | \tk = \"\xc3\xa9\" x\n"
       "  | \t        ^\n"
       "Error while parsing key-value pair: expected a comment or whitespace, saw 'x'"},
      // a byte order mark is neither shown nor counted
      {"\xEF\xBB\xBF\tk = @\n",
       "failed to parse cfg/c.toml: TOML parse error at line 1, column 6\n"
       "  |\n"
       "1 | \tk = @\n"
       "  | \t    ^\n"
       "Error while parsing value: could not determine value type"},
      // the gutter widens with the line number
      {"#\n#\n#\n#\n#\n#\n#\n#\n#\nb = @\n",
       "failed to parse cfg/c.toml: TOML parse error at line 10, column 5\n"
       "   |\n"
       "10 | b = @\n"
       "   |     ^\n"
       "Error while parsing value: could not determine value type"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.toml);
    EXPECT_EQ(failure_of([&] { config_from_toml(c.toml, "cfg/c.toml"); }), c.expected);
    EXPECT_EQ(failure_of([&] { weights_from_toml(c.toml, "cfg/c.toml"); }), c.expected);
  }
}

TEST(TomlErrors, InvalidDocuments) {
  struct Case {
    std::string toml;
    std::string head;  // the message up to the line and column
  } cases[] = {
      {"a = 1\na = 2\n", "failed to parse c.toml: TOML parse error at line 2, column "},
      {"[x]\nn = 1\n[x]\n", "failed to parse c.toml: TOML parse error at line 3, column "},
      {"a.b = 1\n[a]\nb = 2\n", "failed to parse c.toml: TOML parse error at line "},
      {"[weights]\na = \"x\"\n[weights]\n", "failed to parse c.toml: TOML parse error at line 3"},
      // once tripped an internal assertion that aborted the process
      {std::string("[\x01"), "failed to parse c.toml: TOML parse error at line 1, column 2\n"},
      {std::string("a = \"\0\"\n", 8), "failed to parse c.toml: TOML parse error at line 1"},
      {"n = 99999999999999999999\n", "failed to parse c.toml: TOML parse error at line 1"},
      {"a = ", "failed to parse c.toml: TOML parse error at line 1"},
      {"[a\n", "failed to parse c.toml: TOML parse error at line 1"},
      {"\"\"\"", "failed to parse c.toml: TOML parse error at line 1"},
      {"\xc3\xa9 = 1\n", "failed to parse c.toml: TOML parse error at line 1, column 1\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.toml);
    const std::string message = failure_of([&] { config_from_toml(c.toml, "c.toml"); });
    EXPECT_EQ(message.substr(0, c.head.size()), c.head) << message;
  }
}

// The parser builds and tears down its tree recursively, one level per nested
// table; documents that nest too deep are refused before it runs.
TEST(TomlErrors, NestingBound) {
  auto dotted = [](std::size_t parts, std::string_view part = "a") {
    std::string key(part);
    for (std::size_t i = 1; i < parts; ++i) (key += '.') += part;
    return key;
  };
  const std::string too_deep_message =
      "tables, keys and arrays nested more than 1000 levels deep";
  const std::string deep[] = {
      dotted(200000) + " = 1\n",
      "[" + dotted(100000) + "]\n",
      "[[" + dotted(600) + "]]\n",
      "[" + dotted(400) + "]\n" + dotted(700) + " = 1\n",
      "x = 1\n" + dotted(1002) + " = 1\n",
      "v = " + std::string(5000, '[') + std::string(5000, ']') + "\n",
  };
  for (const std::string& toml : deep) {
    SCOPED_TRACE(toml.substr(0, 40));
    const std::string message = failure_of([&] { weights_from_toml(toml, "c.toml"); });
    EXPECT_EQ(message.substr(0, 40), "failed to parse c.toml: TOML parse error");
    EXPECT_EQ(message.substr(message.size() - too_deep_message.size()), too_deep_message);
  }
  EXPECT_EQ(failure_of([&] { config_from_toml("x = 1\n  " + dotted(1002, "b") + " = 1\n", "c"); }),
            "failed to parse c: TOML parse error at line 2, column 2004\n"
            "  |\n"
            "2 |   " + dotted(1002, "b") + " = 1\n"
            "  | " + std::string(2003, ' ') + "^\n" + too_deep_message);
  EXPECT_EQ(failure_of([&] { config_from_toml("\xEF\xBB\xBF" + dotted(1002, "b") + " = 1\n", "c"); }),
            "failed to parse c: TOML parse error at line 1, column 2002\n"
            "  |\n"
            "1 | " + dotted(1002, "b") + " = 1\n"
            "  | " + std::string(2001, ' ') + "^\n" + too_deep_message);

  // Dots in strings, comments, numbers and long arrays are no nesting.
  std::string floats = "[vector]\nv = [";
  for (int i = 0; i < 3000; ++i) floats += "1.5, ";
  floats += "]\n";
  EXPECT_EQ(std::get<std::vector<double>>(config_from_toml(floats, "c").at("v").v).size(), 3000u);
  const std::string many_dots(5000, '.');
  const std::string strings = "[weights]\n'" + many_dots + "' = \"" + many_dots + "\"\n# " +
                              many_dots + "\nm = '''\n" + many_dots + "\n'''\nn = \"\"\"" +
                              many_dots + "\\\"\"\"\"\n";
  const WeightMap w = weights_from_toml(strings, "c");
  EXPECT_EQ(w.at("weights." + many_dots), many_dots);
  EXPECT_EQ(w.at("weights.n"), many_dots + "\"");

  // Deep but within the bound: the weights walk reaches the bottom.
  const WeightMap deep_ok = weights_from_toml("[weights]\n" + dotted(990) + " = \"x\"\n", "c");
  EXPECT_EQ(deep_ok.at("weights." + dotted(990)), "x");
}

// ---- files --------------------------------------------------------------------

class ConfigFiles : public ScratchDir {};

TEST_F(ConfigFiles, ReadFailures) {
  const std::string missing = dir_ + "/missing.toml";
  EXPECT_EQ(failure_of([&] { load_config(missing); }),
            "failed to read " + missing + ": No such file or directory");
  EXPECT_EQ(failure_of([&] { load_weights(missing); }),
            "failed to read " + missing + ": No such file or directory");
  EXPECT_EQ(failure_of([&] { load_config(dir_); }), "failed to read " + dir_ + ": Is a directory");
  // A NUL ends the name for the system: it must not open the file named before it.
  const std::string real = write("real.toml", "[shape]\nn = 1\n");
  const std::string with_nul = real + std::string("\0.junk", 6);
  for (const auto& read : {std::function<void()>([&] { load_config(with_nul); }),
                           std::function<void()>([&] { load_weights(with_nul); })})
    EXPECT_EQ(failure_of(read),
              "failed to read " + with_nul + ": file name contained an unexpected NUL byte");

  const std::string bad = write("bad.toml", "[shape]\nn = 1\ns = \"\xff\"\n");
  EXPECT_EQ(failure_of([&] { load_config(bad); }),
            "failed to read " + bad + ": stream did not contain valid UTF-8");
  const std::string surrogate = write("sur.toml", "# \xed\xa0\x80\n");
  EXPECT_EQ(failure_of([&] { load_weights(surrogate); }),
            "failed to read " + surrogate + ": stream did not contain valid UTF-8");
}

TEST_F(ConfigFiles, BothReadersReadTheFile) {
  const std::string path = write("c.toml",
                                 "[shape]\nd = 64\n[weights]\nembed = \"tok.weight\"\n");
  EXPECT_EQ(load_config(path), (ConfigMap{{"d", Int(64)}}));
  EXPECT_EQ(load_weights(path), (WeightMap{{"weights.embed", "tok.weight"}}));
  const std::string empty = write("empty.toml", "");
  EXPECT_TRUE(load_config(empty).empty());
  EXPECT_TRUE(load_weights(empty).empty());
  // the path appears in messages exactly as given
  write("broken.toml", "x = \n");
  const std::string as_given = dir_ + "/./broken.toml";
  const std::string head = "failed to parse " + as_given + ": TOML parse error at line 1";
  EXPECT_EQ(failure_of([&] { load_weights(as_given); }).substr(0, head.size()), head);
}

// ---- weights ------------------------------------------------------------------

constexpr const char* kWeights =
    "[weights]\n"
    "embed = \"tok.weight\"\n"
    "scale = 2\n"
    "[weights.layer]\n"
    "attn = \"blocks.{}.attn.weight\"\n"
    "mix = \"blocks.{}.mix.{}.weight\"\n"
    "[weights.layer.0]\n"
    "attn = \"first.attn.weight\"\n";

TEST(Weights, TableFlattening) {
  EXPECT_EQ(weights_from_toml(kWeights, "w"),
            (WeightMap{{"weights.embed", "tok.weight"},
                       {"weights.layer.attn", "blocks.{}.attn.weight"},
                       {"weights.layer.mix", "blocks.{}.mix.{}.weight"},
                       {"weights.layer.0.attn", "first.attn.weight"}}));

  struct Case {
    const char* toml;
    WeightMap expected;
  } cases[] = {
      // a quoted key holding a dot comes after the sub-table it spells, and wins
      {"[weights]\n\"a.b\" = \"y\"\n[weights.a]\nb = \"x\"\n", {{"weights.a.b", "y"}}},
      {"[weights.a]\nb = \"x\"\n[weights]\n\"a.b\" = \"y\"\n", {{"weights.a.b", "y"}}},
      // inline tables and dotted keys are tables too; other kinds give nothing
      {"[weights]\nl = { q = \"lq\", r = { s = \"lrs\" } }\nm.n = \"mn\"\n"
       "a = [\"x\"]\nb = true\nc = 1.5\nd = 1979-05-27\n[[weights.t]]\nu = \"no\"\n",
       {{"weights.l.q", "lq"}, {"weights.l.r.s", "lrs"}, {"weights.m.n", "mn"}}},
      // keys are joined without escaping
      {"[weights]\n\"\" = \"e\"\n\"x y\" = \"s\"\n", {{"weights.", "e"}, {"weights.x y", "s"}}},
      {"weights = \"x\"\n[shape]\nw = \"y\"\n", {}},
      {"[weights]\nn = 1\n", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.toml);
    EXPECT_EQ(weights_from_toml(c.toml, "w"), c.expected);
  }
}

TEST(Weights, ResolveReference) {
  const WeightMap map = weights_from_toml(kWeights, "w");
  WeightMap without_zero = map;
  without_zero.erase("weights.layer.0.attn");

  struct Case {
    const WeightMap* map;
    const char* reference;
    std::optional<std::string> expected;
  } cases[] = {
      {&map, "weights.embed", "tok.weight"},
      {&map, "weights.layer.0.attn", "first.attn.weight"},  // the exact entry first
      {&without_zero, "weights.layer.0.attn", "blocks.0.attn.weight"},
      {&map, "weights.layer.3.attn", "blocks.3.attn.weight"},
      {&map, "weights.layer.3.mix.1", "blocks.3.mix.1.weight"},
      {&map, "weights.layer.3.mix", "blocks.3.mix.{}.weight"},  // the hole stays
      {&map, "weights.embed.7", "tok.weight"},                  // the index is dropped
      {&map, "weights.layer.03.attn", "blocks.03.attn.weight"},
      {&map, "weights.layer..attn", "blocks..attn.weight"},  // an empty part is an index
      {&map, "weights.layer.3.attn.", "blocks.3.attn.weight"},
      {&map, "weights.layer.x1.attn", std::nullopt},
      {&map, "weights.other.2", std::nullopt},
      {&map, "weights.layer", std::nullopt},
      {&map, "weights.scale", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reference);
    EXPECT_EQ(resolve_weight_name(c.reference, *c.map), c.expected);
  }
}

TEST(Weights, HoleFilling) {
  const WeightMap map = {
      {"weights.k", "a{{}}b"},
      {"weights.exact.{}", "x.{}"},
      {"weights.p", "{}{}{}"},
  };
  struct Case {
    const char* reference;
    std::optional<std::string> expected;
  } cases[] = {
      // each index fills the first hole left in the text, also one that an
      // empty index joined from the braces around it
      {"weights.k..5", "a5b"},
      {"weights.k.5", "a{5}b"},
      {"weights.k.", "a{}b"},
      {"weights.p.1.2.3.4", "123"},
      {"weights.p.1..3", "13"},
      {"weights.p.1.", "1{}"},
      // an exact entry's holes are not filled
      {"weights.exact.{}", "x.{}"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reference);
    EXPECT_EQ(resolve_weight_name(c.reference, map), c.expected);
  }
}

// A module whose weight-like texts stand everywhere, of which only some
// arguments are references to rename. Built twice, it gives a copy with
// storage of its own to compare against.
Module weight_reference_module() {
  Module m;
  Context& ctx = m.ctx();
  m.header_comments = ctx.list<Text>({"weights.embed"});
  Function f;
  f.name = "main";
  f.comments = ctx.list<Text>({"weights.embed"});
  f.params = ctx.list({Param{"weights.embed", ty(ctx, "*")}});
  f.returns = ctx.list({Param{"y", ty(ctx, "f32", {Dim::named("weights.embed")})}});
  f.ops.push_back(make_op(ctx, Map{"rmsnorm"}, {"weights.embed"}, {},
                          {Atom::str("x"), Atom::str("weights.embed"), Atom::integer(3),
                           Atom::real(1.5), Atom::str("weights.layer.2.attn"),
                           Atom::str("weights.missing"), Atom::str("Weights.embed"),
                           Atom::str("weights"), Atom::str("weights.a")},
                          {"weights.embed"}));
  f.ops.push_back(make_op(ctx, Cache{"weights.embed", "weights.embed", std::nullopt}, {"y"}, {},
                          {Atom::str("weights.embed")}));
  m.functions.insert("main", f);
  Function g = f;
  g.name = "other";
  m.functions.insert("other", g);
  return m;
}

TEST(Weights, RenameArgumentsOnly) {
  const WeightMap map = {
      {"weights.embed", "tok.weight"},
      {"weights.layer.attn", "blocks.{}.attn"},
      {"weights.a", "weights.b"},
      {"weights.b", "final"},
  };
  const Module m = weight_reference_module();

  Module expected = weight_reference_module();
  Context& ctx = expected.ctx();
  for (auto& entry : expected.functions) {
    std::vector<Atom> a(entry.second.ops[0].args.begin(), entry.second.ops[0].args.end());
    a[1] = Atom::str("tok.weight");
    a[4] = Atom::str("blocks.2.attn");
    a[8] = Atom::str("weights.b");  // one step: the new text is not looked up again
    entry.second.ops[0].args = ctx.list(a);
    entry.second.ops[1].args = ctx.list({Atom::str("tok.weight")});
  }
  const Module renamed = rename_weight_args(m, map);
  EXPECT_EQ(renamed, expected);
  // The result shares the input's storage; the input stays as it was.
  EXPECT_EQ(renamed.context, m.context);
  EXPECT_EQ(m, weight_reference_module());
  // Lists the renaming leaves alone are shared, not copied.
  EXPECT_EQ(renamed.functions.find("main")->ops[1].outputs.data(),
            m.functions.find("main")->ops[1].outputs.data());
  EXPECT_EQ(rename_weight_args(weight_reference_module(), map), expected);

  const Module unchanged = rename_weight_args(
      rename_weight_args(expected, WeightMap{}), weights_from_toml("[weights]\nn = 1\n", "w"));
  EXPECT_EQ(unchanged, expected);
  EXPECT_EQ(unchanged.functions.find("main")->ops[0].args.data(),
            expected.functions.find("main")->ops[0].args.data());
}

}  // namespace
}  // namespace quarvel
